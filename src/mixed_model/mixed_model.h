#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "kinship_io/kinship_io.h"
#include "linear_algebra/sparse_plus_dense.h"
#include "log/failures.h"

class Logger;

// Animal model y = X b + Z u + e, u ~ N(0, sa2 K), e ~ N(0, se2 I), one record per row of y.

// ---- Kinship of the records reduced to band form ---------------------------------------------
// K = Q B Q' with Q orthogonal (Householder blocks, LAPACK dsytrd_sy2sb, lower triangle) and B
// symmetric with `bandwidth` sub-diagonals. With V = sa2 K + se2 I = Q (sa2 B + se2 I) Q', every
// REML quantity follows from y and X rotated once by Q', band solves and the eigenvalues of B
// (= those of K), so an iteration costs O(n (p + bandwidth)^2) instead of the O(n^3) of forming
// V^-1. The reduction is made of matrix products, which keep both cores busy; the classical
// one-stage reduction to tridiagonal form spends half its work in matrix-vector products.
// Q held elsewhere, as the reflectors of a reduction spread over MPI ranks: applies Q' or Q to
// n-row columns that every rank holds the same. Each call is collective over those ranks.
class KinshipRotation {
public:
    virtual ~KinshipRotation() = default;
    virtual Eigen::MatrixXd apply(Eigen::MatrixXd C, bool transposed) const = 0;
};

struct ReducedKinship {
    std::shared_ptr<const KinshipRotation> rotation;  // when set, Q is there and `reflectors` is empty
    Eigen::MatrixXd reflectors;  // n x n, dsytrd_sy2sb output: Householder vectors below the band
    Eigen::VectorXd tau;         // n - bandwidth reflector scales (at least 1 entry)
    Eigen::MatrixXd band;        // (bandwidth + 1) x n, LAPACK lower band storage: B(i, j) at (i - j, j)
    int bandwidth = 0;
    Eigen::VectorXd eigenvalues;  // n, of B and so of K, ascending
    // Leading directions of the reduced basis that stand for eigenvalues set to 0 because the
    // kinship's rounding decides them (without_rounding_eigenvalues): a kinship column or a
    // solution has no part there.
    Eigen::Index cleared = 0;
};

// Reduces the lower triangle of the symmetric K (taken by value: its storage becomes the
// reflectors); the bandwidth is taken between 1 and n - 1. Throws std::runtime_error when LAPACK reports
// a failure.
ReducedKinship reduce_kinship_cpp(Eigen::MatrixXd K, int bandwidth = 64);
// The kinship of a band form with its eigenvalues at or below `bound` (those a 4-decimal text can
// leave below 0 or above it by rounding alone) set to 0: diagonal in the basis of Q V, V the
// eigenvectors of the band B (`vectors`, n x n). The rotation refers to `kinship`, which must
// outlive it.
struct RoundingFreeKinship {
    ReducedKinship kinship;
    std::shared_ptr<const Eigen::MatrixXd> vectors;
    Eigen::Index cleared = 0;  // eigenvalues set to 0
};
RoundingFreeKinship without_rounding_eigenvalues(const ReducedKinship& kinship, double bound);
// Indices of the columns of X that are not linear combinations of columns taken before them,
// visiting the columns in `order`. A zero column is never taken.
std::vector<Eigen::Index> independent_columns(const Eigen::MatrixXd& X, const std::vector<Eigen::Index>& order);

// ---- One AI-REML driver for every model ------------------------------------------------------
// How an iteration moved: the plain AI (Newton) step, or one of the safeguards that keep the
// estimate inside the parameter space (every component >= its lower limit: 0 for a random
// effect, a positive limit for the residual) with a log-likelihood that never falls. The
// residual's limit is kResidualLimit times the residual variance of the fixed effects alone:
// below it the records fit a heritability of 1 and V loses its identity term.
enum class RemlStep {
    ai,                 // the full AI step
    halved,             // the AI step shortened until the log-likelihood rose
    boundary,           // the AI step with random components stopped at 0
    held,               // random components kept at 0 (the likelihood falls into < 0), AI step for the others
    residual_boundary,  // the AI step with the residual stopped at its lower limit
    residual_held,      // the residual kept at its limit (the likelihood falls below it), AI step for the others
    em,                 // an EM-REML step: no shortened AI step raised the log-likelihood
    rounding,           // the kinship's rounding to 4 decimals was removed before the step (see below)
};
constexpr double kResidualLimit = 1e-6;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The restricted log-likelihood at components theta (residual last), its first derivatives and
// the average information matrix AI(k, l) = y'P V_k P V_l P y / 2, as one model evaluates them.
struct LikelihoodPoint {
    bool finite = false;  // V and X'V^-1 X positive definite, every number finite
    std::string problem;  // what failed, when not finite
    double log_likelihood = 0.0;
    Eigen::VectorXd score;
    Eigen::MatrixXd ai;
};
class LikelihoodEvaluator {
public:
    virtual ~LikelihoodEvaluator() = default;
    virtual LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const = 0;
    // A kinship read from 4-decimal text can have eigenvalues below 0 by rounding alone. When
    // the records fit a heritability of 1, the residual then runs into the edge where V stops
    // being positive definite and the likelihood there is decided by the rounding: true at such
    // components. `without_rounding` gives the evaluator of the kinships shifted on their
    // diagonal to a smallest eigenvalue of 0, and `rounding_note` says so.
    virtual bool at_rounding_edge(const Eigen::VectorXd& /*theta*/) const { return false; }
    virtual std::unique_ptr<LikelihoodEvaluator> without_rounding() const { return nullptr; }
    virtual std::string rounding_note() const { return ""; }

    // A parameter space beyond the components' own limits (covariance matrices kept positive
    // semi-definite): `feasible` gives the point of the space nearest to a step that left it
    // (theta itself when it is in the space); `held_directions` gives, at a point on that
    // boundary whose likelihood falls into the space, the linear functionals of a step (one per
    // column, count x k) that the step must keep at 0, so that it moves along the boundary.
    virtual Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const { return theta; }
    virtual Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& /*point*/) const {
        return Eigen::MatrixXd(theta.size(), 0);
    }
    // The information a step along that curved boundary adds to the AI matrix (k x k): coming
    // back onto the boundary costs likelihood, to second order in the step. None by default.
    virtual Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& /*point*/) const {
        return Eigen::MatrixXd::Zero(theta.size(), theta.size());
    }
    // What each component's relative change is taken of: the component itself, unless a
    // covariance is measured against its variances.
    virtual Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const { return theta; }
    // An EM-REML step for models where sigma2 + 2 sigma2^2 score / n does not apply (covariances);
    // none by default.
    virtual std::optional<Eigen::VectorXd> em_step(const Eigen::VectorXd& /*theta*/,
                                                   const LikelihoodPoint& /*point*/) const {
        return std::nullopt;
    }
};

// One iteration of the driver, in the scaled units the evaluator works in.
struct AiRemlStep {
    int iteration = 0;
    double log_likelihood = 0.0;  // at the components the iteration started from
    Eigen::VectorXd theta;        // after the step
    Eigen::VectorXd changes;      // |step| / old value; 0 for a component that stays at 0
    RemlStep step = RemlStep::ai;
    std::vector<int> limited;     // the components stopped at (boundary) or held at (held) their limit
    bool projected = false;       // the step was brought back into the space by the evaluator's `feasible`
    int held_directions = 0;      // functionals of the evaluator's boundary kept at 0 (RemlStep::held)
    int halvings = 0;
    std::string note;             // for RemlStep::rounding
};
struct AiRemlRun {
    std::vector<AiRemlStep> iterations;
    bool converged = false;
    bool capped = false;          // stopped by kMostRemlIterations, not by max_iter
    Eigen::VectorXd theta;        // after the last step
    LikelihoodPoint at_estimate;  // the evaluation at theta
    Eigen::MatrixXd ai_inverse;   // on convergence: the inverse AI of the free components (0 for fixed ones)
};
// What the driver is given besides the evaluator. `names` name the components in failure
// messages; `fixed` components stay at their start value (a likelihood-ratio test's 0).
struct AiRemlSettings {
    std::vector<std::string> names;
    Eigen::VectorXd start;
    Eigen::VectorXd limits;
    std::vector<bool> fixed;
    Eigen::Index records = 0;  // for the EM step
    int max_iter = 30;
    double tol = 1e-5;
};

// Most iterations a run makes, whatever --max-iter asks: beyond it a run is not converging.
constexpr int kMostRemlIterations = 1000;

// The safeguarded AI-REML iteration: each iteration takes the AI (Newton) step of the free
// components when it raises the log-likelihood and stays in the space, else shortens it (up to
// 2^-30), stops components at their limits, holds at its limit a component whose score points
// out of the space, or falls back to an EM step. Converged when every relative change of a
// plain (or held) AI step is below tol. At most min(max_iter, kMostRemlIterations + 1) - 1
// iterations. Throws RemlFailure when the start cannot be evaluated, the AI matrix of the free
// components is singular, or no step can be evaluated.
struct RemlFailure : RunFailure {
    using RunFailure::RunFailure;
};
AiRemlRun ai_reml(const LikelihoodEvaluator& evaluator, const AiRemlSettings& settings,
                  const std::function<void(const AiRemlStep&)>& on_iteration = {});
// The note printed under an iteration that was not a plain AI step ("" for one that was).
std::string reml_step_note(const AiRemlStep& step, const std::vector<std::string>& names);

// ---- Several random effects: the dense evaluator ---------------------------------------------
// A random effect: the level of every record (0-based), and the covariance of the levels, a
// kinship (sigma2 K) or independent levels (sigma2 I, `kinship` empty).
struct RandomEffect {
    std::string name;
    std::vector<Eigen::Index> level_of_record;
    Eigen::Index levels = 0;
    Eigen::MatrixXd kinship;  // levels x levels, or empty
};

// y = X b + sum_k Z_k u_k + e, u_k ~ N(0, sigma2_k K_k), e ~ N(0, sigma2_e I), theta =
// (sigma2_1, ..., sigma2_m, sigma2_e). Records that share the level of every effect form a group
// (all records of an individual when every effect is one of individuals). With Z the records'
// groups, D = Z'Z their sizes and M the covariance of the groups' levels (V = Z M Z' +
// sigma2_e I), Woodbury's identity with S = D^1/2 M D^1/2 gives
//   V^-1 = (I - Z D^-1 Z') / sigma2_e + Z D^-1/2 (sigma2_e I + S)^-1 D^-1/2 Z',
//   log det V = (n - g) log sigma2_e + log det(sigma2_e I + S),
// so an iteration costs one Cholesky and inverse of the order of the groups, not of the
// records, and no kinship is inverted (a singular G is fine). Each kinship is held once, as
// D^1/2 M_k D^1/2 (its storage is taken over when the groups are its levels in order).
class GroupedEvaluator : public LikelihoodEvaluator {
public:
    // `X`: the fixed-effect columns to estimate (independent), `y` the trait (scaled).
    GroupedEvaluator(std::vector<RandomEffect> effects, const Eigen::MatrixXd& X, const Eigen::VectorXd& y);
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    // Another parameterisation of the fixed effects (the same records): REML is evaluated on
    // the independent columns of the design without reference levels, the fixed effects are
    // reported for the full design's estimable columns. The log-likelihood's constant follows X.
    void set_design(const Eigen::MatrixXd& X);

    // The solution at theta: T = (sigma2_e I + S)^-1, T Xbar (Xbar = D^-1/2 Z'X), C^-1 =
    // (X'V^-1 X)^-1, the GLS estimate beta and t = T D^-1/2 Z'(y - X beta), so that Z'P y = D^1/2 t.
    struct Solution {
        bool finite = false;
        std::string problem;
        double residual = 0.0;
        Eigen::MatrixXd T, TX, C_inverse;
        Eigen::VectorXd beta, t, within_cross;
        double log_det_groups = 0.0, log_det_C = 0.0, yPy = 0.0, within_residual = 0.0;
        // c'Pc over groups for each column c given in the groups (D^1/2 Z' applied to a record
        // vector that is constant within groups): c'T c - (Xbar'T c)' C^-1 (Xbar'T c).
        Eigen::VectorXd quadratic_forms(const Eigen::MatrixXd& group_columns) const;
    };
    Solution solve(const Eigen::VectorXd& theta) const;
    Eigen::Index groups() const { return root_counts_.size(); }
    // For effect k: the sum over each level's groups of sqrt(d_a) v_a (Z_k'P y from t), and a
    // matrix over the levels taken to the groups (row a = sqrt(d_a) row level(a)).
    Eigen::VectorXd level_sums(Eigen::Index k, const Eigen::VectorXd& group_values) const;
    Eigen::MatrixXd to_groups(Eigen::Index k, const Eigen::MatrixXd& level_values) const;

private:
    struct Effect {
        std::string name;
        std::vector<Eigen::Index> level_of_group;
        Eigen::Index levels = 0;
        Eigen::MatrixXd kinship;                         // D^1/2 M_k D^1/2, g x g; empty for independent levels
        std::vector<std::vector<Eigen::Index>> members;  // independent levels: the groups of each level
    };
    Eigen::MatrixXd apply_effect(const Effect& effect, const Eigen::MatrixXd& C) const;
    double trace_with(const Effect& effect, const Eigen::MatrixXd& T) const;
    bool inverse_of_groups(const Eigen::VectorXd& theta, Eigen::MatrixXd& T, double& log_det) const;

    Eigen::Index records_ = 0;
    Eigen::Index p_ = 0;
    Eigen::VectorXd y_;
    std::vector<Eigen::Index> group_of_record_;
    Eigen::VectorXd root_counts_;  // sqrt(d_a)
    Eigen::MatrixXd group_sums_;   // D^-1/2 Z'[X y], g x (p + 1)
    Eigen::MatrixXd within_;       // [X y]'(I - Z D^-1 Z')[X y]
    std::vector<Effect> effects_;
};

// ---- Several traits ----------------------------------------------------------------------------
// Y = X B + U + E for t traits recorded on q individuals: vec(U) ~ N(0, Vg (x) K), vec(E) ~
// N(0, Ve (x) I), over the trait values present (an individual may lack some traits). Every
// trait has its own coefficients for the same fixed-effect columns. The components are the
// lower triangles of Vg and then of Ve, row by row: Vg(1,1), Vg(2,1), Vg(2,2), Vg(3,1), ...
constexpr Eigen::Index kMostTraits = 6;
struct TraitLayout {
    Eigen::Index traits = 0;
    Eigen::Index per_matrix() const { return traits * (traits + 1) / 2; }
    Eigen::Index count() const { return 2 * per_matrix(); }
    // Position of element (a, b) of Vg in theta, in either order; that of Ve is per_matrix() on.
    Eigen::Index position(Eigen::Index a, Eigen::Index b) const;
    // (row, column) of position k (of either matrix), row >= column.
    std::pair<Eigen::Index, Eigen::Index> element(Eigen::Index k) const;
    Eigen::MatrixXd genetic(const Eigen::VectorXd& theta) const;
    Eigen::MatrixXd residual(const Eigen::VectorXd& theta) const;
    Eigen::VectorXd components(const Eigen::MatrixXd& genetic, const Eigen::MatrixXd& residual) const;
};

// What prediction needs at given components: the fixed effects, P y by individual and trait,
// and the quadratic forms that give prediction error variances.
struct TraitSolution {
    bool finite = false;
    std::string problem;
    Eigen::MatrixXd beta;                          // p x t; 0 for a column a trait's records do not estimate
    std::vector<Eigen::MatrixXd> beta_covariance;  // per trait, p x p (0 likewise)
    Eigen::MatrixXd Py;                            // q x t, 0 where a trait is not recorded
    // For kinship columns k_i (q x w: the kinship of the individuals with records with w
    // individuals), the t x t matrices F_i(b, c) = (S_b k_i)' P (S_c k_i), S_b taking the
    // individuals to the records of trait b: column i holds F_i column-major, (t t) x w.
    std::function<Eigen::MatrixXd(const Eigen::MatrixXd&)> kinship_forms;
};

// What the evaluators of several traits share: their space (Vg positive semi-definite, Ve
// positive definite with every eigenvalue at least `residual_limit`), held on its boundary
// where the likelihood falls into it; a covariance's relative change taken against
// sqrt(Vii Vjj); the EM-REML step Vg + Vg S_g Vg / q (S_g the score as a matrix), the same for
// Ve, which keeps both in the space.
class TraitEvaluator : public LikelihoodEvaluator {
public:
    const TraitLayout& layout() const { return layout_; }
    Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const override;
    Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const override;
    std::optional<Eigen::VectorXd> em_step(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    virtual TraitSolution solve(const Eigen::VectorXd& theta) const = 0;
    // The directions (columns of t x k) in which Vg (residual: Ve) is at the boundary of its
    // space at theta: Vg's eigenvectors of eigenvalue 0 (Ve's at the limit).
    Eigen::MatrixXd boundary_vectors(const Eigen::VectorXd& theta, bool residual) const;
    double residual_limit() const { return residual_limit_; }

protected:
    TraitEvaluator(Eigen::Index traits, Eigen::Index individuals, double residual_limit);
    bool held_at(const Eigen::MatrixXd& Z, const Eigen::VectorXd& score, bool residual) const;
    TraitLayout layout_;
    Eigen::Index individuals_ = 0;
    double residual_limit_ = 0.0;
};

// Every trait recorded on every individual: in the basis of the kinship's eigenvectors (K = U D
// U', `eigen_form` from without_rounding_eigenvalues) the individuals are independent, V_j =
// d_j Vg + Ve, and an iteration costs O(q t^3) plus O(q (t p)^2) for the fixed effects. X (q x p,
// independent columns) and Y (q x t, scaled) in the records' order; `eigen_form` must outlive it.
class RotatedTraitsEvaluator : public TraitEvaluator {
public:
    RotatedTraitsEvaluator(const ReducedKinship& eigen_form, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y,
                           double residual_limit);
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    TraitSolution solve(const Eigen::VectorXd& theta) const override;

private:
    struct Factors;
    bool factor(const Eigen::VectorXd& theta, Factors& f) const;
    const ReducedKinship& eigen_form_;
    Eigen::MatrixXd X_, Y_;  // rotated by U'
};

// Any pattern of missing trait values: V over the values present, V = sum over (a, b) of
// Vg(a,b) S_a K S_b' + Ve(a,b) S_a S_b', formed densely (the values trait by trait) with one
// Cholesky and inverse of its order per iteration. Each trait's fixed effects are the columns
// of X its records estimate. K: q x q over the individuals with records; Y: q x t, NaN where a
// trait is not recorded.
class DenseTraitsEvaluator : public TraitEvaluator {
public:
    DenseTraitsEvaluator(Eigen::MatrixXd K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y, double residual_limit);
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    TraitSolution solve(const Eigen::VectorXd& theta) const override;
    Eigen::Index values() const { return y_.size(); }
    // The pairs of traits (a > b) that no individual has both of.
    std::vector<std::pair<Eigen::Index, Eigen::Index>> unshared_pairs() const;

private:
    struct Factors;
    bool factor(const Eigen::VectorXd& theta, Factors& f) const;
    Eigen::MatrixXd K_;
    std::vector<std::vector<Eigen::Index>> rows_;  // per trait, the individuals recorded
    std::vector<Eigen::Index> offset_;             // per trait, its first value in the trait-major order
    // Per pair of traits a > b, the (i, j) of values of a and b of one individual.
    std::vector<std::vector<std::vector<std::pair<Eigen::Index, Eigen::Index>>>> shared_;
    std::vector<std::vector<Eigen::Index>> kept_;  // per trait, the columns of X estimated
    Eigen::MatrixXd Xo_;                           // values x sum of kept, block-diagonal by trait
    Eigen::VectorXd y_;
    Eigen::Index p_ = 0;
};

// The driver's settings for a model of several traits: starting at Vg = start_genetic, Ve =
// start_residual, the variances at least 0 (Vg) or the evaluator's residual limit (Ve), the
// covariances free; the residual covariances of `unshared` trait pairs (never recorded on one
// individual) fixed at 0, as nothing in the records tells them.
AiRemlSettings trait_reml_settings(const TraitEvaluator& evaluator, const std::vector<std::string>& traits,
                                   const Eigen::MatrixXd& start_genetic, Eigen::MatrixXd start_residual,
                                   const std::vector<std::pair<Eigen::Index, Eigen::Index>>& unshared,
                                   Eigen::Index records, int max_iter, double tol);

// Breeding values of every trait for N individuals at the solution's components (Vg the
// genetic covariance, in the evaluator's units): U = K_Nq P y Vg, and prediction error variances
// Vg(a,a) K_ii - (Vg F_i Vg)(a,a) from the solution's kinship forms, N x t each, with the prior
// variances Vg(a,a) K_ii. `columns`: N x q, the kinship of every individual with the individuals
// with records in the evaluator's order; `diagonal`: K_ii. A prediction error variance below 0
// beyond rounding is NaN (error_variance_or_nan).
struct TraitPrediction {
    Eigen::MatrixXd values, error_variances, prior_variances;
};
TraitPrediction predict_traits(const TraitSolution& solution, const Eigen::MatrixXd& genetic,
                               const Eigen::MatrixXd& columns, const Eigen::VectorXd& diagonal);

// The components' names: Vg(<t1>), Vg(<t1>,<t2>), Vg(<t2>), ... then Ve(...) the same way.
std::vector<std::string> trait_component_names(const std::vector<std::string>& traits);

// ---- AI-REML of one kinship -------------------------------------------------------------------
struct RemlIteration {
    int iteration = 0;
    double log_likelihood = 0.0;  // at the components the iteration started from, without constants
    double sigma_a2 = 0.0;        // after the step
    double sigma_e2 = 0.0;
    double change_a2 = 0.0;       // |step| / old value; 0 for a component that stays at 0
    double change_e2 = 0.0;
    RemlStep step = RemlStep::ai;
    int halvings = 0;  // for RemlStep::halved
    std::string note;  // what a step that was not a plain AI step did, for the trace
};

struct RemlResult {
    std::vector<RemlIteration> iterations;
    bool converged = false;
    bool capped = false;    // stopped by the largest iteration count a run makes, not by max_iter
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
// sees every iteration as soon as it is done. Throws RemlFailure when the likelihood, the
// average information or X'V^-1 X cannot be evaluated (singular or not finite).
RemlResult reml_ai_cpp(const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                       int max_iter, double h2_init, double tol,
                       const std::function<void(const RemlIteration&)>& on_iteration = {},
                       bool without_kinship = false);

// The restricted log-likelihood of reml_ai_cpp (the same convention) at given variances, in the
// trait's units; NaN where V or X'V^-1 X is not positive definite or a number is not finite.
double reml_log_likelihood_at(const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                              double sigma_a2, double sigma_e2);

// Throws RemlFailure when the records' kinship has an eigenvalue below what the 4-decimal
// rounding of a kinship text file can explain: -n 5e-5 for n records (the rounding errors form
// a symmetric matrix with entries of at most 5e-5, whose norm is at most n 5e-5).
void check_kinship_eigenvalues(const ReducedKinship& kinship);

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
// The residual variance of y after the fixed effects alone, with n - p degrees of freedom: the
// scale of the residual's lower limit. Throws RemlFailure when it is 0 (the covariates explain
// the trait).
double fixed_effect_residual_variance(const Eigen::MatrixXd& X, const Eigen::VectorXd& y);

// Mean over all elements; squared deviations from it summed and divided by rows - 1 (the
// sample variance for a column vector).
double computeVariance(const Eigen::MatrixXd& m);
// log det V by Cholesky; +infinity when V is not positive definite, 0 for an empty V.
double logDetV(const Eigen::MatrixXd& V);

// ---- Breeding values --------------------------------------------------------------------------
// Solutions of the mixed model equations with lambda = (1 - h2) / h2, computed without
// inverting K, from the records' kinship already reduced (records = rows of y, the REML
// decomposition reused) and the kinship position of every record: b is the generalised
// least-squares estimate with H = Z K Z' + lambda I and u = K Z' H^-1 (y - X b), which equals
// the equations' solution whenever K is invertible and stays right when K is singular. K enters
// only through its columns at the records' positions (`kinship`, every record's position among
// kinship.positions), so the N x N matrix is never needed. When X is rank-deficient (the full
// design of the phenotype reader), columns are taken first, then from the last towards the
// second, and those that depend on the ones taken get the estimate 0: for the full design that
// is each covariate's first-met level, the reduced design's convention. Returns (b, u): b p x 1,
// u N x 1. Throws std::invalid_argument on disagreeing shapes or a record whose position has no
// column, and std::runtime_error when the fixed-effect equations are singular.
// The columns of X whose effects getEBV estimates (the others get 0), in the order it takes them.
std::vector<Eigen::Index> fixed_effect_columns(const Eigen::MatrixXd& X);
// The solution getEBV starts from: (b, w) with w = H^-1 (y - X b) per record, so that u = K Z' w.
// Throws RunFailure when the fixed-effect equations are singular.
std::pair<Eigen::MatrixXd, Eigen::VectorXd> mixed_model_solution(const ReducedKinship& records,
                                                                 const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                                                                 double h2);
std::pair<Eigen::MatrixXd, Eigen::MatrixXd> getEBV(const ReducedKinship& records,
                                                   const std::vector<Eigen::Index>& positions,
                                                   const KinshipColumns& kinship, const Eigen::MatrixXd& X,
                                                   const Eigen::MatrixXd& y, double h2);

// Prediction error variance of every breeding value (N of them), at the REML estimates:
// PEV_i = sa2 K_ii - sa2^2 K_i,r P K_r,i with r the records and P = V^-1 - V^-1 X (X'V^-1 X)^-1
// X'V^-1 X. From the records' reduction (band solves, no inverse of K or V) and the kinship's
// columns and diagonal as getEBV takes them: K_r,i is read from line r where i is a kept
// position, else from line i (its mirror, which read_kinship_columns checks against it), a
// block of individuals at a time. Rounding below 0 is set to 0. All 0 when sa2 = 0.
// K_i,r P K_r,i for columns K_r,i already rotated by Q', at given sa2, se2: the part of the
// prediction error variance that the records remove. Factors V once for any number of columns.
class RecordProjection {
public:
    // Throws RunFailure when V or X'V^-1 X is singular.
    RecordProjection(const ReducedKinship& records, const Eigen::MatrixXd& X, double sigma_a2, double sigma_e2);
    Eigen::VectorXd quadratic_forms(const Eigen::MatrixXd& rotated) const;

private:
    struct State;
    std::shared_ptr<const State> state;
};

Eigen::VectorXd prediction_error_variances(const ReducedKinship& records, const std::vector<Eigen::Index>& positions,
                                           const KinshipColumns& kinship, const Eigen::MatrixXd& X, double sigma_a2,
                                           double sigma_e2);

// ---- Breeding values by iteration (a sparse inverse relationship matrix) ----------------------
// The mixed model equations [X'X X'Z; Z'X Z'Z + lambda R] [b; u] = [X'y; Z'y], lambda = se2 / sa2,
// with R the inverse relationship matrix (A^-1, or H^-1 as a sparse matrix plus the dense block
// of the genotyped), solved by conjugate gradients preconditioned with the inverse of X'X for the
// fixed effects and the diagonal of Z'Z + lambda R for the breeding values. The coefficient
// matrix is never formed: each iteration applies it as X and the record-to-individual index
// (Z), plus one product with R. Converged when ||rhs - C x|| / ||rhs|| <= tolerance, checked on
// the residual recomputed from x (the recursive one drifts); at most max_iterations.
struct IterativeSolution {
    Eigen::VectorXd b;  // one per column of X
    Eigen::VectorXd u;  // one per row of R
    int iterations = 0;
    double relative_residual = 0.0;
    bool converged = false;
    bool stalled = false;  // the residual stopped falling above the tolerance: the equations' rounding
};
// `record_levels`: the row of R of every record (row of X and y). X must have full column rank
// (fixed_effect_columns picks such columns). With sa2 = 0 every u is 0 and b is the least-squares
// fit. `on_iteration` sees (iteration, relative residual) after every iteration. Throws
// std::invalid_argument on disagreeing shapes, RunFailure when X'X is singular or the iteration
// breaks down (a coefficient matrix that is not positive definite).
IterativeSolution solve_mixed_model_pcg(const Eigen::MatrixXd& X, const std::vector<Eigen::Index>& record_levels,
                                        const Eigen::VectorXd& y, const SparsePlusDense& relationship_inverse,
                                        double sigma_a2, double sigma_e2, double tolerance, int max_iterations,
                                        const std::function<void(int, double)>& on_iteration = {});

// ---- Result files -----------------------------------------------------------------------------
// Result files are written under temporary names and put in place only when complete; the
// files of one prediction are put in place together, so that a failure keeps the earlier set
// whole. On failure nothing is replaced and OutputFailure (log/failures.h) says why.
// The files of one job, (name, text) each, written under temporary names and renamed into
// place together once all are complete: a failure leaves every earlier result as it was.
using ResultTexts = std::vector<std::pair<std::string, std::string>>;
void write_result_set(const ResultTexts& files);
// writeRanEffToFile and write_variance_file write one file alone; the add_... functions add theirs
// to the set of a job.
// Header "Sample_ID,Ran_Effects", then "ID\tvalue" per row (column 0, default stream format).
void add_random_file(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                     const std::string& filename);
void writeRanEffToFile(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                       const std::string& filename);
// PREFIX.random.txt as writeRanEffToFile and PREFIX.reliability.txt beside it: header
// "ID\tEBV\tSE\tReliability", then per individual its breeding value, SE = sqrt(PEV) and
// reliability 1 - PEV / (sa2 K_ii) ("NA" where sa2 K_ii is 0).
void add_breeding_value_files(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const Eigen::VectorXd& pev,
                              const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& ids,
                              const std::string& values_name, const std::string& reliability_name);
// The predictions of one random effect of a model with several: its levels (individuals, or
// the levels of a random class), their BLUPs, prediction error variances and prior variances.
struct EffectPrediction {
    std::string name;
    std::string trait;  // of a model of several traits; "" for the run's one trait
    std::vector<std::string> ids;
    Eigen::VectorXd values;
    Eigen::VectorXd error_variances;
    Eigen::VectorXd prior_variances;  // sigma2_k K_ii (sigma2_k for an independent effect)
};
// The long layout of models other than one kinship: "Effect\tTrait\tID\tValue" in the values
// file and "Effect\tTrait\tID\tEBV\tSE\tReliability" in the reliability file, one row per
// effect and level; Trait is the effect's own trait, or `trait`.
void add_effect_files(ResultTexts& set, const std::vector<EffectPrediction>& effects, const std::string& trait,
                      const std::string& values_name, const std::string& reliability_name);
// sa2 K_ii - removed (the part the records explain), with rounding of the kinship just below 0
// read as 0; NaN when it lies below 0 beyond rounding or K_ii < 0, which no relationship matrix
// gives (a row whose diagonal is below what its relationships with the records imply).
double error_variance_or_nan(double genetic_variance, double removed);

// ---- Variance components file (PREFIX.vc.txt) -------------------------------------------------
// One row of the variance components file: a source, its estimate and its standard error; NaN
// is written as "NA" (a given value has no SE, a test statistic no SE but its p-value there).
struct ResultRow {
    std::string source;
    double estimate = 0.0;
    double se = 0.0;
    bool whole = false;  // a count, written in full rather than to 6 significant digits
};
// The rows of a model with one residual: V(<name>) for each component and V(e) (`estimates`
// has the residual last), Vp, <name>/Vp for each component but the residual, then
// "Repeatability" when `repeatable` names components (the share of their sum: the kinships and
// the permanent environment of repeated records), and logL. `covariance` is the sampling
// covariance of the estimates (SEs of the shares by the delta method); empty for given values,
// whose SEs are NA. A NaN log_likelihood is written as NA. The caller appends the LRT rows and
// the counts (`count_rows`).
std::vector<ResultRow> variance_component_rows(const std::vector<std::string>& names, const Eigen::VectorXd& estimates,
                                               const Eigen::MatrixXd& covariance, const std::vector<int>& repeatable,
                                               double log_likelihood);
// The rows of a model of several traits: every component (trait_component_names), Vp(<t>),
// h2(<t>), rg(<t1>,<t2>) and re(<t1>,<t2>) (pairs in the order of the triangles), logL; SEs by
// the delta method from `covariance` (the components' sampling covariance; empty: NA). A
// correlation with a variance of 0 is NA.
std::vector<ResultRow> trait_component_rows(const std::vector<std::string>& traits, const Eigen::VectorXd& estimates,
                                            const Eigen::MatrixXd& covariance, double log_likelihood);
// n_records and n_individuals.
std::vector<ResultRow> count_rows(std::size_t n_records, std::size_t n_individuals);
// Header "Source\tEstimate\tSE", one tab-separated line per row, numbers as the shortest text
// that reads back to the same double (a row copied into --vc is the value estimated), "NA" for NaN. Written like every result (PendingFile); throws
// OutputFailure when it cannot be.
void add_variance_file(ResultTexts& set, const std::vector<ResultRow>& rows, const std::string& filename);
void write_variance_file(const std::vector<ResultRow>& rows, const std::string& filename);
