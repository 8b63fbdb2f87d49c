#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "pedigree/pedigree.h"

namespace {

struct CheckOutcome {
    std::vector<PedigreeRow> rows;
    std::string printed;
    std::string error;  // empty when pedcheck returned
};

CheckOutcome run_pedcheck(const std::vector<PedigreeRow>& rows) {
    CheckOutcome outcome;
    testing::internal::CaptureStdout();
    try {
        outcome.rows = pedcheck(rows);
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
    }
    outcome.printed = testing::internal::GetCapturedStdout();
    return outcome;
}

TEST(Pedcheck, AddsMissingParentsAsFoundersBeforeTheFileRows) {
    // S1 sires three offspring but has no row; D1 and D2 are dams without rows.
    const CheckOutcome outcome = run_pedcheck({{"C1", "S1", "D1"}, {"C2", "S1", "D2"}, {"C3", "S1", "C1"}});
    ASSERT_EQ(outcome.error, "");
    ASSERT_EQ(outcome.rows.size(), 6u);
    EXPECT_EQ(outcome.rows[0], (PedigreeRow{"S1", "0", "0"}));
    std::vector<std::string> added_dams = {outcome.rows[1][0], outcome.rows[2][0]};
    std::sort(added_dams.begin(), added_dams.end());
    EXPECT_EQ(added_dams, (std::vector<std::string>{"D1", "D2"}));
    EXPECT_EQ(outcome.rows[3], (PedigreeRow{"C1", "S1", "D1"}));
    EXPECT_EQ(outcome.rows[5], (PedigreeRow{"C3", "S1", "C1"}));
    EXPECT_EQ(outcome.printed,
              "Check parents crossover: Pass!\nPedigree includes 6 individuals.\n"
              "Sire number: 1\nDam number: 3\n");
}

TEST(Pedcheck, ReadsNaAsUnknownInEveryField) {
    const CheckOutcome outcome =
        run_pedcheck({{"A", "NA", "0", "NA"}, {"B", "0", "NA"}, {"C", "A", "B", "x"}, {"NA", "A", "B"}, {"NA", "0", "0"}});
    ASSERT_EQ(outcome.error, "");
    ASSERT_EQ(outcome.rows.size(), 5u);  // no founder added for "NA", repeated "NA" IDs pass
    EXPECT_EQ(outcome.rows[0], (PedigreeRow{"A", "0", "0", "0"}));
    EXPECT_EQ(outcome.rows[1], (PedigreeRow{"B", "0", "0"}));
    EXPECT_EQ(outcome.rows[2], (PedigreeRow{"C", "A", "B", "x"}));
    EXPECT_EQ(outcome.rows[3], (PedigreeRow{"0", "A", "B"}));
    EXPECT_NE(outcome.printed.find("Sire number: 1\nDam number: 1\n"), std::string::npos);
}

TEST(Pedcheck, OnlyExactNaIsMissing) {
    const CheckOutcome outcome = run_pedcheck({{"C", "na", "N/A"}});
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.rows.size(), 3u);  // "na" and "N/A" are IDs and become founders
}

TEST(Pedcheck, RejectsTheFirstDuplicateID) {
    const CheckOutcome outcome = run_pedcheck({{"A", "0", "0"}, {"B", "0", "0"}, {"B", "A", "0"}, {"A", "0", "0"}});
    EXPECT_EQ(outcome.error, "Program terminated due to duplicate offspring ID.");
    EXPECT_EQ(outcome.printed, "Duplicate offspring ID found: B\n");
}

TEST(Pedcheck, RejectsAnIdUsedAsSireAndAsDam) {
    const CheckOutcome outcome = run_pedcheck({{"C1", "X", "D"}, {"C2", "S", "X"}});
    EXPECT_EQ(outcome.error, "Program terminated due to parents crossover.");
    EXPECT_EQ(outcome.printed, "Crossover found between parental individuals: X \n");
}

TEST(Pedcheck, RejectsEmptyAndNarrowPedigrees) {
    const std::string message = "Pedigree needs at least three columns and cannot be empty!";
    EXPECT_EQ(run_pedcheck({}).error, message);
    EXPECT_EQ(run_pedcheck({{"A", "0"}, {"B", "0", "0"}}).error, message);
    EXPECT_EQ(run_pedcheck({{"A", "0"}, {"B", "0", "0"}}).printed, "");
}

TEST(Pedcheck, RejectsALaterShortRowNamingIt) {
    for (const PedigreeRow& short_row : {PedigreeRow{"B"}, PedigreeRow{"B", "A"}}) {
        const CheckOutcome outcome = run_pedcheck({{"A", "0", "0"}, {"C", "A", "0"}, short_row});
        EXPECT_EQ(outcome.error, "Pedigree row 3 has " + std::to_string(short_row.size()) +
                                     " field(s); every row needs an ID, a sire and a dam.");
        EXPECT_EQ(outcome.printed, "");
    }
}

}  // namespace
