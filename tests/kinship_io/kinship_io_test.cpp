#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <functional>
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

// "accepted", or the message of the refusal with `path` replaced by K.
std::string verdict(const std::function<void()>& check, const std::string& path = "k.txt") {
    try {
        check();
    } catch (const std::runtime_error& error) {
        std::string message = error.what();
        const std::size_t at = message.find(path);
        return at == std::string::npos ? message : message.replace(at, path.size(), "K");
    }
    return "accepted";
}

std::string layout_verdict(const std::string& content) {
    const std::string path = make_scratch_dir() + "/k.kinship.txt";
    write_file(path, content);
    return verdict([&] { check_kinship_layout(load_kinship_text(path)); }, path);
}

}  // namespace

TEST(KinshipText, NumberFormatMatchesStreamFormattingByteForByte) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double value : {0.0, -0.0, 0.00004, -0.00004, 0.00005, -0.00005, 0.03125, -0.03125, 0.09375, 1.00005, 2.5,
                         1e-300, -1e-300, 123456789.123456, 1e11, -1e15, 1e300, inf, -inf,
                         std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(), 0.99995,
                         0.99994999999999, 9.99995}) {
        EXPECT_EQ(fast_fixed4(value), stream_fixed4(value)) << value;
    }
    // Random relationship-sized values, and values sitting on the rounding ties of 4 decimals.
    std::mt19937_64 generator(42);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    for (int i = 0; i < 200000; ++i) {
        const double value = uniform(generator);
        const double tie = (std::round(value * 10000.0) + 0.5) / 10000.0;
        ASSERT_EQ(fast_fixed4(value), stream_fixed4(value)) << value;
        ASSERT_EQ(fast_fixed4(tie), stream_fixed4(tie)) << tie;
    }
}

TEST(KinshipText, WritesTheDocumentedBytesAndReadsThemBackOnAnyThreadCount) {
    const std::string name = make_scratch_dir() + "/k.kinship.txt";
    Eigen::MatrixXd K(2, 2);
    K << 1, 0.25, 0.25, 1;
    write_kinship_matrix(K, {"A", "B"}, name);
    EXPECT_EQ(read_file(name), "\tA\tB\nA\t1.0000\t0.2500\t\nB\t0.2500\t1.0000\t\n");
    EXPECT_EQ(getKinshipIds(name).second, (std::vector<std::string>{"A", "B"}));

    // Over a megabyte (more than one write chunk): the bytes of an iostream writer, and back.
    const int n = 400;
    std::mt19937_64 generator(7);
    std::normal_distribution<double> normal(0.0, 0.3);
    Eigen::MatrixXd big(n, n), rounded(n, n);
    std::vector<std::string> ids;
    std::string header, lines;
    for (int i = 0; i < n; ++i) {
        ids.push_back("id" + std::to_string(i));
        header += "\t" + ids.back();
        lines += ids.back() + "\t";
        for (int j = 0; j < n; ++j) {
            big(i, j) = normal(generator);
            lines += stream_fixed4(big(i, j)) + "\t";
            rounded(i, j) = std::stod(stream_fixed4(big(i, j)));
        }
        lines += "\n";
    }
    const std::string expected = header + "\n" + lines;
    write_kinship_matrix(big, ids, name);
    ASSERT_EQ(read_file(name), expected);
    omp_set_num_threads(1);
    EXPECT_EQ(read_all_Kinship(name), rounded);
    omp_set_num_threads(2);
    EXPECT_EQ(read_all_Kinship(name), rounded);

    // IDs the format cannot carry, or a count that differs from the matrix: refused, and the
    // earlier result stays.
    EXPECT_THROW(write_kinship_matrix(K, {"A", "B C"}, name), std::invalid_argument);
    EXPECT_THROW(write_kinship_matrix(K, {"A", "B", "C"}, name), std::invalid_argument);
    EXPECT_EQ(read_file(name), expected);
}

TEST(KinshipTextDeath, ReadersFollowTheLineRulesAndStopAtAShortLineNamingFileAndLine) {
    // The readers run OpenMP loops, whose threads do not survive a plain fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string name = make_scratch_dir() + "/k.txt";
    // Windows line ends and a blank line; values beyond the matrix are ignored.
    write_file(name, "\tA\tB\r\nA\t1\t0.5\t9\r\n\nB\t0.5\t2\t\r\n");
    EXPECT_EQ(getKinshipIds(name).second, (std::vector<std::string>{"A", "", "B"}));
    EXPECT_EQ(read_all_Kinship(name), (Eigen::MatrixXd(2, 2) << 1, 0.5, 0.5, 2).finished());
    write_file(name, "\tA\tB\tC\nA\t1\t0\t0\t\nB\t0\tNA\t0\t\nC\t0\t0\t1\t\n");
    EXPECT_EXIT(read_all_Kinship(name), testing::ExitedWithCode(1),
                "kinship file .*/k.txt, line 3: expected 3 values, found 1 \\(reading stopped at \"NA\"\\)");
    // Only what the selection needs is required: A and C need values 0 and 2 of their lines.
    EXPECT_EQ(filterKinshipMatrix(name, {"A", "C"}).rows(), 2);
    EXPECT_EXIT(filterKinshipMatrix(name, {"B"}), testing::ExitedWithCode(1), "line 3: expected 2 values, found 1");
}

TEST(KinshipChecks, AcceptTheWritersLayoutAndRefuseHeadersThatDoNotNameTheDataLines) {
    EXPECT_EQ(layout_verdict("\tA\tB\nA\t1.0000\t0.2500\t\nB\t0.2500\t1.0000\t\n"), "accepted");
    // A column title in the corner: the header has one token more than there are individuals.
    EXPECT_EQ(layout_verdict("ID\tA\tB\nA\t1\t0\t\nB\t0\t1\t\n"),
              "❎ Error: kinship file K: the header names \"ID\" (column 1) but no data line belongs to it; the header "
              "must list the IDs of the data lines, in the same order.");
    EXPECT_EQ(layout_verdict("\tA\nA\t1\t0\t\nB\t0\t1\t\n"),
              "❎ Error: kinship file K: the header lists 1 IDs but there are 2 data lines; the header must list the "
              "IDs of the data lines, in the same order.");
}

TEST(KinshipChecks, SymmetryToleratesTheRoundingOfTheTextFormatOnly) {
    Eigen::MatrixXd K(3, 3);
    K << 1.0, 0.2500, 0.1, 0.2501, 1.0, 0.0, 0.1, 0.0, 1.0;
    EXPECT_EQ(verdict([&] { check_kinship_symmetric(K, {"a", "b", "c"}, "k.txt"); }), "accepted");
    K(2, 1) = 0.01;
    EXPECT_EQ(verdict([&] { check_kinship_symmetric(K, {"a", "b", "c"}, "k.txt"); }),
              "❎ Error: kinship file K is not symmetric: the value for \"c\" and \"b\" is 0.01 in one triangle and 0 "
              "in the other.");
}

TEST(KinshipBinary, WritesTheLowerTriangleRowByRowAsFloatsAndTheIds) {
    const std::string dir = make_scratch_dir();
    // 150 rows: several row blocks. Triangles that differ in the last bits (as a general
    // product leaves them) are accepted.
    const int n = 150;
    Eigen::MatrixXd K = Eigen::MatrixXd::Random(n, n);
    K = (K + K.transpose()).eval();
    K(7, 3) *= 1 + 1e-15;
    std::vector<std::string> ids;
    std::string expected_ids;
    std::vector<float> expected;
    for (int i = 0; i < n; ++i) {
        ids.push_back("i" + std::to_string(i));
        expected_ids += ids.back() + "\n";
        for (int j = 0; j <= i; ++j) {
            expected.push_back(static_cast<float>(K(i, j)));
        }
    }
    WriteGRMBin(dir + "/big", K, ids, false, 4);
    const std::string bytes = read_file(dir + "/big.bin");
    ASSERT_EQ(bytes.size(), expected.size() * sizeof(float));
    EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), bytes.size()), 0);
    EXPECT_EQ(read_file(dir + "/big.id"), expected_ids);
}

TEST(KinshipBinary, PublishesNeitherFileWhenTheMatrixCannotBeWritten) {
    // The matrix goes to a full device; the ID file of an earlier result stays as it was.
    const std::string base = make_scratch_dir() + "/k";
    write_file(base + ".id", "old\n");
    ASSERT_EQ(::symlink("/dev/full", (base + ".bin").c_str()), 0);
    EXPECT_THROW(WriteGRMBin(base, Eigen::MatrixXd::Identity(600, 600), std::vector<std::string>(600, "i"), false, 4),
                 std::runtime_error);
    EXPECT_EQ(read_file(base + ".id"), "old\n");
}
