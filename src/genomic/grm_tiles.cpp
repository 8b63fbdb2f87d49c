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
                                            const std::vector<TilePosition>& tiles, bool verbose,
                                            MarkerOutcome* outcome) {
    check_can_build_g(bed, method);
    const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
    const std::int64_t n_markers = static_cast<std::int64_t>(bed.marker_ids.size());
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
    std::optional<ExactTileProducts> exact;
    if (method == kVanRadenMethod && integer_products_available()) {
        exact.emplace(n_individuals, tile_size, row_blocks, col_blocks);
    }
    constexpr std::int64_t kDoubleBlockMarkers = 1024;
    MarkerBlocks blocks(bed, method, lambda, exact ? exact->block_capacity() : kDoubleBlockMarkers);
    const std::int64_t block_capacity = std::min(exact ? exact->block_capacity() : kDoubleBlockMarkers, n_markers);

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
    std::int64_t informative_markers = 0;
    while (blocks.next()) {
        const std::int64_t block_markers = blocks.block_markers();
        const std::int64_t used_columns = blocks.used_columns();
        kinship_started = kinship_started || used_columns > 0;
        informative_markers += used_columns;
        if (exact) {
            exact_markers.clear();
            exact_means.clear();
            for (std::int64_t k = 0; k < block_markers; ++k) {
                if (blocks.destination(k) >= 0) {
                    exact_markers.push_back(blocks.marker(k));
                    exact_means.push_back(blocks.summary(k).mean);
                }
            }
            exact->add_markers(exact_markers, exact_means);
            continue;
        }
        if (used_columns == 0) {
            continue;
        }
        // The centred values of the tiles' individuals.
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers; ++k) {
            if (blocks.destination(k) < 0) {
                continue;
            }
            double value_of_code[4];
            blocks.values_of_code(k, value_of_code);
            const unsigned char* bytes = blocks.marker(k);
            double* out = block.col(blocks.destination(k)).data();
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
        // Methods 2 and 3: Σ w z² of every individual for the scale, in marker order as gkin_cpp
        // sums it, so that every rank scales by the same bits.
        if (diagonal.size() > 0) {
            constexpr std::int64_t kChunk = 2048;
#pragma omp parallel for schedule(static)
            for (std::int64_t chunk = 0; chunk < n_individuals; chunk += kChunk) {
                const std::int64_t chunk_end = std::min(n_individuals, chunk + kChunk);
                for (std::int64_t k = 0; k < block_markers; ++k) {
                    if (blocks.destination(k) < 0) {
                        continue;
                    }
                    double value_of_code[4];
                    blocks.values_of_code(k, value_of_code);
                    const unsigned char* bytes = blocks.marker(k);
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

    check_markers_left(bed, blocks);
    const double scale = kinship_scale(method, lambda, bed.bed_path, blocks.heterozygosity(), kinship_started, diagonal);
    if (verbose) {
        warn_without_calls(bed, blocks.without_calls());
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
    if (outcome != nullptr) {
        outcome->markers_used = informative_markers;
        outcome->removed = blocks.removed();
    }
    return kinship;
}

int kinship_tile_bytes_per_value(int method) {
    return method == kVanRadenMethod && integer_products_available() ? 16 : 8;
}
