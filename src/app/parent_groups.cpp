#include "app/parent_groups.h"

#include <cmath>
#include <limits>
#include <numeric>
#include <algorithm>

#include "log/failures.h"
#include "pedigree/pedigree.h"
#include "log/logger.h"
#include "mixed_model/kinship_band.h"
#include "mixed_model/mixed_model.h"

namespace {

using Eigen::Index;

// Q's rows add up to 1 in every record: the groups together are the intercept.
bool shares_add_to_one(const Eigen::MatrixXd& records_Q) {
    return records_Q.rows() > 0 && ((records_Q.rowwise().sum().array() - 1.0).abs() < 1e-9).all();
}

}  // namespace

GroupEquations estimable_groups(const FixedDesign& design, const std::vector<Index>& kept,
                                const Eigen::MatrixXd& records_Q, const std::vector<std::string>& names,
                                Logger& logger) {
    const Eigen::MatrixXd X = design.full(Eigen::all, kept);
    // A column of X as the messages name it: its effect and level.
    const auto describe = [&](Index c) {
        const auto column = static_cast<std::size_t>(kept[static_cast<std::size_t>(c)]);
        return design.levels[column].empty() ? design.effects[column]
                                             : design.effects[column] + " " + design.levels[column];
    };
    const Index p = X.cols();
    const Index g = records_Q.cols();
    GroupEquations groups{names, std::vector<std::string>(static_cast<std::size_t>(g), "estimated"), {}};
    Eigen::MatrixXd both(X.rows(), p + g + 1);
    both << X, records_Q, Eigen::VectorXd::Ones(X.rows());
    // The fixed effects first; the groups from the last, so that a group left over by the
    // intercept is the first (the reference, as a class's first level).
    std::vector<Index> order(static_cast<std::size_t>(p));
    std::iota(order.begin(), order.end(), Index{0});
    std::vector<Index> with_groups = order;
    for (Index k = g - 1; k >= 0; --k) {
        if (records_Q.rows() == 0 || records_Q.col(k).cwiseAbs().maxCoeff() == 0.0) {
            groups.status[static_cast<std::size_t>(k)] = "no_records";
        } else {
            with_groups.push_back(p + k);
        }
    }
    const std::vector<Index> independent = independent_columns(both, with_groups);
    std::vector<Index> aliased;
    for (Index k = 0; k < g; ++k) {
        if (groups.status[static_cast<std::size_t>(k)] != "estimated") {
            continue;
        }
        if (std::find(independent.begin(), independent.end(), p + k) == independent.end()) {
            aliased.push_back(k);
        } else {
            groups.kept.push_back(k);
        }
    }
    order.push_back(p + g);  // is the intercept among the fixed effects' columns?
    const bool intercept = independent_columns(both, order).size() == static_cast<std::size_t>(p);
    if (aliased.size() == 1 && intercept && shares_add_to_one(records_Q)) {
        const auto reference = static_cast<std::size_t>(aliased.front());
        groups.status[reference] = "reference";
        logger.tee << "👉 The unknown parent groups' shares add up to 1 in every record, as the intercept does: group "
                   << names[reference] << " is the reference (0), the others are measured from it." << std::endl;
    } else if (!aliased.empty()) {
        // Name what the group's column is made of: the largest share of its least-squares fit.
        const Index k = aliased.front();
        std::vector<Index> basis;
        for (const Index c : independent) {
            basis.push_back(c);
        }
        const Eigen::MatrixXd fit = both(Eigen::all, basis);
        const Eigen::VectorXd coefficients = fit.colPivHouseholderQr().solve(records_Q.col(k));
        Index largest = -1;
        for (Index c = 0; c < coefficients.size(); ++c) {
            if (largest < 0 || std::abs(coefficients[c]) > std::abs(coefficients[largest])) {
                largest = c;
            }
        }
        const Index column = basis[static_cast<std::size_t>(largest)];
        const std::string partner = column < p ? describe(column) : "group " + names[static_cast<std::size_t>(column - p)];
        throw InputCheckFailure("the unknown parent group " + names[static_cast<std::size_t>(k)] +
                                " (--ped-groups) is confounded with " + partner + ": the mixed model equations are "
                                "singular in the group's column. Merge the group with another one, or give its "
                                "parents no group.");
    }
    for (std::size_t k = 0; k < groups.status.size(); ++k) {
        if (groups.status[k] == "no_records") {
            logger.tee << "👉 Unknown parent group " << names[k] << " has no records among its descendants: it is "
                       << "not estimated (no_records), its parents read as unknown without a group." << std::endl;
        }
    }
    return groups;
}

Eigen::SparseMatrix<double, Eigen::RowMajor> keep_group_rows(const Eigen::SparseMatrix<double, Eigen::RowMajor>& inverse,
                                                            Index individuals, const std::vector<Index>& kept) {
    std::vector<Index> position(static_cast<std::size_t>(inverse.rows()), -1);
    for (Index i = 0; i < individuals; ++i) {
        position[static_cast<std::size_t>(i)] = i;
    }
    for (std::size_t k = 0; k < kept.size(); ++k) {
        position[static_cast<std::size_t>(individuals + kept[k])] = individuals + static_cast<Index>(k);
    }
    const Index size = individuals + static_cast<Index>(kept.size());
    if (size == inverse.rows()) {
        return inverse;
    }
    std::vector<Eigen::Triplet<double>> entries;
    entries.reserve(static_cast<std::size_t>(inverse.nonZeros()));
    for (Index row = 0; row < inverse.outerSize(); ++row) {
        const Index to_row = position[static_cast<std::size_t>(row)];
        for (Eigen::SparseMatrix<double, Eigen::RowMajor>::InnerIterator it(inverse, row); it; ++it) {
            const Index to_column = position[static_cast<std::size_t>(it.col())];
            if (to_row >= 0 && to_column >= 0) {
                entries.emplace_back(to_row, to_column, it.value());
            }
        }
    }
    Eigen::SparseMatrix<double, Eigen::RowMajor> kept_inverse(size, size);
    kept_inverse.setFromTriplets(entries.begin(), entries.end());
    return kept_inverse;
}

std::vector<FixedEffectRow> group_effect_rows(const GroupEquations& groups, const std::string& trait,
                                              const Eigen::VectorXd& estimates, const Eigen::VectorXd& se) {
    const double not_available = std::numeric_limits<double>::quiet_NaN();
    std::vector<FixedEffectRow> rows;
    std::size_t next = 0;
    for (std::size_t k = 0; k < groups.names.size(); ++k) {
        FixedEffectRow row{trait, "group", groups.names[k], 0.0, not_available, groups.status[k]};
        if (groups.status[k] == "estimated") {
            const auto at = static_cast<Index>(next++);
            row.estimate = estimates[at];
            row.se = se.size() == 0 ? not_available : se[at];
        } else if (groups.status[k] == "no_records") {
            row.estimate = not_available;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

Eigen::RowVectorXd GroupCovariates::of(const std::string& id) const {
    const auto found = row_of.find(id);
    return found == row_of.end() ? Eigen::RowVectorXd::Zero(fractions.cols()) : Eigen::RowVectorXd(fractions.row(found->second));
}

GroupCovariates read_group_covariates(const RunOptions& options, Logger& logger) {
    logger.tee << "👉 Loading pedigree: " << options.pedigree_file << " (for the unknown parent groups)" << std::endl;
    const Pedigree pedigree = read_prepared_pedigree(options, logger);
    GroupCovariates groups;
    groups.names = pedigree.group_names;
    groups.fractions = group_fractions(pedigree);
    for (std::size_t i = 0; i < pedigree.ids.size(); ++i) {
        groups.row_of.emplace(pedigree.ids[i], static_cast<Index>(i));
    }
    return groups;
}

void add_group_columns(Model& model, const GroupCovariates& groups, Logger& logger) {
    FixedDesign& fixed = model.fixed;
    const std::vector<std::string>& record_ids = model.response.record_ids;
    const auto n = static_cast<Index>(record_ids.size());
    const auto g = static_cast<Index>(groups.names.size());
    Eigen::MatrixXd records_Q(n, g);
    Index outside = 0;
    for (Index r = 0; r < n; ++r) {
        const std::string& id = record_ids[static_cast<std::size_t>(r)];
        outside += groups.row_of.count(id) == 0 ? 1 : 0;
        records_Q.row(r) = groups.of(id);
    }
    if (outside > 0) {
        logger.tee << "👉 " << outside << " record(s) of individuals outside the pedigree: no unknown parent group "
                   << "among their ancestors." << std::endl;
    }
    const GroupEquations equations =
        estimable_groups(fixed, fixed_effect_columns(fixed.full), records_Q, groups.names, logger);

    // Before the numeric columns, which stay last in both designs.
    const auto insert = [&](Eigen::MatrixXd& design, const std::vector<Index>& which) {
        const Index at = design.cols() - fixed.numeric_columns;
        Eigen::MatrixXd widened(design.rows(), design.cols() + static_cast<Index>(which.size()));
        widened << design.leftCols(at), records_Q(Eigen::all, which), design.rightCols(fixed.numeric_columns);
        design = std::move(widened);
        return static_cast<std::size_t>(at);
    };
    std::vector<Index> every(static_cast<std::size_t>(g));
    std::iota(every.begin(), every.end(), Index{0});
    const std::size_t at = insert(fixed.full, every);
    insert(fixed.reduced, equations.kept);
    for (Index k = g - 1; k >= 0; --k) {
        const std::string& name = groups.names[static_cast<std::size_t>(k)];
        fixed.labels.insert(fixed.labels.begin() + static_cast<std::ptrdiff_t>(at), "group_" + name);
        fixed.sources.insert(fixed.sources.begin() + static_cast<std::ptrdiff_t>(at), kGroupSource);
        fixed.effects.insert(fixed.effects.begin() + static_cast<std::ptrdiff_t>(at), "group");
        fixed.levels.insert(fixed.levels.begin() + static_cast<std::ptrdiff_t>(at), name);
    }
}

Eigen::MatrixXd group_shifts(const GroupCovariates& groups, const std::vector<std::string>& ids,
                             const FixedDesign& design, const std::vector<Index>& kept) {
    Eigen::MatrixXd shifts = Eigen::MatrixXd::Zero(static_cast<Index>(kept.size()), static_cast<Index>(ids.size()));
    for (std::size_t c = 0; c < kept.size(); ++c) {
        const auto column = static_cast<std::size_t>(kept[c]);
        if (design.sources[column] != kGroupSource) {
            continue;
        }
        const auto group = static_cast<Index>(std::find(groups.names.begin(), groups.names.end(), design.levels[column]) -
                                              groups.names.begin());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const auto found = groups.row_of.find(ids[i]);
            if (found != groups.row_of.end()) {
                shifts(static_cast<Index>(c), static_cast<Index>(i)) = groups.fractions(found->second, group);
            }
        }
    }
    return shifts;
}
