// REML and prediction of the models with several random effects: kinships, the permanent
// environment of repeated records, random classes; given variances (--vc) and likelihood-ratio
// tests (--lrt). One record group per set of random levels (mixed_model/GroupedEvaluator).

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
#include <tuple>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/model_builder.h"
#include "app/marker_effects_run.h"
#include "app/model_inputs.h"
#include "app/model_pipeline.h"
#include "app/parent_groups.h"
#include "app/pedigree_terms.h"
#include "distributed/distributed.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

// The components of a term's block: q(q + 1)/2 of q parts.
Eigen::Index block_size(const RandomTerm& term) {
    const auto q = static_cast<Eigen::Index>(term.parts.size());
    return q * (q + 1) / 2;
}

// Columns start.. of the identity of order `count`: the levels of independent effects.
Eigen::MatrixXd unit_columns(Eigen::Index count, Eigen::Index start, Eigen::Index width) {
    Eigen::MatrixXd units = Eigen::MatrixXd::Zero(count, width);
    for (Eigen::Index j = 0; j < width; ++j) units(start + j, j) = 1.0;
    return units;
}

// The names of the model's random terms (the components without the residual's).
std::vector<std::string> term_names(const ModelSetup& model) {
    std::vector<std::string> names;
    for (const RandomTerm& term : model.records.data.terms) {
        names.push_back(term.name);
    }
    return names;
}

// The random components' names (the residual's left out): a term's, or a term of direct and
// maternal parts its three.
std::vector<std::string> random_component_names(const ModelSetup& model) {
    std::vector<std::string> names = model.records.data.component_names();
    names.resize(names.size() - model.records.data.residual.component_names().size());
    return names;
}

// Where a term of direct and maternal parts has its three components (-1: none).
Eigen::Index maternal_block(const ModelSetup& model) { return maternal_block(model.records.data); }

// The table of a model's components: with maternal effects, or along random regressions'
// curves (at their range's ends and middle and at `points`), their own rows.
std::vector<ResultRow> component_rows(const ModelSetup& model, const std::vector<double>& points,
                                      const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance,
                                      double log_likelihood) {
    if (has_curves(model.records.data)) {
        return curve_component_rows(model.records.data, curve_points(model.records.data, points), values, covariance,
                                    log_likelihood);
    }
    const Eigen::Index maternal = maternal_block(model);
    if (maternal >= 0) {
        return maternal_component_rows(model.records.data.component_names(), maternal, values, covariance,
                                       log_likelihood, model.records.data.residual.component_names().size());
    }
    return variance_component_rows(term_names(model), values, covariance, model.repeatable, log_likelihood,
                                   model.records.data.residual.component_names());
}

// The model as the estimation sees it: the evaluator over the scaled trait, the full design's
// estimable columns, and the units to report in.
struct Fitting {
    std::vector<std::string> names;       // the components, the residual's ("e", or one a class) last
    std::size_t evaluator_terms = 0;      // the random terms among them
    std::vector<Eigen::Index> kept;       // columns of the full design estimated (the others are 0)
    TraitScale trait;
    double units = 1.0;                   // trait scale squared
    double log_likelihood_shift = 0.0;    // to the trait's units
    std::unique_ptr<GroupedEvaluator> evaluator;
    AiRemlSettings settings;
};

// The dense evaluator holds T at the record groups and each term's kinship at its levels (the
// parts of a term share it): refused, with the figures, before any kinship is read when that
// would not fit.
void check_dense_memory(const ModelSetup& model, const ResidualStructure& structure) {
    const auto g = static_cast<double>(
        GroupedEvaluator::groups_of(model_effects(model, false), structure, model.records.data.response.y.rows()));
    double values = g * g;
    Eigen::Index matrices = 1;
    for (const RandomTerm& term : model.records.data.terms) {
        const TermPart& part = term.parts.front();
        if (part.covariance != LevelCovariance::relationship) continue;
        const auto levels = static_cast<double>(part.levels.size());
        values += levels * levels;
        ++matrices;
    }
    const double bytes = 8.0 * values;
    if (fits_in_free_memory(static_cast<std::size_t>(bytes))) return;
    std::ostringstream message;
    message << "the model's dense evaluator needs about " << bytes / 1e9 << " GB (" << matrices
            << " matrices: T of order " << g << ", the groups of records that share every level, and each "
               "kinship at the individuals with records), more than this machine has free; run it where more memory "
               "is free, or fit a pedigree's relationship on its sparse inverse (--pedigree).";
    throw RunFailure(message.str());
}

Fitting fitting_of(const ModelSetup& model, int max_iter) {
    Fitting fit;
    fit.names = model.records.data.component_names();
    fit.evaluator_terms = random_component_names(model).size();
    const Eigen::MatrixXd& y = model.records.data.response.y;
    const Eigen::MatrixXd X = reml_design(model.records.data.fixed.reduced);
    const Eigen::Index p = X.cols();
    const ScaledTrait scaled = scaled_trait(y.col(0), X, p);
    fit.trait = scaled.trait;
    const Eigen::VectorXd& y_scaled = scaled.values;
    fit.units = scaled.units;
    fit.log_likelihood_shift = scaled.log_likelihood_shift;
    const double residual_variance = fixed_effect_residual_variance(X, y_scaled);
    const ResidualTerm& residual = model.records.data.residual;
    ResidualStructure structure{residual.weights, residual.class_of_record,
                                static_cast<Eigen::Index>(std::max<std::size_t>(residual.classes.size(), 1))};
    check_dense_memory(model, structure);
    fit.evaluator = std::make_unique<GroupedEvaluator>(model_effects(model), X, y_scaled, std::move(structure));

    fit.settings =
        variance_settings(random_component_names(model), residual.component_names(), y_scaled, residual_variance, max_iter);
    set_covariance_blocks(fit.settings, *fit.evaluator, model.records.data);
    return fit;
}



// REML of the model through the pipeline's one estimation.
std::optional<Estimate> estimate(const RunOptions& options, Logger& logger, const ModelSetup& model, const Fitting& fit) {
    Estimation estimation{*fit.evaluator, fit.settings};
    estimation.names = fit.names;
    estimation.terms = term_names(model);
    estimation.tests = term_tests(model.records.data, fit.names);
    if (maternal_block(model) >= 0 || has_curves(model.records.data)) {
        estimation.table = [&](const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance, double logL) {
            return component_rows(model, options.rr_points, values, covariance, logL);
        };
    }
    estimation.residuals = model.records.data.residual.component_names();
    estimation.repeatable = model.repeatable;
    estimation.units = fit.units;
    estimation.log_likelihood_shift = fit.log_likelihood_shift;
    const std::string note = "records in " + std::to_string(fit.evaluator->groups()) + " groups";
    estimation.size_note = [note] { return note; };
    return estimate_components(options, logger, estimation);
}

// --vc: the values of every component in the order of the table, the residual last.
Estimate given_values(const RunOptions& options, Logger& logger, const Fitting& fit) {
    std::vector<bool> covariance;
    for (const ModelParameter& parameter : fit.settings.parameters) {
        covariance.push_back(parameter.role == ParameterRole::covariance);
    }
    take_given_components(options, logger, fit.names, covariance, fit.names.size() - fit.evaluator_terms);
    Estimate result;
    result.theta = Eigen::Map<const Eigen::VectorXd>(options.vc.data(), static_cast<Eigen::Index>(options.vc.size())) /
                   fit.units;
    // The log-likelihood is reported, not needed: values at which it cannot be formed may still
    // give breeding values (the equations are solved, and checked, on their own).
    const LikelihoodPoint point = fit.evaluator->evaluate(result.theta);
    result.log_likelihood =
        point.finite ? point.log_likelihood + fit.log_likelihood_shift : std::numeric_limits<double>::quiet_NaN();
    return result;
}

std::vector<ResultRow> variance_rows(const RunOptions& options, const ModelSetup& model, const Fitting& fit,
                                     const Estimate& estimate) {
    std::vector<ResultRow> rows = component_rows(model, options.rr_points, estimate.theta * fit.units,
                                                 estimate.covariance, estimate.log_likelihood);
    rows.insert(rows.end(), estimate.lrt.begin(), estimate.lrt.end());
    for (const ResultRow& row : count_rows(model.records.data.response.y.rows(), model.individuals.size())) {
        rows.push_back(row);
    }
    return rows;
}


// The fixed effects over the full design (0 for the columns not estimated) and their SEs, in the
// trait's units.
struct FixedEstimates {
    Eigen::MatrixXd b;
    Eigen::VectorXd se;
    Eigen::MatrixXd covariance;
};
FixedEstimates fixed_estimates(const ModelSetup& model, const Fitting& fit, const GroupedEvaluator::Solution& solution) {
    const Eigen::MatrixXd& full_design = model.records.data.fixed.full;
    const auto p = full_design.cols();
    Eigen::MatrixXd b = Eigen::MatrixXd::Zero(p, 1);
    Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(p, p);
    for (std::size_t a = 0; a < fit.kept.size(); ++a) {
        b(fit.kept[a], 0) = fit.trait.scale * solution.beta[static_cast<Eigen::Index>(a)];
        for (std::size_t c = 0; c < fit.kept.size(); ++c) {
            covariance(fit.kept[a], fit.kept[c]) =
                fit.units * solution.C_inverse(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(c));
        }
    }
    b(0, 0) += fit.trait.centre;  // the intercept takes the trait's centre back
    unstandardise_effects(b, model.records.data.fixed.numeric);
    covariance = unstandardise_covariance(covariance, model.records.data.fixed.numeric);
    return {b, covariance.diagonal().cwiseMax(0.0).cwiseSqrt(), covariance};
}

void refuse_under_mpirun() {
    if (world_size() > 1) {
        throw RunFailure("models with several random effects (--mkin-file with several kinships, --pe, --rand-pos, "
                         "terms of the dam, random regressions) cannot run on " + std::to_string(world_size()) +
                         " MPI ranks yet; run them as one process (without mpirun).");
    }
}

// Several random effects through the grouped evaluator, in one process.
class SeveralEffectsRoute : public ModelRoute {
public:
    SeveralEffectsRoute(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                        ModelJob job)
        : options_(options), logger_(logger), plan_(plan), job_(job) {}

    void set_up() override {
        refuse_under_mpirun();
        const auto start = std::chrono::steady_clock::now();
        if (!options_.ped_groups_file.empty()) {
            groups_ = read_group_covariates(options_, logger_);
        }
        model_ = set_up_model(options_, logger_, plan_, groups_.names.empty() ? nullptr : &groups_);
        fit_ = fitting_of(model_, options_.max_iter);
        const double units = fit_.units;
        take_starting_values(options_, logger_, fit_.settings, [units](std::size_t) { return units; });
        if (job_ == ModelJob::reml) {
            logger_.tee << "👉 Kinships read at the records in "
                        << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s"
                        << std::endl;
        }
    }

    bool estimate() override {
        std::optional<Estimate> estimated = ::estimate(options_, logger_, model_, fit_);
        if (estimated) {
            result_ = std::move(*estimated);
        }
        return estimated.has_value();
    }

    void take_given() override { result_ = given_values(options_, logger_, fit_); }

    // The fixed effects of the full design's estimable columns (reference levels shown as 0).
    void solve() override {
        solved_ = true;
        fit_.kept = fixed_effect_columns(model_.records.data.fixed.full);
        fit_.evaluator->set_design(model_.records.data.fixed.full(Eigen::all, fit_.kept));
        solution_ = fit_.evaluator->solve(result_.theta);
        if (!solution_.finite) {
            throw RunFailure("the mixed model equations cannot be solved at these variances: " + solution_.problem +
                             "; " + mixed_model_files(options_).values + " was not written.");
        }
    }

    void predict() override {
        const FixedEstimates fixed = fixed_estimates(model_, fit_, solution_);
        const FixedDesign& design = model_.records.data.fixed;
        print_fixed_effects(logger_, fixed.b, design.full, design.labels, design.numeric, &fixed.se);
        const std::string values_name = mixed_model_files(options_).values;
        const std::vector<RandomTerm>& terms = model_.records.data.terms;
        // The evaluator's effects are the components, a term of q parts q(q + 1)/2.
        Eigen::Index component = 0;
        for (std::size_t term = 0; term < terms.size(); component += block_size(terms[term++])) {
            if (terms[term].curve) {
                predict_curve(terms[term], component);
                continue;
            }
            if (terms[term].parts.size() == 2) {
                predict_maternal(terms[term], component);
                continue;
            }
            const TermPart& part = terms[term].parts.front();
            const double variance = result_.theta[component];
            EffectPrediction effect;
            if (part.covariance == LevelCovariance::relationship) {
                const ModelKinship& kinship = model_.kinships[static_cast<std::size_t>(part.relationship)];
                const auto N = static_cast<Eigen::Index>(kinship.source.text.ids.size());
                logger_.tee << "👉 " << kinship.name << ": breeding values of " << N << " individuals" << std::endl;
                const Eigen::MatrixXd columns = kinship_columns(kinship, part.levels);  // N x q
                // The unknown parent groups belong to the additive effect, that of the first relationship.
                const bool grouped = !groups_.names.empty() && part.relationship == 0;
                const Eigen::MatrixXd shifts =
                    grouped ? group_shifts(groups_, kinship.source.text.ids, design, fit_.kept) : Eigen::MatrixXd();
                effect = fit_.evaluator->predict(
                    solution_, component, variance, N,
                    [&](Eigen::Index start, Eigen::Index width) {
                        return Eigen::MatrixXd(columns.middleRows(start, width).transpose());
                    },
                    kinship_diagonal_of(kinship), fit_.trait.scale, grouped ? &shifts : nullptr);
                effect.ids = kinship.source.text.ids;
                check_error_variances(effect.error_variances, effect.ids, values_name, " in " + terms[term].name);
                if (options_.snp_effects && part.relationship == 0) {
                    prepare_marker_effects(component, variance, kinship, part, columns);
                }
            } else {
                // Independent levels, each its own unit column.
                const auto count = static_cast<Eigen::Index>(part.levels.size());
                effect = fit_.evaluator->predict(
                    solution_, component, variance, count,
                    [&](Eigen::Index start, Eigen::Index width) { return unit_columns(count, start, width); },
                    Eigen::VectorXd::Ones(count), fit_.trait.scale);
                effect.ids = part.levels;
            }
            effect.name = terms[term].name;
            effects_.push_back(std::move(effect));
        }
    }

    // The direct and maternal breeding values of every individual of the kinship: each sees the
    // records through both parts, u_a = K (s2a Z'Py + sam W'Py), u_m = K (sam Z'Py + s2m W'Py).
    void predict_maternal(const RandomTerm& term, Eigen::Index first) {
        const TermPart& part = term.parts.front();
        const ModelKinship& kinship = model_.kinships[static_cast<std::size_t>(part.relationship)];
        const auto N = static_cast<Eigen::Index>(kinship.source.text.ids.size());
        logger_.tee << "👉 " << kinship.name << ": direct and maternal breeding values of " << N << " individuals"
                    << std::endl;
        const Eigen::MatrixXd columns = kinship_columns(kinship, part.levels);  // N x q
        const Eigen::VectorXd diagonal = kinship_diagonal_of(kinship);
        const double a = result_.theta[first], am = result_.theta[first + 1], m = result_.theta[first + 2];
        const auto block = [&](Eigen::Index start, Eigen::Index width) {
            return Eigen::MatrixXd(columns.middleRows(start, width).transpose());
        };
        const std::string values_name = mixed_model_files(options_).values;
        for (const auto& [name, parts, prior] :
             {std::tuple{term.name, std::vector<std::pair<Eigen::Index, double>>{{first, a}, {first + 2, am}}, a},
              std::tuple{term.parts[1].name, std::vector<std::pair<Eigen::Index, double>>{{first, am}, {first + 2, m}}, m}}) {
            EffectPrediction effect =
                fit_.evaluator->predict_combined(solution_, parts, prior, N, block, diagonal, fit_.trait.scale);
            effect.ids = kinship.source.text.ids;
            effect.name = name;
            check_error_variances(effect.error_variances, effect.ids, values_name, " in " + name);
            effects_.push_back(std::move(effect));
        }
    }

    // A regression's coefficients and its curve's readings for every level (every individual of
    // the kinship, or each level of independent ones): each a combination w'u of the coefficients,
    // u_j = K sum_l G0(j, l) Z_l'P y with Z_l = D_phi_l Z, prior w'G0 w.
    void predict_curve(const RandomTerm& term, Eigen::Index first) {
        const TermPart& part = term.parts.front();
        const auto q = static_cast<Eigen::Index>(term.parts.size());
        Eigen::MatrixXd G0(q, q);
        for (Eigen::Index a = 0; a < q; ++a) {
            for (Eigen::Index b = 0; b <= a; ++b) {
                G0(a, b) = G0(b, a) = result_.theta[first + CovarianceSpace::position(a, b)];
            }
        }
        std::vector<std::pair<std::string, Eigen::VectorXd>> readings;
        for (Eigen::Index j = 0; j < q; ++j) {
            readings.emplace_back(term.parts[static_cast<std::size_t>(j)].name, Eigen::VectorXd::Unit(q, j));
        }
        for (auto& reading : curve_readings(term, curve_points(model_.records.data, options_.rr_points))) {
            readings.push_back(std::move(reading));
        }
        const std::string values_name = mixed_model_files(options_).values;
        const auto count = static_cast<Eigen::Index>(part.levels.size());
        const bool related = part.covariance == LevelCovariance::relationship;
        const ModelKinship* kinship =
            related ? &model_.kinships[static_cast<std::size_t>(part.relationship)] : nullptr;
        const Eigen::Index N = related ? static_cast<Eigen::Index>(kinship->source.text.ids.size()) : count;
        logger_.tee << "👉 " << term.name << ": the curve's coefficients and readings of " << N
                    << (related ? " individuals" : " levels") << std::endl;
        const Eigen::MatrixXd columns = related ? kinship_columns(*kinship, part.levels) : Eigen::MatrixXd();
        const Eigen::VectorXd diagonal = related ? kinship_diagonal_of(*kinship) : Eigen::VectorXd::Ones(count);
        const auto block = [&](Eigen::Index start, Eigen::Index width) {
            if (related) return Eigen::MatrixXd(columns.middleRows(start, width).transpose());
            return unit_columns(count, start, width);
        };
        for (const auto& [name, w] : readings) {
            const Eigen::VectorXd through = G0 * w;
            std::vector<std::pair<Eigen::Index, double>> parts;
            for (Eigen::Index l = 0; l < q; ++l) parts.emplace_back(first + CovarianceSpace::position(l, l), through[l]);
            EffectPrediction effect = fit_.evaluator->predict_combined(solution_, parts, w.dot(through), N, block,
                                                                       diagonal, fit_.trait.scale);
            effect.ids = related ? kinship->source.text.ids : part.levels;
            effect.name = name;
            check_error_variances(effect.error_variances, effect.ids, values_name, " in " + name);
            effects_.push_back(std::move(effect));
        }
    }

    std::vector<FixedEffectRow> fixed_effects() override {
        if (!solved_) {
            solve();
        }
        const FixedEstimates fixed = fixed_estimates(model_, fit_, solution_);
        return fixed_effect_rows(model_.records.data.fixed, model_.trait_name, fixed.b.col(0), fixed.se, fit_.kept, {}, {},
                                 &fixed.covariance);
    }

    std::vector<ResultRow> variance_rows() override { return ::variance_rows(options_, model_, fit_, result_); }

    void add_predictions(ResultTexts& results, const MixedModelFiles& files) override {
        add_effect_files(results, effects_, model_.trait_name, files.values, files.reliability);
        if (options_.snp_effects) {
            add_marker_effects(options_, logger_, marker_inputs_, results);
        }
    }

    std::string predicted() const override { return "random effects"; }

private:
    // What the marker effects take of term k's prediction (the first relationship's): alpha =
    // sigma2 Z_k'P y at the individuals with records (u = K alpha) and Var(t' alpha) = sigma2^2
    // t'Z_k'P Z_k t, in the trait's units. `columns` are K's columns at those individuals.
    void prepare_marker_effects(Eigen::Index k, double variance, const ModelKinship& kinship, const TermPart& part,
                                const Eigen::MatrixXd& columns) {
        const std::vector<std::string>& ids = kinship.source.text.ids;
        MarkerEffectInputs& marker = marker_inputs_;
        marker.kinship_ids = &ids;
        marker.record_individuals = record_positions(part.levels, ids);  // every level is in the kinship
        const double scale = fit_.trait.scale;
        const Eigen::VectorXd per_level = fit_.evaluator->level_sums(k, solution_.t);
        marker.alpha = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(ids.size()));
        for (std::size_t l = 0; l < part.levels.size(); ++l) {
            marker.alpha[marker.record_individuals[l]] = scale * variance * per_level[static_cast<Eigen::Index>(l)];
        }
        marker.diagonal = kinship_diagonal_of(kinship);
        marker.column = columns.col(0);
        marker.column_individual = marker.record_individuals.front();
        const double units = scale * scale * variance * variance;
        marker.record_variances = [this, k, units](const Eigen::MatrixXd& T) {
            return Eigen::VectorXd(units * solution_.quadratic_forms(fit_.evaluator->to_groups(k, T)));
        };
    }

    const RunOptions& options_;
    Logger& logger_;
    ModelPlan plan_;
    ModelJob job_;
    ModelSetup model_;
    Fitting fit_;
    Estimate result_;
    GroupedEvaluator::Solution solution_;
    bool solved_ = false;
    std::vector<EffectPrediction> effects_;
    GroupCovariates groups_;
    MarkerEffectInputs marker_inputs_;
};

}  // namespace

std::unique_ptr<ModelRoute> several_effects_route(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                                                  ModelJob job) {
    return std::make_unique<SeveralEffectsRoute>(options, logger, plan, job);
}
