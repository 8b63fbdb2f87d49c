// Genomic values of animals genotyped after an evaluation, from its marker effects: the
// markers matched by their alleles, then one pass over the new .bed.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"

namespace {

constexpr std::int64_t kScoreBlockMarkers = 4096;

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// The other strand's base; "" for anything but A, C, G, T.
std::string complement(const std::string& allele) {
    if (allele == "A") return "T";
    if (allele == "T") return "A";
    if (allele == "C") return "G";
    if (allele == "G") return "C";
    return "";
}

}  // namespace

AlleleMatch match_alleles(const std::string& a1_text, const std::string& a2_text, const std::string& b1_text,
                          const std::string& b2_text) {
    const std::string a1 = upper(a1_text), a2 = upper(a2_text), b1 = upper(b1_text), b2 = upper(b2_text);
    const bool palindromic = !complement(b1).empty() && complement(b1) == b2;
    if (a1 == b1 && a2 == b2) return AlleleMatch::same;
    if (palindromic) {
        // A/T read as T/A may be a swap or the other strand: which, nothing tells.
        return (a1 == b2 && a2 == b1) ? AlleleMatch::palindromic : AlleleMatch::other;
    }
    if (a1 == b2 && a2 == b1) return AlleleMatch::swapped;
    if (!complement(a1).empty() && complement(a1) == b1 && complement(a2) == b2) return AlleleMatch::strand;
    if (!complement(a1).empty() && complement(a1) == b2 && complement(a2) == b1) return AlleleMatch::strand_swapped;
    return AlleleMatch::other;
}

GenomicScores genomic_scores(const BedSet& bed, const Eigen::VectorXd& effects, const Eigen::VectorXd& centres) {
    const auto n = static_cast<std::int64_t>(bed.individual_ids.size());
    GenomicScores scores;
    scores.values = Eigen::VectorXd::Zero(n);
    scores.used.assign(static_cast<std::size_t>(n), 0);
    MarkerReader reader(bed, kScoreBlockMarkers);
    while (reader.next()) {
        constexpr std::int64_t kChunk = 2048;
#pragma omp parallel for schedule(static)
        for (std::int64_t chunk = 0; chunk < n; chunk += kChunk) {
            const std::int64_t chunk_end = std::min(n, chunk + kChunk);
            for (std::int64_t k = 0; k < reader.block_markers(); ++k) {
                const std::int64_t marker = reader.block_start() + k;
                const double effect = effects[marker];
                if (!std::isfinite(effect)) continue;
                const double centre = centres[marker];
                const unsigned char* bytes = reader.marker(k);
                for (std::int64_t i = chunk; i < chunk_end; ++i) {
                    const std::int8_t dosage = GENOTYPE_MAP[(bytes[i / 4] >> (2 * (i % 4))) & 3];
                    if (dosage < 0) continue;
                    scores.values[i] += (dosage - centre) * effect;
                    ++scores.used[static_cast<std::size_t>(i)];
                }
            }
        }
    }
    return scores;
}
