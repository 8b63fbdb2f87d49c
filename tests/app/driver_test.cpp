// The driver as a user meets it: the banner, the usage text, argument errors with their
// statuses, and no log file before the checks have passed.

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

TEST(Driver, NoArgumentsShowsBannerAndUsageWithoutLog) {
    const std::string dir = make_scratch_dir();
    const CommandResult run = run_zelkora({}, dir);
    EXPECT_EQ(run.status, 0);
    // 60 display columns on every line, each emoji two of them.
    const std::string stars(60, '*'), blank = "*" + std::string(58, ' ') + "*\n";
    // The platform the program runs on, padded to the 38 columns between the emoji.
    struct utsname system {};
    ASSERT_EQ(::uname(&system), 0);
    std::string platform = "Platform: " + std::string(system.sysname) + " " + system.machine;
    platform.resize(38, ' ');
    EXPECT_EQ(run.out.rfind(stars + "\n" + blank + "*        ~~~ Welcome to use Zelkora software! ~~~          *\n" +
                                blank + "*        🚀  Version: v1.1.0 (2025-2-11 Release)   🚀      *\n"
                                        "*        🌐  " + platform + "🌐      *\n"
                                        "*        🔗  Homepage: https://zelkora.org         🔗      *\n" +
                                blank + "*        👥  Developers: Zelkora core team         👥      *\n"
                                        "*        📧  Contact: dev@zelkora.org              📧      *\n" +
                                blank + stars + "\n\n👪 Build genomic relationship matrix\nUsage: Zelkora --kinship\n",
                            0),
              0u)
        << run.out;
    EXPECT_EQ(run.err, "👉 Please specify at least one of --kinship, --reml, or --predict.\n\n");
    EXPECT_NE(run.out.find("\n🔁 Perform REML analysis\nUsage: Zelkora --reml\n"), std::string::npos);
    // Both mixed-model modes list the iteration limit with its default, and the output prefix.
    const std::string limit_and_prefix =
        "  --max-iter <int>    Specify the maximum iterations of REML (Optional, default: 30)\n"
        "                      at most max-iter - 1 iterations are run, and never more than 1000\n"
        "  --out <prefix>      Specify the output prefix (Optional, default: Results); its folder must exist.\n";
    const std::size_t first = run.out.find(limit_and_prefix);
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(run.out.find(limit_and_prefix, first + 1), std::string::npos);
    EXPECT_NE(run.out.find("  --help, -h "), std::string::npos);
    // What a user must know of each option: the header line of the pedigree, the tab-separated
    // phenotypes counted from 1, lambda ignored in H, tau above 0, threads for every run, the
    // files written.
    for (const char* fact : {"a header line (always skipped)", "tab-separated, the ID in column 1",
                             "counting from 1 (column 1 is the ID)", "class variables", "also the G inside H",
                             "the G inside H always takes lambda 2", "greater than 0", "Threads of the run",
                             "Threads of every run", "PREFIX.random.txt, PREFIX.reliability.txt and PREFIX.vc.txt",
                             "PREFIX.kinship.txt", "The log is PREFIX.log"}) {
        EXPECT_NE(run.out.find(fact), std::string::npos) << fact;
    }
    for (const char* fault : {"Indipendent", "Defult", "default: Result)", "for G22 matrix"}) {
        EXPECT_EQ(run.out.find(fault), std::string::npos) << fault;
    }

    // --help (or -h) with a mode: that mode's help, no complaint, the checks not made.
    const CommandResult help = run_zelkora({"--kinship", "--help", "--threads", "0"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_NE(help.out.find("👪 Build genomic relationship matrix"), std::string::npos);
    EXPECT_EQ(help.out.find("🔁 Perform REML analysis"), std::string::npos);
    EXPECT_EQ(run_zelkora({"--kinship", "-h", "--threads", "0"}, dir).out, help.out);

    const CommandResult version = run_zelkora({"--version"}, dir);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Zelkora v1.1.0 (2025-2-11 Release)\n");
    EXPECT_FALSE(file_exists(dir + "/Results.log"));  // after any of these runs
}

TEST(Driver, ArgumentErrorsStopBeforeTheLogWhichOtherwiseStartsEveryRun) {
    const std::string dir = make_scratch_dir();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "❎ Error: Unknown argument --bogus\n"},
        {{"--kinship", "--out"}, "❎ Error: --out needs a value but is the last argument.\n"},
        {{"--kinship", "--out", "--pedigree", "s.ped"},
         "❎ Error: --out needs a value but is followed by the option --pedigree.\n"},
        {{"--kinship", "--out", ""},
         "❎ Error: Invalid argument for --out - \"\" has no file name part; give a prefix such as results/run1.\n"},
        {{"--kinship", "--out", "dir/"}, "❎ Error: Invalid argument for --out - \"dir/\" has no file name part; "
                                          "give a prefix such as results/run1.\n"},
        {{"--threads", "four"}, "❎ Error: Invalid argument for --threads - stoi\n"},
        {{"--covar-pos", "2,,3"}, "❎ Error: Invalid argument for --covar-pos - stoi\n"},
        {{"--covar-pos", "2,0"}, "❎ Error: Invalid covariate column index 0 (should be >= 1).\n"},
        {{"--kin-tau", "nan"}, "❎ Error: Invalid argument for --kin-tau - stod\n"},
        {{"--max-iter", "12abc"},
         "❎ Error: Invalid argument for --max-iter - \"12abc\" is not a whole number: the whole value must be the "
         "number.\n"},
        {{"--max-iter", "2147483648"},
         "❎ Error: Out of range argument for --max-iter - 2147483648 (must be between -2147483648 and 2147483647)\n"},
        {{"--kinship", "--threads", "0"}, "❎  Error: Please provide --bedfile, or --pedigree.\n\n"},
        {{"--kinship", "--bedfile", "x", "--threads", "0"}, "❎ Error: Number of threads must be greater than 0.\n"},
        {{"--predict", "--phefile", "p", "--kin-file", "k", "--phe-pos", "2", "--threads", "-1"},
         "❎ Error: Number of threads must be greater than 0.\n"},
        {{"--reml", "--phefile", "p", "--kin-file", "k", "--phe-pos", "0"},
         "❎ Error: Please provide --phefile,--kin-file and --phe-pos\n"},
        {{"--predict", "--phefile", "p", "--kin-file", "k", "--phe-pos", "2", "--max-iter", "0"},
         "❎ Error: Number of max_iter must be greater than 0.\n"},
    };
    for (const auto& [args, message] : cases) {
        const CommandResult run = run_zelkora(args, dir);
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_EQ(run.err, message);
        EXPECT_FALSE(file_exists(dir + "/Results.log")) << message;
    }
    // A missing input comes with the help of its mode only.
    const CommandResult predict = run_zelkora({"--predict"}, dir);
    EXPECT_NE(predict.out.find("🔢 Perform prediction of breeding values"), std::string::npos);
    EXPECT_EQ(predict.out.find("🔁 Perform REML analysis"), std::string::npos);

    // Nothing to run: the start is still logged. Decimal factors without a leading digit, and a
    // prefix that starts with dashes but is no option.
    EXPECT_EQ(run_zelkora({"--kin-tau", ".5", "--kin-omega", "0.95", "--out", "--r", "--threads", "0"}, dir).status,
              0);
    const std::vector<std::string> log = lines_of(read_file(dir + "/--r.log"));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].rfind("🏃 Start analysis: ", 0), 0u);
    EXPECT_EQ(log[0].size(), std::string("🏃 Start analysis: ").size() + 24);  // "Sun Dec 06 07:09:09 2026"
    EXPECT_EQ(log[3], "");
}

// The log begins with what repeats the run: the version and the command line as a shell reads
// it back, and that line run again gives the same results.
TEST(Driver, LogHoldsTheVersionAndACommandLineThatRepeatsTheRun) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/my ped's.txt", "ID Sire Dam\nA 0 0\nB 0 0\nC A B\n");
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "my ped's.txt", "--out", "first run"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> log = lines_of(read_file(dir + "/first run.log"));
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[1], "Version: v1.1.0 (2025-2-11 Release)");
    EXPECT_EQ(log[2], "Command line: " + std::string(ZELKORA_EXE) +
                          " --kinship --pedigree 'my ped'\\''s.txt' --out 'first run'");
    EXPECT_EQ(log[3], "");
    // The console has the banner instead.
    EXPECT_EQ(run.out.find("Command line:"), std::string::npos) << run.out;
    // The command line, with another --out, run by the shell: the same matrix.
    const std::string again = log[2].substr(std::string("Command line: ").size()) + " --out again";
    ASSERT_EQ(std::system(("cd " + shell_quote(dir) + " && " + again + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(read_file(dir + "/again.kinship.txt"), read_file(dir + "/first run.kinship.txt"));
    EXPECT_NE(read_file(dir + "/again.kinship.txt").find("C\t0.5000\t0.5000\t1.0000"), std::string::npos);
}

// The simulator's help on standard output with status 0, its version, and a wrong option on
// standard error with status 1.
TEST(Driver, SimulatorHelpAndVersion) {
    const std::string dir = make_scratch_dir();
    const CommandResult help = run_program(ZELKORA_SIMULATE_EXE, {"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: zelkora-simulate --out PREFIX", 0), 0u) << help.out;
    const CommandResult version = run_program(ZELKORA_SIMULATE_EXE, {"--version"}, dir);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "zelkora-simulate v1.1.0 (2025-2-11 Release)\n");
    const CommandResult wrong = run_program(ZELKORA_SIMULATE_EXE, {"--bogus", "1"}, dir);
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(wrong.err.rfind("zelkora-simulate: unknown option --bogus\nUsage:", 0), 0u) << wrong.err;
}

// --threads sets the threads of every run, --reml and --predict alone included; without it a
// REML or prediction run alone keeps the OpenMP default (nothing is set).
TEST(Driver, ThreadsGivenSetEveryRun) {
#if defined(ZELKORA_SANITIZED)
    GTEST_SKIP() << "a preloaded library cannot come before the sanitizer's runtime";
#endif
    const std::string dir = make_scratch_dir();
    write_file(dir + "/ped.txt", "ID Sire Dam\nA 0 0\nB 0 0\nC A B\nD A B\nE C 0\n");
    write_file(dir + "/phe.txt", "ID\tT\nA\t1.0\nB\t2.5\nC\t1.7\nD\t3.1\nE\t2.2\n");
    ASSERT_EQ(run_zelkora({"--kinship", "--pedigree", "ped.txt", "--out", "A"}, dir).status, 0);
    // The distinct thread counts the run set (the BLAS library repeats the count it is given), under
    // an OpenMP default of 1.
    const auto threads_set = [&](const std::vector<std::string>& args) {
        std::filesystem::remove(dir + "/probe.txt");
        std::string command = "cd " + shell_quote(dir) + " && OMP_NUM_THREADS=1 LD_PRELOAD=" +
                              shell_quote(ZELKORA_OMP_PROBE) + " ZELKORA_OMP_PROBE=probe.txt " + shell_quote(ZELKORA_EXE);
        for (const std::string& arg : args) {
            command += " " + shell_quote(arg);
        }
        EXPECT_NE(std::system((command + " >/dev/null 2>&1").c_str()), -1);
        const std::vector<std::string> lines = lines_of(read_file(dir + "/probe.txt"));
        return std::set<std::string>(lines.begin(), lines.end());
    };
    const std::vector<std::string> reml = {"--reml", "--kin-file", "A.kinship.txt", "--phefile", "phe.txt",
                                           "--phe-pos", "2", "--out", "r"};
    std::vector<std::string> predict = reml;
    predict[0] = "--predict";
    auto with_threads = [](std::vector<std::string> args, const char* threads) {
        args.insert(args.end(), {"--threads", threads});
        return args;
    };
    using Counts = std::set<std::string>;
    EXPECT_EQ(threads_set(with_threads(reml, "3")), Counts{"3"});
    EXPECT_EQ(threads_set(with_threads(predict, "2")), Counts{"2"});
    EXPECT_TRUE(threads_set(reml).empty() || threads_set(reml) == Counts{"1"});
    EXPECT_TRUE(threads_set(predict).empty() || threads_set(predict) == Counts{"1"});
    // A kinship run before it: the count given for both.
    std::vector<std::string> combined = {"--kinship", "--pedigree", "ped.txt"};
    combined.insert(combined.end(), reml.begin(), reml.end());
    EXPECT_EQ(threads_set(with_threads(combined, "2")), Counts{"2"});
}
