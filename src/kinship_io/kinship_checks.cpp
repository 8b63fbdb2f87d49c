#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "files/text_fields.h"
#include "kinship_io/kinship_io.h"
#include "log/failures.h"

namespace {

std::vector<std::string> header_tokens(const KinshipText& text) {
    const std::size_t header_end = std::min(text.content.find('\n'), text.content.size());
    std::istringstream header(text.content.substr(0, header_end));
    std::vector<std::string> tokens;
    std::string token;
    while (header >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

}  // namespace

void check_kinship_layout(const KinshipText& text) {
    if (text.ids.empty()) {
        throw std::runtime_error("No kinship data found in file.");
    }
    const std::string where = "kinship file " + text.path + ": ";

    std::unordered_map<std::string, std::size_t> line_of;
    line_of.reserve(text.ids.size());
    for (std::size_t line = 0; line < text.ids.size(); ++line) {
        const auto [entry, inserted] = line_of.emplace(text.ids[line], line);
        if (!inserted) {
            throw InputCheckFailure(where + "individual " + quoted(text.ids[line]) + " has two data lines (lines " +
                                     std::to_string(text.line_numbers[entry->second]) + " and " +
                                     std::to_string(text.line_numbers[line]) + "); every individual needs exactly one.");
        }
    }

    const std::vector<std::string> header = header_tokens(text);
    if (header == text.ids) {
        return;
    }
    for (std::size_t column = 0; column < header.size(); ++column) {
        if (line_of.count(header[column]) == 0) {
            throw InputCheckFailure(where + "the header names " + quoted(header[column]) + " (column " +
                                     std::to_string(column + 1) + ") but no data line belongs to it; the header " +
                                     "must list the IDs of the data lines, in the same order.");
        }
    }
    if (header.size() != text.ids.size()) {
        throw InputCheckFailure(where + "the header lists " + std::to_string(header.size()) + " IDs but there are " +
                                 std::to_string(text.ids.size()) + " data lines; the header must list the IDs of " +
                                 "the data lines, in the same order.");
    }
    // Same individuals, other order: column j of every data line belongs to data line j, so the
    // values would be assigned to the wrong individuals.
    std::size_t column = 0;
    while (header[column] == text.ids[column]) {
        ++column;
    }
    throw InputCheckFailure(where + "the header lists the individuals in another order than the data lines " +
                             "(column " + std::to_string(column + 1) + " is " + quoted(header[column]) +
                             ", data line " + std::to_string(column + 1) + " is " + quoted(text.ids[column]) +
                             "); the columns would be read as the wrong individuals. Write the columns in the " +
                             "order of the data lines.");
}

bool kinship_values_agree(double lower, double upper) {
    // Both triangles are rounded to 4 decimals on writing: a matrix that was symmetric differs
    // by at most one unit of the last decimal.
    constexpr double kTolerance = 1.5e-4;
    const double scale = std::max(std::fabs(lower), std::fabs(upper));
    return std::fabs(lower - upper) <= kTolerance + 1e-12 * scale;
}

void throw_not_symmetric(const std::string& filename, const std::string& row_id, const std::string& column_id,
                         double lower, double upper) {
    std::ostringstream message;
    message << "kinship file " << filename << " is not symmetric: the value for " << quoted(row_id) << " and "
            << quoted(column_id) << " is " << lower << " in one triangle and " << upper << " in the other.";
    throw InputCheckFailure(message.str());
}

void check_kinship_symmetric(const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                             const std::string& filename) {
    constexpr Eigen::Index kBlock = 64;
    const Eigen::Index n = K.rows();
    for (Eigen::Index block_col = 0; block_col < n; block_col += kBlock) {
        for (Eigen::Index block_row = block_col; block_row < n; block_row += kBlock) {
            const Eigen::Index col_end = std::min(block_col + kBlock, n);
            const Eigen::Index row_end = std::min(block_row + kBlock, n);
            for (Eigen::Index c = block_col; c < col_end; ++c) {
                for (Eigen::Index r = std::max(block_row, c + 1); r < row_end; ++r) {
                    if (!kinship_values_agree(K(r, c), K(c, r))) {
                        throw_not_symmetric(filename, ids[static_cast<std::size_t>(r)],
                                            ids[static_cast<std::size_t>(c)], K(r, c), K(c, r));
                    }
                }
            }
        }
    }
}
