#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "kinship_io/kinship_io.h"

namespace {

// The checks of WriteGRMBin, in its order, before any file is created.
void check_binary_input(const std::string& baseName, const Eigen::MatrixXd& K, const std::vector<std::string>& ids) {
    if (baseName.empty()) {
        throw std::invalid_argument("Base name for output files is required!");
    }
    if (K.rows() == 0 || K.cols() == 0) {
        throw std::invalid_argument("Kinship matrix is required!");
    }
    if (K.rows() != K.cols()) {
        throw std::invalid_argument("Kinship must be a square matrix!");
    }
    // ||K - K'||^2 against 1e-24 ||K||^2, in one pass over the pairs below the diagonal.
    double asymmetry = 0.0;
    double norm = 0.0;
    const Eigen::Index n = K.rows();
    for (Eigen::Index c = 0; c < n; ++c) {
        norm += K(c, c) * K(c, c);
        for (Eigen::Index r = c + 1; r < n; ++r) {
            const double difference = K(r, c) - K(c, r);
            asymmetry += 2.0 * difference * difference;
            norm += K(r, c) * K(r, c) + K(c, r) * K(c, r);
        }
    }
    if (1e-24 * norm < asymmetry) {
        throw std::invalid_argument("Kinship must be a symmetric matrix!");
    }
    if (static_cast<Eigen::Index>(ids.size()) != n) {
        throw std::invalid_argument("Number of IDs must match the dimension of the kinship matrix!");
    }
}

PendingFile open_binary(const std::string& name) {
    PendingFile file = open_pending_file(name, "wb");
    if (file.stream == nullptr) {
        throw std::runtime_error("Error: can't write to " + name + ".");
    }
    return file;
}

// The lower triangle row by row as floats; row r of `K` is row first_row + r of the matrix
// (K holds at least first_row + K.rows() columns). Rows are read through transposed blocks of
// rows, so that the column-major matrix is walked contiguously.
void write_lower_triangle(PendingFile& file, const Eigen::MatrixXd& K, const std::string& name,
                          Eigen::Index first_row = 0) {
    constexpr Eigen::Index kRowBlock = 64;
    const Eigen::Index n = K.rows();
    std::vector<float> row(static_cast<std::size_t>(first_row + n));
    Eigen::MatrixXd rows_block;
    for (Eigen::Index block_start = 0; block_start < n; block_start += kRowBlock) {
        const Eigen::Index block_rows = std::min(kRowBlock, n - block_start);
        rows_block = K.block(block_start, 0, block_rows, first_row + block_start + block_rows).transpose();
        for (Eigen::Index r = 0; r < block_rows; ++r) {
            const Eigen::Index i = first_row + block_start + r;
            for (Eigen::Index j = 0; j <= i; ++j) {
                row[static_cast<std::size_t>(j)] = static_cast<float>(rows_block(j, r));
            }
            const std::size_t written =
                std::fwrite(row.data(), sizeof(float), static_cast<std::size_t>(i + 1), file.stream);
            if (written != static_cast<std::size_t>(i + 1)) {
                throw std::runtime_error("Error in writing GRM data to [" + name + "] for element (" +
                                         std::to_string(i) + ", " + std::to_string(written) + ").");
            }
        }
    }
}

}  // namespace

PendingFile write_id_file(const std::string& name, const std::string& text) {
    PendingFile file = open_pending_file(name, "w");
    if (file.stream == nullptr) {
        throw std::runtime_error("Error: can't write to ID file " + name + ".");
    }
    write_pending(file, text.data(), text.size());
    return file;
}

PendingFile write_id_file(const std::string& name, const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) {
        text += id;
        text += '\n';
    }
    return write_id_file(name, text);
}

namespace {

// baseName.bin and baseName.id from the rows of `K` (see write_lower_triangle), put in place
// together.
void write_binary_pair(const std::string& baseName, const Eigen::MatrixXd& K, Eigen::Index first_row,
                       const std::vector<std::string>& ids, bool verbose) {
    const std::string matrix_name = baseName + ".bin";
    const std::string id_name = baseName + ".id";
    check_writable_ids(ids, id_name);

    PendingFile matrix_file = open_binary(matrix_name);
    write_lower_triangle(matrix_file, K, matrix_name, first_row);
    PendingFile id_file = write_id_file(id_name, ids);

    // Both files are complete before either is put in place.
    commit_pending_files(matrix_file, id_file);

    if (verbose) {
        std::cout << "GRM has been written to [" << matrix_name << "] and IDs to [" << id_name << "]." << std::endl;
    }
}

}  // namespace

void WriteGRMBin(const std::string& baseName, const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                 bool verbose, int /*width*/) {
    check_binary_input(baseName, K, ids);
    write_binary_pair(baseName, K, 0, ids, verbose);
}

void write_kinship_rows(const std::string& baseName, const Eigen::MatrixXd& rows, Eigen::Index first_row,
                        const std::vector<std::string>& ids, bool verbose) {
    if (baseName.empty()) {
        throw std::invalid_argument("Base name for output files is required!");
    }
    if (rows.rows() == 0 || first_row < 0 || rows.cols() != first_row + rows.rows()) {
        throw std::invalid_argument("Rows " + std::to_string(first_row) + " to " +
                                    std::to_string(first_row + rows.rows()) + " of a kinship matrix need a " +
                                    std::to_string(rows.rows()) + " x " + std::to_string(first_row + rows.rows()) +
                                    " block, not " + std::to_string(rows.rows()) + " x " +
                                    std::to_string(rows.cols()) + ".");
    }
    if (static_cast<Eigen::Index>(ids.size()) != rows.rows()) {
        throw std::invalid_argument("Number of IDs must match the rows of the kinship block!");
    }
    write_binary_pair(baseName, rows, first_row, ids, verbose);
}

void write_gcta_grm(const std::string& baseName, const Eigen::MatrixXd& K, const std::vector<std::string>& family_ids,
                    const std::vector<std::string>& ids, double markers_used) {
    check_binary_input(baseName, K, ids);
    const std::string matrix_name = baseName + ".grm.bin";
    const std::string id_name = baseName + ".grm.id";
    const std::string count_name = baseName + ".grm.N.bin";
    if (family_ids.size() != ids.size()) {
        throw std::invalid_argument("Cannot write " + id_name + ": " + std::to_string(family_ids.size()) +
                                    " family IDs for " + std::to_string(ids.size()) + " individuals.");
    }
    check_writable_ids(family_ids, id_name);
    check_writable_ids(ids, id_name);

    PendingFile matrix_file = open_binary(matrix_name);
    write_lower_triangle(matrix_file, K, matrix_name);

    PendingFile count_file = open_binary(count_name);
    const std::size_t n = ids.size();
    const std::vector<float> counts(n, static_cast<float>(markers_used));
    for (std::size_t i = 0; i < n; ++i) {
        write_pending(count_file, reinterpret_cast<const char*>(counts.data()), (i + 1) * sizeof(float));
    }

    std::string id_text;
    for (std::size_t k = 0; k < n; ++k) {
        id_text += family_ids[k] + '\t' + ids[k] + '\n';
    }
    PendingFile id_file = write_id_file(id_name, id_text);

    commit_pending_files({&matrix_file, &id_file, &count_file});
}
