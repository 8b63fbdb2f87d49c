#pragma once

// Small PLINK 1 genotype sets written straight from a dosage matrix.

#include <cmath>
#include <functional>
#include <iostream>
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
Eigen::MatrixXd random_dosages(int n, int m, unsigned seed, double missing_rate);

// The .bed encoding written out longhand: code 00 = 2, 01 = missing, 10 = 1, 11 = 0, four
// individuals per byte from the low bits up. `padding` fills the unused pairs of the last byte.
std::string encode_bed(const Eigen::MatrixXd& dosages, unsigned padding = 0);

// prefix.bed/.bim/.fam for `dosages`; individuals `ids`, or ID1, ID2, ... when none are given.
void write_genotype_set(const std::string& prefix, const Eigen::MatrixXd& dosages, unsigned padding = 0,
                        const std::vector<std::string>& ids = {});
