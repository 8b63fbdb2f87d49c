#pragma once

// The one Cholesky factorisation with a condition estimate, and the inverse of a symmetric
// positive definite matrix from it, both in place on the lower triangle (the single-step H and
// the inverses of G22 and A22).

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include <Eigen/Core>
#include <cblas.h>

#include "linear_algebra/lapack.h"

// Reciprocal condition numbers below this mean "singular to working precision".
constexpr double kSingularRcond = std::numeric_limits<double>::epsilon();

// LAPACK takes the order as an int; `what` names the caller's matrix in the message.
inline int lapack_order(Eigen::Index n, const char* what) {
    if (n > std::numeric_limits<int>::max()) {
        throw std::runtime_error(std::string(what) + ": the matrices are too large for the linear algebra library.");
    }
    return static_cast<int>(n);
}

// Lower Cholesky factor of the symmetric M in place (its strict upper triangle is not read or
// written). Returns the reciprocal condition number estimate, 0 when M is not positive definite.
inline double cholesky_in_place(Eigen::MatrixXd& M, const char* what = "Cholesky") {
    const int n = lapack_order(M.rows(), what);
    if (n == 0) {
        return 1.0;
    }
    // The 1-norm of the symmetric matrix from its lower triangle.
    double norm = 0.0;
    for (Eigen::Index c = 0; c < M.cols(); ++c) {
        double column = M.col(c).tail(M.rows() - c).cwiseAbs().sum() + M.row(c).head(c).cwiseAbs().sum();
        norm = std::max(norm, column);
    }
    int info = 0;
    dpotrf_("L", &n, M.data(), &n, &info, 1);
    if (info != 0) {
        return 0.0;
    }
    double rcond = 0.0;
    std::vector<double> work(3 * static_cast<std::size_t>(n));
    std::vector<int> iwork(static_cast<std::size_t>(n));
    dpocon_("L", &n, M.data(), &n, &norm, &rcond, work.data(), iwork.data(), &info, 1);
    return rcond;
}

// log|M| of the symmetric M from its Cholesky factor, computed in place; NaN when M is not
// positive definite.
inline double log_determinant_in_place(Eigen::MatrixXd& M, const char* what = "Cholesky") {
    if (!(cholesky_in_place(M, what) > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    return 2.0 * M.diagonal().array().log().sum();
}

// M^-1 of the symmetric positive definite M in place, lower triangle only (the strict upper
// triangle keeps whatever it held). Returns the reciprocal condition number of M; when it is
// not above kSingularRcond, M holds its partial factor and must not be used.
inline double positive_definite_inverse_in_place(Eigen::MatrixXd& M, const char* what = "Inverse") {
    const double rcond = cholesky_in_place(M, what);
    if (!(rcond > kSingularRcond)) {
        return rcond;
    }
    const int n = lapack_order(M.rows(), what);
    int info = 0;
    dpotri_("L", &n, M.data(), &n, &info, 1);
    return info == 0 ? rcond : 0.0;
}

// B := L^-1 B with L the lower triangle of `factor`'s trailing order-B.rows() block (all of it
// when the orders agree), by BLAS over the cores.
inline void solve_lower_in_place(const Eigen::MatrixXd& factor, Eigen::MatrixXd& B) {
    if (B.size() == 0) return;
    const Eigen::Index skip = factor.rows() - B.rows();
    cblas_dtrsm(CblasColMajor, CblasLeft, CblasLower, CblasNoTrans, CblasNonUnit, static_cast<int>(B.rows()),
                static_cast<int>(B.cols()), 1.0, factor.data() + skip * (factor.rows() + 1),
                static_cast<int>(factor.rows()), B.data(), static_cast<int>(B.rows()));
}
