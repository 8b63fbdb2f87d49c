#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

// A shortened AI step goes down to 2^-30 of the full one before the EM fallback: along a nearly
// flat ridge of the likelihood (a kinship close to the identity) the AI step is far too long.
constexpr int kMostHalvings = 30;

// The share of a variance one step may take off where no likelihood shortens the step.
constexpr double kMostFall = 0.8;

// AI^-1 when AI is positive definite to rounding: every pivot of the Cholesky factor of AI
// scaled to a unit diagonal above 1e-12 (for two components: 1 - r^2 > 1e-12 with r their
// correlation). One or two components are inverted in closed form, as they always were.
std::optional<Eigen::MatrixXd> invert_ai(const Eigen::MatrixXd& ai) {
    const Eigen::Index k = ai.rows();
    for (Eigen::Index i = 0; i < k; ++i) {
        if (!(ai(i, i) > 0.0) || !std::isfinite(ai(i, i))) {
            return std::nullopt;
        }
    }
    if (k == 1) {
        return Eigen::MatrixXd::Constant(1, 1, 1.0 / ai(0, 0));
    }
    if (k == 2) {
        const double det = ai(0, 0) * ai(1, 1) - ai(0, 1) * ai(1, 0);
        if (!(det > 1e-12 * ai(0, 0) * ai(1, 1)) || !std::isfinite(det)) {
            return std::nullopt;
        }
        Eigen::MatrixXd inverse(2, 2);
        inverse << ai(1, 1), -ai(0, 1), -ai(1, 0), ai(0, 0);
        return Eigen::MatrixXd(inverse / det);
    }
    const Eigen::VectorXd scale = ai.diagonal().cwiseSqrt().cwiseInverse();
    const Eigen::MatrixXd unit = scale.asDiagonal() * ai * scale.asDiagonal();
    const Eigen::LLT<Eigen::MatrixXd> chol(unit);
    if (chol.info() != Eigen::Success || !unit.allFinite()) {
        return std::nullopt;
    }
    const Eigen::MatrixXd L = chol.matrixL();
    if (!((L.diagonal().array().square() > 1e-12).all())) {
        return std::nullopt;
    }
    return Eigen::MatrixXd(scale.asDiagonal() * chol.solve(Eigen::MatrixXd::Identity(k, k)) * scale.asDiagonal());
}

std::vector<Eigen::Index> indices_where(const std::vector<bool>& flags, bool wanted) {
    std::vector<Eigen::Index> found;
    for (std::size_t k = 0; k < flags.size(); ++k) {
        if (flags[k] == wanted) {
            found.push_back(static_cast<Eigen::Index>(k));
        }
    }
    return found;
}

[[noreturn]] void fail_singular_ai(int iteration, const Eigen::MatrixXd& ai, const std::vector<Eigen::Index>& free,
                                   const AiRemlSettings& settings) {
    std::string values, components;
    for (std::size_t a = 0; a < free.size(); ++a) {
        values += a == 0 ? "" : "; ";
        for (std::size_t b = 0; b < free.size(); ++b) {
            values += (b == 0 ? "" : ", ") + number_text(ai(free[a], free[b]));
        }
        components += (a == 0 ? "" : a + 1 == free.size() ? " and " : ", ") +
                      settings.parameters[static_cast<std::size_t>(free[a])].name;
    }
    throw RemlFailure("REML stopped at iteration " + std::to_string(iteration) +
                      ": the average information matrix is singular (" + values + "), so the records cannot tell " +
                      (settings.cannot_tell.empty() ? components + " apart" : settings.cannot_tell) + ". " +
                      settings.advice);
}

std::string joined(const std::vector<int>& components, const std::vector<ModelParameter>& parameters) {
    std::string text;
    for (std::size_t a = 0; a < components.size(); ++a) {
        text += (a == 0 ? "" : a + 1 == components.size() ? " and " : ", ") +
                parameters[static_cast<std::size_t>(components[a])].name;
    }
    return text;
}

bool is_residual(const std::vector<ModelParameter>& parameters, int k) {
    return parameters[static_cast<std::size_t>(k)].role == ParameterRole::residual;
}

// The AI step constrained to keep N' step = 0 (N: the held functionals, over the free
// components): the Newton step within the boundary's tangent space, T (T'AI T)^-1 T' score with
// T an orthonormal basis of the null space of N'.
Eigen::VectorXd step_along_boundary(const Eigen::MatrixXd& ai, const Eigen::VectorXd& score, const Eigen::MatrixXd& N,
                                    int iteration, const Eigen::MatrixXd& whole_ai, const std::vector<Eigen::Index>& free,
                                    const AiRemlSettings& settings) {
    const Eigen::Index f = ai.rows();
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(N);
    qr.setThreshold(1e-10);
    const Eigen::Index rank = qr.rank();
    if (rank >= f) {
        return Eigen::VectorXd::Zero(f);
    }
    const Eigen::MatrixXd Q = qr.householderQ() * Eigen::MatrixXd::Identity(f, f);
    const Eigen::MatrixXd T = Q.rightCols(f - rank);
    const std::optional<Eigen::MatrixXd> inverse = invert_ai(T.transpose() * ai * T);
    if (!inverse) {
        fail_singular_ai(iteration, whole_ai, free, settings);
    }
    return T * (*inverse * (T.transpose() * score));
}

// The evaluator's nearest point of its space, fixed components kept; true when that moved it.
bool bring_into_space(const LikelihoodEvaluator& evaluator, Eigen::VectorXd& candidate, const Eigen::VectorXd& theta,
                      const std::vector<bool>& fixed) {
    Eigen::VectorXd inside = evaluator.feasible(candidate);
    for (std::size_t c = 0; c < fixed.size(); ++c) {
        if (fixed[c]) {
            inside[static_cast<Eigen::Index>(c)] = theta[static_cast<Eigen::Index>(c)];
        }
    }
    const bool moved = inside != candidate;
    candidate = std::move(inside);
    return moved;
}

}  // namespace

std::string boundary_notes(const std::vector<ModelParameter>& parameters, const Eigen::VectorXd& theta, double units,
                           const std::string& none, const std::string& entire) {
    std::ostringstream notes;
    const std::string curvature =
        ", and the standard errors describe the likelihood's curvature there, not a symmetric interval.\n";
    for (std::size_t k = 0; k < parameters.size(); ++k) {
        const std::string& name = parameters[k].name;
        if (parameters[k].role == ParameterRole::variance && theta[static_cast<Eigen::Index>(k)] == 0.0) {
            notes << "👉 The estimate " << name << " = 0 lies on the boundary of the parameter space (" << name
                  << " >= 0): the records show no " << none << curvature;
        }
    }
    for (std::size_t k = 0; k < parameters.size(); ++k) {
        if (parameters[k].role == ParameterRole::residual &&
            theta[static_cast<Eigen::Index>(k)] <= parameters[k].limit) {
            notes << "👉 The estimate " << parameters[k].name << " lies at its lower limit, "
                  << parameters[k].limit * units << " (" << kResidualLimit
                  << " x the residual variance of the fixed effects alone): " << entire << curvature;
        }
    }
    return notes.str();
}

std::string reml_step_note(const AiRemlStep& step, const std::vector<ModelParameter>& parameters) {
    std::vector<int> random, residual;
    for (int k : step.limited) {
        (is_residual(parameters, k) ? residual : random).push_back(k);
    }
    // A step kept in a covariance block's space (the direct-maternal block) has no component at a limit.
    if (step.step == RemlStep::held && step.held_directions > 0) {
        return "AI step along the boundary of a positive semi-definite covariance block: the log-likelihood rises "
               "only beyond it";
    }
    if (step.step == RemlStep::boundary && step.projected && step.limited.empty()) {
        return "AI step brought back to a positive semi-definite covariance block, the boundary of the parameter space";
    }
    switch (step.step) {
        case RemlStep::ai:
            return "";
        case RemlStep::halved:
            return "AI step halved " + std::to_string(step.halvings) +
                   " time(s): the full step lowered the log-likelihood or left the parameter space";
        case RemlStep::boundary:
        case RemlStep::residual_boundary:
            if (random.empty()) {
                return "AI step with " + joined(residual, parameters) +
                       " stopped at its lower limit, the boundary of the parameter space";
            }
            return "AI step with " + joined(random, parameters) + " stopped at 0" +
                   (!residual.empty() ? " and " + joined(residual, parameters) + " at its lower limit" : "") +
                   ", the boundary of the parameter space";
        case RemlStep::held:
        case RemlStep::residual_held:
            if (random.empty()) {
                return joined(residual, parameters) +
                       " held at its lower limit: the log-likelihood rises only below it";
            }
            return joined(random, parameters) + " held at 0" +
                   (!residual.empty() ? " and " + joined(residual, parameters) + " at its lower limit" : "") +
                   ": the log-likelihood rises only towards negative values";
        case RemlStep::em:
            return "EM-REML step: no shortened AI step raised the log-likelihood";
        case RemlStep::rounding:
            return step.note;
    }
    return "";
}

namespace {

// The AI (Newton) direction of one iteration: components at their limit whose score points out of
// the space stay there (the maximum over the space is on its boundary), the others move.
struct AiDirection {
    Eigen::VectorXd direction;
    std::vector<bool> hold;            // components that do not move
    Eigen::MatrixXd held_functionals;  // the evaluator's own boundary held (columns), if any
};

AiDirection ai_direction(const LikelihoodEvaluator& active, const Eigen::VectorXd& theta,
                         const LikelihoodPoint& current, const AiRemlSettings& settings,
                         const std::vector<bool>& fixed, int k) {
    const Eigen::Index count = theta.size();
    const auto size = static_cast<std::size_t>(count);
    AiDirection result;
    std::vector<bool> at_limit(size);
    result.hold.resize(size);
    for (std::size_t c = 0; c < size; ++c) {
        const auto i = static_cast<Eigen::Index>(c);
        at_limit[c] = theta[i] <= settings.parameters[c].limit;
        result.hold[c] = fixed[c] || (at_limit[c] && current.score[i] <= 0.0);
    }
    const std::vector<Eigen::Index> free = indices_where(result.hold, false);
    result.held_functionals = active.held_directions(theta, current);
    result.direction = Eigen::VectorXd::Zero(count);
    if (free.empty()) {
        return result;
    }
    const Eigen::MatrixXd ai_free = current.ai(free, free);
    const Eigen::VectorXd score_free = current.score(free);
    Eigen::VectorXd step;
    if (result.held_functionals.cols() > 0) {
        const Eigen::MatrixXd curved = ai_free + active.boundary_information(theta, current)(free, free);
        step = step_along_boundary(curved, score_free, result.held_functionals(free, Eigen::all), k, current.ai, free,
                                   settings);
    } else {
        const std::optional<Eigen::MatrixXd> ai_inverse = invert_ai(ai_free);
        if (!ai_inverse) {
            fail_singular_ai(k, current.ai, free, settings);
        }
        step = *ai_inverse * score_free;
    }
    bool outward = false;
    for (std::size_t a = 0; a < free.size(); ++a) {
        outward = outward || (at_limit[static_cast<std::size_t>(free[a])] && step[static_cast<Eigen::Index>(a)] <= 0.0);
    }
    if (outward && free.size() > 1) {
        // The likelihood rises into the space but the coupled step points out of it:
        // scale each component by its own curvature instead (still uphill).
        step = score_free.cwiseQuotient(ai_free.diagonal());
    }
    result.direction(free) = step;
    return result;
}

// The step along `direction`, shortened until it does not lower the likelihood (within
// rounding), a component that would leave the space stopped at its limit; a step below the
// tolerance is taken as it is.
struct TriedStep {
    Eigen::VectorXd candidate;
    LikelihoodPoint next;
    bool accepted = false;
    bool projected = false;
    std::vector<int> clipped;  // components stopped at their limit
    int halvings = 0;
};

TriedStep shortened_step(const LikelihoodEvaluator& active, const Eigen::VectorXd& theta,
                         const LikelihoodPoint& current, const Eigen::VectorXd& direction,
                         const Eigen::VectorXd& scale, const AiRemlSettings& settings, const std::vector<bool>& fixed) {
    const Eigen::Index count = theta.size();
    const Eigen::VectorXd limit = settings.limits();
    const double slack = 1e-10 * (1.0 + std::fabs(current.log_likelihood));
    // Without a likelihood to shorten a step by (Monte Carlo REML) it takes no variance below a
    // fifth of its value: from a poor start the full step lands far out, where the estimated
    // traces lead further astray.
    double first = 1.0;
    if (!current.likelihood) {
        for (Eigen::Index i = 0; i < count; ++i) {
            if (std::isfinite(limit[i]) && theta[i] > 0.0 && direction[i] < 0.0) {
                first = std::min(first, kMostFall * theta[i] / -direction[i]);
            }
        }
    }
    TriedStep tried;
    tried.halvings = first < 1.0 ? 1 : 0;  // said as a shortened step
    for (double t = first; tried.halvings <= kMostHalvings; ++tried.halvings, t *= 0.5) {
        tried.candidate = theta + t * direction;
        tried.clipped.clear();
        for (Eigen::Index i = 0; i < count; ++i) {
            if (tried.candidate[i] < limit[i]) {
                tried.clipped.push_back(static_cast<int>(i));
            }
        }
        tried.candidate = tried.candidate.cwiseMax(limit);
        tried.projected = bring_into_space(active, tried.candidate, theta, fixed);
        tried.next = active.evaluate_likelihood(tried.candidate);
        if (!tried.next.finite) {
            continue;
        }
        bool small = true;
        for (Eigen::Index i = 0; i < count; ++i) {
            small = small && std::fabs(tried.candidate[i] - theta[i]) <= settings.tol * scale[i];
        }
        if (small || !tried.next.likelihood || tried.next.log_likelihood >= current.log_likelihood - slack) {
            tried.accepted = true;
            break;
        }
    }
    return tried;
}

// What kind of step an accepted one was, for the trace; fills the record's limited components.
void describe_accepted(AiRemlStep& record, const TriedStep& tried, const AiDirection& ai, const std::vector<bool>& fixed,
                       const std::vector<ModelParameter>& parameters) {
    std::vector<int> held;
    for (std::size_t c = 0; c < fixed.size(); ++c) {
        if (ai.hold[c] && !fixed[c]) {
            held.push_back(static_cast<int>(c));
        }
    }
    auto any_random = [&](const std::vector<int>& components) {
        return std::any_of(components.begin(), components.end(), [&](int k) { return !is_residual(parameters, k); });
    };
    if (record.step != RemlStep::rounding) {
        const bool random_clipped = any_random(tried.clipped);
        const bool random_held = any_random(held);
        // A step along the evaluator's boundary comes back to it by `feasible` (the
        // boundary is curved): it is still the AI step held there.
        const bool along_boundary = ai.held_functionals.cols() > 0;
        record.step = tried.halvings > 0                    ? RemlStep::halved
                      : random_clipped                      ? RemlStep::boundary
                      : !tried.clipped.empty()              ? RemlStep::residual_boundary
                      : tried.projected && !along_boundary  ? RemlStep::boundary
                      : random_held || along_boundary       ? RemlStep::held
                      : !held.empty()                       ? RemlStep::residual_held
                                                            : RemlStep::ai;
    }
    record.limited = !tried.clipped.empty() ? tried.clipped : held;
    record.projected = tried.projected;
    record.held_directions = static_cast<int>(ai.held_functionals.cols());
    record.halvings = tried.halvings;
}

// No shortened AI step raised the likelihood: an EM-REML step, the evaluator's own or
// sigma2 + 2 sigma2^2 score / n, which raises the likelihood and stays positive.
std::pair<Eigen::VectorXd, LikelihoodPoint> em_fallback(const LikelihoodEvaluator& active, const Eigen::VectorXd& theta,
                                                        const LikelihoodPoint& current, const AiRemlSettings& settings,
                                                        const std::vector<bool>& fixed, int k) {
    const Eigen::Index count = theta.size();
    Eigen::VectorXd candidate;
    if (const std::optional<Eigen::VectorXd> em = active.em_step(theta, current)) {
        candidate = *em;
    } else {
        candidate = theta;
        for (Eigen::Index i = 0; i < count; ++i) {
            if (!fixed[static_cast<std::size_t>(i)]) {
                candidate[i] = theta[i] + 2.0 * theta[i] * theta[i] * current.score[i] /
                                              static_cast<double>(settings.records);
            }
        }
    }
    candidate = candidate.cwiseMax(settings.limits());
    bring_into_space(active, candidate, theta, fixed);
    LikelihoodPoint next = active.evaluate(candidate);
    if (!next.finite) {
        std::string values;
        for (Eigen::Index i = 0; i < count; ++i) {
            values += (i == 0 ? "" : ", ") + settings.parameters[static_cast<std::size_t>(i)].name + " = " +
                      number_text(candidate[i]);
        }
        throw RemlFailure("REML stopped at iteration " + std::to_string(k) + ": " + next.problem + " at " + values +
                          ". Check that the kinship matrix is positive semi-definite.");
    }
    return {std::move(candidate), std::move(next)};
}

}  // namespace

AiRemlRun ai_reml(const LikelihoodEvaluator& evaluator, const AiRemlSettings& settings,
                  const std::function<void(const AiRemlStep&)>& on_iteration) {
    const Eigen::Index count = static_cast<Eigen::Index>(settings.parameters.size());
    const double tol = settings.tol;
    std::vector<bool> fixed;
    for (const ModelParameter& parameter : settings.parameters) {
        fixed.push_back(parameter.fixed);
    }

    std::unique_ptr<LikelihoodEvaluator> replaced;  // the evaluator without the kinships' rounding, once swapped in
    const LikelihoodEvaluator* active = &evaluator;
    Eigen::VectorXd theta = settings.start();
    LikelihoodPoint current = active->evaluate(theta);
    if (!current.finite) {
        throw RemlFailure("REML cannot start: at the starting values " + current.problem +
                          ". Check that the kinship matrix is positive semi-definite.");
    }

    AiRemlRun result;
    result.capped = settings.max_iter > kMostRemlIterations + 1;
    const int last = std::min(settings.max_iter, kMostRemlIterations + 1);
    for (int k = 1; k < last; ++k) {
        AiRemlStep record;
        record.iteration = k;
        if (!replaced && active->at_rounding_edge(theta)) {
            replaced = active->without_rounding();
            if (replaced) {
                active = replaced.get();
                current = active->evaluate(theta);
                record.step = RemlStep::rounding;
                record.note = active->rounding_note();
            }
        }
        record.log_likelihood = current.log_likelihood;

        const AiDirection ai = ai_direction(*active, theta, current, settings, fixed, k);
        const Eigen::VectorXd scale = active->change_scale(theta);
        TriedStep tried = shortened_step(*active, theta, current, ai.direction, scale, settings, fixed);
        Eigen::VectorXd candidate;
        LikelihoodPoint next;
        if (tried.accepted) {
            describe_accepted(record, tried, ai, fixed, settings.parameters);
            candidate = std::move(tried.candidate);
            next = std::move(tried.next);
        } else {
            std::tie(candidate, next) = em_fallback(*active, theta, current, settings, fixed, k);
            if (record.step != RemlStep::rounding) {
                record.step = RemlStep::em;
            }
        }
        record.changes.resize(count);
        for (Eigen::Index i = 0; i < count; ++i) {
            record.changes[i] = (scale[i] == 0.0 && candidate[i] == theta[i])
                                    ? 0.0
                                    : std::fabs(candidate[i] - theta[i]) / scale[i];
        }
        record.theta = candidate;
        theta = candidate;
        current = std::move(next);
        result.iterations.push_back(record);
        if (on_iteration) {
            on_iteration(record);
        }
        // Only a step of the AI iteration itself can show convergence: a shortened or EM step
        // is small without being near the maximum.
        const bool newton = record.step == RemlStep::ai || record.step == RemlStep::held ||
                            record.step == RemlStep::residual_held;
        if (newton && (record.changes.array() < tol).all()) {
            result.converged = true;
            break;
        }
        // The next step starts from here: its score, left out while the step could be rejected.
        if (!current.scored) {
            active->add_score(theta, current);
            if (!current.finite) {
                throw RemlFailure("REML stopped at iteration " + std::to_string(k) + ": " + current.problem + ".");
            }
        }
    }
    result.theta = theta;
    if (result.converged) {
        // Standard errors from the AI matrix at the estimate itself, over the components that
        // were estimated.
        const std::vector<Eigen::Index> estimated = indices_where(fixed, false);
        const std::optional<Eigen::MatrixXd> inverse = invert_ai(current.ai(estimated, estimated));
        if (!inverse) {
            fail_singular_ai(static_cast<int>(result.iterations.size()), current.ai, estimated, settings);
        }
        result.ai_inverse = Eigen::MatrixXd::Zero(count, count);
        result.ai_inverse(estimated, estimated) = *inverse;
    }
    result.at_estimate = std::move(current);
    return result;
}

Eigen::MatrixXd monte_carlo_covariance(const LikelihoodEvaluator& evaluator, const AiRemlRun& run) {
    const LikelihoodPoint& point = run.at_estimate;
    const Eigen::MatrixXd held = evaluator.held_directions(run.theta, point);
    if (held.cols() == 0) return run.ai_inverse * point.score_covariance * run.ai_inverse;
    std::vector<Eigen::Index> estimated;
    for (Eigen::Index c = 0; c < run.ai_inverse.rows(); ++c) {
        if (run.ai_inverse.row(c).squaredNorm() > 0.0) estimated.push_back(c);
    }
    const auto f = static_cast<Eigen::Index>(estimated.size());
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(held(estimated, Eigen::all));
    qr.setThreshold(1e-10);
    const Eigen::Index rank = qr.rank();
    const Eigen::Index count = run.theta.size();
    Eigen::MatrixXd along = Eigen::MatrixXd::Zero(count, count);
    if (rank < f) {
        // The tangent directions of the boundary, and the inverse curvature along them.
        const Eigen::MatrixXd T = (qr.householderQ() * Eigen::MatrixXd::Identity(f, f)).rightCols(f - rank);
        const Eigen::MatrixXd curved =
            point.ai(estimated, estimated) + evaluator.boundary_information(run.theta, point)(estimated, estimated);
        const std::optional<Eigen::MatrixXd> inverse = invert_ai(T.transpose() * curved * T);
        if (!inverse) return run.ai_inverse * point.score_covariance * run.ai_inverse;
        along(estimated, estimated) = T * *inverse * T.transpose();
    }
    return along * point.score_covariance * along;
}

std::string iteration_cap_note(int max_iter) {
    if (max_iter <= kMostRemlIterations + 1) {
        return "";
    }
    return "👉 --max-iter " + std::to_string(max_iter) + " is more than a run makes: REML stops after " +
           std::to_string(kMostRemlIterations) + " iterations.\n";
}

std::string unconverged_verdict(bool capped) {
    std::string text = "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n";
    if (capped) {
        text += "❎ " + std::to_string(kMostRemlIterations) +
                " iterations did not converge: a larger --max-iter will not help; check the data.\n";
    }
    return text;
}

Eigen::VectorXd AiRemlSettings::start() const {
    Eigen::VectorXd values(static_cast<Eigen::Index>(parameters.size()));
    for (std::size_t k = 0; k < parameters.size(); ++k) values[static_cast<Eigen::Index>(k)] = parameters[k].start;
    return values;
}

Eigen::VectorXd AiRemlSettings::limits() const {
    Eigen::VectorXd values(static_cast<Eigen::Index>(parameters.size()));
    for (std::size_t k = 0; k < parameters.size(); ++k) values[static_cast<Eigen::Index>(k)] = parameters[k].limit;
    return values;
}

std::vector<std::string> AiRemlSettings::names() const {
    std::vector<std::string> values;
    for (const ModelParameter& parameter : parameters) values.push_back(parameter.name);
    return values;
}

AiRemlSettings reml_settings(const std::vector<CovarianceBlock>& blocks, Eigen::Index records, int max_iter,
                             double tol) {
    AiRemlSettings settings;
    for (const CovarianceBlock& block : blocks) {
        std::size_t element = 0;
        for (Eigen::Index a = 0; a < block.start.rows(); ++a) {
            for (Eigen::Index b = 0; b <= a; ++b, ++element) {
                ModelParameter parameter;
                parameter.name = block.names.at(element);
                parameter.start = block.start(a, b);
                if (a == b) {
                    parameter.role = block.residual ? ParameterRole::residual : ParameterRole::variance;
                    parameter.limit = block.limit;
                } else {
                    parameter.role = ParameterRole::covariance;
                    parameter.limit = -kInfinity;
                }
                for (const auto& [row, column] : block.fixed) {
                    parameter.fixed = parameter.fixed || (row == a && column == b);
                }
                settings.parameters.push_back(std::move(parameter));
            }
        }
    }
    settings.records = records;
    settings.max_iter = max_iter;
    settings.tol = tol;
    return settings;
}
