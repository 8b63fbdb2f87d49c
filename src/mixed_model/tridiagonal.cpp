#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "mixed_model/mixed_model.h"

// LAPACK from OpenBLAS. Fortran passes the length of every character argument as a hidden
// trailing argument; it is given explicitly so that calls stay correct with gfortran builds.
extern "C" {
void dsytrd_(const char* uplo, const int* n, double* a, const int* lda, double* d, double* e, double* tau,
             double* work, const int* lwork, int* info, std::size_t uplo_len);
void dsterf_(const int* n, double* d, double* e, int* info);
void dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n, const double* a,
             const int* lda, const double* tau, double* c, const int* ldc, double* work, const int* lwork, int* info,
             std::size_t side_len, std::size_t uplo_len, std::size_t trans_len);
void dgttrf_(const int* n, double* dl, double* d, double* du, double* du2, int* ipiv, int* info);
void dgttrs_(const char* trans, const int* n, const int* nrhs, const double* dl, const double* d, const double* du,
             const double* du2, const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
}

namespace {

// LAPACK indexes with 32-bit integers, also inside the n x n array.
int lapack_size(Eigen::Index n) {
    constexpr Eigen::Index kLargest = 46340;  // n^2 < 2^31
    if (n > kLargest) {
        throw std::runtime_error("❎ Error: " + std::to_string(n) + " records are more than the " +
                                 std::to_string(kLargest) + " that the eigenvalue routines can index.");
    }
    return static_cast<int>(n);
}

Eigen::MatrixXd apply_q(const KinshipTridiagonal& kinship, Eigen::MatrixXd C, const char* trans) {
    const int n = lapack_size(kinship.reflectors.rows());
    if (C.rows() != n) {
        throw std::invalid_argument("Rotation by the kinship reflectors needs " + std::to_string(n) + " rows, got " +
                                    std::to_string(C.rows()) + ".");
    }
    const int columns = static_cast<int>(C.cols());
    if (n <= 1 || columns == 0) {
        return C;  // Q is the identity
    }
    int info = 0;
    int lwork = -1;
    double query = 0.0;
    dormtr_("L", "L", trans, &n, &columns, kinship.reflectors.data(), &n, kinship.tau.data(), C.data(), &n, &query,
            &lwork, &info, 1, 1, 1);
    lwork = std::max(1, static_cast<int>(query));
    Eigen::VectorXd work(lwork);
    dormtr_("L", "L", trans, &n, &columns, kinship.reflectors.data(), &n, kinship.tau.data(), C.data(), &n,
            work.data(), &lwork, &info, 1, 1, 1);
    if (info != 0) {
        throw std::runtime_error("LAPACK dormtr failed with code " + std::to_string(info) + ".");
    }
    return C;
}

}  // namespace

KinshipTridiagonal reduce_kinship_cpp(Eigen::MatrixXd K) {
    if (K.rows() != K.cols()) {
        throw std::invalid_argument("The kinship matrix of the records must be square.");
    }
    const int n = lapack_size(K.rows());
    KinshipTridiagonal result;
    result.diagonal.resize(n);
    result.off_diagonal.setZero(std::max(1, n - 1));
    result.tau.setZero(std::max(1, n - 1));
    if (n > 0) {
        int info = 0;
        int lwork = -1;
        double query = 0.0;
        dsytrd_("L", &n, K.data(), &n, result.diagonal.data(), result.off_diagonal.data(), result.tau.data(), &query,
                &lwork, &info, 1);
        lwork = std::max(1, static_cast<int>(query));
        Eigen::VectorXd work(lwork);
        dsytrd_("L", &n, K.data(), &n, result.diagonal.data(), result.off_diagonal.data(), result.tau.data(),
                work.data(), &lwork, &info, 1);
        if (info != 0) {
            throw std::runtime_error("LAPACK dsytrd failed with code " + std::to_string(info) + ".");
        }
        // dsterf overwrites its inputs.
        result.eigenvalues = result.diagonal;
        Eigen::VectorXd off_diagonal = result.off_diagonal;
        dsterf_(&n, result.eigenvalues.data(), off_diagonal.data(), &info);
        if (info != 0) {
            throw std::runtime_error("The eigenvalues of the kinship matrix did not converge (LAPACK dsterf code " +
                                     std::to_string(info) + ").");
        }
    }
    result.reflectors = std::move(K);
    return result;
}

Eigen::MatrixXd rotate_to_tridiagonal(const KinshipTridiagonal& kinship, Eigen::MatrixXd C) {
    return apply_q(kinship, std::move(C), "T");
}

Eigen::MatrixXd rotate_from_tridiagonal(const KinshipTridiagonal& kinship, Eigen::MatrixXd C) {
    return apply_q(kinship, std::move(C), "N");
}

Eigen::MatrixXd solve_shifted_tridiagonal(const KinshipTridiagonal& kinship, double scale_t, double shift,
                                          Eigen::MatrixXd B) {
    const int n = static_cast<int>(kinship.diagonal.size());
    const int columns = static_cast<int>(B.cols());
    if (n == 0 || columns == 0) {
        return B;
    }
    Eigen::VectorXd diagonal = scale_t * kinship.diagonal.array() + shift;
    Eigen::VectorXd lower = scale_t * kinship.off_diagonal;
    Eigen::VectorXd upper = lower;
    Eigen::VectorXd upper2(std::max(1, n - 2));
    std::vector<int> pivots(static_cast<std::size_t>(n));
    int info = 0;
    dgttrf_(&n, lower.data(), diagonal.data(), upper.data(), upper2.data(), pivots.data(), &info);
    if (info < 0) {
        throw std::runtime_error("LAPACK dgttrf failed with code " + std::to_string(info) + ".");
    }
    if (info > 0) {
        // An exact zero pivot: the system is singular.
        B.setConstant(std::numeric_limits<double>::quiet_NaN());
        return B;
    }
    dgttrs_("N", &n, &columns, lower.data(), diagonal.data(), upper.data(), upper2.data(), pivots.data(), B.data(), &n,
            &info, 1);
    if (info != 0) {
        throw std::runtime_error("LAPACK dgttrs failed with code " + std::to_string(info) + ".");
    }
    return B;
}

Eigen::MatrixXd multiply_tridiagonal(const KinshipTridiagonal& kinship, const Eigen::MatrixXd& B) {
    const Eigen::Index n = kinship.diagonal.size();
    Eigen::MatrixXd product = kinship.diagonal.asDiagonal() * B;
    if (n > 1) {
        const auto off = kinship.off_diagonal.head(n - 1).asDiagonal();
        product.topRows(n - 1) += off * B.bottomRows(n - 1);
        product.bottomRows(n - 1) += off * B.topRows(n - 1);
    }
    return product;
}

std::vector<Eigen::Index> independent_columns(const Eigen::MatrixXd& X, const std::vector<Eigen::Index>& order) {
    // Gram-Schmidt against the columns taken so far, twice for stability; a column is dependent
    // when less than 1e-9 of its length is left. Design columns are 0/1: a true dependency
    // leaves rounding only (about 1e-15), an independent column far more.
    constexpr double kDependent = 1e-9;
    std::vector<Eigen::Index> taken;
    Eigen::MatrixXd basis(X.rows(), 0);
    for (Eigen::Index column : order) {
        Eigen::VectorXd residual = X.col(column);
        const double length = residual.norm();
        if (!(length > 0.0)) {
            continue;
        }
        for (int pass = 0; pass < 2; ++pass) {
            residual -= basis * (basis.transpose() * residual);
        }
        const double left = residual.norm();
        if (left <= kDependent * length) {
            continue;
        }
        basis.conservativeResize(Eigen::NoChange, basis.cols() + 1);
        basis.col(basis.cols() - 1) = residual / left;
        taken.push_back(column);
    }
    return taken;
}
