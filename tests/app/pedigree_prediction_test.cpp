// Whole runs of the sparse routes on examples/: the inverse of A and H written as triplets, and
// breeding values by iteration checked against the dense routes of the same program (which build
// A or H, estimate the variances and solve directly).

#include <gtest/gtest.h>

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
    EXPECT_NE(log.find("No reliability file on this route"), std::string::npos);
    EXPECT_NE(log.find("Covar2_M\t"), std::string::npos);
    EXPECT_FALSE(file_exists(dir + "/sparse_a.reliability.txt"));
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
