#include <cmath>
#include <iomanip>
#include <limits>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>

#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

// log det V from the eigenvalues of V = sa2 K + se2 I. When V is not positive definite the
// value is that of ln(det V): NaN for a negative determinant, -inf for a zero one.
double log_det_shifted(const Eigen::VectorXd& eigenvalues, double sigma_a2, double sigma_e2) {
    double sum = 0.0;
    int negative_count = 0;
    bool zero = false;
    for (Eigen::Index i = 0; i < eigenvalues.size(); ++i) {
        const double value = sigma_a2 * eigenvalues[i] + sigma_e2;
        if (value > 0.0) {
            sum += std::log(value);
        } else if (value < 0.0) {
            ++negative_count;
            sum += std::log(-value);
        } else if (value == 0.0) {
            zero = true;
        } else {
            return std::numeric_limits<double>::quiet_NaN();
        }
    }
    if (negative_count % 2 == 1) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return zero ? -std::numeric_limits<double>::infinity() : sum;
}

void write_header(std::ostream& out) {
    out << std::setw(10) << "Iteration" << std::setw(15) << "LogLik" << std::setw(15) << "Sigma_a2" << std::setw(15)
        << "Sigma_e2" << std::setw(15) << "Changed_a2" << std::setw(15) << "Changed_e2" << std::endl;
}

void write_iteration(std::ostream& out, const RemlIteration& step) {
    out << std::setw(10) << step.iteration << std::setw(15) << step.log_likelihood << std::setw(15) << step.sigma_a2
        << std::setw(15) << step.sigma_e2 << std::setw(15) << step.change_a2 << std::setw(15) << step.change_e2
        << std::endl;
}

}  // namespace

double computeVariance(const Eigen::MatrixXd& m) {
    const double mean = m.sum() / static_cast<double>(m.rows() * m.cols());
    return (m.array() - mean).square().sum() / static_cast<double>(m.rows() - 1);
}

double logDetV(const Eigen::MatrixXd& V) {
    if (V.rows() == 0) {
        return 0.0;
    }
    const Eigen::LLT<Eigen::MatrixXd> cholesky(V);
    if (cholesky.info() != Eigen::Success) {
        return std::numeric_limits<double>::infinity();
    }
    return 2.0 * cholesky.matrixLLT().diagonal().array().log().sum();
}

RemlResult reml_ai_cpp(const ReducedKinship& kinship, const Eigen::MatrixXd& X_given, const Eigen::MatrixXd& y,
                       int max_iter, double h2_init, double tol,
                       const std::function<void(const RemlIteration&)>& on_iteration) {
    const Eigen::Index n = y.rows();
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(X_given.cols()));
    std::iota(in_order.begin(), in_order.end(), Eigen::Index{0});
    const std::vector<Eigen::Index> kept = independent_columns(X_given, in_order);
    const auto p = static_cast<Eigen::Index>(kept.size());

    // [X y] rotated once by Q'; in that basis V is the band matrix sa2 B + se2 I and K is B.
    const Eigen::MatrixXd rotated = rotate_design_and_trait(kinship, X_given, kept, y);
    const auto X = rotated.leftCols(p);
    const auto y_rot = rotated.col(p);
    const Eigen::ArrayXd eigenvalues = kinship.eigenvalues.array();

    const double variance = computeVariance(y);
    double sigma_a2 = h2_init * variance;
    double sigma_e2 = (1.0 - h2_init) * variance;

    RemlResult result;
    for (int k = 1; k < max_iter; ++k) {
        const ShiftedBandLU V_lu = factor_shifted_band(kinship, sigma_a2, sigma_e2);
        const Eigen::MatrixXd solved = solve_factored(V_lu, rotated);
        const auto VinvX = solved.leftCols(p);
        const auto Vinv_y = solved.col(p);

        // C = X' V^-1 X, its inverse and log-determinant by LU with partial pivoting.
        Eigen::MatrixXd C_inverse(p, p);
        double log_det_C = 0.0;
        if (p > 0) {
            const Eigen::PartialPivLU<Eigen::MatrixXd> lu(X.transpose() * VinvX);
            C_inverse = lu.inverse();
            log_det_C = std::log(lu.determinant());
        }
        // P w = V^-1 w - V^-1 X C^-1 (V^-1 X)' w.
        auto project = [&](const Eigen::MatrixXd& Vinv_w, const Eigen::MatrixXd& w) -> Eigen::MatrixXd {
            return Vinv_w - VinvX * (C_inverse * (VinvX.transpose() * w));
        };
        const Eigen::VectorXd Py = project(Vinv_y, y_rot);
        const Eigen::VectorXd KPy = multiply_band(kinship, Py);

        const double yPy = y_rot.dot(Py);
        const double log_det_V = log_det_shifted(kinship.eigenvalues, sigma_a2, sigma_e2);
        const double log_likelihood = -0.5 * (log_det_V + yPy + log_det_C);

        // tr(P) = tr(V^-1) - tr(C^-1 X'V^-2 X), tr(PK) = tr(V^-1 K) - tr(C^-1 X'V^-1 K V^-1 X);
        // the first terms are sums over the eigenvalues of K.
        const Eigen::ArrayXd eigen_v = sigma_a2 * eigenvalues + sigma_e2;
        double trace_P = eigen_v.inverse().sum();
        double trace_PK = (eigenvalues / eigen_v).sum();
        if (p > 0) {
            trace_P -= (C_inverse * (VinvX.transpose() * VinvX)).trace();
            trace_PK -= (C_inverse * (VinvX.transpose() * multiply_band(kinship, VinvX))).trace();
        }
        Eigen::Vector2d score;
        score << 0.5 * (Py.dot(KPy) - trace_PK), 0.5 * (Py.dot(Py) - trace_P);

        // AI = 0.5 [KPy Py]' P [KPy Py].
        Eigen::MatrixXd derivatives(n, 2);
        derivatives << KPy, Py;
        const Eigen::MatrixXd P_derivatives = project(solve_factored(V_lu, derivatives), derivatives);
        Eigen::Matrix2d ai;
        ai(0, 0) = 0.5 * KPy.dot(P_derivatives.col(0));
        ai(0, 1) = 0.5 * KPy.dot(P_derivatives.col(1));
        ai(1, 0) = ai(0, 1);
        ai(1, 1) = 0.5 * Py.dot(P_derivatives.col(1));
        const Eigen::Matrix2d ai_inverse = Eigen::PartialPivLU<Eigen::Matrix2d>(ai).inverse();
        const Eigen::Vector2d step = ai_inverse * score;

        RemlIteration record;
        record.iteration = k;
        record.log_likelihood = log_likelihood;
        record.change_a2 = std::fabs(step[0]) / sigma_a2;
        record.change_e2 = std::fabs(step[1]) / sigma_e2;
        sigma_a2 += step[0];
        sigma_e2 += step[1];
        record.sigma_a2 = sigma_a2;
        record.sigma_e2 = sigma_e2;
        result.iterations.push_back(record);
        result.ai_inverse = ai_inverse;
        if (on_iteration) {
            on_iteration(record);
        }
        // The changes are printed as |step| / old value, negative after a negative component;
        // the verdict takes their size, so that a step away from negative components (and a
        // NaN) never counts as converged.
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
        // Delta method: gradient of sa2 / (sa2 + se2) with respect to (sa2, se2).
        const Eigen::RowVector2d gradient(sigma_e2 / (total * total), -sigma_a2 / (total * total));
        result.se_h2 = std::sqrt(gradient * result.ai_inverse * gradient.transpose());
    }
    return result;
}

RemlResult fit_reml(Logger& logger, const ReducedKinship& kinship, const Eigen::MatrixXd& X,
                    const Eigen::MatrixXd& y, int max_iter, double h2_init, double tol) {
    write_header(logger.tee);
    RemlResult result = reml_ai_cpp(kinship, X, y, max_iter, h2_init, tol,
                                    [&logger](const RemlIteration& step) { write_iteration(logger.tee, step); });
    if (!result.converged) {
        logger.tee << "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n" << std::flush;
        return result;
    }
    logger.tee << "✅ Converged!!!\n\n"
               << "Comp\tVar\tVar_SE\n"
               << "Add\t" << result.sigma_a2 << "\t" << result.se_a2 << "\n"
               << "e\t" << result.sigma_e2 << "\t" << result.se_e2 << "\n"
               << "\n👏 Heritability: " << result.h2 << " with SE " << result.se_h2 << "\n"
               << std::flush;
    return result;
}

double QorREML(Logger& logger, const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
               const int& max_iter, double h2_init, double tol) {
    const Eigen::Index n = y.rows();
    if (y.cols() != 1 || X.rows() != n || K.rows() != n || K.cols() != n) {
        throw std::invalid_argument("REML needs y as n x 1, X with n rows and K as n x n; got y " +
                                    std::to_string(y.rows()) + " x " + std::to_string(y.cols()) + ", X with " +
                                    std::to_string(X.rows()) + " rows and K " + std::to_string(K.rows()) + " x " +
                                    std::to_string(K.cols()) + ".");
    }
    const RemlResult result = fit_reml(logger, reduce_kinship_cpp(K), X, y, max_iter, h2_init, tol);
    return result.converged ? result.h2 : 0.0;
}
