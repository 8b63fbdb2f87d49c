// The phenotype reader: the records it keeps, the design columns and their labels, and its
// messages for columns and trait values it cannot use. Columns are 0-based here (--phe-pos minus 1).

#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "genomic/genotype_files.h"
#include "test_support.h"

namespace {

std::string phenotype_file(const std::string& content) {
    const std::string path = make_scratch_dir() + "/traits.phe";
    write_file(path, content);
    return path;
}

Eigen::MatrixXd rows(Eigen::Index n_rows, std::vector<double> values) {
    return Eigen::Map<Eigen::Matrix<double, -1, -1, Eigen::RowMajor>>(values.data(), n_rows,
                                                                      Eigen::Index(values.size()) / n_rows);
}

using Labels = std::vector<std::string>;

// The records and designs one by one: y, full design, reduced design, record IDs, labels.
auto read_as_tuple(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                   const std::unordered_set<std::string>& ids) {
    const Model m = readPhenotype(path, phe_pos, covar_pos, ids);
    return std::tuple(m.response.y, m.fixed.full, m.fixed.reduced, m.response.record_ids, m.fixed.labels);
}

}  // namespace

TEST(ReadPhenotype, LaysOutCovariatesInTheUsersOrder) {
    // Sex in column 2, herd in column 3, trait in column 4; covariates given as herd, sex.
    const std::string path = phenotype_file("a\tM\tH1\t1\nb\tF\tH2\t2\nc\tF\tH3\t3\nd\tM\tH2\t4\n");
    const auto [y, full, reduced, ids, labels] = read_as_tuple(path, 3, {2, 1}, {"a", "b", "c", "d"});
    EXPECT_EQ(labels, (Labels{"Intercept", "Covar3_H1", "Covar3_H2", "Covar3_H3", "Covar2_M", "Covar2_F"}));
    EXPECT_EQ(full, rows(4, {1, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0}));
    // Reduced: intercept, H2, H3, F (the first-met levels H1 and M are left out).
    EXPECT_EQ(reduced, rows(4, {1, 0, 0, 0, 1, 1, 0, 1, 1, 0, 1, 1, 1, 1, 0, 0}));

    // A covariate with one level keeps no column of its own; without covariates only the intercept.
    const std::string one_level = phenotype_file("a\tX\t1\nb\tX\t2\n");
    const auto [y1, full1, reduced1, ids1, labels1] = read_as_tuple(one_level, 2, {1}, {"a", "b"});
    EXPECT_EQ(full1, rows(2, {1, 1, 1, 1}));
    EXPECT_EQ(reduced1, rows(2, {1, 1}));
    EXPECT_EQ(labels1, (Labels{"Intercept", "Covar2_X"}));
    const auto [y0, full0, reduced0, ids0, labels0] = read_as_tuple(one_level, 2, {}, {"a", "b"});
    EXPECT_EQ(full0, rows(2, {1, 1}));
    EXPECT_EQ(labels0, (Labels{"Intercept"}));
}

TEST(ReadPhenotype, KeepsAndDropsRecordsAsTheFileSays) {
    const std::string path = phenotype_file(
        "id\tsex\tgroup\ttrait\r\n"
        "\n"
        "a\tM\tG1\t1 2.5\r\n"    // CR removed, space removed: 12.5
        "x\tM\tG1\t7\n"          // not in the kinship file
        "b\tF\tNA\t3\n"          // missing covariate: dropped after F got its code
        "c\tM\tG2\n"             // too short for the trait column
        "d\tM\tG3\tNA\n"         // missing trait: dropped before the covariates, G3 gets no code
        "a\tM\tG2\t-4e-1\n"      // the same individual again
        "f\tM\t\t5\n"           // an empty covariate is missing, like NA
        "e\tM\tG1\t+12\n");
    const auto [y, full, reduced, ids, labels] =
        read_as_tuple(path, 3, {1, 2}, {"a", "b", "c", "d", "e", "f"});
    EXPECT_EQ(ids, (Labels{"a", "a", "e"}));
    EXPECT_EQ(y, rows(3, {12.5, -0.4, 12}));
    EXPECT_EQ(labels, (Labels{"Intercept", "Covar2_M", "Covar2_F", "Covar3_G1", "Covar3_G2"}));
    // F has a column although no kept record has it.
    EXPECT_EQ(full, rows(3, {1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 1, 0}));
    EXPECT_EQ(reduced, rows(3, {1, 0, 0, 1, 0, 1, 1, 0, 0}));
}

TEST(ReadPhenotype, ReportsUnusableColumnsAndTraits) {
    const std::string path = phenotype_file("a\tM\t1\nb\tF\t2\tmore\tfields\n\nc\tF\tnan\n");
    const std::string huge = phenotype_file("a\t1e999\n");
    auto error_with = [](const std::string& file, int phe_pos) {
        return error_of([&] { read_as_tuple(file, phe_pos, {}, {"a", "b", "c"}); });
    };
    // The column count is that of the first line, even when later lines are longer.
    EXPECT_EQ(error_with(path, 3), "The specified phenotype column is out of bound of phenotype file\n--phe-pos 4: "
                                   "phenotype file " + path + " has 3 columns in its first line (columns count from 1, "
                                   "column 1 being the ID).");
    EXPECT_EQ(error_with(path, 2),
              "phenotype file " + path + ", line 4: the trait value \"nan\" in column 3 is not a number.");
    EXPECT_EQ(error_with(huge, 1), "phenotype file " + huge +
                                       ", line 1: the trait value \"1e999\" in column 2 is out of the range of a double.");
}
