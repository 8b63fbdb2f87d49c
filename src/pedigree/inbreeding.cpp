#include <queue>
#include <vector>

#include "pedigree/pedigree.h"

// Meuwissen and Luo (1992): with A = L D L', L lower triangular with unit diagonal and D the
// Mendelian sampling variances, A(i, i) = sum_j L(i, j)^2 D(j). Row i of L is non-zero only at
// i and its ancestors; it is built by walking them from the youngest down (a max-heap of
// positions), each passing half its coefficient to both parents. Memory is O(N): the row of L
// in work and the heap are cleared as each ancestor is taken.
std::vector<double> pedigree_inbreeding(const Pedigree& pedigree) {
    const std::size_t n = pedigree.ids.size();
    std::vector<double> inbreeding(n, 0.0);
    std::vector<double> mendelian(n, 0.0);  // D(i): 1 - (F_s + F_d) / 4 - 1/4 per known parent
    std::vector<double> row(n, 0.0);        // L(i, j) of the row in work
    std::vector<char> queued(n, 0);
    std::priority_queue<std::int32_t> ancestors;
    auto parent_inbreeding = [&](std::int32_t parent) { return parent < 0 ? -1.0 : inbreeding[parent]; };

    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t sire = pedigree.sire_index[i];
        const std::int32_t dam = pedigree.dam_index[i];
        mendelian[i] = 0.5 - 0.25 * (parent_inbreeding(sire) + parent_inbreeding(dam));
        if (sire < 0 || dam < 0) {
            continue;  // no common ancestor through an unknown parent: F = 0
        }
        // Full sibs share every ancestor: the same F as the previous one of the family.
        if (i > 0 && sire == pedigree.sire_index[i - 1] && dam == pedigree.dam_index[i - 1]) {
            inbreeding[i] = inbreeding[i - 1];
            continue;
        }
        double diagonal = 0.0;
        row[i] = 1.0;
        ancestors.push(static_cast<std::int32_t>(i));
        queued[i] = 1;
        while (!ancestors.empty()) {
            const std::int32_t j = ancestors.top();
            ancestors.pop();
            queued[j] = 0;
            const double coefficient = row[j];
            row[j] = 0.0;
            for (const std::int32_t parent : {pedigree.sire_index[j], pedigree.dam_index[j]}) {
                if (parent < 0) {
                    continue;
                }
                row[parent] += 0.5 * coefficient;
                if (!queued[parent]) {
                    queued[parent] = 1;
                    ancestors.push(parent);
                }
            }
            diagonal += coefficient * coefficient * mendelian[j];
        }
        inbreeding[i] = diagonal - 1.0;
    }
    return inbreeding;
}
