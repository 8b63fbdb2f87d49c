#pragma once

// Shared by HkinCpp and Hkin; not part of the folder's public interface.

#include <functional>

#include <Eigen/Dense>

// On entry H holds the partitioned A (n x n, genotyped individuals in the last g = G22.rows()
// rows and columns); on return it holds the single-step matrix. `on_progress`, when given,
// receives (steps done, steps in all) after each step. A21 and A22 may be views of
// H's own blocks: they are read completely before H is written.
void add_single_step_correction(Eigen::MatrixXd& H, const Eigen::MatrixXd& G22,
                                const Eigen::Ref<const Eigen::MatrixXd>& A21,
                                const Eigen::Ref<const Eigen::MatrixXd>& A22, double tau, double omega,
                                const std::function<void(Eigen::Index, Eigen::Index)>& on_progress = nullptr);
