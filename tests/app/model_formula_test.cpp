// The model formula of --model: what it parses to, where a text that does not parse fails, and
// what the header's names resolve to and refuse.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/model_formula.h"
#include "log/failures.h"

namespace {

std::string failure_of(const std::string& text, const std::vector<std::string>& header = {}) {
    try {
        const ModelFormula formula = parse_model_formula(text);
        if (!header.empty()) resolve_model_formula(formula, header, "p.txt");
    } catch (const InputCheckFailure& error) {
        return error.what();
    }
    return "";
}

const std::vector<std::string> kHeader = {"ID", "herd", "year", "age", "Y1", "Y2", "litter", "pe", "milk yield"};

}  // namespace

TEST(ModelFormula, ParsesTraitsTermsCallsAndComments) {
    const ModelFormula one = parse_model_formula("Y1, Y2 ~ herd + cov(age) + rand(herd:year) + animal");
    ASSERT_EQ(one.models.size(), 1u);
    ASSERT_EQ(one.models[0].responses.size(), 2u);
    EXPECT_EQ(one.models[0].responses[1].name, "Y2");
    ASSERT_EQ(one.models[0].terms.size(), 4u);
    EXPECT_EQ(one.models[0].terms[2].text, "rand(herd:year)");
    EXPECT_EQ(one.models[0].terms[2].factors[0].arguments[0].factors.size(), 2u);
    EXPECT_TRUE(one.models[0].intercept);

    // A file: a model a line, comments, blank lines; "-1" and "0 +" drop the intercept.
    const ModelFormula two = parse_model_formula("# two traits\nY1 ~ herd + animal  # first\n\nY2 ~ 0 + leg( age , 2 )\n");
    ASSERT_EQ(two.models.size(), 2u);
    EXPECT_TRUE(two.models[0].intercept);
    EXPECT_FALSE(two.models[1].intercept);
    EXPECT_EQ(two.models[1].terms[0].text, "leg(age,2)");
    EXPECT_FALSE(parse_model_formula("Y1 ~ herd - 1; Y2 ~ herd").models[0].intercept);
    EXPECT_EQ(parse_model_formula("`milk yield` ~ `pe`").models[0].terms[0].text, "`pe`");
}

TEST(ModelFormula, SaysWhereTheTextDoesNotParse) {
    EXPECT_EQ(failure_of("Y1 ~ herd + + animal"),
              "--model: the formula does not parse at column 13: expected a term (a column name, or a word such as "
              "animal), found '+'.");
    EXPECT_NE(failure_of("Y1 herd").find("expected '~' after the trait(s), found 'herd'"), std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ cov(age").find("expected ')' closing the call to cov(, found the end of the formula"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ herd\nY2 ~ `age").find("line 2, column 6: expected a closing backquote"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ herd animal").find("expected a '+' between terms"), std::string::npos);
    EXPECT_NE(failure_of("  # nothing\n").find("the formula is empty"), std::string::npos);
}

TEST(ModelFormula, ResolvesNamesOfTheHeader) {
    const ResolvedModel model = resolve_model_formula(
        parse_model_formula("Y1 ~ herd + cov(age) + animal + `pe` + pe; Y2 ~ year + animal + pe"), kHeader, "p.txt");
    EXPECT_EQ(model.traits, (std::vector<int>{4, 5}));
    ASSERT_EQ(model.fixed.size(), 2u);
    ASSERT_EQ(model.fixed[0].size(), 3u);  // herd, cov(age), and the column named pe
    EXPECT_EQ(model.fixed[0][1].kind, FormulaTermKind::fixed_covariate);
    EXPECT_EQ(model.fixed[0][2].columns, std::vector<int>{7});
    EXPECT_EQ(model.fixed[1][0].columns, std::vector<int>{2});
    ASSERT_EQ(model.random.size(), 2u);
    EXPECT_EQ(model.random[1].kind, FormulaTermKind::permanent_environment);
    EXPECT_EQ(resolve_model_formula(parse_model_formula("Y1 ~ kin(2) + rand(litter)"), kHeader, "p.txt").random[0].relationship, 1);
}

TEST(ModelFormula, RefusesWhatItCannotFitNamingTheTerm) {
    EXPECT_EQ(failure_of("Y1 ~ Herd + animal", kHeader),
              "--model: term Herd: there is no column Herd in the header of p.txt (names are case-sensitive).");
    EXPECT_NE(failure_of("Y1 ~ herd + herd", kHeader).find("term herd is given twice"), std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ cov(pe)", kHeader).find("pe is a word of the formula; a column named so is written `pe`"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ herd + rand(herd)", kHeader).find("column herd is in term herd and in term rand(herd)"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ herd + animal; Y2 ~ herd", kHeader)
                  .find("the random term animal is missing from the model of Y2"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ herd; Y2 ~ herd + pe", kHeader).find("the random term pe is missing from the model of Y1"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ Y2 + animal; Y2 ~ herd + animal", kHeader).find("Y2 is a trait of the model"),
              std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ kin(0)", kHeader).find("kin(k) takes the kinship's line k"), std::string::npos);
    EXPECT_NE(failure_of("Y1 ~ animal:herd:leg(age, 2)", kHeader).find("write a random regression as animal:leg(column, k)"),
              std::string::npos);
    const ResolvedTerm curve = resolve_model_formula(parse_model_formula("Y1 ~ pe:leg(age, 2)"), kHeader, "p.txt").random[0];
    EXPECT_EQ(curve.kind, FormulaTermKind::permanent_environment);
    EXPECT_EQ(curve.degree, 2);
    EXPECT_TRUE(curve.columns.empty());
    EXPECT_NE(failure_of("Y1 ~ herd:leg(age, x)", kHeader).find("leg(column, k) takes the degree k"), std::string::npos);
    EXPECT_EQ(resolve_model_formula(parse_model_formula("Y1 ~ herd:cov(age)"), kHeader, "p.txt").fixed[0][0].kind,
              FormulaTermKind::fixed_derived);
    EXPECT_NE(failure_of("Y1 ~ herd:year + rand(year:herd)", kHeader).find("a crossing is fitted one way"),
              std::string::npos);
    EXPECT_EQ(resolve_model_formula(parse_model_formula("Y1 ~ herd + rand(herd:year)"), kHeader, "p.txt").random[0].columns,
              (std::vector<int>{1, 2}));
    EXPECT_NE(failure_of("Y1 ~ f(herd)", kHeader).find("f(...) is no term of the formula"), std::string::npos);
}
