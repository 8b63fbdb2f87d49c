#pragma once

// Small random data for the mixed-model tests: a genomic-style kinship from random genotypes,
// class-covariate designs and phenotypes drawn from the animal model.

#include <utility>
#include <vector>

#include <Eigen/Dense>

// G = W W' / (2 sum p(1-p)) from n x markers random genotypes, W centred by column: singular
// (rows sum to 0). `ridge` is added to the diagonal to make it invertible.
Eigen::MatrixXd random_kinship(Eigen::Index n, Eigen::Index markers, unsigned seed, double ridge);

// Intercept plus the indicator columns of levels 1 .. levels - 1 of one class covariate (level 0
// left out). Record i has level i % levels.
Eigen::MatrixXd class_design(Eigen::Index n, int levels);

// Z: one row per record, a 1 in the column of its level (levels columns).
Eigen::MatrixXd incidence(const std::vector<Eigen::Index>& level_of_record, Eigen::Index levels);

// y = X b + u + e with u ~ N(0, sa2 K), e ~ N(0, se2 I).
Eigen::MatrixXd simulate_trait(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, double sigma_a2,
                               double sigma_e2, unsigned seed);

// A by the tabular method, parents (-1: unknown) listed before their offspring: a(j, j) =
// 1 + a(sire, dam) / 2 and a(i, j) = (a(i, sire) + a(i, dam)) / 2 for i before j.
Eigen::MatrixXd tabular_relationships(const std::vector<std::pair<int, int>>& parents);
