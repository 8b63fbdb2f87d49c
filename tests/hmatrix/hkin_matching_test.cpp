#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "hmatrix/hmatrix.h"

namespace {

using Eigen::MatrixXd;
using Ids = std::vector<std::string>;

struct HkinOutcome {
    MatrixXd H;
    Ids ids;
    std::string printed;
    std::string error;
};

HkinOutcome run_hkin(const MatrixXd& A, const MatrixXd& G, const Ids& A_ids, const Ids& G_ids, double tau = 1,
                     double omega = 1) {
    HkinOutcome outcome;
    testing::internal::CaptureStdout();
    try {
        std::tie(outcome.H, outcome.ids) = Hkin(A, G, A_ids, G_ids, tau, omega);
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
    }
    outcome.printed = testing::internal::GetCapturedStdout();
    return outcome;
}

// Founders P1, P2; full sibs C1, C2. A in the order P1, P2, C1, C2.
MatrixXd family_A() {
    MatrixXd A(4, 4);
    A << 1, 0, 0.5, 0.5,
         0, 1, 0.5, 0.5,
         0.5, 0.5, 1, 0.5,
         0.5, 0.5, 0.5, 1;
    return A;
}

// Genomic relationships of C2, X9, C1 in that order.
MatrixXd family_G() {
    MatrixXd G(3, 3);
    G << 1.1, 0.2, 0.6,
         0.2, 0.9, 0.1,
         0.6, 0.1, 0.95;
    return G;
}

TEST(Hkin, OrdersNonGenotypedByPedigreeThenGenotypedByGenotypes) {
    const HkinOutcome out = run_hkin(family_A(), family_G(), {"P1", "P2", "C1", "C2"}, {"C2", "X9", "C1"});
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.ids, (Ids{"P1", "P2", "C2", "C1"}));
    // The same H as the core on A partitioned by hand.
    MatrixXd partitioned(4, 4);
    partitioned << 1, 0, 0.5, 0.5,
                   0, 1, 0.5, 0.5,
                   0.5, 0.5, 1, 0.5,
                   0.5, 0.5, 0.5, 1;
    MatrixXd G22(2, 2);
    G22 << 1.1, 0.6, 0.6, 0.95;
    const MatrixXd expected = HkinCpp(partitioned, G22, partitioned.topRightCorner(2, 2),
                                      partitioned.bottomLeftCorner(2, 2), partitioned.bottomRightCorner(2, 2), 1, 1);
    EXPECT_LT((out.H - expected).cwiseAbs().maxCoeff(), 1e-14);
    EXPECT_EQ(out.H.bottomRightCorner(2, 2), G22);

    const std::string head = "Comparing individuals of A and G ... \n"
                             "1 individuals of G were not included in A.\n"
                             "2 individuals of A were not included in G.\n"
                             "Scale of G22 against A22 for the 2 genotyped individuals:\n"
                             "  G22: mean diagonal 1.025, mean off-diagonal 0.6\n"
                             "  A22: mean diagonal 1, mean off-diagonal 0.5\n"
                             "  Correlation of off-diagonal elements: not defined (no variation)\n"
                             "Computing the H matrix... \n\nCompleted! Time = ";
    EXPECT_EQ(out.printed.substr(0, head.size()), head);
    EXPECT_EQ(out.printed.substr(out.printed.size() - 10), " seconds \n");
}

TEST(Hkin, ReportsTheCorrelationOfOffDiagonalRelationships) {
    // Three genotyped individuals: G off-diagonals (0.2, 0.6, 0.1) against A's (0.5, 0.5, 0.25).
    MatrixXd A(3, 3);
    A << 1, 0.5, 0.5, 0.5, 1, 0.25, 0.5, 0.25, 1;
    MatrixXd G(3, 3);
    G << 1.1, 0.2, 0.6, 0.2, 0.9, 0.1, 0.6, 0.1, 0.95;
    const HkinOutcome out = run_hkin(A, G, {"a", "b", "c"}, {"a", "b", "c"});
    ASSERT_EQ(out.error, "");
    // Deviations G: (-0.1, 0.3, -0.2); A: (1/12, 1/12, -1/6); r = 0.05 / sqrt(0.14 * 1/24).
    EXPECT_NE(out.printed.find("  Correlation of off-diagonal elements: 0.654654\n"), std::string::npos) << out.printed;
    EXPECT_NE(out.printed.find("  G22: mean diagonal 0.983333, mean off-diagonal 0.3\n"), std::string::npos);
}

TEST(Hkin, EveryPedigreeIndividualGenotypedGivesTheGenomicBlock) {
    const MatrixXd A = family_A().bottomRightCorner(2, 2);  // C1, C2
    const HkinOutcome plain = run_hkin(A, family_G(), {"C1", "C2"}, {"C2", "X9", "C1"});
    ASSERT_EQ(plain.error, "");
    EXPECT_EQ(plain.ids, (Ids{"C2", "C1"}));
    MatrixXd G22(2, 2);
    G22 << 1.1, 0.6, 0.6, 0.95;
    EXPECT_EQ(plain.H, G22);
    EXPECT_NE(plain.printed.find("2 individuals of A were included in G.\n"), std::string::npos);

    const HkinOutcome scaled = run_hkin(A, family_G(), {"C1", "C2"}, {"C2", "X9", "C1"}, 2, 1);
    ASSERT_EQ(scaled.error, "");
    EXPECT_LT((scaled.H - (G22 + 0.0001 * MatrixXd::Identity(2, 2)) / 2).cwiseAbs().maxCoeff(), 1e-12);
}

TEST(Hkin, StopsWhenNoPedigreeIndividualIsGenotyped) {
    const HkinOutcome out = run_hkin(family_A(), family_G(), {"P1", "P2", "C1", "C2"}, {"c2", "x9", "c1"});
    EXPECT_EQ(out.error,
              "None of the 4 pedigree individuals is among the 3 genotyped individuals: the IDs of the pedigree "
              "file and of the .fam file must match exactly.");
    EXPECT_NE(out.printed.find("3 individuals of G were not included in A.\n4 individuals of A were not included in G.\n"),
              std::string::npos);
}

TEST(Hkin, StopsOnAnIndividualGenotypedTwice) {
    const HkinOutcome out = run_hkin(family_A(), family_G(), {"P1", "P2", "C1", "C2"}, {"C2", "C1", "C2"});
    EXPECT_EQ(out.error, "Individual C2 is listed twice in the genotype data.");
}

}  // namespace
