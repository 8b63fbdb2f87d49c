// Whole runs of G (text and binary), A and H through the built executable: the console and log
// lines in their order, and what only a whole run shows (the progress line on a terminal, options
// reaching the numbers, an odd pedigree file). The end-to-end suite on examples/ does the same for
// REML and prediction and checks every number against plain formulas.

#include <fcntl.h>
#include <pty.h>

#include <cstring>

#include <gtest/gtest.h>

#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

// The six-animal textbook pedigree (ID5 and ID6 inbred by 0.125, A(ID5, ID6) = 0.6875), listed
// offspring first with Windows line ends, a blank line, a fourth column and "NA"; the founder ID1
// has no row of its own.
const char* kUntidyPedigree = "ID Sire Dam\r\nID6 ID5 ID2 x\r\nID5 ID4 ID3 y\r\n\r\nID3 ID1 ID2\r\nID4 ID1 NA\r\nID2 NA 0\r\n";

class WholeRuns : public testing::Test {
protected:
    void SetUp() override {
        write_genotype_set(dir + "/geno", dosages, 0, {"ID3", "X1", "ID5", "ID6", "X2"});
        write_file(dir + "/ped.txt", kUntidyPedigree);
    }

    // Runs with `args`, which end in --out PREFIX; `expected` as for expect_console_and_log.
    CommandResult run(const std::vector<std::string>& args, const std::string& expected) {
        const CommandResult result = run_zelkora(args, dir);
        expect_console_and_log(result.out, read_file(dir + "/" + args.back() + ".log"), expected);
        return result;
    }

    // Runs with standard error on a pseudo-terminal and standard output to console.txt; returns
    // the wait status and what the terminal showed.
    std::pair<int, std::string> run_on_a_terminal(std::vector<std::string> args) {
        std::vector<char*> argv{const_cast<char*>(ZELKORA_EXE)};
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int terminal = -1;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == 0) {
            const int out = ::open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0 && ::dup2(out, STDOUT_FILENO) >= 0 && ::chdir(dir.c_str()) == 0) {
                ::execv(ZELKORA_EXE, argv.data());
            }
            ::_exit(127);
        }
        std::string screen;
        char chunk[4096];
        for (ssize_t got; child > 0 && (got = ::read(terminal, chunk, sizeof(chunk))) > 0;) {
            screen.append(chunk, static_cast<std::size_t>(got));
        }
        int status = -1;
        if (child > 0) {
            ::waitpid(child, &status, 0);
            ::close(terminal);
        }
        return {status, screen};
    }

    std::string dir = make_scratch_dir();
    Eigen::MatrixXd dosages = random_dosages(5, 1500, 31, 0.03);
};

const std::string kGenotypeLines = "~Reading: geno.bed\n~Genotype file contains 5 individuals with 1500 markers.\n";
const std::string kPedigreeLines = "~Check parents crossover: Pass!\n~Pedigree includes 6 individuals.\n"
                                   "~Sire number: 3\n~Dam number: 2\n👉 Sorting pedigree. \n"
                                   "👉 Calculating pedigree relationship matrix. \n";

// The reports of every whole G: no duplicates among random genotypes, and the histogram.
std::string kWholeGReports(const std::string& prefix) {
    return "👉 Duplicates: no pair of individuals has a genomic correlation above 0.95 (" + prefix +
           ".duplicates.txt).\n👏 Histogram of G's diagonal written to " + prefix + ".gdiag.svg\n";
}

}  // namespace

TEST_F(WholeRuns, GenomicTextWithAProgressLineOnATerminalAndBinaryWithout) {
    const auto [status, screen] = run_on_a_terminal({"--kinship", "--bedfile", "geno", "--out", "g"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(screen.find("\r👉 Building G: 1500 of 1500 markers (100%)"), std::string::npos) << screen;
    EXPECT_EQ(screen.back(), '\r');  // the line is wiped before the next output
    // Neither the console file nor the log has the progress line.
    expect_console_and_log(read_file(dir + "/console.txt"), read_file(dir + "/g.log"),
                 kStartLines + kGenotypeLines +
                     "👉 Calculating genomic relationship matrix using method 1...\n~Building G matrix# 秒\n" +
                     kWholeGReports("g") + "👏 Kinship matrix written to g.kinship.txt\n\n😊 All finished!\n\n~Run times: # 秒\n");

    // Method 3 with lambda 0.5 on two threads; binary: the lower triangle by rows as floats.
    const CommandResult binary = run({"--kinship", "--bedfile", "geno", "--kin-bin", "--kin-method", "3",
                                      "--kin-lambda", "0.5", "--threads", "2", "--out", "gb"},
                                     kStartLines + kGenotypeLines +
                                         "👉 Calculating genomic relationship matrix using method 3...\n" +
                                         kWholeGReports("gb") + "~GRM has been written to [gb.bin] and IDs to [gb.id].\n"
                                         "👏 Kinship matrix written to binary files.\n~Run times: # 秒\n");
    EXPECT_EQ(binary.status, 0);
    EXPECT_EQ(binary.err, "");  // no progress line when standard error is not a terminal
    EXPECT_EQ(read_file(dir + "/gb.id"), "ID3\nX1\nID5\nID6\nX2\n");
    const std::string bin = read_file(dir + "/gb.bin");
    ASSERT_EQ(bin.size(), 15 * sizeof(float));
    float last = 0;  // G(X2, X2), which differs between methods and between lambdas
    std::memcpy(&last, bin.data() + 14 * sizeof(float), sizeof(float));
    EXPECT_NEAR(last, textbook_grm(dosages, 3, 0.5)(4, 4), 1e-6);
}

TEST_F(WholeRuns, PedigreeAndSingleStep) {
    const CommandResult pedigree = run({"--kinship", "--pedigree", "ped.txt", "--out", "a"},
                                       kStartLines + kPedigreeLines +
                                           "👏 Inbreeding coefficients written to a.inbreeding.txt (mean F from "
                                           "the pedigree #).\n"
                                           "👏 Kinship matrix written to a.kinship.txt\n\n😊 All finished!\n\n"
                                           "~Run times: # 秒\n");
    EXPECT_EQ(pedigree.status, 0);
    // Ancestors first: the added founder ID1, then the file's order as visited from ID6.
    EXPECT_EQ(read_file(dir + "/a.kinship.txt"),
              "\tID1\tID4\tID2\tID3\tID5\tID6\n"
              "ID1\t1.0000\t0.5000\t0.0000\t0.5000\t0.5000\t0.2500\t\n"
              "ID4\t0.5000\t1.0000\t0.0000\t0.2500\t0.6250\t0.3125\t\n"
              "ID2\t0.0000\t0.0000\t1.0000\t0.5000\t0.2500\t0.6250\t\n"
              "ID3\t0.5000\t0.2500\t0.5000\t1.0000\t0.6250\t0.5625\t\n"
              "ID5\t0.5000\t0.6250\t0.2500\t0.6250\t1.1250\t0.6875\t\n"
              "ID6\t0.2500\t0.3125\t0.6250\t0.5625\t0.6875\t1.1250\t\n");

    const CommandResult single_step =
        run({"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno", "--kin-tau", "2", "--threads", "2", "--out",
             "h"},
            kStartLines + kPedigreeLines.substr(0, kPedigreeLines.find("👉 Calculating")) +
                kGenotypeLines +
                "⚠️ Warning: 2 genotyped individual(s) of geno.fam are not in the pedigree ped.txt (first: X1, X2): "
                "they are left out of H. Check their IDs, or give --geno-founders to keep them in H as founders.\n"
                "👉 Parentage from the genotypes (1500 markers): 1 sire and 1 dam pairs and 0 trios; 2 pair(s) and 0 "
                "trio(s) above --parent-conflict #, in h.parentage.txt.\n"
                "⚠️ Warning: 2 offspring-parent pair(s) have opposing homozygotes at more than 1% of their markers "
                "(first: ID5 and its dam ID3 (#), ID6 and its sire ID5 (#)); h.parentage.txt suggests the "
                "best-fitting genotyped sire or dam.\n"
                "👉 Calculating pedigree relationship matrix. \n"
                "👉 Calculating genomic relationship matrix using method 1...\n~Building G matrix# 秒\n" +
                kWholeGReports("h") + "👉 Calculating H matrix using method ...\n~Comparing individuals of A and G ... \n"
                "~2 individuals of G were not included in A.\n~3 individuals of A were not included in G.\n"
                "~Scale of G22 against A22 for the 3 genotyped individuals:\n"
                "~  G22: mean diagonal #, mean off-diagonal #\n~  A22: mean diagonal #, mean off-diagonal #\n"
                "~  Correlation of off-diagonal elements: #\n~Computing the H matrix... \n~\n"
                "~Completed! Time = # seconds \n"
                "👉 G against A22 for the 3 genotyped individuals: correlation # (off-diagonal), # (diagonal), # "
                "(all); regression of G on A22: slope #, intercept # (h.gvsa22.txt).\n"
                "👏 Picture of G against A22 written to h.gvsa22.svg\n"
                "👏 Inbreeding coefficients written to h.inbreeding.txt (mean F from the pedigree #; from G, G_ii - 1, "
                "mean # over the 3 genotyped).\n"
                "👏 Kinship matrix written to h.kinship.txt\n\n😊 All finished!\n\n"
                "~Run times: # 秒\n");
    EXPECT_EQ(single_step.status, 0);
    // On a terminal A and H show their progress as G does: A by individuals, H by steps (factor
    // A22, the genomic block, A22^-1 A21, one product block, the assembly).
    const auto [status, screen] = run_on_a_terminal({"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno",
                                                     "--kin-tau", "2", "--out", "h"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (const char* line : {"\r👉 Building A: 6 of 6 individuals (100%)", "\r👉 Building G: 1500 of 1500 markers",
                             "\r👉 Building H: 5 of 5 steps (100%)"}) {
        EXPECT_NE(screen.find(line), std::string::npos) << line << "\n" << screen;
    }
    EXPECT_EQ(read_file(dir + "/console.txt").find("Building H:"), std::string::npos);
    // The non-genotyped in pedigree order, then the genotyped in .fam order. With tau 2 and
    // omega 1 the genotyped block is (G22 + 0.0001 I) / 2: G(ID6, ID6) is the .fam's fourth.
    const KinshipText H = load_kinship_text(dir + "/h.kinship.txt");
    EXPECT_EQ(H.ids, (std::vector<std::string>{"ID1", "ID4", "ID2", "ID3", "ID5", "ID6"}));
    EXPECT_NEAR(kinship_rows(H, {5})(0, 0), (textbook_grm(dosages, 1, 1.0)(3, 3) + 0.0001) / 2, 0.5e-4 + 1e-9);
}

// A job array of three runs writes G in parts that concatenate (`cat`) to the files of one run.
TEST_F(WholeRuns, GenomicPartsOfAJobArrayConcatenateToTheWholeBinaryPair) {
    const std::vector<std::string> common = {"--kinship", "--bedfile", "geno", "--kin-bin", "--kin-method", "2"};
    std::vector<std::string> whole_args = common;
    whole_args.insert(whole_args.end(), {"--out", "g"});
    ASSERT_EQ(run_zelkora(whole_args, dir).status, 0);
    std::string matrices, ids;
    for (const std::string part : {"1", "2", "3"}) {
        std::vector<std::string> args = common;
        args.insert(args.end(), {"--kin-parts", "3", "--kin-part", part, "--threads", part == "2" ? "2" : "1",
                                 "--out", "g"});
        const std::string file = "g.part_3_" + part;
        const CommandResult result = run_zelkora(args, dir);
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        if (part == "3") {  // 5 rows of 1 + 2 + 3 + 4 + 5 values: 6, 4 and 5 values
            expect_console_and_log(result.out, read_file(dir + "/" + file + ".log"),
                                   kStartLines + kGenotypeLines +
                                       "👉 Calculating genomic relationship matrix using method 2, part 3 of 3: rows "
                                       "5 to 5 of 5 (5 of 15 values)...\n"
                                       "~GRM has been written to [" + file + ".bin] and IDs to [" + file + ".id].\n"
                                       "👏 Part 3 of 3 of the kinship matrix written to " + file + ".bin and " + file +
                                       ".id.\n~Run times: # 秒\n");
        }
        matrices += read_file(dir + "/" + file + ".bin");
        ids += read_file(dir + "/" + file + ".id");
    }
    EXPECT_EQ(ids, read_file(dir + "/g.id"));
    EXPECT_TRUE(matrices == read_file(dir + "/g.bin"));
    EXPECT_EQ(read_file(dir + "/g.part_3_1.id"), "ID3\nX1\nID5\n");
    EXPECT_NE(read_file(dir + "/g.part_3_1.log").find("part 1 of 3: rows 1 to 3 of 5"), std::string::npos);
}
