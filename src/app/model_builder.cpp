#include "app/model_builder.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>

#include "app/model_formula.h"
#include "app/model_inputs.h"
#include "log/failures.h"

namespace {

void add_once(std::vector<int>& columns, int column) {
    if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
        columns.push_back(column);
    }
}

// maternal(dam) and pe(dam): one dam column, the direct effect (animal) in the model, REML on a
// kinship file; refused naming what is missing.
void check_maternal_terms(const ModelPlan& plan, const RunOptions& options) {
    int dam = -1;
    bool maternal = false;
    for (const TermPlan& term : plan.terms) {
        const bool of_dam = term.kind == TermKind::maternal || (term.kind == TermKind::permanent_environment && term.column >= 0);
        if (!of_dam) continue;
        if (dam >= 0 && term.column != dam) {
            throw InputCheckFailure("--model: term " + term.name + " names another dam column than the model's other "
                                    "terms of the dam; give one column of dams.");
        }
        dam = term.column;
        maternal = maternal || term.kind == TermKind::maternal;
    }
    if (dam < 0) return;
    const bool direct = std::any_of(plan.terms.begin(), plan.terms.end(), [](const TermPlan& term) {
        return term.kind == TermKind::relationship && term.relationship == 0;
    });
    if (maternal && !direct) {
        throw InputCheckFailure("--model: maternal(...) is the dam's additive effect over the relationship of animal, "
                                "and is estimated with the direct effect: write animal in the model too.");
    }
    if (maternal && (!options.ped_groups_file.empty() || options.snp_effects)) {
        throw InputCheckFailure("--model: maternal(...) with --ped-groups or --snp-effects is not available in this "
                                "version.");
    }
}

// animal:leg(x, k) and pe:leg(x, k): one trait; the unknown parent groups and the marker effects
// belong to an additive effect of one part.
void check_random_regressions(const ModelPlan& plan, const RunOptions& options) {
    const auto curve = std::find_if(plan.terms.begin(), plan.terms.end(), [](const TermPlan& term) { return term.degree >= 0; });
    if (curve == plan.terms.end()) return;
    if (!options.ped_groups_file.empty() || options.snp_effects) {
        throw InputCheckFailure("--model: term " + curve->name + ": a random regression with --ped-groups or "
                                "--snp-effects is not available in this version.");
    }
    if (plan.traits.size() > 1) {
        throw InputCheckFailure("--model: term " + curve->name + ": a random regression takes one trait in this "
                                "version.");
    }
}

// The model of a resolved formula over the options' relationships.
ModelPlan formula_model(const RunOptions& options, const ResolvedModel& formula) {
    ModelPlan plan;
    plan.traits = formula.traits;
    plan.classes = options.covar_pos;
    plan.covariates = options.qcovar_pos;
    plan.relationship_files =
        options.mkin_file.empty() ? std::vector<std::string>{options.kin_file} : read_kinship_list(options.mkin_file);
    const auto listed = static_cast<int>(plan.relationship_files.size());
    std::vector<bool> used(plan.relationship_files.size(), false);
    for (const ResolvedTerm& term : formula.random) {
        if (term.kind == FormulaTermKind::relationship) {
            if (term.relationship >= listed) {
                throw InputCheckFailure("--model: term " + term.name + " names kinship " +
                                        std::to_string(term.relationship + 1) + ", but " +
                                        (options.mkin_file.empty() ? "--kin-file gives one (kin(2) and on need --mkin-file)"
                                                                   : "--mkin-file " + options.mkin_file + " lists " +
                                                                         std::to_string(listed)) +
                                        ".");
            }
            if (used[static_cast<std::size_t>(term.relationship)]) {
                throw InputCheckFailure("--model: term " + term.name + " is a kinship already in the model (animal is "
                                        "kin(1)); give each kinship once.");
            }
            used[static_cast<std::size_t>(term.relationship)] = true;
            plan.terms.push_back({TermKind::relationship, term.relationship, -1, term.name, term.degree});
        } else if (term.kind == FormulaTermKind::permanent_environment) {
            plan.terms.push_back({TermKind::permanent_environment, -1, term.columns.empty() ? -1 : term.columns.front(),
                                  term.name, term.degree});
        } else if (term.kind == FormulaTermKind::maternal) {
            plan.terms.push_back({TermKind::maternal, 0, term.columns.front(), term.name});
        } else {
            plan.terms.push_back({TermKind::random_class, -1, term.columns.front(), term.name});
        }
    }
    for (int k = 0; k < listed; ++k) {
        if (!used[static_cast<std::size_t>(k)]) {
            throw InputCheckFailure("--model: kinship " + std::to_string(k + 1) + " (" +
                                    plan.relationship_files[static_cast<std::size_t>(k)] +
                                    ") is in no term of the formula; write " + (k == 0 ? "animal" : "kin(" +
                                    std::to_string(k + 1) + ")") + ", or leave the kinship out of the run.");
        }
    }
    bool shared = true;
    for (const std::vector<ResolvedTerm>& fixed : formula.fixed) {
        std::vector<int> columns;
        for (const ResolvedTerm& term : fixed) {
            columns.insert(columns.end(), term.columns.begin(), term.columns.end());
        }
        shared = shared && (plan.trait_fixed_columns.empty() || columns == plan.trait_fixed_columns.front());
        plan.trait_fixed_columns.push_back(columns);
    }
    if (shared) {
        plan.trait_fixed_columns.clear();
    }
    check_maternal_terms(plan, options);
    check_random_regressions(plan, options);
    plan.shape = plan.traits.size() > 1 ? ModelShape::several_traits : ModelShape::several_effects;
    // Several traits: the additive effect, and with it the terms of the dam, each once.
    const auto count_of = [&](TermKind kind, bool of_dam) {
        return std::count_if(plan.terms.begin(), plan.terms.end(), [&](const TermPlan& term) {
            return term.kind == kind && (!of_dam || term.column >= 0);
        });
    };
    const bool additive_terms =
        !plan.terms.empty() && plan.terms.front().kind == TermKind::relationship &&
        count_of(TermKind::relationship, false) == 1 && count_of(TermKind::maternal, false) <= 1 &&
        count_of(TermKind::permanent_environment, true) <= 1 &&
        static_cast<std::size_t>(1 + count_of(TermKind::maternal, false) +
                                 count_of(TermKind::permanent_environment, true)) == plan.terms.size();
    if (plan.shape == ModelShape::several_traits && !additive_terms) {
        throw InputCheckFailure("--model: several traits take the additive effect (animal), and with it maternal(...) "
                                "and pe(...) of the dam, as their random terms in this version.");
    }
    return plan;
}

// --weights and --residual-by by the header's names: a column of the header, not a trait.
void resolve_residual_columns(RunOptions& options, const std::vector<std::string>& header, const ResolvedModel& model) {
    for (const auto& [flag, name, position] :
         {std::tuple{"--weights", &options.weights_column, &options.weight_pos},
          std::tuple{"--residual-by", &options.residual_by_column, &options.residual_pos}}) {
        if (name->empty()) {
            continue;
        }
        const auto found = std::find(header.begin() + 1, header.end(), *name);
        if (found == header.end()) {
            throw InputCheckFailure(std::string(flag) + " " + *name + ": there is no column " + *name +
                                    " in the header of " + options.phe_file + " (names are case-sensitive).");
        }
        *position = static_cast<int>(found - header.begin());
        if (std::find(model.traits.begin(), model.traits.end(), *position) != model.traits.end()) {
            throw InputCheckFailure(std::string(flag) + " " + *name + ": " + *name +
                                    " is a trait of the model; give another column.");
        }
    }
}

}  // namespace

bool formula_intercept(const RunOptions& options) { return !options.formula || options.formula->intercept; }

void apply_model_formula(RunOptions& options) {
    for (const char* flag : {"--phe-pos", "--covar-pos", "--qcovar-pos", "--rand-pos", "--pe"}) {
        if (std::find(options.given_options.begin(), options.given_options.end(), flag) !=
            options.given_options.end()) {
            throw InputCheckFailure(std::string("--model names the model's columns itself; ") + flag +
                                    " cannot be given with it (write its columns in the formula).");
        }
    }
    if (options.phe_file.empty()) {
        throw InputCheckFailure("--model needs --phefile: the formula names the columns of its header.");
    }
    const ModelFormula formula = parse_model_formula(model_formula_text(options.model));
    const std::vector<std::string> header = phenotype_header(options.phe_file);
    auto resolved = std::make_shared<ResolvedModel>(resolve_model_formula(formula, header, options.phe_file));
    resolve_residual_columns(options, header, *resolved);
    // Without the intercept the first class's levels take its place: the same fit, each level
    // from 0. Without a class the fit itself would change (a line through the origin).
    if (!resolved->intercept) {
        for (std::size_t t = 0; t < resolved->fixed.size(); ++t) {
            const auto& terms = resolved->fixed[t];
            if (std::none_of(terms.begin(), terms.end(),
                             [](const ResolvedTerm& term) { return term.kind == FormulaTermKind::fixed_class; })) {
                throw InputCheckFailure("--model: " + resolved->trait_names[t] + " is written without an intercept "
                                        "(\"0 +\" or \"-1\") and without a class among its fixed effects; a model "
                                        "without an intercept needs a class, whose levels take its place.");
            }
        }
    }
    // Each crossing of classes becomes one class column of its own (its level: its columns'
    // texts joined by ':'), the same crossing one column wherever it is written.
    const auto crossing_column = [&](std::vector<int>& columns) {
        if (columns.size() < 2) {
            return;
        }
        auto found = std::find(options.crossings.begin(), options.crossings.end(), columns);
        if (found == options.crossings.end()) {
            options.crossings.push_back(columns);
            found = options.crossings.end() - 1;
        }
        columns = {kCrossingBase + static_cast<int>(found - options.crossings.begin())};
    };
    for (std::vector<ResolvedTerm>& fixed : resolved->fixed) {
        for (ResolvedTerm& term : fixed) {
            crossing_column(term.columns);
            if (term.kind != FormulaTermKind::fixed_derived) {
                continue;
            }
            // A slope or curve: its columns are made by the reader, named by the term, the same
            // term one block wherever it is written.
            const DerivedTerm made{term.name, term.numeric, term.columns.empty() ? -1 : term.columns.front(),
                                   term.degree};
            auto found = std::find_if(options.derived.begin(), options.derived.end(),
                                      [&](const DerivedTerm& known) { return known.name == made.name; });
            if (found == options.derived.end()) {
                options.derived.push_back(made);
                found = options.derived.end() - 1;
            }
            term.columns = {kDerivedBase + static_cast<int>(found - options.derived.begin())};
        }
    }
    for (ResolvedTerm& term : resolved->random) {
        crossing_column(term.columns);
    }
    options.trait_pos = resolved->traits;
    options.phe_pos = resolved->traits.front();
    for (const std::vector<ResolvedTerm>& fixed : resolved->fixed) {
        for (const ResolvedTerm& term : fixed) {
            if (term.kind != FormulaTermKind::fixed_derived) {
                add_once(term.kind == FormulaTermKind::fixed_class ? options.covar_pos : options.qcovar_pos,
                         term.columns.front());
            }
        }
    }
    for (const int column : options.qcovar_pos) {
        for (const std::vector<ResolvedTerm>& fixed : resolved->fixed) {
            const auto term = std::find_if(fixed.begin(), fixed.end(), [&](const ResolvedTerm& candidate) {
                return candidate.kind == FormulaTermKind::fixed_covariate && candidate.columns.front() == column;
            });
            if (term != fixed.end()) {
                options.covariate_terms.push_back(term->name);
                break;
            }
        }
    }
    for (const ResolvedTerm& term : resolved->random) {
        if (term.degree >= 0) {
            if (options.curve_pos >= 0 && options.curve_pos != term.numeric) {
                throw InputCheckFailure("--model: term " + term.name + " takes its curve over another column than the "
                                        "model's other random regressions; give them one column.");
            }
            options.curve_pos = term.numeric;
        } else if (term.kind == FormulaTermKind::permanent_environment && term.columns.empty()) {
            options.pe = true;
        } else if (term.kind == FormulaTermKind::random_class) {
            options.rand_pos.push_back(term.columns.front());
        } else if (term.kind == FormulaTermKind::maternal || term.kind == FormulaTermKind::permanent_environment) {
            options.dam_pos = term.columns.front();
        }
    }
    options.formula = std::move(resolved);
}

ModelPlan model_from_options(const RunOptions& options) {
    if (!options.rr_points.empty() && options.curve_pos < 0) {
        throw InputCheckFailure("--rr-points gives the points of a random regression's curves (animal:leg(x, k) in "
                                "--model), and the model has none.");
    }
    if (options.formula) {
        return formula_model(options, *options.formula);
    }
    ModelPlan plan;
    plan.traits = options.trait_pos.size() > 1 ? options.trait_pos : std::vector<int>{options.phe_pos};
    plan.classes = options.covar_pos;
    plan.covariates = options.qcovar_pos;
    const TermPlan additive{TermKind::relationship, 0, -1, "Add"};
    // The routes of one relationship and one random term check their own options.
    if (sparse_pedigree_model(options)) {
        plan.terms = {additive};
        plan.shape = ModelShape::sparse_inverse;
        return plan;
    }
    if (plan.traits.size() > 1) {
        plan.relationship_files = {options.kin_file};
        plan.terms = {additive};
        plan.shape = ModelShape::several_traits;
        return plan;
    }
    check_random_columns(options);
    plan.relationship_files =
        options.mkin_file.empty() ? std::vector<std::string>{options.kin_file} : read_kinship_list(options.mkin_file);
    const bool listed = !options.mkin_file.empty();
    for (std::size_t k = 0; k < plan.relationship_files.size(); ++k) {
        plan.terms.push_back(
            {TermKind::relationship, static_cast<int>(k), -1, listed ? "K" + std::to_string(k + 1) : "Add"});
    }
    if (options.pe) {
        plan.terms.push_back({TermKind::permanent_environment, -1, -1, "PE"});
    }
    for (const int column : options.rand_pos) {
        plan.terms.push_back({TermKind::random_class, -1, column, ""});
    }
    plan.shape = plan.terms.size() == 1 ? ModelShape::one_kinship : ModelShape::several_effects;
    return plan;
}

RecordLevels levels_first_met(const std::vector<std::string>& keys) {
    RecordLevels grouped;
    std::unordered_map<std::string, Eigen::Index> level_of;
    for (const std::string& key : keys) {
        const auto [entry, added] = level_of.emplace(key, static_cast<Eigen::Index>(grouped.levels.size()));
        if (added) {
            grouped.levels.push_back(key);
        }
        grouped.level_of_record.push_back(entry->second);
    }
    return grouped;
}

namespace {

// The dams with records of their progeny, first met, and each record's (-1 without a dam).
TermPart dam_levels(const std::vector<std::string>& dam_ids) {
    TermPart part;
    std::unordered_map<std::string, Eigen::Index> level_of;
    for (const std::string& dam : dam_ids) {
        if (dam.empty()) {
            part.level_of_record.push_back(-1);
            continue;
        }
        const auto [entry, added] = level_of.emplace(dam, static_cast<Eigen::Index>(part.levels.size()));
        if (added) part.levels.push_back(dam);
        part.level_of_record.push_back(entry->second);
    }
    return part;
}

// The maternal part of the relationship's term: each record's dam among the term's levels.
void add_maternal_part(Model& model, const TermPlan& term, const std::vector<std::string>& dam_ids) {
    const auto owner = std::find_if(model.terms.begin(), model.terms.end(), [&](const RandomTerm& candidate) {
        return candidate.parts.front().covariance == LevelCovariance::relationship &&
               candidate.parts.front().relationship == term.relationship;
    });
    if (owner == model.terms.end()) {
        throw InputCheckFailure("--model: " + term.name + " follows the relationship of animal: write animal before it.");
    }
    const std::vector<std::string>& levels = owner->parts.front().levels;
    std::unordered_map<std::string, Eigen::Index> position;
    for (std::size_t i = 0; i < levels.size(); ++i) position.emplace(levels[i], static_cast<Eigen::Index>(i));
    TermPart part;
    part.name = term.name;
    part.levels = levels;
    part.covariance = LevelCovariance::relationship;
    part.relationship = term.relationship;
    for (const std::string& dam : dam_ids) {
        part.level_of_record.push_back(dam.empty() ? -1 : position.at(dam));
    }
    owner->parts.push_back(std::move(part));
}

// A random regression's term: its effect's part once per Legendre polynomial of the curve's
// column, phi_j of each record's value multiplying its level, each part named <effect>:leg<j>.
RandomTerm random_regression(const std::string& name, TermPart part, const TermPlan& term, const Eigen::VectorXd& values) {
    RandomTerm regression{name, {}};
    const double low = values.size() > 0 ? values.minCoeff() : 0.0, high = values.size() > 0 ? values.maxCoeff() : 0.0;
    if (!(high > low)) {
        std::ostringstream message;
        message << "--model: term " << name << ": its column has one value (" << low
                << ") among the records used; a curve over it cannot be fitted.";
        throw InputCheckFailure(message.str());
    }
    const Eigen::MatrixXd curves = legendre_curves(values, low, high, term.degree);
    const std::string effect = name.substr(0, name.find(':'));
    for (int j = 0; j <= term.degree; ++j) {
        TermPart curve = part;
        curve.covariate = curves.col(j);
        curve.name = effect + ":leg" + std::to_string(j);
        regression.parts.push_back(std::move(curve));
    }
    regression.curve = RandomTerm::Curve{name.substr(name.find('(') + 1, name.find(',') - name.find('(') - 1), low, high};
    return regression;
}

}  // namespace

void add_random_terms(Model& model, const ModelPlan& plan, RecordLevels relationship_levels,
                      const PhenotypeRecords* records) {
    // The last relationship term takes the levels, so that a pedigree's IDs are not copied.
    auto relationships = std::count_if(plan.terms.begin(), plan.terms.end(),
                                       [](const TermPlan& term) { return term.kind == TermKind::relationship; });
    std::size_t class_index = 0;
    for (const TermPlan& term : plan.terms) {
        TermPart part;
        std::string name = term.name;
        if (term.kind == TermKind::relationship) {
            if (--relationships == 0) {
                part = {std::move(relationship_levels.level_of_record), std::move(relationship_levels.levels), {},
                        LevelCovariance::relationship, term.relationship};
            } else {
                part = {relationship_levels.level_of_record, relationship_levels.levels, {},
                        LevelCovariance::relationship, term.relationship};
            }
        } else if (term.kind == TermKind::maternal) {
            add_maternal_part(model, term, records->dam_ids);
            continue;
        } else if (term.kind == TermKind::permanent_environment && term.column >= 0) {
            part = dam_levels(records->dam_ids);
        } else if (term.kind == TermKind::permanent_environment) {
            RecordLevels individuals = levels_first_met(model.response.record_ids);
            part = {std::move(individuals.level_of_record), std::move(individuals.levels), {}};
        } else {
            RecordLevels levels = levels_first_met(records->random_levels.at(class_index));
            part = {std::move(levels.level_of_record), std::move(levels.levels), {}};
            if (name.empty()) {  // a column flag's class: by its header
                name = records->random_names.at(class_index);
                const std::vector<std::string> taken = model.component_names();
                if (std::find(taken.begin(), taken.end(), name) != taken.end()) {
                    name += "_" + std::to_string(term.column + 1);
                }
            }
            ++class_index;
        }
        if (term.degree >= 0) {
            model.terms.push_back(random_regression(name, std::move(part), term, records->curve_values));
        } else {
            model.terms.push_back({name, {std::move(part)}});
        }
    }
}
