#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <omp.h>

#include "log/logger.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

// Relative agreement, with an absolute floor for values that cancel to near 0.
// A NaN (log-likelihood of an indefinite V) must be NaN on both sides.
void expect_agree(double expected, double actual, double relative, double floor, const std::string& what) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << what << ": " << actual;
        return;
    }
    EXPECT_NEAR(actual, expected, floor + relative * std::fabs(expected)) << what;
}

// The printed trace and the returned components of the fast path against the literal one.
void expect_same_reml(const RemlResult& expected, const RemlResult& actual) {
    ASSERT_EQ(expected.iterations.size(), actual.iterations.size());
    ASSERT_EQ(expected.converged, actual.converged);
    for (std::size_t k = 0; k < expected.iterations.size(); ++k) {
        const RemlIteration& e = expected.iterations[k];
        const RemlIteration& a = actual.iterations[k];
        const std::string at = "iteration " + std::to_string(e.iteration);
        EXPECT_EQ(e.iteration, a.iteration);
        expect_agree(e.log_likelihood, a.log_likelihood, 1e-8, 1e-9, at + " LogLik");
        expect_agree(e.sigma_a2, a.sigma_a2, 1e-8, 1e-12, at + " Sigma_a2");
        expect_agree(e.sigma_e2, a.sigma_e2, 1e-8, 1e-12, at + " Sigma_e2");
        // A change is a Newton step over a value: near convergence the step is a difference of
        // nearly equal terms, so it is compared with an absolute floor.
        expect_agree(e.change_a2, a.change_a2, 1e-7, 1e-11, at + " Changed_a2");
        expect_agree(e.change_e2, a.change_e2, 1e-7, 1e-11, at + " Changed_e2");
    }
    if (expected.converged) {
        expect_agree(expected.h2, actual.h2, 1e-8, 1e-14, "h2");
        expect_agree(expected.se_a2, actual.se_a2, 1e-8, 1e-12, "SE of Add");
        expect_agree(expected.se_e2, actual.se_e2, 1e-8, 1e-12, "SE of e");
        expect_agree(expected.se_h2, actual.se_h2, 1e-8, 1e-12, "SE of h2");
    }
}

// A small bandwidth makes both reduction stages work on these small matrices.
RemlResult fast_reml(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, int max_iter,
                     int bandwidth = 3) {
    return reml_ai_cpp(reduce_kinship_cpp(K, bandwidth), X, y, max_iter, 0.3, 1e-5);
}

Eigen::MatrixXd dense_band(const ReducedKinship& kinship) {
    const Eigen::Index n = kinship.band.cols();
    Eigen::MatrixXd B = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = j; i < std::min(n, j + kinship.bandwidth + 1); ++i) {
            B(i, j) = B(j, i) = kinship.band(i - j, j);
        }
    }
    return B;
}

}  // namespace

TEST(ReducedKinship, ReproducesTheDenseMatrixItsEigenvaluesAndSolves) {
    const Eigen::MatrixXd K = random_kinship(30, 80, 11, 0.0);  // singular
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(K);
    const Eigen::MatrixXd C = Eigen::MatrixXd::Random(30, 3);
    for (int bandwidth : {0, 1, 4, 29, 64}) {
        SCOPED_TRACE("bandwidth " + std::to_string(bandwidth));
        const ReducedKinship kinship = reduce_kinship_cpp(K, bandwidth);
        EXPECT_EQ(kinship.bandwidth, std::min(std::max(bandwidth, 1), 29));
        const Eigen::MatrixXd B = dense_band(kinship);

        // Q' K Q = B, and Q Q' C = C.
        const Eigen::MatrixXd QtK = rotate_to_reduced(kinship, K);
        const Eigen::MatrixXd QtKQ = rotate_to_reduced(kinship, QtK.transpose()).transpose();
        EXPECT_LT((QtKQ - B).cwiseAbs().maxCoeff(), 1e-12);
        EXPECT_LT((rotate_from_reduced(kinship, rotate_to_reduced(kinship, C)) - C).cwiseAbs().maxCoeff(), 1e-13);
        EXPECT_LT((kinship.eigenvalues - eigen.eigenvalues()).cwiseAbs().maxCoeff(), 1e-12);
        EXPECT_LT((multiply_band(kinship, C) - B * C).cwiseAbs().maxCoeff(), 1e-13);

        // Positive definite and indefinite shifts (negative components make V indefinite).
        for (const auto& [scale, shift] : {std::pair{0.7, 1.3}, std::pair{-2.0, 0.4}, std::pair{1.0, -0.35}}) {
            const Eigen::MatrixXd M = scale * B + shift * Eigen::MatrixXd::Identity(30, 30);
            const Eigen::MatrixXd expected = M.partialPivLu().solve(C);
            const Eigen::MatrixXd solved = solve_shifted_band(kinship, scale, shift, C);
            EXPECT_LT((solved - expected).cwiseAbs().maxCoeff(), 1e-9 * (1.0 + expected.cwiseAbs().maxCoeff()))
                << "scale " << scale << " shift " << shift;
        }
    }
}

TEST(ReducedKinship, SingleRecordAndSingularShift) {
    const ReducedKinship one = reduce_kinship_cpp(Eigen::MatrixXd::Constant(1, 1, 2.0));
    EXPECT_DOUBLE_EQ(one.eigenvalues[0], 2.0);
    EXPECT_DOUBLE_EQ(solve_shifted_band(one, 1.0, 2.0, Eigen::MatrixXd::Constant(1, 1, 8.0))(0, 0), 2.0);
    // B - 2 I is the zero matrix: no finite solution.
    EXPECT_FALSE(solve_shifted_band(one, 1.0, -2.0, Eigen::MatrixXd::Ones(1, 1)).allFinite());
}

TEST(IndependentColumns, DropsDependentAndZeroColumnsInTheGivenOrder) {
    // Intercept, sex (2 levels), herd (3 levels): 6 columns of rank 4.
    Eigen::MatrixXd X = Eigen::MatrixXd::Zero(12, 6);
    X.col(0).setOnes();
    for (Eigen::Index i = 0; i < 12; ++i) {
        X(i, 1 + i % 2) = 1.0;
        X(i, 3 + (i / 2) % 3) = 1.0;
    }
    // First, then from the last towards the second: each covariate's first level goes.
    EXPECT_EQ(independent_columns(X, {0, 5, 4, 3, 2, 1}), (std::vector<Eigen::Index>{0, 5, 4, 2}));
    // In order: the last level of each covariate goes.
    EXPECT_EQ(independent_columns(X, {0, 1, 2, 3, 4, 5}), (std::vector<Eigen::Index>{0, 1, 3, 4}));

    Eigen::MatrixXd with_zero(12, 3);
    with_zero << X.col(0), Eigen::VectorXd::Zero(12), X.col(2);
    EXPECT_EQ(independent_columns(with_zero, {0, 1, 2}), (std::vector<Eigen::Index>{0, 2}));
}

TEST(ComputeVarianceAndLogDetV, FollowTheirDefinitions) {
    EXPECT_DOUBLE_EQ(computeVariance((Eigen::MatrixXd(3, 1) << 1, 2, 3).finished()), 1.0);
    EXPECT_TRUE(std::isnan(computeVariance(Eigen::MatrixXd::Constant(1, 1, 4.0))));

    EXPECT_DOUBLE_EQ(logDetV(2.0 * Eigen::MatrixXd::Identity(2, 2)), 2.0 * std::log(2.0));
    EXPECT_EQ(logDetV(Eigen::MatrixXd(0, 0)), 0.0);
    const Eigen::MatrixXd indefinite = (Eigen::MatrixXd(2, 2) << 1, 2, 2, 1).finished();
    EXPECT_EQ(logDetV(indefinite), std::numeric_limits<double>::infinity());
    const Eigen::MatrixXd K = random_kinship(10, 40, 3, 0.5);
    EXPECT_NEAR(logDetV(K), std::log(K.determinant()), 1e-10);
}

TEST(RemlTrace, MatchesTheLiteralDenseIterationWithAndWithoutCovariates) {
    const Eigen::MatrixXd K = random_kinship(60, 150, 21, 0.05);
    for (int levels : {1, 3}) {
        const Eigen::MatrixXd X = class_design(60, levels, false);
        const Eigen::MatrixXd y = simulate_trait(K, X, 2.0, 3.0, 5 + static_cast<unsigned>(levels));
        const RemlResult expected = reference_reml(K, X, y, 30, 0.3, 1e-5);
        ASSERT_TRUE(expected.converged) << levels << " levels";
        ASSERT_GE(expected.iterations.size(), 3u);
        SCOPED_TRACE(std::to_string(levels) + " levels");
        expect_same_reml(expected, fast_reml(K, X, y, 30));
    }
}

TEST(RemlTrace, MatchesTheLiteralIterationWithASingularKinshipAndRepeatedRecords) {
    // Centred genotypes give a singular G; a repeated individual adds two equal rows.
    const Eigen::MatrixXd G = random_kinship(120, 300, 8, 0.0);
    std::vector<Eigen::Index> rows(120);
    for (Eigen::Index i = 0; i < 120; ++i) {
        rows[static_cast<std::size_t>(i)] = i == 119 ? 0 : i;
    }
    const Eigen::MatrixXd K = G(rows, rows);
    const Eigen::MatrixXd X = class_design(120, 2, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.0, 99);
    const RemlResult expected = reference_reml(K, X, y, 30, 0.3, 1e-5);
    ASSERT_TRUE(expected.converged);
    expect_same_reml(expected, fast_reml(K, X, y, 30));
}

TEST(RemlTrace, StopsAtTheIterationLimitLikeTheLiteralIteration) {
    const Eigen::MatrixXd K = random_kinship(50, 120, 31, 0.05);
    const Eigen::MatrixXd X = class_design(50, 2, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 2.0, 7);

    const RemlResult none = fast_reml(K, X, y, 1);
    EXPECT_TRUE(none.iterations.empty());
    EXPECT_FALSE(none.converged);

    const RemlResult expected = reference_reml(K, X, y, 3, 0.3, 1e-5);
    ASSERT_FALSE(expected.converged);
    ASSERT_EQ(expected.iterations.size(), 2u);
    expect_same_reml(expected, fast_reml(K, X, y, 3));
}

TEST(RemlTrace, FollowsTheLiteralIterationThroughANegativeComponent) {
    // A trait without genetic signal: the first full Newton step takes sa2 below 0, where the
    // iteration stays for a while (with an indefinite V and a NaN log-likelihood at times).
    const Eigen::MatrixXd K = random_kinship(40, 60, 4, 0.02);
    const Eigen::MatrixXd X = class_design(40, 1, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 0.0, 1.0, 3);
    const RemlResult expected = reference_reml(K, X, y, 8, 0.3, 1e-5);
    bool negative = false;
    for (const RemlIteration& step : expected.iterations) {
        negative = negative || step.sigma_a2 < 0.0;
    }
    ASSERT_TRUE(negative) << "the data no longer produce a negative component";
    expect_same_reml(expected, fast_reml(K, X, y, 8));
}

TEST(QorREML, PrintsTheTraceTableAndReturnsTheHeritability) {
    const Eigen::MatrixXd K = random_kinship(50, 150, 41, 0.05);
    const Eigen::MatrixXd X = class_design(50, 3, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 3.0, 2.0, 17);
    const RemlResult expected = reference_reml(K, X, y, 30, 0.3, 1e-5);
    ASSERT_TRUE(expected.converged);

    const std::string log_name = make_scratch_dir() + "/reml.log";
    double h2 = 0.0;
    {
        Logger logger(log_name);
        h2 = QorREML(logger, K, X, y, 30, 0.3, 1e-5);
        logger.close();
    }
    EXPECT_NEAR(h2, expected.h2, 1e-8 * expected.h2);

    const std::vector<std::string> lines = lines_of(read_file(log_name));
    const std::size_t steps = expected.iterations.size();
    ASSERT_EQ(lines.size(), 1 + steps + 7);
    EXPECT_EQ(lines[0], " Iteration         LogLik       Sigma_a2       Sigma_e2     Changed_a2     Changed_e2");
    for (std::size_t k = 0; k < steps; ++k) {
        const std::string& line = lines[1 + k];
        EXPECT_EQ(line.size(), 10u + 5 * 15) << line;  // right-aligned fields of 10 and 15
        std::istringstream fields(line);
        int number = 0;
        double log_lik = 0.0, sigma_a2 = 0.0, sigma_e2 = 0.0;
        fields >> number >> log_lik >> sigma_a2 >> sigma_e2;
        EXPECT_EQ(number, static_cast<int>(k + 1));
        // Six significant digits.
        EXPECT_NEAR(log_lik, expected.iterations[k].log_likelihood, 1e-5 * std::fabs(log_lik));
        EXPECT_NEAR(sigma_a2, expected.iterations[k].sigma_a2, 1e-5 * std::fabs(sigma_a2));
        EXPECT_NEAR(sigma_e2, expected.iterations[k].sigma_e2, 1e-5 * std::fabs(sigma_e2));
    }
    EXPECT_EQ(lines[1 + steps], "✅ Converged!!!");
    EXPECT_EQ(lines[2 + steps], "");
    EXPECT_EQ(lines[3 + steps], "Comp\tVar\tVar_SE");
    std::ostringstream add, e, heritability;
    add << "Add\t" << expected.sigma_a2 << "\t" << expected.se_a2;
    e << "e\t" << expected.sigma_e2 << "\t" << expected.se_e2;
    heritability << "👏 Heritability: " << expected.h2 << " with SE " << expected.se_h2;
    EXPECT_EQ(lines[4 + steps], add.str());
    EXPECT_EQ(lines[5 + steps], e.str());
    EXPECT_EQ(lines[6 + steps], "");
    EXPECT_EQ(lines[7 + steps], heritability.str());
    // The last trace line shows the components of the table.
    std::istringstream last(lines[steps]), table(lines[4 + steps]);
    std::string number, log_lik, traced_a2, label, table_a2;
    last >> number >> log_lik >> traced_a2;
    table >> label >> table_a2;
    EXPECT_EQ(traced_a2, table_a2);
}

TEST(QorREML, ReportsNoConvergenceAndReturnsZero) {
    const Eigen::MatrixXd K = random_kinship(20, 50, 2, 0.05);
    const Eigen::MatrixXd X = class_design(20, 1, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.0, 3);
    const std::string log_name = make_scratch_dir() + "/reml.log";
    {
        Logger logger(log_name);
        EXPECT_EQ(QorREML(logger, K, X, y, 1, 0.3, 1e-5), 0.0);
        logger.close();
    }
    const std::vector<std::string> lines = lines_of(read_file(log_name));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!");
}

TEST(QorREML, RefusesShapesThatDisagree) {
    const std::string log_name = make_scratch_dir() + "/reml.log";
    Logger logger(log_name);
    const Eigen::MatrixXd K = Eigen::MatrixXd::Identity(4, 4);
    EXPECT_THROW(QorREML(logger, K, Eigen::MatrixXd::Ones(3, 1), Eigen::MatrixXd::Ones(4, 1), 5, 0.3, 1e-5),
                 std::invalid_argument);
    EXPECT_THROW(QorREML(logger, Eigen::MatrixXd::Identity(3, 3), Eigen::MatrixXd::Ones(4, 1),
                         Eigen::MatrixXd::Ones(4, 1), 5, 0.3, 1e-5),
                 std::invalid_argument);
}

TEST(RemlTrace, AStepAwayFromNegativeComponentsIsNotConvergence) {
    // Large level effects inflate var(y) and so the starting values: the first step overshoots
    // both components below 0, and the next step's printed changes are negative. Read as
    // signed numbers they would be below the tolerance and end the run with those values.
    const Eigen::MatrixXd K = random_kinship(60, 150, 21, 0.05);
    const Eigen::MatrixXd X = class_design(60, 3, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 2.0, 3.0, 8) + 11.0 * X.col(1) + 12.0 * X.col(2);
    const RemlResult result = fast_reml(K, X, y, 30);
    ASSERT_GE(result.iterations.size(), 3u);
    const RemlIteration& second = result.iterations[1];
    EXPECT_LT(second.sigma_a2, 0.0);
    EXPECT_LT(second.change_a2, 0.0);
    EXPECT_LT(second.change_e2, 0.0);
    EXPECT_FALSE(result.converged && result.iterations.size() == 2);
    expect_same_reml(reference_reml(K, X, y, 30, 0.3, 1e-5), result);
}

TEST(RemlTrace, DoesNotDependOnTheThreadCount) {
    // Large enough for the LAPACK reduction to split its work between threads.
    const Eigen::MatrixXd K = random_kinship(400, 500, 51, 0.02);
    const Eigen::MatrixXd X = class_design(400, 3, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.0, 23);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    const RemlResult one = fast_reml(K, X, y, 30, 64);
    omp_set_num_threads(2);
    const RemlResult two = fast_reml(K, X, y, 30, 64);
    omp_set_num_threads(threads);
    ASSERT_TRUE(one.converged);
    expect_same_reml(one, two);
}
