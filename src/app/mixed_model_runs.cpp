#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/agreement.h"
#include "app/app.h"
#include "app/distributed_mixed_model.h"
#include "app/marker_effects_run.h"
#include "app/model_builder.h"
#include "app/model_inputs.h"
#include "app/model_pipeline.h"
#include "app/parent_groups.h"
#include "kinship_io/kinship_io.h"
#include "distributed/distributed.h"
#include "kinship_io/kinship_source.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"

namespace {

constexpr double kStartHeritability = 0.3;

// What both runs read besides the kinship: the phenotype records that have a kinship row, and
// the kinship position (matrix row) of every record.
struct RunInputs {
    Model phenotype;
    std::string trait_name;
    std::vector<std::size_t> positions;
};

RunInputs load_inputs(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                      const std::vector<std::string>& kinship_ids, const GroupCovariates* groups = nullptr) {
    RunInputs inputs;
    const std::unordered_set<std::string> id_set(kinship_ids.begin(), kinship_ids.end());
    logger.tee << "\t" << kinship_ids.size() << " individuals were detected in the kinship file." << std::endl;

    logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
    PhenotypeRecords records = as_input_error([&] {
        FormulaColumns extra;
        extra.intercept = formula_intercept(options);
        return read_phenotype_records(options.phe_file, options.phe_pos, options.covar_pos, id_set, options.qcovar_pos,
                                      {}, extra);
    });
    inputs.phenotype = std::move(records.data);
    inputs.trait_name = std::move(records.trait_name);
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const std::vector<std::string>& record_ids = inputs.phenotype.response.record_ids;
    logger.tee << "\t" << y.rows()
               << " effective records without missing covariate and kinship and will be used for REML analysis."
               << std::endl;
    if (groups != nullptr) {
        add_group_columns(inputs.phenotype, *groups, logger);
    }
    check_records_and_design(options, logger, inputs.phenotype);
    warn_repeated_records(logger, "Fit it with --pe.", record_ids);
    add_random_terms(inputs.phenotype, plan, levels_first_met(record_ids));
    for (Eigen::Index position : record_positions(record_ids, kinship_ids)) {
        inputs.positions.push_back(static_cast<std::size_t>(position));  // every record has a kinship row
    }
    return inputs;
}

// Frees the file's contents now. Assigning an empty KinshipFile would not: a string moved from
// an empty one keeps its own buffer.
void release(KinshipFile& file) {
    const KinshipFile discarded = std::move(file);
}

// The kinship file's IDs and the inputs read against them, for one process.
std::pair<KinshipFile, RunInputs> load_with_kinship(const RunOptions& options, Logger& logger,
                                                     const ModelPlan& plan, const GroupCovariates* groups) {
    KinshipFile kinship = as_input_error([&] { return read_kinship_file(options.kin_file); });
    RunInputs inputs = load_inputs(options, logger, plan, getKinshipIds(kinship).second, groups);
    return {std::move(kinship), std::move(inputs)};
}

// The same for every rank of a distributed run: each opens the file (IDs and where its values
// are) and reads the phenotype; a failure on any rank ends all.
std::pair<KinshipSource, RunInputs> load_distributed(const RunOptions& options, Logger& logger,
                                                     const ModelPlan& plan) {
    std::pair<KinshipSource, RunInputs> loaded;
    agree(attempt([&] {
        loaded.first = as_input_error([&] { return open_kinship_source(options.kin_file); });
        loaded.second = load_inputs(options, logger, plan, loaded.first.text.ids);
    }));
    return loaded;
}

std::vector<std::int64_t> positions_of(const RunInputs& inputs) {
    return std::vector<std::int64_t>(inputs.positions.begin(), inputs.positions.end());
}

// The fixed effects, in the user's units, on the console and the log; throws RunFailure when the
// solution is not finite.
void show_fixed_effects(const RunOptions& options, Logger& logger, const RunInputs& inputs, Eigen::MatrixXd b,
                        const Eigen::MatrixXd& u, double h2) {
    unstandardise_effects(b, inputs.phenotype.fixed.numeric);
    if (!b.allFinite() || !u.allFinite()) {
        std::ostringstream message;
        message << "the mixed model equations have no finite solution at heritability " << h2 << "; "
                << options.out_prefix << ".random.txt was not written.";
        throw RunFailure(message.str());
    }
    print_fixed_effects(logger, b, inputs.phenotype.fixed.full, inputs.phenotype.fixed.labels,
                        inputs.phenotype.fixed.numeric);
}

// The null model of the likelihood-ratio test (sa2 = 0), on the same records and design, and
// the test against the estimate's log-likelihood: printed, and the row of PREFIX.vc.txt.
std::vector<ResultRow> one_kinship_lrt(const RunOptions& options, Logger& logger, const std::string& name,
                                       const ReducedKinship& records, const RunInputs& inputs, const RemlResult& reml) {
    if (!options.lrt) {
        return {};
    }
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const Eigen::MatrixXd& reduced_design = inputs.phenotype.fixed.reduced;
    const RemlResult without =
        reml_ai_cpp(records, reduced_design, y, options.max_iter, kStartHeritability, kRemlTolerance, {}, true);
    logger.tee << "\n👉 Likelihood-ratio test: REML again with the component fixed at 0\n"
               << "Component\tlogL0\t2dlogL\tp\n";
    return {likelihood_ratio_row(logger, name, reml.log_likelihood,
                                 without.run.converged ? std::optional<double>(without.log_likelihood) : std::nullopt)};
}

// --vc for one kinship: Sigma_a2 and Sigma_e2 > 0, in place of REML.
RemlResult given_variances(const RunOptions& options, Logger& logger, const std::string& name) {
    take_given_values(options, logger, {name, "e"});
    RemlResult given;
    given.run.converged = true;
    given.sigma_a2 = options.vc[0];
    given.sigma_e2 = options.vc[1];
    given.h2 = given.sigma_a2 / (given.sigma_a2 + given.sigma_e2);
    return given;
}

// Under mpirun, with one rank as with several, the records' matrix lives in blocks and the
// kinship is read in panels, so that a rank never needs the matrix twice.
bool spread_over_ranks() { return started_by_mpirun() && distributed_mixed_model_available(); }

// One kinship (the band path), in one process or over the ranks of mpirun: the same stages, the
// ranks agreeing at the end of each; only where the kinship lives differs. In one process the
// records' kinship is read whole (REML) or as the columns of the records' individuals
// (prediction, so that a text file is parsed once); over the ranks each reads its panels.
class OneKinshipRoute : public ModelRoute {
public:
    OneKinshipRoute(const RunOptions& options, Logger& logger, ModelPlan plan, ModelJob job)
        : options_(options), logger_(logger), plan_(std::move(plan)), job_(job), distributed_(spread_over_ranks()) {}

    void at_stage(const std::function<void()>& stage) override {
        if (distributed_) {
            agree(attempt(stage));
        } else {
            stage();
        }
    }

    void set_up() override {
        logger_.tee << (job_ == ModelJob::reml ? "👉Loading kinship file: " : "👉 Loading kinship file: ")
                    << options_.kin_file << std::endl;
        if (distributed_ && !options_.ped_groups_file.empty()) {
            throw RunFailure("--ped-groups runs as one process in this version; run it without mpirun.");
        }
        if (distributed_) {
            std::pair<KinshipSource, RunInputs> loaded = load_distributed(options_, logger_, plan_);
            source_ = std::move(loaded.first);
            inputs_ = std::move(loaded.second);
            if (job_ == ModelJob::reml) {
                const auto n = static_cast<std::int64_t>(inputs_.positions.size());
                logger_.tee << "👉 kinship matrix size: " << n << " x " << n << " used for REML analysis." << std::endl;
            }
            return;
        }
        if (!options_.ped_groups_file.empty()) {
            groups_ = read_group_covariates(options_, logger_);
        }
        std::pair<KinshipFile, RunInputs> loaded =
            load_with_kinship(options_, logger_, plan_, groups_.names.empty() ? nullptr : &groups_);
        KinshipFile& file = loaded.first;
        inputs_ = std::move(loaded.second);
        if (job_ == ModelJob::reml) {
            K_records_ = as_input_error([&] { return filterKinshipMatrix(file, inputs_.phenotype.response.record_ids); });
            release(file);
            logger_.tee << "👉 kinship matrix size: " << K_records_.rows() << " x " << K_records_.cols()
                        << " used for REML analysis." << std::endl;
            return;
        }
        std::vector<std::size_t> recorded(inputs_.positions);
        std::sort(recorded.begin(), recorded.end());
        recorded.erase(std::unique(recorded.begin(), recorded.end()), recorded.end());
        columns_ = as_input_error([&] { return read_kinship_columns(file, recorded); });
        kinship_ids_ = std::move(file.text.ids);
        release(file);
        for (std::size_t position : inputs_.positions) {
            record_columns_.push_back(std::lower_bound(recorded.begin(), recorded.end(), position) - recorded.begin());
        }
        K_records_ = columns_.columns(positions(), record_columns_);
    }

    bool estimate() override {
        reduce();
        if (distributed_) {
            // Every rank alike, then rank 0's estimate for all, so that no rank takes another
            // path through the collective steps that follow.
            agree(attempt([&] { reml_ = run_reml(); }));
            agree_on_estimate(reml_);
        } else {
            reml_ = run_reml();
        }
        return reml_.run.converged;
    }

    void take_given() override {
        reduce();
        if (distributed_) {
            agree(attempt([&] { reml_ = given_variances(options_, logger_, name()); }));
        } else {
            reml_ = given_variances(options_, logger_, name());
        }
        reml_.log_likelihood = reml_log_likelihood_at(records_, inputs_.phenotype.fixed.reduced,
                                                      inputs_.phenotype.response.y, reml_.sigma_a2, reml_.sigma_e2);
    }

    void predict() override {
        const Eigen::MatrixXd& y = inputs_.phenotype.response.y;
        const Eigen::MatrixXd& full_design = inputs_.phenotype.fixed.full;
        const std::size_t individuals = distributed_ ? source_.text.ids.size()
                                                     : static_cast<std::size_t>(columns_.columns.rows());
        logger_.tee << "👉 Breeding values of " << individuals << " individuals will be predicted\n" << std::endl;
        // The kinship as REML took it: without its rounding when that stood in the way of h2 = 1
        // (every rank made the same one).
        const ReducedKinship& estimated = reml_.rounding_free ? reml_.rounding_free->kinship : records_;
        if (distributed_) {
            std::pair<Eigen::MatrixXd, Eigen::VectorXd> solution;
            agree(attempt([&] { solution = mixed_model_solution(estimated, full_design, y, reml_.h2); }));
            const std::vector<std::int64_t> ranks_positions = positions_of(inputs_);
            DistributedPrediction prediction = distributed_breeding_values(
                logger_, source_, ranks_positions, estimated, solution.second, full_design, reml_.sigma_a2,
                reml_.sigma_e2);
            show_fixed_effects(options_, logger_, inputs_, solution.first, prediction.breeding_values, reml_.h2);
            values_ = std::move(prediction.breeding_values);
            error_variances_ = std::move(prediction.error_variances);
            genetic_variances_ = std::move(prediction.genetic_variances);
            return;
        }
        // With unknown parent groups as fixed covariates, each value is a + Qg.
        const Eigen::MatrixXd shifts =
            groups_.names.empty()
                ? Eigen::MatrixXd()
                : group_shifts(groups_, kinship_ids_, inputs_.phenotype.fixed, fixed_effect_columns(full_design));
        BandPrediction prediction =
            predict_breeding_values(estimated, positions(), columns_, full_design, y, reml_.h2, reml_.sigma_a2,
                                    reml_.sigma_e2, groups_.names.empty() ? nullptr : &shifts);
        values_ = prediction.effect.values;
        show_fixed_effects(options_, logger_, inputs_, std::move(prediction.b), values_, reml_.h2);
        error_variances_ = std::move(prediction.effect.error_variances);
        genetic_variances_ = std::move(prediction.effect.prior_variances);
        if (options_.snp_effects) {
            prepare_marker_effects(estimated);
        }
    }

    // At the components, as the prediction solves for them.
    std::vector<FixedEffectRow> fixed_effects() override {
        const ReducedKinship& estimated = reml_.rounding_free ? reml_.rounding_free->kinship : records_;
        const FixedDesign& design = inputs_.phenotype.fixed;
        FixedEffectEstimate estimate = fixed_effect_estimate(estimated, design.full, inputs_.phenotype.response.y,
                                                             reml_.sigma_a2, reml_.sigma_e2);
        Eigen::MatrixXd& b = estimate.b;
        unstandardise_effects(b, design.numeric);
        const Eigen::MatrixXd covariance = unstandardise_covariance(estimate.covariance, design.numeric);
        return fixed_effect_rows(design, inputs_.trait_name, b.col(0),
                                 covariance.diagonal().cwiseMax(0.0).cwiseSqrt(), fixed_effect_columns(design.full), {},
                                 {}, &covariance);
    }

    // The estimates with the tests of --lrt, or the values of --vc.
    std::vector<ResultRow> variance_rows() override {
        const std::vector<ResultRow> lrt = options_.vc_given
                                               ? std::vector<ResultRow>{}
                                               : one_kinship_lrt(options_, logger_, name(), records_, inputs_, reml_);
        std::vector<ResultRow> rows =
            variance_component_rows({name()}, Eigen::Vector2d(reml_.sigma_a2, reml_.sigma_e2),
                                    options_.vc_given ? Eigen::MatrixXd() : Eigen::MatrixXd(reml_.ai_inverse), {},
                                    reml_.log_likelihood);
        rows.insert(rows.end(), lrt.begin(), lrt.end());
        const std::vector<std::string>& record_ids = inputs_.phenotype.response.record_ids;
        const std::unordered_set<std::string> individuals(record_ids.begin(), record_ids.end());
        for (const ResultRow& row : count_rows(record_ids.size(), individuals.size())) {
            rows.push_back(row);
        }
        return rows;
    }

    void add_predictions(ResultTexts& results, const MixedModelFiles& files) override {
        const std::vector<std::string>& ids = distributed_ ? source_.text.ids : kinship_ids_;
        check_error_variances(error_variances_, ids, files.values, "", "", [&](Eigen::Index i) {
            std::ostringstream detail;
            detail << " (its diagonal, " << genetic_variances_[i] / reml_.sigma_a2
                   << ", is negative or below what its relationships with the records imply)";
            return detail.str();
        });
        add_breeding_value_files(results, values_, error_variances_, genetic_variances_, ids, files.values,
                                 files.reliability);
        if (options_.snp_effects) {
            add_marker_effects(options_, logger_, marker_inputs_, results);
        }
    }

    bool announces_reml_before_given_values() const override { return true; }

private:
    // The relationship's term, as the tables name it.
    const std::string& name() const { return inputs_.phenotype.terms.front().name; }
    std::vector<Eigen::Index> positions() const {
        return std::vector<Eigen::Index>(inputs_.positions.begin(), inputs_.positions.end());
    }
    void reduce() {
        records_ = distributed_ ? distributed_records_reduction(logger_, source_, positions_of(inputs_))
                                : reduce_kinship_cpp(std::move(K_records_));
    }
    // What the marker effects take of the prediction: alpha = Z' w (u = K alpha) and Var(t' w)
    // = sa2^2 t'P t of the records' solution w = sa2 P y.
    void prepare_marker_effects(const ReducedKinship& estimated) {
        const Eigen::MatrixXd& full_design = inputs_.phenotype.fixed.full;
        const Eigen::VectorXd w =
            mixed_model_solution(estimated, full_design, inputs_.phenotype.response.y, reml_.h2).second;
        MarkerEffectInputs& marker = marker_inputs_;
        marker.kinship_ids = &kinship_ids_;
        marker.alpha = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(kinship_ids_.size()));
        for (std::size_t r = 0; r < inputs_.positions.size(); ++r) {
            marker.alpha[static_cast<Eigen::Index>(inputs_.positions[r])] += w[static_cast<Eigen::Index>(r)];
        }
        marker.diagonal = columns_.diagonal;
        marker.column = columns_.columns.col(0);
        marker.column_individual = static_cast<Eigen::Index>(columns_.positions.front());
        marker.record_individuals = positions();
        const double variance = reml_.sigma_a2;
        const auto records = static_cast<std::size_t>(record_columns_.size());
        if (fits_in_free_memory(2 * sizeof(double) * records * records)) {
            const auto projection = std::make_shared<CholeskyRecordProjection>(
                columns_.columns(positions(), record_columns_), full_design, reml_.sigma_a2, reml_.sigma_e2);
            marker.record_variances = [projection, variance](const Eigen::MatrixXd& T) {
                return Eigen::VectorXd(variance * variance * projection->quadratic_forms(T));
            };
            return;
        }
        // V at the records does not fit beside the reduced kinship: the rotation to its basis
        // gives the same forms at about four times the work.
        logger_.tee << "👉 P of the marker effects through the reduced kinship: V of the " << records
                    << " records does not fit in the free memory beside it (about four times slower)." << std::endl;
        const auto projection =
            std::make_shared<RecordProjection>(estimated, full_design, reml_.sigma_a2, reml_.sigma_e2);
        marker.record_variances = [projection, &estimated, variance](const Eigen::MatrixXd& T) {
            return Eigen::VectorXd(variance * variance * projection->quadratic_forms(rotate_to_reduced(estimated, T)));
        };
    }
    RemlResult run_reml() const {
        return QorREML(logger_, records_, inputs_.phenotype.fixed.reduced, inputs_.phenotype.response.y,
                       options_.max_iter, kStartHeritability, kRemlTolerance);
    }

    const RunOptions& options_;
    Logger& logger_;
    ModelPlan plan_;
    ModelJob job_;
    bool distributed_;
    RunInputs inputs_;
    KinshipSource source_;      // over the ranks
    KinshipColumns columns_;    // one process, prediction
    std::vector<Eigen::Index> record_columns_;  // the column of columns_ at each record
    std::vector<std::string> kinship_ids_;
    Eigen::MatrixXd K_records_;
    ReducedKinship records_;
    RemlResult reml_;
    Eigen::MatrixXd values_;
    Eigen::VectorXd error_variances_, genetic_variances_;
    GroupCovariates groups_;
    MarkerEffectInputs marker_inputs_;
};

// The route of a job from the shape of its model: several traits, several random effects, or one
// kinship alone (the band path).
int run_job(const RunOptions& options, Logger& logger, ModelJob job) {
    ModelPlan plan = model_from_options(options);
    if (job == ModelJob::predict && options.snp_effects &&
        (plan.shape == ModelShape::several_traits || spread_over_ranks() || !options.ped_groups_file.empty())) {
        throw InputCheckFailure("--snp-effects takes one trait with a genomic kinship (--kin-file, or the first of "
                                "--mkin-file: GBLUP) in one process, without --ped-groups, or single-step by "
                                "iteration (--pedigree with --bedfile), in this version.");
    }
    if (plan.shape == ModelShape::several_traits) {
        return run_model_job(options, logger, *traits_route(options, logger, plan), job);
    }
    if (plan.shape == ModelShape::several_effects) {
        return run_model_job(options, logger, *several_effects_route(options, logger, plan, job), job);
    }
    if (!options.vc_start.empty()) {
        throw InputCheckFailure("--vc-start is taken by models written with --model, by several random effects and by "
                                "several traits; this one-kinship run starts on its own (write it as --model \"" +
                                std::string("Trait ~ ... + animal\") to give it starting values)."));
    }
    // The relationship's file (the one of a --mkin-file list) is the run's kinship.
    RunOptions one = options;
    one.kin_file = plan.relationship_files.front();
    OneKinshipRoute route(one, logger, std::move(plan), job);
    return run_model_job(one, logger, route, job);
}

}  // namespace

int run_reml(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] {
        if (options.vc_given) {
            throw InputCheckFailure("--vc gives the variances of a prediction (--predict) instead of estimating "
                                    "them; --reml estimates them.");
        }
        return run_job(options, logger, ModelJob::reml);
    });
}

int run_predict(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] { return run_job(options, logger, ModelJob::predict); });
}
