#include <algorithm>
#include <cmath>
#include <exception>
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
#include "app/model_inputs.h"
#include "kinship_io/kinship_io.h"
#include "distributed/distributed.h"
#include "kinship_io/kinship_source.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

constexpr double kStartHeritability = 0.3;

// What both runs read besides the kinship: the phenotype records that have a kinship row, and
// the kinship position (matrix row) of every record.
struct RunInputs {
    Model phenotype;
    std::vector<std::size_t> positions;
};

RunInputs load_inputs(const RunOptions& options, Logger& logger, const std::vector<std::string>& kinship_ids) {
    RunInputs inputs;
    const std::unordered_set<std::string> id_set(kinship_ids.begin(), kinship_ids.end());
    logger.tee << "\t" << kinship_ids.size() << " individuals were detected in the kinship file." << std::endl;

    logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
    inputs.phenotype = as_input_error(
        [&] { return readPhenotype(options.phe_file, options.phe_pos, options.covar_pos, id_set, options.qcovar_pos); });
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const std::vector<std::string>& record_ids = inputs.phenotype.response.record_ids;
    logger.tee << "\t" << y.rows()
               << " effective records without missing covariate and kinship and will be used for REML analysis."
               << std::endl;
    check_records_and_design(options, logger, inputs.phenotype);
    warn_repeated_records(logger, "Fit it with --pe.", record_ids);
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
std::pair<KinshipFile, RunInputs> load_with_kinship(const RunOptions& options, Logger& logger) {
    KinshipFile kinship = as_input_error([&] { return read_kinship_file(options.kin_file); });
    RunInputs inputs = load_inputs(options, logger, getKinshipIds(kinship).second);
    return {std::move(kinship), std::move(inputs)};
}

// The same for every rank of a distributed run: each opens the file (IDs and where its values
// are) and reads the phenotype; a failure on any rank ends all.
std::pair<KinshipSource, RunInputs> load_distributed(const RunOptions& options, Logger& logger) {
    std::pair<KinshipSource, RunInputs> loaded;
    agree(attempt([&] {
        loaded.first = as_input_error([&] { return open_kinship_source(options.kin_file); });
        loaded.second = load_inputs(options, logger, loaded.first.text.ids);
    }));
    return loaded;
}

std::vector<std::int64_t> positions_of(const RunInputs& inputs) {
    return std::vector<std::int64_t>(inputs.positions.begin(), inputs.positions.end());
}

// The estimation on every rank alike, then rank 0's estimate for all, so that no rank takes
// another path through the collective steps that follow.
RemlResult estimate_everywhere(Logger& logger, const ReducedKinship& records, const RunOptions& options,
                               const RunInputs& inputs) {
    // Named, not bound: a lambda may not capture a structured binding in C++17.
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const Eigen::MatrixXd& reduced_design = inputs.phenotype.fixed.reduced;
    RemlResult reml;
    agree(attempt([&] {
        reml = QorREML(logger, records, reduced_design, y, options.max_iter, kStartHeritability, kRemlTolerance);
    }));
    agree_on_estimate(reml);
    return reml;
}

std::string unconverged_message(const std::string& output_name) {
    return "without converged variance components there are no breeding values to predict; " + output_name +
           " was not written.";
}

// The fixed effects, in the user's units, on the console and the log; throws RunFailure when the
// solution is not finite.
void show_fixed_effects(const RunOptions& options, Logger& logger, const RunInputs& inputs, Eigen::MatrixXd b,
                        const Eigen::MatrixXd& u, double h2) {
    const Eigen::MatrixXd& full_design = inputs.phenotype.fixed.full;
    const std::vector<std::string>& labels = inputs.phenotype.fixed.labels;
    unstandardise_effects(b, inputs.phenotype.fixed.numeric);
    if (!b.allFinite() || !u.allFinite()) {
        std::ostringstream message;
        message << "the mixed model equations have no finite solution at heritability " << h2 << "; "
                << options.out_prefix << ".random.txt was not written.";
        throw RunFailure(message.str());
    }
    print_fixed_effects(logger, b, full_design, labels, inputs.phenotype.fixed.numeric);
}

// The two result files, once the log holds every line before them. A prediction error variance
// below 0 beyond rounding (NaN) comes from a kinship row no relationship matrix has: it is named,
// and nothing is written.
void write_prediction(const RunOptions& options, Logger& logger, const Eigen::MatrixXd& u, const Eigen::VectorXd& pev,
                      const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& kinship_ids,
                      double sigma_a2, const std::vector<ResultRow>& variance_rows) {
    const MixedModelFiles files = mixed_model_files(options);
    for (Eigen::Index i = 0; i < pev.size(); ++i) {
        if (std::isnan(pev[i])) {
            std::ostringstream message;
            message << "the kinship row of individual " << kinship_ids[static_cast<std::size_t>(i)]
                    << " is not that of a relationship matrix: its prediction error variance falls below 0 beyond "
                       "rounding (its diagonal, "
                    << genetic_variances[i] / sigma_a2
                    << ", is negative or below what its relationships with the records imply). Check the kinship "
                       "file; "
                    << files.values << " was not written.";
            throw RunFailure(message.str());
        }
    }
    logger.ensure_written();
    ResultTexts results;
    add_breeding_value_files(results, u, pev, genetic_variances, kinship_ids, files.values, files.reliability);
    add_variance_file(results, variance_rows, files.variances);
    save_prediction(files, results, "breeding values");
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
    if (!without.converged) {
        logger.tee << name << "\tNA\tNA\tNA (REML without it did not converge)" << std::endl;
        return {{"LRT(" + name + ")", std::nan(""), std::nan("")}};
    }
    const double statistic = std::max(0.0, 2.0 * (reml.log_likelihood - without.log_likelihood));
    const double p_value = statistic > 0.0 ? 0.5 * std::erfc(std::sqrt(0.5 * statistic)) : 1.0;
    logger.tee << name << "\t" << without.log_likelihood << "\t" << statistic << "\t" << p_value << std::endl;
    return {{"LRT(" + name + ")", statistic, p_value}};
}

// PREFIX.vc.txt of a one-kinship run: estimated (with SEs) or given (without).
// The rows of PREFIX.vc.txt of a one-kinship run: the estimates with the tests of --lrt, or the
// values of --vc.
std::vector<ResultRow> one_kinship_rows(const RunOptions& options, Logger& logger, const std::string& name,
                                        const ReducedKinship& records, const RunInputs& inputs, const RemlResult& reml) {
    const std::vector<ResultRow> lrt =
        options.vc_given ? std::vector<ResultRow>{} : one_kinship_lrt(options, logger, name, records, inputs, reml);
    std::vector<ResultRow> rows =
        variance_component_rows({name}, Eigen::Vector2d(reml.sigma_a2, reml.sigma_e2),
                                options.vc_given ? Eigen::MatrixXd() : Eigen::MatrixXd(reml.ai_inverse), {},
                                reml.log_likelihood);
    rows.insert(rows.end(), lrt.begin(), lrt.end());
    const std::vector<std::string>& record_ids = inputs.phenotype.response.record_ids;
    const std::unordered_set<std::string> individuals(record_ids.begin(), record_ids.end());
    for (const ResultRow& row : count_rows(record_ids.size(), individuals.size())) {
        rows.push_back(row);
    }
    return rows;
}

void write_estimated_variances(const RunOptions& options, Logger& logger, const std::string& name,
                               const ReducedKinship& records, const RunInputs& inputs, const RemlResult& reml) {
    const std::vector<ResultRow> rows = one_kinship_rows(options, logger, name, records, inputs, reml);
    if (world_rank() == 0) {
        save_variances(mixed_model_files(options), rows);
    }
}

// --vc for one kinship: Sigma_a2 and Sigma_e2 > 0, in place of REML.
RemlResult given_variances(const RunOptions& options, Logger& logger, const std::string& name) {
    if (options.vc.size() != 2) {
        throw InputCheckFailure("--vc gives " + std::to_string(options.vc.size()) +
                                " value(s) but the model has 2 variance components: " + name +
                                ", e, in this order, the residual last.");
    }
    if (!(options.vc[1] > 0.0)) {
        throw InputCheckFailure("--vc: the residual variance, the last value, must be above 0.");
    }
    RemlResult given;
    given.converged = true;
    given.sigma_a2 = options.vc[0];
    given.sigma_e2 = options.vc[1];
    given.h2 = given.sigma_a2 / (given.sigma_a2 + given.sigma_e2);
    logger.tee << "👉 Variance components given by --vc (no REML):\nV(" << name << ")\t" << given.sigma_a2
               << "\nV(e)\t" << given.sigma_e2 << std::endl;
    note_estimation_options_unused(options, logger);
    return given;
}

// Under mpirun, with one rank as with several, the records' matrix lives in blocks and the
// kinship is read in panels, so that a rank never needs the matrix twice.
bool spread_over_ranks() { return started_by_mpirun() && distributed_mixed_model_available(); }

int distributed_reml(const RunOptions& options, Logger& logger, const std::string& name) {
    std::pair<KinshipSource, RunInputs> loaded = load_distributed(options, logger);
    const KinshipSource& source = loaded.first;
    const RunInputs& inputs = loaded.second;
    const auto n = static_cast<std::int64_t>(inputs.positions.size());
    logger.tee << "👉 kinship matrix size: " << n << " x " << n << " used for REML analysis." << std::endl;
    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = distributed_records_reduction(logger, source, positions_of(inputs));
    const RemlResult reml = estimate_everywhere(logger, records, options, inputs);
    if (!reml.converged) {
        return 1;
    }
    agree(attempt([&] { write_estimated_variances(options, logger, name, records, inputs, reml); }));
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

int distributed_predict(const RunOptions& options, Logger& logger, const std::string& name) {
    std::pair<KinshipSource, RunInputs> loaded = load_distributed(options, logger);
    const KinshipSource& source = loaded.first;
    const RunInputs& inputs = loaded.second;
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const Eigen::MatrixXd& full_design = inputs.phenotype.fixed.full;
    const std::vector<std::int64_t> positions = positions_of(inputs);
    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = distributed_records_reduction(logger, source, positions);
    RemlResult reml;
    if (options.vc_given) {
        agree(attempt([&] { reml = given_variances(options, logger, name); }));
        reml.log_likelihood = reml_log_likelihood_at(records, inputs.phenotype.fixed.reduced, y, reml.sigma_a2, reml.sigma_e2);
    } else {
        reml = estimate_everywhere(logger, records, options, inputs);
        if (!reml.converged) {
            throw RunFailure(unconverged_message(mixed_model_files(options).values));
        }
    }
    logger.tee << "\n🏃 Start predict breeding values!\n" << std::endl;
    logger.tee << "👉 Breeding values of " << source.text.ids.size() << " individuals will be predicted\n"
               << std::endl;
    // The kinship as REML took it (every rank made the same one).
    const ReducedKinship& estimated = reml.rounding_free ? reml.rounding_free->kinship : records;
    std::pair<Eigen::MatrixXd, Eigen::VectorXd> solution;
    agree(attempt([&] { solution = mixed_model_solution(estimated, full_design, y, reml.h2); }));
    const DistributedPrediction prediction = distributed_breeding_values(
        logger, source, positions, estimated, solution.second, full_design, reml.sigma_a2, reml.sigma_e2);
    agree(attempt([&] {
        show_fixed_effects(options, logger, inputs, solution.first, prediction.breeding_values, reml.h2);
        const std::vector<ResultRow> rows = one_kinship_rows(options, logger, name, records, inputs, reml);
        if (world_rank() == 0) {
            write_prediction(options, logger, prediction.breeding_values, prediction.error_variances,
                             prediction.genetic_variances, source.text.ids, reml.sigma_a2, rows);
        }
    }));
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

// The kinship files of the run, and whether the model is one kinship alone (the band path):
// then `one` holds the options with that file as --kin-file and `name` its component's name.
struct KinshipChoice {
    std::vector<std::string> files;
    bool one_kinship = false;
    RunOptions one;
    std::string name;
};

KinshipChoice choose_kinships(const RunOptions& options) {
    KinshipChoice choice;
    check_random_columns(options);
    choice.files = options.mkin_file.empty() ? std::vector<std::string>{options.kin_file}
                                             : read_kinship_list(options.mkin_file);
    choice.one_kinship = choice.files.size() == 1 && !options.pe && options.rand_pos.empty();
    choice.one = options;
    choice.one.kin_file = choice.files.front();
    choice.name = options.mkin_file.empty() ? "Add" : "K1";
    return choice;
}

int one_kinship_reml(const RunOptions& options, Logger& logger, const std::string& name) {
    logger.tee << "👉Loading kinship file: " << options.kin_file << std::endl;
    if (spread_over_ranks()) {
        return distributed_reml(options, logger, name);
    }
    std::pair<KinshipFile, RunInputs> loaded = load_with_kinship(options, logger);
    KinshipFile& kinship = loaded.first;
    const RunInputs& inputs = loaded.second;
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const Eigen::MatrixXd& reduced_design = inputs.phenotype.fixed.reduced;

    Eigen::MatrixXd K_records =
        as_input_error([&] { return filterKinshipMatrix(kinship, inputs.phenotype.response.record_ids); });
    release(kinship);
    logger.tee << "👉 kinship matrix size: " << K_records.rows() << " x " << K_records.cols()
               << " used for REML analysis." << std::endl;

    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = reduce_kinship_cpp(std::move(K_records));
    const RemlResult reml = QorREML(logger, records, reduced_design, y, options.max_iter, kStartHeritability, kRemlTolerance);
    if (!reml.converged) {
        return 1;
    }
    write_estimated_variances(options, logger, name, records, inputs, reml);
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

int one_kinship_predict(const RunOptions& options, Logger& logger, const std::string& name) {
    const std::string output_name = mixed_model_files(options).values;
    logger.tee << "👉 Loading kinship file: " << options.kin_file << std::endl;
    if (spread_over_ranks()) {
        return distributed_predict(options, logger, name);
    }
    std::pair<KinshipFile, RunInputs> loaded = load_with_kinship(options, logger);
    KinshipFile& kinship_file = loaded.first;
    const RunInputs& inputs = loaded.second;
    const Eigen::MatrixXd& y = inputs.phenotype.response.y;
    const Eigen::MatrixXd& full_design = inputs.phenotype.fixed.full;
    const Eigen::MatrixXd& reduced_design = inputs.phenotype.fixed.reduced;

    // The kinship's columns at the records' individuals (in matrix order) and its diagonal
    // are all the prediction needs; the records' matrix is taken from them, so that a text
    // file is parsed once.
    std::vector<std::size_t> recorded(inputs.positions);
    std::sort(recorded.begin(), recorded.end());
    recorded.erase(std::unique(recorded.begin(), recorded.end()), recorded.end());
    const KinshipColumns kinship = as_input_error([&] { return read_kinship_columns(kinship_file, recorded); });
    const std::vector<std::string> kinship_ids = std::move(kinship_file.text.ids);
    release(kinship_file);
    const std::vector<Eigen::Index> positions(inputs.positions.begin(), inputs.positions.end());
    std::vector<Eigen::Index> record_columns;
    for (std::size_t position : inputs.positions) {
        record_columns.push_back(std::lower_bound(recorded.begin(), recorded.end(), position) - recorded.begin());
    }
    Eigen::MatrixXd K_records = kinship.columns(positions, record_columns);

    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = reduce_kinship_cpp(std::move(K_records));
    RemlResult reml;
    if (options.vc_given) {
        reml = given_variances(options, logger, name);
        reml.log_likelihood = reml_log_likelihood_at(records, reduced_design, y, reml.sigma_a2, reml.sigma_e2);
    } else {
        reml = QorREML(logger, records, reduced_design, y, options.max_iter, kStartHeritability, kRemlTolerance);
        if (!reml.converged) {
            throw RunFailure(unconverged_message(output_name));
        }
    }

    logger.tee << "\n🏃 Start predict breeding values!\n" << std::endl;
    logger.tee << "👉 Breeding values of " << kinship.columns.rows() << " individuals will be predicted\n" << std::endl;
    // The kinship as REML took it: without its rounding when that stood in the way of h2 = 1.
    const ReducedKinship& estimated = reml.rounding_free ? reml.rounding_free->kinship : records;
    auto [b, u] = getEBV(estimated, positions, kinship, full_design, y, reml.h2);
    show_fixed_effects(options, logger, inputs, std::move(b), u, reml.h2);
    const Eigen::VectorXd pev =
        prediction_error_variances(estimated, positions, kinship, full_design, reml.sigma_a2, reml.sigma_e2);
    const std::vector<ResultRow> rows = one_kinship_rows(options, logger, name, records, inputs, reml);
    write_prediction(options, logger, u, pev, reml.sigma_a2 * kinship.diagonal, kinship_ids, reml.sigma_a2, rows);
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

}  // namespace

int run_reml(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] {
        if (options.vc_given) {
            throw InputCheckFailure("--vc gives the variances of a prediction (--predict) instead of estimating "
                                    "them; --reml estimates them.");
        }
        if (options.trait_pos.size() > 1) {
            return run_traits_reml(options, logger);
        }
        const KinshipChoice choice = choose_kinships(options);
        if (!choice.one_kinship) {
            return run_model_reml(options, logger, choice.files);
        }
        return one_kinship_reml(choice.one, logger, choice.name);
    });
}

int run_predict(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] {
        if (options.trait_pos.size() > 1) {
            return run_traits_predict(options, logger);
        }
        const KinshipChoice choice = choose_kinships(options);
        if (!choice.one_kinship) {
            return run_model_predict(options, logger, choice.files);
        }
        return one_kinship_predict(choice.one, logger, choice.name);
    });
}
