#include <sstream>
#include <stdexcept>

#include "genomic/genomic.h"
#include "genomic/grm_internal.h"
#include "linear_algebra/mirror.h"

MarkerSummary summarise_marker(const std::array<std::int64_t, 4>& code_counts, std::int64_t n_individuals) {
    // Codes: 0 -> dosage 2, 1 -> missing, 2 -> dosage 1, 3 -> dosage 0.
    const std::int64_t observed = code_counts[0] + code_counts[2] + code_counts[3];
    const double dosage_sum = 2.0 * static_cast<double>(code_counts[0]) + static_cast<double>(code_counts[2]);
    MarkerSummary summary;
    summary.mean = observed > 0 ? dosage_sum / static_cast<double>(observed) : 0.0;
    summary.frequency = 0.5 * summary.mean;
    summary.offset = centring_offset(summary.frequency);

    double dosage_of_code[4];
    for (int code = 0; code < 4; ++code) {
        dosage_of_code[code] = GENOTYPE_MAP[code] < 0 ? summary.mean : GENOTYPE_MAP[code];
    }
    double squares = 0.0;
    for (int code = 0; code < 4; ++code) {
        const double deviation = dosage_of_code[code] - summary.mean;
        squares += static_cast<double>(code_counts[code]) * deviation * deviation;
        if (code_counts[code] > 0 && dosage_of_code[code] + summary.offset != 0.0) {
            summary.informative = true;
        }
    }
    summary.variance = n_individuals > 0 ? squares / static_cast<double>(n_individuals) : 0.0;
    return summary;
}

void fail_zero_denominator(int method, const std::string& where) {
    if (method == kVanRadenMethod) {
        throw std::runtime_error("Cannot build G by method 1 from " + where +
                                 ": every marker is monomorphic or has no calls, so the denominator "
                                 "2 x sum of p(1-p) is 0.");
    }
    throw std::runtime_error("Cannot build G by method " + std::to_string(method) + " from " + where +
                             ": no marker varies between the individuals, so the diagonal of G sums to 0 "
                             "and cannot be scaled to a mean of 1.");
}

void fail_not_finite(int method, double lambda, const std::string& where) {
    std::ostringstream message;
    message << "Cannot build G by method " << method << " from " << where << ": with lambda " << lambda
            << " the marker weights overflow and G is not finite. Use a lambda closer to 0 (--kin-lambda).";
    throw std::runtime_error(message.str());
}

void fail_weights_underflow(int method, double lambda, const std::string& where) {
    std::ostringstream message;
    message << "Cannot build G by method " << method << " from " << where << ": with lambda " << lambda
            << " the marker weights underflow to 0, so the markers would drop out of G. Use a lambda closer to 0 "
               "(--kin-lambda).";
    throw std::runtime_error(message.str());
}

void scale_and_mirror_lower(Eigen::MatrixXd& matrix, double scale) {
    const Eigen::Index n = matrix.rows();
    if (scale != 1.0) {
#pragma omp parallel for schedule(static)
        for (Eigen::Index c = 0; c < n; ++c) {
            matrix.col(c).tail(n - c) *= scale;
        }
    }
    mirror_lower(matrix);
}
