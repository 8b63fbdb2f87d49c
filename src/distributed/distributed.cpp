#include <algorithm>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include <time.h>

#ifdef ZELKORA_HAVE_MPI
#include <mpi.h>
#endif

#include "distributed/distributed.h"

namespace {

int rank_of_process = 0;
int ranks_of_run = 1;

#ifdef ZELKORA_HAVE_MPI
bool mpi_started = false;

// Open MPI, MPICH/Hydra and Slurm's PMI set these in every process they start.
bool started_by_launcher() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK"}) {
        if (std::getenv(name) != nullptr) {
            return true;
        }
    }
    return false;
}

std::string mpi_error_text(int code) {
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) {
        return "MPI error " + std::to_string(code);
    }
    return std::string(text, static_cast<std::size_t>(length));
}
#endif

}  // namespace

void start_distributed(int* argc, char*** argv) {
#ifdef ZELKORA_HAVE_MPI
    if (mpi_started || !started_by_launcher()) {
        return;
    }
    // The ranks call MPI from the main thread only; OpenMP threads never do.
    int provided = 0;
    if (MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
        return;
    }
    mpi_started = true;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_of_process);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks_of_run);
    // Errors come back as codes, so that a rank can report them and agree with the others.
    MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
#else
    (void)argc;
    (void)argv;
#endif
}

void finish_distributed() {
#ifdef ZELKORA_HAVE_MPI
    if (mpi_started) {
        MPI_Finalize();
        mpi_started = false;
    }
#endif
}

int ranks_on_this_machine() {
#ifdef ZELKORA_HAVE_MPI
    if (!mpi_started || ranks_of_run == 1) {
        return 1;
    }
    MPI_Comm local = MPI_COMM_NULL;
    int size = 1;
    if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_of_process, MPI_INFO_NULL, &local) ==
        MPI_SUCCESS) {
        MPI_Comm_size(local, &size);
        MPI_Comm_free(&local);
    }
    return size;
#else
    return 1;
#endif
}

bool started_by_mpirun() {
#ifdef ZELKORA_HAVE_MPI
    return mpi_started;
#else
    return false;
#endif
}

int world_rank() { return rank_of_process; }
int world_size() { return ranks_of_run; }

ProcessGrid process_grid(int n_ranks) {
    if (n_ranks < 1) {
        throw std::invalid_argument("A process grid needs at least one rank, not " + std::to_string(n_ranks) + ".");
    }
    ProcessGrid grid;
    for (int rows = 1; rows * rows <= n_ranks; ++rows) {
        if (n_ranks % rows == 0) {
            grid.rows = rows;
        }
    }
    grid.cols = n_ranks / grid.rows;
    return grid;
}

std::vector<TilePosition> owned_tiles(std::int64_t n, std::int64_t tile_size, const ProcessGrid& grid, int rank) {
    if (tile_size < 1 || rank < 0 || rank >= grid.rows * grid.cols) {
        throw std::invalid_argument("No tiles of size " + std::to_string(tile_size) + " for rank " +
                                    std::to_string(rank) + " of " + std::to_string(grid.rows * grid.cols) + ".");
    }
    const int grid_row = rank / grid.cols;
    const int grid_col = rank % grid.cols;
    const std::int64_t n_blocks = (n + tile_size - 1) / tile_size;
    std::vector<TilePosition> tiles;
    for (std::int64_t row_block = grid_row; row_block < n_blocks; row_block += grid.rows) {
        for (std::int64_t col_block = grid_col; col_block <= row_block; col_block += grid.cols) {
            tiles.push_back({row_block, col_block});
        }
    }
    return tiles;
}

std::vector<RowSegment> lower_segments(std::int64_t n, std::int64_t tile_size, const std::vector<TilePosition>& tiles) {
    std::vector<RowSegment> segments;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        const TilePosition& tile = tiles[t];
        const std::int64_t row0 = tile.row_block * tile_size;
        const std::int64_t col0 = tile.col_block * tile_size;
        if (tile.col_block < 0 || tile.col_block > tile.row_block || row0 >= n) {
            throw std::invalid_argument("Tile (" + std::to_string(tile.row_block) + ", " +
                                        std::to_string(tile.col_block) + ") is not in the lower triangle of " +
                                        std::to_string(n) + " rows.");
        }
        const std::int64_t row_end = std::min(n, row0 + tile_size);
        const std::int64_t col_end = std::min(n, col0 + tile_size);
        for (std::int64_t row = row0; row < row_end; ++row) {
            segments.push_back({row, col0, std::min(col_end, row + 1) - col0, t});
        }
    }
    std::sort(segments.begin(), segments.end(), [](const RowSegment& x, const RowSegment& y) {
        return x.row != y.row ? x.row < y.row : x.first_col < y.first_col;
    });
    return segments;
}

#ifdef ZELKORA_HAVE_MPI

FailureReport agree_on_failure(const FailureReport& local) {
    if (!mpi_started || ranks_of_run == 1) {
        return local;
    }
    const int mine = local.failed ? rank_of_process : ranks_of_run;
    int first = ranks_of_run;
    if (MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD) != MPI_SUCCESS) {
        // Without agreement no rank can report for the others.
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    if (first == ranks_of_run) {
        return FailureReport{};
    }
    FailureReport agreed;
    agreed.failed = true;
    agreed.kind = local.kind;
    if (MPI_Bcast(&agreed.kind, 1, MPI_INT, first, MPI_COMM_WORLD) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    agreed.message = broadcast_text(local.message, first);
    return agreed;
}

int status_of_first_rank(int status) {
    if (!mpi_started || ranks_of_run == 1) {
        return status;
    }
    // The others wait without spinning: on the machine of rank 0 they would take its cores.
    MPI_Request request = MPI_REQUEST_NULL;
    if (MPI_Ibcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD, &request) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    for (int done = 0; !done;) {
        if (MPI_Test(&request, &done, MPI_STATUS_IGNORE) != MPI_SUCCESS) {
            MPI_Abort(MPI_COMM_WORLD, 1);
        }
        if (!done) {
            const timespec pause{0, 5'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    return status;
}

std::vector<double> gather_on_first_rank(const std::vector<double>& mine) {
    if (!mpi_started || ranks_of_run == 1) {
        return mine;
    }
    if (mine.size() > static_cast<std::size_t>(INT_MAX)) {
        MPI_Abort(MPI_COMM_WORLD, 1);  // the callers send a panel of a few hundred rows
    }
    const int count = static_cast<int>(mine.size());
    std::vector<int> counts(rank_of_process == 0 ? static_cast<std::size_t>(ranks_of_run) : 0);
    if (MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    std::vector<int> offsets(counts.size());
    std::size_t total = 0;
    for (std::size_t r = 0; r < counts.size(); ++r) {
        offsets[r] = static_cast<int>(total);
        total += static_cast<std::size_t>(counts[r]);
        if (total > static_cast<std::size_t>(INT_MAX)) {
            MPI_Abort(MPI_COMM_WORLD, 1);
        }
    }
    std::vector<double> all(total);
    if (MPI_Gatherv(mine.data(), count, MPI_DOUBLE, all.data(), counts.data(), offsets.data(), MPI_DOUBLE, 0,
                    MPI_COMM_WORLD) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    return all;
}

std::string broadcast_text(const std::string& text, int root) {
    if (!mpi_started || ranks_of_run == 1) {
        return text;
    }
    long long length = static_cast<long long>(text.size());
    if (MPI_Bcast(&length, 1, MPI_LONG_LONG, root, MPI_COMM_WORLD) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    std::string received = rank_of_process == root ? text : std::string(static_cast<std::size_t>(length), '\0');
    if (length > 0 && MPI_Bcast(received.data(), static_cast<int>(length), MPI_CHAR, root, MPI_COMM_WORLD) != MPI_SUCCESS) {
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    return received;
}

void write_lower_segments(const std::string& path, const std::vector<RowSegment>& segments,
                          const std::vector<float>& values) {
    // Every rank takes each collective step or none, so that no rank waits in a step that
    // another one skipped after a failure. A rank reports its own failure only: the others
    // return, and agree_on_failure hands them its message.
    std::string refused;  // this rank's own reason, before any collective step
    if (values.size() > static_cast<std::size_t>(INT_MAX) || segments.size() > static_cast<std::size_t>(INT_MAX)) {
        refused = "Cannot write " + path + ": this rank holds " + std::to_string(values.size()) + " values in " +
                  std::to_string(segments.size()) + " row segments, more than one MPI write takes (" +
                  std::to_string(INT_MAX) + "); run on more ranks.";
    }
    MPI_Datatype view = MPI_DATATYPE_NULL;
    if (refused.empty()) {
        // The file view: one block per segment at its byte offset, in rising order.
        std::vector<int> lengths(segments.size());
        std::vector<MPI_Aint> offsets(segments.size());
        for (std::size_t s = 0; s < segments.size(); ++s) {
            const RowSegment& segment = segments[s];
            lengths[s] = static_cast<int>(segment.length);
            offsets[s] = static_cast<MPI_Aint>((segment.row * (segment.row + 1) / 2 + segment.first_col) * 4);
        }
        int code = MPI_Type_create_hindexed(static_cast<int>(segments.size()), lengths.data(), offsets.data(),
                                            MPI_FLOAT, &view);
        if (code == MPI_SUCCESS) {
            code = MPI_Type_commit(&view);
        }
        if (code != MPI_SUCCESS) {
            refused = "Error writing " + path + " (file view): " + mpi_error_text(code);
        }
    }
    std::string failed_step;
    int failed_code = MPI_SUCCESS;
    const auto note = [&](const char* step, int result) {
        if (result != MPI_SUCCESS && failed_code == MPI_SUCCESS) {
            failed_step = step;
            failed_code = result;
        }
    };
    const auto every_rank_ok = [](bool mine_ok) {
        const int mine = mine_ok ? 1 : 0;
        int all = 0;
        if (MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD) != MPI_SUCCESS) {
            MPI_Abort(MPI_COMM_WORLD, 1);
        }
        return all == 1;
    };
    MPI_File file = MPI_FILE_NULL;
    if (every_rank_ok(refused.empty())) {
        note("open", MPI_File_open(MPI_COMM_WORLD, path.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file));
        if (every_rank_ok(failed_code == MPI_SUCCESS)) {
            note("view", MPI_File_set_view(file, 0, MPI_FLOAT, view, "native", MPI_INFO_NULL));
            MPI_Status status;
            note("write",
                 MPI_File_write_all(file, values.data(), static_cast<int>(values.size()), MPI_FLOAT, &status));
            if (failed_code == MPI_SUCCESS) {
                int written = 0;
                MPI_Get_count(&status, MPI_FLOAT, &written);
                if (written != static_cast<int>(values.size())) {
                    failed_step = "short write";
                }
            }
        }
        if (file != MPI_FILE_NULL) {
            note("close", MPI_File_close(&file));
        }
    }
    if (view != MPI_DATATYPE_NULL) {
        MPI_Type_free(&view);
    }
    if (!refused.empty()) {
        throw std::runtime_error(refused);
    }
    if (failed_code != MPI_SUCCESS) {
        throw std::runtime_error("Error writing " + path + " (" + failed_step + "): " + mpi_error_text(failed_code));
    }
    if (!failed_step.empty()) {
        throw std::runtime_error("Error writing " + path + ": a short write of this rank's " +
                                 std::to_string(values.size()) + " values.");
    }
}

#else

int status_of_first_rank(int status) { return status; }

std::vector<double> gather_on_first_rank(const std::vector<double>& mine) { return mine; }

FailureReport agree_on_failure(const FailureReport& local) { return local; }

std::string broadcast_text(const std::string& text, int) { return text; }

void write_lower_segments(const std::string& path, const std::vector<RowSegment>&, const std::vector<float>&) {
    throw std::logic_error("Cannot write " + path + " by ranks: this build has no MPI.");
}

#endif
