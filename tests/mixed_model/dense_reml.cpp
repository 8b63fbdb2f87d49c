#include "mixed_model/dense_reml.h"

#include <cmath>
#include <limits>

double dense_restricted_loglik(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                                      double sigma_a2, double sigma_e2) {
    const Eigen::Index n = y.size();
    const Eigen::MatrixXd V = sigma_a2 * K + sigma_e2 * Eigen::MatrixXd::Identity(n, n);
    const Eigen::LLT<Eigen::MatrixXd> V_chol(V);
    if (V_chol.info() != Eigen::Success) {
        return -std::numeric_limits<double>::infinity();
    }
    const Eigen::MatrixXd VinvX = V_chol.solve(X);
    const Eigen::VectorXd Vinv_y = V_chol.solve(y);
    const Eigen::LLT<Eigen::MatrixXd> C_chol(X.transpose() * VinvX);
    if (C_chol.info() != Eigen::Success) {
        return -std::numeric_limits<double>::infinity();
    }
    const Eigen::VectorXd b = C_chol.solve(X.transpose() * Vinv_y);
    const double yPy = y.dot(Vinv_y) - (X.transpose() * Vinv_y).dot(b);
    const double log_det_V = 2.0 * V_chol.matrixLLT().diagonal().array().log().sum();
    const double log_det_C = 2.0 * C_chol.matrixLLT().diagonal().array().log().sum();
    return -0.5 * (log_det_V + log_det_C + yPy);
}

namespace {

// At V = s2 (h2 K + (1 - h2) I) the best s2 is y'P0 y / (n - p), P0 the projection for s2 = 1.
DenseRemlFit profiled(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                             double h2) {
    const Eigen::Index n = y.size();
    const Eigen::MatrixXd V0 = h2 * K + (1.0 - h2) * Eigen::MatrixXd::Identity(n, n);
    const Eigen::LLT<Eigen::MatrixXd> chol(V0);
    DenseRemlFit fit;
    fit.log_likelihood = -std::numeric_limits<double>::infinity();
    if (chol.info() != Eigen::Success) {
        return fit;
    }
    const Eigen::MatrixXd VinvX = chol.solve(X);
    const Eigen::VectorXd Vinv_y = chol.solve(y);
    const Eigen::VectorXd b = (X.transpose() * VinvX).ldlt().solve(X.transpose() * Vinv_y);
    const double yPy = y.dot(Vinv_y) - (X.transpose() * Vinv_y).dot(b);
    const double total = yPy / static_cast<double>(n - X.cols());
    fit.sigma_a2 = h2 * total;
    fit.sigma_e2 = (1.0 - h2) * total;
    fit.log_likelihood = dense_restricted_loglik(K, X, y, fit.sigma_a2, fit.sigma_e2);
    return fit;
}

// The profiled log-likelihood at h2 up to a constant, from the eigenvalues `lambda` of K and
// X and y rotated by its eigenvectors: V0 = U diag(h2 lambda + 1 - h2) U' turns every solve with
// V0 into a division. Hundreds of grid points then cost one eigendecomposition, not hundreds of
// Cholesky factorisations; only the grid uses it, to find the bracket of the maximum.
double profiled_on_grid(const Eigen::VectorXd& lambda, const Eigen::MatrixXd& X_rotated,
                        const Eigen::VectorXd& y_rotated, double h2) {
    const Eigen::ArrayXd d = h2 * lambda.array() + (1.0 - h2);
    if ((d <= 0.0).any()) {
        return -std::numeric_limits<double>::infinity();
    }
    const Eigen::MatrixXd VinvX = X_rotated.array().colwise() / d;
    const Eigen::LLT<Eigen::MatrixXd> C_chol(X_rotated.transpose() * VinvX);
    if (C_chol.info() != Eigen::Success) {
        return -std::numeric_limits<double>::infinity();
    }
    const Eigen::VectorXd Xt_Vinv_y = VinvX.transpose() * y_rotated;
    const double yPy = (y_rotated.array().square() / d).sum() - Xt_Vinv_y.dot(C_chol.solve(Xt_Vinv_y));
    const auto degrees = static_cast<double>(y_rotated.size() - X_rotated.cols());
    return -0.5 * (d.log().sum() + 2.0 * C_chol.matrixLLT().diagonal().array().log().sum() +
                   degrees * std::log(yPy / degrees));
}

}  // namespace

DenseRemlFit dense_reml_maximum(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y) {
    constexpr int kGrid = 400;
    constexpr double kTop = 1.0 - 1e-9;
    auto grid_point = [&](int i) { return kTop * (1.0 - std::pow(1.0 - static_cast<double>(i) / kGrid, 2.0)); };
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(K);
    const Eigen::MatrixXd X_rotated = eigen.eigenvectors().transpose() * X;
    const Eigen::VectorXd y_rotated = eigen.eigenvectors().transpose() * y;
    int best = 0;
    double best_value = -std::numeric_limits<double>::infinity();
    for (int i = 0; i <= kGrid; ++i) {
        const double value = profiled_on_grid(eigen.eigenvalues(), X_rotated, y_rotated, grid_point(i));
        if (value > best_value) {
            best_value = value;
            best = i;
        }
    }
    double low = grid_point(std::max(best - 1, 0)), high = grid_point(std::min(best + 1, kGrid));
    const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
    double a = high - ratio * (high - low), b = low + ratio * (high - low);
    double fa = profiled(K, X, y, a).log_likelihood, fb = profiled(K, X, y, b).log_likelihood;
    while (high - low > 1e-12) {
        if (fa < fb) {
            low = a;
            a = b;
            fa = fb;
            b = low + ratio * (high - low);
            fb = profiled(K, X, y, b).log_likelihood;
        } else {
            high = b;
            b = a;
            fb = fa;
            a = high - ratio * (high - low);
            fa = profiled(K, X, y, a).log_likelihood;
        }
    }
    DenseRemlFit fit = profiled(K, X, y, 0.5 * (low + high));
    // The golden section cannot reach the end of the range exactly: h2 = 0 is the boundary.
    const DenseRemlFit at_zero = profiled(K, X, y, 0.0);
    return at_zero.log_likelihood >= fit.log_likelihood ? at_zero : fit;
}

Eigen::Matrix2d dense_average_information(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                                 const Eigen::VectorXd& y, double sigma_a2, double sigma_e2) {
    const Eigen::Vector2d theta(sigma_a2, sigma_e2);
    auto L = [&](const Eigen::Vector2d& t) { return dense_restricted_loglik(K, X, y, t[0], t[1]); };
    // Steps relative to each component (to the total for a component near 0).
    auto hessian_with_step = [&](double relative) {
        const Eigen::Vector2d h = relative * theta.cwiseMax(1e-2 * theta.sum());
        Eigen::Matrix2d hessian;
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < 2; ++j) {
                Eigen::Vector2d ei = Eigen::Vector2d::Zero(), ej = Eigen::Vector2d::Zero();
                ei[i] = h[i];
                ej[j] = h[j];
                hessian(i, j) = (L(theta + ei + ej) - L(theta + ei - ej) - L(theta - ei + ej) + L(theta - ei - ej)) /
                                (4.0 * h[i] * h[j]);
            }
        }
        return hessian;
    };
    const Eigen::Matrix2d hessian = (4.0 * hessian_with_step(2e-3) - hessian_with_step(4e-3)) / 3.0;
    const Eigen::Index n = y.size();
    const Eigen::MatrixXd V = sigma_a2 * K + sigma_e2 * Eigen::MatrixXd::Identity(n, n);
    const Eigen::MatrixXd V_inverse = V.llt().solve(Eigen::MatrixXd::Identity(n, n));
    const Eigen::MatrixXd VinvX = V_inverse * X;
    const Eigen::MatrixXd P = V_inverse - VinvX * (X.transpose() * VinvX).ldlt().solve(VinvX.transpose());
    const Eigen::MatrixXd PK = P * K;
    Eigen::Matrix2d expected;
    expected << 0.5 * (PK * PK).trace(), 0.5 * (PK * P).trace(), 0.5 * (PK * P).trace(), 0.5 * (P * P).trace();
    return 0.5 * (-hessian + expected);
}
