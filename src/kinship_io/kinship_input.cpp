#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "files/text_fields.h"
#include "linear_algebra/huge_pages.h"
#include "kinship_io/kinship_io.h"
#include "kinship_io/kinship_source.h"
#include "log/failures.h"

namespace {

std::vector<std::string> split_blank(const std::string& line) {
    std::istringstream fields(line);
    std::vector<std::string> result;
    for (std::string field; fields >> field;) {
        result.push_back(field);
    }
    return result;
}

// The IDs of a binary kinship file: one per line, or (two_columns) family and individual ID,
// of which the individual ID is kept. The line numbers go to `text.line_numbers`.
void read_binary_ids(const std::string& id_path, const std::string& matrix_path, bool two_columns, KinshipText& text) {
    std::ifstream file(id_path, std::ios::binary);
    struct stat info {};
    if (!file.is_open() || (::stat(id_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        throw InputCheckFailure("kinship file " + matrix_path + " needs its ID file " + id_path +
                                 " beside it, which could not be opened (the matrix and its IDs are written together).");
    }
    const std::string where = "ID file " + id_path + ", line ";
    std::unordered_map<std::string, std::size_t> line_of;
    std::string line;
    for (std::size_t line_number = 1; std::getline(file, line); ++line_number) {
        if (line_number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::vector<std::string> fields = split_blank(line);
        const std::size_t wanted = two_columns ? 2 : 1;
        if (fields.size() != wanted) {
            throw InputCheckFailure(where + std::to_string(line_number) + ": expected " +
                                     (two_columns ? "2 fields (family ID, individual ID)" : "1 ID") + ", found " +
                                     std::to_string(fields.size()) + ".");
        }
        const std::string& id = fields.back();
        const auto [entry, inserted] = line_of.emplace(id, line_number);
        if (!inserted) {
            throw InputCheckFailure("ID file " + id_path + ": individual " + quoted(id) +
                                     " is listed twice (lines " + std::to_string(entry->second) + " and " +
                                     std::to_string(line_number) + "); every individual needs exactly one line.");
        }
        text.ids.push_back(id);
        text.line_numbers.push_back(line_number);
    }
    if (file.bad()) {
        throw InputCheckFailure("could not read the ID file " + id_path + ".");
    }
    if (text.ids.empty()) {
        throw InputCheckFailure("ID file " + id_path + " lists no individual, so " + matrix_path +
                                 " holds no kinship data.");
    }
}

// Opens a binary kinship file and checks its IDs and its size (n(n+1)/2 floats for n IDs);
// returns the open stream, positioned at the first value.
std::FILE* open_binary_kinship(const std::string& filename, const std::string& id_path, bool two_columns,
                               KinshipText& text) {
    std::FILE* stream = std::fopen(filename.c_str(), "rb");
    struct stat info {};
    if (stream == nullptr || ::fstat(::fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (stream != nullptr) {
            std::fclose(stream);
        }
        throw std::runtime_error("Could not open the kinship file: " + filename);
    }
    try {
        read_binary_ids(id_path, filename, two_columns, text);
    } catch (...) {
        std::fclose(stream);
        throw;
    }
    const std::size_t n = text.ids.size();
    const std::size_t n_values = n * (n + 1) / 2;
    const auto bytes = static_cast<unsigned long long>(info.st_size);
    if (bytes != n_values * sizeof(float)) {
        std::fclose(stream);
        const std::string found = bytes % sizeof(float) == 0 ? std::to_string(bytes / sizeof(float)) + " values ("
                                                             : "";
        throw InputCheckFailure("kinship file " + filename + " holds " + found + std::to_string(bytes) +
                                 " bytes" + (found.empty() ? "" : ")") + ", but the " + std::to_string(n) +
                                 " individuals of " + id_path + " need " + std::to_string(n_values) +
                                 " values (" + std::to_string(n_values * sizeof(float)) +
                                 " bytes, n(n+1)/2 floats): the matrix and the ID file do not belong together.");
    }
    return stream;
}

// PREFIX[.grm].bin -> PREFIX[.grm].id
std::string binary_id_path(const std::string& filename) { return filename.substr(0, filename.size() - 4) + ".id"; }

KinshipFile read_binary_kinship(const std::string& filename, bool two_columns) {
    KinshipFile result;
    result.binary = true;
    result.text.path = filename;
    result.id_path = binary_id_path(filename);
    std::FILE* stream = open_binary_kinship(filename, result.id_path, two_columns, result.text);
    const std::size_t n = result.text.ids.size();
    const std::size_t n_values = n * (n + 1) / 2;
    // Not zeroed first: every value is read over.
    result.lower_triangle.reset(new float[n_values]);
    advise_huge_pages(result.lower_triangle.get(), n_values * sizeof(float));
    const std::size_t read = std::fread(result.lower_triangle.get(), sizeof(float), n_values, stream);
    std::fclose(stream);
    if (read != n_values) {
        throw InputCheckFailure("could not read the kinship file " + filename + " (read " +
                                 std::to_string(read) + " of " + std::to_string(n_values) + " values).");
    }
    const float* values = result.lower_triangle.get();
    const float* bad = std::find_if(values, values + n_values, [](float value) { return !std::isfinite(value); });
    if (bad != values + n_values) {
        const auto index = static_cast<std::size_t>(bad - values);
        std::size_t row = static_cast<std::size_t>((std::sqrt(8.0 * static_cast<double>(index) + 1.0) - 1.0) / 2.0);
        while (row * (row + 1) / 2 > index) {
            --row;
        }
        while ((row + 1) * (row + 2) / 2 <= index) {
            ++row;
        }
        throw_not_finite(filename, result.text.ids, row, index - row * (row + 1) / 2, *bad);
    }
    return result;
}

// K(a, b) = K(lines[a], lines[b]) from the packed lower triangle.
Eigen::MatrixXd triangle_rows(const float* lower, const std::vector<std::size_t>& lines) {
    const auto k = static_cast<Eigen::Index>(lines.size());
    Eigen::MatrixXd K(k, k);
    advise_huge_pages(K.data(), static_cast<std::size_t>(K.size()) * sizeof(double));
#pragma omp parallel for schedule(dynamic, 16)
    for (Eigen::Index b = 0; b < k; ++b) {
        const std::size_t column = lines[static_cast<std::size_t>(b)];
        for (Eigen::Index a = 0; a < k; ++a) {
            const std::size_t row = lines[static_cast<std::size_t>(a)];
            const std::size_t high = std::max(row, column);
            K(a, b) = lower[high * (high + 1) / 2 + std::min(row, column)];
        }
    }
    return K;
}

// K(i, positions[c]) for every i, and the diagonal, from the packed lower triangle; a panel of
// rows at a time, so that the rows read for the values below the diagonal stay in cache.
KinshipColumns triangle_columns(const float* lower, std::size_t n, const std::vector<std::size_t>& positions) {
    constexpr std::size_t kPanel = 64;
    const auto k = static_cast<Eigen::Index>(positions.size());
    KinshipColumns result;
    result.positions = positions;
    result.columns.resize(static_cast<Eigen::Index>(n), k);
    result.diagonal.resize(static_cast<Eigen::Index>(n));
#pragma omp parallel for schedule(dynamic, 1)
    for (std::size_t panel_start = 0; panel_start < n; panel_start += kPanel) {
        const std::size_t panel_end = std::min(panel_start + kPanel, n);
        for (Eigen::Index c = 0; c < k; ++c) {
            const std::size_t column = positions[static_cast<std::size_t>(c)];
            for (std::size_t row = panel_start; row < panel_end; ++row) {
                const std::size_t high = std::max(row, column);
                result.columns(static_cast<Eigen::Index>(row), c) = lower[high * (high + 1) / 2 + std::min(row, column)];
            }
        }
        for (std::size_t row = panel_start; row < panel_end; ++row) {
            result.diagonal[static_cast<Eigen::Index>(row)] = lower[row * (row + 1) / 2 + row];
        }
    }
    return result;
}

}  // namespace

void throw_not_finite(const std::string& filename, const std::vector<std::string>& ids, std::size_t row,
                      std::size_t column, double value) {
    std::ostringstream message;
    message << "kinship file " << filename << ": the value for " << quoted(ids[row]) << " and " << quoted(ids[column])
            << " (row " << row + 1 << ", column " << column + 1 << ") is " << value
            << "; every value must be a finite number.";
    throw InputCheckFailure(message.str());
}

KinshipSource open_kinship_source(const std::string& filename) {
    KinshipSource source;
    if (ends_with(filename, ".bin")) {
        source.binary = true;
        source.text.path = filename;
        source.id_path = binary_id_path(filename);
        std::fclose(open_binary_kinship(filename, source.id_path, ends_with(filename, ".grm.bin"), source.text));
        return source;
    }
    source.text = index_kinship_text_file(filename);
    check_kinship_layout(source.text);
    return source;
}

KinshipFile read_kinship_file(const std::string& filename) {
    if (ends_with(filename, ".grm.bin")) {
        return read_binary_kinship(filename, true);
    }
    if (ends_with(filename, ".bin")) {
        return read_binary_kinship(filename, false);
    }
    KinshipFile result;
    result.text = load_kinship_text(filename);
    check_kinship_layout(result.text);
    return result;
}

std::pair<std::unordered_set<std::string>, std::vector<std::string>> getKinshipIds(const KinshipFile& file) {
    const std::vector<std::string>& ids = file.text.ids;
    return {std::unordered_set<std::string>(ids.begin(), ids.end()), ids};
}

Eigen::MatrixXd filterKinshipMatrix(const KinshipFile& file, const std::vector<std::string>& sampleIds) {
    std::unordered_map<std::string, std::size_t> line_of;
    line_of.reserve(file.text.ids.size());
    for (std::size_t line = 0; line < file.text.ids.size(); ++line) {
        line_of.emplace(file.text.ids[line], line);
    }
    std::vector<std::size_t> selection;
    selection.reserve(sampleIds.size());
    for (const std::string& id : sampleIds) {
        const auto found = line_of.find(id);
        if (found == line_of.end()) {
            throw InputCheckFailure("kinship file " + file.text.path + " has no row for individual " +
                                     quoted(id) + ".");
        }
        selection.push_back(found->second);
    }
    if (file.binary) {
        return triangle_rows(file.lower_triangle.get(), selection);
    }
    Eigen::MatrixXd K = kinship_rows(file.text, selection);
    check_kinship_symmetric(K, sampleIds, file.text.path);
    return K;
}

KinshipColumns read_kinship_columns(const KinshipFile& file, const std::vector<std::size_t>& positions) {
    const std::size_t n = file.text.ids.size();
    for (std::size_t position : positions) {
        if (position >= n) {
            throw std::invalid_argument("Kinship column " + std::to_string(position) + " asked of " + file.text.path +
                                        ", which has " + std::to_string(n) + " individuals.");
        }
    }
    if (file.binary) {
        return triangle_columns(file.lower_triangle.get(), n, positions);
    }
    return kinship_text_columns(file.text, positions);
}
