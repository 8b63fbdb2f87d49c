#pragma once

// What the REML and prediction runs of every model share: the phenotype's checks and the
// numeric covariates' scaling, and the way a run's failures reach the driver.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "app/app.h"
#include "kinship_io/kinship_source.h"
#include "log/failures.h"
#include "mixed_model/mixed_model.h"

class Logger;

// A kinship or phenotype file (or option) the run cannot use: the readers' errors are input
// failures, reported on standard error; every other error of the runs goes to the log.
template <typename Action>
auto as_input_error(Action action) -> decltype(action()) {
    try {
        return action();
    } catch (const InputFailure&) {
        throw;  // already says what it is
    } catch (const RunFailure&) {
        throw;
    } catch (const OutputFailure&) {
        throw;
    } catch (const std::runtime_error& error) {
        throw InputFailure(error.what());
    } catch (const std::invalid_argument& error) {
        throw InputFailure(error.what());
    }
}

// Centres and scales the last `count` columns of both designs in place (the numeric
// covariates), each by its largest magnitude first so that any units work.
std::vector<NumericScale> standardise_numeric(Eigen::MatrixXd& full, Eigen::MatrixXd& reduced, std::size_t count);
// Fixed effects of the standardised design in the user's units: a slope per unit of the
// covariate, and the intercept at covariates 0 rather than at their means. `b` has one row per
// column of the full design. The same for their sampling covariance (J C J').
void unstandardise_effects(Eigen::MatrixXd& b, const std::vector<NumericScale>& numeric);
Eigen::MatrixXd unstandardise_covariance(const Eigen::MatrixXd& covariance, const std::vector<NumericScale>& numeric);
// Labels of the fixed effects shown as 0 because they duplicate others, besides each class
// covariate's reference level and the constant numeric covariates.
std::vector<std::string> aliased_effects(const Eigen::MatrixXd& full_design, const std::vector<std::string>& labels,
                                         const std::vector<NumericScale>& numeric);
// "👏 Fixed effects were shown:", one line per label with b (already in the user's units) and,
// when `se` is given, a header and the SE of each, then a note for each level that is aliased
// with others (its effect shown as 0).
void print_fixed_effects(Logger& logger, const Eigen::MatrixXd& b, const Eigen::MatrixXd& full_design,
                         const std::vector<std::string>& labels, const std::vector<NumericScale>& numeric,
                         const Eigen::VectorXd* se = nullptr);
// The checks every run makes of the records it read (at least two, more than the fixed effects,
// a trait that varies within a double's range); then the numeric covariates scaled, with a note
// for a constant one (their scaling kept in the design). Throws RunFailure.
void check_records_and_design(const RunOptions& options, Logger& logger, Model& phenotype);

// Runs `run` after the option checks; any failure ends the run with status 1.
template <typename Run>
int guarded(Logger& logger, const RunOptions& options, Run run) {
    try {
        as_input_error([&] {
            check_covariate_columns(options.covar_pos);
            check_numeric_covariate_columns(options.covar_pos, options.qcovar_pos);
        });
        return run();
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
}

// ---- Models beyond one kinship ----------------------------------------------------------------
// The files a --mkin-file list names, one per line (blank lines skipped; a relative name is
// read from the current folder, else beside the list). Throws InputCheckFailure naming the
// list and line for a missing file, the list itself, or an empty list.
std::vector<std::string> read_kinship_list(const std::string& list_path);
// The names of a kinship list as written, one a line (blank lines skipped, blanks around a name
// trimmed), with their line numbers, as far as the list can be read; nothing is checked.
std::vector<std::pair<std::size_t, std::string>> kinship_list_names(std::istream& list);
// A --rand-pos column given twice, or also as a fixed covariate or the trait: InputCheckFailure.
void check_random_columns(const RunOptions& options);

// One kinship of a model, opened without its values.
struct ModelKinship {
    std::string name;  // "Add" for --kin-file, K1, K2, ... for --mkin-file
    KinshipSource source;
    std::unordered_map<std::string, std::int64_t> position;  // ID -> matrix position
};
// Everything a model's runs read: its kinships, the records of individuals in every kinship
// (checked, numeric covariates scaled) with the model's random terms (kinships, PE, random
// classes; the residual is "e"), and the individuals with records in the order first met.
struct ModelSetup {
    std::vector<ModelKinship> kinships;  // the relationships of the terms, in their order
    PhenotypeRecords records;            // records.data: the model
    std::string trait_name;
    std::vector<std::string> individuals;
    std::vector<Eigen::Index> individual_of_record;
    std::vector<int> repeatable;  // the terms of a repeatability: kinships and PE (with PE only)
};
struct ModelPlan;
struct GroupCovariates;
// `groups`: unknown parent groups as fixed covariates, when given.
ModelSetup set_up_model(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                        const GroupCovariates* groups = nullptr);
// The random effects for the dense evaluator, one per component of the terms, each kinship read
// at the individuals with records and checked for eigenvalues below what rounding explains
// (without `read_kinships`, their levels alone).
std::vector<RandomEffect> model_effects(const ModelSetup& model, bool read_kinships = true);
// A kinship at the individuals (q x q), checked for eigenvalues below what rounding explains.
Eigen::MatrixXd kinship_at(const ModelKinship& kinship, const std::vector<std::string>& individuals);
// A kinship's columns at the individuals (N x q, every individual of the file) and its diagonal.
Eigen::MatrixXd kinship_columns(const ModelKinship& kinship, const std::vector<std::string>& individuals);
Eigen::VectorXd kinship_diagonal_of(const ModelKinship& kinship);

// The log's lines on the records' weights and residual classes, when the model has them.
void say_residual_structure(Logger& logger, const ResidualTerm& residual);

// The result table of the log: "Source\tEstimate\tSE", one row each, "NA" for a missing SE.
void write_result_rows(std::ostream& out, const std::vector<ResultRow>& rows);

// True for a converged run; else the verdict in the log (and whether more iterations could help).
bool reported_convergence(Logger& logger, const AiRemlRun& run);
// The iteration table of REML: its header of component names, and a line per iteration with the
// log-likelihood and the components in the user's units, and the step's note when it has one.
void write_trace_header(std::ostream& out, const std::vector<std::string>& names);
void write_trace_line(std::ostream& out, const AiRemlStep& step, double log_likelihood, const Eigen::VectorXd& values,
                      const std::vector<std::string>& names, const std::string& note);
// Repeated records without --pe share the breeding value alone: a warning with their count and
// `advice`, the next step.
void warn_repeated_records(Logger& logger, const std::string& advice, const std::vector<std::string>& record_ids);
// The result files of a mixed-model job, named once: the check against the inputs and the writers
// take their names from here.
struct MixedModelFiles {
    std::string variances;    // PREFIX.vc.txt
    std::string values;       // PREFIX.random.txt
    std::string reliability;  // PREFIX.reliability.txt
    std::string fixed;        // PREFIX.fixed.txt
};
// The rows of PREFIX.fixed.txt of one trait: each column of the full design in the trait's model
// (`in_model`, none: all), with `b` and `se` (empty: NA) over the full design in the trait's
// units, `kept` the columns estimated, and `recorded` whether a record of the trait carries a
// column (none: all do).
std::vector<FixedEffectRow> fixed_effect_rows(const FixedDesign& design, const std::string& trait,
                                              const Eigen::VectorXd& b, const Eigen::VectorXd& se,
                                              const std::vector<Eigen::Index>& kept,
                                              const std::function<bool(Eigen::Index)>& in_model = {},
                                              const std::function<bool(Eigen::Index)>& recorded = {},
                                              const Eigen::MatrixXd* covariance = nullptr);
MixedModelFiles mixed_model_files(const RunOptions& options);
// Puts the files of a prediction in place together (`set`: the values, their reliabilities where
// the route has them, and the variances), then names them on standard error; `what` is what the
// values are ("breeding values", "random effects").
void save_prediction(const MixedModelFiles& files, const ResultTexts& set, const std::string& what);
// PREFIX.vc.txt of a REML job alone.
void save_variances(const MixedModelFiles& files, const std::vector<ResultRow>& rows);

// A prediction error variance below 0 beyond rounding (NaN) comes from a kinship row that no
// relationship matrix has: RunFailure naming the first such individual of `ids`, with `where`
// (" in <kinship>"), `trait` (" for <trait>") and `detail(i)` (what is known of the row) in the
// message, and saying that `values_name` was not written.
void check_error_variances(const Eigen::VectorXd& error_variances, const std::vector<std::string>& ids,
                           const std::string& values_name, const std::string& where = "",
                           const std::string& trait = "",
                           const std::function<std::string(Eigen::Index)>& detail = {});

// One likelihood-ratio test of --lrt: the log line of component `name` (its log-likelihood without
// it, 2 dlogL and the p-value against the 50:50 mixture of chi2(0) and chi2(1); NA when REML
// without it did not converge, `reduced` empty) and its row of PREFIX.vc.txt.
ResultRow likelihood_ratio_row(Logger& logger, const std::string& name, double full, std::optional<double> reduced);
// The same for a term whose covariance block of `removed` parameters is set to 0: the p-value of
// chi2(removed), conservative on the boundary (said in the log line).
ResultRow likelihood_ratio_row(Logger& logger, const std::string& name, double full, std::optional<double> reduced,
                               int removed);

// The values of --vc for a model with components `names` (the residual "e" last): checked (one a
// component, the residual above 0; InputCheckFailure), said in the log as V(<name>) rows, and
// the options of the estimation said to be unused.
void take_given_values(const RunOptions& options, Logger& logger, const std::vector<std::string>& names);
// take_given_values for a model whose components may hold covariances (`covariance[k]`, which
// may be below 0): every other value 0 or more, each of the last `residuals` above 0.
void take_given_components(const RunOptions& options, Logger& logger, const std::vector<std::string>& names,
                           const std::vector<bool>& covariance, std::size_t residuals);

// --vc-start: REML's starting values in the order of `names` (the parameters' names, which are
// the rows of a results file): the values listed, or, when the value names an existing file,
// that results file's rows by name. Empty without --vc-start. InputCheckFailure for a count that
// differs, a row missing, a value that is not a finite number.
std::vector<double> vc_start_values(const RunOptions& options, const std::vector<std::string>& names);
// The parameters of `settings` started at --vc-start's values (nothing without it), `units(k)`
// the factor from the scaled parameter k to the trait's units; said in the log. InputCheckFailure
// for a variance below 0 or a residual at or below its limit.
void take_starting_values(const RunOptions& options, Logger& logger, AiRemlSettings& settings,
                          const std::function<double(std::size_t)>& units);

// With --vc nothing is estimated: the options of the estimation are said to be unused.
void note_estimation_options_unused(const RunOptions& options, Logger& logger);

// The routes of the run pipeline (app/model_pipeline.h) for several traits (--phe-pos a,b,...,
// one kinship) and for several random effects (more than one kinship, --pe, --rand-pos), the
// model `plan` of the options (app/model_builder.h), for `job`.
class ModelRoute;
enum class ModelJob;
std::unique_ptr<ModelRoute> traits_route(const RunOptions& options, Logger& logger, const ModelPlan& plan);
std::unique_ptr<ModelRoute> several_effects_route(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                                                  ModelJob job);
