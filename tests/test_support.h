#pragma once

// Helpers shared by the test files: scratch folders, whole files, and runs of the built
// executables with their output, exit status and log.

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

struct CommandResult {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// A fresh, empty folder under /tmp, unique per call.
inline std::string make_scratch_dir() {
    char pattern[] = "/tmp/zelkora-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

inline std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
}

// The lines of `text`, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

// Source -> (Estimate, SE) of a PREFIX.vc.txt, NaN for NA.
inline std::map<std::string, std::pair<double, double>> variance_table(const std::string& path) {
    std::map<std::string, std::pair<double, double>> rows;
    const std::vector<std::string> lines = lines_of(read_file(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string source, estimate, se;
        fields >> source >> estimate >> se;
        rows[source] = {estimate == "NA" ? NAN : std::stod(estimate), se == "NA" ? NAN : std::stod(se)};
    }
    return rows;
}

// Source -> Monte Carlo SE from a Monte Carlo REML's log (its table under "Source Estimate
// MC_SE"); empty without one.
inline std::map<std::string, double> monte_carlo_errors(const std::string& log) {
    std::map<std::string, double> errors;
    const std::size_t table = log.find("Source\tEstimate\tMC_SE\n");
    if (table == std::string::npos) return errors;
    for (const std::string& line : lines_of(log.substr(table))) {
        std::istringstream fields(line);
        std::string source;
        double estimate = 0.0, error = 0.0;
        if (fields >> source >> estimate >> error) errors.emplace(source, error);
    }
    return errors;
}

// (EBV, SE) by effect and ID from a reliability file of the long layout (Effect, Trait, ID, ...).
inline std::map<std::pair<std::string, std::string>, std::pair<double, double>> effect_rows(const std::string& path) {
    std::map<std::pair<std::string, std::string>, std::pair<double, double>> rows;
    const std::vector<std::string> lines = lines_of(read_file(path));
    for (std::size_t k = 1; k < lines.size(); ++k) {
        std::istringstream fields(lines[k]);
        std::string effect, trait, id, value, se;
        fields >> effect >> trait >> id >> value >> se;
        rows[{effect, id}] = {std::stod(value), std::stod(se)};
    }
    return rows;
}

inline std::string shell_quote(const std::string& text) {
    return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

// Runs `program` with `args` in `workdir`, capturing both output streams.
inline CommandResult run_program(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& workdir) {
    std::string command = "cd " + shell_quote(workdir) + " && " + shell_quote(program);
    for (const std::string& arg : args) {
        command += " " + shell_quote(arg);
    }
    const int raw = std::system((command + " >.stdout 2>.stderr </dev/null").c_str());
    const CommandResult result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(workdir + "/.stdout"),
                               read_file(workdir + "/.stderr")};
    std::filesystem::remove(workdir + "/.stdout");
    std::filesystem::remove(workdir + "/.stderr");
    return result;
}

inline CommandResult run_zelkora(const std::vector<std::string>& args, const std::string& workdir) {
    return run_program(ZELKORA_EXE, args, workdir);
}

// Times, the date and estimates as "#"; the lines of a REML trace (the iteration right-aligned in
// 10 columns, then five numbers right-aligned in 15) as one "<trace>".
inline std::string masked(const std::string& text) {
    const std::string trace_line = "(?= [ 0-9]{8}[0-9])[ 0-9]{10}((?= [^\n]{13}[^ \n])[^\n]{15}){5}\n";
    std::string shown = std::regex_replace(text, std::regex("(" + trace_line + ")+"), "<trace>\n");
    shown = std::regex_replace(shown, std::regex("(Start analysis|Command line): [^\n]*"), "$1: #");
    return std::regex_replace(shown, std::regex("-?[0-9]+(\\.[0-9]+(e[-+]?[0-9]+)?|e[-+]?[0-9]+)"), "#");
}

// The lines every run starts its log with, masked: the start, the version, the command line.
const std::string kStartLines = "🏃 Start analysis: #\n^Version: v1.1.0 (2025-2-11 Release)\n^Command line: #\n\n";

// A run's console after the 12-line banner and its log, both masked, against `expected`: the
// lines of both, of which those marked '~' are on the console only and those marked '^' in the
// log only.
inline void expect_console_and_log(const std::string& console, const std::string& log, const std::string& expected) {
    std::string want_console, want_log;
    for (const std::string& line : lines_of(expected)) {
        const char mark = line.empty() ? ' ' : line[0];
        const std::string text = line.substr(mark == '~' || mark == '^' ? 1 : 0) + "\n";
        want_console += mark == '^' ? "" : text;
        want_log += mark == '~' ? "" : text;
    }
    std::size_t banner_end = 0;
    for (int line = 0; line < 12; ++line) {
        banner_end = console.find('\n', banner_end) + 1;
    }
    EXPECT_EQ(masked(console.substr(banner_end)), masked(want_console));
    EXPECT_EQ(masked(log), masked(want_log));
}
