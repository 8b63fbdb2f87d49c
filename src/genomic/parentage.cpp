#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "genomic/grm_internal.h"

namespace {

// Markers per block: the bit planes of a block take 3 x 4096 / 8 bytes per individual.
constexpr std::int64_t kBlockMarkers = 4096;
constexpr std::int64_t kWordMarkers = 64;

int popcount(std::uint64_t word) { return __builtin_popcountll(word); }

// Per 64 kept markers of a block and per individual taking part: one bit per marker for each of
// the three called genotypes. Laid out word-major (word w of slot s at w * slots + s), so that
// a marker's bits for every individual are written side by side.
struct BitPlanes {
    std::int64_t slots = 0;
    std::int64_t words = 0;
    std::vector<std::uint64_t> two_copies;   // code 00: A1A1
    std::vector<std::uint64_t> one_copy;     // code 10: A1A2
    std::vector<std::uint64_t> no_copy;      // code 11: A2A2

    std::uint64_t aa(std::int64_t w, std::int64_t s) const { return two_copies[static_cast<std::size_t>(w * slots + s)]; }
    std::uint64_t ab(std::int64_t w, std::int64_t s) const { return one_copy[static_cast<std::size_t>(w * slots + s)]; }
    std::uint64_t bb(std::int64_t w, std::int64_t s) const { return no_copy[static_cast<std::size_t>(w * slots + s)]; }
    std::uint64_t called(std::int64_t w, std::int64_t s) const { return aa(w, s) | ab(w, s) | bb(w, s); }
};

}  // namespace

ParentageCounts count_parentage_conflicts(const BedSet& bed, const std::vector<GenotypePair>& pairs,
                                          const std::vector<GenotypeTrio>& trios) {
    const std::int64_t n = static_cast<std::int64_t>(bed.individual_ids.size());
    // The individuals taking part, each given a slot.
    std::vector<std::int64_t> slot_of(static_cast<std::size_t>(n), -1);
    std::vector<std::int64_t> individual_of_slot;
    const auto take = [&](std::int64_t individual) {
        if (individual < 0 || individual >= n) {
            throw std::invalid_argument("Parentage: individual " + std::to_string(individual) + " is not one of the " +
                                        std::to_string(n) + " of the genotype set.");
        }
        if (slot_of[static_cast<std::size_t>(individual)] < 0) {
            slot_of[static_cast<std::size_t>(individual)] = static_cast<std::int64_t>(individual_of_slot.size());
            individual_of_slot.push_back(individual);
        }
        return slot_of[static_cast<std::size_t>(individual)];
    };
    std::vector<std::array<std::int64_t, 2>> pair_slots;
    for (const GenotypePair& pair : pairs) {
        pair_slots.push_back({take(pair.offspring), take(pair.parent)});
    }
    std::vector<std::array<std::int64_t, 3>> trio_slots;
    for (const GenotypeTrio& trio : trios) {
        trio_slots.push_back({take(trio.offspring), take(trio.sire), take(trio.dam)});
    }
    ParentageCounts counts;
    counts.pairs.resize(pairs.size());
    counts.trios.resize(trios.size());
    if (individual_of_slot.empty()) {
        return counts;
    }

    MarkerBlocks blocks(bed, 1, 1.0, kBlockMarkers);
    BitPlanes planes;
    planes.slots = static_cast<std::int64_t>(individual_of_slot.size());
    std::vector<std::int64_t> kept_markers;
    while (blocks.next()) {
        kept_markers.clear();
        for (std::int64_t k = 0; k < blocks.block_markers(); ++k) {
            if (blocks.kept(k)) {
                kept_markers.push_back(k);
            }
        }
        const std::int64_t used = static_cast<std::int64_t>(kept_markers.size());
        counts.markers += used;
        planes.words = (used + kWordMarkers - 1) / kWordMarkers;
        const std::size_t size = static_cast<std::size_t>(planes.words * planes.slots);
        planes.two_copies.assign(size, 0);
        planes.one_copy.assign(size, 0);
        planes.no_copy.assign(size, 0);
        // Each thread fills its own words (64 markers) for every slot.
#pragma omp parallel for schedule(static)
        for (std::int64_t w = 0; w < planes.words; ++w) {
            const std::int64_t end = std::min(used, (w + 1) * kWordMarkers);
            std::uint64_t* aa = planes.two_copies.data() + w * planes.slots;
            std::uint64_t* ab = planes.one_copy.data() + w * planes.slots;
            std::uint64_t* bb = planes.no_copy.data() + w * planes.slots;
            for (std::int64_t j = w * kWordMarkers; j < end; ++j) {
                const unsigned char* bytes = blocks.marker(kept_markers[static_cast<std::size_t>(j)]);
                const std::uint64_t bit = std::uint64_t{1} << (j % kWordMarkers);
                for (std::int64_t s = 0; s < planes.slots; ++s) {
                    const std::int64_t i = individual_of_slot[static_cast<std::size_t>(s)];
                    const unsigned code = (bytes[i / 4] >> (2 * (i % 4))) & 3u;
                    // .bed codes: 00 two copies of A1, 01 missing, 10 one copy, 11 none.
                    aa[s] |= code == 0 ? bit : 0;
                    ab[s] |= code == 2 ? bit : 0;
                    bb[s] |= code == 3 ? bit : 0;
                }
            }
        }
#pragma omp parallel for schedule(static)
        for (std::size_t p = 0; p < pair_slots.size(); ++p) {
            const std::int64_t o = pair_slots[p][0];
            const std::int64_t q = pair_slots[p][1];
            ConflictCount& count = counts.pairs[p];
            for (std::int64_t w = 0; w < planes.words; ++w) {
                count.compared += popcount(planes.called(w, o) & planes.called(w, q));
                count.conflicts += popcount((planes.aa(w, o) & planes.bb(w, q)) | (planes.bb(w, o) & planes.aa(w, q)));
            }
        }
#pragma omp parallel for schedule(static)
        for (std::size_t t = 0; t < trio_slots.size(); ++t) {
            const std::int64_t o = trio_slots[t][0];
            const std::int64_t s = trio_slots[t][1];
            const std::int64_t d = trio_slots[t][2];
            ConflictCount& count = counts.trios[t];
            for (std::int64_t w = 0; w < planes.words; ++w) {
                // A1A1 needs an A1 from each parent, A2A2 an A2 from each; A1A2 cannot come from
                // two A1A1 parents nor from two A2A2 parents.
                const std::uint64_t all_called = planes.called(w, o) & planes.called(w, s) & planes.called(w, d);
                count.compared += popcount(all_called);
                const std::uint64_t conflict =
                    (planes.aa(w, o) & (planes.bb(w, s) | planes.bb(w, d))) |
                    (planes.bb(w, o) & (planes.aa(w, s) | planes.aa(w, d))) |
                    (planes.ab(w, o) & ((planes.aa(w, s) & planes.aa(w, d)) | (planes.bb(w, s) & planes.bb(w, d))));
                count.conflicts += popcount(conflict & all_called);
            }
        }
    }
    return counts;
}
