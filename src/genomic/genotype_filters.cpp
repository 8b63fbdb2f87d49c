#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"

namespace {

constexpr std::size_t kUnmatchedShown = 5;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && is_blank(line[pos])) {
            ++pos;
        }
        const std::size_t begin = pos;
        while (pos < line.size() && !is_blank(line[pos])) {
            ++pos;
        }
        if (pos > begin) {
            words.emplace_back(line, begin, pos - begin);
        }
    }
    return words;
}

// "chr7" and "Chr7" are 7, "x" is X: the spellings the .bim and the list may differ in.
std::string normalised_chromosome(std::string code) {
    if (code.size() > 3 && (code[0] == 'c' || code[0] == 'C') && (code[1] == 'h' || code[1] == 'H') &&
        (code[2] == 'r' || code[2] == 'R')) {
        code.erase(0, 3);
    }
    for (char& c : code) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return code;
}

// A whole number without sign or other text; false otherwise.
bool whole_number(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 15 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    value = std::stoll(text);
    return true;
}

// Keeps the items k of `ids` (and of `second_list`, and their file `rows`) that `keep(k)`
// accepts, in order, and reports the others as removed by `filter` with `value(k)`.
template <typename Keep, typename Value>
void filter_list(std::vector<std::string>& ids, std::vector<std::string>& second_list, std::vector<std::int64_t>& rows,
                 GenotypeFilter filter, FilterReport& report, Keep keep, Value value) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        if (!keep(k)) {
            report.add({filters_markers(filter), ids[k], filter, value(k)});
            continue;
        }
        if (kept != k) {  // a string moved onto itself would be emptied
            ids[kept] = std::move(ids[k]);
            second_list[kept] = std::move(second_list[k]);
            rows[kept] = rows[k];
        }
        ++kept;
    }
    ids.resize(kept);
    second_list.resize(kept);
    rows.resize(kept);
}

double no_value(std::size_t) { return std::numeric_limits<double>::quiet_NaN(); }

// The IDs of a list file as a set, and those of it that `present` does not hold noted in the
// report for the warning.
std::unordered_set<std::string> id_set(const std::string& path, bool individuals, GenotypeFilter filter,
                                       const std::vector<std::string>& present, FilterReport& report) {
    const std::vector<std::string> listed = read_id_list(path, individuals);
    std::unordered_set<std::string> set(listed.begin(), listed.end());
    const std::unordered_set<std::string> in_file(present.begin(), present.end());
    const int index = static_cast<int>(filter);
    for (const std::string& id : listed) {
        if (in_file.count(id) == 0) {
            ++report.unmatched_counts[index];
            if (report.unmatched_first[index].size() < kUnmatchedShown) {
                report.unmatched_first[index].push_back(id);
            }
        }
    }
    return set;
}

// Missing calls of every individual over the markers of `bed`, in one pass over the .bed.
std::vector<std::int64_t> missing_calls_per_individual(const BedSet& bed) {
    const std::int64_t n = static_cast<std::int64_t>(bed.individual_ids.size());
    // Bit q of kMissingMask[byte] is set when individual q of the byte has code 01 (missing).
    static const auto kMissingMask = [] {
        std::array<unsigned char, 256> table{};
        for (int byte = 0; byte < 256; ++byte) {
            for (int q = 0; q < 4; ++q) {
                if (((byte >> (2 * q)) & 3) == 1) {
                    table[static_cast<std::size_t>(byte)] |= static_cast<unsigned char>(1u << q);
                }
            }
        }
        return table;
    }();
    std::vector<std::int64_t> missing(static_cast<std::size_t>(n), 0);
    MarkerReader reader(bed, 4096);
    const std::int64_t bytes_per_marker = bed_bytes_per_marker(n);
    // Each thread counts its own individuals (a range of bytes), marker by marker, so that it
    // reads each marker's bytes in order.
    constexpr std::int64_t kChunkBytes = 1024;
    while (reader.next()) {
        const std::int64_t markers = reader.block_markers();
#pragma omp parallel for schedule(static)
        for (std::int64_t first = 0; first < bytes_per_marker; first += kChunkBytes) {
            const std::int64_t last = std::min(bytes_per_marker, first + kChunkBytes);
            std::int64_t* counts = missing.data() + 4 * first;
            for (std::int64_t k = 0; k < markers; ++k) {
                const unsigned char* bytes = reader.marker(k);
                for (std::int64_t t = first; t < last; ++t) {
                    const unsigned mask = kMissingMask[bytes[t]];
                    if (mask != 0) {
                        for (int q = 0; q < 4 && 4 * t + q < n; ++q) {
                            counts[4 * (t - first) + q] += (mask >> q) & 1u;
                        }
                    }
                }
            }
        }
    }
    return missing;
}

// Largest count of `total` that a rate limit allows: the count c is above the limit when
// c / total > limit. The small term keeps a limit such as 0.29 x 100 = 28.999... at 29.
std::int64_t largest_allowed(double limit, std::int64_t total) {
    return static_cast<std::int64_t>(std::floor(limit * static_cast<double>(total) + 1e-7));
}

}  // namespace

std::string removed_counts(const FilterReport& report, bool markers) {
    std::string text;
    for (int f = 0; f < kGenotypeFilterCount; ++f) {
        const GenotypeFilter filter = static_cast<GenotypeFilter>(f);
        if (filters_markers(filter) == markers && report.counts[static_cast<std::size_t>(f)] > 0) {
            text += (text.empty() ? "" : ", ") + std::string(genotype_filter_option(filter)) + " removed " +
                    std::to_string(report.counts[static_cast<std::size_t>(f)]);
        }
    }
    return text.empty() ? std::string("none removed") : text;
}

const char* genotype_filter_option(GenotypeFilter filter) {
    switch (filter) {
    case GenotypeFilter::keep:
        return "--keep";
    case GenotypeFilter::remove:
        return "--remove";
    case GenotypeFilter::chr:
        return "--chr";
    case GenotypeFilter::extract:
        return "--extract";
    case GenotypeFilter::exclude:
        return "--exclude";
    case GenotypeFilter::mind:
        return "--mind";
    case GenotypeFilter::geno:
        return "--geno";
    case GenotypeFilter::hwe:
        return "--hwe";
    case GenotypeFilter::maf:
        return "--maf";
    }
    return "";
}

void FilterReport::add(RemovedItem item) {
    ++counts[static_cast<std::size_t>(item.filter)];
    removed.push_back(std::move(item));
}

std::vector<std::string> read_id_list(const std::string& path, bool individuals) {
    std::ifstream file(path);
    if (!file.is_open()) {
        throw std::runtime_error("Could not open the ID list " + path + ".");
    }
    std::vector<std::string> ids;
    bool first = true;
    for (std::string line; std::getline(file, line);) {
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        const std::vector<std::string> words = words_of(line);
        if (words.empty()) {
            continue;
        }
        const bool header = first && words[0][0] == '#';
        first = false;
        if (header) {
            continue;
        }
        if (individuals) {
            ids.push_back(words.size() == 1 ? words[0] : words[1]);
        } else {
            ids.insert(ids.end(), words.begin(), words.end());
        }
    }
    if (file.bad()) {
        throw std::runtime_error("Could not read the ID list " + path + ".");
    }
    return ids;
}

ChromosomeList::ChromosomeList(const std::string& list) {
    std::string spaced = list;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    const std::vector<std::string> items = words_of(spaced);
    if (items.empty()) {
        throw std::invalid_argument("❎ Error: Invalid argument for --chr - \"" + list +
                                    "\" names no chromosome; give codes as in the .bim, for example 1-29,X.");
    }
    for (const std::string& item : items) {
        const std::size_t dash = item.find('-', 1);
        if (dash == std::string::npos) {
            names_.push_back(normalised_chromosome(item));
            continue;
        }
        long long low = 0;
        long long high = 0;
        if (!whole_number(normalised_chromosome(item.substr(0, dash)), low) ||
            !whole_number(normalised_chromosome(item.substr(dash + 1)), high) || low > high) {
            throw std::invalid_argument("❎ Error: Invalid argument for --chr - \"" + item +
                                        "\" is no range: a range joins two whole numbers in order with a dash, for "
                                        "example 1-29.");
        }
        ranges_.emplace_back(low, high);
    }
}

bool ChromosomeList::contains(const std::string& code) const {
    const std::string name = normalised_chromosome(code);
    if (std::find(names_.begin(), names_.end(), name) != names_.end()) {
        return true;
    }
    long long number = 0;
    if (!whole_number(name, number)) {
        return false;
    }
    for (const auto& [low, high] : ranges_) {
        if (number >= low && number <= high) {
            return true;
        }
    }
    // "01" in the .bim and "1" in the list are one chromosome.
    for (const std::string& listed : names_) {
        long long listed_number = 0;
        if (whole_number(listed, listed_number) && listed_number == number) {
            return true;
        }
    }
    return false;
}

double hardy_weinberg_p(std::int64_t homozygotes_a1, std::int64_t heterozygotes, std::int64_t homozygotes_a2) {
    const std::int64_t rare_homozygotes = std::min(homozygotes_a1, homozygotes_a2);
    const std::int64_t common_homozygotes = std::max(homozygotes_a1, homozygotes_a2);
    const std::int64_t genotypes = rare_homozygotes + common_homozygotes + heterozygotes;
    if (genotypes == 0) {
        return 1.0;
    }
    const std::int64_t rare_copies = 2 * rare_homozygotes + heterozygotes;
    // Probabilities of each heterozygote count (of the parity of rare_copies) relative to that of
    // the most likely one, the mode, walked outward from it by the ratios of consecutive counts.
    std::int64_t mode = rare_copies * (2 * genotypes - rare_copies) / (2 * genotypes);
    if ((mode % 2) != (rare_copies % 2)) {
        ++mode;
    }
    const auto down = [&](std::int64_t hets, double probability) {  // hets -> hets - 2
        const double rare = static_cast<double>((rare_copies - hets) / 2);
        const double common = static_cast<double>(genotypes - hets) - rare;
        return probability * static_cast<double>(hets) * static_cast<double>(hets - 1) / (4.0 * (rare + 1.0) * (common + 1.0));
    };
    const auto up = [&](std::int64_t hets, double probability) {  // hets -> hets + 2
        const double rare = static_cast<double>((rare_copies - hets) / 2);
        const double common = static_cast<double>(genotypes - hets) - rare;
        return probability * 4.0 * rare * common / (static_cast<double>(hets + 2) * static_cast<double>(hets + 1));
    };
    double observed = 1.0;
    for (std::int64_t hets = mode; hets > heterozygotes; hets -= 2) {
        observed = down(hets, observed);
    }
    for (std::int64_t hets = mode; hets < heterozygotes; hets += 2) {
        observed = up(hets, observed);
    }
    // Counts as likely as the observed one, within rounding, count as "at most as likely". The
    // probabilities fall ever faster away from the mode, so a walk can stop once they are below
    // 1e-17 of the observed one: all the rest add less than that (O(sqrt n) steps, not O(n)).
    const double at_most = observed * (1.0 + 1e-9);
    const double negligible = observed * 1e-17;
    double total = 1.0;
    double tail = 1.0 <= at_most ? 1.0 : 0.0;
    for (const bool downward : {true, false}) {
        double probability = 1.0;
        for (std::int64_t hets = mode; downward ? hets >= 2 : hets + 2 <= rare_copies; hets += downward ? -2 : 2) {
            probability = downward ? down(hets, probability) : up(hets, probability);
            total += probability;
            tail += probability <= at_most ? probability : 0.0;
            if (probability < negligible) {
                break;
            }
        }
    }
    return std::min(1.0, tail / total);
}

FilterReport select_genotypes(BedSet& bed, const GenotypeFilters& filters) {
    FilterReport report;
    report.file_individuals = bed.file_individuals;
    report.file_markers = bed.file_markers;
    if (bed.individual_rows.empty()) {
        bed.individual_rows.resize(bed.individual_ids.size());
        for (std::size_t k = 0; k < bed.individual_rows.size(); ++k) {
            bed.individual_rows[k] = static_cast<std::int64_t>(k);
        }
    }
    if (bed.marker_rows.empty()) {
        bed.marker_rows.resize(bed.marker_ids.size());
        for (std::size_t k = 0; k < bed.marker_rows.size(); ++k) {
            bed.marker_rows[k] = static_cast<std::int64_t>(k);
        }
    }
    if (!filters.keep_file.empty()) {
        const auto listed = id_set(filters.keep_file, true, GenotypeFilter::keep, bed.individual_ids, report);
        filter_list(bed.individual_ids, bed.family_ids, bed.individual_rows, GenotypeFilter::keep, report,
                    [&](std::size_t k) { return listed.count(bed.individual_ids[k]) > 0; }, no_value);
    }
    if (!filters.remove_file.empty()) {
        const auto listed = id_set(filters.remove_file, true, GenotypeFilter::remove, bed.individual_ids, report);
        filter_list(bed.individual_ids, bed.family_ids, bed.individual_rows, GenotypeFilter::remove, report,
                    [&](std::size_t k) { return listed.count(bed.individual_ids[k]) == 0; }, no_value);
    }
    if (!filters.chromosomes.empty()) {
        const ChromosomeList list(filters.chromosomes);
        filter_list(bed.marker_ids, bed.marker_chromosomes, bed.marker_rows, GenotypeFilter::chr, report,
                    [&](std::size_t k) { return list.contains(bed.marker_chromosomes[k]); }, no_value);
    }
    for (const GenotypeFilter filter : {GenotypeFilter::extract, GenotypeFilter::exclude}) {
        const std::string& path = filter == GenotypeFilter::extract ? filters.extract_file : filters.exclude_file;
        if (path.empty()) {
            continue;
        }
        const bool keep_listed = filter == GenotypeFilter::extract;
        const auto listed = id_set(path, false, filter, bed.marker_ids, report);
        filter_list(bed.marker_ids, bed.marker_chromosomes, bed.marker_rows, filter, report,
                    [&](std::size_t k) { return (listed.count(bed.marker_ids[k]) > 0) == keep_listed; }, no_value);
    }
    if (bed.marker_ids.empty()) {
        throw std::runtime_error("The filters removed all " + std::to_string(bed.file_markers) + " markers of " +
                                 bed.bim_path + " (" + removed_counts(report, true) +
                                 "); check the lists and chromosome codes given.");
    }
    if (filters.mind >= 0.0 && bed.individual_ids.size() > 0) {
        const std::vector<std::int64_t> missing = missing_calls_per_individual(bed);
        const std::int64_t markers = static_cast<std::int64_t>(bed.marker_ids.size());
        const std::int64_t allowed = largest_allowed(filters.mind, markers);
        filter_list(bed.individual_ids, bed.family_ids, bed.individual_rows, GenotypeFilter::mind, report,
                    [&](std::size_t k) { return missing[k] <= allowed; },
                    [&](std::size_t k) { return static_cast<double>(missing[k]) / static_cast<double>(markers); });
    }
    if (bed.individual_ids.size() < 2) {
        throw std::runtime_error("The filters left " + std::to_string(bed.individual_ids.size()) + " of the " +
                                 std::to_string(bed.file_individuals) + " individuals of " + bed.fam_path + " (" +
                                 removed_counts(report, false) +
                                 "); relationships need at least two. Check the ID lists and the --mind limit.");
    }
    bed.marker_thresholds = filters.markers;
    return report;
}

MarkerVerdict judge_marker(const std::array<std::int64_t, 4>& code_counts, const MarkerThresholds& thresholds) {
    // Codes: 0 -> two copies of A1, 1 -> missing, 2 -> one copy, 3 -> none.
    const std::int64_t missing = code_counts[1];
    const std::int64_t individuals = code_counts[0] + code_counts[1] + code_counts[2] + code_counts[3];
    if (thresholds.geno >= 0.0 && missing > largest_allowed(thresholds.geno, individuals)) {
        return {true, GenotypeFilter::geno, static_cast<double>(missing) / static_cast<double>(individuals)};
    }
    if (thresholds.hwe >= 0.0) {
        const double p = hardy_weinberg_p(code_counts[0], code_counts[2], code_counts[3]);
        if (p < thresholds.hwe) {
            return {true, GenotypeFilter::hwe, p};
        }
    }
    const std::int64_t called = individuals - missing;
    if (thresholds.maf >= 0.0 && called > 0) {
        // The minor allele's count over the called copies, so that a frequency on the limit
        // (1 of 20 against 0.05) is the limit's own value and is kept.
        const std::int64_t a1 = 2 * code_counts[0] + code_counts[2];
        const std::int64_t minor = std::min(a1, 2 * called - a1);
        const double frequency = static_cast<double>(minor) / static_cast<double>(2 * called);
        if (frequency < thresholds.maf) {
            return {true, GenotypeFilter::maf, frequency};
        }
    }
    return {};
}
