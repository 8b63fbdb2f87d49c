#include "mixed_model/sparse_traits.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "mixed_model/mixed_model.h"

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

SparseTraitsEvaluator::SparseTraitsEvaluator(const MatrixXd& X, const MatrixXd& Y,
                                             const std::vector<Index>& level_of_individual, SparseTerm relationship,
                                             double residual_limit,
                                             const std::vector<std::vector<Index>>& trait_columns,
                                             const VectorXd& weights, const std::vector<Index>& classes,
                                             const std::vector<Index>& dam_level_of_individual,
                                             const std::vector<Index>& dam_environment_of_individual,
                                             Index dam_environment_levels, bool factored)
    : TraitEvaluator(Y.cols(), Y.rows(), residual_limit, class_sizes(classes), dam_level_of_individual.empty() ? 1 : 2,
                     !dam_environment_of_individual.empty()),
      p_(X.cols()) {
    const Index t = Y.cols(), q = Y.rows(), g = layout_.genetic_size();
    if (X.rows() != q || static_cast<Index>(level_of_individual.size()) != q ||
        (!dam_level_of_individual.empty() && static_cast<Index>(dam_level_of_individual.size()) != q) ||
        (!dam_environment_of_individual.empty() && static_cast<Index>(dam_environment_of_individual.size()) != q)) {
        throw std::invalid_argument("The sparse evaluator of several traits needs X, Y and the levels of the same individuals.");
    }
    // The values trait by trait, as the dense evaluator orders them; each trait's own columns.
    std::vector<std::vector<Index>> rows(static_cast<std::size_t>(t));
    std::vector<Index> all(static_cast<std::size_t>(p_));
    for (Index c = 0; c < p_; ++c) all[static_cast<std::size_t>(c)] = c;
    Index columns = 0;
    for (Index a = 0; a < t; ++a) {
        for (Index i = 0; i < q; ++i) {
            if (!std::isnan(Y(i, a))) rows[static_cast<std::size_t>(a)].push_back(i);
        }
        values_ += static_cast<Index>(rows[static_cast<std::size_t>(a)].size());
        kept_.push_back(independent_columns(X(rows[static_cast<std::size_t>(a)], Eigen::all),
                                            trait_columns.empty() ? all : trait_columns.at(static_cast<std::size_t>(a))));
        columns += static_cast<Index>(kept_.back().size());
    }
    MatrixXd Xo = MatrixXd::Zero(values_, columns);
    VectorXd y(values_);
    const Index residual_classes = layout_.residual_classes;
    ResidualStructure residual{weights.size() == 0 ? VectorXd() : VectorXd(values_), {}, residual_classes};
    const auto class_of = [&](Index i) { return residual_classes > 1 ? classes[static_cast<std::size_t>(i)] : 0; };
    RecordTraits traits{t, {}, {}};
    // Part a is trait a's direct effect, part t + a its maternal effect (the dam's level).
    relationship.parts.assign(static_cast<std::size_t>(g), {});
    // Part a of the dam's permanent environment: trait a's values, at their dam.
    SparseTerm environment;
    environment.levels = dam_environment_levels;
    if (layout_.dam_environment) environment.parts.assign(static_cast<std::size_t>(t), {});
    Index value = 0, first = 0;
    for (Index a = 0; a < t; ++a) {
        const std::vector<Index>& kept = kept_[static_cast<std::size_t>(a)];
        for (const Index i : rows[static_cast<std::size_t>(a)]) {
            y[value] = Y(i, a);
            if (weights.size() != 0) residual.weights[value] = weights[i];
            if (residual_classes > 1) residual.class_of_record.push_back(class_of(i));
            for (std::size_t c = 0; c < kept.size(); ++c) Xo(value, first + static_cast<Index>(c)) = X(i, kept[c]);
            traits.trait_of_record.push_back(a);
            traits.group_of_record.push_back(i);
            for (Index b = 0; b < g; ++b) {
                const Index level = b >= t ? dam_level_of_individual[static_cast<std::size_t>(i)]
                                           : level_of_individual[static_cast<std::size_t>(i)];
                relationship.parts[static_cast<std::size_t>(b)].level_of_record.push_back(layout_.trait_of(b) == a ? level
                                                                                                                  : -1);
            }
            for (std::size_t b = 0; b < environment.parts.size(); ++b) {
                environment.parts[b].level_of_record.push_back(
                    static_cast<Index>(b) == a ? dam_environment_of_individual[static_cast<std::size_t>(i)] : -1);
            }
            ++value;
        }
        first += static_cast<Index>(kept.size());
    }
    unshared_.resize(static_cast<std::size_t>(residual_classes));
    for (Index c = 0; c < residual_classes; ++c) {
        for (Index a = 0; a < t; ++a) {
            for (Index b = 0; b < a; ++b) {
                bool shared = false;
                for (Index i = 0; i < q && !shared; ++i) {
                    shared = class_of(i) == c && !std::isnan(Y(i, a)) && !std::isnan(Y(i, b));
                }
                if (!shared) unshared_[static_cast<std::size_t>(c)].emplace_back(a, b);
            }
        }
    }
    const Index levels = relationship.levels;
    std::vector<SparseTerm> terms{std::move(relationship)};
    if (layout_.dam_environment) terms.push_back(std::move(environment));
    shared_ = std::make_shared<SparseEquations>(Xo, y, std::move(terms), std::move(residual), std::move(traits),
                                                !factored);
    if (factored) equations_ = std::make_unique<SparseMmeEvaluator>(shared_);
    // The equations need Vg^-1: Vg keeps its eigenvalues at their least (its boundary there). The
    // EM step of Vg spreads over every level of K, the records' and their relatives'.
    const double least = shared_->block_floor;
    const std::vector<Index> sizes = class_sizes(classes);
    std::vector<CovarianceSpace::Block> blocks{{0, g, true, least, levels}};
    if (layout_.dam_environment) blocks.push_back({layout_.environment_offset(), t, true, least, dam_environment_levels});
    for (Index c = 0; c < residual_classes; ++c) {
        blocks.push_back({layout_.residual_offset(c), t, true, residual_limit,
                          sizes.empty() ? q : sizes[static_cast<std::size_t>(c)]});
    }
    space_ = CovarianceSpace(std::move(blocks), layout_.count(), q);
}

SparseTraitsEvaluator::~SparseTraitsEvaluator() = default;

BlockSolution SparseTraitsEvaluator::solve_by_pcg(const VectorXd& theta, double tolerance, int max_iterations) {
    SparseEquations& e = *shared_;
    const VectorXd values = e.effective(theta);
    e.set_coefficients(values);
    // C at theta is all PCG needs: the components' parts and the symbolic analysis go, since on a
    // national pedigree they are most of the memory.
    e.parts = {};
    e.compact_parts = {};
    equations_.reset();
    BlockSolution solved = BlockPcg(e.C, e.p, e.diagonal_blocks())
                               .solve(e.weighted_design_product(e.y, values), MatrixXd(), tolerance, max_iterations);
    SparseMmeEvaluator::Solution solution;
    solution.problem = solved.problem;
    solution.finite = solved.converged && solved.x.allFinite();
    if (solution.finite) {
        solution.beta = solved.x.col(0).head(e.p);
        for (std::size_t k = 0; k < e.terms.size(); ++k) {
            const Index size = e.terms[k].levels * e.parts_of(k);
            solution.effects.push_back(solved.x.col(0).segment(e.offsets[k], size));
            solution.error_variances.push_back(VectorXd::Constant(size, std::numeric_limits<double>::quiet_NaN()));
        }
    }
    solved_ = std::move(solution);
    solved_theta_ = theta;
    return solved;
}

void SparseTraitsEvaluator::analyse() {
    if (equations_ != nullptr) return;
    shared_->spread_parts();
    equations_ = std::make_unique<SparseMmeEvaluator>(shared_);
}

FactorFigures SparseTraitsEvaluator::foreseen_factor() const { return shared_->foreseen_factor(); }

void SparseTraitsEvaluator::take_monte_carlo(const MonteCarloSettings& settings) {
    if (equations_ != nullptr) throw std::logic_error("Monte Carlo REML takes the equations without their factor.");
    // The traces take each feature's part over C's non-zeros.
    shared_->spread_parts();
    monte_carlo_ = std::make_unique<MonteCarloMmeEvaluator>(shared_, settings);
}

std::vector<std::string> SparseTraitsEvaluator::trace_names(const std::vector<std::string>& names,
                                                            const std::vector<std::string>& traits) const {
    const SparseEquations& e = *shared_;
    std::vector<std::string> out(names.begin(), names.begin() + e.residual_offset);
    for (const SparseEquations::Pattern& pattern : e.patterns) {
        std::string recorded;
        for (const Index a : pattern.traits) recorded += (recorded.empty() ? "" : "+") + traits[static_cast<std::size_t>(a)];
        const auto m = static_cast<Index>(pattern.traits.size());
        for (Index i = 0; i < m; ++i) {
            for (Index j = 0; j <= i; ++j) {
                out.push_back(names[static_cast<std::size_t>(e.residual_component(pattern, i, j))] + " of " + recorded);
            }
        }
    }
    return out;
}

LikelihoodPoint SparseTraitsEvaluator::evaluate(const VectorXd& theta) const {
    return monte_carlo_ ? monte_carlo_->evaluate(theta) : equations_->evaluate(theta);
}

LikelihoodPoint SparseTraitsEvaluator::evaluate_likelihood(const VectorXd& theta) const {
    return monte_carlo_ ? monte_carlo_->evaluate(theta) : equations_->evaluate_likelihood(theta);
}

void SparseTraitsEvaluator::add_score(const VectorXd& theta, LikelihoodPoint& point) const {
    // A Monte Carlo point comes whole.
    if (!monte_carlo_) equations_->add_score(theta, point);
}

const SparseMmeEvaluator::Solution& SparseTraitsEvaluator::solved_at(const VectorXd& theta) const {
    if (solved_theta_.size() != theta.size() || solved_theta_ != theta) {
        if (equations_ != nullptr) {
            solved_ = equations_->solve(theta);
        } else {
            solved_ = {};
            solved_.problem = "the equations were not factored; they are solved by PCG at the given variances alone";
        }
        solved_theta_ = theta;
    }
    return solved_;
}

TraitSolution SparseTraitsEvaluator::solve(const VectorXd& theta) const {
    const SparseMmeEvaluator::Solution& solved = solved_at(theta);
    TraitSolution solution;
    solution.problem = solved.problem;
    if (!solved.finite) return solution;
    const auto t = static_cast<Index>(kept_.size());
    solution.beta = MatrixXd::Zero(p_, t);
    Index first = 0;
    for (Index a = 0; a < t; ++a) {
        const std::vector<Index>& kept = kept_[static_cast<std::size_t>(a)];
        const auto k = static_cast<Index>(kept.size());
        MatrixXd covariance = MatrixXd::Zero(p_, p_);
        for (Index i = 0; i < k; ++i) {
            solution.beta(kept[static_cast<std::size_t>(i)], a) = solved.beta[first + i];
            for (Index j = 0; j < k && solved.beta_covariance.size() != 0; ++j) {
                covariance(kept[static_cast<std::size_t>(i)], kept[static_cast<std::size_t>(j)]) =
                    solved.beta_covariance(first + i, first + j);
            }
        }
        if (solved.beta_covariance.size() != 0) solution.beta_covariance.push_back(std::move(covariance));
        first += k;
    }
    solution.finite = solution.beta.allFinite();
    return solution;
}

SparseTraitsEvaluator::Effects SparseTraitsEvaluator::effects(const VectorXd& theta) const {
    const SparseMmeEvaluator::Solution& solved = solved_at(theta);
    Effects effects;
    effects.problem = solved.problem;
    if (!solved.finite) return effects;
    // Level-major: a level's parts are neighbours.
    const Index g = layout_.genetic_size();
    const Index levels = solved.effects.front().size() / g;
    effects.values = Eigen::Map<const MatrixXd>(solved.effects.front().data(), g, levels).transpose();
    effects.error_variances = Eigen::Map<const MatrixXd>(solved.error_variances.front().data(), g, levels).transpose();
    if (layout_.dam_environment) {
        const Index t = layout_.traits, dams = solved.effects[1].size() / t;
        effects.environment_values = Eigen::Map<const MatrixXd>(solved.effects[1].data(), t, dams).transpose();
        effects.environment_error_variances =
            Eigen::Map<const MatrixXd>(solved.error_variances[1].data(), t, dams).transpose();
    }
    effects.finite = true;
    return effects;
}
