// Several traits against a plain dense reference: the restricted log-likelihood of V = Vg (x) K +
// Ve (x) I over the trait values present, formed entry by entry, maximised by Nelder and Mead's
// simplex over the Cholesky factors of Vg and Ve; the average information from its definition;
// breeding values from the mixed model equations solved directly.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include <Eigen/Dense>

#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/test_data.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct TraitData {
    Eigen::MatrixXd K, X, Y;  // Y: NaN where not recorded
};

// Y = X B + U + E with vec(U) ~ N(0, Vg (x) K), vec(E) ~ N(0, Ve (x) I).
TraitData simulate_traits(Eigen::Index n, const Eigen::MatrixXd& Vg, const Eigen::MatrixXd& Ve, unsigned seed) {
    TraitData data;
    data.K = random_kinship(n, 300, seed, 0.05);
    std::mt19937 engine(seed + 1);
    std::normal_distribution<double> normal(0.0, 1.0);
    const Eigen::Index t = Vg.rows();
    data.X = Eigen::MatrixXd::Ones(n, 2);
    Eigen::MatrixXd Zu(n, t), Ze(n, t);
    for (Eigen::Index i = 0; i < n; ++i) {
        data.X(i, 1) = normal(engine);
        for (Eigen::Index a = 0; a < t; ++a) {
            Zu(i, a) = normal(engine);
            Ze(i, a) = normal(engine);
        }
    }
    const Eigen::MatrixXd LK = Eigen::LLT<Eigen::MatrixXd>(data.K).matrixL();
    auto root = [](const Eigen::MatrixXd& M) {
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(M);
        return Eigen::MatrixXd(eigen.eigenvectors() * eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt().asDiagonal() *
                               eigen.eigenvectors().transpose());
    };
    data.Y = LK * Zu * root(Vg) + Ze * root(Ve);
    for (Eigen::Index a = 0; a < t; ++a) {
        data.Y.col(a) += data.X * Eigen::Vector2d(5.0 + a, 0.5);
    }
    return data;
}

// The restricted log-likelihood over the values present, without constants.
struct DenseTraits {
    const TraitData& data;
    std::vector<std::pair<Eigen::Index, Eigen::Index>> values;  // (individual, trait)
    std::vector<Eigen::Index> classes;  // per individual, its residual class; empty: one Ve

    std::vector<std::vector<Eigen::Index>> own;  // per trait, its columns of X; empty: all
    Eigen::MatrixXd Xo;
    Eigen::VectorXd yo;
    explicit DenseTraits(const TraitData& d, std::vector<std::vector<Eigen::Index>> own_columns = {})
        : data(d), own(std::move(own_columns)) {
        for (Eigen::Index a = 0; a < d.Y.cols(); ++a) {
            for (Eigen::Index i = 0; i < d.Y.rows(); ++i) {
                if (!std::isnan(d.Y(i, a))) {
                    values.emplace_back(i, a);
                }
            }
        }
        Xo = X();
        yo = y();
    }
    Eigen::Index n() const { return static_cast<Eigen::Index>(values.size()); }
    Eigen::VectorXd y() const {
        Eigen::VectorXd v(n());
        for (Eigen::Index k = 0; k < n(); ++k) v[k] = data.Y(values[k].first, values[k].second);
        return v;
    }
    // Each trait its own coefficients of its columns (all: an intercept and a slope each).
    Eigen::MatrixXd X() const {
        const Eigen::Index t = data.Y.cols(), p = data.X.cols();
        std::vector<std::vector<Eigen::Index>> columns = own;
        std::vector<Eigen::Index> first;
        Eigen::Index width = 0;
        for (Eigen::Index a = 0; a < t; ++a) {
            if (own.empty()) {
                columns.emplace_back();
                for (Eigen::Index c = 0; c < p; ++c) columns.back().push_back(c);
            }
            first.push_back(width);
            width += static_cast<Eigen::Index>(columns[static_cast<std::size_t>(a)].size());
        }
        Eigen::MatrixXd M = Eigen::MatrixXd::Zero(n(), width);
        for (Eigen::Index k = 0; k < n(); ++k) {
            const auto [i, a] = values[static_cast<std::size_t>(k)];
            const std::vector<Eigen::Index>& mine = columns[static_cast<std::size_t>(a)];
            for (std::size_t c = 0; c < mine.size(); ++c) {
                M(k, first[static_cast<std::size_t>(a)] + static_cast<Eigen::Index>(c)) = data.X(i, mine[c]);
            }
        }
        return M;
    }
    Eigen::Index class_of(Eigen::Index i) const { return classes.empty() ? 0 : classes[static_cast<std::size_t>(i)]; }
    // dV for a unit element (a, b) of Vg (genetic) or Ve (of residual class c).
    Eigen::MatrixXd derivative(Eigen::Index a, Eigen::Index b, bool genetic, Eigen::Index c = 0) const {
        Eigen::MatrixXd D = Eigen::MatrixXd::Zero(n(), n());
        for (Eigen::Index k = 0; k < n(); ++k) {
            for (Eigen::Index l = 0; l < n(); ++l) {
                const auto [i, s] = values[k];
                const auto [j, u] = values[l];
                if ((s == a && u == b) || (s == b && u == a)) {
                    D(k, l) = genetic ? data.K(i, j) : (i == j && class_of(i) == c ? 1.0 : 0.0);
                }
            }
        }
        return D;
    }
    Eigen::MatrixXd V(const Eigen::MatrixXd& Vg, const std::vector<Eigen::MatrixXd>& Ve) const {
        Eigen::MatrixXd M(n(), n());
        for (Eigen::Index k = 0; k < n(); ++k) {
            for (Eigen::Index l = 0; l < n(); ++l) {
                const auto [i, s] = values[k];
                const auto [j, u] = values[l];
                M(k, l) = Vg(s, u) * data.K(i, j) + (i == j ? Ve[static_cast<std::size_t>(class_of(i))](s, u) : 0.0);
            }
        }
        return M;
    }
    Eigen::MatrixXd V(const Eigen::MatrixXd& Vg, const Eigen::MatrixXd& Ve) const {
        return V(Vg, std::vector<Eigen::MatrixXd>{Ve});
    }
    double log_likelihood(const Eigen::MatrixXd& Vg, const Eigen::MatrixXd& Ve) const {
        return log_likelihood(Vg, std::vector<Eigen::MatrixXd>{Ve});
    }
    double log_likelihood(const Eigen::MatrixXd& Vg, const std::vector<Eigen::MatrixXd>& Ve) const {
        const Eigen::LLT<Eigen::MatrixXd> chol(V(Vg, Ve));
        if (chol.info() != Eigen::Success) return -std::numeric_limits<double>::infinity();
        const Eigen::MatrixXd VX = chol.solve(Xo);
        const Eigen::LLT<Eigen::MatrixXd> C(Xo.transpose() * VX);
        const Eigen::VectorXd Vy = chol.solve(yo);
        const Eigen::VectorXd b = C.solve(Xo.transpose() * Vy);
        return -0.5 * (2.0 * Eigen::MatrixXd(chol.matrixL()).diagonal().array().log().sum() +
                       2.0 * Eigen::MatrixXd(C.matrixL()).diagonal().array().log().sum() + yo.dot(Vy) -
                       (Xo.transpose() * Vy).dot(b));
    }
    Eigen::MatrixXd P(const Eigen::MatrixXd& Vg, const Eigen::MatrixXd& Ve) const {
        return P(Vg, std::vector<Eigen::MatrixXd>{Ve});
    }
    Eigen::MatrixXd P(const Eigen::MatrixXd& Vg, const std::vector<Eigen::MatrixXd>& Ve) const {
        const Eigen::MatrixXd Vi = V(Vg, Ve).inverse(), Xm = X();
        return Vi - Vi * Xm * (Xm.transpose() * Vi * Xm).inverse() * Xm.transpose() * Vi;
    }
};

// Lower triangle row by row of a t x t matrix.
Eigen::MatrixXd from_cholesky(const Eigen::VectorXd& z, Eigen::Index t) {
    Eigen::MatrixXd L = Eigen::MatrixXd::Zero(t, t);
    for (Eigen::Index a = 0, k = 0; a < t; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) L(a, b) = z[k++];
    }
    return L * L.transpose();
}

// Minimum of f by Nelder-Mead, restarted from its best point until that stops moving.
Eigen::VectorXd nelder_mead(const std::function<double(const Eigen::VectorXd&)>& f, Eigen::VectorXd best) {
    const Eigen::Index m = best.size();
    double best_value = f(best);
    for (int restart = 0; restart < 20; ++restart) {
        std::vector<Eigen::VectorXd> simplex{best};
        std::vector<double> value{best_value};
        for (Eigen::Index i = 0; i < m; ++i) {
            Eigen::VectorXd v = best;
            v[i] += restart == 0 ? 0.3 : 0.02;
            simplex.push_back(v);
            value.push_back(f(v));
        }
        for (int step = 0; step < 4000; ++step) {
            std::vector<std::size_t> order(simplex.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return value[a] < value[b]; });
            const std::size_t worst = order.back(), second = order[order.size() - 2], top = order.front();
            if (value[worst] - value[top] < 1e-12 * (1.0 + std::fabs(value[top]))) break;
            Eigen::VectorXd centre = Eigen::VectorXd::Zero(m);
            for (std::size_t i = 0; i < simplex.size(); ++i) {
                if (i != worst) centre += simplex[i] / static_cast<double>(m);
            }
            const Eigen::VectorXd reflected = 2.0 * centre - simplex[worst];
            const double fr = f(reflected);
            if (fr < value[top]) {
                const Eigen::VectorXd expanded = 3.0 * centre - 2.0 * simplex[worst];
                const double fe = f(expanded);
                simplex[worst] = fe < fr ? expanded : reflected;
                value[worst] = std::min(fe, fr);
            } else if (fr < value[second]) {
                simplex[worst] = reflected;
                value[worst] = fr;
            } else {
                const Eigen::VectorXd contracted = 0.5 * (centre + simplex[worst]);
                const double fc = f(contracted);
                if (fc < value[worst]) {
                    simplex[worst] = contracted;
                    value[worst] = fc;
                } else {
                    for (std::size_t i = 0; i < simplex.size(); ++i) {
                        if (i == top) continue;
                        simplex[i] = 0.5 * (simplex[i] + simplex[top]);
                        value[i] = f(simplex[i]);
                    }
                }
            }
        }
        const auto top = static_cast<std::size_t>(std::min_element(value.begin(), value.end()) - value.begin());
        const bool moved = best_value - value[top] > 1e-11 * (1.0 + std::fabs(best_value));
        best = simplex[top];
        best_value = value[top];
        if (!moved && restart > 2) break;
    }
    return best;
}

struct Optimum {
    Eigen::MatrixXd Vg, Ve;
    double log_likelihood;
};

Optimum dense_optimum(const DenseTraits& dense, Eigen::Index t) {
    const Eigen::Index half = t * (t + 1) / 2;
    Eigen::VectorXd z = Eigen::VectorXd::Zero(2 * half);
    for (Eigen::Index a = 0; a < t; ++a) {
        z[a * (a + 1) / 2 + a] = z[half + a * (a + 1) / 2 + a] = 1.0;
    }
    const auto f = [&](const Eigen::VectorXd& v) {
        return -dense.log_likelihood(from_cholesky(v.head(half), t), from_cholesky(v.tail(half), t));
    };
    const Eigen::VectorXd best = nelder_mead(f, z);
    Optimum o{from_cholesky(best.head(half), t), from_cholesky(best.tail(half), t), -f(best)};
    return o;
}

AiRemlRun fit(const TraitEvaluator& evaluator, const TraitData& data,
              const std::vector<std::pair<Eigen::Index, Eigen::Index>>& unshared = {}) {
    const Eigen::Index t = data.Y.cols();
    Eigen::VectorXd variances(t);
    for (Eigen::Index a = 0; a < t; ++a) {
        const Eigen::ArrayXd column = data.Y.col(a).array();
        const Eigen::ArrayXd present = column.isNaN().select(0.0, column);
        const double count = static_cast<double>((!column.isNaN()).count());
        const double mean = present.sum() / count;
        variances[a] = (column.isNaN().select(mean, column) - mean).square().sum() / (count - 1.0);
    }
    const Eigen::MatrixXd half_variance = 0.5 * Eigen::MatrixXd(variances.asDiagonal());
    std::vector<std::string> names;
    for (Eigen::Index a = 0; a < t; ++a) names.push_back("T" + std::to_string(a + 1));
    const AiRemlSettings settings =
        trait_reml_settings(evaluator, names, half_variance, half_variance, {unshared}, data.Y.rows(), 200, 1e-8);
    return ai_reml(evaluator, settings);
}

// Every element within 1e-4 relative, or 1e-5 absolute for one near 0.
void expect_matrix_near(const Eigen::MatrixXd& actual, const Eigen::MatrixXd& expected, const char* what) {
    for (Eigen::Index i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual(i), expected(i), std::max(1e-4 * std::fabs(expected(i)), 1e-5)) << what << " element " << i;
    }
}

// The runs' eigen form: from K itself (the band form's is checked by the evaluators' conformance).
struct EigenForm {
    RoundingFreeKinship eigen;
    explicit EigenForm(const Eigen::MatrixXd& K) : eigen(kinship_eigen_form(K, -1.0)) {}
};

}  // namespace

TEST(SeveralTraits, CompleteRecordsReachTheDenseMaximum) {
    // A strong positive and a negative genetic correlation.
    for (const double rg : {0.95, -0.5}) {
        Eigen::Matrix2d Vg, Ve;
        Vg << 2.0, rg * std::sqrt(2.0 * 1.5), rg * std::sqrt(2.0 * 1.5), 1.5;
        Ve << 1.0, 0.3, 0.3, 1.2;
        const TraitData data = simulate_traits(60, Vg, Ve, rg > 0 ? 11 : 23);
        const EigenForm form(data.K);
        const RotatedTraitsEvaluator rotated(form.eigen.kinship, data.X, data.Y, 1e-6);
        const AiRemlRun run = fit(rotated, data);
        ASSERT_TRUE(run.converged);
        const DenseTraits dense(data);
        const Optimum best = dense_optimum(dense, 2);
        expect_matrix_near(rotated.layout().genetic(run.theta), best.Vg, "Vg");
        expect_matrix_near(rotated.layout().residual(run.theta), best.Ve, "Ve");
        EXPECT_NEAR(run.at_estimate.log_likelihood, best.log_likelihood, 1e-6);

        // Where the evaluators' models meet they give the same point.
        const DenseTraitsEvaluator dense_evaluator(data.K, data.X, data.Y, 1e-6);
        const LikelihoodPoint a = rotated.evaluate(run.theta), b = dense_evaluator.evaluate(run.theta);
        EXPECT_NEAR(a.log_likelihood, b.log_likelihood, 1e-8);
        EXPECT_LT((a.ai - b.ai).cwiseAbs().maxCoeff(), 1e-8 * a.ai.cwiseAbs().maxCoeff());
        EXPECT_LT((a.score - b.score).cwiseAbs().maxCoeff(), 1e-6);
    }
}

TEST(SeveralTraits, MissingValuesUseEveryRecordAndTheAverageInformationIsItsDefinition) {
    Eigen::Matrix2d Vg, Ve;
    Vg << 1.5, 0.6, 0.6, 1.0;
    Ve << 1.0, -0.2, -0.2, 0.8;
    TraitData data = simulate_traits(60, Vg, Ve, 31);
    std::mt19937 engine(5);
    std::vector<Eigen::Index> order(60);
    for (Eigen::Index i = 0; i < 60; ++i) order[static_cast<std::size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), engine);
    for (std::size_t i = 0; i < 9; ++i) data.Y(order[i], 1) = kNaN;  // 15 % of trait 2
    const DenseTraitsEvaluator evaluator(data.K, data.X, data.Y, 1e-6);
    EXPECT_EQ(evaluator.values(), 120 - 9);
    const AiRemlRun run = fit(evaluator, data);
    ASSERT_TRUE(run.converged);
    const DenseTraits dense(data);
    const Optimum best = dense_optimum(dense, 2);
    expect_matrix_near(evaluator.layout().genetic(run.theta), best.Vg, "Vg");
    expect_matrix_near(evaluator.layout().residual(run.theta), best.Ve, "Ve");

    // SEs: the inverse of 0.5 y'P dV_k P dV_l P y.
    const Eigen::MatrixXd G = evaluator.layout().genetic(run.theta), R = evaluator.layout().residual(run.theta);
    const Eigen::MatrixXd P = dense.P(G, R);
    const Eigen::VectorXd Py = P * dense.y();
    std::vector<Eigen::VectorXd> d;
    for (const bool genetic : {true, false}) {
        for (const auto& [a, b] : {std::pair<int, int>{0, 0}, {1, 0}, {1, 1}}) {
            d.push_back(dense.derivative(a, b, genetic) * Py);
        }
    }
    Eigen::MatrixXd ai(6, 6);
    for (int k = 0; k < 6; ++k) {
        for (int l = 0; l < 6; ++l) ai(k, l) = 0.5 * d[static_cast<std::size_t>(k)].dot(P * d[static_cast<std::size_t>(l)]);
    }
    const Eigen::MatrixXd expected = ai.inverse();
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(std::sqrt(run.ai_inverse(k, k)), std::sqrt(expected(k, k)), 1e-4 * std::sqrt(expected(k, k)));
    }
}

TEST(SeveralTraits, AGeneticCorrelationOfOneLiesOnTheBoundary) {
    // Both traits carry one breeding value: about half the samples put the unrestricted optimum
    // beyond rg = 1, so the dense optimum over the space lies at rg = 1. The first such seed.
    Eigen::Matrix2d Vg, Ve;
    Vg << 1.0, 1.0, 1.0, 1.0;
    Ve << 1.0, -0.5, -0.5, 1.0;
    for (unsigned seed = 40; seed < 60; ++seed) {
        const TraitData data = simulate_traits(60, Vg, Ve, seed);
        const DenseTraits dense(data);
        const Optimum best = dense_optimum(dense, 2);
        const double reference_rg = best.Vg(0, 1) / std::sqrt(best.Vg(0, 0) * best.Vg(1, 1));
        if (reference_rg < 0.99999) {
            continue;
        }
        const EigenForm form(data.K);
        const RotatedTraitsEvaluator evaluator(form.eigen.kinship, data.X, data.Y, 1e-6);
        const AiRemlRun run = fit(evaluator, data);
        ASSERT_TRUE(run.converged);
        EXPECT_GE(run.at_estimate.log_likelihood, best.log_likelihood - 1e-6);
        EXPECT_EQ(evaluator.boundary_vectors(run.theta, false).cols(), 1);
        const Eigen::MatrixXd G = evaluator.layout().genetic(run.theta);
        EXPECT_NEAR(G(0, 1) / std::sqrt(G(0, 0) * G(1, 1)), 1.0, 1e-8);
        expect_matrix_near(G, best.Vg, "Vg");
        expect_matrix_near(evaluator.layout().residual(run.theta), best.Ve, "Ve");
        return;
    }
    FAIL() << "no sample put the optimum at rg = 1";
}

TEST(SeveralTraits, BreedingValuesSolveTheMixedModelEquations) {
    Eigen::Matrix2d Vg, Ve;
    Vg << 1.2, 0.5, 0.5, 0.9;
    Ve << 1.0, 0.25, 0.25, 1.1;
    // 70 individuals, of which the last 10 have no record; a third of trait 1 missing.
    TraitData all = simulate_traits(70, Vg, Ve, 61);
    const Eigen::Index q = 60, N = 70, t = 2;
    TraitData data{all.K.topLeftCorner(q, q), all.X.topRows(q), all.Y.topRows(q)};
    for (Eigen::Index i = 0; i < q; i += 3) data.Y(i, 0) = kNaN;
    const DenseTraitsEvaluator evaluator(data.K, data.X, data.Y, 1e-6);
    const Eigen::VectorXd theta = evaluator.layout().components(Vg, Ve);
    const TraitSolution solution = evaluator.solve(theta);
    ASSERT_TRUE(solution.finite);
    const TraitPrediction prediction = predict_traits(solution, Vg, all.K.leftCols(q), all.K.diagonal());

    // Henderson's equations over the values present: unknowns (B per trait, U of the N
    // individuals for each trait), R^-1 over each individual's present traits.
    const DenseTraits dense(data);
    const Eigen::MatrixXd Xo = dense.X();
    const Eigen::Index n = dense.n(), p = Xo.cols();
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(n, N * t);
    Eigen::MatrixXd R = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index k = 0; k < n; ++k) {
        Z(k, dense.values[k].second * N + dense.values[k].first) = 1.0;
        for (Eigen::Index l = 0; l < n; ++l) {
            if (dense.values[k].first == dense.values[l].first) R(k, l) = Ve(dense.values[k].second, dense.values[l].second);
        }
    }
    Eigen::MatrixXd G(N * t, N * t);
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index b = 0; b < t; ++b) G.block(a * N, b * N, N, N) = Vg(a, b) * all.K;
    }
    const Eigen::MatrixXd Ginv = G.inverse();
    const Eigen::MatrixXd Ri = R.inverse();
    Eigen::MatrixXd W(n, p + N * t);
    W << Xo, Z;
    Eigen::MatrixXd C = W.transpose() * Ri * W;
    C.bottomRightCorner(N * t, N * t) += Ginv;
    const Eigen::MatrixXd Cinv = C.inverse();
    const Eigen::VectorXd solved = Cinv * (W.transpose() * Ri * dense.y());
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index i = 0; i < N; ++i) {
            EXPECT_NEAR(prediction.values(i, a), solved[p + a * N + i], 1e-8) << "trait " << a << " individual " << i;
            EXPECT_NEAR(prediction.error_variances(i, a), Cinv(p + a * N + i, p + a * N + i), 1e-8);
        }
        EXPECT_NEAR(solution.beta(0, a), solved[a * 2], 1e-8);
        EXPECT_NEAR(solution.beta(1, a), solved[a * 2 + 1], 1e-8);
    }
}

TEST(SeveralTraits, ShareAndCorrelationErrorsFollowTheDeltaMethod) {
    // Vg(A), Vg(A,B), Vg(B), Ve(A), Ve(A,B), Ve(B) and a sampling covariance; each derived row's
    // SE against sqrt(g' C g) with g by central differences of the row's own formula.
    Eigen::VectorXd theta(6);
    theta << 2.0, 0.8, 1.5, 3.0, -0.4, 2.5;
    Eigen::MatrixXd L = Eigen::MatrixXd::Random(6, 6);
    const Eigen::MatrixXd C = 0.01 * (L * L.transpose() + Eigen::MatrixXd::Identity(6, 6));
    const std::vector<ResultRow> rows = trait_component_rows({"A", "B"}, theta, C, -10.0);
    const std::vector<std::pair<std::string, std::function<double(const Eigen::VectorXd&)>>> derived = {
        {"Vp(A)", [](const Eigen::VectorXd& v) { return v[0] + v[3]; }},
        {"h2(B)", [](const Eigen::VectorXd& v) { return v[2] / (v[2] + v[5]); }},
        {"rg(A,B)", [](const Eigen::VectorXd& v) { return v[1] / std::sqrt(v[0] * v[2]); }},
        {"re(A,B)", [](const Eigen::VectorXd& v) { return v[4] / std::sqrt(v[3] * v[5]); }},
    };
    for (const auto& [source, f] : derived) {
        Eigen::VectorXd g(6);
        for (int k = 0; k < 6; ++k) {
            Eigen::VectorXd h = Eigen::VectorXd::Zero(6);
            h[k] = 1e-6;
            g[k] = (f(theta + h) - f(theta - h)) / 2e-6;
        }
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const ResultRow& r) { return r.source == source; });
        ASSERT_NE(row, rows.end()) << source;
        EXPECT_NEAR(row->estimate, f(theta), 1e-12) << source;
        EXPECT_NEAR(row->se, std::sqrt(g.dot(C * g)), 1e-7) << source;
    }
}

// A residual covariance matrix per class (a third of the individuals more noisy and with another
// residual correlation), some values missing: REML reaches the maximum of the likelihood with a
// Ve per class formed entry by entry, and its average information is its definition.
TEST(SeveralTraits, ResidualClassesReachTheDenseMaximum) {
    Eigen::Matrix2d Vg, Ve, extra;
    Vg << 1.5, 0.6, 0.6, 1.0;
    Ve << 1.0, 0.2, 0.2, 0.8;
    extra << 2.0, -0.9, -0.9, 1.5;
    TraitData data = simulate_traits(90, Vg, Ve, 41);
    std::vector<Eigen::Index> classes(90, 0);
    std::mt19937 engine(43);
    std::normal_distribution<double> normal;
    const Eigen::Matrix2d root = Eigen::LLT<Eigen::Matrix2d>(extra).matrixL();
    for (Eigen::Index i = 0; i < 90; i += 3) {
        classes[static_cast<std::size_t>(i)] = 1;
        data.Y.row(i) += (root * Eigen::Vector2d(normal(engine), normal(engine))).transpose();
    }
    for (Eigen::Index i = 1; i < 90; i += 11) data.Y(i, 0) = kNaN;
    const DenseTraitsEvaluator evaluator(data.K, data.X, data.Y, 1e-6, {}, {}, classes);
    ASSERT_EQ(evaluator.layout().residual_classes, 2);
    ASSERT_EQ(evaluator.layout().count(), 9);
    const Eigen::MatrixXd half = 0.5 * Eigen::MatrixXd::Identity(2, 2);
    const AiRemlRun run = ai_reml(evaluator, trait_reml_settings(evaluator, {"T1", "T2"}, half, half, {{}, {}}, 90, 200,
                                                                 1e-8, {"e:A", "e:B"}));
    ASSERT_TRUE(run.converged);

    DenseTraits dense(data);
    dense.classes = classes;
    const std::function<double(const Eigen::VectorXd&)> f = [&](const Eigen::VectorXd& z) {
        return -dense.log_likelihood(from_cholesky(z.segment(0, 3), 2),
                                     std::vector<Eigen::MatrixXd>{from_cholesky(z.segment(3, 3), 2),
                                                                  from_cholesky(z.segment(6, 3), 2)});
    };
    Eigen::VectorXd z(9);
    z << 1, 0, 1, 1, 0, 1, 1, 0, 1;
    const Eigen::VectorXd best = nelder_mead(f, z);
    const TraitLayout& layout = evaluator.layout();
    expect_matrix_near(layout.genetic(run.theta), from_cholesky(best.segment(0, 3), 2), "Vg");
    expect_matrix_near(layout.residual(run.theta, 0), from_cholesky(best.segment(3, 3), 2), "Ve of class 0");
    expect_matrix_near(layout.residual(run.theta, 1), from_cholesky(best.segment(6, 3), 2), "Ve of class 1");
    EXPECT_NEAR(run.at_estimate.log_likelihood, -f(best), 1e-6);

    // 0.5 y'P dV_k P dV_l P y over Vg's elements and each class's Ve's.
    const std::vector<Eigen::MatrixXd> residuals{layout.residual(run.theta, 0), layout.residual(run.theta, 1)};
    const Eigen::MatrixXd P = dense.P(layout.genetic(run.theta), residuals);
    const Eigen::VectorXd Py = P * dense.y();
    std::vector<Eigen::VectorXd> d;
    for (const Eigen::Index block : {-1, 0, 1}) {
        for (const auto& [a, b] : {std::pair<int, int>{0, 0}, {1, 0}, {1, 1}}) {
            d.push_back(dense.derivative(a, b, block < 0, block) * Py);
        }
    }
    const LikelihoodPoint point = evaluator.evaluate(run.theta);
    for (int k = 0; k < 9; ++k) {
        for (int l = 0; l < 9; ++l) {
            const double expected = 0.5 * d[static_cast<std::size_t>(k)].dot(P * d[static_cast<std::size_t>(l)]);
            EXPECT_NEAR(point.ai(k, l), expected, 1e-8 * (1.0 + std::fabs(expected))) << k << ", " << l;
        }
    }
}

// The eigen form of the whole kinship: its rotation U is orthogonal, U D U' is K with D the
// eigenvalues a plain solver gives, U' applies as the transpose, and eigenvalues at or below the
// bound are cleared (they ascend, so they come first).
TEST(SeveralTraits, TheEigenFormOfTheKinshipDiagonalisesIt) {
    const Eigen::MatrixXd K = random_kinship(40, 30, 17, 0.0);  // 30 markers: rank-deficient
    const RoundingFreeKinship form = kinship_eigen_form(K, 1e-9);
    const Eigen::MatrixXd I = Eigen::MatrixXd::Identity(40, 40);
    const Eigen::MatrixXd U = form.kinship.rotation->apply(I, false);
    EXPECT_LT((U.transpose() * U - I).cwiseAbs().maxCoeff(), 1e-12);
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> plain(K);
    Eigen::VectorXd expected = plain.eigenvalues();
    Eigen::Index cleared = 0;
    for (Eigen::Index i = 0; i < expected.size(); ++i) {
        if (expected[i] <= 1e-9) {
            expected[i] = 0.0;
            ++cleared;
        }
    }
    EXPECT_GT(cleared, 0);
    EXPECT_EQ(form.cleared, cleared);
    EXPECT_LT((form.kinship.eigenvalues - expected).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((U * form.kinship.eigenvalues.asDiagonal() * U.transpose() - K).cwiseAbs().maxCoeff(), 1e-12);
    const Eigen::MatrixXd C = K.leftCols(3);
    EXPECT_LT((form.kinship.rotation->apply(C, true) - U.transpose() * C).cwiseAbs().maxCoeff(), 1e-12);
}

// Each trait its own fixed effects (the second without the slope), every value recorded: REML in
// the eigenvector basis reaches the dense maximum with the slope in the first trait's rows alone.
TEST(SeveralTraits, EachTraitsOwnFixedEffectsReachTheDenseMaximum) {
    Eigen::Matrix2d Vg, Ve;
    Vg << 1.5, 0.5, 0.5, 1.0;
    Ve << 1.0, 0.3, 0.3, 1.2;
    TraitData data = simulate_traits(70, Vg, Ve, 53);
    data.Y.col(1) -= 0.5 * data.X.col(1);  // the second trait has no slope
    const std::vector<std::vector<Eigen::Index>> own{{0, 1}, {0}};
    const EigenForm form(data.K);
    const RotatedTraitsEvaluator evaluator(form.eigen.kinship, data.X, data.Y, 1e-6, own);
    const AiRemlRun run = fit(evaluator, data);
    ASSERT_TRUE(run.converged);
    const DenseTraits dense(data, own);
    const Optimum best = dense_optimum(dense, 2);
    expect_matrix_near(evaluator.layout().genetic(run.theta), best.Vg, "Vg");
    expect_matrix_near(evaluator.layout().residual(run.theta), best.Ve, "Ve");
    EXPECT_NEAR(run.at_estimate.log_likelihood, best.log_likelihood, 1e-6);
    // Not the model with the slope in both traits.
    const TraitLayout& layout = evaluator.layout();
    EXPECT_GT(std::fabs(run.at_estimate.log_likelihood -
                        DenseTraits(data).log_likelihood(layout.genetic(run.theta), layout.residual(run.theta))),
              1e-3);
}
