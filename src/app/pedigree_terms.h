#pragma once

// The terms of a model on the sparse inverse of A (H): the dams of maternal effects among the
// pedigree's individuals, the sparse equations' terms from the model description, and the
// predictions of a factored solution.

#include <chrono>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/model_builder.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/monte_carlo_reml.h"

// The lower triangle of A^-1 or H^-1, the genotyped block added in.
SparseLower lower_triangle(const SparsePlusDense& inverse);

// The relationship's levels of a model with terms of the dam: a dam with no line in the
// pedigree joins it as a founder (a row of 1 in the inverse, its inbreeding 0), as a parent
// without a line does; the records without a dam are counted in the log. Without such terms the
// levels come back as they are.
RecordLevels pedigree_dams(Logger& logger, const ModelPlan& plan, const std::vector<std::string>& dam_ids,
                           RelationshipInverse& relationships, RecordLevels individuals);

// A's root from the pedigree's parents and inbreeding (Monte Carlo REML simulates records from
// it): a parent in an unknown parent group is unknown there; none for H, or where they were not
// kept.
PedigreeRoot pedigree_root(const RelationshipInverse& relationships);

// The sparse equations' terms of the model's random terms: a relationship's over `inverse` (with
// log|K| and its dense levels), the others over independent levels.
std::vector<SparseTerm> sparse_terms(const Model& model, const SparseLower& inverse, double log_determinant,
                                     const std::vector<Eigen::Index>& dense_levels);

// A model with more than the animal's one effect: terms of the dam, or several parts.
bool several_effects(const Model& model);

// The predictions of every effect of the model from a solution at `values` (theta, in the trait's
// units; the prediction error variances where the solution has them): each part of a term its own effect, named by the term (the first part) or
// the part, with its prior variance G0_aa times `relationship_diagonal` (1 + F, H's diagonal)
// over a relationship, G0_aa over independent levels.
std::vector<EffectPrediction> factored_effects(const Model& model, const SparseMmeEvaluator::Solution& solution,
                                               const Eigen::VectorXd& values, const Eigen::VectorXd& relationship_diagonal);

// Which of the model's components (component_names) are covariances within a term's block.
std::vector<bool> covariance_components(const Model& model);
// Whether a term of the model is a random regression.
bool has_curves(const Model& model);
// Where the random regressions are reported: the start, middle and end of their column's range
// among the records, then `extra` (--rr-points), each inside that range (InputCheckFailure
// naming the point otherwise).
std::vector<double> curve_points(const Model& model, const std::vector<double>& extra);
// The table of a model with random regressions: each component (V(<name>), C(<name>) for a
// covariance) with its SE; at each point x of the curves' column <col>: each regression's
// variance phi(x)'G0 phi(x) as V(<effect>)@<col>=x, Vp@<col>=x (every term's variance there and
// the residual) and each term's share <effect>/Vp@<col>=x (the heritability along the curve for
// animal), SEs by the delta method from `covariance` (empty: NA); then logL.
std::vector<ResultRow> curve_component_rows(const Model& model, const std::vector<double>& points,
                                            const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance,
                                            double log_likelihood);
// The readings of a regression's curve, each a name and the weights w of its coefficients whose
// w'u it is: <effect>@<col>=x at each of `points`, and <effect>:total, the sum over the column's
// integer values in its range.
std::vector<std::pair<std::string, Eigen::VectorXd>> curve_readings(const RandomTerm& term,
                                                                    const std::vector<double>& points);

// Each random regression's values along its curve for every level: <effect>@<col>=x at each
// point, phi(x)'u, and <effect>:total, the sum of phi(d)'u over the column's whole numbers d from
// its least to its largest value (a lactation's yield from test days), with prediction error
// variances from each level's block of `solution` where it has them and prior variances
// w'G0 w times `relationship_diagonal` over a relationship.
std::vector<EffectPrediction> curve_effects(const Model& model, const SparseMmeEvaluator::Solution& solution,
                                            const std::vector<double>& points, const Eigen::VectorXd& values,
                                            const Eigen::VectorXd& relationship_diagonal);

// What the factor and its selected inverse hold: the supernodal factor, its simplicial copy
// (indices and values) and the inverse on its pattern, 8 bytes each per non-zero.
constexpr double kBytesPerFactorNonzero = 32.0;

// The log's line of a factor's figures (its ordering, non-zeros and flops, the memory it takes
// with its selected inverse, the seconds of its analysis); returns that memory in bytes.
double report_factor(Logger& logger, const FactorFigures& figures, double seconds);

// Whether a factor foreseen from the blocks' graph (SparseEquations::foreseen_factor) is sure not
// to fit: it needs twice the free memory, so the symbolic analysis is not worth running. None
// foreseen (0 non-zeros): false.
bool surely_too_large(const FactorFigures& foreseen);

// The verdict of the equations solved by block PCG at the variances of --vc: RunFailure, "<what>
// did not converge", where they did not (the values file not written); else the iterations and
// seconds since `start` in the log.
void report_block_pcg(Logger& logger, const RunOptions& options, const BlockSolution& solved, const std::string& what,
                      std::chrono::steady_clock::time_point start);
