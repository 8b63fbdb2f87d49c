#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "genomic/grm_internal.h"

namespace {

// Markers per block: the bit planes of a block take 2 x 4096 / 8 bytes per individual.
constexpr std::int64_t kBlockMarkers = 4096;
constexpr std::int64_t kWordMarkers = 64;
// Pairs (or trios) per task: each task walks the words of a block in order over its own pairs,
// so that one word of every individual (three rows of n words) stays in cache.
constexpr std::size_t kPairsPerTask = 512;

int popcount(std::uint64_t word) { return __builtin_popcountll(word); }

// The two bits of every call of 64 markers, per individual: bit j of `low` and `high` are the low
// and high bit of the .bed code of marker j (00 two copies of A1, 01 missing, 10 one copy, 11
// none). Word-major (word w of individual i at w * n + i): a word of every individual is read
// side by side.
struct BitPlanes {
    std::int64_t individuals = 0;
    std::int64_t words = 0;
    std::vector<std::uint64_t> low;
    std::vector<std::uint64_t> high;
    std::vector<std::uint64_t> valid;  // per word: the bits of markers the block holds

    std::size_t at(std::int64_t w, std::int64_t i) const { return static_cast<std::size_t>(w * individuals + i); }
    std::uint64_t aa(std::int64_t w, std::int64_t i) const { return ~high[at(w, i)] & ~low[at(w, i)] & valid[w]; }
    std::uint64_t ab(std::int64_t w, std::int64_t i) const { return high[at(w, i)] & ~low[at(w, i)]; }
    std::uint64_t bb(std::int64_t w, std::int64_t i) const { return high[at(w, i)] & low[at(w, i)]; }
    std::uint64_t called(std::int64_t w, std::int64_t i) const { return (high[at(w, i)] | ~low[at(w, i)]) & valid[w]; }
};

// bits[p] gets bit p of each of the 64 bytes of `column` (byte j to bit j): a transposition of
// an 8 x 64 bit matrix, 16 bytes at a time where SSE2 gives each byte's top bit in one step.
void transpose_column(const unsigned char* column, std::uint64_t bits[8]) {
    for (int p = 0; p < 8; ++p) {
        bits[p] = 0;
    }
#if defined(__SSE2__)
    for (int chunk = 0; chunk < 4; ++chunk) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column + 16 * chunk));
        for (int p = 0; p < 8; ++p) {
            // Shifting the 64-bit lanes left by 7 - p puts bit p of every byte at its top.
            const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi64(bytes, 7 - p)));
            bits[p] |= static_cast<std::uint64_t>(top) << (16 * chunk);
        }
    }
#else
    for (int j = 0; j < 64; ++j) {
        for (int p = 0; p < 8; ++p) {
            bits[p] |= static_cast<std::uint64_t>((column[j] >> p) & 1u) << j;
        }
    }
#endif
}

// Fills the planes from a block of markers; each thread fills its own words.
void fill_planes(const MarkerBlocks& blocks, BitPlanes& planes) {
    const std::int64_t markers = blocks.block_markers();
    const std::int64_t n = planes.individuals;
    const std::int64_t bytes_per_marker = (n + 3) / 4;
    planes.words = (markers + kWordMarkers - 1) / kWordMarkers;
    const std::size_t size = static_cast<std::size_t>(planes.words * n);
    planes.low.assign(size, 0);
    planes.high.assign(size, 0);
    planes.valid.assign(static_cast<std::size_t>(planes.words), ~0ULL);
    if (markers % kWordMarkers != 0) {
        planes.valid.back() = (std::uint64_t{1} << (markers % kWordMarkers)) - 1;
    }
#pragma omp parallel for schedule(static)
    for (std::int64_t w = 0; w < planes.words; ++w) {
        const std::int64_t first = w * kWordMarkers;
        const std::int64_t count = std::min(kWordMarkers, markers - first);
        unsigned char column[kWordMarkers] = {};
        std::uint64_t bits[8];
        for (std::int64_t t = 0; t < bytes_per_marker; ++t) {
            for (std::int64_t j = 0; j < count; ++j) {
                column[j] = blocks.marker(first + j)[t];
            }
            transpose_column(column, bits);
            // Byte t holds individuals 4t .. 4t + 3, the low bit of each code first.
            for (std::int64_t q = 0; q < 4 && 4 * t + q < n; ++q) {
                planes.low[planes.at(w, 4 * t + q)] = bits[2 * q];
                planes.high[planes.at(w, 4 * t + q)] = bits[2 * q + 1];
            }
        }
    }
}

}  // namespace

ParentageCounts count_parentage_conflicts(const BedSet& bed, const std::vector<GenotypePair>& pairs,
                                          const std::vector<GenotypeTrio>& trios) {
    const std::int64_t n = static_cast<std::int64_t>(bed.individual_ids.size());
    const auto check = [&](std::int64_t individual) {
        if (individual < 0 || individual >= n) {
            throw std::invalid_argument("Parentage: individual " + std::to_string(individual) + " is not one of the " +
                                        std::to_string(n) + " of the genotype set.");
        }
    };
    for (const GenotypePair& pair : pairs) {
        check(pair.offspring);
        check(pair.parent);
    }
    for (const GenotypeTrio& trio : trios) {
        check(trio.offspring);
        check(trio.sire);
        check(trio.dam);
    }
    ParentageCounts counts;
    counts.pairs.resize(pairs.size());
    counts.trios.resize(trios.size());
    if (pairs.empty() && trios.empty()) {
        return counts;
    }

    MarkerBlocks blocks(bed, 1, 1.0, kBlockMarkers);
    BitPlanes planes;
    planes.individuals = n;
    const std::int64_t pair_tasks = static_cast<std::int64_t>((pairs.size() + kPairsPerTask - 1) / kPairsPerTask);
    const std::int64_t trio_tasks = static_cast<std::int64_t>((trios.size() + kPairsPerTask - 1) / kPairsPerTask);
    while (blocks.next()) {
        counts.markers += blocks.block_markers();  // every one kept by the thresholds
        fill_planes(blocks, planes);
#pragma omp parallel for schedule(dynamic)
        for (std::int64_t task = 0; task < pair_tasks + trio_tasks; ++task) {
            const bool of_pairs = task < pair_tasks;
            const std::size_t first = static_cast<std::size_t>(of_pairs ? task : task - pair_tasks) * kPairsPerTask;
            const std::size_t last = std::min(first + kPairsPerTask, of_pairs ? pairs.size() : trios.size());
            for (std::int64_t w = 0; w < planes.words; ++w) {
                for (std::size_t p = first; p < last; ++p) {
                    if (of_pairs) {
                        const std::int64_t o = pairs[p].offspring;
                        const std::int64_t q = pairs[p].parent;
                        ConflictCount& count = counts.pairs[p];
                        count.compared += popcount(planes.called(w, o) & planes.called(w, q));
                        count.conflicts +=
                            popcount((planes.aa(w, o) & planes.bb(w, q)) | (planes.bb(w, o) & planes.aa(w, q)));
                        continue;
                    }
                    const std::int64_t o = trios[p].offspring;
                    const std::int64_t s = trios[p].sire;
                    const std::int64_t d = trios[p].dam;
                    ConflictCount& count = counts.trios[p];
                    const std::uint64_t all_called = planes.called(w, o) & planes.called(w, s) & planes.called(w, d);
                    count.compared += popcount(all_called);
                    // A1A1 needs an A1 from each parent, A2A2 an A2 from each; A1A2 cannot come
                    // from two A1A1 parents nor from two A2A2 parents.
                    const std::uint64_t conflict =
                        (planes.aa(w, o) & (planes.bb(w, s) | planes.bb(w, d))) |
                        (planes.bb(w, o) & (planes.aa(w, s) | planes.aa(w, d))) |
                        (planes.ab(w, o) & ((planes.aa(w, s) & planes.aa(w, d)) | (planes.bb(w, s) & planes.bb(w, d))));
                    count.conflicts += popcount(conflict & all_called);
                }
            }
        }
    }
    return counts;
}
