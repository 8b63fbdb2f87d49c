// Monte Carlo REML on the sparse equations: the block conjugate gradients against a dense solve,
// the random vectors, and the Monte Carlo score against the exact traces of the same equations.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "mixed_model/monte_carlo_reml.h"
#include "mixed_model/test_data.h"

namespace {

// A pedigree of 150 (founders first, then random parents among those before), records on the
// last 120 of them, one and two a piece, with an intercept and a class of four levels; the
// equations of the animal model with a permanent environment and two residual classes.
std::vector<std::pair<int, int>> monte_carlo_parents() {
    std::mt19937 engine(31);
    std::vector<std::pair<int, int>> parents;
    for (int i = 0; i < 150; ++i) {
        parents.emplace_back(i < 10 ? -1 : static_cast<int>(engine() % static_cast<unsigned>(i)),
                             i < 10 || i % 7 == 0 ? -1 : static_cast<int>(engine() % static_cast<unsigned>(i)));
    }
    return parents;
}

std::shared_ptr<SparseEquations> monte_carlo_equations() {
    const std::vector<std::pair<int, int>> parents = monte_carlo_parents();
    const Eigen::MatrixXd A = ::tabular_relationships(parents);
    std::vector<Eigen::Index> animal;
    for (Eigen::Index i = 30; i < 150; ++i) {
        for (Eigen::Index r = 0; r <= i % 2; ++r) animal.push_back(i);
    }
    const auto n = static_cast<Eigen::Index>(animal.size());
    const Eigen::MatrixXd X = class_design(n, 4);
    const Eigen::MatrixXd Z = incidence(animal, 150);
    const Eigen::VectorXd y = simulate_trait(Z * A * Z.transpose(), X, 2.0, 3.0, 7).col(0);

    const Eigen::MatrixXd inverse = A.inverse();
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    for (Eigen::Index j = 0; j < 150; ++j) {
        for (Eigen::Index i = j; i < 150; ++i) {
            if (std::fabs(inverse(i, j)) > 1e-9) entries.emplace_back(i, j, inverse(i, j));
        }
    }
    SparseLower lower(150, 150);
    lower.setFromTriplets(entries.begin(), entries.end());
    std::vector<SparseTerm> terms(2);
    terms[0] = {{{animal}}, 150, lower, std::log(A.determinant()), {}};
    terms[1] = {{{animal}}, 150, SparseLower(), 0.0, {}};
    std::vector<Eigen::Index> classes;
    for (Eigen::Index r = 0; r < n; ++r) classes.push_back(r % 3 == 0 ? 1 : 0);
    return std::make_shared<SparseEquations>(X, y, std::move(terms), ResidualStructure{{}, classes, 2});
}

const Eigen::Vector4d kMonteCarloTheta(1.5, 0.4, 2.5, 3.5);

Eigen::MatrixXd whole_of(const SparseLower& lower) {
    return Eigen::MatrixXd(SparseLower(lower.selfadjointView<Eigen::Lower>()));
}

// tr(C^-1 part) of every component, from the dense inverse of C.
Eigen::VectorXd dense_traces(SparseEquations& equations, const Eigen::VectorXd& theta) {
    equations.set_coefficients(theta);
    const Eigen::MatrixXd inverse = whole_of(equations.C).inverse();
    Eigen::VectorXd traces(equations.features());
    for (Eigen::Index k = 0; k < traces.size(); ++k) {
        SparseLower part = equations.C;
        Eigen::Map<Eigen::VectorXd>(part.valuePtr(), part.nonZeros()) = equations.parts[static_cast<std::size_t>(k)];
        traces[k] = (inverse * whole_of(part)).trace();
    }
    return traces;
}

}  // namespace

// Every column reaches the dense solution, and a start at the solution takes no iteration.
TEST(BlockPcg, SolvesEachColumnAsADenseSolve) {
    const std::shared_ptr<SparseEquations> equations = monte_carlo_equations();
    equations->set_coefficients(kMonteCarloTheta);
    const Eigen::MatrixXd C = whole_of(equations->C);
    Eigen::MatrixXd b = Eigen::MatrixXd::Random(C.rows(), 5);
    b.col(2).setZero();
    const BlockPcg pcg(equations->C, equations->p);
    const BlockSolution solution = pcg.solve(b, Eigen::MatrixXd(), 1e-11, 5000);
    ASSERT_TRUE(solution.converged) << solution.problem;
    const Eigen::MatrixXd expected = C.ldlt().solve(b);
    EXPECT_LT((solution.x - expected).cwiseAbs().maxCoeff(), 1e-8 * expected.cwiseAbs().maxCoeff());
    EXPECT_EQ(solution.x.col(2).cwiseAbs().maxCoeff(), 0.0);
    EXPECT_EQ(pcg.solve(b, expected, 1e-8, 5000).iterations, 0);
    EXPECT_FALSE(pcg.solve(b, Eigen::MatrixXd(), 1e-11, 2).converged);
}

// A vector is the same whichever block draws it, and every entry is +1 or -1.
TEST(MonteCarloReml, RandomVectorsDoNotDependOnTheirBlock) {
    const Eigen::MatrixXd all = rademacher_vectors(20270101, 300, 0, 12);
    EXPECT_EQ(rademacher_vectors(20270101, 300, 5, 4), all.middleCols(5, 4));
    EXPECT_EQ(all.cwiseAbs(), Eigen::MatrixXd::Ones(300, 12));
    EXPECT_LT(std::fabs(all.mean()), 0.05);
    EXPECT_NE(rademacher_vectors(7, 300, 0, 1), all.leftCols(1));
}

// The score's traces are within a few Monte Carlo SEs of the dense traces, and those SEs fall
// as 1 / sqrt(vectors); the AI matrix needs no trace and is the exact one. Rademacher vectors
// give z'C^-1 C z = z'z exactly: the components' traces over their variances sum to the order.
TEST(MonteCarloReml, TracesWithinTheirMonteCarloErrors) {
    const std::shared_ptr<SparseEquations> equations = monte_carlo_equations();
    const Eigen::VectorXd exact = dense_traces(*equations, kMonteCarloTheta);
    MonteCarloSettings settings;
    settings.samples = 40;
    settings.tolerance = 1e-10;
    MonteCarloMmeEvaluator evaluator(equations, settings);
    const LikelihoodPoint few = evaluator.evaluate(kMonteCarloTheta);
    ASSERT_TRUE(few.finite) << few.problem;
    EXPECT_FALSE(few.likelihood);
    EXPECT_TRUE(std::isnan(few.log_likelihood));
    const Eigen::VectorXd few_errors = evaluator.last_work().trace_errors;
    const Eigen::VectorXd traces = evaluator.last_work().traces;
    EXPECT_NEAR(traces.cwiseQuotient(kMonteCarloTheta).sum(), static_cast<double>(equations->order), 1e-6);
    for (Eigen::Index k = 0; k < exact.size(); ++k) {
        EXPECT_LT(std::fabs(traces[k] - exact[k]), 4.0 * few_errors[k]) << "component " << k;
        EXPECT_NEAR(std::sqrt(few.score_covariance(k, k)), few_errors[k] * 0.5 / std::pow(kMonteCarloTheta[k], 2),
                    1e-12);
    }

    evaluator.set_samples(640);
    const LikelihoodPoint many = evaluator.evaluate(kMonteCarloTheta);
    ASSERT_TRUE(many.finite) << many.problem;
    const Eigen::VectorXd many_errors = evaluator.last_work().trace_errors;
    for (Eigen::Index k = 0; k < exact.size(); ++k) {
        EXPECT_LT(std::fabs(evaluator.last_work().traces[k] - exact[k]), 4.0 * many_errors[k]) << "component " << k;
        const double shrink = few_errors[k] / many_errors[k];  // sqrt(640 / 40) = 4
        EXPECT_GT(shrink, 2.5) << "component " << k;
        EXPECT_LT(shrink, 6.5) << "component " << k;
    }
    EXPECT_LT((many.ai - few.ai).cwiseAbs().maxCoeff(), 1e-7 * few.ai.cwiseAbs().maxCoeff());

    // The score with the dense traces in place of the estimates is the Monte Carlo score moved by
    // exactly their difference over 2 v^2.
    const Eigen::VectorXd moved =
        (evaluator.last_work().traces - exact).cwiseQuotient(2.0 * kMonteCarloTheta.cwiseAbs2());
    if (sparse_factor_available()) {
        const SparseMmeEvaluator reference(equations);
        const LikelihoodPoint point = reference.evaluate(kMonteCarloTheta);
        EXPECT_LT((many.score - moved - point.score).cwiseAbs().maxCoeff(), 1e-6 * point.score.cwiseAbs().maxCoeff());
        EXPECT_LT((many.ai - point.ai).cwiseAbs().maxCoeff(), 1e-7 * point.ai.cwiseAbs().maxCoeff());
    }
}

namespace {

// The equations of a maternal model on the same pedigree: the direct and maternal effects of
// 150 animals over A (the dam of a record among the first 40), with their covariance; with
// `root`, A's root from the pedigree (d_i = 1/2 - (F_sire + F_dam) / 4, F of an unknown parent
// -1), and with `permanent` a dam's permanent environment and the two residual classes.
std::shared_ptr<SparseEquations> maternal_equations(bool root = false, bool permanent = false) {
    const std::shared_ptr<SparseEquations> plain = monte_carlo_equations();
    SparseTerm term = plain->terms.front();
    std::vector<Eigen::Index> dam;
    for (std::size_t r = 0; r < term.parts.front().level_of_record.size(); ++r) {
        dam.push_back(r % 9 == 0 ? -1 : static_cast<Eigen::Index>((r * 7) % 40));
    }
    term.parts.push_back({dam});
    if (root) {
        const std::vector<std::pair<int, int>> parents = monte_carlo_parents();
        const Eigen::VectorXd F = ::tabular_relationships(parents).diagonal().array() - 1.0;
        for (const auto& [s, d] : parents) {
            term.root.sire.push_back(s);
            term.root.dam.push_back(d);
            term.root.mendelian.push_back(0.5 - 0.25 * ((s < 0 ? -1.0 : F[s]) + (d < 0 ? -1.0 : F[d])));
        }
    }
    std::vector<SparseTerm> terms{term};
    ResidualStructure residual;
    if (permanent) {
        terms.push_back({{{dam}}, 150, SparseLower(), 0.0, {}});
        residual = {{}, plain->class_of_record, plain->classes};
    }
    return std::make_shared<SparseEquations>(plain->X, plain->y, std::move(terms), residual);
}

const Eigen::Vector4d kMaternalTheta(1.5, -0.6, 0.9, 3.0);

}  // namespace

// Where the parts covary the traces come from records simulated from A's root: within a few
// Monte Carlo SEs of the dense traces, with one residual class (its trace from the terms') and
// with two, and spread less than Hutchinson's on the covariance that made them needed.
TEST(MonteCarloReml, SimulatedRecordsGiveTheTracesOfACovarianceBlock) {
    const Eigen::VectorXd theta_one = kMaternalTheta;
    Eigen::VectorXd theta_two(6);
    theta_two << kMaternalTheta.head(3), 0.7, 2.5, 3.5;
    for (const bool permanent : {false, true}) {
        const std::shared_ptr<SparseEquations> equations = maternal_equations(true, permanent);
        const Eigen::VectorXd& theta = permanent ? theta_two : theta_one;
        MonteCarloSettings settings;
        settings.samples = 150;
        settings.tolerance = 1e-10;
        const MonteCarloMmeEvaluator simulated(equations, settings);
        ASSERT_TRUE(simulated.simulated());
        ASSERT_TRUE(simulated.evaluate(theta).finite);
        const MonteCarloMmeEvaluator::Work by_records = simulated.last_work();
        const Eigen::VectorXd exact = dense_traces(*equations, equations->effective(theta));
        for (Eigen::Index k = 0; k < exact.size(); ++k) {
            EXPECT_GT(by_records.trace_errors[k], 0.0) << "component " << k;
            EXPECT_LT(std::fabs(by_records.traces[k] - exact[k]), 4.0 * by_records.trace_errors[k])
                << "component " << k << (permanent ? " with two classes" : "");
        }
        const MonteCarloMmeEvaluator hutchinson(maternal_equations(false, permanent), settings);
        ASSERT_FALSE(hutchinson.simulated());
        ASSERT_TRUE(hutchinson.evaluate(theta).finite);
        EXPECT_LT(by_records.trace_errors[1], 0.5 * hutchinson.last_work().trace_errors[1]);
    }
}

// Two traits on the same pedigree, the second on every other animal, each animal's values
// weighted: the genetic term's traces from the simulated records, and those of each set of traits
// recorded together (an element of its residual block), within a few Monte Carlo SEs of the
// dense ones.
TEST(MonteCarloReml, SimulatedRecordsGiveTheTracesOfSeveralTraits) {
    const std::shared_ptr<SparseEquations> plain = maternal_equations(true);
    const SparseTerm& single = plain->terms.front();
    SparseTerm term{{{}, {}}, 150, single.inverse, single.log_determinant, {}, single.root};
    RecordTraits traits{2, {}, {}};
    std::vector<Eigen::Index> intercept_rows;
    Eigen::VectorXd weights(180);
    Eigen::Index r = 0;
    for (Eigen::Index a = 0; a < 2; ++a) {
        for (Eigen::Index i = 30; i < 150; ++i) {
            if (a == 1 && i % 2 == 0) continue;
            for (Eigen::Index b = 0; b < 2; ++b) term.parts[static_cast<std::size_t>(b)].level_of_record.push_back(a == b ? i : -1);
            traits.trait_of_record.push_back(a);
            traits.group_of_record.push_back(i - 30);
            weights[r++] = 1.0 + 0.5 * static_cast<double>(i % 3);
        }
    }
    ASSERT_EQ(r, 180);
    // Each trait its own mean.
    Eigen::MatrixXd X = Eigen::MatrixXd::Zero(180, 2);
    for (Eigen::Index k = 0; k < 180; ++k) X(k, traits.trait_of_record[static_cast<std::size_t>(k)]) = 1.0;
    const Eigen::VectorXd y = Eigen::VectorXd::LinSpaced(180, -2.0, 3.0);
    const auto equations = std::make_shared<SparseEquations>(X, y, std::vector<SparseTerm>{term},
                                                             ResidualStructure{weights, {}, 1}, traits);
    ASSERT_EQ(equations->patterns.size(), 2U);
    ASSERT_EQ(equations->features(), 7);
    Eigen::VectorXd theta(6);
    theta << 1.5, 0.6, 2.0, 3.0, 1.0, 2.5;
    MonteCarloSettings settings;
    settings.samples = 200;
    settings.tolerance = 1e-10;
    const MonteCarloMmeEvaluator simulated(equations, settings);
    ASSERT_TRUE(simulated.simulated());
    ASSERT_TRUE(simulated.evaluate(theta).finite);
    const MonteCarloMmeEvaluator::Work& work = simulated.last_work();
    const Eigen::VectorXd exact = dense_traces(*equations, equations->effective(theta));
    for (Eigen::Index k = 0; k < exact.size(); ++k) {
        EXPECT_GT(work.trace_errors[k], 0.0) << "feature " << k;
        EXPECT_LT(std::fabs(work.traces[k] - exact[k]), 4.0 * work.trace_errors[k]) << "feature " << k;
    }
}

// Each animal's direct and maternal equations preconditioned together reach the dense solution
// in fewer passes than the diagonal alone.
TEST(BlockPcg, PreconditionsEachAnimalsPartsTogether) {
    const std::shared_ptr<SparseEquations> equations = maternal_equations();
    equations->set_coefficients(kMaternalTheta);
    const Eigen::MatrixXd C = whole_of(equations->C);
    const Eigen::MatrixXd b = Eigen::MatrixXd::Random(C.rows(), 2);
    const std::vector<Eigen::Index> blocks = equations->diagonal_blocks();
    ASSERT_EQ(blocks.size(), 151U);
    const BlockSolution together = BlockPcg(equations->C, equations->p, blocks).solve(b, Eigen::MatrixXd(), 1e-11, 5000);
    const BlockSolution alone = BlockPcg(equations->C, equations->p).solve(b, Eigen::MatrixXd(), 1e-11, 5000);
    ASSERT_TRUE(together.converged && alone.converged);
    const Eigen::MatrixXd expected = C.ldlt().solve(b);
    EXPECT_LT((together.x - expected).cwiseAbs().maxCoeff(), 1e-8 * expected.cwiseAbs().maxCoeff());
    EXPECT_LT(together.iterations, alone.iterations);
}

// With a covariance block the score is still linear in the traces: the Monte Carlo score is
// within a few of its Monte Carlo SEs of the exact one, whose traces are the dense ones.
TEST(MonteCarloReml, ScoreOfACovarianceBlock) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::shared_ptr<SparseEquations> equations = maternal_equations();
    MonteCarloSettings settings;
    settings.samples = 400;
    settings.tolerance = 1e-10;
    const MonteCarloMmeEvaluator evaluator(equations, settings);
    const LikelihoodPoint estimated = evaluator.evaluate(kMaternalTheta);
    ASSERT_TRUE(estimated.finite) << estimated.problem;
    const LikelihoodPoint exact = SparseMmeEvaluator(equations).evaluate(kMaternalTheta);
    ASSERT_TRUE(exact.finite) << exact.problem;
    for (Eigen::Index k = 0; k < 4; ++k) {
        const double error = std::sqrt(estimated.score_covariance(k, k));
        EXPECT_GT(error, 0.0);
        EXPECT_LT(std::fabs(estimated.score[k] - exact.score[k]), 4.0 * error) << "component " << k;
    }
    EXPECT_LT((estimated.ai - exact.ai).cwiseAbs().maxCoeff(), 1e-7 * exact.ai.cwiseAbs().maxCoeff());
    const Eigen::VectorXd moved = exact.score - estimated.score;
    const Eigen::MatrixXd slope = equations->trace_slope(equations->effective(kMaternalTheta));
    // The score moved by the slope times the traces' error gives the exact one.
    const Eigen::VectorXd exact_traces = dense_traces(*equations, equations->effective(kMaternalTheta));
    EXPECT_LT((slope * (exact_traces - evaluator.last_work().traces) - moved).cwiseAbs().maxCoeff(),
              1e-6 * exact.score.cwiseAbs().maxCoeff());
}

// The parts kept compact (prediction at given variances on a national pedigree) give C bit for
// bit as the parts spread over C's pattern do, and spread later they are those parts.
TEST(SparseEquations, CompactPartsGiveTheSameCoefficients) {
    const std::shared_ptr<SparseEquations> spread = maternal_equations();
    SparseEquations compact(spread->X, spread->y, spread->terms, ResidualStructure{}, {}, true);
    EXPECT_TRUE(compact.parts.empty());
    ASSERT_EQ(compact.features(), spread->features());
    spread->set_coefficients(kMaternalTheta);
    compact.set_coefficients(kMaternalTheta);
    ASSERT_EQ(compact.C.nonZeros(), spread->C.nonZeros());
    for (Eigen::Index k = 0; k < spread->C.nonZeros(); ++k) {
        ASSERT_EQ(compact.C.valuePtr()[k], spread->C.valuePtr()[k]) << k;
        ASSERT_EQ(compact.C.innerIndexPtr()[k], spread->C.innerIndexPtr()[k]) << k;
    }
    compact.spread_parts();
    ASSERT_EQ(compact.parts.size(), spread->parts.size());
    for (std::size_t k = 0; k < spread->parts.size(); ++k) EXPECT_EQ(compact.parts[k], spread->parts[k]) << k;
}
