// Pedigree files through validation, ordering and the relationship matrix. Whatever the rows,
// an accepted pedigree must come out ancestors first with a symmetric A whose entries are
// relationships (diagonal 1 to 2, off-diagonal 0 to 2).
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "pedigree/pedigree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream file(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    std::getline(file, line);  // header
    std::vector<PedigreeRow> rows;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        PedigreeRow row;
        for (std::string word; words >> word;) {
            row.push_back(word);
        }
        if (!row.empty()) {
            rows.push_back(row);
        }
    }
    try {
        const std::vector<PedigreeRow> checked = pedcheck(rows);
        std::vector<PedigreeTriple> triples;
        for (const PedigreeRow& row : checked) {
            triples.push_back({row.at(0), row.at(1), row.at(2)});
        }
        const Pedigree pedigree = prepare_pedigree(triples);
        const std::size_t n = pedigree.ids.size();
        std::unordered_set<std::string> seen(pedigree.ids.begin(), pedigree.ids.end());
        if (seen.size() != n || pedigree.sire_index.size() != n || pedigree.dam_index.size() != n) {
            __builtin_trap();
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (pedigree.sire_index[k] >= static_cast<std::int32_t>(k) ||
                pedigree.dam_index[k] >= static_cast<std::int32_t>(k)) {
                __builtin_trap();
            }
        }
        if (n > 400) {
            return 0;
        }
        const Eigen::MatrixXd A = build_relationship_matrix(pedigree);
        if (!A.isApprox(A.transpose(), 0.0) && A.size() > 0) {
            __builtin_trap();
        }
        for (Eigen::Index c = 0; c < A.cols(); ++c) {
            for (Eigen::Index r = 0; r < A.rows(); ++r) {
                const double value = A(r, c);
                const bool ok = r == c ? (value >= 1.0 && value <= 2.0) : (value >= 0.0 && value <= 2.0);
                if (!ok) {
                    __builtin_trap();
                }
            }
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
