// The one reader of numbers in input files: what is a number, what is not, and what happens at
// the ends of the range of a double, field by field as the phenotype and kinship readers see them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "files/number_field.h"

namespace {

struct NumberCase {
    const char* field;
    NumberField::Kind kind;
    double value;  // for kNumber
};

}  // namespace

TEST(NumberField, WholeFieldsAreNumbersAndEverythingElseIsNot) {
    const double subnormal = 1e-320;  // a literal the compiler rounds, independent of the reader
    ASSERT_LT(subnormal, std::numeric_limits<double>::min());
    ASSERT_GT(subnormal, 0.0);
    const NumberCase cases[] = {
        {"250", NumberField::kNumber, 250.0},
        {"-1.5e2", NumberField::kNumber, -150.0},
        {".5", NumberField::kNumber, 0.5},
        {"5.", NumberField::kNumber, 5.0},
        {"+3", NumberField::kNumber, 3.0},
        {"-0", NumberField::kNumber, 0.0},
        {"1E3", NumberField::kNumber, 1000.0},
        {"007", NumberField::kNumber, 7.0},
        {"1.7976931348623157e308", NumberField::kNumber, std::numeric_limits<double>::max()},
        {"1e-320", NumberField::kNumber, subnormal},           // subnormal: read as it is
        {"-1e-400", NumberField::kNumber, 0.0},                // below every double: 0
        {"1e-400", NumberField::kNumber, 0.0},
        {"1e400", NumberField::kTooLarge, 0.0},
        {"-1.8e308", NumberField::kTooLarge, 0.0},
        {"0x40", NumberField::kNotANumber, 0.0},               // hexadecimal
        {"0X1p3", NumberField::kNotANumber, 0.0},
        {"12kg", NumberField::kNotANumber, 0.0},               // trailing text
        {"53,682", NumberField::kNotANumber, 0.0},             // thousands separator
        {"1,5", NumberField::kNotANumber, 0.0},                // decimal comma
        {"1e400x", NumberField::kNotANumber, 0.0},
        {"1e", NumberField::kNotANumber, 0.0},
        {"inf", NumberField::kNotANumber, 0.0},
        {"-infinity", NumberField::kNotANumber, 0.0},
        {"nan", NumberField::kNotANumber, 0.0},
        {"NA", NumberField::kNotANumber, 0.0},
        {"", NumberField::kNotANumber, 0.0},
        {"+", NumberField::kNotANumber, 0.0},
        {"+-1", NumberField::kNotANumber, 0.0},
        {"--1", NumberField::kNotANumber, 0.0},
        {"1 2", NumberField::kNotANumber, 0.0},                // a blank inside the field
        {" 1", NumberField::kNotANumber, 0.0},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.field);
        const NumberField read = read_number_field(c.field);
        EXPECT_EQ(read.kind, c.kind);
        if (c.kind == NumberField::kNumber) {
            EXPECT_EQ(read.value, c.value);
        }
    }
    // -0 keeps its sign, as the decimal says.
    EXPECT_TRUE(std::signbit(read_number_field("-0").value));
}

// A kinship line: fields end at a blank; the reader says where each one ends.
TEST(NumberField, DelimitedFieldsEndAtTheFirstBlank) {
    const std::string line = "1.5\t-2e-1 0x10\t7";
    const char* end = line.data() + line.size();
    const char* field_end = nullptr;
    NumberField read = read_delimited_number(line.data(), end, &field_end);
    EXPECT_EQ(read.kind, NumberField::kNumber);
    EXPECT_EQ(read.value, 1.5);
    EXPECT_EQ(field_end - line.data(), 3);
    read = read_delimited_number(field_end + 1, end, &field_end);
    EXPECT_EQ(read.value, -0.2);
    EXPECT_EQ(*field_end, ' ');
    // A field that is no number still reports its whole extent, for the message that names it.
    const char* start = field_end + 1;
    read = read_delimited_number(start, end, &field_end);
    EXPECT_EQ(read.kind, NumberField::kNotANumber);
    EXPECT_EQ(std::string(start, field_end), "0x10");
    read = read_delimited_number(field_end + 1, end, &field_end);
    EXPECT_EQ(read.value, 7.0);
    EXPECT_EQ(field_end, end);
}
