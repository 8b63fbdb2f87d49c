#include "app/model_formula.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "log/failures.h"

namespace {

// The words of the formula; a column with one of these names is written in backquotes.
const char* const kReserved[] = {"animal", "kin", "pe", "rand", "cov", "leg", "maternal"};

bool reserved(const std::string& name) {
    return std::find_if(std::begin(kReserved), std::end(kReserved),
                        [&](const char* word) { return name == word; }) != std::end(kReserved);
}

bool special(char c) {
    return std::string("()~:+-,;#`").find(c) != std::string::npos || std::isspace(static_cast<unsigned char>(c));
}

struct Token {
    enum Kind { name, symbol, end_of_model, end } kind = end;
    std::string text;
    bool quoted = false;
    std::size_t offset = 0;
};

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) { tokenise(); }

    ModelFormula parse() {
        ModelFormula formula;
        while (peek().kind != Token::end) {
            if (peek().kind == Token::end_of_model) {
                ++next_;
                continue;
            }
            formula.models.push_back(model());
            if (peek().kind != Token::end_of_model && peek().kind != Token::end) {
                fail("a '+' between terms, or ';' or a new line before the next trait's model", peek());
            }
        }
        if (formula.models.empty()) {
            throw InputCheckFailure("--model: the formula is empty; write it as \"Y ~ herd + animal\".");
        }
        return formula;
    }

private:
    void tokenise() {
        std::size_t i = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == '#') {
                while (i < text_.size() && text_[i] != '\n') ++i;
            } else if (c == '\n' || c == ';') {
                tokens_.push_back({Token::end_of_model, std::string(1, c), false, i++});
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
            } else if (c == '`') {
                const std::size_t close = text_.find('`', i + 1);
                if (close == std::string::npos) {
                    fail("a closing backquote", {Token::name, "`", false, i});
                }
                if (close == i + 1) {
                    fail("a column name between the backquotes", {Token::name, "``", false, i});
                }
                tokens_.push_back({Token::name, text_.substr(i + 1, close - i - 1), true, i});
                i = close + 1;
            } else if (special(c)) {
                tokens_.push_back({Token::symbol, std::string(1, c), false, i++});
            } else {
                const std::size_t start = i;
                while (i < text_.size() && !special(text_[i])) ++i;
                tokens_.push_back({Token::name, text_.substr(start, i - start), false, start});
            }
        }
        tokens_.push_back({Token::end, "", false, text_.size()});
    }

    const Token& peek() const { return tokens_[next_]; }
    bool at_symbol(const char* symbol) const { return peek().kind == Token::symbol && peek().text == symbol; }
    void expect(const char* symbol, const std::string& what) {
        if (!at_symbol(symbol)) fail(what, peek());
        ++next_;
    }

    // Line and column of an offset, 1-based; the line only when the text has several.
    std::string where(std::size_t offset) const {
        const std::size_t line_start = text_.rfind('\n', offset == 0 ? 0 : offset - 1);
        const std::size_t column = offset - (line_start == std::string::npos ? 0 : line_start + 1) + 1;
        const auto line = static_cast<std::size_t>(std::count(text_.begin(), text_.begin() + offset, '\n')) + 1;
        return (text_.find('\n') == std::string::npos ? "" : "line " + std::to_string(line) + ", ") + "column " +
               std::to_string(column);
    }
    [[noreturn]] void fail(const std::string& expected, const Token& found) const {
        const std::string what = found.kind == Token::end            ? "the end of the formula"
                                 : found.kind == Token::end_of_model ? (found.text == ";" ? "';'" : "the end of the line")
                                                                     : "'" + found.text + "'";
        throw InputCheckFailure("--model: the formula does not parse at " + where(found.offset) + ": expected " +
                                expected + ", found " + what + ".");
    }

    TraitFormula model() {
        TraitFormula trait;
        for (;;) {
            if (peek().kind != Token::name) fail("the name of a trait column", peek());
            const Token& response = tokens_[next_++];
            trait.responses.push_back({response.text, response.quoted, false, {}, response.offset + 1});
            if (!at_symbol(",")) break;
            ++next_;
        }
        expect("~", "'~' after the trait(s)");
        bool first = true;
        for (;;) {
            const bool minus = at_symbol("-");
            if (minus || at_symbol("+")) {
                if (first && !minus) fail("a term", peek());
                ++next_;
            } else if (!first) {
                break;
            }
            first = false;
            if (peek().kind == Token::name && !peek().quoted && (peek().text == "0" || peek().text == "1")) {
                const Token& number = tokens_[next_++];
                if (minus && number.text == "0") fail("'1' after '-' (\"-1\" drops the intercept)", number);
                trait.intercept = trait.intercept && !(minus || number.text == "0");
                continue;
            }
            if (minus) fail("'1' after '-' (\"-1\" drops the intercept)", peek());
            trait.terms.push_back(term());
        }
        return trait;
    }

    FormulaTerm term() {
        FormulaTerm crossed;
        crossed.at = peek().offset;
        for (;;) {
            crossed.factors.push_back(factor());
            if (!at_symbol(":")) break;
            ++next_;
        }
        for (const FormulaFactor& part : crossed.factors) {
            crossed.text += (crossed.text.empty() ? "" : ":") + factor_text(part);
        }
        return crossed;
    }

    static std::string factor_text(const FormulaFactor& part) {
        std::string text = part.quoted ? "`" + part.name + "`" : part.name;
        if (part.call) {
            text += "(";
            for (std::size_t a = 0; a < part.arguments.size(); ++a) {
                text += (a == 0 ? "" : ",") + part.arguments[a].text;
            }
            text += ")";
        }
        return text;
    }

    FormulaFactor factor() {
        if (peek().kind != Token::name) fail("a term (a column name, or a word such as animal)", peek());
        const Token& name = tokens_[next_++];
        FormulaFactor part{name.text, name.quoted, false, {}, name.offset + 1};
        if (!at_symbol("(")) return part;
        if (name.quoted) fail("a term after a backquoted column name, not '('", peek());
        ++next_;
        part.call = true;
        for (;;) {
            part.arguments.push_back(term());
            if (!at_symbol(",")) break;
            ++next_;
        }
        expect(")", "')' closing the call to " + name.text + "(");
        return part;
    }

    const std::string& text_;
    std::vector<Token> tokens_;
    std::size_t next_ = 0;
};

[[noreturn]] void refuse(const std::string& message) { throw InputCheckFailure("--model: " + message); }

bool plain(const FormulaFactor& part) { return !part.call; }

// The column of a header name; an unknown name is refused naming the term it is in.
int column_of(const FormulaFactor& part, const std::string& term, const std::vector<std::string>& header,
              const std::string& phenotype_file) {
    if (part.call) refuse("term " + term + ": " + part.name + "(...) is not a column.");
    if (!part.quoted && reserved(part.name)) {
        refuse("term " + term + ": " + part.name + " is a word of the formula; a column named so is written `" +
               part.name + "`.");
    }
    const auto found = std::find(header.begin() + 1, header.end(), part.name);
    if (found == header.end()) {
        refuse("term " + term + ": there is no column " + part.name + " in the header of " + phenotype_file +
               " (names are case-sensitive).");
    }
    return static_cast<int>(found - header.begin());
}

// The columns of the plain factors of a crossing (herd, herd:year).
std::vector<int> class_columns(const FormulaTerm& crossed, const std::string& term,
                               const std::vector<std::string>& header, const std::string& phenotype_file) {
    std::vector<int> columns;
    for (const FormulaFactor& part : crossed.factors) {
        columns.push_back(column_of(part, term, header, phenotype_file));
    }
    return columns;
}

ResolvedTerm resolve_term(const FormulaTerm& term, const std::vector<std::string>& header,
                          const std::string& phenotype_file) {
    ResolvedTerm resolved;
    resolved.name = term.text;
    const FormulaFactor& head = term.factors.front();
    const auto later = [&](const std::string& what) {
        refuse("term " + term.text + ": " + what + " is not available in this version.");
    };
    // A numeric column's value or Legendre curve, over all records or within classes.
    const auto derived = [&](const FormulaFactor& call, const std::vector<FormulaFactor>& classes) {
        const bool curve = call.name == "leg";
        if (call.arguments.size() != (curve ? 2u : 1u) || call.arguments[0].factors.size() != 1 ||
            !plain(call.arguments[0].factors[0])) {
            refuse("term " + term.text + ": write it as " + (curve ? "leg(column, k)" : "cov(column)") + ".");
        }
        resolved.kind = FormulaTermKind::fixed_derived;
        resolved.numeric = column_of(call.arguments[0].factors[0], term.text, header, phenotype_file);
        if (curve) {
            const std::string& k = call.arguments[1].text;
            if (k.empty() || k.size() > 2 || !std::all_of(k.begin(), k.end(), ::isdigit) || std::stoi(k) > 20) {
                refuse("term " + term.text + ": leg(column, k) takes the degree k, 0 to 20, not " + k + ".");
            }
            resolved.degree = std::stoi(k);
        }
        for (const FormulaFactor& part : classes) {
            resolved.columns.push_back(column_of(part, term.text, header, phenotype_file));
        }
        return resolved;
    };
    if (term.factors.size() > 1) {
        const FormulaFactor& last = term.factors.back();
        const bool classes_first = std::all_of(term.factors.begin(), term.factors.end() - 1, plain);
        const bool random_regression = std::any_of(term.factors.begin(), term.factors.end() - 1, [](const FormulaFactor& part) {
            return !part.quoted && (part.name == "animal" || part.name == "pe");
        });
        if (random_regression) {
            // animal:leg(x, k) and pe:leg(x, k): the effect's curve over a numeric column.
            if (term.factors.size() != 2 || head.call || head.quoted || !last.call || last.name != "leg") {
                refuse("term " + term.text + ": write a random regression as animal:leg(column, k) or pe:leg(column, k).");
            }
            derived(last, {});
            resolved.columns.clear();
            resolved.kind = head.name == "animal" ? FormulaTermKind::relationship : FormulaTermKind::permanent_environment;
            return resolved;
        }
        if (classes_first && last.call && (last.name == "cov" || last.name == "leg")) {
            return derived(last, std::vector<FormulaFactor>(term.factors.begin(), term.factors.end() - 1));
        }
        if (!std::all_of(term.factors.begin(), term.factors.end(), plain)) {
            later("a crossing with " + (head.call ? head.name : last.name) + "(...)");
        }
        resolved.kind = FormulaTermKind::fixed_class;
        resolved.columns = class_columns(term, term.text, header, phenotype_file);
        return resolved;
    }
    if (head.call && head.name == "leg") {
        return derived(head, {});
    }
    if (head.quoted) {
        resolved.kind = FormulaTermKind::fixed_class;
        resolved.columns = {column_of(head, term.text, header, phenotype_file)};
        return resolved;
    }
    const std::size_t arguments = head.arguments.size();
    const auto one_argument = [&](const char* form) {
        if (!head.call || arguments != 1) refuse("term " + term.text + ": write it as " + form + ".");
    };
    // The one column of maternal(dam) and pe(dam).
    const auto dam_column = [&](const FormulaFactor& call) {
        const FormulaTerm& argument = call.arguments[0];
        if (argument.factors.size() != 1) {
            refuse("term " + term.text + ": " + call.name + "() takes the one column of the dams' IDs.");
        }
        return column_of(argument.factors[0], term.text, header, phenotype_file);
    };
    if (head.name == "animal" || head.name == "pe") {
        if (head.call && head.name == "animal") later(head.name + "(...)");
        resolved.kind = head.name == "animal" ? FormulaTermKind::relationship : FormulaTermKind::permanent_environment;
        if (head.call) {  // pe(dam): the permanent environment of the record's dam
            one_argument("pe(dam), dam the column of the dams' IDs");
            resolved.columns = {dam_column(head)};
        }
        return resolved;
    }
    if (head.name == "maternal") {
        one_argument("maternal(dam), dam the column of the dams' IDs");
        resolved.kind = FormulaTermKind::maternal;
        resolved.columns = {dam_column(head)};
        return resolved;
    }
    if (head.name == "kin") {
        one_argument("kin(k), k the kinship's line in --mkin-file");
        const std::string& k = head.arguments[0].text;
        if (k.empty() || k.size() > 3 || !std::all_of(k.begin(), k.end(), ::isdigit) || std::stoi(k) < 1) {
            refuse("term " + term.text + ": kin(k) takes the kinship's line k in --mkin-file (1, 2, ...), not " + k +
                   ".");
        }
        resolved.kind = FormulaTermKind::relationship;
        resolved.relationship = std::stoi(k) - 1;
        return resolved;
    }
    if (head.name == "cov" || head.name == "rand") {
        one_argument(head.name == "cov" ? "cov(column)" : "rand(column) or rand(a:b)");
        const FormulaTerm& argument = head.arguments[0];
        if (argument.factors.size() > 1 && head.name == "cov") {
            refuse("term " + term.text + ": cov() takes one numeric column; a slope within classes is written "
                   "class:cov(x).");
        }
        if (!std::all_of(argument.factors.begin(), argument.factors.end(), plain)) {
            refuse("term " + term.text + ": " + head.name + "() takes columns, not " + argument.text + ".");
        }
        resolved.kind = head.name == "cov" ? FormulaTermKind::fixed_covariate : FormulaTermKind::random_class;
        resolved.columns = class_columns(argument, term.text, header, phenotype_file);
        return resolved;
    }
    if (head.call) {
        refuse("term " + term.text + ": " + head.name +
               "(...) is no term of the formula (the calls are cov, kin, rand, leg and maternal).");
    }
    resolved.kind = FormulaTermKind::fixed_class;
    resolved.columns = {column_of(head, term.text, header, phenotype_file)};
    return resolved;
}

bool is_random(const ResolvedTerm& term) {
    return term.kind == FormulaTermKind::relationship || term.kind == FormulaTermKind::permanent_environment ||
           term.kind == FormulaTermKind::random_class || term.kind == FormulaTermKind::maternal;
}

}  // namespace

ModelFormula parse_model_formula(const std::string& text) { return Parser(text).parse(); }

std::string model_formula_text(const std::string& value) {
    if (value.empty() || value[0] != '@') {
        return value;
    }
    const std::string path = value.substr(1);
    std::ifstream file(path);
    std::ostringstream contents;
    if (!file || !(contents << file.rdbuf())) {
        throw InputCheckFailure("--model " + value + ": the model file " + path + " cannot be read.");
    }
    return contents.str();
}

namespace {

std::vector<const ResolvedTerm*> all_terms(const ResolvedModel& model) {
    std::vector<const ResolvedTerm*> terms;
    for (const std::vector<ResolvedTerm>& fixed : model.fixed) {
        for (const ResolvedTerm& term : fixed) terms.push_back(&term);
    }
    for (const ResolvedTerm& term : model.random) terms.push_back(&term);
    return terms;
}

// A column plays one part in the model: a class is fitted fixed or random, not both, and is no
// covariate as well. A crossing may hold a column of another term (herd + rand(herd:year)), but
// is not fitted two ways itself.
void check_column_roles(const ResolvedModel& model, const std::vector<std::string>& header) {
    const std::vector<const ResolvedTerm*> terms = all_terms(model);
    for (const ResolvedTerm* a : terms) {
        for (const ResolvedTerm* b : terms) {
            // A curve or slope may share its columns with the fixed terms it refines.
            // maternal(dam) and pe(dam) are two effects of the one dam column.
            const auto of_dam = [](const ResolvedTerm* term) {
                return term->kind == FormulaTermKind::maternal ||
                       (term->kind == FormulaTermKind::permanent_environment && !term->columns.empty());
            };
            if (a->kind == b->kind || a->kind == FormulaTermKind::fixed_derived ||
                b->kind == FormulaTermKind::fixed_derived || (of_dam(a) && of_dam(b))) {
                continue;
            }
            if (a->columns.size() > 1 || b->columns.size() > 1) {
                std::vector<int> first = a->columns, second = b->columns;
                std::sort(first.begin(), first.end());
                std::sort(second.begin(), second.end());
                if (first == second) {
                    refuse("the classes of term " + a->name + " are also term " + b->name +
                           "; a crossing is fitted one way (fixed or random).");
                }
                continue;
            }
            for (int column : a->columns) {
                if (std::find(b->columns.begin(), b->columns.end(), column) != b->columns.end()) {
                    refuse("column " + header[static_cast<std::size_t>(column)] + " is in term " + a->name +
                           " and in term " + b->name + "; a column is fitted one way (a fixed class, a covariate "
                           "or a random class).");
                }
            }
        }
    }
}

}  // namespace

ResolvedModel resolve_model_formula(const ModelFormula& formula, const std::vector<std::string>& header,
                                    const std::string& phenotype_file) {
    ResolvedModel model;
    std::vector<std::string> random_terms;  // of the first model, as written
    for (std::size_t m = 0; m < formula.models.size(); ++m) {
        const TraitFormula& trait = formula.models[m];
        if (m == 0) {
            model.intercept = trait.intercept;
        } else if (trait.intercept != model.intercept) {
            refuse("the intercept is dropped for some traits and not others; drop it for all or none.");
        }
        std::vector<ResolvedTerm> fixed, random;
        std::vector<std::string> seen;
        for (const FormulaTerm& term : trait.terms) {
            ResolvedTerm resolved = resolve_term(term, header, phenotype_file);
            if (std::find(seen.begin(), seen.end(), resolved.name) != seen.end()) {
                refuse("term " + resolved.name + " is given twice; give each term once.");
            }
            seen.push_back(resolved.name);
            (is_random(resolved) ? random : fixed).push_back(std::move(resolved));
        }
        std::vector<std::string> names;
        for (const ResolvedTerm& term : random) names.push_back(term.name);
        if (m == 0) {
            random_terms = names;
            model.random = random;
        }
        const auto refuse_missing = [&](const std::vector<std::string>& from, const std::vector<std::string>& in,
                                        const TraitFormula& missing_from) {
            for (const std::string& name : from) {
                if (std::find(in.begin(), in.end(), name) == in.end()) {
                    refuse("the random term " + name + " is missing from the model of " +
                           missing_from.responses.front().name + "; every trait takes the same random terms.");
                }
            }
        };
        refuse_missing(random_terms, names, trait);
        refuse_missing(names, random_terms, formula.models.front());
        for (const FormulaFactor& trait_column : trait.responses) {
            const std::string& response = trait_column.name;
            const int column = column_of(trait_column, response, header, phenotype_file);
            if (std::find(model.traits.begin(), model.traits.end(), column) != model.traits.end()) {
                refuse("the trait " + response + " is given twice; give each trait once.");
            }
            model.traits.push_back(column);
            model.trait_names.push_back(response);
            model.fixed.push_back(fixed);
        }
    }
    check_column_roles(model, header);
    // No trait is a term of the model, of its own or of another trait.
    const std::vector<const ResolvedTerm*> terms = all_terms(model);
    for (std::size_t t = 0; t < model.traits.size(); ++t) {
        for (const ResolvedTerm* term : terms) {
            if (std::find(term->columns.begin(), term->columns.end(), model.traits[t]) != term->columns.end() ||
                term->numeric == model.traits[t]) {
                refuse("term " + term->name + ": " + model.trait_names[t] + " is a trait of the model; a trait "
                       "cannot be one of its terms.");
            }
        }
    }
    return model;
}
