#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "genomic/genotype_files.h"
#include "pedigree/pedigree.h"

namespace {

using Ids = std::vector<std::string>;
using Rows = std::vector<PedigreeRow>;

// pedcheck's rows, or the rows {{"error", message}}; `printed` receives standard output.
Rows run_pedcheck(const Rows& rows, std::string& printed) {
    Rows result;
    testing::internal::CaptureStdout();
    const std::string error = error_of([&] { result = pedcheck(rows); });
    printed = testing::internal::GetCapturedStdout();
    return error.empty() ? result : Rows{{"error", error}};
}

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
    std::string printed;
    Rows rows = run_pedcheck({{"C1", "S1", "D1"}, {"C2", "S1", "D2"}, {"C3", "S1", "C1", "NA"}, {"NA", "C2", "NA"},
                              {"NA", "0", "0"}, {"C4", "NA", "na"}},
                             printed);
    ASSERT_EQ(rows.size(), 10u);
    std::sort(rows.begin() + 1, rows.begin() + 4);
    const Rows expected = {{"S1", "0", "0"},   {"D1", "0", "0"},   {"D2", "0", "0"},        {"na", "0", "0"},
                           {"C1", "S1", "D1"}, {"C2", "S1", "D2"}, {"C3", "S1", "C1", "0"}, {"0", "C2", "0"},
                           {"0", "0", "0"},    {"C4", "0", "na"}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(printed, "Check parents crossover: Pass!\nPedigree includes 10 individuals.\nSire number: 2\nDam number: 4\n");
}

TEST(Pedcheck, RejectsDuplicatesCrossoverAndShortRowsNamingTheCulprit) {
    const std::vector<std::tuple<Rows, std::string, std::string>> cases = {
        {{{"A", "0", "0"}, {"B", "0", "0"}, {"B", "A", "0"}, {"A", "0", "0"}},
         "Program terminated due to duplicate offspring ID.", "Duplicate offspring ID found: B\n"},
        {{{"C1", "X", "D"}, {"C2", "S", "X"}}, "Program terminated due to parents crossover.",
         "Crossover found between parental individuals: X \n"},
        {{{"A", "0", "0"}, {"C", "A", "0"}, {"B", "A"}}, "Pedigree row 3 has 2 field(s); every row needs an ID, a sire and a dam.", ""},
    };
    for (const auto& [rows, error, expected_print] : cases) {
        std::string printed;
        EXPECT_EQ(run_pedcheck(rows, printed), (Rows{{"error", error}}));
        EXPECT_EQ(printed, expected_print) << error;
    }
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

TEST(PreparePedigree, RejectsLoopsAndParentsWithoutARow) {
    const auto error = [](const std::vector<PedigreeTriple>& triples) {
        return error_of([&] { prepare_pedigree(triples); });
    };
    EXPECT_NE(error({{"A", "A", "0"}}).find("Individual A is its own ancestor"), std::string::npos);
    EXPECT_NE(error({{"A", "0", "A"}}).find("Individual A is its own ancestor"), std::string::npos);
    // A -> B -> C -> A through sires and dams, behind an innocent founder.
    const std::string message = error({{"F", "0", "0"}, {"A", "F", "B"}, {"B", "C", "0"}, {"C", "0", "A"}});
    EXPECT_TRUE(std::regex_search(message, std::regex("Individual [ABC] is its own ancestor"))) << message;
    EXPECT_EQ(error({{"C", "S", "0"}}), "Parent S of individual C has no row of its own in the pedigree.");
}

TEST(RelationshipMatrix, TextbookPedigreesWithInbreeding) {
    // The six-animal textbook pedigree: animals 5 and 6 are inbred (0.125 each).
    const Eigen::MatrixXd A = build_relationship_matrix(prepare_pedigree(
        {{"1", "0", "0"}, {"2", "0", "0"}, {"3", "1", "2"}, {"4", "1", "0"}, {"5", "4", "3"}, {"6", "5", "2"}}));
    Eigen::MatrixXd expected(6, 6);
    expected << 1, 0, 0.5, 0.5, 0.5, 0.25,
                0, 1, 0.5, 0, 0.25, 0.625,
                0.5, 0.5, 1, 0.25, 0.625, 0.5625,
                0.5, 0, 0.25, 1, 0.625, 0.3125,
                0.5, 0.25, 0.625, 0.625, 1.125, 0.6875,
                0.25, 0.625, 0.5625, 0.3125, 0.6875, 1.125;
    EXPECT_EQ(A, expected);  // every value is a short binary fraction
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

}  // namespace
