#pragma once

// The one run pipeline of every mixed-model job. A route (one kinship, local or over the ranks
// of mpirun; several random effects; several traits; the pedigree by iteration) is a front end
// that reads its relationships and records into a model and evaluates it; the pipeline runs its
// stages in one order for all, with one verdict, one set of texts between the stages and one
// way its results are written:
//   set up -> estimate (REML) or take the --vc values -> predict -> the variance rows (and the
//   likelihood-ratio tests) -> the result files, all put in place together.

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/model_inputs.h"
#include "mixed_model/ai_reml.h"
#include "mixed_model/covariance_space.h"
#include "mixed_model/monte_carlo_reml.h"

enum class ModelJob { reml, predict };

class ModelRoute {
public:
    virtual ~ModelRoute() = default;
    // Runs one stage; a route over several ranks ends it with their agreement on any failure.
    virtual void at_stage(const std::function<void()>& stage) { stage(); }
    // The relationships and the records read and the model built, with their lines in the log.
    virtual void set_up() = 0;
    // REML, its trace, verdict and table in the log; false when it did not converge.
    virtual bool estimate() = 0;
    // The values of --vc checked against the model and said in the log.
    virtual void take_given() = 0;
    // The mixed model equations solved at the components, before the prediction is announced
    // (a failure here says so before it); none by default.
    virtual void solve() {}
    // The fixed effects (in the log) and the random effects at the components.
    virtual void predict() = 0;
    // The rows of PREFIX.fixed.txt at the components (solving the equations first when a REML
    // job has not); none for a route that does not give them.
    virtual std::vector<FixedEffectRow> fixed_effects() { return {}; }
    // The rows of PREFIX.vc.txt: the components, the tests of --lrt, the counts.
    virtual std::vector<ResultRow> variance_rows() = 0;
    // The files of the prediction, checked (no negative prediction error variance beyond rounding).
    virtual void add_predictions(ResultTexts& results, const MixedModelFiles& files) = 0;
    // The heading of the prediction in the log.
    virtual std::string prediction_heading() const { return "\n🏃 Start predict breeding values!\n"; }
    // What the predicted values are, in the line that names their file.
    virtual std::string predicted() const { return "breeding values"; }
    // Whether the log says "Start REML analysis!" before given values too, as the one-kinship
    // runs always have.
    virtual bool announces_reml_before_given_values() const { return false; }
    // A last line before "All finished!" ("" for none).
    virtual std::string closing_note() const { return ""; }
};

// Runs `route` through the pipeline for `job`; the exit status (1 when REML did not converge).
// Throws the routes' failures, and RunFailure when a prediction has no converged components.
int run_model_job(const RunOptions& options, Logger& logger, ModelRoute& route, ModelJob job);

// What REML estimates and how its figures read: the evaluator and the driver's settings over the
// scaled trait, the components' names (the residual's last), the random terms and residuals of
// the table, the trait's units and the shift of the log-likelihood back to them.
struct Estimation {
    Estimation(const LikelihoodEvaluator& evaluator_, AiRemlSettings settings_)
        : evaluator(evaluator_), settings(std::move(settings_)) {}
    const LikelihoodEvaluator& evaluator;
    AiRemlSettings settings;
    std::vector<std::string> names;
    std::vector<std::string> terms;
    std::vector<std::string> residuals{"e"};
    // --lrt: each random term's test, its name and its components in theta (the whole block of a
    // term of several parts); none: one test per component of `terms`, in order.
    struct TermTest {
        std::string name;
        std::vector<Eigen::Index> components;
    };
    std::vector<TermTest> tests;
    std::vector<int> repeatable;
    double units = 1.0;
    double log_likelihood_shift = 0.0;
    std::function<std::string()> size_note;  // what one iteration works on, in the timing line
    // The table's rows at the components (trait units) with SEs from a covariance (empty: NA)
    // and logL; none: variance_component_rows of `terms` and `residuals`.
    std::function<std::vector<ResultRow>(const Eigen::VectorXd&, const Eigen::MatrixXd&, double)> table;
    // After each iteration, with the step's components in the trait's units (none: nothing).
    std::function<void(const AiRemlStep&, const Eigen::VectorXd&)> after_step;
    // Monte Carlo traces: at convergence, given the rows of the table with their Monte Carlo SEs
    // and with their sampling SEs, true when the evaluator was given more vectors and REML goes on
    // from the estimates (none: the run ends there).
    std::function<bool(const std::vector<ResultRow>&, const std::vector<ResultRow>&)> more_samples;
};
struct Estimate {
    Eigen::VectorXd theta;        // scaled
    Eigen::MatrixXd covariance;   // trait units squared; empty for given values
    double log_likelihood = 0.0;  // trait units
    std::vector<ResultRow> lrt;
};
// REML with the trace, the verdict, the table of components and shares, the sampling covariance
// and the boundary notes; then the likelihood-ratio tests of --lrt. Nothing when it does not
// converge (the trace says so).
std::optional<Estimate> estimate_components(const RunOptions& options, Logger& logger, const Estimation& estimation);

// REML from the settings' start to convergence, each iteration given to `step` numbered on over
// the runs (`iterations` counts them all); with Monte Carlo traces (the point has a score
// covariance) again from the estimates while `more`, given the converged run, says the evaluator
// was given more vectors.
AiRemlRun reml_with_enough_samples(const LikelihoodEvaluator& evaluator, const AiRemlSettings& settings,
                                   const std::function<void(const AiRemlStep&)>& step,
                                   const std::function<bool(const AiRemlRun&)>& more, int& iterations);
// Monte Carlo REML's settings from --mc-samples (without it the first batch of vectors), --seed,
// --pcg-tol and --pcg-max-iter, and its line in the log (`equations`: what the equations are).
MonteCarloSettings monte_carlo_settings(const RunOptions& options);
void say_monte_carlo(const RunOptions& options, Logger& logger, const MonteCarloMmeEvaluator& evaluator,
                     const std::string& equations);
// At convergence of Monte Carlo REML: the traces at the estimates with their Monte Carlo SEs in
// the log (`trace_names`, one per trace), and without --mc-samples more vectors while the Monte
// Carlo SE of a variance ratio (the rows `is_ratio` names) is above a tenth of its sampling SE:
// true when the evaluator was given them and REML goes on. `monte_carlo` and `sampling` are the
// table's rows with either SE.
bool more_monte_carlo_samples(const RunOptions& options, Logger& logger, MonteCarloMmeEvaluator& evaluator,
                              const std::vector<std::string>& trace_names, const std::vector<ResultRow>& monte_carlo,
                              const std::vector<ResultRow>& sampling,
                              const std::function<bool(const std::string&)>& is_ratio);
// The Monte Carlo SEs of the components and of every share, in the log.
void write_monte_carlo_errors(Logger& logger, const std::vector<ResultRow>& rows);

// PREFIX.vc.txt (`path`) after an iteration: the current components (`names`, `values` in the
// trait's units), the iteration and its log-likelihood, so that a run that stops can start again
// from them (--vc-start PREFIX.vc.txt). The converged run writes the whole file over it.
void save_iteration_estimates(const std::vector<std::string>& names, const Eigen::VectorXd& values, int iteration,
                              double log_likelihood, const std::string& path);

// The design REML takes: the columns of the design without reference levels (`reduced`) that
// are independent of those before them, in order, so that the log-likelihoods of every route
// share one convention.
Eigen::MatrixXd reml_design(const Eigen::MatrixXd& reduced);

// The driver's settings of variance components alone: a variance per random term (`terms`) and
// per residual class (`residuals`, the first the one residual), named V(<name>), started at
// shares of the variance of `y` (the scaled trait); `residual_variance` (of the fixed effects
// alone) sets the residual's least value.
AiRemlSettings variance_settings(const std::vector<std::string>& terms, const std::vector<std::string>& residuals,
                                 const Eigen::VectorXd& y, double residual_variance, int max_iter);

// The likelihood-ratio tests of a model with a term of several parts: one per term, a block's
// named by its parts ("animal,maternal(Dam)"), a term of one part by its component's `names`;
// none when every term has one part.
std::vector<Estimation::TermTest> term_tests(const Model& model, const std::vector<std::string>& names);

// Where a model's term of direct and maternal parts has its three components (-1: none).
Eigen::Index maternal_block(const Model& model);
// The blocks of the model's terms of several parts (the direct and maternal effects, a random
// regression's coefficients): each covariance named C(<component>), started at 0 and free, and
// every block kept positive semi-definite by the evaluator over the term's levels.
void set_covariance_blocks(AiRemlSettings& settings, SpacedEvaluator& evaluator, const Model& model);
