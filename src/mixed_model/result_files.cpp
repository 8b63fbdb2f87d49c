#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "kinship_io/kinship_io.h"
#include "log/logger.h"
#include "mixed_model/mixed_model.h"

namespace {

void write_text(PendingFile& file, const std::string& text) { write_pending(file, text.data(), text.size()); }

}  // namespace

bool writeRanEffToFile(const Eigen::MatrixXd& ran_eff, const std::vector<std::string>& sample_ids,
                       const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        std::cerr << "无法打开文件 " << filename << std::endl;
        return false;
    }
    if (ran_eff.rows() != static_cast<Eigen::Index>(sample_ids.size())) {
        // The temporary file is discarded: no result is better than a header without values.
        std::cerr << "Error：sample_ids and ran_eff row number were not matcthed！" << std::endl;
        return false;
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
        std::cerr << error.what() << std::endl;
        return false;
    }
    return true;
}

void writeOutput(Logger& logger, const std::vector<std::string>& ids, const Eigen::MatrixXd& matrix,
                 const std::string& filename) {
    PendingFile file = open_pending_file(filename, "w");
    if (file.stream == nullptr) {
        std::cerr << "Could not open the output file: " << filename << std::endl;
        std::exit(1);
    }
    logger.tee << "Output file opened successfully: " << filename << std::endl;
    std::ostringstream text;
    text << "Sample IDs:\n";
    for (const std::string& id : ids) {
        text << id << "\n";
    }
    text << "\nKinship Matrix:\n";
    for (Eigen::Index i = 0; i < matrix.rows(); ++i) {
        for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
            text << (j > 0 ? "\t" : "") << matrix(i, j);
        }
        text << "\n";
        write_text(file, text.str());  // a row at a time: a large matrix is not held twice
        text.str("");
    }
    write_text(file, text.str());
    commit_pending_file(file);
    logger.tee << "Output successfully written to file." << std::endl;
}
