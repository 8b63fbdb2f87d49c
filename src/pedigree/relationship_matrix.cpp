#include <algorithm>

#include "pedigree/pedigree.h"

namespace {

// Individuals are filled in blocks of this many; the mirror into the lower triangle is
// deferred to the end of each block so that it writes contiguous runs instead of one
// strided row per individual.
constexpr Eigen::Index kBlockSize = 64;

}  // namespace

// Tabular method (Henderson 1976): A(k, i) for k < i is the mean of the sire's and the dam's
// relationships with k (half of the one known parent's, 0 with none), and A(i, i) is
// 1 + A(s, d) / 2 with both parents known, else 1. Processing individuals ancestors first
// leaves every value read in step i final.
//
// Storage is column-major. For individual i of the block [block_start, block_end):
//   rows k < block_start of column i are a scaled sum of the parents' columns (contiguous,
//   vectorised), those columns being complete there: the upper part was computed and the
//   lower part mirrored at the end of an earlier block;
//   rows block_start <= k < i are read from the upper triangle, A(min(k, p), max(k, p)),
//   because the mirror of the current block is still pending.
Eigen::MatrixXd build_relationship_matrix(const Pedigree& pedigree,
                                          const std::function<void(Eigen::Index)>& on_progress) {
    const Eigen::Index n = static_cast<Eigen::Index>(pedigree.ids.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Identity(n, n);
    auto upper = [&A](Eigen::Index j, Eigen::Index k) { return j <= k ? A(j, k) : A(k, j); };

    for (Eigen::Index block_start = 0; block_start < n; block_start += kBlockSize) {
        const Eigen::Index block_end = std::min(n, block_start + kBlockSize);
        for (Eigen::Index i = std::max<Eigen::Index>(block_start, 1); i < block_end; ++i) {
            const Eigen::Index sire = pedigree.sire_index[i];
            const Eigen::Index dam = pedigree.dam_index[i];
            if (sire < 0 && dam < 0) {
                continue;
            }
            auto head = A.col(i).head(block_start);
            if (sire >= 0 && dam >= 0) {
                head = 0.5 * (A.col(sire).head(block_start) + A.col(dam).head(block_start));
                for (Eigen::Index k = block_start; k < i; ++k) {
                    A(k, i) = 0.5 * (upper(k, sire) + upper(k, dam));
                }
                A(i, i) = 1.0 + 0.5 * upper(sire, dam);
            } else {
                const Eigen::Index parent = sire >= 0 ? sire : dam;
                head = 0.5 * A.col(parent).head(block_start);
                for (Eigen::Index k = block_start; k < i; ++k) {
                    A(k, i) = 0.5 * upper(k, parent);
                }
            }
        }
        // Mirror the block's columns into its rows: the part left of the block, then the
        // triangle inside it.
        const Eigen::Index width = block_end - block_start;
        A.block(block_start, 0, width, block_start) = A.block(0, block_start, block_start, width).transpose();
        for (Eigen::Index i = block_start + 1; i < block_end; ++i) {
            for (Eigen::Index k = block_start; k < i; ++k) {
                A(i, k) = A(k, i);
            }
        }
        if (on_progress) {
            on_progress(block_end);
        }
    }
    return A;
}
