#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Display width of a banner line: the emoji of the banner are double-width, everything else single.
int display_width(const std::string& line) {
    int width = 0;
    for (std::size_t i = 0; i < line.size();) {
        const unsigned char lead = static_cast<unsigned char>(line[i]);
        if (lead < 0x80) {
            ++width;
            ++i;
        } else {
            width += 2;
            i += lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        }
    }
    return width;
}

}  // namespace

TEST(Driver, NoArgumentsShowsBannerAndUsageWithoutLog) {
    const std::string dir = make_scratch_dir();
    const CommandResult run = run_zelkora({}, dir);
    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(display_width(lines[i]), 60) << lines[i];
        EXPECT_EQ(lines[i].front(), '*');
        EXPECT_EQ(lines[i].back(), '*');
    }
    EXPECT_EQ(lines[4], "*        🚀  Version: v1.1.0 (2025-2-11 Release)   🚀      *");
    EXPECT_EQ(run.err, "👉 Please specify at least one of --kinship, --reml, or --predict.\n\n");
    EXPECT_NE(run.out.find("\n👪 Build genomic relationship matrix\nUsage: Zelkora --kinship\n"), std::string::npos);
    EXPECT_NE(run.out.find("  --max-iter <list>   Specify the maximum iterations of REML (Optional)\n"
                           "  --out <prefix>      Specify the output prefix (Optional, default: Result)\n"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir + "/Results.log"));

    const CommandResult help = run_zelkora({"--kinship", "--help", "--threads", "0"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, run.err);
    EXPECT_FALSE(file_exists(dir + "/Results.log"));
}

TEST(Driver, ArgumentErrorsStopBeforeTheLog) {
    const std::string dir = make_scratch_dir();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "❎ Error: Unknown argument --bogus\n"},
        {{"--kinship", "--out"}, "❎ Error: Unknown argument --out\n"},
        {{"--threads", "four"}, "❎ Error: Invalid argument for --threads - stoi\n"},
        {{"--covar-pos", "2,,3"}, "❎ Error: Invalid argument for --covar-pos - stoi\n"},
        {{"--covar-pos", "2,0"}, "❎ Error: Invalid covariate column index 0 (should be >= 1).\n"},
        {{"--kin-omega", "abc"}, "❎ Error: Invalid argument for --kin-omega - stod\n"},
        {{"--kin-tau", "nan"}, "❎ Error: Invalid argument for --kin-tau - stod\n"},
        {{"--max-iter", "2147483648"},
         "❎ Error: Out of range argument for --max-iter - 2147483648 (must be between -2147483648 and 2147483647)\n"},
        {{"--kinship", "--threads", "0"}, "❎  Error: Please provide --bedfile, or --pedigree.\n\n"},
        {{"--kinship", "--bedfile", "x", "--threads", "0"}, "❎ Error: Number of threads must be greater than 0.\n"},
        {{"--reml", "--phefile", "p", "--kin-file", "k", "--phe-pos", "0"},
         "❎ Error: Please provide --phefile,--kin-file and --phe-pos\n"},
        {{"--predict", "--phefile", "p", "--kin-file", "k", "--phe-pos", "2", "--max-iter", "0"},
         "❎ Error: Number of max_iter must be greater than 0.\n"},
    };
    for (const Case& c : cases) {
        const CommandResult run = run_zelkora(c.args, dir);
        EXPECT_EQ(run.status, 1) << c.args[0];
        EXPECT_EQ(run.err, c.message);
        EXPECT_FALSE(file_exists(dir + "/Results.log")) << c.message;
    }
    // The missing-input errors come with the help of their mode.
    const CommandResult reml = run_zelkora({"--reml"}, dir);
    EXPECT_NE(reml.out.find("🔁 Perform REML analysis"), std::string::npos);
    const CommandResult predict = run_zelkora({"--predict"}, dir);
    EXPECT_NE(predict.out.find("🔢 Perform prediction of breeding values"), std::string::npos);
    EXPECT_EQ(predict.out.find("🔁 Perform REML analysis"), std::string::npos);
}

TEST(Driver, DecimalScalingFactorsAndOnlyOutStillLogTheStart) {
    const std::string dir = make_scratch_dir();
    // Decimal factors and a value option that looks like an option are accepted.
    const CommandResult run = run_zelkora({"--kin-tau", ".5", "--kin-omega", "0.95", "--out", "x", "--threads", "0"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string log = read_file(dir + "/x.log");
    EXPECT_EQ(log.rfind("🏃 Start analysis: ", 0), 0u);
    EXPECT_EQ(log.size(), std::string("🏃 Start analysis: ").size() + 24 + 2);  // "Sun Dec 06 07:09:09 2026\n\n"

    const CommandResult option_value = run_zelkora({"--out", "--reml"}, dir);
    EXPECT_EQ(option_value.status, 0);
    EXPECT_TRUE(file_exists(dir + "/--reml.log"));
}

TEST(Driver, UnwritableLogIsAClearErrorWithStatusOne) {
    const std::string dir = make_scratch_dir();
    const CommandResult run = run_zelkora({"--out", dir + "/missing/x"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Unable to open log file: " + dir + "/missing/x.log"), std::string::npos);
}
