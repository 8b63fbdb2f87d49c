// Whole runs of the sparse routes on examples/: the inverse of A and H written as triplets, and
// breeding values by iteration checked against the dense routes of the same program (which build
// A or H, estimate the variances and solve directly).

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string kExamples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";

std::map<std::string, double> breeding_values(const std::string& path) {
    std::map<std::string, double> values;
    const std::vector<std::string> lines = lines_of(read_file(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string id;
        double value = 0.0;
        fields >> id >> value;
        values[id] = value;
    }
    return values;
}

// Correlation and largest difference relative to the SD of `reference`, over its individuals.
std::pair<double, double> agreement(const std::map<std::string, double>& ours,
                                    const std::map<std::string, double>& reference) {
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, largest = 0;
    const double n = static_cast<double>(reference.size());
    for (const auto& [id, y] : reference) {
        const double x = ours.at(id);
        sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y;
        largest = std::max(largest, std::abs(x - y));
    }
    const double sd = std::sqrt(syy / n - sy * sy / n / n);
    return {(sxy / n - sx * sy / n / n) / std::sqrt((sxx / n - sx * sx / n / n) * (syy / n - sy * sy / n / n)),
            largest / sd};
}

// The REML estimates of a dense --predict, read from its result table in the log.
std::string estimated_variances(const std::string& log) {
    std::smatch add, residual;
    EXPECT_TRUE(std::regex_search(log, add, std::regex("\nAdd\t(\\S+)\t")));
    EXPECT_TRUE(std::regex_search(log, residual, std::regex("\ne\t(\\S+)\t")));
    return add[1].str() + "," + residual[1].str();
}

TEST(PedigreePrediction, InverseFilesOfAAndH) {
    const std::string dir = make_scratch_dir();
    CommandResult run = run_zelkora({"--kinship", "--pedigree", kExamples + ".ped", "--kin-inverse", "--out", "a"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    run = run_zelkora({"--kinship", "--pedigree", kExamples + ".ped", "--out", "dense"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    // The positions follow the pedigree's order, that of the dense A.
    const std::string ids = read_file(dir + "/a.inverse.id");
    const std::string header = lines_of(read_file(dir + "/dense.kinship.txt"))[0];
    EXPECT_EQ(std::regex_replace(ids, std::regex("\n"), "\t"), header.substr(1) + "\t");
    const std::vector<std::string> triplets = lines_of(read_file(dir + "/a.inverse.txt"));
    ASSERT_GT(triplets.size(), 600u);
    EXPECT_EQ(triplets[0].substr(0, 4), "1 1 ");
    EXPECT_NE(read_file(dir + "/a.log").find("Inverse of A by Henderson's rules"), std::string::npos);

    run = run_zelkora({"--kinship", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--kin-inverse",
                       "--threads", "2", "--out", "h"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    // The 400 genotyped give a dense block: its 80,200 values of the lower triangle are all there.
    EXPECT_GT(lines_of(read_file(dir + "/h.inverse.txt")).size(), 80200u);
    EXPECT_NE(read_file(dir + "/h.log").find("👏 Inverse of H written to h.inverse.txt and h.inverse.id"),
              std::string::npos);
}

// The genotype filters shape the G of the inverse of H as they shape the dense H: the inverse from
// the raw genotypes with --remove and --maf is that of the files PLINK 2 filtered the same way.
TEST(PedigreePrediction, InverseOfHTakesTheGenotypeFilters) {
    if (std::system("command -v plink2 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "plink2 is not installed (scripts/setup installs it)";
    }
    const std::string dir = make_scratch_dir();
    write_file(dir + "/remove.txt", "F1 I201\nF1 I203\nF1 I250\n");
    ASSERT_EQ(run_program("plink2", {"--bfile", kExamples, "--nonfounders", "--remove", "remove.txt", "--maf", "0.05",
                                     "--make-bed", "--out", "plink"}, dir).status, 0)
        << read_file(dir + "/plink.log");
    const std::vector<std::string> inverse = {"--kinship", "--pedigree", kExamples + ".ped", "--kin-inverse"};
    std::vector<std::string> filtered = inverse;
    filtered.insert(filtered.end(), {"--bedfile", kExamples, "--remove", "remove.txt", "--maf", "0.05", "--out", "f"});
    CommandResult run = run_zelkora(filtered, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> reference = inverse;
    reference.insert(reference.end(), {"--bedfile", "plink", "--out", "r"});
    run = run_zelkora(reference, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir + "/f.inverse.id"), read_file(dir + "/r.inverse.id"));
    EXPECT_TRUE(read_file(dir + "/f.inverse.txt") == read_file(dir + "/r.inverse.txt"));
    const std::string log = read_file(dir + "/f.log");
    EXPECT_NE(log.find("--remove remove.txt removed 3 individuals"), std::string::npos) << log;
    const std::string removed = read_file(dir + "/f.removed.txt");
    for (const char* id : {"I201", "I203", "I250"}) {
        EXPECT_NE(removed.find(std::string(id) + "\t"), std::string::npos) << id;
    }
}

// The correlation of the approximate reliabilities of `approximate` (every row "approximate")
// with the exact ones of `exact`, by ID.
double reliability_agreement(const std::string& approximate, const std::string& exact) {
    std::map<std::string, double> exact_values;
    for (const std::string& line : lines_of(read_file(exact))) {
        std::istringstream fields(line);
        std::string id;
        double value = 0.0, se = 0.0, reliability = 0.0;
        if (fields >> id >> value >> se >> reliability) exact_values[id] = reliability;
    }
    const std::vector<std::string> lines = lines_of(read_file(approximate));
    EXPECT_EQ(lines.at(0), "ID\tEBV\tSE\tReliability\tMethod");
    std::vector<double> x, y;
    for (std::size_t r = 1; r < lines.size(); ++r) {
        std::istringstream fields(lines[r]);
        std::string id, method;
        double value = 0.0, se = 0.0, reliability = 0.0;
        EXPECT_TRUE(fields >> id >> value >> se >> reliability >> method) << lines[r];
        EXPECT_EQ(method, "approximate");
        EXPECT_EQ(exact_values.count(id), 1u) << id;
        x.push_back(reliability);
        y.push_back(exact_values[id]);
    }
    EXPECT_EQ(x.size(), exact_values.size());
    const Eigen::Map<const Eigen::ArrayXd> a(x.data(), static_cast<Eigen::Index>(x.size())),
        b(y.data(), static_cast<Eigen::Index>(y.size()));
    const Eigen::ArrayXd da = a - a.mean(), db = b - b.mean();
    return (da * db).sum() / std::sqrt(da.square().sum() * db.square().sum());
}

TEST(PedigreePrediction, MatchesTheDenseRoutesAtTheirEstimates) {
    const std::string dir = make_scratch_dir();
    const std::vector<std::string> data = {"--phefile", kExamples + ".phe", "--phe-pos", "4", "--covar-pos", "2,3"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), data.begin(), data.end());
        return args;
    };
    // Pedigree BLUP: the dense route on A's text file (4 decimals), then the sparse one at its estimates.
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", kExamples + ".ped", "--out", "A"}, dir).status, 0);
    ASSERT_EQ(run_zelkora(with({"--predict", "--kin-file", "A.kinship.txt", "--out", "dense_a"}), dir).status, 0);
    const std::string a_variances = estimated_variances(read_file(dir + "/dense_a.log"));
    CommandResult run = run_zelkora(
        with({"--predict", "--pedigree", kExamples + ".ped", "--vc", a_variances, "--out", "sparse_a"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    auto [correlation, difference] =
        agreement(breeding_values(dir + "/sparse_a.random.txt"), breeding_values(dir + "/dense_a.random.txt"));
    EXPECT_GT(correlation, 0.99999);
    EXPECT_LT(difference, 0.005);  // the text file's 4 decimals and the estimates' 6 digits
    const std::string log = read_file(dir + "/sparse_a.log");
    EXPECT_NE(log.find("✅ Converged after"), std::string::npos);
    EXPECT_NE(log.find("👉 Reliabilities approximated (Method approximate)"), std::string::npos) << log;
    EXPECT_NE(log.find("Covar2_M\t"), std::string::npos);
    EXPECT_GT(reliability_agreement(dir + "/sparse_a.reliability.txt", dir + "/dense_a.reliability.txt"), 0.95);
    EXPECT_EQ(lines_of(read_file(dir + "/sparse_a.random.txt")).size(), 601u);
    EXPECT_EQ(lines_of(read_file(dir + "/sparse_a.random.txt"))[0], "Sample_ID,Ran_Effects");
    const std::string vc = read_file(dir + "/sparse_a.vc.txt");
    EXPECT_NE(vc.find("V(Add)\t" + a_variances.substr(0, a_variances.find(',')) + "\tNA\n"), std::string::npos) << vc;
    EXPECT_NE(vc.find("logL\tNA\tNA\nn_records\t558\tNA\nn_individuals\t600\tNA\n"), std::string::npos) << vc;

    // No additive variance: every breeding value 0, the fixed effects by least squares.
    run = run_zelkora(with({"--predict", "--pedigree", kExamples + ".ped", "--vc", "0,60", "--out", "zero"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(read_file(dir + "/zero.log").find("👉 Sigma_a2 = 0: every breeding value is 0"), std::string::npos);
    for (const auto& [id, value] : breeding_values(dir + "/zero.random.txt")) ASSERT_EQ(value, 0.0) << id;

    // Single-step: against the dense H (tau = omega = 1, where the dense route adds no ridge).
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--out", "H"}, dir)
                  .status, 0);
    ASSERT_EQ(run_zelkora(with({"--predict", "--kin-file", "H.kinship.txt", "--out", "dense_h"}), dir).status, 0);
    const std::string h_variances = estimated_variances(read_file(dir + "/dense_h.log"));
    run = run_zelkora(with({"--predict", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--vc", h_variances,
                            "--out", "sparse_h"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    std::tie(correlation, difference) =
        agreement(breeding_values(dir + "/sparse_h.random.txt"), breeding_values(dir + "/dense_h.random.txt"));
    EXPECT_GT(correlation, 0.9999);
    EXPECT_LT(difference, 0.02);
    EXPECT_GT(reliability_agreement(dir + "/sparse_h.reliability.txt", dir + "/dense_h.reliability.txt"), 0.95);

    // APY with every genotyped individual in the core is the plain inverse; a smaller core is close.
    run = run_zelkora(with({"--predict", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--vc", h_variances,
                            "--apy-core", "400", "--out", "apy_all"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LT(agreement(breeding_values(dir + "/apy_all.random.txt"), breeding_values(dir + "/sparse_h.random.txt"))
                  .second,
              1e-4);
    run = run_zelkora(with({"--predict", "--pedigree", kExamples + ".ped", "--bedfile", kExamples, "--vc", h_variances,
                            "--apy-core", "150", "--out", "apy"}), dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(read_file(dir + "/apy.log").find("a core of 150 of the 400 genotyped individuals (drawn with seed"),
              std::string::npos);
    EXPECT_GT(agreement(breeding_values(dir + "/apy.random.txt"), breeding_values(dir + "/sparse_h.random.txt")).first,
              0.95);
}

}  // namespace

// Repeated records by iteration share the breeding value alone: the log warns, and says how to fit
// their permanent environment; logL is NA with its reason.
TEST(PedigreePrediction, RepeatedRecordsAreWarnedOfInTheLog) {
    const std::string dir = make_scratch_dir();
    const CommandResult run = run_zelkora({"--predict", "--pedigree", kExamples + ".ped", "--phefile",
                                           kExamples + ".rep.phe", "--phe-pos", "5", "--vc", "40,30", "--out", "r"},
                                          dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string log = read_file(dir + "/r.log");
    EXPECT_NE(log.find("individual(s) have several records; without a permanent environmental effect the additive "
                       "variance takes it in and is overestimated. --predict --pedigree fits no --pe yet: fit it with "
                       "--kin-file or --mkin-file and --pe."),
              std::string::npos) << log;
    EXPECT_NE(log.find("👉 logL is NA in r.vc.txt on this route"), std::string::npos);
    EXPECT_NE(read_file(dir + "/r.vc.txt").find("\nlogL\tNA\tNA\n"), std::string::npos);
}

namespace {

// The calves of the textbooks' animal-model example (sex fixed, sa2 = 20, se2 = 40), the unknown
// parents of the base animals and of calf 4's dam assigned to two groups.
const char* const kGroupPedigree = "ID Sire Dam\n1 G1 G2\n2 G1 G2\n3 G2 G2\n4 1 G1\n5 3 2\n6 1 2\n7 4 5\n8 3 6\n";
const char* const kGroupRecords =
    "ID\tSex\tWWG\tHerd\n4\tM\t4.5\tA\n5\tF\t2.9\tB\n6\tF\t3.9\tA\n7\tM\t3.5\tB\n8\tM\t5.0\tA\n";

// A by the tabular method, individuals 1..8 (parents first); 0 is unknown.
Eigen::MatrixXd calves_relationships(const std::vector<std::pair<int, int>>& parents) {
    const int n = static_cast<int>(parents.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(n, n);
    for (int i = 0; i < n; ++i) {
        const auto [s, d] = parents[static_cast<std::size_t>(i)];
        for (int j = 0; j < i; ++j) {
            A(i, j) = A(j, i) = 0.5 * ((s > 0 ? A(j, s - 1) : 0.0) + (d > 0 ? A(j, d - 1) : 0.0));
        }
        A(i, i) = 1.0 + (s > 0 && d > 0 ? 0.5 * A(s - 1, d - 1) : 0.0);
    }
    return A;
}

// Effect -> ID -> value of a long-layout values file.
std::map<std::string, std::map<std::string, double>> long_values(const std::string& path) {
    std::map<std::string, std::map<std::string, double>> values;
    const std::vector<std::string> lines = lines_of(read_file(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string effect, trait, id;
        double value = 0.0;
        fields >> effect >> trait >> id >> value;
        values[effect][id] = value;
    }
    return values;
}

}  // namespace

// Unknown parent groups: the solutions of the QP equations (by iteration) against the same model
// with the groups as fixed covariates ZQ, and against the QP equations, both solved densely here;
// the inverse files hold the groups' rows and columns.
TEST(PedigreePrediction, UnknownParentGroupsByQpAndAsCovariates) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/calves.ped", kGroupPedigree);
    write_file(dir + "/calves.phe", kGroupRecords);
    write_file(dir + "/groups.txt", "G1\nG2\n");
    CommandResult run = run_zelkora({"--predict", "--pedigree", "calves.ped", "--ped-groups", "groups.txt",
                                     "--phefile", "calves.phe", "--model", "WWG ~ Sex + animal", "--vc", "20,40",
                                     "--pcg-tol", "1e-13", "--out", "qp"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;

    const Eigen::MatrixXd A = calves_relationships({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}});
    const Eigen::MatrixXd A_inverse = A.inverse();
    Eigen::MatrixXd Q(8, 2);  // each parent passes on half of its groups; G1, G2
    Q << 0.5, 0.5, 0.5, 0.5, 0, 1, 0.75, 0.25, 0.25, 0.75, 0.5, 0.5, 0.5, 0.5, 0.25, 0.75;
    const double alpha = 40.0 / 20.0;
    const Eigen::VectorXd y = (Eigen::VectorXd(5) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();
    Eigen::MatrixXd X(5, 2), Z = Eigen::MatrixXd::Zero(5, 8);
    X << 1, 0, 1, 1, 1, 1, 1, 0, 1, 0;  // intercept, female (males the reference)
    for (int r = 0; r < 5; ++r) Z(r, r + 3) = 1.0;
    // Every base parent is grouped: the groups add up to the intercept, G1 is the reference.
    const Eigen::MatrixXd Q2 = Q.col(1);

    // (1) Groups as fixed covariates: y = X b + ZQ g + Z a + e, then a* = a + Q g.
    Eigen::MatrixXd W(5, 11);
    W << X, Z * Q2, Z;
    Eigen::MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(8, 8) += alpha * A_inverse;
    const Eigen::VectorXd covariates = C.ldlt().solve(W.transpose() * y);
    const Eigen::VectorXd animal_by_covariates = covariates.tail(8) + Q2 * covariates[2];

    // (2) The QP equations: [b; a*; g] with A^-1 bordered by -A^-1 Q and Q'A^-1 Q.
    Eigen::MatrixXd bordered(9, 9);
    bordered << A_inverse, -A_inverse * Q2, -Q2.transpose() * A_inverse, Q2.transpose() * A_inverse * Q2;
    Eigen::MatrixXd V(5, 11);
    V << X, Z, Eigen::VectorXd::Zero(5);
    Eigen::MatrixXd qp = V.transpose() * V;
    qp.bottomRightCorner(9, 9) += alpha * bordered;
    const Eigen::VectorXd by_qp = qp.ldlt().solve(V.transpose() * y);

    auto values = long_values(dir + "/qp.random.txt");  // six digits
    for (int i = 0; i < 8; ++i) {
        const double ours = values["animal"][std::to_string(i + 1)];
        EXPECT_NEAR(ours, animal_by_covariates[i], 5e-7) << i + 1;
        EXPECT_NEAR(ours, by_qp[2 + i], 5e-7) << i + 1;
    }
    const std::string fixed = read_file(dir + "/qp.fixed.txt");
    EXPECT_NE(fixed.find("WWG\tgroup\tG1\t0\tNA\treference\n"), std::string::npos) << fixed;
    std::smatch group;
    ASSERT_TRUE(std::regex_search(fixed, group, std::regex("WWG\tgroup\tG2\t(\\S+)\t"))) << fixed;
    EXPECT_NEAR(std::stod(group[1]), covariates[2], 1e-9);
    EXPECT_NEAR(std::stod(group[1]), by_qp[10], 1e-9);
    EXPECT_NE(read_file(dir + "/qp.log").find("group G1 is the reference (0)"), std::string::npos);

    // The dense route on A's file, the groups as covariates ZQ: the same values, and SEs of a + Qg,
    // whose error holds the groups': sqrt of [0 Q2 I] C^-1 [0 Q2 I]' se2.
    write_file(dir + "/plain.ped", std::regex_replace(kGroupPedigree, std::regex("G[12]"), "0"));
    run = run_zelkora({"--kinship", "--pedigree", "plain.ped", "--out", "A"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    run = run_zelkora({"--predict", "--kin-file", "A.kinship.txt", "--pedigree", "calves.ped", "--ped-groups",
                       "groups.txt", "--phefile", "calves.phe", "--model", "WWG ~ Sex + animal", "--vc", "20,40",
                       "--out", "dense"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Eigen::MatrixXd T = Eigen::MatrixXd::Zero(8, 11);
    T.col(2) = Q2;
    T.rightCols(8).setIdentity();
    const Eigen::VectorXd pev = (T * C.inverse() * T.transpose()).diagonal() * 40.0;
    for (const std::string& line : lines_of(read_file(dir + "/dense.reliability.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id;
        double value = 0.0, se = 0.0, reliability = 0.0;
        if (!(fields >> effect >> trait >> id >> value >> se >> reliability)) continue;  // the header
        const int i = std::stoi(id) - 1;
        EXPECT_NEAR(value, animal_by_covariates[i], 5e-7) << id;
        EXPECT_NEAR(se, std::sqrt(pev[i]), 1e-5 * std::sqrt(pev[i])) << id;
        EXPECT_EQ(reliability, std::max(0.0, 1.0 - pev[i] / (20.0 * A(i, i)))) << id;
    }
    EXPECT_NE(read_file(dir + "/dense.fixed.txt").find("WWG\tgroup\tG1\t0\t0\treference\n"), std::string::npos);

    // Several random effects (a random herd, variance 5): the grouped route against the same
    // equations with the herd's columns.
    run = run_zelkora({"--predict", "--kin-file", "A.kinship.txt", "--pedigree", "calves.ped", "--ped-groups",
                       "groups.txt", "--phefile", "calves.phe", "--model", "WWG ~ Sex + animal + rand(Herd)", "--vc",
                       "20,5,40", "--out", "herd"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    Eigen::MatrixXd WH(5, 13);
    WH << W, (Eigen::MatrixXd(5, 2) << 1, 0, 0, 1, 1, 0, 0, 1, 1, 0).finished();
    Eigen::MatrixXd CH = WH.transpose() * WH;
    CH.block(3, 3, 8, 8) += alpha * A_inverse;
    CH.bottomRightCorner(2, 2) += Eigen::Matrix2d::Identity() * (40.0 / 5.0);
    const Eigen::VectorXd with_herd = CH.ldlt().solve(WH.transpose() * y);
    Eigen::MatrixXd TH = Eigen::MatrixXd::Zero(8, 13);
    TH.leftCols(11) = T;
    const Eigen::VectorXd herd_pev = (TH * CH.inverse() * TH.transpose()).diagonal() * 40.0;
    for (const std::string& line : lines_of(read_file(dir + "/herd.reliability.txt"))) {
        std::istringstream fields(line);
        std::string effect, trait, id;
        double value = 0.0, se = 0.0;
        if (!(fields >> effect >> trait >> id >> value >> se) || effect != "animal") continue;
        const int i = std::stoi(id) - 1;
        EXPECT_NEAR(value, with_herd[3 + i] + Q2(i, 0) * with_herd[2], 5e-6) << id;
        EXPECT_NEAR(se, std::sqrt(herd_pev[i]), 1e-5 * std::sqrt(herd_pev[i])) << id;
    }

    // The column flags give the same breeding values.
    run = run_zelkora({"--predict", "--pedigree", "calves.ped", "--ped-groups", "groups.txt", "--phefile", "calves.phe",
                       "--phe-pos", "3", "--covar-pos", "2", "--vc", "20,40", "--pcg-tol", "1e-13", "--out", "flags"},
                      dir);
    ASSERT_EQ(run.status, 0) << run.err;
    for (const auto& [id, value] : breeding_values(dir + "/flags.random.txt")) {
        EXPECT_NEAR(value, values["animal"][id], 5e-7) << id;
    }

    // The inverse files: [A^-1, -A^-1 Q; -Q'A^-1, Q'A^-1 Q], the groups named last.
    run = run_zelkora({"--kinship", "--pedigree", "calves.ped", "--ped-groups", "groups.txt", "--kin-inverse", "--out",
                       "inv"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir + "/inv.inverse.id"), "1\n2\n3\n4\n5\n6\n7\n8\nG1\nG2\n");
    Eigen::MatrixXd expected(10, 10);
    expected << A_inverse, -A_inverse * Q, -Q.transpose() * A_inverse, Q.transpose() * A_inverse * Q;
    Eigen::MatrixXd written = Eigen::MatrixXd::Zero(10, 10);
    for (const std::string& line : lines_of(read_file(dir + "/inv.inverse.txt"))) {
        std::istringstream fields(line);
        int row = 0, column = 0;
        double value = 0.0;
        fields >> row >> column >> value;
        written(row - 1, column - 1) = written(column - 1, row - 1) = value;
    }
    EXPECT_LT((written - expected).cwiseAbs().maxCoeff(), 1e-9) << written;

    // Refused: a group code that is an individual; a group confounded with a fixed class (its
    // parents' offspring are the females, and other base parents have no group).
    write_file(dir + "/clash.ped", "ID Sire Dam\nG1 0 0\n4 G1 0\n");
    run = run_zelkora({"--kinship", "--pedigree", "clash.ped", "--ped-groups", "groups.txt", "--kin-inverse", "--out",
                       "clash"}, dir);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("clash.ped, line 2: the individual \"G1\" is also a group of --ped-groups groups.txt"),
              std::string::npos) << run.err;
    write_file(dir + "/confounded.ped", "ID Sire Dam\n4 0 0\n5 G2 0\n6 G2 0\n7 0 0\n8 0 0\n");
    run = run_zelkora({"--predict", "--pedigree", "confounded.ped", "--ped-groups", "groups.txt", "--phefile",
                       "calves.phe", "--model", "WWG ~ Sex + animal", "--vc", "20,40", "--out", "confounded"}, dir);
    EXPECT_NE(run.status, 0);
    EXPECT_NE((run.err + read_file(dir + "/confounded.log"))
                  .find("the unknown parent group G2 (--ped-groups) is confounded with Sex F"),
              std::string::npos) << run.err;
}

// Weights and a residual variance per herd by iteration: R = diag(se2(herd) / w) in the equations
// solved densely here.
TEST(PedigreePrediction, WeightsAndResidualsByClass) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/calves.ped", "ID Sire Dam\n1 0 0\n2 0 0\n3 0 0\n4 1 0\n5 3 2\n6 1 2\n7 4 5\n8 3 6\n");
    write_file(dir + "/calves.phe", "ID\tSex\tWWG\tW\tHerd\n4\tM\t4.5\t1\tA\n5\tF\t2.9\t2\tB\n6\tF\t3.9\t0.5\tA\n"
                                    "7\tM\t3.5\t1.5\tB\n8\tM\t5.0\t1\tA\n");
    const CommandResult run =
        run_zelkora({"--predict", "--pedigree", "calves.ped", "--phefile", "calves.phe", "--model",
                     "WWG ~ Sex + animal", "--weights", "W", "--residual-by", "Herd", "--vc", "20,40,30",
                     "--pcg-tol", "1e-13", "--out", "w"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const Eigen::MatrixXd A = calves_relationships({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}});
    const Eigen::VectorXd y = (Eigen::VectorXd(5) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();
    const Eigen::VectorXd r_inverse = (Eigen::VectorXd(5) << 1 / 40.0, 2 / 30.0, 0.5 / 40.0, 1.5 / 30.0, 1 / 40.0).finished();
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(5, 10);
    W.col(0).setOnes();
    W(1, 1) = W(2, 1) = 1.0;  // females
    for (int r = 0; r < 5; ++r) W(r, r + 5) = 1.0;
    Eigen::MatrixXd C = W.transpose() * r_inverse.asDiagonal() * W;
    C.bottomRightCorner(8, 8) += A.inverse() / 20.0;
    const Eigen::VectorXd solution = C.ldlt().solve(W.transpose() * r_inverse.asDiagonal() * y);
    auto values = long_values(dir + "/w.random.txt");
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(values["animal"][std::to_string(i + 1)], solution[2 + i], 5e-7) << i + 1;
    }
    const std::string vc = read_file(dir + "/w.vc.txt");
    EXPECT_NE(vc.find("V(e:A)\t40\tNA\nV(e:B)\t30\tNA\n"), std::string::npos) << vc;
}

// A model without an intercept: the same fit, the sexes given from 0 with their SEs, against the
// equations of X = [male, female] solved here.
TEST(PedigreePrediction, WithoutTheInterceptTheFirstClassStartsFromZero) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/calves.ped", "ID Sire Dam\n1 0 0\n2 0 0\n3 0 0\n4 1 0\n5 3 2\n6 1 2\n7 4 5\n8 3 6\n");
    write_file(dir + "/calves.phe", kGroupRecords);
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "calves.ped", "--out", "A"}, dir).status, 0);
    for (const char* formula : {"WWG ~ 0 + Sex + animal", "WWG ~ Sex + animal"}) {
        const CommandResult run = run_zelkora({"--predict", "--kin-file", "A.kinship.txt", "--phefile", "calves.phe",
                                               "--model", formula, "--vc", "20,40", "--out",
                                               formula[6] == '0' ? "none" : "with"}, dir);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    EXPECT_EQ(read_file(dir + "/none.random.txt"), read_file(dir + "/with.random.txt"));
    const Eigen::MatrixXd A = calves_relationships({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}});
    Eigen::MatrixXd W = Eigen::MatrixXd::Zero(5, 10);
    W.col(0) << 1, 0, 0, 1, 1;  // males
    W.col(1) << 0, 1, 1, 0, 0;
    for (int r = 0; r < 5; ++r) W(r, r + 5) = 1.0;
    const Eigen::VectorXd y = (Eigen::VectorXd(5) << 4.5, 2.9, 3.9, 3.5, 5.0).finished();
    Eigen::MatrixXd C = W.transpose() * W;
    C.bottomRightCorner(8, 8) += 2.0 * A.inverse();
    const Eigen::VectorXd solution = C.ldlt().solve(W.transpose() * y);
    const Eigen::MatrixXd error = C.inverse() * 40.0;
    const std::string fixed = read_file(dir + "/none.fixed.txt");
    EXPECT_EQ(fixed.find("Intercept"), std::string::npos) << fixed;
    for (int level = 0; level < 2; ++level) {
        std::smatch row;
        ASSERT_TRUE(std::regex_search(fixed, row, std::regex(std::string("WWG\tSex\t") + (level == 0 ? "M" : "F") +
                                                             "\t(\\S+)\t(\\S+)\testimated\n")))
            << fixed;
        EXPECT_NEAR(std::stod(row[1]), solution[level], 1e-9);
        EXPECT_NEAR(std::stod(row[2]), std::sqrt(error(level, level)), 1e-9);
    }
}

// Two traits with the groups as covariates of each, complete (the eigenvector basis) and with a
// value missing (the dense evaluator): values a + Qg and their SEs against Henderson's equations
// of both traits with ZQ among each trait's fixed effects.
TEST(PedigreePrediction, UnknownParentGroupsWithTwoTraits) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/calves.ped", kGroupPedigree);
    write_file(dir + "/plain.ped", std::regex_replace(kGroupPedigree, std::regex("G[12]"), "0"));
    write_file(dir + "/groups.txt", "G1\nG2\n");
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "plain.ped", "--out", "A"}, dir).status, 0);
    const Eigen::MatrixXd A = calves_relationships({{0, 0}, {0, 0}, {0, 0}, {1, 0}, {3, 2}, {1, 2}, {4, 5}, {3, 6}});
    const Eigen::VectorXd q2 = (Eigen::VectorXd(8) << 0.5, 0.5, 1, 0.25, 0.75, 0.5, 0.5, 0.75).finished();  // G2
    Eigen::Matrix2d Vg, Ve;
    Vg << 20, 5, 5, 10;
    Ve << 40, 8, 8, 30;
    const double female[5] = {0, 1, 1, 0, 0};
    Eigen::MatrixXd Y(5, 2);
    Y << 4.5, 3.0, 2.9, 2.2, 3.9, 2.8, 3.5, 2.6, 5.0, 3.5;
    for (const bool complete : {true, false}) {
        SCOPED_TRACE(complete);
        if (!complete) Y(2, 1) = std::nan("");
        std::ostringstream text;
        text << "ID\tSex\tWWG\tT2\n";
        for (int r = 0; r < 5; ++r) {
            text << r + 4 << "\t" << (female[r] > 0 ? "F" : "M") << "\t" << Y(r, 0) << "\t";
            if (std::isnan(Y(r, 1))) text << "NA\n"; else text << Y(r, 1) << "\n";
        }
        write_file(dir + "/two.phe", text.str());
        const CommandResult run = run_zelkora({"--predict", "--kin-file", "A.kinship.txt", "--pedigree", "calves.ped",
                                               "--ped-groups", "groups.txt", "--phefile", "two.phe", "--model",
                                               "WWG, T2 ~ Sex + animal", "--vc", "20,5,10,40,8,30", "--out", "two"},
                                              dir);
        ASSERT_EQ(run.status, 0) << run.err;
        // Fixed: per trait an intercept, female and G2's share (G1 the reference); then U.
        std::vector<std::pair<int, int>> values;
        for (int a = 0; a < 2; ++a) {
            for (int r = 0; r < 5; ++r) {
                if (!std::isnan(Y(r, a))) values.emplace_back(r, a);
            }
        }
        const auto n = static_cast<Eigen::Index>(values.size());
        Eigen::MatrixXd W = Eigen::MatrixXd::Zero(n, 22), R = Eigen::MatrixXd::Zero(n, n);
        Eigen::VectorXd y(n);
        for (Eigen::Index k = 0; k < n; ++k) {
            const auto [r, a] = values[static_cast<std::size_t>(k)];
            W(k, 3 * a) = 1.0;
            W(k, 3 * a + 1) = female[r];
            W(k, 3 * a + 2) = q2[r + 3];
            W(k, 6 + 8 * a + r + 3) = 1.0;
            y[k] = Y(r, a);
            for (Eigen::Index l = 0; l < n; ++l) {
                const auto [s, b] = values[static_cast<std::size_t>(l)];
                if (r == s) R(k, l) = Ve(a, b);
            }
        }
        Eigen::MatrixXd G(16, 16);
        for (int a = 0; a < 2; ++a) {
            for (int b = 0; b < 2; ++b) G.block(8 * a, 8 * b, 8, 8) = Vg(a, b) * A;
        }
        const Eigen::MatrixXd Ri = R.inverse();
        Eigen::MatrixXd C = W.transpose() * Ri * W;
        C.bottomRightCorner(16, 16) += G.inverse();
        const Eigen::MatrixXd Ci = C.inverse();
        const Eigen::VectorXd solution = Ci * (W.transpose() * Ri * y);
        int checked = 0;
        for (const std::string& line : lines_of(read_file(dir + "/two.reliability.txt"))) {
            std::istringstream fields(line);
            std::string effect, trait, id;
            double value = 0.0, se = 0.0;
            if (!(fields >> effect >> trait >> id >> value >> se)) continue;  // the header
            const int a = trait == "WWG" ? 0 : 1, i = std::stoi(id) - 1;
            Eigen::VectorXd t = Eigen::VectorXd::Zero(22);
            t[6 + 8 * a + i] = 1.0;
            t[3 * a + 2] = q2[i];
            EXPECT_NEAR(value, t.dot(solution), 5e-6 * (1.0 + std::abs(t.dot(solution)))) << line;
            EXPECT_NEAR(se, std::sqrt(t.dot(Ci * t)), 5e-6 * std::sqrt(t.dot(Ci * t))) << line;
            ++checked;
        }
        EXPECT_EQ(checked, 16);
    }
}
