// The parameter space of several traits' covariance matrices, shared by their evaluators: Vg
// positive semi-definite and Ve positive definite (each at least a limit), the boundary where
// either loses rank, and the EM step that stays inside.

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "mixed_model/mixed_model.h"

namespace {

// An eigenvalue of Vg this small against the components' scale counts as 0: the boundary.
constexpr double kBoundaryTolerance = 1e-9;

// V' W diag(values) W' with W, values from an eigen-decomposition, made exactly symmetric.
Eigen::MatrixXd from_eigen(const Eigen::MatrixXd& vectors, const Eigen::VectorXd& values) {
    const Eigen::MatrixXd M = vectors * values.asDiagonal() * vectors.transpose();
    return 0.5 * (M + M.transpose());
}

}  // namespace

Eigen::Index TraitLayout::position(Eigen::Index a, Eigen::Index b) const {
    const Eigen::Index row = std::max(a, b), column = std::min(a, b);
    return row * (row + 1) / 2 + column;
}

std::pair<Eigen::Index, Eigen::Index> TraitLayout::element(Eigen::Index k) const {
    Eigen::Index within = k % per_matrix();
    Eigen::Index row = 0;
    while ((row + 1) * (row + 2) / 2 <= within) {
        ++row;
    }
    return {row, within - row * (row + 1) / 2};
}

Eigen::MatrixXd TraitLayout::genetic(const Eigen::VectorXd& theta) const {
    Eigen::MatrixXd M(traits, traits);
    for (Eigen::Index a = 0; a < traits; ++a) {
        for (Eigen::Index b = 0; b < traits; ++b) {
            M(a, b) = theta[position(a, b)];
        }
    }
    return M;
}

Eigen::MatrixXd TraitLayout::residual(const Eigen::VectorXd& theta) const {
    return genetic(theta.segment(per_matrix(), per_matrix()));
}

Eigen::VectorXd TraitLayout::components(const Eigen::MatrixXd& genetic, const Eigen::MatrixXd& residual) const {
    Eigen::VectorXd theta(count());
    for (Eigen::Index a = 0; a < traits; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) {
            theta[position(a, b)] = genetic(a, b);
            theta[per_matrix() + position(a, b)] = residual(a, b);
        }
    }
    return theta;
}

std::vector<std::string> trait_component_names(const std::vector<std::string>& traits) {
    std::vector<std::string> names;
    for (const char* matrix : {"Vg", "Ve"}) {
        for (std::size_t a = 0; a < traits.size(); ++a) {
            for (std::size_t b = 0; b <= a; ++b) {
                names.push_back(std::string(matrix) + "(" + (a == b ? traits[a] : traits[b] + "," + traits[a]) + ")");
            }
        }
    }
    return names;
}

TraitEvaluator::TraitEvaluator(Eigen::Index traits, Eigen::Index individuals, double residual_limit)
    : individuals_(individuals), residual_limit_(residual_limit) {
    if (traits < 1 || traits > kMostTraits) {
        throw std::invalid_argument("A model of several traits takes 1 to " + std::to_string(kMostTraits) +
                                    " traits, not " + std::to_string(traits) + ".");
    }
    layout_.traits = traits;
}

namespace {

// The score as a symmetric matrix S with dlogL = tr(S dV) / 2: twice the diagonal's
// derivatives, the off-diagonal's as they are (each covariance is two entries of V).
Eigen::MatrixXd score_matrix(const TraitLayout& layout, const Eigen::VectorXd& score, bool residual) {
    Eigen::MatrixXd S = residual ? layout.residual(score) : layout.genetic(score);
    S.diagonal() *= 2.0;
    return S;
}

double genetic_tolerance(const TraitLayout& layout, const Eigen::VectorXd& theta) {
    return kBoundaryTolerance *
           (std::fabs(layout.genetic(theta).trace()) + std::fabs(layout.residual(theta).trace()));
}

}  // namespace

Eigen::MatrixXd TraitEvaluator::boundary_vectors(const Eigen::VectorXd& theta, bool residual) const {
    const Eigen::MatrixXd M = residual ? layout_.residual(theta) : layout_.genetic(theta);
    const Eigen::Index t = layout_.traits;
    if (!M.allFinite()) {
        return Eigen::MatrixXd(t, 0);
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(M);
    const double bound = residual ? residual_limit_ * (1.0 + 1e-8) : genetic_tolerance(layout_, theta);
    std::vector<Eigen::Index> at;
    for (Eigen::Index i = 0; i < t; ++i) {
        if (eigen.eigenvalues()[i] <= bound) {
            at.push_back(i);
        }
    }
    return eigen.eigenvectors()(Eigen::all, at);
}

Eigen::VectorXd TraitEvaluator::feasible(const Eigen::VectorXd& theta) const {
    Eigen::VectorXd inside = theta;
    const Eigen::Index half = layout_.per_matrix();
    Eigen::MatrixXd G = layout_.genetic(theta), R = layout_.residual(theta);
    if (!G.allFinite() || !R.allFinite()) {
        return inside;
    }
    const double tolerance = genetic_tolerance(layout_, theta);
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> genetic(G);
    if (genetic.eigenvalues().minCoeff() < tolerance) {
        const Eigen::VectorXd values = (genetic.eigenvalues().array() < tolerance).select(0.0, genetic.eigenvalues());
        inside.head(half) = layout_.components(from_eigen(genetic.eigenvectors(), values), R).head(half);
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> residual(R);
    if (residual.eigenvalues().minCoeff() < residual_limit_) {
        const Eigen::VectorXd values = residual.eigenvalues().cwiseMax(residual_limit_);
        inside.tail(half) = layout_.components(G, from_eigen(residual.eigenvectors(), values)).tail(half);
    }
    return inside;
}

// Held when no move into the space raises the likelihood: Z'S Z negative semi-definite (the
// slope along Z A Z', A >= 0, is tr(Z'S Z A) / 2), to the rounding of the score.
bool TraitEvaluator::held_at(const Eigen::MatrixXd& Z, const Eigen::VectorXd& score, bool residual) const {
    if (Z.cols() == 0) {
        return false;
    }
    const Eigen::MatrixXd inward = Z.transpose() * score_matrix(layout_, score, residual) * Z;
    const double rising = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(inward).eigenvalues().maxCoeff();
    return rising <= 1e-8 * static_cast<double>(std::max<Eigen::Index>(individuals_, 1));
}

Eigen::MatrixXd TraitEvaluator::boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const {
    // A tangent step D leaves the boundary direction z, whose eigenvalue falls by
    // sum_i (z'D v_i)^2 / (mu_i - lambda) (v_i, mu_i the other eigenpairs); `feasible` lifts it
    // back, at a slope z'S z / 2 < 0. That second-order loss is -D'(|z'S z| sum_i w_i w_i' /
    // (mu_i - lambda))D / 2 with w_i the components' coefficients of z'D v_i: without it the AI
    // step overshoots along a flat boundary and swings from side to side.
    const Eigen::Index half = layout_.per_matrix(), t = layout_.traits;
    Eigen::MatrixXd information = Eigen::MatrixXd::Zero(2 * half, 2 * half);
    for (const bool residual : {false, true}) {
        const Eigen::MatrixXd Z = boundary_vectors(theta, residual);
        if (!held_at(Z, point.score, residual)) {
            continue;
        }
        const Eigen::MatrixXd M = residual ? layout_.residual(theta) : layout_.genetic(theta);
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(M);
        const Eigen::MatrixXd S = score_matrix(layout_, point.score, residual);
        const Eigen::Index at = Z.cols();  // the boundary's eigenvalues come first (ascending)
        for (Eigen::Index j = 0; j < at; ++j) {
            const Eigen::VectorXd z = eigen.eigenvectors().col(j);
            const double slope = std::fabs(z.dot(S * z));
            for (Eigen::Index i = at; i < t; ++i) {
                const Eigen::VectorXd v = eigen.eigenvectors().col(i);
                const double gap = eigen.eigenvalues()[i] - eigen.eigenvalues()[j];
                if (!(gap > 0.0)) {
                    continue;
                }
                Eigen::VectorXd w = Eigen::VectorXd::Zero(2 * half);
                for (Eigen::Index a = 0; a < t; ++a) {
                    for (Eigen::Index b = 0; b <= a; ++b) {
                        w[(residual ? half : 0) + layout_.position(a, b)] =
                            a == b ? z[a] * v[a] : z[a] * v[b] + z[b] * v[a];
                    }
                }
                information += (slope / gap) * w * w.transpose();
            }
        }
    }
    return information;
}

Eigen::MatrixXd TraitEvaluator::held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const {
    const Eigen::Index half = layout_.per_matrix(), t = layout_.traits;
    std::vector<Eigen::VectorXd> functionals;
    for (const bool residual : {false, true}) {
        const Eigen::MatrixXd Z = boundary_vectors(theta, residual);
        if (!held_at(Z, point.score, residual)) {
            continue;
        }
        // z_i' dV z_j = 0 for every pair of boundary directions keeps the step on the boundary.
        for (Eigen::Index i = 0; i < Z.cols(); ++i) {
            for (Eigen::Index j = i; j < Z.cols(); ++j) {
                Eigen::VectorXd f = Eigen::VectorXd::Zero(2 * half);
                for (Eigen::Index a = 0; a < t; ++a) {
                    for (Eigen::Index b = 0; b <= a; ++b) {
                        f[(residual ? half : 0) + layout_.position(a, b)] =
                            a == b ? Z(a, i) * Z(a, j) : Z(a, i) * Z(b, j) + Z(b, i) * Z(a, j);
                    }
                }
                functionals.push_back(f);
            }
        }
    }
    Eigen::MatrixXd N(2 * half, static_cast<Eigen::Index>(functionals.size()));
    for (std::size_t c = 0; c < functionals.size(); ++c) {
        N.col(static_cast<Eigen::Index>(c)) = functionals[c];
    }
    return N;
}

Eigen::VectorXd TraitEvaluator::change_scale(const Eigen::VectorXd& theta) const {
    Eigen::VectorXd scale = theta;
    const Eigen::Index half = layout_.per_matrix();
    for (Eigen::Index k = 0; k < 2 * half; ++k) {
        const auto [a, b] = layout_.element(k);
        if (a != b) {
            const Eigen::Index base = k < half ? 0 : half;
            scale[k] = std::sqrt(std::fabs(theta[base + layout_.position(a, a)] * theta[base + layout_.position(b, b)]));
        }
    }
    return scale;
}

std::optional<Eigen::VectorXd> TraitEvaluator::em_step(const Eigen::VectorXd& theta,
                                                       const LikelihoodPoint& point) const {
    // V + V S V / q: with every trait recorded, the EM-REML update of V (Vg from E[U'K^-1 U | Y],
    // Ve from E[E'E | Y]), which raises the likelihood and keeps V in the space; with missing
    // values still a direction of ascent (the slope along it is tr(S V S V) / 2 >= 0), so it is
    // shortened until the likelihood does not fall.
    const Eigen::MatrixXd G = layout_.genetic(theta), R = layout_.residual(theta);
    const double q = static_cast<double>(std::max<Eigen::Index>(individuals_, 1));
    const Eigen::MatrixXd dG = G * score_matrix(layout_, point.score, false) * G / q;
    const Eigen::MatrixXd dR = R * score_matrix(layout_, point.score, true) * R / q;
    const double slack = 1e-10 * (1.0 + std::fabs(point.log_likelihood));
    Eigen::VectorXd candidate = theta;
    double step = 1.0;
    for (int halving = 0; halving <= 30; ++halving, step *= 0.5) {
        candidate = feasible(layout_.components(G + step * dG, R + step * dR));
        const LikelihoodPoint next = evaluate(candidate);
        if (next.finite && next.log_likelihood >= point.log_likelihood - slack) {
            break;
        }
    }
    return candidate;
}

TraitPrediction predict_traits(const TraitSolution& solution, const Eigen::MatrixXd& genetic,
                               const Eigen::MatrixXd& columns, const Eigen::VectorXd& diagonal) {
    const Eigen::Index t = genetic.rows(), N = columns.rows();
    if (columns.cols() != solution.Py.rows() || diagonal.size() != N || solution.Py.cols() != t) {
        throw std::invalid_argument("Prediction of several traits needs the kinship of the records' individuals.");
    }
    TraitPrediction prediction;
    prediction.values = columns * (solution.Py * genetic);
    prediction.error_variances.resize(N, t);
    prediction.prior_variances = diagonal * genetic.diagonal().transpose();
    // A block of individuals at a time keeps the forms' temporaries small.
    constexpr Eigen::Index kBlock = 512;
    for (Eigen::Index first = 0; first < N; first += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - first);
        const Eigen::MatrixXd forms = solution.kinship_forms(columns.middleRows(first, width).transpose());
        for (Eigen::Index i = 0; i < width; ++i) {
            const Eigen::Map<const Eigen::MatrixXd> F(forms.col(i).data(), t, t);
            const Eigen::MatrixXd removed = genetic * F * genetic;
            for (Eigen::Index a = 0; a < t; ++a) {
                prediction.error_variances(first + i, a) =
                    error_variance_or_nan(prediction.prior_variances(first + i, a), removed(a, a));
            }
        }
    }
    return prediction;
}

AiRemlSettings trait_reml_settings(const TraitEvaluator& evaluator, const std::vector<std::string>& traits,
                                   const Eigen::MatrixXd& start_genetic, Eigen::MatrixXd start_residual,
                                   const std::vector<std::pair<Eigen::Index, Eigen::Index>>& unshared,
                                   Eigen::Index records, int max_iter, double tol) {
    std::vector<CovarianceBlock> blocks = variance_blocks(
        {"g"}, "e", traits, {start_genetic, std::move(start_residual)}, evaluator.residual_limit(),
        [](const std::string& block, const std::string& element) { return "V" + block + "(" + element + ")"; });
    for (const auto& [a, b] : unshared) {
        blocks[1].start(a, b) = blocks[1].start(b, a) = 0.0;
        blocks[1].fixed.emplace_back(std::max(a, b), std::min(a, b));
    }
    return reml_settings(blocks, records, max_iter, tol);
}
