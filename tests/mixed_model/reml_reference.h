#pragma once

// Literal dense versions of AI-REML and of the mixed model equations: every matrix formed as
// the textbook formulas write it (V, V^-1 and P by LU, the quadratic forms evaluated left to
// right from y', K^-1 in the equations). O(n^3) per iteration; the reference that the
// band-reduction fast paths are checked against, and the baseline of bench/reml.

#include <algorithm>
#include <cmath>
#include <utility>

#include <Eigen/Dense>

#include "mixed_model/mixed_model.h"

inline RemlResult reference_reml(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                                 int max_iter, double h2_init, double tol) {
    using Eigen::MatrixXd;
    const Eigen::Index n = y.rows();
    const double variance = (y.array() - y.mean()).square().sum() / static_cast<double>(n - 1);
    double sigma_a2 = h2_init * variance;
    double sigma_e2 = (1.0 - h2_init) * variance;
    RemlResult result;
    for (int k = 1; k < max_iter; ++k) {
        const MatrixXd V = sigma_a2 * K + sigma_e2 * MatrixXd::Identity(n, n);
        const MatrixXd V_inverse = V.partialPivLu().inverse();
        const MatrixXd VinvX = V_inverse * X;
        const Eigen::PartialPivLU<MatrixXd> C_lu(X.transpose() * VinvX);
        const MatrixXd P = V_inverse - (VinvX * C_lu.inverse()) * VinvX.transpose();
        // log det V by Cholesky; by LU when V is indefinite (NaN for a negative determinant).
        const Eigen::LLT<MatrixXd> cholesky(V);
        const double log_det_V = cholesky.info() == Eigen::Success
                                     ? 2.0 * cholesky.matrixLLT().diagonal().array().log().sum()
                                     : std::log(V.partialPivLu().determinant());
        const MatrixXd yP = y.transpose() * P;
        const Eigen::Vector2d score(0.5 * ((yP * K * P * y)(0, 0) - (P * K).trace()),
                                    0.5 * ((yP * P * y)(0, 0) - P.trace()));
        Eigen::Matrix2d ai;
        ai << (yP * K * P * K * P * y)(0, 0), (yP * K * P * P * y)(0, 0), (yP * K * P * P * y)(0, 0),
            (yP * P * P * y)(0, 0);
        result.ai_inverse = Eigen::PartialPivLU<Eigen::Matrix2d>(0.5 * ai).inverse();
        const Eigen::Vector2d step = result.ai_inverse * score;

        const double log_likelihood = -0.5 * (log_det_V + (yP * y)(0, 0) + std::log(C_lu.determinant()));
        const double change_a2 = std::fabs(step[0]) / sigma_a2, change_e2 = std::fabs(step[1]) / sigma_e2;
        sigma_a2 += step[0];
        sigma_e2 += step[1];
        const RemlIteration record{k, log_likelihood, sigma_a2, sigma_e2, change_a2, change_e2};
        result.iterations.push_back(record);
        // Converged when both changes are small in size (a negative old component makes the
        // printed change negative, which must not pass).
        if (std::fabs(record.change_a2) < tol && std::fabs(record.change_e2) < tol) {
            result.converged = true;
            break;
        }
    }
    result.sigma_a2 = sigma_a2;
    result.sigma_e2 = sigma_e2;
    if (result.converged) {
        result.se_a2 = std::sqrt(std::max(result.ai_inverse(0, 0), 0.0));
        result.se_e2 = std::sqrt(std::max(result.ai_inverse(1, 1), 0.0));
        const double total = sigma_a2 + sigma_e2;
        result.h2 = sigma_a2 / total;
        const Eigen::RowVector2d g(sigma_e2 / (total * total), -sigma_a2 / (total * total));
        result.se_h2 = std::sqrt((g * result.ai_inverse * g.transpose())(0, 0));
    }
    return result;
}

using MixedModelSolution = std::pair<Eigen::MatrixXd, Eigen::MatrixXd>;  // (b, u)

// Henderson's mixed model equations with K^-1, solved by an explicit LU inverse of C.
// Valid only for an invertible K and a full-rank X.
inline MixedModelSolution reference_mme(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                        const Eigen::MatrixXd& y, double h2) {
    const Eigen::Index p = X.cols(), q = Z.cols();
    Eigen::MatrixXd W(X.rows(), p + q);
    W << X, Z;
    Eigen::MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(q, q) += (1.0 - h2) / h2 * K.partialPivLu().inverse();
    const Eigen::MatrixXd solution = C.partialPivLu().inverse() * (W.transpose() * y);
    return {solution.topRows(p), solution.bottomRows(q)};
}

// The equations written with K instead of K^-1 (u = K alpha): valid for a singular K too.
inline MixedModelSolution reference_mme_singular(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K,
                                                 const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, double h2) {
    const Eigen::Index p = X.cols(), q = Z.cols();
    Eigen::MatrixXd C(p + q, p + q), rhs(p + q, 1);
    C << X.transpose() * X, X.transpose() * Z * K, Z.transpose() * X,
        Z.transpose() * Z * K + (1.0 - h2) / h2 * Eigen::MatrixXd::Identity(q, q);
    rhs << X.transpose() * y, Z.transpose() * y;
    const Eigen::MatrixXd solution = C.fullPivLu().solve(rhs);
    return {solution.topRows(p), K * solution.bottomRows(q)};
}
