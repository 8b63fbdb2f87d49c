// Seconds of one bare LAPACK Cholesky factorisation and inverse (dpotrf + dpotri) of a symmetric
// positive definite matrix of order N: the floor of one iteration of an evaluator that factorises
// V of that order. usage: zelkora_bench_cholesky_inverse N [REPEATS]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <Eigen/Dense>

#include "linear_algebra/lapack.h"

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zelkora_bench_cholesky_inverse N [REPEATS]\n");
        return 1;
    }
    const int n = std::atoi(argv[1]);
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::mt19937 engine(1);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd W(n, 64);
    for (Eigen::Index i = 0; i < W.size(); ++i) W(i) = normal(engine);
    Eigen::MatrixXd S = W * W.transpose() / 64.0;
    S.diagonal().array() += 1.0;
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        Eigen::MatrixXd A = S;
        int info = 0;
        const auto start = std::chrono::steady_clock::now();
        dpotrf_("L", &n, A.data(), &n, &info, 1);
        dpotri_("L", &n, A.data(), &n, &info, 1);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (info != 0) {
            std::fprintf(stderr, "LAPACK failed with code %d\n", info);
            return 1;
        }
        best = seconds < best ? seconds : best;
    }
    std::printf("%.4f\n", best);
    return 0;
}
