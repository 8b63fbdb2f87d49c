#pragma once

// REML and prediction over the ranks of mpirun: the records' kinship is read straight into
// ScaLAPACK's block-cyclic layout and reduced to tridiagonal form there, so that no rank holds
// an n x n matrix; the iterations, O(n) each, then run on every rank alike. Every call here is
// collective.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "kinship_io/kinship_source.h"
#include "mixed_model/mixed_model.h"

class Logger;

// Whether this build can spread REML and prediction over the ranks.
bool distributed_mixed_model_available();

// The records' kinship K(positions, positions), read by every rank for its own blocks, reduced
// over the ranks: a ReducedKinship of bandwidth 1 whose rotation is applied over the ranks.
// Throws, on every rank, the failure of any rank (an unreadable file, too little memory).
ReducedKinship distributed_records_reduction(Logger& logger, const KinshipSource& source,
                                             const std::vector<std::int64_t>& positions);

// Breeding values u = K Z' w of all N individuals, their prediction error variances at (sa2,
// se2) and sa2 K_ii, from the kinship read in panels of individuals. The same on every rank.
struct DistributedPrediction {
    Eigen::VectorXd breeding_values;
    Eigen::VectorXd error_variances;
    Eigen::VectorXd genetic_variances;
};
DistributedPrediction distributed_breeding_values(Logger& logger, const KinshipSource& source,
                                                  const std::vector<std::int64_t>& positions,
                                                  const ReducedKinship& records, const Eigen::VectorXd& w,
                                                  const Eigen::MatrixXd& X, double sigma_a2, double sigma_e2);

// Rank 0's values of the estimate on every rank, so that every rank takes the same path after it.
void agree_on_estimate(RemlResult& reml);
