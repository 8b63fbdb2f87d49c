#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"
#include "linear_algebra/sparse_plus_dense.h"

namespace {

constexpr std::size_t kFlushBytes = 1 << 20;

}  // namespace

// Row i merges the sparse row's columns up to i (sorted: the matrix is row-major and
// compressed) with, for a position of the block, the block's row up to its diagonal (the block
// positions ascend, so their columns are sorted too); a column in both is written once, summed.
void write_inverse_triplets(const std::string& prefix, const SparsePlusDense& inverse,
                            const std::vector<std::string>& ids) {
    const std::string matrix_name = prefix + ".inverse.txt";
    const std::string id_name = prefix + ".inverse.id";
    const Eigen::Index n = inverse.size();
    if (static_cast<Eigen::Index>(ids.size()) != n) {
        throw std::invalid_argument("The inverse of " + std::to_string(n) + " positions needs as many IDs, not " +
                                    std::to_string(ids.size()) + ".");
    }
    check_writable_ids(ids, id_name);
    PendingFile matrix_file = open_pending_file(matrix_name, "w");
    if (matrix_file.stream == nullptr) {
        throw std::runtime_error("Cannot open output file: " + matrix_name);
    }
    std::string text;
    text.reserve(kFlushBytes + 256);
    char line[96];
    const auto put = [&](Eigen::Index row, Eigen::Index col, double value) {
        if (value == 0.0) {
            return;
        }
        const int length = std::snprintf(line, sizeof(line), "%lld %lld %.10g\n", static_cast<long long>(row + 1),
                                         static_cast<long long>(col + 1), value);
        text.append(line, static_cast<std::size_t>(length));
        if (text.size() >= kFlushBytes) {
            write_pending(matrix_file, text.data(), text.size());
            text.clear();
        }
    };
    std::vector<Eigen::Index> block_row_of(static_cast<std::size_t>(n), -1);
    for (std::size_t k = 0; k < inverse.block_positions.size(); ++k) {
        block_row_of[static_cast<std::size_t>(inverse.block_positions[k])] = static_cast<Eigen::Index>(k);
    }
    for (Eigen::Index i = 0; i < n; ++i) {
        Eigen::SparseMatrix<double, Eigen::RowMajor>::InnerIterator entry(inverse.sparse, i);
        const Eigen::Index k = block_row_of[static_cast<std::size_t>(i)];
        Eigen::Index l = 0;  // next column of the block's row k
        const auto block_column = [&](Eigen::Index index) { return inverse.block_positions[static_cast<std::size_t>(index)]; };
        while ((entry && entry.col() <= i) || (k >= 0 && l <= k)) {
            const bool sparse_next = entry && entry.col() <= i;
            const bool block_next = k >= 0 && l <= k;
            if (sparse_next && (!block_next || entry.col() < block_column(l))) {
                put(i, entry.col(), entry.value());
                ++entry;
            } else if (block_next && (!sparse_next || block_column(l) < entry.col())) {
                put(i, block_column(l), inverse.block(k, l));
                ++l;
            } else {
                put(i, entry.col(), entry.value() + inverse.block(k, l));
                ++entry;
                ++l;
            }
        }
    }
    write_pending(matrix_file, text.data(), text.size());
    PendingFile id_file = write_id_file(id_name, ids);
    commit_pending_files(matrix_file, id_file);
}
