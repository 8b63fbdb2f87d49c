#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
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

// Fields of one line: split at every tab (n tabs give n + 1 fields), every space removed unless
// `keep_spaces`. Carriage returns were removed before.
std::vector<std::string> split_tab_fields(const std::string& line, bool keep_spaces = false) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != ' ' || keep_spaces) {
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

Model readPhenotype(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                            const std::unordered_set<std::string>& kinship_ids, const std::vector<int>& qcovar_pos) {
    return read_phenotype_records(path, phe_pos, covar_pos, kinship_ids, qcovar_pos, {}).data;
}

PhenotypeRecords read_phenotype_records(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos,
                                        const FormulaColumns& extra) {
    return read_phenotype_records(path, std::vector<int>{phe_pos}, covar_pos, kinship_ids, qcovar_pos, rand_pos,
                                  extra);
}

namespace {

// The phenotype file as read: the records kept (a trait value, complete covariates, an ID of the
// kinship), before any design is formed from them.
struct PhenotypeTable {
    std::vector<double> trait;  // record-major, one value per trait column, NaN for "NA"
    std::vector<std::string> record_ids;
    std::vector<CovariateLevels> covariates;   // one per class covariate
    std::vector<double> numeric;               // record-major, one per numeric covariate
    std::vector<std::string> numeric_names;
    std::vector<std::string> class_names;  // of the class covariates, as the header names them
    std::vector<std::string> trait_names;
    std::vector<std::string> random_names;
    std::vector<std::vector<std::string>> random_levels;  // per random class, the level of every record
    std::vector<std::string> dam_ids;                     // "" for a record without a dam
    std::string dam_row;
    std::vector<double> curve_values;                     // the random regressions' column
    double curve_row = 0.0;
    std::vector<double> weights;
    std::vector<std::string> residual_levels;
    std::string weights_name, residual_name;
    // One record's fields while it is read, kept between records (no allocation a line).
    std::vector<int> codes;
    std::vector<std::string> random_row;
    std::vector<double> numeric_row;
    std::string joined;  // a crossing's level
    // Per derived term (record-major once kept): the numeric value and the class level.
    std::vector<double> derived_values, derived_value_row;
    std::vector<std::string> derived_levels, derived_level_row;
};

// The columns the options name, checked against the first line's `column_count`.
struct PhenotypeColumns {
    const std::string& path;
    const std::vector<int>& trait_pos;
    const std::vector<int>& covar_pos;
    const std::vector<int>& qcovar_pos;
    const std::vector<int>& rand_pos;
    FormulaColumns extra;
};

// A class field of a record: the column's text, or a crossing's, its columns' texts joined by
// ':' ("" when one of them is missing or NA, so that the record is left out as for a class).
const std::string& class_field(const std::vector<std::string>& fields, int column, const PhenotypeColumns& columns,
                               std::string& joined) {
    static const std::string missing;
    if (column < kCrossingBase) {
        const auto index = static_cast<std::size_t>(column);
        return index < fields.size() ? fields[index] : missing;
    }
    joined.clear();
    for (const int part : columns.extra.crossings.at(static_cast<std::size_t>(column - kCrossingBase))) {
        const auto index = static_cast<std::size_t>(part);
        if (index >= fields.size() || fields[index] == "NA" || fields[index].empty()) {
            return missing;
        }
        joined += (joined.empty() ? "" : ":") + fields[index];
    }
    return joined;
}

// The columns of a class column: itself, or a crossing's.
std::vector<int> class_parts(int column, const PhenotypeColumns& columns) {
    return column < kCrossingBase ? std::vector<int>{column}
                                  : columns.extra.crossings.at(static_cast<std::size_t>(column - kCrossingBase));
}

// The names of the first line: a header names the columns; without one (a record first) they are
// "Trait<c>", "Covar<c>" and "Class<c>".
void take_names(const std::vector<std::string>& fields, const std::unordered_set<std::string>& kinship_ids,
                const PhenotypeColumns& columns, PhenotypeTable& table) {
    const bool header = kinship_ids.count(fields[0]) == 0;
    const auto named = [&](int column) {
        return header && column >= 0 && static_cast<std::size_t>(column) < fields.size() &&
               !fields[static_cast<std::size_t>(column)].empty();
    };
    for (int column : columns.qcovar_pos) {
        const bool in_header = header && static_cast<std::size_t>(column) < fields.size();
        table.numeric_names.push_back(in_header ? fields[static_cast<std::size_t>(column)]
                                                : "Covar" + std::to_string(column + 1));
    }
    for (int phe_pos : columns.trait_pos) {
        table.trait_names.push_back(named(phe_pos) ? fields[static_cast<std::size_t>(phe_pos)]
                                                   : "Trait" + std::to_string(phe_pos + 1));
    }
    // A column's header name, or `fallback` and its number; a crossing's names joined by ':'.
    const auto name_of = [&](int column, const std::string& fallback) {
        std::string name;
        for (const int part : class_parts(column, columns)) {
            name += (name.empty() ? "" : ":") +
                    (named(part) ? fields[static_cast<std::size_t>(part)] : fallback + std::to_string(part + 1));
        }
        return name;
    };
    for (int column : columns.covar_pos) {
        table.class_names.push_back(name_of(column, "Covar"));
    }
    for (int column : columns.rand_pos) {
        table.random_names.push_back(name_of(column, "Class"));
    }
    if (columns.extra.weights >= 0) {
        table.weights_name = name_of(columns.extra.weights, "Column");
    }
    if (columns.extra.by >= 0) {
        table.residual_name = name_of(columns.extra.by, "Column");
    }
}

// Every column an option names lies within the first line's `column_count` columns.
void check_column_bounds(const PhenotypeColumns& columns, std::size_t column_count, bool spaced_first_line) {
    // The first line of the message stays as it always was; the next say it in the user's
    // numbers and name the usual cause, a file separated by spaces.
    const auto beyond = [&](const std::string& first_line, const std::string& option, int column) {
        std::string message = first_line + "\n" + option + " " + std::to_string(column + 1) + ": phenotype file " +
                              columns.path + " has " + std::to_string(column_count) + " column" +
                              (column_count == 1 ? "" : "s") +
                              " in its first line (columns count from 1, column 1 being the ID).";
        if (column_count == 1 && spaced_first_line) {
            message += "\nIts first line is one field with spaces in it: the file must be tab-separated (a tab "
                       "between fields, not spaces).";
        }
        return std::runtime_error(message);
    };
    for (int phe_pos : columns.trait_pos) {
        if (phe_pos < 0 || static_cast<std::size_t>(phe_pos) >= column_count) {
            throw beyond("The specified phenotype column is out of bound of phenotype file", "--phe-pos", phe_pos);
        }
    }
    for (const auto& [option, list] :
         {std::pair{"--qcovar-pos", &columns.qcovar_pos}, std::pair{"--covar-pos", &columns.covar_pos}}) {
        for (int column : *list) {
            // A crossing's columns come from the header's names, so lie within it.
            if (column < 0 || (column < kCrossingBase && static_cast<std::size_t>(column) >= column_count)) {
                throw beyond("The specified covariate column " + std::to_string(column) + " is out of bounds.",
                             option, column);
            }
        }
    }
    for (int column : columns.rand_pos) {
        if (column < 0 || (column < kCrossingBase && static_cast<std::size_t>(column) >= column_count)) {
            throw InputCheckFailure("--rand-pos column " + std::to_string(column + 1) + " is beyond the " +
                                    std::to_string(column_count) + " column(s) of the first line of " +
                                    columns.path + ".");
        }
    }
}

// One line of a record: kept in `table` when it has a trait value, complete covariates and an ID
// of the kinship.
void take_record(const std::vector<std::string>& fields, std::size_t line_number,
                 const std::unordered_set<std::string>& kinship_ids, const PhenotypeColumns& columns,
                 PhenotypeTable& table) {
    const std::string& path = columns.path;
    bool any_trait = false;
    for (int phe_pos : columns.trait_pos) {
        const auto trait_column = static_cast<std::size_t>(phe_pos);
        any_trait = any_trait || (trait_column < fields.size() && fields[trait_column] != "NA");
    }
    if (!any_trait || kinship_ids.count(fields[0]) == 0) {
        return;
    }
    // A level is entered as soon as it is met, even when a later covariate of the same
    // record is missing and the record is dropped.
    std::vector<int>& codes = table.codes;
    std::string& joined = table.joined;
    for (std::size_t c = 0; c < columns.covar_pos.size(); ++c) {
        const std::string& text = class_field(fields, columns.covar_pos[c], columns, joined);
        // An empty field is a missing value, not a level of its own.
        if (text == "NA" || text.empty()) {
            return;
        }
        CovariateLevels& levels = table.covariates[c];
        const int next_code = static_cast<int>(levels.texts.size());
        const auto [entry, inserted] = levels.code_of.emplace(text, next_code);
        if (inserted) {
            levels.texts.push_back(text);
        }
        codes[c] = entry->second;
    }
    std::vector<std::string>& random_row = table.random_row;
    for (std::size_t c = 0; c < columns.rand_pos.size(); ++c) {
        const std::string& text = class_field(fields, columns.rand_pos[c], columns, joined);
        if (text == "NA" || text.empty()) {
            return;
        }
        random_row[c] = text;
    }
    if (columns.extra.dam >= 0) {
        // A record without a dam keeps its other effects.
        const auto column = static_cast<std::size_t>(columns.extra.dam);
        const std::string text = column < fields.size() ? fields[column] : std::string();
        table.dam_row = text == "0" || text == "NA" ? std::string() : text;
    }
    if (columns.extra.curve >= 0) {
        const auto column = static_cast<std::size_t>(columns.extra.curve);
        if (column >= fields.size() || fields[column] == "NA" || fields[column].empty()) {
            return;
        }
        const NumberField number = read_number_field(fields[column]);
        if (number.kind != NumberField::kNumber) {
            throw InputCheckFailure(location(path, line_number) + ": the value \"" + fields[column] + "\" in column " +
                                    std::to_string(column + 1) + " of the random regressions is not a finite number.");
        }
        table.curve_row = number.value;
    }
    const auto residual_column = static_cast<std::size_t>(columns.extra.by);
    if (columns.extra.by >= 0 &&
        (residual_column >= fields.size() || fields[residual_column] == "NA" || fields[residual_column].empty())) {
        return;
    }
    std::vector<double>& numeric_row = table.numeric_row;
    for (std::size_t c = 0; c < columns.qcovar_pos.size(); ++c) {
        const auto column = static_cast<std::size_t>(columns.qcovar_pos[c]);
        if (column >= fields.size()) {
            throw InputCheckFailure("" + location(path, line_number) + " has " + std::to_string(fields.size()) +
                                    " field(s), so it has no column " + std::to_string(column + 1) +
                                    " (--qcovar-pos).");
        }
        if (fields[column] == "NA") {
            return;
        }
        if (c < columns.extra.covariate_terms.size()) {
            const NumberField number = read_number_field(fields[column]);
            if (number.kind != NumberField::kNumber) {
                throw InputCheckFailure(location(path, line_number) + ": term " + columns.extra.covariate_terms[c] +
                                        ": the value \"" + fields[column] + "\" in column " +
                                        table.numeric_names[c] + " is not a finite number.");
            }
            numeric_row[c] = number.value;
            continue;
        }
        numeric_row[c] = parse_numeric_covariate(fields[column], path, line_number, columns.qcovar_pos[c]);
    }
    const std::vector<DerivedTerm>& derived = columns.extra.derived;
    for (std::size_t d = 0; d < derived.size(); ++d) {
        if (derived[d].by >= 0) {
            const std::string& text = class_field(fields, derived[d].by, columns, joined);
            if (text == "NA" || text.empty()) {
                return;
            }
            table.derived_level_row[d] = text;
        }
        const auto column = static_cast<std::size_t>(derived[d].numeric);
        if (column >= fields.size() || fields[column] == "NA" || fields[column].empty()) {
            return;
        }
        const NumberField number = read_number_field(fields[column]);
        if (number.kind != NumberField::kNumber) {
            throw InputCheckFailure(location(path, line_number) + ": term " + derived[d].name + ": the value \"" +
                                    fields[column] + "\" in column " + std::to_string(column + 1) +
                                    " is not a finite number.");
        }
        table.derived_value_row[d] = number.value;
    }
    if (columns.extra.weights >= 0) {
        // A record used needs its weight: leaving it out would change the data without a word.
        const auto column = static_cast<std::size_t>(columns.extra.weights);
        const std::string text = column < fields.size() ? fields[column] : "";
        const NumberField number = read_number_field(text);
        if (number.kind != NumberField::kNumber || !(number.value > 0.0)) {
            throw InputCheckFailure(location(path, line_number) + ": the weight \"" + text + "\" in column " +
                                    table.weights_name + " (--weights) is not a finite number above 0; every record "
                                    "used needs one.");
        }
        table.weights.push_back(number.value);
    }
    if (columns.extra.by >= 0) {
        table.residual_levels.push_back(fields[residual_column]);
    }
    for (int phe_pos : columns.trait_pos) {
        const auto trait_column = static_cast<std::size_t>(phe_pos);
        table.trait.push_back(trait_column >= fields.size() || fields[trait_column] == "NA"
                                  ? std::nan("")
                                  : parse_trait(fields[trait_column], path, line_number, phe_pos));
    }
    table.numeric.insert(table.numeric.end(), numeric_row.begin(), numeric_row.end());
    table.derived_values.insert(table.derived_values.end(), table.derived_value_row.begin(),
                                table.derived_value_row.end());
    table.derived_levels.insert(table.derived_levels.end(), table.derived_level_row.begin(),
                                table.derived_level_row.end());
    table.record_ids.push_back(fields[0]);
    for (std::size_t c = 0; c < columns.covar_pos.size(); ++c) {
        table.covariates[c].record_codes.push_back(codes[c]);
    }
    for (std::size_t c = 0; c < columns.rand_pos.size(); ++c) {
        table.random_levels[c].push_back(random_row[c]);
    }
    if (columns.extra.dam >= 0) table.dam_ids.push_back(table.dam_row);
    if (columns.extra.curve >= 0) table.curve_values.push_back(table.curve_row);
}

PhenotypeTable read_phenotype_table(const std::unordered_set<std::string>& kinship_ids,
                                    const PhenotypeColumns& columns) {
    std::ifstream file(columns.path);
    if (!file.is_open()) {
        throw std::runtime_error("Could not open the phenotype file: " + columns.path);
    }
    PhenotypeTable table;
    table.covariates.resize(columns.covar_pos.size());
    table.random_levels.resize(columns.rand_pos.size());
    table.codes.resize(columns.covar_pos.size());
    table.random_row.resize(columns.rand_pos.size());
    table.numeric_row.resize(columns.qcovar_pos.size());
    table.derived_value_row.resize(columns.extra.derived.size());
    table.derived_level_row.resize(columns.extra.derived.size());
    std::size_t column_count = 0;
    bool first_line = true;
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
        if (first_line) {
            column_count = fields.size();
            first_line = false;
            spaced_first_line = cleaned.find(' ') != std::string::npos;
            take_names(fields, kinship_ids, columns, table);
        }
        check_column_bounds(columns, column_count, spaced_first_line);
        take_record(fields, line_number, kinship_ids, columns, table);
    }
    if (file.bad()) {
        throw std::runtime_error("Could not open the phenotype file: " + columns.path);
    }
    return table;
}

}  // namespace

Eigen::MatrixXd legendre_curves(const Eigen::VectorXd& x, double low, double high, int degree) {
    const Eigen::Index n = x.size();
    const Eigen::ArrayXd t = 2.0 * (x.array() - low) / (high - low) - 1.0;
    // Legendre's recurrence: (j + 1) P_{j+1} = (2j + 1) t P_j - j P_{j-1}.
    Eigen::MatrixXd P(n, degree + 1);
    P.col(0).setOnes();
    if (degree >= 1) P.col(1) = t.matrix();
    for (int j = 1; j < degree; ++j) {
        P.col(j + 1) = (((2.0 * j + 1.0) * t * P.col(j).array() - j * P.col(j - 1).array()) / (j + 1.0)).matrix();
    }
    Eigen::MatrixXd functions(n, degree + 1);
    for (int j = 0; j <= degree; ++j) {
        functions.col(j) = std::sqrt((2.0 * j + 1.0) / 2.0) * P.col(j);
    }
    return functions;
}

namespace {

// The design columns of a derived term over the records kept: for each level of its class (first
// met; one level without a class) and each function (the value, or the Legendre polynomials
// phi_j(t) = sqrt((2j + 1) / 2) P_j(t), j = 0..k, with t = 2 (x - min) / (max - min) - 1 over
// the records), the function on the level's records and 0 elsewhere.
struct DerivedBlock {
    Eigen::MatrixXd values;
    std::vector<std::string> levels;  // per column: "<class level>", "phi<j>" or "<level>:phi<j>"
};
DerivedBlock derived_block(const PhenotypeTable& table, const std::vector<DerivedTerm>& derived, std::size_t d,
                           Eigen::Index n) {
    const DerivedTerm& term = derived[d];
    const std::size_t count = derived.size();
    Eigen::VectorXd x(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        x[i] = table.derived_values[static_cast<std::size_t>(i) * count + d];
    }
    Eigen::MatrixXd functions;
    if (term.degree < 0) {
        functions = x;
    } else {
        const double low = n > 0 ? x.minCoeff() : 0.0, high = n > 0 ? x.maxCoeff() : 0.0;
        if (n > 0 && !(high > low)) {
            std::ostringstream message;
            message << "--model: term " << term.name << ": column " << term.numeric + 1 << " has one value (" << low
                    << ") among the records used; a curve over it cannot be fitted.";
            throw InputCheckFailure(message.str());
        }
        functions = legendre_curves(x, low, high, term.degree);
    }
    std::vector<std::string> classes;
    std::vector<Eigen::Index> class_of(static_cast<std::size_t>(n), 0);
    if (term.by >= 0) {
        std::unordered_map<std::string, Eigen::Index> code_of;
        for (Eigen::Index i = 0; i < n; ++i) {
            const std::string& level = table.derived_levels[static_cast<std::size_t>(i) * count + d];
            const auto [entry, added] = code_of.emplace(level, static_cast<Eigen::Index>(classes.size()));
            if (added) classes.push_back(level);
            class_of[static_cast<std::size_t>(i)] = entry->second;
        }
    } else {
        classes.push_back("");
    }
    DerivedBlock block;
    const Eigen::Index width = functions.cols();
    block.values = Eigen::MatrixXd::Zero(n, static_cast<Eigen::Index>(classes.size()) * width);
    for (Eigen::Index i = 0; i < n; ++i) {
        block.values.row(i).segment(class_of[static_cast<std::size_t>(i)] * width, width) = functions.row(i);
    }
    for (const std::string& level : classes) {
        for (Eigen::Index j = 0; j < width; ++j) {
            const std::string curve = term.degree < 0 ? "" : "phi" + std::to_string(j);
            block.levels.push_back(level.empty() ? curve : curve.empty() ? level : level + ":" + curve);
        }
    }
    return block;
}

// The trait matrix and the designs of the records read: the intercept, every level of each class
// covariate (the full design; the reduced one without each class's first level), the columns of
// the derived terms (slopes within classes, curves), then the numeric covariates, in the user's
// order.
PhenotypeRecords build_design(PhenotypeTable table, const PhenotypeColumns& columns) {
    const std::vector<int>& covar_pos = columns.covar_pos;
    const std::size_t traits = columns.trait_pos.size();
    std::vector<int> sources{-1};
    const auto n = static_cast<Eigen::Index>(table.record_ids.size());
    const auto q = static_cast<Eigen::Index>(table.numeric_names.size());
    Eigen::Index full_columns = 1 + q;
    Eigen::Index reduced_columns = 1 + q;
    for (const CovariateLevels& levels : table.covariates) {
        const auto level_count = static_cast<Eigen::Index>(levels.texts.size());
        full_columns += level_count;
        reduced_columns += level_count - 1;
    }
    std::vector<DerivedBlock> blocks;
    Eigen::Index derived_width = 0;
    for (std::size_t d = 0; d < columns.extra.derived.size(); ++d) {
        blocks.push_back(derived_block(table, columns.extra.derived, d, n));
        derived_width += blocks.back().values.cols();
    }
    full_columns += derived_width;
    reduced_columns += derived_width;
    // Record-major in `trait`: the transpose of the n x t map.
    Eigen::MatrixXd y =
        Eigen::Map<const Eigen::MatrixXd>(table.trait.data(), static_cast<Eigen::Index>(traits), n).transpose();
    Eigen::MatrixXd full_design = Eigen::MatrixXd::Zero(n, full_columns);
    Eigen::MatrixXd reduced_design = Eigen::MatrixXd::Zero(n, reduced_columns);
    full_design.col(0).setOnes();
    reduced_design.col(0).setOnes();
    std::vector<std::string> labels{"Intercept"};
    std::vector<std::string> effects{"Intercept"}, level_texts{""};

    Eigen::Index full_offset = 1;
    Eigen::Index reduced_offset = 1;
    for (std::size_t c = 0; c < table.covariates.size(); ++c) {
        const CovariateLevels& levels = table.covariates[c];
        for (Eigen::Index i = 0; i < n; ++i) {
            const int code = levels.record_codes[static_cast<std::size_t>(i)];
            full_design(i, full_offset + code) = 1.0;
            if (code > 0) {
                reduced_design(i, reduced_offset + code - 1) = 1.0;
            }
        }
        const std::string prefix = "Covar" + class_column_text(covar_pos[c], columns.extra.crossings) + "_";
        for (const std::string& level : levels.texts) {
            labels.push_back(prefix + level);
            sources.push_back(covar_pos[c]);
            effects.push_back(table.class_names[c]);
            level_texts.push_back(level);
        }
        full_offset += static_cast<Eigen::Index>(levels.texts.size());
        reduced_offset += static_cast<Eigen::Index>(levels.texts.size()) - 1;
    }
    // Numeric covariates last, in the user's order, as they are in the file.
    for (Eigen::Index c = 0; c < q; ++c) {
        for (Eigen::Index i = 0; i < n; ++i) {
            const double value = table.numeric[static_cast<std::size_t>(i * q + c)];
            full_design(i, full_offset + c) = value;
            reduced_design(i, reduced_offset + c) = value;
        }
        labels.push_back(table.numeric_names[static_cast<std::size_t>(c)]);
        sources.push_back(columns.qcovar_pos[static_cast<std::size_t>(c)]);
        effects.push_back(table.numeric_names[static_cast<std::size_t>(c)]);
        level_texts.push_back("");
    }
    // The slopes and curves are numeric columns too, after the covariates: scaled as they are.
    full_offset += q;
    reduced_offset += q;
    for (std::size_t d = 0; d < blocks.size(); ++d) {
        const Eigen::Index width = blocks[d].values.cols();
        full_design.middleCols(full_offset, width) = blocks[d].values;
        reduced_design.middleCols(reduced_offset, width) = blocks[d].values;
        const std::string& name = columns.extra.derived[d].name;
        for (const std::string& level : blocks[d].levels) {
            labels.push_back(name + (level.empty() ? "" : "_" + level));
            sources.push_back(kDerivedBase + static_cast<int>(d));
            effects.push_back(name);
            level_texts.push_back(level);
        }
        full_offset += width;
        reduced_offset += width;
    }
    PhenotypeRecords result;
    result.trait_names = std::move(table.trait_names);
    if (!result.trait_names.empty()) {  // an empty file has no names
        result.trait_name = result.trait_names.front();
    }
    result.random_names = std::move(table.random_names);
    result.random_levels = std::move(table.random_levels);
    result.dam_ids = std::move(table.dam_ids);
    result.curve_values = Eigen::Map<const Eigen::VectorXd>(table.curve_values.data(),
                                                            static_cast<Eigen::Index>(table.curve_values.size()));
    result.data.response = {std::move(y), std::move(table.record_ids)};
    result.data.fixed.full = std::move(full_design);
    result.data.fixed.reduced = std::move(reduced_design);
    result.data.fixed.labels = std::move(labels);
    result.data.fixed.sources = std::move(sources);
    result.data.fixed.numeric_columns = q + derived_width;
    result.data.fixed.effects = std::move(effects);
    result.data.fixed.levels = std::move(level_texts);
    result.data.fixed.intercept = columns.extra.intercept;
    ResidualTerm& residual = result.data.residual;
    if (columns.extra.weights >= 0) {
        residual.weights = Eigen::Map<const Eigen::VectorXd>(table.weights.data(), n);
        residual.weights_column = table.weights_name;
    }
    if (columns.extra.by >= 0) {
        std::unordered_map<std::string, Eigen::Index> class_of;
        for (const std::string& level : table.residual_levels) {
            const auto [entry, added] = class_of.emplace(level, static_cast<Eigen::Index>(residual.classes.size()));
            if (added) {
                residual.classes.push_back(level);
            }
            residual.class_of_record.push_back(entry->second);
        }
        residual.by = table.residual_name;
    }
    return result;
}

}  // namespace

std::string class_column_text(int column, const std::vector<std::vector<int>>& crossings) {
    if (column < kCrossingBase) {
        return std::to_string(column + 1);
    }
    std::string text;
    for (const int part : crossings.at(static_cast<std::size_t>(column - kCrossingBase))) {
        text += (text.empty() ? "" : ":") + std::to_string(part + 1);
    }
    return text;
}

std::vector<std::string> phenotype_header(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        throw InputCheckFailure("Could not open the phenotype file: " + path);
    }
    std::string line;
    while (std::getline(file, line)) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        if (!line.empty()) {
            return split_tab_fields(line, true);
        }
    }
    throw InputCheckFailure("phenotype file " + path + " has no line, so no header to name the columns of --model.");
}

PhenotypeRecords read_phenotype_records(const std::string& path, const std::vector<int>& trait_pos,
                                        const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos,
                                        const FormulaColumns& extra) {
    const PhenotypeColumns columns{path, trait_pos, covar_pos, qcovar_pos, rand_pos, extra};
    return build_design(read_phenotype_table(kinship_ids, columns), columns);
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
