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

namespace {


enum class Role { sire, dam, trio };

// One line of PREFIX.parentage.txt.
struct ParentageLine {
    std::int32_t offspring = 0;  // pedigree positions
    std::int32_t sire = -1;
    std::int32_t dam = -1;
    Role role = Role::sire;
    ConflictCount count;
    bool flagged = false;
    std::int32_t suggested = -1;  // pedigree position of the best-fitting candidate
    double suggested_rate = 0.0;
};

double rate_of(const ConflictCount& count) {
    return count.compared > 0 ? static_cast<double>(count.conflicts) / static_cast<double>(count.compared)
                              : std::numeric_limits<double>::quiet_NaN();
}

std::string rate_text(double rate) {
    if (std::isnan(rate)) {
        return "NA";
    }
    std::ostringstream text;
    text << rate;
    return text.str();
}

// Marks `ancestor`'s descendants in `marked` (which must be all 0): a descendant shares an allele
// with it at every marker as a parent does, so it must not be offered as a parent.
void mark_descendants(std::int32_t ancestor, const std::vector<std::vector<std::int32_t>>& children,
                      std::vector<char>& marked, std::vector<std::int32_t>& visited) {
    std::vector<std::int32_t> stack{ancestor};
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        for (const std::int32_t child : children[static_cast<std::size_t>(i)]) {
            if (!marked[static_cast<std::size_t>(child)]) {
                marked[static_cast<std::size_t>(child)] = 1;
                visited.push_back(child);
                stack.push_back(child);
            }
        }
    }
}

// For every flagged sire or dam line, the genotyped animal among the pedigree's sires (or dams)
// with the lowest rate of opposing homozygotes, over at least half the markers of the pair; the
// offspring itself and its descendants are no candidates.
void suggest_parents(const BedSet& bed, const Pedigree& pedigree, const std::vector<std::int64_t>& row_of,
                     std::vector<ParentageLine>& lines) {
    std::vector<char> is_sire(pedigree.ids.size(), 0);
    std::vector<char> is_dam(pedigree.ids.size(), 0);
    std::vector<std::vector<std::int32_t>> children(pedigree.ids.size());
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        for (const std::int32_t parent : {pedigree.sire_index[i], pedigree.dam_index[i]}) {
            if (parent >= 0) {
                children[static_cast<std::size_t>(parent)].push_back(static_cast<std::int32_t>(i));
                (parent == pedigree.sire_index[i] ? is_sire : is_dam)[static_cast<std::size_t>(parent)] = 1;
            }
        }
    }
    std::vector<char> descendant(pedigree.ids.size(), 0);
    std::vector<std::int32_t> marked;
    std::vector<GenotypePair> pairs;
    std::vector<std::pair<std::size_t, std::int32_t>> owners;  // (line, candidate)
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const ParentageLine& line = lines[l];
        if (!line.flagged || line.role == Role::trio) {
            continue;
        }
        const std::vector<char>& pool = line.role == Role::sire ? is_sire : is_dam;
        mark_descendants(line.offspring, children, descendant, marked);
        for (std::size_t c = 0; c < pool.size(); ++c) {
            const std::int32_t candidate = static_cast<std::int32_t>(c);
            if (!pool[c] || row_of[c] < 0 || candidate == line.offspring || descendant[c]) {
                continue;
            }
            pairs.push_back({row_of[static_cast<std::size_t>(line.offspring)], row_of[c]});
            owners.emplace_back(l, candidate);
        }
        for (const std::int32_t i : marked) {
            descendant[static_cast<std::size_t>(i)] = 0;
        }
        marked.clear();
    }
    if (pairs.empty()) {
        return;
    }
    const ParentageCounts counts = count_parentage_conflicts(bed, pairs, {});
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        ParentageLine& line = lines[owners[p].first];
        const ConflictCount& count = counts.pairs[p];
        if (2 * count.compared < line.count.compared || count.compared == 0) {
            continue;
        }
        const double rate = rate_of(count);
        if (line.suggested < 0 || rate < line.suggested_rate) {
            line.suggested = owners[p].second;
            line.suggested_rate = rate;
        }
    }
}

}  // namespace

void check_parentage(const BedSet& bed, Pedigree& pedigree, const RunOptions& options, Logger& logger) {
    std::unordered_map<std::string, std::int64_t> row_of_id;
    for (std::size_t k = 0; k < bed.individual_ids.size(); ++k) {
        row_of_id.emplace(bed.individual_ids[k], static_cast<std::int64_t>(k));
    }
    // Genotype row of every pedigree individual, -1 when it is not genotyped.
    std::vector<std::int64_t> row_of(pedigree.ids.size(), -1);
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        const auto found = row_of_id.find(pedigree.ids[i]);
        if (found != row_of_id.end()) {
            row_of[i] = found->second;
        }
    }
    std::vector<ParentageLine> lines;
    std::vector<GenotypePair> pairs;
    std::vector<GenotypeTrio> trios;
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        const std::int32_t offspring = static_cast<std::int32_t>(i);
        const std::int32_t sire = pedigree.sire_index[i];
        const std::int32_t dam = pedigree.dam_index[i];
        const bool sire_typed = sire >= 0 && row_of[static_cast<std::size_t>(sire)] >= 0;
        const bool dam_typed = dam >= 0 && row_of[static_cast<std::size_t>(dam)] >= 0;
        if (row_of[i] < 0) {
            continue;
        }
        if (sire_typed) {
            lines.push_back({offspring, sire, -1, Role::sire, {}, false, -1, 0.0});
            pairs.push_back({row_of[i], row_of[static_cast<std::size_t>(sire)]});
        }
        if (dam_typed) {
            lines.push_back({offspring, -1, dam, Role::dam, {}, false, -1, 0.0});
            pairs.push_back({row_of[i], row_of[static_cast<std::size_t>(dam)]});
        }
        if (sire_typed && dam_typed) {
            lines.push_back({offspring, sire, dam, Role::trio, {}, false, -1, 0.0});
            trios.push_back({row_of[i], row_of[static_cast<std::size_t>(sire)], row_of[static_cast<std::size_t>(dam)]});
        }
    }
    const ParentageCounts counts = count_parentage_conflicts(bed, pairs, trios);
    std::size_t pair_index = 0;
    std::size_t trio_index = 0;
    std::size_t sire_pairs = 0;
    std::size_t dam_pairs = 0;
    std::vector<std::size_t> flagged_pairs;
    std::size_t flagged_trios = 0;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        ParentageLine& line = lines[l];
        line.count = line.role == Role::trio ? counts.trios[trio_index++] : counts.pairs[pair_index++];
        line.flagged = line.count.compared > 0 && rate_of(line.count) > options.parent_conflict;
        sire_pairs += line.role == Role::sire;
        dam_pairs += line.role == Role::dam;
        if (line.flagged) {
            if (line.role == Role::trio) {
                ++flagged_trios;
            } else {
                flagged_pairs.push_back(l);
            }
        }
    }
    suggest_parents(bed, pedigree, row_of, lines);

    const std::string path = options.out_prefix + ".parentage.txt";
    std::ostringstream text;
    text << "Offspring\tParent\tRole\tMarkers\tConflicts\tRate\tFlag\tSuggested\tSuggested_rate\n";
    const auto id = [&](std::int32_t i) { return pedigree.ids[static_cast<std::size_t>(i)]; };
    for (const ParentageLine& line : lines) {
        const bool suggestion = line.flagged && line.suggested >= 0;
        text << id(line.offspring) << '\t'
             << (line.role == Role::trio ? id(line.sire) + "+" + id(line.dam)
                                         : id(line.role == Role::sire ? line.sire : line.dam))
             << '\t' << (line.role == Role::sire ? "sire" : line.role == Role::dam ? "dam" : "trio") << '\t'
             << line.count.compared << '\t' << line.count.conflicts << '\t' << rate_text(rate_of(line.count)) << '\t'
             << (line.flagged ? "flagged" : "ok") << '\t' << (suggestion ? id(line.suggested) : "NA") << '\t'
             << (suggestion ? rate_text(line.suggested_rate) : "NA") << '\n';
    }
    write_pending_text(path, text.str());

    logger.tee << "👉 Parentage from the genotypes (" << counts.markers << " markers): " << sire_pairs << " sire and "
               << dam_pairs << " dam pairs and " << trios.size() << " trios; " << flagged_pairs.size()
               << " pair(s) and " << flagged_trios << " trio(s) above --parent-conflict " << options.parent_conflict
               << ", in " << path << "." << std::endl;
    if (!flagged_pairs.empty()) {
        std::string first;
        for (std::size_t k = 0; k < std::min(kNamedInLog, flagged_pairs.size()); ++k) {
            const ParentageLine& line = lines[flagged_pairs[k]];
            std::ostringstream rate;
            rate.precision(3);
            rate << rate_of(line.count);
            first += (first.empty() ? "" : ", ") + id(line.offspring) + " and its " +
                     (line.role == Role::sire ? "sire " + id(line.sire) : "dam " + id(line.dam)) + " (" + rate.str() +
                     ")";
        }
        logger.tee << "⚠️ Warning: " << flagged_pairs.size()
                   << " offspring-parent pair(s) have opposing homozygotes at more than " << 100.0 * options.parent_conflict
                   << "% of their markers (first: " << first << (flagged_pairs.size() > kNamedInLog ? ", ..." : "")
                   << "); " << path << " suggests the best-fitting genotyped sire or dam." << std::endl;
    }
    if (options.parent_unlink && !flagged_pairs.empty()) {
        for (const std::size_t l : flagged_pairs) {
            const ParentageLine& line = lines[l];
            (line.role == Role::sire ? pedigree.sire_index : pedigree.dam_index)[static_cast<std::size_t>(line.offspring)] = -1;
        }
        logger.tee << "👉 --parent-conflict-action unlink: " << flagged_pairs.size()
                   << " flagged parent(s) set unknown for A and H." << std::endl;
    }
}
