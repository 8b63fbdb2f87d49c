#include <gtest/gtest.h>
#include <omp.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "pedigree/pedigree.h"

namespace {

using Eigen::MatrixXd;

// A pedigree relationship matrix already in H order (genotyped last) with its blocks, and
// a genomic matrix for the genotyped individuals.
struct SingleStepInput {
    MatrixXd A, G22, A12, A21, A22;
};

SingleStepInput make_input(int n_individuals, int n_genotyped, int n_markers, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<PedigreeTriple> triples;
    for (int k = 0; k < n_individuals; ++k) {
        auto parent = [&] {
            return k < 8 || random() % 6 == 0 ? std::string("0") : "a" + std::to_string(random() % k);
        };
        triples.push_back({"a" + std::to_string(k), parent(), parent()});
    }
    SingleStepInput input;
    // Generation order is ancestors first; the youngest are the genotyped ones.
    input.A = build_relationship_matrix(prepare_pedigree(triples));
    const int u = n_individuals - n_genotyped;
    // VanRaden's G from random genotypes: centred dosages Z, G = Z Z' / (2 sum p (1 - p)).
    MatrixXd Z(n_genotyped, n_markers);
    double scale = 0.0;
    for (int j = 0; j < n_markers; ++j) {
        const double p = 0.1 + 0.8 * (random() % 1000) / 1000.0;
        for (int i = 0; i < n_genotyped; ++i) {
            Z(i, j) = (random() % 1000 < 1000 * p) + (random() % 1000 < 1000 * p) - 2.0 * p;
        }
        scale += 2.0 * p * (1.0 - p);
    }
    input.G22 = Z * Z.transpose() / scale;
    input.A12 = input.A.topRightCorner(u, n_genotyped);
    input.A21 = input.A.bottomLeftCorner(n_genotyped, u);
    input.A22 = input.A.bottomRightCorner(n_genotyped, n_genotyped);
    return input;
}

// H exactly as the block formulas read: LU inverses, products from left to right.
MatrixXd literal_H(const SingleStepInput& in, double tau, double omega) {
    const auto g = in.A22.rows();
    const MatrixXd inv22 = in.A22.partialPivLu().inverse();
    MatrixXd Gw = in.G22;
    if (!(tau == 1.0 && omega == 1.0)) {
        const MatrixXd ridged = in.G22 + 0.0001 * MatrixXd::Identity(g, g);
        const MatrixXd blended = tau * ridged.partialPivLu().inverse() + (1.0 - omega) * inv22;
        Gw = blended.partialPivLu().inverse();
    }
    const MatrixXd D = Gw - in.A22;
    const MatrixXd X11 = in.A12 * inv22 * D * inv22 * in.A21;
    const MatrixXd X12 = (in.A12 * inv22) * D;
    const MatrixXd X21 = (D * inv22) * in.A21;
    MatrixXd C(in.A.rows(), in.A.cols());
    C << X11, X12, X21, D;
    return in.A + C;
}

MatrixXd run_core(const SingleStepInput& in, double tau, double omega) {
    return HkinCpp(in.A, in.G22, in.A12, in.A21, in.A22, tau, omega);
}

double max_difference(const MatrixXd& x, const MatrixXd& y) { return (x - y).cwiseAbs().maxCoeff(); }

std::string error_of(const SingleStepInput& in, double tau, double omega) {
    try {
        run_core(in, tau, omega);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(HkinCpp, WorkedExample) {
    SingleStepInput in;
    in.A.resize(3, 3);
    in.A << 1, 0, 0.5, 0, 1, 0.5, 0.5, 0.5, 1;
    in.G22 = MatrixXd::Constant(1, 1, 1.2);
    in.A12 = in.A.topRightCorner(2, 1);
    in.A21 = in.A.bottomLeftCorner(1, 2);
    in.A22 = in.A.bottomRightCorner(1, 1);
    MatrixXd expected(3, 3);
    expected << 1.05, 0.05, 0.6, 0.05, 1.05, 0.6, 0.6, 0.6, 1.2;
    EXPECT_LT(max_difference(run_core(in, 1, 1), expected), 1e-14);
}

TEST(HkinCpp, MatchesTheLiteralFormulasForEveryScaling) {
    // More non-genotyped individuals than one column block of the H11 update.
    const SingleStepInput in = make_input(780, 80, 400, 3);
    for (const auto& [tau, omega] : std::vector<std::pair<double, double>>{{1, 1}, {2, 1}, {1, 0}, {3, 0.5}, {1, 2}}) {
        const MatrixXd H = run_core(in, tau, omega);
        const MatrixXd reference = literal_H(in, tau, omega);
        EXPECT_LT(max_difference(H, reference), 1e-9 * reference.cwiseAbs().maxCoeff()) << tau << " " << omega;
        EXPECT_EQ(H.topLeftCorner(700, 700), H.topLeftCorner(700, 700).transpose());
        EXPECT_EQ(H.topRightCorner(700, 80), H.bottomLeftCorner(80, 700).transpose());
    }
    // omega = 2 blends to tau R^-1 - A22^-1, an indefinite matrix: the LU path was taken.
    const MatrixXd blend = (in.G22 + 0.0001 * MatrixXd::Identity(80, 80)).inverse() - in.A22.inverse();
    const Eigen::VectorXd eigenvalues = Eigen::SelfAdjointEigenSolver<MatrixXd>(blend).eigenvalues();
    EXPECT_LT(eigenvalues.minCoeff(), 0.0);
    EXPECT_GT(eigenvalues.maxCoeff(), 0.0);
}

TEST(HkinCpp, GenomicBlockFollowsTheScaling) {
    const SingleStepInput in = make_input(60, 20, 100, 5);
    EXPECT_EQ(run_core(in, 1, 1).bottomRightCorner(20, 20), in.G22);
    const MatrixXd halved = (in.G22 + 0.0001 * MatrixXd::Identity(20, 20)) / 2.0;
    EXPECT_LT(max_difference(run_core(in, 2, 1).bottomRightCorner(20, 20), halved), 1e-10);
    // With G22 = A22 nothing changes.
    SingleStepInput same = in;
    same.G22 = in.A22;
    EXPECT_LT(max_difference(run_core(same, 1, 1), in.A), 1e-12);
}

TEST(HkinCpp, InverseDiffersFromTheInverseOfAOnlyInTheGenotypedBlock) {
    const SingleStepInput in = make_input(90, 30, 200, 9);
    const MatrixXd inverse_A = in.A.inverse();
    const MatrixXd inverse_A22 = in.A22.inverse();
    const MatrixXd ridged = in.G22 + 0.0001 * MatrixXd::Identity(30, 30);
    struct Scaling {
        double tau, omega;
        MatrixXd expected_block;
    };
    const std::vector<Scaling> scalings = {
        {1, 1, in.G22.inverse() - inverse_A22},
        {2, 0.5, 2 * ridged.inverse() - 0.5 * inverse_A22},
    };
    for (const Scaling& s : scalings) {
        const MatrixXd difference = run_core(in, s.tau, s.omega).inverse() - inverse_A;
        const double scale = s.expected_block.cwiseAbs().maxCoeff();
        EXPECT_LT(difference.topRows(60).cwiseAbs().maxCoeff(), 1e-8 * scale) << s.tau;
        EXPECT_LT(difference.leftCols(60).cwiseAbs().maxCoeff(), 1e-8 * scale) << s.tau;
        EXPECT_LT(max_difference(difference.bottomRightCorner(30, 30), s.expected_block), 1e-8 * scale) << s.tau;
    }
}

TEST(HkinCpp, SameResultOnOneAndTwoThreads) {
    const SingleStepInput in = make_input(700, 300, 500, 13);
    const int threads_before = omp_get_max_threads();
    omp_set_num_threads(1);
    const MatrixXd one = run_core(in, 2, 0.5);
    omp_set_num_threads(2);
    const MatrixXd two = run_core(in, 2, 0.5);
    omp_set_num_threads(threads_before);
    EXPECT_LT(max_difference(one, two), 1e-10 * one.cwiseAbs().maxCoeff());
}

TEST(HkinCpp, StopsOnSingularOrNonFiniteInputs) {
    const SingleStepInput in = make_input(40, 10, 100, 17);
    // tau = 0, omega = 1 blends to the zero matrix.
    EXPECT_NE(error_of(in, 0, 1).find("the blended matrix tau * inverse(G22 + 0.0001 I) + (1 - omega) * "
                                      "inverse(A22) with tau = 0 and omega = 1 is singular"),
              std::string::npos);
    SingleStepInput no_ridge = in;
    no_ridge.G22 = -0.0001 * MatrixXd::Identity(10, 10);
    EXPECT_NE(error_of(no_ridge, 2, 1).find("G22 + 0.0001 I"), std::string::npos);
    // A genotyped clone: two identical rows in A22.
    SingleStepInput clone = in;
    clone.A22.row(1) = clone.A22.row(0);
    clone.A22.col(1) = clone.A22.col(0);
    EXPECT_NE(error_of(clone, 1, 1).find("A22"), std::string::npos);
    SingleStepInput not_finite = in;
    not_finite.G22(3, 4) = std::nan("");
    EXPECT_NE(error_of(not_finite, 1, 1).find("G22, the genomic relationships of the genotyped individuals, has "
                                              "non-finite values"),
              std::string::npos);
}

}  // namespace
