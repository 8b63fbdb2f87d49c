#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/distributed_mixed_model.h"
#include "distributed/distributed.h"
#include "log/failures.h"
#include "log/logger.h"

namespace {

constexpr int kMaxThreads = 1024;

void show_usage() {
    std::cerr << "👉 Please specify at least one of --kinship, --reml, or --predict.\n" << std::endl;
    kinshipHelp();
    remlHelp();
    predictHelp();
    generalHelp();
}

// --help: the help of the modes asked for, or of all of them.
void show_help(const RunOptions& options) {
    const bool any_mode = options.run_kinship || options.run_reml || options.run_predict;
    if (!any_mode || options.run_kinship) {
        kinshipHelp();
    }
    if (!any_mode || options.run_reml) {
        remlHelp();
    }
    if (!any_mode || options.run_predict) {
        predictHelp();
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
    const ModeOptions groups[] = {
        {options.run_kinship, "of --kinship, which was",
         {"--bedfile", "--pedigree", "--kin-method", "--kin-lambda", "--kin-tau", "--kin-omega", "--threads",
          "--kin-bin", "--kin-gcta", "--kin-parts", "--kin-part", "--maf", "--geno", "--mind", "--hwe", "--keep",
          "--remove", "--extract", "--exclude", "--chr", "--parent-conflict", "--parent-conflict-action",
          "--geno-founders", "--kin-tune", "--kin-alpha", "--kin-beta"}},
        {options.run_reml || options.run_predict, "of --reml and --predict, which were",
         {"--kin-file", "--phefile", "--phe-pos", "--covar-pos", "--qcovar-pos", "--max-iter", "--mkin-file", "--pe",
          "--rand-pos", "--lrt", "--vc"}},
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
                  << group.modes << " not asked for: " << (ignored.size() == 1 ? "it is" : "they are")
                  << " ignored." << std::endl;
    }
}

// Checks shared by --reml and --predict; returns false after reporting the problem.
bool mixed_model_options_ok(const RunOptions& options, void (*help)()) {
    if (options.phe_file.empty() || options.phe_pos == -1 || (options.kin_file.empty() && options.mkin_file.empty())) {
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

void write_start_line(Logger& logger) {
    const std::time_t now = std::time(nullptr);
    char text[100];
    if (std::strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Y", std::localtime(&now)) > 0) {
        logger.tee << "🏃 Start analysis: " << text << "\n" << std::endl;
    }
}

}  // namespace

// Leads every failure message of a run that is not one of the builders' own texts.
constexpr const char* kErrorMarker = "❎ Error: ";

int report_failure(const std::exception& error, Logger& logger) {
    if (dynamic_cast<const InputCheckFailure*>(&error) != nullptr) {
        std::cerr << kErrorMarker << error.what() << std::endl;
    } else if (dynamic_cast<const InputFailure*>(&error) != nullptr ||
               dynamic_cast<const OutputFailure*>(&error) != nullptr) {
        std::cerr << error.what() << std::endl;
    } else if (dynamic_cast<const RunFailure*>(&error) != nullptr) {
        logger.tee << kErrorMarker << error.what() << std::endl;
    } else {
        logger.tee << error.what() << std::endl;  // the builders' messages stand without a marker
    }
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
    if (options.run_kinship) {
        if (options.bed_prefix.empty() && options.pedigree_file.empty()) {
            std::cerr << "❎  Error: Please provide --bedfile, or --pedigree.\n" << std::endl;
            kinshipHelp();
            return 1;
        }
        // The marker count behind each value exists for G only: A has no markers, and in H the
        // pairs with a non-genotyped individual have none either.
        if (options.kin_gcta && !options.pedigree_file.empty()) {
            std::cerr << "❎ Error: --kin-gcta writes the number of markers behind every relationship, which only G "
                         "(--bedfile alone) has; it cannot be used with --pedigree. Use --kin-bin for A or H."
                      << std::endl;
            return 1;
        }
        if (!parts_options_ok(options) || !check_options_ok(options)) {
            return 1;
        }
        if (options.threads <= 0) {
            std::cerr << "❎ Error: Number of threads must be greater than 0." << std::endl;
            return 1;
        }
        // tau scales the inverse of G22: at 0 or below, H loses its genomic part or turns
        // indefinite (negative variances).
        if (!options.bed_prefix.empty() && !options.pedigree_file.empty() && !(options.kin_tau > 0.0)) {
            std::cerr << "❎ Error: Invalid argument for --kin-tau - " << options.kin_tau
                      << ": tau scales the inverse of G22 in H and must be greater than 0." << std::endl;
            return 1;
        }
        // Far more threads than any machine has cores only makes the OpenMP runtime fail
        // (or the stacks exhaust the memory) part-way through the run.
        if (options.threads > kMaxThreads) {
            std::cerr << "❎ Error: Invalid argument for --threads - " << options.threads << " is more than "
                      << kMaxThreads << "; give a count between 1 and " << kMaxThreads << "." << std::endl;
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

    warn_ignored_options(options);
    if (!distributed_options_ok(options)) {
        return 1;
    }

    // The tasks of a job array run side by side on one prefix: each part keeps its own log.
    const std::string log_name = options.out_prefix +
                                 (options.run_kinship && options.kin_parts_given
                                      ? ".part_" + std::to_string(options.kin_parts) + "_" +
                                            std::to_string(options.kin_part)
                                      : std::string()) +
                                 ".log";
    std::optional<Logger> logger;
    try {
        // Rank 0 keeps the log of a distributed run.
        logger.emplace(world_rank() == 0 ? log_name : std::string("/dev/null"));
    } catch (const std::runtime_error& error) {
        std::cerr << "❎ Error: " << error.what() << " (check that the folder of --out exists and is writable)"
                  << std::endl;
        return 1;
    }
    write_start_line(*logger);
    // A log that cannot be written from the start (a link to a full device) stops the run
    // before any work.
    int status = logger->write_failure().empty() ? 0 : 1;

    if (status == 0 && options.run_kinship && run_kinship(options, *logger) != 0) {
        status = 1;
    }
    if (status == 0 && options.run_reml) {
        status = run_reml(options, *logger);
    } else if (status == 0 && options.run_predict) {
        status = run_predict(options, *logger);
    }
    logger->close();
    const std::string log_failure = logger->write_failure();
    if (!log_failure.empty()) {
        std::cerr << kErrorMarker << log_failure << std::endl;
        return 1;
    }
    return status;
}
