#pragma once

#include "mixed_model/iterative_blup.h"

// ---- Result files -----------------------------------------------------------------------------
// Result files are written under temporary names and put in place only when complete; the
// files of one prediction are put in place together, so that a failure keeps the earlier set
// whole. On failure nothing is replaced and OutputFailure (log/failures.h) says why.
// The files of one job, (name, text) each, written under temporary names and renamed into
// place together once all are complete: a failure leaves every earlier result as it was.
using ResultTexts = std::vector<std::pair<std::string, std::string>>;
void write_result_set(const ResultTexts& files);
// A number of a result table: the shortest text that reads back to the same double, "NA" for NaN.
void write_exact_cell(std::ostream& out, double value);
// writeRanEffToFile and write_variance_file write one file alone; the add_... functions add theirs
// to the set of a job.
// Header "Sample_ID,Ran_Effects", then "ID\tvalue" per row (column 0, default stream format).
void add_random_file(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                     const std::string& filename);
void writeRanEffToFile(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                       const std::string& filename);
// PREFIX.random.txt as writeRanEffToFile and PREFIX.reliability.txt beside it: header
// "ID\tEBV\tSE\tReliability", then per individual its breeding value, SE = sqrt(PEV) and
// reliability 1 - PEV / (sa2 K_ii) ("NA" where sa2 K_ii is 0).
void add_breeding_value_files(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const Eigen::VectorXd& pev,
                              const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& ids,
                              const std::string& values_name, const std::string& reliability_name);
// The long layout of models other than one kinship: "Effect\tTrait\tID\tValue" in the values
// file and "Effect\tTrait\tID\tEBV\tSE\tReliability" in the reliability file, one row per
// effect and level; Trait is the effect's own trait, or `trait`.
void add_effect_files(ResultTexts& set, const std::vector<EffectPrediction>& effects, const std::string& trait,
                      const std::string& values_name, const std::string& reliability_name);
// PREFIX.reliability.txt of a route that says how its prediction error variances were had: the
// layout of add_breeding_value_files (the long one of add_effect_files with `long_layout`) and a
// last column Method, `method` on every row ("approximate", or "exact" from the inverse of the
// equations).
void add_approximate_reliability_file(ResultTexts& set, const EffectPrediction& effect, const std::string& trait,
                                      bool long_layout, const std::string& reliability_name,
                                      const std::string& method = "approximate");
// The values file alone, for a route without prediction error variances.
void add_effect_values_file(ResultTexts& set, const std::vector<EffectPrediction>& effects, const std::string& trait,
                            const std::string& values_name);
// A fixed effect of PREFIX.fixed.txt: its trait, the effect (the column's header name,
// "Intercept" for the intercept), the level of a class ("" otherwise), the estimate and its SE
// in the trait's units (NaN: "NA") and its status: "estimated", "reference" (the first level of
// a class, held at 0), "aliased" (a combination of other effects, held at 0) or "no_records"
// (no record of the trait carries it).
struct FixedEffectRow {
    std::string trait, effect, level;
    double estimate = 0.0, se = 0.0;
    std::string status;
};
// Header "Trait\tEffect\tLevel\tEstimate\tSE\tStatus", then one row each, the numbers as in the
// variance file (the shortest text that reads back to the same double).
void add_fixed_effects_file(ResultTexts& set, const std::vector<FixedEffectRow>& rows, const std::string& filename);

// sa2 K_ii - removed (the part the records explain), with rounding of the kinship just below 0
// read as 0; NaN when it lies below 0 beyond rounding or K_ii < 0, which no relationship matrix
// gives (a row whose diagonal is below what its relationships with the records imply).
double error_variance_or_nan(double genetic_variance, double removed);
