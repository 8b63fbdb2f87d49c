// Whole runs of every kind (G text and binary, A, H, REML, prediction) through the built
// executable: the console and log lines in their order, and what only a whole run shows. The
// numbers themselves are checked against plain formulas by the end-to-end suite on examples/.

#include <fcntl.h>
#include <pty.h>

#include <cstring>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"
#include "mixed_model/test_data.h"
#include "test_support.h"

namespace {

// The six-animal textbook pedigree (ID5 and ID6 inbred by 0.125, A(ID5, ID6) = 0.6875), listed
// offspring first with Windows line ends, a blank line, a fourth column and "NA"; the founder ID1
// has no row of its own.
const char* kPedigree = "ID Sire Dam\r\nID6 ID5 ID2 x\r\nID5 ID4 ID3 y\r\n\r\nID3 ID1 ID2\r\nID4 ID1 NA\r\nID2 NA 0\r\n";

// Times, the date and estimates as "#"; the lines of a REML trace as one "<trace>".
std::string masked(const std::string& text) {
    std::string shown = std::regex_replace(text, std::regex("( +[0-9]+( +[-+.e0-9]+){5}\n)+"), "<trace>\n");
    shown = std::regex_replace(shown, std::regex("Start analysis: [^\n]*"), "Start analysis: #");
    return std::regex_replace(shown, std::regex("-?[0-9]+(\\.[0-9]+(e[-+]?[0-9]+)?|e[-+]?[0-9]+)"), "#");
}

class WholeRuns : public testing::Test {
protected:
    void SetUp() override {
        write_genotype_set(dir + "/geno", dosages, 0, {"ID3", "X1", "ID5", "ID6", "X2"});
        write_file(dir + "/ped.txt", kPedigree);
        // 150 individuals in the kinship file; the first 130 have a record (one "NA"), and a
        // stranger has one too.
        const Eigen::MatrixXd K = random_kinship(150, 300, 77, 0.05);
        write_kinship_matrix(K, ids, dir + "/k.kinship.txt");
        const Eigen::MatrixXd y = simulate_trait(K.topLeftCorner(130, 130), class_design(130, 2, false), 1, 1, 5);
        std::ostringstream phenotypes;
        phenotypes.precision(17);
        phenotypes << "ID\tSex\tTrait\n";
        for (int i = 0; i < 130; ++i) {
            phenotypes << ids[i] << (i % 2 == 0 ? "\tM\t" : "\tF\t");
            (i == 7 ? phenotypes << "NA" : phenotypes << y(i, 0)) << "\n";
        }
        write_file(dir + "/traits.phe", phenotypes.str() + "stranger\tM\t3.5\n");
    }

    // Runs with `args` (ending in --out PREFIX). `expected` is the console after the banner, masked;
    // the log holds the same lines except those marked '~', which are on the console only.
    CommandResult run(const std::vector<std::string>& args, const std::string& expected) {
        const CommandResult result = run_zelkora(args, dir);
        std::string console, log;
        for (const std::string& line : lines_of(expected)) {
            const bool console_only = !line.empty() && line[0] == '~';
            console += line.substr(console_only ? 1 : 0) + "\n";
            log += console_only ? "" : line + "\n";
        }
        std::size_t banner_end = 0;
        for (int line = 0; line < 12; ++line) banner_end = result.out.find('\n', banner_end) + 1;
        EXPECT_EQ(masked(result.out.substr(banner_end)), console) << result.err;
        EXPECT_EQ(masked(read_file(dir + "/" + args.back() + ".log")), log);
        return result;
    }

    std::string dir = make_scratch_dir();
    Eigen::MatrixXd dosages = random_dosages(5, 1500, 31, 0.03);
    std::vector<std::string> ids = numbered_ids(150, "ind");
};

const std::string kGenotypeLines = "~Reading: geno.bed\n~Genotype file contains 5 individuals with 1500 markers.\n";
const std::string kPedigreeLines = "~Check parents crossover: Pass!\n~Pedigree includes 6 individuals.\n"
                                   "~Sire number: 3\n~Dam number: 2\n👉 Sorting pedigree. \n"
                                   "👉 Calculating pedigree relationship matrix. \n";

}  // namespace

TEST_F(WholeRuns, GenomicTextAndBinary) {
    const CommandResult text = run({"--kinship", "--bedfile", "geno", "--out", "g"},
                                   "🏃 Start analysis: #\n\n" + kGenotypeLines +
                                       "👉 Calculating genomic relationship matrix using method 1...\n"
                                       "~Building G matrix# 秒\n👏 Kinship matrix written to g.kinship.txt\n\n"
                                       "😊 All finished!\n\n~Run times: # 秒\n");
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.err, "");  // no progress line when standard error is not a terminal

    // Method 3 with lambda 0.5 on two threads; binary: the lower triangle by rows as floats.
    const CommandResult binary = run({"--kinship", "--bedfile", "geno", "--kin-bin", "--kin-method", "3",
                                      "--kin-lambda", "0.5", "--threads", "2", "--out", "gb"},
                                     "🏃 Start analysis: #\n\n" + kGenotypeLines +
                                         "👉 Calculating genomic relationship matrix using method 3...\n"
                                         "~GRM has been written to [gb.bin] and IDs to [gb.id].\n"
                                         "👏 Kinship matrix written to binary files.\n~Run times: # 秒\n");
    EXPECT_EQ(binary.status, 0);
    EXPECT_EQ(read_file(dir + "/gb.id"), "ID3\nX1\nID5\nID6\nX2\n");
    const std::string bin = read_file(dir + "/gb.bin");
    ASSERT_EQ(bin.size(), 15 * sizeof(float));
    const Eigen::MatrixXd G = textbook_grm(dosages, 3, 0.5);
    for (int i = 0, k = 0; i < 5; ++i) {
        for (int j = 0; j <= i; ++j, ++k) {
            float value = 0;
            std::memcpy(&value, bin.data() + k * sizeof(float), sizeof(float));
            EXPECT_NEAR(value, G(i, j), 1e-6 * std::max(1.0, std::abs(G(i, j))));
        }
    }

    const CommandResult bad = run_zelkora({"--kinship", "--bedfile", "geno", "--kin-method", "4", "--out", "g"}, dir);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(read_file(dir + "/g.log").find("Invalid kinship method!"), std::string::npos);
}

TEST_F(WholeRuns, PedigreeAndSingleStep) {
    const CommandResult pedigree = run({"--kinship", "--pedigree", "ped.txt", "--out", "a"},
                                       "🏃 Start analysis: #\n\n" + kPedigreeLines +
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
            "🏃 Start analysis: #\n\n" + kPedigreeLines + kGenotypeLines +
                "👉 Calculating genomic relationship matrix using method 1...\n~Building G matrix# 秒\n"
                "👉 Calculating H matrix using method ...\n~Comparing individuals of A and G ... \n"
                "~2 individuals of G were not included in A.\n~3 individuals of A were not included in G.\n"
                "~Scale of G22 against A22 for the 3 genotyped individuals:\n"
                "~  G22: mean diagonal #, mean off-diagonal #\n~  A22: mean diagonal #, mean off-diagonal #\n"
                "~  Correlation of off-diagonal elements: #\n~Computing the H matrix... \n~\n"
                "~Completed! Time = # seconds \n👏 Kinship matrix written to h.kinship.txt\n\n😊 All finished!\n\n"
                "~Run times: # 秒\n");
    EXPECT_EQ(single_step.status, 0);
    // The non-genotyped in pedigree order, then the genotyped in .fam order. With tau 2 and
    // omega 1 the genotyped block is (G22 + 0.0001 I) / 2.
    const KinshipText H = load_kinship_text(dir + "/h.kinship.txt");
    EXPECT_EQ(H.ids, (std::vector<std::string>{"ID1", "ID4", "ID2", "ID3", "ID5", "ID6"}));
    const std::vector<Eigen::Index> genotyped = {0, 2, 3};  // ID3, ID5, ID6 in the .fam
    const Eigen::MatrixXd G22 = textbook_grm(dosages, 1, 1.0)(genotyped, genotyped);
    const Eigen::MatrixXd H22 = (G22 + 0.0001 * Eigen::MatrixXd::Identity(3, 3)) / 2;
    EXPECT_LE((kinship_rows(H, {3, 4, 5}) - H22).cwiseAbs().maxCoeff(), 0.5e-4 + 1e-9);
}

TEST_F(WholeRuns, RemlAndPrediction) {
    auto head = [](const std::string& gap) {
        return "🏃 Start analysis: #\n\n👉" + gap + "Loading kinship file: k.kinship.txt\n"
               "\t150 individuals were detected in the kinship file.\n👉 Loading phenotype file: traits.phe\n"
               "\t129 effective records without missing covariate and kinship and will be used for REML analysis.\n";
    };
    const std::string trace = "\n🏃 Start REML analysis!\n\n Iteration         LogLik       Sigma_a2       Sigma_e2"
                              "     Changed_a2     Changed_e2\n<trace>\n";
    const std::string estimates = "✅ Converged!!!\n\nComp\tVar\tVar_SE\nAdd\t#\t#\ne\t#\t#\n\n"
                                  "👏 Heritability: # with SE #\n\n";
    // With --predict as well, only the REML run is made.
    std::vector<std::string> args = {"--reml", "--predict", "--kin-file", "k.kinship.txt", "--phefile", "traits.phe",
                                     "--phe-pos", "3", "--covar-pos", "2", "--out", "r"};
    const CommandResult reml = run(args, head("") + "👉 kinship matrix size: 129 x 129 used for REML analysis.\n" +
                                             trace + estimates + "😊 All finished!\n\n");
    EXPECT_EQ(reml.status, 0);
    EXPECT_EQ(reml.err, "");
    EXPECT_FALSE(file_exists(dir + "/r.random.txt"));

    args.erase(args.begin());
    args.back() = "p";
    const CommandResult predict = run(args, head(" ") + trace + estimates +
                                                "🏃 Start predict breeding values!\n\n👉 Breeding values of 150 "
                                                "individuals will be predicted\n\n👏 Fixed effects were shown:\n\n"
                                                "Intercept\t#\nCovar2_M\t0\nCovar2_F\t#\n\n😊 All finished!\n\n");
    EXPECT_EQ(predict.status, 0);
    EXPECT_EQ(predict.err, "\n👏 Predicted breeding values were saved in p.random.txt\n");
    // Every individual of the kinship file, in file order, with a record or without.
    const std::vector<std::string> lines = lines_of(read_file(dir + "/p.random.txt"));
    ASSERT_EQ(lines.size(), 151u);
    EXPECT_EQ(lines[0], "Sample_ID,Ran_Effects");
    for (std::size_t k = 0; k < 150; ++k) {
        EXPECT_EQ(lines[k + 1].substr(0, lines[k + 1].find('\t') + 1), ids[k] + "\t");
    }

    // Variance components that did not converge give no breeding values.
    args.back() = "n";
    args.insert(args.end() - 2, {"--max-iter", "2"});
    const CommandResult unconverged =
        run(args, head(" ") + trace +
                      "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n❎ Error: "
                      "without converged variance components there are no breeding values to predict; n.random.txt "
                      "was not written.\n");
    EXPECT_EQ(unconverged.status, 1);
    EXPECT_EQ(unconverged.err, "");
    EXPECT_FALSE(file_exists(dir + "/n.random.txt"));
}

TEST_F(WholeRuns, ProgressLineOnATerminalOnly) {
    // Standard error on a pseudo-terminal, standard output to a file.
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int out = ::open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::chdir(dir.c_str()) != 0) {
            ::_exit(127);
        }
        ::execl(ZELKORA_EXE, ZELKORA_EXE, "--kinship", "--bedfile", "geno", "--out", "g", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string screen;
    char chunk[4096];
    for (ssize_t got; (got = ::read(terminal, chunk, sizeof(chunk))) > 0;) {
        screen.append(chunk, static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(screen.find("\r👉 Building G: 1500 of 1500 markers (100%)"), std::string::npos) << screen;
    EXPECT_EQ(screen.back(), '\r');  // the line is wiped before the next output
    EXPECT_EQ(read_file(dir + "/g.log").find("Building G:"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/console.txt").find("Building G:"), std::string::npos);
}
