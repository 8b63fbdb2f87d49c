// Whole runs under mpirun: G spread over 1 to 4 ranks writes the files of one process byte for
// byte (binary, text and the trio of other tools); REML and prediction give the results of one
// process; A and H run on rank 0; one rank's failure ends every rank with one message and no
// result; G in parts is refused with the reason.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Files of `dir` whose names start with `prefix` (results and leftover temporaries).
std::vector<std::string> files_starting(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

class UnderMpirun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = make_scratch_dir();
        // 600 individuals: two whole tiles of 256 and a short third; 5,000 markers: two blocks
        // of the exact products; missing calls throughout.
        const CommandResult simulated = run_program(
            ZELKORA_SIMULATE_EXE,
            {"--out", "sim", "--individuals", "600", "--genotyped", "600", "--markers", "5000", "--missing", "0.03",
             "--seed", "17"},
            dir_);
        if (simulated.status != 0) {
            setup_failure_ = "the simulator failed: " + simulated.err;
        }
    }
    // A failed set-up of the suite fails every test (an assertion in SetUpTestSuite would mark
    // them skipped, which ctest counts as passed).
    void SetUp() override { ASSERT_TRUE(setup_failure_.empty()) << setup_failure_; }

    static CommandResult mpirun(int ranks, const std::vector<std::string>& args,
                                const std::vector<std::string>& environment = {}) {
        // Containers often forbid the cross-memory attach of the shared-memory transport; plain
        // copies work everywhere.
        std::vector<std::string> command = {"--oversubscribe", "--allow-run-as-root", "--mca",
                                            "btl_vader_single_copy_mechanism", "none", "-np", std::to_string(ranks)};
        // In the sanitizer build the ranks check every access but not for leaks: Open MPI keeps
        // start-up allocations to the end, in components it has unloaded by then, so no
        // suppression can name them. The single-process tests check our leaks.
        command.push_back("-x");
        command.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
        for (const std::string& variable : environment) {
            command.push_back("-x");
            command.push_back(variable);
        }
        command.push_back(ZELKORA_EXE);
        command.insert(command.end(), args.begin(), args.end());
        return run_program(ZELKORA_MPIEXEC, command, dir_);
    }

    static std::vector<std::string> kinship_args(int method, const std::string& out) {
        return {"--kinship", "--bedfile", "sim", "--kin-bin", "--kin-method", std::to_string(method), "--out", out};
    }

    static std::string dir_;
    static std::string setup_failure_;
};
std::string UnderMpirun::dir_;
std::string UnderMpirun::setup_failure_;

// The float32 triangles agree value for value within the rounding to float32 of sums that
// differ in their last bits.
void expect_same_triangle(const std::string& expected, const std::string& actual, bool bit_for_bit) {
    ASSERT_EQ(actual.size(), expected.size());
    ASSERT_EQ(expected.size(), 600u * 601u / 2u * 4u);
    if (bit_for_bit) {
        EXPECT_TRUE(actual == expected) << "the matrix files differ";
        return;
    }
    for (std::size_t k = 0; k < expected.size() / 4; ++k) {
        float want = 0.0f;
        float got = 0.0f;
        std::memcpy(&want, expected.data() + 4 * k, 4);
        std::memcpy(&got, actual.data() + 4 * k, 4);
        ASSERT_NEAR(got, want, 1e-6 * (1.0 + std::abs(want))) << "value " << k;
    }
}

TEST_F(UnderMpirun, EveryRankCountWritesTheFilesOfOneProcess) {
    for (const int method : {1, 2, 3}) {
        const std::string single = "single" + std::to_string(method);
        const CommandResult alone = run_zelkora(kinship_args(method, single), dir_);
        ASSERT_EQ(alone.status, 0) << alone.err;
        const std::string expected = read_file(dir_ + "/" + single + ".bin");
        for (const int ranks : {1, 2, 3, 4}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", " + std::to_string(ranks) + " ranks");
            const std::string out = "spread" + std::to_string(method) + "_" + std::to_string(ranks);
            const CommandResult run = mpirun(ranks, kinship_args(method, out));
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            // Methods 2 and 3 sum in double by tile; method 1's exact sums match bit for bit.
            expect_same_triangle(expected, read_file(dir_ + "/" + out + ".bin"), method == 1);
            EXPECT_EQ(read_file(dir_ + "/" + out + ".id"), read_file(dir_ + "/" + single + ".id"));
            // Rank 0 alone speaks and keeps the log.
            EXPECT_EQ(occurrences(run.out, "Kinship matrix written to binary files."), 1u);
            EXPECT_EQ(occurrences(run.out, "Welcome to use Zelkora"), 1u);
            EXPECT_EQ(occurrences(read_file(dir_ + "/" + out + ".log"), "Kinship matrix written to binary files."), 1u);
            // .bin, .id, .log and the reports of a whole G: no temporaries left.
            EXPECT_EQ(files_starting(dir_, out).size(), 5u);
            const std::string duplicates = read_file(dir_ + "/" + out + ".duplicates.txt");
            EXPECT_EQ(lines_of(duplicates).size(), lines_of(read_file(dir_ + "/" + single + ".duplicates.txt")).size());
            if (method == 1) {  // the same bits, so the same reports
                EXPECT_EQ(duplicates, read_file(dir_ + "/" + single + ".duplicates.txt"));
                EXPECT_EQ(read_file(dir_ + "/" + out + ".gdiag.svg"), read_file(dir_ + "/" + single + ".gdiag.svg"));
            }
        }
    }
}

// The filters and the reports of a whole G are those of one process: every rank removes the
// same individuals and markers, rank 0 lists them, and the duplicates found in the ranks' tiles
// are those of the whole G.
TEST_F(UnderMpirun, FiltersAndReportsAreThoseOfOneProcess) {
    const CommandResult simulated = run_program(
        ZELKORA_SIMULATE_EXE,
        {"--out", "planted", "--individuals", "500", "--genotyped", "400", "--markers", "3000", "--seed", "5",
         "--plant-duplicates", "2", "--plant-poor-markers", "10", "--plant-poor-individuals", "2",
         "--plant-rare-markers", "20", "--plant-hwe-markers", "5"},
        dir_);
    ASSERT_EQ(simulated.status, 0) << simulated.err;
    const std::vector<std::string> args = {"--kinship", "--bedfile", "planted", "--kin-bin", "--maf", "0.05", "--geno",
                                           "0.1", "--mind", "0.1", "--hwe", "1e-6", "--out"};
    std::vector<std::string> alone = args;
    alone.push_back("alone");
    ASSERT_EQ(run_zelkora(alone, dir_).status, 0);
    std::vector<std::string> spread = args;
    spread.push_back("spread");
    const CommandResult run = mpirun(3, spread);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* file : {".id", ".removed.txt", ".duplicates.txt", ".gdiag.svg"}) {
        EXPECT_EQ(read_file(dir_ + "/spread" + file), read_file(dir_ + "/alone" + file)) << file;
    }
    EXPECT_TRUE(read_file(dir_ + "/spread.bin") == read_file(dir_ + "/alone.bin"));
    EXPECT_EQ(lines_of(read_file(dir_ + "/spread.duplicates.txt")).size(), 3u);  // the two planted pairs
    EXPECT_EQ(occurrences(run.out, "--maf 0.05 removed"), 1u);
}

TEST_F(UnderMpirun, OneRankFailingEndsEveryRankWithOneMessageAndNoResult) {
    // Rank 1 of 3 cannot allocate its tiles: no file appears.
    const std::string message = "not enough memory for the tiles of G on rank 1";
    CommandResult run = mpirun(3, kinship_args(1, "failed"), {"ZELKORA_TEST_FAILING_RANK=1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.out + run.err, message), 1u) << run.out << run.err;
    EXPECT_EQ(occurrences(read_file(dir_ + "/failed.log"), message), 1u);
    EXPECT_FALSE(file_exists(dir_ + "/failed.bin"));
    EXPECT_FALSE(file_exists(dir_ + "/failed.id"));
    EXPECT_EQ(files_starting(dir_, "failed").size(), 1u);  // the log only

    // An earlier result survives the failure of the last rank untouched.
    write_file(dir_ + "/kept.bin", "earlier matrix");
    write_file(dir_ + "/kept.id", "earlier ids\n");
    run = mpirun(4, kinship_args(2, "kept"), {"ZELKORA_TEST_FAILING_RANK=3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.out + run.err, "on rank 3"), 1u) << run.out << run.err;
    EXPECT_EQ(read_file(dir_ + "/kept.bin"), "earlier matrix");
    EXPECT_EQ(read_file(dir_ + "/kept.id"), "earlier ids\n");
    EXPECT_EQ(files_starting(dir_, "kept").size(), 3u);

    // Input that no rank can read: the reader's message once.
    run = mpirun(2, {"--kinship", "--bedfile", "absent", "--kin-bin", "--out", "absent"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.out + run.err, "absent.bim"), 1u) << run.out << run.err;
    EXPECT_FALSE(file_exists(dir_ + "/absent.bin"));
}

TEST_F(UnderMpirun, AAndHAreFormedOnRankZeroAsInOneProcess) {
    for (const bool single_step : {false, true}) {
        SCOPED_TRACE(single_step ? "H" : "A");
        std::vector<std::string> args = {"--kinship", "--pedigree", "sim.ped"};
        if (single_step) {
            args.insert(args.end(), {"--bedfile", "sim"});
        }
        std::vector<std::string> alone = args;
        alone.insert(alone.end(), {"--out", single_step ? "h_alone" : "a_alone"});
        ASSERT_EQ(run_zelkora(alone, dir_).status, 0);
        const std::string out = single_step ? "h_spread" : "a_spread";
        args.insert(args.end(), {"--out", out});
        const CommandResult run = mpirun(3, args);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(occurrences(run.out, "is computed on rank 0 alone"), 1u) << run.out;
        EXPECT_EQ(read_file(dir_ + "/" + out + ".kinship.txt"),
                  read_file(dir_ + "/" + (single_step ? "h_alone" : "a_alone") + ".kinship.txt"));
    }
    // Rank 0's failure is every rank's status.
    const CommandResult failed = mpirun(2, {"--kinship", "--pedigree", "absent.ped", "--out", "a_failed"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(occurrences(failed.out + failed.err, "absent.ped"), 1u) << failed.out << failed.err;
}

TEST_F(UnderMpirun, TheTextMatrixAndTheTrioOfOtherToolsAreTheFilesOfOneProcess) {
    for (const int method : {1, 2}) {
        const std::string single = "text_alone" + std::to_string(method);
        std::vector<std::string> args = {"--kinship", "--bedfile", "sim", "--kin-method", std::to_string(method),
                                         "--out"};
        std::vector<std::string> alone = args;
        alone.push_back(single);
        ASSERT_EQ(run_zelkora(alone, dir_).status, 0);
        for (const int ranks : {2, 3, 4}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", " + std::to_string(ranks) + " ranks");
            const std::string out = "text_" + std::to_string(method) + "_" + std::to_string(ranks);
            std::vector<std::string> spread = args;
            spread.push_back(out);
            const CommandResult run = mpirun(ranks, spread);
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            // Both methods: a value printed to 4 decimals hides the last bits of the tile sums.
            const std::string expected = read_file(dir_ + "/" + single + ".kinship.txt");
            EXPECT_TRUE(read_file(dir_ + "/" + out + ".kinship.txt") == expected);
            EXPECT_EQ(files_starting(dir_, out).size(), 4u);  // the matrix, the log and the reports of G
        }
    }
    const std::vector<std::string> trio = {"--kinship", "--bedfile", "sim", "--kin-gcta", "--kin-bin", "--out"};
    std::vector<std::string> alone = trio;
    alone.push_back("trio_alone");
    ASSERT_EQ(run_zelkora(alone, dir_).status, 0);
    std::vector<std::string> spread = trio;
    spread.push_back("trio_spread");
    const CommandResult run = mpirun(3, spread);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const std::string ending : {".grm.bin", ".grm.id", ".grm.N.bin", ".bin", ".id"}) {
        EXPECT_TRUE(read_file(dir_ + "/trio_spread" + ending) == read_file(dir_ + "/trio_alone" + ending)) << ending;
    }
    EXPECT_EQ(occurrences(run.out, "trio_spread.grm.bin, trio_spread.grm.id and trio_spread.grm.N.bin."), 1u);

    // One rank short of memory: no text file appears.
    const CommandResult failed = mpirun(3, {"--kinship", "--bedfile", "sim", "--out", "text_failed"},
                                        {"ZELKORA_TEST_FAILING_RANK=1"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_FALSE(file_exists(dir_ + "/text_failed.kinship.txt"));
    EXPECT_EQ(files_starting(dir_, "text_failed").size(), 1u);  // the log only
}

TEST_F(UnderMpirun, PartsAreRefusedWithTheReason) {
    const CommandResult run =
        mpirun(2, {"--kinship", "--bedfile", "sim", "--kin-bin", "--kin-parts", "2", "--kin-part", "1", "--out",
                   "refused"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.err, "❎ Error: --kin-parts cannot run on 2 MPI ranks: parts split G"), 1u) << run.err;
    EXPECT_TRUE(files_starting(dir_, "refused").empty());
}

TEST_F(UnderMpirun, SeveralTraitsAreRefusedWithTheReason) {
    const CommandResult run = mpirun(2, {"--reml", "--kin-file", "absent.kinship.txt", "--phefile", "sim.mt.phe",
                                         "--phe-pos", "4,5", "--out", "refused_traits"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.out + run.err, "several traits (--phe-pos a,b,...) run as one process for now"), 1u)
        << run.out << run.err;
    EXPECT_TRUE(files_starting(dir_, "refused_traits.vc").empty());
}

TEST_F(UnderMpirun, TheSparseRoutesAreRefusedByName) {
    CommandResult run = mpirun(2, {"--kinship", "--pedigree", "sim.ped", "--kin-inverse", "--out", "sparse_refused"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.err, "❎ Error: --kin-inverse cannot run on 2 MPI ranks yet"), 1u) << run.err;
    run = mpirun(2, {"--predict", "--pedigree", "sim.ped", "--phefile", "sim.phe", "--phe-pos", "4", "--vc", "40,60",
                     "--out", "sparse_refused"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.err, "❎ Error: --predict --pedigree cannot run on 2 MPI ranks yet"), 1u) << run.err;
    EXPECT_TRUE(files_starting(dir_, "sparse_refused").empty());
}

TEST_F(UnderMpirun, ModelsWithSeveralRandomEffectsAreRefusedByName) {
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "several"}, dir_).status, 0);
    const CommandResult run = mpirun(2, {"--reml", "--kin-file", "several.bin", "--phefile", "sim.phe", "--phe-pos", "4",
                                         "--rand-pos", "3", "--out", "several_refused"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.err, "models with several random effects (--mkin-file with several kinships, --pe, "
                                   "--rand-pos, terms of the dam, random regressions) cannot run on 2 MPI ranks yet"),
              1u)
        << run.out << run.err;
    EXPECT_FALSE(file_exists(dir_ + "/several_refused.vc.txt"));
}

// Every number of two result files (tab-separated, first line a header, first field the ID):
// the same IDs, and values within a unit of their sixth significant digit, the precision they
// are printed with.
void expect_same_table(const std::string& expected, const std::string& actual) {
    const std::vector<std::string> want = lines_of(expected);
    const std::vector<std::string> got = lines_of(actual);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_GT(want.size(), 1u);
    EXPECT_EQ(got[0], want[0]);
    for (std::size_t line = 1; line < want.size(); ++line) {
        std::istringstream a(want[line]);
        std::istringstream b(got[line]);
        std::string id_a;
        std::string id_b;
        a >> id_a;
        b >> id_b;
        ASSERT_EQ(id_b, id_a) << "line " << line;
        std::string x;
        std::string y;
        while (a >> x) {
            ASSERT_TRUE(static_cast<bool>(b >> y)) << "line " << line;
            if (x == "NA" || y == "NA") {
                EXPECT_EQ(y, x) << "line " << line;
                continue;
            }
            const double u = std::strtod(x.c_str(), nullptr);
            const double v = std::strtod(y.c_str(), nullptr);
            EXPECT_NEAR(v, u, 1e-5 * std::abs(u) + 1e-9) << "line " << line;
        }
    }
}

// The variance components, their standard errors and the heritability a run printed.
std::vector<double> estimates_in(const std::string& console) {
    std::vector<double> values;
    for (const std::string& line : lines_of(console)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        if (name == "Add" || name == "e") {
            double value = 0.0;
            while (fields >> value) {
                values.push_back(value);
            }
        } else if (line.find("Heritability: ") != std::string::npos) {
            values.push_back(std::strtod(line.c_str() + line.find(": ") + 2, nullptr));
            values.push_back(std::strtod(line.c_str() + line.find("SE ") + 3, nullptr));
        }
    }
    return values;
}

TEST_F(UnderMpirun, RemlAndPredictionOverRanksGiveTheResultsOfOneProcess) {
    // A sixth of the animals without a record, so that the prediction reaches individuals the
    // records' matrix does not hold; sex and herd as fixed classes.
    const std::vector<std::string> records = lines_of(read_file(dir_ + "/sim.phe"));
    std::string phenotypes;
    for (std::size_t line = 0; line < records.size(); ++line) {
        if (line == 0 || line % 6 != 0) {
            phenotypes += records[line] + "\n";
        }
    }
    write_file(dir_ + "/part.phe", phenotypes);
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "mm"}, dir_).status, 0);
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "sim", "--out", "mm"}, dir_).status, 0);
    const std::vector<std::string> model = {"--phefile", "part.phe", "--phe-pos", "4", "--covar-pos", "2,3"};
    const auto with_model = [&](std::vector<std::string> args) {
        args.insert(args.end(), model.begin(), model.end());
        return args;
    };

    for (const std::string kinship : {"mm.bin", "mm.kinship.txt"}) {
        const CommandResult alone =
            run_zelkora(with_model({"--predict", "--kin-file", kinship, "--out", "alone"}), dir_);
        ASSERT_EQ(alone.status, 0) << alone.out << alone.err;
        const std::vector<double> estimates = estimates_in(alone.out);
        ASSERT_EQ(estimates.size(), 6u) << alone.out;
        for (const int ranks : {1, 2, 3, 4}) {
            SCOPED_TRACE(kinship + ", " + std::to_string(ranks) + " ranks");
            const std::string out = "spread_" + std::to_string(ranks);
            const CommandResult run = mpirun(ranks, with_model({"--predict", "--kin-file", kinship, "--out", out}));
            ASSERT_EQ(run.status, 0) << run.out << run.err;
            const std::vector<double> spread = estimates_in(run.out);
            ASSERT_EQ(spread.size(), estimates.size());
            for (std::size_t k = 0; k < spread.size(); ++k) {
                EXPECT_NEAR(spread[k], estimates[k], 1e-5 * std::abs(estimates[k])) << "estimate " << k;
            }
            expect_same_table(read_file(dir_ + "/alone.random.txt"), read_file(dir_ + "/" + out + ".random.txt"));
            expect_same_table(read_file(dir_ + "/alone.reliability.txt"),
                              read_file(dir_ + "/" + out + ".reliability.txt"));
            EXPECT_EQ(occurrences(run.out, "Converged"), 1u);
        }
    }

    // REML alone over 3 ranks: the estimates of one process.
    const CommandResult alone = run_zelkora(with_model({"--reml", "--kin-file", "mm.bin", "--out", "reml1"}), dir_);
    const CommandResult spread = mpirun(3, with_model({"--reml", "--kin-file", "mm.bin", "--out", "reml3"}));
    ASSERT_EQ(spread.status, 0) << spread.out << spread.err;
    EXPECT_EQ(estimates_in(spread.out), estimates_in(alone.out));
}

TEST_F(UnderMpirun, AFailureOfOneRankEndsTheDistributedRemlWithoutResults) {
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "sim", "--kin-bin", "--out", "fail_g"}, dir_).status, 0);
    const std::vector<std::string> predict = {"--predict", "--kin-file", "fail_g.bin", "--phefile", "sim.phe",
                                              "--phe-pos", "4", "--out", "failed_mm"};
    write_file(dir_ + "/failed_mm.random.txt", "earlier result\n");
    const CommandResult run = mpirun(3, predict, {"ZELKORA_TEST_FAILING_RANK=2"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(occurrences(run.out + run.err, "not enough memory on rank 2"), 1u) << run.out << run.err;
    EXPECT_EQ(read_file(dir_ + "/failed_mm.random.txt"), "earlier result\n");
    EXPECT_FALSE(file_exists(dir_ + "/failed_mm.reliability.txt"));

    // A text kinship whose triangles disagree: the reader's message once, from whichever rank
    // holds the pair.
    ASSERT_EQ(run_zelkora({"--kinship", "--bedfile", "sim", "--out", "skew"}, dir_).status, 0);
    std::vector<std::string> lines = lines_of(read_file(dir_ + "/skew.kinship.txt"));
    std::string text;
    for (std::size_t line = 0; line < lines.size(); ++line) {
        std::string row = lines[line];
        if (line == 500) {  // individual 500's value for individual 3, above the diagonal of line 3
            std::size_t at = 0;
            for (int tab = 0; tab < 4; ++tab) {
                at = row.find('\t', at) + 1;
            }
            row.replace(at, row.find('\t', at) - at, "0.9999");
        }
        text += row + "\n";
    }
    write_file(dir_ + "/skew.kinship.txt", text);
    const CommandResult skewed = mpirun(4, {"--reml", "--kin-file", "skew.kinship.txt", "--phefile", "sim.phe",
                                            "--phe-pos", "4", "--out", "skewed"});
    EXPECT_EQ(skewed.status, 1);
    EXPECT_EQ(occurrences(skewed.out + skewed.err, "is not symmetric"), 1u) << skewed.out << skewed.err;
}

}  // namespace
