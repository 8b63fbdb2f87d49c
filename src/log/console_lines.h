#pragma once

#include <functional>
#include <string>

// The progress lines a numeric part shows on the console (and that the log does not hold): the
// part hands each text, line ends included, to its caller's function, which prints it; without
// one (tests, benchmarks) the lines are dropped.
using ConsoleLines = std::function<void(const std::string&)>;

inline void say(const ConsoleLines& console, const std::string& text) {
    if (console) {
        console(text);
    }
}
