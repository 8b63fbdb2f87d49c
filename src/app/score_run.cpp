// --score: the genomic values of animals genotyped after an evaluation, from its marker effects
// (PREFIX.snp.txt), without running it again.

#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app.h"
#include "app/model_inputs.h"
#include "files/number_field.h"
#include "genomic/genomic.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/result_files.h"

namespace {

// A scored new genotype set needs this share of the markers with an effect.
constexpr double kLeastMatchedShare = 0.9;

struct StoredEffect {
    std::string allele1, allele2;
    double frequency = 0.0, effect = 0.0;
};

double number_at(const std::string& text, const std::string& path, std::size_t line, const char* column) {
    const NumberField field = read_number_field(text);
    if (field.kind != NumberField::kNumber) {
        throw InputCheckFailure(path + ", line " + std::to_string(line) + ": the " + column + " \"" + text +
                                "\" is not a finite number.");
    }
    return field.value;
}

// The tab-separated cells of a line, a carriage return at its end dropped.
std::vector<std::string> tab_cells(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    return cells;
}

// The markers of a PREFIX.snp.txt with an effect, by ID; `with_effect` counts them.
std::unordered_map<std::string, StoredEffect> read_effects(const std::string& path, std::size_t& with_effect) {
    std::ifstream file(path);
    if (!file) {
        throw InputCheckFailure("--score: cannot open " + path + ".");
    }
    std::string line;
    std::getline(file, line);
    const std::vector<std::string> header = tab_cells(line);
    std::unordered_map<std::string, std::size_t> column;
    for (std::size_t c = 0; c < header.size(); ++c) column.emplace(header[c], c);
    for (const char* name : {"SNP", "A1", "A2", "Freq_A1", "Effect"}) {
        if (column.count(name) == 0) {
            throw InputCheckFailure("--score: " + path + " has no column " + name +
                                    " in its header; give the PREFIX.snp.txt of a run with --snp-effects.");
        }
    }
    std::unordered_map<std::string, StoredEffect> effects;
    with_effect = 0;
    for (std::size_t number = 2; std::getline(file, line); ++number) {
        const std::vector<std::string> cells = tab_cells(line);
        if (cells.empty()) continue;
        if (cells.size() < header.size()) {
            throw InputCheckFailure(path + ", line " + std::to_string(number) + " has " + std::to_string(cells.size()) +
                                    " fields where the header has " + std::to_string(header.size()) + ".");
        }
        const std::string& effect = cells[column["Effect"]];
        const std::string& id = cells[column["SNP"]];
        if (effect == "NA") continue;
        StoredEffect stored{cells[column["A1"]], cells[column["A2"]],
                            number_at(cells[column["Freq_A1"]], path, number, "Freq_A1"),
                            number_at(effect, path, number, "Effect")};
        if (!effects.emplace(id, stored).second) {
            throw InputCheckFailure(path + ", line " + std::to_string(number) + ": the marker " + id +
                                    " is listed twice.");
        }
        ++with_effect;
    }
    if (with_effect == 0) {
        throw InputCheckFailure("--score: " + path + " holds no marker with an effect.");
    }
    return effects;
}

}  // namespace

int run_score(const RunOptions& options, Logger& logger) {
    try {
        logger.tee << "👉 Scoring the genotypes of " << options.bed_prefix << " with the marker effects of "
                   << options.score_file << std::endl;
        std::size_t with_effect = 0;
        const std::unordered_map<std::string, StoredEffect> stored = read_effects(options.score_file, with_effect);
        const BedSet bed = as_input_error([&] { return read_bed(options.bed_prefix, true, console_lines()); });
        const MarkerDetails details = as_input_error([&] { return read_marker_details(bed); });
        const auto m = static_cast<Eigen::Index>(bed.marker_ids.size());
        Eigen::VectorXd effects = Eigen::VectorXd::Constant(m, std::nan("")), centres = effects;
        std::size_t counts[6] = {};
        std::unordered_map<std::string, bool> seen;
        std::size_t matched = 0;
        for (Eigen::Index j = 0; j < m; ++j) {
            const std::string& id = bed.marker_ids[static_cast<std::size_t>(j)];
            const auto found = stored.find(id);
            if (found == stored.end() || !seen.emplace(id, true).second) continue;
            const StoredEffect& effect = found->second;
            const AlleleMatch match = match_alleles(details.allele1[static_cast<std::size_t>(j)],
                                                    details.allele2[static_cast<std::size_t>(j)], effect.allele1,
                                                    effect.allele2);
            ++counts[static_cast<int>(match)];
            if (match == AlleleMatch::palindromic || match == AlleleMatch::other) continue;
            // Counting the other allele: (2 - x - 2p) a = (x - (2 - 2p)) (-a).
            const bool swapped = match == AlleleMatch::swapped || match == AlleleMatch::strand_swapped;
            effects[j] = swapped ? -effect.effect : effect.effect;
            centres[j] = swapped ? 2.0 - 2.0 * effect.frequency : 2.0 * effect.frequency;
            ++matched;
        }
        std::ostringstream summary;
        summary << matched << " of the " << with_effect << " markers with an effect matched ("
                << counts[static_cast<int>(AlleleMatch::swapped)] + counts[static_cast<int>(AlleleMatch::strand_swapped)]
                << " with A1 and A2 swapped, "
                << counts[static_cast<int>(AlleleMatch::strand)] + counts[static_cast<int>(AlleleMatch::strand_swapped)]
                << " on the other strand; unmatched: " << counts[static_cast<int>(AlleleMatch::palindromic)]
                << " A/T or C/G whose strand cannot be told, " << counts[static_cast<int>(AlleleMatch::other)]
                << " with other alleles, " << with_effect - seen.size() << " not in " << bed.bim_path << ")";
        if (static_cast<double>(matched) < kLeastMatchedShare * static_cast<double>(with_effect)) {
            throw InputCheckFailure("--score: only " + summary.str() +
                                    ": fewer than 90 %, so the scores would miss much of the effects. Check that the "
                                    "genotypes are of the same chip and build as the evaluation's.");
        }
        logger.tee << "👉 " << summary.str() << std::endl;
        GenomicScores scores = genomic_scores(bed, effects, centres);
        if (options.score_offset != 0.0) {
            scores.values.array() += options.score_offset;
            logger.tee << "👉 --score-offset: " << options.score_offset << " added to every score" << std::endl;
        }
        std::ostringstream text;
        text << "ID\tValue\tMarkers_used\n";
        for (std::size_t i = 0; i < bed.individual_ids.size(); ++i) {
            text << bed.individual_ids[i] << "\t";
            write_exact_cell(text, scores.values[static_cast<Eigen::Index>(i)]);
            text << "\t" << scores.used[i] << "\n";
        }
        const std::string name = options.out_prefix + ".score.txt";
        write_result_set({{name, text.str()}});
        logger.tee << "👉 " << bed.individual_ids.size() << " individuals scored, mean value "
                   << scores.values.mean() << std::endl;
        std::cerr << "👏 Genomic values were saved in " << name << std::endl;
        return 0;
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
}
