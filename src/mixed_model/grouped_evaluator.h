#pragma once

#include <optional>

#include "mixed_model/covariance_space.h"

// ---- Several random effects: the dense evaluator ---------------------------------------------
// A random effect: the level of every record (0-based; -1 for a record without one, as a
// record without a dam has no maternal effect), and the covariance of the levels, a kinship
// (sigma2 K) or independent levels (sigma2 I, `kinship` empty). With partner levels, the
// component is the covariance of two effects over one kinship (the direct and the maternal
// effect): V = sigma (Z K W' + W K Z'), Z from `level_of_record`, W from the partner's.
struct RandomEffect {
    std::string name;
    std::vector<Eigen::Index> level_of_record;
    Eigen::Index levels = 0;
    Eigen::MatrixXd kinship;  // levels x levels, or empty
    std::vector<Eigen::Index> partner_level_of_record{};  // empty: a variance
    // A regression's part: each record's value multiplying its level (empty: 1). With a
    // partner's value over the same levels, the covariance of two parts: V = sigma (D_c Z K Z' D_d
    // + D_d Z K Z' D_c), c `covariate` and d `partner_covariate`.
    Eigen::VectorXd covariate{};
    Eigen::VectorXd partner_covariate{};
    // An earlier effect over the same levels and kinship, whose kinship this one uses (-1: its
    // own), so that the parts of a regression hold one kinship among them.
    Eigen::Index kinship_of = -1;
};

// The residual of a record: sigma2_e(c) / w, its class c of `classes` (first met among the
// records, as class levels are) and its weight w > 0. Empty members: one class, every weight 1.
struct ResidualStructure {
    Eigen::VectorXd weights;
    std::vector<Eigen::Index> class_of_record;
    Eigen::Index classes = 1;
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
// Weights and residual classes (theta ends with one sigma2_e per class) keep the same shape:
// with W^1/2 taken into y, X and Z (D the groups' sums of weights), and the groups split by
// residual class so that R = diag(sigma2_e(c) / w) is constant within each group, sigma2_e I
// becomes the diagonal of the groups' residual variances, the part within groups is summed per
// class, and log det V gains -sum log w.
class GroupedEvaluator : public SpacedEvaluator {
public:
    // `X`: the fixed-effect columns to estimate (independent), `y` the trait (scaled).
    GroupedEvaluator(std::vector<RandomEffect> effects, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                     ResidualStructure residual = {});
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;
    // The groups the evaluator would form of `records` records (the order of its matrices),
    // before any kinship is read.
    static Eigen::Index groups_of(const std::vector<RandomEffect>& effects, const ResidualStructure& residual,
                                  Eigen::Index records);
    // Another parameterisation of the fixed effects (the same records): REML is evaluated on
    // the independent columns of the design without reference levels, the fixed effects are
    // reported for the full design's estimable columns. The log-likelihood's constant follows X.
    void set_design(const Eigen::MatrixXd& X);

    // The solution at theta: T = (sigma2_e I + S)^-1, T Xbar (Xbar = D^-1/2 Z'X), C^-1 =
    // (X'V^-1 X)^-1, the GLS estimate beta and t = T D^-1/2 Z'(y - X beta), so that Z'P y = D^1/2 t.
    struct Solution {
        bool finite = false;
        std::string problem;
        Eigen::VectorXd residuals;  // sigma2_e of each residual class
        Eigen::MatrixXd T, TX, C_inverse;
        Eigen::VectorXd beta, t;
        Eigen::MatrixXd within_cross;      // p x classes
        Eigen::VectorXd within_residuals;  // per class
        double log_det_groups = 0.0, log_det_C = 0.0, yPy = 0.0;
        // c'Pc over groups for each column c given in the groups (D^1/2 Z' applied to a record
        // vector that is constant within groups): c'T c - (Xbar'T c)' C^-1 (Xbar'T c).
        // With `shifts` at `variance`: as RecordProjection::quadratic_forms takes them.
        Eigen::VectorXd quadratic_forms(const Eigen::MatrixXd& group_columns, const Eigen::MatrixXd* shifts = nullptr,
                                        double variance = 0.0, Eigen::VectorXd* shift_terms = nullptr) const;
    };
    Solution solve(const Eigen::VectorXd& theta) const;
    Eigen::Index groups() const { return root_counts_.size(); }
    // For effect k: the sum over each level's groups of sqrt(d_a) v_a (Z_k'P y from t), and a
    // matrix over the levels taken to the groups (row a = sqrt(d_a) row level(a)).
    Eigen::VectorXd level_sums(Eigen::Index k, const Eigen::VectorXd& group_values) const;
    Eigen::MatrixXd to_groups(Eigen::Index k, const Eigen::MatrixXd& level_values) const;
    // The prediction of effect k at N individuals (or levels) at its variance sigma2 (scaled): its
    // BLUPs u = sigma2 L'Z_k'P y and prediction error variances sigma2 d - sigma2^2 l'Z_k'P Z_k l
    // (NaN below 0 beyond rounding), with `level_columns(start, width)` the columns over the
    // effect's levels of individuals start.. (a kinship's values at the individuals with records,
    // or unit vectors) and `diagonal` their prior variances over sigma2; in the trait's units by
    // `scale` (values) and its square (variances). Name and IDs are the caller's. `shifts` (the
    // design's columns x N): fixed unknown parent groups, each value a + q'beta.
    EffectPrediction predict(const Solution& solution, Eigen::Index k, double variance, Eigen::Index N,
                             const std::function<Eigen::MatrixXd(Eigen::Index, Eigen::Index)>& level_columns,
                             const Eigen::VectorXd& diagonal, double scale,
                             const Eigen::MatrixXd* shifts = nullptr) const;

    // The prediction of an effect that the records see through several of the evaluator's
    // effects over the same levels (the direct and maternal effects of one kinship): u =
    // sum_j c_j L'Z_j'P y and PEV = prior d - (sum_j c_j Z_j l)' P (sum_j c_j Z_j l), with
    // `parts` the pairs (effect, c_j) and `prior` the effect's own variance; otherwise as predict.
    EffectPrediction predict_combined(const Solution& solution, const std::vector<std::pair<Eigen::Index, double>>& parts,
                                      double prior, Eigen::Index N,
                                      const std::function<Eigen::MatrixXd(Eigen::Index, Eigen::Index)>& level_columns,
                                      const Eigen::VectorXd& diagonal, double scale) const;

private:
    struct Effect {
        std::string name;
        std::vector<Eigen::Index> level_of_group;
        std::vector<Eigen::Index> partner_of_group;  // a covariance's other effect; empty for a variance
        Eigen::Index levels = 0;
        // In the groups' order, D^1/2 K D^1/2 (g x g); otherwise K at the levels; empty for
        // independent levels and for a kinship shared with an earlier effect.
        Eigen::MatrixXd kinship;
        bool in_order = false;
        std::vector<std::vector<Eigen::Index>> members;  // independent levels: the groups of each level
        Eigen::Index kinship_of = -1;                    // the effect whose kinship it uses (-1: its own)
        Eigen::VectorXd left, right;  // a regression's values per group (c, and d of a covariance); empty: 1
        // Out of the groups' order: each group's level and weight on either side of K (S, and U
        // of a covariance), sqrt(d_a) times the part's value, 0 without a level.
        std::vector<Eigen::Index> first_level, second_level;
        Eigen::VectorXd first_weight, second_weight;
        Eigen::Index first_side = -1, second_side = -1;  // in sides_
    };
    // A side of an effect out of the groups' order (its second side, or its first).
    struct Side {
        Eigen::Index effect = 0;
        bool second = false;
    };
    void register_sides(Eigen::Index k);
    Eigen::MatrixXd to_levels(const Side& side, const Eigen::MatrixXd& C) const;
    Eigen::MatrixXd from_sides(const Effect& effect, const Eigen::MatrixXd& C,
                               std::vector<Eigen::MatrixXd>& products) const;
    // K~_k C for every effect k.
    std::vector<Eigen::MatrixXd> apply_effects(const Eigen::MatrixXd& C) const;
    const Eigen::MatrixXd& kinship_of(const Effect& effect) const {
        return effect.kinship_of < 0 ? effect.kinship : effects_[static_cast<std::size_t>(effect.kinship_of)].kinship;
    }
    // sqrt(d_a) c_a of each group (the left values, or 1), and sqrt(d_a) d_a of a covariance.
    Eigen::VectorXd scaled_left(const Effect& effect) const;
    Eigen::VectorXd scaled_right(const Effect& effect) const;
    Eigen::MatrixXd apply_effect(const Effect& effect, const Eigen::MatrixXd& C) const;
    double trace_with(const Effect& effect, const Eigen::MatrixXd& T) const;
    bool inverse_of_groups(const Eigen::VectorXd& theta, Eigen::MatrixXd& T, double& log_det) const;

    // The rows of M (groups) of residual class c; M itself with one class.
    Eigen::MatrixXd class_rows(Eigen::Index c, const Eigen::MatrixXd& M) const;

    Eigen::Index records_ = 0;
    Eigen::Index p_ = 0;
    Eigen::VectorXd y_;
    Eigen::VectorXd root_weights_;  // sqrt(w) per record; empty when every record weighs 1
    double log_weights_ = 0.0;      // sum log w
    std::vector<Eigen::Index> group_of_record_;
    Eigen::VectorXd root_counts_;  // sqrt(d_a), d_a the group's records (sum of weights)
    Eigen::MatrixXd group_sums_;   // D^-1/2 Z'W[X y], g x (p + 1)
    std::vector<Eigen::MatrixXd> within_;  // per residual class: [X y]'W^1/2 (I - P_Z) D_c W^1/2 [X y]
    std::vector<Eigen::Index> class_of_group_;
    std::vector<std::vector<Eigen::Index>> groups_of_class_;
    Eigen::VectorXd records_in_class_, groups_in_class_;
    std::vector<Effect> effects_;
    std::vector<Side> sides_;
    mutable Eigen::MatrixXd spare_;  // T of the last evaluation, its memory taken again by the next
};
