#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/genotype_checks.h"
#include "hmatrix/hmatrix.h"
#include "log/failures.h"
#include "log/logger.h"
#include "log/progress_line.h"
#include "linear_algebra/cholesky.h"

namespace {

using Eigen::Index;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The core's rows among the genotyped individuals of the pedigree (`genotyped_ids`, in the
// block's order), from the IDs of --apy-core-file: one per line, blank lines skipped.
std::vector<Index> core_from_file(const std::string& filename, const std::vector<std::string>& genotyped_ids) {
    if (std::filesystem::is_directory(filename)) {
        throw InputFailure("Could not read the APY core file " + filename + ": it is a folder; give a file of IDs, "
                           "one per line.");
    }
    std::ifstream file(filename);
    if (!file.is_open()) {
        throw InputFailure("Could not open the APY core file: " + filename);
    }
    std::unordered_map<std::string, Index> row_of;
    for (std::size_t k = 0; k < genotyped_ids.size(); ++k) {
        row_of.emplace(genotyped_ids[k], static_cast<Index>(k));
    }
    std::unordered_map<Index, std::size_t> line_of;
    std::vector<Index> core;
    std::string line;
    for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
        std::istringstream words(line);
        std::string id;
        if (!(words >> id)) {
            continue;
        }
        const std::string where = "APY core file " + filename + ", line " + std::to_string(line_number) + ": \"" + id + "\"";
        if (std::string more; words >> more) {
            throw InputCheckFailure("APY core file " + filename + ", line " + std::to_string(line_number) + " holds "
                                    "more than one field (\"" + line + "\"); the core file is one ID per line.");
        }
        const auto found = row_of.find(id);
        if (found == row_of.end()) {
            throw InputCheckFailure(where + " is not a genotyped individual of the pedigree; the core is chosen among "
                                            "the individuals of both the .fam and the pedigree.");
        }
        const auto [entry, inserted] = line_of.emplace(found->second, line_number);
        if (!inserted) {
            throw InputCheckFailure(where + " is listed twice (lines " + std::to_string(entry->second) + " and " +
                                    std::to_string(line_number) + "); list each core individual once.");
        }
        core.push_back(found->second);
    }
    if (core.empty()) {
        throw InputCheckFailure("APY core file " + filename + " lists no individual; give one ID per line.");
    }
    std::sort(core.begin(), core.end());
    return core;
}

// log|H| - log|A| from the genotyped block: with H^-1 = A^-1 + [0 0; 0 B], B = tau Gw^-1 - omega
// A22^-1 (`block`, lower), it is log|A22^-1| - log|B + A22^-1|, Gw the G22 actually inverted
// (APY's where it was used).
double genotyped_log_determinant(const Eigen::MatrixXd& block, const Eigen::MatrixXd& A22_inverse) {
    Eigen::MatrixXd work = A22_inverse;
    const double pedigree_part = log_determinant_in_place(work, "A22");
    work = block + A22_inverse;  // only the lower triangle is read
    const double prior_part = log_determinant_in_place(work, "H22");
    if (!std::isfinite(pedigree_part) || !std::isfinite(prior_part)) {
        throw RunFailure("the genotyped animals' block of H is not positive definite, so REML has no log-likelihood: "
                         "check --kin-tau and --kin-omega, or the duplicated samples of the genotypes.");
    }
    return pedigree_part - prior_part;
}

// The genotyped block of H^-1, tau (G22 + 0.0001 I)^-1 - omega A22^-1, in the order of
// result.inverse.block_positions (ascending pedigree positions), each stage timed; with
// `kept`, what the marker effects and the approximate reliabilities take of it besides.
Eigen::MatrixXd genotyped_block(const RunOptions& options, Logger& logger, const Pedigree& pedigree,
                                const std::vector<double>& inbreeding, FilteredGenotypes& genotypes,
                                Eigen::VectorXd& genomic_diagonal, RelationshipInverse& result, bool kept) {
    std::vector<Index>& positions = result.inverse.block_positions;
    const BedSet& bed = genotypes.bed;
    Eigen::MatrixXd G = single_step_genomic(options, logger, genotypes);
    // Duplicates before G22 is inverted: a duplicated sample makes it near singular.
    genomic_diagonal = report_whole_g(G, bed.individual_ids, options, logger);
    const GenotypedInPedigree match = match_genotyped(pedigree.ids, bed.individual_ids);
    std::cout << match.not_in_pedigree << " individuals of G were not included in A." << std::endl;
    positions = match.pedigree_positions;
    const auto g = static_cast<Index>(positions.size());
    bool in_order = g == G.rows();
    for (Index k = 0; in_order && k < g; ++k) {
        in_order = match.genotype_rows[static_cast<std::size_t>(k)] == k;
    }
    Eigen::MatrixXd G22 = in_order ? std::move(G) : with_memory_check("G22", static_cast<std::size_t>(g), [&] {
        return gather_symmetric(G, match.genotype_rows);
    });
    G.resize(0, 0);
    if (kept) result.genomic_variances = G22.diagonal().array() + kGenomicRidge;
    // G22 would be tuned to A22 or blended with it here, before it is inverted.

    std::vector<std::string> genotyped_ids;
    for (const Index position : positions) {
        genotyped_ids.push_back(pedigree.ids[static_cast<std::size_t>(position)]);
    }
    std::vector<Index> core;
    if (options.apy_core_given) {
        if (options.apy_core > g) {
            throw InputCheckFailure("--apy-core " + std::to_string(options.apy_core) + " is more than the " +
                                    std::to_string(g) + " genotyped individuals of the pedigree; the core is a part "
                                    "of them (give at most " + std::to_string(g) + ").");
        }
        core = draw_apy_core(g, options.apy_core);
    } else if (!options.apy_core_file.empty()) {
        core = core_from_file(options.apy_core_file, genotyped_ids);
    }

    auto start = std::chrono::steady_clock::now();
    if (core.empty()) {
        logger.tee << "👉 Inverse of G22 + 0.0001 I for the " << g << " genotyped individuals..." << std::endl;
        genomic_inverse_in_place(G22);
    } else {
        logger.tee << "👉 Inverse of G22 + 0.0001 I by APY: a core of " << core.size() << " of the " << g
                   << " genotyped individuals ("
                   << (options.apy_core_given ? "drawn with seed " + std::to_string(kApyCoreSeed)
                                              : "from " + options.apy_core_file)
                   << ")..." << std::endl;
        apy_genomic_inverse_in_place(G22, core);
    }
    logger.tee << "\tdone in " << seconds_since(start) << " s" << std::endl;
    if (kept && options.snp_effects) {
        result.genomic_inverse = with_memory_check("a copy of the inverse of G22 (--snp-effects)",
                                                   static_cast<std::size_t>(g), [&] { return G22; });
    }

    start = std::chrono::steady_clock::now();
    logger.tee << "👉 A22 of the " << g << " genotyped individuals from the pedigree (without A)..." << std::endl;
    Eigen::MatrixXd A22 = with_memory_check("A22", static_cast<std::size_t>(g), [&] {
        ProgressLine progress("A22", "columns");
        return relationship_block(pedigree, inbreeding, positions, [&](Index done) { progress.update(done, g); });
    });
    logger.tee << "\tdone in " << seconds_since(start) << " s" << std::endl;
    start = std::chrono::steady_clock::now();
    logger.tee << "👉 Inverse of A22..." << std::endl;
    pedigree_block_inverse_in_place(A22);
    combine_genotyped_block(G22, A22, options.kin_tau, options.kin_omega);
    logger.tee << "\tdone in " << seconds_since(start) << " s" << std::endl;
    if (sparse_pedigree_reml(options)) result.log_determinant = genotyped_log_determinant(G22, A22);
    if (kept && g <= kMostApproximatedGenotyped) result.pedigree_block_inverse = std::move(A22);
    return G22;
}

}  // namespace

RelationshipInverse relationship_inverse_route(const RunOptions& options, Logger& logger) {
    auto start = std::chrono::steady_clock::now();
    Pedigree pedigree = read_prepared_pedigree(options, logger);
    logger.tee << "\tread, checked and ordered in " << seconds_since(start) << " s" << std::endl;
    // The checks between genotypes and pedigree come before the inverse of A, as for the dense H:
    // a parent they unlink or a genotyped founder they add is in A^-1 and in A22.
    FilteredGenotypes genotypes;
    const bool genotyped = !options.bed_prefix.empty();
    if (genotyped) {
        genotypes = read_filtered_genotypes(options, logger);
        place_genotyped_outside_pedigree(genotypes.bed.individual_ids, pedigree, options, logger);
        check_parentage(genotypes.bed, pedigree, options, logger);
    }
    const auto n = pedigree.ids.size();
    start = std::chrono::steady_clock::now();
    const std::vector<double> inbreeding = pedigree_inbreeding(pedigree);
    double largest = 0.0, sum = 0.0;
    for (const double f : inbreeding) {
        largest = std::max(largest, f);
        sum += f;
    }
    logger.tee << "👉 Inbreeding coefficients of the " << n << " individuals: mean "
               << (n == 0 ? 0.0 : sum / static_cast<double>(n)) << ", largest " << largest << " ("
               << seconds_since(start) << " s)" << std::endl;
    start = std::chrono::steady_clock::now();
    RelationshipInverse result;
    result.inverse.sparse = pedigree_inverse(pedigree, inbreeding);
    logger.tee << "👉 Inverse of A by Henderson's rules: "
               << (result.inverse.sparse.nonZeros() + result.inverse.sparse.rows()) / 2
               << " non-zero values in its lower triangle (" << seconds_since(start) << " s)" << std::endl;
    if (!pedigree.group_names.empty()) {
        result.group_fractions = group_fractions(pedigree);
        result.group_names = pedigree.group_names;
        logger.tee << "\tits last " << result.group_names.size() << " rows and columns are the unknown parent groups "
                   << "(the QP transformation)" << std::endl;
    }
    Eigen::VectorXd genomic_diagonal;
    if (genotyped) {
        // A prediction keeps what its marker effects and reliabilities take beside H^-1.
        result.inverse.block =
            genotyped_block(options, logger, pedigree, inbreeding, genotypes, genomic_diagonal, result,
                            options.run_predict);
    }
    if (sparse_pedigree_reml(options)) {
        result.log_determinant = pedigree_log_determinant(pedigree, inbreeding) + (genotyped ? result.log_determinant : 0.0);
    }
    write_inbreeding_file(pedigree, genotyped ? genotypes.bed.individual_ids : std::vector<std::string>{},
                          genomic_diagonal, options, logger);
    result.ids = pedigree.ids;
    // Prediction's approximate reliabilities and Monte Carlo REML's simulated records take them.
    if (options.run_predict || sparse_pedigree_reml(options)) {
        result.sire_index = pedigree.sire_index;
        result.dam_index = pedigree.dam_index;
        result.inbreeding = inbreeding;
    }
    return result;
}
