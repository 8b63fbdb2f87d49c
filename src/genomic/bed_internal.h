#pragma once

// Shared by the .bed reader and G: the one decoder of the format and the file checks.

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Bytes per marker in the body: four individuals per byte.
inline std::int64_t bed_bytes_per_marker(std::int64_t n_individuals) { return (n_individuals + 3) / 4; }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using BedFileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a .bed, checks the header and that the file is exactly 3 + ceil(n/4)·m bytes, and
// leaves it positioned at the first marker, from where gkin_cpp decodes it block by block.
// `source` describes where n and m came from (for the size message), e.g. "4 individuals in
// d.fam and 3 markers in d.bim".
BedFileHandle read_bed2_cpp(const std::string& path, std::int64_t n_markers, std::int64_t n_individuals,
                            const std::string& source);

// Reads `size` bytes of markers; a short read means the file changed since it was checked.
void read_bed_bytes(std::FILE* file, const std::string& path, unsigned char* buffer, std::size_t size);

// Code counts of one marker's bytes, indexed by the 2-bit code; padding pairs of the last
// byte are not counted.
std::array<std::int64_t, 4> count_bed_codes(const unsigned char* bytes, std::int64_t n_individuals);

// out[i] = value_of_code[code of individual i], i < n_individuals; padding is ignored.
void decode_bed_marker(const unsigned char* bytes, std::int64_t n_individuals, const double value_of_code[4],
                       double* out);

// Empty .fam or .bim: std::runtime_error naming the file.
[[noreturn]] void fail_no_individuals(const std::string& fam_path);
[[noreturn]] void fail_no_markers(const std::string& bim_path);
