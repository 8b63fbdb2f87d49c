#include <cmath>
#include <iomanip>
#include <limits>
#include <numeric>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/logger.h"
#include "mixed_model/band_solves.h"
#include "mixed_model/mixed_model.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// A shortened AI step goes down to 2^-30 of the full one before the EM fallback: along a nearly
// flat ridge of the likelihood (a kinship close to the identity) the AI step is far too long.
constexpr int kMostHalvings = 30;

std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Everything an iteration needs at one point (sa2, se2), on the scaled trait.
struct Evaluation {
    bool finite = false;  // V and X'V^-1 X positive definite, every number finite
    std::string problem;  // what failed, when not finite
    double log_likelihood = -kInfinity;
    Eigen::Vector2d score = Eigen::Vector2d::Zero();
    Eigen::Matrix2d ai = Eigen::Matrix2d::Zero();
};

// `rotated` is Q'[X y]: in that basis V is the band matrix sa2 B + se2 I and K is B.
Evaluation evaluate(const ReducedKinship& kinship, const Eigen::MatrixXd& rotated, Eigen::Index p, double sigma_a2,
                    double sigma_e2) {
    Evaluation result;
    const Eigen::Index n = rotated.rows();
    const Eigen::ArrayXd eigenvalues = kinship.eigenvalues.array();
    const Eigen::ArrayXd eigen_v = sigma_a2 * eigenvalues + sigma_e2;
    if (!(eigen_v.minCoeff() > 0.0) || !eigen_v.allFinite()) {
        result.problem = "V = Sigma_a2 K + Sigma_e2 I is not positive definite";
        return result;
    }
    const ShiftedBandLU V_lu = factor_shifted_band(kinship, sigma_a2, sigma_e2);
    if (V_lu.singular) {
        result.problem = "V = Sigma_a2 K + Sigma_e2 I is singular";
        return result;
    }
    const auto X = rotated.leftCols(p);
    const auto y = rotated.col(p);
    const Eigen::MatrixXd solved = solve_factored(V_lu, rotated);
    const auto VinvX = solved.leftCols(p);
    const auto Vinv_y = solved.col(p);

    // C = X'V^-1 X: positive definite for independent columns; its log-determinant by Cholesky.
    const Eigen::MatrixXd C = X.transpose() * VinvX;
    const double log_det_C = logDetV(C);
    if (!(log_det_C < kInfinity)) {
        result.problem = "X'V^-1 X is not positive definite (the fixed effects cannot be estimated from the records)";
        return result;
    }
    const Eigen::LLT<Eigen::MatrixXd> C_chol(C);
    const Eigen::MatrixXd C_inverse = C_chol.solve(Eigen::MatrixXd::Identity(p, p));
    // P w = V^-1 w - V^-1 X C^-1 (V^-1 X)' w.
    auto project = [&](const Eigen::MatrixXd& Vinv_w, const Eigen::MatrixXd& w) -> Eigen::MatrixXd {
        return Vinv_w - VinvX * (C_inverse * (VinvX.transpose() * w));
    };
    const Eigen::VectorXd Py = project(Vinv_y, y);
    const Eigen::VectorXd KPy = multiply_band(kinship, Py);
    const double log_det_V = eigen_v.log().sum();
    result.log_likelihood = -0.5 * (log_det_V + y.dot(Py) + log_det_C);

    // tr(P) = tr(V^-1) - tr(C^-1 X'V^-2 X), tr(PK) = tr(V^-1 K) - tr(C^-1 X'V^-1 K V^-1 X);
    // the first terms are sums over the eigenvalues of K.
    double trace_P = eigen_v.inverse().sum();
    double trace_PK = (eigenvalues / eigen_v).sum();
    if (p > 0) {
        trace_P -= (C_inverse * (VinvX.transpose() * VinvX)).trace();
        trace_PK -= (C_inverse * (VinvX.transpose() * multiply_band(kinship, VinvX))).trace();
    }
    result.score << 0.5 * (Py.dot(KPy) - trace_PK), 0.5 * (Py.dot(Py) - trace_P);

    // AI = 0.5 [KPy Py]' P [KPy Py].
    Eigen::MatrixXd derivatives(n, 2);
    derivatives << KPy, Py;
    const Eigen::MatrixXd P_derivatives = project(solve_factored(V_lu, derivatives), derivatives);
    result.ai(0, 0) = 0.5 * KPy.dot(P_derivatives.col(0));
    result.ai(0, 1) = result.ai(1, 0) = 0.5 * KPy.dot(P_derivatives.col(1));
    result.ai(1, 1) = 0.5 * Py.dot(P_derivatives.col(1));
    result.finite = std::isfinite(result.log_likelihood) && result.score.allFinite() && result.ai.allFinite();
    if (!result.finite) {
        result.problem = "the log-likelihood or its derivatives are not finite";
    }
    return result;
}

// AI^-1 when AI is positive definite; an AI that is singular to rounding means the records
// cannot tell genetic from residual variance (a kinship close to the identity, for example).
std::optional<Eigen::Matrix2d> invert_ai(const Eigen::Matrix2d& ai) {
    const double det = ai(0, 0) * ai(1, 1) - ai(0, 1) * ai(1, 0);
    if (!(ai(0, 0) > 0.0) || !(ai(1, 1) > 0.0) || !(det > 1e-12 * ai(0, 0) * ai(1, 1)) || !std::isfinite(det)) {
        return std::nullopt;
    }
    Eigen::Matrix2d inverse;
    inverse << ai(1, 1), -ai(0, 1), -ai(1, 0), ai(0, 0);
    return inverse / det;
}

[[noreturn]] void fail_singular_ai(int iteration, const Eigen::Matrix2d& ai) {
    throw RemlFailure("REML stopped at iteration " + std::to_string(iteration) +
                      ": the average information matrix is singular (" + number_text(ai(0, 0)) + ", " +
                      number_text(ai(0, 1)) + "; " + number_text(ai(1, 0)) + ", " + number_text(ai(1, 1)) +
                      "), so the records cannot tell additive genetic from residual variance. Check that the "
                      "kinship matrix is not (close to) the identity and that related individuals have records.");
}

// The trait as (y - centre) / scale with unit variance. The centre is taken only when X holds
// a constant column, which absorbs it; otherwise centring would change the model.
struct TraitScale {
    double centre = 0.0;
    double scale = 1.0;
};

bool has_constant_column(const Eigen::MatrixXd& X) {
    for (Eigen::Index c = 0; c < X.cols(); ++c) {
        if (X.rows() > 0 && X(0, c) != 0.0 && (X.col(c).array() == X(0, c)).all()) {
            return true;
        }
    }
    return false;
}

TraitScale trait_scale(const Eigen::MatrixXd& y, bool centred) {
    const Eigen::Index n = y.rows();
    if (!y.allFinite()) {
        throw RemlFailure("the trait holds a value that is not a finite number.");
    }
    if (y.maxCoeff() == y.minCoeff()) {
        throw RemlFailure("the trait has the same value in all " + std::to_string(n) +
                          " records; there is no variance to estimate.");
    }
    // Divided by the largest value first, so that neither 1e-200 nor 1e200 leaves the range.
    const double largest = y.cwiseAbs().maxCoeff();
    const Eigen::MatrixXd z = y / largest;
    const double variance = computeVariance(z);
    TraitScale result;
    result.scale = largest * std::sqrt(variance);
    result.centre = centred ? largest * z.mean() : 0.0;
    const double squared = result.scale * result.scale;
    if (!(squared >= 1e-280) || !(squared <= 1e280)) {
        throw RemlFailure("the variance of the trait, about 1e" +
                          std::to_string(static_cast<long>(std::lround(2.0 * std::log10(result.scale)))) +
                          ", is outside the range that the estimation can represent; rescale the trait (other "
                          "units) and run again.");
    }
    return result;
}

std::string step_note(const RemlIteration& step) {
    switch (step.step) {
        case RemlStep::ai:
            return "";
        case RemlStep::halved:
            return "AI step halved " + std::to_string(step.halvings) +
                   " time(s): the full step lowered the log-likelihood or left the parameter space";
        case RemlStep::boundary:
            return "AI step with Sigma_a2 stopped at 0, the boundary of the parameter space";
        case RemlStep::held:
            return "Sigma_a2 held at 0: the log-likelihood rises only towards negative values";
        case RemlStep::residual_boundary:
            return "AI step with Sigma_e2 stopped at its lower limit, the boundary of the parameter space";
        case RemlStep::residual_held:
            return "Sigma_e2 held at its lower limit: the log-likelihood rises only below it";
        case RemlStep::em:
            return "EM-REML step: no shortened AI step raised the log-likelihood";
    }
    return "";
}

void write_header(std::ostream& out) {
    out << std::setw(10) << "Iteration" << std::setw(15) << "LogLik" << std::setw(15) << "Sigma_a2" << std::setw(15)
        << "Sigma_e2" << std::setw(15) << "Changed_a2" << std::setw(15) << "Changed_e2" << std::endl;
}

void write_iteration(std::ostream& out, const RemlIteration& step) {
    out << std::setw(10) << step.iteration << std::setw(15) << step.log_likelihood << std::setw(15) << step.sigma_a2
        << std::setw(15) << step.sigma_e2 << std::setw(15) << step.change_a2 << std::setw(15) << step.change_e2
        << std::endl;
    const std::string note = step_note(step);
    if (!note.empty()) {
        out << std::setw(10) << "" << "  note: " << note << std::endl;
    }
}

}  // namespace

double computeVariance(const Eigen::MatrixXd& m) {
    const double mean = m.sum() / static_cast<double>(m.rows() * m.cols());
    return (m.array() - mean).square().sum() / static_cast<double>(m.rows() - 1);
}

void check_kinship_eigenvalues(const ReducedKinship& kinship) {
    const Eigen::VectorXd& eigenvalues = kinship.eigenvalues;
    const Eigen::Index n = eigenvalues.size();
    if (n == 0) {
        return;
    }
    if (!eigenvalues.allFinite()) {
        throw RemlFailure("the kinship matrix of the records has eigenvalues that are not finite numbers; "
                          "check the kinship file for NaN or infinite values.");
    }
    // Rounding to 4 decimals, and the rounding of the reduction itself.
    const double bound = 5e-5 * static_cast<double>(n) + 1e-12 * static_cast<double>(n) * eigenvalues.cwiseAbs().maxCoeff();
    const double smallest = eigenvalues.minCoeff();
    if (smallest >= -bound) {
        return;
    }
    const auto below = (eigenvalues.array() < -bound).count();
    throw RemlFailure("the kinship matrix of the " + std::to_string(n) +
                      " records is not positive semi-definite: its smallest eigenvalue is " + number_text(smallest) +
                      " and " + std::to_string(below) + " eigenvalue(s) lie below -" + number_text(bound) +
                      ", more than rounding to 4 decimals can explain (records x 5e-05). A relationship matrix has "
                      "no negative eigenvalue: check how the matrix was made and that its rows belong to the IDs of "
                      "its header.");
}

RemlResult reml_ai_cpp(const ReducedKinship& kinship, const Eigen::MatrixXd& X_given, const Eigen::MatrixXd& y,
                       int max_iter, double h2_init, double tol,
                       const std::function<void(const RemlIteration&)>& on_iteration) {
    const Eigen::Index n = y.rows();
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(X_given.cols()));
    std::iota(in_order.begin(), in_order.end(), Eigen::Index{0});
    const std::vector<Eigen::Index> kept = independent_columns(X_given, in_order);
    const auto p = static_cast<Eigen::Index>(kept.size());
    if (n <= p) {
        throw RemlFailure("" + std::to_string(n) + " records cannot estimate " + std::to_string(p) +
                          " fixed effects and two variances: REML needs more records than fixed effects.");
    }

    // Unit variance inside: the same iterations for a trait in any units.
    const TraitScale trait = trait_scale(y, has_constant_column(X_given));
    const Eigen::MatrixXd y_scaled = (y.array() - trait.centre) / trait.scale;
    const double units = trait.scale * trait.scale;
    // log L in the trait's units: V scales by `units`, X'V^-1 X by 1 / units, y'Py not at all.
    const double log_likelihood_shift = -0.5 * static_cast<double>(n - p) * std::log(units);
    const Eigen::MatrixXd rotated = rotate_design_and_trait(kinship, X_given, kept, y_scaled);

    // se2's lower limit, from the residual variance of the fixed effects alone (not that of y,
    // which large level effects inflate).
    const Eigen::VectorXd residual =
        p == 0 ? Eigen::VectorXd(rotated.col(p))
               : Eigen::VectorXd(rotated.col(p) - rotated.leftCols(p) * rotated.leftCols(p).colPivHouseholderQr().solve(
                                                                          rotated.col(p)));
    const double residual_variance = residual.squaredNorm() / static_cast<double>(n - p);
    if (!(residual_variance > 1e-24)) {
        throw RemlFailure("the fixed effects explain the trait exactly (no residual variance is left in " +
                          std::to_string(n) + " records); there is no variance to estimate. Check the covariates.");
    }
    const Eigen::Vector2d limit(0.0, kResidualLimit * residual_variance);

    const double variance = computeVariance(y_scaled);
    Eigen::Vector2d theta(h2_init * variance, (1.0 - h2_init) * variance);
    Evaluation current = evaluate(kinship, rotated, p, theta[0], theta[1]);
    if (!current.finite) {
        throw RemlFailure("REML cannot start: at the starting values " + current.problem +
                          ". Check that the kinship matrix is positive semi-definite.");
    }

    RemlResult result;
    result.capped = max_iter > kMostRemlIterations + 1;
    const int last = std::min(max_iter, kMostRemlIterations + 1);
    for (int k = 1; k < last; ++k) {
        const double a = theta[0], e = theta[1];
        RemlIteration record;
        record.iteration = k;
        record.log_likelihood = current.log_likelihood + log_likelihood_shift;

        // Components at their limit whose score points out of the space stay there (the maximum
        // over the space is on its boundary); the AI (Newton) step moves the others.
        const bool at_limit_a = a <= limit[0], at_limit_e = e <= limit[1];
        const bool hold_a = at_limit_a && current.score[0] <= 0.0, hold_e = at_limit_e && current.score[1] <= 0.0;
        Eigen::Vector2d direction = Eigen::Vector2d::Zero();
        if (hold_a != hold_e) {
            const int free = hold_a ? 1 : 0;
            if (!(current.ai(free, free) > 0.0)) {
                fail_singular_ai(k, current.ai);
            }
            direction[free] = current.score[free] / current.ai(free, free);
        } else if (!hold_a) {
            const std::optional<Eigen::Matrix2d> ai_inverse = invert_ai(current.ai);
            if (!ai_inverse) {
                fail_singular_ai(k, current.ai);
            }
            direction = *ai_inverse * current.score;
            if ((at_limit_a && direction[0] <= 0.0) || (at_limit_e && direction[1] <= 0.0)) {
                // The likelihood rises into the space but the coupled step points out of it:
                // scale each component by its own curvature instead (still uphill).
                direction << current.score[0] / current.ai(0, 0), current.score[1] / current.ai(1, 1);
            }
        }

        // Shorten the step until it does not lower the likelihood (within rounding), a component
        // that would leave the space stopped at its limit; a step below the tolerance is taken
        // as it is.
        const double slack = 1e-10 * (1.0 + std::fabs(current.log_likelihood));
        Eigen::Vector2d candidate;
        Evaluation next;
        bool accepted = false, clipped_a = false, clipped_e = false;
        int halvings = 0;
        for (double t = 1.0; halvings <= kMostHalvings; ++halvings, t *= 0.5) {
            candidate = theta + t * direction;
            clipped_a = candidate[0] < limit[0];
            clipped_e = candidate[1] < limit[1];
            candidate = candidate.cwiseMax(limit);
            next = evaluate(kinship, rotated, p, candidate[0], candidate[1]);
            if (!next.finite) {
                continue;
            }
            const bool small = std::fabs(candidate[0] - a) <= tol * a && std::fabs(candidate[1] - e) <= tol * e;
            if (small || next.log_likelihood >= current.log_likelihood - slack) {
                accepted = true;
                break;
            }
        }
        if (accepted) {
            record.step = halvings > 0 ? RemlStep::halved
                          : clipped_a  ? RemlStep::boundary
                          : clipped_e  ? RemlStep::residual_boundary
                          : hold_a     ? RemlStep::held
                          : hold_e     ? RemlStep::residual_held
                                       : RemlStep::ai;
            record.halvings = halvings;
        } else {
            // EM-REML: sigma2 + 2 sigma2^2 score / n raises the likelihood and stays positive.
            candidate << a + 2.0 * a * a * current.score[0] / static_cast<double>(n),
                e + 2.0 * e * e * current.score[1] / static_cast<double>(n);
            candidate = candidate.cwiseMax(limit);
            next = evaluate(kinship, rotated, p, candidate[0], candidate[1]);
            if (!next.finite) {
                throw RemlFailure("REML stopped at iteration " + std::to_string(k) + ": " + next.problem +
                                  " at Sigma_a2 = " + number_text(candidate[0] * units) + ", Sigma_e2 = " +
                                  number_text(candidate[1] * units) +
                                  ". Check that the kinship matrix is positive semi-definite.");
            }
            record.step = RemlStep::em;
        }
        record.change_a2 = (a == 0.0 && candidate[0] == 0.0) ? 0.0 : std::fabs(candidate[0] - a) / a;
        record.change_e2 = std::fabs(candidate[1] - e) / e;
        record.sigma_a2 = candidate[0] * units;
        record.sigma_e2 = candidate[1] * units;
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
        if (newton && record.change_a2 < tol && record.change_e2 < tol) {
            result.converged = true;
            break;
        }
    }
    result.sigma_a2 = theta[0] * units;
    result.sigma_e2 = theta[1] * units;
    result.residual_limit = limit[1] * units;
    if (result.converged) {
        // Standard errors from the AI matrix at the estimate itself.
        const std::optional<Eigen::Matrix2d> ai_inverse = invert_ai(current.ai);
        if (!ai_inverse) {
            fail_singular_ai(static_cast<int>(result.iterations.size()), current.ai);
        }
        result.ai_inverse = *ai_inverse * (units * units);
        result.at_boundary = theta[0] == 0.0;
        result.residual_at_limit = theta[1] <= limit[1];
        result.se_a2 = std::sqrt(std::max(result.ai_inverse(0, 0), 0.0));
        result.se_e2 = std::sqrt(std::max(result.ai_inverse(1, 1), 0.0));
        const double total = theta[0] + theta[1];
        result.h2 = theta[0] / total;
        // Delta method: gradient of sa2 / (sa2 + se2) with respect to (sa2, se2), in scaled
        // units (h2 has none).
        const Eigen::RowVector2d gradient(theta[1] / (total * total), -theta[0] / (total * total));
        result.se_h2 = std::sqrt(gradient * *ai_inverse * gradient.transpose());
    }
    return result;
}

RemlResult QorREML(Logger& logger, const ReducedKinship& kinship, const Eigen::MatrixXd& X, const Eigen::MatrixXd& y,
                   const int& max_iter, double h2_init, double tol) {
    const Eigen::Index n = y.rows();
    if (y.cols() != 1 || X.rows() != n || kinship.eigenvalues.size() != n) {
        throw std::invalid_argument("REML needs y as n x 1, X with n rows and the kinship of n records; got y " +
                                    std::to_string(y.rows()) + " x " + std::to_string(y.cols()) + ", X with " +
                                    std::to_string(X.rows()) + " rows and a kinship of " +
                                    std::to_string(kinship.eigenvalues.size()) + ".");
    }
    check_kinship_eigenvalues(kinship);
    if (max_iter > kMostRemlIterations + 1) {
        logger.tee << "👉 --max-iter " << max_iter << " is more than a run makes: REML stops after "
                   << kMostRemlIterations << " iterations." << std::endl;
    }
    write_header(logger.tee);
    RemlResult result = reml_ai_cpp(kinship, X, y, max_iter, h2_init, tol,
                                    [&logger](const RemlIteration& step) { write_iteration(logger.tee, step); });
    if (!result.converged) {
        logger.err << "❎ Not Converged!!! Please set a larger number of iterations using --max-iter!\n" << std::flush;
        if (result.capped) {
            logger.err << "❎ " << kMostRemlIterations
                       << " iterations did not converge: a larger --max-iter will not help; check the data."
                       << std::endl;
        }
        return result;
    }
    logger.tee << "✅ Converged!!!\n\n"
               << "Comp\tVar\tVar_SE\n"
               << "Add\t" << result.sigma_a2 << "\t" << result.se_a2 << "\n"
               << "e\t" << result.sigma_e2 << "\t" << result.se_e2 << "\n"
               << "\n👏 Heritability: " << result.h2 << " with SE " << result.se_h2 << "\n"
               << std::flush;
    if (result.at_boundary) {
        logger.tee << "👉 The estimate Sigma_a2 = 0 lies on the boundary of the parameter space (Sigma_a2 >= 0): "
                      "the records show no additive genetic variance, and the standard errors describe the "
                      "likelihood's curvature there, not a symmetric interval."
                   << std::endl;
    }
    if (result.residual_at_limit) {
        logger.tee << "👉 The estimate Sigma_e2 lies at its lower limit, " << result.residual_limit
                   << " (" << kResidualLimit << " x the residual variance of the fixed effects alone): the records fit a heritability "
                      "of 1, and the standard errors describe the likelihood's curvature there, not a symmetric "
                      "interval."
                   << std::endl;
    }
    return result;
}
