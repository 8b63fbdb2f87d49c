#pragma once

// The files every part writes its results through, shared by kinship I/O and the mixed-model
// result files.

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// A result is written under a temporary name beside its final name and renamed over it only
// once complete, so a failed run never leaves a truncated file that looks finished (and an
// existing result survives the failure). Targets that exist but are not regular files
// (/dev/stdout, /dev/full, a FIFO) are written in place.
struct PendingFile {
    std::string target;
    std::string temp;              // empty when writing in place
    std::FILE* stream = nullptr;   // null when the file could not be created (errno is set)

    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    // Needed to return one by value; the returns are elided, so it never runs in practice.
    PendingFile(PendingFile&& other) noexcept
        : target(std::move(other.target)), temp(std::move(other.temp)), stream(other.stream) {
        other.stream = nullptr;
        other.temp.clear();
    }
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile();  // discards the temporary file unless committed
};

// `mode` is an fopen mode for writing ("w" or "wb").
PendingFile open_pending_file(const std::string& target, const char* mode);
// Writes `size` bytes; throws std::runtime_error naming the target on a short write.
void write_pending(PendingFile& file, const char* data, std::size_t size);
// Flushes, closes and renames into place; throws std::runtime_error naming the target on
// any failure (disk full, failed close), after removing the temporary file.
void commit_pending_file(PendingFile& file);
// Two results that belong together (a matrix and its IDs): both are flushed and closed before
// either is renamed, and the renames happen under a lock on the folder, so that a failure keeps
// the earlier pair whole and two runs on one prefix never leave a mixed pair.
void commit_pending_files(PendingFile& first, PendingFile& second);
void commit_pending_files(const std::vector<PendingFile*>& files);

// A whole text result (a report) written through a PendingFile; throws std::runtime_error naming
// the target when it cannot be created or written.
void write_pending_text(const std::string& target, const std::string& text);

// Refuses IDs that the text and ID formats cannot carry (white space splits the fields).
void check_writable_ids(const std::vector<std::string>& ids, const std::string& filename);
