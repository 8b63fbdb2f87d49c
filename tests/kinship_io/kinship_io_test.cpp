#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <tuple>

#include "genomic/genotype_files.h"
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

std::vector<std::size_t> all_positions(std::size_t n) {
    std::vector<std::size_t> positions(n);
    for (std::size_t i = 0; i < n; ++i) {
        positions[i] = i;
    }
    return positions;
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
    // Values sitting on the rounding ties of 4 decimals (random values: in the file test below).
    std::mt19937_64 generator(42);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    for (int i = 0; i < 200000; ++i) {
        const double tie = (std::round(uniform(generator) * 10000.0) + 0.5) / 10000.0;
        ASSERT_EQ(fast_fixed4(tie), stream_fixed4(tie)) << tie;
    }
}

TEST(KinshipText, WritesTheBytesOfAnIostreamWriterAndReadsThemBackOnAnyThreadCount) {
    // Over a megabyte (more than one write chunk): the bytes of an iostream writer, and back.
    const int n = 400;
    Eigen::MatrixXd big = Eigen::MatrixXd::Random(n, n);
    big = (big + big.transpose()).eval();
    Eigen::MatrixXd rounded(n, n);
    std::vector<std::string> ids;
    std::string header, lines;
    for (int i = 0; i < n; ++i) {
        ids.push_back("id" + std::to_string(i));
        header += "\t" + ids.back();
        lines += ids.back() + "\t";
        for (int j = 0; j < n; ++j) {
            lines += stream_fixed4(big(i, j)) + "\t";
            rounded(i, j) = std::stod(stream_fixed4(big(i, j)));
        }
        lines += "\n";
    }
    const std::string name = make_scratch_dir() + "/k.kinship.txt";
    write_kinship_matrix(big, ids, name);
    ASSERT_EQ(read_file(name), header + "\n" + lines);
    // Every column, and a few (one twice, more than a panel of lines apart) with the diagonal.
    const KinshipFile file = read_kinship_file(name);
    const std::vector<std::size_t> every = all_positions(n);
    const std::vector<std::size_t> some = {399, 3, 260, 3};
    const std::vector<Eigen::Index> some_columns(some.begin(), some.end());
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        EXPECT_EQ(read_kinship_columns(file, every).columns, rounded);
        const KinshipColumns kept = read_kinship_columns(file, some);
        EXPECT_EQ(kept.positions, some);
        EXPECT_EQ(kept.columns, rounded(Eigen::all, some_columns));
        EXPECT_EQ(kept.diagonal, rounded.diagonal());
    }
}

// The prediction reads the columns at its records and checks each record's line against them,
// with the criterion of the records' matrix: a disagreement is an error wherever it meets a
// record, within the rounding of the text format it is none, and between two individuals
// without records it is not looked at. Only the values needed are parsed.
TEST(KinshipText, ColumnsCheckEveryValueTheyUseForSymmetryAndParseOnlyWhatTheyNeed) {
    const std::string dir = make_scratch_dir();
    const std::vector<std::string> ids = {"A", "B", "C", "D", "E"};
    Eigen::MatrixXd K = Eigen::MatrixXd::Identity(5, 5);
    K(1, 0) = K(0, 1) = 0.25;
    K(4, 2) = K(2, 4) = 0.5;
    K(3, 2) = K(2, 3) = 0.125;
    const auto with = [&](const std::vector<std::tuple<int, int, double>>& changes) {
        Eigen::MatrixXd changed = K;
        for (const auto& [row, column, value] : changes) {
            changed(row, column) = value;
        }
        write_kinship_matrix(changed, ids, dir + "/k.txt");
        return changed;
    };
    const std::vector<std::size_t> records = {2, 4};  // C and E
    const auto columns_error = [&] {
        return error_of([&] { read_kinship_columns(read_kinship_file(dir + "/k.txt"), records); });
    };

    with({{3, 2, 0.1251}, {0, 1, 0.2}});  // C-D within rounding; A-B (no records) far apart
    const KinshipColumns kept = read_kinship_columns(read_kinship_file(dir + "/k.txt"), records);
    EXPECT_EQ(kept.columns(3, 0), 0.1251);  // D's line at C's column
    EXPECT_EQ(kept.columns(1, 1), 0.0);
    EXPECT_EQ(kept.diagonal, Eigen::VectorXd::Ones(5));

    // A record against an individual without one, in either triangle, and two records; the
    // message is the records' matrix one, of the pair check_kinship_symmetric names first.
    const std::string not_symmetric = "kinship file " + dir + "/k.txt is not symmetric: the value for ";
    with({{2, 0, 0.01}});
    EXPECT_EQ(columns_error(), not_symmetric + "\"C\" and \"A\" is 0.01 in one triangle and 0 in the other.");
    with({{2, 3, 0.3}});
    EXPECT_EQ(columns_error(), not_symmetric + "\"D\" and \"C\" is 0.125 in one triangle and 0.3 in the other.");
    with({{4, 2, 0.6}});
    EXPECT_EQ(columns_error(), not_symmetric + "\"E\" and \"C\" is 0.6 in one triangle and 0.5 in the other.");
    const Eigen::MatrixXd two_pairs = with({{4, 3, 0.7}, {2, 1, 0.9}, {0, 1, 0.3}});
    const Eigen::MatrixXd without_a = two_pairs.bottomRightCorner(4, 4);
    EXPECT_EQ(columns_error(),
              error_of([&] { check_kinship_symmetric(without_a, {"B", "C", "D", "E"}, dir + "/k.txt"); }));

    // Without a record, line B is needed up to its diagonal and A's column; a record's line whole.
    write_file(dir + "/k.txt", "\tA\tB\tC\nA\t1\t0\t0\t\nB\t0\t1\tNA\t\nC\t0\t0\t1\t\n");
    EXPECT_EQ(read_kinship_columns(read_kinship_file(dir + "/k.txt"), {0}).diagonal, Eigen::VectorXd::Ones(3));
    EXPECT_EQ(error_of([&] { read_kinship_columns(read_kinship_file(dir + "/k.txt"), {1}); }),
              "kinship file " + dir + "/k.txt, line 3: expected 3 values, found 2 (reading stopped at \"NA\").");
    write_file(dir + "/k.txt", "\tA\tB\tC\nA\t1\t0\t0\t\nB\t0\tNA\t0\t\nC\t0\t0\t1\t\n");
    EXPECT_EQ(error_of([&] { read_kinship_columns(read_kinship_file(dir + "/k.txt"), {0}); }),
              "kinship file " + dir + "/k.txt, line 3: expected 2 values, found 1 (reading stopped at \"NA\").");
}

TEST(KinshipText, ASelectionNeedsOnlyItsValuesAndAShortLineStopsTheReaderNamingFileAndLine) {
    const std::string name = make_scratch_dir() + "/k.txt";
    write_file(name, "\tA\tB\tC\nA\t1\t0\t0\t\nB\t0\tNA\t0\t\nC\t0\t0\t1\t\n");
    const KinshipFile file = read_kinship_file(name);
    // A and C need values 0 and 2 of their own lines only; B needs value 1 of its line.
    EXPECT_EQ(filterKinshipMatrix(file, {"A", "C"}), Eigen::MatrixXd::Identity(2, 2));
    EXPECT_EQ(error_of([&] { filterKinshipMatrix(file, {"B"}); }),
              "kinship file " + name + ", line 3: expected 2 values, found 1 (reading stopped at \"NA\").");
    EXPECT_EQ(error_of([&] { filterKinshipMatrix(file, {"A", "X"}); }),
              "kinship file " + name + " has no row for individual \"X\".");
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

    // The trio for other tools: the same matrix bytes, family and individual ID per line, and
    // the marker count of every pair.
    const std::vector<std::string> families(static_cast<std::size_t>(n), "F");
    write_gcta_grm(dir + "/big", K, families, ids, 1234);
    EXPECT_EQ(read_file(dir + "/big.grm.bin"), bytes);
    EXPECT_EQ(lines_of(read_file(dir + "/big.grm.id"))[7], "F\ti7");
    const std::vector<float> counts(expected.size(), 1234.0f);
    EXPECT_EQ(read_file(dir + "/big.grm.N.bin"),
              std::string(reinterpret_cast<const char*>(counts.data()), counts.size() * sizeof(float)));

    // Both read back as the float values, whole or any selection (an ID twice: twice).
    const Eigen::MatrixXd as_floats = K.cast<float>().cast<double>();
    const Eigen::MatrixXd floats = as_floats.triangularView<Eigen::Lower>().toDenseMatrix() +
                                   as_floats.triangularView<Eigen::StrictlyLower>().toDenseMatrix().transpose();
    for (const char* name : {"/big.bin", "/big.grm.bin"}) {
        const KinshipFile file = read_kinship_file(dir + name);
        EXPECT_EQ(file.text.ids, ids);
        for (int threads : {1, 2}) {
            omp_set_num_threads(threads);
            EXPECT_EQ(read_kinship_columns(file, all_positions(n)).columns, floats) << name;
            const std::vector<Eigen::Index> picked = {140, 3, 140, 77};
            EXPECT_EQ(filterKinshipMatrix(file, {"i140", "i3", "i140", "i77"}), floats(picked, picked)) << name;
            const KinshipColumns kept = read_kinship_columns(file, {140, 3, 140, 77});
            EXPECT_EQ(kept.columns, floats(Eigen::all, picked)) << name;
            EXPECT_EQ(kept.diagonal, floats.diagonal()) << name;
        }
    }

    // A value that is no number is named by its pair: first of a row, last of a row.
    for (const auto& [row, column] : {std::pair{120, 0}, std::pair{149, 149}, std::pair{1, 0}}) {
        std::string corrupt = bytes;
        const float inf = std::numeric_limits<float>::infinity();
        std::memcpy(corrupt.data() + 4 * (row * (row + 1) / 2 + column), &inf, 4);
        write_file(dir + "/bad.bin", corrupt);
        write_file(dir + "/bad.id", expected_ids);
        EXPECT_EQ(error_of([&] { read_kinship_file(dir + "/bad.bin"); }),
                  "kinship file " + dir + "/bad.bin: the value for \"i" + std::to_string(row) + "\" and \"i" +
                      std::to_string(column) + "\" (row " + std::to_string(row + 1) + ", column " +
                      std::to_string(column + 1) + ") is inf; every value must be a finite number.");
    }
}
