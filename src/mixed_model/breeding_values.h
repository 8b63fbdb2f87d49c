#pragma once

#include "mixed_model/one_kinship_reml.h"

// ---- Breeding values --------------------------------------------------------------------------
// Solutions of the mixed model equations with lambda = (1 - h2) / h2, computed without
// inverting K, from the records' kinship already reduced (records = rows of y, the REML
// decomposition reused) and the kinship position of every record: b is the generalised
// least-squares estimate with H = Z K Z' + lambda I and u = K Z' H^-1 (y - X b), which equals
// the equations' solution whenever K is invertible and stays right when K is singular. K enters
// only through its columns at the records' positions (`kinship`, every record's position among
// kinship.positions), so the N x N matrix is never needed. When X is rank-deficient (the full
// design of the phenotype reader), columns are taken first, then from the last towards the
// second, and those that depend on the ones taken get the estimate 0: for the full design that
// is each covariate's first-met level, the reduced design's convention. Returns (b, u): b p x 1,
// u N x 1. Throws std::invalid_argument on disagreeing shapes or a record whose position has no
// column, and std::runtime_error when the fixed-effect equations are singular.
// The columns of X whose effects getEBV estimates (the others get 0), in the order it takes them.
std::vector<Eigen::Index> fixed_effect_columns(const Eigen::MatrixXd& X);
// The solution getEBV starts from: (b, w) with w = H^-1 (y - X b) per record, so that u = K Z' w.
// Throws RunFailure when the fixed-effect equations are singular.
std::pair<Eigen::MatrixXd, Eigen::VectorXd> mixed_model_solution(const ReducedKinship& records,
                                                                 const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                                                                 double h2);
// That b (X.cols() x 1) with its sampling covariance (X'V^-1 X)^-1, V = sa2 K + se2 I, over the
// columns it estimates (0 in the rows and columns of the others), from one pass over the records.
struct FixedEffectEstimate {
    Eigen::MatrixXd b;
    Eigen::MatrixXd covariance;
};
FixedEffectEstimate fixed_effect_estimate(const ReducedKinship& records, const Eigen::MatrixXd& X,
                                          const Eigen::MatrixXd& y, double sigma_a2, double sigma_e2);
std::pair<Eigen::MatrixXd, Eigen::MatrixXd> getEBV(const ReducedKinship& records,
                                                   const std::vector<Eigen::Index>& positions,
                                                   const KinshipColumns& kinship, const Eigen::MatrixXd& X,
                                                   const Eigen::MatrixXd& y, double h2);

// Prediction error variance of every breeding value (N of them), at the REML estimates:
// PEV_i = sa2 K_ii - sa2^2 K_i,r P K_r,i with r the records and P = V^-1 - V^-1 X (X'V^-1 X)^-1
// X'V^-1 X. From the records' reduction (band solves, no inverse of K or V) and the kinship's
// columns and diagonal as getEBV takes them: K_r,i is read from line r where i is a kept
// position, else from line i (its mirror, which read_kinship_columns checks against it), a
// block of individuals at a time. Rounding below 0 is set to 0. All 0 when sa2 = 0.
// K_i,r P K_r,i for columns K_r,i already rotated by Q', at given sa2, se2: the part of the
// prediction error variance that the records remove. Factors V once for any number of columns.
class RecordProjection {
public:
    // Throws RunFailure when V or X'V^-1 X is singular.
    RecordProjection(const ReducedKinship& records, const Eigen::MatrixXd& X, double sigma_a2, double sigma_e2);
    // With `shifts` (kept columns of X x columns: q of each individual over fixed group columns,
    // its value a + q'b) and `variance` sa2, `shift_terms` gets what the groups add to each
    // prediction error variance: q'C q (their own error, C = (X'V^-1 X)^-1) less 2 sa2 q'C X'V^-1 k
    // (their error covaries with a's by -sa2 C X'V^-1 k).
    Eigen::VectorXd quadratic_forms(const Eigen::MatrixXd& rotated, const Eigen::MatrixXd* shifts = nullptr,
                                    double variance = 0.0, Eigen::VectorXd* shift_terms = nullptr) const;

private:
    struct State;
    std::shared_ptr<const State> state;
};

// The same quadratic forms t'P t of columns over the records, from V = sa2 K + se2 I formed at
// the records (K: the kinship there) instead of the reduced kinship: one Cholesky V = L L', then
// t'P t = |L^-1 t|^2 - |Q'L^-1 t|^2 with Q an orthonormal basis of L^-1 X. A block of columns
// costs one triangular solve, n^2 per column: half the product of an n x n matrix, where the
// rotation to the reduced basis costs several. Throws RunFailure when V or X'V^-1 X is singular.
class CholeskyRecordProjection {
public:
    CholeskyRecordProjection(Eigen::MatrixXd K, const Eigen::MatrixXd& X, double sigma_a2, double sigma_e2);
    Eigen::VectorXd quadratic_forms(Eigen::MatrixXd columns) const;

private:
    Eigen::MatrixXd factor_;  // L, lower triangle
    Eigen::MatrixXd basis_;   // Q
};

// `shifts`: as RecordProjection takes them, one column per individual (a + Qg with fixed groups).
Eigen::VectorXd prediction_error_variances(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                           const KinshipColumns& kinship, const Eigen::MatrixXd& X, double sigma_a2,
                                           double sigma_e2, const Eigen::MatrixXd* shifts = nullptr);

// The one kinship's term at the components: every individual's breeding value (getEBV at h2),
// its prediction error variance and its prior variance sa2 K_ii, in `effect` (without its name
// and IDs, which are the route's), with b over the columns of X. `shifts` (kept columns of X x
// N): fixed unknown parent groups, each value a + q'b with the groups' part of its error.
struct BandPrediction {
    EffectPrediction effect;
    Eigen::MatrixXd b;
};
BandPrediction predict_breeding_values(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                       const KinshipColumns& kinship, const Eigen::MatrixXd& X,
                                       const Eigen::MatrixXd& y, double h2, double sigma_a2, double sigma_e2,
                                       const Eigen::MatrixXd* shifts = nullptr);
