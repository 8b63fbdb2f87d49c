#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <memory>
#include <limits>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "genomic/genomic.h"
#include "linear_algebra/sparse_plus_dense.h"
#include "log/failures.h"
#include "mixed_model/model.h"
#include "pedigree/pedigree.h"

class Logger;

// The REML convergence tolerance of every run.
constexpr double kRemlTolerance = 1e-5;
// How many IDs or pairs a log line names before it says "...".
constexpr std::size_t kNamedInLog = 5;
// The width of a result table's column headed `name`.
inline int column_width(const std::string& name) { return std::max(15, static_cast<int>(name.size()) + 2); }

// Everything the command line can set; the runs read it, nothing else does.
struct RunOptions {
    std::string out_prefix = "Results";
    std::string bed_prefix;
    std::string pedigree_file;
    std::string ped_groups_file;  // unknown parent groups: one code a line
    std::string kin_file;
    std::string phe_file;
    int phe_pos = -1;             // 0-based; -1 = not given; the first trait of several
    std::vector<int> trait_pos;   // every --phe-pos column, 0-based, in the user's order (several traits)
    std::vector<int> covar_pos;   // 0-based, in the user's order
    std::vector<int> qcovar_pos;  // numeric covariates, 0-based, in the user's order
    int threads = 1;
    bool threads_given = false;   // --threads sets every run's threads; without it each run has its default
    int kin_method = 1;
    double kin_lambda = 1.0;
    double kin_tau = 1.0;
    double kin_omega = 1.0;
    int max_iter = 30;
    // Models beyond one kinship: several kinship files (--mkin-file, one path per line), a
    // permanent environment of repeated records (--pe), class columns fitted as random effects
    // (--rand-pos, 0-based), likelihood-ratio tests (--lrt), and given variances that replace
    // REML in a prediction (--vc, the V(...) rows of PREFIX.vc.txt in order, residual last).
    std::string mkin_file;
    bool pe = false;
    std::vector<int> rand_pos;
    bool lrt = false;
    std::vector<double> vc;
    bool vc_given = false;
    std::string vc_negative;  // the text of the first negative value of --vc, "" for none
    // --vc-start: REML's starting values, listed as --vc lists values or a results file's name.
    std::string vc_start;
    // The model formula of --model (its text, or @FILE) in place of the column flags; once the
    // phenotype file's header is read, the model it resolves to (the flags filled from it).
    std::string model;
    std::shared_ptr<const struct ResolvedModel> formula;
    // --weights COL (a record's residual variance sigma2_e / w) and --residual-by COL (one
    // residual variance per class): header names of a --model run, resolved with it (0-based).
    std::string weights_column, residual_by_column;
    int weight_pos = -1, residual_pos = -1;
    std::vector<std::vector<int>> crossings;  // classes crossed in the formula (FormulaColumns)
    std::vector<struct DerivedTerm> derived;  // slopes and curves of the formula (FormulaColumns)
    std::vector<std::string> covariate_terms; // the formula's terms of qcovar_pos (FormulaColumns)
    int dam_pos = -1;  // the dam column of maternal(dam) and pe(dam) (FormulaColumns)
    int curve_pos = -1;  // the numeric column of the random regressions (animal:leg(x, k), pe:leg(x, k))
    std::vector<double> rr_points;  // --rr-points: where the results give the curves, besides their ends and middle
    // Sparse inverses: --kin-inverse writes the inverse of A (of H with --bedfile) as triplets;
    // --predict with --pedigree and no kinship file solves the mixed model equations on it by
    // preconditioned conjugate gradients (--pcg-tol, --pcg-max-iter); the genotyped block by APY
    // with a core of --apy-core individuals drawn at random, or those of --apy-core-file.
    bool kin_inverse = false;
    double pcg_tol = 1e-8;
    int pcg_max_iter = 10000;
    // REML on the sparse equations of --pedigree: --reml-method exact (the factored equations) or
    // mc (Monte Carlo traces by PCG, with --mc-samples random vectors of --seed); "" chooses by
    // whether the factor fits in memory. --mc-samples 0: 50, and more until their error is small.
    std::string reml_method;
    int mc_samples = 0;
    std::uint64_t seed = 20270101;
    // --snp-effects: the marker effects behind the breeding values of --predict with the genotypes
    // of --bedfile, PREFIX.snp.txt; --snp-window: the markers of each window share.
    bool snp_effects = false;
    int snp_window = 20;
    // --score PREFIX.snp.txt: the job that scores the genotypes of --bedfile with those effects.
    std::string score_file;
    // --score-offset X: added to every score, the level of the evaluation's breeding values above
    // their genomic values (its --snp-effects log gives it).
    double score_offset = 0.0;
    int apy_core = 0;
    bool apy_core_given = false;
    std::string apy_core_file;
    bool kin_bin = false;
    bool kin_gcta = false;        // also write PREFIX.grm.bin, .grm.id, .grm.N.bin (G only)
    // G in parts for a job array: this run writes part kin_part (1-based) of kin_parts.
    int kin_parts = 1;
    int kin_part = 1;
    bool kin_parts_given = false;
    bool kin_part_given = false;
    bool bedfile_given = false;
    bool pedigree_given = false;
    bool run_kinship = false;
    bool run_reml = false;
    bool run_predict = false;
    bool show_help = false;
    bool show_version = false;
    std::vector<std::string> given_options;  // the value options and --kin-bin, as given
    // Checks before G and H: PLINK's genotype filters (an empty file name or a negative limit is
    // off), the parentage check, genotyped individuals outside the pedigree, and G adjusted to
    // A22 before it enters H (G* = alpha G + beta A22, after --kin-tune).
    std::string keep_file;
    std::string remove_file;
    std::string extract_file;
    std::string exclude_file;
    std::string chromosomes;  // --chr
    double maf = -1.0;
    double geno = -1.0;
    double mind = -1.0;
    double hwe = -1.0;
    double parent_conflict = 0.01;
    bool parent_unlink = false;  // --parent-conflict-action unlink
    bool geno_founders = false;
    bool kin_tune = false;
    double kin_alpha = 1.0;
    double kin_beta = 0.0;
};

// Fills `options` from argv[1..argc-1]; throws std::invalid_argument carrying the whole
// console message ("❎ Error: ...") on the first bad argument.
RunOptions parse_command_line(int argc, const char* const argv[]);

// PREFIX.log, or PREFIX.part_N_I.log for a part of G.
std::string log_file_name(const RunOptions& options);
// Throws std::invalid_argument with the console message when the log or a result file of the
// run is one of its input files (the same file, also under another name), before anything is
// opened for writing. A combined run may read the kinship file it writes.
void check_outputs_spare_inputs(const RunOptions& options);

void printDeveloperInfo();
void kinshipHelp();
void remlHelp();
void predictHelp();
void scoreHelp();
void generalHelp();   // --help, -h and --version
void printVersion();  // "Zelkora v<version> (<date> Release)"
std::string version_text();  // "v<version> (<date> Release)"
// The console lines of the numeric parts (the PLINK reader, G, H, the pedigree summary), shown on
// standard output and not in the log.
ConsoleLines console_lines();

// Restarts the process once (keeping argv) with OpenBLAS kernels that match the CPU, when the
// library fell back to generic ones, and with a short OpenMP spin before idle threads sleep;
// settings the user made in the environment are kept. Returns when nothing needs to change or
// the restart failed.
void configure_parallel_runtime(char* argv[]);

// Under mpirun, points the console of every rank but rank 0 at /dev/null: rank 0 speaks for the
// run (the ranks agree on a failure before it is reported).
void quiet_unless_first_rank();

// The whole program behind main(); returns the exit status.
int zelkora_main(int argc, const char* const argv[]);

// Reports a failure of a run once the log is open: on standard error and in the log, behind the
// error marker for InputCheckFailure and RunFailure, as it stands for the others (the readers'
// and builders' own texts). Returns the exit status, 1.
int report_failure(const std::exception& error, Logger& logger);

// The runs return the exit status that the program ends with when they fail (1), or 0.
int run_kinship(const RunOptions& options, Logger& logger);
// G from --bedfile written with --kin-bin by every rank of mpirun, each its own tiles.
int run_distributed_kinship(const RunOptions& options, Logger& logger);
int run_reml(const RunOptions& options, Logger& logger);
int run_predict(const RunOptions& options, Logger& logger);
// --reml or --predict with --pedigree and no kinship file: the model on the sparse inverse of A
// (H with --bedfile); REML on the factored mixed model equations, breeding values by iteration.
bool sparse_pedigree_model(const RunOptions& options);
// The memory a run may still take, in bytes: the system's free memory (MemAvailable), no more
// than its control group's limit leaves (a batch job's) nor ZELKORA_MEMORY_LIMIT (GB) where set;
// infinite where none can be read. InputCheckFailure for a ZELKORA_MEMORY_LIMIT that is no number.
double free_memory_bytes();
// Whether `bytes` more fit in that memory.
bool fits_in_free_memory(std::size_t bytes);
// Whether that route runs REML (no --vc), which factors the equations.
bool sparse_pedigree_reml(const RunOptions& options);
int run_pedigree_model(const RunOptions& options, Logger& logger);
// --score: the genomic values of the animals of --bedfile from the marker effects of a
// PREFIX.snp.txt, PREFIX.score.txt.
int run_score(const RunOptions& options, Logger& logger);

// A relationship matrix with the IDs of its rows and columns.
using KinshipResult = std::pair<Eigen::MatrixXd, std::vector<std::string>>;

// "Not enough memory for <matrix>: <n> individuals need <x> GB for its n x n values ...".
std::string memory_message(const char* matrix_name, std::size_t n_individuals);
// Runs `build`, which allocates an n x n matrix of doubles for `n_individuals`, and turns a
// failed allocation into a message that says how much memory the matrix needs.
template <typename Build>
auto with_memory_check(const char* matrix_name, std::size_t n_individuals, Build build) -> decltype(build()) {
    try {
        return build();
    } catch (const std::bad_alloc&) {
        throw RunFailure(memory_message(matrix_name, n_individuals));
    }
}
// Routes of the kinship run. They throw on failure (see log/failures.h).
// What the --kin-gcta files need beside G: the .fam family IDs and the markers that enter G.
struct GenomicLabels {
    std::vector<std::string> family_ids;
    std::int64_t markers_used = 0;
};
KinshipResult genomic_route(const RunOptions& options, Logger& logger, GenomicLabels* labels = nullptr);
// Part options.kin_part of options.kin_parts of G: the rows of the part's range against the
// columns up to its last row (the block G(first..last-1, 0..last-1)) and the IDs of those rows.
struct KinshipPart {
    Eigen::MatrixXd rows;
    std::vector<std::string> ids;
    std::int64_t first_row = 0;
    std::int64_t n_individuals = 0;
};
KinshipPart genomic_part_route(const RunOptions& options, Logger& logger);
KinshipResult pedigree_route(const RunOptions& options, Logger& logger);
// The pedigree file read, checked (pedcheck) and ordered ancestors first, with its log lines.
Pedigree read_prepared_pedigree(const RunOptions& options, Logger& logger);
// G of the genotypes read by read_filtered_genotypes (app/genotype_checks.h), as the single-step
// routes build it (lambda 2, --kin-method), with its log line, on the thread count in force; then
// the filters' lines and PREFIX.removed.txt.
struct FilteredGenotypes;
Eigen::MatrixXd single_step_genomic(const RunOptions& options, Logger& logger, FilteredGenotypes& genotypes);
// The inverse of A, or of H with --bedfile (APY with --apy-core or --apy-core-file), with the
// pedigree's IDs in its order (ancestors first); each stage timed in the log.
// With unknown parent groups the inverse has a row and column per group after the individuals
// (`ids` holds the individuals only), and `group_fractions` is Q (individuals x groups).
// Beyond this many genotyped animals single-step by iteration gives no approximate reliability
// and no P of a marker: their dense system would not fit beside H^-1.
constexpr Eigen::Index kMostApproximatedGenotyped = 30000;
struct RelationshipInverse {
    SparsePlusDense inverse;
    // (G22 + 0.0001 I)^-1 over inverse.block_positions (lower triangle), kept for the marker
    // effects of --snp-effects; empty otherwise.
    Eigen::MatrixXd genomic_inverse;
    // Kept by a prediction for its approximate reliabilities: the parents (-1 unknown) and the
    // inbreeding of every individual; over the genotyped block Gw's diagonal and A22^-1 (lower
    // triangle; up to kMostApproximatedGenotyped genotyped, else empty).
    std::vector<std::int32_t> sire_index, dam_index;
    std::vector<double> inbreeding;
    Eigen::VectorXd genomic_variances;
    Eigen::MatrixXd pedigree_block_inverse;
    std::vector<std::string> ids;
    std::vector<std::string> group_names;
    Eigen::MatrixXd group_fractions;
    // log|A|, or log|H| with genotypes, for the likelihood of REML (NaN when no REML runs).
    double log_determinant = std::numeric_limits<double>::quiet_NaN();
};
RelationshipInverse relationship_inverse_route(const RunOptions& options, Logger& logger);
KinshipResult single_step_route(const RunOptions& options, Logger& logger);

// What a model formula reads besides the column flags: the records' weights (a record needs
// one, finite and above 0) and the classes of their residual variances (a record without one is
// left out), -1 for none; and the crossings of classes (herd:year), each its columns (0-based),
// named in covar_pos and rand_pos by kCrossingBase + its index.
// A fixed term made from a numeric column: its value (cov(x)) or its Legendre curve of degree
// 0..k (leg(x, k)), within each level of a class column or crossing (`by`), or over all records
// (`by` -1). Its columns follow the class columns in the design, named by the term as written.
struct DerivedTerm {
    std::string name;
    int numeric = -1;
    int by = -1;
    int degree = -1;  // -1: cov(x)
};
struct FormulaColumns {
    int weights = -1;
    int by = -1;
    std::vector<std::vector<int>> crossings;
    std::vector<DerivedTerm> derived;
    std::vector<std::string> covariate_terms;  // per numeric covariate, its term (cov(age)); empty: flags
    bool intercept = true;                     // false: written without it ("0 +"), FixedDesign::intercept
    int dam = -1;  // the dam's ID of every record (maternal(dam), pe(dam)); "0", "NA" or empty: none
    int curve = -1;  // the numeric column of the random regressions; a record needs a number there
};
// False when the run's model formula drops the intercept ("0 +" or "-1").
bool formula_intercept(const RunOptions& options);
constexpr int kCrossingBase = 1 << 20;
constexpr int kDerivedBase = 1 << 21;  // the source of a derived term's design columns
constexpr int kGroupSource = 1 << 22;  // the source of the unknown parent groups' columns (ZQ)
// The normalised Legendre polynomials phi_j(t) = sqrt((2j + 1) / 2) P_j(t), j = 0..degree, of
// t = 2 (x - low) / (high - low) - 1: one row per value of x (leg(x, k), animal:leg(x, k)).
Eigen::MatrixXd legendre_curves(const Eigen::VectorXd& x, double low, double high, int degree);
// A class column as messages and labels give it: its 1-based number, or a crossing's joined by ':'.
std::string class_column_text(int column, const std::vector<std::vector<int>>& crossings);

// ---- Phenotype file and design matrices -------------------------------------------------
// Reads the tab-separated phenotype file; keeps the records whose ID is in `kinship_ids` and
// whose trait and covariates are not "NA". The numeric covariates of `qcovar_pos` follow the
// class columns in both designs, one column each with the values as read, labelled by the
// header's name of the column. The columns must have passed check_covariate_columns and
// check_numeric_covariate_columns (the runs check them before any file is read). Throws
// std::runtime_error with the whole message (unreadable file, column out of range, a trait or
// numeric covariate that is not a number).
Model readPhenotype(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                            const std::unordered_set<std::string>& kinship_ids,
                            const std::vector<int>& qcovar_pos = {});
// readPhenotype with class columns fitted as random effects (`rand_pos`): a record needs a
// level (not "NA" or empty) in each; `random_levels[c]` holds the level text of every kept
// record for rand_pos[c], `random_names[c]` the column's header name ("Class<c>" without a
// header). Throws as readPhenotype does, and InputCheckFailure for a column beyond the first line.
struct PhenotypeRecords {
    Model data;  // the response and the fixed design; no random terms yet
    std::string trait_name;  // the header's name of the trait column ("Trait<c>" without a header)
    std::vector<std::string> trait_names;  // of every trait column, the first being trait_name
    std::vector<std::vector<std::string>> random_levels;
    std::vector<std::string> random_names;
    std::vector<std::string> dam_ids;  // with FormulaColumns::dam: each record's, "" for none
    Eigen::VectorXd curve_values;      // with FormulaColumns::curve: each record's
};
PhenotypeRecords read_phenotype_records(const std::string& path, int phe_pos, const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos,
                                        const FormulaColumns& extra = {});
// The same for several trait columns: a record is kept when at least one of its traits is not
// "NA"; y has one column per trait, NaN where the trait is "NA"; `trait_names` name them all.
PhenotypeRecords read_phenotype_records(const std::string& path, const std::vector<int>& trait_pos,
                                        const std::vector<int>& covar_pos,
                                        const std::unordered_set<std::string>& kinship_ids,
                                        const std::vector<int>& qcovar_pos, const std::vector<int>& rand_pos,
                                        const FormulaColumns& extra = {});
// Throws std::invalid_argument when a 0-based covariate column occurs twice, or (numeric) is
// also a class covariate.
void check_covariate_columns(const std::vector<int>& covar_pos);
void check_numeric_covariate_columns(const std::vector<int>& covar_pos, const std::vector<int>& qcovar_pos);

// The fields of the phenotype file's first line, split at tabs as written (a byte-order mark
// and carriage returns removed): the header --model names columns by. InputCheckFailure when
// the file cannot be read or has no line.
std::vector<std::string> phenotype_header(const std::string& path);
// Position of every record ID in the kinship ID list (the later one for a repeated kinship
// ID), -1 for an ID that is not there.
std::vector<Eigen::Index> record_positions(const std::vector<std::string>& record_ids,
                                           const std::vector<std::string>& kinship_ids);
