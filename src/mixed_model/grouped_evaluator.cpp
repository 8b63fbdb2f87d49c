#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "linear_algebra/lapack.h"
#include "linear_algebra/mirror.h"
#include "mixed_model/mixed_model.h"

namespace {

// Groups: records that share the level of every effect (and the residual class), a regression's
// records only at the same values of its curve; numbered as first met, each by its key.
std::map<std::vector<Eigen::Index>, Eigen::Index> record_groups(const std::vector<RandomEffect>& effects,
                                                                const ResidualStructure& residual, Eigen::Index n,
                                                                std::vector<Eigen::Index>& group_of_record) {
    const Eigen::Index classes = residual.class_of_record.empty() ? 1 : residual.classes;
    std::size_t valued = 0;
    for (const RandomEffect& effect : effects) {
        for (const Eigen::VectorXd* values : {&effect.covariate, &effect.partner_covariate}) {
            if (values->size() == 0) continue;
            if (values->size() != n || !values->allFinite()) {
                throw std::invalid_argument("Random effect " + effect.name + " needs a finite value of every record.");
            }
            ++valued;
        }
        if ((effect.partner_covariate.size() != 0 && effect.covariate.size() == 0) ||
            (effect.covariate.size() != 0 && !effect.partner_level_of_record.empty())) {
            throw std::invalid_argument("Random effect " + effect.name + ": a covariance of values needs both parts' "
                                        "values over the same levels.");
        }
    }
    std::map<std::vector<Eigen::Index>, Eigen::Index> groups;
    const std::size_t level_keys = 2 * effects.size() + (classes > 1 ? 1 : 0);
    std::vector<Eigen::Index> levels(level_keys + valued, -1);
    group_of_record.resize(static_cast<std::size_t>(n));
    for (Eigen::Index r = 0; r < n; ++r) {
        for (std::size_t k = 0; k < effects.size(); ++k) {
            const RandomEffect& effect = effects[k];
            if (effect.level_of_record.size() != static_cast<std::size_t>(n) ||
                (!effect.partner_level_of_record.empty() &&
                 effect.partner_level_of_record.size() != static_cast<std::size_t>(n))) {
                throw std::invalid_argument("Every random effect needs the level of every record.");
            }
            levels[2 * k] = effect.level_of_record[static_cast<std::size_t>(r)];
            if (!effect.partner_level_of_record.empty()) {
                levels[2 * k + 1] = effect.partner_level_of_record[static_cast<std::size_t>(r)];
            }
        }
        if (classes > 1) {
            levels[level_keys - 1] = residual.class_of_record[static_cast<std::size_t>(r)];
            if (levels[level_keys - 1] < 0 || levels[level_keys - 1] >= classes) {
                throw std::invalid_argument("A record's residual class is out of range.");
            }
        }
        std::size_t key = level_keys;
        for (const RandomEffect& effect : effects) {
            for (const Eigen::VectorXd* values : {&effect.covariate, &effect.partner_covariate}) {
                if (values->size() == 0) continue;
                const double value = (*values)[r];
                std::memcpy(&levels[key++], &value, sizeof value);
            }
        }
        const auto [entry, added] = groups.emplace(levels, static_cast<Eigen::Index>(groups.size()));
        group_of_record[static_cast<std::size_t>(r)] = entry->second;
    }
    return groups;
}

}  // namespace

Eigen::Index GroupedEvaluator::groups_of(const std::vector<RandomEffect>& effects, const ResidualStructure& residual,
                                         Eigen::Index records) {
    std::vector<Eigen::Index> group_of_record;
    return static_cast<Eigen::Index>(record_groups(effects, residual, records, group_of_record).size());
}

GroupedEvaluator::GroupedEvaluator(std::vector<RandomEffect> effects, const Eigen::MatrixXd& X,
                                   const Eigen::VectorXd& y, ResidualStructure residual) {
    const Eigen::Index n = y.size();
    if (X.rows() != n) {
        throw std::invalid_argument("The dense evaluator needs X with one row per record.");
    }
    const Eigen::Index classes = residual.class_of_record.empty() ? 1 : residual.classes;
    if ((residual.weights.size() != 0 && residual.weights.size() != n) ||
        (!residual.class_of_record.empty() && residual.class_of_record.size() != static_cast<std::size_t>(n)) ||
        classes < 1) {
        throw std::invalid_argument("The residual structure needs a weight and a class of every record.");
    }
    if (residual.weights.size() != 0) {
        if (!(residual.weights.array() > 0.0).all() || !residual.weights.allFinite()) {
            throw std::invalid_argument("Every record's weight must be finite and above 0.");
        }
        root_weights_ = residual.weights.cwiseSqrt();
        log_weights_ = residual.weights.array().log().sum();
    }
    records_ = n;
    std::map<std::vector<Eigen::Index>, Eigen::Index> group_of_levels =
        record_groups(effects, residual, n, group_of_record_);
    const auto g = static_cast<Eigen::Index>(group_of_levels.size());
    Eigen::VectorXd counts = Eigen::VectorXd::Zero(g);
    for (Eigen::Index r = 0; r < n; ++r) {
        counts[group_of_record_[static_cast<std::size_t>(r)]] += root_weights_.size() == 0 ? 1.0 : residual.weights[r];
    }
    root_counts_ = counts.cwiseSqrt();
    class_of_group_.assign(static_cast<std::size_t>(g), 0);
    groups_of_class_.assign(static_cast<std::size_t>(classes), {});
    records_in_class_ = Eigen::VectorXd::Zero(classes);
    groups_in_class_ = Eigen::VectorXd::Zero(classes);
    for (Eigen::Index r = 0; r < n; ++r) {
        const Eigen::Index c = classes > 1 ? residual.class_of_record[static_cast<std::size_t>(r)] : 0;
        class_of_group_[static_cast<std::size_t>(group_of_record_[static_cast<std::size_t>(r)])] = c;
        records_in_class_[c] += 1.0;
    }
    for (Eigen::Index a = 0; a < g; ++a) {
        const Eigen::Index c = class_of_group_[static_cast<std::size_t>(a)];
        groups_of_class_[static_cast<std::size_t>(c)].push_back(a);
        groups_in_class_[c] += 1.0;
    }

    y_ = y;
    set_design(X);

    // A kinship that other effects share stays at the levels.
    std::vector<bool> shared(effects.size(), false);
    for (const RandomEffect& effect : effects) {
        const auto source = static_cast<std::size_t>(effect.kinship_of);
        if (effect.kinship_of >= 0 && source < effects.size()) shared[source] = true;
    }
    for (std::size_t k = 0; k < effects.size(); ++k) {
        RandomEffect& effect = effects[k];
        Effect made;
        made.name = effect.name;
        made.level_of_group.resize(static_cast<std::size_t>(g));
        const bool covariance = !effect.partner_level_of_record.empty();
        if (covariance) made.partner_of_group.resize(static_cast<std::size_t>(g));
        for (const auto& [key, group] : group_of_levels) {
            made.level_of_group[static_cast<std::size_t>(group)] = key[2 * k];
            if (covariance) made.partner_of_group[static_cast<std::size_t>(group)] = key[2 * k + 1];
        }
        made.levels = effect.levels;
        for (const auto& [values, taken] : {std::pair{&effect.covariate, &made.left},
                                            std::pair{&effect.partner_covariate, &made.right}}) {
            if (values->size() == 0) continue;
            taken->resize(g);
            for (Eigen::Index r = 0; r < n; ++r) (*taken)[group_of_record_[static_cast<std::size_t>(r)]] = (*values)[r];
        }
        for (const std::vector<Eigen::Index>* mapping : {&made.level_of_group, &made.partner_of_group}) {
            for (const Eigen::Index level : *mapping) {
                if (level < -1 || level >= effect.levels) {
                    throw std::invalid_argument("A record's level of random effect " + effect.name + " is out of range.");
                }
            }
        }
        if (effect.kinship_of >= 0) {
            const auto source = static_cast<std::size_t>(effect.kinship_of);
            if (source >= k || effects_[source].kinship_of >= 0 || effects_[source].kinship.size() == 0 ||
                effects_[source].levels != made.levels) {
                throw std::invalid_argument("Random effect " + effect.name + " shares the kinship of an effect over "
                                            "other levels.");
            }
            made.kinship_of = effect.kinship_of;
        } else if (effect.kinship.size() == 0) {
            if (covariance) {
                throw std::invalid_argument("The covariance of random effect " + effect.name + " needs a kinship.");
            }
            made.members.resize(static_cast<std::size_t>(effect.levels));
            for (Eigen::Index a = 0; a < g; ++a) {
                const Eigen::Index level = made.level_of_group[static_cast<std::size_t>(a)];
                if (level >= 0) made.members[static_cast<std::size_t>(level)].push_back(a);
            }
        } else {
            if (effect.kinship.rows() != effect.levels || effect.kinship.cols() != effect.levels) {
                throw std::invalid_argument("The kinship of random effect " + effect.name + " must be levels x levels.");
            }
            // When the groups are the levels in order (one record group per individual) the
            // kinship of a plain variance becomes D^1/2 K D^1/2 in place; otherwise it stays at
            // the levels, and each product takes the groups' levels from it: one matrix of the
            // levels' order however many effects share it (the direct and maternal effects, a
            // regression's parts).
            made.in_order = g == effect.levels && !covariance && made.left.size() == 0 && !shared[k];
            for (Eigen::Index a = 0; made.in_order && a < g; ++a) {
                made.in_order = made.level_of_group[static_cast<std::size_t>(a)] == a;
            }
            made.kinship = std::move(effect.kinship);
            if (made.in_order) {
                made.kinship.array().colwise() *= root_counts_.array();
                made.kinship.array().rowwise() *= root_counts_.transpose().array();
            }
        }
        if (!made.in_order && made.members.empty()) {
            // Each group's level and weight on either side of K: sqrt(d_a) times the part's value
            // (0 without a level, as a record without a dam), the second side a covariance's.
            const auto side = [&](const std::vector<Eigen::Index>& level, const Eigen::VectorXd& values,
                                  std::vector<Eigen::Index>& at, Eigen::VectorXd& weight) {
                at.resize(static_cast<std::size_t>(g));
                weight.resize(g);
                for (Eigen::Index a = 0; a < g; ++a) {
                    const Eigen::Index l = level[static_cast<std::size_t>(a)];
                    at[static_cast<std::size_t>(a)] = std::max<Eigen::Index>(l, 0);
                    weight[a] = l < 0 ? 0.0 : root_counts_[a] * (values.size() == 0 ? 1.0 : values[a]);
                }
            };
            side(made.level_of_group, made.left, made.first_level, made.first_weight);
            if (covariance) {
                side(made.partner_of_group, Eigen::VectorXd(), made.second_level, made.second_weight);
            } else if (made.right.size() != 0) {
                side(made.level_of_group, made.right, made.second_level, made.second_weight);
            }
        }
        effects_.push_back(std::move(made));
        register_sides(static_cast<Eigen::Index>(k));
    }
}

// The sides of effect k out of the groups' order, each one of sides_: a side equal to an earlier
// one over the same kinship (the direct effect's in the direct and maternal effects' covariance,
// a regression's part in each covariance it has) is taken again.
void GroupedEvaluator::register_sides(Eigen::Index k) {
    Effect& effect = effects_[static_cast<std::size_t>(k)];
    if (!effect.members.empty() || effect.in_order) return;
    const Eigen::Index source = effect.kinship_of < 0 ? k : effect.kinship_of;
    const auto find = [&](bool second) {
        const std::vector<Eigen::Index>& level = second ? effect.second_level : effect.first_level;
        const Eigen::VectorXd& weight = second ? effect.second_weight : effect.first_weight;
        for (std::size_t j = 0; j < sides_.size(); ++j) {
            const Effect& other = effects_[static_cast<std::size_t>(sides_[j].effect)];
            const Eigen::Index other_source = other.kinship_of < 0 ? sides_[j].effect : other.kinship_of;
            if (other_source == source && (sides_[j].second ? other.second_level : other.first_level) == level &&
                (sides_[j].second ? other.second_weight : other.first_weight) == weight) {
                return static_cast<Eigen::Index>(j);
            }
        }
        sides_.push_back({k, second});
        return static_cast<Eigen::Index>(sides_.size() - 1);
    };
    effect.first_side = find(false);
    if (effect.second_weight.size() != 0) effect.second_side = find(true);
}

void GroupedEvaluator::set_design(const Eigen::MatrixXd& X) {
    const Eigen::Index n = y_.size(), g = root_counts_.size();
    if (X.rows() != n) {
        throw std::invalid_argument("The dense evaluator needs X with one row per record.");
    }
    p_ = X.cols();
    // [X y] summed within groups and scaled by D^-1/2, and its part within groups (all with W^1/2).
    const bool weighted = root_weights_.size() != 0;
    Eigen::MatrixXd W(n, p_ + 1);
    W << X, y_;
    if (weighted) {
        W = root_weights_.asDiagonal() * W;
    }
    Eigen::MatrixXd sums = Eigen::MatrixXd::Zero(g, p_ + 1);
    for (Eigen::Index r = 0; r < n; ++r) {
        if (weighted) {
            sums.row(group_of_record_[static_cast<std::size_t>(r)]) += root_weights_[r] * W.row(r);
        } else {
            sums.row(group_of_record_[static_cast<std::size_t>(r)]) += W.row(r);
        }
    }
    for (Eigen::Index r = 0; r < n; ++r) {
        const Eigen::Index group = group_of_record_[static_cast<std::size_t>(r)];
        if (weighted) {
            W.row(r) -= root_weights_[r] * sums.row(group) / (root_counts_[group] * root_counts_[group]);
        } else {
            W.row(r) -= sums.row(group) / (root_counts_[group] * root_counts_[group]);
        }
    }
    const auto classes = static_cast<Eigen::Index>(groups_of_class_.size());
    within_.assign(static_cast<std::size_t>(classes), Eigen::MatrixXd());
    if (classes == 1) {
        within_.front() = W.transpose() * W;
    } else {
        std::vector<std::vector<Eigen::Index>> rows(static_cast<std::size_t>(classes));
        for (Eigen::Index r = 0; r < n; ++r) {
            rows[static_cast<std::size_t>(class_of_group_[static_cast<std::size_t>(group_of_record_[static_cast<std::size_t>(r)])])]
                .push_back(r);
        }
        for (Eigen::Index c = 0; c < classes; ++c) {
            const Eigen::MatrixXd part = W(rows[static_cast<std::size_t>(c)], Eigen::all);
            within_[static_cast<std::size_t>(c)] = part.transpose() * part;
        }
    }
    group_sums_ = root_counts_.cwiseInverse().asDiagonal() * sums;
}

Eigen::MatrixXd GroupedEvaluator::class_rows(Eigen::Index c, const Eigen::MatrixXd& M) const {
    if (groups_of_class_.size() == 1) {
        return M;
    }
    return M(groups_of_class_[static_cast<std::size_t>(c)], Eigen::all);
}

Eigen::VectorXd GroupedEvaluator::scaled_left(const Effect& effect) const {
    return effect.left.size() == 0 ? root_counts_ : Eigen::VectorXd(root_counts_.cwiseProduct(effect.left));
}

Eigen::VectorXd GroupedEvaluator::scaled_right(const Effect& effect) const {
    return root_counts_.cwiseProduct(effect.right);
}

// K~_k C, with K~_k = D^1/2 M_k D^1/2, of a kinship in the groups' order (a dense product) or of
// independent levels (sums over each level's groups, a regression's part with its values on both
// sides, D_c Z Z' D_c, a covariance of two parts both orders). A kinship out of the groups' order
// goes through from_sides.
Eigen::MatrixXd GroupedEvaluator::apply_effect(const Effect& effect, const Eigen::MatrixXd& C) const {
    if (effect.members.empty()) {
        return effect.kinship * C;
    }
    const bool pair = effect.right.size() != 0;
    // Groups without a level of the effect (a record without a dam) have no part in it.
    const Eigen::VectorXd c = scaled_left(effect);
    const Eigen::VectorXd d = pair ? scaled_right(effect) : Eigen::VectorXd();
    Eigen::MatrixXd result = Eigen::MatrixXd::Zero(C.rows(), C.cols());
    for (const std::vector<Eigen::Index>& groups : effect.members) {
        Eigen::RowVectorXd sum_c = Eigen::RowVectorXd::Zero(C.cols()), sum_d = sum_c;
        for (Eigen::Index a : groups) {
            sum_c += c[a] * C.row(a);
            if (pair) sum_d += d[a] * C.row(a);
        }
        for (Eigen::Index a : groups) {
            result.row(a) = pair ? Eigen::RowVectorXd(c[a] * sum_d + d[a] * sum_c) : Eigen::RowVectorXd(c[a] * sum_c);
        }
    }
    return result;
}

// S'C of a side: the rows of C summed to their levels, each times its group's weight.
Eigen::MatrixXd GroupedEvaluator::to_levels(const Side& side, const Eigen::MatrixXd& C) const {
    const Effect& effect = effects_[static_cast<std::size_t>(side.effect)];
    const std::vector<Eigen::Index>& level = side.second ? effect.second_level : effect.first_level;
    const Eigen::VectorXd& weight = side.second ? effect.second_weight : effect.first_weight;
    Eigen::MatrixXd sums = Eigen::MatrixXd::Zero(kinship_of(effect).rows(), C.cols());
    for (Eigen::Index a = 0; a < C.rows(); ++a) {
        if (weight[a] != 0.0) sums.row(level[static_cast<std::size_t>(a)]) += weight[a] * C.row(a);
    }
    return sums;
}

// K~_k C out of the groups' order, with S the groups' levels and weights of a side (g x levels):
// K~_k = S K S', or S K U' + U K S' for a covariance; the columns are summed to the levels,
// multiplied by K once per side in `products` for every effect that takes it, and taken back.
Eigen::MatrixXd GroupedEvaluator::from_sides(const Effect& effect, const Eigen::MatrixXd& C,
                                             std::vector<Eigen::MatrixXd>& products) const {
    const auto product = [&](Eigen::Index side) -> const Eigen::MatrixXd& {
        Eigen::MatrixXd& formed = products[static_cast<std::size_t>(side)];
        if (formed.size() == 0) {
            const Side& taken = sides_[static_cast<std::size_t>(side)];
            formed = kinship_of(effects_[static_cast<std::size_t>(taken.effect)]) * to_levels(taken, C);
        }
        return formed;
    };
    const auto add_back = [](const std::vector<Eigen::Index>& level, const Eigen::VectorXd& weight,
                             const Eigen::MatrixXd& values, Eigen::MatrixXd& result) {
        for (Eigen::Index a = 0; a < result.rows(); ++a) {
            if (weight[a] != 0.0) result.row(a) += weight[a] * values.row(level[static_cast<std::size_t>(a)]);
        }
    };
    Eigen::MatrixXd result = Eigen::MatrixXd::Zero(C.rows(), C.cols());
    if (effect.second_side < 0) {
        add_back(effect.first_level, effect.first_weight, product(effect.first_side), result);
    } else {
        add_back(effect.first_level, effect.first_weight, product(effect.second_side), result);
        add_back(effect.second_level, effect.second_weight, product(effect.first_side), result);
    }
    return result;
}

std::vector<Eigen::MatrixXd> GroupedEvaluator::apply_effects(const Eigen::MatrixXd& C) const {
    std::vector<Eigen::MatrixXd> products(sides_.size()), applied;
    for (const Effect& effect : effects_) {
        applied.push_back(effect.members.empty() && !effect.in_order ? from_sides(effect, C, products)
                                                                     : apply_effect(effect, C));
    }
    return applied;
}

// tr(T K~_k) for the symmetric T.
double GroupedEvaluator::trace_with(const Effect& effect, const Eigen::MatrixXd& T) const {
    if (effect.members.empty() && !effect.in_order) {
        // sum_ab T(a, b) s_a u_b K(level a, level b), a column of K per group b; twice that for a
        // covariance (S K U' and U K S' have the same trace with T).
        const Eigen::MatrixXd& K = kinship_of(effect);
        const bool pair = effect.second_weight.size() != 0;
        const std::vector<Eigen::Index>& level_b = pair ? effect.second_level : effect.first_level;
        const Eigen::VectorXd& weight_b = pair ? effect.second_weight : effect.first_weight;
        // Each column's share on its own, summed in order: the same trace at any thread count and
        // schedule (a reduction's order would follow the schedule, and an ill-conditioned AI
        // matrix makes that rounding visible in the next step).
        Eigen::VectorXd shares = Eigen::VectorXd::Zero(T.cols());
#pragma omp parallel for schedule(dynamic, 64)
        for (Eigen::Index b = 0; b < T.cols(); ++b) {
            if (weight_b[b] == 0.0) continue;
            const double* column = K.col(level_b[static_cast<std::size_t>(b)]).data();
            double sum = 0.0;
            for (Eigen::Index a = 0; a < T.rows(); ++a) {
                sum += T(a, b) * effect.first_weight[a] * column[effect.first_level[static_cast<std::size_t>(a)]];
            }
            shares[b] = weight_b[b] * sum;
        }
        double trace = 0.0;
        for (Eigen::Index b = 0; b < shares.size(); ++b) trace += shares[b];
        return pair ? 2.0 * trace : trace;
    }
    if (effect.members.empty()) {
        return (T.array() * effect.kinship.array()).sum();
    }
    const bool pair = effect.right.size() != 0;
    const Eigen::VectorXd c = scaled_left(effect);
    const Eigen::VectorXd d = pair ? scaled_right(effect) : c;
    double trace = 0.0;
    for (const std::vector<Eigen::Index>& groups : effect.members) {
        for (Eigen::Index a : groups) {
            for (Eigen::Index b : groups) {
                trace += T(a, b) * c[a] * d[b];
            }
        }
    }
    return pair ? 2.0 * trace : trace;
}

// T = (sigma2_e I + sum sigma2_k K~_k)^-1 (full), with its log-determinant; false when that
// matrix is not positive definite.
bool GroupedEvaluator::inverse_of_groups(const Eigen::VectorXd& theta, Eigen::MatrixXd& T, double& log_det) const {
    const Eigen::Index g = root_counts_.size();
    const auto m = static_cast<Eigen::Index>(effects_.size());
    // The last evaluation's T, when it gave it back: no fresh pages for every evaluation.
    if (T.size() == 0 && spare_.rows() == g && spare_.cols() == g) T.swap(spare_);
    T.setZero(g, g);
    for (Eigen::Index k = 0; k < m; ++k) {
        const Effect& effect = effects_[static_cast<std::size_t>(k)];
        const double variance = theta[k];
        if (variance == 0.0) {
            continue;
        }
        if (effect.members.empty() && !effect.in_order) {
            // sigma (S K S') or sigma (S K U' + U K S'), its lower triangle a column at a time.
            const Eigen::MatrixXd& K = kinship_of(effect);
            const bool covariance = effect.second_weight.size() != 0;
            const auto& s_level = effect.first_level;
            const auto& u_level = covariance ? effect.second_level : effect.first_level;
            const Eigen::VectorXd& s = effect.first_weight;
            const Eigen::VectorXd& u = covariance ? effect.second_weight : effect.first_weight;
#pragma omp parallel for schedule(dynamic, 64)
            for (Eigen::Index b = 0; b < g; ++b) {
                const double* at_u = K.col(u_level[static_cast<std::size_t>(b)]).data();
                const double* at_s = K.col(s_level[static_cast<std::size_t>(b)]).data();
                for (Eigen::Index a = b; a < g; ++a) {
                    double value = s[a] * u[b] * at_u[s_level[static_cast<std::size_t>(a)]];
                    if (covariance) value += u[a] * s[b] * at_s[u_level[static_cast<std::size_t>(a)]];
                    T(a, b) += variance * value;
                }
            }
        } else if (effect.members.empty()) {
            T.triangularView<Eigen::Lower>() += variance * effect.kinship;
        } else {
            const bool pair = effect.right.size() != 0;
            const Eigen::VectorXd c = scaled_left(effect);
            const Eigen::VectorXd d = pair ? scaled_right(effect) : c;
            for (const std::vector<Eigen::Index>& groups : effect.members) {
                for (Eigen::Index a : groups) {
                    for (Eigen::Index b : groups) {
                        if (a >= b) {
                            T(a, b) += variance * (pair ? c[a] * d[b] + d[a] * c[b] : c[a] * c[b]);
                        }
                    }
                }
            }
        }
    }
    if (groups_of_class_.size() == 1) {
        T.diagonal().array() += theta[m];
    } else {
        for (Eigen::Index a = 0; a < g; ++a) {
            T(a, a) += theta[m + class_of_group_[static_cast<std::size_t>(a)]];
        }
    }
    if (!T.allFinite()) {
        return false;
    }
    const int order = static_cast<int>(g);
    int info = 0;
    if (g > 0) {
        dpotrf_("L", &order, T.data(), &order, &info, 1);
    }
    if (info != 0) {
        return false;
    }
    log_det = 2.0 * T.diagonal().array().log().sum();
    if (g > 0) {
        dpotri_("L", &order, T.data(), &order, &info, 1);
    }
    if (info != 0) {
        return false;
    }
    mirror_lower(T);
    return T.allFinite();
}

GroupedEvaluator::Solution GroupedEvaluator::solve(const Eigen::VectorXd& theta) const {
    Solution s;
    const Eigen::Index p = p_;
    const auto classes = static_cast<Eigen::Index>(within_.size());
    s.residuals = theta.tail(classes);
    if (!(s.residuals.array() > 0.0).all() || !inverse_of_groups(theta, s.T, s.log_det_groups)) {
        s.problem = "V = sum of the components' covariances + Sigma_e2 I is not positive definite";
        return s;
    }
    const Eigen::MatrixXd TW = s.T * group_sums_;
    Eigen::MatrixXd gram = within_.front() / s.residuals[0] + group_sums_.transpose() * TW;
    for (Eigen::Index c = 1; c < classes; ++c) {
        gram += within_[static_cast<std::size_t>(c)] / s.residuals[c];
    }
    s.TX = TW.leftCols(p);
    const Eigen::MatrixXd C = gram.topLeftCorner(p, p);
    const Eigen::LLT<Eigen::MatrixXd> C_chol(C);
    if (p > 0 && (C_chol.info() != Eigen::Success || !C.allFinite())) {
        s.problem = "X'V^-1 X is not positive definite (the fixed effects cannot be estimated from the records)";
        return s;
    }
    s.C_inverse = C_chol.solve(Eigen::MatrixXd::Identity(p, p));
    s.log_det_C = p == 0 ? 0.0 : 2.0 * Eigen::MatrixXd(C_chol.matrixL()).diagonal().array().log().sum();
    s.beta = s.C_inverse * gram.col(p).head(p);
    s.yPy = gram(p, p) - gram.col(p).head(p).dot(s.beta);
    s.t = TW.col(p) - s.TX * s.beta;
    Eigen::VectorXd contrast(p + 1);
    contrast << -s.beta, 1.0;
    s.within_residuals.resize(classes);
    s.within_cross.resize(p, classes);
    for (Eigen::Index c = 0; c < classes; ++c) {
        const Eigen::MatrixXd& within = within_[static_cast<std::size_t>(c)];
        s.within_residuals[c] = contrast.dot(within * contrast);
        s.within_cross.col(c) = within.topRows(p) * contrast;
    }
    s.finite = std::isfinite(s.yPy) && s.t.allFinite();
    if (!s.finite) {
        s.problem = "the log-likelihood or its derivatives are not finite";
    }
    return s;
}

LikelihoodPoint GroupedEvaluator::evaluate(const Eigen::VectorXd& theta) const {
    const auto m = static_cast<Eigen::Index>(effects_.size());
    const auto classes = static_cast<Eigen::Index>(within_.size());
    const Eigen::Index count = m + classes;
    LikelihoodPoint result;
    result.log_likelihood = -kInfinity;
    result.score = Eigen::VectorXd::Zero(count);
    result.ai = Eigen::MatrixXd::Zero(count, count);
    Solution s = solve(theta);
    struct GiveBack {
        Eigen::MatrixXd& spare;
        Eigen::MatrixXd& T;
        ~GiveBack() { spare.swap(T); }
    } give_back{spare_, s.T};
    if (!s.finite) {
        result.problem = s.problem;
        return result;
    }
    double log_det_within = 0.0;
    for (Eigen::Index c = 0; c < classes; ++c) {
        log_det_within += (records_in_class_[c] - groups_in_class_[c]) * std::log(s.residuals[c]);
    }
    result.log_likelihood = -0.5 * (log_det_within + s.log_det_groups + s.yPy + s.log_det_C);
    if (root_weights_.size() != 0) {
        result.log_likelihood += 0.5 * log_weights_;
    }

    // Derivatives, with Z'P y = D^1/2 t and V_k P y = Z D^-1/2 K~_k t: y'P V_k P y = t'K~_k t,
    // tr(V^-1 V_k) = tr(T K~_k), X'V^-1 V_k V^-1 X = (T Xbar)' K~_k (T Xbar).
    Eigen::MatrixXd h(s.t.size(), m);  // K~_k t
    Eigen::MatrixXd r(p_, count);      // X'V^-1 V_k P y
    Eigen::MatrixXd t_and_TX(s.t.size(), 1 + p_);
    t_and_TX << s.t, s.TX;
    const std::vector<Eigen::MatrixXd> applied = apply_effects(t_and_TX);
    for (Eigen::Index k = 0; k < m; ++k) {
        const Effect& effect = effects_[static_cast<std::size_t>(k)];
        h.col(k) = applied[static_cast<std::size_t>(k)].col(0);
        const Eigen::MatrixXd KTX = applied[static_cast<std::size_t>(k)].rightCols(p_);
        const double trace = trace_with(effect, s.T) - (s.C_inverse * (s.TX.transpose() * KTX)).trace();
        result.score[k] = 0.5 * (s.t.dot(h.col(k)) - trace);
        r.col(k) = s.TX.transpose() * h.col(k);
    }
    // A residual class c: V_c = D_c (its records), P y = within / sigma2_e(c) + Z D^-1/2 t, its
    // group part t on the class's groups (t_c).
    Eigen::MatrixXd group_parts = Eigen::MatrixXd::Zero(s.t.size(), count);
    group_parts.leftCols(m) = h;
    for (Eigen::Index c = 0; c < classes; ++c) {
        const double e2 = s.residuals[c], e4 = e2 * e2;
        if (classes == 1) {
            group_parts.col(m) = s.t;
        } else {
            for (Eigen::Index a : groups_of_class_[static_cast<std::size_t>(c)]) {
                group_parts(a, m + c) = s.t[a];
            }
        }
        const Eigen::VectorXd t_c = group_parts.col(m + c);
        const Eigen::MatrixXd TX_c = class_rows(c, s.TX);
        double T_trace = 0.0;
        if (classes == 1) {
            T_trace = s.T.trace();
        } else {
            for (Eigen::Index a : groups_of_class_[static_cast<std::size_t>(c)]) {
                T_trace += s.T(a, a);
            }
        }
        const double yPPy = s.within_residuals[c] / e4 + t_c.squaredNorm();
        const double trace_V = (records_in_class_[c] - groups_in_class_[c]) / e2 + T_trace;
        const Eigen::MatrixXd XVVX =
            within_[static_cast<std::size_t>(c)].topLeftCorner(p_, p_) / e4 + TX_c.transpose() * TX_c;
        result.score[m + c] = 0.5 * (yPPy - (trace_V - (s.C_inverse * XVVX).trace()));
        r.col(m + c) = s.within_cross.col(c) / e4 + s.TX.transpose() * t_c;
    }

    // AI(k, l) = (V_k P y)' P (V_l P y) / 2; the group parts of V_k P y are h_k (no part within
    // groups), those of P y are t and the within part.
    const Eigen::MatrixXd T_parts = s.T * group_parts;
    Eigen::MatrixXd inner = group_parts.transpose() * T_parts;
    for (Eigen::Index c = 0; c < classes; ++c) {
        const double e2 = s.residuals[c];
        inner(m + c, m + c) += s.within_residuals[c] / (e2 * e2 * e2);
    }
    result.ai = 0.5 * (inner - r.transpose() * s.C_inverse * r);
    result.ai = 0.5 * (result.ai + result.ai.transpose()).eval();
    result.finite = std::isfinite(result.log_likelihood) && result.score.allFinite() && result.ai.allFinite();
    if (!result.finite) {
        result.problem = "the log-likelihood or its derivatives are not finite";
    }
    return result;
}

Eigen::VectorXd GroupedEvaluator::level_sums(Eigen::Index k, const Eigen::VectorXd& group_values) const {
    const Effect& effect = effects_[static_cast<std::size_t>(k)];
    Eigen::VectorXd sums = Eigen::VectorXd::Zero(effect.levels);
    for (Eigen::Index a = 0; a < group_values.size(); ++a) {
        const Eigen::Index level = effect.level_of_group[static_cast<std::size_t>(a)];
        if (level >= 0) sums[level] += root_counts_[a] * (effect.left.size() == 0 ? 1.0 : effect.left[a]) * group_values[a];
    }
    return sums;
}

Eigen::MatrixXd GroupedEvaluator::to_groups(Eigen::Index k, const Eigen::MatrixXd& level_values) const {
    const Effect& effect = effects_[static_cast<std::size_t>(k)];
    const Eigen::Index g = root_counts_.size();
    Eigen::MatrixXd groups(g, level_values.cols());
    for (Eigen::Index a = 0; a < g; ++a) {
        const Eigen::Index level = effect.level_of_group[static_cast<std::size_t>(a)];
        if (level >= 0) {
            groups.row(a) = root_counts_[a] * (effect.left.size() == 0 ? 1.0 : effect.left[a]) * level_values.row(level);
        } else {
            groups.row(a).setZero();
        }
    }
    return groups;
}

Eigen::VectorXd GroupedEvaluator::Solution::quadratic_forms(const Eigen::MatrixXd& C, const Eigen::MatrixXd* shifts,
                                                            double variance, Eigen::VectorXd* shift_terms) const {
    const Eigen::MatrixXd TC = T * C;
    const Eigen::MatrixXd F = TX.transpose() * C;
    const Eigen::MatrixXd G = C_inverse * F;
    Eigen::VectorXd forms(C.cols());
    for (Eigen::Index j = 0; j < C.cols(); ++j) {
        forms[j] = C.col(j).dot(TC.col(j)) - F.col(j).dot(G.col(j));
    }
    if (shifts != nullptr) {
        shift_terms->resize(C.cols());
        const Eigen::MatrixXd Cq = C_inverse * *shifts;
        for (Eigen::Index j = 0; j < C.cols(); ++j) {
            (*shift_terms)[j] = shifts->col(j).dot(Cq.col(j)) - 2.0 * variance * Cq.col(j).dot(F.col(j));
        }
    }
    return forms;
}

EffectPrediction GroupedEvaluator::predict(const Solution& solution, Eigen::Index k, double variance, Eigen::Index N,
                                           const std::function<Eigen::MatrixXd(Eigen::Index, Eigen::Index)>& level_columns,
                                           const Eigen::VectorXd& diagonal, double scale,
                                           const Eigen::MatrixXd* shifts) const {
    const double units = scale * scale;
    EffectPrediction prediction;
    const Eigen::VectorXd per_level = level_sums(k, solution.t);
    prediction.values.resize(N);
    prediction.error_variances.resize(N);
    prediction.prior_variances = units * variance * diagonal;
    constexpr Eigen::Index kBlock = 512;
    for (Eigen::Index start = 0; start < N; start += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - start);
        const Eigen::MatrixXd columns = level_columns(start, width);
        prediction.values.segment(start, width) = scale * variance * (columns.transpose() * per_level);
        Eigen::MatrixXd block_shifts;
        if (shifts != nullptr) {
            block_shifts = shifts->middleCols(start, width);
            prediction.values.segment(start, width) += scale * (block_shifts.transpose() * solution.beta);
        }
        Eigen::VectorXd shift_terms = Eigen::VectorXd::Zero(width);
        const Eigen::VectorXd removed = solution.quadratic_forms(
            to_groups(k, columns), shifts != nullptr ? &block_shifts : nullptr, variance, &shift_terms);
        for (Eigen::Index j = 0; j < width; ++j) {
            prediction.error_variances[start + j] = units * error_variance_or_nan(
                variance * diagonal[start + j], variance * variance * removed[j] - shift_terms[j]);
        }
    }
    return prediction;
}

EffectPrediction GroupedEvaluator::predict_combined(
    const Solution& solution, const std::vector<std::pair<Eigen::Index, double>>& parts, double prior, Eigen::Index N,
    const std::function<Eigen::MatrixXd(Eigen::Index, Eigen::Index)>& level_columns, const Eigen::VectorXd& diagonal,
    double scale) const {
    const double units = scale * scale;
    EffectPrediction prediction;
    Eigen::VectorXd per_level = Eigen::VectorXd::Zero(effects_[static_cast<std::size_t>(parts.front().first)].levels);
    for (const auto& [k, coefficient] : parts) per_level += coefficient * level_sums(k, solution.t);
    prediction.values.resize(N);
    prediction.error_variances.resize(N);
    prediction.prior_variances = units * prior * diagonal;
    constexpr Eigen::Index kBlock = 512;
    for (Eigen::Index start = 0; start < N; start += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - start);
        const Eigen::MatrixXd columns = level_columns(start, width);
        prediction.values.segment(start, width) = scale * (columns.transpose() * per_level);
        Eigen::MatrixXd groups = Eigen::MatrixXd::Zero(root_counts_.size(), width);
        for (const auto& [k, coefficient] : parts) groups += coefficient * to_groups(k, columns);
        const Eigen::VectorXd removed = solution.quadratic_forms(groups);
        for (Eigen::Index j = 0; j < width; ++j) {
            prediction.error_variances[start + j] =
                units * error_variance_or_nan(prior * diagonal[start + j], removed[j]);
        }
    }
    return prediction;
}
