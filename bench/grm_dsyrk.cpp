// The arithmetic floor of a double-precision G: one cblas_dsyrk of an n x m matrix of
// centred genotypes, with the matrix already in memory. Prints the seconds of the call and
// the OpenBLAS kernel set in use, chosen the way the Zelkora executable chooses it.
// Usage: zelkora_bench_grm_dsyrk N M THREADS
#include <cblas.h>
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <Eigen/Dense>

#include "app/app.h"

int main(int argc, char* argv[]) {
    configure_parallel_runtime(argv);
    if (argc != 4) {
        std::fprintf(stderr, "Usage: %s N M THREADS\n", argv[0]);
        return 1;
    }
    const int n = std::atoi(argv[1]);
    const int m = std::atoi(argv[2]);
    omp_set_num_threads(std::atoi(argv[3]));

    // n x m, column-major: dosage 0/1/2 minus 2p, p drawn per marker.
    Eigen::MatrixXd centred(n, m);
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int j = 0; j < m; ++j) {
        const double p = 0.05 + 0.9 * uniform(rng);
        for (int i = 0; i < n; ++i) {
            centred(i, j) = (uniform(rng) < p) + (uniform(rng) < p) - 2.0 * p;
        }
    }
    Eigen::MatrixXd kinship(n, n);
    const auto start = std::chrono::steady_clock::now();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, n, m, 1.0, centred.data(), n, 0.0, kinship.data(), n);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("dsyrk_seconds %.3f\nopenblas_core %s\ncheck %.6g\n", elapsed.count(), openblas_get_corename(),
                kinship(n - 1, 0));
    return 0;
}
