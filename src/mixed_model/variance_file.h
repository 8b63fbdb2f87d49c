#pragma once

#include "mixed_model/result_files.h"

// ---- Variance components file (PREFIX.vc.txt) -------------------------------------------------
// One row of the variance components file: a source, its estimate and its standard error; NaN
// is written as "NA" (a given value has no SE, a test statistic no SE but its p-value there).
struct ResultRow {
    std::string source;
    double estimate = 0.0;
    double se = 0.0;
    bool whole = false;  // a count, written in full rather than to 6 significant digits
};
// The rows of a model with one residual: V(<name>) for each component and V(e) (`estimates`
// has the residual last), Vp, <name>/Vp for each component but the residual, then
// "Repeatability" when `repeatable` names components (the share of their sum: the kinships and
// the permanent environment of repeated records), and logL. `covariance` is the sampling
// covariance of the estimates (SEs of the shares by the delta method); empty for given values,
// whose SEs are NA. A NaN log_likelihood is written as NA. The caller appends the LRT rows and
// the counts (`count_rows`).
// With several residual variances (`residuals`, one per class, e.g. "e:H1"): V(<residual>) for
// each, then per class Vp(<residual>) (the terms and that residual), <name>/Vp(<residual>) and
// Repeatability(<residual>).
std::vector<ResultRow> variance_component_rows(const std::vector<std::string>& names, const Eigen::VectorXd& estimates,
                                               const Eigen::MatrixXd& covariance, const std::vector<int>& repeatable,
                                               double log_likelihood,
                                               const std::vector<std::string>& residuals = {"e"});
// The rows of a model of several traits: every component (trait_component_names), Vp(<t>),
// h2(<t>), rg(<t1>,<t2>) and re(<t1>,<t2>) (pairs in the order of the triangles), logL; SEs by
// the delta method from `covariance` (the components' sampling covariance; empty: NA). A
// correlation with a variance of 0 is NA. With residual classes (`residual_names` "e:<level>"),
// Vp, h2 and re are given for each class in turn, named Vp:<level>(<t>) and so on. With maternal
// effects (`maternal`, their term's name; TraitLayout's Vg of 2t rows), Vp(<t>) holds the direct
// and maternal variances and their covariance once, h2(<t>) is the direct share, followed by
// h2_maternal(<t>) and h2_total(<t>) = (s2a + 1.5 sam + 0.5 s2m) / Vp, and rg runs over the rows
// of Vg (genetic_labels). With the dam's permanent environment (`dam_environment`, Vpe after Vg)
// Vp(<t>) holds Vpe(<t>) too, c2(<t>) is its share (after h2 and the maternal shares), and
// rpe(<t1>,<t2>) follow rg.
std::vector<ResultRow> trait_component_rows(const std::vector<std::string>& traits, const Eigen::VectorXd& estimates,
                                            const Eigen::MatrixXd& covariance, double log_likelihood,
                                            const std::vector<std::string>& residual_names = {"e"},
                                            const std::string& maternal = "", bool dam_environment = false);
// The rows of a model with direct and maternal effects: `names` every component's (the residual
// last), those at `maternal`, +1, +2 the direct's variance, the direct-maternal covariance and
// the maternal variance. V(<name>) for each variance and C(<direct>,<maternal>) for the
// covariance, Vp (the sum of all, the covariance once: a record's variance when the dam is the
// individual's parent), each variance's share <name>/Vp, r(<direct>,<maternal>) and the total
// heritability h2_total = (s2a + 1.5 sam + 0.5 s2m) / Vp, with SEs by the delta method from
// `covariance` (empty: NA), then logL. With `residuals` classes (the last components, named
// e:<level>), Vp, the shares and h2_total are given for each class, suffixed (e:<level>).
std::vector<ResultRow> maternal_component_rows(const std::vector<std::string>& names, Eigen::Index maternal,
                                               const Eigen::VectorXd& estimates, const Eigen::MatrixXd& covariance,
                                               double log_likelihood, std::size_t residuals = 1);
// n_records and n_individuals.
std::vector<ResultRow> count_rows(std::size_t n_records, std::size_t n_individuals);
// Header "Source\tEstimate\tSE", one tab-separated line per row, numbers as the shortest text
// that reads back to the same double (a row copied into --vc is the value estimated), "NA" for NaN. Written like every result (PendingFile); throws
// OutputFailure when it cannot be.
void add_variance_file(ResultTexts& set, const std::vector<ResultRow>& rows, const std::string& filename);
void write_variance_file(const std::vector<ResultRow>& rows, const std::string& filename);
