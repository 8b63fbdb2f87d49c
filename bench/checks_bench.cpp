// The checks before G against G itself, in one process: (1) G of a genotype set with the filters
// --maf 0.05 --geno 0.1 --mind 0.1 --hwe 1e-6 (select_genotypes, then gkin_cpp with the
// thresholds) against G of the same data filtered beforehand (the same individuals and markers);
// (2) the parentage counts of 2n offspring-parent pairs and n trios (every individual given a
// sire and a dam among the others, as in a pedigree genotyped throughout) against G, on the
// filtered data. Prints wall and CPU seconds (the fastest of `repeats`; the CPU seconds of the
// process are little changed by other programs on a shared machine) and the ratios.
// Usage: zelkora_bench_checks RAW_PREFIX FILTERED_PREFIX THREADS [REPEATS]
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "genomic/genomic.h"

namespace {

struct Seconds {
    double wall = 1e300;
    double cpu = 1e300;
};

// Runs `work` `repeats` times; the fastest wall and CPU seconds.
template <typename Work>
Seconds fastest(int repeats, Work work) {
    Seconds best;
    for (int round = 0; round < repeats; ++round) {
        const auto wall_start = std::chrono::steady_clock::now();
        const std::clock_t cpu_start = std::clock();
        work();
        best.cpu = std::min(best.cpu, static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
        best.wall = std::min(best.wall,
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count());
    }
    return best;
}

void print(const char* name, const Seconds& seconds) {
    std::printf("  %-42s wall %7.3f s   CPU %7.3f s\n", name, seconds.wall, seconds.cpu);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::cerr << "Usage: zelkora_bench_checks RAW_PREFIX FILTERED_PREFIX THREADS [REPEATS]\n";
        return 1;
    }
    omp_set_num_threads(std::atoi(argv[3]));
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    std::cout.setstate(std::ios::failbit);  // the reader's and G's own lines
    GenotypeFilters filters;
    filters.mind = 0.1;
    filters.markers = {0.1, 1e-6, 0.05};
    std::size_t kept = 0;
    const Seconds filtered = fastest(repeats, [&] {
        BedSet raw = read_bed(argv[1], false);
        select_genotypes(raw, filters);
        kept = static_cast<std::size_t>(gkin_cpp(raw, 1, 1.0).rows());
    });
    const BedSet same = read_bed(argv[2], false);
    const Seconds plain = fastest(repeats, [&] {
        const BedSet again = read_bed(argv[2], false);
        gkin_cpp(again, 1, 1.0);
    });
    const std::int64_t n = static_cast<std::int64_t>(same.individual_ids.size());
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
    const Seconds parentage = fastest(repeats, [&] { count_parentage_conflicts(same, pairs, trios); });
    std::cout.clear();
    if (kept != same.individual_ids.size()) {
        std::printf("the filters kept %zu individuals, the filtered files hold %zu\n", kept, same.individual_ids.size());
        return 1;
    }
    std::printf("%lld individuals, %zu markers after the filters; %zu pairs, %zu trios; fastest of %d\n",
                static_cast<long long>(n), same.marker_ids.size(), pairs.size(), trios.size(), repeats);
    print("G with the filters (raw data)", filtered);
    print("G of the data filtered beforehand", plain);
    print("parentage (filtered data)", parentage);
    std::printf("  filtered / unfiltered G:  wall %.3f, CPU %.3f   (goal <= 1.15)\n", filtered.wall / plain.wall,
                filtered.cpu / plain.cpu);
    std::printf("  parentage / G:            wall %.3f, CPU %.3f\n", parentage.wall / plain.wall,
                parentage.cpu / plain.cpu);
    return 0;
}
