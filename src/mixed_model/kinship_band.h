#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "kinship_io/kinship_io.h"
#include "linear_algebra/sparse_plus_dense.h"
#include "log/failures.h"

class Logger;

// Animal model y = X b + Z u + e, u ~ N(0, sa2 K), e ~ N(0, se2 I), one record per row of y.

// ---- Kinship of the records reduced to band form ---------------------------------------------
// K = Q B Q' with Q orthogonal (Householder blocks, LAPACK dsytrd_sy2sb, lower triangle) and B
// symmetric with `bandwidth` sub-diagonals. With V = sa2 K + se2 I = Q (sa2 B + se2 I) Q', every
// REML quantity follows from y and X rotated once by Q', band solves and the eigenvalues of B
// (= those of K), so an iteration costs O(n (p + bandwidth)^2) instead of the O(n^3) of forming
// V^-1. The reduction is made of matrix products, which keep both cores busy; the classical
// one-stage reduction to tridiagonal form spends half its work in matrix-vector products.
// Q held elsewhere, as the reflectors of a reduction spread over MPI ranks: applies Q' or Q to
// n-row columns that every rank holds the same. Each call is collective over those ranks.
class KinshipRotation {
public:
    virtual ~KinshipRotation() = default;
    virtual Eigen::MatrixXd apply(Eigen::MatrixXd C, bool transposed) const = 0;
};

struct ReducedKinship {
    std::shared_ptr<const KinshipRotation> rotation;  // when set, Q is there and `reflectors` is empty
    Eigen::MatrixXd reflectors;  // n x n, dsytrd_sy2sb output: Householder vectors below the band
    Eigen::VectorXd tau;         // n - bandwidth reflector scales (at least 1 entry)
    Eigen::MatrixXd band;        // (bandwidth + 1) x n, LAPACK lower band storage: B(i, j) at (i - j, j)
    int bandwidth = 0;
    Eigen::VectorXd eigenvalues;  // n, of B and so of K, ascending
    // Leading directions of the reduced basis that stand for eigenvalues set to 0 because the
    // kinship's rounding decides them (without_rounding_eigenvalues): a kinship column or a
    // solution has no part there.
    Eigen::Index cleared = 0;
};

// Reduces the lower triangle of the symmetric K (taken by value: its storage becomes the
// reflectors); the bandwidth is taken between 1 and n - 1. Throws std::runtime_error when LAPACK reports
// a failure.
ReducedKinship reduce_kinship_cpp(Eigen::MatrixXd K, int bandwidth = 64);
// The kinship of a band form with its eigenvalues at or below `bound` (those a 4-decimal text can
// leave below 0 or above it by rounding alone) set to 0: diagonal in the basis of Q V, V the
// eigenvectors of the band B (`vectors`, n x n). The rotation refers to `kinship`, which must
// outlive it.
struct RoundingFreeKinship {
    ReducedKinship kinship;
    std::shared_ptr<const Eigen::MatrixXd> vectors;
    Eigen::Index cleared = 0;  // eigenvalues set to 0
};
RoundingFreeKinship without_rounding_eigenvalues(const ReducedKinship& kinship, double bound);
// The same from K itself (the lower triangle), without a band form: K = Q T Q' (tridiagonal)
// and T = Z D Z' by divide and conquer, several times faster than the band form's eigenvectors.
// The kinship is diagonal in the basis U = Q Z, which its rotation applies to columns without
// forming U (Q stays as its reflectors: REML rotates only the records' few columns).
RoundingFreeKinship kinship_eigen_form(Eigen::MatrixXd K, double bound);
// Indices of the columns of X that are not linear combinations of columns taken before them,
// visiting the columns in `order`. A zero column is never taken.
std::vector<Eigen::Index> independent_columns(const Eigen::MatrixXd& X, const std::vector<Eigen::Index>& order);
