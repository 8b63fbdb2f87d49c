#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mixed_model/sparse_reml.h"

// ---- The mixed model equations solved by conjugate gradients, many right-hand sides a pass ----
// C (the lower triangle of a symmetric positive definite matrix) applied to a block of vectors,
// and each column of the block solved by its own preconditioned conjugate gradients, all columns
// sharing each pass over C (the pass, not the arithmetic, is what a national C costs). The
// preconditioner is the inverse of C's leading `fixed` x `fixed` block (the fixed effects) and of
// the diagonal blocks elsewhere: each level's equations of a term of several parts together (a
// plain diagonal needs thousands of iterations where the parts covary), single equations without. A column converges when ||b - C x|| <= tolerance ||b||, checked on the
// residual recomputed from x.
struct BlockSolution {
    Eigen::MatrixXd x;
    int iterations = 0;
    double relative_residual = 0.0;  // the largest of the columns
    bool converged = false;
    std::string problem;  // C not positive definite, or not converged
};
class BlockPcg {
public:
    // `blocks`: the first equation of each diagonal block after the fixed effects, and the order
    // last; empty: every equation its own.
    BlockPcg(const SparseLower& lower, Eigen::Index fixed, std::vector<Eigen::Index> blocks = {});
    // C's values again (the same pattern).
    void refresh(const SparseLower& lower);
    BlockSolution solve(const Eigen::MatrixXd& b, const Eigen::MatrixXd& start, double tolerance,
                        int max_iterations) const;

private:
    using Rows = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    void multiply(const Rows& x, Rows& y) const;
    void precondition(const Rows& r, Rows& z) const;

    Eigen::Index order_ = 0, fixed_ = 0;
    std::vector<std::int64_t> outer_, inner_, source_;  // the whole of C by rows; source_: the lower's value
    Eigen::VectorXd values_, inverse_diagonal_;
    std::vector<Eigen::Index> blocks_;
    std::vector<Eigen::MatrixXd> block_inverses_;
    Eigen::LLT<Eigen::MatrixXd> fixed_block_;
};

// ---- Monte Carlo AI-REML on the sparse mixed model equations ----------------------------------
// What cannot be factored is solved: the traces tr(C^-1 part_k) of the first derivatives are
// Hutchinson's estimates over `samples` Rademacher vectors z_s (drawn from `seed`, the same at
// every theta, so the estimated score is a smooth function of theta and the AI iteration settles
// as on exact traces): tr(C^-1 B) ~ mean_s (C^-1 z_s)' B z_s. The solution, the vectors and the
// AI's working variates are solved by BlockPcg, each warm-started from the last theta's solution.
// There is no log-likelihood (log|C| needs the factor): the point has none, and the Monte Carlo
// covariance of its score comes from the spread of the per-vector traces.
// Where a term has several covarying parts (direct and maternal effects, a random regression,
// several traits), Hutchinson's estimates of its traces spread too widely (their off-diagonal
// terms), and the traces come from records simulated from the vectors instead, where every term's
// K can be drawn from (a pedigree's root, or the identity): with u* ~ (G0 (x) K) and e* ~ R from
// z_s, y* = Z u* + e* and s* = C^-1 M'R^-1 y*, E[s*'part s*] = tr(part G) - tr(C^-1 part) for a
// term's part (Henderson: var(u^) = G - C^uu), and E[e^*'W e^*] = tr(W R) - tr(C^-1 M'W M) for a
// residual feature (a class, or an element of a pattern's block of several traits), e^* = y* -
// M s*. With one trait and one residual class its trace is had from the terms' by
// tr(C^-1 C) = order, which spreads less than its own estimate.
struct MonteCarloSettings {
    int samples = 50;
    std::uint64_t seed = 20270101;
    double tolerance = 1e-8;  // of each PCG solve
    int max_iterations = 10000;
};
class MonteCarloMmeEvaluator : public SpacedEvaluator {
public:
    MonteCarloMmeEvaluator(std::shared_ptr<SparseEquations> equations, MonteCarloSettings settings);
    ~MonteCarloMmeEvaluator() override;
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;

    // More vectors: the first ones stay, so the estimates move by the Monte Carlo error alone.
    void set_samples(int samples);
    int samples() const;
    Eigen::Index equations() const;
    // The traces from simulated records (true) or Hutchinson's.
    bool simulated() const;
    // The work of the last evaluation: PCG iterations of the solution and vectors' passes, of
    // the working variates' pass, and its seconds.
    struct Work {
        int vector_iterations = 0, variate_iterations = 0;
        double seconds = 0.0;
        Eigen::VectorXd traces, trace_errors;  // tr(C^-1 part_k) of each component, its Monte Carlo SE
    };
    const Work& last_work() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The rows of Rademacher vectors `first` .. `first + count - 1` of `seed` over `order` equations
// (order x count): vector s is the same whichever block it is drawn in.
Eigen::MatrixXd rademacher_vectors(std::uint64_t seed, Eigen::Index order, int first, int count);
