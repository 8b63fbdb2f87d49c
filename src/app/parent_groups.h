#pragma once

// Unknown parent groups in the mixed model: which groups the records estimate, and their rows in
// the results.

#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

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

// `X`: the fixed effects' estimable columns over the records, `describe` names its column c;
// `records_Q`: Q's row of each record's individual (records x groups). Throws InputCheckFailure
// naming the group and the fixed effect (or group) it is confounded with when the equations are
// singular in a group's column otherwise.
GroupEquations estimable_groups(const Eigen::MatrixXd& X, const std::function<std::string(Eigen::Index)>& describe,
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
