#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <omp.h>

#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"

namespace {

// Every number of a result: the five trace columns per iteration, then h2 and the standard
// errors when converged.
std::vector<double> numbers(const RemlResult& result) {
    std::vector<double> all;
    for (const RemlIteration& s : result.iterations) {
        all.insert(all.end(), {s.log_likelihood, s.sigma_a2, s.sigma_e2, s.change_a2, s.change_e2});
    }
    if (result.converged) {
        all.insert(all.end(), {result.h2, result.se_a2, result.se_e2, result.se_h2});
    }
    return all;
}

// The printed trace and the returned components of the fast path against the literal one:
// relative agreement with an absolute floor for values that cancel to near 0. A change is a
// Newton step over a value, near convergence a difference of nearly equal terms: looser bounds.
// A NaN (log-likelihood of an indefinite V) must be NaN on both sides.
void expect_same_reml(const RemlResult& expected, const RemlResult& actual) {
    ASSERT_EQ(expected.converged, actual.converged);
    const std::vector<double> want = numbers(expected), got = numbers(actual);
    ASSERT_EQ(want.size(), got.size());
    const std::size_t trace_size = 5 * expected.iterations.size();
    for (std::size_t k = 0; k < want.size(); ++k) {
        const bool trace = k < trace_size, change = trace && k % 5 >= 3;
        const double bound = (change ? 1e-11 : trace && k % 5 == 0 ? 1e-9 : 1e-12) +
                             (change ? 1e-7 : 1e-8) * std::fabs(want[k]);
        EXPECT_TRUE(std::isnan(want[k]) ? std::isnan(got[k]) : std::fabs(got[k] - want[k]) <= bound)
            << (trace ? "iteration " + std::to_string(k / 5 + 1) + ", column " : "h2 and SEs, number ")
            << (trace ? k % 5 : k - trace_size) + 1 << ": " << got[k] << " against " << want[k];
    }
}

// A small bandwidth makes both reduction stages work on these small matrices.
RemlResult fast_reml(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, int max_iter,
                     int bandwidth = 3) {
    return reml_ai_cpp(reduce_kinship_cpp(K, bandwidth), X, y, max_iter, 0.3, 1e-5);
}

// What, K, X, y, max_iter, and how many components' printed changes must turn negative together.
using RemlCase = std::tuple<std::string, Eigen::MatrixXd, Eigen::MatrixXd, Eigen::MatrixXd, int, int>;

std::vector<RemlCase> reml_cases() {
    const Eigen::MatrixXd K = random_kinship(60, 150, 21, 0.05);
    const Eigen::MatrixXd X1 = class_design(60, 1), X3 = class_design(60, 3);
    // Centred genotypes give a singular G; a repeated individual adds two equal rows.
    Eigen::VectorXi rows = Eigen::VectorXi::LinSpaced(120, 0, 119);
    rows[119] = 0;
    const Eigen::MatrixXd G = random_kinship(120, 300, 8, 0.0)(rows, rows);
    const Eigen::MatrixXd X2 = class_design(120, 2);
    const Eigen::MatrixXd K40 = random_kinship(40, 60, 4, 0.02), X40 = class_design(40, 1);
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
    for (const auto& [what, K, X, y, max_iter, negative_changes] : reml_cases()) {
        SCOPED_TRACE(what);
        const RemlResult expected = reference_reml(K, X, y, max_iter, 0.3, 1e-5);
        // The plain data converge within 30 iterations (so h2 and the SEs are compared as well).
        ASSERT_EQ(expected.converged, max_iter == 30 && negative_changes == 0);
        ASSERT_GE(expected.iterations.size(), 2u);
        int most = 0;  // most components with a negative change in one iteration
        for (const RemlIteration& s : expected.iterations) {
            most = std::max(most, (s.change_a2 < 0.0) + (s.change_e2 < 0.0));
        }
        ASSERT_GE(most, negative_changes) << "the data no longer produce a negative component";
        expect_same_reml(expected, fast_reml(K, X, y, max_iter));
    }
}

TEST(RemlTrace, DoesNotDependOnTheThreadCount) {
    // Large enough for the LAPACK reduction to split its work between threads.
    const Eigen::MatrixXd K = random_kinship(400, 500, 51, 0.02);
    const Eigen::MatrixXd X = class_design(400, 3);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.0, 23);
    omp_set_num_threads(1);
    const RemlResult one = fast_reml(K, X, y, 30, 64);
    omp_set_num_threads(2);
    const RemlResult two = fast_reml(K, X, y, 30, 64);
    ASSERT_TRUE(one.converged);
    expect_same_reml(one, two);
}
