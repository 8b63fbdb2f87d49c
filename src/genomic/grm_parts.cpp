#include <algorithm>
#include <stdexcept>
#include <string>

#include "genomic/genomic.h"
#include "genomic/grm_internal.h"
#include "linear_algebra/mirror.h"

namespace {

// Values of the lower triangle in rows [0, r): r(r+1)/2. 128 bits, so that the comparisons
// below (times the part count) cannot overflow for any .fam.
__int128 values_before(std::int64_t row) {
    return static_cast<__int128>(row) * (row + 1) / 2;
}

// The row at which the running count of values comes nearest to `numerator` / n_parts.
std::int64_t nearest_boundary(std::int64_t n_individuals, int n_parts, __int128 numerator) {
    std::int64_t low = 0;
    std::int64_t high = n_individuals;
    while (low < high) {  // the first row whose count reaches the target
        const std::int64_t middle = low + (high - low) / 2;
        if (values_before(middle) * n_parts >= numerator) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    if (low > 0 && numerator - values_before(low - 1) * n_parts < values_before(low) * n_parts - numerator) {
        --low;
    }
    return low;
}

}  // namespace

RowRange kinship_part_rows(std::int64_t n_individuals, int n_parts, int part) {
    if (n_parts < 1 || part < 1 || part > n_parts || n_parts > n_individuals) {
        throw std::invalid_argument("Cannot take part " + std::to_string(part) + " of " + std::to_string(n_parts) +
                                    " of G for " + std::to_string(n_individuals) +
                                    " individuals: parts count from 1 to the part count, which may not exceed the "
                                    "individuals.");
    }
    const __int128 total = values_before(n_individuals);
    RowRange rows;
    for (int k = 1; k <= part; ++k) {
        rows.first = rows.last;
        if (k == n_parts) {
            rows.last = n_individuals;
            break;
        }
        std::int64_t boundary = nearest_boundary(n_individuals, n_parts, total * k);
        // At least one row for this part and for each one after it: the first rows hold so few
        // values that the nearest boundaries of many small parts would coincide.
        boundary = std::max(boundary, rows.first + 1);
        boundary = std::min(boundary, n_individuals - (n_parts - k));
        rows.last = boundary;
    }
    return rows;
}

void scale_and_mirror_panel(Eigen::MatrixXd& panel, Eigen::Index first, double scale) {
    const Eigen::Index n_rows = panel.rows();
    if (scale != 1.0) {
        panel.leftCols(first) *= scale;
#pragma omp parallel for schedule(static)
        for (Eigen::Index c = 0; c < n_rows; ++c) {
            panel.col(first + c).tail(n_rows - c) *= scale;
        }
    }
    mirror_lower(panel.middleCols(first, n_rows));
}

int kinship_block_bytes_per_value(int method, const RowRange& rows) {
    return method == kVanRadenMethod && rows.first > 0 && integer_products_available() ? 16 : 8;
}
