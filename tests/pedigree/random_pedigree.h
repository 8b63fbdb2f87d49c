#pragma once

// Small closed populations mated at random among the last animals, as test pedigrees with heavy
// inbreeding: full-sib, half-sib and parent-offspring matings, repeated families, one unknown
// parent now and then.

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pedigree/pedigree.h"

inline std::vector<PedigreeTriple> random_inbred_pedigree(std::mt19937& random, int individuals) {
    std::vector<PedigreeTriple> triples;
    for (int k = 0; k < individuals; ++k) {
        auto parent = [&] {
            if (k < 4 || random() % 10 == 0) return std::string("0");
            return "x" + std::to_string(k - 1 - static_cast<int>(random() % std::min(k, 12)));
        };
        std::string sire = parent(), dam = parent();
        if (sire == dam) dam = "0";
        triples.push_back({"x" + std::to_string(k), sire, dam});
    }
    return triples;
}
