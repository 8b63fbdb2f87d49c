#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "linear_algebra/sparse_plus_dense.h"
#include "pedigree/pedigree.h"
#include "pedigree/random_pedigree.h"

namespace {

using Eigen::Index;
using Eigen::MatrixXd;

// G = Z Z' / m from random centred dosages: positive semi-definite, singular when m < g.
MatrixXd random_genomic(std::mt19937& random, Index g, Index markers) {
    MatrixXd Z(g, markers);
    std::uniform_int_distribution<int> dosage(0, 2);
    for (Index j = 0; j < markers; ++j) {
        for (Index i = 0; i < g; ++i) Z(i, j) = dosage(random);
        Z.col(j).array() -= Z.col(j).mean();
    }
    return Z * Z.transpose() / static_cast<double>(markers);
}

MatrixXd lower_to_full(MatrixXd M) {
    M.triangularView<Eigen::StrictlyUpper>() = M.transpose().triangularView<Eigen::StrictlyUpper>();
    return M;
}

// The whole H^-1 as a dense matrix, from its sparse part and its block.
MatrixXd dense(const SparsePlusDense& inverse) {
    MatrixXd result = MatrixXd(inverse.sparse);
    const MatrixXd block = lower_to_full(inverse.block);
    for (std::size_t r = 0; r < inverse.block_positions.size(); ++r) {
        for (std::size_t c = 0; c < inverse.block_positions.size(); ++c) {
            result(inverse.block_positions[r], inverse.block_positions[c]) += block(r, c);
        }
    }
    return result;
}

struct SingleStepCase {
    Pedigree pedigree;
    std::vector<Index> genotyped;  // ascending pedigree positions
    MatrixXd G;                    // in that order
};

SingleStepCase make_case(unsigned seed, int individuals, Index markers) {
    std::mt19937 random(seed);
    SingleStepCase c{prepare_pedigree(random_inbred_pedigree(random, individuals)), {}, {}};
    for (Index k = 0; k < static_cast<Index>(c.pedigree.ids.size()); ++k) {
        if (k >= individuals / 3 && random() % 2 == 0) c.genotyped.push_back(k);
    }
    c.G = random_genomic(random, static_cast<Index>(c.genotyped.size()), markers);
    return c;
}

SparsePlusDense sparse_inverse(const SingleStepCase& c, double tau, double omega, const std::vector<Index>* core) {
    const std::vector<double> inbreeding = pedigree_inbreeding(c.pedigree);
    SparsePlusDense inverse{pedigree_inverse(c.pedigree, inbreeding), c.genotyped, c.G};
    if (core) {
        apy_genomic_inverse_in_place(inverse.block, *core);
    } else {
        genomic_inverse_in_place(inverse.block);
    }
    MatrixXd A22 = relationship_block(c.pedigree, inbreeding, c.genotyped);
    pedigree_block_inverse_in_place(A22);
    combine_genotyped_block(inverse.block, A22, tau, omega);
    return inverse;
}

// H formed densely by the dense route (HkinCpp on A in the order non-genotyped, genotyped),
// inverted by LU, and put back into pedigree order.
MatrixXd dense_H_inverse(const SingleStepCase& c, double tau, double omega) {
    const MatrixXd A = build_relationship_matrix(c.pedigree);
    const Index n = A.rows();
    const Index g = static_cast<Index>(c.genotyped.size());
    std::vector<Index> order;
    std::vector<bool> genotyped(static_cast<std::size_t>(n), false);
    for (const Index k : c.genotyped) genotyped[static_cast<std::size_t>(k)] = true;
    for (Index k = 0; k < n; ++k) if (!genotyped[static_cast<std::size_t>(k)]) order.push_back(k);
    order.insert(order.end(), c.genotyped.begin(), c.genotyped.end());
    MatrixXd H = gather_symmetric(A, order);
    // With tau = omega = 1 the dense route takes G22 as it is: give it the ridge the sparse route adds.
    MatrixXd G22 = c.G;
    if (tau == 1.0 && omega == 1.0) G22.diagonal().array() += 0.0001;
    const MatrixXd A21 = H.bottomLeftCorner(g, n - g);
    const MatrixXd A22 = H.bottomRightCorner(g, g);
    HkinCpp(H, G22, A21, A22, tau, omega);
    const MatrixXd inverse_in_order = H.partialPivLu().inverse();
    MatrixXd result(n, n);
    for (Index r = 0; r < n; ++r)
        for (Index s = 0; s < n; ++s) result(order[r], order[s]) = inverse_in_order(r, s);
    return result;
}

TEST(SingleStepInverse, EqualsTheDenseInverseOfHFormedTheSameWay) {
    // More genotyped individuals than markers: G alone is singular, the ridge makes it invertible.
    const SingleStepCase c = make_case(3, 300, 60);
    ASSERT_GT(c.genotyped.size(), 60u);
    for (const auto& [tau, omega] : std::vector<std::pair<double, double>>{{1.0, 1.0}, {1.5, 0.7}}) {
        const MatrixXd reference = dense_H_inverse(c, tau, omega);
        const MatrixXd ours = dense(sparse_inverse(c, tau, omega, nullptr));
        EXPECT_LT((ours - reference).cwiseAbs().maxCoeff(), 1e-7 * reference.cwiseAbs().maxCoeff())
            << "tau " << tau << " omega " << omega;
    }
}

TEST(SingleStepInverse, ApyWithEveryGenotypedInTheCoreIsThePlainInverse) {
    const SingleStepCase c = make_case(4, 240, 500);
    std::vector<Index> all(c.genotyped.size());
    for (std::size_t k = 0; k < all.size(); ++k) all[k] = static_cast<Index>(k);
    const MatrixXd plain = dense(sparse_inverse(c, 1.0, 1.0, nullptr));
    const MatrixXd apy = dense(sparse_inverse(c, 1.0, 1.0, &all));
    EXPECT_LT((apy - plain).cwiseAbs().maxCoeff(), 1e-9 * plain.cwiseAbs().maxCoeff());
}

TEST(SingleStepInverse, ApyIsTheInverseOfTheMatrixItImplies) {
    // APY treats the others as independent given the core: its G is [Gcc Gcn; Gnc Gnc Gcc^-1 Gcn + M]
    // with M the diagonal of the conditional variances. Inverted densely, it must equal APY's inverse.
    std::mt19937 random(8);
    const Index g = 50;
    MatrixXd G = random_genomic(random, g, 400);
    G.diagonal().array() += 0.0001;  // the ridge APY applies
    const std::vector<Index> core = draw_apy_core(g, 20, 17);
    std::vector<Index> order = core;
    for (Index k = 0; k < g; ++k) if (!std::binary_search(core.begin(), core.end(), k)) order.push_back(k);
    const MatrixXd P = gather_symmetric(G, order);  // core first
    const Index c = 20;
    const MatrixXd Gcn = P.topRightCorner(c, g - c);
    const MatrixXd conditional = P.bottomRightCorner(g - c, g - c) - Gcn.transpose() * P.topLeftCorner(c, c).inverse() * Gcn;
    MatrixXd implied = P;
    implied.bottomRightCorner(g - c, g - c) = P.bottomRightCorner(g - c, g - c) - conditional +
                                              MatrixXd(conditional.diagonal().asDiagonal());
    const MatrixXd reference_in_order = implied.inverse();
    MatrixXd apy = G;
    apy.diagonal().array() -= 0.0001;
    apy_genomic_inverse_in_place(apy, core);
    apy = lower_to_full(apy);
    for (Index r = 0; r < g; ++r)
        for (Index s = 0; s < g; ++s)
            ASSERT_NEAR(apy(order[r], order[s]), reference_in_order(r, s), 1e-8 * reference_in_order.cwiseAbs().maxCoeff());
}

TEST(SingleStepInverse, SingularInversesAreNamed) {
    // An eigenvalue of exactly -0.0001 makes G + 0.0001 I singular; an indefinite A22 cannot be
    // inverted as a relationship matrix.
    MatrixXd G = MatrixXd::Identity(3, 3);
    G(2, 2) = -0.0001;
    try {
        genomic_inverse_in_place(G);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("G22 + 0.0001 I"), std::string::npos) << error.what();
    }
    MatrixXd A22(2, 2);
    A22 << 1.0, 1.0, 1.0, 1.0;
    try {
        pedigree_block_inverse_in_place(A22);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("A22"), std::string::npos) << error.what();
    }
}

TEST(ApyCore, DrawnCoreIsRepeatableDistinctAndWithinTheGenotyped) {
    const std::vector<Index> core = draw_apy_core(1000, 300);
    EXPECT_EQ(core, draw_apy_core(1000, 300));
    EXPECT_NE(core, draw_apy_core(1000, 300, 1));
    ASSERT_EQ(core.size(), 300u);
    EXPECT_TRUE(std::is_sorted(core.begin(), core.end()));
    EXPECT_EQ(std::adjacent_find(core.begin(), core.end()), core.end());
    EXPECT_GE(core.front(), 0);
    EXPECT_LT(core.back(), 1000);
    EXPECT_THROW(draw_apy_core(10, 11), std::invalid_argument);
}

}  // namespace
