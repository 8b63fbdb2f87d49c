#pragma once

// Small helpers for names and IDs in file handling and messages.

#include <string>

inline bool ends_with(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// An ID as messages show it, so that an empty or blank one is visible.
inline std::string quoted(const std::string& id) { return "\"" + id + "\""; }
