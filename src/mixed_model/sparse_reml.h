#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mixed_model/ai_reml.h"
#include "mixed_model/grouped_evaluator.h"
#include "mixed_model/sparse_factor.h"

// ---- REML on the sparse mixed model equations --------------------------------------------------
// A part of a random term: each record's level (-1: none) and the covariate that multiplies it
// (empty: 1), a regression's values.
struct SparsePart {
    std::vector<Eigen::Index> level_of_record;
    Eigen::VectorXd covariate{};
};

// K = T D T' of a pedigree whose levels have their parents before them: a column of N(0, K) is
// drawn level by level as u_i = (u_sire + u_dam) / 2 + sqrt(d_i) z_i. Levels beyond the parents'
// vectors are founders of variance 1 (dams joined to the pedigree). Empty: K is known by its
// inverse alone.
struct PedigreeRoot {
    std::vector<std::int32_t> sire{}, dam{};  // -1: unknown
    std::vector<double> mendelian{};          // d_i
    bool empty() const { return mendelian.empty(); }
};

// A random term of the sparse equations: its parts (the direct and maternal effects, a random
// regression's coefficients) over one set of levels, whose covariance is given as its sparse
// inverse K^-1 (lower triangle; empty: identity) with log|K|. The parts covary by one block G0,
// so the term's covariance is G0 (x) K; its equations are level-major (a level's parts together).
struct SparseTerm {
    std::vector<SparsePart> parts;
    Eigen::Index levels = 0;
    SparseLower inverse{};
    double log_determinant = 0.0;
    std::vector<Eigen::Index> dense_levels{};  // where the inverse has a dense block (ordered last)
    PedigreeRoot root{};  // with an inverse from a pedigree alone
};

// Several traits: each record is one trait's value (`trait_of_record`, 0 to traits - 1) of an
// individual (`group_of_record`, 0 to groups - 1, each trait at most once), and an individual's
// values covary by the residual block R0 (traits x traits): R is block-diagonal by individual,
// each block R0's rows and columns of the traits it has. One trait: R as below.
struct RecordTraits {
    Eigen::Index traits = 1;
    std::vector<Eigen::Index> trait_of_record{}, group_of_record{};
};

// y = X b + sum_k Z_k u_k + e, u_k ~ N(0, G0_k (x) K_k), e ~ N(0, R) with R = diag(s2_e(c_r) / w_r)
// (a residual variance per class), theta = each term's G0 (lower triangle row by row; one part:
// its variance), then s2_e(1), ..., and the mixed model equations C = M'R^-1 M + (+)_k G0_k^-1 (x)
// K_k^-1, M = [X Z_1 ... Z_m], assembled once: C's lower pattern, and on it each component's part
// (M'W_c M of each class; F_ab (x) K_k^-1 of element (a, b) of a block, F_ab the symmetric unit
// matrix with 1/2 off the diagonal), so that C at theta is sum_c part_c / s2_e(c) plus, for
// each term, sum_ab (G0^-1)_ab part_ab twice off the diagonal. X must have full column rank.
// With several traits theta ends with each class's R0 (lower triangle), an individual's values
// of class c with weight w covary by R0_c / w, and each set of traits recorded together in a
// class (a pattern) has a part per element (i, j) of its block R_P, w M_i'M_j symmetrised over
// its individuals, so that R^-1's share of C is sum_P sum_ij (R_P^-1)_ij part_Pij: the parts are
// then more than the components.
struct SparseEquations {
    // `compact`: the parts kept as sparse matrices of their own non-zeros (compact_parts), not
    // spread over C's (parts empty until spread_parts): enough for C at given variances, a
    // fraction of the memory on a national pedigree.
    SparseEquations(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, std::vector<SparseTerm> terms,
                    ResidualStructure residual, RecordTraits traits = {}, bool compact = false);

    Eigen::MatrixXd X;
    Eigen::VectorXd y;
    std::vector<SparseTerm> terms;
    std::vector<Eigen::Index> offsets;          // each term's first equation
    std::vector<Eigen::Index> first_component;  // each term's first component in theta
    Eigen::Index residual_offset = 0;           // the first residual component
    Eigen::VectorXd weights;
    std::vector<Eigen::Index> class_of_record;
    Eigen::Index classes = 1;
    std::vector<Eigen::Index> class_sizes;
    double log_weights = 0.0;  // sum of log w
    // The least eigenvalue of a term's block the equations take (they need its inverse): a
    // millionth of the records' variance, fixed, so that the likelihood is one smooth function
    // up to that boundary.
    double block_floor = 0.0;
    Eigen::Index n = 0, p = 0, order = 0;
    SparseLower C;  // the values of the last set_coefficients
    std::vector<Eigen::VectorXd> parts;  // each component's (each residual pattern element's), on C's non-zeros
    std::vector<SparseLower> compact_parts;  // the same, each its own non-zeros, while not spread
    // The parts over C's non-zeros, from the compact ones (what REML's traces take).
    void spread_parts();
    // Several traits: the traits of each pattern, its individuals and its first part; each
    // individual's records by trait and its pattern.
    struct Pattern {
        std::vector<Eigen::Index> traits;
        Eigen::Index residual_class = 0;
        Eigen::Index groups = 0;
        Eigen::Index first_part = 0;
    };
    Eigen::Index traits = 1;
    std::vector<Pattern> patterns;
    std::vector<std::vector<Eigen::Index>> group_records;
    std::vector<Eigen::Index> pattern_of_group;

    // Several traits: the component of element (i, j) of a pattern's block.
    Eigen::Index residual_component(const Pattern& pattern, Eigen::Index i, Eigen::Index j) const;
    double weight(Eigen::Index r) const { return weights.size() == 0 ? 1.0 : weights[r]; }
    Eigen::Index class_of(Eigen::Index r) const {
        return class_of_record.empty() ? 0 : class_of_record[static_cast<std::size_t>(r)];
    }
    bool several_traits() const { return traits > 1; }
    Eigen::Index components() const {
        return residual_offset + (several_traits() ? classes * traits * (traits + 1) / 2 : classes);
    }
    // The parts whose traces the score takes: the components', or with several traits each
    // residual pattern element's in place of R0's.
    Eigen::Index features() const { return static_cast<Eigen::Index>(parts.size() + compact_parts.size()); }
    Eigen::Index parts_of(std::size_t k) const { return static_cast<Eigen::Index>(terms[k].parts.size()); }
    // The equation of part a of a level of term k.
    Eigen::Index equation(std::size_t k, Eigen::Index level, Eigen::Index a) const {
        return offsets[k] + level * parts_of(k) + a;
    }
    // Term k's block G0 at these values.
    Eigen::MatrixXd block(std::size_t k, const Eigen::VectorXd& values) const;
    // R^-1 v for columns v over the records, at these variances.
    Eigen::MatrixXd residual_inverse_product(const Eigen::MatrixXd& v, const Eigen::VectorXd& values) const;
    // M' R^-1 v.
    Eigen::MatrixXd weighted_design_product(const Eigen::MatrixXd& v, const Eigen::VectorXd& values) const;
    // M s for a solution s.
    Eigen::VectorXd fitted(const Eigen::VectorXd& s) const;
    // Columns of N(0, R) from columns z of unit variance over the records: each record's
    // sqrt(s2_e / w), or with several traits each individual's values by the root of its R_P / w.
    Eigen::MatrixXd residual_draws(const Eigen::MatrixXd& z, const Eigen::VectorXd& values) const;
    // For columns e over the records, tr(W R) - e'W e of each residual feature (rows, in the
    // features' order after the terms'), W its weights among the records: of a class w on its
    // records; of a pattern's element (i, j) w (E_ij + E_ji) / 2 over its individuals.
    Eigen::MatrixXd residual_spread(const Eigen::MatrixXd& e, const Eigen::VectorXd& values) const;
    // The variances the equations take: a term's 0 replaced by a tiny share of the residual, a
    // block raised on its diagonal to `block_floor` where an eigenvalue is below it.
    Eigen::VectorXd effective(const Eigen::VectorXd& theta) const;
    // The variances the equations take at theta, and a point with zero derivatives of every
    // component to fill; false, with the point's problem, when a residual variance is not above 0.
    bool start_point(const Eigen::VectorXd& theta, Eigen::VectorXd& values, LikelihoodPoint& point) const;
    // C's values at these (effective) variances.
    void set_coefficients(const Eigen::VectorXd& values);
    // The first equation of each level of a term of several parts (its parts' equations
    // together), and the order last; empty when every term has one part.
    std::vector<Eigen::Index> diagonal_blocks() const;
    // The rows of the dense blocks of the terms' inverses, in C's numbering.
    std::vector<std::int64_t> dense_rows() const;
    // The factor foreseen from the graph of the equations' blocks (each fixed effect, each level
    // of a term with its parts together) without the symbolic analysis of C: none (0 non-zeros)
    // where every term has one part (the graph would be C's own) or a term's inverse has a dense
    // block (whose ordering the blocks' graph does not follow).
    FactorFigures foreseen_factor() const;

    // What the records give every evaluation at s = C^-1 M'R^-1 y: -2 logL less log|C| and the
    // terms' traces, the first derivatives less those traces, and the working variates.
    struct AtSolution {
        double log_likelihood_part = 0.0;  // -(log|R| + sum_k log|G0_k (x) K_k| + y'Py) / 2
        Eigen::VectorXd quadratic;         // u_a'K_k^-1 u_b per block element, then sum of w e^2 per class (per feature)
        Eigen::MatrixXd variates;          // Z dG/dtheta G^-1 u per term component, then the residuals of each class over s2_e(c)
    };
    AtSolution at_solution(const Eigen::VectorXd& values, const Eigen::VectorXd& rhs, const Eigen::VectorXd& s) const;
    // The first derivatives of logL from the traces tr(C^-1 part_k) of each feature.
    Eigen::VectorXd score(const Eigen::VectorXd& values, const AtSolution& at, const Eigen::VectorXd& traces) const;
    // How the score moves with those traces (components x features): it is linear in them.
    Eigen::MatrixXd trace_slope(const Eigen::VectorXd& values) const;
    // AI(a, b) = f_a'P f_b / 2 = (f_a'R^-1 f_b - g_a'C^-1 g_b) / 2 from g = M'R^-1 f and C^-1 g.
    Eigen::MatrixXd average_information(const Eigen::VectorXd& values, const Eigen::MatrixXd& variates,
                                        const Eigen::MatrixXd& g, const Eigen::MatrixXd& solved) const;

private:
    void assemble();
    void set_up_traits(RecordTraits record_traits);
    // Several traits: a class's R0 at these values, a pattern's block R_P of it, each pattern's
    // R_P^-1, an individual's weight.
    Eigen::MatrixXd residual_block(const Eigen::VectorXd& values, Eigen::Index residual_class = 0) const;
    Eigen::MatrixXd pattern_block(const Eigen::VectorXd& values, const Pattern& pattern) const;
    std::vector<Eigen::MatrixXd> pattern_inverses(const Eigen::VectorXd& values) const;
    double group_weight(std::size_t g) const;
    std::vector<SparseLower> pattern_matrices() const;
};

// The equations factored by CHOLMOD (one symbolic analysis for every theta), and with the
// solution s = [b; u] and e = y - M s:
//   -2 logL = log|R| + sum_k (q_k log s2_k + log|K_k|) + log|C| + y'R^-1 y - s'M'R^-1 y,
// which is log|V| + log|X'V^-1 X| + y'Py, the dense REML's convention. The first derivatives take
// traces tr(K_k^-1 C^kk) and tr(C^-1 M'W_c M) from the selected inverse of C on the factor's
// pattern; the AI matrix one solve per component, of the working variates Z_k u_k / s2_k and
// the residuals of each class over s2_e(c).
class SparseMmeEvaluator : public SpacedEvaluator {
public:
    SparseMmeEvaluator(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, std::vector<SparseTerm> terms,
                       ResidualStructure residual, RecordTraits traits = {});
    explicit SparseMmeEvaluator(std::shared_ptr<SparseEquations> equations);
    ~SparseMmeEvaluator() override;
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    // The likelihood from the factor alone; the score's selected inverse comes with add_score.
    LikelihoodPoint evaluate_likelihood(const Eigen::VectorXd& theta) const override;
    void add_score(const Eigen::VectorXd& theta, LikelihoodPoint& point) const override;
    double block_limit() const override;

    // The equations' order and what the symbolic analysis says of their factor.
    Eigen::Index equations() const;
    const FactorFigures& figures() const;
    // Told while a factorisation or a selected inverse runs (SparseFactor::set_progress).
    void set_progress(SparseFactor::Progress progress);

    // The solution at theta: the fixed effects with their sampling covariance (X'V^-1 X)^-1, each
    // term's effects and their prediction error variances (the diagonal of C^-1), level-major.
    struct Solution {
        bool finite = false;
        std::string problem;
        Eigen::VectorXd beta;
        Eigen::MatrixXd beta_covariance;
        std::vector<Eigen::VectorXd> effects;
        std::vector<Eigen::VectorXd> error_variances;
        // Of a term of several parts, each level's prediction error covariance among them: one
        // row per level, the q x q block column-major (empty for a term of one part).
        std::vector<Eigen::MatrixXd> error_blocks;
        // With `fixed_columns`: C^-1's columns of the fixed effects (order x p).
        Eigen::MatrixXd fixed_columns;
    };
    Solution solve(const Eigen::VectorXd& theta, bool fixed_columns = false) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
