#include <algorithm>
#include <cmath>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/app.h"
#include "genomic/genomic.h"

namespace {

std::invalid_argument invalid_value(const std::string& option, const char* conversion) {
    return std::invalid_argument("❎ Error: Invalid argument for " + option + " - " + conversion);
}

// Only blanks may follow the number: `12abc`, `2;3` or `1,5` read as their leading number would
// silently run another analysis than the one asked for.
bool only_blanks_after(const std::string& text, std::size_t used) {
    return text.find_first_not_of(" \t", used) == std::string::npos;
}

std::invalid_argument not_whole(const std::string& option, const std::string& text, const char* kind) {
    return std::invalid_argument("❎ Error: Invalid argument for " + option + " - \"" + text + "\" is not " + kind +
                                 ": the whole value must be the number.");
}

// A base-10 integer, optionally signed and surrounded by blanks; a value outside the 32-bit
// range is refused instead of escaping as an unhandled exception.
int read_int(const std::string& option, const std::string& text, long long lowest = -2147483648LL) {
    std::size_t used = 0;
    int value = 0;
    const auto out_of_range = [&] {
        return std::invalid_argument("❎ Error: Out of range argument for " + option + " - " + text +
                                     " (must be between " + std::to_string(lowest) + " and 2147483647)");
    };
    try {
        value = std::stoi(text, &used);
    } catch (const std::out_of_range&) {
        throw out_of_range();
    } catch (const std::invalid_argument&) {
        throw invalid_value(option, "stoi");
    }
    if (value < lowest) {
        throw out_of_range();
    }
    if (!only_blanks_after(text, used)) {
        throw not_whole(option, text, "a whole number");
    }
    return value;
}

// The scaling factors are decimal numbers (0.5, .5, 1e-2). Infinities and NaN would only turn
// every relationship into NaN, and hexadecimal is no notation a user means, so all are refused.
double read_double(const std::string& option, const std::string& text) {
    double value = 0.0;
    std::size_t used = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::out_of_range&) {
        throw std::invalid_argument("❎ Error: Out of range argument for " + option + " - " + text);
    } catch (const std::invalid_argument&) {
        throw invalid_value(option, "stod");
    }
    if (!std::isfinite(value)) {
        throw invalid_value(option, "stod");
    }
    if (!only_blanks_after(text, used) || text.find_first_of("xX") != std::string::npos) {
        throw not_whole(option, text, "a decimal number");
    }
    return value;
}

// --vc: comma-separated variances, each a decimal number >= 0. Whether their count fits the
// model, and the residual's being positive, is checked by the run that knows the model.
// The values of --vc; the text of the first negative one in `negative` (a covariance of several
// traits may be, a variance may not: the run, knowing the model, decides).
std::vector<double> read_variances(const std::string& list, std::string& negative) {
    std::vector<double> values;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        const std::string item = list.substr(start, comma - start);
        const double value = read_double("--vc", item);
        if (value < 0.0 && negative.empty()) {
            negative = item;
        }
        values.push_back(value);
        start = comma + 1;
    }
    return values;
}

void append_covariates(const std::string& option, const std::string& list, std::vector<int>& covar_pos) {
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        const std::string item = list.substr(start, comma - start);
        const int column = read_int(option, item);
        if (column <= 0 && option == "--covar-pos") {
            throw std::invalid_argument("❎ Error: Invalid covariate column index " + std::to_string(column) +
                                        " (should be >= 1).");
        }
        if (column <= 0) {
            throw std::invalid_argument("❎ Error: Invalid argument for " + option + " - " + std::to_string(column) +
                                        ": columns count from 1 (column 1 is the ID).");
        }
        covar_pos.push_back(column - 1);
        start = comma + 1;
    }
}

// The options of the checks before G and H: genotype filters, parentage, G against A22.
const char* const kCheckValueOptions[] = {"--maf",     "--geno",    "--mind",          "--hwe",
                                          "--keep",    "--remove",  "--extract",       "--exclude",
                                          "--chr",     "--parent-conflict", "--parent-conflict-action",
                                          "--kin-alpha", "--kin-beta"};
const char* const kCheckFlags[] = {"--geno-founders", "--kin-tune"};

template <std::size_t N>
bool among(const std::string& text, const char* const (&names)[N]) {
    return std::find(std::begin(names), std::end(names), text) != std::end(names);
}

// A limit of the filters: a decimal number from `low` to `high`.
double read_limit(const std::string& option, const std::string& text, double low, double high, const char* what) {
    const double value = read_double(option, text);
    if (value < low || value > high) {
        std::ostringstream message;
        message << "❎ Error: Invalid argument for " << option << " - " << text << ": " << what << " lies from " << low
                << " to " << high << ".";
        throw std::invalid_argument(message.str());
    }
    return value;
}

void set_check_option(const std::string& option, const std::string& value, RunOptions& options) {
    if (option == "--maf") {
        options.maf = read_limit(option, value, 0.0, 0.5, "a minor allele frequency");
    } else if (option == "--geno") {
        options.geno = read_limit(option, value, 0.0, 1.0, "a missing rate");
    } else if (option == "--mind") {
        options.mind = read_limit(option, value, 0.0, 1.0, "a missing rate");
    } else if (option == "--hwe") {
        options.hwe = read_limit(option, value, 0.0, 1.0, "a p-value");
    } else if (option == "--parent-conflict") {
        options.parent_conflict = read_limit(option, value, 0.0, 1.0, "a rate of conflicting markers");
    } else if (option == "--keep") {
        options.keep_file = value;
    } else if (option == "--remove") {
        options.remove_file = value;
    } else if (option == "--extract") {
        options.extract_file = value;
    } else if (option == "--exclude") {
        options.exclude_file = value;
    } else if (option == "--chr") {
        ChromosomeList{value};  // a malformed list is refused before any file is read
        options.chromosomes = value;
    } else if (option == "--parent-conflict-action") {
        if (value != "report" && value != "unlink") {
            throw std::invalid_argument("❎ Error: Invalid argument for --parent-conflict-action - \"" + value +
                                        "\": give report (the default: the conflicts are reported) or unlink (a "
                                        "flagged parent is set unknown for A and H).");
        }
        options.parent_unlink = value == "unlink";
    } else if (option == "--kin-alpha") {
        options.kin_alpha = read_double(option, value);
    } else {
        options.kin_beta = read_double(option, value);
    }
}

bool is_option_name(const std::string& text) {
    static const char* const kNames[] = {"--help", "-h", "--version", "--kinship", "--reml", "--predict", "--kin-bin",
                                         "--bedfile", "--pedigree", "--kin-file", "--phefile", "--out", "--phe-pos",
                                         "--covar-pos", "--threads", "--kin-method", "--kin-lambda", "--kin-tau",
                                         "--kin-omega", "--max-iter", "--qcovar-pos", "--kin-gcta",
                                         "--kin-parts", "--kin-part", "--mkin-file", "--pe",
                                         "--rand-pos", "--lrt", "--vc", "--kin-inverse", "--pcg-tol",
                                         "--pcg-max-iter", "--apy-core", "--apy-core-file", "--model",
                                         "--weights", "--residual-by", "--vc-start", "--ped-groups",
                                         "--snp-effects", "--snp-window", "--score", "--score-offset",
                                         "--reml-method", "--mc-samples", "--seed", "--rr-points"};
    for (const char* name : kNames) {
        if (text == name) {
            return true;
        }
    }
    return among(text, kCheckValueOptions) || among(text, kCheckFlags);
}

// A flag without a value: set, and true; any other argument: false.
bool set_flag(const std::string& arg, RunOptions& options) {
    if (arg == "--help" || arg == "-h") {
        options.show_help = true;
    } else if (arg == "--version") {
        options.show_version = true;
    } else if (arg == "--kinship") {
        options.run_kinship = true;
    } else if (arg == "--reml") {
        options.run_reml = true;
    } else if (arg == "--predict") {
        options.run_predict = true;
    } else if (arg == "--kin-bin") {
        options.kin_bin = true;
        options.given_options.push_back(arg);
    } else if (arg == "--kin-gcta") {
        options.kin_gcta = true;
        options.given_options.push_back(arg);
    } else if (arg == "--pe") {
        options.pe = true;
        options.given_options.push_back(arg);
    } else if (arg == "--lrt") {
        options.lrt = true;
        options.given_options.push_back(arg);
    } else if (arg == "--snp-effects") {
        options.snp_effects = true;
        options.given_options.push_back(arg);
    } else if (among(arg, kCheckFlags)) {
        (arg == "--kin-tune" ? options.kin_tune : options.geno_founders) = true;
        options.given_options.push_back(arg);
    } else if (arg == "--kin-inverse") {
        options.kin_inverse = true;
        options.given_options.push_back(arg);
    } else {
        return false;
    }
    return true;
}

const char* const kValueOptions[] = {
    "--bedfile",  "--pedigree",     "--kin-file",  "--phefile",      "--out",         "--phe-pos",
    "--covar-pos", "--qcovar-pos",  "--threads",   "--kin-method",   "--kin-lambda",  "--kin-tau",
    "--kin-omega", "--max-iter",    "--kin-parts", "--kin-part",     "--mkin-file",   "--rand-pos",
    "--vc",        "--pcg-tol",     "--pcg-max-iter", "--apy-core",  "--apy-core-file", "--model",
    "--weights",   "--residual-by", "--vc-start",  "--ped-groups",   "--snp-window",  "--score",
    "--score-offset", "--reml-method", "--mc-samples", "--seed", "--rr-points"};

bool takes_value(const std::string& arg) {
    return among(arg, kValueOptions) || among(arg, kCheckValueOptions);
}

void set_value_option(const std::string& arg, const std::string& value, RunOptions& options) {
    if (arg == "--bedfile") {
        options.bed_prefix = value;
        options.bedfile_given = true;
    } else if (arg == "--pedigree") {
        options.pedigree_file = value;
        options.pedigree_given = true;
    } else if (arg == "--ped-groups") {
        options.ped_groups_file = value;
    } else if (arg == "--kin-file") {
        options.kin_file = value;
    } else if (arg == "--phefile") {
        options.phe_file = value;
    } else if (arg == "--out") {
        // The prefix names files: without a name part the results would be hidden
        // files (".log") in the folder.
        if (value.empty() || value.back() == '/' || value == "." || value == ".." ||
            (value.size() >= 2 && value.compare(value.size() - 2, 2, "/.") == 0) ||
            (value.size() >= 3 && value.compare(value.size() - 3, 3, "/..") == 0)) {
            throw std::invalid_argument("❎ Error: Invalid argument for --out - \"" + value +
                                        "\" has no file name part; give a prefix such as results/run1.");
        }
        options.out_prefix = value;
    } else if (arg == "--phe-pos") {
        // The stored column is the value minus 1, so -2147483648 has no place.
        if (value.find(',') == std::string::npos) {
            options.phe_pos = read_int(arg, value, -2147483647LL) - 1;
            options.trait_pos = {options.phe_pos};
        } else {
            // Several traits: each a column from 2 on, as the covariates are given.
            options.trait_pos.clear();
            append_covariates(arg, value, options.trait_pos);
            options.phe_pos = options.trait_pos.front();
        }
    } else if (arg == "--covar-pos") {
        append_covariates(arg, value, options.covar_pos);
    } else if (arg == "--qcovar-pos") {
        append_covariates(arg, value, options.qcovar_pos);
    } else if (arg == "--rand-pos") {
        append_covariates(arg, value, options.rand_pos);
    } else if (among(arg, kCheckValueOptions)) {
        set_check_option(arg, value, options);
    } else if (arg == "--mkin-file") {
        options.mkin_file = value;
    } else if (arg == "--model") {
        options.model = value;
    } else if (arg == "--vc-start") {
        options.vc_start = value;
    } else if (arg == "--weights") {
        options.weights_column = value;
    } else if (arg == "--residual-by") {
        options.residual_by_column = value;
    } else if (arg == "--vc") {
        options.vc = read_variances(value, options.vc_negative);
        options.vc_given = true;
    } else if (arg == "--pcg-tol") {
        options.pcg_tol = read_double(arg, value);
    } else if (arg == "--pcg-max-iter") {
        options.pcg_max_iter = read_int(arg, value);
    } else if (arg == "--reml-method") {
        if (value != "exact" && value != "mc") {
            throw std::invalid_argument("❎ Error: Invalid argument for --reml-method - " + value +
                                        ": give exact (the factored equations) or mc (Monte Carlo).");
        }
        options.reml_method = value;
    } else if (arg == "--mc-samples") {
        options.mc_samples = read_int(arg, value);
        if (options.mc_samples < 10) {
            throw std::invalid_argument("❎ Error: Invalid argument for --mc-samples - " + value +
                                        ": give 10 or more random vectors.");
        }
    } else if (arg == "--rr-points") {
        std::size_t start = 0;
        while (start <= value.size()) {
            const std::size_t comma = std::min(value.find(',', start), value.size());
            options.rr_points.push_back(read_double(arg, value.substr(start, comma - start)));
            start = comma + 1;
        }
    } else if (arg == "--seed") {
        options.seed = static_cast<std::uint64_t>(read_int(arg, value, 0));
    } else if (arg == "--score") {
        options.score_file = value;
    } else if (arg == "--score-offset") {
        options.score_offset = read_double(arg, value);
    } else if (arg == "--snp-window") {
        options.snp_window = read_int(arg, value);
        if (options.snp_window < 1) {
            throw std::invalid_argument("❎ Error: Invalid argument for --snp-window - " + value +
                                        ": a window holds at least 1 marker.");
        }
    } else if (arg == "--apy-core") {
        options.apy_core = read_int(arg, value);
        options.apy_core_given = true;
    } else if (arg == "--apy-core-file") {
        options.apy_core_file = value;
    } else if (arg == "--threads") {
        options.threads = read_int(arg, value);
        options.threads_given = true;
    } else if (arg == "--kin-method") {
        options.kin_method = read_int(arg, value);
    } else if (arg == "--kin-lambda") {
        options.kin_lambda = read_double(arg, value);
    } else if (arg == "--kin-tau") {
        options.kin_tau = read_double(arg, value);
    } else if (arg == "--kin-omega") {
        options.kin_omega = read_double(arg, value);
    } else if (arg == "--kin-parts") {
        options.kin_parts = read_int(arg, value);
        options.kin_parts_given = true;
    } else if (arg == "--kin-part") {
        options.kin_part = read_int(arg, value);
        options.kin_part_given = true;
    } else {
        options.max_iter = read_int(arg, value);
    }
}

}  // namespace

RunOptions parse_command_line(int argc, const char* const argv[]) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (set_flag(arg, options)) {
            continue;
        }
        if (!takes_value(arg)) {
            throw std::invalid_argument("❎ Error: Unknown argument " + arg);
        }
        if (i + 1 >= argc || is_option_name(argv[i + 1])) {
            throw std::invalid_argument("❎ Error: " + arg + " needs a value" +
                                        (i + 1 < argc ? " but is followed by the option " + std::string(argv[i + 1])
                                                      : std::string(" but is the last argument")) +
                                        ".");
        }
        const std::string value = argv[++i];
        options.given_options.push_back(arg);
        set_value_option(arg, value, options);
    }
    return options;
}
