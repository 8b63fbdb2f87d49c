// Phenotype files against a fixed kinship ID set, with the trait and covariate columns taken
// from the first bytes. The design matrices must agree with the records they describe.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const int phe_pos = data[0] % 6;
    std::vector<int> covar_pos;
    for (int bit = 0; bit < 6; ++bit) {
        if ((data[1] >> bit) & 1) {
            covar_pos.push_back(bit);
        }
    }
    if (data[2] & 1) {
        covar_pos.push_back(covar_pos.empty() ? 1 : covar_pos.front());  // a repeated column
    }
    const std::string path = write_fuzz_file("phenotype.txt", data + 3, size - 3);
    static const std::unordered_set<std::string> kinship_ids = {"A", "B", "C", "D", "E", "1", "NA", ""};
    try {
        check_covariate_columns(covar_pos);
        const Model model = readPhenotype(path, phe_pos, covar_pos, kinship_ids);
        const Eigen::MatrixXd& y = model.response.y;
        const Eigen::MatrixXd& full = model.fixed.full;
        const Eigen::MatrixXd& reduced = model.fixed.reduced;
        const std::vector<std::string>& record_ids = model.response.record_ids;
        const std::vector<std::string>& labels = model.fixed.labels;
        const Eigen::Index n = y.rows();
        if (full.rows() != n || reduced.rows() != n || static_cast<Eigen::Index>(record_ids.size()) != n ||
            static_cast<Eigen::Index>(labels.size()) != full.cols() || reduced.cols() > full.cols()) {
            __builtin_trap();
        }
        // Each record has exactly one level per covariate in the full design.
        for (Eigen::Index i = 0; i < n; ++i) {
            if (full.row(i).sum() != 1.0 + static_cast<double>(covar_pos.size())) {
                __builtin_trap();
            }
        }
        // Every kept record is one the kinship holds.
        const auto positions = record_positions(record_ids, {"A", "B", "C", "D", "E", "1", "NA", ""});
        for (const Eigen::Index position : positions) {
            if (position < 0) {
                __builtin_trap();
            }
        }
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
