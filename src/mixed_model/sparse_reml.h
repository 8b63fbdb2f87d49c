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
// (a residual variance per class), theta = (s2_1, ..., s2_m, s2_e(1), ...). The equations
// C = M'R^-1 M + (+)_k K_k^-1 / s2_k, M = [X Z_1 ... Z_m], are factored by CHOLMOD (one symbolic
// analysis for every theta), and with the solution s = [b; u] and e = y - M s:
//   -2 logL = log|R| + sum_k (q_k log s2_k + log|K_k|) + log|C| + y'R^-1 y - s'M'R^-1 y,
// which is log|V| + log|X'V^-1 X| + y'Py, the dense REML's convention. The first derivatives take
// traces tr(K_k^-1 C^kk) and tr(C^-1 M'W_c M) from the selected inverse of C on the factor's
// pattern; the AI matrix one solve per component, of the working variates Z_k u_k / s2_k and
// the residuals of each class over s2_e(c). X must have full column rank.
class SparseMmeEvaluator : public LikelihoodEvaluator {
public:
    SparseMmeEvaluator(const Eigen::MatrixXd& X, const Eigen::VectorXd& y, std::vector<SparseTerm> terms,
                       ResidualStructure residual);
    ~SparseMmeEvaluator() override;
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;

    // The equations' order and what the symbolic analysis says of their factor.
    Eigen::Index equations() const;
    const FactorFigures& figures() const;

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
    struct Equations;
    std::unique_ptr<Equations> equations_;
};
