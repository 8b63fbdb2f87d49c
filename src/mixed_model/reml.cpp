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

// The likelihood of y = X b + u + e with u ~ N(0, sa2 K) from the records' kinship in band form:
// `rotated` is Q'[X y], in which basis V is the band matrix sa2 B + se2 I and K is B.
class BandEvaluator : public LikelihoodEvaluator {
public:
    BandEvaluator(const ReducedKinship& kinship, const Eigen::MatrixXd& rotated, Eigen::Index p)
        : kinship_(kinship), rotated_(rotated), p_(p) {}

    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override;

    bool at_rounding_edge(const Eigen::VectorXd& theta) const override {
        const double smallest = kinship_.eigenvalues.size() == 0 ? 0.0 : kinship_.eigenvalues.minCoeff();
        return smallest < 0.0 && theta[0] * -smallest >= 0.5 * theta[1];
    }
    std::unique_ptr<LikelihoodEvaluator> without_rounding() const override;
    // The kinship without its rounding, once without_rounding() has made it.
    std::shared_ptr<const RoundingFreeKinship> rounding_free() const { return rounding_free_; }

private:
    const ReducedKinship& kinship_;
    const Eigen::MatrixXd& rotated_;
    Eigen::Index p_;
    mutable std::shared_ptr<const RoundingFreeKinship> rounding_free_;
};

// The same likelihood in the kinship's eigenvector basis, with the eigenvalues the rounding
// decides set to 0: it owns that kinship and Q'[X y] rotated once more.
struct RoundingFreeData {
    std::shared_ptr<const RoundingFreeKinship> kinship;
    Eigen::MatrixXd rotated;
    double bound = 0.0;
};
class RoundingFreeEvaluator : private RoundingFreeData, public BandEvaluator {
public:
    RoundingFreeEvaluator(RoundingFreeData data, Eigen::Index p)
        : RoundingFreeData(std::move(data)), BandEvaluator(RoundingFreeData::kinship->kinship, rotated, p) {}
    bool at_rounding_edge(const Eigen::VectorXd&) const override { return false; }
    std::string rounding_note() const override {
        return "the kinship's smallest eigenvalue, " + number_text(-bound) +
               ", lies below 0 only by its rounding to 4 decimals, and the records fit a heritability of 1: its " +
               std::to_string(RoundingFreeData::kinship->cleared) + " eigenvalue(s) within the rounding (at most " +
               number_text(bound) + ") are taken as 0 from here on";
    }
};

std::unique_ptr<LikelihoodEvaluator> BandEvaluator::without_rounding() const {
    RoundingFreeData data;
    data.bound = -kinship_.eigenvalues.minCoeff();
    auto made = std::make_shared<RoundingFreeKinship>(without_rounding_eigenvalues(kinship_, data.bound));
    data.rotated = made->vectors->transpose() * rotated_;
    data.kinship = made;
    rounding_free_ = made;
    return std::make_unique<RoundingFreeEvaluator>(std::move(data), p_);
}

LikelihoodPoint BandEvaluator::evaluate(const Eigen::VectorXd& theta) const {
    const ReducedKinship& kinship = kinship_;
    const Eigen::MatrixXd& rotated = rotated_;
    const Eigen::Index p = p_;
    const double sigma_a2 = theta[0], sigma_e2 = theta[1];
    LikelihoodPoint result;
    result.log_likelihood = -kInfinity;
    result.score = Eigen::VectorXd::Zero(2);
    result.ai = Eigen::MatrixXd::Zero(2, 2);
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
    auto multiply_kinship = [&](const Eigen::MatrixXd& C) -> Eigen::MatrixXd { return multiply_band(kinship, C); };
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
    const Eigen::VectorXd KPy = multiply_kinship(Py);
    const double log_det_V = eigen_v.log().sum();
    result.log_likelihood = -0.5 * (log_det_V + y.dot(Py) + log_det_C);

    // tr(P) = tr(V^-1) - tr(C^-1 X'V^-2 X), tr(PK) = tr(V^-1 K) - tr(C^-1 X'V^-1 K V^-1 X);
    // the first terms are sums over the eigenvalues of K.
    double trace_P = eigen_v.inverse().sum();
    double trace_PK = (eigenvalues / eigen_v).sum();
    if (p > 0) {
        trace_P -= (C_inverse * (VinvX.transpose() * VinvX)).trace();
        trace_PK -= (C_inverse * (VinvX.transpose() * multiply_kinship(VinvX))).trace();
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

void write_header(std::ostream& out) {
    out << std::setw(10) << "Iteration" << std::setw(15) << "LogLik" << std::setw(15) << "Sigma_a2" << std::setw(15)
        << "Sigma_e2" << std::setw(15) << "Changed_a2" << std::setw(15) << "Changed_e2" << std::endl;
}

// A step of the run in the trait's units.
void write_iteration(std::ostream& out, const AiRemlStep& step, const RemlResult& result) {
    out << std::setw(10) << step.iteration << std::setw(15) << step.log_likelihood + result.log_likelihood_shift
        << std::setw(15) << step.theta[0] * result.units << std::setw(15) << step.theta[1] * result.units
        << std::setw(15) << step.changes[0] << std::setw(15) << step.changes[1] << std::endl;
    const std::string note = reml_step_note(step, result.parameters);
    if (!note.empty()) {
        out << std::setw(10) << "" << "  note: " << note << std::endl;
    }
}

}  // namespace

bool has_constant_column(const Eigen::MatrixXd& X) {
    for (Eigen::Index c = 0; c < X.cols(); ++c) {
        if (X.rows() > 0 && X(0, c) != 0.0 && (X.col(c).array() == X(0, c)).all()) {
            return true;
        }
    }
    return false;
}

ScaledTrait scaled_trait(const Eigen::VectorXd& y, const Eigen::MatrixXd& X, Eigen::Index p) {
    ScaledTrait scaled;
    scaled.trait = trait_scale(y, has_constant_column(X));
    scaled.values = (y.array() - scaled.trait.centre) / scaled.trait.scale;
    scaled.units = scaled.trait.scale * scaled.trait.scale;
    scaled.log_likelihood_shift = -0.5 * static_cast<double>(y.size() - p) * std::log(scaled.units);
    return scaled;
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

double fixed_effect_residual_variance(const Eigen::MatrixXd& X, const Eigen::VectorXd& y) {
    const Eigen::Index n = y.rows(), p = X.cols();
    const Eigen::VectorXd residual =
        p == 0 ? y : Eigen::VectorXd(y - X * X.colPivHouseholderQr().solve(y));
    const double variance = residual.squaredNorm() / static_cast<double>(n - p);
    if (!(variance > 1e-24)) {
        throw RemlFailure("the fixed effects explain the trait exactly (no residual variance is left in " +
                          std::to_string(n) + " records); there is no variance to estimate. Check the covariates.");
    }
    return variance;
}

double computeVariance(const Eigen::MatrixXd& m) {
    const double mean = m.sum() / static_cast<double>(m.rows() * m.cols());
    return (m.array() - mean).square().sum() / static_cast<double>(m.rows() - 1);
}

double rounding_eigenvalue_bound(Eigen::Index n, double largest) {
    return 5e-5 * static_cast<double>(n) + 1e-12 * static_cast<double>(n) * largest;
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
    const double bound = rounding_eigenvalue_bound(n, eigenvalues.cwiseAbs().maxCoeff());
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

namespace {

// The one-kinship problem as the estimation sees it: the estimable columns of X, the trait at
// unit variance, and both turned to the kinship's band basis.
struct ScaledProblem {
    Eigen::Index n = 0;
    Eigen::Index p = 0;  // estimable fixed effects
    TraitScale trait;
    double units = 1.0;                 // trait scale squared
    double log_likelihood_shift = 0.0;  // to the trait's units
    Eigen::MatrixXd y_scaled;
    std::vector<Eigen::Index> kept;     // the estimable columns of X
};

ScaledProblem scaled_problem(const Eigen::MatrixXd& X_given, const Eigen::MatrixXd& y) {
    ScaledProblem problem;
    problem.n = y.rows();
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(X_given.cols()));
    std::iota(in_order.begin(), in_order.end(), Eigen::Index{0});
    problem.kept = independent_columns(X_given, in_order);
    problem.p = static_cast<Eigen::Index>(problem.kept.size());
    if (problem.n <= problem.p) {
        return problem;
    }
    // Unit variance inside: the same iterations for a trait in any units.
    ScaledTrait scaled = scaled_trait(y.col(0), X_given, problem.p);
    problem.trait = scaled.trait;
    problem.y_scaled = std::move(scaled.values);
    problem.units = scaled.units;
    problem.log_likelihood_shift = scaled.log_likelihood_shift;
    return problem;
}

}  // namespace

namespace {

// The band evaluator with its own copy of the rotated records.
class StandaloneBandEvaluator : public LikelihoodEvaluator {
public:
    StandaloneBandEvaluator(const ReducedKinship& kinship, Eigen::MatrixXd rotated, Eigen::Index p)
        : rotated_(std::move(rotated)), band_(kinship, rotated_, p) {}
    LikelihoodPoint evaluate(const Eigen::VectorXd& theta) const override { return band_.evaluate(theta); }

private:
    Eigen::MatrixXd rotated_;
    BandEvaluator band_;
};

}  // namespace

std::unique_ptr<LikelihoodEvaluator> one_kinship_evaluator(const ReducedKinship& kinship, const Eigen::MatrixXd& X,
                                                           const Eigen::VectorXd& y) {
    std::vector<Eigen::Index> in_order(static_cast<std::size_t>(X.cols()));
    std::iota(in_order.begin(), in_order.end(), Eigen::Index{0});
    const std::vector<Eigen::Index> kept = independent_columns(X, in_order);
    return std::make_unique<StandaloneBandEvaluator>(kinship, rotate_design_and_trait(kinship, X, kept, y),
                                                     static_cast<Eigen::Index>(kept.size()));
}

RemlResult reml_ai_cpp(const ReducedKinship& kinship, const Eigen::MatrixXd& X_given, const Eigen::MatrixXd& y,
                       int max_iter, double h2_init, double tol,
                       const std::function<void(const AiRemlStep&, const RemlResult&)>& on_iteration,
                       bool without_kinship) {
    const ScaledProblem problem = scaled_problem(X_given, y);
    const Eigen::Index n = problem.n, p = problem.p;
    if (n <= p) {
        throw RemlFailure("" + std::to_string(n) + " records cannot estimate " + std::to_string(p) +
                          " fixed effects and two variances: REML needs more records than fixed effects.");
    }
    const Eigen::MatrixXd& y_scaled = problem.y_scaled;
    const double units = problem.units;
    const double log_likelihood_shift = problem.log_likelihood_shift;
    // Q'[X y], the estimable columns of X then y.
    const Eigen::MatrixXd rotated = rotate_design_and_trait(kinship, X_given, problem.kept, y_scaled);

    // se2's lower limit, from the residual variance of the fixed effects alone (not that of y,
    // which large level effects inflate).
    const double residual_variance = fixed_effect_residual_variance(rotated.leftCols(p), rotated.col(p));
    const double variance = computeVariance(y_scaled);

    // Sigma_a2 and Sigma_e2: the additive term "a" and the residual "e".
    std::vector<CovarianceBlock> blocks = variance_blocks(
        {"a"}, "e", {},
        {Eigen::MatrixXd::Constant(1, 1, h2_init * variance), Eigen::MatrixXd::Constant(1, 1, (1.0 - h2_init) * variance)},
        kResidualLimit * residual_variance,
        [](const std::string& block, const std::string&) { return "Sigma_" + block + "2"; });
    if (without_kinship) {
        blocks[0].start(0, 0) = 0.0;
        blocks[0].fixed = {{0, 0}};
    }
    AiRemlSettings settings = reml_settings(blocks, n, max_iter, tol);
    settings.cannot_tell = "additive genetic from residual variance";
    settings.advice = "Check that the kinship matrix is not (close to) the identity and that related individuals have "
                      "records.";
    RemlResult result;
    result.parameters = settings.parameters;
    result.units = units;
    result.log_likelihood_shift = log_likelihood_shift;
    const BandEvaluator evaluator(kinship, rotated, p);
    result.run = ai_reml(evaluator, settings, [&](const AiRemlStep& step) {
        if (on_iteration) {
            on_iteration(step, result);
        }
    });
    const AiRemlRun& run = result.run;
    result.rounding_free = evaluator.rounding_free();
    const Eigen::VectorXd& theta = run.theta;
    result.sigma_a2 = theta[0] * units;
    result.sigma_e2 = theta[1] * units;
    result.residual_limit = settings.parameters[1].limit * units;
    result.log_likelihood = run.at_estimate.log_likelihood + log_likelihood_shift;
    if (run.converged) {
        const Eigen::Matrix2d ai_inverse = run.ai_inverse;
        result.ai_inverse = ai_inverse * (units * units);
        result.at_boundary = theta[0] == 0.0;
        result.residual_at_limit = theta[1] <= settings.parameters[1].limit;
        result.se_a2 = std::sqrt(std::max(result.ai_inverse(0, 0), 0.0));
        result.se_e2 = std::sqrt(std::max(result.ai_inverse(1, 1), 0.0));
        const double total = theta[0] + theta[1];
        result.h2 = theta[0] / total;
        // Delta method: gradient of sa2 / (sa2 + se2) with respect to (sa2, se2), in scaled
        // units (h2 has none).
        const Eigen::RowVector2d gradient(theta[1] / (total * total), -theta[0] / (total * total));
        result.se_h2 = std::sqrt(gradient * ai_inverse * gradient.transpose());
    }
    return result;
}

double reml_log_likelihood_at(const ReducedKinship& kinship, const Eigen::MatrixXd& X_given, const Eigen::MatrixXd& y,
                              double sigma_a2, double sigma_e2) {
    const ScaledProblem problem = scaled_problem(X_given, y);
    if (problem.n <= problem.p) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const LikelihoodPoint point = one_kinship_evaluator(kinship, X_given, problem.y_scaled)
                                      ->evaluate(Eigen::Vector2d(sigma_a2 / problem.units, sigma_e2 / problem.units));
    if (!point.finite || !std::isfinite(point.log_likelihood)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return point.log_likelihood + problem.log_likelihood_shift;
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
    logger.tee << iteration_cap_note(max_iter) << std::flush;
    write_header(logger.tee);
    RemlResult result = reml_ai_cpp(kinship, X, y, max_iter, h2_init, tol,
                                    [&logger](const AiRemlStep& step, const RemlResult& so_far) {
                                        write_iteration(logger.tee, step, so_far);
                                    });
    if (!result.run.converged) {
        logger.err << unconverged_verdict(result.run.capped) << std::flush;
        return result;
    }
    logger.tee << "✅ Converged!!!\n\n"
               << "Comp\tVar\tVar_SE\n"
               << "Add\t" << result.sigma_a2 << "\t" << result.se_a2 << "\n"
               << "e\t" << result.sigma_e2 << "\t" << result.se_e2 << "\n"
               << "\n👏 Heritability: " << result.h2 << " with SE " << result.se_h2 << "\n"
               << std::flush;
    // A residual at its limit and the rounding's boundary exclude each other.
    logger.tee << boundary_notes(result.parameters, result.run.theta, result.units, "additive genetic variance",
                                 "the records fit a heritability of 1")
               << std::flush;
    if (result.rounding_free && !result.residual_at_limit) {
        logger.tee << "👉 The estimate Sigma_e2 = " << result.sigma_e2
                   << " lies at the boundary of the parameter space that the kinship's rounding to 4 decimals "
                      "leaves: the records fit a heritability of 1 (a binary kinship file, read without rounding, "
                      "puts Sigma_e2 at its lower limit), and the standard errors describe the likelihood's "
                      "curvature there, not a symmetric interval."
                   << std::endl;
    }
    return result;
}
