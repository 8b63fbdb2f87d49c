#include <omp.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>

#include "app/agreement.h"
#include "app/app.h"
#include "app/genotype_checks.h"
#include "distributed/distributed.h"
#include "files/pending_file.h"
#include "kinship_io/kinship_io.h"
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

// This rank's values of the tiles in tile row (or column) `panel`, in the order of its tiles and
// of each tile's storage; rank 0 knows the order from the tile ownership alone.
std::vector<double> panel_share(const std::vector<TilePosition>& tiles, const std::vector<Eigen::MatrixXd>& values,
                                std::int64_t panel) {
    std::vector<double> share;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        if (tiles[t].row_block == panel || tiles[t].col_block == panel) {
            share.insert(share.end(), values[t].data(), values[t].data() + values[t].size());
        }
    }
    return share;
}

// Rows [panel nb, ...) of G, whole, from every rank's share: a tile (panel, J) gives its rows, a
// tile (I, panel) below the diagonal its mirror, the diagonal tile its lower triangle both ways.
Eigen::MatrixXd assemble_panel(std::int64_t n, std::int64_t panel, const ProcessGrid& grid,
                               const std::vector<double>& gathered) {
    const std::int64_t first = panel * kTileSize;
    const std::int64_t rows = std::min(kTileSize, n - first);
    Eigen::MatrixXd result(rows, n);
    std::size_t next = 0;
    for (int r = 0; r < grid.rows * grid.cols; ++r) {
        for (const TilePosition& tile : owned_tiles(n, kTileSize, grid, r)) {
            if (tile.row_block != panel && tile.col_block != panel) {
                continue;
            }
            const std::int64_t tile_rows = std::min(kTileSize, n - tile.row_block * kTileSize);
            const std::int64_t tile_cols = std::min(kTileSize, n - tile.col_block * kTileSize);
            const Eigen::Map<const Eigen::MatrixXd> values(gathered.data() + next, tile_rows, tile_cols);
            next += static_cast<std::size_t>(tile_rows * tile_cols);
            if (tile.row_block == panel && tile.col_block == panel) {
                for (std::int64_t c = 0; c < tile_cols; ++c) {
                    for (std::int64_t i = c; i < tile_rows; ++i) {
                        result(i, first + c) = values(i, c);
                        result(c, first + i) = values(i, c);
                    }
                }
            } else if (tile.row_block == panel) {
                result.middleCols(tile.col_block * kTileSize, tile_cols) = values;
            } else {
                result.middleCols(tile.row_block * kTileSize, tile_rows) = values.transpose();
            }
        }
    }
    return result;
}

// The text matrix, a tile row at a time through rank 0; all ranks take every step.
void write_text_by_panels(const std::string& name, const std::vector<std::string>& ids,
                          const std::vector<TilePosition>& tiles, const std::vector<Eigen::MatrixXd>& values,
                          const ProcessGrid& grid) {
    const auto n = static_cast<std::int64_t>(ids.size());
    std::optional<KinshipTextWriter> writer;
    agree(attempt([&] {
        if (world_rank() == 0) {
            writer.emplace(name, ids);
        }
    }));
    for (std::int64_t panel = 0; panel * kTileSize < n; ++panel) {
        const std::vector<double> gathered = gather_on_first_rank(panel_share(tiles, values, panel));
        agree(attempt([&] {
            if (writer) {
                writer->write_rows(assemble_panel(n, panel, grid, gathered));
            }
        }));
    }
    agree(attempt([&] {
        if (writer) {
            writer->commit();
        }
    }));
}

// Binary files of the lower triangle (one float per value, the same segments for each) and
// their ID files, put in place together by rank 0 once every rank has written.
struct TriangleFile {
    std::string name;
    const std::vector<float>* values;
};
struct IdFile {
    std::string name;
    std::string text;
};
void write_triangle_files(const std::vector<TriangleFile>& matrices, const std::vector<IdFile>& id_files,
                          const std::vector<RowSegment>& segments) {
    std::vector<PendingFile> pending;
    pending.reserve(matrices.size() + id_files.size());
    agree(attempt([&] {
        if (world_rank() != 0) {
            return;
        }
        for (const TriangleFile& matrix : matrices) {
            pending.push_back(open_pending_file(matrix.name, "wb"));
            if (pending.back().stream == nullptr) {
                throw std::runtime_error("Error: can't write to " + matrix.name + ".");
            }
        }
        for (const IdFile& id_file : id_files) {
            pending.push_back(open_pending_file(id_file.name, "w"));
            if (pending.back().stream == nullptr) {
                throw std::runtime_error("Error: can't write to ID file " + id_file.name + ".");
            }
            write_pending(pending.back(), id_file.text.data(), id_file.text.size());
        }
    }));
    for (std::size_t m = 0; m < matrices.size(); ++m) {
        const std::string written = broadcast_text(
            world_rank() == 0 ? (pending[m].temp.empty() ? pending[m].target : pending[m].temp) : std::string(), 0);
        agree(attempt([&] { write_lower_segments(written, segments, *matrices[m].values); }));
    }
    agree(attempt([&] {
        if (world_rank() == 0) {
            std::vector<PendingFile*> all;
            for (PendingFile& file : pending) {
                all.push_back(&file);
            }
            commit_pending_files(all);
        }
    }));
}

// The reports of a whole G (duplicates, the histogram of the diagonal) from every rank's tiles:
// the diagonal is gathered on rank 0 and sent to every rank, each rank finds the duplicate pairs
// of its tiles, and rank 0 writes the reports from all of them.
void report_distributed_g(const std::vector<TilePosition>& tiles, const std::vector<Eigen::MatrixXd>& kinship,
                          const std::vector<std::string>& ids, const RunOptions& options, Logger& logger) {
    const std::int64_t n = static_cast<std::int64_t>(ids.size());
    std::vector<double> mine;  // (index, value) of every diagonal value of this rank's tiles
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        if (tiles[t].row_block == tiles[t].col_block) {
            for (Eigen::Index i = 0; i < kinship[t].rows(); ++i) {
                mine.push_back(static_cast<double>(tiles[t].row_block * kTileSize + i));
                mine.push_back(kinship[t](i, i));
            }
        }
    }
    const std::vector<double> gathered = gather_on_first_rank(mine);
    Eigen::VectorXd diagonal = Eigen::VectorXd::Zero(n);
    for (std::size_t k = 0; k + 1 < gathered.size(); k += 2) {
        diagonal[static_cast<Eigen::Index>(gathered[k])] = gathered[k + 1];
    }
    const std::string sent = broadcast_text(
        std::string(reinterpret_cast<const char*>(diagonal.data()), static_cast<std::size_t>(n) * sizeof(double)), 0);
    std::memcpy(diagonal.data(), sent.data(), std::min(sent.size(), static_cast<std::size_t>(n) * sizeof(double)));
    std::vector<DuplicatePair> pairs;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        find_duplicates(kinship[t], tiles[t].row_block * kTileSize, tiles[t].col_block * kTileSize, diagonal, pairs);
    }
    std::vector<double> flat;
    for (const DuplicatePair& pair : pairs) {
        flat.insert(flat.end(), {static_cast<double>(pair.first), static_cast<double>(pair.second), pair.relationship,
                                 pair.correlation});
    }
    const std::vector<double> all = gather_on_first_rank(flat);
    agree(attempt([&] {
        if (world_rank() == 0) {
            std::vector<DuplicatePair> found;
            for (std::size_t k = 0; k + 3 < all.size(); k += 4) {
                found.push_back({static_cast<Eigen::Index>(all[k]), static_cast<Eigen::Index>(all[k + 1]), all[k + 2],
                                 all[k + 3]});
            }
            report_whole_g(std::move(found), diagonal, ids, options, logger);
        }
    }));
}

}  // namespace

int run_distributed_kinship(const RunOptions& options, Logger& logger) {
    const auto start = std::chrono::system_clock::now();
    const int rank = world_rank();
    const int ranks = world_size();
    const ProcessGrid grid = process_grid(ranks);
    std::vector<TilePosition> tiles;
    std::vector<Eigen::MatrixXd> kinship;
    std::vector<std::string> ids;
    std::vector<std::string> family_ids;
    MarkerOutcome outcome;
    try {
        // Every rank reads the .bed and forms its own tiles; nothing is exchanged until they are done.
        agree(attempt([&] {
            omp_set_num_threads(options.threads);
            FilteredGenotypes genotypes = read_filtered_genotypes(options, logger);
            BedSet& bed = genotypes.bed;
            const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
            tiles = owned_tiles(n_individuals, kTileSize, grid, rank);
            logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << " on "
                       << ranks << " MPI ranks (a " << grid.rows << " x " << grid.cols << " grid of " << kTileSize
                       << " x " << kTileSize << " tiles)...\n";
            try {
                if (rank_asked_to_fail(rank)) {
                    throw std::bad_alloc();
                }
                kinship = gkin_tiles_cpp(bed, options.kin_method, options.kin_lambda, kTileSize, tiles, rank == 0,
                                         &outcome, console_lines());
            } catch (const std::bad_alloc&) {
                throw RunFailure(
                    tile_memory_message(rank, tiles.size(), kinship_tile_bytes_per_value(options.kin_method)));
            }
            if (rank == 0) {  // every rank removed the same markers
                finish_genotype_filters(genotypes, outcome, options, logger, options.out_prefix);
            }
            ids = std::move(bed.individual_ids);
            family_ids = std::move(bed.family_ids);
            const bool binary = options.kin_bin || options.kin_gcta;
            check_writable_ids(ids, options.out_prefix + (binary ? ".id" : ".kinship.txt"));
            if (options.kin_gcta) {
                check_writable_ids(family_ids, options.out_prefix + ".grm.id");
            }
            logger.ensure_written();
        }));
        report_distributed_g(tiles, kinship, ids, options, logger);

        if (!options.kin_bin && !options.kin_gcta) {
            const std::string output_name = options.out_prefix + ".kinship.txt";
            write_text_by_panels(output_name, ids, tiles, kinship, grid);
            logger.tee << "👏 Kinship matrix written to " << output_name << "\n"
                       << "\n😊 All finished!\n" << std::endl;
        } else {
            // The float values of the rank's row segments, for every binary file.
            std::vector<RowSegment> segments;
            std::vector<float> values;
            agree(attempt([&] {
                segments = lower_segments(static_cast<std::int64_t>(ids.size()), kTileSize, tiles);
                for (const RowSegment& segment : segments) {
                    const Eigen::MatrixXd& tile = kinship[segment.tile];
                    const std::int64_t i = segment.row - tiles[segment.tile].row_block * kTileSize;
                    const std::int64_t c0 = segment.first_col - tiles[segment.tile].col_block * kTileSize;
                    for (std::int64_t c = 0; c < segment.length; ++c) {
                        values.push_back(static_cast<float>(tile(i, c0 + c)));
                    }
                }
                kinship.clear();
            }));
            const std::vector<float> counts(options.kin_gcta ? values.size() : 0, static_cast<float>(outcome.markers_used));
            std::vector<TriangleFile> matrices;
            std::vector<IdFile> id_files;
            if (options.kin_gcta) {
                std::string text;
                for (std::size_t k = 0; k < ids.size(); ++k) {
                    text += family_ids[k] + '\t' + ids[k] + '\n';
                }
                matrices.push_back({options.out_prefix + ".grm.bin", &values});
                matrices.push_back({options.out_prefix + ".grm.N.bin", &counts});
                id_files.push_back({options.out_prefix + ".grm.id", std::move(text)});
            }
            if (options.kin_bin) {
                std::string text;
                for (const std::string& id : ids) {
                    text += id + '\n';
                }
                matrices.push_back({options.out_prefix + ".bin", &values});
                id_files.push_back({options.out_prefix + ".id", std::move(text)});
            }
            write_triangle_files(matrices, id_files, segments);
        }
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
    if (options.kin_method == 1) {  // the timing line of method 1, as in one process
        const std::chrono::duration<double> seconds = std::chrono::system_clock::now() - start;
        std::cout << "Building G matrix" << seconds.count() << " 秒" << std::endl;
    }
    if (options.kin_gcta) {
        logger.tee << "👏 Kinship matrix written to " << options.out_prefix << ".grm.bin, " << options.out_prefix
                   << ".grm.id and " << options.out_prefix << ".grm.N.bin." << std::endl;
    }
    if (options.kin_bin) {
        std::cout << "GRM has been written to [" << options.out_prefix << ".bin] and IDs to [" << options.out_prefix
                  << ".id]." << std::endl;
        logger.tee << "👏 Kinship matrix written to binary files." << std::endl;
    }
    const std::chrono::duration<double> elapsed = std::chrono::system_clock::now() - start;
    std::cout << "Run times: " << elapsed.count() << " 秒" << std::endl;
    return 0;
}
