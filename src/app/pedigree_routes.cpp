#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "app/app.h"
#include "genomic/genomic.h"
#include "hmatrix/hmatrix.h"
#include "log/logger.h"
#include "pedigree/pedigree.h"

namespace {

// The pedigree file as rows of white-space separated words, without its header line and its
// blank lines; `line_numbers` holds the 1-based file line of every row.
struct PedigreeFileRows {
    std::vector<PedigreeRow> rows;
    std::vector<std::size_t> line_numbers;
};

std::optional<PedigreeFileRows> read_pedigree_rows(const std::string& filename) {
    std::ifstream file(filename);
    if (!file.is_open()) {
        std::cerr << "Error: Could not open input file " << filename << std::endl;
        return std::nullopt;
    }
    PedigreeFileRows content;
    std::string line;
    std::getline(file, line);  // header, whatever it holds
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

// A short first row is pedcheck's to report; a later one is named here by its file line.
void check_row_widths(const PedigreeFileRows& content, const std::string& filename) {
    if (content.rows.empty() || content.rows.front().size() < 3) {
        return;
    }
    for (std::size_t r = 1; r < content.rows.size(); ++r) {
        if (content.rows[r].size() < 3) {
            throw std::runtime_error("Pedigree file " + filename + ", line " + std::to_string(content.line_numbers[r]) +
                                     " has " + std::to_string(content.rows[r].size()) +
                                     " field(s); every line needs an ID, a sire and a dam.");
        }
    }
}

// The chain shared by both routes: file, pedcheck, ordering, A.
std::optional<std::pair<Pedigree, Eigen::MatrixXd>> pedigree_relationships(const RunOptions& options, Logger& logger) {
    std::optional<PedigreeFileRows> content = read_pedigree_rows(options.pedigree_file);
    if (!content) {
        return std::nullopt;
    }
    check_row_widths(*content, options.pedigree_file);
    std::vector<PedigreeRow> checked = pedcheck(content->rows);
    content.reset();

    std::vector<PedigreeTriple> triples;
    triples.reserve(checked.size());
    for (PedigreeRow& row : checked) {
        triples.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    checked.clear();

    logger.tee << "👉 Sorting pedigree. \n";
    Pedigree pedigree = prepare_pedigree(triples);
    logger.tee << "👉 Calculating pedigree relationship matrix. \n";
    Eigen::MatrixXd A = build_relationship_matrix(pedigree);
    return std::make_pair(std::move(pedigree), std::move(A));
}

}  // namespace

std::optional<KinshipResult> pedigree_route(const RunOptions& options, Logger& logger) {
    auto relationships = pedigree_relationships(options, logger);
    if (!relationships) {
        return std::nullopt;
    }
    auto& [pedigree, A] = *relationships;
    return KinshipResult(std::move(A), std::move(pedigree.ids));
}

std::optional<KinshipResult> single_step_route(const RunOptions& options, Logger& logger) {
    auto relationships = pedigree_relationships(options, logger);
    if (!relationships) {
        return std::nullopt;
    }
    auto& [pedigree, A] = *relationships;
    omp_set_num_threads(options.threads);
    const BedSet bed = open_bed(options.bed_prefix, true);
    logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << "...\n";
    // The G inside H always takes lambda 2; --kin-lambda belongs to the genomic route.
    const Eigen::MatrixXd G = gkin_from_bed(bed, options.kin_method, 2.0);
    logger.tee << "👉 Calculating H matrix using method ...\n";
    auto [H, ids] = Hkin(A, G, pedigree.ids, bed.individual_ids, options.kin_tau, options.kin_omega);
    return KinshipResult(std::move(H), std::move(ids));
}
