#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "pedigree/pedigree.h"

namespace {

Eigen::MatrixXd relationships(const std::vector<PedigreeTriple>& triples) {
    return build_relationship_matrix(prepare_pedigree(triples));
}

TEST(RelationshipMatrix, TextbookSixAnimalPedigree) {
    // Animals 5 and 6 are inbred (0.125 each).
    const Eigen::MatrixXd A =
        relationships({{"1", "0", "0"}, {"2", "0", "0"}, {"3", "1", "2"}, {"4", "1", "0"}, {"5", "4", "3"}, {"6", "5", "2"}});
    Eigen::MatrixXd expected(6, 6);
    expected << 1, 0, 0.5, 0.5, 0.5, 0.25,
                0, 1, 0.5, 0, 0.25, 0.625,
                0.5, 0.5, 1, 0.25, 0.625, 0.5625,
                0.5, 0, 0.25, 1, 0.625, 0.3125,
                0.5, 0.25, 0.625, 0.625, 1.125, 0.6875,
                0.25, 0.625, 0.5625, 0.3125, 0.6875, 1.125;
    EXPECT_EQ(A, expected);  // every value is a short binary fraction
}

TEST(RelationshipMatrix, SibsParentsAndInbreeding) {
    // S x D give full sibs B1, B2 and half sib H (by S); B1 x B2 gives the inbred I; I x D2
    // gives J, whose single-parent sibling K keeps diagonal 1 although its sire is inbred.
    const Pedigree p = prepare_pedigree({{"S", "0", "0"}, {"D", "0", "0"}, {"D2", "0", "0"}, {"B1", "S", "D"}, {"B2", "S", "D"},
                                         {"H", "S", "D2"}, {"I", "B1", "B2"}, {"K", "I", "0"}});
    const Eigen::MatrixXd A = build_relationship_matrix(p);
    auto at = [&](const char* x, const char* y) { return A(p.id_to_index.at(x), p.id_to_index.at(y)); };
    EXPECT_EQ(at("B1", "B2"), 0.5);
    EXPECT_EQ(at("B1", "B1"), 1.0);
    EXPECT_EQ(at("S", "B1"), 0.5);
    EXPECT_EQ(at("B1", "H"), 0.25);
    EXPECT_EQ(at("I", "I"), 1.25);
    EXPECT_EQ(at("K", "K"), 1.0);
    EXPECT_EQ(at("K", "I"), 0.625);
}

TEST(RelationshipMatrix, EmptyAndSingleIndividual) {
    EXPECT_EQ(build_relationship_matrix(Pedigree{}).size(), 0);
    EXPECT_EQ(relationships({{"x", "0", "0"}}), Eigen::MatrixXd::Ones(1, 1));
}

TEST(RelationshipMatrix, MatchesThePlainTabularMethodAcrossBlocks) {
    // Several hundred individuals, so that the blocked fill crosses many block boundaries;
    // parents are often recent (deep lines, inbreeding) and sometimes one is unknown.
    std::mt19937 random(5);
    std::vector<PedigreeTriple> triples;
    const int n = 300;
    for (int k = 0; k < n; ++k) {
        auto parent = [&] {
            if (k < 4 || random() % 7 == 0) return std::string("0");
            const int back = 1 + static_cast<int>(random() % std::min(k, random() % 2 ? 10 : k));
            return "a" + std::to_string(k - back);
        };
        triples.push_back({"a" + std::to_string(k), parent(), parent()});
    }
    const Pedigree p = prepare_pedigree(triples);
    const Eigen::MatrixXd A = build_relationship_matrix(p);
    ASSERT_EQ(A.rows(), n);
    Eigen::MatrixXd reference = Eigen::MatrixXd::Identity(n, n);
    for (int i = 0; i < n; ++i) {
        const int s = p.sire_index[i];
        const int d = p.dam_index[i];
        for (int k = 0; k < i; ++k) {
            const double value = 0.5 * ((s >= 0 ? reference(k, s) : 0.0) + (d >= 0 ? reference(k, d) : 0.0));
            reference(k, i) = value;
            reference(i, k) = value;
        }
        if (s >= 0 && d >= 0) reference(i, i) = 1.0 + 0.5 * reference(s, d);
    }
    EXPECT_LT((A - reference).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_GT(A.diagonal().maxCoeff(), 1.2);  // the data do exercise inbreeding
}

}  // namespace
