#include "app/genotype_checks.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "files/pending_file.h"
#include "log/logger.h"

namespace {

// How many IDs or pairs a log line names before "...".

std::string limit_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// What a filter was given: its file, list or limit, as written in PREFIX.removed.txt.
std::string filter_argument(GenotypeFilter filter, const RunOptions& options) {
    switch (filter) {
    case GenotypeFilter::keep:
        return options.keep_file;
    case GenotypeFilter::remove:
        return options.remove_file;
    case GenotypeFilter::chr:
        return options.chromosomes;
    case GenotypeFilter::extract:
        return options.extract_file;
    case GenotypeFilter::exclude:
        return options.exclude_file;
    case GenotypeFilter::mind:
        return limit_text(options.mind);
    case GenotypeFilter::geno:
        return limit_text(options.geno);
    case GenotypeFilter::hwe:
        return limit_text(options.hwe);
    case GenotypeFilter::maf:
        return limit_text(options.maf);
    }
    return "";
}

bool filter_given(GenotypeFilter filter, const RunOptions& options) {
    switch (filter) {
    case GenotypeFilter::mind:
        return options.mind >= 0.0;
    case GenotypeFilter::geno:
        return options.geno >= 0.0;
    case GenotypeFilter::hwe:
        return options.hwe >= 0.0;
    case GenotypeFilter::maf:
        return options.maf >= 0.0;
    default:
        return !filter_argument(filter, options).empty();
    }
}

// "👉 --mind 0.1 removed 3 individuals (more than 10% of their calls missing)."
void log_filter_line(GenotypeFilter filter, const FilterReport& report, const RunOptions& options, Logger& logger) {
    const std::int64_t count = report.counts[static_cast<std::size_t>(filter)];
    const bool markers = filters_markers(filter);
    logger.tee << "👉 " << genotype_filter_option(filter) << " " << filter_argument(filter, options) << " removed "
               << count << (markers ? " marker" : " individual") << (count == 1 ? "" : "s");
    switch (filter) {
    case GenotypeFilter::mind:
    case GenotypeFilter::geno:
        logger.tee << " (more than " << 100.0 * (filter == GenotypeFilter::mind ? options.mind : options.geno)
                   << "% of " << (markers ? "its" : "their") << " calls missing)";
        break;
    case GenotypeFilter::hwe:
        logger.tee << " (Hardy-Weinberg exact test p below " << options.hwe << ")";
        break;
    case GenotypeFilter::maf:
        logger.tee << " (minor allele frequency below " << options.maf << ")";
        break;
    default:
        break;
    }
    logger.tee << ".\n";
    const std::size_t index = static_cast<std::size_t>(filter);
    if (report.unmatched_counts[index] > 0) {
        std::string first;
        for (const std::string& id : report.unmatched_first[index]) {
            first += (first.empty() ? "" : ", ") + id;
        }
        logger.tee << "⚠️ Warning: " << report.unmatched_counts[index] << " ID(s) of "
                   << filter_argument(filter, options) << " (" << genotype_filter_option(filter)
                   << ") match no " << (markers ? "marker" : "individual") << " of the genotype files (first: " << first
                   << (report.unmatched_counts[index] > static_cast<std::int64_t>(kNamedInLog) ? ", ..." : "")
                   << ").\n";
    }
}

// PREFIX.removed.txt: the individuals, then the markers, each filter's in the order it ran.
void write_removed_file(const std::string& path, FilterReport report, const RunOptions& options) {
    std::stable_sort(report.removed.begin(), report.removed.end(), [](const RemovedItem& a, const RemovedItem& b) {
        return std::make_pair(a.marker, static_cast<int>(a.filter)) < std::make_pair(b.marker, static_cast<int>(b.filter));
    });
    std::ostringstream text;
    text << "Kind\tID\tFilter\tValue\tLimit\n";
    for (const RemovedItem& item : report.removed) {
        text << (item.marker ? "marker" : "individual") << '\t' << item.id << '\t'
             << genotype_filter_option(item.filter) << '\t';
        if (std::isnan(item.value)) {
            text << "NA";
        } else {
            text << item.value;
        }
        text << '\t' << filter_argument(item.filter, options) << '\n';
    }
    write_pending_text(path, text.str());
}

std::string first_names(const std::vector<std::string>& names, std::size_t total) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text + (total > names.size() ? ", ..." : "");
}

}  // namespace

FilteredGenotypes read_filtered_genotypes(const RunOptions& options, Logger& logger) {
    FilteredGenotypes genotypes;
    genotypes.bed = read_bed(options.bed_prefix, true, console_lines());
    for (int f = 0; f < kGenotypeFilterCount; ++f) {
        genotypes.any_filter = genotypes.any_filter || filter_given(static_cast<GenotypeFilter>(f), options);
    }
    if (!genotypes.any_filter) {
        return genotypes;
    }
    GenotypeFilters filters;
    filters.keep_file = options.keep_file;
    filters.remove_file = options.remove_file;
    filters.extract_file = options.extract_file;
    filters.exclude_file = options.exclude_file;
    filters.chromosomes = options.chromosomes;
    filters.mind = options.mind;
    filters.markers = {options.geno, options.hwe, options.maf};
    genotypes.report = select_genotypes(genotypes.bed, filters);
    for (const GenotypeFilter filter : {GenotypeFilter::keep, GenotypeFilter::remove, GenotypeFilter::chr,
                                        GenotypeFilter::extract, GenotypeFilter::exclude, GenotypeFilter::mind}) {
        if (filter_given(filter, options)) {
            log_filter_line(filter, genotypes.report, options, logger);
        }
    }
    return genotypes;
}

void finish_genotype_filters(FilteredGenotypes& genotypes, const MarkerOutcome& outcome, const RunOptions& options,
                             Logger& logger, const std::string& report_prefix) {
    if (!genotypes.any_filter) {
        return;
    }
    FilterReport& report = genotypes.report;
    for (const RemovedItem& item : outcome.removed) {
        report.add(item);
    }
    for (const GenotypeFilter filter : {GenotypeFilter::geno, GenotypeFilter::hwe, GenotypeFilter::maf}) {
        if (filter_given(filter, options)) {
            log_filter_line(filter, report, options, logger);
        }
    }
    const std::string path = report_prefix + ".removed.txt";
    write_removed_file(path, report, options);
    const std::size_t markers = genotypes.bed.marker_ids.size() - outcome.removed.size();
    logger.tee << "👉 " << genotypes.bed.individual_ids.size() << " of " << report.file_individuals
               << " individuals and " << markers << " of " << report.file_markers
               << " markers passed the filters; " << path << " lists the others with the reason." << std::endl;
}

void place_genotyped_outside_pedigree(const std::vector<std::string>& genotyped, Pedigree& pedigree,
                                      const RunOptions& options, Logger& logger) {
    std::vector<std::string> outside;
    for (const std::string& id : genotyped) {
        if (pedigree.id_to_index.count(id) == 0) {
            outside.push_back(id);
        }
    }
    if (outside.empty()) {
        return;
    }
    const std::vector<std::string> first(outside.begin(),
                                         outside.begin() + static_cast<std::ptrdiff_t>(std::min(kNamedInLog, outside.size())));
    if (!options.geno_founders) {
        logger.tee << "⚠️ Warning: " << outside.size() << " genotyped individual(s) of " << options.bed_prefix
                   << ".fam are not in the pedigree " << options.pedigree_file << " (first: "
                   << first_names(first, outside.size())
                   << "): they are left out of H. Check their IDs, or give --geno-founders to keep them in H as "
                      "founders."
                   << std::endl;
        return;
    }
    // Founders have no parents, so they may follow everyone else in the ancestors-first order.
    for (const std::string& id : outside) {
        pedigree.id_to_index.emplace(id, static_cast<std::int32_t>(pedigree.ids.size()));
        pedigree.ids.push_back(id);
        pedigree.sire_index.push_back(-1);
        pedigree.dam_index.push_back(-1);
        if (!pedigree.group_names.empty()) {
            pedigree.sire_group.push_back(-1);
            pedigree.dam_group.push_back(-1);
        }
    }
    logger.tee << "👉 --geno-founders: " << outside.size()
               << " genotyped individual(s) outside the pedigree added to it as founders (first: "
               << first_names(first, outside.size()) << ")." << std::endl;
}
