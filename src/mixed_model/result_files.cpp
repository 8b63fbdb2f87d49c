#include <cmath>
#include <sstream>
#include <stdexcept>

#include "files/pending_file.h"
#include "log/failures.h"
#include "mixed_model/mixed_model.h"

namespace {

void write_text(PendingFile& file, const std::string& text) { write_pending(file, text.data(), text.size()); }

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
