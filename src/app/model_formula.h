#pragma once

// The model formula of --model, as breeders write it: "Y ~ herd + cov(age) + animal + pe", one
// model for several traits ("Y1, Y2 ~ ..."), or each trait its own ("Y1 ~ ...; Y2 ~ ...").
// Parsed here into terms without knowing the data; the columns and kinds are resolved against
// the phenotype file's header by resolve_model_formula.

#include <cstddef>
#include <string>
#include <vector>

// One factor of a term: a name (a column, or a word such as `animal`), or a call with its
// arguments (`cov(age)`, `leg(DIM, 3)`, `rand(herd:year)`), each argument a term of its own.
struct FormulaTerm;
struct FormulaFactor {
    std::string name;
    bool quoted = false;  // written in backquotes: always a column, never a word of the formula
    bool call = false;
    std::vector<FormulaTerm> arguments;
    std::size_t at = 0;  // 1-based column of the formula text, for messages
};
// Factors crossed by ':'; `text` is the term as written without blanks, which names it.
struct FormulaTerm {
    std::vector<FormulaFactor> factors;
    std::string text;
    std::size_t at = 0;
};
// One model: its responses, and its terms after "~" in order; `intercept` false for "0 +" or "-1".
struct TraitFormula {
    std::vector<FormulaFactor> responses;
    std::vector<FormulaTerm> terms;
    bool intercept = true;
};
struct ModelFormula {
    std::vector<TraitFormula> models;  // one per ';' or line
};

// The formula of `text`: models separated by ';' or a line break, '#' to the end of a line a
// comment. Throws InputCheckFailure saying where the text does not parse.
ModelFormula parse_model_formula(const std::string& text);

// The text of --model: itself, or with a leading '@' the contents of that file (InputCheckFailure
// when it cannot be read).
std::string model_formula_text(const std::string& value);

// What a term of the formula is, resolved against the phenotype file's header.
enum class FormulaTermKind {
    fixed_class,       // a class column, or classes crossed (herd:year)
    fixed_covariate,   // cov(x)
    relationship,      // animal (kin(1)), kin(k)
    permanent_environment,
    random_class,      // rand(col), rand(a:b)
    fixed_derived,     // herd:cov(age), leg(DIM, k), parity:leg(DIM, k)
    maternal,          // maternal(dam): the dam's additive maternal effect, over animal's relationship
};
struct ResolvedTerm {
    FormulaTermKind kind = FormulaTermKind::fixed_class;
    std::string name;          // as written, without blanks
    std::vector<int> columns;  // phenotype columns, 0-based (a crossing has several; the dam's of maternal(dam), pe(dam))
    int relationship = 0;      // 0-based, for FormulaTermKind::relationship
    // FormulaTermKind::fixed_derived: the numeric column, and the degree k of leg(x, k) (-1 for
    // cov(x)); `columns` are the classes it is nested in (none for leg() over all records). A
    // random regression (animal:leg(x, k), pe:leg(x, k)): its relationship or permanent
    // environment term with the numeric column and degree of its curve.
    int numeric = -1;
    int degree = -1;
};
// The formula over the columns of `header` (the phenotype file's first line): its traits (one
// column each, in the order written), each trait's fixed terms, and the random terms shared by
// every trait. Throws InputCheckFailure naming the term and column for anything it cannot fit.
struct ResolvedModel {
    std::vector<int> traits;
    std::vector<std::string> trait_names;
    std::vector<std::vector<ResolvedTerm>> fixed;  // per trait
    std::vector<ResolvedTerm> random;
    bool intercept = true;
};
ResolvedModel resolve_model_formula(const ModelFormula& formula, const std::vector<std::string>& header,
                                    const std::string& phenotype_file);
