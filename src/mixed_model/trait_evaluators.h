#pragma once

#include "mixed_model/grouped_evaluator.h"

// ---- Several traits ----------------------------------------------------------------------------
// Y = X B + U + E for t traits recorded on q individuals: vec(U) ~ N(0, Vg (x) K), vec(E) ~
// N(0, Ve (x) I), over the trait values present (an individual may lack some traits). Every
// trait has its own coefficients for the same fixed-effect columns. The components are the
// lower triangles of Vg and then of Ve, row by row: Vg(1,1), Vg(2,1), Vg(2,2), Vg(3,1), ...
// With residual classes, each individual's residual covariance is its class's Ve_c: the
// lower triangle of each class's in turn after Vg.
constexpr Eigen::Index kMostTraits = 6;
// With maternal effects (genetic_parts 2) Vg is the block of the direct and maternal effects of
// every trait, part-major: the direct effects of traits 1..t, then the maternal effects of
// traits 1..t. With the dam's permanent environment a block Vpe (t x t) follows Vg. Each Ve
// stays t x t.
struct TraitLayout {
    Eigen::Index traits = 0;
    Eigen::Index residual_classes = 1;
    Eigen::Index genetic_parts = 1;
    bool dam_environment = false;
    Eigen::Index genetic_size() const { return genetic_parts * traits; }
    Eigen::Index genetic_count() const { return genetic_size() * (genetic_size() + 1) / 2; }
    // The elements of one Ve (of Vpe).
    Eigen::Index per_matrix() const { return traits * (traits + 1) / 2; }
    // The first component of Vpe, and its count (0 without it).
    Eigen::Index environment_offset() const { return genetic_count(); }
    Eigen::Index environment_count() const { return dam_environment ? per_matrix() : 0; }
    // The first component of class c's Ve.
    Eigen::Index residual_offset(Eigen::Index residual_class) const {
        return genetic_count() + environment_count() + residual_class * per_matrix();
    }
    Eigen::Index count() const { return residual_offset(residual_classes); }
    // Position of element (a, b) of a block within it, in either order: of Vg in theta, of Vpe
    // environment_offset() on, of Ve_c residual_offset(c) on.
    Eigen::Index position(Eigen::Index a, Eigen::Index b) const;
    // (row, column) of position k within its block (Vg's, Vpe's or a Ve's), row >= column.
    std::pair<Eigen::Index, Eigen::Index> element(Eigen::Index k) const;
    // The trait of a row or column of Vg (of Vpe and Ve: itself).
    Eigen::Index trait_of(Eigen::Index row) const { return row % traits; }
    // The residual class of position k, -1 for Vg and Vpe.
    Eigen::Index residual_class(Eigen::Index k) const {
        return k < residual_offset(0) ? -1 : (k - residual_offset(0)) / per_matrix();
    }
    Eigen::MatrixXd genetic(const Eigen::VectorXd& theta) const;
    Eigen::MatrixXd environment(const Eigen::VectorXd& theta) const;
    Eigen::MatrixXd residual(const Eigen::VectorXd& theta, Eigen::Index residual_class = 0) const;
    // Every class's residual `residual` when one is given; `environment` Vpe where the layout has it.
    Eigen::VectorXd components(const Eigen::MatrixXd& genetic, const Eigen::MatrixXd& residual,
                               const Eigen::MatrixXd& environment = {}) const;
    Eigen::VectorXd components(const Eigen::MatrixXd& genetic, const std::vector<Eigen::MatrixXd>& residuals,
                               const Eigen::MatrixXd& environment = {}) const;
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
    // Fixed unknown parent groups, each value a + q'b: for kinship columns k_i (q x w), `shifts`
    // (p x w, each individual's q over X's columns) and Vg, what the groups add to each
    // prediction error variance (t x w): s_a'C s_a - 2 s_a'C X'V^-1 sum_b S_b k_i Vg(b, a), with
    // s_a the shift in trait a's coefficients and C = (X'V^-1 X)^-1.
    std::function<Eigen::MatrixXd(const Eigen::MatrixXd&, const Eigen::MatrixXd&, const Eigen::MatrixXd&)> group_terms;
};

// What the evaluators of several traits share: their space, the covariance space of Vg
// (positive semi-definite) and each class's Ve (positive definite with every eigenvalue at least
// `residual_limit`), and the EM-REML step of that space shortened until the likelihood does not
// fall.
class TraitEvaluator : public LikelihoodEvaluator {
public:
    const TraitLayout& layout() const { return layout_; }
    Eigen::VectorXd feasible(const Eigen::VectorXd& theta) const override;
    Eigen::MatrixXd held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    Eigen::MatrixXd boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    Eigen::VectorXd change_scale(const Eigen::VectorXd& theta) const override;
    std::optional<Eigen::VectorXd> em_step(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const override;
    virtual TraitSolution solve(const Eigen::VectorXd& theta) const = 0;
    // The kinship term's predictions at the solution, one per trait (`traits`), in each trait's
    // units (`scale`, the factor from the evaluator's): predict_traits at the components theta,
    // named `name`, over the individuals of `columns` (N x q) and `diagonal`; `shifts` as there.
    std::vector<EffectPrediction> predict(const TraitSolution& solution, const Eigen::VectorXd& theta,
                                          const std::string& name, const std::vector<std::string>& traits,
                                          const Eigen::VectorXd& scale, const Eigen::MatrixXd& columns,
                                          const Eigen::VectorXd& diagonal,
                                          const Eigen::MatrixXd* shifts = nullptr) const;
    // The directions (columns of t x k) in which block `block` (0: Vg, then Vpe where the layout
    // has it, then each class's Ve) is
    // at the boundary of its space at theta: Vg's eigenvectors of eigenvalue 0 (Ve's at the limit).
    Eigen::MatrixXd boundary_vectors(const Eigen::VectorXd& theta, std::size_t block) const;
    double residual_limit() const { return residual_limit_; }

protected:
    // `class_sizes`: the individuals of each residual class (empty: one residual for all).
    // `genetic_parts`: 2 with maternal effects; `dam_environment`: a block Vpe.
    TraitEvaluator(Eigen::Index traits, Eigen::Index individuals, double residual_limit,
                   const std::vector<Eigen::Index>& class_sizes = {}, Eigen::Index genetic_parts = 1,
                   bool dam_environment = false);
    TraitLayout layout_;
    CovarianceSpace space_;
    Eigen::Index individuals_ = 0;
    double residual_limit_ = 0.0;
};

// The individuals of each residual class 0 .. C - 1; none for one class.
std::vector<Eigen::Index> class_sizes(const std::vector<Eigen::Index>& classes);

// Every trait recorded on every individual: in the basis of the kinship's eigenvectors (K = U D
// U', `eigen_form` from without_rounding_eigenvalues) the individuals are independent, V_j =
// d_j Vg + Ve, and an iteration costs O(q t^3) plus O(q (t p)^2) for the fixed effects. X (q x p,
// independent columns) and Y (q x t, scaled) in the records' order; `eigen_form` must outlive it.
// Each trait's fixed effects are its own columns of X (`trait_columns[a]`; empty: every column
// for every trait): the others are held at 0, so the equations keep their per-individual form.
class RotatedTraitsEvaluator : public TraitEvaluator {
public:
    RotatedTraitsEvaluator(const ReducedKinship& eigen_form, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y,
                           double residual_limit, const std::vector<std::vector<Eigen::Index>>& trait_columns = {});
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    TraitSolution solve(const Eigen::VectorXd& theta) const override;

private:
    struct Factors;
    bool factor(const Eigen::VectorXd& theta, Factors& f) const;
    const ReducedKinship& eigen_form_;
    Eigen::MatrixXd X_, Y_;  // rotated by U'
    std::vector<Eigen::Index> selected_;  // the (trait, column) pairs estimated, a p + j; empty: all
};

// Any pattern of missing trait values: V over the values present, V = sum over (a, b) of
// Vg(a,b) S_a K S_b' + Ve(a,b) S_a S_b', formed densely (the values trait by trait) with one
// Cholesky and inverse of its order per iteration. Each trait's fixed effects are the columns
// of X its records estimate, among its own (`trait_columns[a]`, columns of X in order; empty:
// every column for every trait). K: q x q over the individuals with records; Y: q x t, NaN where
// a trait is not recorded.
class DenseTraitsEvaluator : public TraitEvaluator {
public:
    // `weights` (one per individual, empty for 1): the residual covariance of an individual's
    // traits is Ve / w. `classes` (one per individual, 0 to C - 1; empty: one class): Ve_c of
    // the individual's class.
    DenseTraitsEvaluator(Eigen::MatrixXd K, const Eigen::MatrixXd& X, const Eigen::MatrixXd& Y, double residual_limit,
                         const std::vector<std::vector<Eigen::Index>>& trait_columns = {},
                         const Eigen::VectorXd& weights = {}, const std::vector<Eigen::Index>& classes = {});
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    TraitSolution solve(const Eigen::VectorXd& theta) const override;
    Eigen::Index values() const { return y_.size(); }
    // Per residual class, the pairs of traits (a > b) that no individual of the class has both of.
    std::vector<std::vector<std::pair<Eigen::Index, Eigen::Index>>> unshared_pairs() const;

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
    Eigen::VectorXd inverse_weight_;  // per value, 1 / its individual's weight
    std::vector<Eigen::Index> class_;  // per individual, its residual class
    Eigen::Index p_ = 0;
};

// The driver's settings for a model of several traits: starting at Vg = start_genetic, every
// class's Ve = start_residual, the variances at least 0 (Vg) or the evaluator's residual limit
// (Ve), the covariances free; in each residual class the residual covariances of its `unshared`
// trait pairs (never recorded on one individual of the class) fixed at 0, as nothing in the
// records tells them. `residual_names`: each class's block name ("e:<level>"; one class: "e").
// `maternal`: the name of the evaluator's maternal effects (start_genetic then 2t x 2t);
// `start_environment`: Vpe's start where the evaluator has the dam's permanent environment.
using TraitPairs = std::vector<std::pair<Eigen::Index, Eigen::Index>>;
AiRemlSettings trait_reml_settings(const TraitEvaluator& evaluator, const std::vector<std::string>& traits,
                                   const Eigen::MatrixXd& start_genetic, const Eigen::MatrixXd& start_residual,
                                   const std::vector<TraitPairs>& unshared, Eigen::Index records, int max_iter,
                                   double tol, const std::vector<std::string>& residual_names = {"e"},
                                   const std::string& maternal = "", const Eigen::MatrixXd& start_environment = {});

// Breeding values of every trait for N individuals at the solution's components (Vg the
// genetic covariance, in the evaluator's units): U = K_Nq P y Vg, and prediction error variances
// Vg(a,a) K_ii - (Vg F_i Vg)(a,a) from the solution's kinship forms, N x t each, with the prior
// variances Vg(a,a) K_ii. `columns`: N x q, the kinship of every individual with the individuals
// with records in the evaluator's order; `diagonal`: K_ii. A prediction error variance below 0
// beyond rounding is NaN (error_variance_or_nan).
struct TraitPrediction {
    Eigen::MatrixXd values, error_variances, prior_variances;
};
// `shifts` (p x N): fixed unknown parent groups, each value u + q'b with its error (group_terms).
TraitPrediction predict_traits(const TraitSolution& solution, const Eigen::MatrixXd& genetic,
                               const Eigen::MatrixXd& columns, const Eigen::VectorXd& diagonal,
                               const Eigen::MatrixXd* shifts = nullptr);

// The components' names: Vg(<t1>), Vg(<t1>,<t2>), Vg(<t2>), ... then Ve(...) the same way, or
// with residual classes each class's Ve:<level>(...) (`residual_names` "e:<level>").
// With maternal effects named `maternal`, Vg's rows are labelled by genetic_labels; with the
// dam's permanent environment (`dam_environment`) Vpe(<t1>), ... follow Vg's.
std::vector<std::string> trait_component_names(const std::vector<std::string>& traits,
                                               const std::vector<std::string>& residual_names = {"e"},
                                               const std::string& maternal = "", bool dam_environment = false);
// The labels of Vg's rows: the traits, then with maternal effects (`maternal`, the term's name)
// <maternal>:<trait> of each.
std::vector<std::string> genetic_labels(const std::vector<std::string>& traits, const std::string& maternal = "");
