#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/SparseCore>

// ---- The sparse Cholesky factor of the mixed model equations -----------------------------------
// A symmetric positive definite matrix by its lower triangle, column-major, 64-bit indices (the
// equations of a national pedigree pass 2^31 non-zeros in the factor).
using SparseLower = Eigen::SparseMatrix<double, Eigen::ColMajor, std::int64_t>;

// Whether this build factors sparse matrices (CHOLMOD of SuiteSparse).
bool sparse_factor_available();

// What the symbolic analysis says of the factor before any number is computed.
struct FactorFigures {
    double nonzeros = 0.0;  // in L
    double flops = 0.0;     // of one numeric factorisation
    std::string ordering;   // the fill-reducing ordering CHOLMOD chose by the fill it measured
    double factorization_seconds = 0.0;  // of the last numeric factorisation
};

// One symbolic analysis (ordering and the factor's pattern) of a pattern, reused by every
// numeric factorisation of a matrix of that pattern: supernodal LL' by CHOLMOD, its solves, its
// log-determinant, and the selected inverse (the elements of the inverse on the factor's
// pattern, by Takahashi's equations worked supernode by supernode with dense blocks). Throws
// RunFailure without CHOLMOD.
class SparseFactor {
public:
    // `last`: rows of a dense block (the genotyped animals' equations), ordered after the others.
    explicit SparseFactor(const SparseLower& pattern, const std::vector<std::int64_t>& last = {});
    ~SparseFactor();
    SparseFactor(const SparseFactor&) = delete;
    SparseFactor& operator=(const SparseFactor&) = delete;

    const FactorFigures& figures() const;
    // The numeric factorisation of `matrix` (the pattern of the analysis); false when it is not
    // positive definite, with the column where that showed in `failed_column` (the matrix's own
    // numbering).
    bool factorize(const SparseLower& matrix, std::int64_t* failed_column = nullptr);
    double log_determinant() const;
    // The matrix's inverse times `rhs` (n x k).
    Eigen::MatrixXd solve(const Eigen::MatrixXd& rhs) const;
    // The elements (row, column) of the inverse, each pair in the pattern of the analysed matrix
    // (or of its factor), at the last factorisation. The positions of a list of pairs are found
    // once: `locate` numbers them for `selected_inverse`.
    struct Located {
        std::vector<std::int64_t> positions;  // in the factor's pattern; -1 where the pair is not in it
    };
    Located locate(const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) const;
    Eigen::VectorXd selected_inverse(const Located& located) const;
    // Told every kProgressEvery seconds while a factorisation or a selected inverse runs: which
    // ("factorisation", "selected inverse") and its seconds so far (none: nothing is told).
    using Progress = std::function<void(const std::string&, double)>;
    static constexpr double kProgressEvery = 30.0;
    void set_progress(Progress progress);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The factor of a matrix whose equations come in blocks (a level's parts, each coupled with the
// others of its level wherever the level is), foreseen from the analysis of the blocks' graph:
// AMD on the blocks, each block's equations then together in the factor. `block_of`: each
// equation's block (0 to blocks - 1). A symbolic analysis of the whole pattern finds about the
// same (AMD takes such equations as one), in a fraction of its time and memory. The ordering
// reads "AMD of the <blocks> blocks (foreseen)".
FactorFigures block_factor_figures(const SparseLower& pattern, const std::vector<std::int64_t>& block_of,
                                   std::int64_t blocks);

// The diagonal of M^-1 for a symmetric positive definite M given by its lower triangle (the
// variances a relationship matrix holds, from its sparse inverse), by the selected inverse;
// empty when M is not positive definite.
Eigen::VectorXd diagonal_of_inverse(const SparseLower& lower);
