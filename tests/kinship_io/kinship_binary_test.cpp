#include <gtest/gtest.h>

#include <cstring>

#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

std::vector<float> floats_of(const std::string& bytes) {
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

}  // namespace

TEST(KinshipBinary, WritesTheLowerTriangleRowByRowAndTheIds) {
    const std::string dir = make_scratch_dir();
    Eigen::MatrixXd one(1, 1);
    one << 2.0;
    WriteGRMBin(dir + "/one", one, {"X"}, false, 4);
    EXPECT_EQ(read_file(dir + "/one.bin"), std::string("\x00\x00\x00\x40", 4));
    EXPECT_EQ(read_file(dir + "/one.id"), "X\n");

    // Triangles that differ only in the last bits (as a general product leaves them) pass.
    Eigen::MatrixXd K(3, 3);
    K << 1.0, 0.1, 0.2, 0.1, 1.1, 0.3, 0.2, 0.3 * (1 + 1e-15), 1.2;
    WriteGRMBin(dir + "/three", K, {"a", "b", "c"}, false, 4);
    const std::vector<float> expected = {1.0f, 0.1f, 1.1f, 0.2f, static_cast<float>(0.3 * (1 + 1e-15)), 1.2f};
    EXPECT_EQ(floats_of(read_file(dir + "/three.bin")), expected);
    EXPECT_EQ(read_file(dir + "/three.id"), "a\nb\nc\n");

    // Large enough for several row blocks.
    const int n = 150;
    Eigen::MatrixXd big = Eigen::MatrixXd::Random(n, n);
    big = (big + big.transpose()).eval();
    WriteGRMBin(dir + "/big", big, std::vector<std::string>(n, "i"), false, 4);
    const std::vector<float> values = floats_of(read_file(dir + "/big.bin"));
    ASSERT_EQ(values.size(), static_cast<std::size_t>(n * (n + 1) / 2));
    const int i = 120, j = 77;
    EXPECT_EQ(values[static_cast<std::size_t>(i * (i + 1) / 2 + j)], static_cast<float>(big(i, j)));
}

TEST(KinshipBinary, InvalidInputLeavesNoFileAndWriteFailuresAreReported) {
    const std::string dir = make_scratch_dir();
    const std::string base = dir + "/k";
    Eigen::MatrixXd asymmetric(2, 2);
    asymmetric << 1, 0.5, 0.4, 1;
    struct Case {
        std::string base;
        Eigen::MatrixXd matrix;
        std::vector<std::string> ids;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", Eigen::MatrixXd::Identity(1, 1), {"a"}, "Base name for output files is required!"},
        {base, Eigen::MatrixXd(), {}, "Kinship matrix is required!"},
        {base, Eigen::MatrixXd::Zero(2, 3), {"a", "b"}, "Kinship must be a square matrix!"},
        {base, asymmetric, {"a", "b"}, "Kinship must be a symmetric matrix!"},
        {base, Eigen::MatrixXd::Identity(3, 3), {"a", "b"}, "Number of IDs must match the dimension of the kinship matrix!"},
    };
    for (const Case& c : cases) {
        try {
            WriteGRMBin(c.base, c.matrix, c.ids, true, 4);
            FAIL() << c.message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
    EXPECT_FALSE(file_exists(base + ".bin"));
    EXPECT_FALSE(file_exists(base + ".id"));

    try {
        WriteGRMBin(dir + "/missing/k", Eigen::MatrixXd::Identity(2, 2), {"a", "b"}, false, 4);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Error: can't write to " + dir + "/missing/k.bin.");
    }
    // The matrix written to a full device fails; the ID file is not published without it.
    write_file(dir + "/full.id", "old\n");
    ASSERT_EQ(::symlink("/dev/full", (dir + "/full.bin").c_str()), 0);
    EXPECT_THROW(WriteGRMBin(dir + "/full", Eigen::MatrixXd::Identity(600, 600), std::vector<std::string>(600, "i"),
                             false, 4),
                 std::runtime_error);
    EXPECT_EQ(read_file(dir + "/full.id"), "old\n");
}
