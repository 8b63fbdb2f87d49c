#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/model_builder.h"
#include "app/model_inputs.h"
#include "app/parent_groups.h"
#include "kinship_io/kinship_source.h"
#include "linear_algebra/lapack.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

// How many IDs a message lists before "...".
constexpr std::size_t kShownIds = 5;

std::string first_ids(const std::vector<std::string>& ids) {
    std::string text;
    for (std::size_t i = 0; i < ids.size() && i < kShownIds; ++i) {
        text += (i == 0 ? "" : ", ") + ids[i];
    }
    return text + (ids.size() > kShownIds ? ", ..." : "");
}

// The q x q block of a kinship at the given matrix positions (rows and columns alike), read
// straight from the file: one process holding the whole block as its one piece.
Eigen::MatrixXd read_block(const KinshipSource& source, const std::vector<std::int64_t>& rows,
                           const std::vector<std::int64_t>& cols) {
    Eigen::MatrixXd block(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(cols.size()));
    BlockCyclicPiece piece;
    piece.rows = static_cast<std::int64_t>(rows.size());
    piece.cols = static_cast<std::int64_t>(cols.size());
    piece.nb = std::max<std::int64_t>({piece.rows, piece.cols, 1});
    piece.data = block.data();
    piece.ld = std::max<std::int64_t>(piece.rows, 1);
    if (!rows.empty() && !cols.empty()) {
        read_kinship_entries(source, rows, cols, piece, !source.binary);
    }
    return block;
}

// A kinship at the records has no eigenvalue below what the 4 decimals of a text file explain:
// K + bound I must have a Cholesky factor. Only when it has not are the eigenvalues computed,
// for the message that names them.
void check_positive_semidefinite(const Eigen::MatrixXd& K, const std::string& name, const std::string& path) {
    const auto n = static_cast<int>(K.rows());
    if (n == 0) {
        return;
    }
    // Positive definite once shifted by the bound taken on the diagonal: then no eigenvalue lies
    // below the bound the eigenvalues themselves would give.
    const double bound = rounding_eigenvalue_bound(n, K.diagonal().cwiseAbs().maxCoeff());
    Eigen::MatrixXd shifted = K;
    shifted.diagonal().array() += bound;
    int info = 0;
    dpotrf_("L", &n, shifted.data(), &n, &info, 1);
    if (info == 0 && shifted.allFinite()) {
        return;
    }
    try {
        check_kinship_eigenvalues(reduce_kinship_cpp(K));
    } catch (const RemlFailure& failure) {
        throw RemlFailure(name + " (" + path + "): " + failure.what());
    }
}

}  // namespace

std::vector<std::pair<std::size_t, std::string>> kinship_list_names(std::istream& list) {
    std::vector<std::pair<std::size_t, std::string>> names;
    std::string line;
    for (std::size_t number = 1; std::getline(list, line); ++number) {
        const std::size_t begin = line.find_first_not_of(" \t\r");
        if (begin != std::string::npos) {
            names.emplace_back(number, line.substr(begin, line.find_last_not_of(" \t\r") + 1 - begin));
        }
    }
    return names;
}

std::vector<std::string> read_kinship_list(const std::string& list_path) {
    std::ifstream list(list_path);
    if (!list.is_open() || std::filesystem::is_directory(list_path)) {
        throw InputCheckFailure("cannot read the kinship list " + list_path + " (--mkin-file).");
    }
    const std::filesystem::path folder = std::filesystem::path(list_path).parent_path();
    std::vector<std::string> files;
    for (auto [number, path] : kinship_list_names(list)) {
        // As written, else beside the list (a list that names its files by their own names).
        if (!std::filesystem::exists(path) && std::filesystem::path(path).is_relative() &&
            std::filesystem::exists(folder / path)) {
            path = (folder / path).string();
        }
        if (!std::filesystem::exists(path)) {
            throw InputCheckFailure("kinship list " + list_path + ", line " + std::to_string(number) + ": " + path +
                                    " does not exist (relative names are read from the current folder, then from "
                                    "the list's folder).");
        }
        if (std::filesystem::equivalent(path, list_path)) {
            throw InputCheckFailure("kinship list " + list_path + ", line " + std::to_string(number) +
                                    " names the list itself; list one kinship file per line.");
        }
        files.push_back(path);
    }
    if (files.empty()) {
        throw InputCheckFailure("the kinship list " + list_path + " names no kinship file; list one per line.");
    }
    return files;
}

void check_random_columns(const RunOptions& options) {
    std::unordered_set<int> seen;
    for (int column : options.rand_pos) {
        if (!seen.insert(column).second) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                    " is given twice in --rand-pos; give each random class column once.");
        }
        const bool fixed = std::count(options.covar_pos.begin(), options.covar_pos.end(), column) > 0 ||
                           std::count(options.qcovar_pos.begin(), options.qcovar_pos.end(), column) > 0;
        if (fixed) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                    " is given both as a fixed covariate and in --rand-pos; a class is fitted "
                                    "either as fixed or as random, not both.");
        }
        if (column == options.phe_pos) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                    " is given both as the trait (--phe-pos) and in --rand-pos.");
        }
    }
}

namespace {

// A random class with one level among the records, or one that groups the records exactly as a
// fixed class does, has a variance the records cannot tell from the intercept or from that
// class: REML would stop on a singular average information. Named before REML starts.
void refuse_unidentifiable_classes(const RunOptions& options, const PhenotypeRecords& records) {
    const Eigen::MatrixXd& full_design = records.data.fixed.full;
    const std::vector<std::string>& labels = records.data.fixed.labels;
    const auto n = static_cast<std::size_t>(full_design.rows());
    for (std::size_t c = 0; c < options.rand_pos.size(); ++c) {
        const std::vector<std::string>& levels = records.random_levels[c];
        const std::string column = class_column_text(options.rand_pos[c], options.crossings);
        const std::string name = "the random class " + records.random_names[c] + " (column " + column + ")";
        const std::unordered_set<std::string> distinct(levels.begin(), levels.end());
        if (distinct.size() == 1 && n > 0) {
            throw InputCheckFailure(name + " has one level (" + levels.front() + ") among the " + std::to_string(n) +
                                    " records used: its variance cannot be told from the intercept and the residual. "
                                    "Leave " + (options.formula ? "its term" : "--rand-pos " + column) + " out.");
        }
        for (const int fixed : options.covar_pos) {
            const std::string prefix = "Covar" + class_column_text(fixed, options.crossings) + "_";
            std::vector<Eigen::Index> block;
            for (std::size_t k = 0; k < labels.size(); ++k) {
                if (labels[k].rfind(prefix, 0) == 0) block.push_back(static_cast<Eigen::Index>(k));
            }
            // The same partition of the records, whatever the level texts: a one-to-one map.
            std::unordered_map<std::string, Eigen::Index> fixed_of;
            std::unordered_map<Eigen::Index, std::string> random_of;
            bool same = !block.empty();
            for (std::size_t r = 0; r < n && same; ++r) {
                Eigen::Index code = -1;
                for (const Eigen::Index level_column : block) {
                    if (full_design(static_cast<Eigen::Index>(r), level_column) != 0.0) code = level_column;
                }
                const auto [to_fixed, new_level] = fixed_of.emplace(levels[r], code);
                const auto [to_random, new_code] = random_of.emplace(code, levels[r]);
                same = to_fixed->second == code && to_random->second == levels[r];
            }
            if (same) {
                throw InputCheckFailure(name + " groups the records exactly as the fixed class of column " +
                                        class_column_text(fixed, options.crossings) +
                                        (options.formula ? "" : " (--covar-pos)") + " does: its effects are those of the "
                                        "fixed class, so its variance cannot be estimated. Give the column once.");
            }
        }
    }
}

}  // namespace

namespace {

// The relationship's levels of a model with maternal effects: the individuals with records, then
// the dams that have none; a dam missing from the kinship is refused by name, and the records
// without a dam are counted in the log.
RecordLevels with_dams(Logger& logger, const ModelSetup& model, const ModelPlan& plan, RecordLevels individuals) {
    const auto has = [&](bool maternal_only) {
        return std::any_of(plan.terms.begin(), plan.terms.end(), [&](const TermPlan& term) {
            return term.kind == TermKind::maternal ||
                   (!maternal_only && term.kind == TermKind::permanent_environment && term.column >= 0);
        });
    };
    if (!has(false)) return individuals;
    const bool maternal = has(true);
    const std::vector<std::string>& dams = model.records.dam_ids;
    std::unordered_set<std::string> known(individuals.levels.begin(), individuals.levels.end()), distinct;
    const ModelKinship& kinship = model.kinships.front();
    std::size_t without = 0;
    for (std::size_t r = 0; r < dams.size(); ++r) {
        const std::string& dam = dams[r];
        if (dam.empty()) {
            ++without;
            continue;
        }
        distinct.insert(dam);
        if (!maternal) continue;
        if (kinship.position.count(dam) == 0) {
            throw InputCheckFailure("the dam " + dam + " of the record of " + model.records.data.response.record_ids[r] +
                                    " is not in the kinship " + kinship.source.text.path +
                                    ": its maternal effect needs its relationships. Give a kinship that has the dams.");
        }
        if (known.insert(dam).second) individuals.levels.push_back(dam);
    }
    logger.tee << "👉 Dams: " << distinct.size() << " with records of their progeny; " << without
               << " record(s) without a dam" << (maternal ? " have no maternal effect" : " have no dam's effect")
               << std::endl;
    return individuals;
}

}  // namespace

ModelSetup set_up_model(const RunOptions& options, Logger& logger, const ModelPlan& plan,
                        const GroupCovariates* groups) {
    ModelSetup model;
    // The kinships, opened without their values; each is named and listed.
    const std::vector<std::string>& kinship_files = plan.relationship_files;
    for (std::size_t k = 0; k < kinship_files.size(); ++k) {
        ModelKinship kinship;
        kinship.name = std::find_if(plan.terms.begin(), plan.terms.end(), [&](const TermPlan& term) {
                           return term.kind == TermKind::relationship && term.relationship == static_cast<int>(k);
                       })->name;
        kinship.source = as_input_error([&] { return open_kinship_source(kinship_files[k]); });
        for (std::size_t i = 0; i < kinship.source.text.ids.size(); ++i) {
            kinship.position.emplace(kinship.source.text.ids[i], static_cast<std::int64_t>(i));
        }
        logger.tee << "👉 " << kinship.name << ": " << kinship_files[k] << ", " << kinship.source.text.ids.size()
                   << " individuals" << std::endl;
        model.kinships.push_back(std::move(kinship));
    }

    // Records of individuals in every kinship; those in some but not all are counted.
    std::unordered_set<std::string> in_any, in_all;
    for (const ModelKinship& kinship : model.kinships) {
        in_any.insert(kinship.source.text.ids.begin(), kinship.source.text.ids.end());
    }
    for (const std::string& id : in_any) {
        bool everywhere = true;
        for (const ModelKinship& kinship : model.kinships) {
            everywhere = everywhere && kinship.position.count(id) > 0;
        }
        if (everywhere) {
            in_all.insert(id);
        }
    }
    logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
    auto read = [&](const std::unordered_set<std::string>& ids) {
        return as_input_error([&] {
            return read_phenotype_records(options.phe_file, options.phe_pos, options.covar_pos, ids,
                                          options.qcovar_pos, options.rand_pos,
                                          {options.weight_pos, options.residual_pos, options.crossings, options.derived, options.covariate_terms, formula_intercept(options), options.dam_pos,
                                           options.curve_pos});
        });
    };
    if (in_all.size() < in_any.size()) {
        const PhenotypeRecords all = read(in_any);
        std::vector<std::string> dropped;
        for (const std::string& id : all.data.response.record_ids) {
            if (in_all.count(id) == 0) {
                dropped.push_back(id);
            }
        }
        if (!dropped.empty()) {
            logger.tee << "⚠️ Warning: " << dropped.size()
                       << " record(s) of individuals missing from some of the kinships are left out (a record needs "
                          "its individual in every kinship): "
                       << first_ids(dropped) << std::endl;
        }
    }
    model.records = read(in_all);
    refuse_unidentifiable_classes(options, model.records);
    if (groups != nullptr) {
        add_group_columns(model.records.data, *groups, logger);
    }
    model.trait_name = model.records.trait_name;
    check_records_and_design(options, logger, model.records.data);
    const std::vector<std::string>& record_ids = model.records.data.response.record_ids;

    // The individuals with records, in the order first met, and how many have several.
    RecordLevels individuals = levels_first_met(record_ids);
    std::vector<Eigen::Index> record_counts(individuals.levels.size(), 0);
    for (const Eigen::Index individual : individuals.level_of_record) {
        ++record_counts[static_cast<std::size_t>(individual)];
    }
    model.individuals = individuals.levels;
    model.individual_of_record = individuals.level_of_record;
    const auto repeated = std::count_if(record_counts.begin(), record_counts.end(), [](Eigen::Index c) { return c > 1; });
    logger.tee << "\t" << record_ids.size() << " records of " << model.individuals.size()
               << " individuals in every kinship, with a trait value and complete covariates, will be used."
               << std::endl;
    say_residual_structure(logger, model.records.data.residual);
    ModelPlan fitted = plan;
    if (options.pe && repeated == 0 && !options.vc_given) {
        logger.tee << "👉 --pe: no individual has more than one record, so a permanent environment cannot be told "
                      "from the residual; it is left out of the model."
                   << std::endl;
        fitted.terms.erase(std::remove_if(fitted.terms.begin(), fitted.terms.end(),
                                          [](const TermPlan& term) {
                                              return term.kind == TermKind::permanent_environment;
                                          }),
                           fitted.terms.end());
    } else if (options.pe) {
        logger.tee << "👉 PE: the permanent environment of the " << repeated
                   << " individual(s) with several records (" << model.individuals.size()
                   << " individuals with records)" << std::endl;
    }

    // The random terms (the residual is "e"); a repeatability only with a permanent environment.
    Model& description = model.records.data;
    add_random_terms(description, fitted, with_dams(logger, model, fitted, individuals), &model.records);
    fitted.terms.erase(std::remove_if(fitted.terms.begin(), fitted.terms.end(),
                                      [](const TermPlan& term) { return term.kind == TermKind::maternal; }),
                       fitted.terms.end());
    const bool permanent_environment =
        std::any_of(fitted.terms.begin(), fitted.terms.end(), [](const TermPlan& term) {
            return term.kind == TermKind::permanent_environment && term.column < 0;
        });
    for (std::size_t k = 0; k < fitted.terms.size(); ++k) {
        const TermPlan& term = fitted.terms[k];
        if (permanent_environment && term.kind != TermKind::random_class) {
            model.repeatable.push_back(static_cast<int>(k));
        }
        if (term.kind == TermKind::random_class) {
            logger.tee << "👉 " << description.terms[k].name << ": the random class of column " << term.column + 1
                       << std::endl;
        }
    }
    return model;
}

Eigen::MatrixXd kinship_at(const ModelKinship& kinship, const std::vector<std::string>& individuals) {
    std::vector<std::int64_t> positions;
    for (const std::string& id : individuals) {
        positions.push_back(kinship.position.at(id));
    }
    Eigen::MatrixXd block = as_input_error([&] { return read_block(kinship.source, positions, positions); });
    check_positive_semidefinite(block, kinship.name, kinship.source.text.path);
    return block;
}

std::vector<RandomEffect> model_effects(const ModelSetup& model, bool read_kinships) {
    std::vector<RandomEffect> effects;
    for (const RandomTerm& term : model.records.data.terms) {
        const TermPart& part = term.parts.front();
        RandomEffect effect;
        effect.name = term.name;
        effect.level_of_record = part.level_of_record;
        effect.levels = static_cast<Eigen::Index>(part.levels.size());
        if (read_kinships && part.covariance == LevelCovariance::relationship) {
            effect.kinship = kinship_at(model.kinships[static_cast<std::size_t>(part.relationship)], part.levels);
        }
        if (term.curve) {
            // A regression's block, lower triangle row by row: part a's variance over its values
            // phi_a, or the covariance of parts a and b; one kinship among them.
            const auto first = static_cast<Eigen::Index>(effects.size());
            for (std::size_t a = 0; a < term.parts.size(); ++a) {
                for (std::size_t b = 0; b <= a; ++b) {
                    RandomEffect coefficient;
                    coefficient.name = term.parts[a].name + (a == b ? "" : "," + term.parts[b].name);
                    coefficient.level_of_record = part.level_of_record;
                    coefficient.levels = effect.levels;
                    coefficient.covariate = term.parts[a].covariate;
                    if (a != b) coefficient.partner_covariate = term.parts[b].covariate;
                    if (a + b > 0 && effect.kinship.size() != 0) coefficient.kinship_of = first;
                    effects.push_back(std::move(coefficient));
                }
            }
            effects[static_cast<std::size_t>(first)].kinship = std::move(effect.kinship);
            continue;
        }
        if (term.parts.size() == 2) {
            // The direct and maternal effects: the direct's variance, their covariance, the
            // maternal's, over the one kinship, held once.
            const TermPart& maternal = term.parts[1];
            RandomEffect covariance;
            covariance.name = term.name + "," + maternal.name;
            covariance.level_of_record = part.level_of_record;
            covariance.levels = effect.levels;
            covariance.partner_level_of_record = maternal.level_of_record;
            covariance.kinship_of = static_cast<Eigen::Index>(effects.size());
            RandomEffect second = covariance;
            second.name = maternal.name;
            second.level_of_record = maternal.level_of_record;
            second.partner_level_of_record.clear();
            effects.push_back(std::move(effect));
            effects.push_back(std::move(covariance));
            effects.push_back(std::move(second));
            continue;
        }
        effects.push_back(std::move(effect));
    }
    return effects;
}

Eigen::MatrixXd kinship_columns(const ModelKinship& kinship, const std::vector<std::string>& individuals) {
    std::vector<std::int64_t> all(kinship.source.text.ids.size()), columns;
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::int64_t>(i);
    }
    for (const std::string& id : individuals) {
        columns.push_back(kinship.position.at(id));
    }
    return as_input_error([&] { return read_block(kinship.source, all, columns); });
}

Eigen::VectorXd kinship_diagonal_of(const ModelKinship& kinship) {
    std::vector<std::int64_t> all(kinship.source.text.ids.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::int64_t>(i);
    }
    const std::vector<double> diagonal = as_input_error([&] { return kinship_diagonal(kinship.source, all); });
    return Eigen::Map<const Eigen::VectorXd>(diagonal.data(), static_cast<Eigen::Index>(diagonal.size()));
}
