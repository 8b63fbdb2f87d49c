#include "mixed_model/sparse_factor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <type_traits>

#include "log/failures.h"

Eigen::VectorXd takahashi_inverse(std::int64_t n, const std::int64_t* Lp, const std::int64_t* Li, const double* Lx) {
    // Z = A^-1 from the last column back: for i > j in column j's pattern S,
    //   Z(i, j) = -sum_{k in S} Z(i, k) L(k, j),   Z(j, j) = 1 / D(j) - sum_{k in S} L(k, j) Z(k, j),
    // every Z(i, k) with i, k in S lying in column min(i, k) of the pattern.
    Eigen::VectorXd Z = Eigen::VectorXd::Zero(Lp[n]);
    std::vector<std::int64_t> local(static_cast<std::size_t>(n), -1);
    std::vector<double> z;
    for (std::int64_t j = n - 1; j >= 0; --j) {
        const std::int64_t first = Lp[j] + 1, end = Lp[j + 1];
        const std::int64_t count = end - first;
        z.assign(static_cast<std::size_t>(count), 0.0);
        for (std::int64_t a = first; a < end; ++a) local[static_cast<std::size_t>(Li[a])] = a - first;
        for (std::int64_t a = first; a < end; ++a) {
            const std::int64_t k = Li[a];
            const double l_k = Lx[a];
            z[static_cast<std::size_t>(a - first)] -= l_k * Z[Lp[k]];
            for (std::int64_t b = Lp[k] + 1; b < Lp[k + 1]; ++b) {
                const std::int64_t at = local[static_cast<std::size_t>(Li[b])];
                if (at < 0) continue;
                // Z(i, k) with i > k, both in S: it enters row i through L(k, j) and row k
                // through L(i, j).
                z[static_cast<std::size_t>(at)] -= l_k * Z[b];
                z[static_cast<std::size_t>(a - first)] -= Lx[first + at] * Z[b];
            }
        }
        double diagonal = 1.0 / Lx[Lp[j]];
        for (std::int64_t a = first; a < end; ++a) {
            Z[a] = z[static_cast<std::size_t>(a - first)];
            diagonal -= Lx[a] * Z[a];
            local[static_cast<std::size_t>(Li[a])] = -1;
        }
        Z[Lp[j]] = diagonal;
    }
    return Z;
}

#ifdef ZELKORA_HAVE_CHOLMOD

#include <cholmod.h>

static_assert(sizeof(SuiteSparse_long) == sizeof(std::int64_t), "CHOLMOD's long indices are 64-bit");

bool sparse_factor_available() { return true; }

struct SparseFactor::State {
    cholmod_common common;
    cholmod_factor* factor = nullptr;
    FactorFigures figures;
    std::int64_t n = 0;
    std::vector<std::int64_t> inverse_permutation;  // the factor's row of each of the matrix's rows
    // The simplicial pattern of the factor, for the selected inverse (taken at the first one).
    std::vector<std::int64_t> Lp, Li;
    std::vector<std::int64_t> sorted;  // each column's entries in row order (positions in Li)

    State() { cholmod_l_start(&common); }
    ~State() {
        if (factor != nullptr) cholmod_l_free_factor(&factor, &common);
        cholmod_l_finish(&common);
    }

    // A view of `matrix` CHOLMOD reads without copying.
    static cholmod_sparse view(const SparseLower& matrix) {
        cholmod_sparse A{};
        A.nrow = A.ncol = static_cast<std::size_t>(matrix.rows());
        A.nzmax = static_cast<std::size_t>(matrix.nonZeros());
        A.p = const_cast<std::int64_t*>(matrix.outerIndexPtr());
        A.i = const_cast<std::int64_t*>(matrix.innerIndexPtr());
        A.x = const_cast<double*>(matrix.valuePtr());
        A.stype = -1;
        A.itype = CHOLMOD_LONG;
        A.xtype = CHOLMOD_REAL;
        A.dtype = CHOLMOD_DOUBLE;
        A.sorted = 1;
        A.packed = 1;
        return A;
    }

    // The simplicial LDL' copy of the factor (the caller frees it).
    cholmod_factor* simplicial_copy() {
        cholmod_factor* copy = cholmod_l_copy_factor(factor, &common);
        if (copy == nullptr ||
            !cholmod_l_change_factor(CHOLMOD_REAL, false, false, true, true, copy, &common)) {
            if (copy != nullptr) cholmod_l_free_factor(&copy, &common);
            throw RunFailure("the sparse factor could not be copied for its selected inverse: out of memory.");
        }
        return copy;
    }
};

namespace {

std::string ordering_name(int ordering) {
    switch (ordering) {
        case CHOLMOD_NATURAL: return "natural";
        case CHOLMOD_AMD: return "AMD";
        case CHOLMOD_METIS: return "METIS";
        case CHOLMOD_NESDIS: return "nested dissection";
        case CHOLMOD_COLAMD: return "COLAMD";
        default: return "CHOLMOD's own";
    }
}

}  // namespace

SparseFactor::SparseFactor(const SparseLower& pattern) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.n = pattern.rows();
    s.common.supernodal = CHOLMOD_SUPERNODAL;
    // AMD, and METIS where AMD leaves much fill: the ordering of the least fill is kept.
    s.common.nmethods = 0;
    cholmod_sparse A = State::view(pattern);
    s.factor = cholmod_l_analyze(&A, &s.common);
    if (s.factor == nullptr) {
        throw RunFailure("the symbolic analysis of the sparse mixed model equations failed (CHOLMOD status " +
                         std::to_string(s.common.status) + ": out of memory, or too large for this machine).");
    }
    s.figures.nonzeros = s.common.lnz;
    s.figures.flops = s.common.fl;
    s.figures.ordering = ordering_name(s.common.method[s.common.selected].ordering);
    const auto* perm = static_cast<const std::int64_t*>(s.factor->Perm);
    s.inverse_permutation.assign(static_cast<std::size_t>(s.n), 0);
    for (std::int64_t k = 0; k < s.n; ++k) s.inverse_permutation[static_cast<std::size_t>(perm[k])] = k;
}

SparseFactor::~SparseFactor() = default;

const FactorFigures& SparseFactor::figures() const { return state_->figures; }

bool SparseFactor::factorize(const SparseLower& matrix, std::int64_t* failed_column) {
    State& s = *state_;
    cholmod_sparse A = State::view(matrix);
    // A matrix that is not positive definite is an answer here, not an error to print.
    s.common.quick_return_if_not_posdef = true;
    const int print = s.common.print;
    s.common.print = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool done = cholmod_l_factorize(&A, s.factor, &s.common);
    s.figures.factorization_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.common.print = print;
    if (!done) {
        throw RunFailure("the numeric factorisation of the sparse mixed model equations failed (CHOLMOD status " +
                         std::to_string(s.common.status) + ": out of memory).");
    }
    if (s.common.status == CHOLMOD_NOT_POSDEF || s.factor->minor < s.factor->n) {
        if (failed_column != nullptr) {
            const auto* perm = static_cast<const std::int64_t*>(s.factor->Perm);
            *failed_column = s.factor->minor < s.factor->n ? perm[s.factor->minor] : -1;
        }
        return false;
    }
    return true;
}

double SparseFactor::log_determinant() const {
    const cholmod_factor* L = state_->factor;
    const auto* x = static_cast<const double*>(L->x);
    double sum = 0.0;
    if (L->is_super) {
        const auto* super = static_cast<const std::int64_t*>(L->super);
        const auto* pi = static_cast<const std::int64_t*>(L->pi);
        const auto* px = static_cast<const std::int64_t*>(L->px);
        for (std::size_t s = 0; s < L->nsuper; ++s) {
            const std::int64_t columns = super[s + 1] - super[s], rows = pi[s + 1] - pi[s];
            for (std::int64_t c = 0; c < columns; ++c) sum += 2.0 * std::log(x[px[s] + c * rows + c]);
        }
    } else {
        const auto* p = static_cast<const std::int64_t*>(L->p);
        for (std::size_t j = 0; j < L->n; ++j) {
            const double d = x[p[j]];
            sum += L->is_ll ? 2.0 * std::log(d) : std::log(d);
        }
    }
    return sum;
}

Eigen::MatrixXd SparseFactor::solve(const Eigen::MatrixXd& rhs) const {
    State& s = *state_;
    cholmod_dense B{};
    B.nrow = static_cast<std::size_t>(rhs.rows());
    B.ncol = static_cast<std::size_t>(rhs.cols());
    B.nzmax = B.nrow * B.ncol;
    B.d = B.nrow;
    B.x = const_cast<double*>(rhs.data());
    B.xtype = CHOLMOD_REAL;
    B.dtype = CHOLMOD_DOUBLE;
    cholmod_dense* X = cholmod_l_solve(CHOLMOD_A, s.factor, &B, &s.common);
    if (X == nullptr) {
        throw RunFailure("a solve with the sparse factor failed (CHOLMOD status " + std::to_string(s.common.status) +
                         ": out of memory).");
    }
    Eigen::MatrixXd out = Eigen::Map<const Eigen::MatrixXd>(static_cast<const double*>(X->x), rhs.rows(), rhs.cols());
    cholmod_l_free_dense(&X, &s.common);
    return out;
}

SparseFactor::Located SparseFactor::locate(const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) const {
    State& s = *state_;
    if (s.Lp.empty()) {
        cholmod_factor* copy = s.simplicial_copy();
        const auto* p = static_cast<const std::int64_t*>(copy->p);
        const auto* i = static_cast<const std::int64_t*>(copy->i);
        s.Lp.assign(p, p + s.n + 1);
        s.Li.assign(i, i + s.Lp.back());
        cholmod_l_free_factor(&copy, &s.common);
        s.sorted.resize(s.Li.size());
        std::iota(s.sorted.begin(), s.sorted.end(), std::int64_t{0});
        for (std::int64_t j = 0; j < s.n; ++j) {
            std::sort(s.sorted.begin() + s.Lp[j], s.sorted.begin() + s.Lp[j + 1],
                      [&](std::int64_t a, std::int64_t b) { return s.Li[a] < s.Li[b]; });
        }
    }
    Located located;
    located.positions.reserve(pairs.size());
    for (const auto& [row, column] : pairs) {
        std::int64_t a = s.inverse_permutation[static_cast<std::size_t>(row)];
        std::int64_t b = s.inverse_permutation[static_cast<std::size_t>(column)];
        if (a < b) std::swap(a, b);
        const auto begin = s.sorted.begin() + s.Lp[b], end = s.sorted.begin() + s.Lp[b + 1];
        const auto found = std::lower_bound(begin, end, a, [&](std::int64_t at, std::int64_t r) { return s.Li[at] < r; });
        located.positions.push_back(found != end && s.Li[*found] == a ? *found : -1);
    }
    return located;
}

Eigen::VectorXd SparseFactor::selected_inverse(const Located& located) const {
    State& s = *state_;
    cholmod_factor* copy = s.simplicial_copy();
    Eigen::VectorXd Z;
    try {
        Z = takahashi_inverse(s.n, static_cast<const std::int64_t*>(copy->p), static_cast<const std::int64_t*>(copy->i),
                              static_cast<const double*>(copy->x));
    } catch (...) {
        cholmod_l_free_factor(&copy, &s.common);
        throw;
    }
    cholmod_l_free_factor(&copy, &s.common);
    Eigen::VectorXd values(static_cast<Eigen::Index>(located.positions.size()));
    for (std::size_t k = 0; k < located.positions.size(); ++k) {
        const std::int64_t at = located.positions[k];
        values[static_cast<Eigen::Index>(k)] = at < 0 ? std::numeric_limits<double>::quiet_NaN() : Z[at];
    }
    return values;
}

#else

bool sparse_factor_available() { return false; }

struct SparseFactor::State {};

SparseFactor::SparseFactor(const SparseLower&) {
    throw RunFailure("this build has no sparse Cholesky factor: install libsuitesparse-dev (CHOLMOD) and build again.");
}
SparseFactor::~SparseFactor() = default;
const FactorFigures& SparseFactor::figures() const {
    static const FactorFigures none;
    return none;
}
bool SparseFactor::factorize(const SparseLower&, std::int64_t*) { return false; }
double SparseFactor::log_determinant() const { return 0.0; }
Eigen::MatrixXd SparseFactor::solve(const Eigen::MatrixXd& rhs) const { return rhs; }
SparseFactor::Located SparseFactor::locate(const std::vector<std::pair<std::int64_t, std::int64_t>>&) const {
    return {};
}
Eigen::VectorXd SparseFactor::selected_inverse(const Located&) const { return {}; }

#endif

Eigen::VectorXd diagonal_of_inverse(const SparseLower& lower) {
    SparseFactor factor(lower);
    if (!factor.factorize(lower)) return {};
    std::vector<std::pair<std::int64_t, std::int64_t>> diagonal;
    for (std::int64_t i = 0; i < lower.rows(); ++i) diagonal.emplace_back(i, i);
    return factor.selected_inverse(factor.locate(diagonal));
}
