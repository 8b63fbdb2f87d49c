#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/model_inputs.h"
#include "app/model_pipeline.h"
#include "files/number_field.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

// Centres and scales the last `count` columns of both designs in place. The spread is taken of
// the column divided by its largest magnitude, so that values near 1e-200 or 1e200 (squares out
// of a double's range) are scaled as any others.
std::vector<NumericScale> standardise_numeric(Eigen::MatrixXd& full, Eigen::MatrixXd& reduced, std::size_t count) {
    std::vector<NumericScale> scales(count);
    const auto q = static_cast<Eigen::Index>(count);
    for (Eigen::Index c = 0; c < q; ++c) {
        auto column = full.col(full.cols() - q + c);
        NumericScale& s = scales[static_cast<std::size_t>(c)];
        s.constant = column.rows() == 0 || column.maxCoeff() == column.minCoeff();
        if (!s.constant) {
            const double largest = column.cwiseAbs().maxCoeff();
            const Eigen::ArrayXd z = column.array() / largest;
            const double centre = z.mean();
            const double spread = std::sqrt((z - centre).square().mean());
            s.constant = !(spread > 0.0);
            s.centre = largest * centre;
            s.scale = largest * spread;
            if (!s.constant) {
                column = (z - centre) / spread;
            }
        }
        if (s.constant) {
            s.centre = 0.0;
            s.scale = 1.0;
            column.setZero();
        }
        reduced.col(reduced.cols() - q + c) = column;
    }
    return scales;
}

void unstandardise_effects(Eigen::MatrixXd& b, const std::vector<NumericScale>& numeric) {
    const auto q = static_cast<Eigen::Index>(numeric.size());
    for (Eigen::Index c = 0; c < q; ++c) {
        const NumericScale& s = numeric[static_cast<std::size_t>(c)];
        double& slope = b(b.rows() - q + c, 0);
        slope = s.constant ? 0.0 : slope / s.scale;
        b(0, 0) -= slope * s.centre;
    }
}

// A class covariate's reference level is the first column of its block.
std::vector<std::string> aliased_effects(const Eigen::MatrixXd& full_design, const std::vector<std::string>& labels,
                                         const std::vector<NumericScale>& numeric) {
    std::vector<bool> estimated(static_cast<std::size_t>(full_design.cols()), false);
    for (Eigen::Index column : fixed_effect_columns(full_design)) {
        estimated[static_cast<std::size_t>(column)] = true;
    }
    const std::size_t class_end = labels.size() - numeric.size();
    std::vector<std::string> aliased;
    std::string block;  // "Covar<column>_" of the class covariate being walked
    for (std::size_t c = 1; c < labels.size(); ++c) {
        if (labels[c].rfind("group_", 0) == 0) {
            continue;  // the groups' reference and groups without records are said where they are chosen
        }
        if (c < class_end) {
            const std::string prefix = labels[c].substr(0, labels[c].find('_') + 1);
            // A class's first level is its reference; a slope's or curve's columns have none.
            const bool reference = prefix != block && labels[c].rfind("Covar", 0) == 0;
            block = prefix;
            if (!reference && !estimated[c]) {
                aliased.push_back(labels[c]);
            }
        } else if (!estimated[c] && !numeric[c - class_end].constant) {
            aliased.push_back(labels[c]);
        }
    }
    return aliased;
}


void print_fixed_effects(Logger& logger, const Eigen::MatrixXd& b, const Eigen::MatrixXd& full_design,
                         const std::vector<std::string>& labels, const std::vector<NumericScale>& numeric,
                         const Eigen::VectorXd* se) {
    logger.tee << "👏 Fixed effects were shown:\n" << std::endl;
    if (se != nullptr) {
        logger.tee << "Effect\tEstimate\tSE" << std::endl;
    }
    for (Eigen::Index i = 0; i < b.rows(); ++i) {
        logger.tee << labels[static_cast<std::size_t>(i)] << "\t" << b(i, 0);
        if (se != nullptr) {
            logger.tee << "\t" << (*se)[i];
        }
        logger.tee << std::endl;
    }
    for (const std::string& label : aliased_effects(full_design, labels, numeric)) {
        logger.tee << "👉 " << label << " is aliased: its records are a combination of those of other fixed "
                   << "effects (for example two covariates whose levels always occur together), so its effect "
                   << "is shown as 0." << std::endl;
    }
}

Eigen::MatrixXd unstandardise_covariance(const Eigen::MatrixXd& covariance, const std::vector<NumericScale>& numeric) {
    // b_user = J b: slope_c / scale_c, and the intercept minus every slope times its centre.
    const Eigen::Index p = covariance.rows();
    const auto q = static_cast<Eigen::Index>(numeric.size());
    Eigen::MatrixXd J = Eigen::MatrixXd::Identity(p, p);
    for (Eigen::Index c = 0; c < q; ++c) {
        const NumericScale& s = numeric[static_cast<std::size_t>(c)];
        const Eigen::Index row = p - q + c;
        J(row, row) = s.constant ? 0.0 : 1.0 / s.scale;
        J(0, row) = -J(row, row) * s.centre;
    }
    return J * covariance * J.transpose();
}

void check_records_and_design(const RunOptions& options, Logger& logger, Model& phenotype) {
    const Eigen::MatrixXd& y = phenotype.response.y;
    const std::vector<std::string>& labels = phenotype.fixed.labels;
    if (y.rows() < 2) {
        throw RunFailure("REML needs at least two records with a trait value, complete covariates "
                                 "and a row in the kinship file; " + options.phe_file + " has " +
                                 std::to_string(y.rows()) + ".");
    }
    phenotype.fixed.numeric =
        standardise_numeric(phenotype.fixed.full, phenotype.fixed.reduced, static_cast<std::size_t>(phenotype.fixed.numeric_columns));
    const std::vector<NumericScale>& numeric = phenotype.fixed.numeric;
    const Eigen::MatrixXd& reduced_design = phenotype.fixed.reduced;
    const Eigen::Index rank = reml_design(reduced_design).cols();
    if (y.rows() <= rank) {
        throw RunFailure("the " + std::to_string(y.rows()) + " records are no more than the " +
                                 std::to_string(rank) + " fixed effects they estimate; REML needs more records " +
                                 "than fixed effects (use fewer --covar-pos columns).");
    }
    if (y.maxCoeff() == y.minCoeff()) {
        throw RunFailure("the trait has the same value in all " + std::to_string(y.rows()) +
                                 " records; there is no variance to estimate.");
    }
    // Values that differ but whose variance underflows to 0 or overflows (traits near 1e-200
    // or 1e200) cannot be estimated in double precision.
    const double variance = computeVariance(y);
    if (!(variance > 0.0) || !std::isfinite(variance)) {
        std::ostringstream message;
        message << "the trait values range from " << y.minCoeff() << " to " << y.maxCoeff()
                << ", so their variance is " << (variance > 0.0 ? "too large" : "too small")
                << " to compute; rescale the trait (for example to units between 0.001 and 1000).";
        throw RunFailure(message.str());
    }
    for (std::size_t c = 0; c < numeric.size(); ++c) {
        const std::string& label = labels[labels.size() - numeric.size() + c];
        if (numeric[c].constant && c < options.qcovar_pos.size()) {
            logger.tee << "👉 The numeric covariate " << label << " (column " << options.qcovar_pos[c] + 1
                       << ") has the same value in every record: it is aliased with "
                       << "the intercept, and its effect is shown as 0." << std::endl;
        } else if (numeric[c].constant) {  // a slope's or curve's column
            logger.tee << "👉 " << label << " has the same value in every record: it is aliased with the intercept, "
                       << "and its effect is shown as 0." << std::endl;
        }
    }
}

void write_result_rows(std::ostream& out, const std::vector<ResultRow>& rows) {
    out << "Source\tEstimate\tSE\n";
    for (const ResultRow& row : rows) {
        out << row.source << "\t";
        if (std::isnan(row.estimate)) {
            out << "NA\t";
        } else {
            out << row.estimate << "\t";
        }
        if (std::isnan(row.se)) {
            out << "NA\n";
        } else {
            out << row.se << "\n";
        }
    }
    out << std::flush;
}

bool reported_convergence(Logger& logger, const AiRemlRun& run) {
    if (!run.converged) {
        logger.err << unconverged_verdict(run.capped) << std::flush;
    }
    return run.converged;
}

void write_trace_header(std::ostream& out, const std::vector<std::string>& names) {
    out << std::setw(10) << "Iteration" << std::setw(15) << "LogLik";
    for (const std::string& name : names) {
        out << std::setw(column_width(name)) << name;
    }
    out << std::setw(15) << "Max_change" << std::endl;
}

void write_trace_line(std::ostream& out, const AiRemlStep& step, double log_likelihood, const Eigen::VectorXd& values,
                      const std::vector<std::string>& names, const std::string& note) {
    out << std::setw(10) << step.iteration;
    if (std::isnan(log_likelihood)) {
        out << std::setw(15) << "NA";  // Monte Carlo traces: no log-likelihood
    } else {
        out << std::setw(15) << log_likelihood;
    }
    for (std::size_t k = 0; k < names.size(); ++k) {
        out << std::setw(column_width(names[k])) << values[static_cast<Eigen::Index>(k)];
    }
    out << std::setw(15) << step.changes.maxCoeff() << std::endl;
    if (!note.empty()) {
        out << std::setw(10) << "" << "  note: " << note << std::endl;
    }
}

void note_estimation_options_unused(const RunOptions& options, Logger& logger) {
    if (options.lrt) {
        logger.tee << "👉 --lrt tests estimated components; with --vc nothing is estimated, so no test is made."
                   << std::endl;
    }
    if (std::find(options.given_options.begin(), options.given_options.end(), "--max-iter") !=
        options.given_options.end()) {
        logger.tee << "👉 --max-iter limits the REML iterations; with --vc no REML is run, so it is not used."
                   << std::endl;
    }
}

void warn_repeated_records(Logger& logger, const std::string& advice, const std::vector<std::string>& record_ids) {
    std::unordered_map<std::string, int> counts;
    for (const std::string& id : record_ids) {
        ++counts[id];
    }
    const auto repeated = std::count_if(counts.begin(), counts.end(), [](const auto& entry) { return entry.second > 1; });
    if (repeated > 0) {
        logger.tee << "⚠️ Warning: " << repeated
                   << " individual(s) have several records; without a permanent environmental effect the additive "
                      "variance takes it in and is overestimated. " << advice << std::endl;
    }
}

MixedModelFiles mixed_model_files(const RunOptions& options) {
    return {options.out_prefix + ".vc.txt", options.out_prefix + ".random.txt", options.out_prefix + ".reliability.txt",
            options.out_prefix + ".fixed.txt"};
}

std::vector<FixedEffectRow> fixed_effect_rows(const FixedDesign& design, const std::string& trait,
                                              const Eigen::VectorXd& b, const Eigen::VectorXd& se,
                                              const std::vector<Eigen::Index>& kept,
                                              const std::function<bool(Eigen::Index)>& in_model,
                                              const std::function<bool(Eigen::Index)>& recorded,
                                              const Eigen::MatrixXd* covariance) {
    std::vector<FixedEffectRow> rows;
    const auto not_available = std::numeric_limits<double>::quiet_NaN();
    // Written without the intercept: the first class of the model gives its levels from 0, each
    // the intercept plus the level's effect, and the intercept has no row.
    int first_class = -1;
    for (Eigen::Index i = 1; i < design.full.cols() && !design.intercept && first_class < 0; ++i) {
        const auto column = static_cast<std::size_t>(i);
        if ((!in_model || in_model(i)) && !design.levels[column].empty() && design.sources[column] < kDerivedBase) {
            first_class = design.sources[column];
        }
    }
    for (Eigen::Index i = 0; i < design.full.cols(); ++i) {
        if ((in_model && !in_model(i)) || (i == 0 && first_class >= 0)) {
            continue;
        }
        if (first_class >= 0 && design.sources[static_cast<std::size_t>(i)] == first_class) {
            FixedEffectRow row{trait, design.effects[static_cast<std::size_t>(i)], design.levels[static_cast<std::size_t>(i)],
                               b[0] + b[i], not_available, "estimated"};
            if (covariance != nullptr) {
                const Eigen::MatrixXd& V = *covariance;
                row.se = std::sqrt(std::max(0.0, V(0, 0) + V(i, i) + 2.0 * V(0, i)));
            }
            const bool reference = i == 0 || design.sources[static_cast<std::size_t>(i - 1)] != first_class;
            if (recorded && !recorded(i)) {
                row.status = "no_records";
                row.estimate = row.se = not_available;
            } else if (!reference && std::find(kept.begin(), kept.end(), i) == kept.end()) {
                row.status = "aliased";
            }
            rows.push_back(std::move(row));
            continue;
        }
        const auto column = static_cast<std::size_t>(i);
        FixedEffectRow row{trait, design.effects[column], design.levels[column], b[i],
                           se.size() == 0 ? not_available : se[i], "estimated"};
        // The first level of a class is the one the others are measured from.
        const bool first_level = !row.level.empty() && design.sources[column] < kDerivedBase &&
                                 (column == 0 || design.sources[column - 1] != design.sources[column]);
        const bool group = design.sources[column] == kGroupSource;
        if ((recorded && !recorded(i)) || (group && design.full.col(i).isZero(0.0))) {
            row.status = "no_records";
            row.estimate = row.se = not_available;
        } else if (std::find(kept.begin(), kept.end(), i) == kept.end()) {
            // Of the groups only the one the intercept leaves over is not estimated.
            row.status = first_level || group ? "reference" : "aliased";
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void say_residual_structure(Logger& logger, const ResidualTerm& residual) {
    if (residual.weights.size() != 0) {
        logger.tee << "👉 Weights: column " << residual.weights_column << ", from " << residual.weights.minCoeff()
                   << " to " << residual.weights.maxCoeff() << " (a record's residual variance is V(e) / weight)"
                   << std::endl;
    }
    if (!residual.classes.empty()) {
        logger.tee << "👉 Residual by " << residual.by << ": " << residual.classes.size()
                   << " class(es), each its own residual variance" << std::endl;
    }
}

void save_prediction(const MixedModelFiles& files, const ResultTexts& set, const std::string& what) {
    write_result_set(set);
    const auto holds = [&](const std::string& name) {
        return std::any_of(set.begin(), set.end(), [&](const auto& file) { return file.first == name; });
    };
    std::cerr << "\n👏 Predicted " << what << " were saved in " << files.values << std::endl;
    if (holds(files.reliability)) {
        std::cerr << "👏 Their standard errors and reliabilities were saved in " << files.reliability << std::endl;
    }
    std::cerr << "👏 Variance components were saved in " << files.variances << std::endl;
}

void save_variances(const MixedModelFiles& files, const std::vector<ResultRow>& rows) {
    write_variance_file(rows, files.variances);
    std::cerr << "👏 Variance components were saved in " << files.variances << std::endl;
}

void check_error_variances(const Eigen::VectorXd& error_variances, const std::vector<std::string>& ids,
                           const std::string& values_name, const std::string& where, const std::string& trait,
                           const std::function<std::string(Eigen::Index)>& detail) {
    for (Eigen::Index i = 0; i < error_variances.size(); ++i) {
        if (std::isnan(error_variances[i])) {
            throw RunFailure("the kinship row of individual " + ids[static_cast<std::size_t>(i)] + where +
                             " is not that of a relationship matrix: its prediction error variance" + trait +
                             " falls below 0 beyond rounding" + (detail ? detail(i) : std::string()) +
                             ". Check the kinship file; " + values_name + " was not written.");
        }
    }
}

ResultRow likelihood_ratio_row(Logger& logger, const std::string& name, double full, std::optional<double> reduced) {
    if (!reduced) {
        logger.tee << name << "\tNA\tNA\tNA (REML without it did not converge)" << std::endl;
        return {"LRT(" + name + ")", std::nan(""), std::nan("")};
    }
    const double statistic = std::max(0.0, 2.0 * (full - *reduced));
    const double p_value = statistic > 0.0 ? 0.5 * std::erfc(std::sqrt(0.5 * statistic)) : 1.0;
    logger.tee << name << "\t" << *reduced << "\t" << statistic << "\t" << p_value << std::endl;
    return {"LRT(" + name + ")", statistic, p_value};
}

namespace {

// P(chi2(d) > x): the regularised upper incomplete gamma Q(d/2, x/2) in closed form, by its
// finite series for an integer or half-integer shape.
double chi_square_tail(double x, int d) {
    const double y = 0.5 * x;
    if (d % 2 == 0) {
        double term = 1.0, sum = 1.0;
        for (int i = 1; i < d / 2; ++i) {
            term *= y / i;
            sum += term;
        }
        return std::exp(-y) * sum;
    }
    // Q(k + 1/2, y) = erfc(sqrt(y)) + e^-y sum_{i<k} y^(i+1/2) / Gamma(i + 3/2).
    double sum = 0.0, term = std::sqrt(y) / std::tgamma(1.5);
    for (int i = 0; i < d / 2; ++i) {
        sum += term;
        term *= y / (i + 1.5);
    }
    return std::erfc(std::sqrt(y)) + std::exp(-y) * sum;
}

}  // namespace

ResultRow likelihood_ratio_row(Logger& logger, const std::string& name, double full, std::optional<double> reduced,
                               int removed) {
    if (!reduced) {
        logger.tee << name << "\tNA\tNA\tNA (REML without it did not converge)" << std::endl;
        return {"LRT(" + name + ")", std::nan(""), std::nan("")};
    }
    const double statistic = std::max(0.0, 2.0 * (full - *reduced));
    const double p_value = chi_square_tail(statistic, removed);
    logger.tee << name << "\t" << *reduced << "\t" << statistic << "\t" << p_value << " (chi2 with " << removed
               << " degrees of freedom for its " << removed
               << " parameters set to 0: conservative, as the variances lie on their boundary)" << std::endl;
    return {"LRT(" + name + ")", statistic, p_value};
}

void take_given_values(const RunOptions& options, Logger& logger, const std::vector<std::string>& names) {
    std::string order;
    for (const std::string& name : names) {
        order += (order.empty() ? "" : ", ") + name;
    }
    if (options.vc.size() != names.size()) {
        throw InputCheckFailure("--vc gives " + std::to_string(options.vc.size()) + " value(s) but the model has " +
                                std::to_string(names.size()) + " variance components: " + order +
                                ", in this order, the residual last.");
    }
    if (!(options.vc.back() > 0.0)) {
        throw InputCheckFailure("--vc: the residual variance, the last value, must be above 0.");
    }
    logger.tee << "👉 Variance components given by --vc (no REML):" << std::endl;
    for (std::size_t k = 0; k < names.size(); ++k) {
        logger.tee << "V(" << names[k] << ")\t" << options.vc[k] << std::endl;
    }
    note_estimation_options_unused(options, logger);
}

void take_given_components(const RunOptions& options, Logger& logger, const std::vector<std::string>& names,
                           const std::vector<bool>& covariance, std::size_t residuals) {
    take_given_values(options, logger, names);
    for (std::size_t k = 0; k < covariance.size() && k < options.vc.size(); ++k) {
        if (!covariance[k] && options.vc[k] < 0.0) {
            throw InputCheckFailure("Invalid argument for --vc - the variance " + number_text(options.vc[k]) +
                                    " is negative; variances are 0 or more.");
        }
    }
    for (std::size_t k = names.size() - residuals; k < options.vc.size(); ++k) {
        if (!(options.vc[k] > 0.0)) {
            throw InputCheckFailure("--vc: the residual variance " + names[k] + ", value " + std::to_string(k + 1) +
                                    ", must be above 0.");
        }
    }
}

std::vector<double> vc_start_values(const RunOptions& options, const std::vector<std::string>& names) {
    if (options.vc_start.empty()) {
        return {};
    }
    std::string order;
    for (const std::string& name : names) {
        order += (order.empty() ? "" : ", ") + name;
    }
    const auto number = [&](const std::string& text, const std::string& where) {
        const NumberField field = read_number_field(text);
        if (field.kind != NumberField::kNumber) {
            throw InputCheckFailure("--vc-start: " + where + " \"" + text + "\" is not a finite number.");
        }
        return field.value;
    };
    std::vector<double> values;
    std::ifstream file(options.vc_start);
    if (file.is_open()) {
        // A results file: its rows by name, whatever else it holds.
        std::unordered_map<std::string, std::string> estimates;
        std::string line;
        while (std::getline(file, line)) {
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            std::istringstream fields(line);
            std::string source, estimate;
            if (std::getline(fields, source, '\t') && std::getline(fields, estimate, '\t')) {
                estimates.emplace(source, estimate);
            }
        }
        for (const std::string& name : names) {
            const auto found = estimates.find(name);
            if (found == estimates.end()) {
                throw InputCheckFailure("--vc-start " + options.vc_start + ": the results file has no row " + name +
                                        "; the model's components are " + order + ".");
            }
            values.push_back(number(found->second, "row " + name + " of " + options.vc_start + ":"));
        }
        return values;
    }
    std::size_t start = 0;
    while (start <= options.vc_start.size()) {
        const std::size_t comma = std::min(options.vc_start.find(',', start), options.vc_start.size());
        values.push_back(number(options.vc_start.substr(start, comma - start), "value " + std::to_string(values.size() + 1)));
        start = comma + 1;
    }
    if (values.size() != names.size()) {
        throw InputCheckFailure("--vc-start gives " + std::to_string(values.size()) + " value(s) but the model has " +
                                std::to_string(names.size()) + " components: " + order +
                                ", in this order (or give a results file, PREFIX.vc.txt).");
    }
    return values;
}

void take_starting_values(const RunOptions& options, Logger& logger, AiRemlSettings& settings,
                          const std::function<double(std::size_t)>& units) {
    const std::vector<std::string> names = settings.names();
    const std::vector<double> values = vc_start_values(options, names);
    if (values.empty()) {
        return;
    }
    logger.tee << "👉 REML starts from --vc-start:";
    for (std::size_t k = 0; k < values.size(); ++k) {
        ModelParameter& parameter = settings.parameters[k];
        const double start = values[k] / units(k);
        if ((parameter.role == ParameterRole::variance && !(start >= 0.0)) ||
            (parameter.role == ParameterRole::residual && !(start > parameter.limit))) {
            std::ostringstream message;
            message << "--vc-start: " << names[k] << " = " << values[k] << " is ";
            if (parameter.role == ParameterRole::residual) {
                message << "at or below the residual's least value, " << parameter.limit * units(k) << ".";
            } else {
                message << "below 0.";
            }
            throw InputCheckFailure(message.str());
        }
        parameter.start = start;
        logger.tee << (k == 0 ? " " : ", ") << names[k] << " = " << values[k];
    }
    logger.tee << std::endl;
}
