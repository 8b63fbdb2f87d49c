#pragma once

// The checks of the kinship run before G and H and the reports they write: the genotype filters
// (PREFIX.removed.txt), parentage (PREFIX.parentage.txt), genotyped individuals outside the
// pedigree, duplicates (PREFIX.duplicates.txt), G against A22 (PREFIX.gvsa22.txt), inbreeding
// (PREFIX.inbreeding.txt) and the pictures (PREFIX.gdiag.svg, PREFIX.gvsa22.svg).

#include <string>
#include <vector>

#include <Eigen/Dense>

#include "app/app.h"
#include "genomic/genomic.h"
#include "hmatrix/hmatrix.h"
#include "pedigree/pedigree.h"

class Logger;

// The genotypes of --bedfile after the filters of individuals and the markers' ID lists, whose
// lines are in the log; the markers' thresholds follow in G's stream.
struct FilteredGenotypes {
    BedSet bed;
    FilterReport report;
    bool any_filter = false;
};
FilteredGenotypes read_filtered_genotypes(const RunOptions& options, Logger& logger);

// After G: the markers its stream removed in the log, the closing line, and `report_prefix`
// + ".removed.txt" when any filter was given.
void finish_genotype_filters(FilteredGenotypes& genotypes, const MarkerOutcome& outcome, const RunOptions& options,
                             Logger& logger, const std::string& report_prefix);

// Genotyped individuals that the pedigree does not hold: a warning with their count and the
// first IDs, or with --geno-founders, added to it as founders (they then stay in H).
void place_genotyped_outside_pedigree(const std::vector<std::string>& genotyped, Pedigree& pedigree,
                                      const RunOptions& options, Logger& logger);

// The parentage check of every genotyped offspring with a genotyped sire or dam:
// PREFIX.parentage.txt, the flagged pairs in the log, and with --parent-conflict-action unlink
// the flagged parents set unknown in `pedigree`.
void check_parentage(const BedSet& bed, Pedigree& pedigree, const RunOptions& options, Logger& logger);

// A pair of individuals (rows of G, first < second) whose genomic correlation
// G_ij / sqrt(G_ii G_jj) exceeds 0.95: a duplicated sample or identical twins.
struct DuplicatePair {
    Eigen::Index first = 0;
    Eigen::Index second = 0;
    double relationship = 0.0;  // G_ij
    double correlation = 0.0;
};
// Appends the pairs below G's diagonal in `block`, the values of G from row `first_row` and
// column `first_col` on (the whole G, or a tile of it), to `found`; `diagonal` is G's.
void find_duplicates(const Eigen::Ref<const Eigen::MatrixXd>& block, Eigen::Index first_row, Eigen::Index first_col,
                     const Eigen::VectorXd& diagonal, std::vector<DuplicatePair>& found);
// The duplicates in the log and in PREFIX.duplicates.txt, and PREFIX.gdiag.svg, the histogram
// of G's diagonal: the reports of a whole G.
void report_whole_g(std::vector<DuplicatePair> pairs, const Eigen::VectorXd& diagonal,
                    const std::vector<std::string>& ids, const RunOptions& options, Logger& logger);
// The same from G held whole; returns G's diagonal.
Eigen::VectorXd report_whole_g(const Eigen::MatrixXd& G, const std::vector<std::string>& ids,
                               const RunOptions& options, Logger& logger);

// PREFIX.gvsa22.txt and PREFIX.gvsa22.svg, and the warning of an off-diagonal correlation below 0.5.
void report_g_against_a22(const GvsA22Report& report, const RunOptions& options, Logger& logger);

// PREFIX.inbreeding.txt: every pedigree individual's F from the pedigree, and G_ii - 1 where
// `genomic_diagonal` holds its ID (NA otherwise).
void write_inbreeding_file(const Pedigree& pedigree, const std::vector<std::string>& genotyped_ids,
                           const Eigen::VectorXd& genomic_diagonal, const RunOptions& options, Logger& logger);
