#include "mixed_model/monte_carlo_reml.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "log/failures.h"

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

using RowBlock = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using RowOfBlock = Eigen::Matrix<double, 1, Eigen::Dynamic>;

// Rows a thread takes at a time in the passes over a block.
constexpr Index kRowChunk = 4096;

// Columns solved in one pass: a wider block holds more vectors in memory than its passes save.
constexpr Index kColumnsPerPass = 64;

// The warm starts kept between evaluations, at most (bytes): beyond, the later vectors start at 0.
constexpr double kWarmStartBytes = 2e9;

// The column sums of a .* b over the rows, by threads.
RowOfBlock column_dots(const RowBlock& a, const RowBlock& b) {
    const Index rows = a.rows(), cols = a.cols();
    RowOfBlock total = RowOfBlock::Zero(cols);
#pragma omp parallel
    {
        RowOfBlock part = RowOfBlock::Zero(cols);
#pragma omp for schedule(static) nowait
        for (Index i = 0; i < rows; ++i) part += a.row(i).cwiseProduct(b.row(i));
#pragma omp critical
        total += part;
    }
    return total;
}

}  // namespace

BlockPcg::BlockPcg(const SparseLower& lower, Index fixed, std::vector<Index> blocks)
    : order_(lower.rows()), fixed_(fixed), blocks_(std::move(blocks)) {
    // The whole matrix by rows: a row i holds C(i, j) of the lower triangle's column j (j <= i)
    // and of its column i (j > i).
    std::vector<std::int64_t> count(static_cast<std::size_t>(order_) + 1, 0);
    for (Index j = 0; j < order_; ++j) {
        for (std::int64_t at = lower.outerIndexPtr()[j]; at < lower.outerIndexPtr()[j + 1]; ++at) {
            const std::int64_t i = lower.innerIndexPtr()[at];
            ++count[static_cast<std::size_t>(i) + 1];
            if (i != j) ++count[static_cast<std::size_t>(j) + 1];
        }
    }
    for (std::size_t i = 1; i < count.size(); ++i) count[i] += count[i - 1];
    outer_ = count;
    inner_.resize(static_cast<std::size_t>(outer_.back()));
    source_.resize(inner_.size());
    for (Index j = 0; j < order_; ++j) {
        for (std::int64_t at = lower.outerIndexPtr()[j]; at < lower.outerIndexPtr()[j + 1]; ++at) {
            const std::int64_t i = lower.innerIndexPtr()[at];
            const auto put = [&](std::int64_t row, std::int64_t column) {
                const std::int64_t slot = count[static_cast<std::size_t>(row)]++;
                inner_[static_cast<std::size_t>(slot)] = column;
                source_[static_cast<std::size_t>(slot)] = at;
            };
            put(i, j);
            if (i != j) put(j, i);
        }
    }
    refresh(lower);
}

void BlockPcg::refresh(const SparseLower& lower) {
    values_.resize(static_cast<Index>(source_.size()));
    for (std::size_t k = 0; k < source_.size(); ++k) values_[static_cast<Index>(k)] = lower.valuePtr()[source_[k]];
    inverse_diagonal_ = VectorXd::Zero(order_);
    MatrixXd block = MatrixXd::Zero(fixed_, fixed_);
    for (Index i = 0; i < order_; ++i) {
        for (std::int64_t at = outer_[static_cast<std::size_t>(i)]; at < outer_[static_cast<std::size_t>(i) + 1]; ++at) {
            const std::int64_t j = inner_[static_cast<std::size_t>(at)];
            if (i < fixed_ && j < fixed_) block(i, j) = values_[at];
            if (j == i && i >= fixed_) inverse_diagonal_[i] = 1.0 / values_[at];
        }
    }
    fixed_block_.compute(block);
    block_inverses_.resize(blocks_.empty() ? 0 : blocks_.size() - 1);
#pragma omp parallel for schedule(dynamic, kRowChunk)
    for (std::size_t b = 0; b < block_inverses_.size(); ++b) {
        const Index first = blocks_[b], size = blocks_[b + 1] - first;
        MatrixXd diagonal = MatrixXd::Zero(size, size);
        for (Index i = first; i < first + size; ++i) {
            for (std::int64_t at = outer_[static_cast<std::size_t>(i)]; at < outer_[static_cast<std::size_t>(i) + 1]; ++at) {
                const std::int64_t j = inner_[static_cast<std::size_t>(at)];
                if (j >= first && j < first + size) diagonal(i - first, j - first) = values_[at];
            }
        }
        block_inverses_[b] = diagonal.ldlt().solve(MatrixXd::Identity(size, size));
    }
}

void BlockPcg::multiply(const Rows& x, Rows& y) const {
    y.resize(x.rows(), x.cols());
#pragma omp parallel for schedule(dynamic, kRowChunk)
    for (Index i = 0; i < order_; ++i) {
        auto out = y.row(i);
        out.setZero();
        for (std::int64_t at = outer_[static_cast<std::size_t>(i)]; at < outer_[static_cast<std::size_t>(i) + 1]; ++at) {
            out += values_[at] * x.row(inner_[static_cast<std::size_t>(at)]);
        }
    }
}

void BlockPcg::precondition(const Rows& r, Rows& z) const {
    z.resize(r.rows(), r.cols());
    if (fixed_ > 0) z.topRows(fixed_) = fixed_block_.solve(MatrixXd(r.topRows(fixed_)));
    if (!block_inverses_.empty()) {
#pragma omp parallel for schedule(static)
        for (std::size_t b = 0; b < block_inverses_.size(); ++b) {
            const Index first = blocks_[b], size = blocks_[b + 1] - first;
            z.middleRows(first, size).noalias() = block_inverses_[b] * r.middleRows(first, size);
        }
        return;
    }
#pragma omp parallel for schedule(static)
    for (Index i = fixed_; i < order_; ++i) z.row(i) = inverse_diagonal_[i] * r.row(i);
}

BlockSolution BlockPcg::solve(const MatrixXd& b, const MatrixXd& start, double tolerance, int max_iterations) const {
    const Index cols = b.cols();
    BlockSolution result;
    Rows x = start.size() == 0 ? Rows(Rows::Zero(order_, cols)) : Rows(start);
    const Rows rhs = b;
    const RowOfBlock target = column_dots(rhs, rhs).cwiseSqrt() * tolerance;
    Rows r, z, p, q;
    // The residual recomputed from x, and the columns still above their target.
    std::vector<bool> active(static_cast<std::size_t>(cols));
    const auto restart = [&]() {
        multiply(x, q);
        r = rhs - q;
        const RowOfBlock norms = column_dots(r, r).cwiseSqrt();
        bool any = false;
        result.relative_residual = 0.0;
        for (Index c = 0; c < cols; ++c) {
            active[static_cast<std::size_t>(c)] = norms[c] > target[c];
            any = any || active[static_cast<std::size_t>(c)];
            if (target[c] > 0.0) result.relative_residual = std::max(result.relative_residual, norms[c] / target[c] * tolerance);
        }
        precondition(r, z);
        p = z;
        return any;
    };
    if (!restart()) {
        result.converged = true;
        result.x = x;
        return result;
    }
    RowOfBlock rz = column_dots(r, z);
    while (result.iterations < max_iterations) {
        ++result.iterations;
        multiply(p, q);
        const RowOfBlock pq = column_dots(p, q);
        RowOfBlock alpha = RowOfBlock::Zero(cols);
        for (Index c = 0; c < cols; ++c) {
            if (!active[static_cast<std::size_t>(c)]) continue;
            if (!(pq[c] > 0.0)) {
                result.problem = "the mixed model equations are not positive definite (conjugate gradients broke down)";
                result.x = x;
                return result;
            }
            alpha[c] = rz[c] / pq[c];
        }
#pragma omp parallel for schedule(static)
        for (Index i = 0; i < order_; ++i) {
            x.row(i) += p.row(i).cwiseProduct(alpha);
            r.row(i) -= q.row(i).cwiseProduct(alpha);
        }
        const RowOfBlock norms = column_dots(r, r).cwiseSqrt();
        bool any = false;
        for (Index c = 0; c < cols; ++c) {
            active[static_cast<std::size_t>(c)] = active[static_cast<std::size_t>(c)] && norms[c] > target[c];
            any = any || active[static_cast<std::size_t>(c)];
        }
        if (!any) {
            // The recursive residual drifts from the true one: converged only when x shows it.
            if (!restart()) {
                result.converged = true;
                break;
            }
            rz = column_dots(r, z);
            continue;
        }
        precondition(r, z);
        const RowOfBlock next = column_dots(r, z);
        RowOfBlock beta = RowOfBlock::Zero(cols);
        for (Index c = 0; c < cols; ++c) {
            if (active[static_cast<std::size_t>(c)]) beta[c] = next[c] / rz[c];
        }
        rz = next;
#pragma omp parallel for schedule(static)
        for (Index i = 0; i < order_; ++i) p.row(i) = z.row(i) + p.row(i).cwiseProduct(beta);
    }
    if (!result.converged) {
        restart();
        result.problem = "the conjugate gradients did not converge in " + std::to_string(max_iterations) +
                         " iterations (relative residual " + std::to_string(result.relative_residual) + ")";
    }
    result.x = x;
    return result;
}

Eigen::MatrixXd rademacher_vectors(std::uint64_t seed, Index order, int first, int count) {
    MatrixXd z(order, count);
    for (int s = 0; s < count; ++s) {
        // One stream per vector: a vector does not depend on how many were drawn before it.
        std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                               static_cast<std::uint32_t>(first + s)};
        std::mt19937_64 random(sequence);
        std::uint64_t bits = 0;
        for (Index i = 0; i < order; ++i) {
            if (i % 64 == 0) bits = random();
            z(i, s) = (bits >> (i % 64)) & 1U ? 1.0 : -1.0;
        }
    }
    return z;
}

struct MonteCarloMmeEvaluator::State {
    std::shared_ptr<SparseEquations> equations;
    MonteCarloSettings settings;
    std::unique_ptr<BlockPcg> pcg;
    MatrixXd warm_vectors;   // the solution, then the vectors kept (order x 1 + kept)
    Index warm_valid = 0;    // of its columns, those solved already
    MatrixXd warm_variates;  // C^-1 g of the working variates
    Work work;
    bool simulated = false;  // the traces from simulated records
    Index draws = 0;         // the entries of a vector that simulates records: the terms' parts' levels, the records'

    // C^-1 b from the warm start `warm` (its columns, where it has them), which takes the result.
    MatrixXd solved(const MatrixXd& b, const MatrixXd& warm, int& iterations) const {
        MatrixXd start = MatrixXd::Zero(b.rows(), b.cols());
        const Index kept = std::min(warm.cols(), b.cols());
        if (kept > 0 && warm.rows() == b.rows()) start.leftCols(kept) = warm.leftCols(kept);
        BlockSolution solution = pcg->solve(b, start, settings.tolerance, settings.max_iterations);
        iterations += solution.iterations;
        if (!solution.problem.empty()) throw RunFailure(solution.problem);
        return std::move(solution.x);
    }

    // x_s' part z_s for every vector s (columns of x and z), over the lower triangle's pattern.
    VectorXd bilinear(const VectorXd& part, const MatrixXd& x, const MatrixXd& z) const {
        const SparseLower& C = equations->C;
        const Index count = x.cols();
        const RowBlock xr = x, zr = z;
        RowOfBlock total = RowOfBlock::Zero(count);
#pragma omp parallel
        {
            RowOfBlock sum = RowOfBlock::Zero(count);
#pragma omp for schedule(dynamic, kRowChunk) nowait
            for (Index j = 0; j < C.outerSize(); ++j) {
                for (std::int64_t at = C.outerIndexPtr()[j]; at < C.outerIndexPtr()[j + 1]; ++at) {
                    const double value = part[at];
                    if (value == 0.0) continue;
                    const std::int64_t i = C.innerIndexPtr()[at];
                    sum += value * xr.row(i).cwiseProduct(zr.row(j));
                    if (i != j) sum += value * xr.row(j).cwiseProduct(zr.row(i));
                }
            }
#pragma omp critical
            total += sum;
        }
        return total.transpose();
    }

    // Columns of N(0, K) of term k's levels from columns z of unit variance: K's root from the
    // pedigree, or the identity.
    MatrixXd relationship_draws(std::size_t k, const MatrixXd& z) const {
        const SparseTerm& term = equations->terms[k];
        if (term.inverse.rows() == 0) return z;
        const PedigreeRoot& root = term.root;
        const auto known = static_cast<Index>(root.mendelian.size());
        RowBlock u = z;
        for (Index i = 0; i < u.rows(); ++i) {
            if (i >= known) continue;  // a founder of variance 1
            u.row(i) *= std::sqrt(root.mendelian[static_cast<std::size_t>(i)]);
            const std::int32_t s = root.sire[static_cast<std::size_t>(i)], d = root.dam[static_cast<std::size_t>(i)];
            if (s >= 0) u.row(i) += 0.5 * u.row(s);
            if (d >= 0) u.row(i) += 0.5 * u.row(d);
        }
        return u;
    }

    // Records simulated from vectors z (their rows the terms' parts, each over its levels, then
    // the records): y* = Z u* + e*, and the right-hand sides M'R^-1 y* of their solutions.
    struct Simulated {
        MatrixXd records, right_sides;
    };
    Simulated simulated_records(const MatrixXd& z, const VectorXd& values) const {
        const SparseEquations& e = *equations;
        const Index count = z.cols();
        Simulated out;
        MatrixXd effects = MatrixXd::Zero(e.order, count);
        Index at = 0;
        for (std::size_t k = 0; k < e.terms.size(); ++k) {
            const Index levels = e.terms[k].levels, parts = e.parts_of(k);
            const MatrixXd L = e.block(k, values).llt().matrixL();
            std::vector<MatrixXd> columns;
            for (Index a = 0; a < parts; ++a, at += levels) columns.push_back(relationship_draws(k, z.middleRows(at, levels)));
            for (Index a = 0; a < parts; ++a) {
                for (Index b = 0; b <= a; ++b) {
                    if (L(a, b) == 0.0) continue;
                    for (Index i = 0; i < levels; ++i) effects.row(e.equation(k, i, a)) += L(a, b) * columns[static_cast<std::size_t>(b)].row(i);
                }
            }
        }
        out.records = e.residual_draws(z.middleRows(at, e.n), values);
        for (Index c = 0; c < count; ++c) out.records.col(c) += e.fitted(effects.col(c));
        out.right_sides = e.weighted_design_product(out.records, values);
        return out;
    }

    // Per-vector traces of every feature from simulated records (features x samples): of a
    // term's part tr(part G) - s*'part s*, of a residual class tr(W_c R) - e^*'W_c e^*.
    void simulated_traces(const Simulated& records, const MatrixXd& x, const VectorXd& values, MatrixXd& traces,
                          Index first) const {
        const SparseEquations& e = *equations;
        const Index count = x.cols();
        Index f = 0;
        for (std::size_t k = 0; k < e.terms.size(); ++k) {
            const MatrixXd G0 = e.block(k, values);
            const auto levels = static_cast<double>(e.terms[k].levels);
            for (Index a = 0; a < G0.rows(); ++a) {
                for (Index b = 0; b <= a; ++b, ++f) {
                    traces.block(f, first, 1, count) =
                        (G0(a, b) * levels - bilinear(e.parts[static_cast<std::size_t>(f)], x, x).array()).transpose();
                }
            }
        }
        const Index terms_end = f;
        if (e.classes == 1 && !e.several_traits()) {
            // tr(C^-1 C) = order, C = part_e / s2_e + sum of the terms' parts by G0^-1.
            RowOfBlock rest = RowOfBlock::Constant(count, static_cast<double>(e.order));
            Index g = 0;
            for (std::size_t k = 0; k < e.terms.size(); ++k) {
                const MatrixXd inverse = e.block(k, values).inverse();
                for (Index a = 0; a < inverse.rows(); ++a) {
                    for (Index b = 0; b <= a; ++b, ++g) {
                        rest -= (a == b ? 1.0 : 2.0) * inverse(a, b) * traces.block(g, first, 1, count);
                    }
                }
            }
            traces.block(terms_end, first, 1, count) = values.tail(1)[0] * rest;
            return;
        }
        MatrixXd residuals(e.n, count);
        for (Index c = 0; c < count; ++c) residuals.col(c) = records.records.col(c) - e.fitted(x.col(c));
        traces.block(terms_end, first, e.features() - terms_end, count) = e.residual_spread(residuals, values);
    }

    // The solution (column 0) and the per-vector traces of every component (components x samples).
    std::pair<VectorXd, MatrixXd> solution_and_traces(const VectorXd& rhs, const VectorXd& values) {
        const SparseEquations& e = *equations;
        const int samples = settings.samples;
        const Index keep = static_cast<Index>(std::min<double>(1.0 + samples, kWarmStartBytes / (8.0 * static_cast<double>(e.order))));
        if (warm_vectors.rows() != e.order) {
            warm_vectors.resize(e.order, 0);
            warm_valid = 0;
        }
        // More vectors than before: the warm starts grow, the solved ones kept in place.
        if (warm_vectors.cols() < keep) warm_vectors.conservativeResize(e.order, keep);
        VectorXd s;
        MatrixXd traces(e.features(), samples);
        for (int first = 0; first < samples;) {
            // Column 0 of the first pass is the solution.
            const int lead = first == 0 ? 1 : 0;
            const int count = static_cast<int>(std::min<Index>(kColumnsPerPass - lead, samples - first));
            MatrixXd b(e.order, lead + count);
            if (lead) b.col(0) = rhs;
            const MatrixXd z = rademacher_vectors(settings.seed, simulated ? draws : e.order, first, count);
            Simulated records;
            if (simulated) {
                records = simulated_records(z, values);
                b.rightCols(count) = records.right_sides;
            } else {
                b.rightCols(count) = z;
            }
            const Index from = first == 0 ? 0 : 1 + first;
            const Index warm = std::clamp<Index>(std::min(warm_valid, warm_vectors.cols()) - from, 0, b.cols());
            const MatrixXd x = solved(b, MatrixXd(warm_vectors.middleCols(from, warm)), work.vector_iterations);
            if (lead) s = x.col(0);
            for (Index c = 0; c < b.cols() && from + c < warm_vectors.cols(); ++c) warm_vectors.col(from + c) = x.col(c);
            if (simulated) {
                simulated_traces(records, x.rightCols(count), values, traces, first);
            } else {
                for (Index k = 0; k < e.features(); ++k) {
                    traces.block(k, first, 1, count) =
                        bilinear(e.parts[static_cast<std::size_t>(k)], x.rightCols(count), z).transpose();
                }
            }
            first += count;
        }
        warm_valid = std::min<Index>(warm_vectors.cols(), 1 + samples);
        return {s, traces};
    }
};

MonteCarloMmeEvaluator::MonteCarloMmeEvaluator(std::shared_ptr<SparseEquations> equations, MonteCarloSettings settings)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.equations = std::move(equations);
    s.settings = settings;
    s.pcg = std::make_unique<BlockPcg>(s.equations->C, s.equations->p, s.equations->diagonal_blocks());
    const SparseEquations& e = *s.equations;
    bool covarying = false, drawable = true;
    s.draws = e.n;
    for (std::size_t k = 0; k < e.terms.size(); ++k) {
        covarying = covarying || e.parts_of(k) > 1;
        drawable = drawable && (e.terms[k].inverse.rows() == 0 || !e.terms[k].root.empty());
        s.draws += e.terms[k].levels * e.parts_of(k);
    }
    s.simulated = covarying && drawable;
}

bool MonteCarloMmeEvaluator::simulated() const { return state_->simulated; }

MonteCarloMmeEvaluator::~MonteCarloMmeEvaluator() = default;

void MonteCarloMmeEvaluator::set_samples(int samples) { state_->settings.samples = samples; }

int MonteCarloMmeEvaluator::samples() const { return state_->settings.samples; }

Index MonteCarloMmeEvaluator::equations() const { return state_->equations->order; }

const MonteCarloMmeEvaluator::Work& MonteCarloMmeEvaluator::last_work() const { return state_->work; }

LikelihoodPoint MonteCarloMmeEvaluator::evaluate(const VectorXd& theta) const {
    State& state = *state_;
    SparseEquations& e = *state.equations;
    const auto start = std::chrono::steady_clock::now();
    state.work = {};
    LikelihoodPoint point;
    point.likelihood = false;
    point.log_likelihood = std::numeric_limits<double>::quiet_NaN();
    VectorXd values;
    if (!e.start_point(theta, values, point)) return point;
    e.set_coefficients(values);
    state.pcg->refresh(e.C);
    const VectorXd rhs = e.weighted_design_product(e.y, values).col(0);
    VectorXd s;
    MatrixXd per_vector;
    try {
        std::tie(s, per_vector) = state.solution_and_traces(rhs, values);
        const SparseEquations::AtSolution at = e.at_solution(values, rhs, s);
        const double samples = static_cast<double>(per_vector.cols());
        const VectorXd traces = per_vector.rowwise().mean();
        point.score = e.score(values, at, traces);
        // The score is linear in the traces; the mean's covariance is the spread's over S.
        const MatrixXd centred = per_vector.colwise() - traces;
        const MatrixXd trace_covariance = centred * centred.transpose() / ((samples - 1.0) * samples);
        state.work.traces = traces;
        state.work.trace_errors = trace_covariance.diagonal().cwiseSqrt();
        const MatrixXd slope = e.trace_slope(values);
        point.score_covariance = slope * trace_covariance * slope.transpose();
        const MatrixXd g = e.weighted_design_product(at.variates, values);
        const MatrixXd solved = state.solved(g, state.warm_variates, state.work.variate_iterations);
        state.warm_variates = solved;
        point.ai = e.average_information(values, at.variates, g, solved);
    } catch (const RunFailure& failure) {
        point.problem = failure.what();
        return point;
    }
    state.work.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    point.finite = point.score.allFinite() && point.ai.allFinite();
    if (!point.finite) point.problem = "the derivatives of the log-likelihood are not finite";
    return point;
}
