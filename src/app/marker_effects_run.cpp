// The marker effects behind a genomic prediction (GBLUP, or single-step by iteration): a = D Z'
// alpha from the genotypes of G, with where each window of markers explains the breeding values
// and, on GBLUP, a p per marker.

#include "app/marker_effects_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <unordered_map>

#include "app/genotype_checks.h"
#include "app/model_inputs.h"
#include "files/number_field.h"
#include "genomic/genomic.h"
#include "log/failures.h"
#include "log/logger.h"
#include "plots/plots.h"

namespace {

// A text kinship holds G to its decimals (4 when we write it), a binary one as floats: beyond
// this the file is not the G of the genotypes.
bool agrees(double file, double rebuilt) { return std::fabs(file - rebuilt) <= 6e-5 + 1e-6 * std::fabs(rebuilt); }

// At most this many markers drawn; the top 1 % of the window shares always are.
constexpr std::size_t kMostDrawnMarkers = 10000;

// PREFIX.manhattan.svg: each marker's window share (%) at its position, chromosome by chromosome.
std::string window_share_picture(const BedSet& bed, const MarkerDetails& details, const MarkerEffects& effects,
                                 int window) {
    std::vector<std::string> chromosomes;
    std::unordered_map<std::string, std::size_t> chromosome_of;
    std::vector<GenomePoint> points;
    std::size_t best = 0;  // the marker of the largest share
    for (std::size_t j = 0; j < bed.marker_ids.size(); ++j) {
        const double share = effects.window_shares[static_cast<Eigen::Index>(j)];
        if (!std::isfinite(share)) continue;
        const auto [place, added] = chromosome_of.emplace(bed.marker_chromosomes[j], chromosomes.size());
        if (added) chromosomes.push_back(bed.marker_chromosomes[j]);
        // A position that is not a number leaves the marker at its place in the .bim.
        const NumberField position = read_number_field(details.positions[j]);
        points.push_back({place->second, position.kind == NumberField::kNumber ? position.value : static_cast<double>(j),
                          100.0 * share});
        if (!(share <= effects.window_shares[static_cast<Eigen::Index>(best)])) best = j;
    }
    std::string subtitle = "all " + std::to_string(points.size()) + " markers with an effect";
    std::ostringstream top_label;
    top_label << "largest: " << 100.0 * effects.window_shares[static_cast<Eigen::Index>(best)] << " % ("
              << bed.marker_ids[best] << ")";
    if (points.size() > kMostDrawnMarkers) {
        std::vector<double> values;
        for (const GenomePoint& point : points) values.push_back(point.value);
        const std::size_t top_count = (points.size() + 99) / 100;
        std::nth_element(values.begin(), values.end() - static_cast<std::ptrdiff_t>(top_count), values.end());
        const double threshold = values[values.size() - top_count];
        // The others evenly: the b-th of them is kept when (b + 1) keep / others passes a whole number.
        const std::size_t keep = kMostDrawnMarkers - top_count, others = points.size() - top_count;
        std::vector<GenomePoint> thinned;
        std::size_t below = 0;
        for (const GenomePoint& point : points) {
            if (point.value >= threshold) {
                thinned.push_back(point);
                continue;
            }
            if ((below + 1) * keep / others > below * keep / others) thinned.push_back(point);
            ++below;
        }
        subtitle = std::to_string(thinned.size()) + " of " + std::to_string(points.size()) +
                   " markers: the top 1 % and an even thinning of the others";
        points = std::move(thinned);
    }
    return manhattan_svg(chromosomes, points,
                         {"Window shares of the breeding values' variance (" + std::to_string(window) +
                              " markers a window)",
                          subtitle, "Chromosome (markers at their base-pair positions)",
                          "Window share of var(Z a) (%)"},
                         top_label.str());
}

using ColumnVariances = std::function<Eigen::VectorXd(const Eigen::MatrixXd&)>;

// `variances` of the rows `rows` of each block of centred genotypes, their time added to
// `seconds`: the share of P in the time the log gives.
ColumnVariances timed_variances(const ColumnVariances& variances, const std::vector<Eigen::Index>& rows,
                                double& seconds) {
    return [&variances, &rows, &seconds](const Eigen::MatrixXd& B) {
        const auto start = std::chrono::steady_clock::now();
        Eigen::VectorXd result = variances(B(rows, Eigen::all));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result;
    };
}

// PREFIX.snp.txt and PREFIX.manhattan.svg of the effects.
void add_effect_files(const RunOptions& options, const BedSet& bed, const MarkerEffects& effects,
                      ResultTexts& results);

}  // namespace

void add_marker_effects(const RunOptions& options, Logger& logger, const MarkerEffectInputs& inputs,
                        ResultTexts& results) {
    logger.tee << "\n👉 SNP effects from the genotypes of " << options.bed_prefix << " (method "
               << options.kin_method << ")" << std::endl;
    FilteredGenotypes genotypes = as_input_error([&] { return read_filtered_genotypes(options, logger); });
    const BedSet& bed = genotypes.bed;
    const std::vector<std::string>& ids = *inputs.kinship_ids;
    // The kinship's individuals are the genotypes' (after the filters), in any order.
    std::unordered_map<std::string, Eigen::Index> in_kinship;
    for (std::size_t i = 0; i < ids.size(); ++i) in_kinship.emplace(ids[i], static_cast<Eigen::Index>(i));
    const auto n = static_cast<Eigen::Index>(bed.individual_ids.size());
    std::vector<Eigen::Index> kinship_of(static_cast<std::size_t>(n));
    for (Eigen::Index s = 0; s < n; ++s) {
        const auto found = in_kinship.find(bed.individual_ids[static_cast<std::size_t>(s)]);
        if (found == in_kinship.end()) {
            throw InputCheckFailure("--snp-effects: " + bed.individual_ids[static_cast<std::size_t>(s)] + " of " +
                                    bed.fam_path + " is not in " + options.kin_file +
                                    "; the kinship must be the G of the genotypes (after the same filters).");
        }
        kinship_of[static_cast<std::size_t>(s)] = found->second;
    }
    if (static_cast<std::size_t>(n) != ids.size()) {
        throw InputCheckFailure("--snp-effects: " + options.kin_file + " holds " + std::to_string(ids.size()) +
                                " individuals and the genotypes " + std::to_string(n) +
                                " (after the filters); the kinship must be the G of these genotypes.");
    }
    std::vector<Eigen::Index> set_of(ids.size());
    for (Eigen::Index s = 0; s < n; ++s) set_of[static_cast<std::size_t>(kinship_of[static_cast<std::size_t>(s)])] = s;
    Eigen::VectorXd alpha(n);
    for (Eigen::Index s = 0; s < n; ++s) alpha[s] = inputs.alpha[kinship_of[static_cast<std::size_t>(s)]];
    std::vector<Eigen::Index> record_rows;  // set row of each record's individual
    for (const Eigen::Index k : inputs.record_individuals) record_rows.push_back(set_of[static_cast<std::size_t>(k)]);

    const auto start = std::chrono::steady_clock::now();
    double p_seconds = 0.0;
    const MarkerEffects effects = as_input_error([&] {
        return marker_effects(bed, options.kin_method, options.kin_lambda, alpha,
                              set_of[static_cast<std::size_t>(inputs.column_individual)], options.snp_window,
                              timed_variances(inputs.record_variances, record_rows, p_seconds));
    });
    // The kinship given must be the G these effects stand behind.
    for (Eigen::Index s = 0; s < n; ++s) {
        const Eigen::Index k = kinship_of[static_cast<std::size_t>(s)];
        const std::string& id = bed.individual_ids[static_cast<std::size_t>(s)];
        if (!agrees(inputs.diagonal[k], effects.diagonal[s]) || !agrees(inputs.column[k], effects.row[s])) {
            const bool diagonal = !agrees(inputs.diagonal[k], effects.diagonal[s]);
            throw InputCheckFailure(
                "--snp-effects: " + options.kin_file + " is not the G of " + options.bed_prefix + " by --kin-method " +
                std::to_string(options.kin_method) + ": " +
                (diagonal ? "its diagonal at " + id + " is " + number_text(inputs.diagonal[k])
                          : "its value at " + id + ", " + ids[static_cast<std::size_t>(inputs.column_individual)] +
                                " is " + number_text(inputs.column[k])) +
                " where the genotypes give " + number_text(diagonal ? effects.diagonal[s] : effects.row[s]) +
                ". Give the kinship built from these genotypes with the same --kin-method, --kin-lambda and filters.");
        }
    }
    add_effect_files(options, bed, effects, results);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    logger.tee << "👉 " << effects.markers_in_g << " of " << bed.marker_ids.size()
               << " markers in G have an effect (a marker G leaves out: NA); windows of " << options.snp_window
               << " markers; the kinship agrees with the genotypes' G on its diagonal and one column (" << seconds
               << " s, of which P " << p_seconds << " s)." << std::endl;
}

void add_single_step_marker_effects(const RunOptions& options, Logger& logger, const std::vector<std::string>& ids,
                                    const Eigen::VectorXd& values, const Eigen::VectorXd& alpha,
                                    const std::function<Eigen::VectorXd(const Eigen::MatrixXd&)>& block_variances,
                                    const std::string& no_p_reason, ResultTexts& results) {
    logger.tee << "\n👉 SNP effects from the genotypes of " << options.bed_prefix << " (method "
               << options.kin_method << "), behind the " << ids.size() << " genotyped animals' values" << std::endl;
    const auto start = std::chrono::steady_clock::now();
    FilteredGenotypes genotypes = as_input_error([&] { return read_filtered_genotypes(options, logger); });
    const BedSet& bed = genotypes.bed;
    // Genotyped animals outside the pedigree are not in H: they weigh nothing.
    std::unordered_map<std::string, Eigen::Index> in_block;
    for (std::size_t k = 0; k < ids.size(); ++k) in_block.emplace(ids[k], static_cast<Eigen::Index>(k));
    const auto n = static_cast<Eigen::Index>(bed.individual_ids.size());
    Eigen::VectorXd set_alpha = Eigen::VectorXd::Zero(n);
    std::vector<Eigen::Index> block_of(static_cast<std::size_t>(n), -1);
    for (Eigen::Index s = 0; s < n; ++s) {
        const auto found = in_block.find(bed.individual_ids[static_cast<std::size_t>(s)]);
        if (found == in_block.end()) continue;
        set_alpha[s] = alpha[found->second];
        block_of[static_cast<std::size_t>(s)] = found->second;
    }
    std::vector<Eigen::Index> set_rows(ids.size(), -1);  // the set row of each animal of the block
    for (Eigen::Index s = 0; s < n; ++s) {
        const Eigen::Index k = block_of[static_cast<std::size_t>(s)];
        if (k >= 0) set_rows[static_cast<std::size_t>(k)] = s;
    }
    const bool with_p = block_variances && std::find(set_rows.begin(), set_rows.end(), -1) == set_rows.end();
    double p_seconds = 0.0;
    const MarkerEffects effects = as_input_error([&] {
        return marker_effects(bed, options.kin_method, options.kin_lambda, set_alpha, 0, options.snp_window,
                              with_p ? timed_variances(block_variances, set_rows, p_seconds) : nullptr);
    });
    add_effect_files(options, bed, effects, results);
    // How far Z a stands from u2 over the genotyped animals of the block.
    std::vector<double> from_effects, genotyped_values;
    for (Eigen::Index s = 0; s < n; ++s) {
        const Eigen::Index k = block_of[static_cast<std::size_t>(s)];
        if (k < 0) continue;
        from_effects.push_back(effects.genomic_values[s]);
        genotyped_values.push_back(values[k]);
    }
    const Eigen::Map<const Eigen::VectorXd> x(from_effects.data(), static_cast<Eigen::Index>(from_effects.size()));
    const Eigen::Map<const Eigen::VectorXd> y(genotyped_values.data(), static_cast<Eigen::Index>(genotyped_values.size()));
    const Eigen::ArrayXd dx = x.array() - x.mean(), dy = y.array() - y.mean();
    const double correlation = (dx * dy).sum() / std::sqrt(dx.square().sum() * dy.square().sum());
    const double slope = (dx * dy).sum() / dx.square().sum();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    logger.tee << "👉 " << effects.markers_in_g << " of " << bed.marker_ids.size()
               << " markers in G have an effect; windows of " << options.snp_window << " markers (" << seconds
               << " s, of which P " << p_seconds << " s)." << std::endl
               << "👉 single-step: Z a = G (G + 0.0001 I)^-1 u2, close to the genotyped animals' values u2 but not "
                  "equal to them: correlation "
               << correlation << ", regression of u2 on Z a " << slope << "; u2 lies " << y.mean() - x.mean()
               << " above Z a on average (their level: --score-offset " << y.mean() - x.mean()
               << " puts scores on the scale of the breeding values)." << std::endl;
    if (with_p) {
        logger.tee << "👉 P from Var(a) = D Z' Gw^-1 (sa2 Gw - C22) Gw^-1 Z D, C22 the genotyped animals' "
                      "approximate prediction error variances (those of the reliability file)."
                   << std::endl;
    } else {
        logger.tee << "👉 P is NA: it takes the genotyped animals' approximate prediction error variances, which "
                      "this run has not ("
                   << no_p_reason << ")." << std::endl;
    }
}

namespace {

void add_effect_files(const RunOptions& options, const BedSet& bed, const MarkerEffects& effects,
                      ResultTexts& results) {
    const MarkerDetails details = as_input_error([&] { return read_marker_details(bed); });
    std::ostringstream text;
    text << "SNP\tChr\tPos\tA1\tA2\tFreq_A1\tEffect\tWindow_share\tP\n";
    for (std::size_t j = 0; j < bed.marker_ids.size(); ++j) {
        const auto k = static_cast<Eigen::Index>(j);
        text << bed.marker_ids[j] << "\t" << bed.marker_chromosomes[j] << "\t" << details.positions[j] << "\t"
             << details.allele1[j] << "\t" << details.allele2[j] << "\t";
        write_exact_cell(text, effects.frequencies[k]);
        text << "\t";
        write_exact_cell(text, effects.effects[k]);
        text << "\t";
        write_exact_cell(text, effects.window_shares[k]);
        text << "\t";
        write_exact_cell(text, effects.p_values[k]);
        text << "\n";
    }
    const std::string name = options.out_prefix + ".snp.txt";
    results.push_back({name, text.str()});
    results.push_back({options.out_prefix + ".manhattan.svg",
                       window_share_picture(bed, details, effects, options.snp_window)});
}

}  // namespace
