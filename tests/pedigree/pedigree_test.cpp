#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pedigree/pedigree.h"
#include "pedigree/random_pedigree.h"

namespace {

using Ids = std::vector<std::string>;
using Rows = std::vector<PedigreeRow>;

// The recursive visit in its plain form (sire's line, dam's line, then the individual), as
// the reference for the order on small pedigrees.
Ids recursive_order(const std::vector<PedigreeTriple>& triples) {
    std::unordered_map<std::string, std::pair<std::string, std::string>> parents;
    for (const PedigreeTriple& t : triples) parents[t[0]] = {t[1], t[2]};
    Ids order;
    std::unordered_set<std::string> visited;
    std::function<void(const std::string&)> visit = [&](const std::string& x) {
        if (x == "0" || !visited.insert(x).second) return;
        visit(parents.at(x).first);
        visit(parents.at(x).second);
        order.push_back(x);
    };
    for (const PedigreeTriple& t : triples) visit(t[0]);
    return order;
}

TEST(Pedcheck, AddsMissingParentsAsFoundersSiresFirstAndReadsExactlyNaAsUnknown) {
    // S1 sires offspring without a row of its own, D1, D2 and "na" are such dams (their order
    // is free). "NA" is unknown in every field: no founder for it, repeated "NA" IDs pass.
    std::string said;
    Rows rows = pedcheck({{"C1", "S1", "D1"}, {"C2", "S1", "D2"}, {"C3", "S1", "C1", "NA"}, {"NA", "C2", "NA"},
                          {"NA", "0", "0"}, {"C4", "NA", "na"}},
                         [&](const std::string& text) { said += text; });
    ASSERT_EQ(rows.size(), 10u);
    std::sort(rows.begin() + 1, rows.begin() + 4);
    const Rows expected = {{"S1", "0", "0"},   {"D1", "0", "0"},   {"D2", "0", "0"},        {"na", "0", "0"},
                           {"C1", "S1", "D1"}, {"C2", "S1", "D2"}, {"C3", "S1", "C1", "0"}, {"0", "C2", "0"},
                           {"0", "0", "0"},    {"C4", "0", "na"}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(said,
              "Check parents crossover: Pass!\nPedigree includes 10 individuals.\nSire number: 2\nDam number: 4\n");
}

TEST(PreparePedigree, MatchesTheRecursiveVisitOnRandomShuffledPedigrees) {
    // Offspring often listed before their parents; a triple with ID "0" is dropped.
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<PedigreeTriple> triples = {{"0", "a1", "a2"}};
        for (int k = 0; k < 60; ++k) {
            auto parent = [&] { return k == 0 || random() % 4 == 0 ? std::string("0") : "a" + std::to_string(random() % k); };
            triples.push_back({"a" + std::to_string(k), parent(), parent()});
        }
        std::shuffle(triples.begin(), triples.end(), random);
        const Pedigree p = prepare_pedigree(triples);
        ASSERT_EQ(p.ids, recursive_order(triples));
        for (const PedigreeTriple& t : triples) {
            if (t[0] == "0") continue;
            const std::int32_t k = p.id_to_index.at(t[0]);
            EXPECT_EQ(p.ids[k], t[0]);
            EXPECT_EQ(p.sire_index[k], t[1] == "0" ? -1 : p.id_to_index.at(t[1]));
            EXPECT_EQ(p.dam_index[k], t[2] == "0" ? -1 : p.id_to_index.at(t[2]));
        }
    }
}

TEST(PreparePedigree, PlacesAVeryDeepChainWithoutRecursion) {
    // Listed youngest first, so one visit has to walk all 100,000 generations.
    std::vector<PedigreeTriple> triples;
    for (int k = 99999; k >= 0; --k) {
        triples.push_back({"g" + std::to_string(k), k == 0 ? "0" : "g" + std::to_string(k - 1), "0"});
    }
    const Pedigree p = prepare_pedigree(triples);
    EXPECT_EQ(p.ids.front(), "g0");
    EXPECT_EQ(p.ids.back(), "g99999");
    EXPECT_EQ(p.sire_index.back(), 99998);
}

TEST(RelationshipMatrix, FullSibMatingGivesInbreeding) {
    // Full-sib mating: I of B1 x B2 has 1.25; K, by I alone, is not inbred.
    const Pedigree p = prepare_pedigree(
        {{"S", "0", "0"}, {"D", "0", "0"}, {"B1", "S", "D"}, {"B2", "S", "D"}, {"I", "B1", "B2"}, {"K", "I", "0"}});
    const Eigen::MatrixXd sibs = build_relationship_matrix(p);
    auto at = [&](const char* x, const char* y) { return sibs(p.id_to_index.at(x), p.id_to_index.at(y)); };
    EXPECT_EQ(at("B1", "B2"), 0.5);
    EXPECT_EQ(at("I", "I"), 1.25);
    EXPECT_EQ(at("K", "K"), 1.0);
    EXPECT_EQ(at("K", "I"), 0.625);
}

TEST(PedigreeInbreeding, TextbookExampleAndInbredRandomPedigreesMatchTheDiagonalOfA) {
    // Six-animal textbook example: 5 = 4 x 3 (half sibs through 1), 6 = 5 x 2 (back-cross
    // onto 3's dam); both have F = 0.125.
    const Pedigree textbook = prepare_pedigree(
        {{"1", "0", "0"}, {"2", "0", "0"}, {"3", "1", "2"}, {"4", "1", "0"}, {"5", "4", "3"}, {"6", "5", "2"}});
    const std::vector<double> f = pedigree_inbreeding(textbook);
    for (const char* id : {"1", "2", "3", "4"}) EXPECT_EQ(f[textbook.id_to_index.at(id)], 0.0) << id;
    EXPECT_DOUBLE_EQ(f[textbook.id_to_index.at("5")], 0.125);
    EXPECT_DOUBLE_EQ(f[textbook.id_to_index.at("6")], 0.125);

    std::mt19937 random(11);
    for (int trial = 0; trial < 10; ++trial) {
        const std::vector<PedigreeTriple> triples = random_inbred_pedigree(random, 300);
        const Pedigree p = prepare_pedigree(triples);
        const Eigen::MatrixXd A = build_relationship_matrix(p);
        const std::vector<double> inbreeding = pedigree_inbreeding(p);
        ASSERT_EQ(inbreeding.size(), p.ids.size());
        for (std::size_t i = 0; i < inbreeding.size(); ++i) {
            const auto k = static_cast<Eigen::Index>(i);
            ASSERT_NEAR(inbreeding[i], A(k, k) - 1.0, 1e-12) << p.ids[i];
        }
        EXPECT_GT(A.diagonal().maxCoeff(), 1.2);  // the test does reach heavy inbreeding
    }
}

}  // namespace
