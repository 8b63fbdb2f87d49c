#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

#include "distributed/block_cyclic.h"
#include "distributed/distributed.h"
#include "log/failures.h"

#if defined(ZELKORA_HAVE_MPI) && defined(ZELKORA_HAVE_SCALAPACK)
#include <mpi.h>

extern "C" {
void Cblacs_get(int context, int what, int* value);
void Cblacs_gridinit(int* context, const char* order, int rows, int cols);
void Cblacs_gridinfo(int context, int* rows, int* cols, int* my_row, int* my_col);
void Cblacs_gridexit(int context);
int numroc_(const int* n, const int* nb, const int* iproc, const int* isrcproc, const int* nprocs);
void descinit_(int* desc, const int* m, const int* n, const int* mb, const int* nb, const int* irsrc,
               const int* icsrc, const int* ictxt, const int* lld, int* info);
void pdsytrd_(const char* uplo, const int* n, double* a, const int* ia, const int* ja, const int* desca, double* d,
              double* e, double* tau, double* work, const int* lwork, int* info, std::size_t uplo_length);
void pdormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n, const double* a,
              const int* ia, const int* ja, const int* desca, const double* tau, double* c, const int* ic,
              const int* jc, const int* descc, double* work, const int* lwork, int* info, std::size_t side_length,
              std::size_t uplo_length, std::size_t trans_length);
void pdgemr2d_(const int* m, const int* n, const double* a, const int* ia, const int* ja, const int* desca,
               double* b, const int* ib, const int* jb, const int* descb, const int* ictxt);
}

namespace {

constexpr int kOne = 1;

int as_int(std::int64_t value, const char* what) {
    if (value < 0 || value > INT_MAX) {
        throw RunFailure(std::string(what) + " of " + std::to_string(value) +
                         " is more than ScaLAPACK's 32-bit indices reach.");
    }
    return static_cast<int>(value);
}

void check_info(const char* routine, int info) {
    if (info != 0) {
        throw std::runtime_error(std::string("ScaLAPACK ") + routine + " failed with code " + std::to_string(info) +
                                 ".");
    }
}

void check_mpi(int code, const char* what) {
    if (code != MPI_SUCCESS) {
        throw std::runtime_error(std::string("MPI failed to ") + what + " (code " + std::to_string(code) + ").");
    }
}

// Every rank allocates its workspace, or all throw std::bad_alloc together: a rank that failed
// alone would leave the others waiting in the collective call that follows.
template <typename Allocate>
void allocate_everywhere(Allocate allocate) {
    int allocated = 1;
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        allocated = 0;
    }
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &allocated, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD),
              "agree on the workspace");
    if (allocated == 0) {
        throw std::bad_alloc();
    }
}

// Calls of MPI count in int: long arrays go in pieces.
constexpr std::size_t kMpiPiece = std::size_t{1} << 28;

}  // namespace

bool distributed_linear_algebra() { return true; }

BlacsGrid::BlacsGrid(int grid_rows, int grid_cols) : rows(grid_rows), cols(grid_cols) {
    Cblacs_get(-1, 0, &context);
    Cblacs_gridinit(&context, "Row", grid_rows, grid_cols);
    Cblacs_gridinfo(context, &rows, &cols, &my_row, &my_col);
    if (rows != grid_rows || cols != grid_cols || my_row < 0) {
        throw std::runtime_error("BLACS could not form a " + std::to_string(grid_rows) + " x " +
                                 std::to_string(grid_cols) + " process grid.");
    }
}

BlacsGrid::~BlacsGrid() { Cblacs_gridexit(context); }

DistributedMatrix::DistributedMatrix(const BlacsGrid& on, std::int64_t global_rows, std::int64_t global_cols,
                                     std::int64_t rows_per_block, std::int64_t cols_per_block)
    : grid(&on),
      rows(global_rows),
      cols(global_cols),
      row_block(rows_per_block),
      col_block(cols_per_block),
      local_rows(local_extent(global_rows, rows_per_block, on.my_row, on.rows)),
      local_cols(local_extent(global_cols, cols_per_block, on.my_col, on.cols)),
      descriptor{} {
    if (static_cast<double>(local_rows) * static_cast<double>(local_cols) >= static_cast<double>(INT_MAX)) {
        throw RunFailure("a " + std::to_string(rows) + " x " + std::to_string(cols) + " matrix gives each of " +
                         std::to_string(on.rows * on.cols) + " MPI ranks " + std::to_string(local_rows) + " x " +
                         std::to_string(local_cols) +
                         " values, more than ScaLAPACK's 32-bit indices reach; run on more ranks (mpirun -np).");
    }
    const int m = as_int(rows, "A matrix row count");
    const int n = as_int(cols, "A matrix column count");
    const int mb = as_int(row_block, "A block size");
    const int nb = as_int(col_block, "A block size");
    const int zero = 0;
    const int lld = as_int(leading_dimension(), "A local row count");
    int info = 0;
    descinit_(descriptor, &m, &n, &mb, &nb, &zero, &zero, &on.context, &lld, &info);
    check_info("descinit", info);
    local.assign(static_cast<std::size_t>(local_rows * local_cols), 0.0);
}

std::int64_t DistributedMatrix::global_row(std::int64_t local_row) const {
    return ((local_row / row_block) * grid->rows + grid->my_row) * row_block + local_row % row_block;
}

std::int64_t DistributedMatrix::global_col(std::int64_t local_col) const {
    return ((local_col / col_block) * grid->cols + grid->my_col) * col_block + local_col % col_block;
}

std::int64_t largest_distributed_order(int ranks, std::int64_t block) {
    // Binary search on the share of the most loaded rank, which sits at (0, 0).
    const ProcessGrid grid = process_grid(ranks);
    std::int64_t low = 0;
    std::int64_t high = std::int64_t{1} << 40;
    while (low < high) {
        const std::int64_t middle = low + (high - low + 1) / 2;
        const double share = static_cast<double>(local_extent(middle, block, 0, grid.rows)) *
                             static_cast<double>(local_extent(middle, block, 0, grid.cols));
        if (share < static_cast<double>(INT_MAX)) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

TridiagonalReduction reduce_to_tridiagonal(DistributedMatrix K) {
    if (K.rows != K.cols || K.row_block != K.col_block) {
        throw std::invalid_argument("The tridiagonal reduction needs a square matrix in square blocks.");
    }
    TridiagonalReduction reduction(std::move(K));
    DistributedMatrix& A = reduction.reflectors;
    const int n = static_cast<int>(A.rows);
    const std::int64_t local_cols = std::max<std::int64_t>(1, A.local_cols);
    std::vector<double> d;
    std::vector<double> e;
    int info = 0;
    int lwork = -1;
    double query = 0.0;
    double unused[1] = {0.0};  // the query does not look at the outputs
    pdsytrd_("L", &n, A.local.data(), &kOne, &kOne, A.descriptor, unused, unused, unused, &query, &lwork, &info, 1);
    check_info("pdsytrd", info);
    lwork = std::max(1, static_cast<int>(query));
    std::vector<double> work;
    allocate_everywhere([&] {
        d.resize(static_cast<std::size_t>(local_cols));
        e.resize(static_cast<std::size_t>(local_cols));
        reduction.tau.assign(static_cast<std::size_t>(local_cols), 0.0);
        work.resize(static_cast<std::size_t>(lwork));
    });
    pdsytrd_("L", &n, A.local.data(), &kOne, &kOne, A.descriptor, d.data(), e.data(), reduction.tau.data(),
             work.data(), &lwork, &info, 1);
    check_info("pdsytrd", info);

    // T's diagonal and first sub-diagonal stay in A: each entry from the rank that holds it.
    std::vector<double> tridiagonal(2 * static_cast<std::size_t>(n), 0.0);
    for (std::int64_t c = 0; c < A.local_cols; ++c) {
        const std::int64_t j = A.global_col(c);
        for (std::int64_t r = 0; r < A.local_rows; ++r) {
            const std::int64_t i = A.global_row(r);
            if (i == j || i == j + 1) {
                tridiagonal[static_cast<std::size_t>(i == j ? j : n + j)] =
                    A.local[static_cast<std::size_t>(r + c * A.local_rows)];
            }
        }
    }
    sum_over_ranks(tridiagonal.data(), tridiagonal.size());
    reduction.diagonal = Eigen::Map<Eigen::VectorXd>(tridiagonal.data(), n);
    reduction.off_diagonal = Eigen::Map<Eigen::VectorXd>(tridiagonal.data() + n, std::max(0, n - 1));
    return reduction;
}

void apply_reduction(const TridiagonalReduction& reduction, DistributedMatrix& C, bool transposed) {
    const DistributedMatrix& A = reduction.reflectors;
    if (C.rows != A.rows || C.row_block != A.row_block || C.grid != A.grid) {
        throw std::invalid_argument("The rotation needs columns of " + std::to_string(A.rows) +
                                    " rows on the grid and row blocks of the reduction.");
    }
    const int m = static_cast<int>(C.rows);
    const int n = static_cast<int>(C.cols);
    if (m <= 1 || n == 0) {
        return;  // Q is the identity
    }
    const char* trans = transposed ? "T" : "N";
    int info = 0;
    int lwork = -1;
    double query = 0.0;
    pdormtr_("L", "L", trans, &m, &n, A.local.data(), &kOne, &kOne, A.descriptor, reduction.tau.data(),
             C.local.data(), &kOne, &kOne, C.descriptor, &query, &lwork, &info, 1, 1, 1);
    check_info("pdormtr", info);
    lwork = std::max(1, static_cast<int>(query));
    std::vector<double> work;
    allocate_everywhere([&] { work.resize(static_cast<std::size_t>(lwork)); });
    pdormtr_("L", "L", trans, &m, &n, A.local.data(), &kOne, &kOne, A.descriptor, reduction.tau.data(),
             C.local.data(), &kOne, &kOne, C.descriptor, work.data(), &lwork, &info, 1, 1, 1);
    check_info("pdormtr", info);
}

void redistribute(const DistributedMatrix& from, DistributedMatrix& to, const BlacsGrid& all) {
    if (from.rows != to.rows || from.cols != to.cols) {
        throw std::invalid_argument("A redistribution keeps the shape of the matrix.");
    }
    const int m = static_cast<int>(from.rows);
    const int n = static_cast<int>(from.cols);
    if (m == 0 || n == 0) {
        return;
    }
    pdgemr2d_(&m, &n, from.local.data(), &kOne, &kOne, from.descriptor, to.local.data(), &kOne, &kOne,
              to.descriptor, &all.context);
}

Eigen::MatrixXd replicate(const DistributedMatrix& matrix) {
    Eigen::MatrixXd whole = Eigen::MatrixXd::Zero(matrix.rows, matrix.cols);
    for (std::int64_t c = 0; c < matrix.local_cols; ++c) {
        const std::int64_t j = matrix.global_col(c);
        for (std::int64_t r = 0; r < matrix.local_rows; ++r) {
            whole(matrix.global_row(r), j) = matrix.local[static_cast<std::size_t>(r + c * matrix.local_rows)];
        }
    }
    // One rank holds each entry and the others add zeros: the sum is that entry, bit for bit.
    sum_over_ranks(whole.data(), static_cast<std::size_t>(whole.size()));
    return whole;
}

void fill_from_replicated(const Eigen::MatrixXd& whole, DistributedMatrix& into) {
    if (whole.rows() != into.rows || whole.cols() != into.cols) {
        throw std::invalid_argument("The replicated matrix and its distributed copy differ in shape.");
    }
    for (std::int64_t c = 0; c < into.local_cols; ++c) {
        const std::int64_t j = into.global_col(c);
        for (std::int64_t r = 0; r < into.local_rows; ++r) {
            into.local[static_cast<std::size_t>(r + c * into.local_rows)] = whole(into.global_row(r), j);
        }
    }
}

void sum_over_ranks(double* values, std::size_t count) {
    for (std::size_t start = 0; start < count; start += kMpiPiece) {
        const int piece = static_cast<int>(std::min(kMpiPiece, count - start));
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, values + start, piece, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD),
                  "add up values over the ranks");
    }
}

void broadcast_values(double* values, std::size_t count, int root) {
    for (std::size_t start = 0; start < count; start += kMpiPiece) {
        const int piece = static_cast<int>(std::min(kMpiPiece, count - start));
        check_mpi(MPI_Bcast(values + start, piece, MPI_DOUBLE, root, MPI_COMM_WORLD), "broadcast values");
    }
}

#else

// Without MPI and ScaLAPACK the run is one process; the callers check distributed_linear_algebra().
bool distributed_linear_algebra() { return false; }

#endif
