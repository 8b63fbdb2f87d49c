// The tiles of a distributed G: which rank owns which tile, where each value goes in the file,
// and tiles whose values are those of the single-process G.

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "distributed/distributed.h"
#include "genomic/genomic.h"
#include "genomic/genotype_files.h"
#include "genomic/grm_internal.h"

namespace {

TEST(DistributedTiles, GridIsAsSquareAsTheRanksAllowAndEveryTileHasOneOwner) {
    const std::vector<std::pair<int, ProcessGrid>> shapes = {
        {1, {1, 1}}, {2, {1, 2}}, {3, {1, 3}}, {4, {2, 2}}, {6, {2, 3}}, {7, {1, 7}}, {12, {3, 4}}, {16, {4, 4}}};
    for (const auto& [ranks, expected] : shapes) {
        const ProcessGrid grid = process_grid(ranks);
        EXPECT_EQ(grid.rows, expected.rows) << ranks << " ranks";
        EXPECT_EQ(grid.cols, expected.cols) << ranks << " ranks";
    }
    EXPECT_THROW(process_grid(0), std::invalid_argument);

    // 9 blocks of rows (the last one short) among 1 to 6 ranks: each tile of the lower triangle
    // once, at the rank of grid position (I mod Pr, J mod Pc).
    const std::int64_t n = 8 * 256 + 17;
    for (int ranks = 1; ranks <= 6; ++ranks) {
        const ProcessGrid grid = process_grid(ranks);
        std::vector<std::vector<int>> owner(9, std::vector<int>(9, -1));
        for (int rank = 0; rank < ranks; ++rank) {
            for (const TilePosition& tile : owned_tiles(n, 256, grid, rank)) {
                ASSERT_LE(tile.col_block, tile.row_block);
                ASSERT_EQ(owner[tile.row_block][tile.col_block], -1) << "tile owned twice";
                owner[tile.row_block][tile.col_block] = rank;
            }
        }
        for (int row = 0; row < 9; ++row) {
            for (int col = 0; col <= row; ++col) {
                EXPECT_EQ(owner[row][col], (row % grid.rows) * grid.cols + col % grid.cols)
                    << ranks << " ranks, tile " << row << ", " << col;
            }
        }
    }
}

TEST(DistributedTiles, SegmentsOfAllRanksCoverTheTriangleOnceInRisingFileOrder) {
    for (const std::int64_t n : {5, 8, 37, 100}) {
        for (int ranks = 1; ranks <= 5; ++ranks) {
            SCOPED_TRACE(std::to_string(n) + " rows, " + std::to_string(ranks) + " ranks");
            const ProcessGrid grid = process_grid(ranks);
            std::vector<int> covered(static_cast<std::size_t>(n * (n + 1) / 2), 0);
            for (int rank = 0; rank < ranks; ++rank) {
                const std::vector<TilePosition> tiles = owned_tiles(n, 8, grid, rank);
                std::int64_t previous_end = -1;
                for (const RowSegment& segment : lower_segments(n, 8, tiles)) {
                    const std::int64_t offset = segment.row * (segment.row + 1) / 2 + segment.first_col;
                    ASSERT_GE(offset, previous_end);
                    ASSERT_LE(segment.first_col + segment.length, segment.row + 1);
                    ASSERT_EQ(segment.row / 8, tiles[segment.tile].row_block);
                    ASSERT_EQ(segment.first_col / 8, tiles[segment.tile].col_block);
                    previous_end = offset + segment.length;
                    for (std::int64_t c = 0; c < segment.length; ++c) {
                        ++covered[static_cast<std::size_t>(offset + c)];
                    }
                }
            }
            for (std::size_t k = 0; k < covered.size(); ++k) {
                ASSERT_EQ(covered[k], 1) << "value " << k;
            }
        }
    }
    EXPECT_THROW(lower_segments(10, 8, {TilePosition{0, 1}}), std::invalid_argument);
    EXPECT_THROW(lower_segments(10, 8, {TilePosition{2, 0}}), std::invalid_argument);
}

// Every rank's tiles against the single-process G: method 1 by integer products bit for bit
// (whatever the tiles, ranks and threads), the double path within rounding.
TEST(DistributedTiles, TilesOfEveryRankAreTheValuesOfTheWholeG) {
    const SilentStdout silent;
    // 37 individuals (a padded last byte, tiles of 8 and 12) over two blocks of 4,096 markers;
    // 600 individuals in tiles of 256 (a short last block) over one.
    struct Case {
        int n;
        int m;
        std::int64_t tile_size;
    };
    for (const Case& data : {Case{37, 5000, 8}, Case{37, 5000, 12}, Case{600, 1200, 256}}) {
        const std::string dir = make_scratch_dir();
        write_genotype_set(dir + "/geno", random_dosages(data.n, data.m, 11 + data.n, 0.05), 2);
        const BedSet bed = read_bed(dir + "/geno", false);
        for (const int method : {1, 2, 3}) {
            omp_set_num_threads(1);
            const Eigen::MatrixXd whole = gkin_cpp(bed, method, 0.5);
            const bool exact = method == 1 && integer_products_available();
            for (const int ranks : {1, 3, 4}) {
                SCOPED_TRACE(std::to_string(data.n) + " individuals, tiles of " + std::to_string(data.tile_size) +
                             ", method " + std::to_string(method) + ", " + std::to_string(ranks) + " ranks");
                Eigen::MatrixXd assembled = Eigen::MatrixXd::Constant(data.n, data.n, std::nan(""));
                const ProcessGrid grid = process_grid(ranks);
                for (int rank = 0; rank < ranks; ++rank) {
                    omp_set_num_threads(rank % 2 + 1);
                    const std::vector<TilePosition> tiles = owned_tiles(data.n, data.tile_size, grid, rank);
                    const std::vector<Eigen::MatrixXd> values =
                        gkin_tiles_cpp(bed, method, 0.5, data.tile_size, tiles, false);
                    ASSERT_EQ(values.size(), tiles.size());
                    for (std::size_t t = 0; t < tiles.size(); ++t) {
                        assembled.block(tiles[t].row_block * data.tile_size, tiles[t].col_block * data.tile_size,
                                        values[t].rows(), values[t].cols()) = values[t];
                    }
                }
                for (int a = 0; a < data.n; ++a) {
                    for (int b = 0; b <= a; ++b) {
                        if (exact) {
                            ASSERT_EQ(assembled(a, b), whole(a, b)) << "G(" << a << ", " << b << ")";
                        } else {
                            ASSERT_NEAR(assembled(a, b), whole(a, b), 1e-12 * (1.0 + std::abs(whole(a, b))))
                                << "G(" << a << ", " << b << ")";
                        }
                    }
                }
            }
        }
    }
}

TEST(DistributedTiles, TilesRefuseWhatTheWholeGRefuses) {
    const SilentStdout silent;
    const std::string dir = make_scratch_dir();
    write_genotype_set(dir + "/geno", random_dosages(6, 30, 2, 0.0));
    const BedSet bed = read_bed(dir + "/geno", false);
    const std::vector<TilePosition> all = {{0, 0}, {1, 0}, {1, 1}};
    EXPECT_NE(error_of([&] { gkin_tiles_cpp(bed, 2, 2000.0, 4, all, false); }).find("G is not finite"),
              std::string::npos);
    EXPECT_NE(error_of([&] { gkin_tiles_cpp(bed, 4, 1.0, 4, all, false); }).find("Invalid kinship method"),
              std::string::npos);
    EXPECT_NE(error_of([&] { gkin_tiles_cpp(bed, 1, 1.0, 4, {TilePosition{2, 0}}, false); })
                  .find("not in the lower triangle"),
              std::string::npos);
    EXPECT_NE(error_of([&] { gkin_tiles_cpp(bed, 1, 1.0, 6, all, false); }).find("multiple of 4"), std::string::npos);
}

}  // namespace
