#pragma once

// Small PLINK 1 genotype sets written straight from a dosage matrix.

#include <cmath>
#include <functional>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "genomic/textbook_grm.h"
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

// Standard output dropped while it lives (the readers and G print their progress lines).
struct SilentStdout {
    std::streambuf* saved = std::cout.rdbuf(nullptr);
    ~SilentStdout() { std::cout.rdbuf(saved); }
};

// n x m dosages 0/1/2, -1 = missing, at ~`missing_rate`; when m > 4 columns 1..4 are the ones
// that need care: monomorphic (all 2; all 0 with missing calls), all heterozygous, uncalled.
inline Eigen::MatrixXd random_dosages(int n, int m, unsigned seed, double missing_rate) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Eigen::MatrixXd dosages(n, m);
    for (int j = 0; j < m; ++j) {
        const double p = 0.05 + 0.9 * uniform(rng);
        for (int i = 0; i < n; ++i) {
            const int dosage = (uniform(rng) < p) + (uniform(rng) < p);
            const double special[4] = {2.0, i % 3 == 0 ? -1.0 : 0.0, 1.0, -1.0};
            const double drawn = uniform(rng) < missing_rate ? -1.0 : dosage;
            dosages(i, j) = m > 4 && j >= 1 && j <= 4 ? special[j - 1] : drawn;
        }
    }
    return dosages;
}

// The .bed encoding written out longhand: code 00 = 2, 01 = missing, 10 = 1, 11 = 0, four
// individuals per byte from the low bits up. `padding` fills the unused pairs of the last byte.
inline std::string encode_bed(const Eigen::MatrixXd& dosages, unsigned padding = 0) {
    const int n = static_cast<int>(dosages.rows());
    std::string bed = {'\x6C', '\x1B', '\x01'};
    for (int j = 0; j < dosages.cols(); ++j) {
        std::vector<unsigned> bytes((n + 3) / 4, 0);
        for (int slot = 0; slot < 4 * static_cast<int>(bytes.size()); ++slot) {
            const double x = slot < n ? dosages(slot, j) : 0.0;
            const unsigned code = slot >= n ? padding & 3u : x == 2.0 ? 0u : x == 1.0 ? 2u : x == 0.0 ? 3u : 1u;
            bytes[slot / 4] |= code << (2 * (slot % 4));
        }
        bed.append(bytes.begin(), bytes.end());
    }
    return bed;
}

// prefix.bed/.bim/.fam for `dosages`; individuals `ids`, or ID1, ID2, ... when none are given.
inline void write_genotype_set(const std::string& prefix, const Eigen::MatrixXd& dosages, unsigned padding = 0,
                               const std::vector<std::string>& ids = {}) {
    std::string fam;
    for (std::size_t i = 0; i < static_cast<std::size_t>(dosages.rows()); ++i) {
        fam += "FAM " + (ids.empty() ? "ID" + std::to_string(i + 1) : ids[i]) + " 0 0 0 -9\n";
    }
    std::string bim;
    for (int j = 0; j < dosages.cols(); ++j) {
        bim += "1\tsnp" + std::to_string(j + 1) + "\t0\t" + std::to_string(1000 * (j + 1)) + "\tA\tG\n";
    }
    write_file(prefix + ".fam", fam);
    write_file(prefix + ".bim", bim);
    write_file(prefix + ".bed", encode_bed(dosages, padding));
}
