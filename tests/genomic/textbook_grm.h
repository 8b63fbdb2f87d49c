#pragma once

// The plain formulas that the program's decoder and G are checked against (by the tests and
// the fuzz targets): longhand, one individual and one marker at a time.

#include <cmath>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>

// The n x m dosages of a .bed's bytes (header included): code 00 = 2, 01 = missing (-1),
// 10 = 1, 11 = 0, four individuals per byte from the low bits up. Throws when the size does
// not fit n and m.
inline Eigen::MatrixXd decode_bed(const std::string& bed, int n, int m) {
    const std::size_t per_marker = (static_cast<std::size_t>(n) + 3) / 4;
    if (bed.size() != 3 + per_marker * static_cast<std::size_t>(m)) {
        throw std::runtime_error("decode_bed: the .bed does not hold " + std::to_string(n) + " x " +
                                 std::to_string(m) + " calls");
    }
    const double dosage_of_code[4] = {2.0, -1.0, 1.0, 0.0};
    Eigen::MatrixXd dosages(n, m);
    for (int j = 0; j < m; ++j) {
        for (int i = 0; i < n; ++i) {
            const unsigned byte = static_cast<unsigned char>(bed[3 + j * per_marker + i / 4]);
            dosages(i, j) = dosage_of_code[(byte >> (2 * (i % 4))) & 3u];
        }
    }
    return dosages;
}

// G by the formulas, one marker at a time: impute by the observed mean, centre by 2p, then
// method 1: Σ z zᵀ / (2 Σ p(1-p)); methods 2 and 3: Σ w z zᵀ scaled to mean diagonal 1, with
// w = 1 / (m (2p(1-p) + 1e-6)^λ) or 1 / (m (v + 1e-6)^λ), v the variance (divisor n).
inline Eigen::MatrixXd textbook_grm(const Eigen::MatrixXd& dosages, int method, double lambda) {
    const Eigen::Index n = dosages.rows();
    const Eigen::Index m = dosages.cols();
    Eigen::MatrixXd sum = Eigen::MatrixXd::Zero(n, n);
    double heterozygosity = 0.0;
    for (Eigen::Index j = 0; j < m; ++j) {
        const Eigen::ArrayXd x = dosages.col(j).array();
        const auto called = x != -1.0;
        const double mean = called.any() ? called.select(x, 0.0).sum() / called.count() : 0.0;
        const double p = mean / 2.0;
        const Eigen::VectorXd z = (called.select(x, mean) - 2.0 * p).matrix();
        heterozygosity += p * (1.0 - p);
        const double spread = method == 2 ? 2.0 * p * (1.0 - p) : z.squaredNorm() / n;
        const double weight = method == 1 ? 1.0 : 1.0 / (m * std::pow(spread + 1e-6, lambda));
        sum += weight * z * z.transpose();
    }
    return method == 1 ? Eigen::MatrixXd(sum / (2.0 * heterozygosity)) : Eigen::MatrixXd(sum / (sum.trace() / n));
}
