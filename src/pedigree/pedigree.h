#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/SparseCore>

#include "log/console_lines.h"

// One line of a pedigree file split at white space: ID, sire, dam, then any further fields.
using PedigreeRow = std::vector<std::string>;
// (ID, sire ID, dam ID); "0" marks an unknown parent.
using PedigreeTriple = std::array<std::string, 3>;
inline const std::string kUnknownParent = "0";

// Normalises "NA" to "0" in every field, rejects duplicate IDs and IDs used both as sire and
// as dam, and puts a founder row {P, "0", "0"} before the input rows for every parent P that
// has no row of its own (missing sires first, then missing dams). Says a summary on `console`. Throws std::runtime_error on a rejected pedigree, and ShortPedigreeRow for a row
// after the first with fewer than three fields (never reading past its end).
struct ShortPedigreeRow : std::runtime_error {
    ShortPedigreeRow(std::size_t row_index, std::size_t field_count)
        : std::runtime_error("Pedigree row " + std::to_string(row_index + 1) + " has " + std::to_string(field_count) +
                             " field(s); every row needs an ID, a sire and a dam."),
          row(row_index),
          fields(field_count) {}
    std::size_t row;     // 0-based index in the rows given
    std::size_t fields;
};
std::vector<PedigreeRow> pedcheck(const std::vector<PedigreeRow>& rows, const ConsoleLines& console = {});

// A pedigree ordered ancestors first: every individual comes after both of its parents.
struct Pedigree {
    std::vector<std::string> ids;
    std::vector<std::int32_t> sire_index;  // position in `ids`, -1 = unknown; always < own position
    std::vector<std::int32_t> dam_index;   // likewise
    std::unordered_map<std::string, std::int32_t> id_to_index;
    // Unknown parent groups: their codes, and per individual the group of its unknown sire or
    // dam (-1: a known parent, or an unknown one without a group). All empty without groups.
    std::vector<std::string> group_names;
    std::vector<std::int32_t> sire_group, dam_group;
};

// Depth-first post-order over the triples (sire's line before the dam's line, then the
// individual). Triples with ID "0" are dropped; a later triple with the same ID replaces the
// parents of the earlier one. Throws std::runtime_error naming an individual that is its own
// ancestor, or a parent that has no triple of its own.
Pedigree prepare_pedigree(const std::vector<PedigreeTriple>& triples);

// The numerator relationship matrix A by the tabular method; rows and columns follow
// `pedigree.ids`. A(i, i) - 1 is the inbreeding coefficient of individual i. `on_progress`,
// when given, receives the number of individuals done after each block of them.
Eigen::MatrixXd build_relationship_matrix(const Pedigree& pedigree,
                                          const std::function<void(Eigen::Index)>& on_progress = nullptr);

// Inbreeding coefficient of every individual (A(i, i) - 1), in `pedigree.ids` order, computed
// from the pedigree alone in O(N) memory: A is never formed.
std::vector<double> pedigree_inbreeding(const Pedigree& pedigree);

// Mendelian sampling variance of an individual, in units of the additive variance, from its
// parents' inbreeding coefficients (-1 for an unknown parent): 1/2 - (F_sire + F_dam) / 4, which
// is 1 for a founder and 3/4 - F / 4 with one known parent.
inline double mendelian_variance(double sire_inbreeding, double dam_inbreeding) {
    return 0.5 - 0.25 * (sire_inbreeding + dam_inbreeding);
}

// The inverse of A by Henderson's rules with inbreeding (Quaas 1976): every individual adds
// 1/d_i times [1, -1/2, -1/2; -1/2, 1/4, 1/4; -1/2, 1/4, 1/4] to its own and its known parents'
// rows and columns, d_i its Mendelian sampling variance. `inbreeding` is pedigree_inbreeding's
// result. Both triangles are stored, rows and columns follow `pedigree.ids`; O(N) memory and
// time. Throws std::invalid_argument when `inbreeding` does not have one value per individual.
// With unknown parent groups, a grouped unknown parent takes its part in a row and column of
// its group after the individuals' (the QP transformation, Quaas 1988): the result is the
// (N + g) square [A^-1, -A^-1 Q; -Q'A^-1, Q'A^-1 Q], positive semi-definite, d_i unchanged.
Eigen::SparseMatrix<double, Eigen::RowMajor> pedigree_inverse(const Pedigree& pedigree,
                                                              const std::vector<double>& inbreeding);

// log|A| = sum of log d_i over the individuals (A = T D T' with T unit triangular): what the
// likelihood of a model with A takes from the pedigree, without forming A.
double pedigree_log_determinant(const Pedigree& pedigree, const std::vector<double>& inbreeding);

// Q: the share of every unknown parent group in each individual's expected breeding value,
// N x g, Q_i = (Q_sire + Q_dam) / 2 with a grouped unknown parent its group's unit vector and
// an ungrouped one 0.
Eigen::MatrixXd group_fractions(const Pedigree& pedigree);

// The block of A at `positions` (row and column k belong to positions[k]) without forming A:
// with A = T D T', T = (I - P)^-1 (P holds 1/2 at each known parent) and D the Mendelian
// sampling variances, a column of A is T (D (T' e_j)), one backward and one forward sweep over
// the individual and its ancestors. Only the ancestors of `positions` take part; columns are
// swept in blocks, the blocks spread over the OpenMP threads. Memory: the g x g result plus, per
// thread, 8 x (ancestors) x (columns per block) bytes (at most 128 MB). `on_progress`, when given,
// receives the columns done (from the calling thread). Throws std::invalid_argument on a
// position outside the pedigree or `inbreeding` of the wrong length.
Eigen::MatrixXd relationship_block(const Pedigree& pedigree, const std::vector<double>& inbreeding,
                                   const std::vector<Eigen::Index>& positions,
                                   const std::function<void(Eigen::Index)>& on_progress = nullptr);
