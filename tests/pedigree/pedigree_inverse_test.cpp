#include <gtest/gtest.h>

#include <random>
#include <utility>

#include <omp.h>
#include <string>
#include <vector>

#include "mixed_model/sparse_factor.h"
#include "pedigree/pedigree.h"
#include "pedigree/random_pedigree.h"

namespace {

// A^-1 A = I against the dense A of the tabular method.
void expect_inverse_of_A(const Pedigree& pedigree) {
    const Eigen::MatrixXd A = build_relationship_matrix(pedigree);
    const Eigen::MatrixXd inverse = Eigen::MatrixXd(pedigree_inverse(pedigree, pedigree_inbreeding(pedigree)));
    const auto n = A.rows();
    EXPECT_LT((inverse * A - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(), 1e-10);
    EXPECT_EQ((inverse - inverse.transpose()).cwiseAbs().maxCoeff(), 0.0);
}

TEST(PedigreeInverse, TextbookPedigreeWithInbreeding) {
    // The six-animal example (5 = 4 x 3 and 6 = 5 x 2, both with F = 1/8), and entries of A^-1
    // worked by hand from Henderson's rules.
    const Pedigree p = prepare_pedigree(
        {{"1", "0", "0"}, {"2", "0", "0"}, {"3", "1", "2"}, {"4", "1", "0"}, {"5", "4", "3"}, {"6", "5", "2"}});
    expect_inverse_of_A(p);
    const Eigen::MatrixXd inverse = Eigen::MatrixXd(pedigree_inverse(p, pedigree_inbreeding(p)));
    auto at = [&](const char* a, const char* b) { return inverse(p.id_to_index.at(a), p.id_to_index.at(b)); };
    // Animal 6: d = 1/2 - (F5 + F2)/4 = 15/32, so its diagonal is 32/15.
    EXPECT_NEAR(at("6", "6"), 32.0 / 15.0, 1e-14);
    EXPECT_NEAR(at("6", "5"), -16.0 / 15.0, 1e-14);
    EXPECT_EQ(at("6", "1"), 0.0);
    // Animal 4 has one known parent: d = 3/4.
    EXPECT_NEAR(at("4", "1"), -2.0 / 3.0, 1e-14);
}

TEST(PedigreeInverse, FullSibAndParentOffspringMatingsAndRandomInbredPedigrees) {
    // B1 x B2 full sibs give I; the sire S mated to his daughter B2 gives J; I x J again.
    expect_inverse_of_A(prepare_pedigree({{"S", "0", "0"},
                                          {"D", "0", "0"},
                                          {"B1", "S", "D"},
                                          {"B2", "S", "D"},
                                          {"I", "B1", "B2"},
                                          {"J", "S", "B2"},
                                          {"K", "I", "J"},
                                          {"L", "I", "0"}}));
    std::mt19937 random(5);
    for (int trial = 0; trial < 3; ++trial) {
        expect_inverse_of_A(prepare_pedigree(random_inbred_pedigree(random, 200)));
    }
}

// Unknown parents of an inbred pedigree drawn into three groups: the inverse is A^-1 bordered by
// -A^-1 Q and Q'A^-1 Q (the QP transformation), with Q the groups' shares passed down by halves.
TEST(PedigreeInverse, UnknownParentGroupsBorderTheInverse) {
    std::mt19937 random(11);
    Pedigree p = prepare_pedigree(random_inbred_pedigree(random, 150));
    const auto n = static_cast<Eigen::Index>(p.ids.size());
    p.group_names = {"G1", "G2", "G3"};
    p.sire_group.assign(p.ids.size(), -1);
    p.dam_group.assign(p.ids.size(), -1);
    Eigen::MatrixXd Q = Eigen::MatrixXd::Zero(n, 3);
    std::uniform_int_distribution<int> draw(-1, 2);  // -1: unknown without a group
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        for (auto [parent, group] : {std::pair{p.sire_index[k], &p.sire_group[k]}, std::pair{p.dam_index[k], &p.dam_group[k]}}) {
            if (parent >= 0) {
                Q.row(i) += 0.5 * Q.row(parent);
            } else if ((*group = draw(random)) >= 0) {
                Q(i, *group) += 0.5;
            }
        }
    }
    EXPECT_LT((group_fractions(p) - Q).cwiseAbs().maxCoeff(), 1e-15);
    const Eigen::MatrixXd A_inverse = build_relationship_matrix(p).inverse();
    Eigen::MatrixXd expected(n + 3, n + 3);
    expected << A_inverse, -A_inverse * Q, -Q.transpose() * A_inverse, Q.transpose() * A_inverse * Q;
    const Eigen::MatrixXd inverse = Eigen::MatrixXd(pedigree_inverse(p, pedigree_inbreeding(p)));
    EXPECT_LT((inverse - expected).cwiseAbs().maxCoeff(), 1e-9);
}

TEST(RelationshipBlock, EqualsTheBlockOfAInAnyOrderOfPositions) {
    std::mt19937 random(9);
    const Pedigree p = prepare_pedigree(random_inbred_pedigree(random, 400));
    const Eigen::MatrixXd A = build_relationship_matrix(p);
    std::vector<Eigen::Index> positions;
    for (Eigen::Index k = 0; k < A.rows(); ++k) {
        if (random() % 3 == 0) positions.push_back(k);
    }
    std::shuffle(positions.begin(), positions.end(), random);
    const Eigen::MatrixXd block = relationship_block(p, pedigree_inbreeding(p), positions);
    for (std::size_t r = 0; r < positions.size(); ++r) {
        for (std::size_t c = 0; c < positions.size(); ++c) {
            ASSERT_NEAR(block(r, c), A(positions[r], positions[c]), 1e-12);
        }
    }
    EXPECT_THROW(relationship_block(p, pedigree_inbreeding(p), {A.rows()}), std::invalid_argument);
}

TEST(PedigreeInverse, InbreedingAndTheBlockOfAAreTheSameOnOneThreadAndOnTwo) {
    std::mt19937 random(13);
    const Pedigree p = prepare_pedigree(random_inbred_pedigree(random, 2000));
    std::vector<Eigen::Index> positions;
    for (Eigen::Index k = 1000; k < 2000; k += 3) positions.push_back(k);
    omp_set_num_threads(1);
    const std::vector<double> one = pedigree_inbreeding(p);
    const Eigen::MatrixXd block_one = relationship_block(p, one, positions);
    omp_set_num_threads(2);
    EXPECT_EQ(pedigree_inbreeding(p), one);
    EXPECT_EQ(relationship_block(p, one, positions), block_one);
}

}  // namespace

// What the likelihood on the sparse inverse takes from the pedigree: log|A| from the Mendelian
// sampling variances, and A's diagonal (1 + F) back from the selected inverse of A^-1, on a
// heavily inbred pedigree against the dense A.
TEST(PedigreeInverse, LogDeterminantAndDiagonalWithoutFormingA) {
    std::mt19937 random(23);
    const Pedigree p = prepare_pedigree(random_inbred_pedigree(random, 300));
    const Eigen::MatrixXd A = build_relationship_matrix(p);
    const std::vector<double> inbreeding = pedigree_inbreeding(p);
    EXPECT_NEAR(pedigree_log_determinant(p, inbreeding), 2.0 * A.llt().matrixL().toDenseMatrix().diagonal().array().log().sum(),
                1e-9 * A.rows());
    if (!sparse_factor_available()) GTEST_SKIP() << "built without CHOLMOD";
    const Eigen::SparseMatrix<double, Eigen::RowMajor> inverse = pedigree_inverse(p, inbreeding);
    const SparseLower lower = SparseLower(inverse).triangularView<Eigen::Lower>();
    const Eigen::VectorXd diagonal = diagonal_of_inverse(lower);
    ASSERT_EQ(diagonal.size(), A.rows());
    EXPECT_LT((diagonal - A.diagonal()).cwiseAbs().maxCoeff(), 1e-10);
}
