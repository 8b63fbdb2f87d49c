// The maternal model (maternal(dam), pe(dam) in --model) on a kinship file: REML against the
// dense restricted likelihood of the same model, maximised here by a general optimiser over a
// Cholesky parameterisation of the direct-maternal block.

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

// A pedigree with each record's dam (-1: none), and the records' design and weaning weights.
struct MaternalData {
    std::vector<int> sire, dam;  // 0-based, -1 unknown
    std::vector<int> animal;     // pedigree positions of the records
    std::vector<int> record_dam; // -1: the dam is not given
    Eigen::MatrixXd X;           // intercept, then sex and herd without their first-met levels
    Eigen::VectorXd y;
};

// Four generations of 80 by random matings (sires from 10 of the one before); the direct and
// maternal values drawn down the pedigree with G0 = [30 -6; -6 15], a dam's permanent
// environment of 8, a residual of 40; every animal after the first generation has a record, one
// in twelve without its dam.
MaternalData simulated_maternal() {
    MaternalData data;
    std::mt19937 random(4242);
    std::normal_distribution<double> normal(0.0, 1.0);
    constexpr int kGeneration = 80, kAnimals = 320;
    const Eigen::Matrix2d root = Eigen::Matrix2d((Eigen::Matrix2d() << 30.0, -6.0, -6.0, 15.0).finished()).llt().matrixL();
    std::vector<Eigen::Vector2d> value;
    std::vector<double> pe(kAnimals);
    for (int i = 0; i < kAnimals; ++i) {
        int s = -1, d = -1;
        if (i >= kGeneration) {
            const int first = (i / kGeneration - 1) * kGeneration;
            s = first + static_cast<int>(random() % 10);
            d = first + 10 + static_cast<int>(random() % (kGeneration - 10));
        }
        data.sire.push_back(s);
        data.dam.push_back(d);
        Eigen::Vector2d parents = Eigen::Vector2d::Zero();
        if (s >= 0) parents += 0.5 * value[static_cast<std::size_t>(s)];
        if (d >= 0) parents += 0.5 * value[static_cast<std::size_t>(d)];
        const double sampling = s >= 0 && d >= 0 ? 0.5 : 1.0;
        value.push_back(parents + std::sqrt(sampling) * root * Eigen::Vector2d(normal(random), normal(random)));
        pe[static_cast<std::size_t>(i)] = std::sqrt(8.0) * normal(random);
    }
    for (int i = kGeneration; i < kAnimals; ++i) {
        data.animal.push_back(i);
        data.record_dam.push_back(i % 12 == 0 ? -1 : data.dam[static_cast<std::size_t>(i)]);
    }
    const auto n = static_cast<Eigen::Index>(data.animal.size());
    data.X = Eigen::MatrixXd::Zero(n, 4);
    data.y.resize(n);
    for (Eigen::Index r = 0; r < n; ++r) {
        const int male = static_cast<int>(r % 2), herd = static_cast<int>((r / 2) % 3);
        data.X(r, 0) = 1.0;
        if (male) data.X(r, 1) = 1.0;
        if (herd > 0) data.X(r, 1 + herd) = 1.0;
        const int a = data.animal[static_cast<std::size_t>(r)], d = data.dam[static_cast<std::size_t>(a)];
        data.y[r] = 200.0 + 10.0 * male + 4.0 * herd + value[static_cast<std::size_t>(a)][0] +
                    value[static_cast<std::size_t>(d)][1] + pe[static_cast<std::size_t>(d)] + std::sqrt(40.0) * normal(random);
    }
    return data;
}

void write_maternal(const MaternalData& data, const std::string& dir) {
    std::ostringstream pedigree, records;
    const auto id = [](int i) { return i < 0 ? std::string("0") : "m" + std::to_string(i + 1); };
    pedigree << "ID Sire Dam\n";
    for (std::size_t i = 0; i < data.sire.size(); ++i) {
        pedigree << id(static_cast<int>(i)) << " " << id(data.sire[i]) << " " << id(data.dam[i]) << "\n";
    }
    records.precision(17);
    records << "ID\tDam\tSex\tHerd\tWW\n";
    for (Eigen::Index r = 0; r < data.y.size(); ++r) {
        const auto k = static_cast<std::size_t>(r);
        records << id(data.animal[k]) << "\t" << (data.record_dam[k] < 0 ? "NA" : id(data.record_dam[k])) << "\t"
                << (data.X(r, 1) > 0 ? "M" : "F") << "\tH" << (r / 2) % 3 << "\t" << data.y[r] << "\n";
    }
    write_file(dir + "/maternal.ped", pedigree.str());
    write_file(dir + "/maternal.phe", records.str());
}

// The restricted log-likelihood -(log|V| + log|X'V^-1 X| + y'Py) / 2 of V = sum theta_k V_k.
double restricted_likelihood(const std::vector<Eigen::MatrixXd>& parts, const Eigen::VectorXd& theta,
                             const Eigen::MatrixXd& X, const Eigen::VectorXd& y) {
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(y.size(), y.size());
    for (std::size_t k = 0; k < parts.size(); ++k) V += theta[static_cast<Eigen::Index>(k)] * parts[k];
    const Eigen::LLT<Eigen::MatrixXd> chol(V);
    if (chol.info() != Eigen::Success) return -1e300;
    const Eigen::MatrixXd ViX = chol.solve(X);
    const Eigen::VectorXd Viy = chol.solve(y);
    const Eigen::MatrixXd XViX = X.transpose() * ViX;
    const Eigen::LLT<Eigen::MatrixXd> fixed(XViX);
    const double log_V = 2.0 * Eigen::MatrixXd(chol.matrixL()).diagonal().array().log().sum();
    const double log_X = 2.0 * Eigen::MatrixXd(fixed.matrixL()).diagonal().array().log().sum();
    const Eigen::VectorXd Xy = X.transpose() * Viy;
    return -0.5 * (log_V + log_X + y.dot(Viy) - Xy.dot(fixed.solve(Xy)));
}

// Nelder and Mead's simplex, restarted from its best point until a restart gains nothing.
Eigen::VectorXd simplex_maximum(const std::function<double(const Eigen::VectorXd&)>& f, Eigen::VectorXd start) {
    const Eigen::Index d = start.size();
    double best = f(start);
    for (int restart = 0; restart < 8; ++restart) {
        std::vector<Eigen::VectorXd> points(static_cast<std::size_t>(d + 1), start);
        std::vector<double> values(static_cast<std::size_t>(d + 1));
        for (Eigen::Index k = 0; k < d; ++k) points[static_cast<std::size_t>(k + 1)][k] += 0.1 + 0.1 * std::fabs(start[k]);
        for (std::size_t k = 0; k < points.size(); ++k) values[k] = f(points[k]);
        for (int step = 0; step < 1500; ++step) {
            std::vector<std::size_t> order(points.size());
            for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] > values[b]; });
            const std::size_t worst = order.back();
            Eigen::VectorXd centre = Eigen::VectorXd::Zero(d);
            for (std::size_t k = 0; k + 1 < order.size(); ++k) centre += points[order[k]] / static_cast<double>(d);
            const Eigen::VectorXd reflected = centre + (centre - points[worst]);
            const double at_reflected = f(reflected);
            if (at_reflected > values[order.front()]) {
                const Eigen::VectorXd expanded = centre + 2.0 * (centre - points[worst]);
                const double at_expanded = f(expanded);
                points[worst] = at_expanded > at_reflected ? expanded : reflected;
                values[worst] = std::max(at_expanded, at_reflected);
            } else if (at_reflected > values[order[order.size() - 2]]) {
                points[worst] = reflected;
                values[worst] = at_reflected;
            } else {
                const Eigen::VectorXd contracted = centre + 0.5 * (points[worst] - centre);
                const double at_contracted = f(contracted);
                if (at_contracted > values[worst]) {
                    points[worst] = contracted;
                    values[worst] = at_contracted;
                } else {
                    for (std::size_t k = 1; k < order.size(); ++k) {
                        points[order[k]] = points[order.front()] + 0.5 * (points[order[k]] - points[order.front()]);
                        values[order[k]] = f(points[order[k]]);
                    }
                }
            }
        }
        const auto top = std::max_element(values.begin(), values.end()) - values.begin();
        const bool gained = values[static_cast<std::size_t>(top)] > best + 1e-10;
        start = points[static_cast<std::size_t>(top)];
        best = std::max(best, values[static_cast<std::size_t>(top)]);
        if (!gained && restart > 0) break;
    }
    return start;
}

}  // namespace

// REML of WW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam): the program's estimates are the
// maximum of the dense likelihood (no point the optimiser finds is higher), its logL is that
// likelihood at them, the shares, correlation and total heritability are those components', and
// the direct and maternal breeding values that follow are the dense BLUPs at them.
TEST(MaternalModel, RemlIsTheMaximumOfTheDenseLikelihood) {
    const std::string dir = make_scratch_dir();
    const MaternalData data = simulated_maternal();
    write_maternal(data, dir);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "maternal.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const CommandResult run =
        run_zelkora({"--predict", "--kin-file", "A.bin", "--phefile", "maternal.phe", "--model",
                     "WW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam)", "--out", "m"},
                    dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto table = variance_table(dir + "/m.vc.txt");
    const std::string log = read_file(dir + "/m.log");
    EXPECT_NE(log.find("👉 Dams: "), std::string::npos) << log;

    // The parts of V over the records: Z and W (the dam's row, 0 without one), and the dams'.
    std::vector<std::pair<int, int>> parents;
    for (std::size_t i = 0; i < data.sire.size(); ++i) parents.emplace_back(data.sire[i], data.dam[i]);
    const Eigen::MatrixXd A = ::tabular_relationships(parents);
    const auto n = data.y.size(), q = A.rows();
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(n, q), W = Z;
    for (Eigen::Index r = 0; r < n; ++r) {
        Z(r, data.animal[static_cast<std::size_t>(r)]) = 1.0;
        if (data.record_dam[static_cast<std::size_t>(r)] >= 0) W(r, data.record_dam[static_cast<std::size_t>(r)]) = 1.0;
    }
    const std::vector<Eigen::MatrixXd> parts = {Z * A * Z.transpose(), Z * A * W.transpose() + W * A * Z.transpose(),
                                                W * A * W.transpose(), W * W.transpose(),
                                                Eigen::MatrixXd::Identity(n, n)};
    const auto likelihood = [&](const Eigen::VectorXd& theta) {
        return restricted_likelihood(parts, theta, data.X, data.y);
    };
    // G0 = L L' and the other two by their logarithms: every point a valid model.
    const auto components = [](const Eigen::VectorXd& x) {
        Eigen::VectorXd theta(5);
        theta << x[0] * x[0], x[0] * x[1], x[1] * x[1] + x[2] * x[2], std::exp(x[3]), std::exp(x[4]);
        return theta;
    };
    const Eigen::VectorXd best =
        components(simplex_maximum([&](const Eigen::VectorXd& x) { return likelihood(components(x)); },
                                   (Eigen::VectorXd(5) << 4.0, 0.0, 3.0, 1.5, 3.5).finished()));

    Eigen::VectorXd ours(5);
    ours << table.at("V(animal)").first, table.at("C(animal,maternal(Dam))").first, table.at("V(maternal(Dam))").first,
        table.at("V(pe(Dam))").first, table.at("V(e)").first;
    const double at_ours = likelihood(ours);
    EXPECT_NEAR(table.at("logL").first, at_ours, 1e-6 * std::fabs(at_ours));
    EXPECT_GE(at_ours, likelihood(best) - 1e-7);
    for (Eigen::Index k = 0; k < 5; ++k) {
        EXPECT_NEAR(ours[k], best[k], 0.02 * std::sqrt(best[0] * best[4])) << "component " << k;
    }
    const double Vp = ours.sum();
    EXPECT_NEAR(table.at("Vp").first, Vp, 1e-5 * Vp);
    EXPECT_NEAR(table.at("animal/Vp").first, ours[0] / Vp, 1e-5);
    EXPECT_NEAR(table.at("maternal(Dam)/Vp").first, ours[2] / Vp, 1e-5);
    EXPECT_NEAR(table.at("r(animal,maternal(Dam))").first, ours[1] / std::sqrt(ours[0] * ours[2]), 1e-5);
    EXPECT_NEAR(table.at("h2_total").first, (ours[0] + 1.5 * ours[1] + 0.5 * ours[2]) / Vp, 1e-5);
    EXPECT_GT(table.at("h2_total").second, 0.0);

    // The breeding values at the estimates: u_a = A (s2a Z' + sam W') P y, u_m = A (sam Z' + s2m W') P y,
    // and their prediction error variances G0 A_ii - c'P c of c = Cov(y, u_i).
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(n, n);
    for (std::size_t k = 0; k < parts.size(); ++k) V += ours[static_cast<Eigen::Index>(k)] * parts[k];
    const Eigen::MatrixXd Vi = V.inverse();
    const Eigen::MatrixXd P = Vi - Vi * data.X * (data.X.transpose() * Vi * data.X).inverse() * data.X.transpose() * Vi;
    const Eigen::VectorXd Py = P * data.y;
    const Eigen::MatrixXd direct = A * (ours[0] * Z.transpose() + ours[1] * W.transpose());
    const Eigen::MatrixXd maternal = A * (ours[1] * Z.transpose() + ours[2] * W.transpose());
    std::map<std::string, std::pair<double, double>> predicted;  // "<effect> <id>" -> (value, SE)
    for (const std::string& line : lines_of(read_file(dir + "/m.reliability.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id, value, se;
        fields >> effect >> trait >> id >> value >> se;
        if (effect != "Effect") predicted[effect + " " + id] = {std::stod(value), std::stod(se)};
    }
    for (Eigen::Index i = 0; i < q; i += 29) {
        const std::string id = "m" + std::to_string(i + 1);
        for (const auto& [effect, cov, prior] : {std::tuple{std::string("animal"), &direct, ours[0]},
                                                 std::tuple{std::string("maternal(Dam)"), &maternal, ours[2]}}) {
            const Eigen::VectorXd c = cov->row(i).transpose();
            const double value = c.dot(Py), pev = prior * A(i, i) - c.dot(P * c);
            const auto& [ours_value, ours_se] = predicted.at(effect + " " + id);
            EXPECT_NEAR(ours_value, value, 1e-4 * (1.0 + std::fabs(value))) << effect << " " << id;
            EXPECT_NEAR(ours_se, std::sqrt(std::max(pev, 0.0)), 1e-4 * (1.0 + std::sqrt(std::max(pev, 0.0))))
                << effect << " " << id;
        }
    }
}

// What the maternal model needs is named before anything is read.
TEST(MaternalModel, RefusesWhatItCannotFit) {
    const std::string dir = make_scratch_dir();
    write_maternal(simulated_maternal(), dir);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "maternal.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const auto refusal = [&](const std::string& model) {
        return run_zelkora({"--reml", "--kin-file", "A.bin", "--phefile", "maternal.phe", "--model", model, "--out",
                            "r"},
                           dir)
            .err;
    };
    EXPECT_NE(refusal("WW ~ Sex + maternal(Dam)").find("write animal"), std::string::npos);
    EXPECT_NE(refusal("WW ~ Sex + animal + maternal(Dam) + pe(Sire)").find("there is no column Sire"),
              std::string::npos);
    EXPECT_NE(refusal("WW ~ Sex + animal + maternal(Dam, Sex)").find("write it as maternal(dam)"), std::string::npos);
}


// --lrt tests the direct-maternal block whole: its null likelihood is the maximum of the dense
// likelihood of the model without it (the dam's permanent environment and the residual, found
// here by the simplex), with three degrees of freedom; on the pedigree's equations as on the
// kinship.
TEST(MaternalModel, LikelihoodRatioTestOfTheBlockIsTheModelWithoutIt) {
    const std::string dir = make_scratch_dir();
    const MaternalData data = simulated_maternal();
    write_maternal(data, dir);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "maternal.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const auto n = data.y.size();
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(n, static_cast<Eigen::Index>(data.sire.size()));
    for (Eigen::Index r = 0; r < n; ++r) {
        if (data.record_dam[static_cast<std::size_t>(r)] >= 0) W(r, data.record_dam[static_cast<std::size_t>(r)]) = 1.0;
    }
    const std::vector<Eigen::MatrixXd> parts = {W * W.transpose(), Eigen::MatrixXd::Identity(n, n)};
    const auto null_likelihood = [&](const Eigen::VectorXd& x) {
        return restricted_likelihood(parts, x.array().exp().matrix(), data.X, data.y);
    };
    const double null_maximum =
        null_likelihood(simplex_maximum(null_likelihood, (Eigen::VectorXd(2) << 2.0, 4.0).finished()));

    for (const auto& [route, out] : {std::pair{std::vector<std::string>{"--kin-file", "A.bin"}, std::string("dense")},
                                     std::pair{std::vector<std::string>{"--pedigree", "maternal.ped"}, std::string("sparse")}}) {
        SCOPED_TRACE(out);
        std::vector<std::string> arguments = {"--reml", "--lrt", "--phefile", "maternal.phe", "--model",
                                              "WW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam)", "--out", out};
        arguments.insert(arguments.end(), route.begin(), route.end());
        const CommandResult run = run_zelkora(arguments, dir);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto tested = variance_table(dir + "/" + out + ".vc.txt");
        ASSERT_EQ(tested.count("LRT(animal,maternal(Dam))"), 1u);
        const double x = tested.at("LRT(animal,maternal(Dam))").first;
        EXPECT_NEAR(x, 2.0 * (tested.at("logL").first - null_maximum), 1e-2);
        // P(chi2(3) > x) = erfc(sqrt(x/2)) + sqrt(2x/pi) exp(-x/2).
        EXPECT_NEAR(tested.at("LRT(animal,maternal(Dam))").second,
                    std::erfc(std::sqrt(x / 2.0)) + std::sqrt(2.0 * x / M_PI) * std::exp(-x / 2.0), 1e-12);
        EXPECT_EQ(tested.count("LRT(pe(Dam))"), 1u);
    }
}

// The maternal model on the pedigree's sparse A^-1 (REML on the factored equations, effects from
// the factor) is the model on the kinship A read whole: the same likelihood at the same
// estimates, the same BLUPs and SEs at given variances. A dam with no line in the pedigree is
// the founder the pedigree would give her.
TEST(MaternalModel, PedigreeRouteIsTheKinshipRoute) {
    const std::string dir = make_scratch_dir();
    write_maternal(simulated_maternal(), dir);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "maternal.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const std::string model = "WW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam)";
    const auto run = [&](const std::vector<std::string>& route, const std::string& out,
                         const std::vector<std::string>& more = {}) {
        std::vector<std::string> arguments = {"--predict", "--phefile", "maternal.phe", "--model", model, "--out", out};
        arguments.insert(arguments.end(), route.begin(), route.end());
        arguments.insert(arguments.end(), more.begin(), more.end());
        const CommandResult result = run_zelkora(arguments, dir);
        EXPECT_EQ(result.status, 0) << result.err;
        return result;
    };
    run({"--kin-file", "A.bin"}, "dense");
    run({"--pedigree", "maternal.ped"}, "sparse");
    const auto dense = variance_table(dir + "/dense.vc.txt"), sparse = variance_table(dir + "/sparse.vc.txt");
    EXPECT_NEAR(sparse.at("logL").first, dense.at("logL").first, 1e-6);
    for (const std::string source : {"V(animal)", "C(animal,maternal(Dam))", "V(maternal(Dam))", "V(pe(Dam))", "V(e)",
                                     "h2_total", "r(animal,maternal(Dam))"}) {
        EXPECT_NEAR(sparse.at(source).first, dense.at(source).first, 1e-3 * dense.at(source).second) << source;
        EXPECT_NEAR(sparse.at(source).second, dense.at(source).second, 1e-3 * dense.at(source).second) << source;
    }

    // A residual per herd: the two routes agree, and each class's Vp is the components' sum
    // with its own residual (the covariance once).
    run({"--kin-file", "A.bin"}, "dense_herds", {"--residual-by", "Herd"});
    run({"--pedigree", "maternal.ped"}, "sparse_herds", {"--residual-by", "Herd"});
    const auto dense_herds = variance_table(dir + "/dense_herds.vc.txt");
    const auto sparse_herds = variance_table(dir + "/sparse_herds.vc.txt");
    EXPECT_NEAR(sparse_herds.at("logL").first, dense_herds.at("logL").first, 1e-6);
    for (const std::string herd : {"H0", "H1", "H2"}) {
        const std::string suffix = "(e:" + herd + ")";
        const double vp = sparse_herds.at("V(animal)").first + sparse_herds.at("C(animal,maternal(Dam))").first +
                          sparse_herds.at("V(maternal(Dam))").first + sparse_herds.at("V(pe(Dam))").first +
                          sparse_herds.at("V(e:" + herd + ")").first;
        EXPECT_NEAR(sparse_herds.at("Vp" + suffix).first, vp, 1e-9 * vp) << herd;
        EXPECT_NEAR(sparse_herds.at("animal/Vp" + suffix).first, sparse_herds.at("V(animal)").first / vp, 1e-9) << herd;
        EXPECT_NEAR(sparse_herds.at("h2_total" + suffix).first, dense_herds.at("h2_total" + suffix).first,
                    1e-3 * dense_herds.at("h2_total" + suffix).second)
            << herd;
    }

    const std::vector<std::string> given = {"--vc", "30,-5,12,6,40"};
    run({"--kin-file", "A.bin"}, "dense_given", given);
    run({"--pedigree", "maternal.ped"}, "sparse_given", given);
    const auto dense_effects = effect_rows(dir + "/dense_given.reliability.txt");
    const auto sparse_effects = effect_rows(dir + "/sparse_given.reliability.txt");
    ASSERT_EQ(sparse_effects.size(), dense_effects.size());
    for (const auto& [key, value] : dense_effects) {
        ASSERT_EQ(sparse_effects.count(key), 1U) << key.first << " " << key.second;
        EXPECT_NEAR(sparse_effects.at(key).first, value.first, 1e-5 * (1.0 + std::fabs(value.first))) << key.second;
        EXPECT_NEAR(sparse_effects.at(key).second, value.second, 1e-5 * value.second) << key.second;
    }

    // One record's dam has no line: she joins as a founder, as the line "x 0 0" would make her.
    std::string records = read_file(dir + "/maternal.phe");
    const std::size_t tab = records.find('\t', records.find('\n') + 1);
    records.replace(tab + 1, records.find('\t', tab + 1) - tab - 1, "newdam");
    write_file(dir + "/founder.phe", records);
    write_file(dir + "/founder.ped", read_file(dir + "/maternal.ped") + "newdam 0 0\n");
    const auto founder_run = [&](const std::string& pedigree, const std::string& out) {
        const CommandResult result =
            run_zelkora({"--predict", "--pedigree", pedigree, "--phefile", "founder.phe", "--model", model, "--vc",
                         "30,-5,12,6,40", "--out", out},
                        dir);
        EXPECT_EQ(result.status, 0) << result.err;
        return result;
    };
    EXPECT_NE(founder_run("maternal.ped", "joined").out.find("1 dam(s) without a line in the pedigree join it as founders"),
              std::string::npos);
    founder_run("founder.ped", "lined");
    EXPECT_EQ(read_file(dir + "/joined.random.txt"), read_file(dir + "/lined.random.txt"));
}

namespace {

// Two traits with the direct and maternal effects of each: five generations of 200 from 10
// sires and 40 dams of the one before, the four effects drawn down the pedigree with Vg (direct WW, YW, maternal WW, YW),
// the residuals with Ve; every animal after the first generation has a record, one in eleven
// without its dam, one in six without YW.
struct TwoTraitMaternal {
    std::vector<int> sire, dam, animal, record_dam;
    Eigen::MatrixXd X, Y;  // intercept, sex and herd; WW and YW (NaN: not recorded)
};

Eigen::MatrixXd two_trait_genetic() {
    Eigen::MatrixXd G(4, 4);
    G << 30, 10, -4, -1,  //
        10, 40, -2, -4,   //
        -4, -2, 20, 6,    //
        -1, -4, 6, 18;
    return G;
}

TwoTraitMaternal simulated_two_trait_maternal() {
    TwoTraitMaternal data;
    std::mt19937 random(977);
    std::normal_distribution<double> normal(0.0, 1.0);
    constexpr int kGeneration = 200, kAnimals = 1000, kSires = 10, kDams = 40;
    const Eigen::MatrixXd root = two_trait_genetic().llt().matrixL();
    const Eigen::MatrixXd residual_root = (Eigen::Matrix2d() << 35, 12, 12, 45).finished().llt().matrixL();
    std::vector<Eigen::Vector4d> value;
    for (int i = 0; i < kAnimals; ++i) {
        int s = -1, d = -1;
        if (i >= kGeneration) {
            const int first = (i / kGeneration - 1) * kGeneration;
            s = first + static_cast<int>(random() % kSires);
            d = first + kSires + static_cast<int>(random() % kDams);
        }
        data.sire.push_back(s);
        data.dam.push_back(d);
        Eigen::Vector4d parents = Eigen::Vector4d::Zero();
        if (s >= 0) parents += 0.5 * value[static_cast<std::size_t>(s)];
        if (d >= 0) parents += 0.5 * value[static_cast<std::size_t>(d)];
        const double sampling = s >= 0 && d >= 0 ? 0.5 : 1.0;
        Eigen::Vector4d z;
        for (Eigen::Index k = 0; k < 4; ++k) z[k] = normal(random);
        value.push_back(parents + std::sqrt(sampling) * root * z);
    }
    for (int i = kGeneration; i < kAnimals; ++i) {
        data.animal.push_back(i);
        data.record_dam.push_back(i % 11 == 0 ? -1 : data.dam[static_cast<std::size_t>(i)]);
    }
    const auto n = static_cast<Eigen::Index>(data.animal.size());
    data.X = Eigen::MatrixXd::Zero(n, 4);
    data.Y.resize(n, 2);
    for (Eigen::Index r = 0; r < n; ++r) {
        const int male = static_cast<int>(r % 2), herd = static_cast<int>((r / 2) % 3);
        data.X(r, 0) = 1.0;
        if (male) data.X(r, 1) = 1.0;
        if (herd > 0) data.X(r, 1 + herd) = 1.0;
        const int a = data.animal[static_cast<std::size_t>(r)], d = data.dam[static_cast<std::size_t>(a)];
        const Eigen::Vector2d e = residual_root * Eigen::Vector2d(normal(random), normal(random));
        for (Eigen::Index t = 0; t < 2; ++t) {
            data.Y(r, t) = (t == 0 ? 200.0 : 350.0) + 10.0 * male + 4.0 * herd + value[static_cast<std::size_t>(a)][t] +
                           value[static_cast<std::size_t>(d)][2 + t] + e[t];
        }
        if (r % 6 == 5) data.Y(r, 1) = std::nan("");
    }
    return data;
}

void write_two_trait_maternal(const TwoTraitMaternal& data, const std::string& dir) {
    std::ostringstream pedigree, records;
    const auto id = [](int i) { return i < 0 ? std::string("0") : "m" + std::to_string(i + 1); };
    pedigree << "ID Sire Dam\n";
    for (std::size_t i = 0; i < data.sire.size(); ++i) {
        pedigree << id(static_cast<int>(i)) << " " << id(data.sire[i]) << " " << id(data.dam[i]) << "\n";
    }
    records.precision(17);
    records << "ID\tDam\tSex\tHerd\tWW\tYW\n";
    for (Eigen::Index r = 0; r < data.Y.rows(); ++r) {
        const auto k = static_cast<std::size_t>(r);
        records << id(data.animal[k]) << "\t" << (data.record_dam[k] < 0 ? "NA" : id(data.record_dam[k])) << "\t"
                << (data.X(r, 1) > 0 ? "M" : "F") << "\tH" << (r / 2) % 3 << "\t" << data.Y(r, 0) << "\t";
        if (std::isnan(data.Y(r, 1))) {
            records << "NA\n";
        } else {
            records << data.Y(r, 1) << "\n";
        }
    }
    write_file(dir + "/two.ped", pedigree.str());
    write_file(dir + "/two.phe", records.str());
}

// V over the values present (WW of every record, then YW of those with it) as sum theta_k V_k:
// Vg's lower triangle row by row over the parts (direct WW, YW, maternal WW, YW), with
// `environment` Vpe's over the dams (the dam's permanent environment of WW and YW), then Ve's;
// the incidences of the parts, and the design of each trait's own fixed effects.
struct TwoTraitDense {
    std::vector<Eigen::MatrixXd> parts;
    std::vector<Eigen::MatrixXd> Z;  // per part, values x animals
    std::vector<Eigen::MatrixXd> W;  // per trait, values x animals: the dam of its values
    Eigen::MatrixXd X;
    Eigen::VectorXd y;
};
TwoTraitDense two_trait_dense(const TwoTraitMaternal& data, bool environment = false) {
    std::vector<std::pair<Eigen::Index, Eigen::Index>> values;  // (record, trait)
    for (Eigen::Index t = 0; t < 2; ++t) {
        for (Eigen::Index r = 0; r < data.Y.rows(); ++r) {
            if (!std::isnan(data.Y(r, t))) values.emplace_back(r, t);
        }
    }
    const auto n = static_cast<Eigen::Index>(values.size()), q = static_cast<Eigen::Index>(data.sire.size());
    std::vector<std::pair<int, int>> parents;
    for (std::size_t i = 0; i < data.sire.size(); ++i) parents.emplace_back(data.sire[i], data.dam[i]);
    const Eigen::MatrixXd A = ::tabular_relationships(parents);
    TwoTraitDense dense;
    dense.Z.assign(4, Eigen::MatrixXd::Zero(n, q));
    dense.X = Eigen::MatrixXd::Zero(n, 2 * data.X.cols());
    dense.y.resize(n);
    Eigen::MatrixXd E = Eigen::MatrixXd::Zero(n, data.Y.rows());
    for (Eigen::Index v = 0; v < n; ++v) {
        const auto [r, t] = values[static_cast<std::size_t>(v)];
        dense.y[v] = data.Y(r, t);
        dense.X.row(v).segment(t * data.X.cols(), data.X.cols()) = data.X.row(r);
        dense.Z[static_cast<std::size_t>(t)](v, data.animal[static_cast<std::size_t>(r)]) = 1.0;
        if (data.record_dam[static_cast<std::size_t>(r)] >= 0) {
            dense.Z[static_cast<std::size_t>(2 + t)](v, data.record_dam[static_cast<std::size_t>(r)]) = 1.0;
        }
        E(v, r) = 1.0;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const Eigen::MatrixXd part = dense.Z[i] * A * dense.Z[j].transpose();
            dense.parts.push_back(i == j ? part : Eigen::MatrixXd(part + part.transpose()));
        }
    }
    dense.W = {dense.Z[2], dense.Z[3]};
    for (std::size_t a = 0; a < 2 && environment; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            const Eigen::MatrixXd part = dense.W[a] * dense.W[b].transpose();
            dense.parts.push_back(a == b ? part : Eigen::MatrixXd(part + part.transpose()));
        }
    }
    // Ve(a, b): the records' values of traits a and b.
    for (Eigen::Index a = 0; a < 2; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) {
            Eigen::MatrixXd part = Eigen::MatrixXd::Zero(n, n);
            for (Eigen::Index u = 0; u < n; ++u) {
                for (Eigen::Index w = 0; w < n; ++w) {
                    const auto [r, c] = values[static_cast<std::size_t>(u)];
                    const auto [s, d] = values[static_cast<std::size_t>(w)];
                    if (r == s && ((c == a && d == b) || (c == b && d == a))) part(u, w) = 1.0;
                }
            }
            dense.parts.push_back(part);
        }
    }
    return dense;
}

}  // namespace

// Two traits with maternal effects on the pedigree's sparse equations: REML's estimates are a
// stationary point of the dense restricted likelihood of the same model (moving any component by
// its SE changes its slope's share of logL by less than 0.01), its logL is that likelihood, the
// shares and correlations are those components', and the four effects predicted at given
// variances are the dense BLUPs with their SEs.
TEST(MaternalModel, SeveralTraitsOnThePedigree) {
    const std::string dir = make_scratch_dir();
    const TwoTraitMaternal data = simulated_two_trait_maternal();
    write_two_trait_maternal(data, dir);
    const std::string model = "WW, YW ~ Sex + Herd + animal + maternal(Dam)";
    const CommandResult run = run_zelkora({"--reml", "--pedigree", "two.ped", "--phefile", "two.phe", "--model", model,
                                           "--out", "two"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto table = variance_table(dir + "/two.vc.txt");
    const std::vector<std::string> labels = {"WW", "YW", "maternal(Dam):WW", "maternal(Dam):YW"};
    std::vector<std::string> names;
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j <= i; ++j) names.push_back("Vg(" + (i == j ? labels[i] : labels[j] + "," + labels[i]) + ")");
    }
    for (const std::string element : {"WW", "WW,YW", "YW"}) names.push_back("Ve(" + element + ")");
    Eigen::VectorXd ours(13), se(13);
    for (std::size_t k = 0; k < names.size(); ++k) {
        ASSERT_EQ(table.count(names[k]), 1u) << names[k];
        ours[static_cast<Eigen::Index>(k)] = table.at(names[k]).first;
        se[static_cast<Eigen::Index>(k)] = table.at(names[k]).second;
    }
    Eigen::MatrixXd G(4, 4);
    for (Eigen::Index i = 0, k = 0; i < 4; ++i) {
        for (Eigen::Index j = 0; j <= i; ++j, ++k) G(i, j) = G(j, i) = ours[k];
    }
    // The check of a stationary point needs an estimate inside the space.
    ASSERT_GT(Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(G).eigenvalues().minCoeff(), 0.0);

    const TwoTraitDense dense = two_trait_dense(data);
    const auto likelihood = [&](const Eigen::VectorXd& theta) {
        return restricted_likelihood(dense.parts, theta, dense.X, dense.y);
    };
    const double at_ours = likelihood(ours);
    EXPECT_NEAR(table.at("logL").first, at_ours, 1e-6 * std::fabs(at_ours));
    for (Eigen::Index k = 0; k < 13; ++k) {
        const double h = 1e-4 * se[k];
        Eigen::VectorXd up = ours, down = ours;
        up[k] += h;
        down[k] -= h;
        EXPECT_LT(std::fabs((likelihood(up) - likelihood(down)) / (2 * h)) * se[k], 0.01) << names[k];
    }
    const double vp = ours[0] + ours[3] + ours[5] + ours[10];
    EXPECT_NEAR(table.at("Vp(WW)").first, vp, 1e-9 * vp);
    EXPECT_NEAR(table.at("h2(WW)").first, ours[0] / vp, 1e-9);
    EXPECT_NEAR(table.at("h2_maternal(WW)").first, ours[5] / vp, 1e-9);
    EXPECT_NEAR(table.at("h2_total(YW)").first,
                (ours[2] + 1.5 * ours[7] + 0.5 * ours[9]) / (ours[2] + ours[7] + ours[9] + ours[12]), 1e-9);
    EXPECT_NEAR(table.at("rg(YW,maternal(Dam):YW)").first, ours[7] / std::sqrt(ours[2] * ours[9]), 1e-9);

    // The breeding values at given variances: u_i = A sum_j Vg(i, j) Z_j' P y, with prediction
    // error variances Vg(i, i) A_kk - c'P c of c = Cov(y, u_ik).
    const std::string given = "30,10,40,-4,-2,20,-1,-4,6,18,35,12,45";
    const CommandResult predicted = run_zelkora({"--predict", "--pedigree", "two.ped", "--phefile", "two.phe", "--model",
                                                 model, "--vc", given, "--out", "given"},
                                                dir);
    ASSERT_EQ(predicted.status, 0) << predicted.err;
    Eigen::VectorXd theta(13);
    theta << 30, 10, 40, -4, -2, 20, -1, -4, 6, 18, 35, 12, 45;
    const Eigen::MatrixXd Vg = two_trait_genetic();
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(dense.y.size(), dense.y.size());
    for (Eigen::Index k = 0; k < 13; ++k) V += theta[k] * dense.parts[static_cast<std::size_t>(k)];
    const Eigen::MatrixXd Vi = V.inverse();
    const Eigen::MatrixXd P =
        Vi - Vi * dense.X * (dense.X.transpose() * Vi * dense.X).inverse() * dense.X.transpose() * Vi;
    const Eigen::VectorXd Py = P * dense.y;
    std::vector<std::pair<int, int>> parents;
    for (std::size_t i = 0; i < data.sire.size(); ++i) parents.emplace_back(data.sire[i], data.dam[i]);
    const Eigen::MatrixXd A = ::tabular_relationships(parents);
    std::map<std::string, std::pair<double, double>> rows;  // "<effect> <trait> <id>" -> (value, SE)
    for (const std::string& line : lines_of(read_file(dir + "/given.reliability.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id, value, error;
        fields >> effect >> trait >> id >> value >> error;
        if (effect != "Effect") rows[effect + " " + trait + " " + id] = {std::stod(value), std::stod(error)};
    }
    ASSERT_EQ(rows.size(), 4 * data.sire.size());
    for (Eigen::Index i = 0; i < 4; ++i) {
        Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(A.rows(), dense.y.size());
        for (Eigen::Index j = 0; j < 4; ++j) covariance += Vg(i, j) * A * dense.Z[static_cast<std::size_t>(j)].transpose();
        const std::string key = std::string(i < 2 ? "animal " : "maternal(Dam) ") + (i % 2 == 0 ? "WW " : "YW ");
        for (Eigen::Index k = 3; k < A.rows(); k += 37) {
            const Eigen::VectorXd c = covariance.row(k).transpose();
            const double value = c.dot(Py), pev = std::max(Vg(i, i) * A(k, k) - c.dot(P * c), 0.0);
            const auto& [ours_value, ours_se] = rows.at(key + "m" + std::to_string(k + 1));
            EXPECT_NEAR(ours_value, value, 1e-5 * (1.0 + std::fabs(value))) << key << k;
            EXPECT_NEAR(ours_se, std::sqrt(pev), 1e-5 * (1.0 + std::sqrt(pev))) << key << k;
        }
    }

    // With the dam's permanent environment: the likelihood at REML's estimates is the dense one,
    // and each dam's two values at given variances are the dense BLUPs Vpe(a, b) W_b' P y.
    const std::string with_pe = "WW, YW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam)";
    ASSERT_EQ(run_zelkora({"--reml", "--pedigree", "two.ped", "--phefile", "two.phe", "--model", with_pe, "--out", "pe"},
                          dir)
                  .status,
              0);
    const auto pe_table = variance_table(dir + "/pe.vc.txt");
    const TwoTraitDense pe_dense = two_trait_dense(data, true);
    std::vector<std::string> pe_names(names.begin(), names.begin() + 10);
    for (const std::string element : {"WW", "WW,YW", "YW"}) pe_names.push_back("Vpe(" + element + ")");
    pe_names.insert(pe_names.end(), names.begin() + 10, names.end());
    Eigen::VectorXd pe_ours(16);
    for (std::size_t k = 0; k < pe_names.size(); ++k) {
        ASSERT_EQ(pe_table.count(pe_names[k]), 1u) << pe_names[k];
        pe_ours[static_cast<Eigen::Index>(k)] = pe_table.at(pe_names[k]).first;
    }
    const double pe_likelihood = restricted_likelihood(pe_dense.parts, pe_ours, pe_dense.X, pe_dense.y);
    EXPECT_NEAR(pe_table.at("logL").first, pe_likelihood, 1e-6 * std::fabs(pe_likelihood));
    const double pe_vp = pe_ours[0] + pe_ours[3] + pe_ours[5] + pe_ours[10] + pe_ours[13];
    EXPECT_NEAR(pe_table.at("c2(WW)").first, pe_ours[10] / pe_vp, 1e-9);
    ASSERT_EQ(run_zelkora({"--predict", "--pedigree", "two.ped", "--phefile", "two.phe", "--model", with_pe, "--vc",
                           "30,10,40,-4,-2,20,-1,-4,6,18,8,3,6,35,12,45", "--out", "pe_given"},
                          dir)
                  .status,
              0);
    Eigen::VectorXd pe_theta(16);
    pe_theta << 30, 10, 40, -4, -2, 20, -1, -4, 6, 18, 8, 3, 6, 35, 12, 45;
    Eigen::MatrixXd pe_V = Eigen::MatrixXd::Zero(pe_dense.y.size(), pe_dense.y.size());
    for (Eigen::Index k = 0; k < 16; ++k) pe_V += pe_theta[k] * pe_dense.parts[static_cast<std::size_t>(k)];
    const Eigen::MatrixXd pe_Vi = pe_V.inverse();
    const Eigen::MatrixXd pe_P =
        pe_Vi - pe_Vi * pe_dense.X * (pe_dense.X.transpose() * pe_Vi * pe_dense.X).inverse() * pe_dense.X.transpose() * pe_Vi;
    const Eigen::Matrix2d Vpe = (Eigen::Matrix2d() << 8, 3, 3, 6).finished();
    std::map<std::string, std::pair<double, double>> pe_rows;
    for (const std::string& line : lines_of(read_file(dir + "/pe_given.reliability.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id, value, error;
        fields >> effect >> trait >> id >> value >> error;
        if (effect == "pe(Dam)") pe_rows[trait + " " + id] = {std::stod(value), std::stod(error)};
    }
    std::set<int> dams(data.record_dam.begin(), data.record_dam.end());
    dams.erase(-1);
    ASSERT_EQ(pe_rows.size(), 2 * dams.size());
    for (Eigen::Index a = 0; a < 2; ++a) {
        const Eigen::MatrixXd covariance = Vpe(a, 0) * pe_dense.W[0].transpose() + Vpe(a, 1) * pe_dense.W[1].transpose();
        for (const int dam : dams) {
            if (dam % 5 != 0) continue;
            const Eigen::VectorXd c = covariance.row(dam).transpose();
            const double value = c.dot(pe_P * pe_dense.y), pev = std::max(Vpe(a, a) - c.dot(pe_P * c), 0.0);
            const auto& [ours_value, ours_se] = pe_rows.at(std::string(a == 0 ? "WW " : "YW ") + "m" + std::to_string(dam + 1));
            EXPECT_NEAR(ours_value, value, 1e-5 * (1.0 + std::fabs(value))) << a << " " << dam;
            EXPECT_NEAR(ours_se, std::sqrt(pev), 1e-5 * (1.0 + std::sqrt(pev))) << a << " " << dam;
        }
    }

    // On A read whole from a kinship file: the dense likelihood at the given variances, and the
    // effects of the pedigree route with their SEs.
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "two.ped", "--kin-bin", "--out", "A"}, dir).status, 0);
    const CommandResult on_kinship = run_zelkora({"--predict", "--kin-file", "A.bin", "--phefile", "two.phe", "--model",
                                                  with_pe, "--vc", "30,10,40,-4,-2,20,-1,-4,6,18,8,3,6,35,12,45",
                                                  "--out", "kin"},
                                                 dir);
    ASSERT_EQ(on_kinship.status, 0) << on_kinship.err;
    const double at_given = restricted_likelihood(pe_dense.parts, pe_theta, pe_dense.X, pe_dense.y);
    EXPECT_NEAR(variance_table(dir + "/kin.vc.txt").at("logL").first, at_given, 1e-6 * std::fabs(at_given));
    const std::vector<std::string> kin_lines = lines_of(read_file(dir + "/kin.reliability.txt"));
    const std::vector<std::string> pedigree_lines = lines_of(read_file(dir + "/pe_given.reliability.txt"));
    ASSERT_EQ(kin_lines.size(), pedigree_lines.size());
    for (std::size_t k = 1; k < kin_lines.size(); ++k) {
        std::istringstream kin_fields(kin_lines[k]), pedigree_fields(pedigree_lines[k]);
        std::string kin_key[3], pedigree_key[3];
        double kin_value = 0, kin_se = 0, pedigree_value = 0, pedigree_se = 0;
        kin_fields >> kin_key[0] >> kin_key[1] >> kin_key[2] >> kin_value >> kin_se;
        pedigree_fields >> pedigree_key[0] >> pedigree_key[1] >> pedigree_key[2] >> pedigree_value >> pedigree_se;
        ASSERT_EQ(kin_key[0] + kin_key[1] + kin_key[2], pedigree_key[0] + pedigree_key[1] + pedigree_key[2]);
        EXPECT_NEAR(kin_value, pedigree_value, 1e-5 * (1.0 + std::fabs(pedigree_value))) << kin_lines[k];
        EXPECT_NEAR(kin_se, pedigree_se, 1e-5 * (1.0 + pedigree_se)) << kin_lines[k];
    }
}

namespace {

// The memory a run may take, for one test: as on a machine where the factor does not fit.
class MemoryLimit {
public:
    explicit MemoryLimit(const char* gigabytes) { setenv("ZELKORA_MEMORY_LIMIT", gigabytes, 1); }
    ~MemoryLimit() { unsetenv("ZELKORA_MEMORY_LIMIT"); }
    MemoryLimit(const MemoryLimit&) = delete;
    MemoryLimit& operator=(const MemoryLimit&) = delete;
};

}  // namespace

// Two traits with maternal effects and the dam's permanent environment where the factor does not
// fit: at given variances every effect is still the dense BLUP (solved by PCG, values alone, no
// logL); REML takes Monte Carlo REML, exact REML refused with the factor's size; a limit that is
// no number is refused by name.
TEST(MaternalModel, SeveralTraitsByPcgWhereTheFactorDoesNotFit) {
    const std::string dir = make_scratch_dir();
    const TwoTraitMaternal data = simulated_two_trait_maternal();
    write_two_trait_maternal(data, dir);
    const std::string model = "WW, YW ~ Sex + Herd + animal + maternal(Dam) + pe(Dam)";
    const std::string given = "30,10,40,-4,-2,20,-1,-4,6,18,8,3,6,35,12,45";
    const MemoryLimit none("0");
    const CommandResult predicted = run_zelkora({"--predict", "--pedigree", "two.ped", "--phefile", "two.phe", "--model",
                                                 model, "--vc", given, "--pcg-tol", "1e-10", "--out", "pcg"},
                                                dir);
    ASSERT_EQ(predicted.status, 0) << predicted.err;
    EXPECT_NE(predicted.out.find("solved by PCG"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/pcg.reliability.txt"));
    EXPECT_TRUE(std::isnan(variance_table(dir + "/pcg.vc.txt").at("logL").first));

    Eigen::VectorXd theta(16);
    theta << 30, 10, 40, -4, -2, 20, -1, -4, 6, 18, 8, 3, 6, 35, 12, 45;
    const TwoTraitDense dense = two_trait_dense(data, true);
    Eigen::MatrixXd V = Eigen::MatrixXd::Zero(dense.y.size(), dense.y.size());
    for (Eigen::Index k = 0; k < 16; ++k) V += theta[k] * dense.parts[static_cast<std::size_t>(k)];
    const Eigen::MatrixXd Vi = V.inverse();
    const Eigen::MatrixXd XtViX = dense.X.transpose() * Vi * dense.X;
    // Sex F is each trait's reference level: its columns leave the design.
    const Eigen::VectorXd Py =
        (Vi - Vi * dense.X * XtViX.completeOrthogonalDecomposition().pseudoInverse() * dense.X.transpose() * Vi) *
        dense.y;
    std::map<std::string, double> values;  // "<effect> <trait> <id>"
    for (const std::string& line : lines_of(read_file(dir + "/pcg.random.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id, value;
        fields >> effect >> trait >> id >> value;
        if (effect != "Effect") values[effect + " " + trait + " " + id] = std::stod(value);
    }
    std::vector<std::pair<int, int>> parents;
    for (std::size_t i = 0; i < data.sire.size(); ++i) parents.emplace_back(data.sire[i], data.dam[i]);
    const Eigen::MatrixXd A = ::tabular_relationships(parents);
    Eigen::MatrixXd G(4, 4);
    for (Eigen::Index i = 0, k = 0; i < 4; ++i) {
        for (Eigen::Index j = 0; j <= i; ++j, ++k) G(i, j) = G(j, i) = theta[k];
    }
    for (Eigen::Index i = 0; i < 4; ++i) {
        Eigen::VectorXd blup = Eigen::VectorXd::Zero(A.rows());
        for (Eigen::Index j = 0; j < 4; ++j) blup += G(i, j) * A * (dense.Z[static_cast<std::size_t>(j)].transpose() * Py);
        const std::string key = std::string(i < 2 ? "animal " : "maternal(Dam) ") + (i % 2 == 0 ? "WW " : "YW ");
        for (Eigen::Index k = 0; k < A.rows(); k += 23) {
            ASSERT_EQ(values.count(key + "m" + std::to_string(k + 1)), 1u) << key << k;
            EXPECT_NEAR(values.at(key + "m" + std::to_string(k + 1)), blup[k], 1e-5 * (1.0 + std::fabs(blup[k]))) << key << k;
        }
    }
    const Eigen::Matrix2d Vpe = (Eigen::Matrix2d() << 8, 3, 3, 6).finished();
    for (Eigen::Index a = 0; a < 2; ++a) {
        const Eigen::VectorXd blup =
            Vpe(a, 0) * dense.W[0].transpose() * Py + Vpe(a, 1) * dense.W[1].transpose() * Py;
        for (const int dam : data.record_dam) {
            if (dam < 0 || dam % 7 != 0) continue;
            const std::string key = std::string("pe(Dam) ") + (a == 0 ? "WW " : "YW ") + "m" + std::to_string(dam + 1);
            ASSERT_EQ(values.count(key), 1u) << key;
            EXPECT_NEAR(values.at(key), blup[dam], 1e-5 * (1.0 + std::fabs(blup[dam]))) << key;
        }
    }
    // The fixed effects without SEs: the equations' inverse is not had.
    for (const std::string& line : lines_of(read_file(dir + "/pcg.fixed.txt"))) {
        if (line.rfind("Trait", 0) == 0) continue;
        std::istringstream fields(line);
        std::string trait, effect, level, estimate, se;
        fields >> trait >> effect >> level >> estimate >> se;
        EXPECT_EQ(se, "NA") << line;
    }

    // REML takes the factor only where asked to: otherwise Monte Carlo REML (its few vectors here
    // say only that it runs).
    const CommandResult reml = run_zelkora({"--reml", "--pedigree", "two.ped", "--phefile", "two.phe", "--model", model,
                                            "--reml-method", "exact", "--out", "reml"},
                                           dir);
    EXPECT_EQ(reml.status, 1);
    EXPECT_NE(reml.err.find("take the factor of the equations, which needs about"), std::string::npos) << reml.err;
    EXPECT_NE(reml.err.find("or use --reml-method mc (Monte Carlo REML)"), std::string::npos) << reml.err;
    const CommandResult monte_carlo = run_zelkora({"--reml", "--pedigree", "two.ped", "--phefile", "two.phe", "--model",
                                                   model, "--mc-samples", "10", "--out", "mc"},
                                                  dir);
    ASSERT_EQ(monte_carlo.status, 0) << monte_carlo.err;
    EXPECT_NE(monte_carlo.out.find("do not fit in the free memory: Monte Carlo REML"), std::string::npos);
    EXPECT_TRUE(std::isnan(variance_table(dir + "/mc.vc.txt").at("logL").first));

    const MemoryLimit garbage("lots");
    const CommandResult refused = run_zelkora({"--predict", "--pedigree", "two.ped", "--phefile", "two.phe", "--model",
                                               model, "--vc", given, "--out", "garbage"},
                                              dir);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("ZELKORA_MEMORY_LIMIT=lots is not a number of GB"), std::string::npos) << refused.err;

    // Set but empty, as unset: the factor fits, with reliabilities.
    const MemoryLimit empty("");
    ASSERT_EQ(run_zelkora({"--predict", "--pedigree", "two.ped", "--phefile", "two.phe", "--model", model, "--vc", given,
                           "--out", "factored"},
                          dir)
                  .status,
              0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/factored.reliability.txt"));
}
