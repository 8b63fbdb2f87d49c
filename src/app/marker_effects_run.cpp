// The marker effects of GBLUP: a = D Z' alpha from the genotypes of G, with where each window
// of markers explains the breeding values and a p per marker.

#include "app/marker_effects_run.h"

#include <chrono>
#include <cmath>
#include <sstream>
#include <unordered_map>

#include "app/genotype_checks.h"
#include "app/model_inputs.h"
#include "genomic/genomic.h"
#include "log/failures.h"
#include "log/logger.h"

namespace {

// A text kinship holds G to its decimals (4 when we write it), a binary one as floats: beyond
// this the file is not the G of the genotypes.
bool agrees(double file, double rebuilt) { return std::fabs(file - rebuilt) <= 6e-5 + 1e-6 * std::fabs(rebuilt); }

std::string number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

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
    const auto variances = [&](const Eigen::MatrixXd& B) {
        return inputs.record_variances(B(record_rows, Eigen::all));
    };
    const MarkerEffects effects = as_input_error([&] {
        return marker_effects(bed, options.kin_method, options.kin_lambda, alpha,
                              set_of[static_cast<std::size_t>(inputs.column_individual)], options.snp_window,
                              variances);
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
                (diagonal ? "its diagonal at " + id + " is " + number(inputs.diagonal[k])
                          : "its value at " + id + ", " + ids[static_cast<std::size_t>(inputs.column_individual)] +
                                " is " + number(inputs.column[k])) +
                " where the genotypes give " + number(diagonal ? effects.diagonal[s] : effects.row[s]) +
                ". Give the kinship built from these genotypes with the same --kin-method, --kin-lambda and filters.");
        }
    }
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
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    logger.tee << "👉 " << effects.markers_in_g << " of " << bed.marker_ids.size()
               << " markers in G have an effect (a marker G leaves out: NA); windows of " << options.snp_window
               << " markers; the kinship agrees with the genotypes' G on its diagonal and one column (" << seconds
               << " s)." << std::endl;
}
