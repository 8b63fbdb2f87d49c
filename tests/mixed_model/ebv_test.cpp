#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

Eigen::MatrixXd incidence(const std::vector<Eigen::Index>& positions, Eigen::Index individuals) {
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(positions.size()), individuals);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        Z(static_cast<Eigen::Index>(i), positions[i]) = 1.0;
    }
    return Z;
}

void expect_matrix_near(const Eigen::MatrixXd& expected, const Eigen::MatrixXd& actual, const std::string& what) {
    ASSERT_TRUE(expected.rows() == actual.rows() && expected.cols() == actual.cols()) << what;
    EXPECT_LT((expected - actual).cwiseAbs().maxCoeff(), 1e-8 * std::max(1.0, expected.cwiseAbs().maxCoeff())) << what;
}

// 30 individuals, 24 records: individuals 23..29 have none, individual 3 has two.
const std::vector<Eigen::Index> kPositions = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                              12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 3};
const Eigen::MatrixXd kZ = incidence(kPositions, 30);

}  // namespace

TEST(GetEBV, SolvesTheTextbookEightAnimalExample) {
    // Pre-weaning gain of five calves with sex as the fixed effect, sa2 = 20, se2 = 40
    // (lambda = 2, h2 = 1/3); the well-known solutions of the mixed model equations, as the
    // textbook prints them (b to 6 decimals, u to 3). A by the tabular method.
    const std::vector<std::pair<int, int>> parents = {{-1, -1}, {-1, -1}, {-1, -1}, {0, -1},
                                                      {2, 1},   {0, 1},   {3, 4},   {2, 5}};
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(8, 8);
    for (int i = 0; i < 8; ++i) {
        const auto [sire, dam] = parents[static_cast<std::size_t>(i)];
        for (int j = 0; j < i; ++j) {
            A(i, j) = A(j, i) = 0.5 * ((sire >= 0 ? A(j, sire) : 0.0) + (dam >= 0 ? A(j, dam) : 0.0));
        }
        A(i, i) = 1.0 + (sire >= 0 && dam >= 0 ? 0.5 * A(sire, dam) : 0.0);
    }
    const Eigen::MatrixXd X = (Eigen::MatrixXd(5, 2) << 1, 0, 0, 1, 0, 1, 1, 0, 1, 0).finished();
    const Eigen::MatrixXd y = (Eigen::MatrixXd(5, 1) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();
    const auto [b, u] = getEBV(incidence({3, 4, 5, 6, 7}, 8), A, X, y, 1.0 / 3.0);
    Eigen::VectorXd expected_u(8);
    expected_u << 0.098, -0.019, -0.041, -0.009, -0.186, 0.177, -0.249, 0.183;
    EXPECT_LT((b - Eigen::Vector2d(4.358502, 3.404430)).cwiseAbs().maxCoeff(), 1e-6);
    EXPECT_LT((u - expected_u).cwiseAbs().maxCoeff(), 5.0001e-4);
}

TEST(GetEBV, EqualsTheMixedModelEquationsWhenKIsInvertible) {
    const Eigen::MatrixXd K = random_kinship(30, 80, 5, 0.1);
    // Intercept, a 2-level and a 3-level covariate: 6 columns of rank 4. The reduced design leaves
    // out each covariate's first level.
    Eigen::MatrixXd full = Eigen::MatrixXd::Zero(24, 6);
    full.col(0).setOnes();
    for (Eigen::Index i = 0; i < 24; ++i) {
        full(i, 1 + i % 2) = full(i, 3 + (i / 2) % 3) = 1.0;
    }
    const std::vector<Eigen::Index> estimable = {0, 2, 4, 5};
    const Eigen::MatrixXd X = full(Eigen::all, estimable);
    const Eigen::MatrixXd y = simulate_trait(kZ * K * kZ.transpose(), X, 1.0, 1.5, 4);
    // A Z that is not an incidence matrix takes the dense products.
    Eigen::MatrixXd weighted = kZ;
    weighted.col(25).array() += 0.5;
    for (const auto& [Z, h2] : {std::pair{kZ, 0.2}, std::pair{kZ, 0.8}, std::pair{weighted, 0.4}}) {
        const auto [b, u] = getEBV(Z, K, X, y, h2);
        const auto [expected_b, expected_u] = reference_mme(Z, K, X, y, h2);
        expect_matrix_near(expected_b, b, "b at h2 " + std::to_string(h2));
        expect_matrix_near(expected_u, u, "u at h2 " + std::to_string(h2));
    }
    // The full design: each covariate's first level gets exactly 0, the rest as with the reduced one.
    const auto [b, u] = getEBV(kZ, K, full, y, 0.2);
    const auto [expected_b, expected_u] = reference_mme(kZ, K, X, y, 0.2);
    ASSERT_EQ(b.rows(), 6);
    EXPECT_EQ(b(1, 0), 0.0);
    EXPECT_EQ(b(3, 0), 0.0);
    expect_matrix_near(expected_b, b(estimable, Eigen::all), "b of the estimable columns");
    expect_matrix_near(expected_u, u, "u with the full design");
}

TEST(GetEBV, IsRightWithASingularGenomicKinshipAlsoFromTheRecordsDecomposition) {
    // Centred genotypes: every row of G sums to 0, so G has no inverse.
    const Eigen::MatrixXd G = random_kinship(30, 80, 6, 0.0);
    ASSERT_LT(std::fabs(G.row(0).sum()), 1e-10);
    const Eigen::MatrixXd X = class_design(24, 2, false);
    const Eigen::MatrixXd y = simulate_trait(kZ * G * kZ.transpose(), X, 1.0, 1.0, 9);
    const auto [expected_b, expected_u] = reference_mme_singular(kZ, G, X, y, 0.35);
    const auto [b, u] = getEBV(kZ, G, X, y, 0.35);
    const ReducedKinship records = reduce_kinship_cpp(G(kPositions, kPositions), 5);
    const auto [reused_b, reused_u] = getEBV(records, kPositions, G, X, y, 0.35);
    expect_matrix_near(expected_b, b, "b");
    expect_matrix_near(expected_u, u, "u");
    expect_matrix_near(expected_b, reused_b, "b from the records' decomposition");
    expect_matrix_near(expected_u, reused_u, "u from the records' decomposition");
    // Breeding values of G lie in its column space: they sum to 0 like its rows.
    EXPECT_LT(std::fabs(u.sum()), 1e-9);
}

TEST(WriteRanEffToFile, WritesTheHeaderAndOneTabSeparatedLinePerIndividual) {
    const std::string dir = make_scratch_dir();
    const Eigen::MatrixXd values = (Eigen::MatrixXd(3, 1) << 0.5, 1e7, 1.0 / 3.0).finished();
    ASSERT_TRUE(writeRanEffToFile(values, {"a", "b", "c"}, dir + "/x.random.txt"));
    EXPECT_EQ(read_file(dir + "/x.random.txt"), "Sample_ID,Ran_Effects\na\t0.5\nb\t1e+07\nc\t0.333333\n");
    ASSERT_TRUE(writeRanEffToFile(Eigen::MatrixXd(0, 1), {}, dir + "/empty.random.txt"));
    EXPECT_EQ(read_file(dir + "/empty.random.txt"), "Sample_ID,Ran_Effects\n");
}
