#pragma once

// Shared by the .bed reader and G: the one decoder of the format and the file checks.

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "genomic/genomic.h"

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

// The markers of a BedSet as its lists hold them (after select_genotypes, the ones its filters
// kept), a block at a time: the bytes of each marker for the set's individuals only, four to a
// byte in their order (re-packed from the file's bytes when some individuals are left out),
// read in runs of consecutive markers. G's stream, the --mind pass and the parentage check all
// read the .bed through it.
class MarkerReader {
public:
    MarkerReader(const BedSet& bed, std::int64_t block_capacity);
    // Reads the next block; false after the last one.
    bool next();
    std::int64_t block_start() const { return block_start_; }
    std::int64_t block_markers() const { return block_markers_; }
    std::int64_t capacity() const { return capacity_; }
    const unsigned char* marker(std::int64_t k) const { return bytes_.data() + k * bytes_per_marker_; }

private:
    const BedSet& bed_;
    std::int64_t n_individuals_;
    std::int64_t n_markers_;
    std::int64_t bytes_per_marker_;       // of the set's individuals
    std::int64_t file_bytes_per_marker_;  // of all individuals of the file
    std::int64_t capacity_;
    std::int64_t block_start_ = 0;
    std::int64_t block_markers_ = 0;
    std::int64_t file_position_ = -1;     // the file marker the handle stands before
    bool repack_ = false;
    // Runs of individuals that follow each other in the file: (first file row, first position in
    // the set, length). A run is copied four calls (a target byte) at a time.
    struct Run {
        std::int64_t row = 0;
        std::int64_t position = 0;
        std::int64_t length = 0;
    };
    std::vector<Run> runs_;
    std::vector<unsigned char> bytes_;
    std::vector<unsigned char> file_bytes_;  // the block as in the file, when re-packed
};

// A marker's fate under the thresholds: removed by the first filter it fails (in the order
// --geno, --hwe, --maf), with the value that failed.
struct MarkerVerdict {
    bool removed = false;
    GenotypeFilter filter = GenotypeFilter::geno;
    double value = 0.0;
};
// From the marker's code counts over the individuals that enter G (indexed by the 2-bit code).
MarkerVerdict judge_marker(const std::array<std::int64_t, 4>& code_counts, const MarkerThresholds& thresholds);
