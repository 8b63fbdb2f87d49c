// Whole runs of the models with several random effects: two kinships over different
// individuals, repeated records with a permanent environment, a random class. Breeding values,
// their reliabilities and the fixed effects against a direct solve of the dense mixed model
// equations at the same variances, formed here from their textbook definition.

#include <algorithm>
#include <cmath>
#include <regex>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kinship_io/kinship_io.h"
#include "mixed_model/dense_components.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

std::vector<std::string> names(const std::string& prefix, int count) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) ids.push_back(prefix + std::to_string(i));
    return ids;
}

// K1 over I0..I69, K2 over I0..I74; records (1 to 3 each, in herds of a random class) for
// I0..I59 and for I70..I74, which K1 lacks: those are left out. I60..I69 have no record.
struct Data {
    Eigen::MatrixXd K1 = random_kinship(70, 200, 51, 0.05);
    Eigen::MatrixXd K2 = random_kinship(75, 80, 52, 0.1);
    std::vector<std::string> id1 = names("I", 70), id2 = names("I", 75);
    std::vector<int> individual;  // of every record kept
    std::vector<int> herd;
    std::vector<int> sex;
    std::string phenotypes = "ID\tSex\tHerd\tYield\n";
    Eigen::VectorXd y;

    Data() {
        std::mt19937 engine(53);
        std::normal_distribution<double> normal;
        auto draws = [&](Eigen::Index count) {
            Eigen::VectorXd z(count);
            for (Eigen::Index i = 0; i < count; ++i) z[i] = normal(engine);
            return z;
        };
        // Drawn from the model: K1 3, K2 2, PE 1.5, herd 4, residual 5.
        const Eigen::VectorXd u1 = std::sqrt(3.0) * (Eigen::MatrixXd(K1.llt().matrixL()) * draws(70));
        const Eigen::VectorXd u2 = std::sqrt(2.0) * (Eigen::MatrixXd(K2.llt().matrixL()) * draws(75));
        const Eigen::VectorXd pe = std::sqrt(1.5) * draws(75), herds = 2.0 * draws(5);
        std::vector<double> values;
        for (int i = 0; i < 75; ++i) {
            if (i >= 60 && i < 70) continue;
            for (int r = 0; r <= i % 3; ++r) {
                const int h = (i + 2 * r) % 5, s = i % 2;
                const double value = 20.0 + 2.0 * s + (i < 70 ? u1[i] : 0.0) + u2[i] + pe[i] + herds[h] +
                                     std::sqrt(5.0) * normal(engine);
                std::ostringstream line;
                line.precision(17);
                line << "I" << i << "\t" << (s ? "M" : "F") << "\tH" << h << "\t" << value << "\n";
                phenotypes += line.str();
                if (i < 60) {
                    individual.push_back(i);
                    herd.push_back(h);
                    sex.push_back(s);
                    values.push_back(value);
                }
            }
        }
        y = Eigen::Map<Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
    }
};

// The dense equations [X'X X'Z; Z'X Z'Z + s2e G^-1] at theta = (K1, K2, PE, herd, e), with the
// herds in order of first appearance and the first-met sex as the reference.
struct DenseSolution {
    Eigen::VectorXd b, b_se;            // intercept, sex M - F
    std::map<std::string, Eigen::VectorXd> u, pev;
};

DenseSolution dense_solve(const Data& d, const Eigen::VectorXd& theta) {
    const auto n = static_cast<Eigen::Index>(d.individual.size());
    std::vector<int> herd_order;
    for (int h : d.herd) {
        if (std::find(herd_order.begin(), herd_order.end(), h) == herd_order.end()) herd_order.push_back(h);
    }
    const Eigen::Index q1 = 70, q2 = 75, qp = 60, qh = static_cast<Eigen::Index>(herd_order.size());
    Eigen::MatrixXd X = Eigen::MatrixXd::Zero(n, 2), Z = Eigen::MatrixXd::Zero(n, q1 + q2 + qp + qh);
    const int reference = d.sex[0];
    for (Eigen::Index r = 0; r < n; ++r) {
        const int i = d.individual[static_cast<std::size_t>(r)];
        X(r, 0) = 1.0;
        X(r, 1) = d.sex[static_cast<std::size_t>(r)] != reference;
        Z(r, i) = Z(r, q1 + i) = Z(r, q1 + q2 + i) = 1.0;
        Z(r, q1 + q2 + qp + (std::find(herd_order.begin(), herd_order.end(), d.herd[static_cast<std::size_t>(r)]) - herd_order.begin())) = 1.0;
    }
    Eigen::MatrixXd Ginv = Eigen::MatrixXd::Zero(Z.cols(), Z.cols());
    Ginv.block(0, 0, q1, q1) = d.K1.inverse() / theta[0];
    Ginv.block(q1, q1, q2, q2) = d.K2.inverse() / theta[1];
    Ginv.block(q1 + q2, q1 + q2, qp, qp) = Eigen::MatrixXd::Identity(qp, qp) / theta[2];
    Ginv.block(q1 + q2 + qp, q1 + q2 + qp, qh, qh) = Eigen::MatrixXd::Identity(qh, qh) / theta[3];
    Eigen::MatrixXd W(n, 2 + Z.cols());
    W << X, Z;
    Eigen::MatrixXd C = W.transpose() * W / theta[4];
    C.bottomRightCorner(Z.cols(), Z.cols()) += Ginv;
    const Eigen::MatrixXd C_inverse = C.inverse();
    const Eigen::VectorXd solution = C_inverse * (W.transpose() * d.y / theta[4]);
    DenseSolution s;
    s.b = solution.head(2);
    s.b_se = C_inverse.diagonal().head(2).cwiseSqrt();
    const std::pair<std::string, std::pair<Eigen::Index, Eigen::Index>> blocks[] = {
        {"K1", {2, q1}}, {"K2", {2 + q1, q2}}, {"PE", {2 + q1 + q2, qp}}, {"Herd", {2 + q1 + q2 + qp, qh}}};
    for (const auto& [name, block] : blocks) {
        s.u[name] = solution.segment(block.first, block.second);
        s.pev[name] = C_inverse.diagonal().segment(block.first, block.second);
    }
    return s;
}

// Effect, ID -> (value, SE, reliability) from the reliability file of the long layout.
std::map<std::pair<std::string, std::string>, Eigen::Vector3d> read_predictions(const std::string& path) {
    std::map<std::pair<std::string, std::string>, Eigen::Vector3d> rows;
    const std::vector<std::string> lines = lines_of(read_file(path));
    EXPECT_EQ(lines.front(), "Effect\tTrait\tID\tEBV\tSE\tReliability");
    for (std::size_t l = 1; l < lines.size(); ++l) {
        std::istringstream fields(lines[l]);
        std::string effect, trait, id, value, se, reliability;
        std::getline(fields, effect, '\t');
        std::getline(fields, trait, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, value, '\t');
        std::getline(fields, se, '\t');
        std::getline(fields, reliability, '\t');
        EXPECT_EQ(trait, "Yield");
        rows[{effect, id}] = Eigen::Vector3d(std::stod(value), std::stod(se), reliability == "NA" ? NAN : std::stod(reliability));
    }
    return rows;
}

// The variance components of PREFIX.vc.txt, in their order.
Eigen::VectorXd read_components(const std::string& path) {
    std::vector<double> values;
    for (const std::string& line : lines_of(read_file(path))) {
        if (line.rfind("V(", 0) == 0) values.push_back(std::stod(line.substr(line.find('\t') + 1)));
    }
    return Eigen::Map<Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
}

void expect_dense_predictions(const Data& d, const std::string& dir, const std::string& out, const Eigen::VectorXd& theta,
                              double tolerance) {
    const DenseSolution dense = dense_solve(d, theta);
    const auto rows = read_predictions(dir + "/" + out + ".reliability.txt");
    const std::pair<std::string, double> effects[] = {{"K1", theta[0]}, {"K2", theta[1]}, {"PE", theta[2]}, {"Herd", theta[3]}};
    for (const auto& [effect, variance] : effects) {
        SCOPED_TRACE(effect);
        const Eigen::VectorXd& u = dense.u.at(effect);
        const double sd = std::sqrt((u.array() - u.mean()).square().mean());
        std::vector<std::string> ids = effect == "K1" ? d.id1 : effect == "K2" ? d.id2 : names("I", 60);
        if (effect == "Herd") {
            ids.clear();
            for (int h : d.herd) {
                if (std::find(ids.begin(), ids.end(), "H" + std::to_string(h)) == ids.end()) ids.push_back("H" + std::to_string(h));
            }
        }
        for (Eigen::Index i = 0; i < static_cast<Eigen::Index>(ids.size()); ++i) {
            const auto found = rows.find({effect, ids[static_cast<std::size_t>(i)]});
            ASSERT_NE(found, rows.end()) << ids[static_cast<std::size_t>(i)];
            // Relative to the spread of the values, and to that of the errors (a component at 0
            // has both 0).
            EXPECT_NEAR(found->second[0], u[i], tolerance * sd + 1e-6) << ids[static_cast<std::size_t>(i)];
            EXPECT_NEAR(found->second[1], std::sqrt(dense.pev.at(effect)[i]), tolerance * std::sqrt(variance) + 1e-5)
                << ids[static_cast<std::size_t>(i)];
        }
    }
    // I70..I74 have records only where K1 lacks them: their breeding values in K2 come from
    // their relationships, not from those records.
    EXPECT_EQ(rows.count({"PE", "I70"}), 0u);
}

class SeveralEffectsRuns : public testing::Test {
protected:
    void SetUp() override {
        write_kinship_matrix(data.K1, data.id1, dir + "/K1.txt");
        write_kinship_matrix(data.K2, data.id2, dir + "/K2.txt");
        // The values the runs read: the 4 decimals of the text files.
        data.K1 = read_back("K1.txt");
        data.K2 = read_back("K2.txt");
        write_file(dir + "/list.txt", "K1.txt\n\nK2.txt\n");
        write_file(dir + "/p.txt", data.phenotypes);
    }
    Eigen::MatrixXd read_back(const std::string& name) {
        const KinshipFile file = read_kinship_file(dir + "/" + name);
        return filterKinshipMatrix(file, getKinshipIds(file).second);
    }
    CommandResult predict(const std::vector<std::string>& more, const std::string& out) {
        std::vector<std::string> args = {"--predict", "--mkin-file", "list.txt", "--phefile", "p.txt", "--phe-pos", "4",
                                         "--covar-pos", "2", "--rand-pos", "3", "--pe", "--out", out};
        args.insert(args.end(), more.begin(), more.end());
        return run_zelkora(args, dir);
    }
    Data data;
    std::string dir = make_scratch_dir();
};

}  // namespace

TEST_F(SeveralEffectsRuns, GivenVariancesGiveTheDenseMixedModelSolution) {
    const CommandResult run = predict({"--vc", "3,2,1.5,4,5", "--lrt", "--max-iter", "5"}, "given");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // Nothing is estimated, and the log says what that leaves unused and what the data were.
    const std::string log = read_file(dir + "/given.log");
    EXPECT_NE(log.find("👉 --lrt tests estimated components; with --vc nothing is estimated, so no test is made."),
              std::string::npos);
    EXPECT_NE(log.find("👉 --max-iter limits the REML iterations; with --vc no REML is run, so it is not used."),
              std::string::npos);
    EXPECT_NE(log.find("\t" + std::to_string(data.individual.size()) +
                       " records of 60 individuals in every kinship, with a trait value and complete covariates, will "
                       "be used."),
              std::string::npos);
    EXPECT_NE(run.out.find("11 record(s) of individuals missing from some of the kinships are left out"), std::string::npos);
    expect_dense_predictions(data, dir, "given", (Eigen::VectorXd(5) << 3, 2, 1.5, 4, 5).finished(), 2e-5);
    // Fixed effects: the intercept of the first-met sex and the difference of the other.
    const DenseSolution dense = dense_solve(data, (Eigen::VectorXd(5) << 3, 2, 1.5, 4, 5).finished());
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.out, match, std::regex("\nIntercept\t([^\t]+)\t")));
    EXPECT_NEAR(std::stod(match[1]), dense.b[0], 1e-5 * std::fabs(dense.b[0]));
    // PREFIX.fixed.txt: every level with its status, the estimates and SEs of the dense equations.
    const std::vector<std::string> fixed = lines_of(read_file(dir + "/given.fixed.txt"));
    ASSERT_EQ(fixed.size(), 4u);
    EXPECT_EQ(fixed[0], "Trait\tEffect\tLevel\tEstimate\tSE\tStatus");
    const std::string first = data.sex[0] ? "M" : "F", other = data.sex[0] ? "F" : "M";
    EXPECT_EQ(fixed[2], "Yield\tSex\t" + first + "\t0\t0\treference");
    const std::regex row("Yield\tSex\t" + other + "\t([^\t]+)\t([^\t]+)\testimated");
    ASSERT_TRUE(std::regex_match(fixed[3], match, row)) << fixed[3];
    EXPECT_NEAR(std::stod(match[1]), dense.b[1], 1e-8 * std::fabs(dense.b[1]));
    EXPECT_NEAR(std::stod(match[2]), dense.b_se[1], 1e-8 * dense.b_se[1]);
    ASSERT_TRUE(std::regex_match(fixed[1], match, std::regex("Yield\tIntercept\tNA\t([^\t]+)\t([^\t]+)\testimated")));
    EXPECT_NEAR(std::stod(match[2]), dense.b_se[0], 1e-8 * dense.b_se[0]);
    const std::string vc = read_file(dir + "/given.vc.txt");
    EXPECT_NE(vc.find("V(K1)\t3\tNA\nV(K2)\t2\tNA\nV(PE)\t1.5\tNA\nV(Herd)\t4\tNA\nV(e)\t5\tNA\nVp\t15.5\tNA\n"), std::string::npos) << vc;
    EXPECT_NE(vc.find("n_records\t" + std::to_string(data.individual.size()) + "\tNA\nn_individuals\t60\tNA\n"), std::string::npos);
    // The log-likelihood at the given values: -0.5 (log|V| + log|X'V^-1 X| + y'Py) formed densely.
    const auto n = static_cast<Eigen::Index>(data.individual.size());
    DenseComponents dense_model;
    dense_model.covariances.assign(4, Eigen::MatrixXd::Zero(n, n));
    dense_model.X = Eigen::MatrixXd::Ones(n, 2);
    for (Eigen::Index r = 0; r < n; ++r) {
        const auto sr = static_cast<std::size_t>(r);
        dense_model.X(r, 1) = data.sex[sr] != data.sex[0];
        for (Eigen::Index c = 0; c < n; ++c) {
            const auto sc = static_cast<std::size_t>(c);
            const int i = data.individual[sr], j = data.individual[sc];
            dense_model.covariances[0](r, c) = data.K1(i, j);
            dense_model.covariances[1](r, c) = data.K2(i, j);
            dense_model.covariances[2](r, c) = i == j;
            dense_model.covariances[3](r, c) = data.herd[sr] == data.herd[sc];
        }
    }
    dense_model.y = data.y;
    const double expected = dense_model.log_likelihood((Eigen::VectorXd(5) << 3, 2, 1.5, 4, 5).finished());
    ASSERT_TRUE(std::regex_search(vc, match, std::regex("\nlogL\t([^\t]+)\t")));
    EXPECT_NEAR(std::stod(match[1]), expected, 1e-8 * std::fabs(expected));
}

TEST_F(SeveralEffectsRuns, EstimatesGiveTheDenseSolutionAtThemAndOneKinshipIsTheBandPath) {
    const CommandResult run = predict({}, "fit");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Eigen::VectorXd theta = read_components(dir + "/fit.vc.txt");
    ASSERT_EQ(theta.size(), 5);
    // The printed estimates have 6 digits: the solution at them agrees to about that.
    expect_dense_predictions(data, dir, "fit", theta.cwiseMax(1e-12), 1e-4);

    // --mkin-file with one kinship and nothing else is the --kin-file run.
    write_file(dir + "/one.txt", "K1.txt\n");
    const std::vector<std::string> trait = {"--phefile", "p.txt", "--phe-pos", "4", "--covar-pos", "2"};
    std::vector<std::string> a = {"--predict", "--mkin-file", "one.txt", "--out", "a"}, b = {"--predict", "--kin-file", "K1.txt", "--out", "b"};
    a.insert(a.end(), trait.begin(), trait.end());
    b.insert(b.end(), trait.begin(), trait.end());
    ASSERT_EQ(run_zelkora(a, dir).status, 0);
    ASSERT_EQ(run_zelkora(b, dir).status, 0);
    EXPECT_EQ(read_file(dir + "/a.random.txt"), read_file(dir + "/b.random.txt"));
    EXPECT_EQ(read_file(dir + "/a.reliability.txt"), read_file(dir + "/b.reliability.txt"));
    std::string vc = read_file(dir + "/a.vc.txt");
    for (std::size_t at; (at = vc.find("K1")) != std::string::npos;) vc.replace(at, 2, "Add");
    EXPECT_EQ(vc, read_file(dir + "/b.vc.txt"));
    // The band path's fixed effects of a REML job are those of the dense evaluator at the same
    // estimates (its --model run).
    ASSERT_EQ(run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "p.txt", "--phe-pos", "4", "--covar-pos", "2",
                           "--out", "band"},
                          dir)
                  .status,
              0);
    ASSERT_EQ(run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "p.txt", "--model", "Yield ~ Sex + animal",
                           "--out", "dense"},
                          dir)
                  .status,
              0);
    const std::vector<std::string> band = lines_of(read_file(dir + "/band.fixed.txt")),
                                   dense = lines_of(read_file(dir + "/dense.fixed.txt"));
    ASSERT_EQ(band.size(), 4u);
    ASSERT_EQ(dense.size(), band.size());
    for (std::size_t l = 1; l < band.size(); ++l) {
        std::istringstream band_line(band[l]), dense_line(dense[l]);
        std::string trait_a, effect_a, level_a, status_a, trait_b, effect_b, level_b, status_b;
        double estimate_a = 0, se_a = 0, estimate_b = 0, se_b = 0;
        band_line >> trait_a >> effect_a >> level_a >> estimate_a >> se_a >> status_a;
        dense_line >> trait_b >> effect_b >> level_b >> estimate_b >> se_b >> status_b;
        EXPECT_EQ(trait_a + effect_a + level_a + status_a, trait_b + effect_b + level_b + status_b);
        EXPECT_NEAR(estimate_a, estimate_b, 1e-4 * (1.0 + std::fabs(estimate_b))) << band[l];
        EXPECT_NEAR(se_a, se_b, 1e-4 * (1.0 + se_b)) << band[l];
    }
}

// Each likelihood-ratio test is 2 (logL - logL0) with logL0 the REML of the model without the
// component: here the run of that model itself. A component estimated at 0 has 0 and p = 1.
TEST_F(SeveralEffectsRuns, LikelihoodRatioTestsAreThoseOfTheModelsWithoutEachComponent) {
    auto rows = [&](const std::string& out) {
        std::map<std::string, std::pair<double, double>> values;
        for (const std::string& line : lines_of(read_file(dir + "/" + out + ".vc.txt"))) {
            std::istringstream fields(line);
            std::string source, estimate, se;
            std::getline(fields, source, '\t');
            std::getline(fields, estimate, '\t');
            std::getline(fields, se, '\t');
            if (source != "Source") values[source] = {std::stod(estimate), se == "NA" ? NAN : std::stod(se)};
        }
        return values;
    };
    auto reml = [&](const std::string& list, const std::vector<std::string>& more, const std::string& out) {
        std::vector<std::string> args = {"--reml", "--mkin-file", list, "--phefile", "p.txt", "--phe-pos", "4",
                                         "--covar-pos", "2", "--out", out};
        args.insert(args.end(), more.begin(), more.end());
        const CommandResult run = run_zelkora(args, dir);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        return rows(out);
    };
    write_file(dir + "/k1.list", "K1.txt\n");
    const auto full = reml("list.txt", {"--pe", "--rand-pos", "3", "--lrt"}, "full");
    const auto without_k2 = reml("k1.list", {"--pe", "--rand-pos", "3"}, "without_k2");
    const auto without_herd = reml("list.txt", {"--pe"}, "without_herd");
    const double logL = full.at("logL").first;
    for (const auto& [name, reduced] : {std::pair{"K2", without_k2}, std::pair{"Herd", without_herd}}) {
        SCOPED_TRACE(name);
        const auto [statistic, p] = full.at(std::string("LRT(") + name + ")");
        const double expected = std::max(0.0, 2.0 * (logL - reduced.at("logL").first));
        EXPECT_NEAR(statistic, expected, 5e-3 + 1e-5 * expected);
        // 50:50 mixture of chi2(0) and chi2(1).
        EXPECT_NEAR(p, expected > 0.0 ? 0.5 * std::erfc(std::sqrt(expected / 2.0)) : 1.0, 1e-3 * p + 1e-12);
    }
    for (const auto& [source, value] : full) {
        if (source.rfind("V(", 0) == 0 && source != "V(e)" && value.first == 0.0) {
            const std::string name = source.substr(2, source.size() - 3);
            EXPECT_EQ(full.at("LRT(" + name + ")").first, 0.0) << name;
            EXPECT_EQ(full.at("LRT(" + name + ")").second, 1.0) << name;
        }
    }
}

// A --model run is the column-flag run of the same model, its values given in the order the
// terms are written and its rows and effects named by the terms.
TEST_F(SeveralEffectsRuns, AModelFormulaIsTheColumnFlagRunNamedByItsTerms) {
    ASSERT_EQ(predict({"--vc", "3,2,1.5,4,5"}, "flags").status, 0);
    const CommandResult run = run_zelkora({"--predict", "--mkin-file", "list.txt", "--phefile", "p.txt", "--model",
                                           "Yield ~ rand(Herd) + Sex + kin(2) + pe + kin(1)", "--vc", "4,2,1.5,3,5",
                                           "--out", "formula"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto renamed = [](std::string text) {
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"K1", "kin(1)"}, {"K2", "kin(2)"},
                                       {"PE", "pe"}, {"Herd", "rand(Herd)"}}) {
            text = std::regex_replace(text, std::regex("(^|\n|\\()" + from + "(?=[\t/)])"), "$1" + to);
        }
        return text;
    };
    const auto sorted_lines = [](const std::string& text) {
        std::vector<std::string> lines = lines_of(text);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    EXPECT_EQ(sorted_lines(read_file(dir + "/formula.random.txt")), sorted_lines(renamed(read_file(dir + "/flags.random.txt"))));
    // The log-likelihood sums the terms in another order: equal to rounding.
    std::smatch a, b;
    std::string formula_vc = read_file(dir + "/formula.vc.txt"), flags_vc = renamed(read_file(dir + "/flags.vc.txt"));
    const std::regex logl("\nlogL\t([^\t]+)\t");
    ASSERT_TRUE(std::regex_search(formula_vc, a, logl) && std::regex_search(flags_vc, b, logl));
    EXPECT_NEAR(std::stod(a[1]), std::stod(b[1]), 1e-10 * std::fabs(std::stod(b[1])));
    EXPECT_EQ(sorted_lines(std::regex_replace(formula_vc, logl, "\n")), sorted_lines(std::regex_replace(flags_vc, logl, "\n")));
    // Refused with the flags it replaces.
    const CommandResult both = run_zelkora({"--predict", "--mkin-file", "list.txt", "--phefile", "p.txt", "--model",
                                            "Yield ~ Sex + kin(1) + kin(2)", "--pe", "--vc", "1,1,1"},
                                           dir);
    EXPECT_EQ(both.status, 1);
    EXPECT_NE(both.err.find("--pe cannot be given with it"), std::string::npos) << both.err;
}

// Weights and a residual variance per sex through --model: the REML of the run is the maximum of
// the dense restricted likelihood of V = s2a K1 + s2pe I + sum_sex s2e(sex) diag(1_sex / w),
// with its log-likelihood. A weight that is not above 0 is refused naming its line.
TEST_F(SeveralEffectsRuns, WeightsAndResidualsBySexReachTheDenseMaximum) {
    std::string weighted;
    std::vector<double> kept_weights;
    const std::vector<std::string> lines = lines_of(data.phenotypes);
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const double w = 0.5 + 0.5 * static_cast<double>(l % 4);
        weighted += lines[l] + "\t" + (l == 0 ? std::string("W") : std::to_string(w)) + "\n";
        if (l > 0 && std::stoi(lines[l].substr(1)) < 60) kept_weights.push_back(w);
    }
    write_file(dir + "/w.txt", weighted);
    const CommandResult run = run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "w.txt", "--model",
                                           "Yield ~ Sex + animal + pe", "--weights", "W", "--residual-by", "Sex",
                                           "--out", "w"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string vc = read_file(dir + "/w.vc.txt");
    const std::string first = data.sex[0] ? "M" : "F", second = data.sex[0] ? "F" : "M";
    EXPECT_NE(vc.find("\nV(e:" + first + ")\t"), std::string::npos) << vc;
    EXPECT_NE(vc.find("\nanimal/Vp(e:" + second + ")\t"), std::string::npos) << vc;
    const Eigen::VectorXd theta = read_components(dir + "/w.vc.txt");
    ASSERT_EQ(theta.size(), 4);

    const auto n = static_cast<Eigen::Index>(data.individual.size());
    ASSERT_EQ(kept_weights.size(), data.individual.size());
    DenseComponents dense;
    dense.covariances.assign(2, Eigen::MatrixXd::Zero(n, n));
    dense.residuals.assign(2, Eigen::MatrixXd::Zero(n, n));
    dense.X = Eigen::MatrixXd::Ones(n, 2);
    for (Eigen::Index r = 0; r < n; ++r) {
        const auto sr = static_cast<std::size_t>(r);
        dense.X(r, 1) = data.sex[sr] != data.sex[0];
        dense.residuals[data.sex[sr] == data.sex[0] ? 0 : 1](r, r) = 1.0 / kept_weights[sr];
        for (Eigen::Index c = 0; c < n; ++c) {
            const int i = data.individual[sr], j = data.individual[static_cast<std::size_t>(c)];
            dense.covariances[0](r, c) = data.K1(i, j);
            dense.covariances[1](r, c) = i == j;
        }
    }
    dense.y = data.y;
    const Eigen::VectorXd best = dense.maximum(theta.cwiseMax(1e-3));
    for (Eigen::Index k = 0; k < 4; ++k) {
        EXPECT_NEAR(theta[k], best[k], 1e-4 * best.sum()) << "component " << k;
    }
    std::smatch match;
    ASSERT_TRUE(std::regex_search(vc, match, std::regex("\nlogL\t([^\t]+)\t")));
    EXPECT_NEAR(std::stod(match[1]), dense.log_likelihood(best), 1e-6 * std::fabs(std::stod(match[1])));

    std::string bad = weighted;
    bad.replace(bad.find("\t1.000000\n"), 10, "\t0\n");
    write_file(dir + "/bad.txt", bad);
    const CommandResult refused = run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "bad.txt", "--model",
                                               "Yield ~ Sex + animal", "--weights", "W"},
                                              dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(", line 2: the weight \"0\" in column W (--weights) is not a finite number above 0"),
              std::string::npos)
        << refused.err;
}

// Classes crossed in the formula (Sex:Herd, fixed or random) are the class of a column holding
// the two texts joined: the same predictions and log-likelihood.
TEST_F(SeveralEffectsRuns, CrossedClassesAreTheClassOfTheirJoinedTexts) {
    std::string joined;
    for (const std::string& line : lines_of(data.phenotypes)) {
        std::istringstream fields(line);
        std::string id, sex, herd;
        std::getline(fields, id, '\t');
        std::getline(fields, sex, '\t');
        std::getline(fields, herd, '\t');
        joined += line + "\t" + (id == "ID" ? std::string("SH") : sex + ":" + herd) + "\n";
    }
    write_file(dir + "/j.txt", joined);
    const auto run = [&](const std::string& model, const std::string& out) {
        const CommandResult result = run_zelkora({"--predict", "--kin-file", "K1.txt", "--phefile", "j.txt", "--model",
                                                  model, "--vc", "3,1.5,5", "--out", out},
                                                 dir);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        return std::regex_replace(read_file(dir + "/" + out + ".reliability.txt"), std::regex("rand\\(SH\\)"),
                                  "rand(Sex:Herd)") +
               std::regex_replace(read_file(dir + "/" + out + ".vc.txt"), std::regex("SH"), "Sex:Herd");
    };
    EXPECT_EQ(run("Yield ~ Sex:Herd + animal + pe", "crossed"), run("Yield ~ SH + animal + pe", "column"));
    EXPECT_EQ(run("Yield ~ Sex + animal + rand(Sex:Herd)", "random_crossed"),
              run("Yield ~ Sex + animal + rand(SH)", "random_column"));
}

// --vc-start: REML from listed values reaches the maximum reached from its own start, and from
// a results file (rows by name) it starts at that maximum and stops after one iteration.
TEST_F(SeveralEffectsRuns, RemlRestartsFromStartingValuesOrAResultsFile) {
    const auto reml = [&](const std::vector<std::string>& more, const std::string& out) {
        std::vector<std::string> args = {"--reml", "--kin-file", "K1.txt", "--phefile", "p.txt", "--model",
                                         "Yield ~ Sex + animal + pe", "--out", out};
        args.insert(args.end(), more.begin(), more.end());
        const CommandResult run = run_zelkora(args, dir);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        return run;
    };
    reml({}, "first");
    const Eigen::VectorXd first = read_components(dir + "/first.vc.txt");
    reml({"--vc-start", "1,8,2"}, "listed");
    const Eigen::VectorXd listed = read_components(dir + "/listed.vc.txt");
    ASSERT_EQ(listed.size(), 3);
    for (Eigen::Index k = 0; k < 3; ++k) EXPECT_NEAR(listed[k], first[k], 1e-4 * first.sum()) << k;
    const CommandResult restarted = reml({"--vc-start", "first.vc.txt"}, "restarted");
    EXPECT_NE(restarted.out.find("👉 1 iteration(s) in"), std::string::npos) << restarted.out;
    const Eigen::VectorXd again = read_components(dir + "/restarted.vc.txt");
    for (Eigen::Index k = 0; k < 3; ++k) EXPECT_NEAR(again[k], first[k], 1e-6 * first.sum()) << k;
    const CommandResult wrong = run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "p.txt", "--model",
                                             "Yield ~ Sex + animal + rand(Herd)", "--vc-start", "first.vc.txt"},
                                            dir);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE((wrong.out + wrong.err).find("--vc-start first.vc.txt: the results file has no row V(rand(Herd))"),
              std::string::npos);
}

// A curve leg(DIM, 2) and slopes within sexes Sex:cov(DIM) span the columns of the Legendre
// polynomials (P1 = t, P2 = (3t^2 - 1) / 2, t over the records' range of DIM) and of DIM on each
// sex's records, written out as covariates: the same breeding values and log-likelihood.
TEST_F(SeveralEffectsRuns, CurvesAndSlopesWithinClassesAreTheirColumnsWrittenOut) {
    const std::vector<std::string> lines = lines_of(data.phenotypes);
    std::vector<double> dim;
    for (std::size_t l = 1; l < lines.size(); ++l) dim.push_back(static_cast<double>(5 + (37 * l) % 290));
    // The range over the records used: those of individuals in K1 (I0..I69).
    double low = 1e300, high = -1e300;
    for (std::size_t l = 1; l < lines.size(); ++l) {
        if (std::stoi(lines[l].substr(1)) < 70) {
            low = std::min(low, dim[l - 1]);
            high = std::max(high, dim[l - 1]);
        }
    }
    std::string text = lines[0] + "\tDIM\tP1\tP2\tDIM_F\tDIM_M\n";
    for (std::size_t l = 1; l < lines.size(); ++l) {
        const double x = dim[l - 1], t = 2.0 * (x - low) / (high - low) - 1.0;
        const bool female = lines[l].find("\tF\t") != std::string::npos;
        std::ostringstream line;
        line.precision(17);
        line << lines[l] << "\t" << x << "\t" << t << "\t" << (3.0 * t * t - 1.0) / 2.0 << "\t" << (female ? x : 0.0)
             << "\t" << (female ? 0.0 : x) << "\n";
        text += line.str();
    }
    write_file(dir + "/d.txt", text);
    const auto run = [&](const std::string& model, const std::string& out) {
        const CommandResult result = run_zelkora({"--predict", "--kin-file", "K1.txt", "--phefile", "d.txt", "--model",
                                                  model, "--vc", "3,5", "--out", out},
                                                 dir);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        return std::make_pair(read_predictions(dir + "/" + out + ".reliability.txt"),
                              read_file(dir + "/" + out + ".vc.txt"));
    };
    for (const auto& [derived, written] :
         {std::pair<std::string, std::string>{"Yield ~ Sex + leg(DIM, 2) + animal", "Yield ~ Sex + cov(P1) + cov(P2) + animal"},
          {"Yield ~ Sex + Sex:cov(DIM) + animal", "Yield ~ Sex + cov(DIM_F) + cov(DIM_M) + animal"}}) {
        SCOPED_TRACE(derived);
        const auto a = run(derived, "derived"), b = run(written, "written");
        ASSERT_EQ(a.first.size(), b.first.size());
        for (const auto& [key, value] : a.first) {
            EXPECT_NEAR(value[0], b.first.at(key)[0], 1e-8) << key.second;
            EXPECT_NEAR(value[1], b.first.at(key)[1], 1e-8) << key.second;
        }
        std::smatch ma, mb;
        const std::regex logl("\nlogL\t([^\t]+)\t");
        ASSERT_TRUE(std::regex_search(a.second, ma, logl) && std::regex_search(b.second, mb, logl));
        EXPECT_NEAR(std::stod(ma[1]), std::stod(mb[1]), 1e-8 * std::fabs(std::stod(mb[1])));
    }
    // Text in a numeric column is refused naming the line and the term.
    std::string bad = text;
    bad.insert(bad.find('\n') + 1, lines[1].substr(0, lines[1].find('\t')) + "\tF\tH0\t1.5\tx\t1\t1\t1\t1\n");
    write_file(dir + "/bad.txt", bad);
    for (const std::string& term : {std::string("cov(DIM)"), std::string("leg(DIM,2)")}) {
        const CommandResult refused = run_zelkora({"--reml", "--kin-file", "K1.txt", "--phefile", "bad.txt", "--model",
                                                   "Yield ~ Sex + " + term + " + animal"},
                                                  dir);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE((refused.out + refused.err).find("line 2: term " + term + ": the value \"x\""), std::string::npos)
            << refused.out << refused.err;
    }
}
