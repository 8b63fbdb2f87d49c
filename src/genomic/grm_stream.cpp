#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
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

// diagonal[i] += Σ_k block(i, k)² over the block's first `columns` columns, in column order
// for every i (the same sums whichever rows of G a run multiplies).
void add_squared_rows(const Eigen::MatrixXd& block, std::int64_t columns, Eigen::VectorXd& diagonal) {
    constexpr Eigen::Index kChunk = 2048;
    const Eigen::Index n = block.rows();
#pragma omp parallel for schedule(static)
    for (Eigen::Index chunk = 0; chunk < n; chunk += kChunk) {
        const Eigen::Index chunk_end = std::min(n, chunk + kChunk);
        for (Eigen::Index k = 0; k < columns; ++k) {
            const double* column = block.col(k).data();
            for (Eigen::Index i = chunk; i < chunk_end; ++i) {
                diagonal[i] += column[i] * column[i];
            }
        }
    }
}

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

Eigen::MatrixXd gkin_cpp(const BedSet& bed, int method, double lambda, std::int64_t* markers_used,
                         const RowRange* rows) {
    if (method != kVanRadenMethod && method != kExpectedVarianceMethod && method != kObservedVarianceMethod) {
        throw std::invalid_argument("Invalid kinship method!");
    }
    const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
    const std::int64_t n_markers = static_cast<std::int64_t>(bed.marker_ids.size());
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
    // Rows [first, last) of G are multiplied; the whole G is the range of every row.
    const std::int64_t first = rows != nullptr ? rows->first : 0;
    const std::int64_t last = rows != nullptr ? rows->last : n_individuals;
    if (first < 0 || first >= last || last > n_individuals) {
        throw std::invalid_argument("Rows " + std::to_string(first) + " to " + std::to_string(last) +
                                    " are not a range of the " + std::to_string(n_individuals) + " rows of G.");
    }
    const int panel_rows = static_cast<int>(last - first);
    if (!bed.bed_file) {
        throw std::invalid_argument("gkin_cpp needs a genotype set opened by read_bed.");
    }
    std::FILE* file = bed.bed_file.get();
    if (::fseeko(file, 3, SEEK_SET) != 0) {
        throw std::runtime_error("Could not seek in BED file " + bed.bed_path);
    }
    const auto start = std::chrono::system_clock::now();

    const std::int64_t bytes_per_marker = bed_bytes_per_marker(n_individuals);
    // Method 1 sums exact 8-bit products of the dosages where the CPU multiplies bytes faster
    // than doubles; methods 2 and 3 weight each marker, so they multiply the weighted centred
    // dosages in double, as method 1 does elsewhere.
    std::optional<ExactCrossProducts> exact;
    if (method == kVanRadenMethod && integer_products_available()) {
        exact.emplace(first, last);
    }
    const std::int64_t block_capacity = std::min(exact ? exact->block_capacity() : kStreamBlockMarkers, n_markers);
    std::vector<unsigned char> block_bytes(static_cast<std::size_t>(bytes_per_marker * block_capacity));
    std::vector<MarkerSummary> summaries(static_cast<std::size_t>(block_capacity));
    // Column of `block` that marker k of the current block goes to; -1 when it is skipped.
    std::vector<std::int64_t> destination(static_cast<std::size_t>(block_capacity));
    std::vector<double> column_scale(static_cast<std::size_t>(block_capacity));
    // n x (informative markers of the block): centred dosages, times sqrt(w_j) for methods 2
    // and 3 so that one symmetric update gives Z D Zᵀ.
    Eigen::MatrixXd block(exact ? 0 : n_individuals, exact ? 0 : block_capacity);
    // Only the lower triangle is accumulated; it is scaled and mirrored at the end. With a row
    // range: the block of those rows and the columns up to the last of them.
    Eigen::MatrixXd kinship(exact ? 0 : panel_rows, exact ? 0 : last);
    advise_huge_pages(kinship.data(), static_cast<std::size_t>(kinship.size()) * sizeof(double));
    std::vector<const unsigned char*> exact_markers;
    std::vector<double> exact_means;
    // Σ_j w_j z_ij² of every individual, for the mean diagonal of methods 2 and 3. Summed here
    // rather than read from G, so that a run of some rows scales exactly as the whole G does.
    Eigen::VectorXd diagonal;
    if (method != kVanRadenMethod) {
        diagonal.setZero(n_individuals);
    }
    bool kinship_started = false;
    std::int64_t informative_markers = 0;
    double heterozygosity = 0.0;  // Σ p(1-p), in marker order
    const int n = static_cast<int>(n_individuals);
    const double markers = static_cast<double>(n_markers);

    // Individuals without any call so far; the list shrinks to nothing within a few markers
    // on real data, so the check costs next to nothing.
    std::vector<std::int64_t> without_calls(static_cast<std::size_t>(n_individuals));
    for (std::int64_t i = 0; i < n_individuals; ++i) {
        without_calls[static_cast<std::size_t>(i)] = i;
    }
    ProgressLine progress(n_markers, "G", "markers");
    for (std::int64_t block_start = 0; block_start < n_markers; block_start += block_capacity) {
        const std::int64_t block_markers = std::min(block_capacity, n_markers - block_start);
        read_bed_bytes(file, bed.bed_path, block_bytes.data(),
                       static_cast<std::size_t>(bytes_per_marker * block_markers));

        for (std::int64_t k = 0; k < block_markers && !without_calls.empty(); ++k) {
            const unsigned char* marker = block_bytes.data() + k * bytes_per_marker;
            without_calls.erase(std::remove_if(without_calls.begin(), without_calls.end(),
                                               [&](std::int64_t i) {
                                                   return ((marker[i / 4] >> (2 * (i % 4))) & 3) != kMissingCode;
                                               }),
                                without_calls.end());
        }
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers; ++k) {
            summaries[k] = summarise_marker(count_bed_codes(block_bytes.data() + k * bytes_per_marker, n_individuals),
                                            n_individuals);
        }
        // Markers whose centred column is exactly 0 (monomorphic, all heterozygous, no calls)
        // add nothing to G and are left out of the product.
        std::int64_t used_columns = 0;
        for (std::int64_t k = 0; k < block_markers; ++k) {
            const MarkerSummary& summary = summaries[k];
            heterozygosity += summary.frequency * (1.0 - summary.frequency);
            if (!summary.informative) {
                destination[k] = -1;
                continue;
            }
            double weight = 1.0;
            if (method == kExpectedVarianceMethod) {
                weight = expected_variance_weight(summary.frequency, markers, lambda);
            } else if (method == kObservedVarianceMethod) {
                weight = observed_variance_weight(summary.variance, markers, lambda);
            }
            column_scale[k] = std::sqrt(weight);
            destination[k] = used_columns++;
        }
        informative_markers += used_columns;
        if (exact) {
            exact_markers.clear();
            exact_means.clear();
            for (std::int64_t k = 0; k < block_markers; ++k) {
                if (destination[k] >= 0) {
                    exact_markers.push_back(block_bytes.data() + k * bytes_per_marker);
                    exact_means.push_back(summaries[k].mean);
                }
            }
            exact->add_markers(exact_markers, exact_means);
            kinship_started = kinship_started || used_columns > 0;
            progress.update(block_start + block_markers);
            continue;
        }
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers; ++k) {
            if (destination[k] < 0) {
                continue;
            }
            const MarkerSummary& summary = summaries[k];
            const double scale = column_scale[k];
            // Per code: (imputed dosage + centring offset) x scale; a missing call takes the mean.
            double value_of_code[4];
            for (int code = 0; code < 4; ++code) {
                const double dosage = GENOTYPE_MAP[code] < 0 ? summary.mean : GENOTYPE_MAP[code];
                value_of_code[code] = (dosage + summary.offset) * scale;
            }
            decode_bed_marker(block_bytes.data() + k * bytes_per_marker, n_individuals, value_of_code,
                              block.col(destination[k]).data());
        }
        if (used_columns > 0 && diagonal.size() > 0) {
            add_squared_rows(block, used_columns, diagonal);
        }
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
        progress.update(block_start + block_markers);
    }
    progress.finish();
    if (exact) {
        kinship = exact->finish();
    } else if (!kinship_started) {
        kinship.setZero();
    }

    double scale = 0.0;
    if (method == kVanRadenMethod) {
        if (!(heterozygosity > 0.0)) {
            fail_zero_denominator(method, bed.bed_path);
        }
        if (!kinship_started) {
            // Markers heterozygous in everyone have p(1-p) > 0 but centre to 0: G would be 0.
            throw std::runtime_error("Cannot build G by method 1 from " + bed.bed_path +
                                     ": no marker varies between the individuals (every marker is monomorphic, "
                                     "heterozygous in all of them or without calls), so every relationship "
                                     "would be 0.");
        }
        scale = 0.5 / heterozygosity;
    } else {
        double trace = 0.0;
        for (std::int64_t k = 0; k < n_individuals; ++k) {
            trace += diagonal[k];
        }
        const double mean_diagonal = trace / static_cast<double>(n_individuals);
        if (mean_diagonal == 0.0) {
            fail_zero_denominator(method, bed.bed_path);
        }
        // Overflowed weights give an infinite trace; a part's own rows need not show it.
        if (!std::isfinite(mean_diagonal)) {
            fail_not_finite(method, lambda, bed.bed_path);
        }
        scale = 1.0 / mean_diagonal;
    }
    if (!without_calls.empty()) {
        std::cout << "⚠️ Warning: " << without_calls.size() << " individual(s) of " << bed.fam_path
                  << " have no genotype call at any marker (first: ";
        for (std::size_t k = 0; k < std::min<std::size_t>(5, without_calls.size()); ++k) {
            std::cout << (k > 0 ? ", " : "") << bed.individual_ids[static_cast<std::size_t>(without_calls[k])];
        }
        std::cout << "); their rows of G are those of the population mean." << std::endl;
    }
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
        std::cout << "Building G matrix" << seconds << " 秒" << std::endl;
    }
    if (markers_used != nullptr) {
        *markers_used = informative_markers;
    }
    return kinship;
}
