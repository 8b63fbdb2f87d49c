#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <omp.h>

#include "mixed_model/dense_reml.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"

namespace {

// A small bandwidth makes both reduction stages work on these small matrices.
RemlResult fast_reml(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, int max_iter,
                     int bandwidth = 3) {
    return reml_ai_cpp(reduce_kinship_cpp(K, bandwidth), X, y, max_iter, 0.3, 1e-5);
}

// The printed trace against the literal one: relative agreement with an absolute floor for
// values that cancel to near 0. A change is a Newton step over a value, near convergence a
// difference of nearly equal terms: looser bounds.
void expect_same_trace(const std::vector<TraceRow>& want, const std::vector<TraceRow>& got) {
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        const double w[5] = {want[k].log_likelihood, want[k].sigma_a2, want[k].sigma_e2, want[k].change_a2,
                             want[k].change_e2};
        const double g[5] = {got[k].log_likelihood, got[k].sigma_a2, got[k].sigma_e2, got[k].change_a2,
                             got[k].change_e2};
        for (int column = 0; column < 5; ++column) {
            const bool change = column >= 3;
            const double bound = (change ? 1e-11 : column == 0 ? 1e-9 : 1e-12) + (change ? 1e-7 : 1e-8) * std::fabs(w[column]);
            EXPECT_NEAR(g[column], w[column], bound) << "iteration " << k + 1 << ", column " << column + 1;
        }
    }
}

// Standard errors from the dense average information at the run's own estimate.
void expect_dense_standard_errors(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                                  const RemlResult& fit) {
    const Eigen::Matrix2d inverse =
        dense_average_information(K, X, y, fit.sigma_a2, fit.sigma_e2).inverse();
    EXPECT_NEAR(fit.se_a2, std::sqrt(inverse(0, 0)), 1e-4 * std::sqrt(inverse(0, 0)));
    EXPECT_NEAR(fit.se_e2, std::sqrt(inverse(1, 1)), 1e-4 * std::sqrt(inverse(1, 1)));
    // h2 = sa2 / (sa2 + se2): its variance by the first-order expansion around the estimate.
    const double total = fit.sigma_a2 + fit.sigma_e2;
    const Eigen::Vector2d gradient(fit.sigma_e2 / (total * total), -fit.sigma_a2 / (total * total));
    const double se_h2 = std::sqrt(gradient.dot(inverse * gradient));
    EXPECT_NEAR(fit.se_h2, se_h2, 1e-4 * se_h2);
}

}  // namespace

// While every step is a full AI step, the fast path prints the textbook iteration.
TEST(RemlTrace, FollowsTheLiteralDenseIteration) {
    const Eigen::MatrixXd K60 = random_kinship(60, 150, 21, 0.05);
    const Eigen::MatrixXd X1 = class_design(60, 1), X3 = class_design(60, 3);
    // Centred genotypes give a singular G; a repeated individual adds two equal rows.
    Eigen::VectorXi rows = Eigen::VectorXi::LinSpaced(120, 0, 119);
    rows[119] = 0;
    const Eigen::MatrixXd G = random_kinship(120, 300, 8, 0.0)(rows, rows);
    const Eigen::MatrixXd X2 = class_design(120, 2);
    using Case = std::tuple<std::string, Eigen::MatrixXd, Eigen::MatrixXd, Eigen::MatrixXd, int>;
    for (const auto& [what, K, X, y, max_iter] : {
             Case{"intercept only", K60, X1, simulate_trait(K60, X1, 2.0, 3.0, 6), 30},
             Case{"a covariate of 3 levels", K60, X3, simulate_trait(K60, X3, 2.0, 3.0, 8), 30},
             Case{"singular kinship, repeated record", G, X2, simulate_trait(G, X2, 1.0, 1.0, 99), 30},
             Case{"stopped by --max-iter 3", K60, X3, simulate_trait(K60, X3, 1.0, 2.0, 7), 3},
         }) {
        SCOPED_TRACE(what);
        const RemlResult fit = fast_reml(K, X, y, max_iter);
        ASSERT_EQ(fit.run.converged, max_iter == 30);
        const std::vector<TraceRow> trace = trace_rows(fit);
        for (const TraceRow& step : trace) {
            ASSERT_EQ(step.step, RemlStep::ai) << "iteration " << step.iteration;
        }
        const auto count = static_cast<int>(trace.size());
        expect_same_trace(literal_ai_iterations(K, X, y, count, 0.3), trace);
        EXPECT_EQ(fit.sigma_a2, trace.back().sigma_a2);
        if (fit.run.converged) {
            expect_dense_standard_errors(K, X, y, fit);
        }
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
    ASSERT_TRUE(one.run.converged);
    expect_same_trace(trace_rows(one), trace_rows(two));
}

// The estimate is the maximum of the restricted likelihood over sa2 >= 0, se2 > 0, found by a
// brute-force search on the dense likelihood, for heritabilities from 0 to near 1 and traits in
// small and large units; its standard errors come from the average information there.
TEST(RemlEstimate, ReachesTheDenseMaximumForAnyHeritabilityAndUnits) {
    const Eigen::Index n = 90;
    const Eigen::MatrixXd K = random_kinship(n, 400, 5, 0.01);
    int boundary = 0, residual_limit = 0, hard_steps = 0;
    for (const int levels : {1, 3}) {
        const Eigen::MatrixXd X = class_design(n, levels);
        for (const double h2 : {0.0, 0.05, 0.5, 0.95, 0.99}) {
            for (const double units : {1e-4, 1.0, 1e5}) {
                SCOPED_TRACE("h2 " + std::to_string(h2) + ", units " + std::to_string(units) + ", levels " +
                             std::to_string(levels));
                const auto seed = static_cast<unsigned>(100 * h2 + levels);
                const Eigen::MatrixXd y = units * simulate_trait(K, X, h2, 1.0 - h2, seed);
                const DenseRemlFit best = dense_reml_maximum(K, X, y);
                const RemlResult fit = fast_reml(K, X, y, 30);
                ASSERT_TRUE(fit.run.converged) << fit.run.iterations.size() << " iterations";
                const double total = best.sigma_a2 + best.sigma_e2;
                if (fit.at_boundary || best.sigma_a2 < 1e-6 * total) {
                    // At the boundary the search's rounding leaves a trace of sa2 on either side.
                    boundary += fit.at_boundary;
                    EXPECT_TRUE(fit.at_boundary);
                    EXPECT_EQ(fit.h2, 0.0);
                    EXPECT_NEAR(fit.sigma_a2, best.sigma_a2, 1e-6 * total);
                    EXPECT_NEAR(fit.sigma_e2, best.sigma_e2, 1e-6 * total);
                } else if (fit.residual_at_limit) {
                    // The records fit a heritability of 1: the dense maximum lies below the limit.
                    ++residual_limit;
                    EXPECT_LE(best.sigma_e2, fit.sigma_e2 * (1.0 + 1e-4));
                    EXPECT_NEAR(fit.sigma_a2, best.sigma_a2, 1e-4 * best.sigma_a2);
                } else {
                    EXPECT_NEAR(fit.sigma_a2, best.sigma_a2, 1e-4 * best.sigma_a2);
                    EXPECT_NEAR(fit.sigma_e2, best.sigma_e2, 1e-4 * best.sigma_e2);
                    expect_dense_standard_errors(K, X, y, fit);
                }
                // The printed log-likelihood is in the trait's units: the last one is the maximum.
                EXPECT_NEAR(trace_rows(fit).back().log_likelihood, best.log_likelihood, 1e-6 * std::fabs(best.log_likelihood) + 1e-6);
                for (const TraceRow& step : trace_rows(fit)) {
                    hard_steps += step.step != RemlStep::ai;
                    EXPECT_GE(step.sigma_a2, 0.0);
                    EXPECT_GT(step.sigma_e2, 0.0);
                }
            }
        }
    }
    // The data reach the cases the safeguards are for.
    EXPECT_GT(boundary, 0);
    EXPECT_GT(residual_limit, 0);
    EXPECT_GT(hard_steps, 0);
}

TEST(RemlEstimate, StopsOnWhatCannotBeEstimated) {
    const Eigen::Index n = 40;
    const Eigen::MatrixXd X = class_design(n, 1);
    const Eigen::MatrixXd K = random_kinship(n, 60, 4, 0.02);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.0, 3);
    // A kinship of unrelated individuals: genetic and residual variance are the same thing.
    EXPECT_THROW(fast_reml(Eigen::MatrixXd::Identity(n, n), X, y, 30), RemlFailure);

    // Eigenvalues: rounding a kinship to 4 decimals moves them by at most n 5e-5 and passes;
    // a clearly negative one stops the run and is named.
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(K);
    const Eigen::MatrixXd vectors = eigen.eigenvectors();
    Eigen::VectorXd values = eigen.eigenvalues();
    values[0] = -0.9 * 5e-5 * static_cast<double>(n);
    EXPECT_NO_THROW(check_kinship_eigenvalues(reduce_kinship_cpp(vectors * values.asDiagonal() * vectors.transpose(), 3)));
    values[0] = values[1] = -0.5;
    try {
        check_kinship_eigenvalues(reduce_kinship_cpp(vectors * values.asDiagonal() * vectors.transpose(), 3));
        ADD_FAILURE() << "an eigenvalue of -0.5 passed";
    } catch (const RemlFailure& failure) {
        EXPECT_NE(std::string(failure.what()).find("smallest eigenvalue is -0.5 and 2 eigenvalue(s)"),
                  std::string::npos) << failure.what();
    }
}

// A tolerance no step meets with any --max-iter: the run stops at its largest iteration count
// and says so.
TEST(RemlEstimate, EndsWithinItsLargestIterationCount) {
    const Eigen::Index n = 40;
    const Eigen::MatrixXd X = class_design(n, 1);
    const Eigen::MatrixXd K = random_kinship(n, 60, 4, 0.02);
    const RemlResult capped = reml_ai_cpp(reduce_kinship_cpp(K, 3), X, simulate_trait(K, X, 1.0, 1.0, 3), INT_MAX, 0.3, 0.0);
    EXPECT_FALSE(capped.run.converged);
    EXPECT_TRUE(capped.run.capped);
    EXPECT_EQ(capped.run.iterations.size(), static_cast<std::size_t>(kMostRemlIterations));
}
