#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "genomic/grm_internal.h"
#include "linear_algebra/huge_pages.h"
#include "log/progress_line.h"

namespace {

constexpr unsigned kMissingCode = 1;  // the 2-bit .bed code 01

// Markers per rank-k update. The block costs 8·n·1024 bytes beside G (33 MB at n = 4,000),
// and k = 1024 is well past the size where the update runs at full speed.
constexpr std::int64_t kStreamBlockMarkers = 1024;

// The rows [first, first + panel_rows) of G against the columns before them: the rectangle
// panel(:, 0..first) += B(rows) B(0..first)ᵀ. OpenBLAS's general product does not sum every
// value in the order of its symmetric update of the whole G (it splits the markers and picks
// kernels by other rules; parts differed in the last bits), and a part must match the whole bit
// for bit. So each tile of the rectangle is
// taken from a symmetric update of the stacked rows [earlier rows; part rows], with the tile's
// running sums copied in and out: twice the products of the tile, the same sums as the whole.
void add_rows_against_earlier_columns(const Eigen::MatrixXd& block, std::int64_t columns, std::int64_t first,
                                      int panel_rows, bool started, Eigen::MatrixXd& panel) {
    constexpr Eigen::Index kTile = 1024;
    const Eigen::Index used = static_cast<Eigen::Index>(columns);
    Eigen::MatrixXd stacked;
    Eigen::MatrixXd sums;
    for (Eigen::Index row_tile = 0; row_tile < panel_rows; row_tile += kTile) {
        const Eigen::Index tile_rows = std::min<Eigen::Index>(kTile, panel_rows - row_tile);
        for (Eigen::Index col_tile = 0; col_tile < first; col_tile += kTile) {
            const Eigen::Index tile_cols = std::min<Eigen::Index>(kTile, first - col_tile);
            const Eigen::Index size = tile_cols + tile_rows;
            stacked.resize(size, used);
            stacked.topRows(tile_cols) = block.block(col_tile, 0, tile_cols, used);
            stacked.bottomRows(tile_rows) = block.block(first + row_tile, 0, tile_rows, used);
            sums.setZero(size, size);
            if (started) {
                sums.block(tile_cols, 0, tile_rows, tile_cols) = panel.block(row_tile, col_tile, tile_rows, tile_cols);
            }
            cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, static_cast<int>(size), static_cast<int>(used), 1.0,
                        stacked.data(), static_cast<int>(size), started ? 1.0 : 0.0, sums.data(),
                        static_cast<int>(size));
            panel.block(row_tile, col_tile, tile_rows, tile_cols) = sums.block(tile_cols, 0, tile_rows, tile_cols);
        }
    }
}

}  // namespace

bool is_kinship_method(int method) {
    return method == kVanRadenMethod || method == kExpectedVarianceMethod || method == kObservedVarianceMethod;
}

void check_can_build_g(const BedSet& bed, int method) {
    if (!is_kinship_method(method)) {
        throw std::invalid_argument("Invalid kinship method!");
    }
    const std::size_t n_individuals = bed.individual_ids.size();
    const std::size_t n_markers = bed.marker_ids.size();
    if (n_individuals == 0) {
        fail_no_individuals(bed.fam_path);
    }
    if (n_markers == 0) {
        fail_no_markers(bed.bim_path);
    }
    if (n_individuals == 1) {
        throw std::runtime_error("Cannot build G from " + bed.fam_path + ": it lists one individual (" +
                                 bed.individual_ids[0] + "); relationships need at least two individuals.");
    }
}

MarkerBlocks::MarkerBlocks(const BedSet& bed, int method, double lambda, std::int64_t block_capacity)
    : bed_(bed),
      reader_(bed, block_capacity),
      method_(method),
      lambda_(lambda),
      n_individuals_(static_cast<std::int64_t>(bed.individual_ids.size())),
      n_markers_(static_cast<std::int64_t>(bed.marker_ids.size())),
      bytes_per_marker_(bed_bytes_per_marker(n_individuals_)),
      capacity_(reader_.capacity()) {
    const std::size_t capacity = static_cast<std::size_t>(capacity_);
    read_summaries_.resize(capacity);
    verdicts_.resize(capacity);
    summaries_.resize(capacity);
    destination_.resize(capacity);
    set_positions_.resize(capacity);
    weights_.resize(capacity, 1.0);
    code_values_.resize(4 * capacity);
    if (method != kVanRadenMethod) {
        squared_sums_.setZero(n_individuals_);
    }
    // Individuals without any call so far; the list shrinks to nothing within a few markers
    // on real data, so the check costs next to nothing.
    without_calls_.resize(static_cast<std::size_t>(n_individuals_));
    for (std::int64_t i = 0; i < n_individuals_; ++i) {
        without_calls_[static_cast<std::size_t>(i)] = i;
    }
}

bool MarkerBlocks::read_next() {
    if (!reader_.next()) {
        return false;
    }
    reader_position_ = 0;
    const MarkerThresholds& thresholds = bed_.marker_thresholds;
#pragma omp parallel for schedule(static)
    for (std::int64_t k = 0; k < reader_.block_markers(); ++k) {
        const std::array<std::int64_t, 4> counts = count_bed_codes(reader_.marker(k), n_individuals_);
        read_summaries_[static_cast<std::size_t>(k)] = summarise_marker(counts, n_individuals_);
        verdicts_[static_cast<std::size_t>(k)] = judge_marker(counts, thresholds);
    }
    return true;
}

bool MarkerBlocks::next() {
    // Kept markers of as many of the reader's blocks as it takes to fill the block.
    block_markers_ = 0;
    while (block_markers_ < capacity_) {
        if (reader_position_ >= reader_.block_markers() && !read_next()) {
            reader_position_ = 0;  // the reader's last block is behind it
            break;
        }
        const std::int64_t read = reader_.block_markers();
        if (reader_position_ == 0 && block_markers_ == 0 &&
            std::none_of(verdicts_.begin(), verdicts_.begin() + read, [](const MarkerVerdict& v) { return v.removed; })) {
            // Nothing removed from the reader's block (always so without thresholds): it is the
            // block, without a copy.
            markers_ = reader_.marker(0);
            std::copy(read_summaries_.begin(), read_summaries_.begin() + read, summaries_.begin());
            for (std::int64_t k = 0; k < read; ++k) {
                set_positions_[static_cast<std::size_t>(k)] = reader_.block_start() + k;
            }
            block_markers_ = read;
            reader_position_ = read;
            break;
        }
        if (bytes_.empty()) {
            bytes_.resize(static_cast<std::size_t>(capacity_ * bytes_per_marker_));
        }
        markers_ = bytes_.data();
        for (; reader_position_ < reader_.block_markers() && block_markers_ < capacity_; ++reader_position_) {
            const std::size_t k = static_cast<std::size_t>(reader_position_);
            if (verdicts_[k].removed) {
                removed_.push_back({true, bed_.marker_ids[static_cast<std::size_t>(reader_.block_start()) + k],
                                    verdicts_[k].filter, verdicts_[k].value});
                continue;
            }
            std::copy(reader_.marker(reader_position_), reader_.marker(reader_position_) + bytes_per_marker_,
                      bytes_.begin() + block_markers_ * bytes_per_marker_);
            set_positions_[static_cast<std::size_t>(block_markers_)] = reader_.block_start() + reader_position_;
            summaries_[static_cast<std::size_t>(block_markers_++)] = read_summaries_[k];
        }
    }
    used_columns_ = 0;
    if (block_markers_ == 0) {
        return false;
    }
    kept_markers_ += block_markers_;
    for (std::int64_t k = 0; k < block_markers_ && !without_calls_.empty(); ++k) {
        const unsigned char* bytes = marker(k);
        without_calls_.erase(std::remove_if(without_calls_.begin(), without_calls_.end(),
                                            [&](std::int64_t i) {
                                                return ((bytes[i / 4] >> (2 * (i % 4))) & 3) != kMissingCode;
                                            }),
                             without_calls_.end());
    }
    // Markers whose centred column is exactly 0 (monomorphic, all heterozygous, no calls)
    // add nothing to G and are left out of the product.
    const double markers = static_cast<double>(n_markers_);
    for (std::int64_t k = 0; k < block_markers_; ++k) {
        const MarkerSummary& marker_summary = summaries_[static_cast<std::size_t>(k)];
        heterozygosity_ += marker_summary.frequency * (1.0 - marker_summary.frequency);
        if (!marker_summary.informative) {
            destination_[static_cast<std::size_t>(k)] = -1;
            continue;
        }
        double weight = 1.0;
        if (method_ == kExpectedVarianceMethod) {
            weight = expected_variance_weight(marker_summary.frequency, markers, lambda_);
        } else if (method_ == kObservedVarianceMethod) {
            weight = observed_variance_weight(marker_summary.variance, markers, lambda_);
        }
        if (weight < std::numeric_limits<double>::min()) {
            fail_weights_underflow(method_, lambda_, bed_.bed_path);
        }
        weights_[static_cast<std::size_t>(k)] = weight;
        // Per code: (imputed dosage + centring offset) x sqrt(w); a missing call takes the mean.
        const double scale = std::sqrt(weight);
        for (int code = 0; code < 4; ++code) {
            const double dosage = GENOTYPE_MAP[code] < 0 ? marker_summary.mean : GENOTYPE_MAP[code];
            code_values_[static_cast<std::size_t>(4 * k + code)] = (dosage + marker_summary.offset) * scale;
        }
        destination_[static_cast<std::size_t>(k)] = used_columns_++;
    }
    if (squared_sums_.size() == 0 || used_columns_ == 0) {
        return true;
    }
    // Methods 2 and 3: Σ w z² of every individual, each value the one the product multiplies.
    constexpr std::int64_t kChunk = 2048;
#pragma omp parallel for schedule(static)
    for (std::int64_t chunk = 0; chunk < n_individuals_; chunk += kChunk) {
        const std::int64_t chunk_end = std::min(n_individuals_, chunk + kChunk);
        for (std::int64_t k = 0; k < block_markers_; ++k) {
            if (destination_[static_cast<std::size_t>(k)] < 0) {
                continue;
            }
            const unsigned char* bytes = marker(k);
            const double* value_of_code = code_values_.data() + 4 * k;
            for (std::int64_t i = chunk; i < chunk_end; ++i) {
                const double value = value_of_code[(bytes[i / 4] >> (2 * (i % 4))) & 3];
                squared_sums_[i] += value * value;
            }
        }
    }
    return true;
}

void MarkerBlocks::decode_informative(const std::vector<IndividualRun>& runs, Eigen::MatrixXd& block) const {
#pragma omp parallel for schedule(static)
    for (std::int64_t k = 0; k < block_markers_; ++k) {
        const std::int64_t column = destination_[static_cast<std::size_t>(k)];
        if (column < 0) {
            continue;
        }
        for (const IndividualRun& run : runs) {
            decode_bed_marker(marker(k) + run.global0 / 4, run.count, code_values_.data() + 4 * k,
                              block.col(column).data() + run.local0);
        }
    }
}

void MarkerBlocks::informative_markers(std::vector<const unsigned char*>& markers, std::vector<double>& means) const {
    markers.clear();
    means.clear();
    for (std::int64_t k = 0; k < block_markers_; ++k) {
        if (destination_[static_cast<std::size_t>(k)] >= 0) {
            markers.push_back(marker(k));
            means.push_back(summaries_[static_cast<std::size_t>(k)].mean);
        }
    }
}

double MarkerBlocks::kinship_scale(bool any_marker_used) const {
    if (kept_markers_ == 0 && !removed_.empty()) {
        FilterReport report;
        for (const RemovedItem& item : removed_) {
            report.add(item);
        }
        throw std::runtime_error("The filters removed all " + std::to_string(n_markers_) + " markers left for G from " +
                                 bed_.bim_path + " (" + removed_counts(report, true) + "); relax --geno, --hwe or --maf.");
    }
    const int method = method_;
    const std::string& bed_path = bed_.bed_path;
    if (method == kVanRadenMethod) {
        if (!(heterozygosity_ > 0.0)) {
            fail_zero_denominator(method, bed_path);
        }
        if (!any_marker_used) {
            // Markers heterozygous in everyone have p(1-p) > 0 but centre to 0: G would be 0.
            throw std::runtime_error("Cannot build G by method 1 from " + bed_path +
                                     ": no marker varies between the individuals (every marker is monomorphic, "
                                     "heterozygous in all of them or without calls), so every relationship "
                                     "would be 0.");
        }
        return 0.5 / heterozygosity_;
    }
    double trace = 0.0;
    for (Eigen::Index k = 0; k < squared_sums_.size(); ++k) {
        trace += squared_sums_[k];
    }
    const double mean_diagonal = trace / static_cast<double>(squared_sums_.size());
    if (mean_diagonal == 0.0) {
        fail_zero_denominator(method, bed_path);
    }
    // Overflowed weights give an infinite trace; a part's own rows need not show it.
    if (!std::isfinite(mean_diagonal)) {
        fail_not_finite(method, lambda_, bed_path);
    }
    return 1.0 / mean_diagonal;
}

void warn_without_calls(const BedSet& bed, const std::vector<std::int64_t>& without_calls,
                        const ConsoleLines& console) {
    if (without_calls.empty()) {
        return;
    }
    std::string text = "⚠️ Warning: " + std::to_string(without_calls.size()) + " individual(s) of " + bed.fam_path +
                       " have no genotype call at any marker (first: ";
    for (std::size_t k = 0; k < std::min<std::size_t>(5, without_calls.size()); ++k) {
        text += (k > 0 ? ", " : "") + bed.individual_ids[static_cast<std::size_t>(without_calls[k])];
    }
    say(console, text + "); their rows of G are those of the population mean.\n");
}

Eigen::MatrixXd gkin_cpp(const BedSet& bed, int method, double lambda, MarkerOutcome* outcome,
                         const RowRange* rows, const ConsoleLines& console) {
    check_can_build_g(bed, method);
    const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
    const std::int64_t n_markers = static_cast<std::int64_t>(bed.marker_ids.size());
    // Rows [first, last) of G are multiplied; the whole G is the range of every row.
    const std::int64_t first = rows != nullptr ? rows->first : 0;
    const std::int64_t last = rows != nullptr ? rows->last : n_individuals;
    if (first < 0 || first >= last || last > n_individuals) {
        throw std::invalid_argument("Rows " + std::to_string(first) + " to " + std::to_string(last) +
                                    " are not a range of the " + std::to_string(n_individuals) + " rows of G.");
    }
    const int panel_rows = static_cast<int>(last - first);
    const auto start = std::chrono::system_clock::now();

    // Method 1 sums exact 8-bit products of the dosages where the CPU multiplies bytes faster
    // than doubles; methods 2 and 3 weight each marker, so they multiply the weighted centred
    // dosages in double, as method 1 does elsewhere.
    std::optional<ExactCrossProducts> exact;
    if (method == kVanRadenMethod && integer_products_available()) {
        exact.emplace(first, last);
    }
    MarkerBlocks blocks(bed, method, lambda, exact ? exact->block_capacity() : kStreamBlockMarkers);
    const std::int64_t block_capacity = std::min(exact ? exact->block_capacity() : kStreamBlockMarkers, n_markers);
    // n x (informative markers of the block): centred dosages, times sqrt(w_j) for methods 2
    // and 3 so that one symmetric update gives Z D Zᵀ.
    Eigen::MatrixXd block(exact ? 0 : n_individuals, exact ? 0 : block_capacity);
    // Only the lower triangle is accumulated; it is scaled and mirrored at the end. With a row
    // range: the block of those rows and the columns up to the last of them.
    Eigen::MatrixXd kinship(exact ? 0 : panel_rows, exact ? 0 : last);
    advise_huge_pages(kinship.data(), static_cast<std::size_t>(kinship.size()) * sizeof(double));
    std::vector<const unsigned char*> exact_markers;
    std::vector<double> exact_means;
    const std::vector<IndividualRun> every_individual = {{0, 0, n_individuals}};
    bool kinship_started = false;
    std::int64_t informative_markers = 0;
    const int n = static_cast<int>(n_individuals);

    ProgressLine progress("G", "markers");
    while (blocks.next()) {
        const std::int64_t used_columns = blocks.used_columns();
        informative_markers += used_columns;
        if (exact) {
            blocks.informative_markers(exact_markers, exact_means);
            exact->add_markers(exact_markers, exact_means);
            kinship_started = kinship_started || used_columns > 0;
            progress.update(blocks.block_end(), n_markers);
            continue;
        }
        blocks.decode_informative(every_individual, block);
        if (used_columns > 0) {
            // Lower triangle of G += B Bᵀ; the first update overwrites, so G needs no zeroing.
            cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, panel_rows, static_cast<int>(used_columns), 1.0,
                        block.data() + first, n, kinship_started ? 1.0 : 0.0, kinship.data() + first * panel_rows,
                        panel_rows);
            if (first > 0) {
                add_rows_against_earlier_columns(block, used_columns, first, panel_rows, kinship_started, kinship);
            }
            kinship_started = true;
        }
        progress.update(blocks.block_end(), n_markers);
    }
    progress.finish();
    if (exact) {
        kinship = exact->finish();
    } else if (!kinship_started) {
        kinship.setZero();
    }

    const double scale = blocks.kinship_scale(kinship_started);
    warn_without_calls(bed, blocks.without_calls(), console);
    if (rows == nullptr) {
        scale_and_mirror_lower(kinship, scale);
    } else {
        scale_and_mirror_panel(kinship, first, scale);
    }
    if (method != kVanRadenMethod && !kinship.allFinite()) {
        fail_not_finite(method, lambda, bed.bed_path);
    }
    if (method == kVanRadenMethod) {
        const double seconds =
            static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count()) *
            1e-9;
        std::ostringstream text;
        text << "Building G matrix" << seconds << " 秒\n";
        say(console, text.str());
    }
    if (outcome != nullptr) {
        outcome->markers_used = informative_markers;
        outcome->removed = blocks.removed();
    }
    return kinship;
}
