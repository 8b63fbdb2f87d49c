#pragma once

// Unknown parent groups in the mixed model: which groups the records estimate, and their rows in
// the results.

#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Dense>

#include "app/app.h"
#include "mixed_model/result_files.h"

class Logger;

// The groups' place in the equations. A group without records behind it (ZQ's column 0) is
// "no_records"; when every record's group shares add up to 1 and the fixed effects hold the
// intercept, one group is the "reference" at 0 (its parents are read as unknown without a group);
// every other group is "estimated".
struct GroupEquations {
    std::vector<std::string> names;
    std::vector<std::string> status;
    std::vector<Eigen::Index> kept;  // the estimated groups, in the file's order
};

// `kept`: the estimable columns of the design over the records; `records_Q`: Q's row of each
// record's individual (records x groups). Throws InputCheckFailure naming the group and the
// fixed effect (or group) it is confounded with when the equations are singular in a group's
// column otherwise.
GroupEquations estimable_groups(const FixedDesign& design, const std::vector<Eigen::Index>& kept,
                                const Eigen::MatrixXd& records_Q, const std::vector<std::string>& names,
                                Logger& logger);

// The inverse relationship with groups keeps its first `individuals` rows and columns and those
// of the estimated groups: a group left out is a parent without a group.
Eigen::SparseMatrix<double, Eigen::RowMajor> keep_group_rows(const Eigen::SparseMatrix<double, Eigen::RowMajor>& inverse,
                                                            Eigen::Index individuals,
                                                            const std::vector<Eigen::Index>& kept);

// PREFIX.fixed.txt's rows of the groups (Effect "group", Level the code): the estimates of the
// kept groups in their order, with their SEs (empty: NA); 0 for the reference, NA without records.
std::vector<FixedEffectRow> group_effect_rows(const GroupEquations& groups, const std::string& trait,
                                              const Eigen::VectorXd& estimates, const Eigen::VectorXd& se);

// The groups as fixed covariates (the dense routes): Q of every individual of the pedigree.
struct GroupCovariates {
    std::vector<std::string> names;
    Eigen::MatrixXd fractions;  // individuals x groups
    std::unordered_map<std::string, Eigen::Index> row_of;

    // Q's row of an individual: 0 for one outside the pedigree (no group among its ancestors).
    Eigen::RowVectorXd of(const std::string& id) const;
};
// Reads --pedigree with --ped-groups (its log lines as on every pedigree route).
GroupCovariates read_group_covariates(const RunOptions& options, Logger& logger);

// Puts the groups' columns ZQ into the fixed design, after the classes and before the numeric
// columns (Effect "group", the code its level): every group in the full design, where the
// reference and groups without records are never estimated, and the estimated ones in the
// reduced design. Refuses a group confounded with a fixed effect (estimable_groups).
void add_group_columns(Model& model, const GroupCovariates& groups, Logger& logger);

// For individuals `ids`: Q's rows taken to the estimated columns `kept` of the full design
// (kept.size() x ids.size(); 0 in the rows of other columns), so that an individual's value
// a + Qg is u + shift'b.
Eigen::MatrixXd group_shifts(const GroupCovariates& groups, const std::vector<std::string>& ids,
                             const FixedDesign& design, const std::vector<Eigen::Index>& kept);
