#pragma once

// Shared by the .bed reader and G: the one decoder of the format, the file checks, and the
// per-marker formulas.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <Eigen/Dense>

// Bytes per marker in the body: four individuals per byte.
inline std::int64_t bed_bytes_per_marker(std::int64_t n_individuals) { return (n_individuals + 3) / 4; }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using BedFileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a .bed, checks the header and that the file is exactly 3 + ceil(n/4)·m bytes, and
// leaves it positioned at the first marker, from where gkin_cpp decodes it block by block. `source` describes where n and m came from (for
// the size message), e.g. "4 individuals in d.fam and 3 markers in d.bim".
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

// What G needs of one marker, from its code counts. The arithmetic follows the imputing
// and centring of the plain formula step for step: impute by the observed mean, then centre.
struct MarkerSummary {
    double mean = 0.0;        // mean dosage of the observed calls, 0 when none
    double frequency = 0.0;   // p = mean / 2
    double offset = 0.0;      // added to the dosage to centre it: -1 - 2(p - 0.5)
    double variance = 0.0;    // population variance of the imputed dosages (divisor n)
    bool informative = false; // false when every centred value is exactly 0
};

MarkerSummary summarise_marker(const std::array<std::int64_t, 4>& code_counts, std::int64_t n_individuals);

// Centring offset c = -1 - 2(p - 0.5), in this order of operations.
inline double centring_offset(double frequency) {
    const double shifted = frequency - 0.5;
    return -1.0 - (shifted + shifted);
}

inline constexpr double kVarianceFloor = 1e-6;

// Method 2: 1 / (m · (2p(1-p) + 1e-6)^lambda).
inline double expected_variance_weight(double frequency, double n_markers, double lambda) {
    const double variance = std::fma(2.0 * frequency, 1.0 - frequency, kVarianceFloor);
    return 1.0 / (n_markers * std::pow(variance, lambda));
}

// Method 3: 1 / ((v + 1e-6)^lambda · m), v the observed variance.
inline double observed_variance_weight(double variance, double n_markers, double lambda) {
    return 1.0 / (std::pow(variance + kVarianceFloor, lambda) * n_markers);
}

// Multiplies the lower triangle (diagonal included) by `scale` and copies it into the upper
// triangle, so the matrix is exactly symmetric.
void scale_and_mirror_lower(Eigen::MatrixXd& matrix, double scale);

// The block G(first..first+rows-1, 0..first+rows-1) of `panel` as accumulated (the rows'
// lower triangle): every value of that triangle multiplied by `scale` as scale_and_mirror_lower
// does, and the square block's upper triangle filled from its lower one.
void scale_and_mirror_panel(Eigen::MatrixXd& panel, Eigen::Index first, double scale);

enum KinshipMethod { kVanRadenMethod = 1, kExpectedVarianceMethod = 2, kObservedVarianceMethod = 3 };

// Empty .fam or .bim: std::runtime_error naming the file.
[[noreturn]] void fail_no_individuals(const std::string& fam_path);
[[noreturn]] void fail_no_markers(const std::string& bim_path);

// Throw std::runtime_error with the reason G cannot be formed; `where` names the data.
[[noreturn]] void fail_zero_denominator(int method, const std::string& where);
[[noreturn]] void fail_not_finite(int method, double lambda, const std::string& where);
