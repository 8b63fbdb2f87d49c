#include <limits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "mixed_model/mixed_model.h"

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// The coefficient matrix of the mixed model equations as an operator on [b; u].
class MixedModelEquations {
public:
    MixedModelEquations(const MatrixXd& X, const std::vector<Index>& record_levels,
                        const SparsePlusDense& relationship_inverse, double variance_ratio, const VectorXd& weights)
        : X_(X), levels_(record_levels), inverse_(relationship_inverse), ratio_(variance_ratio), weights_(weights) {}

    Index fixed() const { return X_.cols(); }
    Index size() const { return X_.cols() + inverse_.size(); }

    // [X'W X b + X'W Z u; Z'W X b + Z'W Z u + lambda R u], W the records' weights
    VectorXd apply(const VectorXd& x) const {
        const Index p = fixed();
        VectorXd fitted = X_ * x.head(p);
        for (std::size_t r = 0; r < levels_.size(); ++r) {
            fitted[static_cast<Index>(r)] += x[p + levels_[r]];
        }
        if (weights_.size() != 0) {
            fitted.array() *= weights_.array();
        }
        VectorXd result(size());
        result.head(p).noalias() = X_.transpose() * fitted;
        VectorXd random = VectorXd::Zero(inverse_.size());
        for (std::size_t r = 0; r < levels_.size(); ++r) {
            random[levels_[r]] += fitted[static_cast<Index>(r)];
        }
        inverse_.multiply_add(ratio_, x.tail(inverse_.size()), random);
        result.tail(inverse_.size()) = random;
        return result;
    }

    // Right-hand side [X'W y; Z'W y].
    VectorXd right_hand_side(const VectorXd& unweighted) const {
        const VectorXd y = weights_.size() == 0 ? unweighted : VectorXd(unweighted.cwiseProduct(weights_));
        VectorXd rhs = VectorXd::Zero(size());
        rhs.head(fixed()).noalias() = X_.transpose() * y;
        for (std::size_t r = 0; r < levels_.size(); ++r) {
            rhs[fixed() + levels_[r]] += y[static_cast<Index>(r)];
        }
        return rhs;
    }

    // Diagonal of Z'W Z + lambda R.
    VectorXd random_diagonal() const {
        VectorXd diagonal = ratio_ * inverse_.diagonal();
        for (std::size_t r = 0; r < levels_.size(); ++r) {
            diagonal[levels_[r]] += weights_.size() == 0 ? 1.0 : weights_[static_cast<Index>(r)];
        }
        return diagonal;
    }

private:
    const MatrixXd& X_;
    const std::vector<Index>& levels_;
    const SparsePlusDense& inverse_;
    double ratio_;
    const VectorXd& weights_;
};

}  // namespace

IterativeSolution solve_mixed_model_pcg(const MatrixXd& X, const std::vector<Index>& record_levels, const VectorXd& y,
                                        const SparsePlusDense& relationship_inverse, double sigma_a2, double sigma_e2,
                                        double tolerance, int max_iterations,
                                        const std::function<void(int, double)>& on_iteration,
                                        const VectorXd& record_weights) {
    const Index n_levels = relationship_inverse.size();
    if (X.rows() != y.size() || static_cast<Index>(record_levels.size()) != y.size() ||
        (record_weights.size() != 0 && record_weights.size() != y.size())) {
        throw std::invalid_argument("The mixed model equations need X, y and the records' levels of one length.");
    }
    for (const Index level : record_levels) {
        if (level < 0 || level >= n_levels) {
            throw std::invalid_argument("A record's level lies outside the inverse relationship matrix.");
        }
    }
    const Index p = X.cols();
    const Eigen::LLT<MatrixXd> fixed_block(record_weights.size() == 0 ? MatrixXd(X.transpose() * X)
                                                                      : MatrixXd(X.transpose() * record_weights.asDiagonal() * X));
    if (p > 0 && fixed_block.info() != Eigen::Success) {
        throw RunFailure("the fixed-effect equations are singular; check the covariates.");
    }
    IterativeSolution solution;
    solution.b = VectorXd::Zero(p);
    solution.u = VectorXd::Zero(n_levels);
    if (!(sigma_a2 > 0.0)) {
        // No additive variance: the breeding values are 0 and b the least-squares fit.
        if (p > 0) {
            solution.b = fixed_block.solve(record_weights.size() == 0 ? VectorXd(X.transpose() * y)
                                                                      : VectorXd(X.transpose() * record_weights.cwiseProduct(y)));
        }
        solution.converged = true;
        return solution;
    }
    const MixedModelEquations equations(X, record_levels, relationship_inverse, sigma_e2 / sigma_a2, record_weights);
    const VectorXd inverse_diagonal = equations.random_diagonal().cwiseInverse();
    const auto precondition = [&](const VectorXd& r) {
        VectorXd z(r.size());
        if (p > 0) {
            z.head(p) = fixed_block.solve(r.head(p));
        }
        z.tail(n_levels) = inverse_diagonal.cwiseProduct(r.tail(n_levels));
        return z;
    };

    const VectorXd rhs = equations.right_hand_side(y);
    const double rhs_norm = rhs.norm();
    VectorXd x = VectorXd::Zero(equations.size());
    if (!(rhs_norm > 0.0)) {
        solution.converged = true;
        return solution;
    }
    VectorXd residual = rhs;
    VectorXd z = precondition(residual);
    VectorXd direction = z;
    double rz = residual.dot(z);
    // Below this the recursive residual is rounding; a residual that has not fallen for
    // kStalledIterations iterations has reached the rounding of these equations.
    constexpr double kRoundingFloor = 1e-13;
    constexpr int kStalledIterations = 50;
    double best_relative = std::numeric_limits<double>::infinity();
    int since_best = 0;
    for (int iteration = 1; iteration <= max_iterations; ++iteration) {
        const VectorXd product = equations.apply(direction);
        const double curvature = direction.dot(product);
        if (!(curvature > 0.0) || !std::isfinite(curvature)) {
            throw RunFailure("the conjugate gradient iteration broke down at iteration " + std::to_string(iteration) +
                             " (a direction of non-positive curvature): the mixed model equations are not positive "
                             "definite. Check the variances and the pedigree.");
        }
        const double step = rz / curvature;
        x.noalias() += step * direction;
        residual.noalias() -= step * product;
        double relative = residual.norm() / rhs_norm;
        bool restart = false;
        if (relative <= tolerance || relative < kRoundingFloor) {
            // The recursive residual drifts from rhs - C x in long runs, and goes on falling
            // below the rounding of the equations: confirm on the true one, and go on from it (a
            // restart) when it is still too large.
            residual = rhs - equations.apply(x);
            relative = residual.norm() / rhs_norm;
            restart = true;
        }
        solution.iterations = iteration;
        solution.relative_residual = relative;
        if (on_iteration) {
            on_iteration(iteration, relative);
        }
        if (relative <= tolerance) {
            solution.converged = true;
            break;
        }
        if (relative < best_relative) {
            best_relative = relative;
            since_best = 0;
        } else if (++since_best >= kStalledIterations) {
            solution.stalled = true;
            solution.relative_residual = best_relative;
            break;
        }
        z = precondition(residual);
        const double rz_next = residual.dot(z);
        direction = restart ? z : VectorXd(z + (rz_next / rz) * direction);
        rz = rz_next;
    }
    solution.b = x.head(p);
    solution.u = x.tail(n_levels);
    return solution;
}
