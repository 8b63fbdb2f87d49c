// Whole runs of two traits with one kinship: the variance components file's rows, the traits'
// units, breeding values of every individual against the dense multi-trait mixed model
// equations solved directly at the same variances, and a trait pair never recorded together.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

constexpr int kIndividuals = 55;  // in the kinship
constexpr int kRecorded = 50;     // I0..I49 have records

struct TwoTraits {
    Eigen::MatrixXd K = random_kinship(kIndividuals, 200, 71, 0.05);
    Eigen::MatrixXd Y;  // kRecorded x 2, NaN where missing

    TwoTraits() {
        std::mt19937 engine(72);
        std::normal_distribution<double> normal;
        Eigen::MatrixXd Zu(kIndividuals, 2), Ze(kRecorded, 2);
        for (Eigen::Index i = 0; i < Zu.size(); ++i) Zu(i) = normal(engine);
        for (Eigen::Index i = 0; i < Ze.size(); ++i) Ze(i) = normal(engine);
        Eigen::Matrix2d Lg, Le;  // Cholesky factors of Vg = [4 2; 2 3], Ve = [3 0.5; 0.5 2]
        Lg << 2.0, 0.0, 1.0, std::sqrt(2.0);
        Le << std::sqrt(3.0), 0.0, 0.5 / std::sqrt(3.0), std::sqrt(2.0 - 0.25 / 3.0);
        const Eigen::MatrixXd U = Eigen::MatrixXd(K.llt().matrixL()) * Zu * Lg.transpose();
        Y = U.topRows(kRecorded) + Ze * Le.transpose();
        Y.col(0).array() += 20.0;
        Y.col(1).array() += 5.0;
        for (int i = 0; i < kRecorded; i += 5) Y(i, 1) = std::nan("");  // 10 of T2 missing
    }

    std::string kinship_text() const {
        std::ostringstream text;
        for (int j = 0; j < kIndividuals; ++j) text << "\tI" << j;
        text << "\n";
        char number[32];
        for (int i = 0; i < kIndividuals; ++i) {
            text << "I" << i;
            for (int j = 0; j < kIndividuals; ++j) {
                std::snprintf(number, sizeof(number), "%.10f", K(i, j));
                text << "\t" << number;
            }
            text << "\n";
        }
        return text.str();
    }
    // `factor` multiplies T2 (its units).
    std::string phenotypes(double factor, const Eigen::MatrixXd& values) const {
        std::ostringstream text;
        text.precision(12);
        text << "ID\tT1\tT2\n";
        for (int i = 0; i < kRecorded; ++i) {
            text << "I" << i;
            for (int a = 0; a < 2; ++a) {
                const double v = values(i, a) * (a == 1 ? factor : 1.0);
                if (std::isnan(v)) {
                    text << "\tNA";
                } else {
                    text << "\t" << v;
                }
            }
            text << "\n";
        }
        return text.str();
    }
};

std::map<std::string, double> read_vc(const std::string& path, std::vector<std::string>* order = nullptr) {
    std::map<std::string, double> rows;
    const std::vector<std::string> lines = lines_of(read_file(path));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::istringstream fields(lines[i]);
        std::string source, estimate;
        std::getline(fields, source, '\t');
        std::getline(fields, estimate, '\t');
        rows[source] = estimate == "NA" ? std::nan("") : std::stod(estimate);
        if (order) order->push_back(source);
    }
    return rows;
}

const std::vector<std::string> kTwoTraitReml = {"--reml", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos", "2,3",
                                        "--out", "r"};

// Henderson's equations of two traits: an intercept per trait (and with `herd_on_t1` a second
// herd, the odd individuals, for T1 only), U for all 55 individuals and both traits, R^-1 over the
// traits each individual has. The solution and the inverse of the coefficient matrix.
struct Henderson {
    Eigen::VectorXd solution;
    Eigen::MatrixXd inverse;
    Eigen::Index fixed = 2;
};
// `residual_of(i)`: individual i's residual covariance, when not Ve for all.
Henderson henderson(const TwoTraits& data, const Eigen::Matrix2d& Vg, const Eigen::Matrix2d& Ve, bool herd_on_t1,
                    const std::function<Eigen::Matrix2d(int)>& residual_of = nullptr) {
    std::vector<std::pair<int, int>> values;  // (individual, trait)
    for (int a = 0; a < 2; ++a) {
        for (int i = 0; i < kRecorded; ++i) {
            if (!std::isnan(data.Y(i, a))) values.emplace_back(i, a);
        }
    }
    Henderson result;
    result.fixed = herd_on_t1 ? 3 : 2;
    const auto n = static_cast<Eigen::Index>(values.size()), N = static_cast<Eigen::Index>(kIndividuals);
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(n, result.fixed + 2 * N), R = Eigen::MatrixXd::Zero(n, n);
    Eigen::VectorXd y(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        const auto [i, a] = values[static_cast<std::size_t>(k)];
        W(k, a) = 1.0;
        if (herd_on_t1 && a == 0 && i % 2 == 1) W(k, 2) = 1.0;
        W(k, result.fixed + a * N + i) = 1.0;
        y[k] = data.Y(i, a);
        for (Eigen::Index l = 0; l < n; ++l) {
            const auto [j, b] = values[static_cast<std::size_t>(l)];
            if (i == j) R(k, l) = residual_of ? residual_of(i)(a, b) : Ve(a, b);
        }
    }
    Eigen::MatrixXd G(2 * N, 2 * N);
    for (int a = 0; a < 2; ++a) {
        for (int b = 0; b < 2; ++b) G.block(a * N, b * N, N, N) = Vg(a, b) * data.K;
    }
    const Eigen::MatrixXd Ri = R.inverse();
    Eigen::MatrixXd C = W.transpose() * Ri * W;
    C.bottomRightCorner(2 * N, 2 * N) += G.inverse();
    result.inverse = C.inverse();
    result.solution = result.inverse * (W.transpose() * Ri * y);
    return result;
}

// Every breeding value of PREFIX.random.txt against the equations' solution; how many there were.
int expect_values_solve(const Henderson& equations, const std::string& path) {
    int checked = 0;
    for (const std::string& line : lines_of(read_file(path))) {
        std::istringstream fields(line);
        std::string effect, trait, id;
        double value = 0.0;
        if (!(fields >> effect >> trait >> id >> value)) continue;  // the header
        const Eigen::Index u =
            equations.fixed + (trait == "T1" ? 0 : Eigen::Index{kIndividuals}) + std::stoi(id.substr(1));
        EXPECT_NEAR(value, equations.solution[u], 1e-5 * (1.0 + std::fabs(equations.solution[u]))) << line;
        ++checked;
    }
    return checked;
}

}  // namespace

TEST(SeveralTraitsRuns, VarianceRowsFollowTheTraitsUnits) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir(), scaled = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    write_file(dir + "/p.txt", data.phenotypes(1.0, data.Y));
    write_file(scaled + "/k.txt", data.kinship_text());
    write_file(scaled + "/p.txt", data.phenotypes(10.0, data.Y));
    const CommandResult run = run_zelkora(kTwoTraitReml, dir), run10 = run_zelkora(kTwoTraitReml, scaled);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_EQ(run10.status, 0) << run10.out << run10.err;
    std::vector<std::string> order;
    const auto vc = read_vc(dir + "/r.vc.txt", &order);
    const auto vc10 = read_vc(scaled + "/r.vc.txt");
    EXPECT_EQ(order, (std::vector<std::string>{"Vg(T1)", "Vg(T1,T2)", "Vg(T2)", "Ve(T1)", "Ve(T1,T2)", "Ve(T2)",
                                               "Vp(T1)", "Vp(T2)", "h2(T1)", "h2(T2)", "rg(T1,T2)", "re(T1,T2)",
                                               "logL", "n_records", "n_individuals"}));
    EXPECT_EQ(vc.at("n_records"), 90.0);
    EXPECT_EQ(vc.at("n_individuals"), 50.0);
    // T2 in units ten times smaller: its variances times 100, covariances times 10, shares and
    // correlations unchanged, logL lower by (40 - 1) log 10.
    const std::map<std::string, double> factor = {{"Vg(T1)", 1.0}, {"Vg(T1,T2)", 10.0}, {"Vg(T2)", 100.0},
                                                  {"Ve(T1)", 1.0}, {"Ve(T1,T2)", 10.0}, {"Ve(T2)", 100.0},
                                                  {"h2(T1)", 1.0}, {"h2(T2)", 1.0}, {"rg(T1,T2)", 1.0},
                                                  {"re(T1,T2)", 1.0}};
    for (const auto& [source, f] : factor) {
        EXPECT_NEAR(vc10.at(source), f * vc.at(source), 1e-4 * std::fabs(f * vc.at(source)) + 1e-6) << source;
    }
    EXPECT_NEAR(vc10.at("logL"), vc.at("logL") - 39.0 * std::log(10.0), 1e-3);
    EXPECT_NE(run.out.find("h2(T2)"), std::string::npos);
    // rg = Vg(T1,T2) / sqrt(Vg(T1) Vg(T2)), h2 = Vg / Vp.
    EXPECT_NEAR(vc.at("rg(T1,T2)"), vc.at("Vg(T1,T2)") / std::sqrt(vc.at("Vg(T1)") * vc.at("Vg(T2)")), 1e-5);
    EXPECT_NEAR(vc.at("h2(T1)"), vc.at("Vg(T1)") / (vc.at("Vg(T1)") + vc.at("Ve(T1)")), 1e-5);
}

// A genetic covariance given below 0 is taken as it is (a variance below 0 is refused).
TEST(SeveralTraitsRuns, BreedingValuesSolveTheMultiTraitEquations) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    write_file(dir + "/p.txt", data.phenotypes(1.0, data.Y));
    for (const double covariance : {1.5, -1.5}) {
        SCOPED_TRACE(covariance);
        Eigen::Matrix2d Vg, Ve;
        Vg << 3.5, covariance, covariance, 2.5;
        Ve << 2.5, 0.4, 0.4, 2.0;
        const CommandResult run = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos", "2,3",
                                               "--vc", covariance > 0 ? "3.5,1.5,2.5,2.5,0.4,2.0" : "3.5,-1.5,2.5,2.5,0.4,2.0",
                                               "--out", "r"},
                                              dir);
        ASSERT_EQ(run.status, 0) << run.out << run.err;

        const Henderson equations = henderson(data, Vg, Ve, false);
        const Eigen::MatrixXd& Ci = equations.inverse;
        const Eigen::VectorXd& solution = equations.solution;
        const auto N = static_cast<Eigen::Index>(kIndividuals);

        const std::vector<std::string> lines = lines_of(read_file(dir + "/r.reliability.txt"));
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(1 + 2 * N));
        EXPECT_EQ(lines[0], "Effect\tTrait\tID\tEBV\tSE\tReliability");
        for (std::size_t r = 1; r < lines.size(); ++r) {
            std::istringstream fields(lines[r]);
            std::string effect, trait, id;
            double ebv = 0.0, se = 0.0, reliability = 0.0;
            fields >> effect >> trait >> id >> ebv >> se >> reliability;
            const int a = trait == "T1" ? 0 : 1;
            const int i = std::stoi(id.substr(1));
            EXPECT_EQ(effect, "Add");
            const Eigen::Index u = equations.fixed + a * N + i;
            EXPECT_NEAR(ebv, solution[u], 1e-5 * (1.0 + std::fabs(solution[u]))) << lines[r];
            EXPECT_NEAR(se, std::sqrt(Ci(u, u)), 1e-5 * (1.0 + std::sqrt(Ci(u, u)))) << lines[r];
            EXPECT_NEAR(reliability, 1.0 - Ci(u, u) / (Vg(a, a) * data.K(i, i)), 1e-5) << lines[r];
        }
        const auto vc = read_vc(dir + "/r.vc.txt");
        EXPECT_EQ(vc.at("Vg(T1,T2)"), covariance);
        // The log-likelihood at the given values, as with one trait.
        EXPECT_TRUE(std::isfinite(vc.at("logL")));
    }
    const CommandResult negative = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos",
                                                "2", "--vc", "-1,2", "--out", "n"},
                                               dir);
    EXPECT_EQ(negative.status, 1);
    EXPECT_NE(negative.err.find("the variance -1 is negative"), std::string::npos) << negative.err;
}

TEST(SeveralTraitsRuns, TraitsNeverRecordedTogetherKeepTheirResidualCovarianceAtZero) {
    const TwoTraits data;
    Eigen::MatrixXd apart = data.Y;
    for (int i = 0; i < kRecorded; ++i) apart(i, i < 25 ? 1 : 0) = std::nan("");
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    write_file(dir + "/p.txt", data.phenotypes(1.0, apart));
    const CommandResult run = run_zelkora(kTwoTraitReml, dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Traits T1 and T2 are never recorded on the same individual: their residual covariance "
                           "cannot be estimated and is fixed at 0."),
              std::string::npos)
        << run.out;
    const auto vc = read_vc(dir + "/r.vc.txt");
    EXPECT_EQ(vc.at("Ve(T1,T2)"), 0.0);
    EXPECT_EQ(vc.at("re(T1,T2)"), 0.0);

    // One trait column keeps the one-trait run and its files.
    const CommandResult one = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos", "2",
                                           "--out", "one"},
                                          dir);
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_EQ(lines_of(read_file(dir + "/one.reliability.txt"))[0], "ID\tEBV\tSE\tReliability");
}

TEST(SeveralTraitsRuns, AnEstimateOnTheBoundaryNamesTheCombinationWithoutGeneticVariance) {
    // The example's two traits with G of its 400 genotyped animals: too few Carcass records to
    // keep the genetic correlation below 1.
    const std::string dir = make_scratch_dir();
    const std::string demo = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", demo, "--out", "G"}, dir).status, 0);
    const CommandResult run = run_zelkora({"--reml", "--kin-file", "G.kinship.txt", "--phefile", demo + ".mt.phe",
                                           "--phe-pos", "4,5", "--covar-pos", "2,3", "--out", "r"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto vc = read_vc(dir + "/r.vc.txt");
    ASSERT_NEAR(vc.at("rg(Growth,Carcass)"), 1.0, 1e-6);
    // "... it is singular along <a> Growth + <b> Carcass, ...": Vg times that direction is 0.
    std::smatch found;
    ASSERT_TRUE(std::regex_search(run.out, found,
                                  std::regex("singular along (-?[0-9.e+-]+) Growth \\+ ([0-9.e+-]+) Carcass")))
        << run.out;
    const Eigen::Vector2d direction(std::stod(found[1]), std::stod(found[2]));
    Eigen::Matrix2d Vg;
    Vg << vc.at("Vg(Growth)"), vc.at("Vg(Growth,Carcass)"), vc.at("Vg(Growth,Carcass)"), vc.at("Vg(Carcass)");
    EXPECT_LT((Vg * direction).norm(), 1e-4 * Vg.norm() * direction.norm());

    // Its rows copied into --vc predict at the estimate: as written (they read back exactly, with
    // the estimate's log-likelihood), and rounded to the console's 6 digits (Vg then slightly
    // indefinite, mended and said). A Ve of correlation 1 is singular and refused.
    const std::vector<std::string> rows = {"Vg(Growth)", "Vg(Growth,Carcass)", "Vg(Carcass)",
                                           "Ve(Growth)", "Ve(Growth,Carcass)", "Ve(Carcass)"};
    std::string exact, rounded;
    for (const std::string& line : lines_of(read_file(dir + "/r.vc.txt"))) {
        const std::string source = line.substr(0, line.find('\t'));
        if (std::find(rows.begin(), rows.end(), source) == rows.end()) continue;
        const std::string value = line.substr(source.size() + 1, line.find('\t', source.size() + 1) - source.size() - 1);
        EXPECT_EQ(std::stod(value), vc.at(source));
        char six[32];
        std::snprintf(six, sizeof(six), "%.6g", std::stod(value));
        exact += (exact.empty() ? "" : ",") + value;
        rounded += std::string(rounded.empty() ? "" : ",") + six;
    }
    const std::vector<std::string> predict = {"--predict", "--kin-file", "G.kinship.txt", "--phefile", demo + ".mt.phe",
                                              "--phe-pos", "4,5", "--covar-pos", "2,3", "--vc"};
    auto with_vc = [&](const std::string& values, const std::string& out) {
        std::vector<std::string> args = predict;
        args.insert(args.end(), {values, "--out", out});
        return run_zelkora(args, dir);
    };
    const CommandResult as_written = with_vc(exact, "exact");
    ASSERT_EQ(as_written.status, 0) << as_written.out << as_written.err;
    EXPECT_NEAR(read_vc(dir + "/exact.vc.txt").at("logL"), vc.at("logL"), 1e-6 * std::fabs(vc.at("logL")));
    const CommandResult six_digits = with_vc(rounded, "rounded");
    ASSERT_EQ(six_digits.status, 0) << six_digits.out << six_digits.err;
    EXPECT_NEAR(read_vc(dir + "/rounded.vc.txt").at("logL"), vc.at("logL"), 1e-3);
    const CommandResult within = with_vc("4,2.000001,1,3,0.5,2", "within");
    ASSERT_EQ(within.status, 0) << within.out << within.err;
    EXPECT_NE(within.out.find("Vg has a negative eigenvalue within the rounding of 6 digits"), std::string::npos)
        << within.out;
    const CommandResult beyond = with_vc("4,2.01,1,3,0.5,2", "beyond");
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("Vg do not form a positive semi-definite matrix"), std::string::npos) << beyond.err;
    const CommandResult singular = with_vc("4,1,1,2,2,2", "singular");
    EXPECT_EQ(singular.status, 1);
    EXPECT_NE(singular.err.find("the residual correlation of Growth and Carcass is -1 or +1, so Ve is singular"),
              std::string::npos) << singular.err;
    EXPECT_FALSE(file_exists(dir + "/singular.random.txt"));
}

// --lrt with several traits tests the additive term as a whole: its model without the genetic
// block is a multivariate regression, whose REML maximum is closed-form (R = E'E / (n - p),
// logL0 = -[(n - p) log|R| + t log|X'X| + t (n - p)] / 2 with an intercept per trait), and the
// p-value is that of chi2 with 3 degrees of freedom.
TEST(SeveralTraitsRuns, TheLikelihoodRatioTestRemovesTheWholeGeneticBlock) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    std::ostringstream text;
    text.precision(12);
    text << "ID\tT1\tT2\n";
    for (int i = 0; i < kRecorded; ++i) {
        if (!std::isnan(data.Y(i, 1))) text << "I" << i << "\t" << data.Y(i, 0) << "\t" << data.Y(i, 1) << "\n";
    }
    write_file(dir + "/p.txt", text.str());
    std::vector<Eigen::Vector2d> rows;
    for (const std::string& line : lines_of(text.str())) {
        std::istringstream fields(line);
        std::string id, a, b;
        fields >> id >> a >> b;
        if (id != "ID") rows.emplace_back(std::stod(a), std::stod(b));
    }
    const auto n = static_cast<double>(rows.size());
    Eigen::Vector2d mean = Eigen::Vector2d::Zero();
    for (const Eigen::Vector2d& r : rows) mean += r / n;
    Eigen::Matrix2d cross = Eigen::Matrix2d::Zero();
    for (const Eigen::Vector2d& r : rows) cross += (r - mean) * (r - mean).transpose();
    const double expected_null = -0.5 * ((n - 1.0) * std::log((cross / (n - 1.0)).determinant()) + 2.0 * std::log(n) +
                                         2.0 * (n - 1.0));

    const CommandResult run = run_zelkora({"--reml", "--kin-file", "k.txt", "--phefile", "p.txt", "--phe-pos", "2,3",
                                           "--lrt", "--out", "r"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto vc = read_vc(dir + "/r.vc.txt");
    const std::string file = read_file(dir + "/r.vc.txt");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(file, match, std::regex("\nLRT\\(Add\\)\t([^\t]+)\t([^\n]+)\n")));
    const double statistic = std::stod(match[1]), p = std::stod(match[2]);
    EXPECT_NEAR(vc.at("logL") - statistic / 2.0, expected_null, 1e-6 * std::fabs(expected_null));
    EXPECT_NEAR(p, std::erfc(std::sqrt(statistic / 2.0)) + std::sqrt(2.0 * statistic / M_PI) * std::exp(-statistic / 2.0),
                1e-9);
}

// One weight for every individual's traits: the same weight everywhere only rescales Ve (w = 2
// halves each residual covariance, so their estimates double), with Vg and logL unchanged.
TEST(SeveralTraitsRuns, WeightsDivideTheResidualCovariance) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    std::string weighted = std::regex_replace(data.phenotypes(1.0, data.Y), std::regex("\n"), "\t2\n");
    weighted.replace(weighted.find("T2\t2\n"), 5, "T2\tW\n");
    write_file(dir + "/w.phe", weighted);
    for (const char* weights : {"", "W"}) {
        std::vector<std::string> args{"--reml", "--kin-file", "k.txt", "--phefile", "w.phe", "--model",
                                      "T1, T2 ~ animal", "--out", *weights ? "weighted" : "plain"};
        if (*weights) args.insert(args.end(), {"--weights", weights});
        const CommandResult run = run_zelkora(args, dir);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    const auto plain = read_vc(dir + "/plain.vc.txt"), weighted_rows = read_vc(dir + "/weighted.vc.txt");
    // Both converge to REML's tolerance: their differences are small against the traits' variances.
    const double scale = 1e-4 * (plain.at("Vp(T1)") + plain.at("Vp(T2)"));
    for (const char* name : {"Vg(T1)", "Vg(T1,T2)", "Vg(T2)"}) {
        EXPECT_NEAR(weighted_rows.at(name), plain.at(name), scale) << name;
    }
    EXPECT_NEAR(weighted_rows.at("logL"), plain.at("logL"), 1e-6 * std::abs(plain.at("logL")));
    for (const char* name : {"Ve(T1)", "Ve(T1,T2)", "Ve(T2)"}) {
        EXPECT_NEAR(weighted_rows.at(name), 2.0 * plain.at(name), scale) << name;
    }
}

// Each trait its own fixed effects (a herd for T1 only), at given variances: the breeding values
// and the herd's estimate against Henderson's equations with the herd in T1's rows alone.
TEST(SeveralTraitsRuns, EachTraitItsOwnFixedEffects) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    std::string text = data.phenotypes(1.0, data.Y);
    std::ostringstream with_herd;
    const std::vector<std::string> lines = lines_of(text);
    for (std::size_t r = 0; r < lines.size(); ++r) {
        with_herd << lines[r] << (r == 0 ? "\tHerd" : (r % 2 == 0 ? "\tH2" : "\tH1")) << "\n";  // line r: I(r-1)
    }
    write_file(dir + "/p.txt", with_herd.str());
    const CommandResult run = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--model",
                                           "T1 ~ Herd + animal; T2 ~ animal", "--vc", "3.5,1.5,2.5,2.5,0.4,2.0",
                                           "--out", "own"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Eigen::Matrix2d Vg, Ve;
    Vg << 3.5, 1.5, 1.5, 2.5;
    Ve << 2.5, 0.4, 0.4, 2.0;
    const Henderson equations = henderson(data, Vg, Ve, true);
    expect_values_solve(equations, dir + "/own.random.txt");
    std::smatch herd;
    const std::string fixed = read_file(dir + "/own.fixed.txt");
    ASSERT_TRUE(std::regex_search(fixed, herd, std::regex("T1\tHerd\tH2\t(\\S+)\t(\\S+)\testimated"))) << fixed;
    EXPECT_NEAR(std::stod(herd[1]), equations.solution[2], 1e-6);
    EXPECT_NEAR(std::stod(herd[2]), std::sqrt(equations.inverse(2, 2)), 1e-6);
    EXPECT_EQ(fixed.find("T2\tHerd"), std::string::npos) << fixed;
}

// A residual covariance matrix per class of a column (classes B, then A, in the order first
// met): --vc takes Vg and then each class's Ve in that order; the breeding values solve
// Henderson's equations with each individual's R from its class.
TEST(SeveralTraitsRuns, ResidualCovarianceByClass) {
    const TwoTraits data;
    const std::string dir = make_scratch_dir();
    write_file(dir + "/k.txt", data.kinship_text());
    const std::vector<std::string> lines = lines_of(data.phenotypes(1.0, data.Y));
    std::ostringstream with_class;
    for (std::size_t r = 0; r < lines.size(); ++r) {
        with_class << lines[r] << (r == 0 ? "\tC" : (r % 3 == 1 ? "\tB" : "\tA")) << "\n";  // line r: I(r-1)
    }
    write_file(dir + "/p.txt", with_class.str());
    const CommandResult run = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--model",
                                           "T1, T2 ~ animal", "--residual-by", "C", "--vc",
                                           "3.5,1.5,2.5, 4.0,-1.0,3.0, 1.5,0.4,2.0", "--out", "byc"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Eigen::Matrix2d Vg, Ve_b, Ve_a;
    Vg << 3.5, 1.5, 1.5, 2.5;
    Ve_b << 4.0, -1.0, -1.0, 3.0;
    Ve_a << 1.5, 0.4, 0.4, 2.0;
    const Henderson equations = henderson(data, Vg, Ve_a, false, [&](int i) { return i % 3 == 0 ? Ve_b : Ve_a; });
    EXPECT_EQ(expect_values_solve(equations, dir + "/byc.random.txt"), 2 * kIndividuals);
    std::vector<std::string> order;
    const auto rows = read_vc(dir + "/byc.vc.txt", &order);
    EXPECT_EQ(std::vector<std::string>(order.begin() + 3, order.begin() + 9),
              (std::vector<std::string>{"Ve:B(T1)", "Ve:B(T1,T2)", "Ve:B(T2)", "Ve:A(T1)", "Ve:A(T1,T2)", "Ve:A(T2)"}));
    EXPECT_NEAR(rows.at("h2:B(T1)"), 3.5 / 7.5, 1e-12);
    EXPECT_NEAR(rows.at("re:A(T1,T2)"), 0.4 / std::sqrt(1.5 * 2.0), 1e-12);

    // Each class's values, in its own order, and none short.
    const CommandResult short_of = run_zelkora({"--predict", "--kin-file", "k.txt", "--phefile", "p.txt", "--model",
                                                "T1, T2 ~ animal", "--residual-by", "C", "--vc", "3.5,1.5,2.5,4,-1,3",
                                                "--out", "short"}, dir);
    EXPECT_NE(short_of.status, 0);
    EXPECT_NE(short_of.err.find("Ve:A(T1), Ve:A(T1,T2), Ve:A(T2), in this order."), std::string::npos) << short_of.err;
}
