#include <algorithm>
#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "app/model_builder.h"
#include "app/model_formula.h"
#include "app/model_inputs.h"
#include "app/marker_effects_run.h"
#include "app/model_pipeline.h"
#include "app/parent_groups.h"
#include "app/pedigree_terms.h"
#include "hmatrix/hmatrix.h"
#include "linear_algebra/cholesky.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/monte_carlo_reml.h"
#include "pedigree/pedigree.h"

namespace {

using Eigen::Index;

// Iterations between two lines of the trace; the last iteration always has its line.
constexpr int kTraceEvery = 100;

}  // namespace

bool sparse_pedigree_model(const RunOptions& options) {
    return (options.run_predict || options.run_reml) && options.kin_file.empty() && options.mkin_file.empty() &&
           !options.pedigree_file.empty();
}

bool sparse_pedigree_reml(const RunOptions& options) { return sparse_pedigree_model(options) && !options.vc_given; }

namespace {

// The model on the sparse inverse of A (H with --bedfile): REML on the factored mixed model
// equations, breeding values by iteration.
class PedigreeRoute : public ModelRoute {
public:
    PedigreeRoute(const RunOptions& options, Logger& logger) : options_(options), logger_(logger) {}

    void set_up() override {
        check_covariate_columns(options_.covar_pos);
        check_numeric_covariate_columns(options_.covar_pos, options_.qcovar_pos);
        run_start_ = std::chrono::steady_clock::now();
        logger_.tee << "👉 Loading pedigree: " << options_.pedigree_file << std::endl;
        relationships_ = relationship_inverse_route(options_, logger_);
        const std::vector<std::string>& ids = relationships_.ids;

        logger_.tee << "👉 Loading phenotype file: " << options_.phe_file << std::endl;
        const auto read_start = std::chrono::steady_clock::now();
        const std::unordered_set<std::string> id_set(ids.begin(), ids.end());
        PhenotypeRecords records;
        try {
            records = read_phenotype_records(options_.phe_file, options_.phe_pos, options_.covar_pos, id_set,
                                             options_.qcovar_pos, {},
                                             {options_.weight_pos, options_.residual_pos, options_.crossings,
                                              options_.derived, options_.covariate_terms, formula_intercept(options_),
                                              options_.dam_pos, options_.curve_pos});
            model_ = std::move(records.data);
            trait_name_ = std::move(records.trait_name);
        } catch (const InputFailure&) {
            throw;
        } catch (const std::runtime_error& error) {
            throw InputFailure(error.what());
        }
        FixedDesign& fixed = model_.fixed;
        fixed.numeric = standardise_numeric(fixed.full, fixed.reduced, static_cast<std::size_t>(fixed.numeric_columns));
        const Eigen::MatrixXd& y = model_.response.y;
        logger_.tee << "\t" << y.rows() << " records of individuals in the pedigree, with a trait value and complete "
                    << "covariates, will be used (read in "
                    << std::chrono::duration<double>(std::chrono::steady_clock::now() - read_start).count() << " s)."
                    << std::endl;
        if (y.rows() == 0) {
            throw RunFailure("no record of " + options_.phe_file + " has a trait value, complete covariates and an "
                             "individual in the pedigree " + options_.pedigree_file + "; check that the IDs of "
                             "column 1 match the pedigree's.");
        }
        if (options_.curve_pos < 0) warn_repeated_records(logger_,
                              "--predict --pedigree fits no --pe yet: fit it with --kin-file or --mkin-file and --pe.",
                              model_.response.record_ids);
        // The additive effect over every individual of the inverse; the IDs move to its term.
        RecordLevels additive;
        for (const Index position : record_positions(model_.response.record_ids, ids)) {
            additive.level_of_record.push_back(position);
        }
        additive.levels = std::move(relationships_.ids);
        const ModelPlan plan = model_from_options(options_);
        additive = pedigree_dams(logger_, plan, records.dam_ids, relationships_, std::move(additive));
        add_random_terms(model_, plan, std::move(additive), &records);
        if (several_effects(model_) && (!relationships_.group_names.empty() || options_.snp_effects)) {
            throw InputCheckFailure("--ped-groups and --snp-effects take the animal model on --pedigree; the terms of "
                                    "the dam are fitted without them.");
        }
        kept_ = fixed_effect_columns(fixed.full);
        X_ = fixed.full(Eigen::all, kept_);
        if (!relationships_.group_names.empty()) {
            take_groups();
        }
    }

    // REML on the design without reference levels, its columns taken in order (the convention of
    // every route), the trait scaled; the equations factored by CHOLMOD.
    bool estimate() override {
        Eigen::MatrixXd design = model_.fixed.reduced;
        if (group_columns_.cols() > 0) {
            design.conservativeResize(Eigen::NoChange, design.cols() + group_columns_.cols());
            design.rightCols(group_columns_.cols()) = group_columns_;
            logger_.tee << "👉 REML takes the " << group_columns_.cols() << " estimated unknown parent group(s) as fixed "
                           "covariates (Q of each record's animal); the breeding values a + Qg follow by iteration."
                        << std::endl;
        }
        const Eigen::MatrixXd X = reml_design(design);
        // Not confounded, the groups are REML's last columns.
        const Index g = group_columns_.cols();
        if (g > 0 && X.cols() >= g && X.rightCols(g) == group_columns_) group_first_ = X.cols() - g;
        const ScaledTrait scaled = scaled_trait(model_.response.y.col(0), X, X.cols());
        units_ = scaled.units;
        const ResidualTerm& residual = model_.residual;
        auto equations = std::make_shared<SparseEquations>(X, scaled.values, terms_of_model(), residual_structure());
        const Index levels = equations->order - X.cols();
        std::string method = options_.reml_method;
        if (method.empty() && !sparse_factor_available()) {
            logger_.tee << "👉 This build has no CHOLMOD to factor the equations: Monte Carlo REML." << std::endl;
            method = "mc";
        }
        if (method != "mc") {
            const auto start = std::chrono::steady_clock::now();
            logger_.tee << "👉 Mixed model equations of " << X.cols() << " fixed effects and " << levels
                        << random_equations() << ", factored by CHOLMOD..." << std::endl;
            const FactorFigures foreseen = equations->foreseen_factor();
            if (surely_too_large(foreseen)) {
                if (!factor_fits(foreseen, seconds_since(start), method == "exact")) method = "mc";
            } else {
                evaluator_ = std::make_unique<SparseMmeEvaluator>(equations);
                evaluator_->set_progress([this](const std::string& stage, double seconds) {
                    logger_.tee << "\t" << stage << " running for " << seconds << " s" << std::endl;
                });
                if (!factor_fits(evaluator_->figures(), seconds_since(start), method == "exact")) {
                    evaluator_.reset();
                    method = "mc";
                }
            }
        }
        if (method == "mc") {
            if (options_.lrt) {
                throw RunFailure("--lrt compares log-likelihoods, which Monte Carlo REML does not compute (log|C| "
                                 "needs the factor of the equations); run it where the factor fits.");
            }
            start_monte_carlo(std::move(equations), X.cols(), levels);
        }
        if (weighted()) say_residual_structure(logger_, residual);
        const LikelihoodEvaluator& evaluator =
            evaluator_ ? static_cast<const LikelihoodEvaluator&>(*evaluator_) : *monte_carlo_;

        Estimation estimation(evaluator,
                              variance_settings(random_names(), residual.component_names(), scaled.values,
                                                fixed_effect_residual_variance(X, scaled.values), options_.max_iter));
        if (several_effects(model_)) {
            SpacedEvaluator& spaced = evaluator_ ? static_cast<SpacedEvaluator&>(*evaluator_) : *monte_carlo_;
            set_covariance_blocks(estimation.settings, spaced, model_);
            estimation.table = [this](const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance, double logL) {
                return component_rows(values, covariance, logL);
            };
        }
        const double units = units_;
        take_starting_values(options_, logger_, estimation.settings, [units](std::size_t) { return units; });
        estimation.names = model_.component_names();
        estimation.terms = term_names();
        estimation.tests = term_tests(model_, estimation.names);
        estimation.residuals = residual.component_names();
        estimation.units = units_;
        estimation.log_likelihood_shift = scaled.log_likelihood_shift;
        estimation.size_note = [this] {
            std::ostringstream note;
            if (evaluator_) {
                note << "equations of order " << evaluator_->equations() << ", one factorisation "
                     << evaluator_->figures().factorization_seconds << " s";
            } else {
                const MonteCarloMmeEvaluator::Work& work = monte_carlo_->last_work();
                note << "equations of order " << monte_carlo_->equations() << ", " << monte_carlo_->samples()
                     << " random vectors; the last iteration " << work.vector_iterations << " + "
                     << work.variate_iterations << " PCG iterations";
            }
            return note.str();
        };
        if (monte_carlo_) {
            estimation.more_samples = [this](const std::vector<ResultRow>& monte_carlo,
                                             const std::vector<ResultRow>& sampling) {
                return more_samples(monte_carlo, sampling);
            };
        }
        estimation.after_step = [this, &estimation](const AiRemlStep& step, const Eigen::VectorXd& values) {
            save_iteration_estimates(estimation.settings.names(), values, step.iteration, step.log_likelihood + estimation.log_likelihood_shift,
                                     mixed_model_files(options_).variances);
        };
        std::optional<Estimate> estimated = estimate_components(options_, logger_, estimation);
        if (!estimated) return false;
        estimate_ = std::move(*estimated);
        estimated_ = true;
        const Eigen::VectorXd values = estimate_.theta * units_;
        take_variances(std::vector<double>(values.data(), values.data() + values.size()));
        return true;
    }

    void take_given() override {
        if (several_effects(model_)) {
            take_given_components(options_, logger_, model_.component_names(), covariance_components(model_),
                                  model_.residual.component_names().size());
            given_ = Eigen::Map<const Eigen::VectorXd>(options_.vc.data(), static_cast<Index>(options_.vc.size()));
            return;
        }
        if (!groups_.names.empty() && !(options_.vc[0] > 0.0)) {
            throw RunFailure("the unknown parent groups of --ped-groups enter these equations through the inverse "
                             "of A, scaled by the additive variance: give --vc an additive variance above 0.");
        }
        if (weighted()) take_given_values(options_, logger_, model_.component_names());
        take_variances(options_.vc);
        if (!weighted()) {
            logger_.tee << "👉 Given variances (--vc): Sigma_a2 = " << sigma_a2_ << ", Sigma_e2 = " << sigma_e2_
                        << "; no REML is run." << std::endl;
            note_estimation_options_unused(options_, logger_);
        }
    }

    // The additive variance and the residual's (or each class's, in `values` after the additive).
    void take_variances(const std::vector<double>& values) {
        sigma_a2_ = values[0];
        sigma_e2_ = values[1];
        if (several_effects(model_)) {
            given_ = Eigen::Map<const Eigen::VectorXd>(values.data(), static_cast<Index>(values.size()));
            return;
        }
        if (weighted()) take_weighted_residuals(values);
    }

    std::string prediction_heading() const override {
        if (several_effects(model_)) return "\n🏃 Start predict random effects from the factored mixed model equations!\n";
        return "\n🏃 Start predict breeding values by preconditioned conjugate gradients!\n";
    }

    void predict() override {
        if (several_effects(model_)) {
            predict_factored();
            return;
        }
        const std::string output_name = mixed_model_files(options_).values;
        logger_.tee << "👉 Mixed model equations of " << X_.cols() << " fixed effects and " << additive().levels.size()
                    << " breeding values"
                    << (groups_.kept.empty() ? "" : ", " + std::to_string(groups_.kept.size()) + " unknown parent group(s)")
                    << "; --pcg-tol " << options_.pcg_tol << ", --pcg-max-iter "
                    << options_.pcg_max_iter << std::endl;
        const bool no_additive_variance = !(sigma_a2_ > 0.0);
        if (!no_additive_variance) {
            logger_.tee << " Iteration  Relative_residual" << std::endl;
        }
        const auto solve_start = std::chrono::steady_clock::now();
        const auto trace = [&](int iteration, double residual) {
            if (iteration % kTraceEvery == 0) {
                logger_.tee << std::setw(10) << iteration << std::setw(19) << residual << std::endl;
            }
        };
        // With weights or residual classes, R^-1 = diag(w / se2(class)) enters as the records' weights.
        solution_ = solve_mixed_model_pcg(X_, additive().level_of_record, model_.response.y.col(0),
                                          relationships_.inverse, sigma_a2_, weighted() ? 1.0 : sigma_e2_,
                                          options_.pcg_tol, options_.pcg_max_iter, trace, record_weights_);
        const double solve_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - solve_start).count();
        if (!no_additive_variance && solution_.iterations % kTraceEvery != 0) {
            logger_.tee << std::setw(10) << solution_.iterations << std::setw(19) << solution_.relative_residual
                        << std::endl;
        }
        if (solution_.stalled) {
            std::ostringstream message;
            message << "the relative residual stopped at " << solution_.relative_residual
                    << ", the rounding of these equations; --pcg-tol " << options_.pcg_tol << " cannot be reached; "
                    << output_name << " was not written. Give a --pcg-tol above " << solution_.relative_residual
                    << ".";
            throw RunFailure(message.str());
        }
        if (!solution_.converged) {
            std::ostringstream message;
            message << "the breeding values did not converge: after " << solution_.iterations
                    << " iteration(s) (--pcg-max-iter) the relative residual is " << solution_.relative_residual
                    << ", above --pcg-tol " << options_.pcg_tol << "; " << output_name
                    << " was not written. Raise --pcg-max-iter, or check the variances given with --vc.";
            throw RunFailure(message.str());
        }
        if (no_additive_variance) {
            logger_.tee << "👉 Sigma_a2 = 0: every breeding value is 0 and the fixed effects are the least-squares "
                           "fit; nothing to iterate."
                        << std::endl;
        } else {
            logger_.tee << "✅ Converged after " << solution_.iterations << " iterations: relative residual "
                        << solution_.relative_residual << " (" << solve_seconds << " s, "
                        << (solution_.iterations > 0 ? solve_seconds / solution_.iterations : 0.0)
                        << " s per iteration)" << std::endl;
        }

        take_fixed_effects(solution_.b, solution_.u.allFinite());
        if (!estimated_) logger_.tee << "👉 logL is NA in " << options_.out_prefix << ".vc.txt on this route: the log-likelihood "
                       "needs the determinant of the mixed model equations, which the iteration never forms."
                    << std::endl;
    }

    // The fixed effects of the solution `estimated` (kept_'s columns), in the full design.
    void take_fixed_effects(const Eigen::VectorXd& estimated, bool random_finite) {
        const FixedDesign& fixed = model_.fixed;
        Eigen::MatrixXd b = Eigen::MatrixXd::Zero(fixed.full.cols(), 1);
        for (std::size_t c = 0; c < kept_.size(); ++c) {
            b(kept_[c], 0) = estimated[static_cast<Index>(c)];
        }
        unstandardise_effects(b, fixed.numeric);
        if (!b.allFinite() || !random_finite) {
            throw RunFailure("the mixed model equations have no finite solution at the given variances; " +
                             mixed_model_files(options_).values + " was not written.");
        }
        logger_.tee << std::endl;
        print_fixed_effects(logger_, b, fixed.full, fixed.labels, fixed.numeric);
        fixed_b_ = b.col(0);
    }

    // A model of several effects: its equations over the full design's estimable columns, at the
    // given or estimated variances, factored where the factor fits, so that every effect has its
    // prediction error variance from the inverse; by PCG otherwise, the values alone.
    void predict_factored() {
        evaluator_.reset();
        monte_carlo_.reset();
        // The components' parts stay compact unless the factor is analysed (its evaluator reads
        // them spread): PCG needs C at the given values alone.
        const auto equations = std::make_shared<SparseEquations>(X_, model_.response.y.col(0), terms_of_model(),
                                                                 residual_structure(), RecordTraits{}, true);
        const auto start = std::chrono::steady_clock::now();
        const Index random = equations->order - X_.cols();
        SparseMmeEvaluator::Solution solution;
        if (sparse_factor_available()) {
            logger_.tee << "👉 Mixed model equations of " << X_.cols() << " fixed effects and " << random
                        << " random effects, factored by CHOLMOD..." << std::endl;
            const FactorFigures foreseen = equations->foreseen_factor();
            const std::string otherwise = "the effects are solved by PCG, without reliabilities";
            if (!surely_too_large(foreseen)) {
                equations->spread_parts();
                evaluator_ = std::make_unique<SparseMmeEvaluator>(equations);
            }
            if (evaluator_ == nullptr) {
                factor_fits(foreseen, seconds_since(start), false, otherwise);
            } else if (factor_fits(evaluator_->figures(), seconds_since(start), false, otherwise)) {
                solution = evaluator_->solve(given_);
                if (!solution.finite) {
                    throw RunFailure("the mixed model equations cannot be factored at these variances: " +
                                     solution.problem + "; " + mixed_model_files(options_).values + " was not written.");
                }
                logger_.tee << "✅ Solved by the factor ("
                            << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s)."
                            << std::endl;
            }
            evaluator_.reset();
        }
        if (!solution.finite) solution = solved_by_pcg(*equations);
        take_fixed_effects(solution.beta, true);
        const Eigen::VectorXd diagonal = relationship_diagonal();
        effects_ = factored_effects(model_, solution, given_, diagonal);
        if (has_curves(model_)) {
            for (EffectPrediction& effect :
                 curve_effects(model_, solution, curve_points(model_, options_.rr_points), given_, diagonal)) {
                effects_.push_back(std::move(effect));
            }
        }
    }

    // The solution by block PCG: each level's equations of a term of several parts precondition
    // together.
    SparseMmeEvaluator::Solution solved_by_pcg(SparseEquations& equations) {
        const std::string values_name = mixed_model_files(options_).values;
        logger_.tee << "👉 Mixed model equations of " << X_.cols() << " fixed effects and " << equations.order - X_.cols()
                    << " random effects, solved by PCG (each animal's equations of a term of several parts "
                       "preconditioned together); --pcg-tol " << options_.pcg_tol << ", --pcg-max-iter "
                    << options_.pcg_max_iter << std::endl;
        const auto start = std::chrono::steady_clock::now();
        const Eigen::VectorXd values = equations.effective(given_);
        equations.set_coefficients(values);
        const BlockPcg pcg(equations.C, equations.p, equations.diagonal_blocks());
        const BlockSolution solved =
            pcg.solve(equations.weighted_design_product(equations.y, values.tail(equations.classes)), Eigen::MatrixXd(),
                      options_.pcg_tol, options_.pcg_max_iter);
        report_block_pcg(logger_, options_, solved, "the random effects", start);
        SparseMmeEvaluator::Solution solution;
        solution.finite = solved.x.allFinite();
        solution.beta = solved.x.col(0).head(equations.p);
        for (std::size_t k = 0; k < equations.terms.size(); ++k) {
            solution.effects.push_back(
                solved.x.col(0).segment(equations.offsets[k], equations.terms[k].levels * equations.parts_of(k)));
        }
        if (!solution.finite) {
            throw RunFailure("the mixed model equations have no finite solution at the given variances; " + values_name +
                             " was not written.");
        }
        return solution;
    }

    // Without SEs: they need the inverse of the equations, which the iteration never forms.
    std::vector<FixedEffectRow> fixed_effects() override {
        if (fixed_b_.size() == 0) return {};  // REML alone solves no equations for them
        std::vector<FixedEffectRow> rows = fixed_effect_rows(model_.fixed, trait_name_, fixed_b_, Eigen::VectorXd(), kept_);
        if (!groups_.names.empty()) {
            for (FixedEffectRow& row : group_effect_rows(groups_, trait_name_, group_values(), Eigen::VectorXd())) {
                rows.push_back(std::move(row));
            }
        }
        return rows;
    }

    std::vector<ResultRow> variance_rows() override {
        if (estimated_) {
            std::vector<ResultRow> rows =
                component_rows(estimate_.theta * units_, estimate_.covariance, estimate_.log_likelihood);
            rows.insert(rows.end(), estimate_.lrt.begin(), estimate_.lrt.end());
            for (const ResultRow& row :
                 count_rows(static_cast<std::size_t>(model_.response.y.rows()), additive().levels.size())) {
                rows.push_back(row);
            }
            return rows;
        }
        const Eigen::VectorXd given =
            weighted() || several_effects(model_)
                ? Eigen::VectorXd(Eigen::Map<const Eigen::VectorXd>(options_.vc.data(), static_cast<Index>(options_.vc.size())))
                : Eigen::VectorXd(Eigen::Vector2d(sigma_a2_, sigma_e2_));
        std::vector<ResultRow> rows = component_rows(given, Eigen::MatrixXd(), std::numeric_limits<double>::quiet_NaN());
        for (const ResultRow& row :
             count_rows(static_cast<std::size_t>(model_.response.y.rows()), additive().levels.size())) {
            rows.push_back(row);
        }
        return rows;
    }

    void add_predictions(ResultTexts& results, const MixedModelFiles& files) override {
        if (several_effects(model_)) {
            const std::string trait = options_.formula != nullptr ? options_.formula->trait_names.front() : trait_name_;
            if (effects_.front().error_variances.size() == 0) {
                add_effect_values_file(results, effects_, trait, files.values);
            } else {
                add_effect_files(results, effects_, trait, files.values, files.reliability);
            }
            return;
        }
        EffectPrediction effect;
        effect.name = model_.terms.front().name;
        effect.ids = additive().levels;
        effect.values = animal_values();
        const bool long_layout = options_.formula != nullptr;  // a model formula's run, named by its term
        const std::string trait = long_layout ? options_.formula->trait_names.front() : trait_name_;
        if (long_layout) {
            add_effect_values_file(results, {effect}, trait, files.values);
        } else {
            add_random_file(results, effect.values, effect.ids, files.values);
        }
        if (estimated_ && evaluator_ && (groups_.names.empty() || group_first_ >= 0)) {
            exact_errors(effect);
            add_approximate_reliability_file(results, effect, trait, long_layout, files.reliability, "exact");
        } else if (approximate_errors(effect)) {
            add_approximate_reliability_file(results, effect, trait, long_layout, files.reliability);
        }
        if (options_.snp_effects) {
            add_single_step_effects(results);
        }
    }

    std::string closing_note() const override {
        std::ostringstream note;
        note << (options_.run_reml ? "\n👉 REML took " : "\n👉 Prediction took ")
             << std::chrono::duration<double>(std::chrono::steady_clock::now() - run_start_).count() << " s in all."
             << std::endl;
        return note.str();
    }

private:
    const TermPart& additive() const { return model_.terms.front().parts.front(); }

    // With unknown parent groups the inverse's animal block alone: REML takes the groups as fixed
    // covariates ZQ (the QP transformation's equations have the same likelihood, their group rows
    // being a change of variables of determinant 1).
    std::vector<SparseTerm> terms_of_model() const {
        SparseLower inverse = lower_triangle(relationships_.inverse);
        const auto animals = static_cast<Index>(additive().levels.size());
        if (inverse.rows() > animals) inverse = SparseLower(inverse.topLeftCorner(animals, animals));
        std::vector<SparseTerm> terms = sparse_terms(model_, inverse, relationships_.log_determinant,
                                                     relationships_.inverse.block_positions);
        const PedigreeRoot root = pedigree_root(relationships_);
        for (SparseTerm& term : terms) {
            if (term.inverse.rows() != 0) term.root = root;
        }
        return terms;
    }
    ResidualStructure residual_structure() const {
        const ResidualTerm& residual = model_.residual;
        return {residual.weights, residual.class_of_record,
                static_cast<Index>(std::max<std::size_t>(residual.classes.size(), 1))};
    }
    // What the equations of the random effects are, for the log.
    std::string random_equations() const { return several_effects(model_) ? " random effects" : " breeding values"; }
    std::vector<std::string> term_names() const {
        std::vector<std::string> names;
        for (const RandomTerm& term : model_.terms) names.push_back(term.name);
        return names;
    }
    // The components less the residual's.
    std::vector<std::string> random_names() const {
        std::vector<std::string> names = model_.component_names();
        names.resize(names.size() - model_.residual.component_names().size());
        return names;
    }
    // The table of components at `values` (trait units).
    std::vector<ResultRow> component_rows(const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance,
                                          double log_likelihood) const {
        if (has_curves(model_)) {
            return curve_component_rows(model_, curve_points(model_, options_.rr_points), values, covariance,
                                        log_likelihood);
        }
        const Index maternal = maternal_block(model_);
        if (maternal >= 0) {
            return maternal_component_rows(model_.component_names(), maternal, values, covariance, log_likelihood,
                                           model_.residual.component_names().size());
        }
        return variance_component_rows(term_names(), values, covariance, {}, log_likelihood,
                                       model_.residual.component_names());
    }

    bool weighted() const { return model_.residual.weights.size() != 0 || !model_.residual.classes.empty(); }

    // With --weights or --residual-by: the additive variance, then the residual of each class;
    // each record weighs w / se2(class).
    void take_weighted_residuals(const std::vector<double>& values) {
        const ResidualTerm& residual = model_.residual;
        for (std::size_t k = 1; k < values.size(); ++k) {
            if (!(values[k] > 0.0)) {
                throw InputCheckFailure("--vc: the residual variance " + model_.component_names()[k] + ", value " +
                                        std::to_string(k + 1) + ", must be above 0.");
            }
        }
        const auto records = static_cast<Index>(model_.response.y.rows());
        record_weights_ = residual.weights.size() != 0 ? residual.weights : Eigen::VectorXd::Ones(records);
        for (Index r = 0; r < records; ++r) {
            const std::size_t level = residual.classes.empty() ? 0 : static_cast<std::size_t>(residual.class_of_record[static_cast<std::size_t>(r)]);
            record_weights_[r] /= values[1 + level];
        }
        if (!estimated_) say_residual_structure(logger_, residual);
    }

    // The factor's figures from the symbolic analysis, and whether the factor and its selected
    // inverse fit in the free memory; exact REML (`required`) refused, with them, when they do not.
    bool factor_fits(const FactorFigures& figures, double seconds, bool required,
                     const std::string& otherwise = "Monte Carlo REML (--reml-method exact would be refused)") const {
        const double bytes = report_factor(logger_, figures, seconds);
        if (fits_in_free_memory(static_cast<std::size_t>(bytes))) return true;
        if (!required) {
            logger_.tee << "👉 The factor and its selected inverse do not fit in the free memory: " << otherwise << "."
                        << std::endl;
            return false;
        }
        std::ostringstream message;
        message << "REML on the factored equations needs about " << bytes / 1e9 << " GB for the factor of "
                << figures.nonzeros << " non-zero values and its selected inverse, more than this machine has "
                   "free; run it where more memory is free, or use --reml-method mc (Monte Carlo REML).";
        throw RunFailure(message.str());
    }

    static double seconds_since(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // Monte Carlo REML: the traces from random vectors, every solve by PCG.
    void start_monte_carlo(std::shared_ptr<SparseEquations> equations, Index fixed, Index levels) {
        monte_carlo_ = std::make_unique<MonteCarloMmeEvaluator>(std::move(equations), monte_carlo_settings(options_));
        std::ostringstream what;
        what << "Mixed model equations of " << fixed << " fixed effects and " << levels << random_equations();
        say_monte_carlo(options_, logger_, *monte_carlo_, what.str());
    }

    // At convergence of Monte Carlo REML: more vectors while a share's Monte Carlo SE is too large.
    bool more_samples(const std::vector<ResultRow>& monte_carlo, const std::vector<ResultRow>& sampling) {
        // The shares: <term>/Vp, or <term>/Vp(e:<class>) with residual classes.
        return more_monte_carlo_samples(options_, logger_, *monte_carlo_, model_.component_names(), monte_carlo,
                                        sampling, [](const std::string& source) {
                                            return source.find("/Vp") != std::string::npos;
                                        });
    }

    // The prediction error variances from the diagonal of the inverse of the factored equations,
    // over the additive variance times the relationship's diagonal (1 + F with A; H's own, from
    // the selected inverse of H^-1).
    void exact_errors(EffectPrediction& effect) {
        const auto start = std::chrono::steady_clock::now();
        const bool groups = group_first_ >= 0;
        const SparseMmeEvaluator::Solution solution = evaluator_->solve(estimate_.theta, groups);
        if (!solution.finite) {
            throw RunFailure("the mixed model equations cannot be factored at the estimates: " + solution.problem +
                             "; " + mixed_model_files(options_).values + " was not written.");
        }
        effect.error_variances = solution.error_variances.front();
        if (groups) {
            // The value a + Qg errs by (a^ - a) + Q (g^ - g): PEV(a^) + 2 q'C^{g a} + q'C^{gg} q, the
            // groups' block and their columns from C^-1's columns of the fixed effects.
            const Index g = group_fractions_.cols(), first = group_first_;
            const Eigen::MatrixXd Cgg = solution.fixed_columns.block(first, first, g, g);
            const Index p = solution.fixed_columns.cols();
            for (Index i = 0; i < effect.error_variances.size(); ++i) {
                const Eigen::RowVectorXd q = group_fractions_.row(i);
                const Eigen::RowVectorXd cross = solution.fixed_columns.block(p + i, first, 1, g);
                effect.error_variances[i] += 2.0 * q.dot(cross) + q * Cgg * q.transpose();
            }
        }
        effect.error_variances *= units_;
        effect.prior_variances = sigma_a2_ * relationship_diagonal();
        logger_.tee << "👉 Reliabilities from the inverse of the factored equations (Method exact, "
                    << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s)."
                    << std::endl;
    }

    // The relationship's diagonal: 1 + F with A; H's own, from the selected inverse of H^-1.
    Eigen::VectorXd relationship_diagonal() const {
        if (relationships_.inverse.block_positions.empty()) {
            return Eigen::Map<const Eigen::VectorXd>(relationships_.inbreeding.data(),
                                                     static_cast<Index>(relationships_.inbreeding.size()))
                       .array() + 1.0;
        }
        return diagonal_of_inverse(lower_triangle(relationships_.inverse));
    }

    // The approximate prediction error variances of every animal (the iteration never inverts
    // the equations), false and said when the genotyped animals' system would not fit.
    bool approximate_errors(EffectPrediction& effect) {
        const std::vector<Index>& genotyped = relationships_.inverse.block_positions;
        const auto g = static_cast<Index>(genotyped.size());
        if (g > 0 && relationships_.pedigree_block_inverse.rows() != g) {
            logger_.tee << "👉 No reliability file: approximate reliabilities take a dense system of the genotyped "
                           "animals, here "
                        << g << " (at most " << kMostApproximatedGenotyped << ")." << std::endl;
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        ReliabilityInputs inputs;
        inputs.sire_index = std::move(relationships_.sire_index);
        inputs.dam_index = std::move(relationships_.dam_index);
        inputs.inbreeding = std::move(relationships_.inbreeding);
        inputs.genetic_variance = sigma_a2_;
        const auto records = static_cast<Index>(model_.response.y.rows());
        const Eigen::VectorXd weights =
            weighted() ? record_weights_ : Eigen::VectorXd::Constant(records, 1.0 / sigma_e2_);
        inputs.record_information =
            as_input_error([&] {
                return absorbed_record_information(X_, weights, additive().level_of_record,
                                                   static_cast<Index>(additive().levels.size()));
            });
        if (g > 0) {
            inputs.genotyped = genotyped;
            // tau Gw^-1 + (1 - omega) A22^-1: the block of H^-1 with A22^-1 added back.
            inputs.genotyped_prior = std::move(relationships_.pedigree_block_inverse);
            inputs.genotyped_prior.triangularView<Eigen::Lower>() += relationships_.inverse.block;
            relationships_.inverse.block.resize(0, 0);  // the equations are solved
            inputs.genotyped_variances = relationships_.genomic_variances;
        }
        approximation_ = as_input_error([&] { return approximate_reliabilities(std::move(inputs)); });
        effect.error_variances = approximation_.error_variances;
        effect.prior_variances = approximation_.prior_variances;
        logger_.tee << "👉 Reliabilities approximated (Method approximate): each animal's information from its "
                       "records, progeny and parents"
                    << (g > 0 ? ", and for the " + std::to_string(g) + " genotyped animals from G" : std::string())
                    << "; the iteration never inverts the equations ("
                    << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s)."
                    << std::endl;
        return true;
    }

    // Why single-step P cannot be had, "" where it can: no C22, or --kin-tau or --kin-omega
    // making Gw^-1 other than the genotyped animals' prior precision.
    std::string no_p_reason() const {
        if (options_.kin_tau != 1.0 || options_.kin_omega != 1.0) return "--kin-tau and --kin-omega other than 1";
        if (!(sigma_a2_ > 0.0)) return "Sigma_a2 = 0: every effect is 0";
        if (approximation_.genotyped_information.size() == 0) {
            return "more than " + std::to_string(kMostApproximatedGenotyped) + " genotyped animals";
        }
        return "";
    }

    // Var(B' Gw^-1 u2) of the columns B over the genotyped animals from the approximate C22 =
    // E + Gw^-1 / sa2: sa2^2 (B'EB - B'E C22^-1 E B). Empty (P NA) where no_p_reason says why.
    std::function<Eigen::VectorXd(const Eigen::MatrixXd&)> genotyped_variances() const {
        if (!no_p_reason().empty()) return {};
        const ApproximateReliabilities* approximation = &approximation_;
        const double scale = sigma_a2_ * sigma_a2_;
        return [approximation, scale](const Eigen::MatrixXd& B) {
            const Eigen::MatrixXd weighted = approximation->genotyped_information.asDiagonal() * B;
            Eigen::MatrixXd solved = weighted;
            solve_lower_in_place(approximation->genotyped_factor, solved);
            return Eigen::VectorXd(
                scale * ((B.array() * weighted.array()).colwise().sum() - solved.colwise().squaredNorm().array())
                            .transpose()
                            .max(0.0)
                            .matrix());
        };
    }

    // The genotyped animals' values u2 and alpha = (G22 + 0.0001 I)^-1 u2, the effects behind them.
    void add_single_step_effects(ResultTexts& results) {
        const Eigen::VectorXd values = animal_values();
        const std::vector<Index>& positions = relationships_.inverse.block_positions;
        const auto g = static_cast<Index>(positions.size());
        Eigen::VectorXd u2(g);
        std::vector<std::string> ids;
        for (Index k = 0; k < g; ++k) {
            u2[k] = values[positions[static_cast<std::size_t>(k)]];
            ids.push_back(additive().levels[static_cast<std::size_t>(positions[static_cast<std::size_t>(k)])]);
        }
        const Eigen::VectorXd alpha = relationships_.genomic_inverse.selfadjointView<Eigen::Lower>() * u2;
        relationships_.genomic_inverse.resize(0, 0);
        add_single_step_marker_effects(options_, logger_, ids, u2, alpha, genotyped_variances(), no_p_reason(),
                                       results);
    }

    // The individuals' solutions, a + Q g with groups (the QP transformation solves for it).
    Eigen::VectorXd animal_values() const {
        return solution_.u.head(static_cast<Index>(additive().levels.size()));
    }
    Eigen::VectorXd group_values() const { return solution_.u.tail(static_cast<Index>(groups_.kept.size())); }

    // The groups the records estimate keep their rows in the inverse; Q's rows of the records'
    // individuals decide which (a group confounded with a fixed effect is refused).
    void take_groups() {
        const TermPart& part = additive();
        Eigen::MatrixXd records_Q(static_cast<Index>(part.level_of_record.size()), relationships_.group_fractions.cols());
        for (std::size_t r = 0; r < part.level_of_record.size(); ++r) {
            records_Q.row(static_cast<Index>(r)) = relationships_.group_fractions.row(part.level_of_record[r]);
        }
        groups_ = estimable_groups(model_.fixed, kept_, records_Q, relationships_.group_names, logger_);
        group_columns_ = records_Q(Eigen::all, groups_.kept);
        group_fractions_ = relationships_.group_fractions(Eigen::all, groups_.kept);
        relationships_.inverse.sparse =
            keep_group_rows(relationships_.inverse.sparse, static_cast<Index>(part.levels.size()), groups_.kept);
        relationships_.group_fractions.resize(0, 0);
    }

    const RunOptions& options_;
    Logger& logger_;
    std::chrono::steady_clock::time_point run_start_;
    RelationshipInverse relationships_;
    Model model_;
    std::vector<Index> kept_;
    Eigen::VectorXd fixed_b_;
    std::string trait_name_;
    Eigen::MatrixXd X_;
    double sigma_a2_ = 0.0, sigma_e2_ = 0.0;
    IterativeSolution solution_;
    GroupEquations groups_;
    Eigen::MatrixXd group_columns_;    // ZQ of the estimated groups: REML's fixed covariates
    Eigen::MatrixXd group_fractions_;  // Q of every animal for the estimated groups
    Index group_first_ = -1;           // the groups' first column in REML's design (-1: not there)
    Eigen::VectorXd record_weights_;  // w / se2(class) per record; empty without weights and classes
    Eigen::VectorXd given_;           // a model of several effects: its components, trait units
    std::vector<EffectPrediction> effects_;  // and its predictions
    ApproximateReliabilities approximation_;
    std::unique_ptr<SparseMmeEvaluator> evaluator_;  // exact REML's, on the trait scaled by units_
    std::unique_ptr<MonteCarloMmeEvaluator> monte_carlo_;  // Monte Carlo REML's
    double units_ = 1.0;
    Estimate estimate_;
    bool estimated_ = false;
};

}  // namespace

int run_pedigree_model(const RunOptions& options, Logger& logger) {
    try {
        const ModelJob job = options.run_reml ? ModelJob::reml : ModelJob::predict;
        if (options.trait_pos.size() > 1) {
            // Several traits take the route of several traits, on the pedigree's sparse equations.
            return run_model_job(options, logger, *traits_route(options, logger, model_from_options(options)), job);
        }
        PedigreeRoute route(options, logger);
        return run_model_job(options, logger, route, job);
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
}
