// Reliabilities without the inverse of the mixed model equations: the information of each
// animal's records and relatives passed along the pedigree, and for the genotyped animals one
// dense system in which G takes the place of their pedigree relationships.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "hmatrix/hmatrix.h"
#include "linear_algebra/cholesky.h"

namespace {

using Eigen::Index;

// Var(a_o | a_p): what a parent leaves unexplained of its progeny's value.
double unexplained_by_parent(double progeny_variance, double parent_variance) {
    return progeny_variance - 0.25 * parent_variance;
}

// Reliability of a parent from its precision `precision` (prior included) and prior variance.
double reliability_of(double precision, double variance) {
    if (!(precision > 0.0) || !(variance > 0.0)) return 0.0;
    return std::clamp(1.0 - 1.0 / (precision * variance), 0.0, 1.0);
}

}  // namespace

Eigen::VectorXd absorbed_record_information(const Eigen::MatrixXd& X, const Eigen::VectorXd& record_weights,
                                            const std::vector<Index>& level_of_record, Index levels) {
    const Index records = X.rows();
    if (record_weights.size() != records || static_cast<Index>(level_of_record.size()) != records) {
        throw std::invalid_argument("Record information needs a weight and a level per record.");
    }
    Eigen::VectorXd leverage = Eigen::VectorXd::Zero(records);
    if (X.cols() > 0) {
        const Eigen::MatrixXd weighted = record_weights.cwiseSqrt().asDiagonal() * X;
        const Eigen::LLT<Eigen::MatrixXd> normal(weighted.transpose() * weighted);
        if (normal.info() != Eigen::Success) {
            throw std::runtime_error("the fixed effects' equations are singular; no reliability can be approximated.");
        }
        // h_r = w_r x_r' (X'WX)^-1 x_r, the share of record r the fixed effects take.
        const Eigen::MatrixXd solved = normal.matrixL().solve(weighted.transpose());
        leverage = solved.colwise().squaredNorm().transpose();
    }
    Eigen::VectorXd information = Eigen::VectorXd::Zero(levels);
    for (Index r = 0; r < records; ++r) {
        const Index level = level_of_record[static_cast<std::size_t>(r)];
        if (level < 0 || level >= levels) throw std::invalid_argument("A record's level is outside the levels.");
        information[level] += record_weights[r] * std::max(0.0, 1.0 - leverage[r]);
    }
    return information;
}

ApproximateReliabilities approximate_reliabilities(ReliabilityInputs inputs) {
    const auto n = static_cast<Index>(inputs.sire_index.size());
    const double s = inputs.genetic_variance;
    if (static_cast<Index>(inputs.dam_index.size()) != n || static_cast<Index>(inputs.inbreeding.size()) != n ||
        inputs.record_information.size() != n ||
        inputs.genotyped_variances.size() != static_cast<Index>(inputs.genotyped.size()) ||
        inputs.genotyped_prior.rows() != static_cast<Index>(inputs.genotyped.size())) {
        throw std::invalid_argument("Approximate reliabilities need parents, inbreeding and records per animal.");
    }
    ApproximateReliabilities result;
    result.error_variances = Eigen::VectorXd::Constant(n, std::numeric_limits<double>::quiet_NaN());
    result.prior_variances = Eigen::VectorXd::Zero(n);
    for (Index i = 0; i < n; ++i) result.prior_variances[i] = s * (1.0 + inputs.inbreeding[static_cast<std::size_t>(i)]);
    std::vector<Index> block_of(static_cast<std::size_t>(n), -1);
    for (std::size_t k = 0; k < inputs.genotyped.size(); ++k) {
        block_of[static_cast<std::size_t>(inputs.genotyped[k])] = static_cast<Index>(k);
        result.prior_variances[inputs.genotyped[k]] = s * inputs.genotyped_variances[static_cast<Index>(k)];
    }
    if (!(s > 0.0)) {  // every value is 0, known without error
        result.error_variances.setZero();
        return result;
    }
    const Eigen::VectorXd& variance = result.prior_variances;
    const auto parents = [&](Index i) {
        return std::array<Index, 2>{inputs.sire_index[static_cast<std::size_t>(i)],
                                    inputs.dam_index[static_cast<std::size_t>(i)]};
    };

    // Upwards, youngest first: a progeny with data information I about itself tells its parent
    // 1/4 / (Var(a_o | a_p) + 1/I), as a record of the parent's value.
    Eigen::VectorXd upward = inputs.record_information;
    Eigen::MatrixXd given_to_parent = Eigen::MatrixXd::Zero(n, 2);
    for (Index o = n - 1; o >= 0; --o) {
        const std::array<Index, 2> p = parents(o);
        for (int side = 0; side < 2; ++side) {
            if (p[side] < 0) continue;
            const double rest = unexplained_by_parent(variance[o], variance[p[side]]);
            const double contribution = 0.25 * upward[o] / (rest * upward[o] + 1.0);
            given_to_parent(o, side) = contribution;
            upward[p[side]] += contribution;
        }
    }

    // Downwards, oldest first: what the parents know, their progeny's own contribution left out,
    // narrows its prior, Var(a_o) - 1/4 Var(a^_s) - 1/4 Var(a^_d); its data adds to that.
    Eigen::VectorXd precision(n);
    const auto downward = [&](bool genomic) {
        for (Index o = 0; o < n; ++o) {
            if (genomic && block_of[static_cast<std::size_t>(o)] >= 0) continue;  // from the genotyped system
            double prior = variance[o];
            const std::array<Index, 2> p = parents(o);
            for (int side = 0; side < 2; ++side) {
                if (p[side] < 0) continue;
                const double known = reliability_of(precision[p[side]] - given_to_parent(o, side), variance[p[side]]);
                prior -= 0.25 * variance[p[side]] * known;
            }
            precision[o] = 1.0 / std::max(prior, 1e-12 * variance[o]) + upward[o];
        }
    };
    downward(false);

    const auto g = static_cast<Index>(inputs.genotyped.size());
    if (g > 0) {
        // The genotyped animals' information that G does not carry: their own records, the
        // progeny that are not genotyped, and parents that are not.
        Eigen::VectorXd outside = Eigen::VectorXd::Zero(g);
        for (Index k = 0; k < g; ++k) outside[k] = inputs.record_information[inputs.genotyped[static_cast<std::size_t>(k)]];
        for (Index o = 0; o < n; ++o) {
            const Index own = block_of[static_cast<std::size_t>(o)];
            const std::array<Index, 2> p = parents(o);
            for (int side = 0; side < 2; ++side) {
                if (p[side] < 0) continue;
                const Index parent = block_of[static_cast<std::size_t>(p[side])];
                if (own < 0 && parent >= 0) outside[parent] += given_to_parent(o, side);
                if (own >= 0 && parent < 0) {
                    const double known =
                        reliability_of(precision[p[side]] - given_to_parent(o, side), variance[p[side]]);
                    const double narrowed = variance[o] - 0.25 * variance[p[side]] * known;
                    outside[own] += 1.0 / std::max(narrowed, 1e-12 * variance[o]) - 1.0 / variance[o];
                }
            }
        }
        // C22 = diag(outside) + P0 / s, P0 the genotyped animals' prior precision.
        Eigen::MatrixXd& factor = result.genotyped_factor;
        factor = std::move(inputs.genotyped_prior);
        factor.triangularView<Eigen::Lower>() /= s;
        factor.diagonal() += outside;
        if (!(cholesky_in_place(factor, "C22") > kSingularRcond)) {
            throw std::runtime_error("the genotyped animals' equations are not positive definite; no reliability "
                                     "can be approximated.");
        }
        result.genotyped_information = outside;
        // diag(C22^-1): the squared column norms of L^-1, a block of its columns at a time (column
        // j is 0 above row j).
        Eigen::VectorXd error(g);
        constexpr Index kColumns = 512;
        for (Index first = 0; first < g; first += kColumns) {
            const Index width = std::min(kColumns, g - first), rows = g - first;
            Eigen::MatrixXd columns = Eigen::MatrixXd::Identity(rows, width);
            solve_lower_in_place(factor, columns);
            error.segment(first, width) = columns.colwise().squaredNorm().transpose();
        }
        for (Index k = 0; k < g; ++k) precision[inputs.genotyped[static_cast<std::size_t>(k)]] = 1.0 / error[k];
        downward(true);
    }
    result.error_variances = precision.cwiseInverse();
    return result;
}
