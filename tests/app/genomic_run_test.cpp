#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>

#include <cstring>

#include "genomic/genotype_files.h"
#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

// The log after its start line and the empty line that follows it.
std::string log_body(const std::string& log) {
    const std::size_t first_line_end = log.find('\n');
    EXPECT_EQ(log.compare(0, std::strlen("🏃 Start analysis: "), "🏃 Start analysis: "), 0) << log;
    EXPECT_EQ(log.compare(first_line_end, 2, "\n\n"), 0) << log;
    return log.substr(first_line_end + 2);
}

// The kinship text file as data-line IDs and numbers.
std::pair<std::vector<std::string>, Eigen::MatrixXd> parse_kinship_text(const std::string& path) {
    const KinshipText text = load_kinship_text(path);
    std::vector<std::size_t> every_line(text.ids.size());
    for (std::size_t line = 0; line < every_line.size(); ++line) {
        every_line[line] = line;
    }
    return {text.ids, kinship_rows(text, every_line)};
}

class GenomicRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_scratch_dir();
        dosages = random_dosages(10, 1500, 31, 0.03);
        write_genotype_set(dir + "/geno", dosages);
    }
    CommandResult run(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--kinship", "--bedfile", "geno", "--out", "res"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_zelkora(args, dir);
    }
    // A failed run: status 1, the message as the last log line, and the result file untouched.
    void expect_failure(const std::vector<std::string>& extra, const std::string& message_start) {
        write_file(dir + "/res.kinship.txt", "old result\n");
        const CommandResult result = run(extra);
        EXPECT_EQ(result.status, 1);
        const std::string log = read_file(dir + "/res.log");
        const std::size_t last_line = log.rfind('\n', log.size() - 2) + 1;
        EXPECT_EQ(log.compare(last_line, message_start.size(), message_start), 0) << log;
        EXPECT_EQ(read_file(dir + "/res.kinship.txt"), "old result\n");
        EXPECT_EQ(result.out.find("Run times: "), std::string::npos);
    }

    std::string dir;
    Eigen::MatrixXd dosages;
};

TEST_F(GenomicRunTest, TextRunWritesGWithItsLinesInTheirPlaces) {
    const CommandResult result = run({});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");  // no progress line when standard error is not a terminal
    const std::string expected_console = "Reading: geno.bed\n"
                                         "Genotype file contains 10 individuals with 1500 markers.\n"
                                         "👉 Calculating genomic relationship matrix using method 1...\n"
                                         "Building G matrix";
    EXPECT_NE(result.out.find(expected_console), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" 秒\n👏 Kinship matrix written to res.kinship.txt\n\n😊 All finished!\n\nRun times: "),
              std::string::npos)
        << result.out;
    EXPECT_EQ(log_body(read_file(dir + "/res.log")),
              "👉 Calculating genomic relationship matrix using method 1...\n"
              "👏 Kinship matrix written to res.kinship.txt\n\n😊 All finished!\n\n");

    const auto [ids, kinship] = parse_kinship_text(dir + "/res.kinship.txt");
    EXPECT_EQ(ids, numbered_ids(10));
    EXPECT_LE((kinship - textbook_grm(dosages, 1, 1.0)).cwiseAbs().maxCoeff(), 0.5001e-4);
}

TEST_F(GenomicRunTest, MethodLambdaAndThreadsReachTheComputation) {
    const CommandResult result = run({"--kin-method", "3", "--kin-lambda", "0.5", "--threads", "2"});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("Building G matrix"), std::string::npos);
    EXPECT_NE(read_file(dir + "/res.log").find("using method 3...\n"), std::string::npos);
    const auto [ids, kinship] = parse_kinship_text(dir + "/res.kinship.txt");
    EXPECT_LE((kinship - textbook_grm(dosages, 3, 0.5)).cwiseAbs().maxCoeff(), 0.5001e-4);
}

TEST_F(GenomicRunTest, BinaryRunWritesTheLowerTriangleAndIds) {
    const CommandResult result = run({"--kin-bin", "--kin-method", "2"});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(log_body(read_file(dir + "/res.log")),
              "👉 Calculating genomic relationship matrix using method 2...\n"
              "👏 Kinship matrix written to binary files.\n");
    EXPECT_FALSE(file_exists(dir + "/res.kinship.txt"));
    EXPECT_NE(result.out.find("Run times: "), std::string::npos);

    const Eigen::MatrixXd expected = textbook_grm(dosages, 2, 1.0);
    const std::string bin = read_file(dir + "/res.bin");
    ASSERT_EQ(bin.size(), sizeof(float) * 55);
    std::size_t offset = 0;
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j <= i; ++j, offset += sizeof(float)) {
            float value = 0;
            std::memcpy(&value, bin.data() + offset, sizeof(float));
            EXPECT_NEAR(value, expected(i, j), 1e-6 * std::max(1.0, std::abs(expected(i, j))));
        }
    }
    std::string id_lines;
    for (const std::string& id : numbered_ids(10)) {
        id_lines += id + "\n";
    }
    EXPECT_EQ(read_file(dir + "/res.id"), id_lines);
}

TEST_F(GenomicRunTest, BadInputsStopWithTheirMessageAndNoResult) {
    expect_failure({"--kin-method", "4"}, "Invalid kinship method!");

    const std::string good_bed = read_file(dir + "/geno.bed");
    write_file(dir + "/geno.bed", "\x6C\x1B\x00" + good_bed.substr(3));
    expect_failure({}, "Invalid BED file format");
    write_file(dir + "/geno.bed", "\x6D" + good_bed.substr(1));
    expect_failure({}, "Invalid BED file format");
    write_file(dir + "/geno.bed", good_bed.substr(0, good_bed.size() - 1));
    expect_failure({}, "Truncated BED file geno.bed: expected " + std::to_string(good_bed.size()) + " bytes");
    write_file(dir + "/geno.bed", good_bed);

    write_file(dir + "/geno.fam", read_file(dir + "/geno.fam") + "FAM ID3 0 0 0 -9\n");
    expect_failure({}, "Duplicate individual ID ID3 in geno.fam (lines 3 and 11)");

    Eigen::MatrixXd monomorphic = Eigen::MatrixXd::Constant(10, 20, 0.0);
    monomorphic.col(4).setConstant(-1.0);
    write_genotype_set(dir + "/geno", monomorphic);
    expect_failure({}, "Cannot build G by method 1 from geno.bed");

    std::remove((dir + "/geno.bim").c_str());
    expect_failure({}, "File not found: geno.bim or geno.fam");
}

TEST_F(GenomicRunTest, ShowsProgressOnATerminalButNotInTheLog) {
    // Standard error on a pseudo-terminal, standard output to a file.
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int out = ::open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::chdir(dir.c_str()) != 0) {
            ::_exit(127);
        }
        ::execl(ZELKORA_EXE, ZELKORA_EXE, "--kinship", "--bedfile", "geno", "--out", "res", static_cast<char*>(nullptr));
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
    // The line is wiped before the next output.
    EXPECT_EQ(screen.back(), '\r');
    EXPECT_EQ(read_file(dir + "/res.log").find("Building G:"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/console.txt").find("Building G:"), std::string::npos);
}

}  // namespace
