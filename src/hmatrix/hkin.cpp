#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "hmatrix/hmatrix.h"
#include "log/progress_line.h"

namespace {

using Eigen::Index;
using Eigen::MatrixXd;

// M = P M P' in place, P putting row (and column) order[r] of M at r; `order` is a permutation
// of 0..n-1. Each column's rows through a buffer, then the columns along the permutation's
// cycles: no second n x n matrix is needed.
void permute_in_place(MatrixXd& M, const std::vector<Index>& order) {
    const Index n = M.rows();
#pragma omp parallel
    {
        std::vector<double> column(static_cast<std::size_t>(n));
#pragma omp for schedule(static)
        for (Index c = 0; c < n; ++c) {
            double* values = M.col(c).data();
            std::copy(values, values + n, column.begin());
            for (Index r = 0; r < n; ++r) {
                values[r] = column[static_cast<std::size_t>(order[static_cast<std::size_t>(r)])];
            }
        }
    }
    std::vector<bool> placed(static_cast<std::size_t>(n), false);
    std::vector<double> held(static_cast<std::size_t>(n));
    const auto column = [&](Index c) { return M.data() + c * n; };
    for (Index start = 0; start < n; ++start) {
        if (placed[static_cast<std::size_t>(start)]) {
            continue;
        }
        std::copy(column(start), column(start) + n, held.begin());
        for (Index target = start;;) {
            placed[static_cast<std::size_t>(target)] = true;
            const Index source = order[static_cast<std::size_t>(target)];
            if (source == start) {
                std::copy(held.begin(), held.end(), column(target));
                break;
            }
            std::copy(column(source), column(source) + n, column(target));
            target = source;
        }
    }
}

// Every `step`-th element of a sequence of `total`, so that at most `limit` are taken.
Index sample_step(double total, double limit) { return static_cast<Index>(std::ceil(std::max(1.0, total / limit))); }

// The pairs of the picture of G against A22: the off-diagonal elements (each pair once) and the
// diagonals, evenly thinned to at most 5000 and 2000.
void sample_pairs(const MatrixXd& G22, const Eigen::Ref<const MatrixXd>& A22, GvsA22Report& report) {
    const Index g = G22.rows();
    const Index diagonal_step = sample_step(static_cast<double>(g), 2000.0);
    for (Index i = 0; i < g; i += diagonal_step) {
        report.diagonal_G.push_back(G22(i, i));
        report.diagonal_A.push_back(A22(i, i));
    }
    const Index step = sample_step(0.5 * static_cast<double>(g) * static_cast<double>(g - 1), 5000.0);
    Index position = 0;
    for (Index c = 0; c < g; ++c) {
        for (Index r = c + 1; r < g; ++r, ++position) {
            if (position % step == 0) {
                report.offdiagonal_G.push_back(G22(r, c));
                report.offdiagonal_A.push_back(A22(r, c));
            }
        }
    }
}

void print_scale(const KinshipAgreement& summary, Index g, const ConsoleLines& console) {
    std::ostringstream text;
    text << "Scale of G22 against A22 for the " << g << " genotyped individuals:\n";
    if (g < 2) {
        text << "  G22: mean diagonal " << summary.mean_diagonal_G << "\n"
             << "  A22: mean diagonal " << summary.mean_diagonal_A << "\n"
             << "  Correlation of off-diagonal elements: not defined (one genotyped individual)\n";
        say(console, text.str());
        return;
    }
    text << "  G22: mean diagonal " << summary.mean_diagonal_G << ", mean off-diagonal " << summary.mean_offdiagonal_G
         << "\n"
         << "  A22: mean diagonal " << summary.mean_diagonal_A << ", mean off-diagonal " << summary.mean_offdiagonal_A
         << "\n"
         << "  Correlation of off-diagonal elements: ";
    if (std::isnan(summary.correlation_offdiagonal)) {
        text << "not defined (no variation)";
    } else {
        text << summary.correlation_offdiagonal;
    }
    text << "\n";
    say(console, text.str());
}

}  // namespace

MatrixXd gather_symmetric(const MatrixXd& source, const std::vector<Index>& positions) {
    const Index size = static_cast<Index>(positions.size());
    MatrixXd result(size, size);
    for (Index c = 0; c < size; ++c) {
        const double* column = source.col(positions[c]).data();
        double* target = result.col(c).data();
        for (Index r = 0; r < size; ++r) {
            target[r] = column[positions[r]];
        }
    }
    return result;
}

std::pair<MatrixXd, std::vector<std::string>> Hkin(MatrixXd A, MatrixXd G,
                                                   const std::vector<std::string>& A_ids,
                                                   const std::vector<std::string>& G_ids, double tau, double omega,
                                                   const G22Adjustment& adjustment, GvsA22Report* report,
                                                   const ConsoleLines& console) {
    const auto start = std::chrono::steady_clock::now();
    say(console, "Comparing individuals of A and G ... \n");

    if (A.rows() != static_cast<Index>(A_ids.size()) || A.cols() != A.rows() ||
        G.rows() != static_cast<Index>(G_ids.size()) || G.cols() != G.rows()) {
        throw std::invalid_argument("Hkin: A is " + std::to_string(A.rows()) + " x " + std::to_string(A.cols()) +
                                    " for " + std::to_string(A_ids.size()) + " pedigree IDs and G " +
                                    std::to_string(G.rows()) + " x " + std::to_string(G.cols()) + " for " +
                                    std::to_string(G_ids.size()) + " genotyped IDs.");
    }
    std::unordered_map<std::string, Index> G_position;
    G_position.reserve(G_ids.size());
    for (std::size_t k = 0; k < G_ids.size(); ++k) {
        if (!G_position.emplace(G_ids[k], static_cast<Index>(k)).second) {
            throw std::runtime_error("Individual " + G_ids[k] + " is listed twice in the genotype data.");
        }
    }
    std::unordered_map<std::string, Index> A_position;
    A_position.reserve(A_ids.size());
    for (std::size_t k = 0; k < A_ids.size(); ++k) {
        if (!A_position.emplace(A_ids[k], static_cast<Index>(k)).second) {
            throw std::runtime_error("Individual " + A_ids[k] + " is listed twice in the pedigree.");
        }
    }

    // Genotyped pedigree individuals in genotype order, with their positions in both lists.
    std::vector<std::string> genotyped;
    std::vector<Index> genotyped_in_G;
    std::vector<Index> genotyped_in_A;
    for (std::size_t k = 0; k < G_ids.size(); ++k) {
        const auto found = A_position.find(G_ids[k]);
        if (found != A_position.end()) {
            genotyped.push_back(G_ids[k]);
            genotyped_in_G.push_back(static_cast<Index>(k));
            genotyped_in_A.push_back(found->second);
        }
    }
    const std::size_t g = genotyped.size();
    say(console, std::to_string(G_ids.size() - g) + " individuals of G were not included in A.\n" +
                     (g < A_ids.size() ? std::to_string(A_ids.size() - g) + " individuals of A were not included in G.\n"
                                       : std::to_string(A_ids.size()) + " individuals of A were included in G.\n"));
    if (g == 0) {
        throw std::runtime_error("None of the " + std::to_string(A_ids.size()) +
                                 " pedigree individuals is among the " + std::to_string(G_ids.size()) +
                                 " genotyped individuals: the IDs of the pedigree file and of the .fam file must "
                                 "match exactly.");
    }

    // Output order: non-genotyped in pedigree order, then genotyped in genotype order.
    std::vector<std::string> H_ids;
    std::vector<Index> order_in_A;
    H_ids.reserve(A_ids.size());
    order_in_A.reserve(A_ids.size());
    for (std::size_t k = 0; k < A_ids.size(); ++k) {
        if (G_position.count(A_ids[k]) == 0) {
            H_ids.push_back(A_ids[k]);
            order_in_A.push_back(static_cast<Index>(k));
        }
    }
    const Index u = static_cast<Index>(H_ids.size());
    H_ids.insert(H_ids.end(), genotyped.begin(), genotyped.end());
    order_in_A.insert(order_in_A.end(), genotyped_in_A.begin(), genotyped_in_A.end());

    // A becomes H in place and G is freed once G22 is taken, so that neither is held beside H
    // and its temporaries; G already in the order of G22 becomes G22 without a copy.
    bool G_in_order = genotyped_in_G.size() == static_cast<std::size_t>(G.rows());
    for (std::size_t k = 0; G_in_order && k < genotyped_in_G.size(); ++k) {
        G_in_order = genotyped_in_G[k] == static_cast<Index>(k);
    }
    MatrixXd G22 = G_in_order ? std::move(G) : gather_symmetric(G, genotyped_in_G);
    G.resize(0, 0);
    // The partitioned A, turned into H in place.
    MatrixXd H = std::move(A);
    permute_in_place(H, order_in_A);
    const Index g_size = static_cast<Index>(g);
    const auto A22 = H.bottomRightCorner(g_size, g_size);
    const KinshipAgreement raw = compare_g_with_a22(G22, A22);
    print_scale(raw, g_size, console);
    if (report != nullptr) {
        report->raw = raw;
        report->entering = raw;
        report->adjustment = adjustment;
        sample_pairs(G22, A22, *report);
    }
    if (adjustment.changes_g()) {
        const AppliedTuning tuning = adjust_g22(G22, A22, adjustment);
        if (report != nullptr) {
            report->tuning = tuning;
            report->entering = compare_g_with_a22(G22, A22);
        }
    }

    say(console, "Computing the H matrix... \n");
    {
        ProgressLine progress("H", "steps");
        HkinCpp(H, G22, H.bottomLeftCorner(g_size, u), H.bottomRightCorner(g_size, g_size), tau, omega,
                [&](Index done, Index total) { progress.update(done, total); });
    }

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::ostringstream completed;
    completed << "\nCompleted! Time = " << elapsed.count() << " seconds \n";
    say(console, completed.str());
    return {std::move(H), std::move(H_ids)};
}
