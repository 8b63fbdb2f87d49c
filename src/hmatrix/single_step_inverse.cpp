#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "linear_algebra/cholesky.h"
#include "linear_algebra/lapack.h"
#include "log/logger.h"

namespace {

using Eigen::Index;
using Eigen::MatrixXd;

constexpr const char* kWhat = "Cannot build the inverse of H";

}  // namespace

GenotypedInPedigree match_genotyped(const std::vector<std::string>& pedigree_ids,
                                    const std::vector<std::string>& genotype_ids) {
    std::unordered_map<std::string, Index> row_of;
    row_of.reserve(genotype_ids.size());
    for (std::size_t k = 0; k < genotype_ids.size(); ++k) {
        row_of.emplace(genotype_ids[k], static_cast<Index>(k));
    }
    GenotypedInPedigree match;
    for (std::size_t i = 0; i < pedigree_ids.size(); ++i) {
        const auto found = row_of.find(pedigree_ids[i]);
        if (found != row_of.end()) {
            match.pedigree_positions.push_back(static_cast<Index>(i));
            match.genotype_rows.push_back(found->second);
        }
    }
    match.not_in_pedigree = genotype_ids.size() - match.genotype_rows.size();
    if (match.genotype_rows.empty()) {
        throw std::runtime_error("None of the " + std::to_string(pedigree_ids.size()) +
                                 " pedigree individuals is among the " + std::to_string(genotype_ids.size()) +
                                 " genotyped individuals: the IDs of the pedigree file and of the .fam file must "
                                 "match exactly.");
    }
    return match;
}

void genomic_inverse_in_place(MatrixXd& G22) {
    G22.diagonal().array() += kGenomicRidge;
    const double rcond = positive_definite_inverse_in_place(G22, kWhat);
    if (!(rcond > kSingularRcond)) {
        throw std::runtime_error(std::string(kWhat) + ": G22 + 0.0001 I, the genomic relationships of the genotyped "
                                 "individuals with a ridge, is singular or not positive definite (reciprocal "
                                 "condition number " + number_text(rcond) + "). Check the genotypes.");
    }
}

void apy_genomic_inverse_in_place(MatrixXd& G22, const std::vector<Index>& core) {
    const Index g = G22.rows();
    const auto c = static_cast<Index>(core.size());
    std::vector<char> in_core(static_cast<std::size_t>(g), 0);
    for (const Index row : core) {
        if (row < 0 || row >= g || in_core[static_cast<std::size_t>(row)]) {
            throw std::invalid_argument("The APY core must name distinct rows of G22.");
        }
        in_core[static_cast<std::size_t>(row)] = 1;
    }
    if (c == 0) {
        throw std::invalid_argument("The APY core is empty.");
    }
    std::vector<Index> others;
    for (Index row = 0; row < g; ++row) {
        if (!in_core[static_cast<std::size_t>(row)]) {
            others.push_back(row);
        }
    }
    const auto n = static_cast<Index>(others.size());
    // Gcc, Gcn and the diagonal of Gnn, from the lower triangle, with the ridge.
    const auto lower = [&G22](Index r, Index s) { return r >= s ? G22(r, s) : G22(s, r); };
    MatrixXd core_inverse(c, c);
    for (Index j = 0; j < c; ++j) {
        for (Index i = j; i < c; ++i) {
            core_inverse(i, j) = lower(core[static_cast<std::size_t>(i)], core[static_cast<std::size_t>(j)]);
        }
        core_inverse(j, j) += kGenomicRidge;
    }
    MatrixXd projection(c, n);  // Gcn, then P = Gcc^-1 Gcn, then P M^-1
    Eigen::VectorXd conditional(n);  // g_jj, then m_j
    for (Index j = 0; j < n; ++j) {
        const Index other = others[static_cast<std::size_t>(j)];
        for (Index i = 0; i < c; ++i) {
            projection(i, j) = lower(core[static_cast<std::size_t>(i)], other);
        }
        conditional[j] = G22(other, other) + kGenomicRidge;
    }
    const double rcond = cholesky_in_place(core_inverse, kWhat);
    if (!(rcond > kSingularRcond)) {
        throw std::runtime_error(std::string(kWhat) + ": Gcc + 0.0001 I, the genomic relationships of the " +
                                 std::to_string(c) + " APY core individuals with a ridge, is singular or not "
                                 "positive definite (reciprocal condition number " + number_text(rcond) +
                                 "). Check the genotypes, or choose another core.");
    }
    const int c_lapack = lapack_order(c, kWhat);
    const int n_lapack = lapack_order(n, kWhat);
    int info = 0;
    MatrixXd Gcn = projection;
    if (n > 0) {
        dpotrs_("L", &c_lapack, &n_lapack, core_inverse.data(), &c_lapack, projection.data(), &c_lapack, &info, 1);
    }
    for (Index j = 0; j < n; ++j) {
        conditional[j] -= Gcn.col(j).dot(projection.col(j));
        if (!(conditional[j] > 0.0)) {
            throw std::runtime_error(std::string(kWhat) + ": by APY, genotyped row " +
                                     std::to_string(others[static_cast<std::size_t>(j)] + 1) +
                                     " is fully explained by the core (conditional variance " +
                                     number_text(conditional[j]) + "); choose another core.");
        }
    }
    Gcn.resize(0, 0);
    dpotri_("L", &c_lapack, core_inverse.data(), &c_lapack, &info, 1);
    // cc block: Gcc^-1 + (P M^-1/2)(P M^-1/2)' by a symmetric rank-n update of the lower
    // triangle (dpotri left the factor above it); cn block: -P M^-1; nn block: M^-1.
    if (n > 0) {
        for (Index j = 0; j < n; ++j) {
            projection.col(j) /= std::sqrt(conditional[j]);
        }
        cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, c_lapack, n_lapack, 1.0, projection.data(), c_lapack,
                    1.0, core_inverse.data(), c_lapack);
        for (Index j = 0; j < n; ++j) {
            projection.col(j) /= std::sqrt(conditional[j]);
        }
    }
    std::vector<Index> core_slot(static_cast<std::size_t>(g), -1), other_slot(static_cast<std::size_t>(g), -1);
    for (Index i = 0; i < c; ++i) {
        core_slot[static_cast<std::size_t>(core[static_cast<std::size_t>(i)])] = i;
    }
    for (Index j = 0; j < n; ++j) {
        other_slot[static_cast<std::size_t>(others[static_cast<std::size_t>(j)])] = j;
    }
#pragma omp parallel for schedule(dynamic, 16)
    for (Index col = 0; col < g; ++col) {
        const Index col_core = core_slot[static_cast<std::size_t>(col)];
        const Index col_other = other_slot[static_cast<std::size_t>(col)];
        for (Index row = col; row < g; ++row) {
            const Index row_core = core_slot[static_cast<std::size_t>(row)];
            const Index row_other = other_slot[static_cast<std::size_t>(row)];
            double value = 0.0;
            if (row_core >= 0 && col_core >= 0) {
                value = row_core >= col_core ? core_inverse(row_core, col_core) : core_inverse(col_core, row_core);
            } else if (row_core >= 0) {
                value = -projection(row_core, col_other);
            } else if (col_core >= 0) {
                value = -projection(col_core, row_other);
            } else if (row == col) {
                value = 1.0 / conditional[row_other];
            }
            G22(row, col) = value;
        }
    }
}

std::vector<Index> draw_apy_core(Index genotyped, Index core_size, std::uint64_t seed) {
    if (core_size < 1 || core_size > genotyped) {
        throw std::invalid_argument("An APY core of " + std::to_string(core_size) + " cannot be drawn from " +
                                    std::to_string(genotyped) + " genotyped individuals.");
    }
    std::vector<Index> rows(static_cast<std::size_t>(genotyped));
    for (Index k = 0; k < genotyped; ++k) {
        rows[static_cast<std::size_t>(k)] = k;
    }
    // The first core_size places of a Fisher-Yates shuffle; the modulo keeps the draw the same
    // on every standard library (a distribution object would not).
    std::mt19937_64 engine(seed);
    for (Index k = 0; k < core_size; ++k) {
        const auto remaining = static_cast<std::uint64_t>(genotyped - k);
        const Index pick = k + static_cast<Index>(engine() % remaining);
        std::swap(rows[static_cast<std::size_t>(k)], rows[static_cast<std::size_t>(pick)]);
    }
    rows.resize(static_cast<std::size_t>(core_size));
    std::sort(rows.begin(), rows.end());
    return rows;
}

void pedigree_block_inverse_in_place(MatrixXd& A22) {
    const double rcond = positive_definite_inverse_in_place(A22, kWhat);
    if (!(rcond > kSingularRcond)) {
        throw std::runtime_error(std::string(kWhat) + ": A22, the pedigree relationships of the genotyped "
                                 "individuals, is singular or not positive definite (reciprocal condition number " +
                                 number_text(rcond) + "). Check the pedigree.");
    }
}

void combine_genotyped_block(MatrixXd& genomic_inverse, const MatrixXd& A22_inverse, double tau, double omega) {
    const Index g = genomic_inverse.rows();
    if (A22_inverse.rows() != g || A22_inverse.cols() != g || genomic_inverse.cols() != g) {
        throw std::invalid_argument("The genotyped block needs G22^-1 and A22^-1 of the same order.");
    }
#pragma omp parallel for schedule(dynamic, 16)
    for (Index col = 0; col < g; ++col) {
        genomic_inverse.col(col).tail(g - col) =
            tau * genomic_inverse.col(col).tail(g - col) - omega * A22_inverse.col(col).tail(g - col);
    }
}
