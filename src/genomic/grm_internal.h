#pragma once

// The formulas of G shared by its accumulation and its parts: per-marker centring and weights,
// the final scaling, and the reasons G cannot be formed.

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "genomic/bed_internal.h"
#include "log/console_lines.h"

// What G needs of one marker, from its code counts. The arithmetic follows the imputing
// and centring of the plain formula step for step: impute by the observed mean, then centre.
struct MarkerSummary {
    double mean = 0.0;        // mean dosage of the observed calls, 0 when none
    double frequency = 0.0;   // p = mean / 2
    double offset = 0.0;      // added to the dosage to centre it: -1 - 2(p - 0.5)
    double variance = 0.0;    // population variance of the imputed dosages (divisor n)
    bool informative = false; // false when every centred value is exactly 0
};

MarkerSummary summarise_marker(const std::array<std::int64_t, 4>& code_counts, std::int64_t n_individuals);

// Centring offset c = -1 - 2(p - 0.5), in this order of operations.
inline double centring_offset(double frequency) {
    const double shifted = frequency - 0.5;
    return -1.0 - (shifted + shifted);
}

inline constexpr double kVarianceFloor = 1e-6;

// Method 2: 1 / (m · (2p(1-p) + 1e-6)^lambda).
inline double expected_variance_weight(double frequency, double n_markers, double lambda) {
    const double variance = std::fma(2.0 * frequency, 1.0 - frequency, kVarianceFloor);
    return 1.0 / (n_markers * std::pow(variance, lambda));
}

// Method 3: 1 / ((v + 1e-6)^lambda · m), v the observed variance.
inline double observed_variance_weight(double variance, double n_markers, double lambda) {
    return 1.0 / (std::pow(variance + kVarianceFloor, lambda) * n_markers);
}

// Multiplies the lower triangle (diagonal included) by `scale` and copies it into the upper
// triangle, so the matrix is exactly symmetric.
void scale_and_mirror_lower(Eigen::MatrixXd& matrix, double scale);

// The block G(first..first+rows-1, 0..first+rows-1) of `panel` as accumulated (the rows'
// lower triangle): every value of that triangle multiplied by `scale` as scale_and_mirror_lower
// does, and the square block's upper triangle filled from its lower one.
void scale_and_mirror_panel(Eigen::MatrixXd& panel, Eigen::Index first, double scale);

enum KinshipMethod { kVanRadenMethod = 1, kExpectedVarianceMethod = 2, kObservedVarianceMethod = 3 };

// Throw std::runtime_error with the reason G cannot be formed; `where` names the data.
[[noreturn]] void fail_zero_denominator(int method, const std::string& where);
[[noreturn]] void fail_not_finite(int method, double lambda, const std::string& where);
// A lambda far below 0: weights below the smallest normal double would leave their markers out.
[[noreturn]] void fail_weights_underflow(int method, double lambda, const std::string& where);

// Whether method 1 can sum exact 8-bit products here: a build with oneDNN on a CPU with at
// least AVX2, unless ZELKORA_GRM_KERNEL=double asks for the double path.
bool integer_products_available();

// A block of markers as the exact products take it: the 8-bit dosages of the individuals decoded
// (missing calls as 0), and the missing calls listed by marker (individuals in order) and by
// individual (markers in order), each as start offsets into one array.
struct DecodedMarkers {
    std::vector<std::uint8_t> dosages;  // block x width, marker-major
    std::vector<std::int64_t> missing_of_marker_start;
    std::vector<std::int32_t> missing_individuals;
    std::vector<std::int64_t> missing_start;
    std::vector<std::int32_t> missing_markers;
};

// Individuals [global0, global0 + count) of G, decoded to [local0, local0 + count); global0 is a
// multiple of 4, so that a run starts on a .bed byte.
struct IndividualRun {
    std::int64_t global0 = 0;
    std::int64_t local0 = 0;
    std::int64_t count = 0;
};

// The individuals of a set of tiles of G: whole blocks of G's rows, in order, and the first
// decoded column of each block of G (-1 for a block without a tile).
struct TileIndividuals {
    std::vector<IndividualRun> runs;
    std::vector<std::int64_t> start_of_block;
    std::int64_t width = 0;  // individuals decoded
};
TileIndividuals tile_individuals(std::int64_t n_individuals, std::int64_t tile_size,
                                 const std::vector<std::int64_t>& row_blocks,
                                 const std::vector<std::int64_t>& col_blocks);

// Method 1's Σ_j z_ij z_kj for the rows [first, last) of G against the columns before them,
// built from exact products of the dosages. With X the 0/1/2 dosages (missing calls as 0) and
// M the marker means μ at the missing calls, the mean-imputed Y = X + M and
//   Y Yᵀ = X Xᵀ + X Mᵀ + M Xᵀ + M Mᵀ,   Z Zᵀ = Y Yᵀ − r 1ᵀ − 1 rᵀ + c,   r = Y μ, c = μᵀμ.
// X Xᵀ is whole numbers: 8-bit products summed exactly in 32 bits by oneDNN; the other terms
// are summed in double, each value in marker order, so any row range and thread count gives
// the same bits. The terms with M cost (missing rate) × the dense product. Memory: the rows'
// panel, as much again for a range not starting at row 0, and O(n × block).
class ExactCrossProducts {
public:
    ExactCrossProducts(std::int64_t first, std::int64_t last);
    std::int64_t block_capacity() const;
    // Adds informative markers: their .bed bytes and observed mean dosages.
    void add_markers(const std::vector<const unsigned char*>& markers, const std::vector<double>& means);
    // Z Zᵀ of the rows in their lower triangle, as gkin_cpp's panel (rows × last).
    Eigen::MatrixXd finish();

private:
    // The inline ones are defined (and used) only in the file of the class.
    void add_products(std::int64_t block);
    inline void add_panel(const std::int32_t* products, std::int64_t p0, std::int64_t p1);
    inline void add_missing_terms(const std::vector<double>& means);
    inline double* transposed_column(std::int64_t row);

    std::int64_t first_;
    std::int64_t last_;
    Eigen::MatrixXd lower_;       // (last - first) x last, lower triangle of the rows
    Eigen::MatrixXd transposed_;  // last x (last - first): X Mᵀ(b, a) for b < a; empty from row 0
    Eigen::VectorXd row_sums_;    // r
    double mean_squares_ = 0.0;   // c
    DecodedMarkers decoded_;      // the block, every column of the rows
    std::vector<std::int32_t> panel_products_;  // one panel's products per thread
};

// Method 1's Σ_j z_ij z_kj on a set of tiles of G's lower triangle (tile (I, J): rows
// [I nb, (I+1) nb) against columns [J nb, (J+1) nb), cut at n), for one rank of a distributed
// run. Every value gets the additions of ExactCrossProducts in its order (the integer products
// once per marker block; then μ_j x_j[a] for each marker j missing in column b, in marker order;
// μ_j² for each marker missing in both; beside them μ_j x_j[b] for each marker missing in row a;
// finished as (value + transposed + c) − (r_a + r_b)), so each value has the bits of the whole
// G's. Only the individuals of the tiles are decoded. Memory: two doubles per tile value and
// the block's dosage bytes of those individuals.
class ExactTileProducts {
public:
    ExactTileProducts(std::int64_t n_individuals, std::int64_t tile_size, std::vector<std::int64_t> row_blocks,
                      std::vector<std::int64_t> col_blocks);
    std::int64_t block_capacity() const { return 4096; }
    void add_markers(const std::vector<const unsigned char*>& markers, const std::vector<double>& means);
    // Z Zᵀ on tile t, rows x columns of the tile; above the diagonal of a diagonal tile: 0.
    std::vector<Eigen::MatrixXd> finish();

private:
    std::int64_t n_individuals_;
    std::int64_t tile_size_;
    std::vector<std::int64_t> row_blocks_;  // per tile
    std::vector<std::int64_t> col_blocks_;  // per tile
    TileIndividuals local_;                        // the individuals decoded
    std::vector<Eigen::MatrixXd> lower_;           // per tile, rows x columns
    std::vector<Eigen::MatrixXd> transposed_;      // per tile, columns x rows: X Mᵀ(b, a), b < a
    Eigen::VectorXd row_sums_;                     // r of the decoded individuals
    double mean_squares_ = 0.0;                    // c
    DecodedMarkers decoded_;                       // the block, the decoded individuals (local indices)
    std::vector<std::int32_t> tile_products_;      // one tile's products per thread
};

// Throws what gkin_cpp throws before reading a marker: an unknown method (std::invalid_argument),
// no individuals or markers, a single individual (std::runtime_error naming the file).
void check_can_build_g(const BedSet& bed, int method);

// The markers of a checked .bed as G takes them, one block at a time: read (MarkerReader),
// summarised and judged by the set's thresholds (a marker they remove is recorded and left out),
// then gathered into blocks of kept markers only, so that a filtered set is summed in the blocks
// of the same data filtered beforehand and gives its G bit for bit; weighted (methods 2 and 3:
// the square root of the weight, so that one product gives Z D Zᵀ) and left out when they
// centre to 0, with Σ p(1-p) in marker order and the individuals without any call so far.
// gkin_cpp, gkin_tiles_cpp and the parentage check read through it, so that all take every
// marker alike.
class MarkerBlocks {
public:
    MarkerBlocks(const BedSet& bed, int method, double lambda, std::int64_t block_capacity);
    // Reads and summarises the next block; false after the last one.
    bool next();
    // The markers of the set read so far (kept or not), for the progress.
    std::int64_t block_end() const { return reader_.block_start() + reader_position_; }
    std::int64_t block_markers() const { return block_markers_; }  // kept markers of the block
    std::int64_t used_columns() const { return used_columns_; }    // informative markers of the block
    // The .bed bytes of the block's k-th kept marker, the set's individuals four to a byte.
    const unsigned char* marker(std::int64_t k) const { return markers_ + k * bytes_per_marker_; }
    // The informative markers' (imputed dosage + centring offset) x sqrt(weight) into `block`,
    // one column each in marker order, the individuals of `runs` into their rows.
    void decode_informative(const std::vector<IndividualRun>& runs, Eigen::MatrixXd& block) const;
    // The informative markers of the block (their .bed bytes) and their observed mean dosages,
    // in marker order: what the exact products take.
    void informative_markers(std::vector<const unsigned char*>& markers, std::vector<double>& means) const;
    double heterozygosity() const { return heterozygosity_; }
    // Of the block's k-th kept marker: its position in the set's markers, what G takes of it, its
    // column in the decoded block (-1 when it centres to 0 and is left out) and its weight (1
    // for method 1).
    std::int64_t set_position(std::int64_t k) const { return set_positions_[static_cast<std::size_t>(k)]; }
    const MarkerSummary& summary(std::int64_t k) const { return summaries_[static_cast<std::size_t>(k)]; }
    std::int64_t column(std::int64_t k) const { return destination_[static_cast<std::size_t>(k)]; }
    double weight(std::int64_t k) const { return weights_[static_cast<std::size_t>(k)]; }
    const std::vector<std::int64_t>& without_calls() const { return without_calls_; }
    // The markers the thresholds removed so far, in marker order, and how many they kept.
    const std::vector<RemovedItem>& removed() const { return removed_; }
    std::int64_t kept_markers() const { return kept_markers_; }
    // Once every marker has been read: the factor G's sums are multiplied by, method 1 0.5 /
    // Σ p(1-p), methods 2 and 3 1 / the mean of the squared sums. Throws std::runtime_error naming
    // the .bed when it does not exist (no varying marker, weights that overflow), or the .bim
    // when the thresholds removed every marker.
    double kinship_scale(bool any_marker_used) const;

private:
    // Reads the reader's next block and judges its markers; false after the last one.
    bool read_next();

    const BedSet& bed_;
    MarkerReader reader_;
    int method_;
    double lambda_;
    std::int64_t n_individuals_;
    std::int64_t n_markers_;
    std::int64_t bytes_per_marker_;
    std::int64_t capacity_;
    std::int64_t reader_position_ = 0;  // next marker of the reader's block to take
    std::int64_t block_markers_ = 0;
    std::int64_t used_columns_ = 0;
    // The block's markers: the reader's own block when it is taken whole, else the kept markers
    // gathered into bytes_ (allocated when first needed).
    const unsigned char* markers_ = nullptr;
    std::vector<unsigned char> bytes_;
    std::vector<MarkerSummary> read_summaries_;  // of the reader's block
    std::vector<MarkerVerdict> verdicts_;        // of the reader's block
    std::vector<MarkerSummary> summaries_;       // of the block
    std::vector<std::int64_t> destination_;  // the column of each marker in the block's product, -1 when left out
    std::vector<std::int64_t> set_positions_;  // of each marker of the block
    std::vector<double> weights_;              // of each informative marker of the block
    std::vector<double> code_values_;  // 4 per informative marker: the value of each 2-bit code
    double heterozygosity_ = 0.0;
    // Methods 2 and 3: Σ_j w_j z_ij² of every individual over the markers read so far, in marker
    // order, for the mean diagonal that scales G: the same bits for every route, part and rank.
    Eigen::VectorXd squared_sums_;  // empty for method 1
    std::vector<std::int64_t> without_calls_;
    std::vector<RemovedItem> removed_;
    std::int64_t kept_markers_ = 0;
};

// The warning about individuals without any call, on standard output; nothing when none.
void warn_without_calls(const BedSet& bed, const std::vector<std::int64_t>& without_calls,
                        const ConsoleLines& console);
