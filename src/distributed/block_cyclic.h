#pragma once

// Dense matrices spread over the ranks in ScaLAPACK's 2-D block-cyclic layout, and the few
// distributed operations the mixed model needs: the reduction of the records' kinship to
// tridiagonal form, its orthogonal factor applied to columns, redistribution between grids, and
// sums and broadcasts of small replicated arrays. Built only with MPI and ScaLAPACK; without them
// `distributed_linear_algebra()` is false and nothing here may be called.

#include <cstdint>
#include <vector>

#include <Eigen/Dense>

bool distributed_linear_algebra();

// The ranks as a BLACS grid of rows x cols, row-major (rank r at (r / cols, r mod cols)), as the
// tiles of G are laid out. Collective to create and to destroy.
class BlacsGrid {
public:
    BlacsGrid(int rows, int cols);
    ~BlacsGrid();
    BlacsGrid(const BlacsGrid&) = delete;
    BlacsGrid& operator=(const BlacsGrid&) = delete;

    int context = -1;
    int rows = 1;
    int cols = 1;
    int my_row = 0;
    int my_col = 0;
};

// Entries a rank holds of `global` rows (or columns) cut in blocks of `block` over `procs` ranks,
// the first block on rank 0 (ScaLAPACK's numroc).
inline std::int64_t local_extent(std::int64_t global, std::int64_t block, int my_index, int procs) {
    const std::int64_t blocks = global / block;
    std::int64_t extent = (blocks / procs) * block;
    const std::int64_t extra = blocks % procs;
    if (my_index < extra) {
        extent += block;
    } else if (my_index == extra) {
        extent += global % block;
    }
    return extent;
}

// A rows x cols matrix in blocks of row_block x col_block; this rank's entries column-major in
// `local` (leading dimension local_rows, at least 1). Throws RunFailure when this rank's share
// has more entries than ScaLAPACK's 32-bit indices reach, or std::bad_alloc.
struct DistributedMatrix {
    DistributedMatrix(const BlacsGrid& grid, std::int64_t rows, std::int64_t cols, std::int64_t row_block,
                      std::int64_t col_block);

    std::int64_t global_row(std::int64_t local_row) const;
    std::int64_t global_col(std::int64_t local_col) const;
    std::int64_t leading_dimension() const { return local_rows > 0 ? local_rows : 1; }

    const BlacsGrid* grid;
    std::int64_t rows;
    std::int64_t cols;
    std::int64_t row_block;
    std::int64_t col_block;
    std::int64_t local_rows;
    std::int64_t local_cols;
    int descriptor[9];
    std::vector<double> local;
};

// The largest order n whose n x n matrix fits ScaLAPACK's indices on `ranks` ranks in blocks of
// `block`: each rank's share must stay below 2^31 entries.
std::int64_t largest_distributed_order(int ranks, std::int64_t block);

// K = Q T Q' for the symmetric K (lower triangle used, overwritten by Q's reflectors), T
// tridiagonal: ScaLAPACK pdsytrd. `diagonal` and `off_diagonal` are on every rank.
struct TridiagonalReduction {
    explicit TridiagonalReduction(DistributedMatrix reduced) : reflectors(std::move(reduced)) {}
    DistributedMatrix reflectors;
    std::vector<double> tau;
    Eigen::VectorXd diagonal;
    Eigen::VectorXd off_diagonal;
};
// Collective. Throws std::runtime_error when ScaLAPACK reports a failure.
TridiagonalReduction reduce_to_tridiagonal(DistributedMatrix K);
// C := Q' C (transposed) or Q C, C distributed on the same grid with the same row blocks.
// Collective (pdormtr).
void apply_reduction(const TridiagonalReduction& reduction, DistributedMatrix& C, bool transposed);

// Copies all of `from` into `to` (same global shape, any grids within `all`, the grid of every
// rank). Collective (pdgemr2d).
void redistribute(const DistributedMatrix& from, DistributedMatrix& to, const BlacsGrid& all);

// The whole of a small distributed matrix on every rank, and back: each rank fills its entries
// of `into` from a matrix every rank holds the same.
Eigen::MatrixXd replicate(const DistributedMatrix& matrix);
void fill_from_replicated(const Eigen::MatrixXd& whole, DistributedMatrix& into);

// Collective: element-wise sums over the ranks, the result on every rank.
void sum_over_ranks(double* values, std::size_t count);
// Collective: rank `root`'s values on every rank.
void broadcast_values(double* values, std::size_t count, int root);
