#include <gtest/gtest.h>
#include <omp.h>

#include <stdexcept>

#include "genomic/genomic.h"
#include "genomic/genotype_files.h"

namespace {

double max_difference(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
    return (a - b).cwiseAbs().maxCoeff();
}

class StreamedGTest : public ::testing::Test {
protected:
    void SetUp() override { prefix = make_scratch_dir() + "/geno"; }

    BedSet open_quietly() {
        testing::internal::CaptureStdout();
        BedSet bed = open_bed(prefix, false);
        testing::internal::GetCapturedStdout();
        return bed;
    }
    Eigen::MatrixXd streamed(const BedSet& bed, int method, double lambda) {
        testing::internal::CaptureStdout();
        try {
            Eigen::MatrixXd kinship = gkin_from_bed(bed, method, lambda);
            testing::internal::GetCapturedStdout();
            return kinship;
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
    }
    std::string streamed_error(const BedSet& bed, int method, double lambda) {
        return error_of([&] { streamed(bed, method, lambda); });
    }

    std::string prefix;
};

TEST_F(StreamedGTest, MatchesGkinOfTheDecodedMatrixForEveryMethod) {
    // 37 individuals (a padded last byte) and 2600 markers (three blocks) with missing calls
    // and the monomorphic, heterozygous-only and uncalled columns.
    const Eigen::MatrixXd dosages = random_dosages(37, 2600, 17, 0.05);
    write_genotype_set(prefix, dosages, {}, 2);
    const BedSet bed = open_quietly();
    testing::internal::CaptureStdout();
    const Eigen::MatrixXd decoded = std::get<0>(read_bed(prefix, false));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(decoded, dosages);

    for (int method : {1, 2, 3}) {
        for (double lambda : {1.0, 0.5}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", lambda " + std::to_string(lambda));
            testing::internal::CaptureStdout();
            const Eigen::MatrixXd reference = gkin_cpp(decoded, method, lambda);
            testing::internal::GetCapturedStdout();
            const Eigen::MatrixXd kinship = streamed(bed, method, lambda);
            EXPECT_LE(max_difference(kinship, reference), 1e-12);
            EXPECT_EQ(kinship, kinship.transpose());
            EXPECT_LE(max_difference(kinship, textbook_grm(dosages, method, lambda)), 1e-12);
        }
    }
}

TEST_F(StreamedGTest, GivesTheSameGWithOneAndTwoThreads) {
    write_genotype_set(prefix, random_dosages(41, 2100, 23, 0.02));
    const BedSet bed = open_quietly();
    for (int method : {1, 3}) {
        omp_set_num_threads(1);
        const Eigen::MatrixXd one_thread = streamed(bed, method, 1.0);
        omp_set_num_threads(2);
        const Eigen::MatrixXd two_threads = streamed(bed, method, 1.0);
        EXPECT_LE(max_difference(one_thread, two_threads), 1e-13);
    }
}

TEST_F(StreamedGTest, StopsWithAClearErrorInsteadOfAMeaninglessG) {
    write_genotype_set(prefix, random_dosages(8, 20, 9, 0.0));
    BedSet bed = open_quietly();
    // The method is checked before the .bed is read.
    std::remove(bed.bed_path.c_str());
    EXPECT_THROW(streamed(bed, 4, 1.0), std::invalid_argument);
    EXPECT_EQ(streamed_error(bed, 0, 1.0), "Invalid kinship method!");
    EXPECT_EQ(streamed_error(bed, 1, 1.0), "Could not open BED file");

    // A .bed that changed after open_bed is checked again.
    write_file(bed.bed_path, encode_bed(random_dosages(8, 19, 9, 0.0)));
    EXPECT_NE(streamed_error(bed, 1, 1.0).find("Truncated BED file " + bed.bed_path), std::string::npos);

    Eigen::MatrixXd flat(8, 20);
    flat.setConstant(2.0);
    flat.col(7).setConstant(-1.0);
    write_genotype_set(prefix, flat);
    EXPECT_NE(streamed_error(bed, 1, 1.0).find("Cannot build G by method 1 from " + bed.bed_path),
              std::string::npos);
    flat.col(3).setConstant(1.0);
    write_genotype_set(prefix, flat);
    EXPECT_NE(streamed_error(bed, 3, 1.0).find("diagonal of G sums to 0"), std::string::npos);

    write_genotype_set(prefix, random_dosages(8, 20, 9, 0.0));
    EXPECT_NE(streamed_error(bed, 2, 2000.0).find("not finite"), std::string::npos);

    BedSet empty = bed;
    empty.individual_ids.clear();
    EXPECT_NE(streamed_error(empty, 1, 1.0).find("No individuals in " + bed.fam_path), std::string::npos);
    empty = bed;
    empty.marker_ids.clear();
    EXPECT_NE(streamed_error(empty, 1, 1.0).find("No markers in " + bed.bim_path), std::string::npos);
}

}  // namespace
