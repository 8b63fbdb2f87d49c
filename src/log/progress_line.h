#pragma once

#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>

// "👉 Building G: 37 of 100 markers (37%)" rewritten in place on a terminal; nothing at all
// when standard error is redirected, so logs and captured output stay clean. The line is
// erased when done.
class ProgressLine {
public:
    // `what` names the matrix ("G"), `unit` what is counted ("markers").
    ProgressLine(std::string what, std::string unit)
        : label("👉 Building " + what + ": "), units(" " + unit + " ("), enabled(::isatty(STDERR_FILENO) == 1) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { finish(); }

    // Erases the line, so that what follows on the terminal starts on a clean line.
    void finish() {
        if (shown_percent >= 0) {
            std::cerr << '\r' << std::string(shown_length, ' ') << '\r' << std::flush;
            shown_percent = -1;
        }
    }

    // `done_count` of `total` (which may become known only once the work has started).
    void update(std::int64_t done_count, std::int64_t total) {
        total_count = total;
        if (!enabled || total_count == 0) {
            return;
        }
        const int percent = static_cast<int>(100 * done_count / total_count);
        if (percent == shown_percent) {
            return;
        }
        shown_percent = percent;
        const std::string line = label + std::to_string(done_count) + " of " + std::to_string(total_count) + units +
                                 std::to_string(percent) + "%)";
        shown_length = line.size();  // bytes, at least the columns it takes
        std::cerr << '\r' << line << std::flush;
    }

private:
    std::int64_t total_count = 0;
    std::string label;
    std::string units;
    bool enabled;
    int shown_percent = -1;
    std::size_t shown_length = 0;
};
