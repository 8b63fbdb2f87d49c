#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/app.h"
#include "app/model_inputs.h"
#include "files/text_fields.h"

namespace {

namespace fs = std::filesystem;

struct NamedFile {
    std::string path;
    std::string role;  // the option that names it
};

// Whether two names are one file: the same file on disk (links included) or, for names that do
// not exist yet, the same path once "." and ".." and links in the folders are resolved.
bool same_file(const std::string& first, const std::string& second) {
    std::error_code error;
    if (fs::exists(first, error) && fs::exists(second, error)) {
        return fs::equivalent(first, second, error) && !error;
    }
    const fs::path a = fs::weakly_canonical(first, error);
    if (error) {
        return first == second;
    }
    const fs::path b = fs::weakly_canonical(second, error);
    return error ? first == second : a == b;
}

// The result files of the kinship run.
std::vector<std::string> kinship_results(const RunOptions& options) {
    const std::string& out = options.out_prefix;
    if (options.kin_parts_given) {
        const std::string base = out + ".part_" + std::to_string(options.kin_parts) + "_" +
                                 std::to_string(options.kin_part);
        return {base + ".bin", base + ".id"};
    }
    std::vector<std::string> files;
    if (options.kin_inverse) {  // instead of the matrix
        return {out + ".inverse.txt", out + ".inverse.id"};
    }
    if (options.kin_gcta) {
        files.insert(files.end(), {out + ".grm.bin", out + ".grm.id", out + ".grm.N.bin"});
    }
    if (options.kin_bin) {
        files.insert(files.end(), {out + ".bin", out + ".id"});
    }
    if (files.empty()) {
        files.push_back(out + ".kinship.txt");
    }
    return files;
}

// The input files of the kinship run, or of a prediction from the pedigree.
std::vector<NamedFile> kinship_inputs(const RunOptions& options) {
    std::vector<NamedFile> files;
    if (!options.bed_prefix.empty()) {
        for (const char* ending : {".bed", ".bim", ".fam"}) {
            files.push_back({options.bed_prefix + ending, "--bedfile"});
        }
    }
    if (!options.pedigree_file.empty()) {
        files.push_back({options.pedigree_file, "--pedigree"});
    }
    if (!options.apy_core_file.empty()) {
        files.push_back({options.apy_core_file, "--apy-core-file"});
    }
    return files;
}

// The reports the checks before G and H, the pedigree and the inverses write beside the results.
std::vector<std::string> report_files(const RunOptions& options) {
    const std::string& out = options.out_prefix;
    std::vector<std::string> files;
    if (!(options.run_kinship || sparse_pedigree_model(options))) {
        return files;
    }
    const bool genotypes = !options.bed_prefix.empty(), pedigree = !options.pedigree_file.empty();
    if (genotypes) {
        files.insert(files.end(), {out + ".removed.txt", out + ".duplicates.txt", out + ".gdiag.svg"});
    }
    if (pedigree) {
        files.push_back(out + ".inbreeding.txt");
    }
    if (genotypes && pedigree) {
        files.insert(files.end(), {out + ".parentage.txt", out + ".gvsa22.txt", out + ".gvsa22.svg"});
    }
    return files;
}

// The names a kinship list's lines may mean: each as written and beside the list, read as far
// as the list can be read.
std::vector<std::string> kinship_list_candidates(const std::string& list_path) {
    std::vector<std::string> names;
    std::error_code error;
    if (fs::is_directory(list_path, error)) {
        return names;
    }
    std::ifstream list(list_path);
    const fs::path folder = fs::path(list_path).parent_path();
    for (const auto& [number, path] : kinship_list_names(list)) {
        names.push_back(path);
        if (fs::path(path).is_relative()) {
            names.push_back((folder / path).string());
        }
    }
    return names;
}

}  // namespace

namespace {

// A number from a file of /proc or /sys ("max" and what does not parse: none).
std::optional<double> number_in(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

// Bytes of `key` in a memory.stat file.
double stat_bytes(const std::string& path, const std::string& key) {
    std::ifstream stat(path);
    std::string name;
    double value = 0.0;
    while (stat >> name >> value) {
        if (name == key) return value;
    }
    return 0.0;
}

// What the job's control group leaves it: its limit less what it holds, the page cache it could
// give back not counted as held (a batch system's limit, which /proc/meminfo does not show).
std::optional<double> control_group_free() {
    const std::string v2 = "/sys/fs/cgroup/", v1 = "/sys/fs/cgroup/memory/";
    if (const auto limit = number_in(v2 + "memory.max")) {
        const auto used = number_in(v2 + "memory.current");
        return *limit - used.value_or(0.0) + stat_bytes(v2 + "memory.stat", "inactive_file");
    }
    const auto limit = number_in(v1 + "memory.limit_in_bytes");
    // Version 1 says "no limit" as a number near 2^63.
    if (!limit || *limit >= 1e18) return std::nullopt;
    const auto used = number_in(v1 + "memory.usage_in_bytes");
    return *limit - used.value_or(0.0) + stat_bytes(v1 + "memory.stat", "total_inactive_file");
}

}  // namespace

double free_memory_bytes() {
    double free = std::numeric_limits<double>::infinity();
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        std::istringstream fields(line);
        std::string key;
        double kilobytes = 0.0;
        if (fields >> key >> kilobytes && key == "MemAvailable:") free = kilobytes * 1024.0;
    }
    if (const auto group = control_group_free()) free = std::min(free, std::max(0.0, *group));
    // Set but empty: no limit, as unset.
    if (const char* limit = std::getenv("ZELKORA_MEMORY_LIMIT"); limit != nullptr && *limit != '\0') {
        char* end = nullptr;
        const double gigabytes = std::strtod(limit, &end);
        if (end == limit || *end != '\0' || !(gigabytes >= 0.0) || !std::isfinite(gigabytes)) {
            throw InputCheckFailure(std::string("ZELKORA_MEMORY_LIMIT=") + limit +
                                    " is not a number of GB (for example 8 or 0.5).");
        }
        free = std::min(free, gigabytes * 1e9);
    }
    return free;
}

bool fits_in_free_memory(std::size_t bytes) { return static_cast<double>(bytes) < free_memory_bytes(); }

std::string log_file_name(const RunOptions& options) {
    // The tasks of a job array run side by side on one prefix: each part keeps its own log.
    const std::string part = options.run_kinship && options.kin_parts_given
                                 ? ".part_" + std::to_string(options.kin_parts) + "_" + std::to_string(options.kin_part)
                                 : std::string();
    return options.out_prefix + part + ".log";
}

void check_outputs_spare_inputs(const RunOptions& options) {
    const bool from_pedigree = sparse_pedigree_model(options);
    const bool mixed_model = options.run_reml || options.run_predict;
    // The marker effects and the scores read the genotypes (and the scores the effects).
    const bool marker_effects = options.run_predict && !options.run_reml && options.snp_effects;
    const bool scoring = !options.score_file.empty();
    std::vector<NamedFile> inputs = options.run_kinship || from_pedigree || marker_effects || scoring
                                        ? kinship_inputs(options)
                                        : std::vector<NamedFile>{};
    if (scoring) {
        inputs.push_back({options.score_file, "--score"});
    }
    // A combined run reads the kinship it has just written (--kin-file PREFIX.kinship.txt): the
    // kinship results may be the kinship file of the mixed-model run, and nothing else may be.
    std::vector<NamedFile> kinship_file;
    if (mixed_model) {
        inputs.push_back({options.phe_file, "--phefile"});
        if (!options.kin_file.empty()) {
            kinship_file.push_back({options.kin_file, "--kin-file"});
        }
        if (!options.mkin_file.empty()) {
            inputs.push_back({options.mkin_file, "--mkin-file"});
            // Every name the list may mean, whether it exists yet or not: a list that cannot be
            // read whole still has its readable lines checked (the run says what is wrong with it).
            for (const std::string& kinship : kinship_list_candidates(options.mkin_file)) {
                kinship_file.push_back({kinship, "--mkin-file"});
            }
        }
        for (std::size_t k = 0, count = kinship_file.size(); k < count; ++k) {
            const std::string kinship = kinship_file[k].path;
            if (ends_with(kinship, ".bin")) {  // PREFIX.bin and PREFIX.grm.bin read PREFIX[.grm].id
                kinship_file.push_back({kinship.substr(0, kinship.size() - 4) + ".id", kinship_file[k].role});
            }
        }
    }
    std::vector<NamedFile> all_inputs = inputs;
    all_inputs.insert(all_inputs.end(), kinship_file.begin(), kinship_file.end());
    std::vector<std::pair<std::string, const std::vector<NamedFile>*>> outputs = {{log_file_name(options), &all_inputs}};
    if (options.run_kinship) {
        for (const std::string& result : kinship_results(options)) {
            outputs.push_back({result, &inputs});
        }
    }
    for (const std::string& report : report_files(options)) {
        outputs.push_back({report, &all_inputs});
    }
    const MixedModelFiles results = mixed_model_files(options);
    if (mixed_model) {
        outputs.push_back({results.variances, &all_inputs});
        outputs.push_back({results.fixed, &all_inputs});
    }
    if (options.run_predict && !options.run_reml) {
        outputs.push_back({results.values, &all_inputs});
        outputs.push_back({results.reliability, &all_inputs});
        if (marker_effects) {
            outputs.push_back({options.out_prefix + ".snp.txt", &all_inputs});
            outputs.push_back({options.out_prefix + ".manhattan.svg", &all_inputs});
        }
    }
    if (scoring) {
        outputs.push_back({options.out_prefix + ".score.txt", &all_inputs});
    }
    for (const auto& [output, spared] : outputs) {
        const fs::path path(output);
        std::error_code error;
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        const long name_limit = fs::is_directory(folder, error) ? ::pathconf(folder.c_str(), _PC_NAME_MAX) : -1;
        if (name_limit > 0 && path.filename().string().size() > static_cast<std::size_t>(name_limit)) {
            throw std::invalid_argument("❎ Error: the output file name " + path.filename().string() + " (--out " +
                                        options.out_prefix + ") is longer than the " + std::to_string(name_limit) +
                                        " characters a file name may have here. Choose a shorter --out.");
        }
        for (const NamedFile& input : *spared) {
            if (same_file(output, input.path)) {
                throw std::invalid_argument("❎ Error: the output file " + output + " (--out " + options.out_prefix +
                                            ") is the input file " + input.path + " of " + input.role +
                                            ": writing it would destroy the input. Choose another --out.");
            }
        }
    }
}
