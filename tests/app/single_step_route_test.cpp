#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "test_support.h"

namespace {

using Eigen::MatrixXd;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Pedigree: founders S1, D1, D2; full sibs C1, C2 (S1 x D1) and their half sib C3 (S1 x D2).
const char* kPedigree = "ID Sire Dam\nS1 0 0\nD1 0 0\nD2 0 0\nC1 S1 D1\nC2 S1 D1\nC3 S1 D2\n";

// Genotypes of C3, X9 (not in the pedigree), C1, C2 at six markers (rows follow the .fam).
const std::vector<std::string> kFamIds = {"C3", "X9", "C1", "C2"};
const std::vector<std::vector<int>> kDosages = {
    {0, 1, 2, 1, 0, 2}, {2, 1, 0, 0, 1, 1}, {1, 2, 2, 1, 0, 1}, {1, 2, 1, 2, 0, 2}};

// Writes PREFIX.bed/.bim/.fam: marker-major, codes 00 = 2, 10 = 1, 11 = 0 copies of A1.
void write_genotypes(const std::string& prefix) {
    const std::size_t n = kFamIds.size();
    const std::size_t m = kDosages.front().size();
    std::string fam, bim, bed = {'\x6C', '\x1B', '\x01'};
    for (const std::string& id : kFamIds) fam += "F " + id + " 0 0 0 -9\n";
    for (std::size_t j = 0; j < m; ++j) {
        bim += "1 m" + std::to_string(j) + " 0 " + std::to_string(1000 * (j + 1)) + " A G\n";
        for (std::size_t byte_start = 0; byte_start < n; byte_start += 4) {
            unsigned byte = 0;
            for (std::size_t q = 0; q < 4 && byte_start + q < n; ++q) {
                const int dosage = kDosages[byte_start + q][j];
                const unsigned code = dosage == 2 ? 0u : dosage == 1 ? 2u : 3u;
                byte |= code << (2 * q);
            }
            bed += static_cast<char>(byte);
        }
    }
    write_file(prefix + ".fam", fam);
    write_file(prefix + ".bim", bim);
    write_file(prefix + ".bed", bed);
}

// VanRaden's first G from the complete dosages: Z = X - 2p, G = Z Z' / (2 sum p (1 - p)).
MatrixXd expected_G() {
    const int n = static_cast<int>(kDosages.size());
    const int m = static_cast<int>(kDosages.front().size());
    MatrixXd Z(n, m);
    double scale = 0.0;
    for (int j = 0; j < m; ++j) {
        double mean = 0.0;
        for (int i = 0; i < n; ++i) mean += kDosages[i][j];
        const double p = 0.5 * mean / n;
        for (int i = 0; i < n; ++i) Z(i, j) = kDosages[i][j] - 2.0 * p;
        scale += 2.0 * p * (1.0 - p);
    }
    return Z * Z.transpose() / scale;
}

MatrixXd pedigree_A() {  // order S1, D1, D2, C1, C2, C3
    MatrixXd A(6, 6);
    A << 1, 0, 0, 0.5, 0.5, 0.5,
         0, 1, 0, 0.5, 0.5, 0,
         0, 0, 1, 0, 0, 0.5,
         0.5, 0.5, 0, 1, 0.5, 0.25,
         0.5, 0.5, 0, 0.5, 1, 0.25,
         0.5, 0, 0.5, 0.25, 0.25, 1;
    return A;
}

// The kinship text file as its header IDs and its values.
std::pair<std::vector<std::string>, MatrixXd> parse_kinship(const std::string& text) {
    std::istringstream lines(text);
    std::string header;
    std::getline(lines, header);
    std::istringstream header_words(header);
    std::vector<std::string> ids;
    for (std::string id; header_words >> id;) ids.push_back(id);
    MatrixXd values(ids.size(), ids.size());
    for (std::size_t r = 0; r < ids.size(); ++r) {
        std::string id;
        lines >> id;
        for (std::size_t c = 0; c < ids.size(); ++c) lines >> values(r, c);
    }
    return {ids, values};
}

struct Scratch {
    std::string dir = make_scratch_dir();
    Scratch() {
        write_file(dir + "/ped.txt", kPedigree);
        write_genotypes(dir + "/geno");
    }
};

TEST(SingleStepRoute, WritesHWithItsIdsAndLogsEachStep) {
    const Scratch scratch;
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno", "--out", "h"},
                                          scratch.dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "Genotype file contains 4 individuals with 6 markers.\n"));
    EXPECT_TRUE(contains(run.out, "Comparing individuals of A and G ... \n1 individuals of G were not included in A.\n"
                                  "3 individuals of A were not included in G.\n"
                                  "Scale of G22 against A22 for the 3 genotyped individuals:\n"));
    EXPECT_TRUE(contains(run.out, "Computing the H matrix... \n\nCompleted! Time = "));
    const std::string log = read_file(scratch.dir + "/h.log");
    EXPECT_TRUE(contains(log, "👉 Sorting pedigree. \n👉 Calculating pedigree relationship matrix. \n"
                              "👉 Calculating genomic relationship matrix using method 1...\n"
                              "👉 Calculating H matrix using method ...\n"
                              "👏 Kinship matrix written to h.kinship.txt\n\n😊 All finished!\n"))
        << log;

    const auto [ids, H] = parse_kinship(read_file(scratch.dir + "/h.kinship.txt"));
    EXPECT_EQ(ids, (std::vector<std::string>{"S1", "D1", "D2", "C3", "C1", "C2"}));
    testing::internal::CaptureStdout();
    const auto expected = Hkin(pedigree_A(), expected_G(), {"S1", "D1", "D2", "C1", "C2", "C3"}, kFamIds, 1, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(expected.second, ids);
    EXPECT_LT((H - expected.first).cwiseAbs().maxCoeff(), 0.00005 + 1e-12);
}

TEST(SingleStepRoute, GenomicPartAlwaysUsesLambdaTwo) {
    const Scratch scratch;
    const std::vector<std::string> base = {"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno", "--kin-method", "2"};
    std::vector<std::string> with_lambda = base;
    with_lambda.insert(with_lambda.end(), {"--kin-lambda", "0", "--out", "lambda0"});
    std::vector<std::string> without = base;
    without.insert(without.end(), {"--out", "plain"});
    ASSERT_EQ(run_zelkora(with_lambda, scratch.dir).status, 0);
    ASSERT_EQ(run_zelkora(without, scratch.dir).status, 0);
    EXPECT_TRUE(contains(read_file(scratch.dir + "/plain.log"), "using method 2...\n"));
    EXPECT_EQ(read_file(scratch.dir + "/lambda0.kinship.txt"), read_file(scratch.dir + "/plain.kinship.txt"));
}

TEST(SingleStepRoute, ScalesTheGenomicBlockAndWritesBinaryFiles) {
    const Scratch scratch;
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno", "--kin-tau", "2",
                                           "--threads", "2", "--kin-bin", "--out", "hb"},
                                          scratch.dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(read_file(scratch.dir + "/hb.id"), "S1\nD1\nD2\nC3\nC1\nC2\n");
    const std::string bytes = read_file(scratch.dir + "/hb.bin");
    ASSERT_EQ(bytes.size(), 21 * sizeof(float));
    std::vector<float> lower(21);
    std::memcpy(lower.data(), bytes.data(), bytes.size());
    // tau = 2, omega = 1: H22 = (G22 + 0.0001 I) / 2; the last diagonal entry is C2's.
    const MatrixXd G = expected_G();
    EXPECT_NEAR(lower[20], (G(3, 3) + 0.0001) / 2, 1e-6);
    EXPECT_NEAR(lower[19], G(3, 2) / 2, 1e-6);
    EXPECT_TRUE(contains(read_file(scratch.dir + "/hb.log"), "👏 Kinship matrix written to binary files.\n"));
}

TEST(SingleStepRoute, StopsWhenTheIdsDoNotMatch) {
    const Scratch scratch;
    write_file(scratch.dir + "/ped.txt", "ID Sire Dam\ns1 0 0\nc1 s1 0\n");
    const CommandResult run = run_zelkora({"--kinship", "--pedigree", "ped.txt", "--bedfile", "geno", "--out", "h"},
                                          scratch.dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(read_file(scratch.dir + "/h.log"), "None of the 2 pedigree individuals is among the 4 "
                                                            "genotyped individuals"));
    EXPECT_FALSE(file_exists(scratch.dir + "/h.kinship.txt"));
}

}  // namespace
