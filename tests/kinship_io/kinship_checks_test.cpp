#include <string>

#include <gtest/gtest.h>

#include "kinship_io/kinship_io.h"
#include "test_support.h"

namespace {

std::string layout_error(const std::string& content) {
    const std::string path = make_scratch_dir() + "/k.kinship.txt";
    write_file(path, content);
    try {
        check_kinship_layout(load_kinship_text(path));
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        const std::size_t at = message.find(path);
        // The messages name the file; the rest is compared without the scratch folder.
        return at == std::string::npos ? message : message.substr(0, at) + "K" + message.substr(at + path.size());
    }
    return "accepted";
}

}  // namespace

TEST(KinshipLayout, AcceptsTheWritersLayoutAndRefusesHeadersThatDisagree) {
    EXPECT_EQ(layout_error("\tA\tB\nA\t1.0000\t0.2500\t\nB\t0.2500\t1.0000\t\n"), "accepted");
    // Windows line ends and a blank line after the data.
    EXPECT_EQ(layout_error("\tA\tB\r\nA\t1.0000\t0.2500\t\r\nB\t0.2500\t1.0000\t\r\n\n"), "accepted");

    EXPECT_EQ(layout_error("\tA\tB\n"), "No kinship data found in file.");
    // A column title in the corner: the header has one token more than there are individuals.
    EXPECT_EQ(layout_error("ID\tA\tB\nA\t1\t0\t\nB\t0\t1\t\n"),
              "❎ Error: kinship file K: the header names \"ID\" (column 1) but no data line belongs to it; the header "
              "must list the IDs of the data lines, in the same order.");
    EXPECT_EQ(layout_error("\tA\nA\t1\t0\t\nB\t0\t1\t\n"),
              "❎ Error: kinship file K: the header lists 1 IDs but there are 2 data lines; the header must list the "
              "IDs of the data lines, in the same order.");
    // Same individuals, other order: the columns would be read as the wrong individuals.
    EXPECT_EQ(layout_error("\tB\tA\nA\t1\t0.5\t\nB\t0.5\t2\t\n"),
              "❎ Error: kinship file K: the header lists the individuals in another order than the data lines "
              "(column 1 is \"B\", data line 1 is \"A\"); the columns would be read as the wrong individuals. Write "
              "the columns in the order of the data lines.");
    EXPECT_EQ(layout_error("\tA\tA\nA\t1\t0\t\nA\t0\t1\t\n"),
              "❎ Error: kinship file K: individual \"A\" has two data lines (lines 2 and 3); every individual needs "
              "exactly one.");
}

TEST(KinshipSymmetry, ToleratesTheRoundingOfTheTextFormatOnly) {
    Eigen::MatrixXd K(3, 3);
    K << 1.0, 0.2500, 0.1, 0.2501, 1.0, 0.0, 0.1, 0.0, 1.0;
    EXPECT_NO_THROW(check_kinship_symmetric(K, {"a", "b", "c"}, "k.txt"));
    K(2, 1) = 0.01;
    try {
        check_kinship_symmetric(K, {"a", "b", "c"}, "k.txt");
        FAIL() << "an asymmetric matrix was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "❎ Error: kinship file k.txt is not symmetric: the value for \"c\" and \"b\" is 0.01 in one "
                  "triangle and 0 in the other.");
    }
}
