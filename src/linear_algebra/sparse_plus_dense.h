#pragma once

// A symmetric N x N matrix held as a sparse matrix plus a dense block on some of its positions:
// the inverse of A (no block) or of H (A's inverse plus the block of the genotyped
// individuals). It is applied to vectors and never formed as a dense N x N matrix.

#include <cblas.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include <Eigen/Core>
#include <Eigen/SparseCore>

struct SparsePlusDense {
    // N x N, both triangles stored; row-major, so that a product runs over rows in parallel.
    Eigen::SparseMatrix<double, Eigen::RowMajor> sparse;
    // Position of row (and column) k of `block`, ascending.
    std::vector<Eigen::Index> block_positions;
    // g x g; only its lower triangle is read (the upper may hold anything: an inverse computed
    // in place leaves a factor there).
    Eigen::MatrixXd block;

    Eigen::Index size() const { return sparse.rows(); }

    // y += scale * M x.
    void multiply_add(double scale, const Eigen::VectorXd& x, Eigen::VectorXd& y) const {
        y.noalias() += scale * (sparse * x);
        const Eigen::Index g = block.rows();
        if (g == 0) {
            return;
        }
        if (g > std::numeric_limits<int>::max()) {
            throw std::runtime_error("The genotyped block is too large for the linear algebra library.");
        }
        Eigen::VectorXd gathered(g);
        for (Eigen::Index k = 0; k < g; ++k) {
            gathered[k] = x[block_positions[static_cast<std::size_t>(k)]];
        }
        Eigen::VectorXd product(g);
        const int order = static_cast<int>(g);
        cblas_dsymv(CblasColMajor, CblasLower, order, scale, block.data(), order, gathered.data(), 1, 0.0,
                    product.data(), 1);
        for (Eigen::Index k = 0; k < g; ++k) {
            y[block_positions[static_cast<std::size_t>(k)]] += product[k];
        }
    }

    Eigen::VectorXd diagonal() const {
        Eigen::VectorXd result = sparse.diagonal();
        for (Eigen::Index k = 0; k < block.rows(); ++k) {
            result[block_positions[static_cast<std::size_t>(k)]] += block(k, k);
        }
        return result;
    }
};
