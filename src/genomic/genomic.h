#pragma once

// PLINK 1 binary genotypes (.bed/.bim/.fam, marker-major) and the genomic relationship
// matrix G built from them.

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <Eigen/Dense>

// Dosage of the .bim's first allele (A1) for each 2-bit .bed code:
// 00 -> 2, 01 -> missing (-1), 10 -> 1, 11 -> 0.
extern const std::int8_t GENOTYPE_MAP[4];
// First three bytes of a .bed file: two magic bytes, then 0x01 = marker-major.
extern const unsigned char plink_bed_byte_header[3];

// A genotype set whose .bim and .fam have been read and whose .bed has been checked against
// them (magic bytes, marker-major mode, exact size), but not yet decoded.
struct BedSet {
    std::string bed_path;
    std::string bim_path;
    std::string fam_path;
    std::vector<std::string> individual_ids;  // second .fam field, file order
    std::vector<std::string> family_ids;      // first .fam field, same order
    std::vector<std::string> marker_ids;      // second .bim field, file order
};

// Reads prefix.bim and prefix.fam, prints "Reading: " (when verbose) and the counts, and
// checks prefix.bed. Throws std::invalid_argument / std::runtime_error with a message naming
// the file: empty prefix, unreadable .bim/.fam/.bed, no individuals or markers, duplicate
// individual IDs, wrong header, a body that is not exactly 3 + ceil(n/4)·m bytes.
BedSet open_bed(const std::string& prefix, bool verbose);

// open_bed plus the decoded genotypes: (n x m dosage matrix, individual IDs, marker IDs).
std::tuple<Eigen::MatrixXd, std::vector<std::string>, std::vector<std::string>>
read_bed(const std::string& prefix, bool verbose);

// Decodes a whole .bed into an n_individuals x n_markers matrix of 0/1/2, -1.0 = missing.
// Note the argument order: markers first. Checks the header and the exact file size.
Eigen::MatrixXd read_bed2_cpp(const char* path, int n_markers, int n_individuals);

// Replaces every exact -1.0 by the mean of the observed entries of its column (0 when the
// column has none); `means` receives those column means.
void fill_missing_values(Eigen::MatrixXd& genotypes, Eigen::VectorXd& means);

// G from an in-memory dosage matrix (n x m, -1.0 = missing). method 1: Z Zᵀ / (2 Σ p(1−p));
// methods 2 and 3: Z D Zᵀ scaled to a mean diagonal of 1, with D the inverse per-marker
// variance (expected 2p(1−p) for 2, observed for 3) to the power lambda, over m.
// Method 1 prints "Building G matrix<seconds> 秒". Throws std::invalid_argument for an
// unknown method and std::runtime_error when G cannot be formed (no data, zero denominator,
// weights that overflow).
Eigen::MatrixXd gkin_cpp(const Eigen::MatrixXd& genotypes, int method, double lambda);

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

// The same G as gkin_cpp(read_bed(...)) up to rounding, streamed from the .bed in blocks of
// markers: peak memory is G plus O(n x block). Same messages and errors as gkin_cpp, naming
// the files; shows its progress on standard error when that is a terminal. `markers_used`
// (if given) receives the number of markers that enter G: those with calls that vary between
// the individuals (mean imputation gives every pair all of them).
// With `rows`, only those rows are multiplied: the result is the (last - first) x last block
// G(first..last-1, 0..last-1), equal to that block of the whole G value for value (allele
// frequencies, weights and the mean diagonal of methods 2 and 3 still come from every
// individual), in O((last - first) x last) memory.
Eigen::MatrixXd gkin_from_bed(const BedSet& bed, int method, double lambda, std::int64_t* markers_used = nullptr,
                              const RowRange* rows = nullptr);
