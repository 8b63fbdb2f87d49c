#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "test_support.h"

namespace {

std::string phenotype_file(const std::string& content) {
    const std::string path = make_scratch_dir() + "/traits.phe";
    write_file(path, content);
    return path;
}

std::string error_of(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                     const std::unordered_set<std::string>& ids) {
    try {
        read_phenotype_file(path, phe_pos, covar_pos, ids);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

Eigen::MatrixXd rows(std::initializer_list<std::initializer_list<double>> values) {
    Eigen::MatrixXd m(static_cast<Eigen::Index>(values.size()), static_cast<Eigen::Index>(values.begin()->size()));
    Eigen::Index r = 0;
    for (const auto& row : values) {
        Eigen::Index c = 0;
        for (double value : row) {
            m(r, c++) = value;
        }
        ++r;
    }
    return m;
}

}  // namespace

TEST(ReadPhenotype, WorkedExample) {
    const std::string path = phenotype_file("ID\tsex\ty\nA\tM\t10.5\nB\tF\tNA\nC\tF\t12\n");
    const auto [y, full, reduced, ids, labels] = read_phenotype_file(path, 2, {1}, {"A", "B", "C"});
    EXPECT_EQ(y, rows({{10.5}, {12}}));
    EXPECT_EQ(full, rows({{1, 1, 0}, {1, 0, 1}}));
    EXPECT_EQ(reduced, rows({{1, 0}, {1, 1}}));
    EXPECT_EQ(ids, (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(labels, (std::vector<std::string>{"Intercept", "Covar2_M", "Covar2_F"}));
}

TEST(ReadPhenotype, LaysOutTwoCovariatesInTheUsersOrder) {
    // Sex in column 2, herd in column 3, trait in column 4; covariates given as herd, sex.
    const std::string path = phenotype_file(
        "a\tM\tH1\t1\n"
        "b\tF\tH2\t2\n"
        "c\tF\tH3\t3\n"
        "d\tM\tH2\t4\n");
    const auto [y, full, reduced, ids, labels] = read_phenotype_file(path, 3, {2, 1}, {"a", "b", "c", "d"});
    EXPECT_EQ(labels, (std::vector<std::string>{"Intercept", "Covar3_H1", "Covar3_H2", "Covar3_H3", "Covar2_M",
                                                "Covar2_F"}));
    EXPECT_EQ(full, rows({{1, 1, 0, 0, 1, 0}, {1, 0, 1, 0, 0, 1}, {1, 0, 0, 1, 0, 1}, {1, 0, 1, 0, 1, 0}}));
    // Reduced: intercept, H2, H3, F (the first-met levels H1 and M are left out).
    EXPECT_EQ(reduced, rows({{1, 0, 0, 0}, {1, 1, 0, 1}, {1, 0, 1, 1}, {1, 1, 0, 0}}));
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
        "\n");
    const auto [y, full, reduced, ids, labels] = read_phenotype_file(path, 3, {1, 2}, {"a", "b", "c", "d"});
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "a"}));
    EXPECT_EQ(y, rows({{12.5}, {-0.4}}));
    EXPECT_EQ(labels, (std::vector<std::string>{"Intercept", "Covar2_M", "Covar2_F", "Covar3_G1", "Covar3_G2"}));
    // F has a column although no kept record has it.
    EXPECT_EQ(full, rows({{1, 1, 0, 1, 0}, {1, 1, 0, 0, 1}}));
    EXPECT_EQ(reduced, rows({{1, 0, 0}, {1, 0, 1}}));
}

TEST(ReadPhenotype, CovariateWithOneLevelAndNoCovariates) {
    const std::string path = phenotype_file("a\tX\t1\nb\tX\t2\n");
    const auto [y, full, reduced, ids, labels] = read_phenotype_file(path, 2, {1}, {"a", "b"});
    EXPECT_EQ(full, rows({{1, 1}, {1, 1}}));
    EXPECT_EQ(reduced, rows({{1}, {1}}));
    EXPECT_EQ(labels, (std::vector<std::string>{"Intercept", "Covar2_X"}));

    const auto [y2, full2, reduced2, ids2, labels2] = read_phenotype_file(path, 2, {}, {"a", "b"});
    EXPECT_EQ(full2, rows({{1}, {1}}));
    EXPECT_EQ(reduced2, rows({{1}, {1}}));
    EXPECT_EQ(labels2, (std::vector<std::string>{"Intercept"}));
}

TEST(ReadPhenotype, ReportsUnusableFilesAndColumns) {
    const std::string path = phenotype_file("a\tM\t1\nb\tF\t2\tmore\tfields\n");
    EXPECT_EQ(error_of(path + ".missing", 2, {}, {"a"}), "Could not open the phenotype file: " + path + ".missing");
    const std::string folder = make_scratch_dir();
    EXPECT_EQ(error_of(folder, 2, {}, {"a"}), "Could not open the phenotype file: " + folder);
    // The column count is that of the first line, even when later lines are longer.
    EXPECT_EQ(error_of(path, 3, {}, {"a"}), "The specified phenotype column is out of bound of phenotype file");
    EXPECT_EQ(error_of(path, -3, {}, {"a"}), "The specified phenotype column is out of bound of phenotype file");
    EXPECT_EQ(error_of(path, 2, {1, 4}, {"a"}), "The specified covariate column 4 is out of bounds.");
    EXPECT_EQ(error_of(path, 2, {1, 1}, {"a"}),
              "❎ Error: column 2 is given twice in --covar-pos; give each covariate column once.");
}

TEST(ReadPhenotype, ReportsATraitThatIsNotANumberWithFileLineAndText) {
    const std::string path = phenotype_file("a\tM\t1\nb\tF\tabc\n");
    EXPECT_EQ(error_of(path, 2, {1}, {"a", "b"}),
              "❎ Error: phenotype file " + path + ", line 2: the trait value \"abc\" in column 3 is not a number.");
    const std::string not_finite = phenotype_file("a\t1\n\nb\tnan\n");
    EXPECT_EQ(error_of(not_finite, 1, {}, {"a", "b"}),
              "❎ Error: phenotype file " + not_finite + ", line 3: the trait value \"nan\" in column 2 is not a number.");
    const std::string huge = phenotype_file("a\t1e999\n");
    EXPECT_EQ(error_of(huge, 1, {}, {"a"}), "❎ Error: phenotype file " + huge +
                                                ", line 1: the trait value \"1e999\" in column 2 is out of the range of "
                                                "a double.");
    // Trailing text after a number is ignored, as a string-to-double conversion does.
    const std::string trailing = phenotype_file("a\t12kg\nb\t3\n");
    EXPECT_EQ(std::get<0>(read_phenotype_file(trailing, 1, {}, {"a", "b"}))(0, 0), 12.0);
}

TEST(ReadPhenotypeDeathTest, EndsTheProcessWithStatusOne) {
    EXPECT_EXIT(readPhenotype("/nonexistent/traits.phe", 1, {}, {"a"}), testing::ExitedWithCode(1),
                "Could not open the phenotype file: /nonexistent/traits.phe");
}

TEST(CreateZMatrix, LinksEveryRecordToItsKinshipIndividual) {
    const Eigen::MatrixXd Z = createZMatrix({"b", "x", "a", "b"}, {"a", "b", "c", "b"});
    // "b" is listed twice in the kinship list: the later position wins; "x" is absent.
    EXPECT_EQ(Z, rows({{0, 0, 0, 1}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 0, 1}}));
    EXPECT_EQ(record_positions({"b", "x", "a"}, {"a", "b", "c", "b"}), (std::vector<Eigen::Index>{3, -1, 0}));
}
