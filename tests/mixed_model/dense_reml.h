#pragma once

// REML by brute force, for checking the fast estimation: the restricted log-likelihood formed
// densely (Cholesky of V), maximised over the heritability by a fine grid and a golden-section
// search, the total variance profiled out. Nothing here shares code with src/mixed_model.

#include <Eigen/Dense>

// -0.5 (log|V| + log|X'V^-1 X| + y'Py) with V = sa2 K + se2 I, the program's convention (no
// constant terms). -infinity where V or X'V^-1 X is not positive definite. X of full rank.
double dense_restricted_loglik(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y,
                               double sigma_a2, double sigma_e2);

struct DenseRemlFit {
    double sigma_a2 = 0.0;
    double sigma_e2 = 0.0;
    double log_likelihood = 0.0;
};

// The REML estimate over sa2 >= 0, se2 > 0 (h2 in [0, 1 - 1e-9]).
DenseRemlFit dense_reml_maximum(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X, const Eigen::VectorXd& y);

// The average-information matrix at (sa2, se2) from its definition as the mean of the observed
// information (the negative Hessian of the likelihood above, by central differences with one
// Richardson extrapolation) and the expected information 0.5 tr(P Vi P Vj).
Eigen::Matrix2d dense_average_information(const Eigen::MatrixXd& K, const Eigen::MatrixXd& X,
                                          const Eigen::VectorXd& y, double sigma_a2, double sigma_e2);
