#include <omp.h>

#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>

#include "app/agreement.h"
#include "app/app.h"
#include "distributed/distributed.h"
#include "files/pending_file.h"
#include "genomic/genomic.h"
#include "log/failures.h"
#include "log/logger.h"

namespace {

// Tiles of 256 x 256: large enough for full-speed products, small enough that the ranks' shares
// of G differ by little.
constexpr std::int64_t kTileSize = 256;

std::string tile_memory_message(int rank, std::size_t n_tiles, int bytes_per_value) {
    std::ostringstream message;
    message << "not enough memory for the tiles of G on rank " << rank << ": its " << n_tiles << " tiles of "
            << kTileSize << " x " << kTileSize << " need " << std::setprecision(3)
            << static_cast<double>(n_tiles) * kTileSize * kTileSize * bytes_per_value / 1e9 << " GB ("
            << bytes_per_value << " bytes per value). Run on more ranks (mpirun -np).";
    return message.str();
}

}  // namespace

int run_distributed_kinship(const RunOptions& options, Logger& logger) {
    const auto start = std::chrono::system_clock::now();
    const int rank = world_rank();
    const int ranks = world_size();
    const std::string matrix_name = options.out_prefix + ".bin";
    const std::string id_name = options.out_prefix + ".id";
    std::vector<RowSegment> segments;
    std::vector<float> values;
    std::vector<std::string> ids;
    try {
        // Every rank reads the .bed and forms its own tiles; nothing is exchanged until they are done.
        agree(attempt([&] {
            omp_set_num_threads(options.threads);
            BedSet bed = read_bed(options.bed_prefix, true);
            const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
            const ProcessGrid grid = process_grid(ranks);
            const std::vector<TilePosition> tiles = owned_tiles(n_individuals, kTileSize, grid, rank);
            logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << " on "
                       << ranks << " MPI ranks (a " << grid.rows << " x " << grid.cols << " grid of " << kTileSize
                       << " x " << kTileSize << " tiles)...\n";
            const int bytes_per_value = kinship_tile_bytes_per_value(options.kin_method);
            std::vector<Eigen::MatrixXd> kinship;
            try {
                if (rank_asked_to_fail(rank)) {
                    throw std::bad_alloc();
                }
                kinship = gkin_tiles_cpp(bed, options.kin_method, options.kin_lambda, kTileSize, tiles, rank == 0);
                segments = lower_segments(n_individuals, kTileSize, tiles);
                std::int64_t total = 0;
                for (const RowSegment& segment : segments) {
                    total += segment.length;
                }
                values.resize(static_cast<std::size_t>(total));
            } catch (const std::bad_alloc&) {
                throw RunFailure(tile_memory_message(rank, tiles.size(), bytes_per_value));
            }
            const std::int64_t tile_size = kTileSize;
            std::size_t next = 0;
            for (const RowSegment& segment : segments) {
                const TilePosition& tile = tiles[segment.tile];
                const Eigen::MatrixXd& values_of_tile = kinship[segment.tile];
                const std::int64_t i = segment.row - tile.row_block * tile_size;
                const std::int64_t c0 = segment.first_col - tile.col_block * tile_size;
                for (std::int64_t c = 0; c < segment.length; ++c) {
                    values[next++] = static_cast<float>(values_of_tile(i, c0 + c));
                }
            }
            ids = std::move(bed.individual_ids);
            check_writable_ids(ids, id_name);
            logger.ensure_written();
        }));

        // Rank 0 creates both files under temporary names; every rank writes its values into the
        // matrix; rank 0 puts the pair in place once all have written.
        std::optional<PendingFile> matrix_file;
        std::optional<PendingFile> id_file;
        agree(attempt([&] {
            if (rank != 0) {
                return;
            }
            matrix_file.emplace(open_pending_file(matrix_name, "wb"));
            if (matrix_file->stream == nullptr) {
                throw std::runtime_error("Error: can't write to " + matrix_name + ".");
            }
            id_file.emplace(open_pending_file(id_name, "w"));
            if (id_file->stream == nullptr) {
                throw std::runtime_error("Error: can't write to ID file " + id_name + ".");
            }
            std::string id_text;
            for (const std::string& id : ids) {
                id_text += id;
                id_text += '\n';
            }
            write_pending(*id_file, id_text.data(), id_text.size());
        }));
        const std::string written_name = broadcast_text(
            rank == 0 ? (matrix_file->temp.empty() ? matrix_file->target : matrix_file->temp) : std::string(), 0);
        agree(attempt([&] { write_lower_segments(written_name, segments, values); }));
        agree(attempt([&] {
            if (rank == 0) {
                commit_pending_files(*matrix_file, *id_file);
            }
        }));
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
    if (options.kin_method == 1) {  // the timing line of method 1, as in one process
        const std::chrono::duration<double> seconds = std::chrono::system_clock::now() - start;
        std::cout << "Building G matrix" << seconds.count() << " 秒" << std::endl;
    }
    std::cout << "GRM has been written to [" << matrix_name << "] and IDs to [" << id_name << "]." << std::endl;
    logger.tee << "👏 Kinship matrix written to binary files." << std::endl;
    const std::chrono::duration<double> elapsed = std::chrono::system_clock::now() - start;
    std::cout << "Run times: " << elapsed.count() << " 秒" << std::endl;
    return 0;
}
