#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The six-animal textbook pedigree, offspring listed before parents, with a blank line, a
// fourth column, "NA" codes and Windows line ends; animal 1 has no row of its own.
const char* kTextbookPedigree =
    "ID Sire Dam\r\n"
    "6 5 2 x\r\n"
    "5 4 3 y\r\n"
    "\r\n"
    "3 1 2\r\n"
    "4 1 NA\r\n"
    "2 NA 0\r\n";

TEST(PedigreeRoute, WritesATextKinshipFileAndLogsEachStep) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/ped.txt", kTextbookPedigree);
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--out", "res"}, dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "Check parents crossover: Pass!\nPedigree includes 6 individuals.\n"
                                  "Sire number: 3\nDam number: 2\n"));
    EXPECT_TRUE(contains(run.out, "Run times: "));
    const std::string log = read_file(dir + "/res.log");
    EXPECT_TRUE(contains(log, "\n\n👉 Sorting pedigree. \n👉 Calculating pedigree relationship matrix. \n"
                              "👏 Kinship matrix written to res.kinship.txt\n\n😊 All finished!\n\n"));
    EXPECT_FALSE(contains(log, "Pedigree includes"));  // the summary goes to the console only
    EXPECT_FALSE(contains(log, "Run times"));
    // Ancestors first: the added founder 1, then the file's order as visited from animal 6.
    EXPECT_EQ(read_file(dir + "/res.kinship.txt"),
              "\t1\t4\t2\t3\t5\t6\n"
              "1\t1.0000\t0.5000\t0.0000\t0.5000\t0.5000\t0.2500\t\n"
              "4\t0.5000\t1.0000\t0.0000\t0.2500\t0.6250\t0.3125\t\n"
              "2\t0.0000\t0.0000\t1.0000\t0.5000\t0.2500\t0.6250\t\n"
              "3\t0.5000\t0.2500\t0.5000\t1.0000\t0.6250\t0.5625\t\n"
              "5\t0.5000\t0.6250\t0.2500\t0.6250\t1.1250\t0.6875\t\n"
              "6\t0.2500\t0.3125\t0.6250\t0.5625\t0.6875\t1.1250\t\n");
}

TEST(PedigreeRoute, WritesBinaryFiles) {
    const std::string dir = make_scratch_dir();
    write_file(dir + "/ped.txt", "id s d\nA 0 0\nB 0 0\nC A B\nD C B\n");
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--kin-bin", "--out", "bin"}, dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string log = read_file(dir + "/bin.log");
    EXPECT_TRUE(contains(log, "👏 Kinship matrix written to binary files.\n"));
    EXPECT_FALSE(contains(log, "All finished"));
    EXPECT_FALSE(file_exists(dir + "/bin.kinship.txt"));
    EXPECT_EQ(read_file(dir + "/bin.id"), "A\nB\nC\nD\n");
    const std::string bytes = read_file(dir + "/bin.bin");
    ASSERT_EQ(bytes.size(), 10 * sizeof(float));
    std::vector<float> lower(10);
    std::memcpy(lower.data(), bytes.data(), bytes.size());
    // D's dam B is also C's dam: A(D, D) = 1 + A(C, B) / 2 = 1.25.
    EXPECT_EQ(lower, (std::vector<float>{1, 0, 1, 0.5f, 0.5f, 1, 0.25f, 0.75f, 0.75f, 1.25f}));
}

TEST(PedigreeRoute, ReportsAnUnreadableFileOnStandardError) {
    const std::string dir = make_scratch_dir();
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "absent.txt", "--out", "res"}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "Error: Could not open input file absent.txt\n"));
    EXPECT_FALSE(file_exists(dir + "/res.kinship.txt"));
    const std::string log = read_file(dir + "/res.log");
    EXPECT_EQ(log.substr(log.find('\n')), "\n\n");  // start line and the empty line only
}

TEST(PedigreeRoute, RejectedPedigreesEndTheRunWithTheirMessageInTheLog) {
    struct Case {
        const char* content;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"ID Sire Dam\n", "Pedigree needs at least three columns and cannot be empty!\n"},
        {"ID Sire Dam\nA 0 0\nB A 0\nA 0 0\n", "Program terminated due to duplicate offspring ID.\n"},
        {"ID Sire Dam\nC X Y\nD Y Z\n", "Program terminated due to parents crossover.\n"},
        {"ID Sire Dam\nA 0 0\n\nB A\n", "Pedigree file ped.txt, line 4 has 2 field(s); every line needs an ID, a sire and a dam.\n"},
        {"ID Sire Dam\nA B 0\nB A 0\n", "is its own ancestor"},
    };
    for (const Case& c : cases) {
        const std::string dir = make_scratch_dir();
        write_file(dir + "/ped.txt", c.content);
        const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--out", "res"}, dir);
        EXPECT_EQ(run.status, 1) << c.content;
        EXPECT_TRUE(contains(read_file(dir + "/res.log"), c.message)) << read_file(dir + "/res.log");
        EXPECT_FALSE(file_exists(dir + "/res.kinship.txt"));
    }
}

}  // namespace
