#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "pedigree/pedigree.h"

namespace {

// Diagonal of A for one individual: sum_j L(i, j)^2 D(j) over i and its ancestors. `row` (all
// 0 on entry and on return) holds L(i, j) while the ancestors are walked; `seen` marks them.
// The ancestors are taken in reverse depth-first post-order: every ancestor after all of its
// descendants among them, so that its coefficient is complete when it is reached, with no heap
// and no sort.
struct AncestorWalk {
    std::vector<double> row;
    std::vector<char> seen;
    std::vector<std::int32_t> post_order;
    std::vector<std::pair<std::int32_t, int>> stack;  // (individual, parents visited so far)

    explicit AncestorWalk(std::size_t n) : row(n, 0.0), seen(n, 0) {}

    double diagonal(const Pedigree& pedigree, const std::vector<double>& mendelian, std::int32_t i) {
        post_order.clear();
        stack.assign(1, {i, 0});
        seen[static_cast<std::size_t>(i)] = 1;
        while (!stack.empty()) {
            auto& [individual, visited] = stack.back();
            if (visited < 2) {
                const std::int32_t parent = visited == 0 ? pedigree.sire_index[static_cast<std::size_t>(individual)]
                                                         : pedigree.dam_index[static_cast<std::size_t>(individual)];
                ++visited;
                if (parent >= 0 && !seen[static_cast<std::size_t>(parent)]) {
                    seen[static_cast<std::size_t>(parent)] = 1;
                    stack.emplace_back(parent, 0);
                }
            } else {
                post_order.push_back(individual);
                stack.pop_back();
            }
        }
        double sum = 0.0;
        row[static_cast<std::size_t>(i)] = 1.0;
        for (auto j = post_order.rbegin(); j != post_order.rend(); ++j) {
            const auto k = static_cast<std::size_t>(*j);
            const double coefficient = row[k];
            row[k] = 0.0;
            seen[k] = 0;
            sum += coefficient * coefficient * mendelian[k];
            for (const std::int32_t parent : {pedigree.sire_index[k], pedigree.dam_index[k]}) {
                if (parent >= 0) {
                    row[static_cast<std::size_t>(parent)] += 0.5 * coefficient;
                }
            }
        }
        return sum;
    }
};

}  // namespace

// Meuwissen and Luo (1992): with A = L D L', L lower triangular with unit diagonal and D the
// Mendelian sampling variances, A(i, i) = sum_j L(i, j)^2 D(j), and row i of L is non-zero only
// at i and its ancestors. Individuals are taken by depth (a founder 0, else one more than its
// deeper parent): the F of one depth needs only the D of itself and shallower individuals, so a
// depth's families are spread over the threads. Full sibs share every ancestor and so their F:
// one walk per family. Memory is O(N) per thread.
std::vector<double> pedigree_inbreeding(const Pedigree& pedigree) {
    const std::size_t n = pedigree.ids.size();
    std::vector<double> inbreeding(n, 0.0);
    std::vector<double> mendelian(n, 0.0);
    std::vector<std::int32_t> depth(n, 0);
    std::int32_t deepest = 0;
    std::vector<std::int32_t> both_known;  // individuals with both parents known
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t sire = pedigree.sire_index[i];
        const std::int32_t dam = pedigree.dam_index[i];
        depth[i] = 1 + std::max(sire < 0 ? -1 : depth[static_cast<std::size_t>(sire)],
                                dam < 0 ? -1 : depth[static_cast<std::size_t>(dam)]);
        deepest = std::max(deepest, depth[i]);
        if (sire >= 0 && dam >= 0) {
            both_known.push_back(static_cast<std::int32_t>(i));
        }
    }
    // Every individual by depth (a counting sort), and the families (full sibs: the same sire and
    // dam, hence the same depth) by depth, each a run of `both_known` after sorting.
    std::vector<std::size_t> depth_begin(static_cast<std::size_t>(deepest) + 2, 0);
    for (std::size_t i = 0; i < n; ++i) {
        ++depth_begin[static_cast<std::size_t>(depth[i]) + 1];
    }
    for (std::size_t d = 1; d < depth_begin.size(); ++d) {
        depth_begin[d] += depth_begin[d - 1];
    }
    std::vector<std::int32_t> by_depth(n);
    {
        std::vector<std::size_t> fill(depth_begin.begin(), depth_begin.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            by_depth[fill[static_cast<std::size_t>(depth[i])]++] = static_cast<std::int32_t>(i);
        }
    }
    const auto family_key = [&](std::int32_t i) {
        const auto k = static_cast<std::size_t>(i);
        return std::make_tuple(depth[k], pedigree.sire_index[k], pedigree.dam_index[k]);
    };
    std::sort(both_known.begin(), both_known.end(), [&](std::int32_t a, std::int32_t b) {
        return std::make_pair(family_key(a), a) < std::make_pair(family_key(b), b);
    });
    std::vector<std::size_t> family_start;  // into both_known; one more entry at the end
    std::vector<std::size_t> depth_families(static_cast<std::size_t>(deepest) + 2, 0);  // families of depth d start at
    for (std::size_t m = 0; m < both_known.size(); ++m) {
        if (m == 0 || family_key(both_known[m]) != family_key(both_known[m - 1])) {
            family_start.push_back(m);
            ++depth_families[static_cast<std::size_t>(depth[static_cast<std::size_t>(both_known[m])]) + 1];
        }
    }
    family_start.push_back(both_known.size());
    for (std::size_t d = 1; d < depth_families.size(); ++d) {
        depth_families[d] += depth_families[d - 1];
    }
    const auto parent_inbreeding = [&](std::int32_t parent) {
        return parent < 0 ? -1.0 : inbreeding[static_cast<std::size_t>(parent)];
    };
#pragma omp parallel
    {
        AncestorWalk walk(n);
        for (std::size_t d = 0; d + 1 < depth_begin.size(); ++d) {
            // D of this depth needs the F of its parents, all shallower and done.
#pragma omp for schedule(static)
            for (std::size_t k = depth_begin[d]; k < depth_begin[d + 1]; ++k) {
                const auto i = static_cast<std::size_t>(by_depth[k]);
                mendelian[i] = mendelian_variance(parent_inbreeding(pedigree.sire_index[i]),
                                                  parent_inbreeding(pedigree.dam_index[i]));
            }
#pragma omp for schedule(dynamic, 16)
            for (std::size_t f = depth_families[d]; f < depth_families[d + 1]; ++f) {
                const double value = walk.diagonal(pedigree, mendelian, both_known[family_start[f]]) - 1.0;
                for (std::size_t m = family_start[f]; m < family_start[f + 1]; ++m) {
                    inbreeding[static_cast<std::size_t>(both_known[m])] = value;
                }
            }
        }
    }
    return inbreeding;
}
