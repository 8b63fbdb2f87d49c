#include <algorithm>
#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "app/model_inputs.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

using Eigen::Index;

// Iterations between two lines of the trace; the last iteration always has its line.
constexpr int kTraceEvery = 100;

}  // namespace

bool pedigree_prediction(const RunOptions& options) {
    return options.run_predict && !options.run_reml && options.kin_file.empty() && options.mkin_file.empty() &&
           !options.pedigree_file.empty();
}

int run_pedigree_predict(const RunOptions& options, Logger& logger) {
    const MixedModelFiles files = mixed_model_files(options);
    const std::string& output_name = files.values;
    try {
        check_covariate_columns(options.covar_pos);
        check_numeric_covariate_columns(options.covar_pos, options.qcovar_pos);
        const auto run_start = std::chrono::steady_clock::now();
        logger.tee << "👉 Loading pedigree: " << options.pedigree_file << std::endl;
        const RelationshipInverse relationships = relationship_inverse_route(options, logger);
        const std::vector<std::string>& ids = relationships.ids;

        logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
        const auto read_start = std::chrono::steady_clock::now();
        const std::unordered_set<std::string> id_set(ids.begin(), ids.end());
        Model phenotype;
        try {
            phenotype = readPhenotype(options.phe_file, options.phe_pos, options.covar_pos, id_set, options.qcovar_pos);
        } catch (const InputFailure&) {
            throw;
        } catch (const std::runtime_error& error) {
            throw InputFailure(error.what());
        }
        Eigen::MatrixXd& y = phenotype.response.y;
        Eigen::MatrixXd& full_design = phenotype.fixed.full;
        Eigen::MatrixXd& reduced_design = phenotype.fixed.reduced;
        std::vector<std::string>& record_ids = phenotype.response.record_ids;
        std::vector<std::string>& labels = phenotype.fixed.labels;
        const std::vector<NumericScale> numeric =
            standardise_numeric(full_design, reduced_design, options.qcovar_pos.size());
        logger.tee << "\t" << y.rows() << " records of individuals in the pedigree, with a trait value and complete "
                   << "covariates, will be used (read in "
                   << std::chrono::duration<double>(std::chrono::steady_clock::now() - read_start).count() << " s)."
                   << std::endl;
        if (y.rows() == 0) {
            throw RunFailure("no record of " + options.phe_file + " has a trait value, complete covariates and an "
                             "individual in the pedigree " + options.pedigree_file + "; check that the IDs of "
                             "column 1 match the pedigree's.");
        }
        warn_repeated_records(logger,
                              "--predict --pedigree fits no --pe yet: fit it with --kin-file or --mkin-file and --pe.",
                              record_ids);
        std::vector<Index> levels;
        for (const Index position : record_positions(record_ids, ids)) {
            levels.push_back(position);
        }
        const std::vector<Index> kept = fixed_effect_columns(full_design);
        Eigen::MatrixXd X(full_design.rows(), static_cast<Index>(kept.size()));
        for (std::size_t c = 0; c < kept.size(); ++c) {
            X.col(static_cast<Index>(c)) = full_design.col(kept[c]);
        }
        const double sigma_a2 = options.vc[0];
        const double sigma_e2 = options.vc[1];
        logger.tee << "👉 Given variances (--vc): Sigma_a2 = " << sigma_a2 << ", Sigma_e2 = " << sigma_e2
                   << "; no REML is run." << std::endl;
        note_estimation_options_unused(options, logger);

        logger.tee << "\n🏃 Start predict breeding values by preconditioned conjugate gradients!\n" << std::endl;
        logger.tee << "👉 Mixed model equations of " << X.cols() << " fixed effects and " << ids.size()
                   << " breeding values; --pcg-tol " << options.pcg_tol << ", --pcg-max-iter " << options.pcg_max_iter
                   << std::endl;
        const bool no_additive_variance = !(sigma_a2 > 0.0);
        if (!no_additive_variance) {
            logger.tee << " Iteration  Relative_residual" << std::endl;
        }
        const auto solve_start = std::chrono::steady_clock::now();
        const auto trace = [&](int iteration, double residual) {
            if (iteration % kTraceEvery == 0) {
                logger.tee << std::setw(10) << iteration << std::setw(19) << residual << std::endl;
            }
        };
        const IterativeSolution solution =
            solve_mixed_model_pcg(X, levels, y.col(0), relationships.inverse, sigma_a2, sigma_e2, options.pcg_tol,
                                  options.pcg_max_iter, trace);
        const double solve_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - solve_start).count();
        if (!no_additive_variance && solution.iterations % kTraceEvery != 0) {
            logger.tee << std::setw(10) << solution.iterations << std::setw(19) << solution.relative_residual
                       << std::endl;
        }
        if (solution.stalled) {
            std::ostringstream message;
            message << "the relative residual stopped at " << solution.relative_residual
                    << ", the rounding of these equations; --pcg-tol " << options.pcg_tol << " cannot be reached; "
                    << output_name << " was not written. Give a --pcg-tol above " << solution.relative_residual << ".";
            throw RunFailure(message.str());
        }
        if (!solution.converged) {
            std::ostringstream message;
            message << "the breeding values did not converge: after " << solution.iterations
                    << " iteration(s) (--pcg-max-iter) the relative residual is " << solution.relative_residual
                    << ", above --pcg-tol " << options.pcg_tol << "; " << output_name
                    << " was not written. Raise --pcg-max-iter, or check the variances given with --vc.";
            throw RunFailure(message.str());
        }
        if (no_additive_variance) {
            logger.tee << "👉 Sigma_a2 = 0: every breeding value is 0 and the fixed effects are the least-squares fit; "
                          "nothing to iterate."
                       << std::endl;
        } else {
            logger.tee << "✅ Converged after " << solution.iterations << " iterations: relative residual "
                       << solution.relative_residual << " (" << solve_seconds << " s, "
                       << (solution.iterations > 0 ? solve_seconds / solution.iterations : 0.0)
                       << " s per iteration)" << std::endl;
        }

        Eigen::MatrixXd b = Eigen::MatrixXd::Zero(full_design.cols(), 1);
        for (std::size_t c = 0; c < kept.size(); ++c) {
            b(kept[c], 0) = solution.b[static_cast<Index>(c)];
        }
        unstandardise_effects(b, numeric);
        if (!b.allFinite() || !solution.u.allFinite()) {
            throw RunFailure("the mixed model equations have no finite solution at the given variances; " +
                             output_name + " was not written.");
        }
        logger.tee << std::endl;
        print_fixed_effects(logger, b, full_design, labels, numeric);
        logger.tee << "👉 logL is NA in " << options.out_prefix << ".vc.txt on this route: the log-likelihood needs "
                      "the determinant of the mixed model equations, which the iteration never forms." << std::endl;
        logger.tee << "👉 No reliability file on this route: the prediction error variances need the inverse of the "
                      "mixed model equations, which the iteration never forms."
                   << std::endl;

        logger.ensure_written();
        std::vector<ResultRow> rows =
            variance_component_rows({"Add"}, Eigen::Vector2d(sigma_a2, sigma_e2), Eigen::MatrixXd(), {},
                                    std::numeric_limits<double>::quiet_NaN());
        for (const ResultRow& row : count_rows(static_cast<std::size_t>(y.rows()), ids.size())) {
            rows.push_back(row);
        }
        ResultTexts results;
        add_random_file(results, solution.u, ids, files.values);
        add_variance_file(results, rows, files.variances);
        save_prediction(files, results, "breeding values");
        logger.tee << "\n👉 Prediction took " << std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                                                 run_start).count()
                   << " s in all." << std::endl;
        logger.tee << "\n😊 All finished!\n" << std::endl;
        return 0;
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
}
