#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "files/pending_file.h"

// ---- Kinship text format ----------------------------------------------------------------
// Header: a tab before every ID. Data line i: ID, tab, then every K(i, j) in fixed notation
// with 4 decimals followed by a tab.
void write_kinship_matrix(const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                          const std::string& filename);

// The same file written a panel of rows at a time, by a writer that never holds the matrix:
// the header on opening, then the rows in order, then commit() puts the file in place (until
// then it is a temporary; a writer destroyed before commit() leaves nothing).
class KinshipTextWriter {
public:
    KinshipTextWriter(const std::string& filename, const std::vector<std::string>& ids);
    // The next rows.rows() rows of the matrix, each with all its values.
    void write_rows(const Eigen::MatrixXd& rows);
    void commit();

private:
    static constexpr std::size_t kLongestField = 400;  // the longest double in fixed notation
    void make_room(std::size_t needed);
    void put_text(const std::string& text, char separator_before, char separator_after);

    std::vector<std::string> ids_;
    PendingFile file_;
    std::vector<char> buffer_;
    char* cursor_ = nullptr;
    Eigen::Index next_row_ = 0;
};

// Appends `value` exactly as `std::fixed << std::setprecision(4)` prints it; returns the end.
// `out` must have room for 400 characters (the longest double in fixed notation).
char* format_fixed4(double value, char* out);

// A kinship text file held in memory, with the place of every data line, so that readers can
// pick the lines they need without parsing the others.
struct KinshipText {
    std::string path;
    std::string content;                    // the whole file
    std::vector<std::string> ids;           // data-line IDs (text before the first tab), file order
    std::vector<std::size_t> line_numbers;  // 1-based line number of each data line in the file
    std::vector<std::size_t> line_begin;    // offset in `content` of the first value of each data line
    std::vector<std::size_t> line_end;      // offset of the end of each data line
};

// Throws std::runtime_error("Could not open the kinship file: " + filename).
KinshipText load_kinship_text(const std::string& filename);
// Finds the data lines of `text.content` (the rest of `load_kinship_text`).
KinshipText index_kinship_text(KinshipText text);
// K(a, b) = value number lines[b] of data line lines[a]. Throws std::runtime_error naming the
// file and line when a selected line has fewer values than that needs.
Eigen::MatrixXd kinship_rows(const KinshipText& text, const std::vector<std::size_t>& lines);

// ---- Kinship input of the mixed-model runs ------------------------------------------------
// The file of --kin-file, chosen by its name's ending: PREFIX.grm.bin with PREFIX.grm.id (family
// and individual ID per line), PREFIX.bin with PREFIX.id (one ID per line), or else a kinship
// text file. A text file is indexed only, its values are parsed where a matrix is asked for.
struct KinshipFile {
    KinshipText text;                   // path and IDs for every format; lines for text only
    bool binary = false;
    std::string id_path;                // binary: the ID file
    std::unique_ptr<float[]> lower_triangle;  // binary: row by row, n(n+1)/2 values
};

// Reads and checks the file: the layout of a text file (check_kinship_layout); for a binary
// file the ID file (present, no empty or repeated ID), a matrix of exactly n(n+1)/2 floats for
// its n IDs and finite values. Throws std::runtime_error with the message for the user.
KinshipFile read_kinship_file(const std::string& filename);
// (every ID, the IDs in matrix order).
std::pair<std::unordered_set<std::string>, std::vector<std::string>> getKinshipIds(const KinshipFile& file);
// The k x k matrix of `sampleIds` in their order (an ID given twice is taken twice). Throws
// std::runtime_error naming the file for an ID it does not hold, a short or long text line and
// a text matrix whose triangles disagree (check_kinship_symmetric).
Eigen::MatrixXd filterKinshipMatrix(const KinshipFile& file, const std::vector<std::string>& sampleIds);

// What a prediction needs of an N x N kinship: its columns at the records' kinship positions
// and its diagonal, without the whole matrix (N x n values for n records instead of N x N).
struct KinshipColumns {
    std::vector<std::size_t> positions;  // the matrix positions (data lines) of the columns kept
    Eigen::MatrixXd columns;             // N x positions.size(): K(i, positions[c]), value positions[c] of line i
    Eigen::VectorXd diagonal;            // N: K(i, i)
};
// The columns at `positions` (0-based matrix positions) and the diagonal. A text file is parsed
// a panel of lines at a time; each line only as far as its values are needed, the lines at
// `positions` whole, and those are checked against the columns kept (K(p, i) against K(i, p),
// the criterion of check_kinship_symmetric): every value the prediction uses is checked.
// Throws std::runtime_error naming the file and line, as filterKinshipMatrix does.
KinshipColumns read_kinship_columns(const KinshipFile& file, const std::vector<std::size_t>& positions);
// read_kinship_columns of a text file.
KinshipColumns kinship_text_columns(const KinshipText& text, const std::vector<std::size_t>& positions);

// ---- Binary kinship format --------------------------------------------------------------
// baseName.bin: the lower triangle row by row as 4-byte native floats; baseName.id: one ID per
// line. `width` is accepted for compatibility and has no effect.
void WriteGRMBin(const std::string& baseName, const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                 bool verbose, int width);
// Rows first_row .. first_row + rows.rows() - 1 of a kinship matrix, as a part of the pair of
// WriteGRMBin: baseName.bin holds those rows of the lower triangle (row i: its values 0..i), and
// baseName.id their IDs, so that the parts of consecutive rows concatenate to the whole pair.
// `rows` is the (rows x (first_row + rows)) block of the matrix; the same writing and renaming.
void write_kinship_rows(const std::string& baseName, const Eigen::MatrixXd& rows, Eigen::Index first_row,
                        const std::vector<std::string>& ids, bool verbose);
// The trio other tools read G from: baseName.grm.bin (the lower triangle as above),
// baseName.grm.id ("family<TAB>individual" per line) and baseName.grm.N.bin (the number of
// markers behind each value, as floats in the same layout; with mean imputation every pair has
// `markers_used`). The same checks as WriteGRMBin; all three files are put in place together.
void write_gcta_grm(const std::string& baseName, const Eigen::MatrixXd& K, const std::vector<std::string>& family_ids,
                    const std::vector<std::string>& ids, double markers_used);

// ---- Consistency checks of a kinship text file --------------------------------------------
// The matrix readers take the column order from the data lines, so the header must name the
// data lines' individuals in the same order, and every individual must have one data line.
// Throws std::runtime_error naming the file: "No kinship data found in file." when there is no
// data line, otherwise a message that says what disagrees.
void check_kinship_layout(const KinshipText& text);
// K(i, j) and K(j, i) must agree within the 4 decimals of the text format (1.5e-4), since the
// mixed-model runs read one triangle only. Throws std::runtime_error naming `filename` and the
// two individuals of the first pair that does not.
void check_kinship_symmetric(const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                             const std::string& filename);
// The criterion of check_kinship_symmetric for one pair, K(i, j) = lower and K(j, i) = upper,
// for every reader that checks symmetry, and its message (the row's individual first).
bool kinship_values_agree(double lower, double upper);
[[noreturn]] void throw_not_symmetric(const std::string& filename, const std::string& row_id,
                                      const std::string& column_id, double lower, double upper);

// An ID file (`text`: its lines) written under its temporary name and left for the caller to put
// in place with the file it belongs to. Throws std::runtime_error when it cannot be written.
PendingFile write_id_file(const std::string& name, const std::string& text);
// The same with one ID a line.
PendingFile write_id_file(const std::string& name, const std::vector<std::string>& ids);

// ---- Inverse of a relationship matrix as triplets ----------------------------------------------
// PREFIX.inverse.txt: "row col value" for every non-zero of the lower triangle (1-based positions,
// row >= col, sorted by row then column, values to 10 significant digits), and PREFIX.inverse.id:
// the ID of each position, one a line. Both are written, then put in place together. Throws
// std::runtime_error naming the file that cannot be written.
struct SparsePlusDense;
void write_inverse_triplets(const std::string& prefix, const SparsePlusDense& inverse,
                            const std::vector<std::string>& ids);
