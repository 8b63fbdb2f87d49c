#include <omp.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/model_builder.h"
#include "app/distributed_mixed_model.h"
#include "distributed/distributed.h"
#include "log/failures.h"
#include "log/logger.h"
#include "mixed_model/sparse_factor.h"

namespace {

constexpr int kMaxThreads = 1024;

void show_usage() {
    std::cerr << "👉 Please specify at least one of --kinship, --reml, or --predict.\n" << std::endl;
    kinshipHelp();
    remlHelp();
    predictHelp();
    scoreHelp();
    generalHelp();
}

// --help: the help of the modes asked for, or of all of them.
void show_help(const RunOptions& options) {
    const bool scoring = !options.score_file.empty();
    const bool any_mode = options.run_kinship || options.run_reml || options.run_predict || scoring;
    if (!any_mode || options.run_kinship) {
        kinshipHelp();
    }
    if (!any_mode || options.run_reml) {
        remlHelp();
    }
    if (!any_mode || options.run_predict) {
        predictHelp();
    }
    if (!any_mode || scoring) {
        scoreHelp();
    }
    generalHelp();
}

// Options that only a mode not asked for reads would be dropped without a word, even when
// their value is wrong (`--kinship ... --max-iter -5`): say so.
void warn_ignored_options(const RunOptions& options) {
    struct ModeOptions {
        bool asked;
        const char* modes;
        std::vector<std::string> names;
    };
    // --predict from a pedigree builds the inverse of A or H itself, with the options of --kinship
    // that shape it.
    const bool from_pedigree = sparse_pedigree_model(options);
    // The marker effects of a prediction rebuild G's markers from the genotypes.
    // With --reml beside it, --predict does not run: neither do its marker effects.
    const bool marker_effects = options.run_predict && !options.run_reml && options.snp_effects;
    const bool scoring = !options.score_file.empty();
    const ModeOptions groups[] = {
        {options.run_kinship || from_pedigree || marker_effects || scoring, "of --kinship, which was not asked for",
         {"--bedfile"}},
        {options.run_kinship || from_pedigree || marker_effects, "of --kinship, which was not asked for",
         {"--kin-method"}},
        {options.run_kinship || from_pedigree, "of --kinship, which was not asked for", {"--kin-tau", "--kin-omega"}},
        // The unknown parent groups of --reml and --predict come from the pedigree.
        {options.run_kinship || from_pedigree || !options.ped_groups_file.empty(), "of --kinship, which was not asked for",
         {"--pedigree"}},
        {options.run_kinship || marker_effects, "of --kinship, which was not asked for", {"--kin-lambda"}},
        {options.run_kinship, "of --kinship, which was not asked for",
         {"--kin-bin", "--kin-gcta", "--kin-parts", "--kin-part", "--kin-inverse"}},
        {(options.run_kinship && options.kin_inverse) || from_pedigree,
         "of the inverse of H (--kinship --kin-inverse, or --predict --pedigree), which was not asked for",
         {"--apy-core", "--apy-core-file"}},
        {options.run_kinship || from_pedigree || marker_effects, "of the genotype filters, which need G (--kinship or "
         "--predict --pedigree) and neither was asked for", {"--maf", "--geno", "--mind", "--hwe", "--keep", "--remove", "--extract",
                                                  "--exclude", "--chr"}},
        // The tuning of G shapes the dense H only; the inverse of H is built without it.
        {options.run_kinship && !options.kin_inverse,
         "of H as a matrix (--kinship without --kin-inverse), which was not asked for",
         {"--kin-tune", "--kin-alpha", "--kin-beta"}},
        {options.run_kinship || from_pedigree, "of H (--kinship or --predict --pedigree), which was not asked for",
         {"--parent-conflict", "--parent-conflict-action", "--geno-founders"}},
        {from_pedigree && ((options.run_predict && !options.run_reml) || options.reml_method != "exact"),
         "of --predict --pedigree (breeding values by iteration) and Monte Carlo REML, neither of which was asked for",
         {"--pcg-tol", "--pcg-max-iter"}},
        {sparse_pedigree_reml(options) && options.reml_method != "exact",
         "of Monte Carlo REML (--reml --pedigree, or --predict --pedigree without --vc), which was not asked for",
         {"--mc-samples", "--seed"}},
        {sparse_pedigree_reml(options), "of REML on the sparse mixed model equations (--reml --pedigree, or "
         "--predict --pedigree without --vc), which was not asked for", {"--reml-method"}},
        {options.run_predict && !options.run_reml,
         options.run_predict ? "of --predict, which does not run when --reml is given"
                             : "of --predict, which was not asked for",
         {"--snp-effects"}},
        {marker_effects, "of --snp-effects, which was not asked for", {"--snp-window"}},
        {scoring, "of --score, which was not asked for", {"--score-offset"}},
        {options.run_reml || options.run_predict, "of --reml and --predict, which were not asked for",
         {"--kin-file", "--phefile", "--phe-pos", "--covar-pos", "--qcovar-pos", "--max-iter", "--mkin-file", "--pe",
          "--rand-pos", "--lrt", "--vc", "--model", "--weights", "--residual-by", "--vc-start"}},
        {options.run_kinship || options.run_reml || options.run_predict || scoring,
         "of --kinship, --reml and --predict, none of which was asked for", {"--threads"}},
    };
    for (const ModeOptions& group : groups) {
        if (group.asked) {
            continue;
        }
        std::vector<std::string> ignored;
        for (const std::string& given : options.given_options) {
            if (std::find(group.names.begin(), group.names.end(), given) != group.names.end() &&
                std::find(ignored.begin(), ignored.end(), given) == ignored.end()) {
                ignored.push_back(given);
            }
        }
        if (ignored.empty()) {
            continue;
        }
        std::string list;
        for (const std::string& name : ignored) {
            list += (list.empty() ? "" : ", ") + name;
        }
        std::cerr << "⚠️ Warning: " << list << (ignored.size() == 1 ? " is an option " : " are options ")
                  << group.modes << ": " << (ignored.size() == 1 ? "it is" : "they are")
                  << " ignored." << std::endl;
    }
}

// Checks shared by --reml and --predict; returns false after reporting the problem.
bool mixed_model_options_ok(const RunOptions& options, void (*help)()) {
    if (options.phe_file.empty() || options.phe_pos == -1 ||
        (options.kin_file.empty() && options.mkin_file.empty() && !sparse_pedigree_model(options))) {
        std::cerr << "❎ Error: Please provide --phefile,--kin-file and --phe-pos" << std::endl;
        help();
        return false;
    }
    if (!options.kin_file.empty() && !options.mkin_file.empty()) {
        std::cerr << "❎ Error: --kin-file and --mkin-file cannot be given together; name every kinship file in the "
                     "--mkin-file list."
                  << std::endl;
        return false;
    }
    if (options.phe_pos < -1) {
        std::cerr << "❎ Error: Invalid argument for --phe-pos - " << options.phe_pos + 1
                  << ": columns count from 1 (column 1 is the ID)." << std::endl;
        return false;
    }
    for (int column : options.covar_pos) {
        if (column == options.phe_pos) {
            std::cerr << "❎ Error: column " << column + 1
                      << " is given both as the trait (--phe-pos) and as a covariate (--covar-pos); a trait "
                         "cannot be its own fixed effect."
                      << std::endl;
            return false;
        }
    }
    if (options.max_iter <= 0) {
        std::cerr << "❎ Error: Number of max_iter must be greater than 0." << std::endl;
        return false;
    }
    return true;
}

bool check_options_ok(const RunOptions& options);

// --vc values that differ from the residual (the last value) by more than 12 orders of magnitude
// are a slip of units or of digits, and the equations cannot be solved in double precision at
// them: name the value instead of a failure deep in the run.
bool given_variances_in_range(const RunOptions& options) {
    if (!options.vc_given || options.vc.empty()) {
        return true;
    }
    // Only the covariances between traits, between the direct and maternal effects or among a
    // random regression's coefficients may be below 0; the run that knows the model checks which.
    if (!options.vc_negative.empty() && options.trait_pos.size() <= 1 && options.dam_pos < 0 && options.curve_pos < 0) {
        std::cerr << "❎ Error: Invalid argument for --vc - the variance " << options.vc_negative
                  << " is negative; variances are 0 or more." << std::endl;
        return false;
    }
    constexpr double kSpan = 1e12;
    const double residual = options.vc.back();
    if (!(residual > 0.0) || !std::isfinite(residual)) {
        return true;  // the routes name a residual of 0 themselves
    }
    for (std::size_t k = 0; k + 1 < options.vc.size(); ++k) {
        const double value = std::fabs(options.vc[k]);
        if (value == 0.0) {
            continue;
        }
        if (!std::isfinite(value) || value > kSpan * residual || value < residual / kSpan) {
            std::cerr << "❎ Error: Invalid argument for --vc - " << options.vc[k] << " (value " << k + 1 << ") is "
                      << (value < residual / kSpan ? "below 1e-12" : "more than 1e12") << " times the residual "
                      << residual << " (the last value); give every variance in the trait's units, or 0 for a "
                                     "component without variance."
                      << std::endl;
            return false;
        }
    }
    return true;
}

// REML on the equations of --pedigree: CHOLMOD factors them, and Monte Carlo REML has no
// log-likelihood; returns false after reporting the problem.
bool sparse_reml_options_ok(const RunOptions& options) {
    if (!sparse_factor_available() && options.reml_method == "exact") {
        std::cerr << "❎ Error: " << "--reml-method exact factors the sparse mixed model equations with CHOLMOD, "
                     "which this build lacks: install libsuitesparse-dev and build again, or use --reml-method mc."
                  << std::endl;
        return false;
    }
    if (options.lrt && options.reml_method == "mc") {
        std::cerr << "❎ Error: " << "--lrt compares log-likelihoods, which Monte Carlo REML (--reml-method mc) does "
                     "not compute: log|C| needs the factor of the equations. Use --reml-method exact."
                  << std::endl;
        return false;
    }
    return true;
}

// The sparse inverses and the prediction by iteration; returns false after reporting the problem.
bool sparse_options_ok(const RunOptions& options) {
    const auto refuse = [](const std::string& message) {
        std::cerr << "❎ Error: " << message << std::endl;
        return false;
    };
    const bool inverse_of_kinship = options.run_kinship && options.kin_inverse;
    const bool from_pedigree = sparse_pedigree_model(options);
    if (!options.ped_groups_file.empty()) {
        if (options.pedigree_file.empty()) {
            return refuse("--ped-groups assigns unknown parents of --pedigree to groups: give --pedigree.");
        }
        const bool dense = (options.run_reml || options.run_predict) &&
                           (!options.kin_file.empty() || !options.mkin_file.empty());
        if (!inverse_of_kinship && !from_pedigree && !dense) {
            return refuse("--ped-groups adds the groups' rows to the inverse of A or H (--kinship --kin-inverse), and "
                          "the groups to the mixed model of --reml and --predict; A and H as matrices have none.");
        }
    }
    if (inverse_of_kinship && options.pedigree_file.empty()) {
        return refuse("--kin-inverse writes the inverse of A or H, which start from a pedigree: give --pedigree (and "
                      "--bedfile for H).");
    }
    if (inverse_of_kinship && (options.kin_bin || options.kin_gcta || options.kin_parts_given)) {
        return refuse("--kin-inverse writes PREFIX.inverse.txt and PREFIX.inverse.id instead of the matrix; it "
                      "cannot be combined with --kin-bin, --kin-gcta or --kin-parts.");
    }
    if ((inverse_of_kinship || from_pedigree) && (options.apy_core_given || !options.apy_core_file.empty())) {
        if (options.apy_core_given && !options.apy_core_file.empty()) {
            return refuse("--apy-core draws the core and --apy-core-file names it: give one of them.");
        }
        if (options.bed_prefix.empty()) {
            return refuse(std::string(options.apy_core_given ? "--apy-core" : "--apy-core-file") +
                          " chooses the core of APY, which inverts G: give the genotypes (--bedfile).");
        }
        if (options.apy_core_given && options.apy_core < 1) {
            return refuse("Invalid argument for --apy-core - " + std::to_string(options.apy_core) +
                          ": the core needs at least 1 individual.");
        }
    }
    if (!from_pedigree) {
        return true;
    }
    if (!check_options_ok(options)) {
        return false;
    }
    // A term the route cannot fit must not vanish from the model without a word.
    const char* route = options.run_reml ? "--reml --pedigree (REML on the sparse mixed model equations)"
                                         : "--predict --pedigree (breeding values by iteration)";
    const char* unfitted = options.pe                ? "--pe"
                           : !options.rand_pos.empty() ? "--rand-pos"
                                                       : nullptr;
    if (unfitted != nullptr) {
        return refuse(std::string(unfitted) + " is not fitted by " + route +
                      " yet; fit it with --kin-file or --mkin-file.");
    }
    if (options.run_reml && options.vc_given) {
        return refuse("--vc gives the variances of a prediction (--predict) instead of estimating them; --reml "
                      "estimates them.");
    }
    // Prediction and Monte Carlo REML both iterate.
    if (!(options.pcg_tol > 0.0 && options.pcg_tol < 1.0)) {
        std::ostringstream message;
        message << "Invalid argument for --pcg-tol - " << options.pcg_tol
                << ": the relative residual to reach must be greater than 0 and less than 1.";
        return refuse(message.str());
    }
    if (options.pcg_max_iter < 1) {
        return refuse("Invalid argument for --pcg-max-iter - " + std::to_string(options.pcg_max_iter) +
                      ": give 1 or more iterations.");
    }
    if (!options.vc_given) {
        return sparse_reml_options_ok(options);
    }
    // With --residual-by the route counts the classes once it has read them; a model of several
    // effects (terms of the dam, random regressions) or of several traits counts its components.
    if (options.dam_pos >= 0 || options.curve_pos >= 0 || options.trait_pos.size() > 1) return true;
    if (options.vc.size() != 2 && (options.residual_by_column.empty() || options.vc.size() < 2)) {
        return refuse("Invalid argument for --vc - " + std::to_string(options.vc.size()) +
                      " value(s) for --predict --pedigree, which fits one additive effect and the residual: give two, "
                      "<additive>,<residual>.");
    }
    if (options.residual_by_column.empty() && !(options.vc[1] > 0.0)) {
        return refuse("Invalid argument for --vc - the residual variance (the last value) is 0; it must be greater "
                      "than 0.");
    }
    return true;
}

// --kin-parts and --kin-part; the check against the individuals follows once the .fam is read.
bool parts_options_ok(const RunOptions& options) {
    if (!options.kin_parts_given && !options.kin_part_given) {
        return true;
    }
    const auto refuse = [](const std::string& message) {
        std::cerr << "❎ Error: " << message << std::endl;
        return false;
    };
    if (options.kin_parts_given != options.kin_part_given) {
        return refuse(std::string(options.kin_parts_given ? "--kin-parts" : "--kin-part") +
                      " needs " + (options.kin_parts_given ? "--kin-part" : "--kin-parts") +
                      ": give the number of parts (--kin-parts N) and the part this run writes (--kin-part I, 1 "
                      "to N) together.");
    }
    if (options.kin_parts < 1) {
        return refuse("Invalid argument for --kin-parts - " + std::to_string(options.kin_parts) +
                      ": give a number of parts of 1 or more.");
    }
    if (options.kin_part < 1 || options.kin_part > options.kin_parts) {
        return refuse("Invalid argument for --kin-part - " + std::to_string(options.kin_part) +
                      ": parts count from 1 to " + std::to_string(options.kin_parts) + " (--kin-parts " +
                      std::to_string(options.kin_parts) + ").");
    }
    if (!options.pedigree_file.empty() || options.bed_prefix.empty()) {
        return refuse("--kin-parts splits G, which --bedfile alone builds; it cannot be used with --pedigree (A "
                      "and H are written whole).");
    }
    if (!options.kin_bin || options.kin_gcta) {
        return refuse("--kin-parts writes the binary pair only: give --kin-bin (part I of N is written as "
                      "PREFIX.part_N_I.bin and PREFIX.part_N_I.id), without --kin-gcta.");
    }
    return true;
}

// The checks before G need genotypes, and those between G and A both inputs; returns false after
// saying why.
bool check_options_ok(const RunOptions& options) {
    const auto given = [&](const char* name) {
        return std::find(options.given_options.begin(), options.given_options.end(), name) !=
               options.given_options.end();
    };
    for (const char* name : {"--maf", "--geno", "--mind", "--hwe", "--keep", "--remove", "--extract", "--exclude",
                             "--chr"}) {
        if (given(name) && options.bed_prefix.empty()) {
            std::cerr << "❎ Error: " << name << " filters the genotypes of --bedfile, which was not given." << std::endl;
            return false;
        }
    }
    for (const char* name : {"--parent-conflict", "--parent-conflict-action", "--geno-founders", "--kin-tune",
                             "--kin-alpha", "--kin-beta"}) {
        if (given(name) && (options.bed_prefix.empty() || options.pedigree_file.empty())) {
            std::cerr << "❎ Error: " << name
                      << " compares the genotypes with the pedigree: it needs both --bedfile and --pedigree (H)."
                      << std::endl;
            return false;
        }
    }
    // G* = alpha G + beta A22 must stay a relationship matrix of the same scale's sign.
    if (!(options.kin_alpha + options.kin_beta > 0.0)) {
        std::cerr << "❎ Error: Invalid arguments for --kin-alpha and --kin-beta - " << options.kin_alpha << " and "
                  << options.kin_beta << ": the blend alpha G + beta A22 needs alpha + beta > 0 (usual: 0.95 and 0.05)."
                  << std::endl;
        return false;
    }
    return true;
}

// Under more than one rank everything runs except G in parts; returns false after saying why.
bool distributed_options_ok(const RunOptions& options) {
    const int ranks = world_size();
    if (ranks == 1) {
        return true;
    }
    if ((options.run_kinship && options.kin_inverse) || sparse_pedigree_model(options)) {
        std::cerr << "❎ Error: "
                  << (!sparse_pedigree_model(options) ? "--kin-inverse"
                      : options.run_reml              ? "--reml --pedigree"
                                                      : "--predict --pedigree")
                  << " cannot run on " << ranks << " MPI ranks yet: the sparse inverses and the breeding values by "
                     "iteration run as one process. Run it without mpirun."
                  << std::endl;
        return false;
    }
    if ((options.run_reml || options.run_predict) && !distributed_mixed_model_available()) {
        std::cerr << "❎ Error: " << (options.run_reml ? "--reml" : "--predict") << " cannot run on " << ranks
                  << " MPI ranks in this build, which has no ScaLAPACK. Run it as one process (without mpirun)."
                  << std::endl;
        return false;
    }
    if (options.run_kinship && options.kin_parts_given) {
        std::cerr << "❎ Error: --kin-parts cannot run on " << ranks
                  << " MPI ranks: parts split G over separate jobs (one part each), while mpirun spreads one G over "
                     "its ranks. Give either --kin-parts to jobs run as one process, or mpirun without --kin-parts."
                  << std::endl;
        return false;
    }
    return true;
}

// An argument as a POSIX shell reads it back: plain, or in single quotes.
std::string shell_word(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                               "0123456789_./,:=+-@%") == std::string::npos;
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The start line, then in the log the version and the command line, so that the log can repeat
// its run (the console has the banner, and the user the command).
void write_start_lines(Logger& logger, int argc, const char* const argv[]) {
    const std::time_t now = std::time(nullptr);
    char text[100];
    if (std::strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Y", std::localtime(&now)) > 0) {
        logger.tee << "🏃 Start analysis: " << text << "\n";
    }
    logger.log_file << "Version: " << version_text() << "\nCommand line:";
    for (int i = 0; i < argc; ++i) {
        logger.log_file << " " << shell_word(argv[i]);
    }
    logger.log_file << "\n";
    logger.tee << std::endl;
}

// A --threads the user gives sets the threads of every run; without it the kinship run takes 1
// (its default, which stays for a run after it) and a REML or prediction run alone the OpenMP
// default, except that the ranks of mpirun on one machine share its cores.
void set_mixed_model_threads(const RunOptions& options) {
    if (options.threads_given) {
        omp_set_num_threads(options.threads);
    } else if (started_by_mpirun() && distributed_mixed_model_available() && std::getenv("OMP_NUM_THREADS") == nullptr) {
        omp_set_num_threads(std::max(1, omp_get_num_procs() / ranks_on_this_machine()));
    }
}

}  // namespace

// Leads every failure message of a run that is not one of the builders' own texts.
constexpr const char* kErrorMarker = "❎ Error: ";

namespace {

// The checks of a --kinship job that need no file.
bool kinship_job_options_ok(const RunOptions& options) {
    if (options.bed_prefix.empty() && options.pedigree_file.empty()) {
        std::cerr << "❎  Error: Please provide --bedfile, or --pedigree.\n" << std::endl;
        kinshipHelp();
        return false;
    }
    // The marker count behind each value exists for G only: A has no markers, and in H the
    // pairs with a non-genotyped individual have none either.
    if (options.kin_gcta && !options.pedigree_file.empty()) {
        std::cerr << "❎ Error: --kin-gcta writes the number of markers behind every relationship, which only G "
                     "(--bedfile alone) has; it cannot be used with --pedigree. Use --kin-bin for A or H."
                  << std::endl;
        return false;
    }
    if (!parts_options_ok(options) || !check_options_ok(options)) {
        return false;
    }
    // tau scales the inverse of G22: at 0 or below, H loses its genomic part or turns
    // indefinite (negative variances).
    if (!options.bed_prefix.empty() && !options.pedigree_file.empty() && !(options.kin_tau > 0.0)) {
        std::cerr << "❎ Error: Invalid argument for --kin-tau - " << options.kin_tau
                  << ": tau scales the inverse of G22 in H and must be greater than 0." << std::endl;
        return false;
    }
    return true;
}

bool thread_count_ok(const RunOptions& options) {
    if (options.threads <= 0) {
        std::cerr << "❎ Error: Number of threads must be greater than 0." << std::endl;
        return false;
    }
    // Far more threads than any machine has cores only makes the OpenMP runtime fail
    // (or the stacks exhaust the memory) part-way through the run.
    if (options.threads > kMaxThreads) {
        std::cerr << "❎ Error: Invalid argument for --threads - " << options.threads << " is more than "
                  << kMaxThreads << "; give a count between 1 and " << kMaxThreads << "." << std::endl;
        return false;
    }
    return true;
}

// Options that belong to one job or need another, given where they cannot act.
bool job_combinations_ok(const RunOptions& options) {
    if ((options.run_reml || options.run_predict) && options.model.empty() &&
        (!options.weights_column.empty() || !options.residual_by_column.empty())) {
        std::cerr << kErrorMarker
                  << (options.weights_column.empty() ? "--residual-by" : "--weights")
                  << " names a column of the phenotype file's header, which a model formula reads: give the model "
                     "with --model (\"Trait ~ Herd + animal\")."
                  << std::endl;
        return false;
    }
    if ((options.run_reml || options.run_predict) && !options.vc_start.empty() && options.vc_given) {
        std::cerr << kErrorMarker
                  << "--vc-start gives REML its starting values, and with --vc nothing is estimated; give one of "
                     "them."
                  << std::endl;
        return false;
    }
    if (!options.score_file.empty()) {
        if (options.run_kinship || options.run_reml || options.run_predict) {
            std::cerr << kErrorMarker
                      << "--score is a job of its own (the genotypes of --bedfile scored with the effects of an "
                         "earlier run); run it without --kinship, --reml and --predict."
                      << std::endl;
            return false;
        }
        if (options.bed_prefix.empty()) {
            std::cerr << kErrorMarker << "--score needs the genotypes to score: give --bedfile PREFIX." << std::endl;
            return false;
        }
    }
    if (options.run_predict && !options.run_reml && options.snp_effects) {
        if (options.bed_prefix.empty()) {
            std::cerr << kErrorMarker
                      << "--snp-effects needs the genotypes behind the kinship: give --bedfile PREFIX (with the "
                         "--kin-method, --kin-lambda and filters that built it)."
                      << std::endl;
            return false;
        }
    }
    return true;
}

}  // namespace

int report_failure(const std::exception& error, Logger& logger) {
    // The console copy on standard error, where a failure is looked for (also when standard
    // output is redirected), and the same line in the log, so that a log never ends like a
    // success that was cut short.
    const bool marked = dynamic_cast<const InputCheckFailure*>(&error) != nullptr ||
                        dynamic_cast<const RunFailure*>(&error) != nullptr;
    logger.err << (marked ? kErrorMarker : "") << error.what() << std::endl;
    return 1;
}

int zelkora_main(int argc, const char* const argv[]) {
    // A console closed early (`| head`) must not kill the run: the writes to standard output
    // fail instead, and the results and the log are still written.
    std::signal(SIGPIPE, SIG_IGN);
    RunOptions options;
    try {
        options = parse_command_line(argc, argv);
    } catch (const std::invalid_argument& error) {
        printDeveloperInfo();
        std::cerr << error.what() << std::endl;
        return 1;
    }
    // The version alone, so that scripts can read it.
    if (options.show_version) {
        printVersion();
        return 0;
    }
    printDeveloperInfo();
    if (argc <= 1) {
        show_usage();
        return 0;
    }
    if (options.show_help) {
        show_help(options);
        return 0;
    }
    if (options.run_kinship && !kinship_job_options_ok(options)) {
        return 1;
    }
    if (options.threads_given && (options.run_kinship || options.run_reml || options.run_predict) &&
        !thread_count_ok(options)) {
        return 1;
    }
    if (!job_combinations_ok(options)) {
        return 1;
    }
    if ((options.run_reml || options.run_predict) && !options.model.empty()) {
        try {
            apply_model_formula(options);
        } catch (const InputFailure& error) {
            std::cerr << kErrorMarker << error.what() << std::endl;
            return 1;
        }
    }
    if (options.run_reml) {
        if (!mixed_model_options_ok(options, remlHelp)) {
            return 1;
        }
    } else if (options.run_predict) {
        if (!mixed_model_options_ok(options, predictHelp)) {
            return 1;
        }
    }

    if ((options.run_reml || options.run_predict) && !given_variances_in_range(options)) {
        return 1;
    }
    if (!sparse_options_ok(options)) {
        return 1;
    }
    warn_ignored_options(options);
    if (!distributed_options_ok(options)) {
        return 1;
    }
    // The log truncates its file: an input under that name (--pedigree run.log --out run) would
    // be destroyed before it is read.
    try {
        check_outputs_spare_inputs(options);
    } catch (const std::invalid_argument& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }

    const std::string log_name = log_file_name(options);
    std::optional<Logger> logger;
    try {
        // Rank 0 keeps the log of a distributed run.
        logger.emplace(world_rank() == 0 ? log_name : std::string("/dev/null"));
    } catch (const std::runtime_error& error) {
        std::cerr << "❎ Error: " << error.what() << " (check that the folder of --out exists and is writable)"
                  << std::endl;
        return 1;
    }
    write_start_lines(*logger, argc, argv);
    // A log that cannot be written from the start (a link to a full device) stops the run
    // before any work.
    int status = logger->write_failure().empty() ? 0 : 1;

    if (status == 0 && options.run_kinship && run_kinship(options, *logger) != 0) {
        status = 1;
    }
    if (status == 0 && !options.score_file.empty()) {
        set_mixed_model_threads(options);
        status = run_score(options, *logger);
    }
    if (status == 0 && (options.run_reml || options.run_predict)) {
        set_mixed_model_threads(options);
        status = sparse_pedigree_model(options) ? run_pedigree_model(options, *logger)
                 : options.run_reml             ? run_reml(options, *logger)
                                                : run_predict(options, *logger);
    }
    logger->close();
    const std::string log_failure = logger->write_failure();
    if (!log_failure.empty()) {
        std::cerr << kErrorMarker << log_failure << std::endl;
        return 1;
    }
    return status;
}
