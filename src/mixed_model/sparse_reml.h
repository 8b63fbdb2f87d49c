#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mixed_model/ai_reml.h"
#include "mixed_model/grouped_evaluator.h"
#include "mixed_model/sparse_factor.h"

// ---- REML on the sparse mixed model equations --------------------------------------------------
// A random term of the sparse equations: each record's level (-1: none), and the covariance of
// the levels as its sparse inverse K^-1 (lower triangle; empty: identity) with log|K|.
struct SparseTerm {
    std::vector<Eigen::Index> level_of_record;
    Eigen::Index levels = 0;
    SparseLower inverse;
    double log_determinant = 0.0;
    std::vector<Eigen::Index> dense_levels;  // where the inverse has a dense block (ordered last)
};

// y = X b + sum_k Z_k u_k + e, u_k ~ N(0, s2_k K_k), e ~ N(0, R) with R = diag(s2_e(c_r) / w_r)
// (a residual variance per class), theta = (s2_1, ..., s2_m, s2_e(1), ...), and its mixed model
// equations C = M'R^-1 M + (+)_k K_k^-1 / s2_k, M = [X Z_1 ... Z_m], assembled once: C's lower
// pattern, and on it each component's part (M'W_c M of each class, K_k^-1 of each term), so that
// C at theta is sum_c part_c / s2_e(c) + sum_k part_k / s2_k. X must have full column rank.
struct SparseEquations {
    SparseEquations(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, std::vector<SparseTerm> terms,
                    ResidualStructure residual);

    Eigen::MatrixXd X;
    Eigen::VectorXd y;
    std::vector<SparseTerm> terms;
    std::vector<Eigen::Index> offsets;  // each term's first equation
    Eigen::VectorXd weights;
    std::vector<Eigen::Index> class_of_record;
    Eigen::Index classes = 1;
    std::vector<Eigen::Index> class_sizes;
    double log_weights = 0.0;  // sum of log w
    Eigen::Index n = 0, p = 0, order = 0;
    SparseLower C;  // the values of the last set_coefficients
    std::vector<Eigen::VectorXd> class_parts, term_parts;  // on C's non-zeros

    double weight(Eigen::Index r) const { return weights.size() == 0 ? 1.0 : weights[r]; }
    Eigen::Index class_of(Eigen::Index r) const {
        return class_of_record.empty() ? 0 : class_of_record[static_cast<std::size_t>(r)];
    }
    Eigen::Index components() const { return static_cast<Eigen::Index>(terms.size()) + classes; }
    // M' R^-1 v for columns v over the records, R^-1 = diag(w / s2_e(class)).
    Eigen::MatrixXd weighted_design_product(const Eigen::MatrixXd& v, const Eigen::VectorXd& residuals) const;
    // M s for a solution s.
    Eigen::VectorXd fitted(const Eigen::VectorXd& s) const;
    // The variances the equations take: a term's 0 replaced by a tiny share of the residual.
    Eigen::VectorXd effective(const Eigen::VectorXd& theta) const;
    // The variances the equations take at theta, and a point with zero derivatives of every
    // component to fill; false, with the point's problem, when a residual variance is not above 0.
    bool start_point(const Eigen::VectorXd& theta, Eigen::VectorXd& values, LikelihoodPoint& point) const;
    // C's values at these (effective) variances.
    void set_coefficients(const Eigen::VectorXd& values);
    // The rows of the dense blocks of the terms' inverses, in C's numbering.
    std::vector<std::int64_t> dense_rows() const;

    // What the records give every evaluation at s = C^-1 M'R^-1 y: -2 logL less log|C| and the
    // terms' traces, the first derivatives less those traces, and the working variates.
    struct AtSolution {
        double log_likelihood_part = 0.0;  // -(log|R| + sum_k log|s2_k K_k| + y'Py) / 2
        Eigen::VectorXd quadratic;         // u_k'K_k^-1 u_k per term, then sum of w e^2 per class
        Eigen::MatrixXd variates;          // Z_k u_k / s2_k, then the residuals of each class over s2_e(c)
    };
    AtSolution at_solution(const Eigen::VectorXd& values, const Eigen::VectorXd& rhs, const Eigen::VectorXd& s) const;
    // The first derivatives of logL from the traces tr(C^-1 part_k) of each component.
    Eigen::VectorXd score(const Eigen::VectorXd& values, const AtSolution& at, const Eigen::VectorXd& traces) const;
    // AI(a, b) = f_a'P f_b / 2 = (f_a'R^-1 f_b - g_a'C^-1 g_b) / 2 from g = M'R^-1 f and C^-1 g.
    Eigen::MatrixXd average_information(const Eigen::VectorXd& values, const Eigen::MatrixXd& variates,
                                        const Eigen::MatrixXd& g, const Eigen::MatrixXd& solved) const;

private:
    void assemble();
};

// The equations factored by CHOLMOD (one symbolic analysis for every theta), and with the
// solution s = [b; u] and e = y - M s:
//   -2 logL = log|R| + sum_k (q_k log s2_k + log|K_k|) + log|C| + y'R^-1 y - s'M'R^-1 y,
// which is log|V| + log|X'V^-1 X| + y'Py, the dense REML's convention. The first derivatives take
// traces tr(K_k^-1 C^kk) and tr(C^-1 M'W_c M) from the selected inverse of C on the factor's
// pattern; the AI matrix one solve per component, of the working variates Z_k u_k / s2_k and
// the residuals of each class over s2_e(c).
class SparseMmeEvaluator : public LikelihoodEvaluator {
public:
    SparseMmeEvaluator(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, std::vector<SparseTerm> terms,
                       ResidualStructure residual);
    explicit SparseMmeEvaluator(std::shared_ptr<SparseEquations> equations);
    ~SparseMmeEvaluator() override;
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;

    // The equations' order and what the symbolic analysis says of their factor.
    Eigen::Index equations() const;
    const FactorFigures& figures() const;
    // Told while a factorisation or a selected inverse runs (SparseFactor::set_progress).
    void set_progress(SparseFactor::Progress progress);

    // The solution at theta: the fixed effects with their sampling covariance (X'V^-1 X)^-1, each
    // term's effects and their prediction error variances (the diagonal of C^-1).
    struct Solution {
        bool finite = false;
        std::string problem;
        Eigen::VectorXd beta;
        Eigen::MatrixXd beta_covariance;
        std::vector<Eigen::VectorXd> effects;
        std::vector<Eigen::VectorXd> error_variances;
    };
    Solution solve(const Eigen::VectorXd& theta) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
