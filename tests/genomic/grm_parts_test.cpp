// G in parts: the rows of each part, and parts that put together give the whole G bit for bit.

#include <gtest/gtest.h>
#include <omp.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"

namespace {

std::int64_t values_in(const RowRange& rows) {
    return rows.last * (rows.last + 1) / 2 - rows.first * (rows.first + 1) / 2;
}

TEST(KinshipParts, RowsFollowOneAnotherAndHoldAboutEqualNumbersOfValues) {
    // 4 rows hold 1 + 2 + 3 + 4 values: half of 10 is nearest after row 3 (6 values).
    EXPECT_EQ(kinship_part_rows(4, 2, 1).last, 3);
    // The first rows hold too few values for 3 parts of 3 rows: still a row each.
    for (int part = 1; part <= 3; ++part) {
        EXPECT_EQ(kinship_part_rows(3, 3, part).first, part - 1);
        EXPECT_EQ(kinship_part_rows(3, 3, part).last, part);
    }
    for (const std::int64_t n : {1, 2, 5, 37, 1000, 20000, 3000000}) {
        for (const int n_parts : {1, 2, 3, 4, 7, 16, 100}) {
            if (n_parts > n) {
                continue;
            }
            SCOPED_TRACE(std::to_string(n) + " rows in " + std::to_string(n_parts) + " parts");
            const double share = static_cast<double>(n) * (n + 1) / 2 / n_parts;
            std::int64_t next_row = 0;
            for (int part = 1; part <= n_parts; ++part) {
                const RowRange rows = kinship_part_rows(n, n_parts, part);
                ASSERT_EQ(rows.first, next_row);
                ASSERT_GT(rows.last, rows.first);
                next_row = rows.last;
                // Within one row of an equal share, unless the part is a single row: the first
                // rows are shorter than a share when the parts are many.
                if (rows.last - rows.first > 1) {
                    EXPECT_LE(std::abs(static_cast<double>(values_in(rows)) - share), n) << "part " << part;
                }
            }
            EXPECT_EQ(next_row, n);
        }
    }
    for (const auto& [n, n_parts, part] : {std::tuple{5, 0, 1}, {5, 2, 0}, {5, 2, 3}, {5, 6, 1}}) {
        EXPECT_THROW(kinship_part_rows(n, n_parts, part), std::invalid_argument) << n << " " << n_parts << " " << part;
    }
}

// The whole G through WriteGRMBin and every part through write_kinship_rows: the parts'
// blocks are those of the whole G exactly, and their files concatenate to the whole pair.
TEST(KinshipParts, PartsPutTogetherAreTheWholeGByteForByte) {
    const SilentStdout silent;
    // 37 individuals (a padded last byte) over two blocks of 4,096 markers and 600 (past the
    // blocking of the BLAS and three panels of rows) over two of 1,024, with missing calls and
    // markers that do not vary.
    for (const auto& [n, m] : {std::pair{37, 5000}, std::pair{600, 1100}}) {
        const std::string dir = make_scratch_dir();
        write_genotype_set(dir + "/geno", random_dosages(n, m, 5 + n, 0.04), 3);
        const BedSet bed = read_bed(dir + "/geno", false);
        for (const int method : {1, 2, 3}) {
            omp_set_num_threads(1);
            const Eigen::MatrixXd whole = gkin_cpp(bed, method, 0.5);
            WriteGRMBin(dir + "/whole", whole, bed.individual_ids, false, 4);
            for (const int n_parts : {1, 2, 3, 7}) {
                SCOPED_TRACE(std::to_string(n) + " individuals, method " + std::to_string(method) + ", " +
                             std::to_string(n_parts) + " parts");
                std::string matrices, ids;
                for (int part = 1; part <= n_parts; ++part) {
                    const RowRange rows = kinship_part_rows(n, n_parts, part);
                    omp_set_num_threads(part % 2 + 1);  // a part's thread count changes nothing
                    const Eigen::MatrixXd block = gkin_cpp(bed, method, 0.5, nullptr, &rows);
                    ASSERT_EQ(block, whole.block(rows.first, 0, rows.last - rows.first, rows.last)) << "part " << part;
                    const std::vector<std::string> part_ids(bed.individual_ids.begin() + rows.first,
                                                            bed.individual_ids.begin() + rows.last);
                    write_kinship_rows(dir + "/part", block, rows.first, part_ids, false);
                    matrices += read_file(dir + "/part.bin");
                    ids += read_file(dir + "/part.id");
                }
                EXPECT_TRUE(matrices == read_file(dir + "/whole.bin"));
                EXPECT_EQ(ids, read_file(dir + "/whole.id"));
            }
        }
    }
}

TEST(KinshipParts, RowsOutsideGAndBlocksOfAnotherShapeAreRefused) {
    const SilentStdout silent;
    const std::string dir = make_scratch_dir();
    write_genotype_set(dir + "/geno", random_dosages(6, 30, 2, 0.0));
    const BedSet bed = read_bed(dir + "/geno", false);
    for (const RowRange rows : {RowRange{2, 2}, RowRange{-1, 3}, RowRange{4, 7}}) {
        EXPECT_NE(error_of([&] { gkin_cpp(bed, 1, 1.0, nullptr, &rows); }).find("are not a range of the 6 rows"),
                  std::string::npos);
    }
    // Weights that overflow stop a part as they stop the whole G.
    const RowRange last_row{5, 6};
    EXPECT_NE(error_of([&] { gkin_cpp(bed, 2, 2000.0, nullptr, &last_row); }).find("G is not finite"),
              std::string::npos);
    // Rows 2 and 3 need a 2 x 4 block.
    EXPECT_NE(error_of([&] { write_kinship_rows(dir + "/p", Eigen::MatrixXd::Zero(2, 3), 2, {"a", "b"}, false); })
                  .find("need a 2 x 4 block, not 2 x 3"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir + "/p.bin"));
}

}  // namespace
