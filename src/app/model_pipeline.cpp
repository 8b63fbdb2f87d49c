#include "app/model_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <numeric>
#include <sstream>
#include <ostream>

#include "app/app.h"
#include "distributed/distributed.h"
#include "log/failures.h"
#include "log/logger.h"

int run_model_job(const RunOptions& options, Logger& logger, ModelRoute& route, ModelJob job) {
    const MixedModelFiles files = mixed_model_files(options);
    route.at_stage([&] { route.set_up(); });
    if (options.vc_given) {
        if (route.announces_reml_before_given_values()) {
            logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
        }
        route.at_stage([&] { route.take_given(); });
    } else {
        logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
        bool converged = false;
        route.at_stage([&] { converged = route.estimate(); });
        if (!converged) {
            if (job == ModelJob::reml) {
                return 1;  // the verdict is in the log
            }
            throw RunFailure("without converged variance components there are no breeding values to predict; " +
                             files.values + " was not written.");
        }
    }
    if (job == ModelJob::predict) {
        route.at_stage([&] { route.solve(); });
        logger.tee << route.prediction_heading() << std::endl;
        route.at_stage([&] { route.predict(); });
    }
    std::vector<FixedEffectRow> fixed;
    route.at_stage([&] { fixed = route.fixed_effects(); });
    std::vector<ResultRow> rows;
    route.at_stage([&] { rows = route.variance_rows(); });
    route.at_stage([&] {
        if (world_rank() != 0) {
            return;  // rank 0 writes for all
        }
        if (job == ModelJob::reml && fixed.empty()) {
            save_variances(files, rows);
            return;
        }
        ResultTexts results;
        if (job == ModelJob::predict) {
            route.add_predictions(results, files);
        }
        logger.ensure_written();
        add_variance_file(results, rows, files.variances);
        if (!fixed.empty()) {
            add_fixed_effects_file(results, fixed, files.fixed);
        }
        if (job == ModelJob::reml) {
            write_result_set(results);
            std::cerr << "👏 Variance components were saved in " << files.variances << std::endl;
        } else {
            save_prediction(files, results, route.predicted());
        }
    });
    logger.tee << route.closing_note();
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}

namespace {

// Each iteration of REML traced.
void trace_step(const Estimation& fit, Logger& logger, const AiRemlStep& step) {
    const Eigen::VectorXd values = step.theta * fit.units;
    write_trace_line(logger.tee, step, step.log_likelihood + fit.log_likelihood_shift, values, fit.names,
                     reml_step_note(step, fit.settings.parameters));
    if (fit.after_step) fit.after_step(step, values);
}

// The rows of the table at `values` (trait units) with SEs from `covariance` (trait units squared).
std::vector<ResultRow> table_rows(const Estimation& fit, const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance,
                                  double log_likelihood) {
    if (fit.table) return fit.table(values, covariance, log_likelihood);
    return variance_component_rows(fit.terms, values, covariance, fit.repeatable, log_likelihood, fit.residuals);
}

std::vector<ResultRow> estimate_rows(const Estimation& fit, const AiRemlRun& run, const Eigen::MatrixXd& covariance) {
    return table_rows(fit, run.theta * fit.units, covariance, run.at_estimate.log_likelihood + fit.log_likelihood_shift);
}

// Monte Carlo REML starts with this many random vectors and adds batches of as many, up to the
// most, until the Monte Carlo SE of every variance ratio is below this share of its sampling SE.
constexpr int kFirstSamples = 50;
constexpr int kMostSamples = 2000;
constexpr double kMonteCarloShare = 0.1;

}  // namespace

void write_monte_carlo_errors(Logger& logger, const std::vector<ResultRow>& rows) {
    logger.tee << "\n👉 Monte Carlo standard errors (of the traces' random vectors, besides the sampling SEs):\n"
               << "Source\tEstimate\tMC_SE\n";
    for (const ResultRow& row : rows) {
        if (std::isnan(row.se)) continue;
        logger.tee << row.source << "\t" << row.estimate << "\t" << row.se << "\n";
    }
    logger.tee << std::flush;
}

AiRemlRun reml_with_enough_samples(const LikelihoodEvaluator& evaluator, const AiRemlSettings& settings,
                                   const std::function<void(const AiRemlStep&)>& step,
                                   const std::function<bool(const AiRemlRun&)>& more, int& iterations) {
    iterations = 0;
    const auto traced = [&](const AiRemlSettings& from) {
        const int before = iterations;
        AiRemlRun run = ai_reml(evaluator, from, [&](const AiRemlStep& run_step) {
            AiRemlStep counted = run_step;
            counted.iteration += before;
            step(counted);
        });
        iterations += static_cast<int>(run.iterations.size());
        return run;
    };
    AiRemlRun run = traced(settings);
    while (run.converged && run.at_estimate.score_covariance.size() != 0 && more(run)) {
        AiRemlSettings from_here = settings;
        for (std::size_t k = 0; k < from_here.parameters.size(); ++k) {
            from_here.parameters[k].start = run.theta[static_cast<Eigen::Index>(k)];
        }
        run = traced(from_here);
    }
    return run;
}

MonteCarloSettings monte_carlo_settings(const RunOptions& options) {
    MonteCarloSettings settings;
    settings.samples = options.mc_samples > 0 ? options.mc_samples : kFirstSamples;
    settings.seed = options.seed;
    settings.tolerance = options.pcg_tol;
    settings.max_iterations = options.pcg_max_iter;
    return settings;
}

void say_monte_carlo(const RunOptions& options, Logger& logger, const MonteCarloMmeEvaluator& evaluator,
                     const std::string& equations) {
    logger.tee << "👉 " << equations << ", solved by PCG: Monte Carlo REML with " << evaluator.samples()
               << " random vectors (--seed " << options.seed << ")"
               << (options.mc_samples > 0 ? "" : ", more until the Monte Carlo error of each variance ratio is "
                                                  "below a tenth of its SE")
               << (evaluator.simulated() ? ", the traces from records simulated from them (the parts of a term covary)"
                                         : "")
               << "; logL is NA (log|C| needs the factor)." << std::endl;
}

bool more_monte_carlo_samples(const RunOptions& options, Logger& logger, MonteCarloMmeEvaluator& evaluator,
                              const std::vector<std::string>& trace_names, const std::vector<ResultRow>& monte_carlo,
                              const std::vector<ResultRow>& sampling,
                              const std::function<bool(const std::string&)>& is_ratio) {
    const MonteCarloMmeEvaluator::Work& work = evaluator.last_work();
    logger.tee << "👉 Traces at the estimates (" << evaluator.samples() << " random vectors):";
    for (Eigen::Index k = 0; k < work.traces.size(); ++k) {
        logger.tee << (k == 0 ? " " : "; ") << trace_names[static_cast<std::size_t>(k)] << " " << work.traces[k]
                   << " (Monte Carlo SE " << work.trace_errors[k] << ")";
    }
    logger.tee << std::endl;
    if (options.mc_samples > 0) return false;
    double worst = 0.0;
    std::size_t at = 0;
    for (std::size_t k = 0; k < sampling.size(); ++k) {
        if (!is_ratio(sampling[k].source) || !(sampling[k].se > 0.0)) continue;
        const double share = monte_carlo[k].se / (kMonteCarloShare * sampling[k].se);
        if (share > worst) {
            worst = share;
            at = k;
        }
    }
    const int samples = evaluator.samples();
    if (worst <= 1.0) return false;
    std::ostringstream line;
    line << "👉 The Monte Carlo SE of " << sampling[at].source << ", " << monte_carlo[at].se
         << ", is above a tenth of its sampling SE, " << sampling[at].se;
    if (samples >= kMostSamples) {
        logger.tee << line.str() << ", with the most vectors (" << kMostSamples << "); give --mc-samples to use more."
                   << std::endl;
        return false;
    }
    // The error falls as 1/sqrt(vectors): the vectors that bring it below, in batches.
    const double needed = static_cast<double>(samples) * worst * worst;
    const int next = std::min(kMostSamples, static_cast<int>(std::ceil(needed / kFirstSamples)) * kFirstSamples);
    logger.tee << line.str() << ": REML goes on with " << next << " random vectors." << std::endl;
    evaluator.set_samples(next);
    return true;
}

std::optional<Estimate> estimate_components(const RunOptions& options, Logger& logger, const Estimation& fit) {
    logger.tee << iteration_cap_note(options.max_iter) << std::flush;
    write_trace_header(logger.tee, fit.names);
    const auto start = std::chrono::steady_clock::now();
    int iterations = 0;
    Eigen::MatrixXd monte_carlo;
    const AiRemlRun run = reml_with_enough_samples(
        fit.evaluator, fit.settings, [&](const AiRemlStep& step) { trace_step(fit, logger, step); },
        [&](const AiRemlRun& converged) {
            monte_carlo = monte_carlo_covariance(fit.evaluator, converged) * (fit.units * fit.units);
            return fit.more_samples &&
                   fit.more_samples(estimate_rows(fit, converged, monte_carlo),
                                    estimate_rows(fit, converged, converged.ai_inverse * (fit.units * fit.units)));
        },
        iterations);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    logger.tee << "👉 " << iterations << " iteration(s) in " << seconds << " s, "
               << seconds / static_cast<double>(std::max(iterations, 1))
               << " s each (" << fit.size_note() << ")" << std::endl;
    if (!reported_convergence(logger, run)) {
        return std::nullopt;
    }
    Estimate result;
    result.theta = run.theta;
    result.covariance = run.ai_inverse * (fit.units * fit.units);
    result.log_likelihood = run.at_estimate.log_likelihood + fit.log_likelihood_shift;
    const Eigen::VectorXd values = run.theta * fit.units;
    logger.tee << "✅ Converged!!!\n\n";
    write_result_rows(logger.tee, table_rows(fit, values, result.covariance, result.log_likelihood));
    logger.tee << "\n👉 Sampling covariance of the estimates (the inverse of the average information):\n";
    logger.tee << std::setw(15) << "";
    for (const std::string& name : fit.names) {
        logger.tee << std::setw(column_width(name)) << name;
    }
    logger.tee << "\n";
    for (std::size_t a = 0; a < fit.names.size(); ++a) {
        logger.tee << std::setw(15) << fit.names[a];
        for (std::size_t b = 0; b < fit.names.size(); ++b) {
            logger.tee << std::setw(column_width(fit.names[b]))
                       << result.covariance(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
        }
        logger.tee << "\n";
    }
    logger.tee << std::flush;
    logger.tee << boundary_notes(fit.settings.parameters, run.theta, fit.units, "variance of it",
                                 "the random effects explain the records entirely")
               << std::flush;
    if (monte_carlo.size() != 0) write_monte_carlo_errors(logger, estimate_rows(fit, run, monte_carlo));
    const auto residual = static_cast<Eigen::Index>(fit.terms.size());

    if (options.lrt && !fit.tests.empty()) {
        // A term of several parts is tested whole: its block held at 0, as many degrees of
        // freedom as components.
        logger.tee << "\n👉 Likelihood-ratio tests: REML again with each random term fixed at 0\n"
                   << "Component\tlogL0\t2dlogL\tp\n";
        for (const Estimation::TermTest& test : fit.tests) {
            AiRemlSettings reduced = fit.settings;
            for (std::size_t c = 0; c < reduced.parameters.size(); ++c) {
                reduced.parameters[c].start = run.theta[static_cast<Eigen::Index>(c)];
            }
            for (const Eigen::Index k : test.components) {
                reduced.parameters[static_cast<std::size_t>(k)].fixed = true;
                reduced.parameters[static_cast<std::size_t>(k)].start = 0.0;
            }
            std::optional<double> without;
            try {
                const AiRemlRun run_without = ai_reml(fit.evaluator, reduced);
                if (run_without.converged) without = run_without.at_estimate.log_likelihood + fit.log_likelihood_shift;
            } catch (const RemlFailure&) {
                // Said as a test without a value, as for a run that does not converge.
            }
            const auto removed = static_cast<int>(test.components.size());
            result.lrt.push_back(removed == 1 ? likelihood_ratio_row(logger, test.name, result.log_likelihood, without)
                                              : likelihood_ratio_row(logger, test.name, result.log_likelihood, without,
                                                                     removed));
        }
    } else if (options.lrt) {
        logger.tee << "\n👉 Likelihood-ratio tests: REML again with each component fixed at 0\n"
                   << "Component\tlogL0\t2dlogL\tp\n";
        for (Eigen::Index k = 0; k < residual; ++k) {
            AiRemlSettings reduced = fit.settings;
            for (std::size_t c = 0; c < reduced.parameters.size(); ++c) {
                reduced.parameters[c].start = run.theta[static_cast<Eigen::Index>(c)];
            }
            reduced.parameters[static_cast<std::size_t>(k)].fixed = true;
            reduced.parameters[static_cast<std::size_t>(k)].start = 0.0;
            const AiRemlRun without = ai_reml(fit.evaluator, reduced);
            result.lrt.push_back(likelihood_ratio_row(
                logger, fit.names[static_cast<std::size_t>(k)], result.log_likelihood,
                without.converged ? std::optional<double>(without.at_estimate.log_likelihood + fit.log_likelihood_shift)
                                  : std::nullopt));
        }
    }
    return result;
}


namespace {

// The random effects start with this share of the trait's variance between them.
constexpr double kStartShare = 0.3;

}  // namespace

Eigen::MatrixXd reml_design(const Eigen::MatrixXd& reduced) {
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(reduced.cols()));
    std::iota(in_order.begin(), in_order.end(), Eigen::Index{0});
    return reduced(Eigen::all, independent_columns(reduced, in_order));
}

AiRemlSettings variance_settings(const std::vector<std::string>& terms, const std::vector<std::string>& residuals,
                                 const Eigen::VectorXd& y, double residual_variance, int max_iter) {
    const double variance = computeVariance(y);
    std::vector<Eigen::MatrixXd> starts(terms.size() + 1, Eigen::MatrixXd::Constant(1, 1, kStartShare * variance /
                                                                                       static_cast<double>(terms.size())));
    starts.back()(0, 0) = (1.0 - kStartShare) * variance;
    std::vector<CovarianceBlock> blocks =
        variance_blocks(terms, residuals.front(), {}, starts, kResidualLimit * residual_variance,
                        [](const std::string& block, const std::string&) { return "V(" + block + ")"; });
    // A residual variance per class, each starting where the one residual does.
    for (std::size_t c = 1; c < residuals.size(); ++c) {
        blocks.push_back(blocks.back());
        blocks.back().names = {"V(" + residuals[c] + ")"};
    }
    return reml_settings(blocks, y.size(), max_iter, kRemlTolerance);
}

std::vector<Estimation::TermTest> term_tests(const Model& model, const std::vector<std::string>& names) {
    std::vector<Estimation::TermTest> tests;
    bool blocks = false;
    Eigen::Index first = 0;
    for (const RandomTerm& term : model.terms) {
        const auto q = static_cast<Eigen::Index>(term.parts.size());
        Estimation::TermTest test;
        if (q == 1) {
            test.name = names[static_cast<std::size_t>(first)];
        } else {
            blocks = true;
            for (const TermPart& part : term.parts) {
                test.name += (test.name.empty() ? "" : ",") + (part.name.empty() ? term.name : part.name);
            }
        }
        for (Eigen::Index k = 0; k < q * (q + 1) / 2; ++k) test.components.push_back(first + k);
        first += q * (q + 1) / 2;
        tests.push_back(std::move(test));
    }
    return blocks ? tests : std::vector<Estimation::TermTest>{};
}

Eigen::Index maternal_block(const Model& model) {
    Eigen::Index at = 0;
    for (const RandomTerm& term : model.terms) {
        if (term.parts.size() == 2) return at;
        ++at;
    }
    return -1;
}

void set_covariance_blocks(AiRemlSettings& settings, SpacedEvaluator& evaluator, const Model& model) {
    const std::vector<std::string> names = model.component_names();
    std::vector<CovarianceSpace::Block> blocks;
    Eigen::Index first = 0, individuals = 0;
    for (const RandomTerm& term : model.terms) {
        const auto q = static_cast<Eigen::Index>(term.parts.size());
        if (q > 1) {
            const auto levels = static_cast<Eigen::Index>(term.parts.front().levels.size());
            // A block kept above a least eigenvalue is bounded as a residual block is.
            const double limit = evaluator.block_limit();
            blocks.push_back({first, q, limit > 0.0, limit, levels});
            individuals = std::max(individuals, levels);
            for (Eigen::Index a = 0; a < q; ++a) {
                for (Eigen::Index b = 0; b < a; ++b) {
                    const Eigen::Index k = first + CovarianceSpace::position(a, b);
                    ModelParameter& covariance = settings.parameters[static_cast<std::size_t>(k)];
                    covariance.name = "C(" + names[static_cast<std::size_t>(k)] + ")";
                    covariance.role = ParameterRole::covariance;
                    covariance.limit = -kInfinity;
                    covariance.start = 0.0;
                }
            }
        }
        first += q * (q + 1) / 2;
    }
    if (blocks.empty()) return;
    evaluator.set_covariance_space(
        CovarianceSpace(std::move(blocks), static_cast<Eigen::Index>(settings.parameters.size()), individuals));
}

void save_iteration_estimates(const std::vector<std::string>& names, const Eigen::VectorXd& values, int iteration,
                              double log_likelihood, const std::string& path) {
    std::vector<ResultRow> rows;
    for (std::size_t k = 0; k < names.size(); ++k) {
        rows.push_back({names[k], values[static_cast<Eigen::Index>(k)], std::numeric_limits<double>::quiet_NaN()});
    }
    rows.push_back({"Iteration", static_cast<double>(iteration), std::numeric_limits<double>::quiet_NaN(), true});
    rows.push_back({"logL", log_likelihood, std::numeric_limits<double>::quiet_NaN()});
    write_variance_file(rows, path);
}
