#include "mixed_model/reml_reference.h"

#include <cmath>

std::vector<TraceRow> trace_rows(const RemlResult& fit) {
    std::vector<TraceRow> rows;
    for (const AiRemlStep& step : fit.run.iterations) {
        rows.push_back({step.iteration, step.log_likelihood + fit.log_likelihood_shift, step.theta[0] * fit.units,
                        step.theta[1] * fit.units, step.changes[0], step.changes[1], step.step});
    }
    return rows;
}

std::vector<TraceRow> literal_ai_iterations(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                            const Eigen::MatrixXd& y, int iterations, double h2_init) {
    using Eigen::MatrixXd;
    const Eigen::Index n = y.rows();
    const double variance = (y.array() - y.mean()).square().sum() / static_cast<double>(n - 1);
    double sigma_a2 = h2_init * variance;
    double sigma_e2 = (1.0 - h2_init) * variance;
    std::vector<TraceRow> trace;
    for (int k = 1; k <= iterations; ++k) {
        const MatrixXd V = sigma_a2 * K + sigma_e2 * MatrixXd::Identity(n, n);
        const MatrixXd V_inverse = V.partialPivLu().inverse();
        const MatrixXd VinvX = V_inverse * X;
        const Eigen::PartialPivLU<MatrixXd> C_lu(X.transpose() * VinvX);
        const MatrixXd P = V_inverse - (VinvX * C_lu.inverse()) * VinvX.transpose();
        const double log_det_V = std::log(V.partialPivLu().determinant());
        const MatrixXd yP = y.transpose() * P;
        const Eigen::Vector2d score(0.5 * ((yP * K * P * y)(0, 0) - (P * K).trace()),
                                    0.5 * ((yP * P * y)(0, 0) - P.trace()));
        Eigen::Matrix2d ai;
        ai << (yP * K * P * K * P * y)(0, 0), (yP * K * P * P * y)(0, 0), (yP * K * P * P * y)(0, 0),
            (yP * P * P * y)(0, 0);
        const Eigen::Vector2d step = Eigen::PartialPivLU<Eigen::Matrix2d>(0.5 * ai).solve(score);
        const double log_likelihood = -0.5 * (log_det_V + (yP * y)(0, 0) + std::log(C_lu.determinant()));
        const double change_a2 = std::fabs(step[0]) / sigma_a2, change_e2 = std::fabs(step[1]) / sigma_e2;
        sigma_a2 += step[0];
        sigma_e2 += step[1];
        TraceRow row;
        row.iteration = k;
        row.log_likelihood = log_likelihood;
        row.sigma_a2 = sigma_a2;
        row.sigma_e2 = sigma_e2;
        row.change_a2 = change_a2;
        row.change_e2 = change_e2;
        trace.push_back(row);
    }
    return trace;
}

MixedModelSolution reference_mme(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                 const Eigen::MatrixXd& y, double h2) {
    const Eigen::Index p = X.cols(), q = Z.cols();
    Eigen::MatrixXd W(X.rows(), p + q);
    W << X, Z;
    Eigen::MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(q, q) += (1.0 - h2) / h2 * K.partialPivLu().inverse();
    const Eigen::MatrixXd solution = C.partialPivLu().inverse() * (W.transpose() * y);
    return {solution.topRows(p), solution.bottomRows(q)};
}

MixedModelSolution reference_mme_singular(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K,
                                          const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, double h2) {
    const Eigen::Index p = X.cols(), q = Z.cols();
    Eigen::MatrixXd C(p + q, p + q), rhs(p + q, 1);
    C << X.transpose() * X, X.transpose() * Z * K, Z.transpose() * X,
        Z.transpose() * Z * K + (1.0 - h2) / h2 * Eigen::MatrixXd::Identity(q, q);
    rhs << X.transpose() * y, Z.transpose() * y;
    const Eigen::MatrixXd solution = C.fullPivLu().solve(rhs);
    return {solution.topRows(p), K * solution.bottomRows(q)};
}
