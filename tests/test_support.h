#pragma once

// Helpers shared by the test files: scratch folders, whole files, and runs of the built
// executables with their output and exit status.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

struct CommandResult {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// A fresh, empty folder under /tmp, unique per call.
inline std::string make_scratch_dir() {
    char pattern[] = "/tmp/zelkora-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return dir;
}

inline std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
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

inline bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

inline std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Runs `program` with `args` in `workdir`, capturing both output streams.
inline CommandResult run_program(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& workdir) {
    const std::string out_path = workdir + "/.stdout";
    const std::string err_path = workdir + "/.stderr";
    std::string command = "cd " + shell_quote(workdir) + " && " + shell_quote(program);
    for (const std::string& arg : args) {
        command += " " + shell_quote(arg);
    }
    command += " >" + shell_quote(out_path) + " 2>" + shell_quote(err_path) + " </dev/null";
    const int raw = std::system(command.c_str());
    CommandResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return result;
}

inline CommandResult run_zelkora(const std::vector<std::string>& args, const std::string& workdir) {
    return run_program(ZELKORA_EXE, args, workdir);
}
