// G22 against A22: the statistics against a plain computation over lists of pairs, and the
// tuning and blending against their formulas.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "hmatrix/hmatrix.h"

namespace {

double mean(const std::vector<double>& x) {
    double sum = 0.0;
    for (const double v : x) {
        sum += v;
    }
    return sum / static_cast<double>(x.size());
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
    const double mx = mean(x);
    const double my = mean(y);
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        sxy += (x[k] - mx) * (y[k] - my);
        sxx += (x[k] - mx) * (x[k] - mx);
        syy += (y[k] - my) * (y[k] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

// A symmetric matrix near a relationship matrix: 1 + noise on the diagonal, small values off it.
Eigen::MatrixXd random_relationships(int n, unsigned seed, double level) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.1);
    Eigen::MatrixXd M(n, n);
    for (int c = 0; c < n; ++c) {
        M(c, c) = 1.0 + level + noise(rng);
        for (int r = c + 1; r < n; ++r) {
            M(r, c) = M(c, r) = level + noise(rng);
        }
    }
    return M;
}

TEST(GAgainstA22, StatisticsAreThoseOfThePairsWrittenOut) {
    const int n = 23;
    const Eigen::MatrixXd A = random_relationships(n, 1, 0.1);
    Eigen::MatrixXd G = 0.8 * A + 0.5 * random_relationships(n, 2, 0.0);
    G.array() -= 0.1;
    std::vector<double> dG, dA, oG, oA, aG, aA;
    for (int c = 0; c < n; ++c) {
        for (int r = c; r < n; ++r) {
            (r == c ? dG : oG).push_back(G(r, c));
            (r == c ? dA : oA).push_back(A(r, c));
            aG.push_back(G(r, c));
            aA.push_back(A(r, c));
        }
    }
    const KinshipAgreement agreement = compare_g_with_a22(G, A);
    EXPECT_EQ(agreement.individuals, n);
    EXPECT_NEAR(agreement.mean_diagonal_G, mean(dG), 1e-14);
    EXPECT_NEAR(agreement.mean_offdiagonal_G, mean(oG), 1e-14);
    EXPECT_NEAR(agreement.mean_diagonal_A, mean(dA), 1e-14);
    EXPECT_NEAR(agreement.mean_offdiagonal_A, mean(oA), 1e-14);
    EXPECT_NEAR(agreement.correlation_diagonal, pearson(dG, dA), 1e-12);
    EXPECT_NEAR(agreement.correlation_offdiagonal, pearson(oG, oA), 1e-12);
    EXPECT_NEAR(agreement.correlation_all, pearson(aG, aA), 1e-12);
    // Least squares of G on A over all elements: slope = cov / var, through the means.
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t k = 0; k < aG.size(); ++k) {
        sxy += (aA[k] - mean(aA)) * (aG[k] - mean(aG));
        sxx += (aA[k] - mean(aA)) * (aA[k] - mean(aA));
    }
    EXPECT_NEAR(agreement.slope, sxy / sxx, 1e-12);
    EXPECT_NEAR(agreement.intercept, mean(aG) - sxy / sxx * mean(aA), 1e-12);
    // Nothing varies off the diagonal: no correlation, no regression, and no crash.
    const Eigen::MatrixXd flat = Eigen::MatrixXd::Identity(4, 4);
    EXPECT_TRUE(std::isnan(compare_g_with_a22(flat, flat).correlation_offdiagonal));
}

TEST(GAgainstA22, TuningMatchesTheMeansOfA22AndBlendingFollowsItsFormula) {
    const int n = 17;
    const Eigen::MatrixXd A = random_relationships(n, 3, 0.12);
    const Eigen::MatrixXd G = random_relationships(n, 4, -0.01);
    Eigen::MatrixXd tuned = G;
    const AppliedTuning tuning = adjust_g22(tuned, A, {true, 1.0, 0.0});
    const KinshipAgreement before = compare_g_with_a22(G, A);
    const KinshipAgreement after = compare_g_with_a22(tuned, A);
    EXPECT_NEAR(after.mean_diagonal_G, before.mean_diagonal_A, 1e-12);
    EXPECT_NEAR(after.mean_offdiagonal_G, before.mean_offdiagonal_A, 1e-12);
    EXPECT_NEAR((tuned - (tuning.intercept + tuning.slope * G.array()).matrix()).cwiseAbs().maxCoeff(), 0.0, 1e-13);

    Eigen::MatrixXd blended = G;
    adjust_g22(blended, A, {false, 0.95, 0.05});
    EXPECT_NEAR((blended - (0.95 * G + 0.05 * A)).cwiseAbs().maxCoeff(), 0.0, 1e-14);
    Eigen::MatrixXd both = G;
    adjust_g22(both, A, {true, 0.9, 0.1});
    EXPECT_NEAR((both - (0.9 * tuned + 0.1 * A)).cwiseAbs().maxCoeff(), 0.0, 1e-13);

    Eigen::MatrixXd any = G;
    EXPECT_THROW(adjust_g22(any, A, {false, 0.5, -0.5}), std::invalid_argument);
    EXPECT_THROW(adjust_g22(any, A, {false, std::nan(""), 0.1}), std::invalid_argument);
    Eigen::MatrixXd constant = Eigen::MatrixXd::Constant(3, 3, 0.5);
    EXPECT_THROW(adjust_g22(constant, A.topLeftCorner(3, 3), {true, 1.0, 0.0}), std::runtime_error);
}

}  // namespace
