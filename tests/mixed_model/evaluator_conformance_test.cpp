// What every likelihood evaluator must give the AI-REML driver, checked on small random models
// against V formed densely from its parts: V = sum_k theta_k dV_k with dV_k the derivative of V in
// component k. The log-likelihood is -0.5 (log|V| + log|X'V^-1 X| + y'Py); the score is the
// derivative of the evaluator's own log-likelihood (central differences); the AI matrix is
// 0.5 y'P dV_k P dV_l P y. A new evaluator is added here before the driver runs it.

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "mixed_model/mixed_model.h"
#include "mixed_model/sparse_traits.h"
#include "mixed_model/test_data.h"

namespace {

struct DenseModel {
    std::vector<Eigen::MatrixXd> derivatives;  // dV_k, one per component
    Eigen::MatrixXd X;                          // over the values, full column rank
    Eigen::VectorXd y;
};

void expect_conforms(const LikelihoodEvaluator& evaluator, const DenseModel& model, const Eigen::VectorXd& theta,
                     const std::string& what) {
    SCOPED_TRACE(what);
    const Eigen::Index n = model.y.size(), m = theta.size();
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index k = 0; k < m; ++k) V += theta[k] * model.derivatives[static_cast<std::size_t>(k)];
    const Eigen::MatrixXd Vinv = V.inverse();
    const Eigen::MatrixXd XtVinvX = model.X.transpose() * Vinv * model.X;
    const Eigen::MatrixXd P = Vinv - Vinv * model.X * XtVinvX.inverse() * model.X.transpose() * Vinv;
    const double reference = -0.5 * (std::log(V.determinant()) + std::log(XtVinvX.determinant()) + model.y.dot(P * model.y));

    const LikelihoodPoint point = evaluator.evaluate(theta);
    ASSERT_TRUE(point.finite) << point.problem;
    EXPECT_NEAR(point.log_likelihood, reference, 1e-8 * (1.0 + std::fabs(reference)));

    for (Eigen::Index k = 0; k < m; ++k) {
        const double h = 1e-5 * theta.cwiseAbs().maxCoeff();
        Eigen::VectorXd up = theta, down = theta;
        up[k] += h;
        down[k] -= h;
        const double slope = (evaluator.evaluate(up).log_likelihood - evaluator.evaluate(down).log_likelihood) / (2 * h);
        EXPECT_NEAR(point.score[k], slope, 1e-5 * (1.0 + std::fabs(slope))) << "score of component " << k;
    }
    const Eigen::VectorXd Py = P * model.y;
    for (Eigen::Index k = 0; k < m; ++k) {
        for (Eigen::Index l = 0; l < m; ++l) {
            const double ai = 0.5 * Py.dot(model.derivatives[static_cast<std::size_t>(k)] * P *
                                           model.derivatives[static_cast<std::size_t>(l)] * Py);
            EXPECT_NEAR(point.ai(k, l), ai, 1e-8 * (1.0 + std::fabs(ai))) << "AI(" << k << ", " << l << ")";
        }
    }
}

// A covariate and an intercept.
Eigen::MatrixXd random_design(Eigen::Index n, std::mt19937& engine) {
    std::normal_distribution<double> normal(0.0, 1.0);
    Eigen::MatrixXd X = Eigen::MatrixXd::Ones(n, 2);
    for (Eigen::Index i = 0; i < n; ++i) X(i, 1) = normal(engine);
    return X;
}

Eigen::VectorXd random_values(Eigen::Index n, std::mt19937& engine) {
    std::normal_distribution<double> normal(0.0, 1.0);
    Eigen::VectorXd y(n);
    for (Eigen::Index i = 0; i < n; ++i) y[i] = normal(engine);
    return y;
}

// Several traits of q individuals: the values present trait by trait, dV of Vg(a, b) as
// S_a K S_b' + S_b K S_a' (once for a = b), of Ve(a, b) the same with I. Trait a's fixed effects
// are the columns `own[a]` of X (all of them when `own` is empty).
DenseModel trait_model(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y,
                       const std::vector<std::vector<Eigen::Index>>& own = {}, const Eigen::VectorXd& weights = {}) {
    const Eigen::Index q = Y.rows(), t = Y.cols();
    std::vector<std::pair<Eigen::Index, Eigen::Index>> values;  // (individual, trait)
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index i = 0; i < q; ++i) {
            if (!std::isnan(Y(i, a))) values.emplace_back(i, a);
        }
    }
    const auto n = static_cast<Eigen::Index>(values.size());
    DenseModel model;
    model.y.resize(n);
    std::vector<Eigen::Index> first{0};
    for (Eigen::Index a = 0; a < t; ++a) {
        first.push_back(first.back() + (own.empty() ? X.cols() : static_cast<Eigen::Index>(own[a].size())));
    }
    model.X = Eigen::MatrixXd::Zero(n, first.back());
    for (Eigen::Index v = 0; v < n; ++v) {
        const auto [i, a] = values[static_cast<std::size_t>(v)];
        model.y[v] = Y(i, a);
        for (Eigen::Index c = first[a]; c < first[a + 1]; ++c) {
            model.X(v, c) = X(i, own.empty() ? c - first[a] : own[a][c - first[a]]);
        }
    }
    const Eigen::MatrixXd I = weights.size() == 0 ? Eigen::MatrixXd(Eigen::MatrixXd::Identity(q, q))
                                                  : Eigen::MatrixXd(weights.cwiseInverse().asDiagonal());
    for (const Eigen::MatrixXd* among : {&K, &I}) {
        for (Eigen::Index a = 0; a < t; ++a) {
            for (Eigen::Index b = 0; b <= a; ++b) {
                Eigen::MatrixXd dV(n, n);
                for (Eigen::Index u = 0; u < n; ++u) {
                    for (Eigen::Index w = 0; w < n; ++w) {
                        const auto [i, c] = values[static_cast<std::size_t>(u)];
                        const auto [j, d] = values[static_cast<std::size_t>(w)];
                        const bool pair = (c == a && d == b) || (c == b && d == a);
                        dV(u, w) = pair ? (*among)(i, j) : 0.0;
                    }
                }
                model.derivatives.push_back(dV);
            }
        }
    }
    return model;
}

}  // namespace

TEST(EvaluatorConformance, OneKinshipInBandForm) {
    std::mt19937 engine(3);
    const Eigen::Index n = 30;
    const Eigen::MatrixXd K = random_kinship(n, 200, 5, 0.05);
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    const ReducedKinship reduced = reduce_kinship_cpp(K, 4);
    const DenseModel dense{{K, Eigen::MatrixXd::Identity(n, n)}, X, y};
    expect_conforms(*one_kinship_evaluator(reduced, X, y), dense, Eigen::Vector2d(0.7, 1.3), "inside");
    expect_conforms(*one_kinship_evaluator(reduced, X, y), dense, Eigen::Vector2d(0.0, 1.3), "no kinship variance");
}

TEST(EvaluatorConformance, GroupedEffectsOfRepeatedRecords) {
    // 25 individuals with 1 to 3 records each: their kinship, a permanent environment and a
    // random class of 4 levels.
    std::mt19937 engine(41);
    const Eigen::Index q = 25;
    const Eigen::MatrixXd K = random_kinship(q, 200, 43, 0.05);
    std::vector<Eigen::Index> individual, herd;
    for (Eigen::Index i = 0; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 3; ++r) {
            individual.push_back(i);
            herd.push_back(static_cast<Eigen::Index>(engine() % 4));
        }
    }
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    const Eigen::MatrixXd Zi = incidence(individual, q), Zh = incidence(herd, 4);
    const GroupedEvaluator evaluator({{"Add", individual, q, K}, {"PE", individual, q, {}}, {"Herd", herd, 4, {}}}, X, y);
    const DenseModel dense{{Zi * K * Zi.transpose(), Zi * Zi.transpose(), Zh * Zh.transpose(),
                            Eigen::MatrixXd::Identity(n, n)}, X, y};
    expect_conforms(evaluator, dense, Eigen::Vector4d(0.6, 0.2, 0.3, 0.9), "inside");
    expect_conforms(evaluator, dense, Eigen::Vector4d(0.0, 0.4, 0.0, 1.1), "two components at 0");
}

TEST(EvaluatorConformance, TraitsRotatedAndDense) {
    std::mt19937 engine(7);
    const Eigen::Index q = 20;
    const Eigen::MatrixXd K = random_kinship(q, 200, 9, 0.05);
    const Eigen::MatrixXd X = random_design(q, engine);
    Eigen::MatrixXd Y(q, 2);
    Y << random_values(q, engine), random_values(q, engine);
    Eigen::VectorXd theta(6);
    theta << 0.8, 0.3, 0.6, 1.0, -0.2, 0.7;  // Vg(1), Vg(1,2), Vg(2), Ve(1), Ve(1,2), Ve(2)

    const ReducedKinship reduced = reduce_kinship_cpp(K, 8);
    const RoundingFreeKinship eigen = without_rounding_eigenvalues(reduced, -1.0);
    expect_conforms(RotatedTraitsEvaluator(eigen.kinship, X, Y, 1e-6), trait_model(K, X, Y), theta, "rotated");

    // Some values missing, a third trait: the dense evaluator over the values present.
    Eigen::MatrixXd Y3(q, 3);
    Y3 << Y, random_values(q, engine);
    for (Eigen::Index i = 0; i < q; i += 3) Y3(i, 1 + i % 2) = std::nan("");
    Eigen::VectorXd theta3(12);
    theta3 << 0.8, 0.3, 0.6, 0.1, -0.1, 0.5, 1.0, -0.2, 0.7, 0.1, 0.0, 0.9;
    expect_conforms(DenseTraitsEvaluator(K, X, Y3, 1e-6), trait_model(K, X, Y3), theta3, "dense, values missing");

    // Each trait its own fixed effects: an intercept for all, a covariate each.
    Eigen::MatrixXd X3(q, 4);
    X3 << X, random_values(q, engine), random_values(q, engine);
    const std::vector<std::vector<Eigen::Index>> own{{0, 1}, {0, 2}, {0, 3}};
    expect_conforms(DenseTraitsEvaluator(K, X3, Y3, 1e-6, own), trait_model(K, X3, Y3, own), theta3,
                    "dense, fixed effects per trait");
    // Weights: an individual's residual covariance is Ve / w.
    Eigen::VectorXd weights = (random_values(q, engine).array().abs() + 0.5).matrix();
    expect_conforms(DenseTraitsEvaluator(K, X3, Y3, 1e-6, own, weights), trait_model(K, X3, Y3, own, weights), theta3,
                    "dense, weighted");
    // The same with every value recorded, in the eigenvector basis.
    Eigen::MatrixXd Y3_complete = Y3;
    for (Eigen::Index i = 0; i < q; ++i) {
        for (Eigen::Index a = 0; a < 3; ++a) {
            if (std::isnan(Y3_complete(i, a))) Y3_complete(i, a) = 0.5 * Y3_complete(i, 0) + 0.1 * static_cast<double>(i);
        }
    }
    expect_conforms(RotatedTraitsEvaluator(eigen.kinship, X3, Y3_complete, 1e-6, own),
                    trait_model(K, X3, Y3_complete, own), theta3, "rotated, fixed effects per trait");
}

namespace {

// The numerator relationships of a random pedigree by the tabular method (parents first; 0 for
// a founder's parent), so that A^-1 has the pattern of a real pedigree's, with inbreeding.
Eigen::MatrixXd tabular_relationships(Eigen::Index q, std::mt19937& engine) {
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(q, q);
    for (Eigen::Index i = 0; i < q; ++i) {
        const Eigen::Index sire = i < 6 ? -1 : static_cast<Eigen::Index>(engine() % static_cast<unsigned>(i));
        const Eigen::Index dam = i < 6 || i % 5 == 0 ? -1 : static_cast<Eigen::Index>(engine() % static_cast<unsigned>(i));
        for (Eigen::Index j = 0; j < i; ++j) {
            A(i, j) = A(j, i) = 0.5 * ((sire < 0 ? 0.0 : A(j, sire)) + (dam < 0 ? 0.0 : A(j, dam)));
        }
        A(i, i) = 1.0 + (sire < 0 || dam < 0 ? 0.0 : 0.5 * A(sire, dam));
    }
    return A;
}

// The lower triangle of a dense inverse without its rounding noise.
SparseLower sparse_lower(const Eigen::MatrixXd& M) {
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    for (Eigen::Index j = 0; j < M.cols(); ++j) {
        for (Eigen::Index i = j; i < M.rows(); ++i) {
            if (std::fabs(M(i, j)) > 1e-9) entries.emplace_back(i, j, M(i, j));
        }
    }
    SparseLower S(M.rows(), M.cols());
    S.setFromTriplets(entries.begin(), entries.end());
    return S;
}

}  // namespace

// The sparse equations of a pedigree: A^-1 with inbreeding, a permanent environment of repeated
// records, weights and a residual variance per class.
TEST(EvaluatorConformance, SparseEquationsOfAPedigree) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    std::mt19937 engine(17);
    const Eigen::Index q = 40;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    std::vector<Eigen::Index> individual;
    for (Eigen::Index i = 8; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 3; ++r) individual.push_back(i);
    }
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    Eigen::VectorXd weights(n);
    std::vector<Eigen::Index> classes(static_cast<std::size_t>(n));
    for (Eigen::Index r = 0; r < n; ++r) {
        weights[r] = 0.5 + static_cast<double>(r % 4) * 0.5;
        classes[static_cast<std::size_t>(r)] = r % 2;
    }
    const Eigen::MatrixXd Z = incidence(individual, q);
    Eigen::MatrixXd R0 = Eigen::MatrixXd::Zero(n, n), R1 = R0;
    for (Eigen::Index r = 0; r < n; ++r) (r % 2 == 0 ? R0 : R1)(r, r) = 1.0 / weights[r];
    const DenseModel dense{{Z * A * Z.transpose(), Z * Z.transpose(), R0, R1}, X, y};

    std::vector<SparseTerm> terms(2);
    terms[0] = {{{individual}}, q, sparse_lower(A.inverse()), std::log(A.determinant()), {}};
    terms[1] = {{{individual}}, q, SparseLower(), 0.0, {}};
    const SparseMmeEvaluator evaluator(X, y, terms, {weights, classes, 2});
    expect_conforms(evaluator, dense, Eigen::Vector4d(0.6, 0.3, 0.9, 1.4), "inside");
    // A variance at 0 is taken as a negligible share of the residual.
    const LikelihoodPoint at_zero = evaluator.evaluate(Eigen::Vector4d(0.0, 0.3, 0.9, 1.4));
    ASSERT_TRUE(at_zero.finite);
    const GroupedEvaluator grouped({{"Add", individual, q, A}, {"PE", individual, q, {}}}, X, y,
                                   {weights, classes, 2});
    EXPECT_NEAR(at_zero.log_likelihood, grouped.evaluate(Eigen::Vector4d(0.0, 0.3, 0.9, 1.4)).log_likelihood, 1e-7);
}

// A maternal model: the direct and maternal effects over one A with their covariance, and the
// dam's permanent environment; a record without a dam has neither maternal part. Inside the
// space, and where the direct-maternal block is singular (the likelihood still formed).
TEST(EvaluatorConformance, MaternalEffectsWithTheirCovariance) {
    std::mt19937 engine(23);
    const Eigen::Index q = 36;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    std::vector<Eigen::Index> animal, dam;
    for (Eigen::Index i = 10; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 2; ++r) {
            animal.push_back(i);
            dam.push_back(i % 7 == 0 ? -1 : static_cast<Eigen::Index>(engine() % 10));
        }
    }
    const auto n = static_cast<Eigen::Index>(animal.size());
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    // Z and W by hand: a row of W without a dam is 0.
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(n, q), W = Z;
    for (Eigen::Index r = 0; r < n; ++r) {
        Z(r, animal[static_cast<std::size_t>(r)]) = 1.0;
        if (dam[static_cast<std::size_t>(r)] >= 0) W(r, dam[static_cast<std::size_t>(r)]) = 1.0;
    }
    const DenseModel dense{{Z * A * Z.transpose(), Z * A * W.transpose() + W * A * Z.transpose(), W * A * W.transpose(),
                            W * W.transpose(), Eigen::MatrixXd::Identity(n, n)},
                           X, y};
    std::vector<RandomEffect> effects = {{"animal", animal, q, A, {}},
                                         {"animal,maternal", animal, q, A, dam},
                                         {"maternal", dam, q, A, {}},
                                         {"pe(dam)", dam, q, Eigen::MatrixXd(), {}}};
    GroupedEvaluator evaluator(effects, X, y);
    evaluator.set_covariance_space(CovarianceSpace({{0, 2, false, 0.0, q}}, 5, q));
    Eigen::VectorXd theta(5);
    theta << 0.8, -0.2, 0.5, 0.3, 1.1;
    expect_conforms(evaluator, dense, theta, "inside");
    theta << 0.8, 0.4, 0.2, 0.3, 1.1;  // sigma_am^2 = sigma_a^2 sigma_m^2
    expect_conforms(evaluator, dense, theta, "singular block");
    // The three effects over one kinship held once.
    std::vector<RandomEffect> shared = {{"animal", animal, q, A, {}},
                                        {"animal,maternal", animal, q, {}, dam, {}, {}, 0},
                                        {"maternal", dam, q, {}, {}, {}, {}, 0},
                                        {"pe(dam)", dam, q, Eigen::MatrixXd(), {}}};
    GroupedEvaluator once(shared, X, y);
    expect_conforms(once, dense, theta, "one kinship");
    // A point outside (|r| > 1) comes back to a positive semi-definite block, the others kept.
    theta << 0.8, 0.9, 0.5, 0.3, 1.1;
    const Eigen::VectorXd inside = evaluator.feasible(theta);
    Eigen::Matrix2d block;
    block << inside[0], inside[1], inside[1], inside[2];
    EXPECT_GE(block.selfadjointView<Eigen::Lower>().eigenvalues().minCoeff(), -1e-12);
    EXPECT_EQ(inside.tail(2), theta.tail(2));
}

// A random regression on the records' kinship: the intercept and slope of each animal covary
// over A, and those of its permanent environment independently; two records of an animal may
// share the covariate's value (one group) or not.
TEST(EvaluatorConformance, RegressionPartsOverOneKinship) {
    std::mt19937 engine(29);
    const Eigen::Index q = 30;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<Eigen::Index> animal;
    std::vector<double> x;
    for (Eigen::Index i = 8; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 3; ++r) {
            animal.push_back(i);
            x.push_back(r == 2 ? x.back() : normal(engine));
        }
    }
    const auto n = static_cast<Eigen::Index>(animal.size());
    const Eigen::VectorXd slope = Eigen::Map<const Eigen::VectorXd>(x.data(), n), ones = Eigen::VectorXd::Ones(n);
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    const Eigen::MatrixXd Z = incidence(animal, q);
    const Eigen::MatrixXd ZAZ = Z * A * Z.transpose(), ZZ = Z * Z.transpose();
    const auto part = [](const Eigen::MatrixXd& M, const Eigen::VectorXd& c, const Eigen::VectorXd& d) {
        return Eigen::MatrixXd(c.asDiagonal() * M * d.asDiagonal());
    };
    DenseModel dense{{}, X, y};
    std::vector<RandomEffect> effects;
    for (const Eigen::MatrixXd* among : {&ZAZ, &ZZ}) {
        dense.derivatives.push_back(part(*among, ones, ones));
        dense.derivatives.push_back(part(*among, ones, slope) + part(*among, slope, ones));
        dense.derivatives.push_back(part(*among, slope, slope));
        const Eigen::MatrixXd kinship = among == &ZAZ ? A : Eigen::MatrixXd();
        const Eigen::Index shared = among == &ZAZ ? 0 : -1;
        effects.push_back({"leg0", animal, q, kinship, {}, ones, {}});
        effects.push_back({"leg1,leg0", animal, q, {}, {}, slope, ones, shared});
        effects.push_back({"leg1", animal, q, {}, {}, slope, {}, shared});
    }
    dense.derivatives.push_back(Eigen::MatrixXd::Identity(n, n));
    GroupedEvaluator evaluator(effects, X, y);
    evaluator.set_covariance_space(CovarianceSpace({{0, 2, false, 0.0, q}, {3, 2, false, 0.0, q}}, 7, q));
    Eigen::VectorXd theta(7);
    theta << 0.8, -0.2, 0.5, 0.3, 0.1, 0.2, 1.1;
    expect_conforms(evaluator, dense, theta, "inside");
    theta << 0.8, 0.4, 0.2, 0.3, 0.1, 0.2, 1.1;  // the genetic block singular
    expect_conforms(evaluator, dense, theta, "singular block");
}

// A regression's parts read the one kinship gathered at the groups' levels, columns of groups
// shared among the threads as they come free: the derivatives are the same from run to run at a
// thread count, not merely within rounding (an ill-conditioned AI matrix turns the rounding of
// one evaluation into a different next step), and within rounding of one thread's.
TEST(EvaluatorConformance, GatheredKinshipGivesTheSameDerivativesFromRunToRun) {
    std::mt19937 engine(41);
    const Eigen::Index q = 400;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<Eigen::Index> animal;
    std::vector<double> x;
    for (Eigen::Index i = 40; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 2; ++r) {
            animal.push_back(i);
            x.push_back(normal(engine));
        }
    }
    const auto n = static_cast<Eigen::Index>(animal.size());
    const Eigen::VectorXd slope = Eigen::Map<const Eigen::VectorXd>(x.data(), n), ones = Eigen::VectorXd::Ones(n);
    const std::vector<RandomEffect> effects = {{"leg0", animal, q, A, {}, ones, {}},
                                               {"leg1,leg0", animal, q, {}, {}, slope, ones, 0},
                                               {"leg1", animal, q, {}, {}, slope, {}, 0}};
    const GroupedEvaluator evaluator(effects, random_design(n, engine), random_values(n, engine));
    const Eigen::Vector4d theta(0.8, -0.2, 0.5, 1.1);
    omp_set_num_threads(1);
    const LikelihoodPoint one = evaluator.evaluate(theta);
    omp_set_num_threads(3);
    const LikelihoodPoint first = evaluator.evaluate(theta);
    ASSERT_TRUE(first.finite) << first.problem;
    for (int run = 0; run < 6; ++run) {
        const LikelihoodPoint again = evaluator.evaluate(theta);
        EXPECT_EQ(again.log_likelihood, first.log_likelihood);
        for (Eigen::Index k = 0; k < theta.size(); ++k) EXPECT_EQ(again.score[k], first.score[k]) << run << " " << k;
    }
    omp_set_num_threads(2);
    for (Eigen::Index k = 0; k < theta.size(); ++k) {
        EXPECT_NEAR(first.score[k], one.score[k], 1e-10 * (1.0 + std::fabs(one.score[k]))) << k;
    }
}

// The sparse equations of terms with covariance blocks: the direct and maternal effects over
// A^-1 with the dam's permanent environment (a record without a dam has no maternal parts), and
// a random regression on a covariate, its intercept and slope covarying over A.
TEST(EvaluatorConformance, SparseEquationsOfCovarianceBlocks) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    std::mt19937 engine(29);
    std::normal_distribution<double> normal(0.0, 1.0);
    const Eigen::Index q = 40;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    std::vector<Eigen::Index> animal, dam;
    for (Eigen::Index i = 12; i < q; ++i) {
        for (Eigen::Index r = 0; r <= i % 2; ++r) {
            animal.push_back(i);
            dam.push_back(i % 9 == 0 ? -1 : static_cast<Eigen::Index>(engine() % 12));
        }
    }
    const auto n = static_cast<Eigen::Index>(animal.size());
    const Eigen::MatrixXd X = random_design(n, engine);
    const Eigen::VectorXd y = random_values(n, engine);
    Eigen::VectorXd x(n);
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(n, q), W = Z, Zx = Z;
    for (Eigen::Index r = 0; r < n; ++r) {
        x[r] = normal(engine);
        Z(r, animal[static_cast<std::size_t>(r)]) = 1.0;
        Zx(r, animal[static_cast<std::size_t>(r)]) = x[r];
        if (dam[static_cast<std::size_t>(r)] >= 0) W(r, dam[static_cast<std::size_t>(r)]) = 1.0;
    }
    const SparseLower inverse = sparse_lower(A.inverse());
    const double log_A = std::log(A.determinant());

    const DenseModel maternal{{Z * A * Z.transpose(), Z * A * W.transpose() + W * A * Z.transpose(), W * A * W.transpose(),
                               W * W.transpose(), Eigen::MatrixXd::Identity(n, n)},
                              X, y};
    const SparseMmeEvaluator sparse_maternal(
        X, y, {{{{animal}, {dam}}, q, inverse, log_A, {}}, {{{dam}}, q, SparseLower(), 0.0, {}}}, {});
    Eigen::VectorXd theta(5);
    theta << 0.8, -0.2, 0.5, 0.3, 1.1;
    expect_conforms(sparse_maternal, maternal, theta, "maternal");

    const DenseModel regression{{Z * A * Z.transpose(), Z * A * Zx.transpose() + Zx * A * Z.transpose(),
                                 Zx * A * Zx.transpose(), Eigen::MatrixXd::Identity(n, n)},
                                X, y};
    const SparseMmeEvaluator sparse_regression(X, y, {{{{animal}, {animal, x}}, q, inverse, log_A, {}}}, {});
    expect_conforms(sparse_regression, regression, Eigen::Vector4d(0.9, 0.25, 0.4, 1.3), "regression");

    // At a singular block the equations take it raised by a negligible share of the residual.
    theta << 0.8, 0.4, 0.2, 0.3, 1.1;
    const LikelihoodPoint singular = sparse_maternal.evaluate(theta);
    ASSERT_TRUE(singular.finite) << singular.problem;
    std::vector<RandomEffect> effects = {{"animal", animal, q, A, {}},
                                         {"animal,maternal", animal, q, A, dam},
                                         {"maternal", dam, q, A, {}},
                                         {"pe(dam)", dam, q, Eigen::MatrixXd(), {}}};
    EXPECT_NEAR(singular.log_likelihood, GroupedEvaluator(effects, X, y).evaluate(theta).log_likelihood, 1e-5);
}

// Two traits over A^-1, some individuals with one of them, some with both, some with neither:
// the values trait by trait, each trait its own intercept and covariate, the genetic block over
// the traits' parts of one term and the residual block R0 over each individual's values.
TEST(EvaluatorConformance, SparseEquationsOfTwoTraitsWithMissingValues) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    std::mt19937 engine(31);
    const Eigen::Index q = 48;
    const Eigen::MatrixXd A = tabular_relationships(q, engine);
    const Eigen::MatrixXd X = random_design(q, engine);
    Eigen::MatrixXd Y(q, 2);
    Y.col(0) = random_values(q, engine);
    Y.col(1) = random_values(q, engine);
    for (Eigen::Index i = 0; i < q; ++i) {
        if (i % 4 == 1) Y(i, 0) = std::nan("");
        if (i % 5 == 2) Y(i, 1) = std::nan("");
        if (i < 6) Y.row(i).setConstant(std::nan(""));  // founders without records
    }
    const DenseModel dense = trait_model(A, X, Y);
    // The values in trait_model's order, trait by trait.
    RecordTraits traits{2, {}, {}};
    std::vector<Eigen::Index> of_trait[2];
    for (Eigen::Index a = 0; a < 2; ++a) {
        for (Eigen::Index i = 0; i < q; ++i) {
            if (std::isnan(Y(i, a))) continue;
            traits.trait_of_record.push_back(a);
            traits.group_of_record.push_back(i);
            of_trait[0].push_back(a == 0 ? i : -1);
            of_trait[1].push_back(a == 1 ? i : -1);
        }
    }
    const SparseMmeEvaluator evaluator(dense.X, dense.y, {{{{of_trait[0]}, {of_trait[1]}}, q, sparse_lower(A.inverse()),
                                                           std::log(A.determinant()), {}}},
                                       {}, traits);
    Eigen::VectorXd theta(6);
    theta << 0.7, 0.25, 0.5, 1.1, -0.3, 0.8;
    expect_conforms(evaluator, dense, theta, "two traits");
    // Each individual's weight divides its residual block.
    Eigen::VectorXd weights(q), record_weights(dense.y.size());
    for (Eigen::Index i = 0; i < q; ++i) weights[i] = 0.5 + static_cast<double>(i % 3) * 0.75;
    for (Eigen::Index r = 0; r < dense.y.size(); ++r) record_weights[r] = weights[traits.group_of_record[static_cast<std::size_t>(r)]];
    const SparseMmeEvaluator weighted(dense.X, dense.y, {{{{of_trait[0]}, {of_trait[1]}}, q, sparse_lower(A.inverse()),
                                                          std::log(A.determinant()), {}}},
                                      {record_weights, {}, 1}, traits);
    expect_conforms(weighted, trait_model(A, X, Y, {}, weights), theta, "two traits, weighted");
    // A residual block that is no covariance matrix is said, not evaluated.
    theta << 0.7, 0.25, 0.5, 1.0, 1.2, 0.8;
    const LikelihoodPoint outside = evaluator.evaluate(theta);
    EXPECT_FALSE(outside.finite);
    EXPECT_NE(outside.problem.find("not positive definite"), std::string::npos) << outside.problem;
}

// Two traits with the direct and maternal effects of each over A^-1 (Vg of the four parts,
// part-major), through the evaluator the pedigree route of several traits runs: V over the
// values present is sum over the parts i, j of Vg(i, j) Z_i A Z_j', Z_i taking a value of the
// part's trait to its individual (direct) or its dam (maternal; none for a record without one),
// and Ve(a, b) over each individual's values.
TEST(EvaluatorConformance, SparseTraitsWithMaternalEffects) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    std::mt19937 engine(37);
    const Eigen::Index levels = 50, t = 2;
    const Eigen::MatrixXd A = tabular_relationships(levels, engine);
    // The individuals with records are the last 36 levels, each its dam among the first 14.
    const Eigen::Index q = 36;
    std::vector<Eigen::Index> level(q), dam(q);
    Eigen::MatrixXd Y(q, t);
    Y.col(0) = random_values(q, engine);
    Y.col(1) = random_values(q, engine);
    for (Eigen::Index i = 0; i < q; ++i) {
        level[i] = levels - q + i;
        dam[i] = i % 7 == 3 ? -1 : static_cast<Eigen::Index>(engine() % 14);
        if (i % 5 == 1) Y(i, 1) = std::nan("");
        if (i % 9 == 4) Y(i, 0) = std::nan("");
    }
    const Eigen::MatrixXd X = random_design(q, engine);
    const SparseTraitsEvaluator evaluator(X, Y, level, {{}, levels, sparse_lower(A.inverse()), std::log(A.determinant()), {}},
                                          1e-6, {}, {}, {}, dam);
    ASSERT_EQ(evaluator.layout().count(), 13);

    // The values trait by trait, each trait its own columns of X.
    std::vector<std::pair<Eigen::Index, Eigen::Index>> values;  // (individual, trait)
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index i = 0; i < q; ++i) {
            if (!std::isnan(Y(i, a))) values.emplace_back(i, a);
        }
    }
    const auto n = static_cast<Eigen::Index>(values.size());
    DenseModel dense;
    dense.y.resize(n);
    dense.X = Eigen::MatrixXd::Zero(n, t * X.cols());
    std::vector<Eigen::MatrixXd> Z(4, Eigen::MatrixXd::Zero(n, levels));  // direct 1, 2, maternal 1, 2
    Eigen::MatrixXd E = Eigen::MatrixXd::Zero(n, q);
    for (Eigen::Index v = 0; v < n; ++v) {
        const auto [i, a] = values[static_cast<std::size_t>(v)];
        dense.y[v] = Y(i, a);
        dense.X.row(v).segment(a * X.cols(), X.cols()) = X.row(i);
        Z[static_cast<std::size_t>(a)](v, level[i]) = 1.0;
        if (dam[i] >= 0) Z[static_cast<std::size_t>(t + a)](v, dam[i]) = 1.0;
        E(v, i) = 1.0;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const Eigen::MatrixXd part = Z[i] * A * Z[j].transpose();
            dense.derivatives.push_back(i == j ? part : Eigen::MatrixXd(part + part.transpose()));
        }
    }
    // Ve(a, b) of the individuals of residual class `of_class` (-1: all), each over its weight.
    const auto residual_parts = [&](Eigen::Index of_class, const std::vector<Eigen::Index>& classes,
                                    const Eigen::VectorXd& weights, std::vector<Eigen::MatrixXd>& parts) {
        for (Eigen::Index a = 0; a < t; ++a) {
            for (Eigen::Index b = 0; b <= a; ++b) {
                Eigen::MatrixXd dV = Eigen::MatrixXd::Zero(n, n);
                for (Eigen::Index u = 0; u < n; ++u) {
                    for (Eigen::Index w = 0; w < n; ++w) {
                        const auto [i, c] = values[static_cast<std::size_t>(u)];
                        const auto [j, d] = values[static_cast<std::size_t>(w)];
                        const bool in_class = of_class < 0 || classes[static_cast<std::size_t>(i)] == of_class;
                        const bool pair = i == j && ((c == a && d == b) || (c == b && d == a));
                        dV(u, w) = pair && in_class ? 1.0 / (weights.size() == 0 ? 1.0 : weights[i]) : 0.0;
                    }
                }
                parts.push_back(dV);
            }
        }
    };
    const std::vector<Eigen::MatrixXd> genetic_parts = dense.derivatives;
    residual_parts(-1, {}, {}, dense.derivatives);
    Eigen::MatrixXd G(4, 4);
    G << 0.9, 0.3, -0.2, 0.05,  //
        0.3, 0.7, 0.1, -0.15,   //
        -0.2, 0.1, 0.5, 0.1,    //
        0.05, -0.15, 0.1, 0.4;
    Eigen::Matrix2d R;
    R << 1.1, 0.35, 0.35, 0.8;
    expect_conforms(evaluator, dense, evaluator.layout().components(G, R), "two traits, direct and maternal");

    // Each level's four effects are the dense BLUPs Cov(u, y) P y.
    const Eigen::VectorXd theta = evaluator.layout().components(G, R);
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index k = 0; k < theta.size(); ++k) V += theta[k] * dense.derivatives[static_cast<std::size_t>(k)];
    const Eigen::MatrixXd Vi = V.inverse();
    const Eigen::VectorXd Py =
        (Vi - Vi * dense.X * (dense.X.transpose() * Vi * dense.X).inverse() * dense.X.transpose() * Vi) * dense.y;
    const SparseTraitsEvaluator::Effects effects = evaluator.effects(theta);
    ASSERT_TRUE(effects.finite) << effects.problem;
    ASSERT_EQ(effects.values.cols(), 4);
    for (Eigen::Index i = 0; i < 4; ++i) {
        Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(levels, n);  // Cov(u_i, y)
        for (std::size_t j = 0; j < 4; ++j) covariance += G(i, static_cast<Eigen::Index>(j)) * A * Z[j].transpose();
        const Eigen::VectorXd blup = covariance * Py;
        EXPECT_LT((effects.values.col(i) - blup).cwiseAbs().maxCoeff(), 1e-8 * (1.0 + blup.cwiseAbs().maxCoeff()))
            << "part " << i;
    }

    // Weights and two residual classes: each class's Ve after Vg.
    std::vector<Eigen::Index> classes(q);
    Eigen::VectorXd weights(q);
    for (Eigen::Index i = 0; i < q; ++i) {
        classes[i] = i % 3 == 0 ? 1 : 0;
        weights[i] = 0.6 + 0.4 * static_cast<double>(i % 4);
    }
    const SparseTraitsEvaluator by_class(X, Y, level, {{}, levels, sparse_lower(A.inverse()), std::log(A.determinant()), {}},
                                         1e-6, {}, weights, classes, dam);
    ASSERT_EQ(by_class.layout().count(), 16);
    DenseModel classed{genetic_parts, dense.X, dense.y};
    residual_parts(0, classes, weights, classed.derivatives);
    residual_parts(1, classes, weights, classed.derivatives);
    Eigen::Matrix2d R1;
    R1 << 0.7, -0.2, -0.2, 1.3;
    expect_conforms(by_class, classed, by_class.layout().components(G, std::vector<Eigen::MatrixXd>{R, R1}),
                    "two traits, direct and maternal, weighted residuals by class");

    // The dam's permanent environment of each trait, one level per dam of the first 14: Vpe(a, b)
    // over the values' dams, between Vg and Ve.
    const SparseTraitsEvaluator with_environment(
        X, Y, level, {{}, levels, sparse_lower(A.inverse()), std::log(A.determinant()), {}}, 1e-6, {}, {}, {}, dam, dam, 14);
    ASSERT_EQ(with_environment.layout().count(), 16);
    DenseModel environment{genetic_parts, dense.X, dense.y};
    for (std::size_t a = 0; a < 2; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            const Eigen::MatrixXd part = Z[t + a].leftCols(14) * Z[t + b].leftCols(14).transpose();
            environment.derivatives.push_back(a == b ? part : Eigen::MatrixXd(part + part.transpose()));
        }
    }
    residual_parts(-1, {}, {}, environment.derivatives);
    Eigen::Matrix2d Vpe;
    Vpe << 0.3, 0.1, 0.1, 0.25;
    expect_conforms(with_environment, environment, with_environment.layout().components(G, R, Vpe),
                    "two traits, direct and maternal, the dam's permanent environment");
}

// The selected inverse against the whole inverse, on a matrix large enough for CHOLMOD to form
// supernodes.
TEST(SparseFactor, SelectedInverseIsTheInverseOnThePattern) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    std::mt19937 engine(5);
    const Eigen::Index q = 300;
    const Eigen::MatrixXd Ainv = tabular_relationships(q, engine).inverse();
    Eigen::MatrixXd C = Ainv;
    C.diagonal().array() += 0.7;  // records on every animal
    const SparseLower lower = sparse_lower(C);
    SparseFactor factor(lower);
    ASSERT_TRUE(factor.factorize(lower));
    EXPECT_NEAR(factor.log_determinant(), std::log(C.determinant()), 1e-8 * std::fabs(std::log(C.determinant())));
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (Eigen::Index j = 0; j < q; ++j) {
        for (SparseLower::InnerIterator it(lower, j); it; ++it) pairs.emplace_back(it.row(), j);
    }
    const Eigen::VectorXd selected = factor.selected_inverse(factor.locate(pairs));
    const Eigen::MatrixXd inverse = C.inverse();
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        EXPECT_NEAR(selected[static_cast<Eigen::Index>(k)], inverse(pairs[k].first, pairs[k].second), 1e-10)
            << "element (" << pairs[k].first << ", " << pairs[k].second << ")";
    }
    const Eigen::VectorXd b = Eigen::VectorXd::LinSpaced(q, -1.0, 2.0);
    EXPECT_LT((factor.solve(b) - inverse * b).cwiseAbs().maxCoeff(), 1e-10);

    // A dense block of 60 rows (a genotyped animals' inverse) ordered last: the same numbers.
    std::vector<std::int64_t> block;
    for (std::int64_t r = 7; r < q; r += 5) block.push_back(r);
    for (const std::int64_t a : block) {
        for (const std::int64_t c : block) C(a, c) += a == c ? 1.0 : 0.01;
    }
    const SparseLower with_block = sparse_lower(C);
    SparseFactor ordered(with_block, block);
    EXPECT_EQ(ordered.figures().ordering, "CAMD, the 59 dense equations last");
    ASSERT_TRUE(ordered.factorize(with_block));
    const Eigen::MatrixXd inverse_with_block = C.inverse();
    EXPECT_NEAR(ordered.log_determinant(), std::log(C.determinant()), 1e-8 * std::fabs(std::log(C.determinant())));
    EXPECT_LT((ordered.solve(b) - inverse_with_block * b).cwiseAbs().maxCoeff(), 1e-10);
    const std::vector<std::pair<std::int64_t, std::int64_t>> corners = {{block.back(), block.front()}, {0, 0},
                                                                        {block[3], block[3]}};
    const Eigen::VectorXd at_corners = ordered.selected_inverse(ordered.locate(corners));
    for (std::size_t k = 0; k < corners.size(); ++k) {
        EXPECT_NEAR(at_corners[static_cast<Eigen::Index>(k)], inverse_with_block(corners[k].first, corners[k].second),
                    1e-10);
    }
}

// The factor foreseen from the blocks' graph: on a chain of 50 blocks of 3 equations, each
// coupled with its neighbours and with 2 equations of the whole (the fixed effects), eliminating
// the chain first leaves no fill, so the factor holds the lower triangle of each block, the
// blocks between neighbours and the chain's rows of the fixed effects; CHOLMOD's analysis of the
// whole pattern finds the same. On a pedigree's maternal equations (direct and maternal parts of
// each animal) it is within a few per cent of the analysis.
TEST(SparseFactor, ForeseenFromTheBlocksGraph) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const Eigen::Index chain = 50, size = 3, fixed = 2, order = fixed + chain * size;
    Eigen::MatrixXd C = Eigen::MatrixXd::Identity(order, order) * 10.0;
    std::vector<std::int64_t> block_of(static_cast<std::size_t>(order));
    for (Eigen::Index i = 0; i < fixed; ++i) block_of[static_cast<std::size_t>(i)] = i;
    for (Eigen::Index b = 0; b < chain; ++b) {
        for (Eigen::Index i = 0; i < size; ++i) block_of[static_cast<std::size_t>(fixed + b * size + i)] = fixed + b;
    }
    for (Eigen::Index i = 0; i < order; ++i) {
        for (Eigen::Index j = 0; j < i; ++j) {
            const std::int64_t a = block_of[static_cast<std::size_t>(i)], c = block_of[static_cast<std::size_t>(j)];
            if (j < fixed || a - c <= 1) C(i, j) = C(j, i) = 0.01;
        }
    }
    const double expected = chain * size * (size + 1) / 2.0 + (chain - 1) * size * size + chain * size * fixed +
                            fixed * (fixed + 1) / 2.0;
    const FactorFigures foreseen = block_factor_figures(sparse_lower(C), block_of, fixed + chain);
    EXPECT_EQ(foreseen.nonzeros, expected);
    EXPECT_EQ(SparseFactor(sparse_lower(C)).figures().nonzeros, expected);
    EXPECT_EQ(foreseen.ordering, "AMD of the 52 blocks (foreseen)");

    std::mt19937 engine(11);
    const Eigen::Index q = 400;
    const Eigen::MatrixXd Ainv = tabular_relationships(q, engine).inverse();
    Eigen::MatrixXd G(2, 2);
    G << 1.0, -0.3, -0.3, 0.8;
    const Eigen::MatrixXd Gi = G.inverse();
    Eigen::MatrixXd M(2 * q, 2 * q);
    for (Eigen::Index i = 0; i < q; ++i) {
        for (Eigen::Index j = 0; j < q; ++j) M.block(2 * i, 2 * j, 2, 2) = Ainv(i, j) * Gi;
    }
    // A record on each animal, its dam's maternal effect the parts' coupling across animals.
    for (Eigen::Index i = 1; i < q; ++i) {
        const Eigen::Index dam = (i * 7 + 3) % i;
        M(2 * i, 2 * dam + 1) += 0.5;
        M(2 * dam + 1, 2 * i) += 0.5;
        M(2 * dam + 1, 2 * dam + 1) += 0.5;
        M(2 * i, 2 * i) += 0.5;
    }
    std::vector<std::int64_t> animal_of(static_cast<std::size_t>(2 * q));
    for (Eigen::Index k = 0; k < 2 * q; ++k) animal_of[static_cast<std::size_t>(k)] = k / 2;
    const double analysed = SparseFactor(sparse_lower(M)).figures().nonzeros;
    EXPECT_LT(analysed, 0.25 * static_cast<double>(q * (2 * q + 1)));  // far from a dense factor
    EXPECT_NEAR(block_factor_figures(sparse_lower(M), animal_of, q).nonzeros, analysed, 0.05 * analysed);
}
