#pragma once

// Runs under mpirun: the ranks of the run, their 2-D process grid, the block-cyclic ownership of
// the lower triangle's tiles, agreement on a failure, and the collective write of a triangle.
// The only part of the program that calls MPI; without MPI (or without mpirun) the run is one
// rank and these calls do nothing or return the single-process answer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Starts MPI only when the process was started by an MPI launcher (its environment says so),
// so that a plain run never initialises MPI. Call once, before any other call here.
void start_distributed(int* argc, char*** argv);
// Ends MPI if start_distributed started it; safe to call when it did not.
void finish_distributed();

// Whether MPI runs, because a launcher started the process (with one rank or more).
bool started_by_mpirun();
int world_rank();  // 0 without MPI
// Ranks that share this rank's machine (its memory), this one included. Collective.
int ranks_on_this_machine();
int world_size();  // 1 without MPI

// Pr x Pc = P ranks, as square as P allows (Pr <= Pc); rank r sits at (r / Pc, r mod Pc).
struct ProcessGrid {
    int rows = 1;
    int cols = 1;
};
ProcessGrid process_grid(int n_ranks);

// Tile (I, J), I >= J, of the lower triangle: rows [I nb, (I+1) nb), columns [J nb, (J+1) nb),
// cut at n.
struct TilePosition {
    std::int64_t row_block = 0;
    std::int64_t col_block = 0;
};
// The tiles of `rank` under 2-D block-cyclic ownership: (I, J) belongs to the rank at grid
// position (I mod Pr, J mod Pc). In order of I, then J.
std::vector<TilePosition> owned_tiles(std::int64_t n, std::int64_t tile_size, const ProcessGrid& grid, int rank);

// A failure as the driver reports it: which kind of exception (so that it goes to the same
// channel on every rank) and its text.
struct FailureReport {
    bool failed = false;
    int kind = 0;
    std::string message;
};
// Collective: every rank passes its own report and receives the report of the lowest rank that
// failed (or no failure), the same on every rank.
FailureReport agree_on_failure(const FailureReport& local);

// Rank 0's `status` on every rank, the others waiting for it without spinning (a step that rank
// 0 runs alone). Collective.
int status_of_first_rank(int status);

// Rank 0 receives every rank's `mine`, one after the other in rank order (the others receive
// nothing). Collective.
std::vector<double> gather_on_first_rank(const std::vector<double>& mine);

// The same text on every rank from rank `root`'s `text`. Collective.
std::string broadcast_text(const std::string& text, int root);

// A run of one row of the lower triangle inside one tile: value (row, first_col) onwards.
struct RowSegment {
    std::int64_t row = 0;
    std::int64_t first_col = 0;
    std::int64_t length = 0;
    std::size_t tile = 0;  // index into the tiles it was cut from
};
// The row segments of `tiles` (each row's columns at or below the diagonal) in file order: by
// row, then column. Throws std::invalid_argument for a tile outside the triangle.
std::vector<RowSegment> lower_segments(std::int64_t n, std::int64_t tile_size, const std::vector<TilePosition>& tiles);

// Collective: writes each rank's `values` into the file `path` (every rank opens it; rank 0
// has created it) at their places in the lower triangle of a matrix stored row by row as float32:
// value (a, b), b <= a, at byte (a(a+1)/2 + b) x 4. `values` holds the `segments` one after the
// other, in their order. Throws std::runtime_error naming the file on a failure of this rank;
// when only another rank failed, returns without having written (agree_on_failure then gives
// every rank that rank's message).
void write_lower_segments(const std::string& path, const std::vector<RowSegment>& segments,
                          const std::vector<float>& values);
