// The arithmetic floor of a double-precision G: one cblas_dsyrk of an n x m matrix of
// centred genotypes, with the matrix already in memory. Prints the seconds of the call and
// the OpenBLAS kernel set in use, chosen the way the Zelkora executable chooses it.
// With `float32`: the weighted G of method 2 (lambda 1) both ways, in double and as float
// products of 1,024 markers at a time summed in double, with the seconds of each and the
// largest deviation of the float G (scaled to mean diagonal 1) from the double one.
// Usage: zelkora_bench_grm_dsyrk N M THREADS [float32]
#include <cblas.h>
#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <Eigen/Dense>

#include "app/app.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compare_float_products(const Eigen::MatrixXd& centred) {
    const int n = static_cast<int>(centred.rows());
    const int m = static_cast<int>(centred.cols());
    constexpr int kBlock = 1024;
    Eigen::MatrixXd exact(n, n);
    auto start = std::chrono::steady_clock::now();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, n, m, 1.0, centred.data(), n, 0.0, exact.data(), n);
    const double double_seconds = seconds_since(start);

    const Eigen::MatrixXf single = centred.cast<float>();
    Eigen::MatrixXf block_sum(n, n);
    Eigen::MatrixXd summed = Eigen::MatrixXd::Zero(n, n);
    start = std::chrono::steady_clock::now();
    for (int j = 0; j < m; j += kBlock) {
        const int width = std::min(kBlock, m - j);
        cblas_ssyrk(CblasColMajor, CblasLower, CblasNoTrans, n, width, 1.0f, single.data() + std::size_t(j) * n, n,
                    0.0f, block_sum.data(), n);
        summed.triangularView<Eigen::Lower>() += block_sum.cast<double>();
    }
    const double float_seconds = seconds_since(start);
    const double scale = n / exact.diagonal().sum();
    const Eigen::MatrixXd difference = (summed - exact).triangularView<Eigen::Lower>();
    std::printf("double_seconds %.3f\nfloat_seconds %.3f\nmax_deviation %.3g\n", double_seconds, float_seconds,
                difference.cwiseAbs().maxCoeff() * scale);
}

}  // namespace

int main(int argc, char* argv[]) {
    configure_parallel_runtime(argv);
    if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "float32")) {
        std::fprintf(stderr, "Usage: %s N M THREADS [float32]\n", argv[0]);
        return 1;
    }
    const int n = std::atoi(argv[1]);
    const int m = std::atoi(argv[2]);
    omp_set_num_threads(std::atoi(argv[3]));

    // n x m, column-major: dosage 0/1/2 minus 2p, p drawn per marker.
    const bool weighted = argc == 5;
    Eigen::MatrixXd centred(n, m);
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int j = 0; j < m; ++j) {
        const double p = 0.05 + 0.9 * uniform(rng);
        const double scale = weighted ? std::sqrt(1.0 / (m * (2.0 * p * (1.0 - p) + 1e-6))) : 1.0;
        for (int i = 0; i < n; ++i) {
            centred(i, j) = ((uniform(rng) < p) + (uniform(rng) < p) - 2.0 * p) * scale;
        }
    }
    if (weighted) {
        compare_float_products(centred);
        return 0;
    }
    Eigen::MatrixXd kinship(n, n);
    const auto start = std::chrono::steady_clock::now();
    cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, n, m, 1.0, centred.data(), n, 0.0, kinship.data(), n);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("dsyrk_seconds %.3f\nopenblas_core %s\ncheck %.6g\n", elapsed.count(), openblas_get_corename(),
                kinship(n - 1, 0));
    return 0;
}
