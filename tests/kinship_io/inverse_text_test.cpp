#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"
#include "linear_algebra/sparse_plus_dense.h"
#include "test_support.h"

namespace {

TEST(InverseTriplets, LowerTriangleSortedOneBasedWithTheBlockMergedIn) {
    // 4 positions; the sparse part has (0,0), (1,1), (2,1), (2,2), (3,0), (3,3); the block sits on
    // positions 1 and 3, so (3,1) comes from the block alone and (1,1), (3,3) from both.
    SparsePlusDense inverse;
    std::vector<Eigen::Triplet<double>> entries{{0, 0, 2.0}, {1, 1, 1.0 / 3.0}, {1, 2, -0.5}, {2, 1, -0.5},
                                                {2, 2, 1.5}, {0, 3, -1.0}, {3, 0, -1.0}, {3, 3, 4.0}};
    inverse.sparse.resize(4, 4);
    inverse.sparse.setFromTriplets(entries.begin(), entries.end());
    inverse.block_positions = {1, 3};
    inverse.block.resize(2, 2);
    inverse.block << 1.0, 99.0,  // the upper triangle is never read
        0.25, -4.0;              // (3,3) sums to exactly 0 and is left out
    const std::string dir = make_scratch_dir();
    write_inverse_triplets(dir + "/h", inverse, {"a", "b", "c", "d"});
    EXPECT_EQ(read_file(dir + "/h.inverse.txt"),
              "1 1 2\n"
              "2 2 1.333333333\n"
              "3 2 -0.5\n"
              "3 3 1.5\n"
              "4 1 -1\n"
              "4 2 0.25\n");
    EXPECT_EQ(read_file(dir + "/h.inverse.id"), "a\nb\nc\nd\n");
    EXPECT_THROW(write_inverse_triplets(dir + "/x", inverse, {"a", "b"}), std::invalid_argument);
    EXPECT_FALSE(file_exists(dir + "/x.inverse.txt"));
}

}  // namespace
