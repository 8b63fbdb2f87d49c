#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"

namespace {

void expect_matrix_near(const Eigen::MatrixXd& expected, const Eigen::MatrixXd& actual, const std::string& what) {
    ASSERT_TRUE(expected.rows() == actual.rows() && expected.cols() == actual.cols()) << what;
    EXPECT_LT((expected - actual).cwiseAbs().maxCoeff(), 1e-8 * std::max(1.0, expected.cwiseAbs().maxCoeff())) << what;
}

// 30 individuals, 24 records: individuals 23..29 have none, individual 3 has two.
const std::vector<Eigen::Index> kPositions = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                              12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 3};
const Eigen::MatrixXd kZ = incidence(kPositions, 30);

// What read_kinship_columns gives for the records at `positions`: K's columns at the distinct
// positions, in increasing order, and its diagonal.
KinshipColumns columns_of(const Eigen::MatrixXd& K, const std::vector<Eigen::Index>& positions) {
    std::vector<Eigen::Index> kept = positions;
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    return {std::vector<std::size_t>(kept.begin(), kept.end()), K(Eigen::all, kept), K.diagonal()};
}

}  // namespace

TEST(GetEBV, SolvesTheTextbookEightAnimalExample) {
    // Pre-weaning gain of five calves with sex as the fixed effect, sa2 = 20, se2 = 40
    // (lambda = 2, h2 = 1/3); the well-known solutions of the mixed model equations, as the
    // textbook prints them (b to 6 decimals, u to 3). A by the tabular method.
    const Eigen::MatrixXd A =
        tabular_relationships({{-1, -1}, {-1, -1}, {-1, -1}, {0, -1}, {2, 1}, {0, 1}, {3, 4}, {2, 5}});
    const Eigen::MatrixXd X = (Eigen::MatrixXd(5, 2) << 1, 0, 0, 1, 0, 1, 1, 0, 1, 0).finished();
    const Eigen::MatrixXd y = (Eigen::MatrixXd(5, 1) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();
    const std::vector<Eigen::Index> calves = {3, 4, 5, 6, 7};
    const auto [b, u] = getEBV(reduce_kinship_cpp(A(calves, calves)), calves, columns_of(A, calves), X, y, 1.0 / 3.0);
    const Eigen::VectorXd expected_u =
        (Eigen::VectorXd(8) << 0.098, -0.019, -0.041, -0.009, -0.186, 0.177, -0.249, 0.183).finished();
    EXPECT_LT((b - Eigen::Vector2d(4.358502, 3.404430)).cwiseAbs().maxCoeff(), 1e-6);
    EXPECT_LT((u - expected_u).cwiseAbs().maxCoeff(), 5.0001e-4);
}

TEST(GetEBV, SolvesTheMixedModelEquationsWithAnInvertibleOrASingularKinship) {
    // K invertible (a ridge on the diagonal); G from centred genotypes: every row sums to 0, so
    // G has no inverse and is checked against the equations written with K instead of K^-1.
    const Eigen::MatrixXd K = random_kinship(30, 80, 5, 0.1), G = random_kinship(30, 80, 6, 0.0);
    ASSERT_LT(std::fabs(G.row(0).sum()), 1e-10);
    const Eigen::MatrixXd X = class_design(24, 3);
    const Eigen::MatrixXd y = simulate_trait(kZ * K * kZ.transpose(), X, 1.0, 1.5, 4);
    using Case = std::tuple<bool, double>;  // singular kinship, h2
    for (const auto& [singular, h2] : {Case{false, 0.2}, Case{false, 0.8}, Case{true, 0.35}}) {
        const std::string at = "h2 " + std::to_string(h2);
        const Eigen::MatrixXd& kinship = singular ? G : K;
        const auto [expected_b, expected_u] =
            singular ? reference_mme_singular(kZ, G, X, y, h2) : reference_mme(kZ, K, X, y, h2);
        const auto [b, u] =
            getEBV(reduce_kinship_cpp(kinship(kPositions, kPositions), 5), kPositions, columns_of(kinship, kPositions),
                   X, y, h2);
        expect_matrix_near(expected_b, b, "b at " + at);
        expect_matrix_near(expected_u, u, "u at " + at);
        // Breeding values of G lie in its column space, so they sum to 0 like its rows.
        if (singular) {
            EXPECT_LT(std::fabs(u.sum()), 1e-9);
        }
    }
}

// Prediction error variances against the mixed model equations' inverse (PEV = se2 times the
// random block of C^-1, with A^-1 in the equations) for the textbook example, and against the
// dense formula sa2 K_ii - sa2^2 K_i,r P K_r,i for a singular G with a repeated record.
TEST(PredictionErrorVariances, MatchTheInverseOfTheEquationsAndTheDenseFormula) {
    const Eigen::MatrixXd A =
        tabular_relationships({{-1, -1}, {-1, -1}, {-1, -1}, {0, -1}, {2, 1}, {0, 1}, {3, 4}, {2, 5}});
    const Eigen::MatrixXd X = (Eigen::MatrixXd(5, 2) << 1, 0, 0, 1, 0, 1, 1, 0, 1, 0).finished();
    const std::vector<Eigen::Index> calves = {3, 4, 5, 6, 7};
    const double sa2 = 20.0, se2 = 40.0;
    Eigen::MatrixXd W(5, 10);
    W << X, incidence(calves, 8);
    Eigen::MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(8, 8) += se2 / sa2 * A.inverse();
    const Eigen::VectorXd expected = se2 * C.inverse().diagonal().tail(8);
    const Eigen::VectorXd pev =
        prediction_error_variances(reduce_kinship_cpp(A(calves, calves)), calves, columns_of(A, calves), X, sa2, se2);
    expect_matrix_near(expected, pev, "PEV of the textbook example");

    const Eigen::MatrixXd G = random_kinship(30, 80, 6, 0.0);
    const Eigen::MatrixXd X3 = class_design(24, 3);
    const Eigen::MatrixXd Kr = kZ * G * kZ.transpose();
    const Eigen::MatrixXd y3 = simulate_trait(Kr, X3, 1.0, 1.0, 7);
    const Eigen::MatrixXd V = 1.3 * Kr + 0.7 * Eigen::MatrixXd::Identity(24, 24);
    const Eigen::MatrixXd Vinv = V.inverse();
    const Eigen::MatrixXd P = Vinv - Vinv * X3 * (X3.transpose() * Vinv * X3).inverse() * X3.transpose() * Vinv;
    const Eigen::MatrixXd KZ = G * kZ.transpose();
    const Eigen::VectorXd dense = 1.3 * G.diagonal() - 1.3 * 1.3 * (KZ * P * KZ.transpose()).diagonal();
    const ReducedKinship reduced = reduce_kinship_cpp(Kr, 5);
    expect_matrix_near(dense, prediction_error_variances(reduced, kPositions, columns_of(G, kPositions), X3, 1.3, 0.7),
                       "PEV with a singular G");
    // Columns kept beyond the records' and in another order change nothing.
    std::vector<Eigen::Index> every(30);
    for (Eigen::Index i = 0; i < 30; ++i) {
        every[static_cast<std::size_t>(i)] = 29 - i;
    }
    const KinshipColumns reversed = {std::vector<std::size_t>(every.begin(), every.end()), G(Eigen::all, every),
                                     G.diagonal()};
    expect_matrix_near(dense, prediction_error_variances(reduced, kPositions, reversed, X3, 1.3, 0.7),
                       "PEV with every column, reversed");
    expect_matrix_near(getEBV(reduced, kPositions, columns_of(G, kPositions), X3, y3, 0.6).second,
                       getEBV(reduced, kPositions, reversed, X3, y3, 0.6).second, "u with every column, reversed");
    // No genetic variance: every breeding value is 0 and known exactly.
    const KinshipColumns kept = columns_of(G, kPositions);
    EXPECT_EQ(prediction_error_variances(reduced, kPositions, kept, X3, 0.0, 0.7).cwiseAbs().maxCoeff(), 0.0);
}

// The quadratic forms t'P t behind the p of marker effects, by the reduced basis and by the
// Cholesky factor of V at the records, against P formed whole; a singular G and a design with
// an aliased column (its copy) included.
TEST(RecordQuadraticForms, TheReducedBasisAndTheCholeskyFactorGiveTheDenseForms) {
    const Eigen::MatrixXd G = random_kinship(30, 80, 8, 0.0);
    const Eigen::MatrixXd Kr = kZ * G * kZ.transpose();
    Eigen::MatrixXd X(24, 4);
    X << class_design(24, 3), class_design(24, 3).col(1);
    const Eigen::MatrixXd V = 1.3 * Kr + 0.7 * Eigen::MatrixXd::Identity(24, 24);
    const Eigen::MatrixXd Vinv = V.inverse();
    const Eigen::MatrixXd X3 = X.leftCols(3);
    const Eigen::MatrixXd P = Vinv - Vinv * X3 * (X3.transpose() * Vinv * X3).inverse() * X3.transpose() * Vinv;
    const Eigen::MatrixXd T = Eigen::MatrixXd::Random(24, 7);
    const Eigen::VectorXd dense = (T.transpose() * P * T).diagonal();

    const ReducedKinship reduced = reduce_kinship_cpp(Kr, 5);
    const RecordProjection rotated(reduced, X, 1.3, 0.7);
    expect_matrix_near(dense, rotated.quadratic_forms(rotate_to_reduced(reduced, T)), "forms in the reduced basis");
    const CholeskyRecordProjection factored(Kr, X, 1.3, 0.7);
    expect_matrix_near(dense, factored.quadratic_forms(T), "forms through the factor of V");
}
