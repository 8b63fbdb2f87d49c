// The floor of a dense inverse of order g: one bare LAPACK Cholesky and inverse (dpotrf, dpotri)
// of a symmetric positive definite matrix, timed: the benches set it beside the genotyped block's
// stages and beside an iteration that factorises V of that order.
//
// Usage: zelkora_bench_inverse_floor ORDER
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include <Eigen/Core>

#include "linear_algebra/lapack.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::cerr << "Usage: zelkora_bench_inverse_floor ORDER\n";
        return 1;
    }
    const int n = std::atoi(argv[1]);
    // A Kac-Murdock-Szego matrix, 0.9^|i - j|: positive definite and well conditioned.
    Eigen::MatrixXd M(n, n);
    for (int c = 0; c < n; ++c) {
        for (int r = 0; r < n; ++r) {
            M(r, c) = std::pow(0.9, std::abs(r - c));
        }
    }
    const auto start = std::chrono::steady_clock::now();
    int info = 0;
    dpotrf_("L", &n, M.data(), &n, &info, 1);
    if (info == 0) {
        dpotri_("L", &n, M.data(), &n, &info, 1);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (info != 0) {
        std::cerr << "LAPACK failed with code " << info << "\n";
        return 1;
    }
    std::cout << seconds << "\n";
    return 0;
}
