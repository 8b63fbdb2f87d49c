#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "linear_algebra/cholesky.h"
#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"

// b and w = H^-1 (y - X b), with H = K_rec + lambda I = Q (B + lambda I) Q' and lambda =
// (1 - h2) / h2; b = (X'H^-1 X)^-1 X'H^-1 y over the columns that independent_columns takes
// (first, then from the last towards the second), 0 for the others. H^-1 is formed as
// h2 (h2 K_rec + (1 - h2) I)^-1, which stays finite at h2 = 0 (no genetic variance: w = 0).
std::pair<Eigen::MatrixXd, Eigen::VectorXd> mixed_model_solution(const ReducedKinship& records,
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
            throw RunFailure("the fixed-effect equations of the breeding value prediction are "
                                     "singular at heritability " + std::to_string(h2) +
                                     "; check the covariates and the kinship matrix.");
        }
        b_kept = C_chol.solve(solved.leftCols(p).transpose() * rotated.col(p));
    }
    Eigen::MatrixXd w = h2 * (solved.col(p) - solved.leftCols(p) * b_kept);
    w.topRows(records.cleared).setZero();
    w = rotate_from_reduced(records, std::move(w));

    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(X.cols(), 1);
    for (Eigen::Index c = 0; c < p; ++c) {
        b(kept[static_cast<std::size_t>(c)], 0) = b_kept[c];
    }
    return {std::move(b), w.col(0)};
}

FixedEffectEstimate fixed_effect_estimate(const ReducedKinship& records, const Eigen::MatrixXd& X,
                                          const Eigen::MatrixXd& y, double sigma_a2, double sigma_e2) {
    const std::vector<Eigen::Index> kept = fixed_effect_columns(X);
    const auto p = static_cast<Eigen::Index>(kept.size());
    FixedEffectEstimate estimate{Eigen::MatrixXd::Zero(X.cols(), 1), Eigen::MatrixXd::Zero(X.cols(), X.cols())};
    const double total = sigma_a2 + sigma_e2;
    if (p == 0 || !(total > 0.0)) {
        return estimate;
    }
    // V = total (h2 K + (1 - h2) I), as mixed_model_solution solves it.
    const double h2 = sigma_a2 / total;
    const Eigen::MatrixXd rotated = rotate_design_and_trait(records, X, kept, y);
    const Eigen::MatrixXd solved = solve_shifted_band(records, h2, 1.0 - h2, rotated);
    const Eigen::MatrixXd C = rotated.leftCols(p).transpose() * solved.leftCols(p);
    const Eigen::LLT<Eigen::MatrixXd> C_chol(C);
    if (C_chol.info() != Eigen::Success || !C.allFinite()) {
        throw RunFailure("the fixed-effect equations are singular at heritability " + std::to_string(h2) +
                         "; check the covariates and the kinship matrix.");
    }
    const Eigen::VectorXd b_kept = C_chol.solve(solved.leftCols(p).transpose() * rotated.col(p));
    const Eigen::MatrixXd kept_covariance = total * C_chol.solve(Eigen::MatrixXd::Identity(p, p));
    for (Eigen::Index a = 0; a < p; ++a) {
        estimate.b(kept[static_cast<std::size_t>(a)], 0) = b_kept[a];
        for (Eigen::Index c = 0; c < p; ++c) {
            estimate.covariance(kept[static_cast<std::size_t>(a)], kept[static_cast<std::size_t>(c)]) =
                kept_covariance(a, c);
        }
    }
    return estimate;
}

namespace {

void check_shapes(Eigen::Index records, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                  const KinshipColumns& kinship) {
    const Eigen::Index individuals = kinship.columns.rows();
    if (y.cols() != 1 || X.rows() != records || y.rows() != records ||
        kinship.columns.cols() != static_cast<Eigen::Index>(kinship.positions.size()) ||
        kinship.diagonal.size() != individuals) {
        throw std::invalid_argument("Breeding values need y as n x 1, X with n rows and the kinship's N x k columns "
                                    "of its k positions with its N diagonal values; got y " +
                                    std::to_string(y.rows()) + " x " + std::to_string(y.cols()) + ", X with " +
                                    std::to_string(X.rows()) + " rows, " + std::to_string(records) +
                                    " records, columns " + std::to_string(individuals) + " x " +
                                    std::to_string(kinship.columns.cols()) + " for " +
                                    std::to_string(kinship.positions.size()) + " positions and " +
                                    std::to_string(kinship.diagonal.size()) + " diagonal values.");
    }
}

// For every individual, the column of `kinship` at its position, -1 where none is kept (the
// first where a position is kept twice).
std::vector<Eigen::Index> column_of_position(const KinshipColumns& kinship) {
    std::vector<Eigen::Index> column_of(static_cast<std::size_t>(kinship.columns.rows()), -1);
    for (std::size_t c = kinship.positions.size(); c-- > 0;) {
        if (kinship.positions[c] < column_of.size()) {
            column_of[kinship.positions[c]] = static_cast<Eigen::Index>(c);
        }
    }
    return column_of;
}

// The column of `kinship` at each record's position.
std::vector<Eigen::Index> record_columns(const std::vector<Eigen::Index>& column_of,
                                         const std::vector<Eigen::Index>& positions, Eigen::Index records) {
    if (static_cast<Eigen::Index>(positions.size()) != records) {
        throw std::invalid_argument("Breeding values need one kinship position per record.");
    }
    std::vector<Eigen::Index> columns;
    columns.reserve(positions.size());
    for (Eigen::Index position : positions) {
        if (position < 0 || position >= static_cast<Eigen::Index>(column_of.size())) {
            throw std::invalid_argument("A record has no row in the kinship matrix.");
        }
        if (column_of[static_cast<std::size_t>(position)] < 0) {
            throw std::invalid_argument("The kinship column of a record's position " + std::to_string(position) +
                                        " was not kept.");
        }
        columns.push_back(column_of[static_cast<std::size_t>(position)]);
    }
    return columns;
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
                                                   const KinshipColumns& kinship, const Eigen::MatrixXd& X,
                                                   const Eigen::MatrixXd& y, double h2) {
    check_shapes(records.band.cols(), X, y, kinship);
    const std::vector<Eigen::Index> columns = record_columns(column_of_position(kinship), positions, y.rows());
    const auto [b, w] = mixed_model_solution(records, X, y, h2);
    // u = K Z' w; Z' w adds up the w of the records of each individual, and is 0 for the
    // individuals without a record, whose columns are not needed.
    Eigen::VectorXd per_column = Eigen::VectorXd::Zero(kinship.columns.cols());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        per_column[columns[i]] += w[static_cast<Eigen::Index>(i)];
    }
    Eigen::MatrixXd u = kinship.columns * per_column;
    return {b, std::move(u)};
}

Eigen::VectorXd prediction_error_variances(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                           const KinshipColumns& kinship, const Eigen::MatrixXd& X, double sigma_a2,
                                           double sigma_e2, const Eigen::MatrixXd* shifts) {
    check_shapes(records.band.cols(), X, Eigen::MatrixXd::Zero(X.rows(), 1), kinship);
    const std::vector<Eigen::Index> column_of = column_of_position(kinship);
    const std::vector<Eigen::Index> columns = record_columns(column_of, positions, X.rows());
    const Eigen::MatrixXd& K = kinship.columns;
    const Eigen::Index N = K.rows();
    const auto n = static_cast<Eigen::Index>(positions.size());
    Eigen::VectorXd pev = Eigen::VectorXd::Zero(N);
    // Without groups, nothing is unknown at sa2 = 0; with them, their own error remains.
    if ((sigma_a2 == 0.0 && shifts == nullptr) || N == 0) {
        return pev;
    }
    const RecordProjection projection(records, X, sigma_a2, sigma_e2);
    // K_r,i for a block of individuals i at a time: the rotation is a matrix product.
    constexpr Eigen::Index kBlock = 1024;
    for (Eigen::Index start = 0; start < N; start += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - start);
        Eigen::MatrixXd R(n, width);
        for (Eigen::Index j = 0; j < width; ++j) {
            const Eigen::Index column_i = column_of[static_cast<std::size_t>(start + j)];
            for (Eigen::Index a = 0; a < n; ++a) {
                const auto record = static_cast<std::size_t>(a);
                R(a, j) = column_i >= 0 ? K(positions[record], column_i) : K(start + j, columns[record]);
            }
        }
        const Eigen::MatrixXd block_shifts = shifts != nullptr ? Eigen::MatrixXd(shifts->middleCols(start, width))
                                                               : Eigen::MatrixXd();
        Eigen::VectorXd shift_terms = Eigen::VectorXd::Zero(width);
        const Eigen::VectorXd KPK = projection.quadratic_forms(rotate_to_reduced(records, std::move(R)),
                                                               shifts != nullptr ? &block_shifts : nullptr, sigma_a2,
                                                               &shift_terms);
        for (Eigen::Index j = 0; j < width; ++j) {
            pev[start + j] = error_variance_or_nan(sigma_a2 * kinship.diagonal[start + j],
                                                   sigma_a2 * sigma_a2 * KPK[j] - shift_terms[j]);
        }
    }
    return pev;
}

double error_variance_or_nan(double genetic_variance, double removed) {
    const double value = genetic_variance - removed;
    // The 4 decimals of a text kinship move both terms by about 1e-4 of the genetic variance.
    if (!(genetic_variance >= 0.0) || value < -1e-3 * genetic_variance) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return std::max(value, 0.0);
}

struct RecordProjection::State {
    Eigen::Index cleared = 0;
    ShiftedBandLU V_lu;
    Eigen::MatrixXd VinvX;
    Eigen::LLT<Eigen::MatrixXd> C_chol;
};

RecordProjection::RecordProjection(const ReducedKinship& records, const Eigen::MatrixXd& X, double sigma_a2,
                                   double sigma_e2) {
    // In the rotated basis V = sa2 B + se2 I is a band matrix.
    auto built = std::make_shared<State>();
    const std::vector<Eigen::Index> kept = fixed_effect_columns(X);
    const Eigen::MatrixXd X_rotated = rotate_to_reduced(records, X(Eigen::all, kept));
    built->cleared = records.cleared;
    built->V_lu = factor_shifted_band(records, sigma_a2, sigma_e2);
    built->VinvX = solve_factored(built->V_lu, X_rotated);
    built->C_chol.compute(X_rotated.transpose() * built->VinvX);
    if (built->V_lu.singular || built->C_chol.info() != Eigen::Success) {
        throw RunFailure("V or X'V^-1 X is singular at the estimates; the reliabilities of the "
                         "breeding values cannot be computed.");
    }
    state = std::move(built);
}

CholeskyRecordProjection::CholeskyRecordProjection(Eigen::MatrixXd K, const Eigen::MatrixXd& X, double sigma_a2,
                                                   double sigma_e2)
    : factor_(std::move(K)) {
    factor_ *= sigma_a2;
    factor_.diagonal().array() += sigma_e2;
    const double rcond = cholesky_in_place(factor_, "V");
    Eigen::MatrixXd Y = X(Eigen::all, fixed_effect_columns(X));
    if (rcond > kSingularRcond) solve_lower_in_place(factor_, Y);
    const Eigen::HouseholderQR<Eigen::MatrixXd> qr(Y);
    const double largest = qr.matrixQR().diagonal().cwiseAbs().maxCoeff();
    if (!(rcond > kSingularRcond) ||
        (Y.cols() > 0 && !(qr.matrixQR().diagonal().cwiseAbs().minCoeff() > 1e-12 * largest))) {
        throw RunFailure("V or X'V^-1 X is singular at the estimates; the p of the marker effects cannot be "
                         "computed.");
    }
    basis_ = qr.householderQ() * Eigen::MatrixXd::Identity(Y.rows(), Y.cols());
}

Eigen::VectorXd CholeskyRecordProjection::quadratic_forms(Eigen::MatrixXd columns) const {
    solve_lower_in_place(factor_, columns);
    const Eigen::MatrixXd projected = basis_.transpose() * columns;
    return columns.colwise().squaredNorm().transpose() - projected.colwise().squaredNorm().transpose();
}

Eigen::VectorXd RecordProjection::quadratic_forms(const Eigen::MatrixXd& rotated_columns, const Eigen::MatrixXd* shifts,
                                                  double variance, Eigen::VectorXd* shift_terms) const {
    Eigen::MatrixXd rotated = rotated_columns;
    rotated.topRows(state->cleared).setZero();
    const Eigen::MatrixXd S = solve_factored(state->V_lu, rotated);
    const Eigen::MatrixXd F = state->VinvX.transpose() * rotated;
    const Eigen::MatrixXd G = state->C_chol.solve(F);
    Eigen::VectorXd forms(rotated.cols());
    for (Eigen::Index j = 0; j < rotated.cols(); ++j) {
        forms[j] = rotated.col(j).dot(S.col(j)) - F.col(j).dot(G.col(j));
    }
    if (shifts != nullptr) {
        shift_terms->resize(rotated.cols());
        const Eigen::MatrixXd Cq = state->C_chol.solve(*shifts);
        for (Eigen::Index j = 0; j < rotated.cols(); ++j) {
            (*shift_terms)[j] = shifts->col(j).dot(Cq.col(j)) - 2.0 * variance * Cq.col(j).dot(F.col(j));
        }
    }
    return forms;
}

BandPrediction predict_breeding_values(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                       const KinshipColumns& kinship, const Eigen::MatrixXd& X,
                                       const Eigen::MatrixXd& y, double h2, double sigma_a2, double sigma_e2,
                                       const Eigen::MatrixXd* shifts) {
    BandPrediction prediction;
    auto [b, u] = getEBV(records, positions, kinship, X, y, h2);
    if (shifts != nullptr) {
        u.col(0) += shifts->transpose() * b(fixed_effect_columns(X), 0);
    }
    prediction.effect.values = u.col(0);
    prediction.effect.error_variances =
        prediction_error_variances(records, positions, kinship, X, sigma_a2, sigma_e2, shifts);
    prediction.effect.prior_variances = sigma_a2 * kinship.diagonal;
    prediction.b = std::move(b);
    return prediction;
}
