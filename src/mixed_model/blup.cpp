#include <algorithm>
#include <stdexcept>
#include <string>

#include "mixed_model/mixed_model.h"

namespace {

// b and w = H^-1 (y - X b), with H = K_rec + lambda I = Q (B + lambda I) Q' and lambda =
// (1 - h2) / h2; b = (X'H^-1 X)^-1 X'H^-1 y over the columns that independent_columns takes
// (first, then from the last towards the second), 0 for the others. H^-1 is formed as
// h2 (h2 K_rec + (1 - h2) I)^-1, which stays finite at h2 = 0 (no genetic variance: w = 0).
std::pair<Eigen::MatrixXd, Eigen::VectorXd> solve_mixed_model(const ReducedKinship& records,
                                                              const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                                                              double h2) {
    const std::vector<Eigen::Index> kept = fixed_effect_columns(X);
    const auto p = static_cast<Eigen::Index>(kept.size());

    const Eigen::MatrixXd rotated = rotate_design_and_trait(records, X, kept, y);
    const Eigen::MatrixXd solved = solve_shifted_band(records, h2, 1.0 - h2, rotated);

    Eigen::VectorXd b_kept = Eigen::VectorXd::Zero(p);
    if (p > 0) {
        const Eigen::MatrixXd C = rotated.leftCols(p).transpose() * solved.leftCols(p);
        const Eigen::LLT<Eigen::MatrixXd> C_chol(C);
        if (C_chol.info() != Eigen::Success || !C.allFinite()) {
            throw std::runtime_error("❎ Error: the fixed-effect equations of the breeding value prediction are "
                                     "singular at heritability " + std::to_string(h2) +
                                     "; check the covariates and the kinship matrix.");
        }
        b_kept = C_chol.solve(solved.leftCols(p).transpose() * rotated.col(p));
    }
    Eigen::MatrixXd w = h2 * (solved.col(p) - solved.leftCols(p) * b_kept);
    w = rotate_from_reduced(records, std::move(w));

    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(X.cols(), 1);
    for (Eigen::Index c = 0; c < p; ++c) {
        b(kept[static_cast<std::size_t>(c)], 0) = b_kept[c];
    }
    return {std::move(b), w.col(0)};
}

void check_shapes(Eigen::Index records, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, Eigen::Index kinship_rows,
                  Eigen::Index kinship_cols) {
    if (y.cols() != 1 || X.rows() != records || y.rows() != records || kinship_rows != kinship_cols) {
        throw std::invalid_argument("Breeding values need y as n x 1, X with n rows and a square K; got y " +
                                    std::to_string(y.rows()) + " x " + std::to_string(y.cols()) + ", X with " +
                                    std::to_string(X.rows()) + " rows, " + std::to_string(records) +
                                    " records and K " + std::to_string(kinship_rows) + " x " +
                                    std::to_string(kinship_cols) + ".");
    }
}

}  // namespace

std::vector<Eigen::Index> fixed_effect_columns(const Eigen::MatrixXd& X) {
    std::vector<Eigen::Index> order;
    if (X.cols() > 0) {
        order.push_back(0);
    }
    for (Eigen::Index c = X.cols() - 1; c >= 1; --c) {
        order.push_back(c);
    }
    return independent_columns(X, order);
}

std::pair<Eigen::MatrixXd, Eigen::MatrixXd> getEBV(const ReducedKinship& records,
                                                   const std::vector<Eigen::Index>& positions,
                                                   const Eigen::MatrixXd& K_all, const Eigen::MatrixXd& X,
                                                   const Eigen::MatrixXd& y, double h2) {
    check_shapes(records.band.cols(), X, y, K_all.rows(), K_all.cols());
    if (static_cast<Eigen::Index>(positions.size()) != y.rows()) {
        throw std::invalid_argument("Breeding values need one kinship position per record.");
    }
    for (Eigen::Index position : positions) {
        if (position < 0 || position >= K_all.rows()) {
            throw std::invalid_argument("A record has no row in the kinship matrix.");
        }
    }
    const auto [b, w] = solve_mixed_model(records, X, y, h2);
    // u = K Z' w; Z' w adds up the w of the records of each individual.
    Eigen::VectorXd per_individual = Eigen::VectorXd::Zero(K_all.rows());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        per_individual[positions[i]] += w[static_cast<Eigen::Index>(i)];
    }
    Eigen::MatrixXd u = K_all * per_individual;
    return {b, std::move(u)};
}

Eigen::VectorXd prediction_error_variances(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                           const Eigen::MatrixXd& K_all, const Eigen::MatrixXd& X, double sigma_a2,
                                           double sigma_e2) {
    const Eigen::Index N = K_all.rows();
    const auto n = static_cast<Eigen::Index>(positions.size());
    Eigen::VectorXd pev = Eigen::VectorXd::Zero(N);
    if (sigma_a2 == 0.0 || N == 0) {
        return pev;
    }
    // In the rotated basis V = sa2 B + se2 I is a band matrix.
    const std::vector<Eigen::Index> kept = fixed_effect_columns(X);
    const Eigen::MatrixXd X_rotated = rotate_to_reduced(records, X(Eigen::all, kept));
    const ShiftedBandLU V_lu = factor_shifted_band(records, sigma_a2, sigma_e2);
    const Eigen::MatrixXd VinvX = solve_factored(V_lu, X_rotated);
    const Eigen::LLT<Eigen::MatrixXd> C_chol(X_rotated.transpose() * VinvX);
    if (V_lu.singular || C_chol.info() != Eigen::Success) {
        throw std::runtime_error("❎ Error: V or X'V^-1 X is singular at the estimates; the reliabilities of the "
                                 "breeding values cannot be computed.");
    }
    // K_r,i for a block of individuals i at a time: the rotation is a matrix product.
    constexpr Eigen::Index kBlock = 1024;
    for (Eigen::Index start = 0; start < N; start += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - start);
        Eigen::MatrixXd R(n, width);
        for (Eigen::Index j = 0; j < width; ++j) {
            for (Eigen::Index a = 0; a < n; ++a) {
                R(a, j) = K_all(positions[static_cast<std::size_t>(a)], start + j);
            }
        }
        R = rotate_to_reduced(records, std::move(R));
        const Eigen::MatrixXd S = solve_factored(V_lu, R);
        const Eigen::MatrixXd F = VinvX.transpose() * R;
        const Eigen::MatrixXd G = C_chol.solve(F);
        for (Eigen::Index j = 0; j < width; ++j) {
            const double KPK = R.col(j).dot(S.col(j)) - F.col(j).dot(G.col(j));
            const double value = sigma_a2 * K_all(start + j, start + j) - sigma_a2 * sigma_a2 * KPK;
            pev[start + j] = std::max(value, 0.0);
        }
    }
    return pev;
}
