// The parentage check against G on the same genotypes: G by gkin_cpp, then the opposing
// homozygotes of 2n offspring-parent pairs and the Mendelian conflicts of n trios (every
// individual given a sire and a dam among the others, as in a pedigree genotyped throughout),
// on the packed genotypes. Prints the seconds of each (the fastest of `repeats`) and the ratio.
// Usage: zelkora_bench_checks PREFIX THREADS [REPEATS]
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "genomic/genomic.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::cerr << "Usage: zelkora_bench_checks PREFIX THREADS [REPEATS]\n";
        return 1;
    }
    omp_set_num_threads(std::atoi(argv[2]));
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    std::cout.setstate(std::ios::failbit);  // the reader's and G's own lines
    const BedSet bed = read_bed(argv[1], false);
    const std::int64_t n = static_cast<std::int64_t>(bed.individual_ids.size());
    std::mt19937 rng(1);
    std::vector<GenotypePair> pairs;
    std::vector<GenotypeTrio> trios;
    for (std::int64_t i = 1; i < n; ++i) {
        std::uniform_int_distribution<std::int64_t> earlier(0, i - 1);
        const std::int64_t sire = earlier(rng);
        const std::int64_t dam = earlier(rng);
        pairs.push_back({i, sire});
        pairs.push_back({i, dam});
        trios.push_back({i, sire, dam});
    }
    double g_seconds = 1e300;
    double parentage_seconds = 1e300;
    for (int round = 0; round < repeats; ++round) {
        auto start = std::chrono::steady_clock::now();
        const Eigen::MatrixXd G = gkin_cpp(bed, 1, 1.0);
        g_seconds = std::min(g_seconds, seconds_since(start));
        start = std::chrono::steady_clock::now();
        const ParentageCounts counts = count_parentage_conflicts(bed, pairs, trios);
        parentage_seconds = std::min(parentage_seconds, seconds_since(start));
        if (counts.pairs.size() != pairs.size() || G.rows() != n) {
            return 1;
        }
    }
    std::cout.clear();
    std::printf("individuals %lld markers %zu pairs %zu trios %zu\n", static_cast<long long>(n), bed.marker_ids.size(),
                pairs.size(), trios.size());
    std::printf("g_seconds %.3f\nparentage_seconds %.3f\nparentage_over_g %.4f\n", g_seconds, parentage_seconds,
                parentage_seconds / g_seconds);
    return 0;
}
