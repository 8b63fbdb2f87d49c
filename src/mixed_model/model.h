#pragma once

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
};

struct Model {
    Response response;
    FixedDesign fixed;
};
