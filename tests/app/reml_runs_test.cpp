// Whole REML and prediction runs of the built executable on the simulator's data: cases that
// only the whole chain shows (a text kinship's rounding, the files a failed run leaves).

#include <cmath>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

// The number after "<label>\t" at the start of a line of the run's output (NaN when absent).
double table_value(const std::string& output, const std::string& label) {
    std::smatch match;
    if (std::regex_search(output, match, std::regex("(^|\n)" + label + "\t([-0-9.e+]+)"))) {
        return std::stod(match[2]);
    }
    return std::nan("");
}

CommandResult simulate(const std::string& dir, const std::vector<std::string>& args) {
    return run_program(ZELKORA_SIMULATE_EXE, args, dir);
}

}  // namespace

// Fully genotyped records of a trait with h2 = 1 and more individuals than markers: G is
// singular, and its 4-decimal text has eigenvalues below 0 by rounding, which put the edge of
// positive definiteness in the way of the boundary. The text run converges there and reports
// what the binary file gives.
TEST(RemlRuns, TextKinshipOfAHeritabilityOfOneConvergesAtTheBoundaryAsTheBinaryDoes) {
    const std::string dir = make_scratch_dir();
    ASSERT_EQ(simulate(dir, {"--out", "s", "--individuals", "1500", "--genotyped", "1500", "--markers", "1000",
                             "--qtl", "1000", "--h2", "1", "--seed", "5", "--missing", "0"})
                  .status,
              0);
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "s", "--out", "G"}, dir).status, 0);
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "s", "--kin-bin", "--out", "G"}, dir).status, 0);
    const std::vector<std::string> trait = {"--phefile", "s.phe", "--phe-pos", "4", "--covar-pos", "2,3"};
    auto reml = [&](const std::string& kinship, const std::string& out) {
        std::vector<std::string> args = {"--reml", "--kin-file", kinship, "--out", out};
        args.insert(args.end(), trait.begin(), trait.end());
        return run_zelkora(args, dir);
    };
    const CommandResult binary = reml("G.bin", "b");
    const CommandResult text = reml("G.kinship.txt", "t");
    ASSERT_EQ(binary.status, 0) << binary.out;
    ASSERT_EQ(text.status, 0) << text.out;
    EXPECT_NE(binary.out.find("lies at its lower limit"), std::string::npos);
    EXPECT_NE(text.out.find("below 0 only by its rounding to 4 decimals"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("the records fit a heritability of 1"), std::string::npos);
    // Within the rounding of the text: the same additive variance, a residual near 0.
    const double add_binary = table_value(binary.out, "Add"), add_text = table_value(text.out, "Add");
    EXPECT_NEAR(add_text, add_binary, 0.01 * add_binary);
    EXPECT_LT(table_value(text.out, "e"), 1e-4 * add_text);
    std::smatch iterations;
    ASSERT_TRUE(std::regex_search(text.out, iterations, std::regex("\n +([0-9]+) [^\n]*\n✅")));
    EXPECT_LT(std::stoi(iterations[1]), 40);
}

// An individual without a record whose kinship row no relationship matrix has (its diagonal far
// below its relationship with a recorded individual) is named, and no breeding value is written:
// never shown as known without error.
TEST(RemlRuns, PredictionStopsOnAnImpossibleKinshipRowOfAnIndividualWithoutRecord) {
    const std::string dir = make_scratch_dir();
    const std::string examples = std::string(ZELKORA_SOURCE_DIR) + "/examples/demo";
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", examples, "--out", "G"}, dir).status, 0);
    std::vector<std::string> lines = lines_of(read_file(dir + "/G.kinship.txt"));
    std::string kinship = lines[0] + "\tZ\n", last = "Z\t";
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const bool related = lines[i].rfind("I201\t", 0) == 0;
        kinship += lines[i] + (related ? "0.9000\t" : "0.0000\t") + "\n";
        last += related ? "0.9000\t" : "0.0000\t";
    }
    write_file(dir + "/K.txt", kinship + last + "0.1000\t\n");
    const CommandResult run = run_zelkora({"--predict", "--kin-file", "K.txt", "--phefile", examples + ".phe",
                                           "--phe-pos", "4", "--covar-pos", "2,3", "--out", "r"},
                                          dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the kinship row of individual Z is not that of a relationship matrix"), std::string::npos)
        << run.out << run.err;
    EXPECT_FALSE(file_exists(dir + "/r.random.txt"));
    EXPECT_FALSE(file_exists(dir + "/r.reliability.txt"));
}
