#include <fstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/app.h"
#include "files/number_field.h"
#include "log/failures.h"

namespace {

// Fields of one line: split at every tab (n tabs give n + 1 fields), every space removed.
// Carriage returns were removed before.
std::vector<std::string> split_tab_fields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != ' ') {
            fields.back() += c;
        }
    }
    return fields;
}

std::string location(const std::string& path, std::size_t line_number) {
    return "phenotype file " + path + ", line " + std::to_string(line_number);
}

// The trait: a number that is the whole field (read_number_field), else an error naming the place.
double parse_trait(const std::string& text, const std::string& path, std::size_t line_number, int phe_pos) {
    const NumberField number = read_number_field(text);
    if (number.kind == NumberField::kNumber) {
        return number.value;
    }
    throw InputCheckFailure(location(path, line_number) + ": the trait value \"" + text + "\" in column " +
                            std::to_string(phe_pos + 1) +
                            (number.kind == NumberField::kTooLarge ? " is out of the range of a double." : " is not a number."));
}

// A numeric covariate, read as the trait is.
double parse_numeric_covariate(const std::string& text, const std::string& path, std::size_t line_number,
                               int column) {
    const NumberField number = read_number_field(text);
    if (number.kind != NumberField::kNumber) {
        throw InputCheckFailure(location(path, line_number) + ": the covariate value \"" + text + "\" in column " +
                                std::to_string(column + 1) + " (--qcovar-pos) is not a finite number.");
    }
    return number.value;
}

// One covariate column: its levels in code order and the code of every kept record.
struct CovariateLevels {
    std::unordered_map<std::string, int> code_of;
    std::vector<std::string> texts;
    std::vector<int> record_codes;
};

}  // namespace

void check_covariate_columns(const std::vector<int>& covar_pos) {
    std::unordered_set<int> seen;
    for (int column : covar_pos) {
        if (!seen.insert(column).second) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                        " is given twice in --covar-pos; give each covariate column once.");
        }
    }
}

void check_numeric_covariate_columns(const std::vector<int>& covar_pos, const std::vector<int>& qcovar_pos) {
    std::unordered_set<int> seen;
    const std::unordered_set<int> classes(covar_pos.begin(), covar_pos.end());
    for (int column : qcovar_pos) {
        if (!seen.insert(column).second) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                        " is given twice in --qcovar-pos; give each covariate column once.");
        }
        if (classes.count(column) > 0) {
            throw InputCheckFailure("column " + std::to_string(column + 1) +
                                        " is given both in --covar-pos and in --qcovar-pos; a covariate is either a "
                                        "class or a regression, not both.");
        }
    }
}

PhenotypeData readPhenotype(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                            const std::unordered_set<std::string>& kinship_ids, const std::vector<int>& qcovar_pos) {
    return read_phenotype_records(path, phe_pos, covar_pos, kinship_ids, qcovar_pos, {}).data;
}

PhenotypeRecords read_phenotype_records(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos) {
    return read_phenotype_records(path, std::vector<int>{phe_pos}, covar_pos, kinship_ids, qcovar_pos, rand_pos);
}

PhenotypeRecords read_phenotype_records(const std::string& path, const std::vector<int>& trait_pos,
                                        const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos) {
    const std::size_t traits = trait_pos.size();
    std::ifstream file(path);
    if (!file.is_open()) {
        throw std::runtime_error("Could not open the phenotype file: " + path);
    }

    std::vector<double> trait;
    std::vector<std::string> record_ids;
    std::vector<CovariateLevels> covariates(covar_pos.size());
    std::vector<int> codes(covar_pos.size());
    std::vector<double> numeric;  // record-major, qcovar_pos.size() per kept record
    std::vector<double> numeric_row(qcovar_pos.size());
    std::vector<std::string> numeric_names;
    PhenotypeRecords result;
    result.random_levels.resize(rand_pos.size());
    std::vector<std::string> random_row(rand_pos.size());
    std::size_t column_count = 0;
    bool column_count_taken = false;
    bool spaced_first_line = false;
    std::size_t line_number = 0;
    std::string line;
    while (std::getline(file, line)) {
        ++line_number;
        std::string cleaned;
        cleaned.reserve(line.size());
        for (char c : line) {
            if (c != '\r') {
                cleaned += c;
            }
        }
        // Spreadsheet exports start with a UTF-8 byte-order mark; it is no part of the first ID.
        if (line_number == 1 && cleaned.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            cleaned.erase(0, 3);
        }
        if (cleaned.empty()) {
            continue;
        }
        const std::vector<std::string> fields = split_tab_fields(cleaned);
        if (!column_count_taken) {
            column_count = fields.size();
            column_count_taken = true;
            spaced_first_line = cleaned.find(' ') != std::string::npos;
            // The header names the numeric covariates; without one (a record first) "Covar<c>".
            for (int column : qcovar_pos) {
                const bool header = kinship_ids.count(fields[0]) == 0 && static_cast<std::size_t>(column) < fields.size();
                numeric_names.push_back(header ? fields[static_cast<std::size_t>(column)]
                                               : "Covar" + std::to_string(column + 1));
            }
            for (int phe_pos : trait_pos) {
                const bool trait_header = kinship_ids.count(fields[0]) == 0 && phe_pos >= 0 &&
                                          static_cast<std::size_t>(phe_pos) < fields.size() &&
                                          !fields[static_cast<std::size_t>(phe_pos)].empty();
                result.trait_names.push_back(trait_header ? fields[static_cast<std::size_t>(phe_pos)]
                                                          : "Trait" + std::to_string(phe_pos + 1));
            }
            result.trait_name = result.trait_names.front();
            for (int column : rand_pos) {
                const bool header = kinship_ids.count(fields[0]) == 0 && static_cast<std::size_t>(column) < fields.size() &&
                                    !fields[static_cast<std::size_t>(column)].empty();
                result.random_names.push_back(header ? fields[static_cast<std::size_t>(column)]
                                                     : "Class" + std::to_string(column + 1));
            }
        }
        // The first line of the message stays as it always was; the next say it in the user's
        // numbers and name the usual cause, a file separated by spaces.
        const auto beyond = [&](const std::string& first_line, const std::string& option, int column) {
            std::string message = first_line + "\n" + option + " " + std::to_string(column + 1) + ": phenotype file " +
                                  path + " has " + std::to_string(column_count) + " column" +
                                  (column_count == 1 ? "" : "s") +
                                  " in its first line (columns count from 1, column 1 being the ID).";
            if (column_count == 1 && spaced_first_line) {
                message += "\nIts first line is one field with spaces in it: the file must be tab-separated (a tab "
                           "between fields, not spaces).";
            }
            return std::runtime_error(message);
        };
        for (int phe_pos : trait_pos) {
            if (phe_pos < 0 || static_cast<std::size_t>(phe_pos) >= column_count) {
                throw beyond("The specified phenotype column is out of bound of phenotype file", "--phe-pos", phe_pos);
            }
        }
        for (const auto& [option, columns] : {std::pair{"--qcovar-pos", &qcovar_pos}, std::pair{"--covar-pos", &covar_pos}}) {
            for (int column : *columns) {
                if (column < 0 || static_cast<std::size_t>(column) >= column_count) {
                    throw beyond("The specified covariate column " + std::to_string(column) + " is out of bounds.",
                                 option, column);
                }
            }
        }
        for (int column : rand_pos) {
            if (column < 0 || static_cast<std::size_t>(column) >= column_count) {
                throw InputCheckFailure("--rand-pos column " + std::to_string(column + 1) + " is beyond the " +
                                        std::to_string(column_count) + " column(s) of the first line of " + path +
                                        ".");
            }
        }

        bool any_trait = false;
        for (int phe_pos : trait_pos) {
            const auto trait_column = static_cast<std::size_t>(phe_pos);
            any_trait = any_trait || (trait_column < fields.size() && fields[trait_column] != "NA");
        }
        if (!any_trait || kinship_ids.count(fields[0]) == 0) {
            continue;
        }
        // A level is entered as soon as it is met, even when a later covariate of the same
        // record is missing and the record is dropped.
        bool complete = true;
        for (std::size_t c = 0; c < covar_pos.size(); ++c) {
            const auto column = static_cast<std::size_t>(covar_pos[c]);
            // An empty field is a missing value, not a level of its own.
            if (column >= fields.size() || fields[column] == "NA" || fields[column].empty()) {
                complete = false;
                break;
            }
            CovariateLevels& levels = covariates[c];
            const int next_code = static_cast<int>(levels.texts.size());
            const auto [entry, inserted] = levels.code_of.emplace(fields[column], next_code);
            if (inserted) {
                levels.texts.push_back(fields[column]);
            }
            codes[c] = entry->second;
        }
        for (std::size_t c = 0; c < rand_pos.size() && complete; ++c) {
            const auto column = static_cast<std::size_t>(rand_pos[c]);
            complete = column < fields.size() && fields[column] != "NA" && !fields[column].empty();
            if (complete) {
                random_row[c] = fields[column];
            }
        }
        for (std::size_t c = 0; c < qcovar_pos.size() && complete; ++c) {
            const auto column = static_cast<std::size_t>(qcovar_pos[c]);
            if (column >= fields.size()) {
                throw InputCheckFailure("" + location(path, line_number) + " has " +
                                         std::to_string(fields.size()) + " field(s), so it has no column " +
                                         std::to_string(column + 1) + " (--qcovar-pos).");
            }
            if (fields[column] == "NA") {
                complete = false;
            } else {
                numeric_row[c] = parse_numeric_covariate(fields[column], path, line_number, qcovar_pos[c]);
            }
        }
        if (!complete) {
            continue;
        }
        for (int phe_pos : trait_pos) {
            const auto trait_column = static_cast<std::size_t>(phe_pos);
            trait.push_back(trait_column >= fields.size() || fields[trait_column] == "NA"
                                ? std::nan("")
                                : parse_trait(fields[trait_column], path, line_number, phe_pos));
        }
        numeric.insert(numeric.end(), numeric_row.begin(), numeric_row.end());
        record_ids.push_back(fields[0]);
        for (std::size_t c = 0; c < covar_pos.size(); ++c) {
            covariates[c].record_codes.push_back(codes[c]);
        }
        for (std::size_t c = 0; c < rand_pos.size(); ++c) {
            result.random_levels[c].push_back(random_row[c]);
        }
    }
    if (file.bad()) {
        throw std::runtime_error("Could not open the phenotype file: " + path);
    }

    const auto n = static_cast<Eigen::Index>(record_ids.size());
    const auto q = static_cast<Eigen::Index>(qcovar_pos.size());
    Eigen::Index full_columns = 1 + q;
    Eigen::Index reduced_columns = 1 + q;
    for (const CovariateLevels& levels : covariates) {
        const auto level_count = static_cast<Eigen::Index>(levels.texts.size());
        full_columns += level_count;
        reduced_columns += level_count - 1;
    }
    // Record-major in `trait`: the transpose of the n x t map.
    Eigen::MatrixXd y = Eigen::Map<const Eigen::MatrixXd>(trait.data(), static_cast<Eigen::Index>(traits), n).transpose();
    Eigen::MatrixXd full_design = Eigen::MatrixXd::Zero(n, full_columns);
    Eigen::MatrixXd reduced_design = Eigen::MatrixXd::Zero(n, reduced_columns);
    full_design.col(0).setOnes();
    reduced_design.col(0).setOnes();
    std::vector<std::string> labels{"Intercept"};

    Eigen::Index full_offset = 1;
    Eigen::Index reduced_offset = 1;
    for (std::size_t c = 0; c < covariates.size(); ++c) {
        const CovariateLevels& levels = covariates[c];
        for (Eigen::Index i = 0; i < n; ++i) {
            const int code = levels.record_codes[static_cast<std::size_t>(i)];
            full_design(i, full_offset + code) = 1.0;
            if (code > 0) {
                reduced_design(i, reduced_offset + code - 1) = 1.0;
            }
        }
        const std::string prefix = "Covar" + std::to_string(covar_pos[c] + 1) + "_";
        for (const std::string& level : levels.texts) {
            labels.push_back(prefix + level);
        }
        full_offset += static_cast<Eigen::Index>(levels.texts.size());
        reduced_offset += static_cast<Eigen::Index>(levels.texts.size()) - 1;
    }
    // Numeric covariates last, in the user's order, as they are in the file.
    for (Eigen::Index c = 0; c < q; ++c) {
        for (Eigen::Index i = 0; i < n; ++i) {
            const double value = numeric[static_cast<std::size_t>(i * q + c)];
            full_design(i, full_offset + c) = value;
            reduced_design(i, reduced_offset + c) = value;
        }
        labels.push_back(numeric_names[static_cast<std::size_t>(c)]);
    }
    result.data = {std::move(y), std::move(full_design), std::move(reduced_design), std::move(record_ids),
                   std::move(labels)};
    return result;
}

std::vector<Eigen::Index> record_positions(const std::vector<std::string>& record_ids,
                                           const std::vector<std::string>& kinship_ids) {
    std::unordered_map<std::string, Eigen::Index> position_of;
    position_of.reserve(kinship_ids.size());
    for (std::size_t j = 0; j < kinship_ids.size(); ++j) {
        position_of[kinship_ids[j]] = static_cast<Eigen::Index>(j);  // a repeated ID: the later one
    }
    std::vector<Eigen::Index> positions;
    positions.reserve(record_ids.size());
    for (const std::string& id : record_ids) {
        const auto found = position_of.find(id);
        positions.push_back(found == position_of.end() ? -1 : found->second);
    }
    return positions;
}
