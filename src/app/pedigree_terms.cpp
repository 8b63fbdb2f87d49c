#include "app/pedigree_terms.h"

#include <algorithm>
#include <unordered_set>

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
            effect.name = a == 0 ? term.name : term.parts[static_cast<std::size_t>(a)].name;
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
