#include "app/model_builder.h"

#include <algorithm>
#include <unordered_map>

#include "app/model_inputs.h"

ModelSpec model_from_options(const RunOptions& options) {
    ModelSpec spec;
    spec.traits = options.trait_pos.size() > 1 ? options.trait_pos : std::vector<int>{options.phe_pos};
    spec.classes = options.covar_pos;
    spec.covariates = options.qcovar_pos;
    const TermSpec additive{TermKind::relationship, 0, -1, "Add"};
    // The routes of one relationship and one random term check their own options.
    if (pedigree_prediction(options)) {
        spec.terms = {additive};
        spec.shape = ModelShape::sparse_inverse;
        return spec;
    }
    if (spec.traits.size() > 1) {
        spec.relationship_files = {options.kin_file};
        spec.terms = {additive};
        spec.shape = ModelShape::several_traits;
        return spec;
    }
    check_random_columns(options);
    spec.relationship_files =
        options.mkin_file.empty() ? std::vector<std::string>{options.kin_file} : read_kinship_list(options.mkin_file);
    const bool listed = !options.mkin_file.empty();
    for (std::size_t k = 0; k < spec.relationship_files.size(); ++k) {
        spec.terms.push_back(
            {TermKind::relationship, static_cast<int>(k), -1, listed ? "K" + std::to_string(k + 1) : "Add"});
    }
    if (options.pe) {
        spec.terms.push_back({TermKind::permanent_environment, -1, -1, "PE"});
    }
    for (const int column : options.rand_pos) {
        spec.terms.push_back({TermKind::random_class, -1, column, ""});
    }
    spec.shape = spec.terms.size() == 1 ? ModelShape::one_kinship : ModelShape::several_effects;
    return spec;
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

void add_random_terms(Model& model, const ModelSpec& spec, RecordLevels relationship_levels,
                      const PhenotypeRecords* records) {
    // The last relationship term takes the levels, so that a pedigree's IDs are not copied.
    auto relationships = std::count_if(spec.terms.begin(), spec.terms.end(),
                                       [](const TermSpec& term) { return term.kind == TermKind::relationship; });
    std::size_t class_index = 0;
    for (const TermSpec& term : spec.terms) {
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
        } else if (term.kind == TermKind::permanent_environment) {
            RecordLevels individuals = levels_first_met(model.response.record_ids);
            part = {std::move(individuals.level_of_record), std::move(individuals.levels), {}};
        } else {
            RecordLevels levels = levels_first_met(records->random_levels.at(class_index));
            part = {std::move(levels.level_of_record), std::move(levels.levels), {}};
            name = records->random_names.at(class_index);
            const std::vector<std::string> taken = model.component_names();
            if (std::find(taken.begin(), taken.end(), name) != taken.end()) {
                name += "_" + std::to_string(term.column + 1);
            }
            ++class_index;
        }
        model.terms.push_back({name, {std::move(part)}});
    }
}
