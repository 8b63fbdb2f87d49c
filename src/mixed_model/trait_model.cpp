// What the evaluators of several traits share: their layout of Vg and Ve, their space (two blocks
// of the covariance space), the driver's settings and the prediction of every trait.

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "mixed_model/mixed_model.h"


Eigen::Index TraitLayout::position(Eigen::Index a, Eigen::Index b) const {
    const Eigen::Index row = std::max(a, b), column = std::min(a, b);
    return row * (row + 1) / 2 + column;
}

namespace {

// The symmetric matrix of order `size` whose lower triangle, row by row, is `values`.
Eigen::MatrixXd from_triangle(const Eigen::VectorXd& values, Eigen::Index size) {
    Eigen::MatrixXd M(size, size);
    for (Eigen::Index a = 0, k = 0; a < size; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b, ++k) M(a, b) = M(b, a) = values[k];
    }
    return M;
}

}  // namespace

std::pair<Eigen::Index, Eigen::Index> TraitLayout::element(Eigen::Index k) const {
    // Vpe and every Ve are t x t, one after the other from Vg's end.
    Eigen::Index within = k < genetic_count() ? k : (k - genetic_count()) % per_matrix();
    Eigen::Index row = 0;
    while ((row + 1) * (row + 2) / 2 <= within) {
        ++row;
    }
    return {row, within - row * (row + 1) / 2};
}

Eigen::MatrixXd TraitLayout::genetic(const Eigen::VectorXd& theta) const {
    return from_triangle(theta.head(genetic_count()), genetic_size());
}

Eigen::MatrixXd TraitLayout::environment(const Eigen::VectorXd& theta) const {
    return from_triangle(theta.segment(environment_offset(), per_matrix()), traits);
}

Eigen::MatrixXd TraitLayout::residual(const Eigen::VectorXd& theta, Eigen::Index residual_class) const {
    return from_triangle(theta.segment(residual_offset(residual_class), per_matrix()), traits);
}

Eigen::VectorXd TraitLayout::components(const Eigen::MatrixXd& genetic, const Eigen::MatrixXd& residual,
                                        const Eigen::MatrixXd& environment) const {
    return components(genetic, std::vector<Eigen::MatrixXd>(static_cast<std::size_t>(residual_classes), residual),
                      environment);
}

Eigen::VectorXd TraitLayout::components(const Eigen::MatrixXd& genetic, const std::vector<Eigen::MatrixXd>& residuals,
                                        const Eigen::MatrixXd& environment) const {
    Eigen::VectorXd theta(count());
    for (Eigen::Index a = 0; a < genetic_size(); ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) theta[position(a, b)] = genetic(a, b);
    }
    for (Eigen::Index a = 0; a < traits && dam_environment; ++a) {
        for (Eigen::Index b = 0; b <= a; ++b) theta[environment_offset() + position(a, b)] = environment(a, b);
    }
    for (Eigen::Index c = 0; c < residual_classes; ++c) {
        for (Eigen::Index a = 0; a < traits; ++a) {
            for (Eigen::Index b = 0; b <= a; ++b) {
                theta[residual_offset(c) + position(a, b)] = residuals.at(static_cast<std::size_t>(c))(a, b);
            }
        }
    }
    return theta;
}

namespace {

std::string trait_component_name(const std::string& block, const std::string& element) {
    return "V" + block + "(" + element + ")";
}

}  // namespace

namespace {

// The names of a block over rows `labels`, its lower triangle row by row.
std::vector<std::string> block_names(const std::string& block, const std::vector<std::string>& labels) {
    std::vector<std::string> names;
    for (std::size_t a = 0; a < labels.size(); ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            names.push_back(trait_component_name(block, labels.size() <= 1 ? std::string()
                                                        : a == b             ? labels[a]
                                                                             : labels[b] + "," + labels[a]));
        }
    }
    return names;
}

// Vg's block, then each residual class's, named `residual_names`, all starting at the given
// matrices.
std::vector<CovarianceBlock> trait_blocks(const std::vector<std::string>& traits,
                                          const std::vector<std::string>& residual_names, const std::string& maternal,
                                          const Eigen::MatrixXd& start_genetic, const Eigen::MatrixXd& start_residual,
                                          double residual_limit, const Eigen::MatrixXd& start_environment = {}) {
    std::vector<CovarianceBlock> blocks{{block_names("g", genetic_labels(traits, maternal)), start_genetic, false, 0.0, {}}};
    if (start_environment.size() != 0) blocks.push_back({block_names("pe", traits), start_environment, false, 0.0, {}});
    for (const std::string& residual : residual_names) {
        blocks.push_back({block_names(residual, traits), start_residual, true, residual_limit, {}});
    }
    return blocks;
}

}  // namespace

std::vector<std::string> genetic_labels(const std::vector<std::string>& traits, const std::string& maternal) {
    std::vector<std::string> labels = traits;
    if (!maternal.empty()) {
        for (const std::string& trait : traits) labels.push_back(maternal + ":" + trait);
    }
    return labels;
}

std::vector<std::string> trait_component_names(const std::vector<std::string>& traits,
                                               const std::vector<std::string>& residual_names,
                                               const std::string& maternal, bool dam_environment) {
    const auto t = static_cast<Eigen::Index>(traits.size());
    const Eigen::Index g = maternal.empty() ? t : 2 * t;
    std::vector<std::string> names;
    for (const CovarianceBlock& block :
         trait_blocks(traits, residual_names, maternal, Eigen::MatrixXd::Identity(g, g), Eigen::MatrixXd::Identity(t, t),
                      0.0, dam_environment ? Eigen::MatrixXd(Eigen::MatrixXd::Identity(t, t)) : Eigen::MatrixXd())) {
        names.insert(names.end(), block.names.begin(), block.names.end());
    }
    return names;
}

TraitEvaluator::TraitEvaluator(Eigen::Index traits, Eigen::Index individuals, double residual_limit,
                               const std::vector<Eigen::Index>& class_sizes, Eigen::Index genetic_parts,
                               bool dam_environment)
    : individuals_(individuals), residual_limit_(residual_limit) {
    if (traits < 1 || traits > kMostTraits) {
        throw std::invalid_argument("A model of several traits takes 1 to " + std::to_string(kMostTraits) +
                                    " traits, not " + std::to_string(traits) + ".");
    }
    layout_.traits = traits;
    layout_.genetic_parts = genetic_parts;
    layout_.dam_environment = dam_environment;
    layout_.residual_classes = std::max<Eigen::Index>(static_cast<Eigen::Index>(class_sizes.size()), 1);
    // Vg, Vpe, then each class's Ve: the blocks of the space.
    std::vector<CovarianceSpace::Block> blocks{{0, layout_.genetic_size(), false, 0.0}};
    if (dam_environment) blocks.push_back({layout_.environment_offset(), traits, false, 0.0});
    for (Eigen::Index c = 0; c < layout_.residual_classes; ++c) {
        blocks.push_back({layout_.residual_offset(c), traits, true, residual_limit,
                          class_sizes.empty() ? 0 : class_sizes[static_cast<std::size_t>(c)]});
    }
    space_ = CovarianceSpace(std::move(blocks), layout_.count(), individuals);
}

Eigen::MatrixXd TraitEvaluator::boundary_vectors(const Eigen::VectorXd& theta, std::size_t block) const {
    return space_.boundary_vectors(theta, block);
}

Eigen::VectorXd TraitEvaluator::feasible(const Eigen::VectorXd& theta) const { return space_.feasible(theta); }

Eigen::MatrixXd TraitEvaluator::boundary_information(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const {
    return space_.boundary_information(theta, point.score);
}

Eigen::MatrixXd TraitEvaluator::held_directions(const Eigen::VectorXd& theta, const LikelihoodPoint& point) const {
    return space_.held_directions(theta, point.score);
}

Eigen::VectorXd TraitEvaluator::change_scale(const Eigen::VectorXd& theta) const { return space_.change_scale(theta); }

std::optional<Eigen::VectorXd> TraitEvaluator::em_step(const Eigen::VectorXd& theta,
                                                       const LikelihoodPoint& point) const {
    // V + V S V / q: with every trait recorded, the EM-REML update of V (Vg from E[U'K^-1 U | Y],
    // Ve from E[E'E | Y]), which raises the likelihood and keeps V in the space; with missing
    // values still a direction of ascent (the slope along it is tr(S V S V) / 2 >= 0), so it is
    // shortened until the likelihood does not fall. Without a likelihood (Monte Carlo) the whole
    // step is taken.
    if (!point.likelihood) return space_.em_point(theta, point.score, 1.0);
    const double slack = 1e-10 * (1.0 + std::fabs(point.log_likelihood));
    Eigen::VectorXd candidate = theta;
    double step = 1.0;
    for (int halving = 0; halving <= 30; ++halving, step *= 0.5) {
        candidate = space_.em_point(theta, point.score, step);
        const LikelihoodPoint next = evaluate(candidate);
        if (next.finite && next.log_likelihood >= point.log_likelihood - slack) {
            break;
        }
    }
    return candidate;
}

TraitPrediction predict_traits(const TraitSolution& solution, const Eigen::MatrixXd& genetic,
                               const Eigen::MatrixXd& columns, const Eigen::VectorXd& diagonal,
                               const Eigen::MatrixXd* shifts) {
    const Eigen::Index t = genetic.rows(), N = columns.rows();
    if (columns.cols() != solution.Py.rows() || diagonal.size() != N || solution.Py.cols() != t) {
        throw std::invalid_argument("Prediction of several traits needs the kinship of the records' individuals.");
    }
    TraitPrediction prediction;
    prediction.values = columns * (solution.Py * genetic);
    if (shifts != nullptr) {
        prediction.values += shifts->transpose() * solution.beta;
    }
    prediction.error_variances.resize(N, t);
    prediction.prior_variances = diagonal * genetic.diagonal().transpose();
    // A block of individuals at a time keeps the forms' temporaries small.
    constexpr Eigen::Index kBlock = 512;
    for (Eigen::Index first = 0; first < N; first += kBlock) {
        const Eigen::Index width = std::min(kBlock, N - first);
        const Eigen::MatrixXd block = columns.middleRows(first, width).transpose();
        const Eigen::MatrixXd forms = solution.kinship_forms(block);
        const Eigen::MatrixXd groups = shifts != nullptr
                                           ? solution.group_terms(block, shifts->middleCols(first, width), genetic)
                                           : Eigen::MatrixXd::Zero(t, width);
        for (Eigen::Index i = 0; i < width; ++i) {
            const Eigen::Map<const Eigen::MatrixXd> F(forms.col(i).data(), t, t);
            const Eigen::MatrixXd removed = genetic * F * genetic;
            for (Eigen::Index a = 0; a < t; ++a) {
                prediction.error_variances(first + i, a) =
                    error_variance_or_nan(prediction.prior_variances(first + i, a), removed(a, a) - groups(a, i));
            }
        }
    }
    return prediction;
}

AiRemlSettings trait_reml_settings(const TraitEvaluator& evaluator, const std::vector<std::string>& traits,
                                   const Eigen::MatrixXd& start_genetic, const Eigen::MatrixXd& start_residual,
                                   const std::vector<TraitPairs>& unshared, Eigen::Index records, int max_iter,
                                   double tol, const std::vector<std::string>& residual_names,
                                   const std::string& maternal, const Eigen::MatrixXd& start_environment) {
    const TraitLayout& layout = evaluator.layout();
    if (static_cast<Eigen::Index>(residual_names.size()) != layout.residual_classes ||
        (layout.genetic_parts > 1) != !maternal.empty() || layout.dam_environment != (start_environment.size() != 0)) {
        throw std::invalid_argument("The settings of several traits need a name for each residual class, and the "
                                    "maternal effects and the dam's permanent environment of the evaluator.");
    }
    std::vector<CovarianceBlock> blocks = trait_blocks(traits, residual_names, maternal, start_genetic, start_residual,
                                                       evaluator.residual_limit(), start_environment);
    const std::size_t first_residual = layout.dam_environment ? 2 : 1;
    for (std::size_t c = 0; c < unshared.size(); ++c) {
        CovarianceBlock& block = blocks.at(first_residual + c);
        for (const auto& [a, b] : unshared[c]) {
            block.start(a, b) = block.start(b, a) = 0.0;
            block.fixed.emplace_back(std::max(a, b), std::min(a, b));
        }
    }
    return reml_settings(blocks, records, max_iter, tol);
}

std::vector<EffectPrediction> TraitEvaluator::predict(const TraitSolution& solution, const Eigen::VectorXd& theta,
                                                      const std::string& name, const std::vector<std::string>& traits,
                                                      const Eigen::VectorXd& scale, const Eigen::MatrixXd& columns,
                                                      const Eigen::VectorXd& diagonal,
                                                      const Eigen::MatrixXd* shifts) const {
    const Eigen::MatrixXd genetic = layout_.genetic(theta);
    const TraitPrediction prediction = predict_traits(solution, genetic, columns, diagonal, shifts);
    std::vector<EffectPrediction> effects;
    for (Eigen::Index a = 0; a < genetic.rows(); ++a) {
        const double s = scale[a];
        EffectPrediction effect;
        effect.name = name;
        effect.trait = traits[static_cast<std::size_t>(a)];
        effect.values = s * prediction.values.col(a);
        effect.error_variances = s * s * prediction.error_variances.col(a);
        effect.prior_variances = s * s * prediction.prior_variances.col(a);
        effects.push_back(std::move(effect));
    }
    return effects;
}
