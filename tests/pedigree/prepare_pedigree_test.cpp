#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pedigree/pedigree.h"

namespace {

using Ids = std::vector<std::string>;
using Indices = std::vector<std::int32_t>;

// The recursive visit in its plain form, as the reference for the order on small pedigrees.
Ids recursive_order(const std::vector<PedigreeTriple>& triples) {
    std::unordered_map<std::string, std::pair<std::string, std::string>> parents;
    for (const PedigreeTriple& t : triples) {
        parents[t[0]] = {t[1], t[2]};
    }
    Ids order;
    std::unordered_set<std::string> visited;
    std::function<void(const std::string&)> visit = [&](const std::string& x) {
        if (visited.count(x) != 0 || x == "0") {
            return;
        }
        const auto [sire, dam] = parents.at(x);
        if (sire != "0") visit(sire);
        if (dam != "0") visit(dam);
        if (visited.insert(x).second) order.push_back(x);
    };
    for (const PedigreeTriple& t : triples) {
        if (visited.count(t[0]) == 0) visit(t[0]);
    }
    return order;
}

std::string loop_error(const std::vector<PedigreeTriple>& triples) {
    try {
        prepare_pedigree(triples);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(PreparePedigree, OrdersAncestorsFirstWithParentPositions) {
    const Pedigree p = prepare_pedigree({{"C", "A", "B"}, {"A", "0", "0"}, {"B", "0", "0"}, {"D", "C", "0"}});
    EXPECT_EQ(p.ids, (Ids{"A", "B", "C", "D"}));
    EXPECT_EQ(p.sire_index, (Indices{-1, -1, 0, 2}));
    EXPECT_EQ(p.dam_index, (Indices{-1, -1, 1, -1}));
    for (std::size_t k = 0; k < p.ids.size(); ++k) {
        EXPECT_EQ(p.id_to_index.at(p.ids[k]), static_cast<std::int32_t>(k));
    }
}

TEST(PreparePedigree, KeepsAnOrderedPedigreeAndDropsUnknownIds) {
    const Pedigree p = prepare_pedigree({{"F1", "0", "0"}, {"F2", "0", "0"}, {"0", "F1", "F2"}, {"K", "0", "F2"}});
    EXPECT_EQ(p.ids, (Ids{"F1", "F2", "K"}));
    EXPECT_EQ(p.sire_index, (Indices{-1, -1, -1}));
    EXPECT_EQ(p.dam_index, (Indices{-1, -1, 1}));
    EXPECT_EQ(prepare_pedigree({{"only", "0", "0"}}).ids, (Ids{"only"}));
}

TEST(PreparePedigree, MatchesTheRecursiveVisitOnRandomPedigrees) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        // Generation order with random parents among earlier individuals, then shuffled.
        std::vector<PedigreeTriple> triples;
        for (int k = 0; k < 60; ++k) {
            auto parent = [&] { return k == 0 || random() % 4 == 0 ? std::string("0") : "a" + std::to_string(random() % k); };
            triples.push_back({"a" + std::to_string(k), parent(), parent()});
        }
        std::shuffle(triples.begin(), triples.end(), random);
        const Pedigree p = prepare_pedigree(triples);
        ASSERT_EQ(p.ids.size(), triples.size());
        ASSERT_EQ(p.ids, recursive_order(triples));
        for (std::size_t k = 0; k < p.ids.size(); ++k) {
            EXPECT_LT(p.sire_index[k], static_cast<std::int32_t>(k));
            EXPECT_LT(p.dam_index[k], static_cast<std::int32_t>(k));
        }
    }
}

TEST(PreparePedigree, PlacesAVeryDeepChainWithoutRecursion) {
    // Listed youngest first, so one top-level visit has to walk all 100,000 generations.
    const int depth = 100000;
    std::vector<PedigreeTriple> triples;
    for (int k = depth - 1; k >= 0; --k) {
        triples.push_back({"g" + std::to_string(k), k == 0 ? "0" : "g" + std::to_string(k - 1), "0"});
    }
    const Pedigree p = prepare_pedigree(triples);
    ASSERT_EQ(p.ids.size(), static_cast<std::size_t>(depth));
    EXPECT_EQ(p.ids.front(), "g0");
    EXPECT_EQ(p.ids.back(), "g99999");
    EXPECT_EQ(p.sire_index.back(), depth - 2);
}

TEST(PreparePedigree, RejectsIndividualsThatAreTheirOwnAncestors) {
    EXPECT_NE(loop_error({{"A", "A", "0"}}).find("Individual A is its own ancestor"), std::string::npos);
    EXPECT_NE(loop_error({{"A", "0", "A"}}).find("Individual A is its own ancestor"), std::string::npos);
    // A -> B -> C -> A through sires and dams, behind an innocent founder.
    const std::string message = loop_error({{"F", "0", "0"}, {"A", "F", "B"}, {"B", "C", "0"}, {"C", "0", "A"}});
    EXPECT_NE(message.find("is its own ancestor"), std::string::npos);
    const bool names_loop_member = message.find("Individual A ") != std::string::npos ||
                                   message.find("Individual B ") != std::string::npos ||
                                   message.find("Individual C ") != std::string::npos;
    EXPECT_TRUE(names_loop_member) << message;
}

TEST(PreparePedigree, RejectsAParentWithoutItsOwnTriple) {
    EXPECT_EQ(loop_error({{"C", "S", "0"}}), "Parent S of individual C has no row of its own in the pedigree.");
}

}  // namespace
