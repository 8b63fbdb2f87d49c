// The dense evaluator of several random effects against REML by brute force: two kinships, a
// kinship with the permanent environment of 1 to 5 records per individual, random classes. The
// driver's estimate is the maximum of the dense restricted likelihood, its standard errors those
// of the average information from its definition, and the one-kinship case that of the band path.

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mixed_model/dense_components.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/test_data.h"

namespace {

// Z: records x levels incidence of a level list.
// A random effect for the evaluator and its V_k = Z K Z' (Z Z' for independent levels).
struct Effect {
    RandomEffect effect;
    Eigen::MatrixXd covariance;
};

Effect kinship_effect(const std::string& name, const Eigen::MatrixXd& K, const std::vector<Eigen::Index>& levels) {
    const Eigen::MatrixXd Z = incidence(levels, K.rows());
    return {RandomEffect{name, levels, K.rows(), K}, Z * K * Z.transpose()};
}

Effect independent_effect(const std::string& name, const std::vector<Eigen::Index>& levels, Eigen::Index count) {
    const Eigen::MatrixXd Z = incidence(levels, count);
    return {RandomEffect{name, levels, count, Eigen::MatrixXd()}, Z * Z.transpose()};
}

// y = X b + sum_k sqrt(theta_k) L_k z_k + sqrt(theta_e) e, with V_k = L_k L_k'.
Eigen::VectorXd simulate(const std::vector<Effect>& effects, const Eigen::MatrixXd& X, const Eigen::VectorXd& theta,
                         unsigned seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    const Eigen::Index n = X.rows();
    Eigen::VectorXd y = X * Eigen::VectorXd::LinSpaced(X.cols(), 5.0, 6.0);
    for (std::size_t k = 0; k <= effects.size(); ++k) {
        Eigen::VectorXd z(n);
        for (Eigen::Index i = 0; i < n; ++i) z[i] = normal(engine);
        if (k == effects.size()) {
            y += std::sqrt(theta[theta.size() - 1]) * z;
            break;
        }
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(effects[k].covariance);
        const Eigen::VectorXd root = eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt();
        y += std::sqrt(theta[static_cast<Eigen::Index>(k)]) * (eigen.eigenvectors() * root.asDiagonal() * eigen.eigenvectors().transpose() * z);
    }
    return y;
}

struct Fit {
    AiRemlRun run;
    DenseComponents dense;
};

Fit fit(const std::vector<Effect>& effects, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
        const std::vector<bool>& fixed = {}, const ResidualStructure& residual = {}) {
    Fit result;
    std::vector<RandomEffect> random;
    std::vector<CovarianceBlock> blocks;
    const auto m = static_cast<Eigen::Index>(effects.size());
    const double variance = (y.array() - y.mean()).square().sum() / static_cast<double>(y.size() - 1);
    for (std::size_t k = 0; k < effects.size(); ++k) {
        const Effect& e = effects[k];
        random.push_back(e.effect);
        result.dense.covariances.push_back(e.covariance);
        const bool held = k < fixed.size() && fixed[k];
        blocks.push_back({{"V(" + e.effect.name + ")"},
                          Eigen::MatrixXd::Constant(1, 1, held ? 0.0 : 0.3 * variance / static_cast<double>(m)),
                          false, 0.0, {}});
        if (held) blocks.back().fixed = {{0, 0}};
    }
    const Eigen::Index classes = residual.class_of_record.empty() ? 1 : residual.classes;
    for (Eigen::Index c = 0; c < classes; ++c) {
        blocks.push_back({{"V(e" + std::to_string(c) + ")"}, Eigen::MatrixXd::Constant(1, 1, 0.7 * variance), true,
                          1e-6 * variance, {}});
        if (residual.weights.size() == 0 && residual.class_of_record.empty()) break;
        // R_c = diag(1 / w) over the records of class c.
        Eigen::MatrixXd R = Eigen::MatrixXd::Zero(y.size(), y.size());
        for (Eigen::Index r = 0; r < y.size(); ++r) {
            const bool in_class = residual.class_of_record.empty() || residual.class_of_record[static_cast<std::size_t>(r)] == c;
            if (in_class) R(r, r) = residual.weights.size() == 0 ? 1.0 : 1.0 / residual.weights[r];
        }
        result.dense.residuals.push_back(R);
    }
    result.dense.X = X;
    result.dense.y = y;
    const AiRemlSettings settings = reml_settings(blocks, y.size(), 200, 1e-5);
    const GroupedEvaluator evaluator(random, X, y, residual);
    result.run = ai_reml(evaluator, settings);
    return result;
}

// Every component within 1e-4 of the dense maximum; SEs within 1e-4 of the inverse average
// information from its definition.
void expect_dense_maximum(const Fit& f) {
    ASSERT_TRUE(f.run.converged);
    const Eigen::VectorXd& theta = f.run.theta;
    const Eigen::VectorXd best = f.dense.maximum(theta);
    for (Eigen::Index k = 0; k < theta.size(); ++k) {
        EXPECT_NEAR(theta[k], best[k], 1e-4 * best[k]) << "component " << k;
    }
    EXPECT_NEAR(f.run.at_estimate.log_likelihood, f.dense.log_likelihood(theta), 1e-8 * std::fabs(f.dense.log_likelihood(theta)));
    const Eigen::MatrixXd ai = f.dense.average_information(theta).inverse();
    for (Eigen::Index k = 0; k < theta.size(); ++k) {
        EXPECT_NEAR(std::sqrt(f.run.ai_inverse(k, k)), std::sqrt(ai(k, k)), 1e-4 * std::sqrt(ai(k, k))) << "SE " << k;
    }
}

std::vector<Eigen::Index> one_each(Eigen::Index n) {
    std::vector<Eigen::Index> levels(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i) levels[static_cast<std::size_t>(i)] = i;
    return levels;
}

}  // namespace

TEST(SeveralEffects, TwoKinshipsReachTheDenseMaximum) {
    const Eigen::Index n = 90;
    const std::vector<Effect> effects = {kinship_effect("K1", random_kinship(n, 300, 3, 0.0), one_each(n)),
                                         kinship_effect("K2", random_kinship(n, 60, 4, 0.05), one_each(n))};
    const Eigen::MatrixXd X = class_design(n, 3);
    const Eigen::VectorXd y = simulate(effects, X, Eigen::Vector3d(2.0, 1.5, 1.0), 5);
    expect_dense_maximum(fit(effects, X, y));
}

TEST(SeveralEffects, KinshipAndPermanentEnvironmentOfRepeatedRecords) {
    // 60 individuals in the kinship, the last 12 without records, the others with 1 to 5.
    const Eigen::MatrixXd K = random_kinship(60, 200, 7, 0.01);
    std::vector<Eigen::Index> individual;
    for (Eigen::Index i = 0; i < 48; ++i) {
        for (Eigen::Index r = 0; r <= i % 5; ++r) individual.push_back(i);
    }
    const Eigen::MatrixXd K_recorded = K.topLeftCorner(48, 48);
    const std::vector<Effect> effects = {kinship_effect("K1", K_recorded, individual),
                                         independent_effect("PE", individual, 48)};
    const auto n = static_cast<Eigen::Index>(individual.size());
    Eigen::MatrixXd X = class_design(n, 2);
    const Eigen::VectorXd y = simulate(effects, X, Eigen::Vector3d(1.5, 1.0, 1.0), 8);
    const Fit f = fit(effects, X, y);
    EXPECT_LT(GroupedEvaluator(std::vector<RandomEffect>{effects[0].effect, effects[1].effect}, X, y).groups(), n);
    expect_dense_maximum(f);
}

TEST(SeveralEffects, RandomClassesCrossedWithRepeatedRecords) {
    // Records of one individual fall in different herd-years: groups are (individual, class)
    // pairs, not the individuals in order.
    const Eigen::MatrixXd K = random_kinship(40, 150, 9, 0.02);
    std::vector<Eigen::Index> individual, herd;
    for (Eigen::Index i = 0; i < 40; ++i) {
        for (Eigen::Index r = 0; r < 1 + (i % 3); ++r) {
            individual.push_back(i);
            herd.push_back((i + 3 * r) % 7);
        }
    }
    const std::vector<Effect> effects = {kinship_effect("K1", K, individual), independent_effect("PE", individual, 40),
                                         independent_effect("herd", herd, 7)};
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = class_design(n, 2);
    const Eigen::VectorXd y = simulate(effects, X, Eigen::Vector4d(1.0, 0.5, 0.8, 1.0), 12);
    expect_dense_maximum(fit(effects, X, y));
}

// Weights (the residual sigma2_e / w) and residual variances by class, with repeated records
// whose classes differ within an individual: the dense maximum of V = sum theta_k V_k +
// sum_c sigma2_c diag(1_c / w): its log-likelihood (log|V| with the weights in it) and SEs.
TEST(SeveralEffects, WeightsAndResidualClassesReachTheDenseMaximum) {
    const Eigen::MatrixXd K = random_kinship(45, 160, 13, 0.02);
    std::vector<Eigen::Index> individual, parity;
    for (Eigen::Index i = 0; i < 45; ++i) {
        for (Eigen::Index r = 0; r < 2 + (i % 3); ++r) {
            individual.push_back(i);
            parity.push_back(std::min<Eigen::Index>(r, 2));
        }
    }
    const std::vector<Effect> effects = {kinship_effect("K1", K, individual), independent_effect("PE", individual, 45)};
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = class_design(n, 2);
    ResidualStructure residual;
    residual.weights = (Eigen::VectorXd::LinSpaced(n, 0.0, 17.0).array().sin() + 1.5).matrix();
    Eigen::VectorXd y = simulate(effects, X, Eigen::Vector3d(2.0, 1.0, 0.0), 17);
    std::mt19937 engine(3);
    std::normal_distribution<double> normal;
    for (Eigen::Index r = 0; r < n; ++r) {
        y[r] += (parity[static_cast<std::size_t>(r)] == 2 ? 2.0 : 1.0) * normal(engine) / std::sqrt(residual.weights[r]);
    }
    const Fit weighted = fit(effects, X, y, {}, residual);
    expect_dense_maximum(weighted);
    residual.class_of_record = parity;
    residual.classes = 3;
    const Fit classes = fit(effects, X, y, {}, residual);
    expect_dense_maximum(classes);
    EXPECT_GT(classes.run.theta[4], classes.run.theta[2]);
}

// A component whose dense likelihood falls from 0 into the space (the maximum is on the
// boundary) is estimated as exactly 0 and the others as the dense maximum without it; one whose
// likelihood rises away from 0 is estimated above 0.
TEST(SeveralEffects, AComponentOnTheBoundaryIsZero) {
    const Eigen::MatrixXd K = random_kinship(50, 200, 21, 0.01);
    std::vector<Eigen::Index> individual;
    for (Eigen::Index i = 0; i < 50; ++i) {
        for (Eigen::Index r = 0; r < 2; ++r) individual.push_back(i);
    }
    const std::vector<Effect> effects = {kinship_effect("K1", K, individual), independent_effect("PE", individual, 50)};
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = class_design(n, 1);
    int on_boundary = 0, inside = 0;
    for (unsigned seed = 1; seed <= 12 && (on_boundary == 0 || inside == 0); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Eigen::VectorXd y = simulate(effects, X, Eigen::Vector3d(1.0, 0.0, 1.0), seed);
        const Fit f = fit(effects, X, y);
        ASSERT_TRUE(f.run.converged);
        // The dense maximum with PE at 0, and the slope of the likelihood into PE > 0 there.
        const Fit without = fit(effects, X, y, {false, true, false});
        ASSERT_TRUE(without.run.converged);
        DenseComponents reduced = f.dense;
        reduced.covariances = {f.dense.covariances[0]};
        const Eigen::VectorXd at_zero = reduced.maximum(Eigen::Vector2d(without.run.theta[0], without.run.theta[2]));
        const Eigen::Vector3d zero(at_zero[0], 0.0, at_zero[1]);
        const double step = 1e-6 * at_zero.sum();
        const double slope = (f.dense.log_likelihood(zero + Eigen::Vector3d(0.0, step, 0.0)) - f.dense.log_likelihood(zero)) / step;
        if (slope < 0.0) {
            ++on_boundary;
            EXPECT_EQ(f.run.theta[1], 0.0);
            EXPECT_NEAR(f.run.theta[0], at_zero[0], 1e-4 * at_zero[0]);
            EXPECT_NEAR(f.run.theta[2], at_zero[1], 1e-4 * at_zero[1]);
        } else {
            ++inside;
            EXPECT_GT(f.run.theta[1], 0.0);
        }
    }
    EXPECT_GT(on_boundary, 0);
    EXPECT_GT(inside, 0);
}

// The one-kinship model through the dense evaluator gives the estimate of the band path.
TEST(SeveralEffects, OneKinshipMatchesTheBandPath) {
    const Eigen::Index n = 80;
    const Eigen::MatrixXd K = random_kinship(n, 250, 31, 0.0);
    const Eigen::MatrixXd X = class_design(n, 3);
    const Eigen::MatrixXd y = simulate_trait(K, X, 1.0, 1.5, 17);
    const RemlResult band = reml_ai_cpp(reduce_kinship_cpp(K, 3), X, y, 30, 0.3, 1e-5);
    const Fit dense = fit({kinship_effect("K1", K, one_each(n))}, X, y.col(0));
    ASSERT_TRUE(band.run.converged);
    ASSERT_TRUE(dense.run.converged);
    EXPECT_NEAR(dense.run.theta[0], band.sigma_a2, 1e-6 * band.sigma_a2);
    EXPECT_NEAR(dense.run.theta[1], band.sigma_e2, 1e-6 * band.sigma_e2);
    EXPECT_NEAR(std::sqrt(dense.run.ai_inverse(0, 0)), band.se_a2, 1e-6 * band.se_a2);
}

// The average information is the mean of the observed and the expected information; with a few
// hundred records the two agree, and the SEs are those of the likelihood's curvature (its
// Hessian by finite differences) within 5 %.
TEST(SeveralEffects, StandardErrorsFollowTheLikelihoodsCurvature) {
    const Eigen::MatrixXd K = random_kinship(300, 400, 41, 0.01);
    std::vector<Eigen::Index> individual;
    for (Eigen::Index i = 0; i < 300; ++i) {
        for (Eigen::Index r = 0; r <= i % 3; ++r) individual.push_back(i);
    }
    const std::vector<Effect> effects = {kinship_effect("K1", K, individual), independent_effect("PE", individual, 300)};
    const auto n = static_cast<Eigen::Index>(individual.size());
    const Eigen::MatrixXd X = class_design(n, 2);
    const Eigen::VectorXd y = simulate(effects, X, Eigen::Vector3d(1.0, 0.6, 1.0), 43);
    const Fit f = fit(effects, X, y);
    ASSERT_TRUE(f.run.converged);
    const Eigen::MatrixXd observed = f.dense.observed_information(f.run.theta).inverse();
    for (Eigen::Index k = 0; k < 3; ++k) {
        EXPECT_NEAR(std::sqrt(f.run.ai_inverse(k, k)), std::sqrt(observed(k, k)), 0.05 * std::sqrt(observed(k, k)))
            << "SE " << k;
    }
}
