#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <omp.h>

#include "app/app.h"
#include "app/genotype_checks.h"
#include "genomic/genomic.h"
#include "hmatrix/hmatrix.h"
#include "log/failures.h"
#include "log/logger.h"
#include "log/progress_line.h"
#include "pedigree/pedigree.h"

namespace {

// The pedigree file as rows of white-space separated words, without its header line and its
// blank lines; `line_numbers` holds the 1-based file line of every row.
struct PedigreeFileRows {
    std::vector<PedigreeRow> rows;
    std::vector<std::size_t> line_numbers;
    std::string header;  // the first line, skipped
};

PedigreeFileRows read_pedigree_rows(const std::string& filename) {
    std::ifstream file(filename);
    // A folder opens as a stream on Linux and reads as an empty file.
    if (std::filesystem::is_directory(filename)) {
        throw InputFailure("Error: Could not open input file " + filename + " (it is a folder)");
    }
    if (!file.is_open()) {
        throw InputFailure("Error: Could not open input file " + filename);
    }
    std::string line;
    PedigreeFileRows content;
    std::getline(file, content.header);  // whatever it holds
    std::size_t line_number = 1;
    while (std::getline(file, line)) {
        ++line_number;
        std::istringstream words(line);
        PedigreeRow row;
        for (std::string word; words >> word;) {
            row.push_back(std::move(word));
        }
        if (!row.empty()) {
            content.rows.push_back(std::move(row));
            content.line_numbers.push_back(line_number);
        }
    }
    return content;
}

// Spellings of "unknown" from other tools; read as IDs they would make every individual with
// such a parent a relative of the others.
bool looks_like_unknown(const std::string& field) {
    return field == "." || field == "-" || field == "*" || field == "na" || field == "Na" || field == "nA" ||
           field == "NaN" || field == "nan" || field == "NULL" || field == "null";
}

std::string where(const PedigreeFileRows& content, std::size_t row, const std::string& filename) {
    return "Pedigree file " + filename + ", line " + std::to_string(content.line_numbers[row]);
}

// pedcheck's rows, with a short row named by its file line. Every row needs an individual ID,
// and unknown parents must be written as pedcheck reads them.
std::vector<PedigreeRow> check_rows(const PedigreeFileRows& content, const std::string& filename) {
    std::vector<PedigreeRow> checked;
    try {
        checked = pedcheck(content.rows, console_lines());
    } catch (const ShortPedigreeRow& short_row) {
        throw std::runtime_error(where(content, short_row.row, filename) + " has " +
                                 std::to_string(short_row.fields) + " field(s); every line needs an ID, a sire and a dam.");
    }
    for (std::size_t r = 0; r < content.rows.size(); ++r) {
        const PedigreeRow& row = content.rows[r];
        if (row[0] == "0" || row[0] == "NA" || looks_like_unknown(row[0])) {
            throw std::runtime_error(where(content, r, filename) + ": the individual ID is \"" + row[0] +
                                     "\", a code for an unknown individual; every line needs the ID of its individual.");
        }
        for (int parent = 1; parent <= 2; ++parent) {
            if (looks_like_unknown(row[static_cast<std::size_t>(parent)])) {
                throw std::runtime_error(where(content, r, filename) + ": the " + (parent == 1 ? "sire" : "dam") + " \"" +
                                         row[static_cast<std::size_t>(parent)] +
                                         "\" is not a code for an unknown parent; write 0 or NA.");
            }
        }
    }
    return checked;
}

// The first line is always a header. When it reads like an animal's line instead (its parents
// are unknown codes, or its ID is a parent further down), that animal would be lost, or kept as
// a founder without its parents: say so.
void warn_header_like_data(const PedigreeFileRows& content, const std::string& filename, Logger& logger) {
    std::string header = content.header;
    if (header.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        header.erase(0, 3);
    }
    header.erase(std::remove(header.begin(), header.end(), '\r'), header.end());
    std::istringstream words_of_header(header);
    std::vector<std::string> words;
    for (std::string word; words_of_header >> word;) {
        words.push_back(word);
    }
    if (words.size() < 3) {
        return;
    }
    const auto unknown = [](const std::string& parent) { return parent == "0" || parent == "NA"; };
    std::string reason;
    if (unknown(words[1]) || unknown(words[2])) {
        reason = "its sire or dam is 0 or NA";
    } else {
        for (std::size_t r = 0; r < content.rows.size() && reason.empty(); ++r) {
            const PedigreeRow& row = content.rows[r];
            if (row.size() >= 3 && (row[1] == words[0] || row[2] == words[0])) {
                reason = words[0] + " is a parent on line " + std::to_string(content.line_numbers[r]);
            }
        }
    }
    if (!reason.empty()) {
        logger.tee << "⚠️ Warning: pedigree file " << filename << ": the first line, \"" << header
                   << "\", is skipped as the header, but it looks like an animal's line (" << reason
                   << "). If the file has no header line, add one (ID Sire Dam): the first line is never read as an animal."
                   << std::endl;
    }
}

// The codes of --ped-groups, one a line (blank lines skipped), each once, none a code for an
// unknown parent.
std::vector<std::string> read_group_codes(const std::string& filename) {
    if (std::filesystem::is_directory(filename)) {
        throw InputFailure("Error: Could not open input file " + filename + " (it is a folder)");
    }
    std::ifstream file(filename);
    if (!file.is_open()) {
        throw InputFailure("Error: Could not open input file " + filename);
    }
    std::vector<std::string> codes;
    std::unordered_map<std::string, std::size_t> line_of;
    std::string line;
    for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
        std::istringstream words(line);
        std::string code;
        if (!(words >> code)) {
            continue;
        }
        const std::string where = "Group file " + filename + ", line " + std::to_string(line_number);
        if (std::string more; words >> more) {
            throw InputCheckFailure(where + " holds more than one field (\"" + line + "\"); the group file is one "
                                    "code per line.");
        }
        if (code == "0" || code == "NA" || looks_like_unknown(code)) {
            throw InputCheckFailure(where + ": \"" + code + "\" marks an unknown parent without a group; give "
                                    "each group a code of its own.");
        }
        const auto [entry, inserted] = line_of.emplace(code, line_number);
        if (!inserted) {
            throw InputCheckFailure(where + ": the group \"" + code + "\" is listed twice (lines " +
                                    std::to_string(entry->second) + " and " + std::to_string(line_number) + ").");
        }
        codes.push_back(code);
    }
    if (codes.empty()) {
        throw InputCheckFailure("Group file " + filename + " lists no group; give one code per line.");
    }
    return codes;
}

// Every sire or dam field that is a group code becomes "0", an unknown parent, and the group is
// kept by individual (its last line wins, as for its parents). An individual whose ID is a group
// code is refused.
std::unordered_map<std::string, std::array<std::int32_t, 2>> take_group_parents(
    PedigreeFileRows& content, const std::vector<std::string>& codes, const RunOptions& options) {
    std::unordered_map<std::string, std::int32_t> group_of;
    for (std::size_t g = 0; g < codes.size(); ++g) {
        group_of.emplace(codes[g], static_cast<std::int32_t>(g));
    }
    std::unordered_map<std::string, std::array<std::int32_t, 2>> groups;
    for (std::size_t r = 0; r < content.rows.size(); ++r) {
        PedigreeRow& row = content.rows[r];
        if (group_of.count(row[0]) != 0) {
            throw InputCheckFailure(where(content, r, options.pedigree_file) + ": the individual \"" + row[0] +
                                    "\" is also a group of --ped-groups " + options.ped_groups_file +
                                    "; a group stands for unknown parents: give it a code that is no individual's.");
        }
        if (row.size() < 3) {
            continue;  // refused by the checks that follow, naming the line
        }
        std::array<std::int32_t, 2> parent_groups{-1, -1};
        for (std::size_t parent = 1; parent <= 2; ++parent) {
            const auto found = group_of.find(row[parent]);
            if (found != group_of.end()) {
                parent_groups[parent - 1] = found->second;
                row[parent] = kUnknownParent;
            }
        }
        groups[row[0]] = parent_groups;
    }
    return groups;
}

// Each individual's groups in pedigree order, with a count per group in the log; a group that is
// no one's parent is said (it has no records behind it).
void assign_groups(Pedigree& pedigree, std::vector<std::string> codes,
                   const std::unordered_map<std::string, std::array<std::int32_t, 2>>& parent_groups,
                   const RunOptions& options, Logger& logger) {
    pedigree.group_names = std::move(codes);
    pedigree.sire_group.assign(pedigree.ids.size(), -1);
    pedigree.dam_group.assign(pedigree.ids.size(), -1);
    std::vector<std::size_t> parents(pedigree.group_names.size(), 0);
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        const auto found = parent_groups.find(pedigree.ids[i]);
        if (found == parent_groups.end()) {
            continue;  // a parent without a line of its own: a founder without groups
        }
        pedigree.sire_group[i] = found->second[0];
        pedigree.dam_group[i] = found->second[1];
        for (const std::int32_t g : found->second) {
            if (g >= 0) {
                ++parents[static_cast<std::size_t>(g)];
            }
        }
    }
    logger.tee << "👉 Unknown parent groups (--ped-groups " << options.ped_groups_file << "), unknown parents in each:";
    std::vector<std::string> unused;
    for (std::size_t g = 0; g < parents.size(); ++g) {
        logger.tee << (g == 0 ? " " : ", ") << pedigree.group_names[g] << " " << parents[g];
        if (parents[g] == 0) {
            unused.push_back(pedigree.group_names[g]);
        }
    }
    logger.tee << std::endl;
    if (!unused.empty()) {
        std::string list;
        for (const std::string& name : unused) {
            list += (list.empty() ? "" : ", ") + name;
        }
        logger.tee << "⚠️ Warning: group(s) " << list << " of " << options.ped_groups_file
                   << " are the parent of no individual of the pedigree." << std::endl;
    }
}

}  // namespace

Pedigree read_prepared_pedigree(const RunOptions& options, Logger& logger) {
    std::vector<PedigreeRow> checked;
    std::vector<std::string> group_codes;
    std::unordered_map<std::string, std::array<std::int32_t, 2>> parent_groups;
    {
        PedigreeFileRows content = read_pedigree_rows(options.pedigree_file);
        if (!options.ped_groups_file.empty()) {
            group_codes = read_group_codes(options.ped_groups_file);
            parent_groups = take_group_parents(content, group_codes, options);
        }
        checked = check_rows(content, options.pedigree_file);
        warn_header_like_data(content, options.pedigree_file, logger);
    }

    std::vector<PedigreeTriple> triples;
    triples.reserve(checked.size());
    for (PedigreeRow& row : checked) {
        triples.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    checked.clear();

    logger.tee << "👉 Sorting pedigree. \n";
    Pedigree pedigree = prepare_pedigree(triples);
    if (!group_codes.empty()) {
        assign_groups(pedigree, std::move(group_codes), parent_groups, options, logger);
    }
    return pedigree;
}

namespace {

Eigen::MatrixXd pedigree_relationships(const Pedigree& pedigree, Logger& logger) {
    logger.tee << "👉 Calculating pedigree relationship matrix. \n";
    return with_memory_check("A", pedigree.ids.size(), [&] {
        ProgressLine progress("A", "individuals");
        const auto total = static_cast<std::int64_t>(pedigree.ids.size());
        return build_relationship_matrix(pedigree, [&](Eigen::Index done) { progress.update(done, total); });
    });
}

}  // namespace

Eigen::MatrixXd single_step_genomic(const RunOptions& options, Logger& logger, FilteredGenotypes& genotypes) {
    const BedSet& bed = genotypes.bed;
    logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << "...\n";
    // The G inside H always takes lambda 2; --kin-lambda belongs to the genomic route.
    MarkerOutcome outcome;
    Eigen::MatrixXd G = with_memory_check("G", bed.individual_ids.size(),
                                          [&] { return gkin_cpp(bed, options.kin_method, 2.0, &outcome, nullptr, console_lines()); });
    finish_genotype_filters(genotypes, outcome, options, logger, options.out_prefix);
    return G;
}

KinshipResult pedigree_route(const RunOptions& options, Logger& logger) {
    Pedigree pedigree = read_prepared_pedigree(options, logger);
    Eigen::MatrixXd A = pedigree_relationships(pedigree, logger);
    write_inbreeding_file(pedigree, {}, Eigen::VectorXd(), options, logger);
    return KinshipResult(std::move(A), std::move(pedigree.ids));
}

// The checks between the genotypes and the pedigree come before A, so that a parent they unlink
// or a genotyped founder they add is in A and H.
KinshipResult single_step_route(const RunOptions& options, Logger& logger) {
    Pedigree pedigree = read_prepared_pedigree(options, logger);
    omp_set_num_threads(options.threads);
    FilteredGenotypes genotypes = read_filtered_genotypes(options, logger);
    const BedSet& bed = genotypes.bed;
    place_genotyped_outside_pedigree(bed.individual_ids, pedigree, options, logger);
    check_parentage(bed, pedigree, options, logger);
    Eigen::MatrixXd A = pedigree_relationships(pedigree, logger);
    Eigen::MatrixXd G = single_step_genomic(options, logger, genotypes);
    const Eigen::VectorXd genomic_diagonal = report_whole_g(G, bed.individual_ids, options, logger);
    logger.tee << "👉 Calculating H matrix using method ...\n";
    // A and G are moved in: Hkin frees them once H has their blocks.
    const auto n_individuals = static_cast<std::size_t>(A.rows());
    G22Adjustment adjustment;
    adjustment.tune = options.kin_tune;
    adjustment.alpha = options.kin_alpha;
    adjustment.beta = options.kin_beta;
    GvsA22Report comparison;
    auto [H, ids] = with_memory_check("H", n_individuals, [&] {
        return Hkin(std::move(A), std::move(G), pedigree.ids, bed.individual_ids, options.kin_tau, options.kin_omega,
                    adjustment, &comparison, console_lines());
    });
    report_g_against_a22(comparison, options, logger);
    write_inbreeding_file(pedigree, bed.individual_ids, genomic_diagonal, options, logger);
    return KinshipResult(std::move(H), std::move(ids));
}
