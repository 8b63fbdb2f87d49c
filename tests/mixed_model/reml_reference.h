#pragma once

// Literal dense versions of the AI iteration and of the mixed model equations: every matrix
// formed as the textbook formulas write it (V, V^-1 and P by LU, the quadratic forms evaluated
// left to right from y', K^-1 in the equations). O(n^3) per iteration; the reference that the
// band-reduction fast paths are checked against, and the baseline of bench/reml.

#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "mixed_model/mixed_model.h"

// A line of the one-kinship trace, in the trait's units.
struct TraceRow {
    int iteration = 0;
    double log_likelihood = 0.0;
    double sigma_a2 = 0.0;
    double sigma_e2 = 0.0;
    double change_a2 = 0.0;
    double change_e2 = 0.0;
    RemlStep step = RemlStep::ai;
};
// The trace of a run as its log prints it.
std::vector<TraceRow> trace_rows(const RemlResult& fit);

// `iterations` plain AI iterations from sa2 = h2_init var(y), se2 = (1 - h2_init) var(y), with
// no safeguard and no stopping rule: the trace the fast path must print while it takes full steps.
std::vector<TraceRow> literal_ai_iterations(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                            const Eigen::MatrixXd& y, int iterations, double h2_init);

using MixedModelSolution = std::pair<Eigen::MatrixXd, Eigen::MatrixXd>;  // (b, u)

// Henderson's mixed model equations with K^-1, solved by an explicit LU inverse of C.
// Valid only for an invertible K and a full-rank X.
MixedModelSolution reference_mme(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                 const Eigen::MatrixXd& y, double h2);

// The equations written with K instead of K^-1 (u = K alpha): valid for a singular K too.
MixedModelSolution reference_mme_singular(const Eigen::MatrixXd& Z, const Eigen::MatrixXd& K,
                                          const Eigen::MatrixXd& X, const Eigen::MatrixXd& y, double h2);
