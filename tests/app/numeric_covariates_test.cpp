// Numeric covariates (--qcovar-pos) through the whole program: the estimates against a dense
// REML maximum and generalised least squares on the same rounded kinship, and their invariance
// to the covariate's units.

#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kinship_io/kinship_io.h"
#include "mixed_model/dense_reml.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

constexpr int kRecords = 80;

struct Printed {
    double sigma_a2 = 0.0, sigma_e2 = 0.0;
    std::vector<std::pair<std::string, double>> effects;
};

// The variance table and the fixed-effect table of a --predict console.
Printed read_console(const std::string& console) {
    Printed printed;
    std::smatch match;
    EXPECT_TRUE(std::regex_search(console, match, std::regex("\nAdd\t([^\t]+)\t[^\n]*\ne\t([^\t]+)\t")));
    printed.sigma_a2 = std::stod(match[1]);
    printed.sigma_e2 = std::stod(match[2]);
    const std::string table = console.substr(console.find("Fixed effects were shown:"));
    for (const std::string& line : lines_of(table.substr(0, table.find("\n\n", table.find('\n') + 2)))) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) {
            printed.effects.emplace_back(line.substr(0, tab), std::stod(line.substr(tab + 1)));
        }
    }
    return printed;
}

}  // namespace

TEST(NumericCovariates, FitRegressionsBesideAClassAndDoNotDependOnUnits) {
    // The file holds 4 decimals; the reference uses exactly those values.
    const Eigen::MatrixXd K = (random_kinship(kRecords, 300, 17, 0.02) * 1e4).array().round() / 1e4;
    std::vector<std::string> ids;
    for (int i = 0; i < kRecords; ++i) {
        ids.push_back("I" + std::to_string(i));
    }
    // Sex as a class, age and weight as regressions.
    std::mt19937 engine(5);
    std::uniform_real_distribution<double> age(200.0, 400.0), weight(30.0, 60.0);
    Eigen::MatrixXd X(kRecords, 4);
    for (int i = 0; i < kRecords; ++i) {
        X.row(i) << 1.0, i % 2, age(engine), weight(engine);
    }
    const Eigen::VectorXd effects = (Eigen::VectorXd(4) << 5.0, 1.0, 0.02, -0.1).finished();
    const Eigen::VectorXd y = X * effects + simulate_trait(K, X.leftCols(1), 1.0, 1.0, 9).col(0) - Eigen::VectorXd::Constant(kRecords, 10.0);

    // Units change nothing, also where the squares of the values leave a double's range.
    const double units[] = {1.0, 1e6, 1e200, 1e-200};
    Printed runs[4];
    for (int scaled = 0; scaled < 4; ++scaled) {
        std::string phenotypes = "ID\tSex\tage\tweight\tTrait\n";
        for (int i = 0; i < kRecords; ++i) {
            char line[160];
            std::snprintf(line, sizeof line, "I%d\t%s\t%.17g\t%.17g\t%.17g\n", i, i % 2 ? "F" : "M",
                          X(i, 2) * units[scaled], X(i, 3), y[i]);
            phenotypes += line;
        }
        const std::string dir = make_scratch_dir();
        write_kinship_matrix(K, ids, dir + "/k.txt");
        write_file(dir + "/p.txt", phenotypes);
        const CommandResult run = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos",
                                               "5", "--covar-pos", "2", "--qcovar-pos", "3,4", "--out", "r"},
                                              dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        runs[scaled] = read_console(run.out);
    }

    // REML maximum and the GLS fixed effects there, densely.
    const DenseRemlFit best = dense_reml_maximum(K, X, y);
    const Eigen::MatrixXd V = best.sigma_a2 * K + best.sigma_e2 * Eigen::MatrixXd::Identity(kRecords, kRecords);
    const Eigen::LLT<Eigen::MatrixXd> V_chol(V);
    const Eigen::VectorXd b = (X.transpose() * V_chol.solve(X)).ldlt().solve(X.transpose() * V_chol.solve(y));

    for (int scaled = 0; scaled < 4; ++scaled) {
        SCOPED_TRACE("age in units " + std::to_string(1.0 / units[scaled]) + " as large");
        const Printed& printed = runs[scaled];
        EXPECT_NEAR(printed.sigma_a2, best.sigma_a2, 1e-4 * best.sigma_a2);
        EXPECT_NEAR(printed.sigma_e2, best.sigma_e2, 1e-4 * best.sigma_e2);
        // Intercept, the two sex levels (the first-met one at 0), then age and weight by name.
        ASSERT_EQ(printed.effects.size(), 5u);
        EXPECT_EQ(printed.effects[0].first, "Intercept");
        EXPECT_EQ(printed.effects[1].first, "Covar2_M");
        EXPECT_EQ(printed.effects[1].second, 0.0);
        EXPECT_EQ(printed.effects[3].first, "age");
        EXPECT_EQ(printed.effects[4].first, "weight");
        const double age_slope = b[2] / units[scaled];
        EXPECT_NEAR(printed.effects[0].second, b[0], 1e-4 * std::fabs(b[0]));
        EXPECT_NEAR(printed.effects[2].second, b[1], 1e-4 * std::fabs(b[1]));
        EXPECT_NEAR(printed.effects[3].second, age_slope, 1e-4 * std::fabs(age_slope));
        EXPECT_NEAR(printed.effects[4].second, b[3], 1e-4 * std::fabs(b[3]));
    }
}
