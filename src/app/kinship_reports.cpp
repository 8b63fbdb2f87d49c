#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app.h"
#include "app/genotype_checks.h"
#include "files/pending_file.h"
#include "log/logger.h"
#include "plots/plots.h"

namespace {

// Pairs above this genomic correlation are listed as duplicates (or identical twins).
constexpr double kDuplicateCorrelation = 0.95;
// Below this correlation of the off-diagonal elements, G and A22 disagree more than sound IDs and
// pedigrees let them.
constexpr double kLowAgreement = 0.5;

std::string number_or_na(double value) {
    if (std::isnan(value)) {
        return "NA";
    }
    std::ostringstream text;
    text << value;
    return text.str();
}

// Three significant digits, for the labels of the pictures.
std::string short_number(double value) {
    std::ostringstream text;
    text.precision(3);
    text << value;
    return text.str();
}

}  // namespace

void find_duplicates(const Eigen::Ref<const Eigen::MatrixXd>& block, Eigen::Index first_row, Eigen::Index first_col,
                     const Eigen::VectorXd& diagonal, std::vector<DuplicatePair>& found) {
    std::vector<std::vector<DuplicatePair>> per_thread(static_cast<std::size_t>(omp_get_max_threads()));
#pragma omp parallel for schedule(dynamic, 16)
    for (Eigen::Index c = 0; c < block.cols(); ++c) {
        std::vector<DuplicatePair>& mine = per_thread[static_cast<std::size_t>(omp_get_thread_num())];
        const Eigen::Index col = first_col + c;
        for (Eigen::Index r = std::max<Eigen::Index>(0, col + 1 - first_row); r < block.rows(); ++r) {
            const Eigen::Index row = first_row + r;
            const double product = diagonal[row] * diagonal[col];
            if (product > 0.0) {
                const double correlation = block(r, c) / std::sqrt(product);
                if (correlation > kDuplicateCorrelation) {
                    mine.push_back({col, row, block(r, c), correlation});
                }
            }
        }
    }
    for (const auto& part : per_thread) {
        found.insert(found.end(), part.begin(), part.end());
    }
}

void report_whole_g(std::vector<DuplicatePair> pairs, const Eigen::VectorXd& diagonal,
                    const std::vector<std::string>& ids, const RunOptions& options, Logger& logger) {
    // The closest pairs first; equal ones in matrix order, whatever the threads or ranks found first.
    std::sort(pairs.begin(), pairs.end(), [](const DuplicatePair& a, const DuplicatePair& b) {
        if (a.correlation != b.correlation) {
            return a.correlation > b.correlation;
        }
        return std::make_pair(a.first, a.second) < std::make_pair(b.first, b.second);
    });
    const std::string path = options.out_prefix + ".duplicates.txt";
    std::ostringstream text;
    text << "ID1\tID2\tG12\tG11\tG22\tCorrelation\n";
    for (const DuplicatePair& pair : pairs) {
        text << ids[static_cast<std::size_t>(pair.first)] << '\t' << ids[static_cast<std::size_t>(pair.second)] << '\t'
             << pair.relationship << '\t' << diagonal[pair.first] << '\t' << diagonal[pair.second] << '\t'
             << pair.correlation << '\n';
    }
    write_pending_text(path, text.str());
    if (pairs.empty()) {
        logger.tee << "👉 Duplicates: no pair of individuals has a genomic correlation above " << kDuplicateCorrelation
                   << " (" << path << ")." << std::endl;
    } else {
        std::string first;
        for (std::size_t k = 0; k < std::min(kNamedInLog, pairs.size()); ++k) {
            first += (first.empty() ? "" : ", ") + ids[static_cast<std::size_t>(pairs[k].first)] + " and " +
                     ids[static_cast<std::size_t>(pairs[k].second)] + " (" + short_number(pairs[k].correlation) + ")";
        }
        logger.tee << "⚠️ Warning: " << pairs.size() << " pair(s) of individuals have a genomic correlation "
                   << "G_ij / sqrt(G_ii G_jj) above " << kDuplicateCorrelation
                   << ", as duplicated samples and identical twins do (first: " << first
                   << (pairs.size() > kNamedInLog ? ", ..." : "") << "); " << path << " lists them." << std::endl;
    }

    const std::vector<double> values(diagonal.data(), diagonal.data() + diagonal.size());
    const double mean = diagonal.mean();
    std::ostringstream subtitle;
    subtitle << diagonal.size() << " individuals; mean " << short_number(mean) << ", range "
             << short_number(diagonal.minCoeff()) << " to " << short_number(diagonal.maxCoeff());
    const std::string picture = options.out_prefix + ".gdiag.svg";
    write_pending_text(picture, histogram_svg(values,
                                              {"Diagonal of the genomic relationship matrix G", subtitle.str(),
                                               "G_ii = 1 + F (genomic self-relationship, no unit)",
                                               "Number of individuals"},
                                              40, {{mean, "mean " + short_number(mean)}, {1.0, "1 (not inbred)"}}));
    logger.tee << "👏 Histogram of G's diagonal written to " << picture << std::endl;
}

Eigen::VectorXd report_whole_g(const Eigen::MatrixXd& G, const std::vector<std::string>& ids,
                               const RunOptions& options, Logger& logger) {
    std::vector<DuplicatePair> pairs;
    Eigen::VectorXd diagonal = G.diagonal();
    find_duplicates(G, 0, 0, diagonal, pairs);
    report_whole_g(std::move(pairs), diagonal, ids, options, logger);
    return diagonal;
}

void report_g_against_a22(const GvsA22Report& report, const RunOptions& options, Logger& logger) {
    const std::string path = options.out_prefix + ".gvsa22.txt";
    const KinshipAgreement& raw = report.raw;
    const KinshipAgreement& entering = report.entering;
    std::ostringstream text;
    text << "Statistic\tG\tG_in_H\n";
    const auto row = [&](const char* name, double a, double b) {
        text << name << '\t' << number_or_na(a) << '\t' << number_or_na(b) << '\n';
    };
    row("Individuals", static_cast<double>(raw.individuals), static_cast<double>(entering.individuals));
    row("Mean_diagonal_G", raw.mean_diagonal_G, entering.mean_diagonal_G);
    row("Mean_offdiagonal_G", raw.mean_offdiagonal_G, entering.mean_offdiagonal_G);
    row("Mean_diagonal_A22", raw.mean_diagonal_A, entering.mean_diagonal_A);
    row("Mean_offdiagonal_A22", raw.mean_offdiagonal_A, entering.mean_offdiagonal_A);
    row("Correlation_diagonal", raw.correlation_diagonal, entering.correlation_diagonal);
    row("Correlation_offdiagonal", raw.correlation_offdiagonal, entering.correlation_offdiagonal);
    row("Correlation_all", raw.correlation_all, entering.correlation_all);
    row("Regression_slope", raw.slope, entering.slope);
    row("Regression_intercept", raw.intercept, entering.intercept);
    row("Tuning_a", 0.0, report.tuning.intercept);
    row("Tuning_b", 1.0, report.tuning.slope);
    row("Alpha", 1.0, report.adjustment.alpha);
    row("Beta", 0.0, report.adjustment.beta);
    write_pending_text(path, text.str());
    logger.tee << "👉 G against A22 for the " << raw.individuals << " genotyped individuals: correlation "
               << number_or_na(raw.correlation_offdiagonal) << " (off-diagonal), " << number_or_na(raw.correlation_diagonal)
               << " (diagonal), " << number_or_na(raw.correlation_all) << " (all); regression of G on A22: slope "
               << number_or_na(raw.slope) << ", intercept " << number_or_na(raw.intercept) << " (" << path << ")."
               << std::endl;
    if (report.adjustment.changes_g()) {
        logger.tee << "👉 G entering H: ";
        if (report.adjustment.tune) {
            logger.tee << "tuned to A22 (--kin-tune: G = a + b G with a = " << report.tuning.intercept
                       << ", b = " << report.tuning.slope << "), then ";
        }
        logger.tee << "blended " << report.adjustment.alpha << " G + " << report.adjustment.beta
                   << " A22 (--kin-alpha, --kin-beta): mean diagonal " << number_or_na(entering.mean_diagonal_G)
                   << ", mean off-diagonal " << number_or_na(entering.mean_offdiagonal_G) << "." << std::endl;
    }
    if (raw.correlation_offdiagonal < kLowAgreement) {
        logger.tee << "⚠️ Warning: the off-diagonal elements of G and A22 correlate at only "
                   << number_or_na(raw.correlation_offdiagonal) << " (below " << kLowAgreement
                   << "): a sign of wrong IDs or pedigree errors. Check the parentage report and "
                   << options.out_prefix << ".gvsa22.svg." << std::endl;
    }

    // A correlation needs two values: with fewer, the picture says what is missing instead of "nan".
    const auto correlation_text = [](double value) {
        return std::isfinite(value) ? short_number(value) : std::string("none (too few values to correlate)");
    };
    std::ostringstream subtitle;
    subtitle << raw.individuals << " genotyped individuals; correlation of the off-diagonal elements "
             << correlation_text(raw.correlation_offdiagonal) << ", of the diagonals "
             << correlation_text(raw.correlation_diagonal);
    const std::size_t all_pairs =
        raw.individuals < 2 ? 0 : static_cast<std::size_t>(raw.individuals) * static_cast<std::size_t>(raw.individuals - 1) / 2;
    const std::string pairs_label =
        all_pairs == 0 ? "no pairs to plot (fewer than 2 genotyped individuals)"
        : report.offdiagonal_A.size() < all_pairs
            ? "pairs (" + std::to_string(report.offdiagonal_A.size()) + " of " + std::to_string(all_pairs) + ", evenly sampled)"
            : "pairs (all " + std::to_string(all_pairs) + ")";
    const std::string picture = options.out_prefix + ".gvsa22.svg";
    write_pending_text(
        picture,
        scatter_svg({{report.offdiagonal_A, report.offdiagonal_G, pairs_label, "#4c78a8", 2.2},
                     {report.diagonal_A, report.diagonal_G, "diagonals: an individual with itself", "#f58518", 3.0}},
                    std::isfinite(raw.slope) && std::isfinite(raw.intercept)
                        ? std::vector<FittedLine>{{raw.intercept, raw.slope,
                                                   "regression G = " + short_number(raw.intercept) + " + " +
                                                       short_number(raw.slope) + " A22"}}
                        : std::vector<FittedLine>{},
                    {"Genomic (G) against pedigree (A22) relationships", subtitle.str(),
                     "A22: pedigree relationship (no unit)", "G: genomic relationship (no unit)"}));
    logger.tee << "👏 Picture of G against A22 written to " << picture << std::endl;
}

void write_inbreeding_file(const Pedigree& pedigree, const std::vector<std::string>& genotyped_ids,
                           const Eigen::VectorXd& genomic_diagonal, const RunOptions& options, Logger& logger) {
    const std::vector<double> inbreeding = pedigree_inbreeding(pedigree);
    std::unordered_map<std::string, Eigen::Index> genotyped;
    for (std::size_t k = 0; k < genotyped_ids.size() && static_cast<Eigen::Index>(k) < genomic_diagonal.size(); ++k) {
        genotyped.emplace(genotyped_ids[k], static_cast<Eigen::Index>(k));
    }
    std::ostringstream text;
    text << "ID\tF_pedigree\tF_genomic\n";
    double sum_pedigree = 0.0;
    double sum_genomic = 0.0;
    std::size_t n_genomic = 0;
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        text << pedigree.ids[i] << '\t' << inbreeding[i] << '\t';
        sum_pedigree += inbreeding[i];
        const auto found = genotyped.find(pedigree.ids[i]);
        if (found == genotyped.end()) {
            text << "NA\n";
        } else {
            const double genomic = genomic_diagonal[found->second] - 1.0;
            text << genomic << '\n';
            sum_genomic += genomic;
            ++n_genomic;
        }
    }
    const std::string path = options.out_prefix + ".inbreeding.txt";
    write_pending_text(path, text.str());
    logger.tee << "👏 Inbreeding coefficients written to " << path << " (mean F from the pedigree "
               << number_or_na(pedigree.ids.empty() ? 0.0 : sum_pedigree / static_cast<double>(pedigree.ids.size()));
    if (n_genomic > 0) {
        logger.tee << "; from G, G_ii - 1, mean " << number_or_na(sum_genomic / static_cast<double>(n_genomic))
                   << " over the " << n_genomic << " genotyped";
    }
    logger.tee << ")." << std::endl;
}
