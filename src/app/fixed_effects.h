#pragma once

// The fixed effects as every prediction run shows them: numeric covariates centred and scaled
// for the arithmetic and reported per unit of the column, aliased levels named.

#include <cstddef>
#include <string>
#include <vector>

#include <Eigen/Dense>

class Logger;

// A numeric covariate as the arithmetic sees it: (x - centre) / scale, so that its units change
// nothing in the estimation. A constant one becomes a zero column, which is never taken.
struct NumericScale {
    double centre = 0.0;
    double scale = 1.0;
    bool constant = false;
};

// Centres and scales the last `count` columns of both designs in place.
std::vector<NumericScale> standardise_numeric(Eigen::MatrixXd& full, Eigen::MatrixXd& reduced, std::size_t count);
// Fixed effects of the standardised design in the user's units: a slope per unit of the
// covariate, and the intercept at covariates 0 rather than at their means.
void unstandardise_effects(Eigen::MatrixXd& b, const std::vector<NumericScale>& numeric);
// "👏 Fixed effects were shown:", one line per label with b (already in the user's units), then
// a note for each level that is aliased with others (its effect shown as 0).
void print_fixed_effects(Logger& logger, const Eigen::MatrixXd& b, const Eigen::MatrixXd& full_design,
                         const std::vector<std::string>& labels, const std::vector<NumericScale>& numeric);
