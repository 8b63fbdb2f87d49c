#pragma once

#include "mixed_model/breeding_values.h"

// ---- Breeding values by iteration (a sparse inverse relationship matrix) ----------------------
// The mixed model equations [X'X X'Z; Z'X Z'Z + lambda R] [b; u] = [X'y; Z'y], lambda = se2 / sa2,
// with R the inverse relationship matrix (A^-1, or H^-1 as a sparse matrix plus the dense block
// of the genotyped), solved by conjugate gradients preconditioned with the inverse of X'X for the
// fixed effects and the diagonal of Z'Z + lambda R for the breeding values. The coefficient
// matrix is never formed: each iteration applies it as X and the record-to-individual index
// (Z), plus one product with R. Converged when ||rhs - C x|| / ||rhs|| <= tolerance, checked on
// the residual recomputed from x (the recursive one drifts); at most max_iterations.
struct IterativeSolution {
    Eigen::VectorXd b;  // one per column of X
    Eigen::VectorXd u;  // one per row of R
    int iterations = 0;
    double relative_residual = 0.0;
    bool converged = false;
    bool stalled = false;  // the residual stopped falling above the tolerance: the equations' rounding
};
// `record_levels`: the row of R of every record (row of X and y). X must have full column rank
// (fixed_effect_columns picks such columns). With sa2 = 0 every u is 0 and b is the least-squares
// fit. `on_iteration` sees (iteration, relative residual) after every iteration. Throws
// std::invalid_argument on disagreeing shapes, RunFailure when X'X is singular or the iteration
// breaks down (a coefficient matrix that is not positive definite). `record_weights`, when given,
// makes a record's residual variance se2 / weight (R^-1 = W / se2 in the equations).
IterativeSolution solve_mixed_model_pcg(const Eigen::MatrixXd& X, const std::vector<Eigen::Index>& record_levels,
                                        const Eigen::VectorXd& y, const SparsePlusDense& relationship_inverse,
                                        double sigma_a2, double sigma_e2, double tolerance, int max_iterations,
                                        const std::function<void(int, double)>& on_iteration = {},
                                        const Eigen::VectorXd& record_weights = {});
