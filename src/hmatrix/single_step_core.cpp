#include "hmatrix/hmatrix.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "linear_algebra/cholesky.h"
#include "linear_algebra/lapack.h"
#include "linear_algebra/mirror.h"
#include "log/logger.h"


namespace {

using Eigen::Index;
using Eigen::MatrixXd;

// Columns of H11 per product in the lower-triangle update: small enough that the skipped
// upper part is a few percent of the work, large enough for an efficient product.
constexpr Index kProductBlock = 512;
// Tile edge for the transposed copies, so both sides are walked a cache line at a time.
constexpr Index kTile = 64;

int as_lapack_int(Index value) {
    if (value > std::numeric_limits<int>::max()) {
        throw std::runtime_error("Cannot build H: the matrices are too large for the linear algebra library.");
    }
    return static_cast<int>(value);
}

// dst += src', tile by tile (dst is rows x cols, src cols x rows).
void add_transposed(Eigen::Ref<MatrixXd> dst, const MatrixXd& src) {
    for (Index tile_col = 0; tile_col < dst.cols(); tile_col += kTile) {
        const Index col_end = std::min(dst.cols(), tile_col + kTile);
        for (Index tile_row = 0; tile_row < dst.rows(); tile_row += kTile) {
            const Index row_end = std::min(dst.rows(), tile_row + kTile);
            for (Index c = tile_col; c < col_end; ++c) {
                for (Index r = tile_row; r < row_end; ++r) {
                    dst(r, c) += src(c, r);
                }
            }
        }
    }
}

// Inverse of a symmetric matrix: from its Cholesky factor when it is positive definite, else
// by LU with partial pivoting (an indefinite blend of scaled inverses). Throws with `what`
// and `advice` when it is singular to working precision.
MatrixXd symmetric_inverse(const MatrixXd& M, const std::string& what, const std::string& advice,
                           bool positive_definite_only = false) {
    MatrixXd inverse = M;
    double rcond = cholesky_in_place(inverse, "Cannot build H");
    if (positive_definite_only && !(rcond > kSingularRcond)) {
        // The inverse of an indefinite blend exists, but the H built on it has negative
        // variances: no relationship matrix.
        throw std::runtime_error("Cannot build H: " + what + " is not positive definite (reciprocal condition "
                                 "number " + number_text(rcond) + "), so H would have negative variances." + advice);
    }
    if (rcond > kSingularRcond) {
        const int n = as_lapack_int(M.rows());
        int info = 0;
        dpotri_("L", &n, inverse.data(), &n, &info, 1);
        if (info == 0) {
            mirror_lower(inverse);
            return inverse;
        }
    }
    const Eigen::PartialPivLU<MatrixXd> lu(M);
    rcond = lu.rcond();
    if (rcond > kSingularRcond && std::isfinite(rcond)) {
        inverse = lu.inverse();
        if (inverse.allFinite()) {
            return (inverse + inverse.transpose()) * 0.5;
        }
    }
    throw std::runtime_error("Cannot build H: " + what + " is singular (reciprocal condition number " +
                             number_text(rcond) + ")." + advice);
}

void require_finite(const Eigen::Ref<const MatrixXd>& M, const std::string& what) {
    if (!M.allFinite()) {
        throw std::runtime_error("Cannot build H: " + what + " has non-finite values.");
    }
}

}  // namespace

void HkinCpp(MatrixXd& H, const MatrixXd& G22, const Eigen::Ref<const MatrixXd>& A21,
             const Eigen::Ref<const MatrixXd>& A22, double tau, double omega,
             const std::function<void(Index, Index)>& on_progress) {
    const Index n = H.rows();
    const Index g = G22.rows();
    const Index u = n - g;
    if (H.cols() != n || G22.cols() != g || u < 0 || A22.rows() != g || A22.cols() != g || A21.rows() != g ||
        A21.cols() != u) {
        throw std::invalid_argument("HkinCpp: the blocks of A and G22 do not fit together.");
    }
    require_finite(G22, "G22, the genomic relationships of the genotyped individuals,");
    require_finite(A22, "A22, the pedigree relationships of the genotyped individuals,");
    require_finite(A21, "A21, the pedigree relationships between non-genotyped and genotyped individuals,");

    // Steps: factor A22, the genomic block, T, each product block, the assembly.
    const Index total_steps = 4 + (u + kProductBlock - 1) / kProductBlock;
    Index steps_done = 0;
    const auto step_done = [&] {
        if (on_progress) {
            on_progress(++steps_done, total_steps);
        }
    };

    // A22 = L L'. A relationship matrix of a valid pedigree is positive definite.
    MatrixXd A22_factor = A22;
    const double a22_rcond = cholesky_in_place(A22_factor, "Cannot build H");
    if (!(a22_rcond > kSingularRcond)) {
        throw std::runtime_error("Cannot build H: A22, the pedigree relationships of the genotyped individuals, is "
                                 "singular or not positive definite (reciprocal condition number " +
                                 number_text(a22_rcond) + ").");
    }
    const int g_lapack = as_lapack_int(g);
    const int u_lapack = as_lapack_int(u);
    step_done();

    // Effective genomic block: G22 itself when unscaled (no copy of it), else the blend.
    const bool unscaled = tau == 1.0 && omega == 1.0;
    MatrixXd blended_inverse;
    if (!unscaled) {
        MatrixXd ridged = G22;
        ridged.diagonal().array() += kGenomicRidge;
        MatrixXd blended = tau * symmetric_inverse(ridged, "G22 + 0.0001 I, the genomic relationships of the "
                                                           "genotyped individuals with a ridge,",
                                                   " Check the genotypes for duplicated individuals.");
        if (omega != 1.0) {
            MatrixXd A22_inverse = A22_factor;
            int info = 0;
            dpotri_("L", &g_lapack, A22_inverse.data(), &g_lapack, &info, 1);
            mirror_lower(A22_inverse);
            blended += (1.0 - omega) * A22_inverse;
        }
        blended_inverse = symmetric_inverse(
            blended,
            "the blended matrix tau * inverse(G22 + 0.0001 I) + (1 - omega) * inverse(A22) with tau = " +
                number_text(tau) + " and omega = " + number_text(omega),
            " Choose other values for --kin-tau and --kin-omega (omega at most 1).", true);
    }
    const MatrixXd& Gw = unscaled ? G22 : blended_inverse;
    MatrixXd D = Gw - A22;
    step_done();

    if (u > 0) {
        // T = A22^-1 A21 (g x u) by two triangular solves.
        MatrixXd T = A21;
        int info = 0;
        dpotrs_("L", &g_lapack, &u_lapack, A22_factor.data(), &g_lapack, T.data(), &g_lapack, &info, 1);
        A22_factor.resize(0, 0);
        step_done();
        // X21 = D A22^-1 A21 (g x u); X12 = X21' because D is symmetric and A12 = A21'.
        MatrixXd X21(g, u);
        cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, g_lapack, u_lapack, g_lapack, 1.0, D.data(), g_lapack, T.data(),
                    g_lapack, 0.0, X21.data(), g_lapack);
        // H11 += T' X21 = A12 A22^-1 D A22^-1 A21, lower triangle only, one column block at a
        // time, then mirrored.
        for (Index block_start = 0; block_start < u; block_start += kProductBlock) {
            const Index width = std::min(kProductBlock, u - block_start);
            const int rows = as_lapack_int(u - block_start);
            cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, rows, as_lapack_int(width), g_lapack, 1.0,
                        T.data() + block_start * g, g_lapack, X21.data() + block_start * g, g_lapack, 1.0,
                        H.data() + block_start + block_start * n, as_lapack_int(n));
            step_done();
        }
        mirror_lower(H.topLeftCorner(u, u));
        H.bottomLeftCorner(g, u) += X21;
        add_transposed(H.topRightCorner(u, g), X21);
    }
    H.bottomRightCorner(g, g) = Gw;
    require_finite(H, "the result");
    steps_done = total_steps - 1;  // without non-genotyped individuals there was no T
    step_done();
}
