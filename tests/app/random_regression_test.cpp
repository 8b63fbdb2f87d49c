// Random regressions on Legendre polynomials (animal:leg(x, k), pe:leg(x, k)) on the pedigree's
// sparse inverse and on the kinship of the records: the coefficients, the values along the curve
// and over its whole range against the dense BLUP written out here, and REML's logL against the
// dense restricted likelihood.

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mixed_model/sparse_factor.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

// 70 animals (the first 12 founders), test days of the last 50: 5 each, days in milk 5 to 305,
// 6 herd-test-days; each cow's curve (intercept and slope) drawn down the pedigree with a
// permanent environment of her own.
struct TestDays {
    std::vector<std::pair<int, int>> parents;
    std::vector<int> cow, day, herd;
    Eigen::VectorXd milk;
};

TestDays simulated_test_days() {
    TestDays data;
    std::mt19937 random(77);
    std::normal_distribution<double> normal(0.0, 1.0);
    constexpr int kAnimals = 70;
    std::vector<Eigen::Vector2d> value;
    for (int i = 0; i < kAnimals; ++i) {
        const int s = i < 12 ? -1 : static_cast<int>(random() % 4);
        const int d = i < 12 ? -1 : 4 + static_cast<int>(random() % static_cast<unsigned>(i - 4));
        data.parents.emplace_back(s, d);
        Eigen::Vector2d parents = Eigen::Vector2d::Zero();
        if (s >= 0) parents = 0.5 * (value[static_cast<std::size_t>(s)] + value[static_cast<std::size_t>(d)]);
        value.push_back(parents + (s >= 0 ? std::sqrt(0.5) : 1.0) * Eigen::Vector2d(3.0 * normal(random), normal(random)));
    }
    for (int i = 20; i < kAnimals; ++i) {
        const Eigen::Vector2d pe(2.0 * normal(random), 0.7 * normal(random));
        for (int t = 0; t < 5; ++t) {
            const int day = 5 + static_cast<int>(random() % 301);
            const double x = 2.0 * (day - 5) / 300.0 - 1.0;
            const Eigen::Vector2d phi(std::sqrt(0.5), std::sqrt(1.5) * x);
            data.cow.push_back(i);
            data.day.push_back(day);
            data.herd.push_back(static_cast<int>(random() % 6));
            data.milk.conservativeResize(data.milk.size() + 1);
            data.milk[data.milk.size() - 1] = 25.0 + data.herd.back() + phi.dot(value[static_cast<std::size_t>(i)] + pe) +
                                              1.5 * normal(random);
        }
    }
    // The curve's range among the records is that of the Legendre polynomials: 5 and 305 met.
    data.day.front() = 5;
    data.day.back() = 305;
    return data;
}

void write_test_days(const TestDays& data, const std::string& dir) {
    std::ostringstream pedigree, records;
    const auto id = [](int i) { return i < 0 ? std::string("0") : "c" + std::to_string(i + 1); };
    pedigree << "ID Sire Dam\n";
    for (std::size_t i = 0; i < data.parents.size(); ++i) {
        pedigree << id(static_cast<int>(i)) << " " << id(data.parents[i].first) << " " << id(data.parents[i].second) << "\n";
    }
    records.precision(17);
    records << "ID\tHTD\tDIM\tMilk\n";
    for (std::size_t r = 0; r < data.cow.size(); ++r) {
        records << id(data.cow[r]) << "\tH" << data.herd[r] << "\t" << data.day[r] << "\t"
                << data.milk[static_cast<Eigen::Index>(r)] << "\n";
    }
    write_file(dir + "/cows.ped", pedigree.str());
    write_file(dir + "/days.phe", records.str());
}

// phi_0, phi_1 of the normalised Legendre polynomials at a day of 5..305.
Eigen::Vector2d legendre(double day) {
    return {std::sqrt(0.5), std::sqrt(1.5) * (2.0 * (day - 5.0) / 300.0 - 1.0)};
}

// The dense model: V = Za (A (x) G0) Za' + Zp (I (x) P0) Zp' + s2e I, with columns 2i + j for
// coefficient j of animal i (cow i of the records for the permanent environment), and the design
// of an intercept and the herd-test-days without the first.
struct DenseRegression {
    Eigen::MatrixXd X, Za, Zp, A;
    int animals = 0, cows = 0;
};

DenseRegression dense_regression(const TestDays& data) {
    DenseRegression dense;
    const auto n = static_cast<Eigen::Index>(data.cow.size());
    dense.animals = static_cast<int>(data.parents.size());
    dense.cows = 50;
    dense.A = ::tabular_relationships(data.parents);
    dense.X = Eigen::MatrixXd::Zero(n, 6);
    dense.Za = Eigen::MatrixXd::Zero(n, 2 * dense.animals);
    dense.Zp = Eigen::MatrixXd::Zero(n, 2 * dense.cows);
    for (Eigen::Index r = 0; r < n; ++r) {
        const auto k = static_cast<std::size_t>(r);
        dense.X(r, 0) = 1.0;
        if (data.herd[k] > 0) dense.X(r, data.herd[k]) = 1.0;
        const Eigen::Vector2d phi = legendre(data.day[k]);
        for (int j = 0; j < 2; ++j) {
            dense.Za(r, 2 * data.cow[k] + j) = phi[j];
            dense.Zp(r, 2 * (data.cow[k] - 20) + j) = phi[j];
        }
    }
    return dense;
}

Eigen::MatrixXd kron(const Eigen::MatrixXd& outer, const Eigen::MatrixXd& inner) {
    Eigen::MatrixXd out(outer.rows() * inner.rows(), outer.cols() * inner.cols());
    for (Eigen::Index i = 0; i < outer.rows(); ++i) {
        for (Eigen::Index j = 0; j < outer.cols(); ++j) {
            out.block(i * inner.rows(), j * inner.cols(), inner.rows(), inner.cols()) = outer(i, j) * inner;
        }
    }
    return out;
}

// The two routes of a regression: the pedigree's equations, and A as a kinship file.
std::vector<std::vector<std::string>> regression_routes(const std::string& dir) {
    const CommandResult kinship = run_zelkora({"--kinship", "--pedigree", "cows.ped", "--kin-bin", "--out", "A"}, dir);
    EXPECT_EQ(kinship.status, 0) << kinship.err;
    return {{"--pedigree", "cows.ped"}, {"--kin-file", "A.bin"}};
}

std::vector<std::string> with_route(std::vector<std::string> arguments, const std::vector<std::string>& route) {
    arguments.insert(arguments.begin() + 1, route.begin(), route.end());
    return arguments;
}

}  // namespace

// At given covariances, every coefficient, the value at each day asked and the sum over the
// lactation are the dense BLUP's, with its prediction error SEs.
TEST(RandomRegression, EffectsAlongTheCurveAreTheDenseBlup) {
    const std::string dir = make_scratch_dir();
    const TestDays data = simulated_test_days();
    write_test_days(data, dir);
    const DenseRegression dense = dense_regression(data);
    Eigen::Matrix2d G0, P0;
    G0 << 8.0, -0.5, -0.5, 1.2;
    P0 << 3.0, 0.2, 0.2, 0.6;
    const Eigen::MatrixXd G = kron(dense.A, G0), P = kron(Eigen::MatrixXd::Identity(dense.cows, dense.cows), P0);
    const auto n = static_cast<Eigen::Index>(data.cow.size());
    const Eigen::MatrixXd V = dense.Za * G * dense.Za.transpose() + dense.Zp * P * dense.Zp.transpose() +
                              2.5 * Eigen::MatrixXd::Identity(n, n);
    const Eigen::MatrixXd Vi = V.inverse();
    const Eigen::MatrixXd Proj = Vi - Vi * dense.X * (dense.X.transpose() * Vi * dense.X).inverse() * dense.X.transpose() * Vi;
    const Eigen::VectorXd a = G * dense.Za.transpose() * Proj * data.milk;
    const Eigen::MatrixXd a_error = G - G * dense.Za.transpose() * Proj * dense.Za * G;
    const Eigen::VectorXd p = P * dense.Zp.transpose() * Proj * data.milk;
    const Eigen::MatrixXd p_error = P - P * dense.Zp.transpose() * Proj * dense.Zp * P;

    Eigen::Vector2d whole = Eigen::Vector2d::Zero();
    for (int day = 5; day <= 305; ++day) whole += legendre(day);
    const std::vector<std::pair<std::string, Eigen::Vector2d>> weights = {
        {"leg0", Eigen::Vector2d(1.0, 0.0)}, {"leg1", Eigen::Vector2d(0.0, 1.0)}, {"@DIM=60", legendre(60)},
        {"@DIM=155", legendre(155)},         {":total", whole}};
    for (const std::vector<std::string>& route : regression_routes(dir)) {
        SCOPED_TRACE(route.front());
        const CommandResult run = run_zelkora(with_route({"--predict", "--phefile", "days.phe", "--model",
                                                          "Milk ~ HTD + animal:leg(DIM, 1) + pe:leg(DIM, 1)", "--vc",
                                                          "8,-0.5,1.2,3,0.2,0.6,2.5", "--rr-points", "60", "--out", "rr"},
                                                         route),
                                              dir);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto effects = effect_rows(dir + "/rr.reliability.txt");
        for (const auto& [suffix, w] : weights) {
            const std::string name = suffix.substr(0, 3) == "leg" ? ":" + suffix : suffix;
            for (int i = 0; i < dense.animals; ++i) {
                const auto key = std::make_pair("animal" + name, "c" + std::to_string(i + 1));
                ASSERT_EQ(effects.count(key), 1U) << key.first << " " << key.second;
                const double value = w.dot(a.segment(2 * i, 2));
                const double se = std::sqrt(w.dot(a_error.block(2 * i, 2 * i, 2, 2) * w));
                EXPECT_NEAR(effects.at(key).first, value, 1e-5 * (1.0 + std::fabs(value))) << key.first << " " << key.second;
                EXPECT_NEAR(effects.at(key).second, se, 1e-5 * se) << key.first << " " << key.second;
            }
            for (int c = 0; c < dense.cows; ++c) {
                const auto key = std::make_pair("pe" + name, "c" + std::to_string(c + 21));
                ASSERT_EQ(effects.count(key), 1U) << key.first << " " << key.second;
                const double value = w.dot(p.segment(2 * c, 2));
                EXPECT_NEAR(effects.at(key).first, value, 1e-5 * (1.0 + std::fabs(value))) << key.first << " " << key.second;
                const double se = std::sqrt(w.dot(p_error.block(2 * c, 2 * c, 2, 2) * w));
                EXPECT_NEAR(effects.at(key).second, se, 1e-5 * se) << key.first << " " << key.second;
            }
        }
    }
}

// REML: logL is the dense restricted likelihood at the estimates, and the variances along the
// curve are phi(x)'G0 phi(x) of the estimated blocks.
TEST(RandomRegression, RemlLikelihoodAndTheCurvesVariances) {
    const std::string dir = make_scratch_dir();
    const TestDays data = simulated_test_days();
    write_test_days(data, dir);
    for (const std::vector<std::string>& route : regression_routes(dir)) {
        SCOPED_TRACE(route.front());
        const CommandResult run = run_zelkora(with_route({"--reml", "--phefile", "days.phe", "--model",
                                                          "Milk ~ HTD + animal:leg(DIM, 1) + pe:leg(DIM, 1)", "--out", "rr"},
                                                         route),
                                              dir);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto table = variance_table(dir + "/rr.vc.txt");
        Eigen::Matrix2d G0, P0;
        G0 << table.at("V(animal:leg0)").first, table.at("C(animal:leg0,animal:leg1)").first,
            table.at("C(animal:leg0,animal:leg1)").first, table.at("V(animal:leg1)").first;
        P0 << table.at("V(pe:leg0)").first, table.at("C(pe:leg0,pe:leg1)").first, table.at("C(pe:leg0,pe:leg1)").first,
            table.at("V(pe:leg1)").first;
        const double residual = table.at("V(e)").first;

        const DenseRegression dense = dense_regression(data);
        const auto n = static_cast<Eigen::Index>(data.cow.size());
        const Eigen::MatrixXd V = dense.Za * kron(dense.A, G0) * dense.Za.transpose() +
                                  dense.Zp * kron(Eigen::MatrixXd::Identity(dense.cows, dense.cows), P0) * dense.Zp.transpose() +
                                  residual * Eigen::MatrixXd::Identity(n, n);
        const Eigen::LLT<Eigen::MatrixXd> chol(V);
        const Eigen::MatrixXd ViX = chol.solve(dense.X);
        const Eigen::MatrixXd XViX = dense.X.transpose() * ViX;
        const Eigen::VectorXd Viy = chol.solve(data.milk);
        const Eigen::VectorXd Xy = dense.X.transpose() * Viy;
        const double logL = -0.5 * (2.0 * Eigen::MatrixXd(chol.matrixL()).diagonal().array().log().sum() +
                                    std::log(XViX.determinant()) + data.milk.dot(Viy) - Xy.dot(XViX.ldlt().solve(Xy)));
        EXPECT_NEAR(table.at("logL").first, logL, 1e-6 * std::fabs(logL));

        for (const double day : {5.0, 155.0, 305.0}) {
            std::ostringstream where;
            where << "@DIM=" << day;
            const Eigen::Vector2d phi = legendre(day);
            const double genetic = phi.dot(G0 * phi), total = genetic + phi.dot(P0 * phi) + residual;
            EXPECT_NEAR(table.at("V(animal)" + where.str()).first, genetic, 1e-6 * genetic);
            EXPECT_NEAR(table.at("Vp" + where.str()).first, total, 1e-6 * total);
            EXPECT_NEAR(table.at("animal/Vp" + where.str()).first, genetic / total, 1e-6);
            EXPECT_GT(table.at("animal/Vp" + where.str()).second, 0.0);
        }
    }
}

// A residual per class: each class's variance along the curve takes its own residual.
TEST(RandomRegression, ResidualClassesAlongTheCurve) {
    const std::string dir = make_scratch_dir();
    write_test_days(simulated_test_days(), dir);
    const CommandResult run = run_zelkora({"--predict", "--pedigree", "cows.ped", "--phefile", "days.phe", "--model",
                                           "Milk ~ HTD + animal:leg(DIM, 1)", "--residual-by", "HTD", "--vc",
                                           "8,-0.5,1.2,2,3,4,2,3,4", "--out", "rr"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto table = variance_table(dir + "/rr.vc.txt");
    const Eigen::Vector2d phi = legendre(155);
    const double genetic = 8.0 * phi[0] * phi[0] - 2.0 * 0.5 * phi[0] * phi[1] + 1.2 * phi[1] * phi[1];
    for (int herd = 0; herd < 6; ++herd) {
        const std::string level = "H" + std::to_string(herd);
        const double residual = table.at("V(e:" + level + ")").first;
        EXPECT_NEAR(table.at("Vp(e:" + level + ")@DIM=155").first, genetic + residual, 1e-9) << level;
        EXPECT_NEAR(table.at("animal/Vp(e:" + level + ")@DIM=155").first, genetic / (genetic + residual), 1e-9) << level;
    }
}

// What the route cannot fit is named before anything is estimated.
TEST(RandomRegression, RefusesWhatItCannotFit) {
    const std::string dir = make_scratch_dir();
    write_test_days(simulated_test_days(), dir);
    const auto refusal = [&](const std::vector<std::string>& more) {
        std::vector<std::string> arguments = {"--reml", "--phefile", "days.phe", "--out", "r"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return run_zelkora(arguments, dir).err;
    };
    const std::string model = "Milk ~ HTD + animal:leg(DIM, 1)";
    EXPECT_NE(refusal({"--pedigree", "cows.ped", "--model", model, "--rr-points", "400"})
                  .find("--rr-points: 400 is outside the range of DIM among the records used, 5 to 305"),
              std::string::npos);
    EXPECT_NE(refusal({"--pedigree", "cows.ped", "--model", "Milk ~ HTD + animal", "--rr-points", "50"})
                  .find("--rr-points gives the points of a random regression's curves"),
              std::string::npos);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "cows.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    EXPECT_NE(refusal({"--kin-file", "A.bin", "--model", model, "--snp-effects"})
                  .find("a random regression with --ped-groups or --snp-effects is not available"),
              std::string::npos);
}

// Monte Carlo REML of the random regression (its traces from records simulated down the
// pedigree): every component within 4 of its Monte Carlo SEs of the exact REML's.
TEST(RandomRegression, MonteCarloRemlNearTheExact) {
    const std::string dir = make_scratch_dir();
    write_test_days(simulated_test_days(), dir);
    const auto run = [&](const std::vector<std::string>& method) {
        std::vector<std::string> arguments = {"--reml", "--pedigree", "cows.ped", "--phefile", "days.phe", "--model",
                                              "Milk ~ HTD + animal:leg(DIM, 1) + pe:leg(DIM, 1)"};
        arguments.insert(arguments.end(), method.begin(), method.end());
        return run_zelkora(arguments, dir);
    };
    if (sparse_factor_available()) {
        ASSERT_EQ(run({"--reml-method", "exact", "--out", "exact"}).status, 0);
    }
    const CommandResult mc = run({"--reml-method", "mc", "--mc-samples", "200", "--out", "mc"});
    ASSERT_EQ(mc.status, 0) << mc.err;
    const std::string log = read_file(dir + "/mc.log");
    EXPECT_NE(log.find("the traces from records simulated from them"), std::string::npos);
    std::map<std::string, double> errors = monte_carlo_errors(log);
    ASSERT_FALSE(errors.empty()) << log;
    if (!sparse_factor_available()) return;
    const auto exact = variance_table(dir + "/exact.vc.txt"), estimated = variance_table(dir + "/mc.vc.txt");
    EXPECT_TRUE(std::isnan(estimated.at("logL").first));
    for (const char* source : {"V(animal:leg0)", "C(animal:leg0,animal:leg1)", "V(animal:leg1)", "V(pe:leg0)", "V(e)"}) {
        ASSERT_GT(errors[source], 0.0) << source;
        EXPECT_LT(std::fabs(estimated.at(source).first - exact.at(source).first), 4.0 * errors[source]) << source;
    }
}

// The simulator's test days: cows of the younger half, 1 to --test-days records each at 5 to 305
// days in milk; and the random regression fitted on them.
TEST(RandomRegression, SimulatedTestDays) {
    const std::string dir = make_scratch_dir();
    ASSERT_EQ(run_program(ZELKORA_SIMULATE_EXE,
                          {"--out", "sim", "--individuals", "400", "--genotyped", "10", "--markers", "200",
                           "--test-days", "4", "--seed", "3"},
                          dir)
                  .status,
              0);
    const std::vector<std::string> lines = lines_of(read_file(dir + "/sim.td.phe"));
    ASSERT_GT(lines.size(), 100U);
    EXPECT_EQ(lines.front(), "ID\tHTD\tDIM\tMilk");
    std::map<std::string, int> days_of;
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string id, htd;
        int day = 0;
        double milk = 0.0;
        fields >> id >> htd >> day >> milk;
        ++days_of[id];
        EXPECT_GE(std::stoi(id.substr(1)), 201) << lines[k];
        EXPECT_TRUE(day >= 5 && day <= 305) << lines[k];
        EXPECT_TRUE(std::isfinite(milk)) << lines[k];
    }
    for (const auto& [id, days] : days_of) EXPECT_LE(days, 4) << id;
    const CommandResult fit = run_zelkora({"--reml", "--pedigree", "sim.ped", "--phefile", "sim.td.phe", "--model",
                                           "Milk ~ HTD + leg(DIM, 2) + animal:leg(DIM, 1) + pe:leg(DIM, 1)", "--out",
                                           "fit"},
                                          dir);
    EXPECT_EQ(fit.status, 0) << fit.err;
}
