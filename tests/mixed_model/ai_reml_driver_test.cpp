// The AI-REML driver against likelihoods whose maximum is known in closed form: a concave
// quadratic (its maximum inside the space, then beyond the limit of a variance) and one whose
// average information is singular. No model is formed; the driver alone is checked.

#include <gtest/gtest.h>

#include <string>

#include "mixed_model/mixed_model.h"

namespace {

// log L = -(theta - m)' H (theta - m) / 2: score H (m - theta), information H everywhere.
class QuadraticLikelihood : public LikelihoodEvaluator {
public:
    QuadraticLikelihood(Eigen::VectorXd maximum, Eigen::MatrixXd information)
        : maximum_(std::move(maximum)), information_(std::move(information)) {}

    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override {
        LikelihoodPoint point;
        point.finite = true;
        const Eigen::VectorXd offset = theta - maximum_;
        point.log_likelihood = -0.5 * offset.dot(information_ * offset);
        point.score = -(information_ * offset);
        point.ai = information_;
        return point;
    }

private:
    Eigen::VectorXd maximum_;
    Eigen::MatrixXd information_;
};

AiRemlSettings settings_from(const Eigen::VectorXd& start) {
    // A variance, and the residual above its limit.
    std::vector<CovarianceBlock> blocks(2);
    blocks[0].names = {"V(a)"};
    blocks[0].start = Eigen::MatrixXd::Constant(1, 1, start[0]);
    blocks[1].names = {"V(e)"};
    blocks[1].start = Eigen::MatrixXd::Constant(1, 1, start[1]);
    blocks[1].residual = true;
    blocks[1].limit = 1e-6;
    return reml_settings(blocks, 100, 30, 1e-8);
}

const Eigen::Matrix2d kInformation = (Eigen::Matrix2d() << 4.0, 1.0, 1.0, 2.0).finished();

}  // namespace

TEST(AiRemlDriver, ReachesAnInteriorMaximumWithItsInverseInformation) {
    const Eigen::Vector2d maximum(2.0, 3.0);
    const AiRemlRun run = ai_reml(QuadraticLikelihood(maximum, kInformation), settings_from(Eigen::Vector2d(0.5, 0.5)));
    ASSERT_TRUE(run.converged);
    EXPECT_NEAR((run.theta - maximum).norm(), 0.0, 1e-10);
    EXPECT_NEAR((run.ai_inverse - kInformation.inverse()).norm(), 0.0, 1e-12);
    // One Newton step reaches a quadratic's maximum; the next shows it.
    EXPECT_EQ(run.iterations.front().step, RemlStep::ai);
    EXPECT_LE(run.iterations.size(), 3u);
}

// With the unconstrained maximum at V(a) < 0, the maximum over the space has V(a) = 0 and V(e) at
// its conditional maximum m_e + H_ea m_a / H_ee; the likelihood never falls on the way.
TEST(AiRemlDriver, HoldsAVarianceAtZeroWhenTheMaximumLiesBeyondIt) {
    const Eigen::Vector2d maximum(-1.0, 3.0);
    const AiRemlRun run = ai_reml(QuadraticLikelihood(maximum, kInformation), settings_from(Eigen::Vector2d(1.0, 1.0)));
    ASSERT_TRUE(run.converged);
    EXPECT_EQ(run.theta[0], 0.0);
    EXPECT_NEAR(run.theta[1], maximum[1] + kInformation(1, 0) * maximum[0] / kInformation(1, 1), 1e-8);
    bool held_or_stopped = false;
    for (std::size_t k = 0; k < run.iterations.size(); ++k) {
        const RemlStep step = run.iterations[k].step;
        held_or_stopped = held_or_stopped || step == RemlStep::boundary || step == RemlStep::held;
        if (k > 0) {
            EXPECT_GE(run.iterations[k].log_likelihood, run.iterations[k - 1].log_likelihood - 1e-12);
        }
    }
    EXPECT_TRUE(held_or_stopped);
}

TEST(AiRemlDriver, SingularInformationStopsWithTheComponentsNamed) {
    const Eigen::Matrix2d singular = (Eigen::Matrix2d() << 1.0, 1.0, 1.0, 1.0).finished();
    try {
        ai_reml(QuadraticLikelihood(Eigen::Vector2d(2.0, 3.0), singular), settings_from(Eigen::Vector2d(1.0, 1.0)));
        FAIL() << "no failure";
    } catch (const RemlFailure& failure) {
        const std::string message = failure.what();
        EXPECT_NE(message.find("the average information matrix is singular"), std::string::npos) << message;
        EXPECT_NE(message.find("V(a) and V(e)"), std::string::npos) << message;
    }
}

// The driver tells a residual from a random variance by its role, wherever it stands: with the
// residual first and its maximum below its limit, the residual is held at the limit and the
// notes say so; the variance after it moves freely.
TEST(AiRemlDriver, TellsTheResidualByItsRoleNotItsPosition) {
    std::vector<CovarianceBlock> blocks(2);
    blocks[0] = {{"V(e)"}, Eigen::MatrixXd::Constant(1, 1, 1.0), true, 0.5, {}};
    blocks[1] = {{"V(a)"}, Eigen::MatrixXd::Constant(1, 1, 1.0), false, 0.0, {}};
    const AiRemlSettings settings = reml_settings(blocks, 100, 30, 1e-8);
    const Eigen::Vector2d maximum(-1.0, 3.0);
    const AiRemlRun run = ai_reml(QuadraticLikelihood(maximum, kInformation), settings);
    ASSERT_TRUE(run.converged);
    EXPECT_EQ(run.theta[0], 0.5);
    EXPECT_NEAR(run.theta[1], maximum[1] + kInformation(1, 0) * (maximum[0] - 0.5) / kInformation(1, 1), 1e-8);
    std::string notes;
    for (const AiRemlStep& step : run.iterations) {
        notes += reml_step_note(step, settings.parameters) + "\n";
    }
    EXPECT_NE(notes.find("V(e) "), std::string::npos) << notes;
    EXPECT_NE(notes.find("lower limit"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("at 0"), std::string::npos) << notes;
}

// The covariance space of blocks anywhere in theta: a 2 x 2 variance block after a lone variance,
// then a 2 x 2 residual block. A point outside is brought to the nearest matrices with the least
// eigenvalues allowed (0; the residual's limit), a point inside stays (to rounding), and a covariance's change
// is measured against its two variances.
TEST(CovarianceSpace, BringsEveryBlockIntoItsSpaceWhereverItStands) {
    const CovarianceSpace space({{1, 2, false, 0.0}, {4, 2, true, 0.5}}, 7, 10);
    Eigen::VectorXd theta(7);
    theta << 3.0, 1.0, 2.0, 1.0, 1.0, 0.0, 0.1;  // lone 3; [[1, 2], [2, 1]]; [[1, 0], [0, 0.1]]
    const Eigen::VectorXd inside = space.feasible(theta);
    EXPECT_EQ(inside[0], 3.0);
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> variance(space.matrix(inside, 0));
    EXPECT_NEAR(variance.eigenvalues()[0], 0.0, 1e-12);
    EXPECT_NEAR(variance.eigenvalues()[1], 3.0, 1e-12);  // eigenvalues -1 and 3: -1 taken to 0
    EXPECT_NEAR(space.matrix(inside, 0)(0, 1), 1.5, 1e-12);
    EXPECT_NEAR(inside[6], 0.5, 1e-12);  // the residual's 0.1 raised to its limit
    EXPECT_LT((space.feasible(inside) - inside).norm(), 1e-12);
    EXPECT_EQ(space.boundary_vectors(inside, 0).cols(), 1);
    EXPECT_NEAR(space.change_scale(theta)[2], 1.0, 1e-15);  // sqrt(1 x 1)
    EXPECT_NEAR(space.change_scale(theta)[5], std::sqrt(0.1), 1e-15);
}
