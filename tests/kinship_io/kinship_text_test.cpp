#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>

#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

std::string stream_fixed4(double value) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(4) << value;
    return out.str();
}

std::string fast_fixed4(double value) {
    char buffer[400];
    return std::string(buffer, format_fixed4(value, buffer));
}

}  // namespace

TEST(KinshipText, NumberFormatMatchesStreamFormattingByteForByte) {
    const std::vector<double> special = {
        0.0, -0.0, 0.00004, -0.00004, 0.00005, -0.00005, 0.03125, -0.03125, 0.09375, 1.00005, 2.5, 1e-300,
        -1e-300, 123456789.123456, 1e11, -1e15, 1e300, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(), 0.99995, 0.99994999999999, 9.99995};
    for (double value : special) {
        EXPECT_EQ(fast_fixed4(value), stream_fixed4(value)) << value;
    }
    // Random relationship-sized values, and values sitting on the rounding ties of 4 decimals.
    std::mt19937_64 generator(42);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    for (int i = 0; i < 200000; ++i) {
        const double value = uniform(generator);
        ASSERT_EQ(fast_fixed4(value), stream_fixed4(value)) << value;
        const double tie = (std::round(value * 10000.0) + 0.5) / 10000.0;
        ASSERT_EQ(fast_fixed4(tie), stream_fixed4(tie)) << tie;
    }
}

TEST(KinshipText, WriterProducesTheDocumentedBytesAndReadsBack) {
    const std::string dir = make_scratch_dir();
    const std::string name = dir + "/k.kinship.txt";
    Eigen::MatrixXd K(2, 2);
    K << 1, 0.25, 0.25, 1;
    write_kinship_matrix(K, {"A", "B"}, name);
    EXPECT_EQ(read_file(name), "\tA\tB\nA\t1.0000\t0.2500\t\nB\t0.2500\t1.0000\t\n");

    const auto [id_set, id_list] = getKinshipIds(name);
    EXPECT_EQ(id_list, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(id_set.size(), 2u);
    EXPECT_TRUE(read_all_Kinship(name).isApprox(K));

    // Selected IDs come back in the asked order; an unknown one is skipped.
    const Eigen::MatrixXd picked = filterKinshipMatrix(name, {"B", "X", "A", "B"});
    Eigen::MatrixXd expected(3, 3);
    expected << 1, 0.25, 1, 0.25, 1, 0.25, 1, 0.25, 1;
    EXPECT_TRUE(picked.isApprox(expected)) << picked;

    // Larger random matrix: round trip to 4 decimals, spanning several write chunks.
    std::mt19937_64 generator(7);
    std::normal_distribution<double> normal(0.0, 0.3);
    const int n = 300;
    Eigen::MatrixXd big(n, n);
    for (int i = 0; i < n * n; ++i) {
        big.data()[i] = normal(generator);
    }
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) {
        ids.push_back("id" + std::to_string(i));
    }
    write_kinship_matrix(big, ids, name);
    const Eigen::MatrixXd back = read_all_Kinship(name);
    ASSERT_EQ(back.rows(), n);
    EXPECT_LE((back - big).cwiseAbs().maxCoeff(), 0.5e-4 + 1e-12);
    EXPECT_EQ(back(3, 7), std::stod(stream_fixed4(big(3, 7))));
}

TEST(KinshipText, ReadersFollowTheLineRules) {
    const std::string dir = make_scratch_dir();
    const std::string name = dir + "/k.txt";
    // Windows line ends and a blank line; values beyond the matrix are ignored.
    write_file(name, "\tA\tB\r\nA\t1\t0.5\t9\r\n\nB\t0.5\t2\t\r\n");
    const auto [id_set, id_list] = getKinshipIds(name);
    EXPECT_EQ(id_list, (std::vector<std::string>{"A", "", "B"}));
    Eigen::MatrixXd expected(2, 2);
    expected << 1, 0.5, 0.5, 2;
    EXPECT_EQ(read_all_Kinship(name), expected);

    // A repeated ID: the later line wins, its value taken by that line's own position.
    write_file(name, "\tA\tB\tA\nA\t1\t0.5\t7\nB\t0.5\t2\t0\nA\t3\t0.25\t9\n");
    const Eigen::MatrixXd picked = filterKinshipMatrix(name, {"A"});
    ASSERT_EQ(picked.rows(), 1);
    EXPECT_EQ(picked(0, 0), 9.0);
    EXPECT_EQ(getKinshipIds(name).second, (std::vector<std::string>{"A", "B"}));
}

TEST(KinshipTextDeath, ShortOrNonNumericLinesStopWithFileAndLine) {
    // The readers run OpenMP loops, whose threads do not survive a plain fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string dir = make_scratch_dir();
    const std::string name = dir + "/k.txt";
    write_file(name, "\tA\tB\tC\nA\t1\t0\t0\t\nB\t0\tNA\t0\t\nC\t0\t0\t1\t\n");
    EXPECT_EXIT(read_all_Kinship(name), testing::ExitedWithCode(1),
                "kinship file .*/k.txt, line 3: expected 3 values, found 1 \\(reading stopped at \"NA\"\\)");
    // Only what the selection needs is required: A and C need values 0 and 2 of their lines.
    EXPECT_EQ(filterKinshipMatrix(name, {"A", "C"}).rows(), 2);
    EXPECT_EXIT(filterKinshipMatrix(name, {"B"}), testing::ExitedWithCode(1), "line 3: expected 2 values, found 1");

    write_file(name, "\tA\n");
    EXPECT_EXIT(read_all_Kinship(name), testing::ExitedWithCode(1), "No kinship data found in file.");
    EXPECT_EQ(filterKinshipMatrix(name, {"A"}).rows(), 0);
    EXPECT_EXIT(getKinshipIds(dir + "/none.txt"), testing::ExitedWithCode(1),
                "Could not open the kinship file: .*/none.txt");
    EXPECT_EXIT(read_all_Kinship(dir), testing::ExitedWithCode(1), "Could not open the kinship file: ");
}

TEST(KinshipText, WriterRefusesBadInputAndKeepsTheOldResult) {
    const std::string dir = make_scratch_dir();
    const std::string name = dir + "/k.kinship.txt";
    write_file(name, "previous result\n");
    const Eigen::MatrixXd K = Eigen::MatrixXd::Identity(3, 3);
    EXPECT_THROW(write_kinship_matrix(K, {"A", "B"}, name), std::invalid_argument);
    EXPECT_THROW(write_kinship_matrix(K, {"A", "B C", "D"}, name), std::invalid_argument);
    EXPECT_EQ(read_file(name), "previous result\n");

    try {
        write_kinship_matrix(K, {"A", "B", "C"}, dir + "/missing/k.txt");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot open output file: " + dir + "/missing/k.txt");
    }
    // A full device: the failure is reported, not passed over.
    EXPECT_THROW(write_kinship_matrix(Eigen::MatrixXd::Identity(400, 400), std::vector<std::string>(400, "x"),
                                      "/dev/full"),
                 std::runtime_error);
    // Nothing but the result is left in the folder.
    write_kinship_matrix(K, {"A", "B", "C"}, name);
    EXPECT_EQ(read_file(name).substr(0, 7), "\tA\tB\tC\n");
    EXPECT_EQ(run_program("/bin/sh", {"-c", "ls | wc -l"}, dir).out, "1\n");
}
