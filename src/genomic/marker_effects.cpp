// Marker effects from genomic breeding values, in the markers' own terms: the effect of one
// more copy of A1, where it matters along each chromosome, and how sure each is.

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "genomic/genomic.h"
#include "genomic/grm_internal.h"
#include "log/progress_line.h"

namespace {

constexpr std::int64_t kEffectBlockMarkers = 1024;

double population_variance(const Eigen::VectorXd& values) {
    if (values.size() == 0) return 0.0;
    const double mean = values.mean();
    return (values.array() - mean).square().sum() / static_cast<double>(values.size());
}

}  // namespace

MarkerEffects marker_effects(const BedSet& bed, int method, double lambda, const Eigen::VectorXd& alpha,
                             std::int64_t check_row, int window,
                             const std::function<Eigen::VectorXd(const Eigen::MatrixXd&)>& sum_variances) {
    const auto n = static_cast<std::int64_t>(bed.individual_ids.size());
    const auto m = static_cast<Eigen::Index>(bed.marker_ids.size());
    if (alpha.size() != n || check_row < 0 || check_row >= n || window < 1) {
        throw std::invalid_argument("Marker effects need a value of alpha per individual, a row of G and a window.");
    }
    check_can_build_g(bed, method);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    MarkerEffects result;
    result.frequencies = Eigen::VectorXd::Constant(m, nan);
    result.effects = Eigen::VectorXd::Constant(m, nan);
    result.window_shares = Eigen::VectorXd::Constant(m, nan);
    result.p_values = Eigen::VectorXd::Constant(m, nan);
    result.diagonal = Eigen::VectorXd::Zero(n);
    result.row = Eigen::VectorXd::Zero(n);
    // Per set marker in G: B_c' alpha, sqrt(w) and the variance of B_c' alpha.
    Eigen::VectorXd sums = Eigen::VectorXd::Constant(m, nan), roots = sums, sum_variance = sums;
    const std::vector<IndividualRun> everyone = {{0, 0, n}};
    Eigen::MatrixXd block(n, std::min<Eigen::Index>(kEffectBlockMarkers, std::max<Eigen::Index>(m, 1)));
    double scale = 0.0;
    {
        MarkerBlocks blocks(bed, method, lambda, kEffectBlockMarkers);
        ProgressLine progress("the SNP effects", "markers");
        while (blocks.next()) {
            progress.update(blocks.block_end(), m);
            const std::int64_t used = blocks.used_columns();
            blocks.decode_informative(everyone, block);
            const auto B = block.leftCols(used);
            const Eigen::VectorXd block_sums = B.transpose() * alpha;
            result.diagonal += B.rowwise().squaredNorm();
            result.row += B * B.row(check_row).transpose();
            const Eigen::VectorXd variances = sum_variances ? sum_variances(B) : Eigen::VectorXd();
            for (std::int64_t k = 0; k < blocks.block_markers(); ++k) {
                const std::int64_t marker = blocks.set_position(k);
                result.frequencies[marker] = blocks.summary(k).frequency;
                const std::int64_t column = blocks.column(k);
                if (column < 0) continue;
                sums[marker] = block_sums[column];
                roots[marker] = std::sqrt(blocks.weight(k));
                if (variances.size() != 0) sum_variance[marker] = variances[column];
                ++result.markers_in_g;
            }
        }
        scale = blocks.kinship_scale(result.markers_in_g > 0);
    }
    result.diagonal *= scale;
    result.row *= scale;
    for (Eigen::Index j = 0; j < m; ++j) {
        if (std::isnan(sums[j])) continue;
        result.effects[j] = scale * roots[j] * sums[j];
        const double variance = scale * scale * roots[j] * roots[j] * sum_variance[j];
        if (variance > 0.0) {
            result.p_values[j] = std::erfc(std::fabs(result.effects[j]) / std::sqrt(2.0 * variance));
        }
    }

    // Second pass: the prefix sums P_j = sum over markers before j of z a, a ring of the last
    // window + 1 of them, and each window P_min(j + window, end of chromosome) - P_j.
    std::vector<Eigen::VectorXd> ring(static_cast<std::size_t>(window) + 1, Eigen::VectorXd::Zero(n));
    const auto slot = [&](Eigen::Index j) -> Eigen::VectorXd& {
        return ring[static_cast<std::size_t>(j % (window + 1))];
    };
    Eigen::VectorXd prefix = Eigen::VectorXd::Zero(n);
    Eigen::VectorXd window_variances = Eigen::VectorXd::Constant(m, nan);
    Eigen::Index chromosome_start = 0;
    Eigen::Index next_marker = 0;  // the set marker whose contribution comes next
    const auto close_windows = [&](Eigen::Index first, Eigen::Index last, const Eigen::VectorXd& end_prefix) {
        for (Eigen::Index j = std::max(first, chromosome_start); j <= last; ++j) {
            if (!std::isnan(result.effects[j])) window_variances[j] = population_variance(end_prefix - slot(j));
        }
    };
    // Moves the prefix past set markers up to `until` (exclusive), `contribution` added for the last.
    const auto advance = [&](Eigen::Index marker, const Eigen::VectorXd* contribution) {
        for (; next_marker <= marker; ++next_marker) {
            const Eigen::Index j = next_marker;
            if (j > 0 && bed.marker_chromosomes[static_cast<std::size_t>(j)] !=
                             bed.marker_chromosomes[static_cast<std::size_t>(j - 1)]) {
                close_windows(j - window, j - 1, prefix);
                chromosome_start = j;
            }
            slot(j) = prefix;
            if (j == marker && contribution != nullptr) prefix += *contribution;
            // The window that starts `window` markers back ends here.
            if (j + 1 - window >= chromosome_start) close_windows(j + 1 - window, j + 1 - window, prefix);
        }
    };
    {
        MarkerBlocks blocks(bed, method, lambda, kEffectBlockMarkers);
        ProgressLine progress("the SNP windows", "markers");
        while (blocks.next()) {
            progress.update(blocks.block_end(), m);
            blocks.decode_informative(everyone, block);
            for (std::int64_t k = 0; k < blocks.block_markers(); ++k) {
                const std::int64_t marker = blocks.set_position(k);
                const std::int64_t column = blocks.column(k);
                if (column < 0) {
                    advance(marker, nullptr);
                    continue;
                }
                const Eigen::VectorXd contribution = block.col(column) * (scale * sums[marker]);
                advance(marker, &contribution);
            }
        }
        advance(m - 1, nullptr);
        close_windows(m - window, m - 1, prefix);
    }
    result.genomic_values = prefix;
    const double total = population_variance(prefix);
    for (Eigen::Index j = 0; j < m; ++j) {
        if (!std::isnan(window_variances[j]) && total > 0.0) result.window_shares[j] = window_variances[j] / total;
    }
    return result;
}
