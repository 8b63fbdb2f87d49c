#include "app/pedigree_terms.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <unordered_set>

#include "app/model_inputs.h"
#include "log/failures.h"
#include "pedigree/pedigree.h"

using Eigen::Index;

SparseLower lower_triangle(const SparsePlusDense& inverse) {
    using Triplet = Eigen::Triplet<double, std::int64_t>;
    std::vector<Triplet> entries;
    for (Index i = 0; i < inverse.sparse.outerSize(); ++i) {
        for (Eigen::SparseMatrix<double, Eigen::RowMajor>::InnerIterator it(inverse.sparse, i); it; ++it) {
            if (it.col() <= i) entries.emplace_back(i, it.col(), it.value());
        }
    }
    const std::vector<Index>& at = inverse.block_positions;
    for (Index b = 0; b < inverse.block.cols(); ++b) {
        for (Index a = b; a < inverse.block.rows(); ++a) {
            entries.emplace_back(at[static_cast<std::size_t>(a)], at[static_cast<std::size_t>(b)], inverse.block(a, b));
        }
    }
    SparseLower lower(inverse.size(), inverse.size());
    lower.setFromTriplets(entries.begin(), entries.end());
    return lower;
}

RecordLevels pedigree_dams(Logger& logger, const ModelPlan& plan, const std::vector<std::string>& dam_ids,
                           RelationshipInverse& relationships, RecordLevels individuals) {
    const auto has = [&](TermKind kind, bool of_dam) {
        return std::any_of(plan.terms.begin(), plan.terms.end(), [&](const TermPlan& term) {
            return term.kind == kind && (!of_dam || term.column >= 0);
        });
    };
    const bool maternal = has(TermKind::maternal, false);
    if (!maternal && !has(TermKind::permanent_environment, true)) return individuals;
    std::unordered_set<std::string> known(individuals.levels.begin(), individuals.levels.end()), distinct;
    std::size_t without = 0;
    const auto founders_before = static_cast<Index>(individuals.levels.size());
    for (const std::string& dam : dam_ids) {
        if (dam.empty()) {
            ++without;
            continue;
        }
        distinct.insert(dam);
        if (maternal && known.insert(dam).second) individuals.levels.push_back(dam);
    }
    logger.tee << "👉 Dams: " << distinct.size() << " with records of their progeny; " << without
               << " record(s) without a dam" << (maternal ? " have no maternal effect" : " have no dam's effect")
               << std::endl;
    const Index added = static_cast<Index>(individuals.levels.size()) - founders_before;
    if (added == 0) return individuals;
    logger.tee << "👉 " << added << " dam(s) without a line in the pedigree join it as founders." << std::endl;
    Eigen::SparseMatrix<double, Eigen::RowMajor>& inverse = relationships.inverse.sparse;
    const Index before = inverse.rows();
    inverse.conservativeResize(before + added, before + added);
    for (Index k = 0; k < added; ++k) inverse.insert(before + k, before + k) = 1.0;
    inverse.makeCompressed();
    relationships.inbreeding.resize(relationships.inbreeding.size() + static_cast<std::size_t>(added), 0.0);
    return individuals;
}

std::vector<SparseTerm> sparse_terms(const Model& model, const SparseLower& inverse, double log_determinant,
                                     const std::vector<Index>& dense_levels) {
    std::vector<SparseTerm> terms;
    for (const RandomTerm& term : model.terms) {
        SparseTerm sparse;
        const TermPart& first = term.parts.front();
        sparse.levels = static_cast<Index>(first.levels.size());
        for (const TermPart& part : term.parts) sparse.parts.push_back({part.level_of_record, part.covariate});
        if (first.covariance == LevelCovariance::relationship) {
            sparse.inverse = inverse;
            sparse.log_determinant = log_determinant;
            sparse.dense_levels = dense_levels;
        }
        terms.push_back(std::move(sparse));
    }
    return terms;
}

bool several_effects(const Model& model) { return model.terms.size() > 1 || model.terms.front().parts.size() > 1; }

std::vector<EffectPrediction> factored_effects(const Model& model, const SparseMmeEvaluator::Solution& solution,
                                               const Eigen::VectorXd& values, const Eigen::VectorXd& relationship_diagonal) {
    std::vector<EffectPrediction> effects;
    Index first = 0;
    for (std::size_t k = 0; k < model.terms.size(); ++k) {
        const RandomTerm& term = model.terms[k];
        const auto q = static_cast<Index>(term.parts.size());
        const TermPart& levels_part = term.parts.front();
        const auto levels = static_cast<Index>(levels_part.levels.size());
        for (Index a = 0; a < q; ++a) {
            EffectPrediction effect;
            const std::string& part_name = term.parts[static_cast<std::size_t>(a)].name;
            effect.name = part_name.empty() ? term.name : part_name;
            effect.ids = levels_part.levels;
            const bool errors = !solution.error_variances.empty();
            effect.values.resize(levels);
            if (errors) effect.error_variances.resize(levels);
            for (Index i = 0; i < levels; ++i) {
                effect.values[i] = solution.effects[k][i * q + a];
                if (errors) effect.error_variances[i] = solution.error_variances[k][i * q + a];
            }
            const double variance = values[first + CovarianceSpace::position(a, a)];
            effect.prior_variances = levels_part.covariance == LevelCovariance::relationship
                                         ? Eigen::VectorXd(variance * relationship_diagonal.head(levels))
                                         : Eigen::VectorXd::Constant(levels, variance);
            effects.push_back(std::move(effect));
        }
        first += q * (q + 1) / 2;
    }
    return effects;
}

namespace {

// An SE that cannot be had (given variances, no sampling covariance).
constexpr double kNotAvailable = std::numeric_limits<double>::quiet_NaN();

// The text of a point on a curve's column: "<col>=<x>".
std::string at_point(const RandomTerm::Curve& curve, double x) {
    std::ostringstream text;
    text << curve.column << "=" << x;
    return text.str();
}

// The effect a term's rows are named by: a regression's (animal of animal:leg(DIM, 2)), or the term's.
std::string effect_of(const RandomTerm& term) {
    return term.curve ? term.name.substr(0, term.name.find(':')) : term.name;
}

// The weights w of a term's parts whose w'u is its value at x (phi(x) of a regression).
Eigen::VectorXd curve_weights(const RandomTerm& term, double x) {
    const RandomTerm::Curve& curve = *term.curve;
    return legendre_curves(Eigen::VectorXd::Constant(1, x), curve.low, curve.high,
                           static_cast<int>(term.parts.size()) - 1)
        .row(0)
        .transpose();
}

// The gradient, over the components, of w'G0 w for a term's block at `first`.
Eigen::VectorXd block_gradient(const Eigen::VectorXd& w, Index first, Index count) {
    Eigen::VectorXd gradient = Eigen::VectorXd::Zero(count);
    for (Index a = 0; a < w.size(); ++a) {
        for (Index b = 0; b <= a; ++b) gradient[first + CovarianceSpace::position(a, b)] = (a == b ? 1.0 : 2.0) * w[a] * w[b];
    }
    return gradient;
}

const RandomTerm::Curve& first_curve(const Model& model) {
    return *std::find_if(model.terms.begin(), model.terms.end(), [](const RandomTerm& term) { return term.curve.has_value(); })
                ->curve;
}

}  // namespace

std::vector<bool> covariance_components(const Model& model) {
    std::vector<bool> covariance;
    for (const RandomTerm& term : model.terms) {
        for (std::size_t a = 0; a < term.parts.size(); ++a) {
            covariance.insert(covariance.end(), a, true);
            covariance.push_back(false);
        }
    }
    covariance.resize(model.component_names().size(), false);
    return covariance;
}

bool has_curves(const Model& model) {
    return std::any_of(model.terms.begin(), model.terms.end(), [](const RandomTerm& term) { return term.curve.has_value(); });
}

std::vector<double> curve_points(const Model& model, const std::vector<double>& extra) {
    const RandomTerm::Curve& curve = first_curve(model);
    std::vector<double> points = {curve.low, 0.5 * (curve.low + curve.high), curve.high};
    for (const double x : extra) {
        if (x < curve.low || x > curve.high) {
            std::ostringstream message;
            message << "--rr-points: " << x << " is outside the range of " << curve.column << " among the records used, "
                    << curve.low << " to " << curve.high << "; a curve is not extrapolated.";
            throw InputCheckFailure(message.str());
        }
        points.push_back(x);
    }
    return points;
}

std::vector<ResultRow> curve_component_rows(const Model& model, const std::vector<double>& points,
                                            const Eigen::VectorXd& values, const Eigen::MatrixXd& covariance,
                                            double log_likelihood) {
    const Index count = values.size();
    const std::vector<std::string> names = model.component_names();
    const auto se_of = [&](const Eigen::VectorXd& gradient) {
        return covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(gradient.dot(covariance * gradient), 0.0));
    };
    const std::vector<bool> is_covariance = covariance_components(model);
    Index first = 0;
    std::vector<ResultRow> rows;
    for (Index k = 0; k < count; ++k) {
        const std::string& name = names[static_cast<std::size_t>(k)];
        Eigen::VectorXd unit = Eigen::VectorXd::Zero(count);
        unit[k] = 1.0;
        rows.push_back({(is_covariance[static_cast<std::size_t>(k)] ? "C(" : "V(") + name + ")", values[k], se_of(unit)});
    }
    const RandomTerm::Curve& curve = first_curve(model);
    const std::vector<std::string> residuals = model.residual.component_names();
    for (const double x : points) {
        const std::string where = "@" + at_point(curve, x);
        Eigen::VectorXd random = Eigen::VectorXd::Zero(count);
        std::vector<std::pair<std::string, Eigen::VectorXd>> terms;
        first = 0;
        for (const RandomTerm& term : model.terms) {
            const auto q = static_cast<Index>(term.parts.size());
            const Eigen::VectorXd w = term.curve ? curve_weights(term, x) : Eigen::VectorXd::Ones(q);
            const Eigen::VectorXd gradient = block_gradient(w, first, count);
            if (term.curve) rows.push_back({"V(" + effect_of(term) + ")" + where, gradient.dot(values), se_of(gradient)});
            terms.emplace_back(effect_of(term), gradient);
            random += gradient;
            first += q * (q + 1) / 2;
        }
        // A record's variance there in each residual class.
        for (std::size_t c = 0; c < residuals.size(); ++c) {
            const std::string suffix = residuals.size() == 1 ? "" : "(" + residuals[c] + ")";
            Eigen::VectorXd total = random;
            total[first + static_cast<Index>(c)] = 1.0;
            const double vp = total.dot(values);
            rows.push_back({"Vp" + suffix + where, vp, se_of(total)});
            for (const auto& [effect, gradient] : terms) {
                const double part = gradient.dot(values);
                // d(part / vp) = (gradient vp - total part) / vp^2.
                rows.push_back({effect + "/Vp" + suffix + where, part / vp,
                                se_of((gradient * vp - total * part) / (vp * vp))});
            }
        }
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

std::vector<std::pair<std::string, Eigen::VectorXd>> curve_readings(const RandomTerm& term,
                                                                    const std::vector<double>& points) {
    const RandomTerm::Curve& curve = *term.curve;
    std::vector<std::pair<std::string, Eigen::VectorXd>> weights;
    for (const double x : points) weights.emplace_back(effect_of(term) + "@" + at_point(curve, x), curve_weights(term, x));
    Eigen::VectorXd whole = Eigen::VectorXd::Zero(static_cast<Index>(term.parts.size()));
    for (double d = std::ceil(curve.low); d <= curve.high; d += 1.0) whole += curve_weights(term, d);
    weights.emplace_back(effect_of(term) + ":total", whole);
    return weights;
}

std::vector<EffectPrediction> curve_effects(const Model& model, const SparseMmeEvaluator::Solution& solution,
                                            const std::vector<double>& points, const Eigen::VectorXd& values,
                                            const Eigen::VectorXd& relationship_diagonal) {
    std::vector<EffectPrediction> effects;
    Index first = 0;
    for (std::size_t k = 0; k < model.terms.size(); ++k) {
        const RandomTerm& term = model.terms[k];
        const auto q = static_cast<Index>(term.parts.size());
        const Index component = first;
        first += q * (q + 1) / 2;
        if (!term.curve) continue;
        Eigen::MatrixXd G0(q, q);
        for (Index a = 0; a < q; ++a) {
            for (Index b = 0; b <= a; ++b) G0(a, b) = G0(b, a) = values[component + CovarianceSpace::position(a, b)];
        }
        const TermPart& levels_part = term.parts.front();
        const auto levels = static_cast<Index>(levels_part.levels.size());
        const bool errors = !solution.error_blocks.empty() && solution.error_blocks[k].size() > 0;
        const Eigen::Map<const Eigen::MatrixXd> coefficients(solution.effects[k].data(), q, levels);  // q x levels
        for (const auto& [name, w] : curve_readings(term, points)) {
            EffectPrediction effect;
            effect.name = name;
            effect.ids = levels_part.levels;
            effect.values = coefficients.transpose() * w;
            if (errors) {
                effect.error_variances.resize(levels);
                for (Index i = 0; i < levels; ++i) {
                    const Eigen::VectorXd entries = solution.error_blocks[k].row(i).transpose();
                    effect.error_variances[i] = w.dot(Eigen::Map<const Eigen::MatrixXd>(entries.data(), q, q) * w);
                }
            }
            const double prior = w.dot(G0 * w);
            effect.prior_variances = levels_part.covariance == LevelCovariance::relationship
                                         ? Eigen::VectorXd(prior * relationship_diagonal.head(levels))
                                         : Eigen::VectorXd::Constant(levels, prior);
            effects.push_back(std::move(effect));
        }
    }
    return effects;
}

double report_factor(Logger& logger, const FactorFigures& figures, double seconds) {
    const double bytes = kBytesPerFactorNonzero * figures.nonzeros;
    logger.tee << "\tordering " << figures.ordering << ": " << figures.nonzeros << " non-zero values in the factor, "
               << figures.flops / 1e9 << " Gflop per factorisation, about " << bytes / 1e9
               << " GB with its selected inverse (analysed in " << seconds << " s)" << std::endl;
    return bytes;
}

bool surely_too_large(const FactorFigures& foreseen) {
    return foreseen.nonzeros > 0.0 &&
           !fits_in_free_memory(static_cast<std::size_t>(kBytesPerFactorNonzero * foreseen.nonzeros / 2.0));
}

void report_block_pcg(Logger& logger, const RunOptions& options, const BlockSolution& solved, const std::string& what,
                      std::chrono::steady_clock::time_point start) {
    if (!solved.converged) {
        std::ostringstream message;
        message << what << " did not converge: " << solved.problem << ", above --pcg-tol " << options.pcg_tol << "; "
                << mixed_model_files(options).values
                << " was not written. Raise --pcg-max-iter, or check the variances given with --vc.";
        throw RunFailure(message.str());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    logger.tee << "✅ Converged after " << solved.iterations << " iterations: relative residual "
               << solved.relative_residual << " (" << seconds << " s, "
               << (solved.iterations > 0 ? seconds / solved.iterations : 0.0) << " s per iteration)" << std::endl;
}

PedigreeRoot pedigree_root(const RelationshipInverse& relationships) {
    PedigreeRoot root;
    if (!relationships.inverse.block_positions.empty() || relationships.inbreeding.size() < relationships.sire_index.size()) {
        return root;
    }
    root.sire = relationships.sire_index;
    root.dam = relationships.dam_index;
    const auto inbreeding = [&](std::int32_t parent) {
        return parent < 0 ? -1.0 : relationships.inbreeding[static_cast<std::size_t>(parent)];
    };
    for (std::size_t i = 0; i < root.sire.size(); ++i) {
        root.mendelian.push_back(mendelian_variance(inbreeding(root.sire[i]), inbreeding(root.dam[i])));
    }
    return root;
}
