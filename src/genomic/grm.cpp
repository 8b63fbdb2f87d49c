#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"
#include "linear_algebra/mirror.h"

MarkerSummary summarise_marker(const std::array<std::int64_t, 4>& code_counts, std::int64_t n_individuals) {
    // Codes: 0 -> dosage 2, 1 -> missing, 2 -> dosage 1, 3 -> dosage 0.
    const std::int64_t observed = code_counts[0] + code_counts[2] + code_counts[3];
    const double dosage_sum = 2.0 * static_cast<double>(code_counts[0]) + static_cast<double>(code_counts[2]);
    MarkerSummary summary;
    summary.mean = observed > 0 ? dosage_sum / static_cast<double>(observed) : 0.0;
    summary.frequency = 0.5 * summary.mean;
    summary.offset = centring_offset(summary.frequency);

    const double dosage_of_code[4] = {2.0, summary.mean, 1.0, 0.0};
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

void fill_missing_values(Eigen::MatrixXd& genotypes, Eigen::VectorXd& means) {
    const Eigen::Index n_individuals = genotypes.rows();
    const Eigen::Index n_markers = genotypes.cols();
    means = Eigen::VectorXd::Zero(n_markers);
#pragma omp parallel for schedule(static)
    for (Eigen::Index j = 0; j < n_markers; ++j) {
        double* column = genotypes.col(j).data();
        double sum = 0.0;
        std::int64_t observed = 0;
        for (Eigen::Index i = 0; i < n_individuals; ++i) {
            if (column[i] != -1.0) {
                sum += column[i];
                ++observed;
            }
        }
        const double mean = observed > 0 ? sum / static_cast<double>(observed) : 0.0;
        means[j] = mean;
        for (Eigen::Index i = 0; i < n_individuals; ++i) {
            if (column[i] == -1.0) {
                column[i] = mean;
            }
        }
    }
}

Eigen::MatrixXd gkin_cpp(const Eigen::MatrixXd& genotypes, int method, double lambda) {
    if (method != kVanRadenMethod && method != kExpectedVarianceMethod && method != kObservedVarianceMethod) {
        throw std::invalid_argument("Invalid kinship method!");
    }
    const Eigen::Index n_individuals = genotypes.rows();
    const Eigen::Index n_markers = genotypes.cols();
    if (n_individuals == 0 || n_markers == 0) {
        throw std::runtime_error("Cannot build G from a genotype matrix with " + std::to_string(n_individuals) +
                                 " individuals and " + std::to_string(n_markers) + " markers.");
    }
    const std::string where = "the genotype matrix";

    // X: imputed dosages, n x m; it becomes Z (centred) in place once method 3 has its variances.
    Eigen::MatrixXd centred = genotypes;
    Eigen::VectorXd means;
    fill_missing_values(centred, means);
    const Eigen::VectorXd frequencies = 0.5 * means;

    Eigen::VectorXd observed_variances;
    if (method == kObservedVarianceMethod) {
        observed_variances.resize(n_markers);
#pragma omp parallel for schedule(static)
        for (Eigen::Index j = 0; j < n_markers; ++j) {
            observed_variances[j] = (centred.col(j).array() - means[j]).square().sum() /
                                    static_cast<double>(n_individuals);
        }
    }
#pragma omp parallel for schedule(static)
    for (Eigen::Index j = 0; j < n_markers; ++j) {
        centred.col(j).array() += centring_offset(frequencies[j]);
    }

    const int n = static_cast<int>(n_individuals);
    const int m = static_cast<int>(n_markers);
    Eigen::MatrixXd kinship(n_individuals, n_individuals);
    if (method == kVanRadenMethod) {
        const auto start = std::chrono::system_clock::now();
        double heterozygosity = 0.0;
        for (Eigen::Index j = 0; j < n_markers; ++j) {
            heterozygosity += frequencies[j] * (1.0 - frequencies[j]);
        }
        if (!(heterozygosity > 0.0)) {
            fail_zero_denominator(method, where);
        }
        // VanRaden (2008), first method: G = Z Zᵀ / (2 Σ p(1-p)); one triangle, then mirrored.
        cblas_dsyrk(CblasColMajor, CblasLower, CblasNoTrans, n, m, 0.5 / heterozygosity, centred.data(), n, 0.0,
                    kinship.data(), n);
        scale_and_mirror_lower(kinship, 1.0);
        const double seconds = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                       std::chrono::system_clock::now() - start)
                                                       .count()) *
                               1e-9;
        std::cout << "Building G matrix" << seconds << " 秒" << std::endl;
        return kinship;
    }

    Eigen::VectorXd weights(n_markers);
    for (Eigen::Index j = 0; j < n_markers; ++j) {
        weights[j] = method == kExpectedVarianceMethod
                         ? expected_variance_weight(frequencies[j], static_cast<double>(m), lambda)
                         : observed_variance_weight(observed_variances[j], static_cast<double>(m), lambda);
    }
    Eigen::MatrixXd weighted = centred;
#pragma omp parallel for schedule(static)
    for (Eigen::Index j = 0; j < n_markers; ++j) {
        cblas_dscal(n, weights[j], weighted.col(j).data(), 1);
    }
    // G = Z D Zᵀ as W Zᵀ, W = Z D: both triangles from one general product.
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasTrans, n, n, m, 1.0, weighted.data(), n, centred.data(), n, 0.0,
                kinship.data(), n);
    double trace = 0.0;
    for (Eigen::Index k = 0; k < n_individuals; ++k) {
        trace += kinship(k, k);
    }
    const double mean_diagonal = trace / static_cast<double>(n_individuals);
    if (mean_diagonal == 0.0) {
        fail_zero_denominator(method, where);
    }
    kinship *= 1.0 / mean_diagonal;
    if (!std::isfinite(mean_diagonal) || !kinship.allFinite()) {
        fail_not_finite(method, lambda, where);
    }
    return kinship;
}
