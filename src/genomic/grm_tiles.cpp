#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "genomic/grm_internal.h"

// The streaming of gkin_cpp, with each marker block added into a set of tiles rather than into
// a panel of rows.
std::vector<Eigen::MatrixXd> gkin_tiles_cpp(const BedSet& bed, int method, double lambda, std::int64_t tile_size,
                                            const std::vector<TilePosition>& tiles, bool verbose) {
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
    if (tile_size < 4 || tile_size % 4 != 0) {
        throw std::invalid_argument("Tiles of G need a size that is a multiple of 4, not " + std::to_string(tile_size) +
                                    ".");
    }
    const std::int64_t n_blocks = (n_individuals + tile_size - 1) / tile_size;
    std::vector<std::int64_t> row_blocks;
    std::vector<std::int64_t> col_blocks;
    for (const TilePosition& tile : tiles) {
        if (tile.col_block < 0 || tile.col_block > tile.row_block || tile.row_block >= n_blocks) {
            throw std::invalid_argument("Tile (" + std::to_string(tile.row_block) + ", " +
                                        std::to_string(tile.col_block) + ") is not in the lower triangle of G's " +
                                        std::to_string(n_blocks) + " blocks of rows.");
        }
        row_blocks.push_back(tile.row_block);
        col_blocks.push_back(tile.col_block);
    }
    if (!bed.bed_file) {
        throw std::invalid_argument("gkin_tiles_cpp needs a genotype set opened by read_bed.");
    }
    std::FILE* file = bed.bed_file.get();
    if (::fseeko(file, 3, SEEK_SET) != 0) {
        throw std::runtime_error("Could not seek in BED file " + bed.bed_path);
    }
    const std::int64_t bytes_per_marker = bed_bytes_per_marker(n_individuals);

    std::optional<ExactTileProducts> exact;
    if (method == kVanRadenMethod && integer_products_available()) {
        exact.emplace(n_individuals, tile_size, row_blocks, col_blocks);
    }
    constexpr std::int64_t kDoubleBlockMarkers = 1024;
    const std::int64_t block_capacity = std::min(exact ? exact->block_capacity() : kDoubleBlockMarkers, n_markers);
    std::vector<unsigned char> block_bytes(static_cast<std::size_t>(bytes_per_marker * block_capacity));
    std::vector<MarkerSummary> summaries(static_cast<std::size_t>(block_capacity));
    std::vector<std::int64_t> destination(static_cast<std::size_t>(block_capacity));
    std::vector<double> column_scale(static_cast<std::size_t>(block_capacity));

    // Double path: the tiles' individuals in blocks of G, their centred (and weighted) dosages.
    std::vector<std::int64_t> local_start(static_cast<std::size_t>(n_blocks), -1);
    std::vector<std::int64_t> local_blocks;
    std::int64_t width = 0;
    std::vector<Eigen::MatrixXd> kinship;
    Eigen::MatrixXd block;
    if (!exact) {
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            local_start[static_cast<std::size_t>(row_blocks[t])] = 0;
            local_start[static_cast<std::size_t>(col_blocks[t])] = 0;
        }
        for (std::int64_t b = 0; b < n_blocks; ++b) {
            if (local_start[static_cast<std::size_t>(b)] >= 0) {
                local_start[static_cast<std::size_t>(b)] = width;
                local_blocks.push_back(b);
                width += std::min(tile_size, n_individuals - b * tile_size);
            }
        }
        block.resize(width, block_capacity);
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            kinship.emplace_back(Eigen::MatrixXd::Zero(std::min(tile_size, n_individuals - row_blocks[t] * tile_size),
                                                       std::min(tile_size, n_individuals - col_blocks[t] * tile_size)));
        }
    }
    std::vector<const unsigned char*> exact_markers;
    std::vector<double> exact_means;
    Eigen::VectorXd diagonal;
    if (method != kVanRadenMethod) {
        diagonal.setZero(n_individuals);
    }
    bool kinship_started = false;
    double heterozygosity = 0.0;
    const double markers = static_cast<double>(n_markers);
    std::vector<std::int64_t> without_calls(static_cast<std::size_t>(n_individuals));
    for (std::int64_t i = 0; i < n_individuals; ++i) {
        without_calls[static_cast<std::size_t>(i)] = i;
    }
    for (std::int64_t block_start = 0; block_start < n_markers; block_start += block_capacity) {
        const std::int64_t block_markers = std::min(block_capacity, n_markers - block_start);
        read_bed_bytes(file, bed.bed_path, block_bytes.data(),
                       static_cast<std::size_t>(bytes_per_marker * block_markers));
        for (std::int64_t k = 0; k < block_markers && !without_calls.empty(); ++k) {
            const unsigned char* marker = block_bytes.data() + k * bytes_per_marker;
            without_calls.erase(std::remove_if(without_calls.begin(), without_calls.end(),
                                               [&](std::int64_t i) {
                                                   return GENOTYPE_MAP[(marker[i / 4] >> (2 * (i % 4))) & 3] >= 0;
                                               }),
                                without_calls.end());
        }
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers; ++k) {
            summaries[k] = summarise_marker(count_bed_codes(block_bytes.data() + k * bytes_per_marker, n_individuals),
                                            n_individuals);
        }
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
        kinship_started = kinship_started || used_columns > 0;
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
            continue;
        }
        if (used_columns == 0) {
            continue;
        }
        // The centred values of the tiles' individuals, and for methods 2 and 3 Σ w z² of every
        // individual in marker order (as gkin_cpp sums them), for the scale.
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers; ++k) {
            if (destination[k] < 0) {
                continue;
            }
            const MarkerSummary& summary = summaries[k];
            double value_of_code[4];
            for (int code = 0; code < 4; ++code) {
                const double dosage = GENOTYPE_MAP[code] < 0 ? summary.mean : GENOTYPE_MAP[code];
                value_of_code[code] = (dosage + summary.offset) * column_scale[k];
            }
            const unsigned char* bytes = block_bytes.data() + k * bytes_per_marker;
            double* out = block.col(destination[k]).data();
            for (const std::int64_t b : local_blocks) {
                const std::int64_t global0 = b * tile_size;
                const std::int64_t count = std::min(tile_size, n_individuals - global0);
                double* local = out + local_start[static_cast<std::size_t>(b)];
                for (std::int64_t i = 0; i < count; ++i) {
                    const std::int64_t g = global0 + i;
                    local[i] = value_of_code[(bytes[g / 4] >> (2 * (g % 4))) & 3];
                }
            }
        }
        if (diagonal.size() > 0) {
            constexpr std::int64_t kChunk = 2048;
#pragma omp parallel for schedule(static)
            for (std::int64_t chunk = 0; chunk < n_individuals; chunk += kChunk) {
                const std::int64_t chunk_end = std::min(n_individuals, chunk + kChunk);
                for (std::int64_t k = 0; k < block_markers; ++k) {
                    if (destination[k] < 0) {
                        continue;
                    }
                    const MarkerSummary& summary = summaries[k];
                    double value_of_code[4];
                    for (int code = 0; code < 4; ++code) {
                        const double dosage = GENOTYPE_MAP[code] < 0 ? summary.mean : GENOTYPE_MAP[code];
                        value_of_code[code] = (dosage + summary.offset) * column_scale[k];
                    }
                    const unsigned char* bytes = block_bytes.data() + k * bytes_per_marker;
                    for (std::int64_t i = chunk; i < chunk_end; ++i) {
                        const double value = value_of_code[(bytes[i / 4] >> (2 * (i % 4))) & 3];
                        diagonal[i] += value * value;
                    }
                }
            }
        }
        const int used = static_cast<int>(used_columns);
        const int lead = static_cast<int>(width);
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            Eigen::MatrixXd& tile = kinship[t];
            const double* rows = block.data() + local_start[static_cast<std::size_t>(row_blocks[t])];
            const double* cols = block.data() + local_start[static_cast<std::size_t>(col_blocks[t])];
            if (row_blocks[t] == col_blocks[t]) {
                cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, static_cast<int>(tile.rows()), used, 1.0, rows,
                            lead, 1.0, tile.data(), static_cast<int>(tile.rows()));
            } else {
                cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, static_cast<int>(tile.rows()),
                            static_cast<int>(tile.cols()), used, 1.0, rows, lead, cols, lead, 1.0, tile.data(),
                            static_cast<int>(tile.rows()));
            }
        }
    }
    if (exact) {
        kinship = exact->finish();
    }

    double scale = 0.0;
    if (method == kVanRadenMethod) {
        if (!(heterozygosity > 0.0)) {
            fail_zero_denominator(method, bed.bed_path);
        }
        if (!kinship_started) {
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
        if (!std::isfinite(mean_diagonal)) {
            fail_not_finite(method, lambda, bed.bed_path);
        }
        scale = 1.0 / mean_diagonal;
    }
    if (verbose && !without_calls.empty()) {
        std::cout << "⚠️ Warning: " << without_calls.size() << " individual(s) of " << bed.fam_path
                  << " have no genotype call at any marker (first: ";
        for (std::size_t k = 0; k < std::min<std::size_t>(5, without_calls.size()); ++k) {
            std::cout << (k > 0 ? ", " : "") << bed.individual_ids[static_cast<std::size_t>(without_calls[k])];
        }
        std::cout << "); their rows of G are those of the population mean." << std::endl;
    }
    for (std::size_t t = 0; t < kinship.size(); ++t) {
        Eigen::MatrixXd& tile = kinship[t];
        if (scale != 1.0) {
            tile *= scale;
        }
        if (row_blocks[t] == col_blocks[t]) {
            tile.triangularView<Eigen::StrictlyUpper>().setZero();
        }
        if (method != kVanRadenMethod && !tile.allFinite()) {
            fail_not_finite(method, lambda, bed.bed_path);
        }
    }
    return kinship;
}

int kinship_tile_bytes_per_value(int method) {
    return method == kVanRadenMethod && integer_products_available() ? 16 : 8;
}
