#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/agreement.h"
#include "app/app.h"
#include "app/fixed_effects.h"
#include "app/distributed_mixed_model.h"
#include "kinship_io/kinship_io.h"
#include "distributed/distributed.h"
#include "kinship_io/kinship_source.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

constexpr double kStartHeritability = 0.3;
constexpr double kTolerance = 1e-5;

// A kinship or phenotype file (or option) the run cannot use: the readers' errors are input
// failures, reported on standard error; every other error of the runs goes to the log.
template <typename Action>
auto as_input_error(Action action) -> decltype(action()) {
    try {
        return action();
    } catch (const InputFailure&) {
        throw;  // already says what it is
    } catch (const std::runtime_error& error) {
        throw InputFailure(error.what());
    } catch (const std::invalid_argument& error) {
        throw InputFailure(error.what());
    }
}

// What both runs read besides the kinship: the phenotype records that have a kinship row, and
// the kinship position (matrix row) of every record.
struct RunInputs {
    PhenotypeData phenotype;
    std::vector<std::size_t> positions;
    std::vector<NumericScale> numeric;  // the last numeric.size() columns of both designs
};

// Labels of the fixed effects shown as 0 because they duplicate others, besides the reference
// level of each class covariate (the first column of its block) and the constant numeric
// covariates, which have notes of their own.
std::vector<std::string> aliased_effects(const Eigen::MatrixXd& full_design, const std::vector<std::string>& labels,
                                         const std::vector<NumericScale>& numeric) {
    std::vector<bool> estimated(static_cast<std::size_t>(full_design.cols()), false);
    for (Eigen::Index column : fixed_effect_columns(full_design)) {
        estimated[static_cast<std::size_t>(column)] = true;
    }
    const std::size_t class_end = labels.size() - numeric.size();
    std::vector<std::string> aliased;
    std::string block;  // "Covar<column>_" of the class covariate being walked
    for (std::size_t c = 1; c < labels.size(); ++c) {
        if (c < class_end) {
            const std::string prefix = labels[c].substr(0, labels[c].find('_') + 1);
            const bool reference = prefix != block;
            block = prefix;
            if (!reference && !estimated[c]) {
                aliased.push_back(labels[c]);
            }
        } else if (!estimated[c] && !numeric[c - class_end].constant) {
            aliased.push_back(labels[c]);
        }
    }
    return aliased;
}

}  // namespace

std::vector<NumericScale> standardise_numeric(Eigen::MatrixXd& full, Eigen::MatrixXd& reduced, std::size_t count) {
    std::vector<NumericScale> scales(count);
    const auto q = static_cast<Eigen::Index>(count);
    for (Eigen::Index c = 0; c < q; ++c) {
        auto column = full.col(full.cols() - q + c);
        NumericScale& s = scales[static_cast<std::size_t>(c)];
        s.constant = column.rows() == 0 || column.maxCoeff() == column.minCoeff();
        s.centre = column.rows() == 0 ? 0.0 : column.mean();
        const double spread = std::sqrt((column.array() - s.centre).square().mean());
        s.scale = s.constant || !(spread > 0.0) ? 1.0 : spread;
        column = s.constant ? Eigen::VectorXd::Zero(column.rows()) : Eigen::VectorXd((column.array() - s.centre) / s.scale);
        reduced.col(reduced.cols() - q + c) = column;
    }
    return scales;
}

// Fixed effects of the standardised design in the user's units: a slope per unit of the
// covariate, and the intercept at covariates 0 rather than at their means.
void unstandardise_effects(Eigen::MatrixXd& b, const std::vector<NumericScale>& numeric) {
    const auto q = static_cast<Eigen::Index>(numeric.size());
    for (Eigen::Index c = 0; c < q; ++c) {
        const NumericScale& s = numeric[static_cast<std::size_t>(c)];
        double& slope = b(b.rows() - q + c, 0);
        slope = s.constant ? 0.0 : slope / s.scale;
        b(0, 0) -= slope * s.centre;
    }
}

void print_fixed_effects(Logger& logger, const Eigen::MatrixXd& b, const Eigen::MatrixXd& full_design,
                         const std::vector<std::string>& labels, const std::vector<NumericScale>& numeric) {
    logger.tee << "👏 Fixed effects were shown:\n" << std::endl;
    for (Eigen::Index i = 0; i < b.rows(); ++i) {
        logger.tee << labels[static_cast<std::size_t>(i)] << "\t" << b(i, 0) << std::endl;
    }
    for (const std::string& label : aliased_effects(full_design, labels, numeric)) {
        logger.tee << "👉 " << label << " is aliased: its records are a combination of those of other fixed "
                   << "effects (for example two covariates whose levels always occur together), so its effect "
                   << "is shown as 0." << std::endl;
    }
}

namespace {

RunInputs load_inputs(const RunOptions& options, Logger& logger, const std::vector<std::string>& kinship_ids) {
    RunInputs inputs;
    const std::unordered_set<std::string> id_set(kinship_ids.begin(), kinship_ids.end());
    logger.tee << "\t" << kinship_ids.size() << " individuals were detected in the kinship file." << std::endl;

    logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
    inputs.phenotype = as_input_error(
        [&] { return readPhenotype(options.phe_file, options.phe_pos, options.covar_pos, id_set, options.qcovar_pos); });
    inputs.numeric = standardise_numeric(std::get<1>(inputs.phenotype), std::get<2>(inputs.phenotype),
                                         options.qcovar_pos.size());
    const auto& [y, full_design, reduced_design, record_ids, labels] = inputs.phenotype;
    logger.tee << "\t" << y.rows()
               << " effective records without missing covariate and kinship and will be used for REML analysis."
               << std::endl;

    if (y.rows() < 2) {
        throw RunFailure("REML needs at least two records with a trait value, complete covariates "
                                 "and a row in the kinship file; " + options.phe_file + " has " +
                                 std::to_string(y.rows()) + ".");
    }
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(reduced_design.cols()));
    for (std::size_t c = 0; c < in_order.size(); ++c) {
        in_order[c] = static_cast<Eigen::Index>(c);
    }
    const auto rank = static_cast<Eigen::Index>(independent_columns(reduced_design, in_order).size());
    if (y.rows() <= rank) {
        throw RunFailure("the " + std::to_string(y.rows()) + " records are no more than the " +
                                 std::to_string(rank) + " fixed effects they estimate; REML needs more records " +
                                 "than fixed effects (use fewer --covar-pos columns).");
    }
    if (y.maxCoeff() == y.minCoeff()) {
        throw RunFailure("the trait has the same value in all " + std::to_string(y.rows()) +
                                 " records; there is no variance to estimate.");
    }
    // Values that differ but whose variance underflows to 0 or overflows (traits near 1e-200
    // or 1e200) cannot be estimated in double precision.
    const double variance = computeVariance(y);
    if (!(variance > 0.0) || !std::isfinite(variance)) {
        std::ostringstream message;
        message << "the trait values range from " << y.minCoeff() << " to " << y.maxCoeff()
                << ", so their variance is " << (variance > 0.0 ? "too large" : "too small")
                << " to compute; rescale the trait (for example to units between 0.001 and 1000).";
        throw RunFailure(message.str());
    }
    for (std::size_t c = 0; c < inputs.numeric.size(); ++c) {
        if (inputs.numeric[c].constant) {
            logger.tee << "👉 The numeric covariate " << labels[labels.size() - inputs.numeric.size() + c] << " (column "
                       << options.qcovar_pos[c] + 1 << ") has the same value in every record: it is aliased with "
                       << "the intercept, and its effect is shown as 0." << std::endl;
        }
    }
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
    const Eigen::MatrixXd& y = std::get<0>(inputs.phenotype);
    const Eigen::MatrixXd& reduced_design = std::get<2>(inputs.phenotype);
    RemlResult reml;
    agree(attempt([&] {
        reml = QorREML(logger, records, reduced_design, y, options.max_iter, kStartHeritability, kTolerance);
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
    const auto& [y, full_design, reduced_design, record_ids, labels] = inputs.phenotype;
    unstandardise_effects(b, inputs.numeric);
    if (!b.allFinite() || !u.allFinite()) {
        std::ostringstream message;
        message << "the mixed model equations have no finite solution at heritability " << h2 << "; "
                << options.out_prefix << ".random.txt was not written.";
        throw RunFailure(message.str());
    }
    print_fixed_effects(logger, b, full_design, labels, inputs.numeric);
}

// The two result files, once the log holds every line before them.
void write_prediction(const RunOptions& options, Logger& logger, const Eigen::MatrixXd& u, const Eigen::VectorXd& pev,
                      const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& kinship_ids) {
    const std::string output_name = options.out_prefix + ".random.txt";
    logger.ensure_written();
    writeRanEffToFile(u, kinship_ids, output_name);
    std::cerr << "\n👏 Predicted breeding values were saved in " << output_name << std::endl;
    const std::string reliability_name = options.out_prefix + ".reliability.txt";
    write_reliability_file(u, pev, genetic_variances, kinship_ids, reliability_name);
    std::cerr << "👏 Their standard errors and reliabilities were saved in " << reliability_name << std::endl;
}

// Under mpirun, with one rank as with several, the records' matrix lives in blocks and the
// kinship is read in panels, so that a rank never needs the matrix twice.
bool spread_over_ranks() { return started_by_mpirun() && distributed_mixed_model_available(); }

int distributed_reml(const RunOptions& options, Logger& logger) {
    std::pair<KinshipSource, RunInputs> loaded = load_distributed(options, logger);
    const KinshipSource& source = loaded.first;
    const RunInputs& inputs = loaded.second;
    const auto n = static_cast<std::int64_t>(inputs.positions.size());
    logger.tee << "👉 kinship matrix size: " << n << " x " << n << " used for REML analysis." << std::endl;
    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = distributed_records_reduction(logger, source, positions_of(inputs));
    if (!estimate_everywhere(logger, records, options, inputs).converged) {
        return 1;
    }
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

int distributed_predict(const RunOptions& options, Logger& logger) {
    std::pair<KinshipSource, RunInputs> loaded = load_distributed(options, logger);
    const KinshipSource& source = loaded.first;
    const RunInputs& inputs = loaded.second;
    const Eigen::MatrixXd& y = std::get<0>(inputs.phenotype);
    const Eigen::MatrixXd& full_design = std::get<1>(inputs.phenotype);
    const std::vector<std::int64_t> positions = positions_of(inputs);
    logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
    const ReducedKinship records = distributed_records_reduction(logger, source, positions);
    const RemlResult reml = estimate_everywhere(logger, records, options, inputs);
    if (!reml.converged) {
        throw RunFailure(unconverged_message(options.out_prefix + ".random.txt"));
    }
    logger.tee << "\n🏃 Start predict breeding values!\n" << std::endl;
    logger.tee << "👉 Breeding values of " << source.text.ids.size() << " individuals will be predicted\n"
               << std::endl;
    std::pair<Eigen::MatrixXd, Eigen::VectorXd> solution;
    agree(attempt([&] { solution = mixed_model_solution(records, full_design, y, reml.h2); }));
    const DistributedPrediction prediction = distributed_breeding_values(
        logger, source, positions, records, solution.second, full_design, reml.sigma_a2, reml.sigma_e2);
    agree(attempt([&] {
        show_fixed_effects(options, logger, inputs, solution.first, prediction.breeding_values, reml.h2);
        if (world_rank() == 0) {
            write_prediction(options, logger, prediction.breeding_values, prediction.error_variances,
                             prediction.genetic_variances, source.text.ids);
        }
    }));
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

}  // namespace

int run_reml(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] {
        logger.tee << "👉Loading kinship file: " << options.kin_file << std::endl;
        if (spread_over_ranks()) {
            return distributed_reml(options, logger);
        }
        std::pair<KinshipFile, RunInputs> loaded = load_with_kinship(options, logger);
        KinshipFile& kinship = loaded.first;
        const RunInputs& inputs = loaded.second;
        const auto& [y, full_design, reduced_design, record_ids, labels] = inputs.phenotype;

        Eigen::MatrixXd K_records =
            as_input_error([&] { return filterKinshipMatrix(kinship, std::get<3>(inputs.phenotype)); });
        release(kinship);
        logger.tee << "👉 kinship matrix size: " << K_records.rows() << " x " << K_records.cols()
                   << " used for REML analysis." << std::endl;

        logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
        const RemlResult reml = QorREML(logger, reduce_kinship_cpp(std::move(K_records)), reduced_design, y,
                                        options.max_iter, kStartHeritability, kTolerance);
        if (!reml.converged) {
            return 1;
        }
        logger.tee << "\n😊 All finished!\n" << std::endl;
        return 0;
    });
}

int run_predict(const RunOptions& options, Logger& logger) {
    return guarded(logger, options, [&] {
        const std::string output_name = options.out_prefix + ".random.txt";
        logger.tee << "👉 Loading kinship file: " << options.kin_file << std::endl;
        if (spread_over_ranks()) {
            return distributed_predict(options, logger);
        }
        std::pair<KinshipFile, RunInputs> loaded = load_with_kinship(options, logger);
        KinshipFile& kinship_file = loaded.first;
        const RunInputs& inputs = loaded.second;
        const auto& [y, full_design, reduced_design, record_ids, labels] = inputs.phenotype;

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
        const RemlResult reml = QorREML(logger, records, reduced_design, y, options.max_iter, kStartHeritability,
                                        kTolerance);
        if (!reml.converged) {
            throw RunFailure(unconverged_message(output_name));
        }

        logger.tee << "\n🏃 Start predict breeding values!\n" << std::endl;
        logger.tee << "👉 Breeding values of " << kinship.columns.rows() << " individuals will be predicted\n" << std::endl;
        auto [b, u] = getEBV(records, positions, kinship, full_design, y, reml.h2);
        show_fixed_effects(options, logger, inputs, std::move(b), u, reml.h2);
        const Eigen::VectorXd pev =
            prediction_error_variances(records, positions, kinship, full_design, reml.sigma_a2, reml.sigma_e2);
        write_prediction(options, logger, u, pev, reml.sigma_a2 * kinship.diagonal, kinship_ids);
        logger.tee << "\n😊 All finished!\n" << std::endl;
        return 0;
    });
}
