// REML and prediction of several traits with one kinship (--phe-pos a,b,...): Vg and Ve, the
// heritabilities and correlations, breeding values of every trait. Each trait is scaled to unit
// variance for the estimation; every number shown is in the traits' own units.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "app/model_builder.h"
#include "app/model_inputs.h"
#include "app/parent_groups.h"
#include "app/model_pipeline.h"
#include "app/pedigree_terms.h"
#include "distributed/distributed.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/sparse_traits.h"

namespace {

// Vg and Ve start at half of each trait's variance, uncorrelated; with maternal effects the
// direct and maternal variances share Vg's half.
constexpr double kTraitStartShare = 0.5;
constexpr double kMaternalStartShare = 0.1;

std::string column_text(int column) { return "column " + std::to_string(column + 1); }

// What several traits cannot be combined with yet, and a trait list that cannot be meant.
void check_trait_options(const RunOptions& options) {
    const auto count = static_cast<Eigen::Index>(options.trait_pos.size());
    if (count > kMostTraits) {
        throw InputCheckFailure("--phe-pos names " + std::to_string(count) + " trait columns; a run fits at most " +
                                std::to_string(kMostTraits) + " traits together.");
    }
    std::unordered_set<int> seen;
    for (int column : options.trait_pos) {
        if (!seen.insert(column).second) {
            throw InputCheckFailure(column_text(column) + " is given twice in --phe-pos; give each trait column once.");
        }
        const bool covariate = std::count(options.covar_pos.begin(), options.covar_pos.end(), column) > 0 ||
                               std::count(options.qcovar_pos.begin(), options.qcovar_pos.end(), column) > 0;
        if (covariate) {
            throw InputCheckFailure(column_text(column) +
                                    " is given both as a trait (--phe-pos) and as a covariate; a trait cannot be its "
                                    "own fixed effect.");
        }
    }
    const auto refuse = [](const std::string& option) {
        throw InputCheckFailure(option + " is not available with several traits (--phe-pos a,b,...) yet; fit one "
                                "trait per run with it.");
    };
    if (options.pe) refuse("--pe");
    if (!options.mkin_file.empty()) refuse("--mkin-file");
    if (!options.rand_pos.empty()) refuse("--rand-pos");
    if (world_size() > 1) {
        throw RunFailure("several traits (--phe-pos a,b,...) run as one process for now; run them without mpirun.");
    }
}

// Two trait columns equal or exactly proportional on every individual with both are one trait
// given twice: their genetic and residual covariance matrices are singular, and REML would stop
// on a singular average information with no hint of why.
void refuse_traits_given_twice(const RunOptions& options, const std::vector<std::string>& traits,
                               const Eigen::MatrixXd& y) {
    for (Eigen::Index a = 0; a < y.cols(); ++a) {
        for (Eigen::Index b = a + 1; b < y.cols(); ++b) {
            Eigen::Index both = 0;
            double ratio = std::nan("");
            bool proportional = true;
            for (Eigen::Index i = 0; i < y.rows() && proportional; ++i) {
                const double u = y(i, a), v = y(i, b);
                if (std::isnan(u) || std::isnan(v)) continue;
                ++both;
                if (u == 0.0 || v == 0.0) {
                    proportional = u == v;
                } else if (std::isnan(ratio)) {
                    ratio = v / u;
                } else {
                    proportional = std::fabs(v - ratio * u) <= 1e-12 * std::fabs(v);
                }
            }
            if (proportional && both >= 2) {
                throw InputCheckFailure(
                    "traits " + traits[static_cast<std::size_t>(a)] + " (" +
                    column_text(options.trait_pos[static_cast<std::size_t>(a)]) + ") and " +
                    traits[static_cast<std::size_t>(b)] + " (" + column_text(options.trait_pos[static_cast<std::size_t>(b)]) +
                    ") are one trait given twice: " + (std::isnan(ratio) || ratio == 1.0 ? "equal" : "exactly proportional") +
                    " on every one of the " + std::to_string(both) + " individuals with both. Give it once.");
            }
        }
    }
}

// The model as the estimation sees it.
struct TraitFit {
    ModelKinship kinship;
    PhenotypeRecords records;
    std::vector<std::string> traits;       // names from the header
    std::vector<std::string> individuals;  // one record each, in the file's order
    std::vector<NumericScale> numeric;
    std::vector<Eigen::Index> kept;        // columns of the full design estimated
    std::vector<std::vector<int>> own;     // per trait, the input columns of its fixed terms (empty: all)
    std::vector<std::vector<Eigen::Index>> own_kept;  // per trait, its positions among `kept`
    Eigen::MatrixXd Y;                     // q x t, scaled, NaN where not recorded
    Eigen::VectorXd centre, scale;         // per trait
    Eigen::Index values = 0;               // trait values present
    double log_likelihood_shift = 0.0;     // to the traits' units
    std::vector<TraitPairs> unshared;      // per residual class
    std::vector<std::string> residual_names;  // "e", or "e:<level>" for each residual class
    Eigen::MatrixXd K;                     // q x q
    // On --pedigree: the relationship's sparse inverse (A^-1, or H^-1 with --bedfile) over every
    // individual of the pedigree, and the evaluator of its sparse equations.
    bool pedigree = false;
    RelationshipInverse relationships;
    SparseTraitsEvaluator* sparse = nullptr;
    bool iterate = false;  // its effects solved by PCG at given variances (the factor would not fit)
    std::unique_ptr<RoundingFreeKinship> eigen;
    std::unique_ptr<TraitEvaluator> evaluator;
    GroupCovariates groups;                // unknown parent groups as fixed covariates; none: no names
    std::string maternal;                  // the maternal term's name; "": none
    std::vector<Eigen::Index> dam_levels;  // with it, each individual's dam among the relationships' IDs (-1: none)
    std::string environment;               // the term of the dam's permanent environment; "": none
    std::vector<std::string> dams;         // with it, the dams with records of their progeny, first met,
    std::vector<Eigen::Index> dam_of;      // and each individual's among them (-1: none)
    Eigen::VectorXd level_diagonal;        // the terms of the dam on a kinship file: K_ii of its individuals

    // Component k's factor from the scaled units to the traits' units: s_a s_b of its traits.
    double units(Eigen::Index k) const {
        const TraitLayout& layout = evaluator->layout();
        const auto [a, b] = layout.element(k);
        return scale[layout.trait_of(a)] * scale[layout.trait_of(b)];
    }
    // Whether column `column` of the full design is in trait a's own fixed terms.
    bool in_model(Eigen::Index a, Eigen::Index column) const {
        if (own.empty()) return true;
        const int source = records.data.fixed.sources[static_cast<std::size_t>(column)];
        const std::vector<int>& columns = own[static_cast<std::size_t>(a)];
        // The unknown parent groups are every trait's.
        return source < 0 || source == kGroupSource || std::find(columns.begin(), columns.end(), source) != columns.end();
    }
    Eigen::VectorXd to_units(const Eigen::VectorXd& theta) const {
        Eigen::VectorXd out = theta;
        for (Eigen::Index k = 0; k < theta.size(); ++k) out[k] *= units(k);
        return out;
    }
};

// One record per individual: the traits of an individual stand on one line.
void refuse_repeated_individuals(const std::vector<std::string>& record_ids, const std::string& phe_file) {
    std::unordered_map<std::string, int> counts;
    std::vector<std::string> repeated;
    for (const std::string& id : record_ids) {
        if (++counts[id] == 2) repeated.push_back(id);
    }
    if (!repeated.empty()) {
        std::string list;
        for (std::size_t i = 0; i < repeated.size() && i < 5; ++i) list += (i == 0 ? "" : ", ") + repeated[i];
        throw InputCheckFailure("phenotype file " + phe_file + ": " + std::to_string(repeated.size()) +
                                " individual(s) have several records (" + list + (repeated.size() > 5 ? ", ..." : "") +
                                "); several traits take one record per individual, with its traits on one line.");
    }
}

// Each trait: its records, a variance to analyse, then scaled to unit variance. Returns the least
// residual variance of the fixed effects alone over the traits (scaled), which sets the residuals'
// lower limit.
double scale_traits(const RunOptions& options, const Eigen::MatrixXd& X, TraitFit& fit, Logger& logger) {
    // The columns of X trait a's fixed terms take.
    const auto trait_columns = [&](Eigen::Index a) {
        if (fit.own_kept.empty()) {
            std::vector<Eigen::Index> all(static_cast<std::size_t>(X.cols()));
            for (std::size_t c = 0; c < all.size(); ++c) all[c] = static_cast<Eigen::Index>(c);
            return all;
        }
        return fit.own_kept[static_cast<std::size_t>(a)];
    };

    const Eigen::MatrixXd& y = fit.records.data.response.y;
    const auto q = y.rows(), t = y.cols();
    fit.Y = y;
    fit.centre.resize(t);
    fit.scale.resize(t);
    double smallest_residual = 1.0;
    for (Eigen::Index a = 0; a < t; ++a) {
        const std::string name = fit.traits[static_cast<std::size_t>(a)] + " (" +
                                 column_text(options.trait_pos[static_cast<std::size_t>(a)]) + ")";
        std::vector<Eigen::Index> rows;
        for (Eigen::Index i = 0; i < q; ++i) {
            if (!std::isnan(y(i, a))) rows.push_back(i);
        }
        const auto n_a = static_cast<Eigen::Index>(rows.size());
        logger.tee << "\tTrait " << name << ": " << n_a << " records" << std::endl;
        if (n_a == 0) {
            throw InputCheckFailure("trait " + name + " has no usable record in " + options.phe_file +
                                    ": every value is NA, or its individuals lack a kinship row or a covariate.");
        }
        const Eigen::VectorXd values = y(rows, a);
        if (values.maxCoeff() == values.minCoeff()) {
            throw InputCheckFailure("trait " + name + " has the same value in all its " + std::to_string(n_a) +
                                    " records; there is no variance to estimate.");
        }
        const std::vector<Eigen::Index> own_columns = trait_columns(a);
        const auto p_a = static_cast<Eigen::Index>(independent_columns(X(rows, Eigen::all), own_columns).size());
        if (n_a <= p_a) {
            throw RunFailure("trait " + name + " has " + std::to_string(n_a) + " records, no more than the " +
                             std::to_string(p_a) + " fixed effects they estimate; REML needs more records than "
                             "fixed effects.");
        }
        const TraitScale scaled = trait_scale(values, true);
        fit.centre[a] = scaled.centre;
        fit.scale[a] = scaled.scale;
        for (Eigen::Index i : rows) fit.Y(i, a) = (y(i, a) - scaled.centre) / scaled.scale;
        const Eigen::VectorXd scaled_values = fit.Y(rows, a);
        smallest_residual =
            std::min(smallest_residual, fixed_effect_residual_variance(X(rows, own_columns), scaled_values));
        fit.values += n_a;
        fit.log_likelihood_shift -= static_cast<double>(n_a - p_a) * std::log(scaled.scale);
    }
    return smallest_residual;
}

// What several traits on the pedigree's sparse equations do not fit yet.
void check_pedigree_trait_options(const RunOptions& options) {
    const auto refuse = [](const std::string& what) {
        throw InputCheckFailure(what + " is not fitted with several traits on --pedigree yet; fit the traits with "
                                "--kin-file (A or H written by --kinship), or one trait per run on --pedigree.");
    };
    if (!options.ped_groups_file.empty()) refuse("--ped-groups");
    if (options.snp_effects) {
        throw InputCheckFailure("--snp-effects takes one trait in this version; give each trait its own run with "
                                "--snp-effects.");
    }
}

// Several traits on the sparse equations: the genetic term over every individual of the
// relationship's inverse (A^-1 or H^-1 of the pedigree, or a kinship file's; its IDs in
// fit.relationships.ids), the traits its parts. REML takes the factor where it fits; on the
// pedigree Monte Carlo REML otherwise (or by --reml-method mc), elsewhere it is refused with the
// factor's figures. At variances given by --vc, and after Monte Carlo REML, the effects are solved
// by PCG (fit.iterate), as they are in a build without CHOLMOD.
void set_up_sparse_traits(const RunOptions& options, Logger& logger, TraitFit& fit, const Eigen::MatrixXd& X,
                          double residual_limit, SparseTerm relationship) {
    const auto t = fit.Y.cols();
    const std::string where = fit.pedigree ? "--pedigree" : "a kinship file with the terms of the dam";
    const bool factored = sparse_factor_available();
    const bool reml = !options.vc_given;
    // Monte Carlo REML where the factor is not to be had: on the pedigree alone.
    std::string method = fit.pedigree && reml ? options.reml_method : "exact";
    if (!factored && reml && !fit.pedigree) {
        throw RunFailure("several traits on " + where + " factor the sparse mixed model equations with CHOLMOD, which "
                         "this build lacks: install libsuitesparse-dev and build again, or give --vc to predict at "
                         "given variances by PCG.");
    }
    if (!factored && reml && method.empty()) {
        logger.tee << "👉 This build has no CHOLMOD to factor the equations: Monte Carlo REML." << std::endl;
        method = "mc";
    }
    const ResidualTerm& residual = fit.records.data.residual;
    const auto start = std::chrono::steady_clock::now();
    auto sparse = std::make_unique<SparseTraitsEvaluator>(X, fit.Y, record_positions(fit.individuals, fit.relationships.ids),
                                                          std::move(relationship), residual_limit, fit.own_kept,
                                                          residual.weights, residual.class_of_record, fit.dam_levels,
                                                          fit.dam_of, static_cast<Eigen::Index>(fit.dams.size()), false);
    std::ostringstream equations;
    equations << "Mixed model equations of " << sparse->order() << " equations (" << t << " traits of "
              << fit.relationships.ids.size() << " individuals"
              << (fit.maternal.empty() ? "" : ", their direct and maternal effects")
              << (fit.environment.empty() ? "" : ", the permanent environment of " + std::to_string(fit.dams.size()) + " dams")
              << ", " << fit.values << " values; every value present is used)";
    const bool analyse = factored && method != "mc";
    if (analyse || !reml) {
        logger.tee << "👉 " << equations.str() << ", "
                   << (factored ? "factored by CHOLMOD" : "solved by PCG (this build has no CHOLMOD)") << std::endl;
    }
    fit.iterate = !factored;
    if (analyse) {
        // A factor foreseen sure not to fit is not analysed.
        const FactorFigures foreseen = sparse->foreseen_factor();
        const bool analysed = !surely_too_large(foreseen);
        if (analysed) sparse->analyse();
        const FactorFigures& figures = analysed ? sparse->equations().figures() : foreseen;
        const double bytes =
            report_factor(logger, figures, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!analysed || !fits_in_free_memory(static_cast<std::size_t>(bytes))) {
            if (reml && (method == "exact" || !fit.pedigree)) {
                std::ostringstream message;
                message << "several traits on " << where << " take the factor of the equations, which needs about "
                        << bytes / 1e9 << " GB with its selected inverse (" << figures.nonzeros
                        << " non-zero values), more than this machine has free; run it where more memory is free, "
                        << (fit.pedigree ? "or use --reml-method mc (Monte Carlo REML)."
                                         : "or give --vc to predict at given variances by PCG.");
                throw RunFailure(message.str());
            }
            logger.tee << "👉 The factor and its selected inverse do not fit in the free memory: "
                       << (reml ? "Monte Carlo REML (--reml-method exact would be refused)."
                                : "the effects are solved by PCG, without reliabilities.")
                       << std::endl;
            fit.iterate = true;
            if (reml) method = "mc";
        } else {
            sparse->set_progress([&logger](const std::string& stage, double seconds) {
                logger.tee << "\t" << stage << " running for " << seconds << " s" << std::endl;
            });
        }
    }
    if (reml && method == "mc") {
        if (options.lrt) {
            throw RunFailure("--lrt compares log-likelihoods, which Monte Carlo REML does not compute (log|C| "
                             "needs the factor of the equations); run it where the factor fits.");
        }
        sparse->take_monte_carlo(monte_carlo_settings(options));
        say_monte_carlo(options, logger, *sparse->monte_carlo(), equations.str());
        fit.iterate = true;
    }
    fit.unshared = sparse->unshared_pairs();
    fit.sparse = sparse.get();
    fit.evaluator = std::move(sparse);
}

void set_up_pedigree_traits(const RunOptions& options, Logger& logger, TraitFit& fit, const Eigen::MatrixXd& X,
                            double residual_limit) {
    SparseTerm relationship;
    relationship.levels = static_cast<Eigen::Index>(fit.relationships.ids.size());
    relationship.inverse = lower_triangle(fit.relationships.inverse);
    relationship.log_determinant = fit.relationships.log_determinant;
    relationship.dense_levels = fit.relationships.inverse.block_positions;
    relationship.root = pedigree_root(fit.relationships);
    set_up_sparse_traits(options, logger, fit, X, residual_limit, std::move(relationship));
}

// Several traits with the terms of the dam on a kinship file: the equations of the pedigree
// route over every individual of the file, K^-1 one dense block of them. Refused, with the
// figures, before K is read where the equations would not fit: each covariance component keeps
// its share of the dense block of C.
void set_up_kinship_dam_traits(const RunOptions& options, Logger& logger, TraitFit& fit, const Eigen::MatrixXd& X,
                               double residual_limit) {
    const std::vector<std::string>& ids = fit.kinship.source.text.ids;
    const auto N = static_cast<double>(ids.size());
    const double g = static_cast<double>(fit.Y.cols()) * (fit.maternal.empty() ? 1.0 : 2.0);
    const double block = g * N * (g * N + 1.0) / 2.0;
    const double bytes = 8.0 * block * (g * (g + 1.0) / 2.0 + 3.0) + 24.0 * N * N;
    if (!fits_in_free_memory(static_cast<std::size_t>(bytes))) {
        std::ostringstream message;
        message << "several traits with the terms of the dam on a kinship file of " << ids.size()
                << " individuals take its inverse as one dense block of the equations, about " << bytes / 1e9
                << " GB, more than this machine has free; fit them on the pedigree (--pedigree), or run it where more "
                   "memory is free.";
        throw RunFailure(message.str());
    }
    const Eigen::MatrixXd K = kinship_at(fit.kinship, ids);
    const Eigen::LLT<Eigen::MatrixXd> factor(K);
    if (factor.info() != Eigen::Success) {
        throw RunFailure("the kinship " + fit.kinship.source.text.path + " is not positive definite over its " +
                         std::to_string(ids.size()) + " individuals: several traits with the terms of the dam take its "
                         "inverse. Fit them on the pedigree (--pedigree), or give a kinship made positive definite.");
    }
    SparseTerm relationship;
    relationship.levels = K.rows();
    relationship.log_determinant = 2.0 * Eigen::MatrixXd(factor.matrixL()).diagonal().array().log().sum();
    const Eigen::MatrixXd inverse = factor.solve(Eigen::MatrixXd::Identity(K.rows(), K.rows()));
    std::vector<Eigen::Triplet<double, std::int64_t>> entries;
    entries.reserve(static_cast<std::size_t>(K.rows() * (K.rows() + 1) / 2));
    for (Eigen::Index j = 0; j < K.rows(); ++j) {
        for (Eigen::Index i = j; i < K.rows(); ++i) entries.emplace_back(i, j, inverse(i, j));
        relationship.dense_levels.push_back(j);
    }
    relationship.inverse.resize(K.rows(), K.rows());
    relationship.inverse.setFromTriplets(entries.begin(), entries.end());
    fit.level_diagonal = K.diagonal();
    fit.relationships.ids = ids;
    logger.tee << "👉 The kinship's inverse over its " << ids.size()
               << " individuals, one dense block of the mixed model equations (the terms of the dam)" << std::endl;
    set_up_sparse_traits(options, logger, fit, X, residual_limit, std::move(relationship));
}

// The dam of each individual with records: for her maternal effect among the relationships' IDs
// (a dam without a line in the pedigree joins it as a founder), for her permanent environment
// among the dams.
void take_dams(Logger& logger, const ModelPlan& plan, TraitFit& fit) {
    if (fit.pedigree) {
        RecordLevels all;
        all.levels = std::move(fit.relationships.ids);
        all = pedigree_dams(logger, plan, fit.records.dam_ids, fit.relationships, std::move(all));
        fit.relationships.ids = std::move(all.levels);
    } else {
        // On a kinship file a dam's maternal effect needs her row.
        fit.relationships.ids = fit.kinship.source.text.ids;
        std::unordered_set<std::string> distinct;
        std::size_t without = 0;
        for (std::size_t r = 0; r < fit.records.dam_ids.size(); ++r) {
            const std::string& dam = fit.records.dam_ids[r];
            if (dam.empty()) {
                ++without;
                continue;
            }
            distinct.insert(dam);
            if (!fit.maternal.empty() && fit.kinship.position.count(dam) == 0) {
                throw InputCheckFailure("the dam " + dam + " of the record of " + fit.individuals[r] +
                                        " is not in the kinship " + fit.kinship.source.text.path +
                                        ": its maternal effect needs its relationships. Give a kinship that has the "
                                        "dams.");
            }
        }
        logger.tee << "👉 Dams: " << distinct.size() << " with records of their progeny; " << without
                   << " record(s) without a dam" << (!fit.maternal.empty() ? " have no maternal effect" : " have no dam's effect")
                   << std::endl;
    }
    if (!fit.maternal.empty()) {
        std::unordered_map<std::string, Eigen::Index> position;
        for (std::size_t i = 0; i < fit.relationships.ids.size(); ++i) {
            position.emplace(fit.relationships.ids[i], static_cast<Eigen::Index>(i));
        }
        for (const std::string& dam : fit.records.dam_ids) fit.dam_levels.push_back(dam.empty() ? -1 : position.at(dam));
    }
    if (!fit.environment.empty()) {
        const RecordLevels dams = levels_first_met(fit.records.dam_ids);
        // The empty ID of records without a dam is no dam.
        const auto none = std::find(dams.levels.begin(), dams.levels.end(), std::string());
        const Eigen::Index empty = none == dams.levels.end() ? -1 : none - dams.levels.begin();
        std::vector<Eigen::Index> renumbered;
        for (std::size_t k = 0; k < dams.levels.size(); ++k) {
            renumbered.push_back(static_cast<Eigen::Index>(k) == empty ? -1 : static_cast<Eigen::Index>(fit.dams.size()));
            if (static_cast<Eigen::Index>(k) != empty) fit.dams.push_back(dams.levels[k]);
        }
        for (const Eigen::Index level : dams.level_of_record) fit.dam_of.push_back(renumbered[static_cast<std::size_t>(level)]);
    }
}

TraitFit set_up_traits(const RunOptions& options, Logger& logger, const ModelPlan& plan) {
    check_trait_options(options);
    TraitFit fit;
    fit.kinship.name = plan.terms.front().name;
    for (const TermPlan& term : plan.terms) {
        if (term.kind == TermKind::maternal) fit.maternal = term.name;
        if (term.kind == TermKind::permanent_environment) fit.environment = term.name;
    }
    fit.pedigree = sparse_pedigree_model(options);
    std::unordered_set<std::string> ids;
    if (fit.pedigree) {
        check_pedigree_trait_options(options);
        logger.tee << "👉 Loading pedigree: " << options.pedigree_file << std::endl;
        fit.relationships = relationship_inverse_route(options, logger);
        ids.insert(fit.relationships.ids.begin(), fit.relationships.ids.end());
    } else {
        logger.tee << "👉 Loading kinship file: " << options.kin_file << std::endl;
        fit.kinship.source = as_input_error([&] { return open_kinship_source(options.kin_file); });
        for (std::size_t i = 0; i < fit.kinship.source.text.ids.size(); ++i) {
            fit.kinship.position.emplace(fit.kinship.source.text.ids[i], static_cast<std::int64_t>(i));
        }
        logger.tee << "\t" << fit.kinship.source.text.ids.size() << " individuals were detected in the kinship file."
                   << std::endl;
        ids.insert(fit.kinship.source.text.ids.begin(), fit.kinship.source.text.ids.end());
    }
    logger.tee << "👉 Loading phenotype file: " << options.phe_file << std::endl;
    fit.records = as_input_error([&] {
        return read_phenotype_records(options.phe_file, options.trait_pos, options.covar_pos, ids, options.qcovar_pos,
                                      {}, {options.weight_pos, options.residual_pos, options.crossings, options.derived,
                                           options.covariate_terms, formula_intercept(options), options.dam_pos});
    });
    fit.traits = fit.records.trait_names;
    if (!options.ped_groups_file.empty()) {
        fit.groups = read_group_covariates(options, logger);
        add_group_columns(fit.records.data, fit.groups, logger);
    }
    Eigen::MatrixXd& y = fit.records.data.response.y;
    Eigen::MatrixXd& full_design = fit.records.data.fixed.full;
    Eigen::MatrixXd& reduced_design = fit.records.data.fixed.reduced;
    std::vector<std::string>& record_ids = fit.records.data.response.record_ids;

    refuse_repeated_individuals(record_ids, options.phe_file);
    fit.individuals = record_ids;
    // The maternal effects are read below, over the pedigree's IDs.
    ModelPlan additive = plan;
    additive.terms.resize(1);
    add_random_terms(fit.records.data, additive, levels_first_met(record_ids));
    const auto q = static_cast<Eigen::Index>(record_ids.size()), t = y.cols();
    refuse_traits_given_twice(options, fit.traits, y);
    logger.tee << "\t" << q << " individuals with at least one trait, complete covariates and a kinship row."
               << std::endl;
    if (q < 2) {
        throw RunFailure("REML needs at least two individuals with a trait value, complete covariates and a row in "
                         "the kinship file; " + options.phe_file + " has " + std::to_string(q) + ".");
    }
    fit.numeric = standardise_numeric(full_design, reduced_design, static_cast<std::size_t>(fit.records.data.fixed.numeric_columns));
    fit.kept = fixed_effect_columns(full_design);
    const Eigen::MatrixXd X = full_design(Eigen::all, fit.kept);
    fit.own = plan.trait_fixed_columns;
    for (Eigen::Index a = 0; a < t && !fit.own.empty(); ++a) {
        fit.own_kept.emplace_back();
        for (std::size_t i = 0; i < fit.kept.size(); ++i) {
            if (fit.in_model(a, fit.kept[i])) fit.own_kept.back().push_back(static_cast<Eigen::Index>(i));
        }
    }
    const double smallest_residual = scale_traits(options, X, fit, logger);
    const double residual_limit = kResidualLimit * smallest_residual;
    const bool dam_terms = !fit.maternal.empty() || !fit.environment.empty();
    if (!fit.pedigree && !dam_terms) {
        fit.K = kinship_at(fit.kinship, fit.individuals);
        logger.tee << "👉 kinship matrix size: " << q << " x " << q << " used for REML analysis." << std::endl;
    }
    const ResidualTerm& residual = fit.records.data.residual;
    const Eigen::VectorXd& weights = residual.weights;
    if (weights.size() != 0) {
        logger.tee << "👉 Weights: column " << residual.weights_column << ", from " << weights.minCoeff() << " to "
                   << weights.maxCoeff() << " (an individual's residual covariance is Ve / weight, for every trait)"
                   << std::endl;
    }
    if (!residual.classes.empty()) {
        logger.tee << "👉 Residual by " << residual.by << ": " << residual.classes.size()
                   << " class(es), each its own residual covariance matrix of the traits" << std::endl;
    }
    fit.residual_names = residual.component_names();
    // Weights or residual classes differ between individuals, so the eigenvectors no longer
    // decouple them.
    const bool complete = fit.Y.allFinite() && weights.size() == 0 && residual.classes.empty();
    if (fit.pedigree) {
        if (dam_terms) take_dams(logger, plan, fit);
        set_up_pedigree_traits(options, logger, fit, X, residual_limit);
    } else if (dam_terms) {
        if (!fit.groups.names.empty()) {
            throw InputCheckFailure("--ped-groups is not fitted with the terms of the dam (maternal(...), pe(...)) in "
                                    "this version.");
        }
        take_dams(logger, plan, fit);
        set_up_kinship_dam_traits(options, logger, fit, X, residual_limit);
    } else if (complete) {
        fit.unshared.resize(1);
        // Eigenvalues below 0 come only from a text file's rounding (kinship_at checked that):
        // taken as 0, so that V stays positive definite at any Vg.
        fit.eigen = std::make_unique<RoundingFreeKinship>(kinship_eigen_form(fit.K, 0.0));
        fit.evaluator =
            std::make_unique<RotatedTraitsEvaluator>(fit.eigen->kinship, X, fit.Y, residual_limit, fit.own_kept);
        logger.tee << "👉 Every trait is recorded on every individual: the kinship's eigenvectors decouple the "
                      "individuals"
                   << (fit.own.empty() ? "." : "; each trait has its own fixed effects.") << std::endl;
    } else {
        auto dense = std::make_unique<DenseTraitsEvaluator>(fit.K, X, fit.Y, residual_limit, fit.own_kept, weights,
                                                            residual.class_of_record);
        fit.unshared = dense->unshared_pairs();
        logger.tee << (!fit.Y.allFinite()          ? "👉 Some traits are missing on some individuals"
                       : residual.classes.empty() ? "👉 Weighted records"
                                                  : "👉 Residuals by class")
                   << ": every value present is used (" << fit.values << " values, V of that order)." << std::endl;
        fit.evaluator = std::move(dense);
    }
    for (std::size_t c = 0; c < fit.unshared.size(); ++c) {
        for (const auto& [a, b] : fit.unshared[c]) {
            logger.tee << "👉 Traits " << fit.traits[static_cast<std::size_t>(b)] << " and "
                       << fit.traits[static_cast<std::size_t>(a)] << " are never recorded on the same individual"
                       << (residual.classes.empty() ? "" : " of class " + residual.classes[c])
                       << ": their residual covariance cannot be estimated and is fixed at 0." << std::endl;
        }
    }
    return fit;
}

// The note under an iteration that was not a plain AI step.
std::string trait_step_note(const AiRemlStep& step, const std::vector<ModelParameter>& parameters) {
    if (step.step == RemlStep::held && step.held_directions > 0) {
        return "AI step along the boundary of positive semi-definite Vg and Ve: the log-likelihood rises only "
               "beyond it";
    }
    if (step.step == RemlStep::boundary && step.projected && step.limited.empty()) {
        return "AI step brought back to positive semi-definite Vg and Ve, the boundary of the parameter space";
    }
    return reml_step_note(step, parameters);
}

struct TraitEstimate {
    Eigen::VectorXd theta;       // scaled
    Eigen::MatrixXd covariance;  // traits' units; empty for given values
    double log_likelihood = std::nan("");
    std::vector<ResultRow> lrt;
};

// The boundary notes: Vg singular (a combination of the traits without genetic variance), Vpe
// likewise, Ve at its limit.
void write_boundary_notes(Logger& logger, const TraitFit& fit, const Eigen::VectorXd& theta) {
    const std::size_t first_residual = fit.environment.empty() ? 1 : 2;
    for (std::size_t block = 0; block < first_residual + fit.residual_names.size(); ++block) {
        const bool residual = block >= first_residual;
        // "Ve", or "Ve:<level>" of a residual class.
        const std::string matrix = residual ? "V" + fit.residual_names[block - first_residual] : block == 0 ? "Vg" : "Vpe";
        const Eigen::MatrixXd Z = fit.evaluator->boundary_vectors(theta, block);
        // Vg's rows are the direct (and maternal) effects of the traits.
        const std::vector<std::string> rows = block > 0 ? fit.traits : genetic_labels(fit.traits, fit.maternal);
        for (Eigen::Index j = 0; j < Z.cols(); ++j) {
            // In the traits' units the null direction of S M S is S^-1 z.
            Eigen::VectorXd direction = Z.col(j);
            for (Eigen::Index a = 0; a < direction.size(); ++a) direction[a] /= fit.scale[a % fit.scale.size()];
            direction /= direction.cwiseAbs().maxCoeff();
            std::ostringstream combination;
            for (Eigen::Index a = 0; a < direction.size(); ++a) {
                if (std::fabs(direction[a]) < 1e-6) continue;
                combination << (combination.tellp() == 0 ? (direction[a] < 0 ? "-" : "") : (direction[a] < 0 ? " - " : " + "))
                            << std::fabs(direction[a]) << " " << rows[static_cast<std::size_t>(a)];
            }
            if (residual) {
                logger.tee << "👉 The estimate of " << matrix << " lies at the lower limit of its eigenvalues (the boundary of the "
                              "parameter space), along "
                           << combination.str()
                           << ": that combination of the traits has no residual variance left, and the standard "
                              "errors describe the likelihood's curvature there, not a symmetric interval."
                           << std::endl;
            } else if (block > 0) {
                logger.tee << "👉 The estimate of Vpe lies on the boundary of the positive semi-definite matrices: it "
                              "is singular along "
                           << combination.str()
                           << ", a combination of the traits without variance of the dam's permanent environment, and "
                              "the standard errors describe the likelihood's curvature there, not a symmetric interval."
                           << std::endl;
            } else {
                logger.tee << "👉 The estimate of Vg lies on the boundary of the positive semi-definite matrices: it "
                              "is singular along "
                           << combination.str()
                           << (fit.maternal.empty() ? ", a combination of the traits"
                                                    : ", a combination of the traits' direct and maternal effects")
                           << " without genetic variance (a genetic correlation of +1 or "
                              "-1, or a heritability of 0), and the standard errors describe the likelihood's "
                              "curvature there, not a symmetric interval."
                           << std::endl;
            }
        }
    }
}

std::vector<ResultRow> result_rows(const TraitFit& fit, const TraitEstimate& estimate) {
    return trait_component_rows(fit.traits, fit.to_units(estimate.theta), estimate.covariance,
                                estimate.log_likelihood, fit.residual_names, fit.maternal, !fit.environment.empty());
}

std::optional<TraitEstimate> estimate_traits(const RunOptions& options, Logger& logger, const TraitFit& fit) {
    const Eigen::Index t = fit.Y.cols();
    const Eigen::MatrixXd start = kTraitStartShare * Eigen::MatrixXd::Identity(t, t);
    Eigen::MatrixXd start_genetic = start;
    if (!fit.maternal.empty()) {
        start_genetic = Eigen::MatrixXd::Zero(2 * t, 2 * t);
        start_genetic.diagonal().head(t).setConstant(kTraitStartShare - kMaternalStartShare * 2);
        start_genetic.diagonal().tail(t).setConstant(kMaternalStartShare);
    }
    const Eigen::MatrixXd start_environment =
        fit.environment.empty() ? Eigen::MatrixXd() : Eigen::MatrixXd(kMaternalStartShare * Eigen::MatrixXd::Identity(t, t));
    AiRemlSettings settings = trait_reml_settings(*fit.evaluator, fit.traits, start_genetic, start, fit.unshared,
                                                  fit.values, options.max_iter, kRemlTolerance, fit.residual_names,
                                                  fit.maternal, start_environment);
    take_starting_values(options, logger, settings,
                         [&](std::size_t k) { return fit.units(static_cast<Eigen::Index>(k)); });
    logger.tee << iteration_cap_note(options.max_iter) << std::flush;
    write_trace_header(logger.tee, settings.names());
    // The estimates' covariance in the traits' units from one in the scaled.
    const auto in_units = [&](Eigen::MatrixXd covariance) {
        for (Eigen::Index k = 0; k < covariance.rows(); ++k) {
            for (Eigen::Index l = 0; l < covariance.cols(); ++l) covariance(k, l) *= fit.units(k) * fit.units(l);
        }
        return covariance;
    };
    // Monte Carlo REML: more vectors while a heritability's Monte Carlo SE is too large.
    MonteCarloMmeEvaluator* monte_carlo = fit.sparse != nullptr ? fit.sparse->monte_carlo() : nullptr;
    Eigen::MatrixXd monte_carlo_errors;
    int iterations = 0;
    const auto trace = [&](const AiRemlStep& step) {
        write_trace_line(logger.tee, step, step.log_likelihood + fit.log_likelihood_shift, fit.to_units(step.theta),
                         settings.names(), trait_step_note(step, settings.parameters));
        // A long run on the pedigree keeps where it is, to start again from.
        if (fit.pedigree) {
            save_iteration_estimates(settings.names(), fit.to_units(step.theta), step.iteration,
                                     step.log_likelihood + fit.log_likelihood_shift, mixed_model_files(options).variances);
        }
    };
    const auto more = [&](const AiRemlRun& converged) {
        if (monte_carlo == nullptr) return false;
        monte_carlo_errors = in_units(monte_carlo_covariance(*fit.evaluator, converged));
        TraitEstimate at{converged.theta, monte_carlo_errors, converged.at_estimate.log_likelihood, {}};
        const std::vector<ResultRow> errors = result_rows(fit, at);
        at.covariance = in_units(converged.ai_inverse);
        const std::vector<std::string> names =
            fit.sparse->trace_names(trait_component_names(fit.traits, fit.residual_names, fit.maternal,
                                                          !fit.environment.empty()),
                                    fit.traits);
        // The shares of Vp: h2, h2_maternal, h2_total, c2.
        return more_monte_carlo_samples(options, logger, *monte_carlo, names, errors, result_rows(fit, at),
                                        [](const std::string& source) {
                                            return source.rfind("h2", 0) == 0 || source.rfind("c2", 0) == 0;
                                        });
    };
    const AiRemlRun run = reml_with_enough_samples(*fit.evaluator, settings, trace, more, iterations);
    if (!reported_convergence(logger, run)) {
        return std::nullopt;
    }
    TraitEstimate estimate;
    estimate.theta = run.theta;
    estimate.covariance = in_units(run.ai_inverse);
    estimate.log_likelihood = run.at_estimate.log_likelihood + fit.log_likelihood_shift;
    logger.tee << "✅ Converged!!!\n\n";
    write_result_rows(logger.tee, result_rows(fit, estimate));
    write_boundary_notes(logger, fit, run.theta);
    if (monte_carlo_errors.size() != 0) {
        write_monte_carlo_errors(logger, result_rows(fit, {run.theta, monte_carlo_errors, estimate.log_likelihood, {}}));
    }
    if (options.lrt) {
        // The additive term as a whole: REML again with its whole genetic block held at 0.
        logger.tee << "\n👉 Likelihood-ratio test: REML again with the genetic covariance matrix at 0\n"
                   << "Component\tlogL0\t2dlogL\tp\n";
        // The residual starts at the estimate's Vp, positive definite even when Ve is on its boundary.
        AiRemlSettings reduced = settings;
        const TraitLayout& layout = fit.evaluator->layout();
        const Eigen::MatrixXd G = layout.genetic(run.theta);
        const Eigen::Index t_count = layout.traits;
        int removed = 0;
        for (std::size_t c = 0; c < reduced.parameters.size(); ++c) {
            ModelParameter& parameter = reduced.parameters[c];
            const auto k = static_cast<Eigen::Index>(c);
            const bool genetic = k < layout.genetic_count();
            const bool residual = k >= layout.residual_offset(0);
            // The records' covariance of traits a and b: with maternal effects the dam's share too
            // (her relationship with her progeny is 1/2). Vpe stays where it was.
            const auto [a, b] = layout.element(k);
            double records = run.theta[k];
            if (residual) records += G(a, b);
            if (!fit.maternal.empty() && residual) {
                records += G(t_count + a, t_count + b) + 0.5 * (G(a, t_count + b) + G(b, t_count + a));
            }
            parameter.start = genetic ? 0.0 : records;
            parameter.fixed = parameter.fixed || genetic;
            removed += genetic ? 1 : 0;
        }
        std::optional<double> without;
        try {
            const AiRemlRun null_run = ai_reml(*fit.evaluator, reduced);
            if (null_run.converged) {
                without = null_run.at_estimate.log_likelihood + fit.log_likelihood_shift;
            }
        } catch (const RemlFailure&) {
            // Said as a test without a value, as for a run that does not converge.
        }
        const std::string tested = fit.kinship.name + (fit.maternal.empty() ? "" : "," + fit.maternal);
        estimate.lrt.push_back(likelihood_ratio_row(logger, tested, estimate.log_likelihood, without, removed));
    }
    return estimate;
}

std::vector<ResultRow> trait_variance_rows(const TraitFit& fit, const TraitEstimate& estimate) {
    std::vector<ResultRow> rows = result_rows(fit, estimate);
    rows.insert(rows.end(), estimate.lrt.begin(), estimate.lrt.end());
    for (const ResultRow& row : count_rows(static_cast<std::size_t>(fit.values), fit.individuals.size())) {
        rows.push_back(row);
    }
    return rows;
}

// --vc: the lower triangle of Vg, then of Ve (of each residual class in turn), in the traits'
// units.
TraitEstimate given_trait_variances(const RunOptions& options, Logger& logger, const TraitFit& fit) {
    const TraitLayout& layout = fit.evaluator->layout();
    const auto count = static_cast<std::size_t>(layout.count());
    const std::vector<std::string> names =
        trait_component_names(fit.traits, fit.residual_names, fit.maternal, !fit.environment.empty());
    if (options.vc.size() != count) {
        std::string order;
        for (const std::string& name : names) order += (order.empty() ? "" : ", ") + name;
        throw InputCheckFailure("--vc gives " + std::to_string(options.vc.size()) + " value(s) but " +
                                std::to_string(fit.traits.size()) + " traits have " + std::to_string(count) +
                                " variance components: " + order + ", in this order.");
    }
    TraitEstimate given;
    given.theta.resize(layout.count());
    for (Eigen::Index k = 0; k < layout.count(); ++k) {
        given.theta[k] = options.vc[static_cast<std::size_t>(k)] / fit.units(k);
    }
    // The rows of PREFIX.vc.txt, once rounded to 6 digits, can leave an estimate on the boundary
    // (rg = +-1) slightly indefinite: within that rounding the matrix is mended and said; beyond
    // it the values are no covariance matrix.
    constexpr double kRounding = 5e-6;
    const auto rounding_bound = [&](const Eigen::MatrixXd& V) { return -kRounding * V.norm(); };
    // In the traits' units, as given.
    const Eigen::DiagonalMatrix<double, Eigen::Dynamic> S(fit.scale), S_inverse(fit.scale.cwiseInverse());
    // Vg's rows: the traits, with maternal effects twice.
    const Eigen::VectorXd genetic_scale = fit.scale.replicate(layout.genetic_parts, 1);
    const Eigen::DiagonalMatrix<double, Eigen::Dynamic> Sg(genetic_scale), Sg_inverse(genetic_scale.cwiseInverse());
    Eigen::MatrixXd Vg = Sg * layout.genetic(given.theta) * Sg;
    // On the values as typed: the scaling's rounding would hide an exact correlation of 1.
    const auto exactly_correlated = [&](Eigen::Index offset) -> std::string {
        const auto typed = [&](Eigen::Index a, Eigen::Index b) {
            return options.vc[static_cast<std::size_t>(offset + layout.position(a, b))];
        };
        for (Eigen::Index a = 0; a < layout.traits; ++a) {
            for (Eigen::Index b = 0; b < a; ++b) {
                if (typed(a, b) * typed(a, b) >= typed(a, a) * typed(b, b)) {
                    return fit.traits[static_cast<std::size_t>(b)] + " and " + fit.traits[static_cast<std::size_t>(a)];
                }
            }
        }
        return "";
    };
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> genetic(Vg);
    if (genetic.eigenvalues().minCoeff() < rounding_bound(Vg)) {
        throw InputCheckFailure("--vc: the values of Vg do not form a positive semi-definite matrix (a correlation "
                                "beyond -1 or +1, or a negative variance): its smallest eigenvalue is " +
                                number_text(genetic.eigenvalues().minCoeff()) +
                                ", beyond the rounding of 6 digits.");
    }
    // The evaluator's limit is on the scaled traits: in the traits' units, that of the smallest scale.
    const double limit = fit.evaluator->residual_limit() * fit.scale.minCoeff() * fit.scale.minCoeff();
    const bool mend_genetic = genetic.eigenvalues().minCoeff() < 0.0;
    if (mend_genetic) {
        Vg = genetic.eigenvectors() * genetic.eigenvalues().cwiseMax(0.0).asDiagonal() * genetic.eigenvectors().transpose();
    }
    // The dam's permanent environment: positive semi-definite, as Vg.
    Eigen::MatrixXd Vpe;
    bool mend_environment = false;
    if (layout.dam_environment) {
        Vpe = S * layout.environment(given.theta) * S;
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> environment(Vpe);
        if (environment.eigenvalues().minCoeff() < rounding_bound(Vpe)) {
            throw InputCheckFailure("--vc: the values of Vpe do not form a positive semi-definite matrix (a correlation "
                                    "beyond -1 or +1, or a negative variance): its smallest eigenvalue is " +
                                    number_text(environment.eigenvalues().minCoeff()) +
                                    ", beyond the rounding of 6 digits.");
        }
        mend_environment = environment.eigenvalues().minCoeff() < 0.0;
        if (mend_environment) {
            Vpe = environment.eigenvectors() * environment.eigenvalues().cwiseMax(0.0).asDiagonal() *
                  environment.eigenvectors().transpose();
        }
    }
    bool mend_residual = false;
    std::vector<Eigen::MatrixXd> residuals;
    for (Eigen::Index c = 0; c < layout.residual_classes; ++c) {
        const std::string matrix = "V" + fit.residual_names[static_cast<std::size_t>(c)];
        Eigen::MatrixXd Ve = S * layout.residual(given.theta, c) * S;
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> residual(Ve);
        const std::string singular = exactly_correlated(layout.residual_offset(c));
        if (residual.eigenvalues().minCoeff() < rounding_bound(Ve) || !singular.empty() ||
            !(Ve.diagonal().array() > 0.0).all()) {
            throw InputCheckFailure("--vc: the values of " + matrix + " do not form a positive definite matrix (every "
                                    "residual variance above 0, every correlation strictly between -1 and +1)" +
                                    (singular.empty() ? std::string(".")
                                                      : ": the residual correlation of " + singular + " is -1 or +1, so " +
                                                            matrix + " is singular."));
        }
        if (residual.eigenvalues().minCoeff() < limit) {
            mend_residual = true;
            Ve = residual.eigenvectors() * residual.eigenvalues().cwiseMax(limit).asDiagonal() *
                 residual.eigenvectors().transpose();
        }
        residuals.push_back(S_inverse * Ve * S_inverse);
    }
    if (mend_genetic || mend_residual || mend_environment) {
        given.theta = layout.components(Sg_inverse * Vg * Sg_inverse, residuals,
                                        layout.dam_environment ? Eigen::MatrixXd(S_inverse * Vpe * S_inverse)
                                                               : Eigen::MatrixXd());
    }
    if (mend_environment) {
        logger.tee << "👉 --vc: Vpe has a negative eigenvalue within the rounding of 6 digits; its negative "
                      "eigenvalues are set to 0 for the prediction."
                   << std::endl;
    }
    if (mend_genetic || mend_residual) {
        logger.tee << "👉 --vc: " << (mend_genetic ? "Vg has a negative eigenvalue" : "")
                   << (mend_genetic && mend_residual ? " and " : "")
                   << (mend_residual ? "Ve an eigenvalue below the residual limit" : "")
                   << " within the rounding of 6 digits; "
                   << (mend_genetic ? "its negative eigenvalues are set to 0" : "")
                   << (mend_genetic && mend_residual ? " and " : "")
                   << (mend_residual ? "Ve's are raised to the limit" : "") << " for the prediction." << std::endl;
    }
    logger.tee << "👉 Variance components given by --vc (no REML):\n";
    for (std::size_t k = 0; k < count; ++k) logger.tee << names[k] << "\t" << options.vc[k] << "\n";
    logger.tee << std::flush;
    // The log-likelihood at the given values, as an estimate has it; prediction does not need it
    // (nor has it by PCG: log|C| takes the factor).
    if (fit.iterate) return given;
    const LikelihoodPoint point = fit.evaluator->evaluate(given.theta);
    if (point.finite) {
        given.log_likelihood = point.log_likelihood + fit.log_likelihood_shift;
    }
    return given;
}

// The fixed effects of every trait over the full design, in its units: the estimates, their SEs
// and whether a record of the trait carries each column. A level (or covariate) that no record
// of a trait carries has no effect on that trait to estimate: the equations hold it at 0 with SE
// 0, which would read as a measured 0.
struct TraitFixedEffects {
    std::vector<Eigen::VectorXd> b, se;
    std::vector<Eigen::MatrixXd> covariance;
    std::vector<std::vector<bool>> recorded_with;
};
TraitFixedEffects trait_fixed_effects(const TraitFit& fit, const TraitSolution& solution) {
    const Eigen::MatrixXd& full_design = fit.records.data.fixed.full;
    const Eigen::Index p = full_design.cols(), t = fit.Y.cols();
    TraitFixedEffects fixed;
    fixed.recorded_with.assign(static_cast<std::size_t>(t), std::vector<bool>(static_cast<std::size_t>(p), false));
    // A constant numeric column is zero once scaled: it is aliased with the intercept, not unrecorded.
    const auto q = static_cast<Eigen::Index>(fit.numeric.size());
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index r = 0; r < fit.Y.rows(); ++r) {
            if (std::isnan(fit.Y(r, a))) continue;
            for (Eigen::Index i = 0; i < p; ++i) {
                const bool constant = i >= p - q && fit.numeric[static_cast<std::size_t>(i - (p - q))].constant;
                if (full_design(r, i) != 0.0 || constant) {
                    fixed.recorded_with[static_cast<std::size_t>(a)][static_cast<std::size_t>(i)] = true;
                }
            }
        }
    }
    // By PCG the equations' inverse, and so the covariance, is not had: no SEs.
    const bool covariance_known = !solution.beta_covariance.empty();
    for (Eigen::Index a = 0; a < t; ++a) {
        Eigen::MatrixXd b = Eigen::MatrixXd::Zero(p, 1);
        Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(p, p);
        const double s = fit.scale[a];
        for (std::size_t i = 0; i < fit.kept.size(); ++i) {
            b(fit.kept[i], 0) = s * solution.beta(static_cast<Eigen::Index>(i), a);
            for (std::size_t j = 0; j < fit.kept.size() && covariance_known; ++j) {
                covariance(fit.kept[i], fit.kept[j]) = s * s *
                    solution.beta_covariance[static_cast<std::size_t>(a)](static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
            }
        }
        b(0, 0) += fit.centre[a];
        unstandardise_effects(b, fit.numeric);
        fixed.b.push_back(b.col(0));
        if (!covariance_known) {
            fixed.se.emplace_back();
            fixed.covariance.emplace_back();
            continue;
        }
        covariance = unstandardise_covariance(covariance, fit.numeric);
        fixed.se.push_back(covariance.diagonal().cwiseMax(0.0).cwiseSqrt());
        fixed.covariance.push_back(covariance);
    }
    return fixed;
}

void show_trait_fixed_effects(Logger& logger, const TraitFit& fit, const TraitFixedEffects& fixed) {
    const Eigen::MatrixXd& full_design = fit.records.data.fixed.full;
    const std::vector<std::string>& labels = fit.records.data.fixed.labels;
    const Eigen::Index p = full_design.cols(), t = fit.Y.cols();
    const std::vector<std::vector<bool>>& recorded_with = fixed.recorded_with;
    logger.tee << "👏 Fixed effects were shown:\n" << std::endl;
    logger.tee << "Trait\tEffect\tEstimate\tSE" << std::endl;
    for (Eigen::Index a = 0; a < t; ++a) {
        const Eigen::VectorXd& b = fixed.b[static_cast<std::size_t>(a)];
        const Eigen::VectorXd& se = fixed.se[static_cast<std::size_t>(a)];
        for (Eigen::Index i = 0; i < p; ++i) {
            if (!fit.in_model(a, i)) continue;
            logger.tee << fit.traits[static_cast<std::size_t>(a)] << "\t" << labels[static_cast<std::size_t>(i)] << "\t";
            if (recorded_with[static_cast<std::size_t>(a)][static_cast<std::size_t>(i)]) {
                logger.tee << b[i] << "\t";
                if (se.size() == 0) {
                    logger.tee << "NA" << std::endl;
                } else {
                    logger.tee << se[i] << std::endl;
                }
            } else {
                logger.tee << "NA\tNA" << std::endl;
            }
        }
    }
    for (Eigen::Index a = 0; a < t; ++a) {
        for (Eigen::Index i = 0; i < p; ++i) {
            if (fit.in_model(a, i) && !recorded_with[static_cast<std::size_t>(a)][static_cast<std::size_t>(i)]) {
                logger.tee << "👉 " << fit.traits[static_cast<std::size_t>(a)] << ": " << labels[static_cast<std::size_t>(i)]
                           << " has no record of this trait; its effect is not estimable (NA)." << std::endl;
            }
        }
    }
    for (const std::string& label : aliased_effects(full_design, labels, fit.numeric)) {
        logger.tee << "👉 " << label << " is aliased: its records are a combination of those of other fixed "
                   << "effects, so its effect is shown as 0." << std::endl;
    }
}

// Several traits with one kinship, through the rotated or the dense evaluator.
class TraitsRoute : public ModelRoute {
public:
    TraitsRoute(const RunOptions& options, Logger& logger, ModelPlan plan)
        : options_(options), logger_(logger), plan_(std::move(plan)) {}

    void set_up() override { fit_ = set_up_traits(options_, logger_, plan_); }

    bool estimate() override {
        std::optional<TraitEstimate> estimated = estimate_traits(options_, logger_, fit_);
        if (estimated) {
            estimate_ = std::move(*estimated);
        }
        return estimated.has_value();
    }

    void take_given() override {
        estimate_ = given_trait_variances(options_, logger_, fit_);
        note_estimation_options_unused(options_, logger_);
    }

    void solve() override {
        solved_ = true;
        if (fit_.iterate) solve_by_pcg();
        solution_ = fit_.evaluator->solve(estimate_.theta);
        if (!solution_.finite) {
            throw RunFailure("the mixed model equations cannot be solved at these variances: " + solution_.problem +
                             "; " + mixed_model_files(options_).values + " was not written.");
        }
    }

    void predict() override {
        show_trait_fixed_effects(logger_, fit_, trait_fixed_effects(fit_, solution_));
        if (fit_.sparse != nullptr) {
            predict_from_equations();
            return;
        }
        const std::vector<std::string>& ids = fit_.kinship.source.text.ids;
        logger_.tee << "👉 Breeding values of " << ids.size() << " individuals for " << fit_.traits.size() << " traits"
                    << std::endl;
        // With unknown parent groups each value is a + Qg, over the kept columns of the design.
        const Eigen::MatrixXd shifts = fit_.groups.names.empty()
                                           ? Eigen::MatrixXd()
                                           : group_shifts(fit_.groups, ids, fit_.records.data.fixed, fit_.kept);
        effects_ = fit_.evaluator->predict(solution_, estimate_.theta, fit_.kinship.name, fit_.traits, fit_.scale,
                                           kinship_columns(fit_.kinship, fit_.individuals),
                                           kinship_diagonal_of(fit_.kinship),
                                           fit_.groups.names.empty() ? nullptr : &shifts);
        const std::string values_name = mixed_model_files(options_).values;
        for (EffectPrediction& effect : effects_) {
            effect.ids = ids;
            check_error_variances(effect.error_variances, ids, values_name, "", " for " + effect.trait);
        }
    }

    // The equations at the given variances by block PCG: the solution of solve() and effects().
    void solve_by_pcg() {
        logger_.tee << "👉 Mixed model equations solved by PCG (each animal's equations of the traits"
                    << (fit_.maternal.empty() ? "" : ", direct and maternal,") << " preconditioned together); --pcg-tol "
                    << options_.pcg_tol << ", --pcg-max-iter " << options_.pcg_max_iter << std::endl;
        const auto start = std::chrono::steady_clock::now();
        report_block_pcg(logger_, options_, fit_.sparse->solve_by_pcg(estimate_.theta, options_.pcg_tol, options_.pcg_max_iter),
                         "the mixed model equations", start);
    }

    // Every individual of the pedigree (of the kinship file): its breeding values and their
    // prediction error variances from the factored equations (the diagonal of their inverse),
    // over Vg(a,a) times the relationship's diagonal (1 + F with A; H's own with --bedfile; K's).
    void predict_from_equations() {
        const std::vector<std::string>& ids = fit_.relationships.ids;
        logger_.tee << "👉 Breeding values of " << ids.size() << " individuals for " << fit_.traits.size()
                    << " traits" << (fit_.maternal.empty() ? "" : ", direct and maternal")
                    << (fit_.environment.empty() ? "" : ", and the permanent environment of " +
                                                           std::to_string(fit_.dams.size()) + " dams")
                    << (fit_.iterate ? ", without reliabilities (solved by PCG)"
                                     : ", with reliabilities from the inverse of the factored equations")
                    << std::endl;
        const SparseTraitsEvaluator::Effects effects = fit_.sparse->effects(estimate_.theta);
        const std::string values_name = mixed_model_files(options_).values;
        if (!effects.finite) {
            throw RunFailure("the mixed model equations cannot be solved at these variances: " + effects.problem +
                             "; " + values_name + " was not written.");
        }
        // The prior variances serve the reliabilities alone.
        const Eigen::VectorXd diagonal =
            fit_.iterate                    ? Eigen::VectorXd(Eigen::VectorXd::Zero(static_cast<Eigen::Index>(ids.size())))
            : fit_.level_diagonal.size() != 0 ? fit_.level_diagonal
            : fit_.relationships.inverse.block_positions.empty()
                ? Eigen::VectorXd(Eigen::Map<const Eigen::VectorXd>(fit_.relationships.inbreeding.data(),
                                                                    static_cast<Eigen::Index>(fit_.relationships.inbreeding.size()))
                                      .array() + 1.0)
                : diagonal_of_inverse(lower_triangle(fit_.relationships.inverse));
        const TraitLayout& layout = fit_.evaluator->layout();
        const Eigen::MatrixXd genetic = layout.genetic(estimate_.theta);
        // Each trait's direct effect, then with maternal effects each trait's maternal effect.
        for (Eigen::Index a = 0; a < layout.genetic_size(); ++a) {
            const double s = fit_.scale[layout.trait_of(a)];
            EffectPrediction effect;
            effect.name = a < layout.traits ? fit_.kinship.name : fit_.maternal;
            effect.trait = fit_.traits[static_cast<std::size_t>(layout.trait_of(a))];
            effect.ids = ids;
            effect.values = effects.values.col(a) * s;
            effect.error_variances = effects.error_variances.col(a) * (s * s);
            effect.prior_variances = diagonal * (genetic(a, a) * s * s);
            if (!fit_.iterate) check_error_variances(effect.error_variances, ids, values_name, "", " for " + effect.trait);
            effects_.push_back(std::move(effect));
        }
        // Each dam's permanent environment of each trait, over Vpe(a,a).
        for (Eigen::Index a = 0; a < layout.traits && layout.dam_environment; ++a) {
            const double s = fit_.scale[a];
            EffectPrediction effect;
            effect.name = fit_.environment;
            effect.trait = fit_.traits[static_cast<std::size_t>(a)];
            effect.ids = fit_.dams;
            effect.values = effects.environment_values.col(a) * s;
            effect.error_variances = effects.environment_error_variances.col(a) * (s * s);
            effect.prior_variances =
                Eigen::VectorXd::Constant(effect.values.size(), layout.environment(estimate_.theta)(a, a) * s * s);
            if (!fit_.iterate) {
                check_error_variances(effect.error_variances, fit_.dams, values_name, "", " for " + effect.trait);
            }
            effects_.push_back(std::move(effect));
        }
    }

    std::vector<FixedEffectRow> fixed_effects() override {
        if (!solved_) {
            solve();
        }
        const TraitFixedEffects fixed = trait_fixed_effects(fit_, solution_);
        std::vector<FixedEffectRow> rows;
        for (Eigen::Index a = 0; a < fit_.Y.cols(); ++a) {
            const auto trait = static_cast<std::size_t>(a);
            const std::vector<FixedEffectRow> own = fixed_effect_rows(
                fit_.records.data.fixed, fit_.traits[trait], fixed.b[trait], fixed.se[trait], fit_.kept,
                [&](Eigen::Index i) { return fit_.in_model(a, i); },
                [&](Eigen::Index i) { return fixed.recorded_with[trait][static_cast<std::size_t>(i)]; },
                fixed.covariance[trait].size() == 0 ? nullptr : &fixed.covariance[trait]);
            rows.insert(rows.end(), own.begin(), own.end());
        }
        return rows;
    }

    std::vector<ResultRow> variance_rows() override { return trait_variance_rows(fit_, estimate_); }

    void add_predictions(ResultTexts& results, const MixedModelFiles& files) override {
        if (fit_.iterate) {
            add_effect_values_file(results, effects_, "", files.values);
            return;
        }
        add_effect_files(results, effects_, "", files.values, files.reliability);
    }

private:
    const RunOptions& options_;
    Logger& logger_;
    ModelPlan plan_;
    TraitFit fit_;
    TraitEstimate estimate_;
    TraitSolution solution_;
    bool solved_ = false;
    std::vector<EffectPrediction> effects_;
};

}  // namespace

std::unique_ptr<ModelRoute> traits_route(const RunOptions& options, Logger& logger, const ModelPlan& plan) {
    return std::make_unique<TraitsRoute>(options, logger, plan);
}
