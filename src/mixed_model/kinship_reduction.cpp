#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>
#include <stdexcept>
#include <string>

#include "linear_algebra/lapack.h"
#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"

namespace {

int lapack_size(Eigen::Index n) {
    if (!fits_lapack(n)) {
        throw RunFailure(std::to_string(n) + " records are more than the " + std::to_string(kLargestLapackOrder) +
                         " that the matrix decomposition can index in one process; under mpirun the records' "
                         "matrix is spread over the ranks (mpirun -np P takes up to about 46,340 x sqrt(P) records).");
    }
    return static_cast<int>(n);
}

void check_lapack(const char* routine, int info) {
    if (info != 0) {
        throw std::runtime_error(std::string("LAPACK ") + routine + " failed with code " + std::to_string(info) + ".");
    }
}

// Q = H(1) ... H(n - kd): reflector c has its unit at row c + kd and is stored below it in
// column c, which is the layout of a QR factorisation of the rows kd..n-1.
Eigen::MatrixXd apply_q(const ReducedKinship& kinship, Eigen::MatrixXd C, const char* trans) {
    if (kinship.rotation) {
        return kinship.rotation->apply(std::move(C), trans[0] == 'T');
    }
    const int n = lapack_size(kinship.reflectors.rows());
    if (C.rows() != n) {
        throw std::invalid_argument("The kinship rotation needs " + std::to_string(n) + " rows, got " +
                                    std::to_string(C.rows()) + ".");
    }
    const int kd = kinship.bandwidth;
    const int rows = n - kd;
    const int columns = static_cast<int>(C.cols());
    if (rows <= 0 || columns == 0) {
        return C;  // Q is the identity
    }
    // Q = H_1 ... H_rows (QR-style reflectors below the band). Blocks of kBlock reflectors,
    // applied as block reflectors: larger blocks than the library's own choice make the
    // products, which carry nearly all the work, run faster.
    constexpr int kBlock = 128;
    const double* a = kinship.reflectors.data() + kd;
    double* c = C.data() + kd;
    Eigen::MatrixXd T(kBlock, kBlock);
    Eigen::MatrixXd work(columns, kBlock);
    const bool transposed = trans[0] == 'T';
    const int blocks = (rows + kBlock - 1) / kBlock;
    for (int b = 0; b < blocks; ++b) {
        // Q' C applies H_1 first; Q C applies H_rows first.
        const int i = (transposed ? b : blocks - 1 - b) * kBlock;
        const int width = std::min(kBlock, rows - i);
        const int m = rows - i;
        const double* v = a + i + static_cast<std::ptrdiff_t>(i) * n;
        dlarft_("F", "C", &m, &width, v, &n, kinship.tau.data() + i, T.data(), &kBlock, 1, 1);
        dlarfb_("L", trans, "F", "C", &m, &columns, &width, v, &n, T.data(), &kBlock, c + i, &n, work.data(), &columns,
                1, 1, 1, 1);
    }
    return C;
}

}  // namespace

ReducedKinship reduce_kinship_cpp(Eigen::MatrixXd K, int bandwidth) {
    if (K.rows() != K.cols()) {
        throw std::invalid_argument("The kinship matrix of the records must be square.");
    }
    const int n = lapack_size(K.rows());
    ReducedKinship result;
    result.bandwidth = std::min(std::max(bandwidth, 1), std::max(n - 1, 0));  // Householder needs at least 1
    const int kd = result.bandwidth;
    const int ldab = kd + 1;
    result.band.setZero(ldab, n);
    result.tau.setZero(std::max(1, n - kd));
    result.eigenvalues.resize(n);
    if (n > 0) {
        // Stage 1, full to band: Householder blocks applied by matrix products.
        int info = 0;
        int lwork = -1;
        double query = 0.0;
        dsytrd_sy2sb_("L", &n, &kd, K.data(), &n, result.band.data(), &ldab, result.tau.data(), &query, &lwork, &info,
                      1);
        lwork = std::max(1, static_cast<int>(query));
        Eigen::VectorXd work(lwork);
        dsytrd_sy2sb_("L", &n, &kd, K.data(), &n, result.band.data(), &ldab, result.tau.data(), work.data(), &lwork,
                      &info, 1);
        check_lapack("dsytrd_sy2sb", info);

        // Stage 2, band to tridiagonal (on a copy: it overwrites the band), then the eigenvalues.
        Eigen::MatrixXd band = result.band;
        Eigen::VectorXd off_diagonal(std::max(1, n - 1));
        int hous_size = -1;
        lwork = -1;
        double hous_query = 0.0;
        dsytrd_sb2st_("N", "N", "L", &n, &kd, band.data(), &ldab, result.eigenvalues.data(), off_diagonal.data(),
                      &hous_query, &hous_size, &query, &lwork, &info, 1, 1, 1);
        hous_size = std::max(1, static_cast<int>(hous_query));
        lwork = std::max(1, static_cast<int>(query));
        Eigen::VectorXd hous(hous_size);
        work.resize(lwork);
        dsytrd_sb2st_("N", "N", "L", &n, &kd, band.data(), &ldab, result.eigenvalues.data(), off_diagonal.data(),
                      hous.data(), &hous_size, work.data(), &lwork, &info, 1, 1, 1);
        check_lapack("dsytrd_sb2st", info);
        dsterf_(&n, result.eigenvalues.data(), off_diagonal.data(), &info);
        if (info != 0) {
            throw std::runtime_error("The eigenvalues of the kinship matrix did not converge (LAPACK dsterf code " +
                                     std::to_string(info) + ").");
        }
    }
    result.reflectors = std::move(K);
    return result;
}

namespace {

// Q V: the band form's rotation Q followed by the eigenvectors V of its band B.
class EigenvectorRotation : public KinshipRotation {
public:
    EigenvectorRotation(const ReducedKinship& band_form, std::shared_ptr<const Eigen::MatrixXd> vectors)
        : band_form_(band_form), vectors_(std::move(vectors)) {}
    Eigen::MatrixXd apply(Eigen::MatrixXd C, bool transposed) const override {
        if (transposed) {
            return vectors_->transpose() * rotate_to_reduced(band_form_, std::move(C));
        }
        return rotate_from_reduced(band_form_, *vectors_ * C);
    }

private:
    const ReducedKinship& band_form_;
    std::shared_ptr<const Eigen::MatrixXd> vectors_;
};

}  // namespace

namespace {

// U = Q Z: Q from the tridiagonal reduction (its reflectors and scales), Z the eigenvectors of
// T, applied as U C or U' C.
class TridiagonalEigenRotation : public KinshipRotation {
public:
    TridiagonalEigenRotation(Eigen::MatrixXd reflectors, Eigen::VectorXd tau, Eigen::MatrixXd vectors)
        : reflectors_(std::move(reflectors)), tau_(std::move(tau)), vectors_(std::move(vectors)) {}
    Eigen::MatrixXd apply(Eigen::MatrixXd C, bool transposed) const override {
        if (C.rows() != vectors_.rows()) {
            throw std::invalid_argument("The kinship rotation needs " + std::to_string(vectors_.rows()) +
                                        " rows, got " + std::to_string(C.rows()) + ".");
        }
        if (transposed) {
            return vectors_.transpose() * apply_reflectors(std::move(C), "T");
        }
        return apply_reflectors(vectors_ * C, "N");
    }

private:
    Eigen::MatrixXd apply_reflectors(Eigen::MatrixXd C, const char* trans) const {
        const int n = static_cast<int>(C.rows()), columns = static_cast<int>(C.cols());
        if (n < 2 || columns == 0) {
            return C;
        }
        int info = 0, lwork = -1;
        double query = 0.0;
        dormtr_("L", "L", trans, &n, &columns, reflectors_.data(), &n, tau_.data(), C.data(), &n, &query, &lwork, &info,
                1, 1, 1);
        lwork = std::max(1, static_cast<int>(query));
        Eigen::VectorXd work(lwork);
        dormtr_("L", "L", trans, &n, &columns, reflectors_.data(), &n, tau_.data(), C.data(), &n, work.data(), &lwork,
                &info, 1, 1, 1);
        check_lapack("dormtr", info);
        return C;
    }

    Eigen::MatrixXd reflectors_;
    Eigen::VectorXd tau_;
    Eigen::MatrixXd vectors_;
};

// The diagonal kinship of eigenvalues `values` (ascending) in the basis `rotation` applies, those
// at or below `bound` set to 0.
RoundingFreeKinship diagonal_form(Eigen::VectorXd values, double bound, std::shared_ptr<const KinshipRotation> rotation,
                                  std::shared_ptr<Eigen::MatrixXd> vectors) {
    const Eigen::Index n = values.size();
    RoundingFreeKinship result;
    for (Eigen::Index i = 0; i < n; ++i) {
        if (values[i] <= bound) {
            values[i] = 0.0;
            ++result.cleared;
        }
    }
    ReducedKinship& diagonal = result.kinship;
    diagonal.rotation = std::move(rotation);
    diagonal.bandwidth = 1;
    diagonal.band = Eigen::MatrixXd::Zero(2, n);
    diagonal.band.row(0) = values.transpose();
    diagonal.tau = Eigen::VectorXd::Zero(1);
    diagonal.eigenvalues = values;
    diagonal.cleared = result.cleared;  // values ascend: the cleared ones come first
    result.vectors = std::move(vectors);
    return result;
}

}  // namespace

RoundingFreeKinship without_rounding_eigenvalues(const ReducedKinship& kinship, double bound) {
    const int n = lapack_size(kinship.band.cols());
    const int kd = kinship.bandwidth;
    const int ldab = kd + 1;
    Eigen::MatrixXd band = kinship.band;
    auto vectors = std::make_shared<Eigen::MatrixXd>(n, n);
    Eigen::VectorXd values(n);
    int info = 0, lwork = -1, liwork = -1, iwork_query = 0;
    double work_query = 0.0;
    dsbevd_("V", "L", &n, &kd, band.data(), &ldab, values.data(), vectors->data(), &n, &work_query, &lwork,
            &iwork_query, &liwork, &info, 1, 1);
    lwork = std::max(1, static_cast<int>(work_query));
    liwork = std::max(1, iwork_query);
    Eigen::VectorXd work(lwork);
    std::vector<int> iwork(static_cast<std::size_t>(liwork));
    dsbevd_("V", "L", &n, &kd, band.data(), &ldab, values.data(), vectors->data(), &n, work.data(), &lwork,
            iwork.data(), &liwork, &info, 1, 1);
    check_lapack("dsbevd", info);
    return diagonal_form(std::move(values), bound, std::make_shared<EigenvectorRotation>(kinship, vectors), vectors);
}

RoundingFreeKinship kinship_eigen_form(Eigen::MatrixXd K, double bound) {
    if (K.rows() != K.cols()) {
        throw std::invalid_argument("The kinship matrix of the records must be square.");
    }
    const int n = lapack_size(K.rows());
    Eigen::VectorXd values(n), off_diagonal(std::max(1, n - 1)), tau(std::max(1, n - 1));
    Eigen::MatrixXd vectors(n, n);
    if (n > 0) {
        int info = 0, lwork = -1, liwork = -1, iwork_query = 0;
        double query = 0.0;
        dsytrd_("L", &n, K.data(), &n, values.data(), off_diagonal.data(), tau.data(), &query, &lwork, &info, 1);
        lwork = std::max(1, static_cast<int>(query));
        Eigen::VectorXd work(lwork);
        dsytrd_("L", &n, K.data(), &n, values.data(), off_diagonal.data(), tau.data(), work.data(), &lwork, &info, 1);
        check_lapack("dsytrd", info);
        lwork = -1;
        dstedc_("I", &n, values.data(), off_diagonal.data(), vectors.data(), &n, &query, &lwork, &iwork_query, &liwork,
                &info, 1);
        lwork = std::max(1, static_cast<int>(query));
        liwork = std::max(1, iwork_query);
        work.resize(lwork);
        std::vector<int> iwork(static_cast<std::size_t>(liwork));
        dstedc_("I", &n, values.data(), off_diagonal.data(), vectors.data(), &n, work.data(), &lwork, iwork.data(),
                &liwork, &info, 1);
        if (info != 0) {
            throw std::runtime_error("The eigenvalues of the kinship matrix did not converge (LAPACK dstedc code " +
                                     std::to_string(info) + ").");
        }
    }
    auto rotation = std::make_shared<TridiagonalEigenRotation>(std::move(K), std::move(tau), std::move(vectors));
    return diagonal_form(std::move(values), bound, std::move(rotation), nullptr);
}

Eigen::MatrixXd rotate_to_reduced(const ReducedKinship& kinship, Eigen::MatrixXd C) {
    return apply_q(kinship, std::move(C), "T");
}

Eigen::MatrixXd rotate_from_reduced(const ReducedKinship& kinship, Eigen::MatrixXd C) {
    return apply_q(kinship, std::move(C), "N");
}

ShiftedBandLU factor_shifted_band(const ReducedKinship& kinship, double scale_b, double shift) {
    ShiftedBandLU lu;
    const auto n = static_cast<int>(kinship.band.cols());
    const int kd = kinship.bandwidth;
    lu.bandwidth = kd;
    // General band storage for dgbtrf: entry (i, j) at row 2 kd + i - j of column j; the top kd
    // rows are room for the fill-in of the pivoting.
    lu.factors.setZero(3 * kd + 1, n);
    for (int j = 0; j < n; ++j) {
        for (int i = j; i <= std::min(n - 1, j + kd); ++i) {
            const double value = scale_b * kinship.band(i - j, j) + (i == j ? shift : 0.0);
            lu.factors(2 * kd + i - j, j) = value;
            lu.factors(2 * kd + j - i, i) = value;
        }
    }
    lu.pivots.resize(static_cast<std::size_t>(n));
    if (n == 0) {
        return lu;
    }
    const int ldab = 3 * kd + 1;
    int info = 0;
    dgbtrf_(&n, &n, &kd, &kd, lu.factors.data(), &ldab, lu.pivots.data(), &info);
    if (info < 0) {
        check_lapack("dgbtrf", info);
    }
    lu.singular = info > 0;
    return lu;
}

Eigen::MatrixXd solve_factored(const ShiftedBandLU& lu, Eigen::MatrixXd B) {
    const auto n = static_cast<int>(lu.factors.cols());
    const int columns = static_cast<int>(B.cols());
    if (lu.singular) {
        // An exact zero pivot: no finite solution, as a dense LU inverse would show.
        B.setConstant(std::numeric_limits<double>::quiet_NaN());
        return B;
    }
    if (n == 0 || columns == 0) {
        return B;
    }
    const int kd = lu.bandwidth;
    const int ldab = 3 * kd + 1;
    int info = 0;
    dgbtrs_("N", &n, &kd, &kd, &columns, lu.factors.data(), &ldab, lu.pivots.data(), B.data(), &n, &info, 1);
    check_lapack("dgbtrs", info);
    return B;
}

Eigen::MatrixXd solve_shifted_band(const ReducedKinship& kinship, double scale_b, double shift, Eigen::MatrixXd B) {
    return solve_factored(factor_shifted_band(kinship, scale_b, shift), std::move(B));
}

Eigen::MatrixXd multiply_band(const ReducedKinship& kinship, const Eigen::MatrixXd& B) {
    const Eigen::Index n = kinship.band.cols();
    const int kd = kinship.bandwidth;
    Eigen::MatrixXd product = Eigen::MatrixXd::Zero(n, B.cols());
    for (Eigen::Index c = 0; c < B.cols(); ++c) {
        for (Eigen::Index j = 0; j < n; ++j) {
            product(j, c) += kinship.band(0, j) * B(j, c);
            for (Eigen::Index i = j + 1; i <= std::min(n - 1, j + kd); ++i) {
                const double value = kinship.band(i - j, j);
                product(i, c) += value * B(j, c);
                product(j, c) += value * B(i, c);
            }
        }
    }
    return product;
}

Eigen::MatrixXd rotate_design_and_trait(const ReducedKinship& kinship, const Eigen::MatrixXd& X,
                                        const std::vector<Eigen::Index>& kept, const Eigen::MatrixXd& y) {
    const auto p = static_cast<Eigen::Index>(kept.size());
    Eigen::MatrixXd columns(X.rows(), p + 1);
    columns.leftCols(p) = X(Eigen::all, kept);
    columns.col(p) = y.col(0);
    return rotate_to_reduced(kinship, std::move(columns));
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

double logDetV(const Eigen::MatrixXd& V) {
    if (V.rows() == 0) {
        return 0.0;
    }
    const Eigen::LLT<Eigen::MatrixXd> cholesky(V);
    if (cholesky.info() != Eigen::Success) {
        return std::numeric_limits<double>::infinity();
    }
    return 2.0 * cholesky.matrixLLT().diagonal().array().log().sum();
}
