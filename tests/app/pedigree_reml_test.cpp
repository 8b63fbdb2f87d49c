// REML on the sparse equations of --pedigree, against a dense restricted likelihood formed here
// from A (by the tabular method) or from H (the inverse of the H^-1 the program writes), and
// against the program's dense route on the same model.

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mixed_model/dense_reml.h"
#include "mixed_model/sparse_factor.h"
#include "test_support.h"

namespace {

// A herd, a sex and a trait for each recorded animal of a pedigree, with the design of the
// fixed effects (intercept, then a column per sex and herd but the first) and the records'
// positions in the pedigree.
struct SparseRemlData {
    std::vector<std::string> ids;
    std::vector<int> sire, dam;  // 0-based, -1 unknown
    std::vector<int> recorded;   // pedigree positions of the records
    Eigen::MatrixXd X;
    Eigen::VectorXd y;
};

// Generations of 200 animals by random matings of the one before (sires from 20 of it), a parent
// unknown now and then; every animal after the first generation recorded but one in ten; the
// breeding values drawn down the pedigree with variance 30 and the residual's 60.
SparseRemlData simulated_herds(int animals) {
    SparseRemlData data;
    std::mt19937 random(2027);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> value;
    constexpr int kGeneration = 200;
    for (int i = 0; i < animals; ++i) {
        data.ids.push_back("a" + std::to_string(i + 1));
        int s = -1, d = -1;
        if (i >= kGeneration) {
            const int first = (i / kGeneration - 1) * kGeneration;
            if (random() % 20 != 0) s = first + static_cast<int>(random() % 20);
            if (random() % 20 != 0) d = first + 20 + static_cast<int>(random() % (kGeneration - 20));
        }
        data.sire.push_back(s);
        data.dam.push_back(d);
        const double parents = 0.5 * ((s >= 0 ? value[s] : 0.0) + (d >= 0 ? value[d] : 0.0));
        const double sampling = s >= 0 && d >= 0 ? 0.5 : s >= 0 || d >= 0 ? 0.75 : 1.0;
        value.push_back(parents + std::sqrt(30.0 * sampling) * normal(random));
        if (i >= kGeneration && random() % 10 != 0) data.recorded.push_back(i);
    }
    const auto n = static_cast<Eigen::Index>(data.recorded.size());
    data.X = Eigen::MatrixXd::Zero(n, 6);
    data.y.resize(n);
    for (Eigen::Index r = 0; r < n; ++r) {
        const int herd = static_cast<int>(r % 5), male = static_cast<int>((r / 5) % 2);
        data.X(r, 0) = 1.0;
        if (male) data.X(r, 1) = 1.0;
        if (herd > 0) data.X(r, 1 + herd) = 1.0;
        data.y[r] = 100.0 + 3.0 * herd + 5.0 * male + value[static_cast<std::size_t>(data.recorded[r])] +
                    std::sqrt(60.0) * normal(random);
    }
    return data;
}

void write_herds(const SparseRemlData& data, const std::string& dir) {
    std::ostringstream pedigree, records;
    pedigree << "ID Sire Dam\n";
    for (std::size_t i = 0; i < data.ids.size(); ++i) {
        pedigree << data.ids[i] << " " << (data.sire[i] >= 0 ? data.ids[data.sire[i]] : "0") << " "
                 << (data.dam[i] >= 0 ? data.ids[data.dam[i]] : "0") << "\n";
    }
    records.precision(17);
    records << "ID\tSex\tHerd\tW\n";
    for (Eigen::Index r = 0; r < data.y.size(); ++r) {
        records << data.ids[static_cast<std::size_t>(data.recorded[static_cast<std::size_t>(r)])] << "\t"
                << (data.X(r, 1) > 0 ? "M" : "F") << "\tH" << r % 5 << "\t" << data.y[r] << "\n";
    }
    write_file(dir + "/herds.ped", pedigree.str());
    write_file(dir + "/herds.phe", records.str());
}

// A by the tabular method, parents before offspring.
Eigen::MatrixXd tabular_relationships(const SparseRemlData& data) {
    const auto n = static_cast<Eigen::Index>(data.ids.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const int s = data.sire[static_cast<std::size_t>(i)], d = data.dam[static_cast<std::size_t>(i)];
        for (Eigen::Index j = 0; j < i; ++j) {
            A(i, j) = A(j, i) = 0.5 * ((s >= 0 ? A(j, s) : 0.0) + (d >= 0 ? A(j, d) : 0.0));
        }
        A(i, i) = 1.0 + (s >= 0 && d >= 0 ? 0.5 * A(s, d) : 0.0);
    }
    return A;
}

Eigen::MatrixXd at_records(const Eigen::MatrixXd& K, const std::vector<int>& positions) {
    const auto n = static_cast<Eigen::Index>(positions.size());
    Eigen::MatrixXd out(n, n);
    for (Eigen::Index a = 0; a < n; ++a) {
        for (Eigen::Index b = 0; b < n; ++b) out(a, b) = K(positions[a], positions[b]);
    }
    return out;
}

// The likelihood the run reports is the dense one at its estimates, and no nearby point of the
// dense likelihood is higher (the estimates are its maximum).
void expect_dense_maximum(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                          const std::map<std::string, std::pair<double, double>>& table) {
    const double sa2 = table.at("V(Add)").first, se2 = table.at("V(e)").first;
    const double at_estimate = dense_restricted_loglik(K, X, y, sa2, se2);
    EXPECT_NEAR(table.at("logL").first, at_estimate, 1e-6 * std::abs(at_estimate));
    for (const auto& [da, de] : {std::pair{1e-3, 0.0}, {-1e-3, 0.0}, {0.0, 1e-3}, {0.0, -1e-3}}) {
        EXPECT_LE(dense_restricted_loglik(K, X, y, sa2 * (1 + da), se2 * (1 + de)), at_estimate + 1e-9);
    }
}

}  // namespace

// The animal model on a pedigree of 2,000: the estimates are the dense likelihood's maximum, and
// equal (to the float precision of a binary kinship) what the dense route estimates from A; the
// prediction after REML gives the dense route's reliabilities, from the inverse of the equations.
TEST(PedigreeReml, AnimalModelEqualsTheDenseLikelihood) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const SparseRemlData data = simulated_herds(2000);
    write_herds(data, dir);
    const std::vector<std::string> model = {"--phefile", "herds.phe", "--phe-pos", "4", "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), model.begin(), model.end());
        return args;
    };
    CommandResult run = run_zelkora(with({"--reml", "--pedigree", "herds.ped", "--out", "sparse"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto sparse = variance_table(dir + "/sparse.vc.txt");
    expect_dense_maximum(at_records(tabular_relationships(data), data.recorded), data.X, data.y, sparse);
    const std::string log = read_file(dir + "/sparse.log");
    EXPECT_NE(log.find(" non-zero values in the factor, "), std::string::npos) << log;
    EXPECT_NE(log.find(" s each (equations of order 2006, one factorisation "), std::string::npos) << log;

    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "herds.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    run = run_zelkora(with({"--reml", "--kin-file", "A.bin", "--out", "dense"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto dense = variance_table(dir + "/dense.vc.txt");
    for (const std::string source : {"V(Add)", "V(e)", "Add/Vp", "logL"}) {
        EXPECT_NEAR(sparse.at(source).first, dense.at(source).first, 1e-6 * std::abs(dense.at(source).first))
            << source;
        if (source != "logL") {
            EXPECT_NEAR(sparse.at(source).second, dense.at(source).second, 1e-5 * dense.at(source).second) << source;
        }
    }

    // REML, then the breeding values at its estimates with exact reliabilities.
    run = run_zelkora(with({"--predict", "--pedigree", "herds.ped", "--out", "both"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    std::ostringstream given;
    given.precision(17);
    given << sparse.at("V(Add)").first << "," << sparse.at("V(e)").first;
    run = run_zelkora(with({"--predict", "--kin-file", "A.bin", "--vc", given.str(), "--out", "dense_p"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> ours = lines_of(read_file(dir + "/both.reliability.txt"));
    const std::vector<std::string> theirs = lines_of(read_file(dir + "/dense_p.reliability.txt"));
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_EQ(ours[0], "ID\tEBV\tSE\tReliability\tMethod");
    for (std::size_t k = 1; k < ours.size(); k += 37) {
        std::istringstream a(ours[k]), b(theirs[k]);
        std::string id_a, id_b, method;
        double ebv_a, ebv_b, se_a, se_b, r_a, r_b;
        a >> id_a >> ebv_a >> se_a >> r_a >> method;
        b >> id_b >> ebv_b >> se_b >> r_b;
        EXPECT_EQ(id_a, id_b);
        EXPECT_EQ(method, "exact");
        EXPECT_NEAR(se_a, se_b, 1e-4 * se_b) << id_a;
        EXPECT_NEAR(r_a, r_b, 1e-4) << id_a;
        EXPECT_NEAR(ebv_a, ebv_b, 1e-3 * se_b) << id_a;
    }
}

// Single-step: the likelihood is that of the H whose inverse the program writes (log|H| from
// log|A|, A22 and G22 + 0.0001 I), maximised.
TEST(PedigreeReml, SingleStepEqualsTheDenseLikelihoodOfH) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    CommandResult run = run_zelkora({"--reml", "--pedigree", examples + ".ped", "--bedfile", examples, "--phefile",
                                     examples + ".phe", "--phe-pos", "4", "--covar-pos", "2,3", "--out", "h"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    run = run_zelkora({"--kinship", "--pedigree", examples + ".ped", "--bedfile", examples, "--kin-inverse", "--out",
                       "inverse"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> ids = lines_of(read_file(dir + "/inverse.inverse.id"));
    std::map<std::string, int> position;
    for (std::size_t k = 0; k < ids.size(); ++k) position[ids[k]] = static_cast<int>(k);
    const auto n = static_cast<Eigen::Index>(ids.size());
    Eigen::MatrixXd H_inverse = Eigen::MatrixXd::Zero(n, n);
    for (const std::string& line : lines_of(read_file(dir + "/inverse.inverse.txt"))) {
        std::istringstream fields(line);
        Eigen::Index i = 0, j = 0;
        double value = 0.0;
        fields >> i >> j >> value;
        H_inverse(i - 1, j - 1) = H_inverse(j - 1, i - 1) = value;
    }
    const Eigen::MatrixXd H = H_inverse.inverse();

    // The records of animals in the pedigree with a trait value: intercept, sex and herd.
    std::vector<int> recorded;
    std::vector<std::vector<double>> rows;
    std::vector<double> values;
    std::map<std::string, int> levels;
    const std::vector<std::string> lines = lines_of(read_file(examples + ".phe"));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string id, sex, herd, trait;
        fields >> id >> sex >> herd >> trait;
        if (trait == "NA" || sex == "NA" || herd == "NA" || !position.count(id)) continue;
        recorded.push_back(position[id]);
        values.push_back(std::stod(trait));
        rows.push_back({1.0, sex == "M" ? 1.0 : 0.0, herd == "H1" ? 1.0 : 0.0, herd == "H3" ? 1.0 : 0.0});
    }
    Eigen::MatrixXd X(static_cast<Eigen::Index>(rows.size()), 4);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (int c = 0; c < 4; ++c) X(static_cast<Eigen::Index>(r), c) = rows[r][static_cast<std::size_t>(c)];
    }
    const Eigen::VectorXd y = Eigen::Map<const Eigen::VectorXd>(values.data(), static_cast<Eigen::Index>(values.size()));
    expect_dense_maximum(at_records(H, recorded), X, y, variance_table(dir + "/h.vc.txt"));
}

// The estimates are written after every iteration: a run stopped by --max-iter leaves them, and
// a run started from them reaches the same estimates.
TEST(PedigreeReml, StoppedRunStartsAgainFromItsLastIteration) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    write_herds(simulated_herds(600), dir);
    const std::vector<std::string> model = {"--reml", "--pedigree", "herds.ped", "--phefile", "herds.phe",
                                            "--phe-pos", "4", "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), model.begin(), model.end());
        return args;
    };
    CommandResult run = run_zelkora(with({"--max-iter", "2", "--out", "stopped"}), dir);
    EXPECT_EQ(run.status, 1);
    const auto stopped = variance_table(dir + "/stopped.vc.txt");
    EXPECT_GE(stopped.at("Iteration").first, 1.0);
    EXPECT_TRUE(std::isnan(stopped.at("V(Add)").second));
    EXPECT_EQ(stopped.count("Vp"), 0u);  // not a finished table
    run = run_zelkora(with({"--vc-start", "stopped.vc.txt", "--out", "resumed"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(read_file(dir + "/resumed.log").find("👉 REML starts from --vc-start: V(Add) = "), std::string::npos);
    ASSERT_EQ(run_zelkora(with({"--out", "whole"}), dir).status, 0);
    const auto resumed = variance_table(dir + "/resumed.vc.txt"), whole = variance_table(dir + "/whole.vc.txt");
    EXPECT_EQ(resumed.count("Iteration"), 0u);
    for (const std::string source : {"V(Add)", "V(e)", "logL"}) {
        EXPECT_NEAR(resumed.at(source).first, whole.at(source).first, 1e-5 * std::abs(whole.at(source).first));
    }
}

// Monte Carlo REML on the same pedigree of 2,000: its heritability within 3 Monte Carlo SEs of
// the exact REML's, no log-likelihood, and a prediction after it with approximate reliabilities.
TEST(PedigreeReml, MonteCarloWithinItsErrorOfTheExact) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    write_herds(simulated_herds(2000), dir);
    const std::vector<std::string> model = {"--pedigree", "herds.ped", "--phefile", "herds.phe", "--phe-pos", "4",
                                            "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), model.begin(), model.end());
        return args;
    };
    CommandResult run = run_zelkora(with({"--reml", "--reml-method", "exact", "--out", "exact"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    run = run_zelkora(with({"--predict", "--reml-method", "mc", "--mc-samples", "60", "--out", "mc"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto exact = variance_table(dir + "/exact.vc.txt"), mc = variance_table(dir + "/mc.vc.txt");
    EXPECT_TRUE(std::isnan(mc.at("logL").first));
    const std::string log = read_file(dir + "/mc.log");
    const std::string heading = "Source\tEstimate\tMC_SE\n";
    const std::size_t table = log.find(heading);
    ASSERT_NE(table, std::string::npos) << log;
    const std::size_t row = log.find("Add/Vp\t", table);
    ASSERT_NE(row, std::string::npos) << log;
    std::istringstream fields(log.substr(row + 7));
    double share = 0.0, error = 0.0;
    fields >> share >> error;
    EXPECT_NEAR(share, mc.at("Add/Vp").first, 1e-5);
    EXPECT_GT(error, 0.0);
    EXPECT_LT(error, mc.at("Add/Vp").second);  // 60 vectors: well below the sampling SE
    EXPECT_LT(std::fabs(share - exact.at("Add/Vp").first), 3.0 * error);
    EXPECT_EQ(log.find("REML goes on with"), std::string::npos);  // --mc-samples fixes the vectors
    const std::vector<std::string> reliability = lines_of(read_file(dir + "/mc.reliability.txt"));
    ASSERT_GT(reliability.size(), 1u);
    EXPECT_NE(reliability[1].find("\tapproximate"), std::string::npos) << reliability[1];
}

// Two traits with missing values on the pedigree's sparse equations: the likelihood is the dense
// one of V = Vg (x) A + Ve (x) I over the values present (each trait its own fixed effects), and
// the estimates, their SEs and the breeding values at given covariances are those of the route
// that reads A whole.
TEST(PedigreeReml, TwoTraitsWithMissingValuesEqualTheDenseRoute) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const SparseRemlData data = simulated_herds(2000);
    write_herds(data, dir);
    // A second trait sharing part of the first's breeding value and residual, with breeding values
    // of its own drawn down the pedigree (variance 20).
    std::mt19937 random(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> own;
    for (std::size_t i = 0; i < data.ids.size(); ++i) {
        const int s = data.sire[i], d = data.dam[i];
        const double sampling = s >= 0 && d >= 0 ? 0.5 : s >= 0 || d >= 0 ? 0.75 : 1.0;
        own.push_back(0.5 * ((s >= 0 ? own[static_cast<std::size_t>(s)] : 0.0) + (d >= 0 ? own[static_cast<std::size_t>(d)] : 0.0)) +
                      std::sqrt(20.0 * sampling) * normal(random));
    }
    const Eigen::Index n = data.y.size();
    Eigen::MatrixXd Y(n, 2);
    for (Eigen::Index r = 0; r < n; ++r) {
        Y(r, 0) = r % 7 == 3 ? std::nan("") : data.y[r];
        Y(r, 1) = r % 4 == 1 ? std::nan("")
                             : 20.0 + 0.4 * (data.y[r] - 100.0) + own[static_cast<std::size_t>(data.recorded[static_cast<std::size_t>(r)])] +
                                   std::sqrt(40.0) * normal(random);
    }
    std::ostringstream records;
    records.precision(17);
    records << "ID\tSex\tHerd\tW\tF\n";
    for (Eigen::Index r = 0; r < n; ++r) {
        records << data.ids[static_cast<std::size_t>(data.recorded[static_cast<std::size_t>(r)])] << "\t"
                << (data.X(r, 1) > 0 ? "M" : "F") << "\tH" << r % 5;
        for (int a = 0; a < 2; ++a) {
            records << "\t";
            if (std::isnan(Y(r, a))) {
                records << "NA";
            } else {
                records << Y(r, a);
            }
        }
        records << "\n";
    }
    write_file(dir + "/two.phe", records.str());
    const std::vector<std::string> model = {"--phefile", "two.phe", "--phe-pos", "4,5", "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), model.begin(), model.end());
        return args;
    };
    CommandResult run = run_zelkora(with({"--reml", "--pedigree", "herds.ped", "--out", "sparse"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "herds.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    run = run_zelkora(with({"--reml", "--kin-file", "A.bin", "--out", "dense"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto sparse = variance_table(dir + "/sparse.vc.txt"), dense = variance_table(dir + "/dense.vc.txt");
    ASSERT_EQ(sparse.size(), dense.size());
    for (const auto& [source, value] : dense) {
        ASSERT_EQ(sparse.count(source), 1u) << source;
        EXPECT_NEAR(sparse.at(source).first, value.first, 1e-6 * std::abs(value.first)) << source;
        if (!std::isnan(value.second)) {
            EXPECT_NEAR(sparse.at(source).second, value.second, 1e-5 * value.second) << source;
        }
    }

    // The dense likelihood at the estimates, formed here over the values present trait by trait.
    const Eigen::MatrixXd A = at_records(tabular_relationships(data), data.recorded);
    std::vector<std::pair<Eigen::Index, int>> values;  // (record, trait)
    for (int a = 0; a < 2; ++a) {
        for (Eigen::Index r = 0; r < n; ++r) {
            if (!std::isnan(Y(r, a))) values.emplace_back(r, a);
        }
    }
    const auto m = static_cast<Eigen::Index>(values.size());
    const Eigen::Index p = data.X.cols();
    const char* names[2] = {"W", "F"};
    const auto component = [&](const std::string& matrix, int a, int b) {
        const std::string key = a == b ? matrix + "(" + names[a] + ")"
                                       : matrix + "(" + names[std::min(a, b)] + "," + names[std::max(a, b)] + ")";
        return sparse.at(key).first;
    };
    Eigen::MatrixXd V(m, m), X = Eigen::MatrixXd::Zero(m, 2 * p);
    Eigen::VectorXd y(m);
    for (Eigen::Index u = 0; u < m; ++u) {
        const auto [r, a] = values[static_cast<std::size_t>(u)];
        y[u] = Y(r, a);
        X.block(u, a * p, 1, p) = data.X.row(r);
        for (Eigen::Index w = 0; w < m; ++w) {
            const auto [s, b] = values[static_cast<std::size_t>(w)];
            V(u, w) = component("Vg", a, b) * A(r, s) + (r == s ? component("Ve", a, b) : 0.0);
        }
    }
    const Eigen::LLT<Eigen::MatrixXd> llt(V);
    const Eigen::MatrixXd ViX = llt.solve(X);
    const Eigen::MatrixXd XViX = X.transpose() * ViX;
    const Eigen::VectorXd Viy = llt.solve(y);
    const Eigen::VectorXd beta = XViX.ldlt().solve(X.transpose() * Viy);
    const double log_V = 2.0 * Eigen::MatrixXd(llt.matrixL()).diagonal().array().log().sum();
    const double likelihood = -0.5 * (log_V + std::log(XViX.determinant()) + y.dot(Viy) - y.dot(ViX * beta));
    EXPECT_NEAR(sparse.at("logL").first, likelihood, 1e-6 * std::abs(likelihood));

    // At given covariances: every breeding value and SE of both traits from the factor.
    const std::vector<std::string> given = {"--vc", "28,9,14,55,12,45"};
    run = run_zelkora(with({"--predict", "--pedigree", "herds.ped", given[0], given[1], "--out", "sparse_p"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    run = run_zelkora(with({"--predict", "--kin-file", "A.bin", given[0], given[1], "--out", "dense_p"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> ours = lines_of(read_file(dir + "/sparse_p.reliability.txt"));
    const std::vector<std::string> theirs = lines_of(read_file(dir + "/dense_p.reliability.txt"));
    ASSERT_EQ(ours.size(), 1u + 2u * data.ids.size());
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_EQ(ours[0], theirs[0]);
    for (std::size_t k = 1; k < ours.size(); k += 13) {
        std::istringstream a(ours[k]), b(theirs[k]);
        std::string effect_a, trait_a, id_a, effect_b, trait_b, id_b;
        double ebv_a, ebv_b, se_a, se_b;
        a >> effect_a >> trait_a >> id_a >> ebv_a >> se_a;
        b >> effect_b >> trait_b >> id_b >> ebv_b >> se_b;
        EXPECT_EQ(trait_a + id_a, trait_b + id_b);
        EXPECT_NEAR(ebv_a, ebv_b, 1e-5 * se_b) << id_a;
        EXPECT_NEAR(se_a, se_b, 1e-5 * se_b) << id_a;
    }
}

// Where the genetic correlation is 1 at the maximum (two traits on H of the example data), the
// equations keep Vg's least eigenvalue at a millionth of the records' variance: REML still
// converges there, next to the kinship route's exact boundary.
TEST(PedigreeReml, TwoTraitsConvergeAtASingularGeneticMatrix) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    const std::vector<std::string> model = {"--phefile", examples + ".mt.phe", "--phe-pos", "4,5", "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), model.begin(), model.end());
        return args;
    };
    CommandResult run = run_zelkora(with({"--reml", "--pedigree", examples + ".ped", "--bedfile", examples, "--out", "sparse"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", examples + ".ped", "--bedfile", examples, "--kin-bin", "--out", "H"}, dir).status, 0);
    run = run_zelkora(with({"--reml", "--kin-file", "H.bin", "--out", "dense"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto sparse = variance_table(dir + "/sparse.vc.txt"), dense = variance_table(dir + "/dense.vc.txt");
    EXPECT_NEAR(dense.at("rg(Growth,Carcass)").first, 1.0, 1e-9);
    EXPECT_NEAR(sparse.at("rg(Growth,Carcass)").first, 1.0, 1e-5);
    EXPECT_LE(sparse.at("logL").first, dense.at("logL").first + 1e-6);
    EXPECT_NEAR(sparse.at("logL").first, dense.at("logL").first, 1e-3);
    for (const std::string source : {"Vg(Growth)", "Vg(Growth,Carcass)", "Vg(Carcass)", "Ve(Growth)", "Ve(Carcass)"}) {
        EXPECT_NEAR(sparse.at(source).first, dense.at(source).first, 1e-3 * dense.at(source).second) << source;
    }
    EXPECT_NE(read_file(dir + "/sparse.log").find("The estimate of Vg lies on the boundary"), std::string::npos);
}

namespace {

// The example's two traits with a weight column W (1 to 3) as w.phe.
void write_weighted_traits(const std::string& examples, const std::string& dir) {
    std::ostringstream weighted;
    const std::vector<std::string> lines = lines_of(read_file(examples + ".mt.phe"));
    for (std::size_t k = 0; k < lines.size(); ++k) {
        weighted << lines[k] << "\t" << (k == 0 ? std::string("W") : std::to_string(1 + k % 3)) << "\n";
    }
    write_file(dir + "/w.phe", weighted.str());
}

}  // namespace

// Two traits with a weight per individual and a residual covariance matrix per herd: the
// pedigree's equations give the estimates and likelihood of the route that reads A whole.
TEST(PedigreeReml, TwoTraitsWithWeightsAndResidualClassesEqualTheDenseRoute) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    write_weighted_traits(examples, dir);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", examples + ".ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const auto run = [&](const std::vector<std::string>& route, const std::string& out) {
        std::vector<std::string> arguments = {"--reml", "--phefile", "w.phe", "--model", "Growth, Carcass ~ Sex + animal",
                                              "--residual-by", "Herd", "--weights", "W", "--out", out};
        arguments.insert(arguments.end(), route.begin(), route.end());
        const CommandResult result = run_zelkora(arguments, dir);
        EXPECT_EQ(result.status, 0) << result.err;
        return variance_table(dir + "/" + out + ".vc.txt");
    };
    const auto dense = run({"--kin-file", "A.bin"}, "dense");
    const auto sparse = run({"--pedigree", examples + ".ped"}, "sparse");
    ASSERT_EQ(sparse.size(), dense.size());
    EXPECT_EQ(dense.count("Ve:H3(Growth,Carcass)"), 1u);
    for (const auto& [source, value] : dense) {
        ASSERT_EQ(sparse.count(source), 1u) << source;
        EXPECT_NEAR(sparse.at(source).first, value.first, 1e-6 * std::abs(value.first)) << source;
    }
}

// Two traits by Monte Carlo REML on the example data, plain and with weights and a residual
// covariance matrix per herd: every component and heritability within 3 Monte Carlo SEs of the
// exact REML's, no log-likelihood, no --lrt, and breeding values by PCG after it.
TEST(PedigreeReml, TwoTraitsByMonteCarloWithinTheirErrorsOfTheExact) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    write_weighted_traits(examples, dir);
    const std::vector<std::vector<std::string>> models = {
        {"--phefile", examples + ".mt.phe", "--phe-pos", "4,5", "--covar-pos", "2,3"},
        {"--phefile", "w.phe", "--model", "Growth, Carcass ~ Sex + animal", "--residual-by", "Herd", "--weights", "W"}};
    for (std::size_t m = 0; m < models.size(); ++m) {
        const auto run = [&](std::vector<std::string> arguments) {
            arguments.insert(arguments.end(), {"--pedigree", examples + ".ped"});
            arguments.insert(arguments.end(), models[m].begin(), models[m].end());
            return run_zelkora(arguments, dir);
        };
        CommandResult result = run({"--reml", "--out", "exact"});
        ASSERT_EQ(result.status, 0) << result.err;
        result = run({m == 0 ? "--predict" : "--reml", "--reml-method", "mc", "--mc-samples", "200", "--out", "mc"});
        ASSERT_EQ(result.status, 0) << result.err;
        const auto exact = variance_table(dir + "/exact.vc.txt"), mc = variance_table(dir + "/mc.vc.txt");
        EXPECT_TRUE(std::isnan(mc.at("logL").first));
        const std::string log = read_file(dir + "/mc.log");
        EXPECT_NE(log.find("the traces from records simulated from them"), std::string::npos);
        std::map<std::string, double> errors = monte_carlo_errors(log);
        ASSERT_FALSE(errors.empty()) << log;
        int compared = 0;
        for (const auto& [source, value] : exact) {
            if (source.rfind("Vg", 0) != 0 && source.rfind("Ve", 0) != 0 && source.rfind("h2", 0) != 0) continue;
            ASSERT_GT(errors[source], 0.0) << source;
            EXPECT_LT(errors[source], mc.at(source).second) << source;
            EXPECT_LT(std::fabs(mc.at(source).first - value.first), 3.0 * errors[source]) << source;
            ++compared;
        }
        EXPECT_EQ(compared, m == 0 ? 8 : 18);
        if (m == 0) {
            const std::vector<std::string> values = lines_of(read_file(dir + "/mc.random.txt"));
            EXPECT_EQ(values.size(), 1u + 2u * 600u);
            EXPECT_FALSE(file_exists(dir + "/mc.reliability.txt"));
        }
    }
    const CommandResult refused = run_zelkora({"--reml", "--reml-method", "mc", "--lrt", "--pedigree", examples + ".ped",
                                               "--phefile", examples + ".mt.phe", "--phe-pos", "4,5", "--out", "lrt"},
                                              dir);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("--lrt compares log-likelihoods, which Monte Carlo REML"),
              std::string::npos)
        << refused.err;
}

// Unknown parent groups in REML on the pedigree: the groups are fixed covariates ZQ, and the
// estimates, logL and the SEs of a + Qg are those of the route that reads A whole with the same
// groups; the values after REML (by iteration) are those at the estimates given by --vc.
TEST(PedigreeReml, UnknownParentGroupsEqualTheDenseRoute) {
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    const std::vector<std::string> model = {"--ped-groups", examples + ".groups", "--phefile", examples + ".phe",
                                            "--phe-pos", "4", "--covar-pos", "2,3"};
    const auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), model.begin(), model.end());
        const CommandResult result = run_zelkora(arguments, dir);
        EXPECT_EQ(result.status, 0) << result.err;
        return result;
    };
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", examples + ".ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    run({"--predict", "--kin-file", "A.bin", "--pedigree", examples + ".upg.ped", "--out", "dense"});
    run({"--predict", "--pedigree", examples + ".upg.ped", "--out", "sparse"});
    const auto dense = variance_table(dir + "/dense.vc.txt"), sparse = variance_table(dir + "/sparse.vc.txt");
    for (const std::string source : {"V(Add)", "V(e)", "Add/Vp", "logL"}) {
        EXPECT_NEAR(sparse.at(source).first, dense.at(source).first, 1e-6 * std::fabs(dense.at(source).first)) << source;
    }
    EXPECT_NEAR(sparse.at("V(Add)").second, dense.at("V(Add)").second, 1e-5 * dense.at("V(Add)").second);
    // Without the groups the likelihood is another one.
    run_zelkora({"--reml", "--pedigree", examples + ".ped", "--phefile", examples + ".phe", "--phe-pos", "4",
                 "--covar-pos", "2,3", "--out", "plain"},
                dir);
    EXPECT_GT(std::fabs(variance_table(dir + "/plain.vc.txt").at("logL").first - dense.at("logL").first), 1e-3);

    std::ostringstream given;
    given.precision(17);
    given << sparse.at("V(Add)").first << "," << sparse.at("V(e)").first;
    run({"--predict", "--pedigree", examples + ".upg.ped", "--vc", given.str(), "--out", "given"});
    EXPECT_EQ(read_file(dir + "/sparse.random.txt"), read_file(dir + "/given.random.txt"));
    EXPECT_EQ(read_file(dir + "/sparse.fixed.txt"), read_file(dir + "/given.fixed.txt"));
    const std::vector<std::string> ours = lines_of(read_file(dir + "/sparse.reliability.txt"));
    const std::vector<std::string> theirs = lines_of(read_file(dir + "/dense.reliability.txt"));
    ASSERT_EQ(ours.size(), 601u);
    std::map<std::string, double> dense_se;
    for (std::size_t k = 1; k < theirs.size(); ++k) {
        std::istringstream fields(theirs[k]);
        std::string id;
        double value = 0.0, se = 0.0;
        fields >> id >> value >> se;
        dense_se[id] = se;
    }
    for (std::size_t k = 1; k < ours.size(); k += 7) {
        std::istringstream fields(ours[k]);
        std::string id, method;
        double value = 0.0, se = 0.0, reliability = 0.0;
        fields >> id >> value >> se >> reliability >> method;
        EXPECT_EQ(method, "exact") << ours[k];
        ASSERT_EQ(dense_se.count(id), 1u) << id;
        EXPECT_NEAR(se, dense_se[id], 2e-5 * dense_se[id]) << id;
    }

    // Monte Carlo REML with the groups: within 3 Monte Carlo SEs of the exact.
    run({"--reml", "--pedigree", examples + ".upg.ped", "--reml-method", "mc", "--mc-samples", "100", "--out", "mc"});
    const std::map<std::string, double> errors = monte_carlo_errors(read_file(dir + "/mc.log"));
    ASSERT_EQ(errors.count("Add/Vp"), 1u);
    EXPECT_LT(std::fabs(variance_table(dir + "/mc.vc.txt").at("Add/Vp").first - dense.at("Add/Vp").first),
              3.0 * errors.at("Add/Vp"));
}
