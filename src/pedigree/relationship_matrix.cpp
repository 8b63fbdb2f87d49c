#include "pedigree/pedigree.h"

// Tabular method (Henderson 1976): A(k, i) for k < i is the mean of the sire's and the dam's
// relationships with k (half of the one known parent's, 0 with none), and A(i, i) is
// 1 + A(s, d) / 2 with both parents known, else 1. Processing individuals ancestors first
// leaves every value read in step i final.
Eigen::MatrixXd build_relationship_matrix(const Pedigree& pedigree) {
    const Eigen::Index n = static_cast<Eigen::Index>(pedigree.ids.size());
    Eigen::MatrixXd A = Eigen::MatrixXd::Identity(n, n);
    for (Eigen::Index i = 1; i < n; ++i) {
        const std::int32_t sire = pedigree.sire_index[i];
        const std::int32_t dam = pedigree.dam_index[i];
        if (sire < 0 && dam < 0) {
            continue;
        }
        // Column i above the diagonal is a contiguous run of i values: a vectorised scaled sum
        // of the parents' columns.
        auto column = A.col(i).head(i);
        if (sire >= 0 && dam >= 0) {
            A(i, i) = 1.0 + 0.5 * A(sire, dam);
            column = 0.5 * (A.col(sire).head(i) + A.col(dam).head(i));
        } else if (sire >= 0) {
            column = 0.5 * A.col(sire).head(i);
        } else {
            column = 0.5 * A.col(dam).head(i);
        }
        A.row(i).head(i) = column.transpose();
    }
    return A;
}
