#pragma once

// The formulas of G shared by its accumulation and its parts: per-marker centring and weights,
// the final scaling, and the reasons G cannot be formed.

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

#include <Eigen/Dense>

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

// Throw std::runtime_error with the reason G cannot be formed; `where` names the data.
[[noreturn]] void fail_zero_denominator(int method, const std::string& where);
[[noreturn]] void fail_not_finite(int method, double lambda, const std::string& where);
