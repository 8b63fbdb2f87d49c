#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

// The single-step relationship matrix, in place. On entry H holds the pedigree relationship
// matrix A ordered non-genotyped (u) first, genotyped (g = G22.rows()) last; A21 (g x u) and
// A22 (g x g) are its blocks (they may be views of H's own blocks: they are read completely
// before H is written) and G22 the genomic relationships of the genotyped individuals in the
// same order. With Gw = G22 when tau = omega = 1, else Gw = inverse(tau * inverse(G22 +
// 0.0001 I) + (1 - omega) * inverse(A22)), on return H holds
//   H11 = A11 + A12 A22^-1 (Gw - A22) A22^-1 A21,  H12 = A12 + A12 A22^-1 (Gw - A22),
//   H21 = H12',  H22 = Gw,
// exactly symmetric apart from H22 = G22 in the unscaled case. Taking A as the storage of H
// keeps the route at one n x n matrix. `on_progress`, when given, receives (steps done, steps
// in all) after each step. Prints nothing. Throws std::invalid_argument when the blocks do not
// fit together, std::runtime_error when A22, the ridged G22 or the blended matrix is singular
// or an input is not finite.
void HkinCpp(Eigen::MatrixXd& H, const Eigen::MatrixXd& G22, const Eigen::Ref<const Eigen::MatrixXd>& A21,
             const Eigen::Ref<const Eigen::MatrixXd>& A22, double tau, double omega,
             const std::function<void(Eigen::Index, Eigen::Index)>& on_progress = nullptr);

// Matches the pedigree individuals (A_ids, rows of A) with the genotyped ones (G_ids, rows of
// G), prints the matching counts, a scale comparison of G22 and A22 and the time on standard
// output, and returns H with its IDs: the non-genotyped pedigree individuals in pedigree order,
// then the genotyped ones in genotype order. Genotyped individuals outside the pedigree are
// dropped. A and G are taken by value: A's storage becomes H (A reordered in place) and G is
// freed once G22 is taken, so a caller that needs them no more moves them in and H is never
// held beside a second n x n matrix. Throws std::runtime_error when no pedigree individual is
// genotyped, std::invalid_argument when the matrices and ID lists disagree in size.
std::pair<Eigen::MatrixXd, std::vector<std::string>> Hkin(Eigen::MatrixXd A, Eigen::MatrixXd G,
                                                          const std::vector<std::string>& A_ids,
                                                          const std::vector<std::string>& G_ids, double tau,
                                                          double omega);
