#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "log/console_lines.h"

// Added to G's diagonal before it is inverted for H: G is singular whenever there are more
// genotyped animals than markers, or two of them share a genotype.
constexpr double kGenomicRidge = 0.0001;

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

// G22 against A22, the genomic and the pedigree relationships of the same genotyped individuals
// in the same order: the means of the diagonals and of the off-diagonal elements, the
// correlations of the diagonals, of the off-diagonal elements (each pair once) and of all
// elements (the lower triangle with the diagonal), and the regression G = intercept + slope A22
// over all elements. A correlation or regression that is not defined (no variation) is NaN.
struct KinshipAgreement {
    Eigen::Index individuals = 0;
    double mean_diagonal_G = 0.0;
    double mean_offdiagonal_G = 0.0;
    double mean_diagonal_A = 0.0;
    double mean_offdiagonal_A = 0.0;
    double correlation_diagonal = 0.0;
    double correlation_offdiagonal = 0.0;
    double correlation_all = 0.0;
    double slope = 0.0;
    double intercept = 0.0;
};
KinshipAgreement compare_g_with_a22(const Eigen::Ref<const Eigen::MatrixXd>& G22,
                                    const Eigen::Ref<const Eigen::MatrixXd>& A22);

// How G22 is adjusted before it enters H: with `tune`, G becomes a + b G with a and b such that
// its mean diagonal and mean off-diagonal equal those of A22; then G* = alpha G + beta A22
// (alpha = 1, beta = 0: unchanged).
struct G22Adjustment {
    bool tune = false;
    double alpha = 1.0;
    double beta = 0.0;
    bool changes_g() const { return tune || alpha != 1.0 || beta != 0.0; }
};
struct AppliedTuning {
    double intercept = 0.0;  // a
    double slope = 1.0;      // b
};
// Applies `adjustment` to G22 in place and returns the tuning used (a = 0, b = 1 without it).
// Throws std::invalid_argument when alpha or beta is not finite or alpha + beta <= 0, and
// std::runtime_error when G22's mean diagonal equals its mean off-diagonal (nothing to tune) or
// the result is not finite.
AppliedTuning adjust_g22(Eigen::MatrixXd& G22, const Eigen::Ref<const Eigen::MatrixXd>& A22,
                         const G22Adjustment& adjustment);

// What Hkin saw of G22 against A22: the agreement of the raw G and of the G that entered H, the
// tuning applied, and a sample of the pairs for a picture (every off-diagonal pair when there are
// at most 5000, else an even spread of 5000; the diagonals likewise, at most 2000).
struct GvsA22Report {
    KinshipAgreement raw;
    KinshipAgreement entering;
    G22Adjustment adjustment;
    AppliedTuning tuning;
    std::vector<double> offdiagonal_A, offdiagonal_G;
    std::vector<double> diagonal_A, diagonal_G;
};

// Matches the pedigree individuals (A_ids, rows of A) with the genotyped ones (G_ids, rows of
// G), says the matching counts, a scale comparison of G22 and A22 and the time on `console`,
// and returns H with its IDs: the non-genotyped pedigree individuals in pedigree order,
// then the genotyped ones in genotype order. Genotyped individuals outside the pedigree are
// dropped. A and G are taken by value: A's storage becomes H (A reordered in place) and G is
// freed once G22 is taken, so a caller that needs them no more moves them in and H is never
// held beside a second n x n matrix. Throws std::runtime_error when no pedigree individual is
// genotyped, std::invalid_argument when the matrices and ID lists disagree in size.
// G22 is adjusted by `adjustment` (adjust_g22) before H is formed; `report`, when given, receives
// the comparison of G22 with A22 before and after.
std::pair<Eigen::MatrixXd, std::vector<std::string>> Hkin(Eigen::MatrixXd A, Eigen::MatrixXd G,
                                                          const std::vector<std::string>& A_ids,
                                                          const std::vector<std::string>& G_ids, double tau,
                                                          double omega, const G22Adjustment& adjustment = {},
                                                          GvsA22Report* report = nullptr,
                                                          const ConsoleLines& console = {});

// M(r, c) = source(positions[r], positions[c]).
Eigen::MatrixXd gather_symmetric(const Eigen::MatrixXd& source, const std::vector<Eigen::Index>& positions);

// ---- The inverse of H without H ---------------------------------------------------------------
// H^-1 = A^-1 + [0 0; 0 tau (G22 + 0.0001 I)^-1 - omega A22^-1]: the sparse inverse of A plus a
// dense block on the genotyped individuals. The ridge is added for every tau and omega (G alone
// is singular whenever there are fewer markers than genotyped individuals). Each step below
// works in place on the lower triangle of its g x g matrix, so that the route holds at most two
// of them (G22 and A22) and never an N x N matrix.

// The genotyped individuals of a pedigree: their positions there (ascending) and the row of each
// in the genotype data; genotyped individuals outside the pedigree are counted and left out.
struct GenotypedInPedigree {
    std::vector<Eigen::Index> pedigree_positions;
    std::vector<Eigen::Index> genotype_rows;
    std::size_t not_in_pedigree = 0;
};
// Throws std::runtime_error when no pedigree individual is genotyped.
GenotypedInPedigree match_genotyped(const std::vector<std::string>& pedigree_ids,
                                    const std::vector<std::string>& genotype_ids);

// G22 := (G22 + 0.0001 I)^-1. Throws std::runtime_error naming G22 when the ridged matrix is
// singular or not positive definite (a G tuned or blended into an indefinite matrix).
void genomic_inverse_in_place(Eigen::MatrixXd& G22);

// G22 := the inverse of G22 + 0.0001 I by the algorithm for proven and young animals (APY):
// with the core individuals c (rows of G22, distinct, in any order) and the others n,
// G^-1 = [Gcc^-1 0; 0 0] + [-P; I] M^-1 [-P' I], P = Gcc^-1 Gcn and M diagonal with
// m_j = g_jj - g_jc P_j: the others are taken as conditionally independent given the core.
// O(c^2 g) time instead of O(g^3); with every individual in the core it is the plain inverse.
// Throws std::invalid_argument for an empty core or a row outside G22, std::runtime_error naming
// Gcc when it is singular, or the first individual whose m_j is not positive.
void apy_genomic_inverse_in_place(Eigen::MatrixXd& G22, const std::vector<Eigen::Index>& core);

// `core_size` distinct rows of 0..genotyped-1, drawn by a Fisher-Yates shuffle driven by the
// 64-bit Mersenne Twister (std::mt19937_64, its standard output sequence) from `seed`, returned
// in ascending order. The same seed gives the same core on every platform.
constexpr std::uint64_t kApyCoreSeed = 20270101;
std::vector<Eigen::Index> draw_apy_core(Eigen::Index genotyped, Eigen::Index core_size,
                                        std::uint64_t seed = kApyCoreSeed);

// A22 := A22^-1. Throws std::runtime_error naming A22 when it is singular or not positive
// definite (which a valid pedigree never gives).
void pedigree_block_inverse_in_place(Eigen::MatrixXd& A22);

// genomic_inverse := tau * genomic_inverse - omega * A22_inverse, lower triangles.
void combine_genotyped_block(Eigen::MatrixXd& genomic_inverse, const Eigen::MatrixXd& A22_inverse, double tau,
                             double omega);

// Per level of an animal effect, the information of its records once the fixed effects have
// taken their share: sum over its records of w_r (1 - h_r), w_r the record's weight 1 / Var(e_r)
// and h_r its leverage w_r x_r' (X'WX)^-1 x_r. X holds estimable columns only. Throws
// std::runtime_error when X'WX is singular.
Eigen::VectorXd absorbed_record_information(const Eigen::MatrixXd& X, const Eigen::VectorXd& record_weights,
                                            const std::vector<Eigen::Index>& level_of_record, Eigen::Index levels);

// What approximate reliabilities start from. Parents come before their progeny (-1 unknown).
// The genotyped animals' prior precision is the genotyped block of H^-1 with A22^-1 added back,
// tau Gw^-1 + (1 - omega) A22^-1 (lower triangle; Gw^-1 with tau = omega = 1), in the order of
// `genotyped` (positions, ascending); their prior variances are relative to the genetic
// variance (Gw's diagonal).
struct ReliabilityInputs {
    std::vector<std::int32_t> sire_index, dam_index;
    std::vector<double> inbreeding;
    Eigen::VectorXd record_information;  // per animal, absorbed_record_information
    double genetic_variance = 0.0;
    std::vector<Eigen::Index> genotyped;
    Eigen::MatrixXd genotyped_prior;
    Eigen::VectorXd genotyped_variances;
};

// Prediction error variances approximated without inverting the equations. Each animal's
// information (1 / variance) from its records, then from its progeny, youngest first (a progeny
// o with information I tells its parent p 1/4 / (Var(a_o | a_p) + 1/I)), then from its parents,
// oldest first (their information without this progeny's narrows its prior by 1/4 Var(a^_p)).
// For the genotyped animals G replaces these pedigree links: C22 = diag(e) + P0 / sa2, e their
// information from own records, progeny and parents that are not genotyped, and PEV = diag of
// C22^-1; their values then pass to the relatives that are not genotyped. Prior variances are
// sa2 (1 + F), Gw_ii for genotyped animals. The factor of C22 is kept (empty without genotypes).
// Every error variance is 0 when the genetic variance is not above 0.
struct ApproximateReliabilities {
    Eigen::VectorXd error_variances;
    Eigen::VectorXd prior_variances;
    Eigen::MatrixXd genotyped_factor;  // L of C22 = L L', lower triangle
    Eigen::VectorXd genotyped_information;  // e
};
ApproximateReliabilities approximate_reliabilities(ReliabilityInputs inputs);

