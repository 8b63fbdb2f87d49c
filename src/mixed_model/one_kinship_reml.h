#pragma once

#include "mixed_model/trait_evaluators.h"

// ---- AI-REML of one kinship -------------------------------------------------------------------
// The one-kinship summary of the driver's run: its estimate, standard errors and heritability in
// the trait's units, for the result table. The trace and the verdict are the run's own.
struct RemlResult {
    AiRemlRun run;
    double sigma_a2 = 0.0;  // after the last step, in the trait's units
    double sigma_e2 = 0.0;
    double log_likelihood = 0.0;  // at the estimate, in the trait's units
    Eigen::Matrix2d ai_inverse = Eigen::Matrix2d::Zero();  // at the estimate, trait units squared
    // Set on convergence only.
    bool at_boundary = false;        // sa2 = 0
    bool residual_at_limit = false;  // se2 at its lower limit
    double residual_limit = 0.0;     // that limit, in the trait's units
    double se_a2 = 0.0;
    double se_e2 = 0.0;
    double h2 = 0.0;
    double se_h2 = 0.0;
    // The run's components, the factor of a variance back to the trait's units and the shift of
    // its log-likelihoods to them.
    std::vector<ModelParameter> parameters;
    double units = 1.0;
    double log_likelihood_shift = 0.0;
    // The records' kinship without the eigenvalues its rounding to 4 decimals decides, when that
    // rounding stood in the way of a heritability of 1 (RemlStep::rounding): the estimate is of
    // that kinship, and prediction takes it too.
    std::shared_ptr<const RoundingFreeKinship> rounding_free;
};

// The REML estimate by average-information iterations from sa2 = h2_init var(y), se2 =
// (1 - h2_init) var(y), on the trait scaled to unit variance (components reported in its units).
// Each iteration takes the AI step when it raises the log-likelihood and stays in sa2 >= 0,
// se2 > 0, else shortens it, stops sa2 at 0 or falls back to an EM step; converged when both
// relative changes of an AI step are below tol. At most min(max_iter, kMostRemlIterations + 1) - 1
// iterations. Columns of X that are combinations of earlier ones are left out. `on_iteration`
// sees every iteration as soon as it is done, with the result's components, units and shift.
// Throws RemlFailure when the likelihood, the average information or X'V^-1 X cannot be
// evaluated (singular or not finite).
RemlResult reml_ai_cpp(const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                       int max_iter, double h2_init, double tol,
                       const std::function<void(const AiRemlStep&, const RemlResult&)>& on_iteration = {},
                       bool without_kinship = false);

// The evaluator reml_ai_cpp runs, V = sa2 K + se2 I in the band form of the records' kinship,
// for y as given (not scaled) and the independent columns of X; `kinship` must outlive it.
std::unique_ptr<LikelihoodEvaluator> one_kinship_evaluator(const ReducedKinship& kinship, const Eigen::MatrixXd& X,
                                                           const Eigen::VectorXd& y);

// The restricted log-likelihood of reml_ai_cpp (the same convention) at given variances, in the
// trait's units; NaN where V or X'V^-1 X is not positive definite or a number is not finite.
double reml_log_likelihood_at(const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                              double sigma_a2, double sigma_e2);

// Throws RemlFailure when the records' kinship has an eigenvalue below what the 4-decimal
// rounding of a kinship text file can explain: -n 5e-5 for n records (the rounding errors form
// a symmetric matrix with entries of at most 5e-5, whose norm is at most n 5e-5).
void check_kinship_eigenvalues(const ReducedKinship& kinship);
// That bound for a kinship of n rows whose values reach `largest` in magnitude: n 5e-5 for the
// rounding to 4 decimals and n 1e-12 largest for the arithmetic's own. With `largest` the
// largest eigenvalue's magnitude it decides; the largest diagonal, never above it, gives a
// quicker test that never refuses what the eigenvalues accept.
double rounding_eigenvalue_bound(Eigen::Index n, double largest);

// The estimation of reml_ai_cpp with the kinship check, the trace, the verdict and the result
// table written to the log. Throws RemlFailure as reml_ai_cpp and check_kinship_eigenvalues do.
RemlResult QorREML(Logger& logger, const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                   const int& max_iter, double h2_init, double tol);

// The trait as (y - centre) / scale with unit variance, so that every model takes the same
// steps in any units. The centre is taken only when X holds a constant column, which absorbs
// it. Throws RemlFailure for a trait that is constant, not finite or whose variance leaves the
// range a double represents (1e-280 to 1e280).
struct TraitScale {
    double centre = 0.0;
    double scale = 1.0;
};
TraitScale trait_scale(const Eigen::MatrixXd& y, bool centred);
bool has_constant_column(const Eigen::MatrixXd& X);
// The trait of a model with p estimable fixed effects as REML takes it: scaled by trait_scale
// (centred when X, given whole, holds a constant column), the scale squared that variances are
// multiplied by back in its units, and the log-likelihood's shift to its units,
// -(n - p) log(units) / 2 (V scales by units, X'V^-1 X by 1 / units, y'Py not at all).
struct ScaledTrait {
    TraitScale trait;
    double units = 1.0;
    double log_likelihood_shift = 0.0;
    Eigen::VectorXd values;
};
ScaledTrait scaled_trait(const Eigen::VectorXd& y, const Eigen::MatrixXd& X, Eigen::Index p);
// The residual variance of y after the fixed effects alone, with n - p degrees of freedom: the
// scale of the residual's lower limit. Throws RemlFailure when it is 0 (the covariates explain
// the trait).
double fixed_effect_residual_variance(const Eigen::MatrixXd& X, const Eigen::VectorXd& y);

// Mean over all elements; squared deviations from it summed and divided by rows - 1 (the
// sample variance for a column vector).
double computeVariance(const Eigen::MatrixXd& m);
// log det V by Cholesky; +infinity when V is not positive definite, 0 for an empty V.
double logDetV(const Eigen::MatrixXd& V);
