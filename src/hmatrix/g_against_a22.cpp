#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "hmatrix/hmatrix.h"

namespace {

using Eigen::Index;

constexpr double kNotDefined = std::numeric_limits<double>::quiet_NaN();

double correlation(double cross, double square_x, double square_y) {
    return square_x > 0.0 && square_y > 0.0 ? cross / std::sqrt(square_x * square_y) : kNotDefined;
}

}  // namespace

KinshipAgreement compare_g_with_a22(const Eigen::Ref<const Eigen::MatrixXd>& G22,
                                    const Eigen::Ref<const Eigen::MatrixXd>& A22) {
    const Index g = G22.rows();
    if (G22.cols() != g || A22.rows() != g || A22.cols() != g) {
        throw std::invalid_argument("compare_g_with_a22: G22 is " + std::to_string(G22.rows()) + " x " +
                                    std::to_string(G22.cols()) + ", A22 " + std::to_string(A22.rows()) + " x " +
                                    std::to_string(A22.cols()) + ".");
    }
    KinshipAgreement agreement;
    agreement.individuals = g;
    if (g == 0) {
        return agreement;
    }
    // Two passes (means, then deviations from them), so that the correlations keep their digits
    // when the values sit far from 0 relative to their spread. Sums over the lower triangle: the
    // diagonal (d) and the pairs below it (o).
    double sum_dG = 0.0, sum_dA = 0.0, sum_oG = 0.0, sum_oA = 0.0;
#pragma omp parallel for schedule(dynamic, 16) reduction(+ : sum_dG, sum_dA, sum_oG, sum_oA)
    for (Index c = 0; c < g; ++c) {
        sum_dG += G22(c, c);
        sum_dA += A22(c, c);
        for (Index r = c + 1; r < g; ++r) {
            sum_oG += G22(r, c);
            sum_oA += A22(r, c);
        }
    }
    const double n_diagonal = static_cast<double>(g);
    const double n_below = 0.5 * static_cast<double>(g) * static_cast<double>(g - 1);
    const double n_all = n_diagonal + n_below;
    agreement.mean_diagonal_G = sum_dG / n_diagonal;
    agreement.mean_diagonal_A = sum_dA / n_diagonal;
    agreement.mean_offdiagonal_G = g > 1 ? sum_oG / n_below : kNotDefined;
    agreement.mean_offdiagonal_A = g > 1 ? sum_oA / n_below : kNotDefined;
    const double mean_all_G = (sum_dG + sum_oG) / n_all;
    const double mean_all_A = (sum_dA + sum_oA) / n_all;

    // Cross products of deviations from the part's own means (diagonal, off-diagonal) and from
    // the means of all elements.
    double d_GA = 0.0, d_GG = 0.0, d_AA = 0.0, o_GA = 0.0, o_GG = 0.0, o_AA = 0.0, a_GA = 0.0, a_GG = 0.0, a_AA = 0.0;
#pragma omp parallel for schedule(dynamic, 16) reduction(+ : d_GA, d_GG, d_AA, o_GA, o_GG, o_AA, a_GA, a_GG, a_AA)
    for (Index c = 0; c < g; ++c) {
        const double dG = G22(c, c) - agreement.mean_diagonal_G;
        const double dA = A22(c, c) - agreement.mean_diagonal_A;
        d_GA += dG * dA;
        d_GG += dG * dG;
        d_AA += dA * dA;
        const double eG = G22(c, c) - mean_all_G;
        const double eA = A22(c, c) - mean_all_A;
        a_GA += eG * eA;
        a_GG += eG * eG;
        a_AA += eA * eA;
        for (Index r = c + 1; r < g; ++r) {
            const double oG = G22(r, c) - agreement.mean_offdiagonal_G;
            const double oA = A22(r, c) - agreement.mean_offdiagonal_A;
            o_GA += oG * oA;
            o_GG += oG * oG;
            o_AA += oA * oA;
            const double aG = G22(r, c) - mean_all_G;
            const double aA = A22(r, c) - mean_all_A;
            a_GA += aG * aA;
            a_GG += aG * aG;
            a_AA += aA * aA;
        }
    }
    agreement.correlation_diagonal = correlation(d_GA, d_GG, d_AA);
    agreement.correlation_offdiagonal = correlation(o_GA, o_GG, o_AA);
    agreement.correlation_all = correlation(a_GA, a_GG, a_AA);
    agreement.slope = a_AA > 0.0 ? a_GA / a_AA : kNotDefined;
    agreement.intercept = mean_all_G - agreement.slope * mean_all_A;
    return agreement;
}

AppliedTuning adjust_g22(Eigen::MatrixXd& G22, const Eigen::Ref<const Eigen::MatrixXd>& A22,
                         const G22Adjustment& adjustment) {
    if (!std::isfinite(adjustment.alpha) || !std::isfinite(adjustment.beta) ||
        !(adjustment.alpha + adjustment.beta > 0.0)) {
        std::ostringstream message;
        message << "The blend alpha G + beta A22 needs finite alpha and beta with alpha + beta > 0, not alpha = "
                << adjustment.alpha << " and beta = " << adjustment.beta << ".";
        throw std::invalid_argument(message.str());
    }
    if (A22.rows() != G22.rows() || A22.cols() != G22.cols()) {
        throw std::invalid_argument("adjust_g22: G22 and A22 differ in size.");
    }
    AppliedTuning tuning;
    const Index g = G22.rows();
    if (adjustment.tune) {
        const KinshipAgreement agreement = compare_g_with_a22(G22, A22);
        const double spread_G = agreement.mean_diagonal_G - agreement.mean_offdiagonal_G;
        const double spread_A = agreement.mean_diagonal_A - agreement.mean_offdiagonal_A;
        // Solves a + b dG = dA and a + b oG = oA for the means d (diagonal) and o (off-diagonal).
        tuning.slope = spread_A / spread_G;
        tuning.intercept = agreement.mean_offdiagonal_A - tuning.slope * agreement.mean_offdiagonal_G;
        if (g < 2 || !std::isfinite(tuning.slope) || !std::isfinite(tuning.intercept) || spread_G == 0.0) {
            throw std::runtime_error("Cannot tune G to A22 (--kin-tune): G22 of the " + std::to_string(g) +
                                     " genotyped individuals has no difference between its mean diagonal and its "
                                     "mean off-diagonal to scale.");
        }
    }
    const double scale = adjustment.alpha * tuning.slope;
    const double shift = adjustment.alpha * tuning.intercept;
#pragma omp parallel for schedule(static)
    for (Index c = 0; c < g; ++c) {
        for (Index r = 0; r < g; ++r) {
            G22(r, c) = scale * G22(r, c) + shift + adjustment.beta * A22(r, c);
        }
    }
    if (!G22.allFinite()) {
        throw std::runtime_error("Cannot build H: G22 adjusted by --kin-tune, --kin-alpha and --kin-beta has values "
                                 "that are not finite numbers; use moderate values.");
    }
    return tuning;
}
