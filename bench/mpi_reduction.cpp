// Seconds of the distributed decomposition behind REML and prediction, run under mpirun:
// an n x n symmetric matrix reduced to tridiagonal form (pdsytrd) and Q' applied to n columns
// (pdormtr), for each block size asked, against ELPA's one- and two-stage eigenvectors followed
// by the product Q' C (pdgemm) when the bench is built with ELPA.
//
// Usage: mpirun -np P zelkora_bench_mpi_reduction N BLOCK...
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "distributed/block_cyclic.h"
#include "distributed/distributed.h"

#ifdef ZELKORA_BENCH_ELPA
// ELPA's header pulls in C's <complex.h>, which C++ cannot read: the few calls used here.
extern "C" {
using elpa_t = struct elpa_struct*;
int elpa_init(int api_version);
elpa_t elpa_allocate(int* error);
void elpa_set_integer(elpa_t handle, const char* name, int value, int* error);
int elpa_setup(elpa_t handle);
void elpa_eigenvectors_a_h_a_d(elpa_t handle, double* a, double* ev, double* q, int* error);
void elpa_deallocate(elpa_t handle, int* error);
void pdgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
             const double* a, const int* ia, const int* ja, const int* desca, const double* b, const int* ib,
             const int* jb, const int* descb, const double* beta, double* c, const int* ic, const int* jc,
             const int* descc, std::size_t transa_length, std::size_t transb_length);
}
#endif

namespace {

// A symmetric, diagonally dominant matrix with no structure a solver could exploit, and the
// columns to rotate.
void fill(DistributedMatrix& K, DistributedMatrix& C) {
    for (std::int64_t j = 0; j < K.local_cols; ++j) {
        for (std::int64_t i = 0; i < K.local_rows; ++i) {
            const std::int64_t a = K.global_row(i);
            const std::int64_t b = K.global_col(j);
            const double value = 0.1 * std::sin(0.37 * static_cast<double>(std::min(a, b)) +
                                                1.3 * static_cast<double>(std::max(a, b)));
            K.local[static_cast<std::size_t>(j * K.leading_dimension() + i)] = value + (a == b ? 2.0 : 0.0);
        }
    }
    for (std::int64_t j = 0; j < C.local_cols; ++j) {
        for (std::int64_t i = 0; i < C.local_rows; ++i) {
            C.local[static_cast<std::size_t>(j * C.leading_dimension() + i)] =
                std::cos(0.1 * static_cast<double>(C.global_row(i)) + static_cast<double>(C.global_col(j)));
        }
    }
}

double seconds_since(double start) {
    MPI_Barrier(MPI_COMM_WORLD);
    return MPI_Wtime() - start;
}

double now() {
    MPI_Barrier(MPI_COMM_WORLD);
    return MPI_Wtime();
}

#ifdef ZELKORA_BENCH_ELPA
double elpa_seconds(const BlacsGrid& grid, std::int64_t n, std::int64_t block, int solver) {
    DistributedMatrix K(grid, n, n, block, block);
    DistributedMatrix C(grid, n, n, block, block);
    fill(K, C);
    DistributedMatrix Q(grid, n, n, block, block);
    DistributedMatrix rotated(grid, n, n, block, block);
    std::vector<double> eigenvalues(static_cast<std::size_t>(n));
    int error = 0;
    elpa_t handle = elpa_allocate(&error);
    elpa_set_integer(handle, "na", static_cast<int>(n), &error);
    elpa_set_integer(handle, "nev", static_cast<int>(n), &error);
    elpa_set_integer(handle, "local_nrows", static_cast<int>(K.local_rows), &error);
    elpa_set_integer(handle, "local_ncols", static_cast<int>(K.local_cols), &error);
    elpa_set_integer(handle, "nblk", static_cast<int>(block), &error);
    elpa_set_integer(handle, "mpi_comm_parent", static_cast<int>(MPI_Comm_c2f(MPI_COMM_WORLD)), &error);
    elpa_set_integer(handle, "process_row", grid.my_row, &error);
    elpa_set_integer(handle, "process_col", grid.my_col, &error);
    elpa_set_integer(handle, "blacs_context", grid.context, &error);
    if (elpa_setup(handle) != 0) {
        std::fprintf(stderr, "ELPA setup failed\n");
        std::exit(1);
    }
    elpa_set_integer(handle, "solver", solver, &error);
    if (const char* threads = std::getenv("OMP_NUM_THREADS")) {
        elpa_set_integer(handle, "omp_threads", std::atoi(threads), &error);
    }
    const double start = now();
    elpa_eigenvectors_a_h_a_d(handle, K.local.data(), eigenvalues.data(), Q.local.data(), &error);
    const int order = static_cast<int>(n);
    const int one = 1;
    const double alpha = 1.0;
    const double beta = 0.0;
    pdgemm_("T", "N", &order, &order, &order, &alpha, Q.local.data(), &one, &one, Q.descriptor, C.local.data(), &one,
            &one, C.descriptor, &beta, rotated.local.data(), &one, &one, rotated.descriptor, 1, 1);
    const double seconds = seconds_since(start);
    elpa_deallocate(handle, &error);
    if (error != 0) {
        std::fprintf(stderr, "ELPA failed with code %d\n", error);
        std::exit(1);
    }
    return seconds;
}
#endif

// The grid lives only inside: BLACS lets go of it before MPI finishes.
void run(std::int64_t n, const std::vector<char*>& blocks) {
    const ProcessGrid shape = process_grid(world_size());
    const BlacsGrid grid(shape.rows, shape.cols);
    const bool first = world_rank() == 0;
    if (first) {
        std::printf("n = %lld on %d ranks (%d x %d)\n", static_cast<long long>(n), world_size(), shape.rows,
                    shape.cols);
    }
#ifdef ZELKORA_BENCH_ELPA
    if (elpa_init(20171201) != 0) {
        std::fprintf(stderr, "ELPA does not offer the API of 2017.12\n");
        std::exit(1);
    }
#endif
    double reference = 0.0;
    for (const char* block_text : blocks) {
        const std::int64_t block = std::atoll(block_text);
        DistributedMatrix K(grid, n, n, block, block);
        DistributedMatrix C(grid, n, n, block, block);
        fill(K, C);
        const double start = now();
        const TridiagonalReduction reduction = reduce_to_tridiagonal(std::move(K));
        const double reduced = seconds_since(start);
        apply_reduction(reduction, C, true);
        const double seconds = seconds_since(start);
        if (reference == 0.0) {
            reference = seconds;
        }
        if (first) {
            std::printf("pdsytrd + pdormtr, blocks of %4lld: %7.2f s (%.2f + %.2f), %.2fx the first\n",
                        static_cast<long long>(block), seconds, reduced, seconds - reduced, seconds / reference);
        }
#ifdef ZELKORA_BENCH_ELPA
        for (const int solver : {1, 2}) {
            const double elpa = elpa_seconds(grid, n, block, solver);
            if (first) {
                std::printf("ELPA %d-stage + pdgemm,  blocks of %4lld: %7.2f s, %.2fx pdsytrd + pdormtr\n", solver,
                            static_cast<long long>(block), elpa, elpa / seconds);
            }
        }
#endif
    }
}

}  // namespace

int main(int argc, char** argv) {
    start_distributed(&argc, &argv);
    if (argc < 3) {
        std::fprintf(stderr, "Usage: mpirun -np P %s N BLOCK...\n", argv[0]);
        return 2;
    }
    run(std::atoll(argv[1]), std::vector<char*>(argv + 2, argv + argc));
    finish_distributed();
    return 0;
}
