// The block-cyclic arithmetic of the distributed mixed model, without MPI: how many rows each
// rank holds, and how many records fit ScaLAPACK's indices.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "distributed/block_cyclic.h"

namespace {

#if defined(ZELKORA_HAVE_MPI) && defined(ZELKORA_HAVE_SCALAPACK)

TEST(BlockCyclic, EveryRowHasOneRankAndTheLimitIsWhereAShareReachesTwoToThe31) {
    // Counted row by row: row g belongs to rank (g / block) mod procs.
    for (const std::int64_t block : {1, 4, 256}) {
        for (const int procs : {1, 2, 3, 5}) {
            for (const std::int64_t global : {0, 1, 255, 256, 257, 1000, 4 * 256 * 5 + 3}) {
                std::int64_t total = 0;
                for (int me = 0; me < procs; ++me) {
                    std::int64_t counted = 0;
                    for (std::int64_t g = 0; g < global; ++g) {
                        counted += (g / block) % procs == me ? 1 : 0;
                    }
                    EXPECT_EQ(local_extent(global, block, me, procs), counted)
                        << global << " rows, block " << block << ", rank " << me << " of " << procs;
                    total += counted;
                }
                EXPECT_EQ(total, global);
            }
        }
    }
    // One rank: the order whose square is the last below 2^31 (46,340^2 = 2,147,395,600).
    EXPECT_EQ(largest_distributed_order(1, 256), 46340);
    // A 2 x 2 grid halves each side of the largest share: twice the order, within a block.
    const std::int64_t four = largest_distributed_order(4, 256);
    EXPECT_GE(four, 2 * 46340 - 512);
    const double share = static_cast<double>(local_extent(four, 256, 0, 2));
    EXPECT_LT(share * share, static_cast<double>(INT_MAX));
    const double beyond = static_cast<double>(local_extent(four + 1, 256, 0, 2));
    EXPECT_GE(beyond * beyond, static_cast<double>(INT_MAX));
}

#endif

}  // namespace
