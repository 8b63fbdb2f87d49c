#pragma once

// --snp-effects: the marker effects behind the breeding values of a prediction with one genomic
// kinship, from the genotypes that built it (PREFIX.snp.txt).

#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "app/app.h"
#include "mixed_model/result_files.h"

class Logger;

// What the prediction gives the marker effects: the kinship's individuals, alpha with u = K alpha
// over them, K's diagonal and its column at one individual (to check that K is the G of the
// genotypes), and for a matrix T of values at the records (records x c) the variances
// Var(T_c' w) of the records' solution w (u = K Z' w), from which each effect's p follows.
struct MarkerEffectInputs {
    const std::vector<std::string>* kinship_ids = nullptr;
    Eigen::VectorXd alpha;
    Eigen::VectorXd diagonal;
    Eigen::VectorXd column;
    Eigen::Index column_individual = 0;
    std::vector<Eigen::Index> record_individuals;  // the kinship position of each record
    std::function<Eigen::VectorXd(const Eigen::MatrixXd&)> record_variances;
};
// Adds PREFIX.snp.txt to `results`; throws InputCheckFailure when the kinship is not the G of
// the genotypes (its diagonal or the column differ beyond the file's rounding) or the two do not
// hold the same individuals.
void add_marker_effects(const RunOptions& options, Logger& logger, const MarkerEffectInputs& inputs,
                        ResultTexts& results);
// Single-step: a = D Z' (G22 + 0.0001 I)^-1 u2 from the genotyped animals' values u2 (`ids` and
// `values`, in the order of the inverse's genotyped block) and `alpha` = (G22 + 0.0001 I)^-1 u2.
// `block_variances` gives Var(B' alpha) of centred genotype columns B whose rows follow the
// block; without it P is NA, and the log says why (`no_p_reason`). Adds PREFIX.snp.txt and
// PREFIX.manhattan.svg to `results`.
void add_single_step_marker_effects(const RunOptions& options, Logger& logger, const std::vector<std::string>& ids,
                                    const Eigen::VectorXd& values, const Eigen::VectorXd& alpha,
                                    const std::function<Eigen::VectorXd(const Eigen::MatrixXd&)>& block_variances,
                                    const std::string& no_p_reason, ResultTexts& results);
