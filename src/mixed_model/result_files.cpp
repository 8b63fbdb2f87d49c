#include <algorithm>
#include <charconv>
#include <iterator>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "files/pending_file.h"
#include "log/failures.h"
#include "mixed_model/mixed_model.h"

namespace {

void write_text(PendingFile& file, const std::string& text) { write_pending(file, text.data(), text.size()); }

constexpr double kNotAvailable = std::numeric_limits<double>::quiet_NaN();

// SE of a'theta / 1'theta by the delta method: the gradient is (a S - A 1) / S^2.
double share_se(const Eigen::VectorXd& selector, const Eigen::VectorXd& estimates, const Eigen::MatrixXd& covariance) {
    if (covariance.size() == 0) {
        return kNotAvailable;
    }
    const double total = estimates.sum();
    const double part = selector.dot(estimates);
    const Eigen::VectorXd gradient = (selector * total - Eigen::VectorXd::Constant(estimates.size(), part)) / (total * total);
    return std::sqrt(std::max(gradient.dot(covariance * gradient), 0.0));
}

}  // namespace

// The shortest text that reads back to the same double: a row of PREFIX.vc.txt copied into --vc
// gives the very values estimated (6 digits can turn a boundary estimate indefinite).
void write_exact_cell(std::ostream& out, double value) {
    if (std::isnan(value)) {
        out << "NA";
        return;
    }
    char text[32];
    const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
    out.write(text, written.ptr - text);
}


namespace {

PendingFile open_result(const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        throw OutputFailure("无法打开文件 " + filename + " (" + std::strerror(errno) + ")");
    }
    return file;
}

// "Sample_ID,Ran_Effects", then "ID\tvalue" per row (column 0, default stream format).
std::string breeding_value_text(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids) {
    if (ran_eff.rows() != static_cast<Eigen::Index>(sample_ids.size())) {
        // No result is better than a header without values.
        throw OutputFailure("Error：sample_ids and ran_eff row number were not matcthed！");
    }
    std::ostringstream text;
    text << "Sample_ID,Ran_Effects\n";
    for (Eigen::Index i = 0; i < ran_eff.rows(); ++i) {
        text << sample_ids[static_cast<std::size_t>(i)] << "\t" << ran_eff(i, 0) << "\n";
    }
    return text.str();
}

// SE = sqrt(PEV) and reliability 1 - PEV / genetic variance, "NA" where that variance is 0. A
// value with fixed unknown parent groups carries their error too, which may exceed the genetic
// variance: its reliability is 0 then.
void write_error_columns(std::ostream& text, double pev, double genetic_variance, const char* end = "\n") {
    text << std::sqrt(pev) << "\t";
    if (genetic_variance > 0.0) {
        text << std::max(0.0, 1.0 - pev / genetic_variance) << end;
    } else {
        text << "NA" << end;
    }
}

}  // namespace

void write_result_set(const ResultTexts& files) {
    std::vector<PendingFile> pending;
    pending.reserve(files.size());
    for (const auto& [name, text] : files) {
        pending.push_back(open_result(name));
    }
    try {
        std::vector<PendingFile*> all;
        for (std::size_t f = 0; f < files.size(); ++f) {
            write_text(pending[f], files[f].second);
            all.push_back(&pending[f]);
        }
        commit_pending_files(all);
    } catch (const std::runtime_error& error) {
        throw OutputFailure(error.what());
    }
}

void add_random_file(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                     const std::string& filename) {
    set.push_back({filename, breeding_value_text(ran_eff, sample_ids)});
}

void writeRanEffToFile(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                       const std::string& filename) {
    write_result_set({{filename, breeding_value_text(ran_eff, sample_ids)}});
}

void add_breeding_value_files(ResultTexts& set, const Eigen::MatrixXd& ran_eff, const Eigen::VectorXd& pev,
                              const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& ids,
                              const std::string& values_name, const std::string& reliability_name) {
    std::ostringstream text;
    text << "ID\tEBV\tSE\tReliability\n";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto k = static_cast<Eigen::Index>(i);
        text << ids[i] << "\t" << ran_eff(k, 0) << "\t";
        write_error_columns(text, pev[k], genetic_variances[k]);
    }
    set.push_back({values_name, breeding_value_text(ran_eff, ids)});
    set.push_back({reliability_name, text.str()});
}

void add_effect_values_file(ResultTexts& set, const std::vector<EffectPrediction>& effects, const std::string& trait,
                            const std::string& values_name) {
    std::ostringstream values;
    values << "Effect\tTrait\tID\tValue\n";
    for (const EffectPrediction& effect : effects) {
        const std::string& effect_trait = effect.trait.empty() ? trait : effect.trait;
        for (std::size_t i = 0; i < effect.ids.size(); ++i) {
            values << effect.name << "\t" << effect_trait << "\t" << effect.ids[i] << "\t"
                   << effect.values[static_cast<Eigen::Index>(i)] << "\n";
        }
    }
    set.push_back({values_name, values.str()});
}

void add_effect_files(ResultTexts& set, const std::vector<EffectPrediction>& effects, const std::string& trait,
                      const std::string& values_name, const std::string& reliability_name) {
    std::ostringstream reliability;
    reliability << "Effect\tTrait\tID\tEBV\tSE\tReliability\n";
    for (const EffectPrediction& effect : effects) {
        const std::string& effect_trait = effect.trait.empty() ? trait : effect.trait;
        for (std::size_t i = 0; i < effect.ids.size(); ++i) {
            const auto k = static_cast<Eigen::Index>(i);
            reliability << effect.name << "\t" << effect_trait << "\t" << effect.ids[i] << "\t" << effect.values[k]
                        << "\t";
            write_error_columns(reliability, effect.error_variances[k], effect.prior_variances[k]);
        }
    }
    add_effect_values_file(set, effects, trait, values_name);
    set.push_back({reliability_name, reliability.str()});
}

namespace {

// The rows of a model with a residual variance per class (see variance_component_rows).
std::vector<ResultRow> class_residual_rows(const std::vector<std::string>& names,
                                           const std::vector<std::string>& residuals, const Eigen::VectorXd& estimates,
                                           const Eigen::MatrixXd& covariance, const std::vector<int>& repeatable,
                                           double log_likelihood) {
    const Eigen::Index count = estimates.size();
    const auto m = static_cast<Eigen::Index>(names.size());
    if (m + static_cast<Eigen::Index>(residuals.size()) != count ||
        (covariance.size() != 0 && (covariance.rows() != count || covariance.cols() != count))) {
        throw std::invalid_argument("Variance rows need one name per component and a square covariance of them.");
    }
    auto se_of = [&](Eigen::Index k) {
        return covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance(k, k), 0.0));
    };
    std::vector<ResultRow> rows;
    for (Eigen::Index k = 0; k < count; ++k) {
        const std::string& name = k < m ? names[static_cast<std::size_t>(k)] : residuals[static_cast<std::size_t>(k - m)];
        rows.push_back({"V(" + name + ")", estimates[k], se_of(k)});
    }
    for (std::size_t c = 0; c < residuals.size(); ++c) {
        // The components of a record of class c: the terms and its residual.
        Eigen::VectorXd within = Eigen::VectorXd::Zero(count);
        within.head(m).setOnes();
        within[m + static_cast<Eigen::Index>(c)] = 1.0;
        const Eigen::VectorXd values = within.cwiseProduct(estimates);
        const Eigen::MatrixXd class_covariance =
            covariance.size() == 0 ? covariance : Eigen::MatrixXd(within.asDiagonal() * covariance * within.asDiagonal());
        const std::string suffix = "(" + residuals[c] + ")";
        rows.push_back({"Vp" + suffix, values.sum(),
                        covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(class_covariance.sum(), 0.0))});
        for (Eigen::Index k = 0; k < m; ++k) {
            Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
            selector[k] = 1.0;
            rows.push_back({names[static_cast<std::size_t>(k)] + "/Vp" + suffix, values[k] / values.sum(),
                            share_se(selector, values, class_covariance)});
        }
        if (!repeatable.empty()) {
            Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
            for (int k : repeatable) {
                selector[k] = 1.0;
            }
            rows.push_back({"Repeatability" + suffix, selector.dot(values) / values.sum(),
                            share_se(selector, values, class_covariance)});
        }
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

}  // namespace

std::vector<ResultRow> variance_component_rows(const std::vector<std::string>& names, const Eigen::VectorXd& estimates,
                                               const Eigen::MatrixXd& covariance, const std::vector<int>& repeatable,
                                               double log_likelihood, const std::vector<std::string>& residuals) {
    const Eigen::Index count = estimates.size();
    if (residuals.size() > 1) {
        return class_residual_rows(names, residuals, estimates, covariance, repeatable, log_likelihood);
    }
    if (static_cast<Eigen::Index>(names.size()) + 1 != count ||
        (covariance.size() != 0 && (covariance.rows() != count || covariance.cols() != count))) {
        throw std::invalid_argument("Variance rows need one name per component besides the residual and a square "
                                    "covariance of the components.");
    }
    auto se_of = [&](Eigen::Index k) {
        return covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance(k, k), 0.0));
    };
    std::vector<ResultRow> rows;
    for (Eigen::Index k = 0; k + 1 < count; ++k) {
        rows.push_back({"V(" + names[static_cast<std::size_t>(k)] + ")", estimates[k], se_of(k)});
    }
    rows.push_back({"V(e)", estimates[count - 1], se_of(count - 1)});
    const double total_se = covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance.sum(), 0.0));
    rows.push_back({"Vp", estimates.sum(), total_se});
    for (Eigen::Index k = 0; k + 1 < count; ++k) {
        Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
        selector[k] = 1.0;
        rows.push_back({names[static_cast<std::size_t>(k)] + "/Vp", estimates[k] / estimates.sum(),
                        share_se(selector, estimates, covariance)});
    }
    if (!repeatable.empty()) {
        Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
        for (int k : repeatable) {
            selector[k] = 1.0;
        }
        rows.push_back({"Repeatability", selector.dot(estimates) / estimates.sum(),
                        share_se(selector, estimates, covariance)});
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

std::vector<ResultRow> maternal_component_rows(const std::vector<std::string>& names, Eigen::Index maternal,
                                               const Eigen::VectorXd& estimates, const Eigen::MatrixXd& covariance,
                                               double log_likelihood, std::size_t residuals) {
    const Eigen::Index count = estimates.size();
    // The SE of a function of the components from its gradient.
    const auto se_of = [&](const Eigen::VectorXd& gradient) {
        return covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(gradient.dot(covariance * gradient), 0.0));
    };
    const auto unit = [&](Eigen::Index k) {
        Eigen::VectorXd e = Eigen::VectorXd::Zero(count);
        e[k] = 1.0;
        return e;
    };
    const std::string& direct = names[static_cast<std::size_t>(maternal)];
    const std::string& dam = names[static_cast<std::size_t>(maternal + 2)];
    std::vector<ResultRow> rows;
    for (Eigen::Index k = 0; k < count; ++k) {
        const std::string name = k == maternal + 1 ? "C(" + direct + "," + dam + ")"
                                                   : "V(" + names[static_cast<std::size_t>(k)] + ")";
        rows.push_back({name, estimates[k], se_of(unit(k))});
    }
    // A record's variance in each residual class: every random component (the covariance once:
    // the dam is the individual's mother) and that class's residual.
    const auto classes = static_cast<Eigen::Index>(residuals);
    const Eigen::Index random = count - classes;
    std::vector<Eigen::VectorXd> values_of;
    std::vector<Eigen::MatrixXd> covariance_of;
    std::vector<std::string> suffix_of;
    for (Eigen::Index c = 0; c < classes; ++c) {
        Eigen::VectorXd within = Eigen::VectorXd::Zero(count);
        within.head(random).setOnes();
        within[random + c] = 1.0;
        values_of.push_back(within.cwiseProduct(estimates));
        covariance_of.push_back(covariance.size() == 0 ? covariance
                                                       : Eigen::MatrixXd(within.asDiagonal() * covariance * within.asDiagonal()));
        suffix_of.push_back(classes == 1 ? "" : "(" + names[static_cast<std::size_t>(random + c)] + ")");
        const double total = values_of.back().sum();
        rows.push_back({"Vp" + suffix_of.back(), total, se_of(within)});
        for (Eigen::Index k = 0; k < random; ++k) {
            if (k == maternal + 1) continue;
            rows.push_back({names[static_cast<std::size_t>(k)] + "/Vp" + suffix_of.back(), estimates[k] / total,
                            share_se(unit(k), values_of.back(), covariance_of.back())});
        }
    }
    const double a = estimates[maternal], am = estimates[maternal + 1], m = estimates[maternal + 2];
    const double r = am / std::sqrt(a * m);
    Eigen::VectorXd slope = Eigen::VectorXd::Zero(count);
    slope[maternal] = -0.5 * r / a;
    slope[maternal + 1] = 1.0 / std::sqrt(a * m);
    slope[maternal + 2] = -0.5 * r / m;
    rows.push_back({"r(" + direct + "," + dam + ")", a > 0.0 && m > 0.0 ? r : kNotAvailable,
                    a > 0.0 && m > 0.0 ? se_of(slope) : kNotAvailable});
    Eigen::VectorXd total_share = Eigen::VectorXd::Zero(count);
    total_share[maternal] = 1.0;
    total_share[maternal + 1] = 1.5;
    total_share[maternal + 2] = 0.5;
    for (Eigen::Index c = 0; c < classes; ++c) {
        const auto k = static_cast<std::size_t>(c);
        rows.push_back({"h2_total" + suffix_of[k], total_share.dot(estimates) / values_of[k].sum(),
                        share_se(total_share, values_of[k], covariance_of[k])});
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

void add_approximate_reliability_file(ResultTexts& set, const EffectPrediction& effect, const std::string& trait,
                                      bool long_layout, const std::string& reliability_name, const std::string& method) {
    std::ostringstream reliability;
    reliability << (long_layout ? "Effect\tTrait\t" : "") << "ID\tEBV\tSE\tReliability\tMethod\n";
    for (std::size_t i = 0; i < effect.ids.size(); ++i) {
        const auto k = static_cast<Eigen::Index>(i);
        if (long_layout) reliability << effect.name << "\t" << trait << "\t";
        reliability << effect.ids[i] << "\t" << effect.values[k] << "\t";
        write_error_columns(reliability, effect.error_variances[k], effect.prior_variances[k], ("\t" + method + "\n").c_str());
    }
    set.push_back({reliability_name, reliability.str()});
}

namespace {

// sqrt(g' C g), NA without a covariance.
double delta_se(const Eigen::VectorXd& gradient, const Eigen::MatrixXd& covariance) {
    if (covariance.size() == 0) {
        return kNotAvailable;
    }
    return std::sqrt(std::max(gradient.dot(covariance * gradient), 0.0));
}

}  // namespace

std::vector<ResultRow> trait_component_rows(const std::vector<std::string>& traits, const Eigen::VectorXd& estimates,
                                            const Eigen::MatrixXd& covariance, double log_likelihood,
                                            const std::vector<std::string>& residual_names, const std::string& maternal,
                                            bool dam_environment) {
    TraitLayout layout;
    layout.traits = static_cast<Eigen::Index>(traits.size());
    layout.residual_classes = static_cast<Eigen::Index>(residual_names.size());
    layout.genetic_parts = maternal.empty() ? 1 : 2;
    layout.dam_environment = dam_environment;
    const Eigen::Index count = layout.count();
    if (estimates.size() != count ||
        (covariance.size() != 0 && (covariance.rows() != count || covariance.cols() != count))) {
        throw std::invalid_argument("The rows of several traits need a component per element of Vg and of each Ve, "
                                    "and their covariance.");
    }
    const std::vector<std::string> names = trait_component_names(traits, residual_names, maternal, dam_environment);
    std::vector<ResultRow> rows;
    for (Eigen::Index k = 0; k < count; ++k) {
        rows.push_back({names[static_cast<std::size_t>(k)], estimates[k],
                        covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance(k, k), 0.0))});
    }
    const auto t = layout.traits;
    // ":<level>" of a class's rows; one residual: nothing.
    const auto suffix = [&](Eigen::Index c) {
        const std::string& name = residual_names[static_cast<std::size_t>(c)];
        return residual_names.size() == 1 ? std::string() : name.substr(std::min<std::size_t>(1, name.size()));
    };
    const auto unit = [&](Eigen::Index k) {
        Eigen::VectorXd e = Eigen::VectorXd::Zero(count);
        e[k] = 1.0;
        return e;
    };
    // A record's variance of trait a in class c: with maternal effects the direct, the maternal
    // and their covariance once (the dam is the individual's mother), and the residual.
    const auto phenotypic = [&](Eigen::Index c, Eigen::Index a) {
        Eigen::VectorXd v = unit(layout.position(a, a)) + unit(layout.residual_offset(c) + layout.position(a, a));
        if (!maternal.empty()) v += unit(layout.position(a, t + a)) + unit(layout.position(t + a, t + a));
        if (dam_environment) v += unit(layout.environment_offset() + layout.position(a, a));
        return v;
    };
    for (Eigen::Index c = 0; c < layout.residual_classes; ++c) {
        for (Eigen::Index a = 0; a < t; ++a) {
            const Eigen::VectorXd gradient = phenotypic(c, a);
            rows.push_back({"Vp" + suffix(c) + "(" + traits[static_cast<std::size_t>(a)] + ")", gradient.dot(estimates),
                            delta_se(gradient, covariance)});
        }
    }
    if (maternal.empty() && !dam_environment) {
        for (Eigen::Index c = 0; c < layout.residual_classes; ++c) {
            for (Eigen::Index a = 0; a < t; ++a) {
                const Eigen::Index g = layout.position(a, a), e = layout.residual_offset(c) + g;
                const double total = estimates[g] + estimates[e];
                Eigen::VectorXd gradient = Eigen::VectorXd::Zero(count);
                gradient[g] = estimates[e] / (total * total);
                gradient[e] = -estimates[g] / (total * total);
                rows.push_back({"h2" + suffix(c) + "(" + traits[static_cast<std::size_t>(a)] + ")", estimates[g] / total,
                                delta_se(gradient, covariance)});
            }
        }
    } else {
        // Shares s'theta / v'theta of Vp: the gradient is (s - share v) / v'theta.
        for (Eigen::Index c = 0; c < layout.residual_classes; ++c) {
            for (Eigen::Index a = 0; a < t; ++a) {
                const Eigen::VectorXd v = phenotypic(c, a);
                const double total = v.dot(estimates);
                std::vector<std::pair<std::string, Eigen::VectorXd>> shares{{"h2", unit(layout.position(a, a))}};
                if (!maternal.empty()) {
                    const Eigen::Index dam = layout.position(t + a, t + a);
                    shares.emplace_back("h2_maternal", unit(dam));
                    shares.emplace_back("h2_total", unit(layout.position(a, a)) +
                                                        1.5 * unit(layout.position(a, t + a)) + 0.5 * unit(dam));
                }
                if (dam_environment) shares.emplace_back("c2", unit(layout.environment_offset() + layout.position(a, a)));
                for (const auto& [prefix, s] : shares) {
                    const double share = s.dot(estimates) / total;
                    rows.push_back({prefix + suffix(c) + "(" + traits[static_cast<std::size_t>(a)] + ")", share,
                                    delta_se((s - share * v) / total, covariance)});
                }
            }
        }
    }
    // r = V_ab / sqrt(V_aa V_bb): dr/dV_ab = 1 / sqrt(V_aa V_bb), dr/dV_aa = -r / (2 V_aa). The
    // genetic correlations over Vg's rows (with maternal effects the direct and the maternal).
    const std::vector<std::string> labels = genetic_labels(traits, maternal);
    std::vector<std::pair<std::string, Eigen::Index>> correlations{{"rg(", 0}};
    if (dam_environment) correlations.emplace_back("rpe(", layout.environment_offset());
    for (Eigen::Index c = 0; c < layout.residual_classes; ++c) {
        correlations.emplace_back("re" + suffix(c) + "(", layout.residual_offset(c));
    }
    for (const auto& [prefix, base] : correlations) {
        const std::vector<std::string>& rows_of = base == 0 ? labels : traits;
        for (Eigen::Index a = 1; a < static_cast<Eigen::Index>(rows_of.size()); ++a) {
            for (Eigen::Index b = 0; b < a; ++b) {
                const Eigen::Index ab = base + layout.position(a, b), aa = base + layout.position(a, a),
                                   bb = base + layout.position(b, b);
                const std::string name = prefix + rows_of[static_cast<std::size_t>(b)] + "," +
                                         rows_of[static_cast<std::size_t>(a)] + ")";
                if (!(estimates[aa] > 0.0) || !(estimates[bb] > 0.0)) {
                    rows.push_back({name, kNotAvailable, kNotAvailable});
                    continue;
                }
                const double root = std::sqrt(estimates[aa] * estimates[bb]);
                const double r = estimates[ab] / root;
                Eigen::VectorXd gradient = Eigen::VectorXd::Zero(count);
                gradient[ab] = 1.0 / root;
                gradient[aa] = -0.5 * r / estimates[aa];
                gradient[bb] = -0.5 * r / estimates[bb];
                rows.push_back({name, r, delta_se(gradient, covariance)});
            }
        }
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

std::vector<ResultRow> count_rows(std::size_t n_records, std::size_t n_individuals) {
    return {{"n_records", static_cast<double>(n_records), kNotAvailable, true},
            {"n_individuals", static_cast<double>(n_individuals), kNotAvailable, true}};
}

void add_variance_file(ResultTexts& set, const std::vector<ResultRow>& rows, const std::string& filename) {
    std::ostringstream text;
    text << "Source\tEstimate\tSE\n";
    for (const ResultRow& row : rows) {
        text << row.source << "\t";
        if (row.whole) {
            text << static_cast<long long>(row.estimate);
        } else {
            write_exact_cell(text, row.estimate);
        }
        text << "\t";
        write_exact_cell(text, row.se);
        text << "\n";
    }
    set.push_back({filename, text.str()});
}

void write_variance_file(const std::vector<ResultRow>& rows, const std::string& filename) {
    ResultTexts set;
    add_variance_file(set, rows, filename);
    write_result_set(set);
}

void add_fixed_effects_file(ResultTexts& set, const std::vector<FixedEffectRow>& rows, const std::string& filename) {
    std::ostringstream text;
    text << "Trait\tEffect\tLevel\tEstimate\tSE\tStatus\n";
    for (const FixedEffectRow& row : rows) {
        text << row.trait << "\t" << row.effect << "\t" << (row.level.empty() ? "NA" : row.level) << "\t";
        write_exact_cell(text, row.estimate);
        text << "\t";
        write_exact_cell(text, row.se);
        text << "\t" << row.status << "\n";
    }
    set.push_back({filename, text.str()});
}
