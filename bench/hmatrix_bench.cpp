// Times H for a simulated pedigree and genotype set two ways: Hkin (Cholesky solves, BLAS
// products) and the block formulas evaluated literally (LU inverses, products from left to
// right), and reports how far apart the two results are.
//
// Usage: zelkora_bench_hmatrix PEDIGREE BED_PREFIX [THREADS] [TAU] [OMEGA]

#include <omp.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app.h"
#include "genomic/genomic.h"
#include "hmatrix/hmatrix.h"
#include "log/logger.h"

namespace {

using Eigen::MatrixXd;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

MatrixXd literal_H(const MatrixXd& A, const MatrixXd& G22, const MatrixXd& A12, const MatrixXd& A21,
                   const MatrixXd& A22, double tau, double omega) {
    const Eigen::Index g = A22.rows();
    const MatrixXd inv22 = A22.partialPivLu().inverse();
    MatrixXd Gw = G22;
    if (!(tau == 1.0 && omega == 1.0)) {
        const MatrixXd ridged = G22 + 0.0001 * MatrixXd::Identity(g, g);
        Gw = (tau * ridged.partialPivLu().inverse() + (1.0 - omega) * inv22).partialPivLu().inverse();
    }
    const MatrixXd D = Gw - A22;
    const MatrixXd X11 = A12 * inv22 * D * inv22 * A21;
    const MatrixXd X12 = (A12 * inv22) * D;
    const MatrixXd X21 = (D * inv22) * A21;
    MatrixXd C(A.rows(), A.cols());
    C << X11, X12, X21, D;
    return A + C;
}

}  // namespace

int main(int argc, char** argv) {
    configure_parallel_runtime(argv);
    if (argc < 3) {
        std::cerr << "Usage: zelkora_bench_hmatrix PEDIGREE BED_PREFIX [THREADS] [TAU] [OMEGA]\n";
        return 1;
    }
    RunOptions options;
    options.pedigree_file = argv[1];
    options.bed_prefix = argv[2];
    options.threads = argc > 3 ? std::atoi(argv[3]) : 1;
    const double tau = argc > 4 ? std::atof(argv[4]) : 1.0;
    const double omega = argc > 5 ? std::atof(argv[5]) : 1.0;
    omp_set_num_threads(options.threads);

    Logger logger("/dev/null");
    const auto [A, A_ids] = pedigree_route(options, logger);
    const BedSet bed = read_bed(options.bed_prefix, false);
    const MatrixXd G = gkin_cpp(bed, 1, 2.0);

    auto start = std::chrono::steady_clock::now();
    const auto [H, H_ids] = Hkin(A, G, A_ids, bed.individual_ids, tau, omega);
    const double fast_seconds = seconds_since(start);

    // The partitioned A and its blocks, in H's order, for the literal evaluation.
    std::unordered_map<std::string, Eigen::Index> A_position, G_position;
    for (std::size_t k = 0; k < A_ids.size(); ++k) A_position[A_ids[k]] = static_cast<Eigen::Index>(k);
    for (std::size_t k = 0; k < bed.individual_ids.size(); ++k) G_position[bed.individual_ids[k]] = static_cast<Eigen::Index>(k);
    const Eigen::Index n = static_cast<Eigen::Index>(H_ids.size());
    Eigen::Index u = 0;
    while (u < n && G_position.count(H_ids[u]) == 0) ++u;
    const Eigen::Index g = n - u;
    MatrixXd partitioned(n, n);
    for (Eigen::Index c = 0; c < n; ++c)
        for (Eigen::Index r = 0; r < n; ++r) partitioned(r, c) = A(A_position[H_ids[r]], A_position[H_ids[c]]);
    MatrixXd G22(g, g);
    for (Eigen::Index c = 0; c < g; ++c)
        for (Eigen::Index r = 0; r < g; ++r) G22(r, c) = G(G_position[H_ids[u + r]], G_position[H_ids[u + c]]);
    const MatrixXd A12 = partitioned.topRightCorner(u, g);
    const MatrixXd A21 = partitioned.bottomLeftCorner(g, u);
    const MatrixXd A22 = partitioned.bottomRightCorner(g, g);

    start = std::chrono::steady_clock::now();
    const MatrixXd reference = literal_H(partitioned, G22, A12, A21, A22, tau, omega);
    const double literal_seconds = seconds_since(start);

    std::cout << "\nH for " << n << " individuals (" << g << " genotyped), tau = " << tau << ", omega = " << omega
              << ", " << options.threads << " thread(s)\n"
              << "  Hkin:        " << fast_seconds << " s\n"
              << "  literal LU:  " << literal_seconds << " s\n"
              << "  speed-up:    " << literal_seconds / fast_seconds << "x\n"
              << "  max |H - literal| = " << (H - reference).cwiseAbs().maxCoeff() << "\n";
    return 0;
}
