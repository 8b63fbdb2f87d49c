#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "mixed_model/mixed_model.h"
#include "test_support.h"

namespace {

// Delta-method SE of a share against the same quadratic form with a gradient taken by central
// differences of the share itself.
double numeric_share_se(const Eigen::VectorXd& theta, const Eigen::MatrixXd& covariance, const Eigen::VectorXd& selector) {
    auto share = [&](const Eigen::VectorXd& t) { return selector.dot(t) / t.sum(); };
    Eigen::VectorXd gradient(theta.size());
    for (Eigen::Index k = 0; k < theta.size(); ++k) {
        const double h = 1e-6 * theta[k];
        Eigen::VectorXd up = theta, down = theta;
        up[k] += h;
        down[k] -= h;
        gradient[k] = (share(up) - share(down)) / (2 * h);
    }
    return std::sqrt(gradient.dot(covariance * gradient));
}

TEST(VarianceFile, SharesRepeatabilityAndTheirDeltaMethodErrors) {
    const Eigen::Vector3d theta(36.0, 20.0, 40.0);  // K1, PE, residual
    Eigen::Matrix3d covariance;
    covariance << 30.0, -8.0, -5.0, -8.0, 12.0, -3.0, -5.0, -3.0, 9.0;
    const std::vector<ResultRow> rows = variance_component_rows({"K1", "PE"}, theta, covariance, {0, 1}, -1234.5);
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].source, "V(K1)");
    EXPECT_EQ(rows[2].source, "V(e)");
    EXPECT_DOUBLE_EQ(rows[3].estimate, 96.0);
    EXPECT_NEAR(rows[3].se, std::sqrt(covariance.sum()), 1e-12);
    EXPECT_EQ(rows[4].source, "K1/Vp");
    EXPECT_DOUBLE_EQ(rows[4].estimate, 36.0 / 96.0);
    EXPECT_NEAR(rows[4].se, numeric_share_se(theta, covariance, Eigen::Vector3d(1, 0, 0)), 1e-8);
    EXPECT_EQ(rows[6].source, "Repeatability");
    EXPECT_DOUBLE_EQ(rows[6].estimate, 56.0 / 96.0);
    EXPECT_NEAR(rows[6].se, numeric_share_se(theta, covariance, Eigen::Vector3d(1, 1, 0)), 1e-8);
    EXPECT_EQ(rows[7].source, "logL");
}

TEST(VarianceFile, GivenValuesHaveNoErrorsAndCountsAreWrittenInFull) {
    const std::string dir = make_scratch_dir();
    std::vector<ResultRow> rows = variance_component_rows({"Add"}, Eigen::Vector2d(2.0, 6.0), Eigen::MatrixXd(),
                                                          {}, std::numeric_limits<double>::quiet_NaN());
    for (const ResultRow& row : count_rows(1234567, 890)) rows.push_back(row);
    const std::string path = dir + "/r.vc.txt";
    write_variance_file(rows, path);
    EXPECT_EQ(read_file(path),
              "Source\tEstimate\tSE\nV(Add)\t2\tNA\nV(e)\t6\tNA\nVp\t8\tNA\nAdd/Vp\t0.25\tNA\nlogL\tNA\tNA\n"
              "n_records\t1234567\tNA\nn_individuals\t890\tNA\n");
}

}  // namespace
