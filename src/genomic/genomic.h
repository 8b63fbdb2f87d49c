#pragma once

// PLINK 1 binary genotypes (.bed/.bim/.fam, marker-major) and the genomic relationship
// matrix G built from them.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "distributed/distributed.h"

// Dosage of the .bim's first allele (A1) for each 2-bit .bed code:
// 00 -> 2, 01 -> missing (-1), 10 -> 1, 11 -> 0.
extern const std::int8_t GENOTYPE_MAP[4];
// First three bytes of a .bed file: two magic bytes, then 0x01 = marker-major.
extern const unsigned char plink_bed_byte_header[3];

// A genotype set whose .bim and .fam have been read and whose .bed has been opened and checked
// against them (magic bytes, marker-major mode, exact size), but not yet decoded.
struct BedSet {
    std::string bed_path;
    std::string bim_path;
    std::string fam_path;
    std::vector<std::string> individual_ids;  // second .fam field, file order
    std::vector<std::string> family_ids;      // first .fam field, same order
    std::vector<std::string> marker_ids;      // second .bim field, file order
    std::vector<std::string> marker_chromosomes;  // first .bim field, same order
    // The .bed as opened and checked by read_bed; gkin_cpp reads the body from this handle, so
    // the file is opened and checked once per run.
    std::shared_ptr<std::FILE> bed_file;
};

// Reads prefix.bim and prefix.fam, prints "Reading: " (when verbose) and the counts, and
// checks prefix.bed. Every line of the .bim and .fam that is not blank has six fields; a first
// line beginning with # is a header and is skipped. Throws std::invalid_argument /
// std::runtime_error with a message naming the file: empty prefix, unreadable .bim/.fam/.bed, a
// line without six fields (named with its number), no individuals or markers, duplicate
// individual IDs, wrong header, a body that is not exactly 3 + ceil(n/4)·m bytes.
BedSet read_bed(const std::string& prefix, bool verbose);

// Rows [first, last) of G (0-based), the share of one run when G is written in parts.
struct RowRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
};

// Rows of part `part` (1 to n_parts) of the n_parts contiguous parts of G's lower triangle.
// Row r holds r + 1 values; each boundary is the row at which the running count of values comes
// nearest to k/n_parts of n(n+1)/2, so the parts hold about equal numbers of values (within a
// row), and every part has at least one row. Throws std::invalid_argument for n_parts < 1, a
// part outside 1..n_parts or more parts than individuals.
RowRange kinship_part_rows(std::int64_t n_individuals, int n_parts, int part);

// Bytes per value of the block that gkin_cpp holds for `rows` of G by `method`: 8, or 16 where
// method 1's exact sums keep a transposed store beside a block that does not start at row 0.
int kinship_block_bytes_per_value(int method, const RowRange& rows);

// G of the genotype set, streamed from the .bed in blocks of markers (peak memory G plus
// O(n x block), never the n x m dosages). Missing calls are imputed by the marker's observed
// mean, dosages centred by 2p; method 1: Z Zᵀ / (2 Σ p(1−p)); methods 2 and 3: Z D Zᵀ scaled to
// a mean diagonal of 1, with D the inverse per-marker variance (expected 2p(1−p) for 2,
// observed for 3) to the power lambda, over m. Method 1 prints "Building G matrix<seconds> 秒".
// Shows its progress on standard error when that is a terminal. `markers_used` (if given)
// receives the number of markers that enter G: those with calls that vary between the
// individuals (mean imputation gives every pair all of them). Throws std::invalid_argument for
// an unknown method and std::runtime_error, naming the files, when G cannot be formed (one
// individual, zero denominator, weights that overflow, a .bed changed since read_bed).
// With `rows`, only those rows are multiplied: the result is the (last - first) x last block
// G(first..last-1, 0..last-1), equal to that block of the whole G value for value (allele
// frequencies, weights and the mean diagonal of methods 2 and 3 still come from every
// individual), in O((last - first) x last) memory.
Eigen::MatrixXd gkin_cpp(const BedSet& bed, int method, double lambda, std::int64_t* markers_used = nullptr,
                         const RowRange* rows = nullptr);

// The tiles `tiles` (tile (I, J), I >= J: rows [I nb, (I+1) nb) against columns [J nb, (J+1) nb),
// cut at n; nb = tile_size, a multiple of 4) of the G that gkin_cpp returns, for one rank of a
// distributed run: tile t is G's block of those rows and columns, above the diagonal of a
// diagonal tile 0. Frequencies, weights and the scale come from every individual, as in gkin_cpp.
// Method 1 with integer products gives gkin_cpp's values bit for bit; the double path of methods
// 2 and 3 sums each tile with one product of its own, equal to gkin_cpp's within rounding. The
// same failures as gkin_cpp; the warning about individuals without calls only from `verbose`.
// Memory: the tiles (twice over for method 1's exact sums) and a block of markers of the tiles'
// individuals.
std::vector<Eigen::MatrixXd> gkin_tiles_cpp(const BedSet& bed, int method, double lambda, std::int64_t tile_size,
                                            const std::vector<TilePosition>& tiles, bool verbose,
                                            std::int64_t* markers_used = nullptr);
// Bytes per tile value that gkin_tiles_cpp holds for `method`: 16 for method 1's exact sums
// (a transposed store beside each tile), else 8.
int kinship_tile_bytes_per_value(int method);
