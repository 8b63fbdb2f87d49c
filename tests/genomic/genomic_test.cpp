#include <gtest/gtest.h>
#include <omp.h>

#include <cstdlib>
#include <random>
#include <tuple>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "genomic/genotype_files.h"

namespace {

Eigen::MatrixXd streamed(const std::string& prefix, int method, double lambda) {
    return gkin_cpp(read_bed(prefix, false), method, lambda);
}

double max_difference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
    return (a - b).cwiseAbs().maxCoeff();
}

TEST(BedReader, DecodesEveryBitPairAndLeavesThePaddingAlone) {
    // 7 individuals: two bytes per marker, the last pair of the second byte is padding. Both
    // bytes run through all 256 values, so every code sits in every bit pair and the padding
    // holds every code.
    const double value_of_code[4] = {10.0, 11.0, 12.0, 13.0};
    for (unsigned j = 0; j < 256; ++j) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(j), static_cast<unsigned char>((7u * j + 3) & 255u)};
        double decoded[8] = {0, 0, 0, 0, 0, 0, 0, -5.0};
        decode_bed_marker(bytes, 7, value_of_code, decoded);
        for (int i = 0; i < 7; ++i) {
            const int code = (bytes[i / 4] >> (2 * (i % 4))) & 3;
            EXPECT_EQ(decoded[i], 10.0 + code) << "byte pair " << j << ", individual " << i;
        }
        EXPECT_EQ(decoded[7], -5.0);
    }
}

TEST(BedReader, TakesTheSecondFieldOfSixSkippingBlankLinesAndAFirstHeaderLine) {
    const std::string prefix = make_scratch_dir() + "/geno";
    write_file(prefix + ".fam", "#FID IID PAT MAT SEX PHENO\nF1 ann 0 0 2 -9\n\nF1 bob 0 0 1 -9\n  \t\nF2 cy 0 0 0 -9\n");
    write_file(prefix + ".bim", "# a header\n1 rs1 0 10 A G\n\n1\trs2\t0\t20\tC\tT\n   \n");
    write_file(prefix + ".bed", std::string("\x6C\x1B\x01\x1B\x00", 5));
    const SilentStdout silent;
    const BedSet bed = read_bed(prefix, true);
    EXPECT_EQ(bed.individual_ids, (std::vector<std::string>{"ann", "bob", "cy"}));
    EXPECT_EQ(bed.family_ids, (std::vector<std::string>{"F1", "F1", "F2"}));
    EXPECT_EQ(bed.marker_ids, (std::vector<std::string>{"rs1", "rs2"}));
    EXPECT_EQ(bed.marker_chromosomes, (std::vector<std::string>{"1", "1"}));
}

// With 8 or 7 individuals ceil(n/4) = 2 bytes per marker also for one individual fewer or more,
// so the size of the .bed cannot show a .fam line lost or a header taken for an individual: a
// line without six fields is refused by its number, and a header is skipped, so that every ID
// keeps its own genotypes.
TEST(BedReader, NoLineOfTheFamShiftsTheGenotypesOfTheIndividuals) {
    for (const int n : {8, 7}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        const Eigen::MatrixXd dosages = random_dosages(n, 40, 5 + n, 0.02);
        const Eigen::MatrixXd reference = textbook_grm(dosages, 1, 1.0);
        const std::string prefix = make_scratch_dir() + "/geno";
        write_genotype_set(prefix, dosages);
        const std::vector<std::string> lines = lines_of(read_file(prefix + ".fam"));
        const SilentStdout silent;

        std::string short_line;  // line 3 lost its fields after the family ID
        for (int i = 0; i < n; ++i) {
            short_line += (i == 2 ? std::string("FAM") : lines[static_cast<std::size_t>(i)]) + "\n";
        }
        write_file(prefix + ".fam", short_line);
        EXPECT_EQ(error_of([&] { read_bed(prefix, false); }),
                  prefix + ".fam, line 3 has 1 field(s) (\"FAM\") where every line needs 6: family ID, individual ID, "
                           "father, mother, sex, phenotype. Complete or remove the line (a header line must be the "
                           "first line and begin with #).");

        std::string with_header = "#FID IID PAT MAT SEX PHENO\n";
        for (const std::string& line : lines) {
            with_header += line + "\n";
        }
        write_file(prefix + ".fam", with_header);
        const BedSet bed = read_bed(prefix, false);
        ASSERT_EQ(bed.individual_ids.size(), static_cast<std::size_t>(n));
        const Eigen::MatrixXd G = gkin_cpp(bed, 1, 1.0);
        for (int a = 0; a < n; ++a) {
            for (int b = 0; b < n; ++b) {
                const int row = std::stoi(bed.individual_ids[static_cast<std::size_t>(a)].substr(2)) - 1;
                const int col = std::stoi(bed.individual_ids[static_cast<std::size_t>(b)].substr(2)) - 1;
                EXPECT_NEAR(G(a, b), reference(row, col), 1e-12) << bed.individual_ids[static_cast<std::size_t>(a)];
            }
        }
    }
}

TEST(BedReader, BimLinesWithoutSixFieldsAreRefusedByTheirNumber) {
    const std::string prefix = make_scratch_dir() + "/geno";
    write_file(prefix + ".fam", "F1 ann 0 0 2 -9\nF1 bob 0 0 1 -9\n");
    write_file(prefix + ".bed", std::string("\x6C\x1B\x01\x0B\x0E", 5));
    const SilentStdout silent;
    for (const auto& [line, found] : {std::pair{"1 rs2 0 20 C", "5"}, std::pair{"1 rs2 0 20 C T extra", "7"}}) {
        write_file(prefix + ".bim", "1 rs1 0 10 A G\n\n" + std::string(line) + "\n");
        EXPECT_EQ(error_of([&] { read_bed(prefix, false); }).find(prefix + ".bim, line 3 has " + found + " field(s) (\"" +
                                                                  line + "\") where every line needs 6: chromosome"),
                  0u)
            << line;
    }
    // A # line after the first data line is no header: it is a line of its own, and has 1 field.
    write_file(prefix + ".bim", "1 rs1 0 10 A G\n#rs2\n");
    EXPECT_NE(error_of([&] { read_bed(prefix, false); }).find(".bim, line 2 has 1 field(s) (\"#rs2\")"),
              std::string::npos);
}

TEST(GenomicRelationships, EveryMethodFollowsTheTextbookFormulaOnAnyThreadCount) {
    // 37 individuals (a padded last byte, padding bits set) and 2600 markers (three blocks),
    // with missing calls and monomorphic, heterozygous-only and uncalled markers.
    const Eigen::MatrixXd dosages = random_dosages(37, 2600, 17, 0.05);
    const std::string prefix = make_scratch_dir() + "/geno";
    write_genotype_set(prefix, dosages, 2);
    const SilentStdout silent;
    for (int method : {1, 2, 3}) {
        for (double lambda : {1.0, 0.0, 0.5, 2.0}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", lambda " + std::to_string(lambda));
            const Eigen::MatrixXd reference = textbook_grm(dosages, method, lambda);
            const double tolerance = 1e-12 * std::max(1.0, reference.cwiseAbs().maxCoeff());
            omp_set_num_threads(1);
            const Eigen::MatrixXd one_thread = streamed(prefix, method, lambda);
            omp_set_num_threads(2);
            const Eigen::MatrixXd two_threads = streamed(prefix, method, lambda);
            EXPECT_LE(max_difference(one_thread, reference), tolerance);
            EXPECT_LE(max_difference(two_threads, one_thread), 1e-13);
            EXPECT_EQ(two_threads, two_threads.transpose());
        }
    }
}

// Method 1 sums exact 8-bit products of the dosages with the imputation and centring as
// separate terms. Across three blocks of markers and two panels of rows, with markers missing
// in most individuals, it is the textbook G, the same bits on any thread count, and within
// 1e-12 of the double path.
TEST(GenomicRelationships, MethodOneFromExactProductsIsTheTextbookGOnAnyThreadCount) {
    Eigen::MatrixXd dosages = random_dosages(261, 8300, 23, 0.03);
    std::mt19937 rng(4);
    for (int j = 5000; j < 5040; ++j) {  // 70 to 95 % missing
        const double rate = 0.7 + 0.25 * ((j - 5000) / 40.0);
        for (int i = 0; i < dosages.rows(); ++i) {
            if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < rate) {
                dosages(i, j) = -1.0;
            }
        }
    }
    const std::string prefix = make_scratch_dir() + "/geno";
    write_genotype_set(prefix, dosages, 1);
    const Eigen::MatrixXd reference = textbook_grm(dosages, 1, 1.0);
    const double tolerance = 1e-12 * reference.cwiseAbs().maxCoeff();
    const SilentStdout silent;
    std::vector<Eigen::MatrixXd> results;
    for (const char* kernel : {"integer", "double"}) {
        setenv("ZELKORA_GRM_KERNEL", kernel, 1);
        for (const int threads : {1, 2}) {
            omp_set_num_threads(threads);
            results.push_back(streamed(prefix, 1, 1.0));
            EXPECT_LE(max_difference(results.back(), reference), tolerance) << kernel << ", " << threads;
            EXPECT_EQ(results.back(), results.back().transpose());
        }
    }
    unsetenv("ZELKORA_GRM_KERNEL");
    EXPECT_TRUE(results[1] == results[0]);
    EXPECT_TRUE(results[3] == results[2]);
}

TEST(GenomicRelationships, DataWithoutAMeaningfulGIsRefused) {
    // Markers monomorphic or uncalled everywhere: 2 Σ p(1-p) = 0 for method 1; adding a marker
    // heterozygous everywhere (p = 0.5, no spread) still leaves a zero trace for methods 2, 3.
    Eigen::MatrixXd flat = Eigen::MatrixXd::Constant(8, 20, 2.0);
    flat.col(7).setConstant(-1.0);
    Eigen::MatrixXd no_spread = flat;
    no_spread.col(3).setConstant(1.0);
    const std::vector<std::tuple<Eigen::MatrixXd, int, double, std::string>> cases = {
        {flat, 1, 1.0, "Cannot build G by method 1"},
        {no_spread, 2, 1.0, "diagonal of G sums to 0"},
        {no_spread, 3, 1.0, "diagonal of G sums to 0"},
        {random_dosages(8, 20, 9, 0.0), 2, 2000.0, "not finite"},
    };
    const std::string prefix = make_scratch_dir() + "/geno";
    const SilentStdout silent;
    for (const auto& [dosages, method, lambda, message] : cases) {
        write_genotype_set(prefix, dosages);
        EXPECT_NE(error_of([&] { streamed(prefix, method, lambda); }).find(message), std::string::npos) << message;
    }
    // A .bed cut short after read_bed is caught while it is streamed.
    const BedSet bed = read_bed(prefix, false);
    write_file(bed.bed_path, encode_bed(random_dosages(8, 19, 9, 0.0)));
    EXPECT_NE(error_of([&] { gkin_cpp(bed, 1, 1.0); }).find("Truncated BED file"), std::string::npos);
}

}  // namespace
