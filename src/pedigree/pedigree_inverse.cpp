#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "pedigree/pedigree.h"

namespace {

using Eigen::Index;

void check_inbreeding(const Pedigree& pedigree, const std::vector<double>& inbreeding) {
    if (inbreeding.size() != pedigree.ids.size()) {
        throw std::invalid_argument("The pedigree's inverse needs one inbreeding coefficient per individual: " +
                                    std::to_string(inbreeding.size()) + " for " +
                                    std::to_string(pedigree.ids.size()) + " individuals.");
    }
}

double parent_inbreeding(const std::vector<double>& inbreeding, std::int32_t parent) {
    return parent < 0 ? -1.0 : inbreeding[static_cast<std::size_t>(parent)];
}

// Per-thread buffer of the column sweeps: at most this many bytes.
constexpr double kSweepBufferBytes = 128e6;
constexpr Index kMostSweepColumns = 128;

}  // namespace

Eigen::SparseMatrix<double, Eigen::RowMajor> pedigree_inverse(const Pedigree& pedigree,
                                                              const std::vector<double>& inbreeding) {
    check_inbreeding(pedigree, inbreeding);
    const auto n = static_cast<Index>(pedigree.ids.size());
    const auto groups = static_cast<Index>(pedigree.group_names.size());
    using Triplet = Eigen::Triplet<double>;
    std::vector<Triplet> entries;
    entries.reserve(static_cast<std::size_t>(n) * 9);
    for (Index i = 0; i < n; ++i) {
        std::int32_t sire = pedigree.sire_index[static_cast<std::size_t>(i)];
        std::int32_t dam = pedigree.dam_index[static_cast<std::size_t>(i)];
        // d_i treats a group as an unknown parent; its row is the group's.
        const double weight =
            1.0 / mendelian_variance(parent_inbreeding(inbreeding, sire), parent_inbreeding(inbreeding, dam));
        if (groups > 0) {
            const std::int32_t sire_group = pedigree.sire_group[static_cast<std::size_t>(i)];
            const std::int32_t dam_group = pedigree.dam_group[static_cast<std::size_t>(i)];
            sire = sire >= 0 || sire_group < 0 ? sire : static_cast<std::int32_t>(n + sire_group);
            dam = dam >= 0 || dam_group < 0 ? dam : static_cast<std::int32_t>(n + dam_group);
        }
        entries.emplace_back(i, i, weight);
        for (const std::int32_t parent : {sire, dam}) {
            if (parent >= 0) {
                entries.emplace_back(i, parent, -0.5 * weight);
                entries.emplace_back(parent, i, -0.5 * weight);
                entries.emplace_back(parent, parent, 0.25 * weight);
            }
        }
        if (sire >= 0 && dam >= 0) {
            entries.emplace_back(sire, dam, 0.25 * weight);
            entries.emplace_back(dam, sire, 0.25 * weight);
        }
    }
    Eigen::SparseMatrix<double, Eigen::RowMajor> inverse(n + groups, n + groups);
    inverse.setFromTriplets(entries.begin(), entries.end());  // sums the repeated entries
    return inverse;
}

double pedigree_log_determinant(const Pedigree& pedigree, const std::vector<double>& inbreeding) {
    check_inbreeding(pedigree, inbreeding);
    double sum = 0.0;
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        sum += std::log(mendelian_variance(parent_inbreeding(inbreeding, pedigree.sire_index[i]),
                                           parent_inbreeding(inbreeding, pedigree.dam_index[i])));
    }
    return sum;
}

Eigen::MatrixXd group_fractions(const Pedigree& pedigree) {
    const auto n = static_cast<Index>(pedigree.ids.size());
    const auto groups = static_cast<Index>(pedigree.group_names.size());
    Eigen::MatrixXd Q = Eigen::MatrixXd::Zero(n, groups);
    if (groups == 0) {
        return Q;
    }
    // Parents come first, so their rows are complete when an offspring reads them.
    for (Index i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        for (const auto& [parent, group] : {std::pair{pedigree.sire_index[k], pedigree.sire_group[k]},
                                           std::pair{pedigree.dam_index[k], pedigree.dam_group[k]}}) {
            if (parent >= 0) {
                Q.row(i) += 0.5 * Q.row(parent);
            } else if (group >= 0) {
                Q(i, group) += 0.5;
            }
        }
    }
    return Q;
}

Eigen::MatrixXd relationship_block(const Pedigree& pedigree, const std::vector<double>& inbreeding,
                                   const std::vector<Index>& positions,
                                   const std::function<void(Index)>& on_progress) {
    check_inbreeding(pedigree, inbreeding);
    const auto n = static_cast<Index>(pedigree.ids.size());
    const auto g = static_cast<Index>(positions.size());
    // The individuals at `positions` and all their ancestors, in pedigree order, which keeps
    // every parent before its offspring.
    std::vector<char> member(static_cast<std::size_t>(n), 0);
    std::vector<std::int32_t> stack;
    for (const Index position : positions) {
        if (position < 0 || position >= n) {
            throw std::invalid_argument("A position of the relationship block lies outside the pedigree of " +
                                        std::to_string(n) + " individuals: " + std::to_string(position) + ".");
        }
        stack.push_back(static_cast<std::int32_t>(position));
    }
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        if (member[static_cast<std::size_t>(i)]) {
            continue;
        }
        member[static_cast<std::size_t>(i)] = 1;
        for (const std::int32_t parent : {pedigree.sire_index[static_cast<std::size_t>(i)],
                                          pedigree.dam_index[static_cast<std::size_t>(i)]}) {
            if (parent >= 0 && !member[static_cast<std::size_t>(parent)]) {
                stack.push_back(parent);
            }
        }
    }
    std::vector<std::int32_t> local(static_cast<std::size_t>(n), -1);
    std::vector<std::int32_t> sire, dam;
    std::vector<double> variance;  // D of each member
    for (Index i = 0; i < n; ++i) {
        if (!member[static_cast<std::size_t>(i)]) {
            continue;
        }
        local[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(sire.size());
        const std::int32_t s = pedigree.sire_index[static_cast<std::size_t>(i)];
        const std::int32_t d = pedigree.dam_index[static_cast<std::size_t>(i)];
        sire.push_back(s < 0 ? -1 : local[static_cast<std::size_t>(s)]);
        dam.push_back(d < 0 ? -1 : local[static_cast<std::size_t>(d)]);
        variance.push_back(mendelian_variance(parent_inbreeding(inbreeding, s), parent_inbreeding(inbreeding, d)));
    }
    member.clear();
    member.shrink_to_fit();
    const auto m = static_cast<Index>(sire.size());
    std::vector<Index> row_of(static_cast<std::size_t>(g));  // local index of each position
    Index last_row = -1;
    for (Index k = 0; k < g; ++k) {
        row_of[static_cast<std::size_t>(k)] = local[static_cast<std::size_t>(positions[static_cast<std::size_t>(k)])];
        last_row = std::max(last_row, row_of[static_cast<std::size_t>(k)]);
    }
    local.clear();
    local.shrink_to_fit();

    const Index width = std::clamp<Index>(static_cast<Index>(kSweepBufferBytes / (8.0 * static_cast<double>(std::max<Index>(m, 1)))),
                                          1, kMostSweepColumns);
    const Index block_count = (g + width - 1) / width;
    Eigen::MatrixXd result(g, g);
    Index columns_done = 0;
#pragma omp parallel
    {
        // Row-major: the `width` values of one individual lie together, so that a parent's
        // update is one contiguous, vectorised run.
        std::vector<double> sweep(static_cast<std::size_t>(m * width));
#pragma omp for schedule(dynamic, 1)
        for (Index block = 0; block < block_count; ++block) {
            const Index first = block * width;
            const Index count = std::min(width, g - first);
            std::fill(sweep.begin(), sweep.end(), 0.0);
            Index start = 0;  // the highest row with a non-zero value: the backward sweep starts there
            for (Index c = 0; c < count; ++c) {
                const Index row = row_of[static_cast<std::size_t>(first + c)];
                sweep[static_cast<std::size_t>(row * width + c)] = 1.0;
                start = std::max(start, row);
            }
            // w = T' E: each individual passes half of its value to both parents (children come
            // after their parents, so a value is complete when it is reached); then D w.
            for (Index i = start; i >= 0; --i) {
                double* values = sweep.data() + i * width;
                for (const std::int32_t parent : {sire[static_cast<std::size_t>(i)], dam[static_cast<std::size_t>(i)]}) {
                    if (parent >= 0) {
                        double* target = sweep.data() + static_cast<Index>(parent) * width;
                        for (Index c = 0; c < count; ++c) {
                            target[c] += 0.5 * values[c];
                        }
                    }
                }
                const double d = variance[static_cast<std::size_t>(i)];
                for (Index c = 0; c < count; ++c) {
                    values[c] *= d;
                }
            }
            // z = T (D w): each individual adds half of both parents' values, parents first.
            for (Index i = 0; i <= last_row; ++i) {
                double* values = sweep.data() + i * width;
                for (const std::int32_t parent : {sire[static_cast<std::size_t>(i)], dam[static_cast<std::size_t>(i)]}) {
                    if (parent >= 0) {
                        const double* source = sweep.data() + static_cast<Index>(parent) * width;
                        for (Index c = 0; c < count; ++c) {
                            values[c] += 0.5 * source[c];
                        }
                    }
                }
            }
            for (Index c = 0; c < count; ++c) {
                double* column = result.col(first + c).data();
                for (Index r = 0; r < g; ++r) {
                    column[r] = sweep[static_cast<std::size_t>(row_of[static_cast<std::size_t>(r)] * width + c)];
                }
            }
#pragma omp atomic
            columns_done += count;
            if (on_progress && omp_get_thread_num() == 0) {
                Index done = 0;
#pragma omp atomic read
                done = columns_done;
                on_progress(done);
            }
        }
    }
    return result;
}
