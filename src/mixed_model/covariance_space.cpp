// The parameter space of covariance blocks: positive semi-definite variance blocks, positive
// definite residual blocks (each eigenvalue at least a limit), the boundary where a block loses
// rank, and the EM step that stays inside.

#include <algorithm>
#include <cmath>
#include <vector>

#include "mixed_model/mixed_model.h"

namespace {

// An eigenvalue of a variance block this small against the components' scale counts as 0: the
// boundary.
constexpr double kBoundaryTolerance = 1e-9;

// V' W diag(values) W' with W, values from an eigen-decomposition, made exactly symmetric.
Eigen::MatrixXd from_eigen(const Eigen::MatrixXd& vectors, const Eigen::VectorXd& values) {
    const Eigen::MatrixXd M = vectors * values.asDiagonal() * vectors.transpose();
    return 0.5 * (M + M.transpose());
}

}  // namespace

CovarianceSpace::CovarianceSpace(std::vector<Block> blocks, Eigen::Index count, Eigen::Index individuals)
    : blocks_(std::move(blocks)), count_(count), individuals_(individuals) {}

Eigen::Index CovarianceSpace::position(Eigen::Index a, Eigen::Index b) {
    const Eigen::Index row = std::max(a, b), column = std::min(a, b);
    return row * (row + 1) / 2 + column;
}

Eigen::MatrixXd CovarianceSpace::matrix(const Eigen::VectorXd& theta, std::size_t block) const {
    const Block& at = blocks_[block];
    Eigen::MatrixXd M(at.size, at.size);
    for (Eigen::Index a = 0; a < at.size; ++a) {
        for (Eigen::Index b = 0; b < at.size; ++b) {
            M(a, b) = theta[at.offset + position(a, b)];
        }
    }
    return M;
}

void CovarianceSpace::set_matrix(Eigen::VectorXd& theta, std::size_t block, const Eigen::MatrixXd& M) const {
    const Block& at = blocks_[block];
    for (Eigen::Index a = 0; a < at.size; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) {
            theta[at.offset + position(a, b)] = M(a, b);
        }
    }
}

// The score as a symmetric matrix S with dlogL = tr(S dM) / 2: twice the diagonal's
// derivatives, the off-diagonal's as they are (each covariance is two entries of M).
Eigen::MatrixXd CovarianceSpace::score_matrix(const Eigen::VectorXd& score, std::size_t block) const {
    Eigen::MatrixXd S = matrix(score, block);
    S.diagonal() *= 2.0;
    return S;
}

double CovarianceSpace::tolerance(const Eigen::VectorXd& theta) const {
    double scale = 0.0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        scale += std::fabs(matrix(theta, b).trace());
    }
    return kBoundaryTolerance * scale;
}

Eigen::MatrixXd CovarianceSpace::boundary_vectors(const Eigen::VectorXd& theta, std::size_t block) const {
    const Block& at = blocks_[block];
    const Eigen::MatrixXd M = matrix(theta, block);
    if (!M.allFinite()) {
        return Eigen::MatrixXd(at.size, 0);
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(M);
    const double bound = at.residual ? at.limit * (1.0 + 1e-8) : tolerance(theta);
    std::vector<Eigen::Index> on;
    for (Eigen::Index i = 0; i < at.size; ++i) {
        if (eigen.eigenvalues()[i] <= bound) {
            on.push_back(i);
        }
    }
    return eigen.eigenvectors()(Eigen::all, on);
}

Eigen::VectorXd CovarianceSpace::feasible(const Eigen::VectorXd& theta) const {
    Eigen::VectorXd inside = theta;
    std::vector<Eigen::MatrixXd> matrices;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        matrices.push_back(matrix(theta, b));
        if (!matrices.back().allFinite()) {
            return inside;
        }
    }
    const double zero = tolerance(theta);
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(matrices[b]);
        const double least = blocks_[b].residual ? blocks_[b].limit : zero;
        if (eigen.eigenvalues().minCoeff() < least) {
            const Eigen::VectorXd values = blocks_[b].residual
                                               ? Eigen::VectorXd(eigen.eigenvalues().cwiseMax(least))
                                               : Eigen::VectorXd((eigen.eigenvalues().array() < least).select(0.0, eigen.eigenvalues()));
            set_matrix(inside, b, from_eigen(eigen.eigenvectors(), values));
        }
    }
    return inside;
}

// Held when no move into the space raises the likelihood: Z'S Z negative semi-definite (the
// slope along Z A Z', A >= 0, is tr(Z'S Z A) / 2), to the rounding of the score.
bool CovarianceSpace::held_at(const Eigen::MatrixXd& Z, const Eigen::VectorXd& score, std::size_t block) const {
    if (Z.cols() == 0) {
        return false;
    }
    const Eigen::MatrixXd inward = Z.transpose() * score_matrix(score, block) * Z;
    const double rising = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(inward).eigenvalues().maxCoeff();
    return rising <= 1e-8 * static_cast<double>(std::max<Eigen::Index>(individuals_, 1));
}

Eigen::MatrixXd CovarianceSpace::boundary_information(const Eigen::VectorXd& theta, const Eigen::VectorXd& score) const {
    // A tangent step D leaves the boundary direction z, whose eigenvalue falls by
    // sum_i (z'D v_i)^2 / (mu_i - lambda) (v_i, mu_i the other eigenpairs); `feasible` lifts it
    // back, at a slope z'S z / 2 < 0. That second-order loss is -D'(|z'S z| sum_i w_i w_i' /
    // (mu_i - lambda))D / 2 with w_i the components' coefficients of z'D v_i: without it the AI
    // step overshoots along a flat boundary and swings from side to side.
    Eigen::MatrixXd information = Eigen::MatrixXd::Zero(count_, count_);
    for (std::size_t block = 0; block < blocks_.size(); ++block) {
        const Block& at = blocks_[block];
        const Eigen::MatrixXd Z = boundary_vectors(theta, block);
        if (!held_at(Z, score, block)) {
            continue;
        }
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(matrix(theta, block));
        const Eigen::MatrixXd S = score_matrix(score, block);
        const Eigen::Index on = Z.cols();  // the boundary's eigenvalues come first (ascending)
        for (Eigen::Index j = 0; j < on; ++j) {
            const Eigen::VectorXd z = eigen.eigenvectors().col(j);
            const double slope = std::fabs(z.dot(S * z));
            for (Eigen::Index i = on; i < at.size; ++i) {
                const Eigen::VectorXd v = eigen.eigenvectors().col(i);
                const double gap = eigen.eigenvalues()[i] - eigen.eigenvalues()[j];
                if (!(gap > 0.0)) {
                    continue;
                }
                Eigen::VectorXd w = Eigen::VectorXd::Zero(count_);
                for (Eigen::Index a = 0; a < at.size; ++a) {
                    for (Eigen::Index b = 0; b <= a; ++b) {
                        w[at.offset + position(a, b)] = a == b ? z[a] * v[a] : z[a] * v[b] + z[b] * v[a];
                    }
                }
                information += (slope / gap) * w * w.transpose();
            }
        }
    }
    return information;
}

Eigen::MatrixXd CovarianceSpace::held_directions(const Eigen::VectorXd& theta, const Eigen::VectorXd& score) const {
    std::vector<Eigen::VectorXd> functionals;
    for (std::size_t block = 0; block < blocks_.size(); ++block) {
        const Block& at = blocks_[block];
        const Eigen::MatrixXd Z = boundary_vectors(theta, block);
        if (!held_at(Z, score, block)) {
            continue;
        }
        // z_i' dM z_j = 0 for every pair of boundary directions keeps the step on the boundary.
        for (Eigen::Index i = 0; i < Z.cols(); ++i) {
            for (Eigen::Index j = i; j < Z.cols(); ++j) {
                Eigen::VectorXd f = Eigen::VectorXd::Zero(count_);
                for (Eigen::Index a = 0; a < at.size; ++a) {
                    for (Eigen::Index b = 0; b <= a; ++b) {
                        f[at.offset + position(a, b)] =
                            a == b ? Z(a, i) * Z(a, j) : Z(a, i) * Z(b, j) + Z(b, i) * Z(a, j);
                    }
                }
                functionals.push_back(f);
            }
        }
    }
    Eigen::MatrixXd N(count_, static_cast<Eigen::Index>(functionals.size()));
    for (std::size_t c = 0; c < functionals.size(); ++c) {
        N.col(static_cast<Eigen::Index>(c)) = functionals[c];
    }
    return N;
}

Eigen::VectorXd CovarianceSpace::change_scale(const Eigen::VectorXd& theta) const {
    Eigen::VectorXd scale = theta;
    for (const Block& at : blocks_) {
        for (Eigen::Index a = 0; a < at.size; ++a) {
            for (Eigen::Index b = 0; b < a; ++b) {
                scale[at.offset + position(a, b)] =
                    std::sqrt(std::fabs(theta[at.offset + position(a, a)] * theta[at.offset + position(b, b)]));
            }
        }
    }
    return scale;
}

Eigen::VectorXd CovarianceSpace::em_point(const Eigen::VectorXd& theta, const Eigen::VectorXd& score,
                                          double step) const {
    Eigen::VectorXd point = theta;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Eigen::Index covered = blocks_[b].individuals > 0 ? blocks_[b].individuals : individuals_;
        const double q = static_cast<double>(std::max<Eigen::Index>(covered, 1));
        const Eigen::MatrixXd M = matrix(theta, b);
        const Eigen::MatrixXd dM = M * score_matrix(score, b) * M / q;
        set_matrix(point, b, M + step * dM);
    }
    return feasible(point);
}
