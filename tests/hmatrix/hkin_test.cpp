#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "pedigree/pedigree.h"

namespace {

using Eigen::MatrixXd;
using Ids = std::vector<std::string>;

// A pedigree relationship matrix in H order (genotyped last), its blocks, and G22.
struct SingleStepInput {
    MatrixXd A, G22, A12, A21, A22;
};

// A random pedigree whose youngest g individuals are genotyped, and a positive definite
// G22 = Z Zᵀ / m with mean diagonal about 1 (Z uniform on [-√3, √3]).
SingleStepInput make_input(int n_individuals, int g, int n_markers, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<PedigreeTriple> triples;
    for (int k = 0; k < n_individuals; ++k) {
        auto parent = [&] { return k < 8 || random() % 6 == 0 ? std::string("0") : "a" + std::to_string(random() % k); };
        triples.push_back({"a" + std::to_string(k), parent(), parent()});
    }
    std::srand(seed);
    const MatrixXd Z = std::sqrt(3.0) * MatrixXd::Random(g, n_markers);
    const MatrixXd A = build_relationship_matrix(prepare_pedigree(triples));
    const int u = n_individuals - g;
    return {A, Z * Z.transpose() / n_markers, A.topRightCorner(u, g), A.bottomLeftCorner(g, u),
            A.bottomRightCorner(g, g)};
}

MatrixXd run_core(const SingleStepInput& in, double tau, double omega) {
    MatrixXd H = in.A;
    HkinCpp(H, in.G22, in.A21, in.A22, tau, omega);
    return H;
}

double largest_difference(const MatrixXd& x, const MatrixXd& y) { return (x - y).cwiseAbs().maxCoeff(); }

// H exactly as the block formulas read: LU inverses, products from left to right.
MatrixXd literal_H(const SingleStepInput& in, double tau, double omega) {
    const auto g = in.A22.rows();
    const MatrixXd inv22 = in.A22.partialPivLu().inverse();
    MatrixXd Gw = in.G22;
    if (!(tau == 1.0 && omega == 1.0)) {
        const MatrixXd ridged = in.G22 + 0.0001 * MatrixXd::Identity(g, g);
        Gw = (tau * ridged.partialPivLu().inverse() + (1.0 - omega) * inv22).partialPivLu().inverse();
    }
    const MatrixXd D = Gw - in.A22;
    MatrixXd C(in.A.rows(), in.A.cols());
    C << in.A12 * inv22 * D * inv22 * in.A21, (in.A12 * inv22) * D, (D * inv22) * in.A21, D;
    return in.A + C;
}

TEST(HkinCpp, MatchesTheLiteralFormulasForEveryScalingOnAnyThreadCount) {
    // More non-genotyped individuals than one column block (512) of the H11 update.
    const SingleStepInput in = make_input(780, 80, 400, 3);
    for (const auto& [tau, omega] : std::vector<std::pair<double, double>>{{1, 1}, {2, 1}, {1, 0}, {3, 0.5}}) {
        omp_set_num_threads(1);
        const MatrixXd one_thread = run_core(in, tau, omega);
        omp_set_num_threads(2);
        const MatrixXd H = run_core(in, tau, omega);
        const MatrixXd reference = literal_H(in, tau, omega);
        EXPECT_LT(largest_difference(H, reference), 1e-9 * reference.cwiseAbs().maxCoeff()) << tau << " " << omega;
        EXPECT_LT(largest_difference(H, one_thread), 1e-10 * reference.cwiseAbs().maxCoeff()) << tau << " " << omega;
        EXPECT_EQ(H.topLeftCorner(700, 700), H.topLeftCorner(700, 700).transpose());
        EXPECT_EQ(H.topRightCorner(700, 80), H.bottomLeftCorner(80, 700).transpose());
    }
}

// omega > 1 subtracts more of A22⁻¹ than G22⁻¹ holds: the blend is indefinite, and an H with
// negative variances is refused rather than returned.
TEST(HkinCpp, RefusesABlendThatIsNotPositiveDefinite) {
    const SingleStepInput in = make_input(60, 20, 200, 5);
    const MatrixXd identity = MatrixXd::Identity(20, 20);
    // G22 = A22 = I: the blend is (1 / 1.0001 - 2) I, negative definite.
    MatrixXd H = in.A;
    try {
        HkinCpp(H, identity, in.A21, identity, 1.0, 3.0);
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("with tau = 1 and omega = 3 is not positive definite"),
                  std::string::npos) << error.what();
    }
}

TEST(HkinCpp, InverseDiffersFromTheInverseOfAOnlyInTheGenotypedBlock) {
    // H⁻¹ - A⁻¹ is 0 outside the genotyped block and τ(G22 + 0.0001 I)⁻¹ - ω A22⁻¹ in it
    // (G22⁻¹ - A22⁻¹ without the ridge when τ = ω = 1).
    const SingleStepInput in = make_input(90, 30, 200, 9);
    const MatrixXd inverse_A22 = in.A22.inverse();
    const MatrixXd ridged_inverse = (in.G22 + 0.0001 * MatrixXd::Identity(30, 30)).inverse();
    const std::vector<std::tuple<double, double, MatrixXd>> scalings = {
        {1, 1, in.G22.inverse() - inverse_A22}, {2, 0.5, 2 * ridged_inverse - 0.5 * inverse_A22}};
    for (const auto& [tau, omega, block] : scalings) {
        const MatrixXd difference = run_core(in, tau, omega).inverse() - in.A.inverse();
        const double tolerance = 1e-8 * block.cwiseAbs().maxCoeff();
        // The top rows, and so by symmetry the left columns.
        EXPECT_LT(difference.topRows(60).cwiseAbs().maxCoeff(), tolerance) << tau;
        EXPECT_LT(largest_difference(difference.bottomRightCorner(30, 30), block), tolerance) << tau;
    }
}

// Genomic relationships of C2, X9 and C1, in that order; Hkin with omega 1 and what it printed.
const MatrixXd kG = (MatrixXd(3, 3) << 1.1, 0.2, 0.6, 0.2, 0.9, 0.1, 0.6, 0.1, 0.95).finished();
std::tuple<MatrixXd, Ids, std::string> run_hkin(const MatrixXd& A, const Ids& A_ids, double tau) {
    std::string said;
    auto [H, ids] = Hkin(A, kG, A_ids, {"C2", "X9", "C1"}, tau, 1, {}, nullptr,
                         [&](const std::string& text) { said += text; });
    return {H, ids, said};
}

TEST(Hkin, ReportsTheScaleOfGAgainstA) {
    // Founders P1, P2 and their full sibs C1, C2: no spread in A22 off the diagonal.
    const MatrixXd A = (MatrixXd(4, 4) << 1, 0, .5, .5, 0, 1, .5, .5, .5, .5, 1, .5, .5, .5, .5, 1).finished();
    EXPECT_NE(std::get<2>(run_hkin(A, {"P1", "P2", "C1", "C2"}, 1))
                  .find("  Correlation of off-diagonal elements: not defined (no variation)\n"),
              std::string::npos);

    // Every pedigree individual genotyped: H is the blended G. Off-diagonals of G (0.2, 0.6, 0.1)
    // against A's (0.5, 0.5, 0.25): deviations (-0.1, 0.3, -0.2) and (1/12, 1/12, -1/6),
    // r = 0.05 / sqrt(0.14 * 1/24).
    const MatrixXd A3 = (MatrixXd(3, 3) << 1, 0.5, 0.5, 0.5, 1, 0.25, 0.5, 0.25, 1).finished();
    const auto [H3, ids3, printed3] = run_hkin(A3, {"C2", "X9", "C1"}, 2);
    EXPECT_EQ(ids3, (Ids{"C2", "X9", "C1"}));
    EXPECT_LT(largest_difference(H3, (kG + 0.0001 * MatrixXd::Identity(3, 3)) / 2), 1e-12);
    EXPECT_NE(printed3.find("3 individuals of A were included in G.\n"), std::string::npos) << printed3;
    EXPECT_NE(printed3.find("  G22: mean diagonal 0.983333, mean off-diagonal 0.3\n"), std::string::npos);
    EXPECT_NE(printed3.find("  Correlation of off-diagonal elements: 0.654654\n"), std::string::npos);
}

// Hkin reorders the pedigree's A into H's order in place: for a pedigree and a genotype list in
// shuffled orders (long cycles, a genotyped individual outside the pedigree), H and its IDs are
// those of the block formulas on A and G22 arranged by plain indexing.
TEST(Hkin, ReordersAnyPedigreeAndGenotypeOrderIntoTheBlocks) {
    const int n = 70, g = 20, u = n - g;
    const SingleStepInput in = make_input(n, g, 150, 4);
    std::vector<Eigen::Index> pedigree_order(n), genotype_order(g);
    for (int k = 0; k < n; ++k) {
        pedigree_order[static_cast<std::size_t>(k)] = (k * 37 + 11) % n;  // 37 is prime to 70
    }
    for (int k = 0; k < g; ++k) {
        genotype_order[static_cast<std::size_t>(k)] = u + (k * 7 + 3) % g;
    }
    Ids A_ids, G_ids = {"outside"};
    for (Eigen::Index k : pedigree_order) {
        A_ids.push_back("a" + std::to_string(k));
    }
    for (Eigen::Index k : genotype_order) {
        G_ids.push_back("a" + std::to_string(k));
    }
    MatrixXd G(g + 1, g + 1);
    G.setIdentity();
    std::vector<Eigen::Index> in_G22(static_cast<std::size_t>(g));
    for (int k = 0; k < g; ++k) {
        in_G22[static_cast<std::size_t>(k)] = genotype_order[static_cast<std::size_t>(k)] - u;
    }
    G.bottomRightCorner(g, g) = in.G22(in_G22, in_G22);

    // H's order: the non-genotyped in pedigree order, then the genotyped in genotype order.
    std::vector<Eigen::Index> h_order;
    Ids expected_ids;
    for (Eigen::Index k : pedigree_order) {
        if (k < u) {
            h_order.push_back(k);
            expected_ids.push_back("a" + std::to_string(k));
        }
    }
    h_order.insert(h_order.end(), genotype_order.begin(), genotype_order.end());
    expected_ids.insert(expected_ids.end(), G_ids.begin() + 1, G_ids.end());
    const MatrixXd A_h = in.A(h_order, h_order);
    const MatrixXd G22_h = in.G22(in_G22, in_G22);
    for (const auto& [tau, omega] : {std::pair{1.0, 1.0}, std::pair{2.0, 0.5}}) {
        MatrixXd expected = A_h;
        HkinCpp(expected, G22_h, A_h.bottomLeftCorner(g, u), A_h.bottomRightCorner(g, g), tau, omega);
        testing::internal::CaptureStdout();
        const auto [H, ids] = Hkin(in.A(pedigree_order, pedigree_order), G, A_ids, G_ids, tau, omega);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(ids, expected_ids);
        EXPECT_LT(largest_difference(H, expected), 1e-12) << tau;
    }
}

}  // namespace
