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
                                            MarkerOutcome* outcome, const ConsoleLines& console) {
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
    TileIndividuals local;
    std::vector<Eigen::MatrixXd> kinship;
    Eigen::MatrixXd block;
    if (!exact) {
        local = tile_individuals(n_individuals, tile_size, row_blocks, col_blocks);
        block.resize(local.width, block_capacity);
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            kinship.emplace_back(Eigen::MatrixXd::Zero(std::min(tile_size, n_individuals - row_blocks[t] * tile_size),
                                                       std::min(tile_size, n_individuals - col_blocks[t] * tile_size)));
        }
    }
    std::vector<const unsigned char*> exact_markers;
    std::vector<double> exact_means;
    bool kinship_started = false;
    std::int64_t informative_markers = 0;
    while (blocks.next()) {
        const std::int64_t used_columns = blocks.used_columns();
        kinship_started = kinship_started || used_columns > 0;
        informative_markers += used_columns;
        if (exact) {
            blocks.informative_markers(exact_markers, exact_means);
            exact->add_markers(exact_markers, exact_means);
            continue;
        }
        if (used_columns == 0) {
            continue;
        }
        blocks.decode_informative(local.runs, block);
        const int used = static_cast<int>(used_columns);
        const int lead = static_cast<int>(local.width);
        for (std::size_t t = 0; t < tiles.size(); ++t) {
            Eigen::MatrixXd& tile = kinship[t];
            const double* rows = block.data() + local.start_of_block[static_cast<std::size_t>(row_blocks[t])];
            const double* cols = block.data() + local.start_of_block[static_cast<std::size_t>(col_blocks[t])];
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

    const double scale = blocks.kinship_scale(kinship_started);
    if (verbose) {
        warn_without_calls(bed, blocks.without_calls(), console);
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
