#pragma once

// Small PLINK 1 genotype sets written straight from a dosage matrix, and the textbook G
// that the fast paths are checked against.

#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "test_support.h"

// The message of the std::exception that `action` throws, "" if none.
inline std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// n x m dosages 0/1/2, -1 = missing: ~`missing_rate` missing calls, frequencies spread over
// (0, 1), plus the columns that need care: monomorphic (all 2, and all 0 with missing calls),
// all heterozygous, and no calls at all (at columns 1, 2, 3 and 4 when m > 4).
inline Eigen::MatrixXd random_dosages(int n, int m, unsigned seed, double missing_rate) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Eigen::MatrixXd dosages(n, m);
    for (int j = 0; j < m; ++j) {
        const double p = 0.05 + 0.9 * uniform(rng);
        for (int i = 0; i < n; ++i) {
            const int dosage = (uniform(rng) < p) + (uniform(rng) < p);
            dosages(i, j) = uniform(rng) < missing_rate ? -1.0 : dosage;
        }
    }
    if (m > 4) {
        dosages.col(1).setConstant(2.0);
        for (int i = 0; i < n; ++i) {
            dosages(i, 2) = i % 3 == 0 ? -1.0 : 0.0;
        }
        dosages.col(3).setConstant(1.0);
        dosages.col(4).setConstant(-1.0);
    }
    return dosages;
}

// The .bed encoding written out longhand: code 00 = 2, 01 = missing, 10 = 1, 11 = 0, four
// individuals per byte from the low bits up. `padding` fills the unused pairs of the last byte.
inline std::string encode_bed(const Eigen::MatrixXd& dosages, unsigned padding = 0) {
    const int n = static_cast<int>(dosages.rows());
    const int bytes_per_marker = (n + 3) / 4;
    std::string bed = {'\x6C', '\x1B', '\x01'};
    for (int j = 0; j < dosages.cols(); ++j) {
        std::vector<unsigned> bytes(bytes_per_marker, 0);
        for (int slot = 0; slot < 4 * bytes_per_marker; ++slot) {
            unsigned code = padding & 3u;
            if (slot < n) {
                const double dosage = dosages(slot, j);
                code = dosage == 2.0 ? 0u : dosage == 1.0 ? 2u : dosage == 0.0 ? 3u : 1u;
            }
            bytes[slot / 4] |= code << (2 * (slot % 4));
        }
        for (unsigned byte : bytes) {
            bed += static_cast<char>(byte);
        }
    }
    return bed;
}

inline std::vector<std::string> numbered_ids(int n, const std::string& stem = "ID") {
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) {
        ids.push_back(stem + std::to_string(i + 1));
    }
    return ids;
}

// prefix.bed/.bim/.fam for `dosages`, individuals named by `ids` (default ID1, ID2, ...).
inline void write_genotype_set(const std::string& prefix, const Eigen::MatrixXd& dosages,
                               std::vector<std::string> ids = {}, unsigned padding = 0) {
    if (ids.empty()) {
        ids = numbered_ids(static_cast<int>(dosages.rows()));
    }
    std::string fam;
    for (const std::string& id : ids) {
        fam += "FAM " + id + " 0 0 0 -9\n";
    }
    std::string bim;
    for (int j = 0; j < dosages.cols(); ++j) {
        bim += "1\tsnp" + std::to_string(j + 1) + "\t0\t" + std::to_string(1000 * (j + 1)) + "\tA\tG\n";
    }
    write_file(prefix + ".fam", fam);
    write_file(prefix + ".bim", bim);
    write_file(prefix + ".bed", encode_bed(dosages, padding));
}

// G by the formulas, one marker at a time: impute by the observed mean, centre by 2p, then
// method 1: Σ z zᵀ / (2 Σ p(1-p)); methods 2 and 3: Σ w z zᵀ scaled to mean diagonal 1, with
// w = 1 / (m (2p(1-p) + 1e-6)^λ) or 1 / (m (v + 1e-6)^λ), v the variance (divisor n).
inline Eigen::MatrixXd textbook_grm(const Eigen::MatrixXd& dosages, int method, double lambda) {
    const int n = static_cast<int>(dosages.rows());
    const int m = static_cast<int>(dosages.cols());
    Eigen::MatrixXd sum = Eigen::MatrixXd::Zero(n, n);
    double heterozygosity = 0.0;
    for (int j = 0; j < m; ++j) {
        double total = 0.0;
        int observed = 0;
        for (int i = 0; i < n; ++i) {
            if (dosages(i, j) != -1.0) {
                total += dosages(i, j);
                ++observed;
            }
        }
        const double mean = observed > 0 ? total / observed : 0.0;
        const double p = mean / 2.0;
        Eigen::VectorXd z(n);
        double variance = 0.0;
        for (int i = 0; i < n; ++i) {
            const double x = dosages(i, j) == -1.0 ? mean : dosages(i, j);
            z[i] = x - 2.0 * p;
            variance += (x - mean) * (x - mean) / n;
        }
        heterozygosity += p * (1.0 - p);
        double weight = 1.0;
        if (method == 2) {
            weight = 1.0 / (m * std::pow(2.0 * p * (1.0 - p) + 1e-6, lambda));
        } else if (method == 3) {
            weight = 1.0 / (m * std::pow(variance + 1e-6, lambda));
        }
        sum += weight * z * z.transpose();
    }
    if (method == 1) {
        return sum / (2.0 * heterozygosity);
    }
    return sum / (sum.trace() / n);
}
