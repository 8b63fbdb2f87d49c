// Whole runs of --reml and --predict on kinship and phenotype files written here.

#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "kinship_io/kinship_io.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

constexpr Eigen::Index kIndividuals = 150;
constexpr Eigen::Index kWithRecords = 130;  // the first 130; one of them has "NA"

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string printed(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// A folder with k.kinship.txt (150 individuals) and traits.phe (ID, sex, trait).
struct RunFiles {
    std::string dir = make_scratch_dir();
    std::vector<std::string> ids;

    RunFiles() {
        const Eigen::MatrixXd K = random_kinship(kIndividuals, 300, 77, 0.05);
        for (Eigen::Index i = 0; i < kIndividuals; ++i) {
            ids.push_back("ind" + std::to_string(1000 + i));
        }
        write_kinship_matrix(K, ids, dir + "/k.kinship.txt");

        const Eigen::MatrixXd X = class_design(kWithRecords, 2, false);
        const Eigen::MatrixXd y = simulate_trait(K.topLeftCorner(kWithRecords, kWithRecords), X, 1.0, 1.0, 5);
        std::ostringstream phenotypes;
        phenotypes << "ID\tSex\tTrait\n";
        for (Eigen::Index i = 0; i < kWithRecords; ++i) {
            phenotypes << ids[static_cast<std::size_t>(i)] << "\t" << (i % 2 == 0 ? "M" : "F") << "\t";
            if (i == 7) {
                phenotypes << "NA\n";
            } else {
                phenotypes.precision(17);
                phenotypes << y(i, 0) << "\n";
            }
        }
        phenotypes << "stranger\tM\t3.5\n";
        write_file(dir + "/traits.phe", phenotypes.str());
    }

    CommandResult run(const std::string& mode, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{mode, "--kin-file", "k.kinship.txt", "--phefile", "traits.phe", "--phe-pos", "3",
                                      "--covar-pos", "2", "--out", "res"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_zelkora(args, dir);
    }

    std::string log() const { return read_file(dir + "/res.log"); }
};

// What the runs should compute, from the files as written (4 decimals) and the literal
// dense reference.
struct Expected {
    PhenotypeData phenotype;
    std::vector<Eigen::Index> positions;
    Eigen::MatrixXd K_all;
    RemlResult reml;
};

Expected expected_for(const RunFiles& files) {
    Expected expected;
    expected.K_all = read_all_Kinship(files.dir + "/k.kinship.txt");
    const std::unordered_set<std::string> id_set(files.ids.begin(), files.ids.end());
    expected.phenotype = read_phenotype_file(files.dir + "/traits.phe", 2, {1}, id_set);
    const auto& [y, full, reduced, record_ids, labels] = expected.phenotype;
    expected.positions = record_positions(record_ids, files.ids);
    const Eigen::MatrixXd K_records = expected.K_all(expected.positions, expected.positions);
    expected.reml = reference_reml(K_records, reduced, y, 30, 0.3, 1e-5);
    return expected;
}

}  // namespace

TEST(RemlRun, WritesTheLoadingLinesTraceAndTable) {
    const RunFiles files;
    const Expected expected = expected_for(files);
    ASSERT_TRUE(expected.reml.converged);

    const CommandResult result = files.run("--reml");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = lines_of(files.log());
    const std::size_t steps = expected.reml.iterations.size();
    ASSERT_EQ(lines.size(), 10 + 1 + steps + 7 + 3);
    EXPECT_EQ(lines[2], "👉Loading kinship file: k.kinship.txt");
    EXPECT_EQ(lines[3], "\t150 individuals were detected in the kinship file.");
    EXPECT_EQ(lines[4], "👉 Loading phenotype file: traits.phe");
    EXPECT_EQ(lines[5], "\t129 effective records without missing covariate and kinship and will be used for REML "
                        "analysis.");
    EXPECT_EQ(lines[6], "👉 kinship matrix size: 129 x 129 used for REML analysis.");
    EXPECT_EQ(lines[8], "🏃 Start REML analysis!");
    EXPECT_EQ(lines[10].substr(0, 10), " Iteration");
    for (std::size_t k = 0; k < steps; ++k) {
        std::istringstream fields(lines[11 + k]);
        std::string number, log_lik, sigma_a2, sigma_e2;
        fields >> number >> log_lik >> sigma_a2 >> sigma_e2;
        EXPECT_EQ(number, std::to_string(k + 1));
        EXPECT_EQ(sigma_a2, printed(expected.reml.iterations[k].sigma_a2)) << "iteration " << k + 1;
        EXPECT_EQ(sigma_e2, printed(expected.reml.iterations[k].sigma_e2)) << "iteration " << k + 1;
    }
    EXPECT_EQ(lines[11 + steps], "✅ Converged!!!");
    EXPECT_EQ(lines[14 + steps], "Add\t" + printed(expected.reml.sigma_a2) + "\t" + printed(expected.reml.se_a2));
    EXPECT_EQ(lines[15 + steps], "e\t" + printed(expected.reml.sigma_e2) + "\t" + printed(expected.reml.se_e2));
    EXPECT_EQ(lines[17 + steps],
              "👏 Heritability: " + printed(expected.reml.h2) + " with SE " + printed(expected.reml.se_h2));
    EXPECT_EQ(lines[19 + steps], "😊 All finished!");
    EXPECT_FALSE(file_exists(files.dir + "/res.random.txt"));

    // With --predict as well, only the REML run is made.
    const CommandResult both = files.run("--reml", {"--predict"});
    EXPECT_EQ(both.status, 0);
    EXPECT_FALSE(file_exists(files.dir + "/res.random.txt"));
}

TEST(PredictRun, WritesEveryKinshipIndividualInFileOrderAndTheFixedEffects) {
    const RunFiles files;
    const Expected expected = expected_for(files);
    ASSERT_TRUE(expected.reml.converged);
    const auto& [y, full, reduced, record_ids, labels] = expected.phenotype;
    // The reduced design's equations; the full design reports M (the first-met level) as 0.
    Eigen::MatrixXd Z = Eigen::MatrixXd::Zero(y.rows(), kIndividuals);
    for (std::size_t i = 0; i < expected.positions.size(); ++i) {
        Z(static_cast<Eigen::Index>(i), expected.positions[i]) = 1.0;
    }
    const auto [b, u] = reference_mme(Z, expected.K_all, reduced, y, expected.reml.h2);

    const CommandResult result = files.run("--predict");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "\n👏 Predicted breeding values were saved in res.random.txt\n");
    const std::string log = files.log();
    EXPECT_FALSE(contains(log, "saved in"));
    EXPECT_TRUE(contains(log, "👉 Loading kinship file: k.kinship.txt\n"));
    EXPECT_FALSE(contains(log, "kinship matrix size"));
    EXPECT_TRUE(contains(log, "\n\n🏃 Start predict breeding values!\n\n👉 Breeding values of 150 individuals will be "
                              "predicted\n\n👏 Fixed effects were shown:\n\nIntercept\t" +
                                  printed(b(0, 0)) + "\nCovar2_M\t0\nCovar2_F\t" + printed(b(1, 0)) +
                                  "\n\n😊 All finished!\n\n"))
        << log;

    const std::vector<std::string> lines = lines_of(read_file(files.dir + "/res.random.txt"));
    ASSERT_EQ(lines.size(), 1u + kIndividuals);
    EXPECT_EQ(lines[0], "Sample_ID,Ran_Effects");
    for (Eigen::Index j = 0; j < kIndividuals; ++j) {
        const std::string& line = lines[static_cast<std::size_t>(j + 1)];
        const std::size_t tab = line.find('\t');
        EXPECT_EQ(line.substr(0, tab), files.ids[static_cast<std::size_t>(j)]);
        const double value = std::stod(line.substr(tab + 1));
        EXPECT_NEAR(value, u(j, 0), 1e-5 * std::fabs(u(j, 0)) + 1e-12) << line;
    }
}

TEST(PredictRun, WritesNoBreedingValuesWithoutConvergenceOrWhenTheFileFails) {
    const RunFiles files;
    const CommandResult unconverged = files.run("--predict", {"--max-iter", "2"});
    EXPECT_EQ(unconverged.status, 1);
    EXPECT_FALSE(contains(unconverged.err, "saved"));
    EXPECT_TRUE(contains(files.log(), "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n"
                                      "❎ Error: without converged variance components there are no breeding values "
                                      "to predict; res.random.txt was not written.\n"));
    EXPECT_FALSE(file_exists(files.dir + "/res.random.txt"));

    ASSERT_EQ(::mkdir((files.dir + "/res.random.txt").c_str(), 0755), 0);
    const CommandResult unwritable = files.run("--predict");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err, "无法打开文件 res.random.txt\n");
    EXPECT_FALSE(contains(files.log(), "All finished"));
}

TEST(MixedModelRuns, RefuseUnusablePhenotypesWithAMessageAndStatusOne) {
    const RunFiles files;
    write_file(files.dir + "/text.phe", "ind1000\tM\t1.5\nind1001\tF\ttwo\n");
    const CommandResult text = run_zelkora({"--reml", "--kin-file", "k.kinship.txt", "--phefile", "text.phe",
                                            "--phe-pos", "3", "--out", "res"},
                                           files.dir);
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.err, "❎ Error: phenotype file text.phe, line 2: the trait value \"two\" in column 3 is not a "
                        "number.\n");

    const CommandResult twice = files.run("--predict", {"--covar-pos", "2"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "❎ Error: column 2 is given twice in --covar-pos; give each covariate column once.\n");

    write_file(files.dir + "/one.phe", "ind1000\t1.5\nnobody\t2\n");
    const CommandResult one = run_zelkora({"--predict", "--kin-file", "k.kinship.txt", "--phefile", "one.phe",
                                           "--phe-pos", "2", "--out", "res"},
                                          files.dir);
    EXPECT_EQ(one.status, 1);
    EXPECT_TRUE(contains(files.log(), "\t1 effective records without missing covariate and kinship and will be used "
                                      "for REML analysis.\n❎ Error: REML needs at least two records with a trait "
                                      "value, complete covariates and a row in the kinship file; one.phe has 1.\n"));

    const CommandResult out_of_bounds = files.run("--reml", {"--phe-pos", "4"});
    EXPECT_EQ(out_of_bounds.status, 1);
    EXPECT_EQ(out_of_bounds.err, "The specified phenotype column is out of bound of phenotype file\n");

    const CommandResult missing = run_zelkora({"--reml", "--kin-file", "k.kinship.txt", "--phefile", "none.phe",
                                               "--phe-pos", "2"},
                                              files.dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Could not open the phenotype file: none.phe\n");
}

TEST(MixedModelRuns, RefuseKinshipFilesWhoseHeaderOrValuesDisagree) {
    const RunFiles files;
    auto run_with = [&](const std::string& kinship) {
        write_file(files.dir + "/bad.kinship.txt", kinship);
        return run_zelkora({"--predict", "--kin-file", "bad.kinship.txt", "--phefile", "traits.phe", "--phe-pos", "3",
                            "--out", "res"},
                           files.dir);
    };
    const CommandResult titled = run_with("ID\tind1000\tind1001\nind1000\t1\t0.1\t\nind1001\t0.1\t1\t\n");
    EXPECT_EQ(titled.status, 1);
    EXPECT_TRUE(contains(titled.err, "❎ Error: kinship file bad.kinship.txt: the header names \"ID\" (column 1)"));

    const CommandResult reordered = run_with("\tind1001\tind1000\nind1000\t1\t0.1\t\nind1001\t0.1\t1.2\t\n");
    EXPECT_EQ(reordered.status, 1);
    EXPECT_TRUE(contains(reordered.err, "❎ Error: kinship file bad.kinship.txt: the header lists the individuals in "
                                        "another order than the data lines"));

    const CommandResult asymmetric = run_with("\tind1000\tind1001\nind1000\t1\t0.1\t\nind1001\t0.3\t1\t\n");
    EXPECT_EQ(asymmetric.status, 1);
    EXPECT_TRUE(contains(asymmetric.err, "❎ Error: kinship file bad.kinship.txt is not symmetric"));

    const CommandResult short_line = run_with("\tind1000\tind1001\nind1000\t1\t0.1\t\nind1001\t0.1\tNA\t\n");
    EXPECT_EQ(short_line.status, 1);
    EXPECT_TRUE(contains(short_line.err, "❎ Error: kinship file bad.kinship.txt, line 3: expected 2 values, found 1"));

    const CommandResult empty = run_with("\tind1000\n");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "No kinship data found in file.\n");

    const CommandResult missing = run_zelkora({"--reml", "--kin-file", "none.txt", "--phefile", "traits.phe",
                                               "--phe-pos", "3"},
                                              files.dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Could not open the kinship file: none.txt\n");
    for (const CommandResult* result : {&titled, &reordered, &asymmetric, &short_line, &empty, &missing}) {
        EXPECT_FALSE(contains(result->err, "saved"));
    }
    EXPECT_FALSE(file_exists(files.dir + "/res.random.txt"));
}
