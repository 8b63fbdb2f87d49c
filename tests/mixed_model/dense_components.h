#pragma once

// REML of several variance components by brute force, for checking the dense evaluator: the
// restricted log-likelihood of V = sum_k theta_k V_k + theta_e I (or sum_c theta_c R_c) formed densely, maximised by
// Nelder and Mead's simplex over the log variances; the average information from its definition
// and the Hessian by finite differences. Nothing here shares code with src/mixed_model.

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Dense>

struct DenseComponents {
    std::vector<Eigen::MatrixXd> covariances;  // V_k, n x n, the random effects
    std::vector<Eigen::MatrixXd> residuals;    // R_c, the residual's per class; none: I
    Eigen::MatrixXd X;
    Eigen::VectorXd y;

    Eigen::MatrixXd V(const Eigen::VectorXd& theta) const {
        const Eigen::Index n = y.size();
        Eigen::MatrixXd V = Eigen::MatrixXd::Zero(n, n);
        if (residuals.empty()) {
            V.diagonal().setConstant(theta[theta.size() - 1]);
        }
        for (std::size_t c = 0; c < residuals.size(); ++c) {
            V += theta[static_cast<Eigen::Index>(covariances.size() + c)] * residuals[c];
        }
        for (std::size_t k = 0; k < covariances.size(); ++k) {
            V += theta[static_cast<Eigen::Index>(k)] * covariances[k];
        }
        return V;
    }

    // -0.5 (log|V| + log|X'V^-1 X| + y'Py); -infinity where V is not positive definite.
    double log_likelihood(const Eigen::VectorXd& theta) const {
        const Eigen::LLT<Eigen::MatrixXd> chol(V(theta));
        if (chol.info() != Eigen::Success || (theta.array() < 0.0).any()) {
            return -std::numeric_limits<double>::infinity();
        }
        const Eigen::MatrixXd VinvX = chol.solve(X);
        const Eigen::VectorXd Vinv_y = chol.solve(y);
        const Eigen::LLT<Eigen::MatrixXd> C(X.transpose() * VinvX);
        const Eigen::VectorXd b = C.solve(X.transpose() * Vinv_y);
        return -0.5 * (2.0 * Eigen::MatrixXd(chol.matrixL()).diagonal().array().log().sum() +
                       2.0 * Eigen::MatrixXd(C.matrixL()).diagonal().array().log().sum() + y.dot(Vinv_y) -
                       (X.transpose() * Vinv_y).dot(b));
    }

    Eigen::MatrixXd P(const Eigen::VectorXd& theta) const {
        const Eigen::MatrixXd Vinv = V(theta).inverse();
        const Eigen::MatrixXd VinvX = Vinv * X;
        return Vinv - VinvX * (X.transpose() * VinvX).inverse() * VinvX.transpose();
    }

    // 0.5 y'P V_k P V_l P y, from its definition.
    Eigen::MatrixXd average_information(const Eigen::VectorXd& theta) const {
        const Eigen::MatrixXd Pm = P(theta);
        const auto m = static_cast<Eigen::Index>(theta.size());
        std::vector<Eigen::VectorXd> derivative;
        for (Eigen::Index k = 0; k < m; ++k) {
            const Eigen::VectorXd Py = Pm * y;
            const auto index = static_cast<std::size_t>(k);
            if (index < covariances.size()) {
                derivative.push_back(covariances[index] * Py);
            } else {
                derivative.push_back(residuals.empty() ? Py : Eigen::VectorXd(residuals[index - covariances.size()] * Py));
            }
        }
        Eigen::MatrixXd ai(m, m);
        for (Eigen::Index k = 0; k < m; ++k) {
            for (Eigen::Index l = 0; l < m; ++l) {
                ai(k, l) = 0.5 * derivative[static_cast<std::size_t>(k)].dot(Pm * derivative[static_cast<std::size_t>(l)]);
            }
        }
        return ai;
    }

    // The negative Hessian of the log-likelihood by central differences.
    Eigen::MatrixXd observed_information(const Eigen::VectorXd& theta) const {
        const auto m = static_cast<Eigen::Index>(theta.size());
        const Eigen::VectorXd h = 1e-3 * theta.cwiseMax(1e-2 * theta.sum());
        Eigen::MatrixXd hessian(m, m);
        for (Eigen::Index i = 0; i < m; ++i) {
            for (Eigen::Index j = 0; j < m; ++j) {
                Eigen::VectorXd ei = Eigen::VectorXd::Zero(m), ej = Eigen::VectorXd::Zero(m);
                ei[i] = h[i];
                ej[j] = h[j];
                hessian(i, j) = (log_likelihood(theta + ei + ej) - log_likelihood(theta + ei - ej) -
                                 log_likelihood(theta - ei + ej) + log_likelihood(theta - ei - ej)) /
                                (4.0 * h[i] * h[j]);
            }
        }
        return -hessian;
    }

    // The maximum over positive variances: Nelder-Mead on the log variances, restarted from its
    // own best point until it stops improving.
    Eigen::VectorXd maximum(const Eigen::VectorXd& start) const {
        const auto m = static_cast<Eigen::Index>(start.size());
        auto f = [&](const Eigen::VectorXd& z) { return -log_likelihood(z.array().exp().matrix()); };
        Eigen::VectorXd best = start.array().log().matrix();
        double best_value = f(best);
        for (int restart = 0; restart < 30; ++restart) {
            std::vector<Eigen::VectorXd> simplex{best};
            for (Eigen::Index i = 0; i < m; ++i) {
                Eigen::VectorXd vertex = best;
                vertex[i] += restart == 0 ? 0.5 : 0.05;
                simplex.push_back(vertex);
            }
            std::vector<double> values;
            for (const Eigen::VectorXd& vertex : simplex) values.push_back(f(vertex));
            for (int step = 0; step < 4000; ++step) {
                std::vector<std::size_t> order(simplex.size());
                for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
                std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
                const std::size_t worst = order.back(), second = order[order.size() - 2], top = order.front();
                if (std::fabs(values[worst] - values[top]) < 1e-13 * (1.0 + std::fabs(values[top]))) break;
                Eigen::VectorXd centre = Eigen::VectorXd::Zero(m);
                for (std::size_t i = 0; i < simplex.size(); ++i) {
                    if (i != worst) centre += simplex[i] / static_cast<double>(m);
                }
                const Eigen::VectorXd reflected = centre + (centre - simplex[worst]);
                const double fr = f(reflected);
                if (fr < values[top]) {
                    const Eigen::VectorXd expanded = centre + 2.0 * (centre - simplex[worst]);
                    const double fe = f(expanded);
                    simplex[worst] = fe < fr ? expanded : reflected;
                    values[worst] = std::min(fe, fr);
                } else if (fr < values[second]) {
                    simplex[worst] = reflected;
                    values[worst] = fr;
                } else {
                    const Eigen::VectorXd contracted = centre + 0.5 * (simplex[worst] - centre);
                    const double fc = f(contracted);
                    if (fc < values[worst]) {
                        simplex[worst] = contracted;
                        values[worst] = fc;
                    } else {
                        for (std::size_t i = 0; i < simplex.size(); ++i) {
                            if (i == top) continue;
                            simplex[i] = simplex[top] + 0.5 * (simplex[i] - simplex[top]);
                            values[i] = f(simplex[i]);
                        }
                    }
                }
            }
            const auto top = std::min_element(values.begin(), values.end()) - values.begin();
            const bool improved = values[static_cast<std::size_t>(top)] < best_value - 1e-12;
            if (values[static_cast<std::size_t>(top)] <= best_value) {
                best = simplex[static_cast<std::size_t>(top)];
                best_value = values[static_cast<std::size_t>(top)];
            }
            if (!improved && restart > 2) break;
        }
        return best.array().exp().matrix();
    }
};
