#pragma once

// Fuzz targets hand the readers real files: this writes bytes to a per-process scratch folder
// in memory-backed /dev/shm (or /tmp).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline const std::string& fuzz_scratch_dir() {
    static const std::string dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string path = base + "/zelkora-fuzz-" + std::to_string(getpid());
        mkdir(path.c_str(), 0700);
        return path;
    }();
    return dir;
}

inline std::string write_fuzz_file(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz_scratch_dir() + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (size > 0) {
        std::fwrite(data, 1, size, file);
    }
    std::fclose(file);
    return path;
}

// Splits the input into consecutive pieces whose lengths are taken from two-byte headers,
// so that the fuzzer can grow each file of a set on its own.
struct FuzzPieces {
    const std::uint8_t* data;
    std::size_t size;

    bool take(const std::uint8_t** piece, std::size_t* piece_size) {
        if (size < 2) {
            return false;
        }
        std::size_t wanted = static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8);
        data += 2;
        size -= 2;
        if (wanted > size) {
            wanted = size;
        }
        *piece = data;
        *piece_size = wanted;
        data += wanted;
        size -= wanted;
        return true;
    }
};
