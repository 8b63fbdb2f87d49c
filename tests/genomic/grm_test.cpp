#include <gtest/gtest.h>

#include <stdexcept>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"

namespace {

// Relative to the largest entry: the products sum thousands of terms in another order.
void expect_close(const Eigen::MatrixXd& actual, const Eigen::MatrixXd& expected, double tolerance) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    const double scale = std::max(1.0, expected.cwiseAbs().maxCoeff());
    EXPECT_LE((actual - expected).cwiseAbs().maxCoeff(), tolerance * scale);
}

Eigen::MatrixXd silent_gkin(const Eigen::MatrixXd& dosages, int method, double lambda) {
    testing::internal::CaptureStdout();
    try {
        Eigen::MatrixXd kinship = gkin_cpp(dosages, method, lambda);
        testing::internal::GetCapturedStdout();
        return kinship;
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
}

std::string gkin_error(const Eigen::MatrixXd& dosages, int method, double lambda) {
    return error_of([&] { silent_gkin(dosages, method, lambda); });
}

TEST(FillMissingValues, ImputesExactlyMinusOneByTheObservedColumnMean) {
    Eigen::MatrixXd dosages(4, 3);
    dosages << 2, -1, -1,
               -1, 0, -1,
               1, -2, -1,
               0, 1, -1;
    Eigen::VectorXd means;
    fill_missing_values(dosages, means);
    Eigen::MatrixXd expected(4, 3);
    // Column 2: -2 is not the missing code, so it counts as an observation.
    expected << 2, -1.0 / 3.0, 0,
                1, 0, 0,
                1, -2, 0,
                0, 1, 0;
    EXPECT_EQ(dosages, expected);
    EXPECT_EQ(means, Eigen::Vector3d(1.0, -1.0 / 3.0, 0.0));
}

TEST(Gkin, EveryMethodMatchesTheTextbookFormula) {
    const Eigen::MatrixXd dosages = random_dosages(13, 60, 5, 0.1);
    for (int method : {1, 2, 3}) {
        for (double lambda : {1.0, 0.0, 0.5, 2.0}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", lambda " + std::to_string(lambda));
            const Eigen::MatrixXd kinship = silent_gkin(dosages, method, lambda);
            expect_close(kinship, textbook_grm(dosages, method, lambda), 1e-12);
            EXPECT_LE((kinship - kinship.transpose()).cwiseAbs().maxCoeff(), 1e-12);
            if (method != 1) {
                EXPECT_NEAR(kinship.trace() / 13.0, 1.0, 1e-12);
            }
        }
    }
}

TEST(Gkin, OnlyMethodOnePrintsItsTimingLine) {
    const Eigen::MatrixXd dosages = random_dosages(6, 12, 2, 0.0);
    testing::internal::CaptureStdout();
    gkin_cpp(dosages, 1, 1.0);
    const std::string printed = testing::internal::GetCapturedStdout();
    // "Building G matrix", the seconds with no space before them, " 秒".
    const std::string head = "Building G matrix";
    const std::string tail = " 秒\n";
    ASSERT_GT(printed.size(), head.size() + tail.size()) << printed;
    EXPECT_EQ(printed.substr(0, head.size()), head);
    EXPECT_EQ(printed.substr(printed.size() - tail.size()), tail);
    const std::string seconds = printed.substr(head.size(), printed.size() - head.size() - tail.size());
    EXPECT_GE(std::stod(seconds), 0.0) << printed;
    EXPECT_EQ(seconds.find_first_not_of("0123456789.e+-"), std::string::npos) << printed;
    for (int method : {2, 3}) {
        testing::internal::CaptureStdout();
        gkin_cpp(dosages, method, 1.0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

TEST(Gkin, RefusesInputsWithoutAMeaningfulG) {
    const Eigen::MatrixXd dosages = random_dosages(5, 8, 3, 0.0);
    for (int method : {0, 4, -1}) {
        EXPECT_THROW(silent_gkin(dosages, method, 1.0), std::invalid_argument);
        EXPECT_EQ(gkin_error(dosages, method, 1.0), "Invalid kinship method!");
    }
    EXPECT_NE(gkin_error(Eigen::MatrixXd(0, 4), 1, 1.0).find("0 individuals"), std::string::npos);
    EXPECT_NE(gkin_error(Eigen::MatrixXd(4, 0), 2, 1.0).find("0 markers"), std::string::npos);

    // Monomorphic or uncalled everywhere: 2 Σ p(1-p) = 0 for method 1.
    Eigen::MatrixXd monomorphic(3, 3);
    monomorphic << 2, 0, -1,
                   2, 0, -1,
                   2, -1, -1;
    EXPECT_NE(gkin_error(monomorphic, 1, 1.0).find("method 1"), std::string::npos);
    // Every centred column 0 (heterozygous everywhere has p = 0.5 but no spread): zero trace.
    Eigen::MatrixXd no_spread = monomorphic;
    no_spread.col(0).setConstant(1.0);
    for (int method : {2, 3}) {
        EXPECT_NE(gkin_error(no_spread, method, 1.0).find("diagonal of G sums to 0"), std::string::npos);
    }
    // A single heterozygous-only marker leaves method 1 a denominator: G is the zero matrix.
    EXPECT_EQ(silent_gkin(no_spread, 1, 1.0), Eigen::MatrixXd::Zero(3, 3));

    // Weights that overflow leave no finite G.
    EXPECT_NE(gkin_error(dosages, 2, 2000.0).find("not finite"), std::string::npos);
}

}  // namespace
