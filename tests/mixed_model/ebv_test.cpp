#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "log/logger.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

// Numerator relationships by the tabular method; parents are 1-based, 0 = unknown, and come
// before their offspring.
Eigen::MatrixXd tabular_relationships(const std::vector<std::pair<int, int>>& parents) {
    const auto n = static_cast<Eigen::Index>(parents.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const int sire = parents[static_cast<std::size_t>(i)].first - 1;
        const int dam = parents[static_cast<std::size_t>(i)].second - 1;
        for (Eigen::Index j = 0; j < i; ++j) {
            const double value = 0.5 * ((sire >= 0 ? A(j, sire) : 0.0) + (dam >= 0 ? A(j, dam) : 0.0));
            A(i, j) = A(j, i) = value;
        }
        A(i, i) = 1.0 + (sire >= 0 && dam >= 0 ? 0.5 * A(sire, dam) : 0.0);
    }
    return A;
}

Eigen::MatrixXd incidence(const std::vector<Eigen::Index>& positions, Eigen::Index individuals) {
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(positions.size()), individuals);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        Z(static_cast<Eigen::Index>(i), positions[i]) = 1.0;
    }
    return Z;
}

void expect_matrix_near(const Eigen::MatrixXd& expected, const Eigen::MatrixXd& actual, double relative,
                        const std::string& what) {
    ASSERT_EQ(expected.rows(), actual.rows()) << what;
    ASSERT_EQ(expected.cols(), actual.cols()) << what;
    const double scale = std::max(1.0, expected.cwiseAbs().maxCoeff());
    EXPECT_LT((expected - actual).cwiseAbs().maxCoeff(), relative * scale) << what;
}

// 30 individuals, 24 records: individuals 24..29 have none, individual 3 has two.
struct Layout {
    std::vector<Eigen::Index> positions;
    Eigen::Index individuals = 30;
};

Layout record_layout() {
    Layout layout;
    for (Eigen::Index i = 0; i < 23; ++i) {
        layout.positions.push_back(i);
    }
    layout.positions.push_back(3);
    return layout;
}

}  // namespace

TEST(GetEBV, SolvesTheTextbookEightAnimalExample) {
    // Pre-weaning gain of five calves with sex as the fixed effect, sa2 = 20, se2 = 40
    // (lambda = 2, h2 = 1/3); the well-known solutions of the mixed model equations, as the
    // textbook prints them (b to 6 decimals, u to 3).
    const Eigen::MatrixXd A =
        tabular_relationships({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}});
    const Eigen::MatrixXd Z = incidence({3, 4, 5, 6, 7}, 8);
    const Eigen::MatrixXd X = (Eigen::MatrixXd(5, 2) << 1, 0, 0, 1, 0, 1, 1, 0, 1, 0).finished();
    const Eigen::MatrixXd y = (Eigen::MatrixXd(5, 1) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();

    const auto [b, u] = getEBV(Z, A, X, y, 1.0 / 3.0);
    const Eigen::Vector2d expected_b(4.358502, 3.404430);
    Eigen::VectorXd expected_u(8);
    expected_u << 0.098, -0.019, -0.041, -0.009, -0.186, 0.177, -0.249, 0.183;
    EXPECT_LT((b - expected_b).cwiseAbs().maxCoeff(), 1e-6);
    EXPECT_LT((u - expected_u).cwiseAbs().maxCoeff(), 5.0001e-4);
}

TEST(GetEBV, EqualsTheMixedModelEquationsWhenKIsInvertible) {
    const Layout layout = record_layout();
    const Eigen::MatrixXd K = random_kinship(layout.individuals, 80, 5, 0.1);
    const Eigen::MatrixXd Z = incidence(layout.positions, layout.individuals);
    const Eigen::MatrixXd X = class_design(24, 3, false);
    const Eigen::MatrixXd y = simulate_trait(Z * K * Z.transpose(), X, 1.0, 1.5, 4);
    for (double h2 : {0.2, 0.5, 0.8}) {
        const auto [b, u] = getEBV(Z, K, X, y, h2);
        const auto [expected_b, expected_u] = reference_mme(Z, K, X, y, h2);
        expect_matrix_near(expected_b, b, 1e-8, "b at h2 " + std::to_string(h2));
        expect_matrix_near(expected_u, u, 1e-8, "u at h2 " + std::to_string(h2));
    }
    // A Z that is not an incidence matrix takes the dense products.
    Eigen::MatrixXd weighted = Z;
    weighted.col(25) += 0.5 * Eigen::VectorXd::Ones(24);
    const auto [b, u] = getEBV(weighted, K, X, y, 0.4);
    const auto [expected_b, expected_u] = reference_mme(weighted, K, X, y, 0.4);
    expect_matrix_near(expected_b, b, 1e-8, "b with weighted Z");
    expect_matrix_near(expected_u, u, 1e-8, "u with weighted Z");
}

TEST(GetEBV, IsRightWithASingularGenomicKinship) {
    // Centred genotypes: every row of G sums to 0, so G has no inverse.
    const Layout layout = record_layout();
    const Eigen::MatrixXd G = random_kinship(layout.individuals, 80, 6, 0.0);
    ASSERT_LT(std::fabs(G.row(0).sum()), 1e-10);
    const Eigen::MatrixXd Z = incidence(layout.positions, layout.individuals);
    const Eigen::MatrixXd X = class_design(24, 2, false);
    const Eigen::MatrixXd y = simulate_trait(Z * G * Z.transpose(), X, 1.0, 1.0, 9);
    const auto [b, u] = getEBV(Z, G, X, y, 0.35);
    const auto [expected_b, expected_u] = reference_mme_singular(Z, G, X, y, 0.35);
    ASSERT_TRUE(b.allFinite() && u.allFinite());
    expect_matrix_near(expected_b, b, 1e-8, "b");
    expect_matrix_near(expected_u, u, 1e-8, "u");
    // Breeding values of G lie in its column space: they sum to 0 like its rows.
    EXPECT_LT(std::fabs(u.sum()), 1e-9);
}

TEST(GetEBV, FixesEachCovariatesReferenceLevelAtZeroWithTheFullDesign) {
    const Layout layout = record_layout();
    const Eigen::MatrixXd K = random_kinship(layout.individuals, 80, 7, 0.1);
    const Eigen::MatrixXd Z = incidence(layout.positions, layout.individuals);
    // Intercept, a 2-level and a 3-level covariate: 6 columns of rank 4.
    Eigen::MatrixXd full = Eigen::MatrixXd::Zero(24, 6);
    full.col(0).setOnes();
    for (Eigen::Index i = 0; i < 24; ++i) {
        full(i, 1 + i % 2) = 1.0;
        full(i, 3 + (i / 2) % 3) = 1.0;
    }
    Eigen::MatrixXd reduced(24, 4);
    reduced << full.col(0), full.col(2), full.col(4), full.col(5);
    const Eigen::MatrixXd y = simulate_trait(Z * K * Z.transpose(), reduced, 1.0, 1.0, 12);

    const auto [b, u] = getEBV(Z, K, full, y, 0.4);
    const auto [reduced_b, reduced_u] = reference_mme(Z, K, reduced, y, 0.4);
    ASSERT_EQ(b.rows(), 6);
    EXPECT_EQ(b(1, 0), 0.0);
    EXPECT_EQ(b(3, 0), 0.0);
    const Eigen::Vector4d estimable(b(0, 0), b(2, 0), b(4, 0), b(5, 0));
    expect_matrix_near(reduced_b, estimable, 1e-8, "estimable columns");
    expect_matrix_near(reduced_u, u, 1e-8, "u");
}

TEST(GetEBV, ReusingTheRecordsDecompositionGivesTheSameSolution) {
    const Layout layout = record_layout();
    const Eigen::MatrixXd K = random_kinship(layout.individuals, 80, 8, 0.0);
    const Eigen::MatrixXd Z = incidence(layout.positions, layout.individuals);
    const Eigen::MatrixXd X = class_design(24, 3, true);
    const Eigen::MatrixXd y = simulate_trait(Z * K * Z.transpose(), X, 1.0, 1.0, 13);
    const auto [b, u] = getEBV(Z, K, X, y, 0.3);
    const ReducedKinship records = reduce_kinship_cpp(K(layout.positions, layout.positions), 5);
    const auto [fast_b, fast_u] = getEBV(records, layout.positions, K, X, y, 0.3);
    expect_matrix_near(b, fast_b, 1e-10, "b");
    expect_matrix_near(u, fast_u, 1e-10, "u");
}

TEST(GetEBV, ShrinksTowardsTheMeanWithUnrelatedIndividuals) {
    // Z = K = I and an intercept: b is the mean, u_i = h2 (y_i - mean).
    const Eigen::MatrixXd y = (Eigen::MatrixXd(4, 1) << 1.0, 4.0, 2.0, 9.0).finished();
    const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(4, 4);
    const auto [b, u] = getEBV(I, I, Eigen::MatrixXd::Ones(4, 1), y, 0.5);
    EXPECT_NEAR(b(0, 0), 4.0, 1e-12);
    expect_matrix_near(0.5 * (y.array() - 4.0).matrix(), u, 1e-12, "u");
}

TEST(GetEBV, RefusesShapesThatDisagree) {
    const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(4, 4);
    const Eigen::MatrixXd ones = Eigen::MatrixXd::Ones(4, 1);
    EXPECT_THROW(getEBV(I, Eigen::MatrixXd::Identity(3, 3), ones, ones, 0.5), std::invalid_argument);
    EXPECT_THROW(getEBV(I, I, Eigen::MatrixXd::Ones(3, 1), Eigen::MatrixXd::Ones(4, 1), 0.5), std::invalid_argument);
}

TEST(WriteRanEffToFile, WritesTheHeaderAndOneTabSeparatedLinePerIndividual) {
    const std::string dir = make_scratch_dir();
    const Eigen::MatrixXd values = (Eigen::MatrixXd(3, 1) << 0.5, 1e7, 1.0 / 3.0).finished();
    ASSERT_TRUE(writeRanEffToFile(values, {"a", "b", "c"}, dir + "/x.random.txt"));
    EXPECT_EQ(read_file(dir + "/x.random.txt"), "Sample_ID,Ran_Effects\na\t0.5\nb\t1e+07\nc\t0.333333\n");

    ASSERT_TRUE(writeRanEffToFile(Eigen::MatrixXd(0, 1), {}, dir + "/empty.random.txt"));
    EXPECT_EQ(read_file(dir + "/empty.random.txt"), "Sample_ID,Ran_Effects\n");
}

TEST(WriteRanEffToFile, ReportsFailuresAndLeavesNoFile) {
    const std::string dir = make_scratch_dir();
    const Eigen::MatrixXd values = Eigen::MatrixXd::Ones(2, 1);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeRanEffToFile(values, {"a", "b", "c"}, dir + "/mismatch.random.txt"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error：sample_ids and ran_eff row number were not matcthed！\n");
    EXPECT_FALSE(file_exists(dir + "/mismatch.random.txt"));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeRanEffToFile(values, {"a", "b"}, dir + "/missing/x.random.txt"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "无法打开文件 " + dir + "/missing/x.random.txt\n");

    // A full disk: the failed write is reported, not announced as saved.
    ASSERT_EQ(::symlink("/dev/full", (dir + "/full.random.txt").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeRanEffToFile(values, {"a", "b"}, dir + "/full.random.txt"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("No space left on device"), std::string::npos);

    // An existing result survives a failed run.
    write_file(dir + "/old.random.txt", "old\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeRanEffToFile(values, {"a"}, dir + "/old.random.txt"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(dir + "/old.random.txt"), "old\n");
}

TEST(WriteOutput, WritesTheIdsAndTheTabSeparatedMatrix) {
    const std::string dir = make_scratch_dir();
    Logger logger(dir + "/run.log");
    const Eigen::MatrixXd K = (Eigen::MatrixXd(2, 2) << 1.0, 0.25, 0.25, 1.5).finished();
    writeOutput(logger, {"A", "B"}, K, dir + "/out.txt");
    logger.close();
    EXPECT_EQ(read_file(dir + "/out.txt"), "Sample IDs:\nA\nB\n\nKinship Matrix:\n1\t0.25\n0.25\t1.5\n");
    EXPECT_EQ(read_file(dir + "/run.log"), "Output file opened successfully: " + dir +
                                               "/out.txt\nOutput successfully written to file.\n");
}
