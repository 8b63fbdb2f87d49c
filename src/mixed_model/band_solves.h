#pragma once

// Solves with the records' kinship in band form, private to the mixed model: the rotations by
// Q and the LU of scale_b B + shift I that every REML and BLUP quantity is built from.

#include <vector>

#include <Eigen/Dense>

#include "mixed_model/mixed_model.h"

// Q' C and Q C for an n-row C.
Eigen::MatrixXd rotate_to_reduced(const ReducedKinship& kinship, Eigen::MatrixXd C);
Eigen::MatrixXd rotate_from_reduced(const ReducedKinship& kinship, Eigen::MatrixXd C);
// Q' [X(:, kept) y]: the kept design columns and then the trait, rotated in one pass.
Eigen::MatrixXd rotate_design_and_trait(const ReducedKinship& kinship, const Eigen::MatrixXd& X,
                                        const std::vector<Eigen::Index>& kept, const Eigen::MatrixXd& y);

// LU with partial pivoting of scale_b B + shift I (LAPACK dgbtrf). `singular` is set for an
// exact zero pivot; solving then gives NaN, as a dense LU inverse gives no finite result.
struct ShiftedBandLU {
    Eigen::MatrixXd factors;  // (3 bandwidth + 1) x n, dgbtrf storage
    std::vector<int> pivots;
    int bandwidth = 0;
    bool singular = false;
};
ShiftedBandLU factor_shifted_band(const ReducedKinship& kinship, double scale_b, double shift);
// (scale_b B + shift I)^-1 B_rhs.
Eigen::MatrixXd solve_factored(const ShiftedBandLU& lu, Eigen::MatrixXd B_rhs);
Eigen::MatrixXd solve_shifted_band(const ReducedKinship& kinship, double scale_b, double shift, Eigen::MatrixXd B_rhs);
// B C.
Eigen::MatrixXd multiply_band(const ReducedKinship& kinship, const Eigen::MatrixXd& C);
