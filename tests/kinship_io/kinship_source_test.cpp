// A kinship file read into the blocks of a process grid: every rank's entries, put together,
// are the matrix the file was written from, for every format and grid, and the readers' checks
// still stop a bad file.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"
#include "kinship_io/kinship_source.h"
#include "test_support.h"

namespace {

// The matrix as a reader of `format` sees it: 4 decimals in text, float32 in binary.
double as_stored(double value, bool text) {
    return text ? std::round(value * 1e4) / 1e4 : static_cast<double>(static_cast<float>(value));
}

// Every process of a grid fills its piece; the pieces, put back by the layout's formula, must
// cover each entry once with K(rows[a], cols[b]).
Eigen::MatrixXd assembled(const KinshipSource& source, const std::vector<std::int64_t>& rows,
                          const std::vector<std::int64_t>& cols, int grid_rows, int grid_cols, std::int64_t nb) {
    const auto m = static_cast<std::int64_t>(rows.size());
    const auto n = static_cast<std::int64_t>(cols.size());
    Eigen::MatrixXd whole = Eigen::MatrixXd::Constant(m, n, std::numeric_limits<double>::quiet_NaN());
    for (int pr = 0; pr < grid_rows; ++pr) {
        for (int pc = 0; pc < grid_cols; ++pc) {
            std::vector<std::int64_t> my_rows;
            std::vector<std::int64_t> my_cols;
            for (std::int64_t g = 0; g < m; ++g) {
                if ((g / nb) % grid_rows == pr) {
                    my_rows.push_back(g);
                }
            }
            for (std::int64_t g = 0; g < n; ++g) {
                if ((g / nb) % grid_cols == pc) {
                    my_cols.push_back(g);
                }
            }
            const auto ld = std::max<std::int64_t>(1, static_cast<std::int64_t>(my_rows.size()));
            std::vector<double> local(static_cast<std::size_t>(ld) * std::max<std::size_t>(1, my_cols.size()), -7.0);
            BlockCyclicPiece piece;
            piece.rows = m;
            piece.cols = n;
            piece.nb = nb;
            piece.grid_rows = grid_rows;
            piece.grid_cols = grid_cols;
            piece.my_row = pr;
            piece.my_col = pc;
            piece.data = local.data();
            piece.ld = ld;
            read_kinship_entries(source, rows, cols, piece, !source.binary);
            for (std::size_t c = 0; c < my_cols.size(); ++c) {
                for (std::size_t r = 0; r < my_rows.size(); ++r) {
                    EXPECT_TRUE(std::isnan(whole(my_rows[r], my_cols[c]))) << "entry given twice";
                    whole(my_rows[r], my_cols[c]) = local[r + c * static_cast<std::size_t>(ld)];
                }
            }
        }
    }
    return whole;
}

class KinshipSourceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_scratch_dir();
        std::mt19937 random(11);
        std::normal_distribution<double> normal(0.0, 0.3);
        K.resize(13, 13);
        for (Eigen::Index i = 0; i < 13; ++i) {
            ids.push_back("ind" + std::to_string(i));
            for (Eigen::Index j = 0; j <= i; ++j) {
                K(i, j) = K(j, i) = i == j ? 1.0 + std::abs(normal(random)) : normal(random);
            }
        }
        write_kinship_matrix(K, ids, dir + "/k.txt");
        WriteGRMBin(dir + "/k", K, ids, false, 4);
        write_gcta_grm(dir + "/k", K, ids, ids, 100.0);
    }

    std::string dir;
    Eigen::MatrixXd K;
    std::vector<std::string> ids;
};

TEST_F(KinshipSourceFiles, EveryGridPutsEachEntryOnceAndTheEntriesAreTheMatrix) {
    // Scattered positions with a repeat, and a run of all: records of a model, a panel of individuals.
    const std::vector<std::int64_t> scattered = {12, 0, 5, 5, 7, 3, 11, 1, 9, 2};
    std::vector<std::int64_t> all(13);
    for (std::int64_t i = 0; i < 13; ++i) {
        all[static_cast<std::size_t>(i)] = i;
    }
    for (const std::string name : {"k.txt", "k.bin", "k.grm.bin"}) {
        SCOPED_TRACE(name);
        const KinshipSource source = open_kinship_source(dir + "/" + name);
        EXPECT_EQ(source.text.ids, read_kinship_file(dir + "/" + name).text.ids);
        const bool text = !source.binary;
        EXPECT_EQ(text, name == "k.txt");
        for (const auto& [grid_rows, grid_cols, nb] :
             std::vector<std::tuple<int, int, std::int64_t>>{{1, 1, 4}, {1, 2, 2}, {2, 2, 3}, {2, 3, 2}, {3, 2, 1}}) {
            for (const auto& [rows, cols] : {std::pair{scattered, scattered}, std::pair{scattered, all},
                                              std::pair{all, scattered}}) {
                const Eigen::MatrixXd got = assembled(source, rows, cols, grid_rows, grid_cols, nb);
                for (Eigen::Index a = 0; a < got.rows(); ++a) {
                    for (Eigen::Index b = 0; b < got.cols(); ++b) {
                        ASSERT_EQ(got(a, b), as_stored(K(rows[a], cols[b]), text))
                            << grid_rows << " x " << grid_cols << " grid, blocks of " << nb << ", entry " << a
                            << ", " << b;
                    }
                }
            }
        }
        const std::vector<double> diagonal = kinship_diagonal(source, scattered);
        for (std::size_t k = 0; k < diagonal.size(); ++k) {
            EXPECT_EQ(diagonal[k], as_stored(K(scattered[k], scattered[k]), text));
        }
    }
}

TEST_F(KinshipSourceFiles, ABinaryRowIsReadInRunsAroundFarApartColumns) {
    // Columns more than 512 values apart are read as separate runs of a triangle row.
    const Eigen::Index n = 1100;
    Eigen::MatrixXd big(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j <= i; ++j) {
            big(i, j) = big(j, i) = static_cast<double>((i * 31 + j * 17) % 97) / 97.0;
        }
    }
    std::vector<std::string> big_ids;
    for (Eigen::Index i = 0; i < n; ++i) {
        big_ids.push_back("b" + std::to_string(i));
    }
    WriteGRMBin(dir + "/big", big, big_ids, false, 4);
    const std::vector<std::int64_t> positions = {1099, 0, 5, 600, 1098, 3, 520, 6};
    const Eigen::MatrixXd got = assembled(open_kinship_source(dir + "/big.bin"), positions, positions, 2, 2, 2);
    for (Eigen::Index a = 0; a < got.rows(); ++a) {
        for (Eigen::Index b = 0; b < got.cols(); ++b) {
            ASSERT_EQ(got(a, b), as_stored(big(positions[a], positions[b]), false)) << a << ", " << b;
        }
    }
}

TEST_F(KinshipSourceFiles, TheTextIndexAgreesWithTheWholeFileReaderOnAwkwardLayouts) {
    // A byte-order mark, Windows line ends and blank lines between data lines.
    std::string content = "\xEF\xBB\xBF";
    const std::vector<std::string> lines = lines_of(read_file(dir + "/k.txt"));
    for (std::size_t line = 0; line < lines.size(); ++line) {
        content += lines[line] + "\r\n" + (line % 4 == 2 ? "\n" : "");
    }
    content.pop_back();  // the last line without its line break
    content.pop_back();
    write_file(dir + "/awkward.txt", content);
    const KinshipSource source = open_kinship_source(dir + "/awkward.txt");
    const KinshipText whole = load_kinship_text(dir + "/awkward.txt");
    EXPECT_EQ(source.text.ids, whole.ids);
    EXPECT_EQ(source.text.line_numbers, whole.line_numbers);
    std::vector<std::int64_t> all(13);
    for (std::int64_t i = 0; i < 13; ++i) {
        all[static_cast<std::size_t>(i)] = i;
    }
    std::vector<std::size_t> every(all.begin(), all.end());
    EXPECT_EQ(assembled(source, all, all, 2, 2, 3), kinship_rows(whole, every));
}

TEST_F(KinshipSourceFiles, BadFilesStopTheReaderWithTheWholeFileReadersMessages) {
    const std::vector<std::int64_t> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const auto message_of = [&](const std::string& name) {
        try {
            assembled(open_kinship_source(dir + "/" + name), all, all, 2, 2, 3);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string("no failure");
    };
    // A text file whose triangles disagree: one value above the diagonal changed.
    Eigen::MatrixXd skewed = K;
    skewed(2, 9) += 0.01;
    write_kinship_matrix(skewed, ids, dir + "/skewed.txt");
    EXPECT_NE(message_of("skewed.txt").find("is not symmetric"), std::string::npos) << message_of("skewed.txt");
    EXPECT_NE(message_of("skewed.txt").find("\"ind9\" and \"ind2\""), std::string::npos) << message_of("skewed.txt");

    // A NaN in the binary triangle, named by its individuals.
    Eigen::MatrixXd with_nan = K;
    with_nan(8, 4) = with_nan(4, 8) = std::numeric_limits<double>::quiet_NaN();
    WriteGRMBin(dir + "/nan", with_nan, ids, false, 4);
    EXPECT_NE(message_of("nan.bin").find("\"ind8\" and \"ind4\" (row 9, column 5)"), std::string::npos)
        << message_of("nan.bin");

    // A short binary and a short text line, caught as the whole-file readers catch them.
    std::string bytes = read_file(dir + "/k.bin");
    write_file(dir + "/short.bin", bytes.substr(0, bytes.size() - 4));
    write_file(dir + "/short.id", read_file(dir + "/k.id"));
    EXPECT_NE(message_of("short.bin").find("the matrix and the ID file do not belong together"), std::string::npos);
    std::vector<std::string> lines = lines_of(read_file(dir + "/k.txt"));
    lines[5] = lines[5].substr(0, lines[5].rfind('\t', lines[5].size() - 2) + 1);
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    write_file(dir + "/short.txt", text);
    EXPECT_NE(message_of("short.txt").find("short.txt, line 6: expected 13 values, found 12"), std::string::npos)
        << message_of("short.txt");
}

}  // namespace
