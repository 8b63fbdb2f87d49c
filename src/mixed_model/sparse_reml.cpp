#include "mixed_model/sparse_reml.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

using Triplet = Eigen::Triplet<double, std::int64_t>;

// A variance at 0 leaves K^-1 / s2 without a value: the equations take this share of the
// residual variance instead, which moves the log-likelihood and its derivatives by far less than
// their rounding.
constexpr double kZeroVarianceShare = 1e-10;

// The position in `total` (compressed, sorted columns) of every non-zero of `part`, whose pattern
// is part of total's.
std::vector<std::int64_t> positions_in(const SparseLower& total, const SparseLower& part) {
    std::vector<std::int64_t> positions;
    positions.reserve(static_cast<std::size_t>(part.nonZeros()));
    for (Index j = 0; j < part.outerSize(); ++j) {
        const std::int64_t* begin = total.innerIndexPtr() + total.outerIndexPtr()[j];
        const std::int64_t* end = total.innerIndexPtr() + total.outerIndexPtr()[j + 1];
        for (SparseLower::InnerIterator it(part, j); it; ++it) {
            positions.push_back(std::lower_bound(begin, end, it.row()) - total.innerIndexPtr());
        }
    }
    return positions;
}

// `part`'s values spread over total's pattern (0 elsewhere).
VectorXd aligned(const SparseLower& total, const SparseLower& part) {
    VectorXd values = VectorXd::Zero(total.nonZeros());
    const std::vector<std::int64_t> positions = positions_in(total, part);
    for (std::size_t k = 0; k < positions.size(); ++k) values[positions[k]] += part.valuePtr()[k];
    return values;
}

}  // namespace

struct SparseMmeEvaluator::Equations {
    MatrixXd X;
    VectorXd y;
    std::vector<SparseTerm> terms;
    std::vector<Index> offsets;  // each term's first equation
    VectorXd weights;
    std::vector<Index> class_of_record;
    Index classes = 1;
    std::vector<Index> class_sizes;
    double log_weights = 0.0;  // sum of log w
    Index n = 0, p = 0, order = 0;

    // C's lower pattern, and on it each component's part: M'W_c M of each class, K_k^-1 of each
    // term; C = sum_c part_c / s2_e(c) + sum_k part_k / s2_k.
    mutable SparseLower C;
    std::vector<VectorXd> class_parts, term_parts;
    VectorXd trace_weights;  // 1 on the diagonal, 2 off it: trace(A B) over lower triangles
    mutable std::unique_ptr<SparseFactor> factor;
    mutable std::unique_ptr<SparseFactor::Located> located;

    double weight(Index r) const { return weights.size() == 0 ? 1.0 : weights[r]; }
    Index class_of(Index r) const { return class_of_record.empty() ? 0 : class_of_record[static_cast<std::size_t>(r)]; }

    // M' R^-1 v for columns v over the records, R^-1 = diag(w / s2_e(class)).
    MatrixXd weighted_design_product(const MatrixXd& v, const VectorXd& residuals) const {
        MatrixXd scaled = v;
        for (Index r = 0; r < n; ++r) scaled.row(r) *= weight(r) / residuals[class_of(r)];
        MatrixXd out = MatrixXd::Zero(order, v.cols());
        out.topRows(p).noalias() = X.transpose() * scaled;
        for (std::size_t k = 0; k < terms.size(); ++k) {
            const std::vector<Index>& level = terms[k].level_of_record;
            for (Index r = 0; r < n; ++r) {
                if (level[static_cast<std::size_t>(r)] >= 0) {
                    out.row(offsets[k] + level[static_cast<std::size_t>(r)]) += scaled.row(r);
                }
            }
        }
        return out;
    }
    // M s for a solution s.
    VectorXd fitted(const VectorXd& s) const {
        VectorXd out = X * s.head(p);
        for (std::size_t k = 0; k < terms.size(); ++k) {
            const std::vector<Index>& level = terms[k].level_of_record;
            for (Index r = 0; r < n; ++r) {
                if (level[static_cast<std::size_t>(r)] >= 0) out[r] += s[offsets[k] + level[static_cast<std::size_t>(r)]];
            }
        }
        return out;
    }

    void assemble() {
        std::vector<SparseLower> class_matrices;
        for (Index c = 0; c < classes; ++c) {
            std::vector<Triplet> triplets;
            VectorXd w = VectorXd::Zero(n);
            for (Index r = 0; r < n; ++r) {
                if (class_of(r) == c) w[r] = weight(r);
            }
            const MatrixXd XtWX = X.transpose() * w.asDiagonal() * X;
            for (Index j = 0; j < p; ++j) {
                for (Index i = j; i < p; ++i) triplets.emplace_back(i, j, XtWX(i, j));
            }
            for (Index r = 0; r < n; ++r) {
                if (w[r] == 0.0) continue;
                std::vector<Index> at;
                for (std::size_t k = 0; k < terms.size(); ++k) {
                    const Index level = terms[k].level_of_record[static_cast<std::size_t>(r)];
                    if (level >= 0) at.push_back(offsets[k] + level);
                }
                for (std::size_t a = 0; a < at.size(); ++a) {
                    for (Index j = 0; j < p; ++j) {
                        if (X(r, j) != 0.0) triplets.emplace_back(at[a], j, w[r] * X(r, j));
                    }
                    for (std::size_t b = 0; b < at.size(); ++b) {
                        if (at[a] >= at[b]) triplets.emplace_back(at[a], at[b], w[r]);
                    }
                }
            }
            SparseLower part(order, order);
            part.setFromTriplets(triplets.begin(), triplets.end());
            class_matrices.push_back(std::move(part));
        }
        std::vector<SparseLower> term_matrices;
        for (std::size_t k = 0; k < terms.size(); ++k) {
            std::vector<Triplet> triplets;
            const SparseTerm& term = terms[k];
            if (term.inverse.rows() == 0) {
                for (Index i = 0; i < term.levels; ++i) triplets.emplace_back(offsets[k] + i, offsets[k] + i, 1.0);
            } else {
                for (Index j = 0; j < term.inverse.outerSize(); ++j) {
                    for (SparseLower::InnerIterator it(term.inverse, j); it; ++it) {
                        if (it.row() >= j) triplets.emplace_back(offsets[k] + it.row(), offsets[k] + j, it.value());
                    }
                }
            }
            SparseLower part(order, order);
            part.setFromTriplets(triplets.begin(), triplets.end());
            term_matrices.push_back(std::move(part));
        }
        // The pattern of the sum; explicit zeros keep every part's positions.
        std::vector<Triplet> pattern;
        for (const std::vector<SparseLower>* group : {&class_matrices, &term_matrices}) {
            for (const SparseLower& part : *group) {
                for (Index j = 0; j < part.outerSize(); ++j) {
                    for (SparseLower::InnerIterator it(part, j); it; ++it) pattern.emplace_back(it.row(), j, 0.0);
                }
            }
        }
        C.resize(order, order);
        C.setFromTriplets(pattern.begin(), pattern.end());
        C.makeCompressed();
        pattern = {};
        for (const SparseLower& part : class_matrices) class_parts.push_back(aligned(C, part));
        for (const SparseLower& part : term_matrices) term_parts.push_back(aligned(C, part));
        trace_weights = VectorXd::Constant(C.nonZeros(), 2.0);
        for (Index j = 0; j < order; ++j) {
            for (std::int64_t at = C.outerIndexPtr()[j]; at < C.outerIndexPtr()[j + 1]; ++at) {
                if (C.innerIndexPtr()[at] == j) trace_weights[at] = 1.0;
            }
        }
    }

    // The variances the equations take: a term's 0 replaced by a tiny share of the residual.
    VectorXd effective(const VectorXd& theta) const {
        VectorXd values = theta;
        const double floor = kZeroVarianceShare * theta.tail(classes).maxCoeff();
        for (std::size_t k = 0; k < terms.size(); ++k) values[static_cast<Index>(k)] = std::max(theta[static_cast<Index>(k)], floor);
        return values;
    }

    // C at these variances, factored; "" or what failed.
    std::string factor_at(const VectorXd& values) const {
        const auto m = static_cast<Index>(terms.size());
        Eigen::Map<VectorXd> c(C.valuePtr(), C.nonZeros());
        c.setZero();
        for (Index k = 0; k < classes; ++k) c += class_parts[static_cast<std::size_t>(k)] / values[m + k];
        for (Index k = 0; k < m; ++k) c += term_parts[static_cast<std::size_t>(k)] / values[k];
        std::int64_t column = -1;
        if (!factor->factorize(C, &column)) {
            return "the mixed model equations are not positive definite (equation " + std::to_string(column + 1) +
                   ")";
        }
        return "";
    }

    // C^-1 on C's own pattern.
    VectorXd inverse_on_pattern() const {
        if (!located) {
            std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
            pairs.reserve(static_cast<std::size_t>(C.nonZeros()));
            for (Index j = 0; j < order; ++j) {
                for (std::int64_t at = C.outerIndexPtr()[j]; at < C.outerIndexPtr()[j + 1]; ++at) {
                    pairs.emplace_back(C.innerIndexPtr()[at], j);
                }
            }
            located = std::make_unique<SparseFactor::Located>(factor->locate(pairs));
        }
        return factor->selected_inverse(*located);
    }
};

SparseMmeEvaluator::SparseMmeEvaluator(const MatrixXd& X, const VectorXd& y, std::vector<SparseTerm> terms,
                                       ResidualStructure residual)
    : equations_(std::make_unique<Equations>()) {
    Equations& e = *equations_;
    e.X = X;
    e.y = y;
    e.n = y.size();
    e.p = X.cols();
    e.terms = std::move(terms);
    e.weights = std::move(residual.weights);
    e.class_of_record = std::move(residual.class_of_record);
    e.classes = std::max<Index>(residual.classes, 1);
    e.class_sizes.assign(static_cast<std::size_t>(e.classes), 0);
    for (Index r = 0; r < e.n; ++r) {
        ++e.class_sizes[static_cast<std::size_t>(e.class_of(r))];
        e.log_weights += std::log(e.weight(r));
    }
    e.order = e.p;
    for (const SparseTerm& term : e.terms) {
        e.offsets.push_back(e.order);
        e.order += term.levels;
    }
    e.assemble();
    std::vector<std::int64_t> last;
    for (std::size_t k = 0; k < e.terms.size(); ++k) {
        for (const Index level : e.terms[k].dense_levels) last.push_back(e.offsets[k] + level);
    }
    e.factor = std::make_unique<SparseFactor>(e.C, last);
}

SparseMmeEvaluator::~SparseMmeEvaluator() = default;

Index SparseMmeEvaluator::equations() const { return equations_->order; }

const FactorFigures& SparseMmeEvaluator::figures() const { return equations_->factor->figures(); }

LikelihoodPoint SparseMmeEvaluator::evaluate(const VectorXd& theta) const {
    const Equations& e = *equations_;
    const auto m = static_cast<Index>(e.terms.size());
    const Index components = m + e.classes;
    LikelihoodPoint point;
    point.score = VectorXd::Zero(components);
    point.ai = MatrixXd::Zero(components, components);
    const VectorXd values = e.effective(theta);
    const VectorXd residuals = values.tail(e.classes);
    if (!(residuals.array() > 0.0).all()) {
        point.problem = "a residual variance is not above 0";
        return point;
    }
    point.problem = e.factor_at(values);
    if (!point.problem.empty()) return point;

    const VectorXd r = e.weighted_design_product(e.y, residuals).col(0);
    const VectorXd s = e.factor->solve(r).col(0);
    const VectorXd residual = e.y - e.fitted(s);
    double yRy = 0.0, log_R = -e.log_weights;
    VectorXd class_squares = VectorXd::Zero(e.classes);  // sum of w e^2 per class
    for (Index i = 0; i < e.n; ++i) {
        const Index c = e.class_of(i);
        yRy += e.weight(i) * e.y[i] * e.y[i] / residuals[c];
        class_squares[c] += e.weight(i) * residual[i] * residual[i];
    }
    for (Index c = 0; c < e.classes; ++c) {
        log_R += static_cast<double>(e.class_sizes[static_cast<std::size_t>(c)]) * std::log(residuals[c]);
    }
    double log_G = 0.0;
    for (Index k = 0; k < m; ++k) {
        const SparseTerm& term = e.terms[static_cast<std::size_t>(k)];
        log_G += static_cast<double>(term.levels) * std::log(values[k]) + term.log_determinant;
    }
    const double yPy = yRy - s.dot(r);
    point.log_likelihood = -0.5 * (log_R + log_G + e.factor->log_determinant() + yPy);

    // Traces from the selected inverse: tr(K_k^-1 C^kk) and tr(C^-1 M'W_c M).
    const VectorXd inverse = e.inverse_on_pattern();
    const VectorXd weighted_inverse = inverse.cwiseProduct(e.trace_weights);
    MatrixXd variates(e.n, components);
    for (Index k = 0; k < m; ++k) {
        const SparseTerm& term = e.terms[static_cast<std::size_t>(k)];
        const VectorXd u = s.segment(e.offsets[static_cast<std::size_t>(k)], term.levels);
        const double uKu = term.inverse.rows() == 0 ? u.squaredNorm()
                                                    : u.dot(term.inverse.selfadjointView<Eigen::Lower>() * u);
        const double trace = weighted_inverse.dot(e.term_parts[static_cast<std::size_t>(k)]);
        const double v = values[k];
        point.score[k] = -0.5 * (static_cast<double>(term.levels) / v - trace / (v * v) - uKu / (v * v));
        // Z_k u_k / s2_k.
        for (Index i = 0; i < e.n; ++i) {
            const Index level = term.level_of_record[static_cast<std::size_t>(i)];
            variates(i, k) = level >= 0 ? u[level] / v : 0.0;
        }
    }
    for (Index c = 0; c < e.classes; ++c) {
        const double v = residuals[c];
        const double trace = weighted_inverse.dot(e.class_parts[static_cast<std::size_t>(c)]);
        const double trace_PV = static_cast<double>(e.class_sizes[static_cast<std::size_t>(c)]) / v - trace / (v * v);
        point.score[m + c] = -0.5 * (trace_PV - class_squares[c] / (v * v));
        for (Index i = 0; i < e.n; ++i) variates(i, m + c) = e.class_of(i) == c ? residual[i] / v : 0.0;
    }
    // AI(a, b) = f_a'P f_b / 2 = (f_a'R^-1 f_b - g_a'C^-1 g_b) / 2, g = M'R^-1 f.
    const MatrixXd g = e.weighted_design_product(variates, residuals);
    const MatrixXd solved = e.factor->solve(g);
    MatrixXd weighted = variates;
    for (Index i = 0; i < e.n; ++i) weighted.row(i) *= e.weight(i) / residuals[e.class_of(i)];
    point.ai = 0.5 * (variates.transpose() * weighted - g.transpose() * solved);
    point.ai = 0.5 * (point.ai + point.ai.transpose()).eval();
    point.finite = std::isfinite(point.log_likelihood) && point.score.allFinite() && point.ai.allFinite();
    if (!point.finite) point.problem = "the log-likelihood or its derivatives are not finite";
    return point;
}

SparseMmeEvaluator::Solution SparseMmeEvaluator::solve(const VectorXd& theta) const {
    const Equations& e = *equations_;
    Solution solution;
    const VectorXd values = e.effective(theta);
    solution.problem = e.factor_at(values);
    if (!solution.problem.empty()) return solution;
    const VectorXd s = e.factor->solve(e.weighted_design_product(e.y, values.tail(e.classes))).col(0);
    solution.beta = s.head(e.p);
    // The fixed effects' block of C^-1, column by column.
    MatrixXd unit = MatrixXd::Zero(e.order, e.p);
    for (Index j = 0; j < e.p; ++j) unit(j, j) = 1.0;
    solution.beta_covariance = e.factor->solve(unit).topRows(e.p);
    const VectorXd inverse = e.inverse_on_pattern();
    VectorXd diagonal(e.order);
    for (Index j = 0; j < e.order; ++j) {
        for (std::int64_t at = e.C.outerIndexPtr()[j]; at < e.C.outerIndexPtr()[j + 1]; ++at) {
            if (e.C.innerIndexPtr()[at] == j) diagonal[j] = inverse[at];
        }
    }
    for (std::size_t k = 0; k < e.terms.size(); ++k) {
        solution.effects.push_back(s.segment(e.offsets[k], e.terms[k].levels));
        solution.error_variances.push_back(diagonal.segment(e.offsets[k], e.terms[k].levels));
    }
    solution.finite = s.allFinite() && diagonal.allFinite();
    if (!solution.finite) solution.problem = "the solution is not finite";
    return solution;
}
