#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "files/pending_file.h"
#include "log/failures.h"
#include "mixed_model/mixed_model.h"

namespace {

void write_text(PendingFile& file, const std::string& text) { write_pending(file, text.data(), text.size()); }

constexpr double kNotAvailable = std::numeric_limits<double>::quiet_NaN();

void write_cell(std::ostream& out, double value) {
    if (std::isnan(value)) {
        out << "NA";
    } else {
        out << value;
    }
}

// SE of a'theta / 1'theta by the delta method: the gradient is (a S - A 1) / S^2.
double share_se(const Eigen::VectorXd& selector, const Eigen::VectorXd& estimates, const Eigen::MatrixXd& covariance) {
    if (covariance.size() == 0) {
        return kNotAvailable;
    }
    const double total = estimates.sum();
    const double part = selector.dot(estimates);
    const Eigen::VectorXd gradient = (selector * total - Eigen::VectorXd::Constant(estimates.size(), part)) / (total * total);
    return std::sqrt(std::max(gradient.dot(covariance * gradient), 0.0));
}

}  // namespace

void writeRanEffToFile(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                       const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        throw OutputFailure("无法打开文件 " + filename);
    }
    if (ran_eff.rows() != static_cast<Eigen::Index>(sample_ids.size())) {
        // The temporary file is discarded: no result is better than a header without values.
        throw OutputFailure("Error：sample_ids and ran_eff row number were not matcthed！");
    }
    try {
        std::ostringstream text;  // default format: 6 significant digits
        text << "Sample_ID,Ran_Effects\n";
        for (Eigen::Index i = 0; i < ran_eff.rows(); ++i) {
            text << sample_ids[static_cast<std::size_t>(i)] << "\t" << ran_eff(i, 0) << "\n";
        }
        write_text(file, text.str());
        commit_pending_file(file);
    } catch (const std::runtime_error& error) {
        throw OutputFailure(error.what());
    }
}

void write_reliability_file(const Eigen::MatrixXd& ran_eff, const Eigen::VectorXd& pev,
                            const Eigen::VectorXd& genetic_variances, const std::vector<std::string>& ids,
                            const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        throw OutputFailure("无法打开文件 " + filename);
    }
    try {
        std::ostringstream text;
        text << "ID\tEBV\tSE\tReliability\n";
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const auto k = static_cast<Eigen::Index>(i);
            text << ids[i] << "\t" << ran_eff(k, 0) << "\t" << std::sqrt(pev[k]) << "\t";
            if (genetic_variances[k] > 0.0) {
                text << 1.0 - pev[k] / genetic_variances[k] << "\n";
            } else {
                text << "NA\n";
            }
            if (text.tellp() > (1 << 20)) {
                write_text(file, text.str());
                text.str("");
            }
        }
        write_text(file, text.str());
        commit_pending_file(file);
    } catch (const std::runtime_error& error) {
        throw OutputFailure(error.what());
    }
}

std::vector<ResultRow> variance_component_rows(const std::vector<std::string>& names, const Eigen::VectorXd& estimates,
                                               const Eigen::MatrixXd& covariance, const std::vector<int>& repeatable,
                                               double log_likelihood) {
    const Eigen::Index count = estimates.size();
    if (static_cast<Eigen::Index>(names.size()) + 1 != count ||
        (covariance.size() != 0 && (covariance.rows() != count || covariance.cols() != count))) {
        throw std::invalid_argument("Variance rows need one name per component besides the residual and a square "
                                    "covariance of the components.");
    }
    auto se_of = [&](Eigen::Index k) {
        return covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance(k, k), 0.0));
    };
    std::vector<ResultRow> rows;
    for (Eigen::Index k = 0; k + 1 < count; ++k) {
        rows.push_back({"V(" + names[static_cast<std::size_t>(k)] + ")", estimates[k], se_of(k)});
    }
    rows.push_back({"V(e)", estimates[count - 1], se_of(count - 1)});
    const double total_se = covariance.size() == 0 ? kNotAvailable : std::sqrt(std::max(covariance.sum(), 0.0));
    rows.push_back({"Vp", estimates.sum(), total_se});
    for (Eigen::Index k = 0; k + 1 < count; ++k) {
        Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
        selector[k] = 1.0;
        rows.push_back({names[static_cast<std::size_t>(k)] + "/Vp", estimates[k] / estimates.sum(),
                        share_se(selector, estimates, covariance)});
    }
    if (!repeatable.empty()) {
        Eigen::VectorXd selector = Eigen::VectorXd::Zero(count);
        for (int k : repeatable) {
            selector[k] = 1.0;
        }
        rows.push_back({"Repeatability", selector.dot(estimates) / estimates.sum(),
                        share_se(selector, estimates, covariance)});
    }
    rows.push_back({"logL", log_likelihood, kNotAvailable});
    return rows;
}

std::vector<ResultRow> count_rows(std::size_t n_records, std::size_t n_individuals) {
    return {{"n_records", static_cast<double>(n_records), kNotAvailable, true},
            {"n_individuals", static_cast<double>(n_individuals), kNotAvailable, true}};
}

void write_variance_file(const std::vector<ResultRow>& rows, const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        throw OutputFailure("无法打开文件 " + filename);
    }
    try {
        std::ostringstream text;
        text << "Source\tEstimate\tSE\n";
        for (const ResultRow& row : rows) {
            text << row.source << "\t";
            if (row.whole) {
                text << static_cast<long long>(row.estimate);
            } else {
                write_cell(text, row.estimate);
            }
            text << "\t";
            write_cell(text, row.se);
            text << "\n";
        }
        write_text(file, text.str());
        commit_pending_file(file);
    } catch (const std::runtime_error& error) {
        throw OutputFailure(error.what());
    }
}
