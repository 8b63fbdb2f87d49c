#pragma once

#include <memory>
#include <vector>

#include "mixed_model/monte_carlo_reml.h"
#include "mixed_model/sparse_reml.h"
#include "mixed_model/trait_evaluators.h"

// ---- Several traits on the sparse mixed model equations ----------------------------------------
// The model of DenseTraitsEvaluator (Vg (x) K, Ve per individual over the values present, each
// trait its own fixed effects) with K given by its sparse inverse over `levels` individuals,
// the records' among them: the genetic term has one part per trait over the values of that
// trait, and Ve is the residual block of each individual's values. The components are
// TraitLayout's; an evaluation factors the equations (CHOLMOD).
class SparseTraitsEvaluator : public TraitEvaluator {
public:
    // X (q x p) and Y (q x t, NaN where not recorded) over the individuals with records, each at
    // `level_of_individual` among the levels of K^-1 (lower triangle, log|K|, its dense rows).
    // `weights` and `classes` (one per individual, or empty) as DenseTraitsEvaluator's.
    // `dam_level_of_individual` (one per individual, -1 without a dam; empty: no maternal
    // effects): each trait's maternal effect of the individual's dam, over the same K, correlated
    // with the direct effects by Vg of the direct and maternal parts (TraitLayout's).
    // `dam_environment_of_individual` (one per individual, -1 without a dam; empty: none): each
    // trait's permanent environment of the dam, one of `dam_environment_levels` independent
    // levels, the traits' covarying by Vpe. `factored` false: no symbolic analysis (analyse() may
    // follow), and until then nothing but foreseen_factor, solve_by_pcg, solve and effects.
    SparseTraitsEvaluator(const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y,
                          const std::vector<Eigen::Index>& level_of_individual, SparseTerm relationship,
                          double residual_limit, const std::vector<std::vector<Eigen::Index>>& trait_columns = {},
                          const Eigen::VectorXd& weights = {}, const std::vector<Eigen::Index>& classes = {},
                          const std::vector<Eigen::Index>& dam_level_of_individual = {},
                          const std::vector<Eigen::Index>& dam_environment_of_individual = {},
                          Eigen::Index dam_environment_levels = 0, bool factored = true);
    ~SparseTraitsEvaluator() override;
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    LikelihoodPoint evaluate_likelihood(const Eigen::VectorXd& theta) const override;
    void add_score(const Eigen::VectorXd& theta, LikelihoodPoint& point) const override;
    // The fixed effects with their covariance; no P y (the breeding values come from effects()).
    TraitSolution solve(const Eigen::VectorXd& theta) const override;
    // Every level's breeding value of every trait and its prediction error variance (levels x t;
    // with maternal effects levels x 2t, the maternal values of the traits after the direct).
    struct Effects {
        bool finite = false;
        std::string problem;
        Eigen::MatrixXd values, error_variances;
        // With the dam's permanent environment: each dam's, levels x t.
        Eigen::MatrixXd environment_values, environment_error_variances;
    };
    Effects effects(const Eigen::VectorXd& theta) const;
    // The solution at theta by block PCG, each level's parts (an individual's traits, direct and
    // maternal) preconditioned together: solve and effects then give it, without the fixed
    // effects' covariance (empty) or the error variances (NaN). The equations are then kept at
    // theta alone: nothing but solve and effects may follow.
    BlockSolution solve_by_pcg(const Eigen::VectorXd& theta, double tolerance, int max_iterations);
    const SparseMmeEvaluator& equations() const { return *equations_; }
    // Monte Carlo REML in place of the factor (an evaluator not factored): evaluate takes the
    // traces from random vectors (MonteCarloMmeEvaluator), and the effects follow by PCG.
    void take_monte_carlo(const MonteCarloSettings& settings);
    MonteCarloMmeEvaluator* monte_carlo() const { return monte_carlo_.get(); }
    // What each of the Monte Carlo traces is of: the terms' components (`names`, the
    // components'), then each set of traits recorded together, an element of its residual block
    // ("Ve(a,b) of a+b+c", `traits` the traits' names).
    std::vector<std::string> trace_names(const std::vector<std::string>& names, const std::vector<std::string>& traits) const;
    // The symbolic analysis of the equations (the factored evaluator).
    void analyse();
    // SparseEquations::foreseen_factor of its equations.
    FactorFigures foreseen_factor() const;
    Eigen::Index order() const { return shared_->order; }
    void set_progress(SparseFactor::Progress progress) { equations_->set_progress(std::move(progress)); }
    Eigen::Index values() const { return values_; }
    // Per residual class, the pairs of traits (a > b) that no individual of the class has both of.
    std::vector<TraitPairs> unshared_pairs() const { return unshared_; }

private:
    // The solution at theta, from one factorisation and selected inverse for the fixed effects
    // and the breeding values both.
    const SparseMmeEvaluator::Solution& solved_at(const Eigen::VectorXd& theta) const;
    std::shared_ptr<SparseEquations> shared_;
    std::unique_ptr<SparseMmeEvaluator> equations_;
    std::unique_ptr<MonteCarloMmeEvaluator> monte_carlo_;
    mutable SparseMmeEvaluator::Solution solved_;
    mutable Eigen::VectorXd solved_theta_;
    std::vector<std::vector<Eigen::Index>> kept_;  // per trait, the columns of X estimated
    Eigen::Index p_ = 0, values_ = 0;
    std::vector<TraitPairs> unshared_;
};
