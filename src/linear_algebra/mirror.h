#pragma once

// The one lower-to-upper mirror of the symmetric matrices that are computed as one triangle
// (G, the inverses and products of H).

#include <algorithm>

#include <Eigen/Core>

// Copies the strict lower triangle of the square `M` onto its strict upper one. Tiles of
// 64 x 64 keep both the strided reads of the lower triangle and the writes of the upper in
// cache; a thread owns whole columns of the upper triangle.
inline void mirror_lower(Eigen::Ref<Eigen::MatrixXd> M) {
    const Eigen::Index n = M.rows();
    constexpr Eigen::Index kTile = 64;
#pragma omp parallel for schedule(dynamic, 1)
    for (Eigen::Index tile_col = 0; tile_col < n; tile_col += kTile) {
        const Eigen::Index col_end = std::min(n, tile_col + kTile);
        for (Eigen::Index tile_row = 0; tile_row <= tile_col; tile_row += kTile) {
            for (Eigen::Index c = tile_col; c < col_end; ++c) {
                const Eigen::Index row_end = std::min(c, tile_row + kTile);
                for (Eigen::Index r = tile_row; r < row_end; ++r) {
                    M(r, c) = M(c, r);
                }
            }
        }
    }
}
