#pragma once

// The LAPACK routines Zelkora calls (exported by OpenBLAS), in the Fortran calling convention
// with the hidden lengths of the character arguments.

#include <cstddef>

#include <Eigen/Core>

extern "C" {
// Cholesky and its uses (single-step H).
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uplo_len);
void dpotrs_(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, double* b,
             const int* ldb, int* info, std::size_t uplo_len);
void dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uplo_len);
void dtrtri_(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info,
             std::size_t uplo_len, std::size_t diag_len);
void dlauum_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uplo_len);
void dpocon_(const char* uplo, const int* n, const double* a, const int* lda, const double* anorm, double* rcond,
             double* work, int* iwork, int* info, std::size_t uplo_len);
// Two-stage reduction to band and tridiagonal form, and the band solves (mixed model).
void dsytrd_sy2sb_(const char* uplo, const int* n, const int* kd, double* a, const int* lda, double* ab,
                   const int* ldab, double* tau, double* work, const int* lwork, int* info, std::size_t uplo_len);
void dsytrd_sb2st_(const char* stage1, const char* vect, const char* uplo, const int* n, const int* kd, double* ab,
                   const int* ldab, double* d, double* e, double* hous, const int* lhous, double* work,
                   const int* lwork, int* info, std::size_t stage1_len, std::size_t vect_len, std::size_t uplo_len);
void dsterf_(const int* n, double* d, double* e, int* info);
// A symmetric matrix to tridiagonal form Q T Q', Q applied to columns, and the eigenvalues and
// eigenvectors of T (divide and conquer).
void dsytrd_(const char* uplo, const int* n, double* a, const int* lda, double* d, double* e, double* tau,
             double* work, const int* lwork, int* info, std::size_t uplo_len);
void dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n, const double* a,
             const int* lda, const double* tau, double* c, const int* ldc, double* work, const int* lwork, int* info,
             std::size_t side_len, std::size_t uplo_len, std::size_t trans_len);
void dstedc_(const char* compz, const int* n, double* d, double* e, double* z, const int* ldz, double* work,
             const int* lwork, int* iwork, const int* liwork, int* info, std::size_t compz_len);
// Eigenvalues and eigenvectors of a symmetric band matrix (divide and conquer).
void dsbevd_(const char* jobz, const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, double* w,
             double* z, const int* ldz, double* work, const int* lwork, int* iwork, const int* liwork, int* info,
             std::size_t jobz_len, std::size_t uplo_len);
void dlarft_(const char* direct, const char* storev, const int* n, const int* k, const double* v, const int* ldv,
             const double* tau, double* t, const int* ldt, std::size_t direct_len, std::size_t storev_len);
void dlarfb_(const char* side, const char* trans, const char* direct, const char* storev, const int* m, const int* n,
             const int* k, const double* v, const int* ldv, const double* t, const int* ldt, double* c, const int* ldc,
             double* work, const int* ldwork, std::size_t side_len, std::size_t trans_len, std::size_t direct_len,
             std::size_t storev_len);
void dgbtrf_(const int* m, const int* n, const int* kl, const int* ku, double* ab, const int* ldab, int* ipiv,
             int* info);
void dgbtrs_(const char* trans, const int* n, const int* kl, const int* ku, const int* nrhs, const double* ab,
             const int* ldab, const int* ipiv, double* b, const int* ldb, int* info, std::size_t trans_len);
}

// The reduction's workspace and reflector arrays are indexed with 32-bit integers inside an
// n x n array: n^2 must stay below 2^31 there. (The Cholesky routines and BLAS compute their
// offsets in 64 bits and need only n itself to fit an int.)
constexpr Eigen::Index kLargestLapackOrder = 46340;
inline bool fits_lapack(Eigen::Index n) { return n >= 0 && n <= kLargestLapackOrder; }
