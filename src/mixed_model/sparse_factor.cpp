#include "mixed_model/sparse_factor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cmath>
#include <limits>
#include <numeric>
#include <type_traits>

#include <cblas.h>

#include "linear_algebra/lapack.h"
#include "log/failures.h"

namespace {

// A thread that tells `progress` every SparseFactor::kProgressEvery seconds what runs, while it
// lives: the factorisation itself gives no word for minutes.
class ProgressWatch {
public:
    ProgressWatch(const SparseFactor::Progress& progress, const char* stage) {
        if (!progress) return;
        watcher_ = std::thread([this, progress, stage] {
            const auto start = std::chrono::steady_clock::now();
            std::unique_lock<std::mutex> lock(mutex_);
            while (!cv_.wait_for(lock, std::chrono::duration<double>(SparseFactor::kProgressEvery), [this] { return done_; })) {
                progress(stage, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
        });
    }
    ~ProgressWatch() {
        if (!watcher_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        watcher_.join();
    }
    ProgressWatch(const ProgressWatch&) = delete;
    ProgressWatch& operator=(const ProgressWatch&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread watcher_;
};

}  // namespace

#ifdef ZELKORA_HAVE_CHOLMOD

#include <cholmod.h>

static_assert(sizeof(SuiteSparse_long) == sizeof(std::int64_t), "CHOLMOD's long indices are 64-bit");

namespace {

// A view of `matrix` CHOLMOD reads without copying.
cholmod_sparse cholmod_view(const SparseLower& matrix) {
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

}  // namespace

bool sparse_factor_available() { return true; }

struct SparseFactor::State {
    cholmod_common common;
    cholmod_factor* factor = nullptr;
    FactorFigures figures;
    std::int64_t n = 0;
    std::vector<std::int64_t> inverse_permutation;  // the factor's row of each of the matrix's rows
    std::vector<std::int64_t> super_of;  // the supernode of each column of the factor
    Progress progress;

    State() { cholmod_l_start(&common); }
    ~State() {
        if (factor != nullptr) cholmod_l_free_factor(&factor, &common);
        cholmod_l_finish(&common);
    }

    static cholmod_sparse view(const SparseLower& matrix) { return cholmod_view(matrix); }

};

namespace {

// The supernodes' blocks of Z = C^-1 on the pattern of a supernodal LL' factor, in the layout of
// its values (each supernode's rows x columns, column-major). With J a supernode's columns, R its
// rows below them and Y = L_RJ L_JJ^-1 (Takahashi's equations by blocks):
//   Z_RJ = -Z_RR Y,   Z_JJ = L_JJ^-T L_JJ^-1 - Y'Z_RJ,
// Z_RR gathered from the supernode's ancestors: the rows of R below any column k of R are in k's
// pattern. A supernode is worked once its parent is.
class SupernodalInverse {
public:
    SupernodalInverse(const cholmod_factor* L, const std::vector<std::int64_t>& super_of)
        : super_(static_cast<const std::int64_t*>(L->super)),
          pi_(static_cast<const std::int64_t*>(L->pi)),
          px_(static_cast<const std::int64_t*>(L->px)),
          rows_of_(static_cast<const std::int64_t*>(L->s)),
          x_(static_cast<const double*>(L->x)),
          super_of_(super_of),
          Z_(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(L->xsize))) {}

    // Supernodes are numbered in postorder: each one's subtree is the range of numbers just below
    // it, and going down the numbers works every supernode after its ancestors. The large ones
    // near the root go one by one (their BLAS over every core); below them, whole subtrees go to
    // the cores side by side.
    Eigen::VectorXd run(std::int64_t count) {
        std::vector<std::int64_t> parent(static_cast<std::size_t>(count), -1), first(static_cast<std::size_t>(count));
        for (std::int64_t s = 0; s < count; ++s) {
            const std::int64_t nc = super_[s + 1] - super_[s];
            if (pi_[s + 1] - pi_[s] > nc) parent[static_cast<std::size_t>(s)] = super_of_[static_cast<std::size_t>(rows_of_[pi_[s] + nc])];
            first[static_cast<std::size_t>(s)] = s;
        }
        // Each subtree's size against the range of numbers below its root: equal on every
        // supernode when they are in postorder (else one by one, which a parent numbered after its
        // children still allows).
        std::vector<std::int64_t> size(static_cast<std::size_t>(count), 1);
        bool postorder = true;
        for (std::int64_t s = 0; s < count; ++s) {
            const auto k = static_cast<std::size_t>(s);
            postorder = postorder && size[k] == s - first[k] + 1;
            const std::int64_t p = parent[k];
            if (p < 0) continue;
            postorder = postorder && p > s;
            first[static_cast<std::size_t>(p)] = std::min(first[static_cast<std::size_t>(p)], first[k]);
            size[static_cast<std::size_t>(p)] += size[k];
        }
        std::vector<char> large(static_cast<std::size_t>(count), 0);
        std::vector<std::int64_t> subtrees;
        Work work;
        for (std::int64_t s = count - 1; s >= 0; --s) {
            const std::int64_t p = parent[static_cast<std::size_t>(s)];
            const double rows = static_cast<double>(pi_[s + 1] - pi_[s]);
            const bool at_top = p < 0 || large[static_cast<std::size_t>(p)];
            if (!postorder || (at_top && rows * rows * static_cast<double>(super_[s + 1] - super_[s]) > kLargeWork)) {
                large[static_cast<std::size_t>(s)] = 1;
                supernode(s, work);
            } else if (at_top) {
                subtrees.push_back(s);
            }
        }
#pragma omp parallel
        {
            Work own;
#pragma omp for schedule(dynamic, 1)
            for (std::size_t k = 0; k < subtrees.size(); ++k) {
                const std::int64_t root = subtrees[k];
                for (std::int64_t s = root; s >= first[static_cast<std::size_t>(root)]; --s) supernode(s, own);
            }
        }
        return std::move(Z_);
    }

private:
    // Work of a supernode (rows^2 x columns) above which its BLAS runs over the cores.
    static constexpr double kLargeWork = 4e6;
    // Columns of a block of the lower triangle's product.
    static constexpr int kLowerBlock = 128;
    struct Work {
        std::vector<double> W, Y, ZRR, ZRJ;
    };

    void supernode(std::int64_t s, Work& work) {
        const int nc = static_cast<int>(super_[s + 1] - super_[s]);
        const int nr = static_cast<int>(pi_[s + 1] - pi_[s]);
        const int no = nr - nc;
        const double* Ls = x_ + px_[s];
        const std::int64_t* rows = rows_of_ + pi_[s];
        double* Zs = Z_.data() + px_[s];
        std::vector<double>& W = work.W;
        // W = L_JJ^-T L_JJ^-1 (lower).
        W.assign(static_cast<std::size_t>(nc) * static_cast<std::size_t>(nc), 0.0);
        for (int c = 0; c < nc; ++c) {
            for (int r = c; r < nc; ++r) W[static_cast<std::size_t>(r + c * nc)] = Ls[r + static_cast<std::int64_t>(c) * nr];
        }
        int info = 0;
        dtrtri_("L", "N", &nc, W.data(), &nc, &info, 1, 1);
        dlauum_("L", &nc, W.data(), &nc, &info, 1);
        if (no > 0) {
            std::vector<double>& Y = work.Y;
            std::vector<double>& ZRR = work.ZRR;
            std::vector<double>& ZRJ = work.ZRJ;
            Y.resize(static_cast<std::size_t>(no) * static_cast<std::size_t>(nc));
            for (int c = 0; c < nc; ++c) {
                for (int r = 0; r < no; ++r) {
                    Y[static_cast<std::size_t>(r + c * no)] = Ls[nc + r + static_cast<std::int64_t>(c) * nr];
                }
            }
            cblas_dtrsm(CblasColMajor, CblasRight, CblasLower, CblasNoTrans, CblasNonUnit, no, nc, 1.0, Ls, nr,
                        Y.data(), no);
            ZRR.resize(static_cast<std::size_t>(no) * static_cast<std::size_t>(no));
            for (int c = 0; c < no; ++c) {
                const std::int64_t k = rows[nc + c];
                const std::int64_t t = super_of_[static_cast<std::size_t>(k)];
                const std::int64_t* t_rows = rows_of_ + pi_[t];
                const std::int64_t t_count = pi_[t + 1] - pi_[t];
                const double* Zk = Z_.data() + px_[t] + (k - super_[t]) * t_count;
                std::int64_t at = k - super_[t];
                for (int r = c; r < no; ++r) {
                    const std::int64_t i = rows[nc + r];
                    while (at < t_count && t_rows[at] < i) ++at;
                    ZRR[static_cast<std::size_t>(r + c * no)] = Zk[at];
                }
            }
            ZRJ.resize(Y.size());
            cblas_dsymm(CblasColMajor, CblasLeft, CblasLower, no, nc, -1.0, ZRR.data(), no, Y.data(), no, 0.0,
                        ZRJ.data(), no);
            // W -= Y' ZRJ is symmetric and only its lower triangle is read: block columns, each
            // from its diagonal down, take about half the flops of the whole product.
            for (int jb = 0; jb < nc; jb += kLowerBlock) {
                const int width = std::min(kLowerBlock, nc - jb);
                cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, nc - jb, width, no, -1.0,
                            Y.data() + static_cast<std::size_t>(jb) * no, no,
                            ZRJ.data() + static_cast<std::size_t>(jb) * no, no, 1.0,
                            W.data() + jb + static_cast<std::size_t>(jb) * nc, nc);
            }
            for (int c = 0; c < nc; ++c) {
                for (int r = 0; r < no; ++r) {
                    Zs[nc + r + static_cast<std::int64_t>(c) * nr] = ZRJ[static_cast<std::size_t>(r + c * no)];
                }
            }
        }
        for (int c = 0; c < nc; ++c) {
            for (int r = c; r < nc; ++r) Zs[r + static_cast<std::int64_t>(c) * nr] = W[static_cast<std::size_t>(r + c * nc)];
        }
    }

    const std::int64_t* super_;
    const std::int64_t* pi_;
    const std::int64_t* px_;
    const std::int64_t* rows_of_;
    const double* x_;
    const std::vector<std::int64_t>& super_of_;
    Eigen::VectorXd Z_;
};

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

SparseFactor::SparseFactor(const SparseLower& pattern, const std::vector<std::int64_t>& last)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.n = pattern.rows();
    s.common.supernodal = CHOLMOD_SUPERNODAL;
    cholmod_sparse A = State::view(pattern);
    if (last.empty()) {
        // AMD, and METIS where AMD leaves much fill: the ordering of the least fill is kept.
        s.common.nmethods = 0;
        s.factor = cholmod_l_analyze(&A, &s.common);
    } else {
        // A dense block ordered last by constrained AMD: it is one supernode at the root, and the
        // graph search that would find it costs more than the factor.
        std::vector<std::int64_t> member(static_cast<std::size_t>(s.n), 0), order(static_cast<std::size_t>(s.n));
        for (const std::int64_t row : last) member[static_cast<std::size_t>(row)] = 1;
        if (!cholmod_l_camd(&A, nullptr, 0, member.data(), order.data(), &s.common)) {
            throw RunFailure("the ordering of the sparse mixed model equations failed (CHOLMOD status " +
                             std::to_string(s.common.status) + ": out of memory).");
        }
        s.common.nmethods = 1;
        s.common.method[0].ordering = CHOLMOD_GIVEN;
        s.factor = cholmod_l_analyze_p(&A, order.data(), nullptr, 0, &s.common);
    }
    if (s.factor == nullptr) {
        throw RunFailure("the symbolic analysis of the sparse mixed model equations failed (CHOLMOD status " +
                         std::to_string(s.common.status) + ": out of memory, or too large for this machine).");
    }
    s.figures.nonzeros = s.common.lnz;
    s.figures.flops = s.common.fl;
    s.figures.ordering = last.empty() ? ordering_name(s.common.method[s.common.selected].ordering)
                                      : "CAMD, the " + std::to_string(last.size()) + " dense equations last";
    const auto* perm = static_cast<const std::int64_t*>(s.factor->Perm);
    s.inverse_permutation.assign(static_cast<std::size_t>(s.n), 0);
    for (std::int64_t k = 0; k < s.n; ++k) s.inverse_permutation[static_cast<std::size_t>(perm[k])] = k;
}

SparseFactor::~SparseFactor() = default;

FactorFigures block_factor_figures(const SparseLower& pattern, const std::vector<std::int64_t>& block_of,
                                   std::int64_t blocks) {
    std::vector<std::int64_t> size(static_cast<std::size_t>(blocks), 0);
    for (const std::int64_t b : block_of) ++size[static_cast<std::size_t>(b)];
    // The blocks' graph: a non-zero wherever two of their equations meet.
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    entries.reserve(static_cast<std::size_t>(pattern.nonZeros()));
    for (std::int64_t j = 0; j < pattern.outerSize(); ++j) {
        for (std::int64_t at = pattern.outerIndexPtr()[j]; at < pattern.outerIndexPtr()[j + 1]; ++at) {
            const std::int64_t a = block_of[static_cast<std::size_t>(pattern.innerIndexPtr()[at])],
                               b = block_of[static_cast<std::size_t>(j)];
            entries.emplace_back(std::max(a, b), std::min(a, b), 1.0);
        }
    }
    for (std::int64_t b = 0; b < blocks; ++b) entries.emplace_back(b, b, 1.0);
    SparseLower graph(blocks, blocks);
    graph.setFromTriplets(entries.begin(), entries.end(), [](double x, double) { return x; });
    graph.makeCompressed();
    entries = {};
    cholmod_common common;
    cholmod_l_start(&common);
    common.supernodal = CHOLMOD_SUPERNODAL;
    common.nmethods = 1;
    common.method[0].ordering = CHOLMOD_AMD;
    // Fundamental supernodes only: their rows are the factor's pattern, no zeros added.
    for (int k = 0; k < 3; ++k) common.nrelax[k] = 0, common.zrelax[k] = 0.0;
    cholmod_sparse A = cholmod_view(graph);
    cholmod_factor* L = cholmod_l_analyze(&A, &common);
    if (L == nullptr) {
        cholmod_l_finish(&common);
        throw RunFailure("the symbolic analysis of the sparse mixed model equations failed (CHOLMOD status " +
                         std::to_string(common.status) + ": out of memory, or too large for this machine).");
    }
    const auto* super = static_cast<const std::int64_t*>(L->super);
    const auto* pi = static_cast<const std::int64_t*>(L->pi);
    const auto* rows = static_cast<const std::int64_t*>(L->s);
    const auto* perm = static_cast<const std::int64_t*>(L->Perm);
    FactorFigures figures;
    std::vector<double> below;
    for (std::size_t sn = 0; sn < L->nsuper; ++sn) {
        // The equations in the rows of each of the supernode's columns, from the last row up.
        const std::int64_t count = pi[sn + 1] - pi[sn];
        below.assign(static_cast<std::size_t>(count) + 1, 0.0);
        for (std::int64_t r = count - 1; r >= 0; --r) {
            below[static_cast<std::size_t>(r)] =
                below[static_cast<std::size_t>(r) + 1] + static_cast<double>(size[static_cast<std::size_t>(perm[rows[pi[sn] + r]])]);
        }
        for (std::int64_t c = 0; c < super[sn + 1] - super[sn]; ++c) {
            const auto s = static_cast<double>(size[static_cast<std::size_t>(perm[super[sn] + c])]);
            const double under = below[static_cast<std::size_t>(c) + 1];
            figures.nonzeros += s * (s + 1.0) / 2.0 + s * under;
            // Its equations' columns hold under + s, under + s - 1, ..., under + 1 values.
            for (double k = 1.0; k <= s; ++k) figures.flops += (under + k) * (under + k);
        }
    }
    cholmod_l_free_factor(&L, &common);
    cholmod_l_finish(&common);
    figures.ordering = "AMD of the " + std::to_string(blocks) + " blocks (foreseen)";
    return figures;
}

const FactorFigures& SparseFactor::figures() const { return state_->figures; }

bool SparseFactor::factorize(const SparseLower& matrix, std::int64_t* failed_column) {
    State& s = *state_;
    cholmod_sparse A = State::view(matrix);
    // A matrix that is not positive definite is an answer here, not an error to print.
    s.common.quick_return_if_not_posdef = true;
    const int print = s.common.print;
    s.common.print = 0;
    const auto start = std::chrono::steady_clock::now();
    bool done = false;
    {
        const ProgressWatch watch(s.progress, "factorisation");
        done = cholmod_l_factorize(&A, s.factor, &s.common);
    }
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
    const cholmod_factor* L = s.factor;
    const auto* super = static_cast<const std::int64_t*>(L->super);
    const auto* pi = static_cast<const std::int64_t*>(L->pi);
    const auto* px = static_cast<const std::int64_t*>(L->px);
    const auto* rows_of = static_cast<const std::int64_t*>(L->s);
    if (s.super_of.empty()) {
        s.super_of.resize(static_cast<std::size_t>(s.n));
        for (std::size_t t = 0; t < L->nsuper; ++t) {
            for (std::int64_t k = super[t]; k < super[t + 1]; ++k) s.super_of[static_cast<std::size_t>(k)] = static_cast<std::int64_t>(t);
        }
    }
    Located located;
    located.positions.reserve(pairs.size());
    for (const auto& [row, column] : pairs) {
        std::int64_t a = s.inverse_permutation[static_cast<std::size_t>(row)];
        std::int64_t b = s.inverse_permutation[static_cast<std::size_t>(column)];
        if (a < b) std::swap(a, b);
        const std::int64_t t = s.super_of[static_cast<std::size_t>(b)];
        const std::int64_t count = pi[t + 1] - pi[t], offset = b - super[t];
        const std::int64_t* begin = rows_of + pi[t] + offset;
        const std::int64_t* end = rows_of + pi[t + 1];
        const std::int64_t* found = std::lower_bound(begin, end, a);
        located.positions.push_back(found != end && *found == a ? px[t] + offset * count + (found - (rows_of + pi[t]))
                                                                : -1);
    }
    return located;
}

Eigen::VectorXd SparseFactor::selected_inverse(const Located& located) const {
    State& s = *state_;
    if (s.super_of.empty()) locate({});
    Eigen::VectorXd Z;
    {
        const ProgressWatch watch(s.progress, "selected inverse");
        Z = SupernodalInverse(s.factor, s.super_of).run(static_cast<std::int64_t>(s.factor->nsuper));
    }
    Eigen::VectorXd values(static_cast<Eigen::Index>(located.positions.size()));
    for (std::size_t k = 0; k < located.positions.size(); ++k) {
        const std::int64_t at = located.positions[k];
        values[static_cast<Eigen::Index>(k)] = at < 0 ? std::numeric_limits<double>::quiet_NaN() : Z[at];
    }
    return values;
}

void SparseFactor::set_progress(Progress progress) { state_->progress = std::move(progress); }

#else

bool sparse_factor_available() { return false; }
void SparseFactor::set_progress(Progress) {}

struct SparseFactor::State {};

SparseFactor::SparseFactor(const SparseLower&, const std::vector<std::int64_t>&) {
    throw RunFailure("this build has no sparse Cholesky factor: install libsuitesparse-dev (CHOLMOD) and build again.");
}
SparseFactor::~SparseFactor() = default;
FactorFigures block_factor_figures(const SparseLower&, const std::vector<std::int64_t>&, std::int64_t) {
    throw RunFailure("this build has no sparse Cholesky factor: install libsuitesparse-dev (CHOLMOD) and build again.");
}
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
