#pragma once

// PLINK 1 binary genotypes (.bed/.bim/.fam, marker-major) and the genomic relationship
// matrix G built from them.

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "log/console_lines.h"
#include "distributed/distributed.h"

// Dosage of the .bim's first allele (A1) for each 2-bit .bed code:
// 00 -> 2, 01 -> missing (-1), 10 -> 1, 11 -> 0.
extern const std::int8_t GENOTYPE_MAP[4];
// First three bytes of a .bed file: two magic bytes, then 0x01 = marker-major.
extern const unsigned char plink_bed_byte_header[3];

// The markers' filters that G's stream applies, each to the calls of the individuals that enter
// G; a negative value is off. A marker is removed when its missing rate is above `geno`, its
// Hardy-Weinberg exact test p below `hwe` or its minor allele frequency below `maf`.
struct MarkerThresholds {
    double geno = -1.0;
    double hwe = -1.0;
    double maf = -1.0;
};

// A genotype set whose .bim and .fam have been read and whose .bed has been opened and checked
// against them (magic bytes, marker-major mode, exact size), but not yet decoded. After
// select_genotypes the lists hold only the individuals and markers that its filters kept, and
// `individual_rows` and `marker_rows` say where each is in the files.
struct BedSet {
    std::string bed_path;
    std::string bim_path;
    std::string fam_path;
    std::vector<std::string> individual_ids;  // second .fam field, file order
    std::vector<std::string> family_ids;      // first .fam field, same order
    std::vector<std::string> marker_ids;      // second .bim field, file order
    std::vector<std::string> marker_chromosomes;  // first .bim field, same order
    std::int64_t file_individuals = 0;        // data lines of the .fam
    std::int64_t file_markers = 0;            // data lines of the .bim
    std::vector<std::int64_t> individual_rows;  // 0-based .fam data line of each individual; empty: all
    std::vector<std::int64_t> marker_rows;      // 0-based .bim data line of each marker; empty: all
    MarkerThresholds marker_thresholds;       // applied while G streams the markers
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
BedSet read_bed(const std::string& prefix, bool verbose, const ConsoleLines& console = {});

// PLINK's filters (same names, same meanings), off unless given: ID lists of individuals
// (--keep, --remove: one per line, the ID or family ID and ID) and of markers (--extract,
// --exclude), chromosome codes with ranges (--chr "1-29,X"), and the largest missing rate of an
// individual (--mind); the markers' thresholds (--geno, --hwe, --maf) are applied by G's stream.
struct GenotypeFilters {
    std::string keep_file;
    std::string remove_file;
    std::string extract_file;
    std::string exclude_file;
    std::string chromosomes;
    double mind = -1.0;
    MarkerThresholds markers;
};

// The filters in the order they are applied (PLINK 2's): the ID lists and chromosomes, then the
// individuals' missing rate over the markers left, then the markers' tests on the individuals
// left. An item removed by several is counted by the first.
enum class GenotypeFilter { keep, remove, chr, extract, exclude, mind, geno, hwe, maf };
constexpr int kGenotypeFilterCount = 9;
// "--keep", "--remove", ...
const char* genotype_filter_option(GenotypeFilter filter);
// Whether the filter removes markers (else individuals).
inline bool filters_markers(GenotypeFilter filter) {
    return !(filter == GenotypeFilter::keep || filter == GenotypeFilter::remove || filter == GenotypeFilter::mind);
}

struct RemovedItem {
    bool marker = false;  // else an individual
    std::string id;
    GenotypeFilter filter = GenotypeFilter::keep;
    double value = 0.0;  // the rate, p or frequency that failed; NaN for the ID lists and --chr
};

// What the filters removed. `counts` per filter (by its enum value); `removed` in the order the
// filters ran, each filter's items in file order.
struct FilterReport {
    std::int64_t file_individuals = 0;
    std::int64_t file_markers = 0;
    std::array<std::int64_t, kGenotypeFilterCount> counts{};
    std::vector<RemovedItem> removed;
    // IDs of --keep, --remove, --extract and --exclude files that the .fam or .bim does not hold:
    // per filter, their number and the first few.
    std::array<std::int64_t, kGenotypeFilterCount> unmatched_counts{};
    std::array<std::vector<std::string>, kGenotypeFilterCount> unmatched_first{};
    void add(RemovedItem item);
};
// "--chr removed 3, --maf removed 10": the counts of the filters of markers (or of individuals)
// that removed any, "none removed" when none did.
std::string removed_counts(const FilterReport& report, bool markers);

// Applies the filters of individuals (--keep, --remove, --mind) and the markers' ID filters
// (--chr, --extract, --exclude) to `bed`, whose lists then hold what is left; the markers'
// thresholds are stored in `bed.marker_thresholds` for G's stream. --mind streams the .bed once
// (the only pass besides G's). Throws std::runtime_error naming the file for an unreadable ID
// list, std::invalid_argument for a malformed --chr list, and std::runtime_error when fewer than
// two individuals or no marker remain.
FilterReport select_genotypes(BedSet& bed, const GenotypeFilters& filters);

// The IDs of an ID list file: for individuals (`individuals`) the only field of a line or, with
// more, the second (the .fam's first two columns: family ID, ID); for markers every field. Blank
// lines and a first line beginning with # are skipped. Throws std::runtime_error naming the file
// when it cannot be read.
std::vector<std::string> read_id_list(const std::string& path, bool individuals);

// Whether the .bim chromosome code `code` is in the --chr list `list` (codes and ranges a-b of
// whole numbers, separated by commas or spaces; a leading "chr" and the case of letters do not
// matter). Throws std::invalid_argument naming the item for an empty list, an empty item or a
// range that is not two whole numbers in order.
class ChromosomeList {
public:
    explicit ChromosomeList(const std::string& list);
    bool contains(const std::string& code) const;

private:
    std::vector<std::string> names_;
    std::vector<std::pair<long long, long long>> ranges_;
};

// The Hardy-Weinberg exact test (Wigginton, Cutler and Abecasis 2005): the probability, given
// the allele counts, of a heterozygote count at most as likely as the one observed. 1 when
// no genotype is called.
double hardy_weinberg_p(std::int64_t homozygotes_a1, std::int64_t heterozygotes, std::int64_t homozygotes_a2);

// Parentage from the genotypes, on the markers G takes (after the set's filters). For a pair
// (offspring, parent): the markers called in both and those with opposing homozygotes (no allele
// shared, which a parent cannot have with its offspring). For a trio (offspring, sire, dam): the
// markers called in all three and the Mendelian conflicts (an offspring genotype the two parents
// cannot give). Positions are indices into bed.individual_ids. Bit operations on 64 markers at a
// time; one pass over the .bed, 1 kB per individual for a block of 4096 markers.
struct GenotypePair {
    std::int64_t offspring = 0;
    std::int64_t parent = 0;
};
struct GenotypeTrio {
    std::int64_t offspring = 0;
    std::int64_t sire = 0;
    std::int64_t dam = 0;
};
struct ConflictCount {
    std::int64_t compared = 0;
    std::int64_t conflicts = 0;
};
struct ParentageCounts {
    std::vector<ConflictCount> pairs;
    std::vector<ConflictCount> trios;
    std::int64_t markers = 0;  // markers compared (kept by the thresholds)
};
ParentageCounts count_parentage_conflicts(const BedSet& bed, const std::vector<GenotypePair>& pairs,
                                          const std::vector<GenotypeTrio>& trios);

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

// Whether G has a method of this number (1, 2 or 3).
bool is_kinship_method(int method);

// G of the genotype set, streamed from the .bed in blocks of markers (peak memory G plus
// O(n x block), never the n x m dosages). Missing calls are imputed by the marker's observed
// mean, dosages centred by 2p; method 1: Z Zᵀ / (2 Σ p(1−p)); methods 2 and 3: Z D Zᵀ scaled to
// a mean diagonal of 1, with D the inverse per-marker variance (expected 2p(1−p) for 2,
// observed for 3) to the power lambda, over m. Method 1 prints "Building G matrix<seconds> 秒".
// Shows its progress on standard error when that is a terminal. `outcome` (if given) receives
// the number of markers that enter G, those with calls that vary between the individuals (mean
// imputation gives every pair all of them), and the markers the thresholds removed. Throws std::invalid_argument for
// an unknown method and std::runtime_error, naming the files, when G cannot be formed (one
// individual, zero denominator, weights that overflow, a .bed changed since read_bed).
// With `rows`, only those rows are multiplied: the result is the (last - first) x last block
// G(first..last-1, 0..last-1), equal to that block of the whole G value for value (allele
// frequencies, weights and the mean diagonal of methods 2 and 3 still come from every
// individual), in O((last - first) x last) memory.
// What G's stream made of the markers: how many entered G, and those that its filters
// (bed.marker_thresholds) removed, in marker order.
struct MarkerOutcome {
    std::int64_t markers_used = 0;
    std::vector<RemovedItem> removed;
};

// The warning about individuals without calls and the time of method 1 go to `console`.
Eigen::MatrixXd gkin_cpp(const BedSet& bed, int method, double lambda, MarkerOutcome* outcome = nullptr,
                         const RowRange* rows = nullptr, const ConsoleLines& console = {});

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
                                            MarkerOutcome* outcome = nullptr, const ConsoleLines& console = {});
// Bytes per tile value that gkin_tiles_cpp holds for `method`: 16 for method 1's exact sums
// (a transposed store beside each tile), else 8.
int kinship_tile_bytes_per_value(int method);

// The .bim's base-pair position and alleles (A1, counted, and A2) of each marker of the set, as
// text. Throws std::runtime_error naming the .bim when it cannot be read or has changed.
struct MarkerDetails {
    std::vector<std::string> positions, allele1, allele2;
};
MarkerDetails read_marker_details(const BedSet& bed);

// The marker effects behind genomic breeding values u = G alpha (alpha over the set's
// individuals, in set order): a = D Z' alpha, Z the centred genotypes and D G's scale times each
// marker's weight (1 / (2 sum pq) for method 1), so that Z a = u. Two passes over the .bed,
// taking the markers as gkin_cpp does (thresholds, imputation, weights), G never formed.
// `window`: each marker's window share, the variance over the individuals of sum_window z a (the
// `window` markers of its chromosome starting at it, in set order) over that of Z a.
// `sum_variances` (may be empty): for a block B of the markers' sqrt(w) z columns (individuals x
// columns), the variance of each column's B_c' alpha over the records, from which each effect's
// variance and its two-sided p follow. Also G's diagonal and its row `check_row`, rebuilt
// in double for a check of a G given as a file.
struct MarkerEffects {
    Eigen::VectorXd frequencies;    // of A1, per set marker; NaN for one the thresholds removed
    Eigen::VectorXd effects;        // per set marker; NaN for one not in G
    Eigen::VectorXd window_shares;  // likewise
    Eigen::VectorXd p_values;       // likewise; all NaN without `sum_variances`
    Eigen::VectorXd diagonal, row;  // of G, per set individual
    Eigen::VectorXd genomic_values;  // Z a, per set individual
    std::int64_t markers_in_g = 0;
};
MarkerEffects marker_effects(const BedSet& bed, int method, double lambda, const Eigen::VectorXd& alpha,
                             std::int64_t check_row, int window,
                             const std::function<Eigen::VectorXd(const Eigen::MatrixXd&)>& sum_variances);

// How the alleles (a1, a2) of a marker of new genotypes stand to those of its effect (b1, b2; b1
// counted): the same, swapped (count 2 - x), the same or swapped on the other strand (A<->T,
// C<->G) for a pair that is not its own complement, or unmatched: a palindromic pair (A/T, C/G)
// that is not exactly the same (the strand cannot be told), or other alleles.
enum class AlleleMatch { same, swapped, strand, strand_swapped, palindromic, other };
AlleleMatch match_alleles(const std::string& a1, const std::string& a2, const std::string& b1, const std::string& b2);

// Genomic values of the set's individuals from marker effects: value_i = sum_j (x_ij - c_j) e_j
// over the markers with a finite effect e_j (per set marker; NaN: unused) and a call, x the A1
// dosage and c_j the centre (twice the frequency the effects were estimated at, counted on the
// set's A1). One pass over the .bed; `used` counts each individual's markers with a call.
struct GenomicScores {
    Eigen::VectorXd values;
    std::vector<std::int64_t> used;
};
GenomicScores genomic_scores(const BedSet& bed, const Eigen::VectorXd& effects, const Eigen::VectorXd& centres);
