#include <cmath>
#include <limits>
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
    } else {
        EXPECT_NEAR(actual, expected, floor + relative * std::fabs(expected)) << what;
    }
}

// The printed trace and the returned components of the fast path against the literal one.
void expect_same_reml(const RemlResult& expected, const RemlResult& actual) {
    ASSERT_EQ(expected.iterations.size(), actual.iterations.size());
    ASSERT_EQ(expected.converged, actual.converged);
    for (std::size_t k = 0; k < expected.iterations.size(); ++k) {
        const RemlIteration& e = expected.iterations[k];
        const RemlIteration& a = actual.iterations[k];
        const std::string at = "iteration " + std::to_string(e.iteration);
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

struct RemlCase {
    std::string what;
    Eigen::MatrixXd K, X, y;
    int max_iter;
    int negative_changes;  // components whose printed change must turn negative at some iteration
};

std::vector<RemlCase> reml_cases() {
    const Eigen::MatrixXd K = random_kinship(60, 150, 21, 0.05);
    const Eigen::MatrixXd X1 = class_design(60, 1, false), X3 = class_design(60, 3, false);
    // Centred genotypes give a singular G; a repeated individual adds two equal rows.
    Eigen::VectorXi rows = Eigen::VectorXi::LinSpaced(120, 0, 119);
    rows[119] = 0;
    const Eigen::MatrixXd G = random_kinship(120, 300, 8, 0.0)(rows, rows);
    const Eigen::MatrixXd X2 = class_design(120, 2, false);
    const Eigen::MatrixXd K40 = random_kinship(40, 60, 4, 0.02), X40 = class_design(40, 1, false);
    return {
        {"intercept only", K, X1, simulate_trait(K, X1, 2.0, 3.0, 6), 30, 0},
        {"a covariate of 3 levels", K, X3, simulate_trait(K, X3, 2.0, 3.0, 8), 30, 0},
        {"singular kinship, repeated record", G, X2, simulate_trait(G, X2, 1.0, 1.0, 99), 30, 0},
        {"stopped by --max-iter 3", K, X3, simulate_trait(K, X3, 1.0, 2.0, 7), 3, 0},
        // No genetic signal: the first full Newton step takes sa2 below 0, where the iteration
        // stays for a while (with an indefinite V and a NaN log-likelihood at times).
        {"sa2 below 0", K40, X40, simulate_trait(K40, X40, 0.0, 1.0, 3), 8, 1},
        // Large level effects inflate var(y) and so the starting values: the first step takes
        // both components below 0. The next changes are negative; read as signed numbers they
        // would pass the tolerance and end the run there.
        {"both below 0", K, X3, simulate_trait(K, X3, 2.0, 3.0, 8) + 11.0 * X3.col(1) + 12.0 * X3.col(2), 30, 2},
    };
}

}  // namespace

TEST(RemlTrace, FollowsTheLiteralDenseIteration) {
    for (const RemlCase& c : reml_cases()) {
        SCOPED_TRACE(c.what);
        const RemlResult expected = reference_reml(c.K, c.X, c.y, c.max_iter, 0.3, 1e-5);
        // The plain data converge within 30 iterations (so h2 and the SEs are compared as well).
        ASSERT_EQ(expected.converged, c.max_iter == 30 && c.negative_changes == 0);
        ASSERT_GE(expected.iterations.size(), 2u);
        bool negative = false;
        for (const RemlIteration& step : expected.iterations) {
            negative = negative || (step.change_a2 < 0.0) + (step.change_e2 < 0.0) >= c.negative_changes;
        }
        ASSERT_TRUE(negative) << "the data no longer produce a negative component";
        expect_same_reml(expected, fast_reml(c.K, c.X, c.y, c.max_iter));
    }
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

TEST(QorREML, PrintsTheTraceAndReturnsTheHeritabilityOrZero) {
    // 50 records: the default bandwidth 64 is cut to 49.
    const Eigen::MatrixXd K = random_kinship(50, 150, 41, 0.05);
    const Eigen::MatrixXd X = class_design(50, 3, false);
    const Eigen::MatrixXd y = simulate_trait(K, X, 3.0, 2.0, 17);
    const RemlResult expected = reference_reml(K, X, y, 30, 0.3, 1e-5);
    ASSERT_TRUE(expected.converged);
    const std::string dir = make_scratch_dir();
    Logger logger(dir + "/reml.log"), short_logger(dir + "/short.log");  // both flushed after each part
    EXPECT_NEAR(QorREML(logger, K, X, y, 30, 0.3, 1e-5), expected.h2, 1e-8 * expected.h2);
    EXPECT_EQ(QorREML(short_logger, K, X, y, 1, 0.3, 1e-5), 0.0);
    EXPECT_EQ(lines_of(read_file(dir + "/short.log")).back(),
              "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!");
    const std::vector<std::string> lines = lines_of(read_file(dir + "/reml.log"));
    const std::size_t steps = expected.iterations.size();
    ASSERT_EQ(lines.size(), 1 + steps + 7);
    EXPECT_EQ(lines[0], " Iteration         LogLik       Sigma_a2       Sigma_e2     Changed_a2     Changed_e2");
    for (std::size_t k = 1; k <= steps; ++k) {  // right-aligned fields of 10 and 15
        EXPECT_EQ(lines[k].size(), 10u + 5 * 15) << lines[k];
        EXPECT_EQ(lines[k].find_first_not_of(' '), 10 - std::to_string(k).size()) << lines[k];
    }
    EXPECT_EQ(lines[1 + steps], "✅ Converged!!!");
}

TEST(ComputeVarianceAndLogDetV, FollowTheirDefinitions) {
    EXPECT_DOUBLE_EQ(computeVariance((Eigen::MatrixXd(3, 1) << 1, 2, 3).finished()), 1.0);
    EXPECT_TRUE(std::isnan(computeVariance(Eigen::MatrixXd::Constant(1, 1, 4.0))));
    EXPECT_DOUBLE_EQ(logDetV(2.0 * Eigen::MatrixXd::Identity(2, 2)), 2.0 * std::log(2.0));
    EXPECT_EQ(logDetV(Eigen::MatrixXd(0, 0)), 0.0);
    EXPECT_EQ(logDetV((Eigen::MatrixXd(2, 2) << 1, 2, 2, 1).finished()), std::numeric_limits<double>::infinity());
    const Eigen::MatrixXd K = random_kinship(10, 40, 3, 0.5);
    EXPECT_NEAR(logDetV(K), std::log(K.determinant()), 1e-10);
}
