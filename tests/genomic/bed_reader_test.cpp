#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <stdexcept>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"

namespace {

std::string bed_of_bytes(const std::vector<unsigned char>& body) {
    std::string bed = {'\x6C', '\x1B', '\x01'};
    bed.append(body.begin(), body.end());
    return bed;
}

class BedSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_scratch_dir();
        prefix = dir + "/geno";
    }
    // A set of `n` individuals and `m` markers whose .bed body is `body`.
    void write_raw_set(int n, int m, const std::string& bed) {
        std::string fam;
        for (const std::string& id : numbered_ids(n)) {
            fam += "F " + id + " 0 0 1 -9\n";
        }
        std::string bim;
        for (int j = 0; j < m; ++j) {
            bim += "1 m" + std::to_string(j) + " 0 1 A C\n";
        }
        write_file(prefix + ".fam", fam);
        write_file(prefix + ".bim", bim);
        write_file(prefix + ".bed", bed);
    }
    Eigen::MatrixXd decode() { return std::get<0>(read_bed(prefix, false)); }

    std::string dir;
    std::string prefix;
};

TEST_F(BedSetTest, DecodesEveryCodeInEveryBitPairAndIgnoresPadding) {
    // 5 individuals, two bytes per marker. 0xE4 = 11 10 01 00: individuals 0..3 carry codes
    // 00, 01, 10, 11; the rotations put each code into each bit pair. Only the low pair of
    // the second byte is used, whatever the padding bits hold.
    write_raw_set(5, 4, bed_of_bytes({0xE4, 0xFC, 0x39, 0xAB, 0x4E, 0x01, 0x93, 0xFE}));
    testing::internal::CaptureStdout();
    const Eigen::MatrixXd dosages = decode();
    testing::internal::GetCapturedStdout();
    Eigen::MatrixXd expected(4, 5);
    expected << 2, -1, 1, 0, 2,
                -1, 1, 0, 2, 0,
                1, 0, 2, -1, -1,
                0, 2, -1, 1, 1;
    EXPECT_EQ(dosages, expected.transpose());
}

TEST_F(BedSetTest, DecodesBlocksOf1024MarkersTheSameWithAnyThreadCount) {
    // 7 individuals (padding in every marker) and 2500 markers: blocks of 1024, 1024 and 452.
    const int n = 7;
    const int m = 2500;
    std::mt19937 rng(11);
    std::vector<unsigned char> body(2 * m);
    for (unsigned char& byte : body) {
        byte = static_cast<unsigned char>(rng());
    }
    write_raw_set(n, m, bed_of_bytes(body));
    const double dosage_of_code[4] = {2, -1, 1, 0};
    Eigen::MatrixXd expected(n, m);
    for (int j = 0; j < m; ++j) {
        for (int i = 0; i < n; ++i) {
            expected(i, j) = dosage_of_code[(body[2 * j + i / 4] >> (2 * (i % 4))) & 3];
        }
    }
    const std::string path = prefix + ".bed";
    omp_set_num_threads(1);
    EXPECT_EQ(read_bed2_cpp(path.c_str(), m, n), expected);
    omp_set_num_threads(2);
    EXPECT_EQ(read_bed2_cpp(path.c_str(), m, n), expected);
}

TEST_F(BedSetTest, ReadsSecondFieldsSkipsShortLinesAndReportsCounts) {
    write_file(prefix + ".fam", "F1 ann 0 0 2 -9\n\nF1 bob 0 0 1 -9\nlonely\nF2 cy\n");
    write_file(prefix + ".bim", "1 rs1 0 10 A G\n\n1\trs2\t0\t20\tC\tT\n   \n");
    write_file(prefix + ".bed", bed_of_bytes({0x1B, 0x00}));

    testing::internal::CaptureStdout();
    const auto [dosages, individuals, markers] = read_bed(prefix, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Reading: " + prefix + ".bed\nGenotype file contains 3 individuals with 2 markers.\n");
    EXPECT_EQ(individuals, (std::vector<std::string>{"ann", "bob", "cy"}));
    EXPECT_EQ(markers, (std::vector<std::string>{"rs1", "rs2"}));
    EXPECT_EQ(dosages.rows(), 3);
    EXPECT_EQ(dosages.cols(), 2);

    testing::internal::CaptureStdout();
    const BedSet bed = open_bed(prefix, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Genotype file contains 3 individuals with 2 markers.\n");
    EXPECT_EQ(bed.bed_path, prefix + ".bed");
    EXPECT_EQ(bed.individual_ids, individuals);
    EXPECT_EQ(bed.marker_ids, markers);
}

TEST_F(BedSetTest, RefusesBadInputsWithAMessageThatSaysWhy) {
    testing::internal::CaptureStdout();
    EXPECT_THROW(read_bed("", true), std::invalid_argument);
    EXPECT_EQ(error_of([] { open_bed("", true); }), "Genotype prefix is required!");

    const std::string not_found = "File not found: " + prefix + ".bim or " + prefix + ".fam";
    write_raw_set(4, 1, bed_of_bytes({0x00}));
    std::remove((prefix + ".fam").c_str());
    EXPECT_EQ(error_of([&] { read_bed(prefix, true); }), not_found);
    write_raw_set(4, 1, bed_of_bytes({0x00}));
    std::remove((prefix + ".bim").c_str());
    EXPECT_EQ(error_of([&] { open_bed(prefix, true); }), not_found);

    write_raw_set(4, 1, bed_of_bytes({0x00}));
    std::remove((prefix + ".bed").c_str());
    EXPECT_EQ(error_of([&] { read_bed(prefix, true); }), "Could not open BED file");

    for (const std::string& bad : {std::string("\x6C\x1C\x01\x00", 4), std::string("\x6C\x1B\x00\x00", 4),
                                   std::string("\x6C\x1B", 2)}) {
        write_raw_set(4, 1, bad);
        EXPECT_EQ(error_of([&] { read_bed(prefix, true); }), "Invalid BED file format");
    }

    // 6 individuals x 3 markers: 3 + 2·3 = 9 bytes.
    write_raw_set(6, 3, bed_of_bytes({1, 2, 3, 4, 5}));
    std::string message = error_of([&] { read_bed(prefix, true); });
    EXPECT_NE(message.find("Truncated BED file " + prefix + ".bed"), std::string::npos) << message;
    EXPECT_NE(message.find("expected 9 bytes"), std::string::npos) << message;
    EXPECT_NE(message.find("holds 8 bytes"), std::string::npos) << message;
    EXPECT_EQ(error_of([&] { open_bed(prefix, true); }), message);

    write_raw_set(6, 3, bed_of_bytes({1, 2, 3, 4, 5, 6, 7}));
    message = error_of([&] { read_bed(prefix, true); });
    EXPECT_NE(message.find("longer than its .bim and .fam"), std::string::npos) << message;
    EXPECT_NE(message.find("expected 9 bytes"), std::string::npos) << message;
    EXPECT_NE(message.find("holds 10 bytes"), std::string::npos) << message;

    // read_bed2_cpp checks the size against the counts it is given.
    const std::string path = prefix + ".bed";
    EXPECT_NE(error_of([&] { read_bed2_cpp(path.c_str(), 2, 6); }).find("longer"), std::string::npos);
    EXPECT_NE(error_of([&] { read_bed2_cpp(path.c_str(), 3, 9); }).find("Truncated"), std::string::npos);

    write_raw_set(3, 1, bed_of_bytes({0x00}));
    write_file(prefix + ".fam", "A x 0 0 0 -9\nA y 0 0 0 -9\n\nB x 0 0 0 -9\n");
    EXPECT_EQ(error_of([&] { read_bed(prefix, true); }),
              "Duplicate individual ID x in " + prefix + ".fam (lines 1 and 4): every individual needs its own ID in "
              "the kinship matrix.");

    write_raw_set(0, 2, bed_of_bytes({}));
    EXPECT_NE(error_of([&] { open_bed(prefix, true); }).find("No individuals in " + prefix + ".fam"),
              std::string::npos);
    write_raw_set(4, 0, bed_of_bytes({}));
    EXPECT_NE(error_of([&] { open_bed(prefix, true); }).find("No markers in " + prefix + ".bim"),
              std::string::npos);
    testing::internal::GetCapturedStdout();
}

}  // namespace
