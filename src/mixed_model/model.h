#pragma once

#include <optional>

#include "mixed_model/ai_reml.h"

// ---- The model description --------------------------------------------------------------------
// A model as plain data, the same for every route: the response, the fixed part, the random
// terms and the residual. Readers and the builder fill it; evaluators and the parameters of the
// driver are made from it.

// A numeric covariate as the arithmetic sees it: (x - centre) / scale, so that its units change
// nothing in the estimation. A constant one becomes a zero column, which is never taken.
struct NumericScale {
    double centre = 0.0;
    double scale = 1.0;
    bool constant = false;
};

// The records: one row each, one column per trait (NaN where a trait is missing), and the ID of
// the individual each belongs to.
struct Response {
    Eigen::MatrixXd y;
    std::vector<std::string> record_ids;
};

// The fixed effects, the same columns for every trait. The full design holds the intercept and
// one indicator column per level of every class covariate, then the numeric covariates; the
// reduced one leaves out each class's first-met level. Labels name the full design's columns
// ("Intercept", "Covar<1-based column>_<level>", then the numeric covariates' names); `numeric`
// is the scaling of the last numeric.size() columns of both designs, once they are scaled.
struct FixedDesign {
    Eigen::MatrixXd full;
    Eigen::MatrixXd reduced;
    std::vector<std::string> labels;
    std::vector<NumericScale> numeric;
    std::vector<int> sources;  // per column of the full design, the input column it comes from; -1: the intercept
    Eigen::Index numeric_columns = 0;  // the last columns of both designs that are numeric (covariates, slopes, curves)
    // Per column of the full design: the effect's name (a header's, "Intercept") and the level of
    // a class ("" for the intercept and numeric covariates).
    std::vector<std::string> effects, levels;
    // False for a model written without its intercept: the design keeps it (the same fit), and
    // the results give the first class's levels from 0 instead.
    bool intercept = true;
};

// How the levels of a random term's part covary: through one of the run's relationships (a
// kinship, or the sparse inverse of A or H), or independently.
enum class LevelCovariance { relationship, identity };

// A part of a random term: the level of every record (0-based) and the names of the levels in
// that order; `covariate` multiplies a record's level (a regression), empty for 1 on every record.
struct TermPart {
    std::vector<Eigen::Index> level_of_record;
    std::vector<std::string> levels;
    Eigen::VectorXd covariate;
    LevelCovariance covariance = LevelCovariance::identity;
    int relationship = -1;  // which of the run's relationships, for LevelCovariance::relationship
    std::string name{};     // a second part's, as written (maternal(dam)); the first is named by its term
};

// A random term, named as in the tables ("Add", "K1", "PE", a class column's header). Its parts
// share one covariance block among them and the traits.
struct RandomTerm {
    std::string name;
    std::vector<TermPart> parts;
    // A random regression's curve: parts j = 0..k carry phi_j of the column `curve` (named so),
    // over its range among the records, [low, high].
    struct Curve {
        std::string column;
        double low = 0.0, high = 0.0;
    };
    std::optional<Curve> curve{};
};

// The residual: one variance (one covariance matrix among the traits), or one per class of a
// column; a record's is divided by its weight, when there are weights.
struct ResidualTerm {
    std::string name = "e";
    Eigen::VectorXd weights;  // per record; empty: every record weighs 1
    std::string weights_column;
    std::vector<Eigen::Index> class_of_record;  // empty: one variance
    std::vector<std::string> classes;           // the levels, first met among the records
    std::string by;                             // the column of the classes

    // "e", or "e:<level>" for each class.
    std::vector<std::string> component_names() const;
};

struct Model {
    Response response;
    FixedDesign fixed;
    std::vector<RandomTerm> terms;
    ResidualTerm residual;

    // The names of the components of one trait: the terms' (a term of several parts its block's
    // lower triangle row by row, each part named by its own name or, without one, the term's,
    // a covariance "<part b>,<part a>": the direct and maternal effects "<term>",
    // "<term>,<part>", "<part>"), then the residual's (one per class).
    std::vector<std::string> component_names() const;
};

// The predictions of one random effect of a model with several: its levels (individuals, or
// the levels of a random class), their BLUPs, prediction error variances and prior variances.
struct EffectPrediction {
    std::string name;
    std::string trait;  // of a model of several traits; "" for the run's one trait
    std::vector<std::string> ids;
    Eigen::VectorXd values;
    Eigen::VectorXd error_variances;
    Eigen::VectorXd prior_variances;  // sigma2_k K_ii (sigma2_k for an independent effect)
};

// The covariance blocks of the driver for random terms named `terms` and the residual, each over
// the traits named `traits`, from their start matrices (`starts`: one per term, then the
// residual's), the variances of the terms at least 0 and the residual's at least
// `residual_limit`. `name(block, element)` names a component from its block's name (a term's,
// or the residual's, `residual_name`) and its traits ("" for one trait, "t1" or "t1,t2").
std::vector<CovarianceBlock> variance_blocks(
    const std::vector<std::string>& terms, const std::string& residual_name, const std::vector<std::string>& traits,
    const std::vector<Eigen::MatrixXd>& starts, double residual_limit,
    const std::function<std::string(const std::string&, const std::string&)>& name);
