#pragma once

#include "mixed_model/kinship_band.h"

// ---- One AI-REML driver for every model ------------------------------------------------------
// How an iteration moved: the plain AI (Newton) step, or one of the safeguards that keep the
// estimate inside the parameter space (every component >= its lower limit: 0 for a random
// effect, a positive limit for the residual) with a log-likelihood that never falls. The
// residual's limit is kResidualLimit times the residual variance of the fixed effects alone:
// below it the records fit a heritability of 1 and V loses its identity term.
enum class RemlStep {
    ai,                 // the full AI step
    halved,             // the AI step shortened until the log-likelihood rose
    boundary,           // the AI step with random components stopped at 0
    held,               // random components kept at 0 (the likelihood falls into < 0), AI step for the others
    residual_boundary,  // the AI step with the residual stopped at its lower limit
    residual_held,      // the residual kept at its limit (the likelihood falls below it), AI step for the others
    em,                 // an EM-REML step: no shortened AI step raised the log-likelihood
    rounding,           // the kinship's rounding to 4 decimals was removed before the step (see below)
};
constexpr double kResidualLimit = 1e-6;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The restricted log-likelihood at components theta (residual last), its first derivatives and
// the average information matrix AI(k, l) = y'P V_k P V_l P y / 2, as one model evaluates them.
struct LikelihoodPoint {
    bool finite = false;  // V and X'V^-1 X positive definite, every number finite
    std::string problem;  // what failed, when not finite
    double log_likelihood = 0.0;
    Eigen::VectorXd score;
    Eigen::MatrixXd ai;
    // Monte Carlo traces give no log-likelihood (NaN here): the driver then takes each step that
    // stays in the space as it is, and the score's Monte Carlo covariance comes with it.
    bool likelihood = true;
    Eigen::MatrixXd score_covariance;  // empty for exact traces
    bool scored = true;  // false: the score is left out (evaluate_likelihood)
};
class LikelihoodEvaluator {
public:
    virtual ~LikelihoodEvaluator() = default;
    virtual LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const = 0;
    // The likelihood and the AI matrix without the score, for a point a step may still reject,
    // where the score costs much more (the traces of an inverse); `add_score` completes the point
    // of the last such evaluation. By default the whole point at once.
    virtual LikelihoodPoint evaluate_likelihood(const Eigen::VectorXd& theta) const { return evaluate(theta); }
    virtual void add_score(const Eigen::VectorXd& /*theta*/, LikelihoodPoint& /*point*/) const {}
    // A kinship read from 4-decimal text can have eigenvalues below 0 by rounding alone. When
    // the records fit a heritability of 1, the residual then runs into the edge where V stops
    // being positive definite and the likelihood there is decided by the rounding: true at such
    // components. `without_rounding` gives the evaluator of the kinships shifted on their
    // diagonal to a smallest eigenvalue of 0, and `rounding_note` says so.
    virtual bool at_rounding_edge(const Eigen::VectorXd& /*theta*/) const { return false; }
    virtual std::unique_ptr<LikelihoodEvaluator> without_rounding() const { return nullptr; }
    virtual std::string rounding_note() const { return ""; }

    // A parameter space beyond the components' own limits (covariance matrices kept positive
    // semi-definite): `feasible` gives the point of the space nearest to a step that left it
    // (theta itself when it is in the space); `held_directions` gives, at a point on that
    // boundary whose likelihood falls into the space, the linear functionals of a step (one per
    // column, count x k) that the step must keep at 0, so that it moves along the boundary.
    virtual Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const { return theta; }
    virtual Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& /*point*/) const {
        return Eigen::MatrixXd(theta.size(), 0);
    }
    // The information a step along that curved boundary adds to the AI matrix (k x k): coming
    // back onto the boundary costs likelihood, to second order in the step. None by default.
    virtual Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& /*point*/) const {
        return Eigen::MatrixXd::Zero(theta.size(), theta.size());
    }
    // What each component's relative change is taken of: the component itself, unless a
    // covariance is measured against its variances.
    virtual Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const { return theta; }
    // An EM-REML step for models where sigma2 + 2 sigma2^2 score / n does not apply (covariances);
    // none by default.
    virtual std::optional<Eigen::VectorXd> em_step(const Eigen::VectorXd& /*theta*/,
                                                   const LikelihoodPoint& /*point*/) const {
        return std::nullopt;
    }
};

// One iteration of the driver, in the scaled units the evaluator works in.
struct AiRemlStep {
    int iteration = 0;
    double log_likelihood = 0.0;  // at the components the iteration started from
    Eigen::VectorXd theta;        // after the step
    Eigen::VectorXd changes;      // |step| / old value; 0 for a component that stays at 0
    RemlStep step = RemlStep::ai;
    std::vector<int> limited;     // the components stopped at (boundary) or held at (held) their limit
    bool projected = false;       // the step was brought back into the space by the evaluator's `feasible`
    int held_directions = 0;      // functionals of the evaluator's boundary kept at 0 (RemlStep::held)
    int halvings = 0;
    std::string note;             // for RemlStep::rounding
};
struct AiRemlRun {
    std::vector<AiRemlStep> iterations;
    bool converged = false;
    bool capped = false;          // stopped by kMostRemlIterations, not by max_iter
    Eigen::VectorXd theta;        // after the last step
    LikelihoodPoint at_estimate;  // the evaluation at theta
    Eigen::MatrixXd ai_inverse;   // on convergence: the inverse AI of the free components (0 for fixed ones)
};
// A component of a model as the driver sees it: its role decides its limit and how a step that
// stops there is told; a fixed one stays at its start (a likelihood-ratio test's 0).
enum class ParameterRole {
    variance,    // a random term's variance: at least 0
    covariance,  // between parts or traits of a term (or of the residual): free, kept by its block
    residual,    // a residual variance: at least a positive limit
};
struct ModelParameter {
    std::string name;
    ParameterRole role = ParameterRole::variance;
    double start = 0.0;
    double limit = 0.0;  // -infinity for a covariance
    bool fixed = false;
};
// A covariance matrix among the parts or traits of one term (or of the residual): the names and
// start of its lower triangle row by row, its variances' least value (0, or the residual's limit)
// and the elements (row >= column) held at their start.
struct CovarianceBlock {
    std::vector<std::string> names;
    Eigen::MatrixXd start;
    bool residual = false;
    double limit = 0.0;
    std::vector<std::pair<Eigen::Index, Eigen::Index>> fixed;
};
// What the driver is given besides the evaluator: the components, and for the message of a
// singular information what the records cannot tell apart ("" names the components) and what to
// check.
struct AiRemlSettings {
    std::vector<ModelParameter> parameters;
    Eigen::Index records = 0;  // for the EM step
    int max_iter = 30;
    double tol = 1e-5;
    std::string cannot_tell;
    std::string advice =
        "Check that each kinship is not (close to) the identity or a copy of another, that related individuals have "
        "records, and that each random class and the permanent environment have levels with several records.";

    Eigen::VectorXd start() const;
    Eigen::VectorXd limits() const;
    std::vector<std::string> names() const;
};
// The components of a model's blocks in order, each block's lower triangle row by row: the
// variances of a block take its limit (the residual's role in a residual block), the covariances
// are free.
AiRemlSettings reml_settings(const std::vector<CovarianceBlock>& blocks, Eigen::Index records, int max_iter,
                             double tol);

// Most iterations a run makes, whatever --max-iter asks: beyond it a run is not converging.
constexpr int kMostRemlIterations = 1000;
// The note that a --max-iter of `max_iter` is more than a run makes ("" when it is not), and the
// lines of the verdict of a run that did not converge (`capped`: stopped by kMostRemlIterations):
// the texts of every REML run's log.
std::string iteration_cap_note(int max_iter);

// Monte Carlo REML: the covariance of the estimates from the Monte Carlo covariance of their
// score (they solve score = 0) through the inverse AI of the estimated components; where a block
// is held on the boundary of its space at the estimate, along that boundary alone, since a step
// keeps the held directions at 0 and the score's noise across them moves nothing.
Eigen::MatrixXd monte_carlo_covariance(const LikelihoodEvaluator& evaluator, const AiRemlRun& run);
std::string unconverged_verdict(bool capped);

// The safeguarded AI-REML iteration: each iteration takes the AI (Newton) step of the free
// components when it raises the log-likelihood and stays in the space, else shortens it (up to
// 2^-30), stops components at their limits, holds at its limit a component whose score points
// out of the space, or falls back to an EM step. Converged when every relative change of a
// plain (or held) AI step is below tol. At most min(max_iter, kMostRemlIterations + 1) - 1
// iterations. Throws RemlFailure when the start cannot be evaluated, the AI matrix of the free
// components is singular, or no step can be evaluated.
struct RemlFailure : RunFailure {
    using RunFailure::RunFailure;
};
AiRemlRun ai_reml(const LikelihoodEvaluator& evaluator, const AiRemlSettings& settings,
                  const std::function<void(const AiRemlStep&)>& on_iteration = {});
// The lines of an estimate on the boundary of its space, from the components' roles: each
// variance at 0 (the records show no `none`), then each residual at its limit (meaning `entire`),
// the limit in the units theta is multiplied by (`units`). "" when none is there.
std::string boundary_notes(const std::vector<ModelParameter>& parameters, const Eigen::VectorXd& theta, double units,
                           const std::string& none, const std::string& entire);
// The note printed under an iteration that was not a plain AI step ("" for one that was).
std::string reml_step_note(const AiRemlStep& step, const std::vector<ModelParameter>& parameters);
