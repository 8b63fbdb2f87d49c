#pragma once

// A kinship file read in pieces, for the runs spread over MPI ranks: each rank reads the
// entries of its own blocks straight from the file (a shared file system), so that no process
// holds the file or the matrix. Plain file reading; no MPI here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"

// An opened kinship file: its IDs and where its values are, no values in memory. For a text
// file `text` holds the header line only as content, and the data lines' offsets in the file.
struct KinshipSource {
    KinshipText text;  // path, ids (matrix order), line numbers; text: line_begin / line_end
    bool binary = false;
    std::string id_path;  // binary: the ID file
};

// The checks and messages of read_kinship_file without reading the values: a binary file's IDs
// and size, a text file's layout (indexed by streaming through it, memory O(individuals)).
KinshipSource open_kinship_source(const std::string& filename);

// The local piece of a block-cyclic matrix (ScaLAPACK's layout, square blocks of nb, the first
// block on process (0, 0)): local row l is global row ((l / nb) grid_rows + my_row) nb + l mod nb,
// columns alike; `data` column-major with leading dimension ld.
struct BlockCyclicPiece {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t nb = 1;
    int grid_rows = 1;
    int grid_cols = 1;
    int my_row = 0;
    int my_col = 0;
    double* data = nullptr;
    std::int64_t ld = 1;
};

// Every local entry (a, b) := K(row_positions[a], col_positions[b]) (0-based matrix positions,
// any order, repeats allowed). A binary file is read in spans of triangle rows; a text line once
// per local row, parsed as far as needed. With check_mirror (text files) each value is compared
// with its mirror, as the single-process readers do. Throws the readers' InputCheckFailure
// naming the file, line or individuals, std::runtime_error when the file cannot be read.
void read_kinship_entries(const KinshipSource& source, const std::vector<std::int64_t>& row_positions,
                          const std::vector<std::int64_t>& col_positions, const BlockCyclicPiece& piece,
                          bool check_mirror);

// K(i, i) for every i of `positions`.
std::vector<double> kinship_diagonal(const KinshipSource& source, const std::vector<std::int64_t>& positions);

// For the readers of both kinds of input: a data line's values and the failures of one value.
// Parses the first `wanted` values of data line `line` of `text` from [begin, end) (its bytes)
// into `values`; throws the short- and long-line failures of the whole-file readers.
void parse_kinship_line(const KinshipText& text, std::size_t line, const char* begin, const char* end,
                        std::size_t wanted, double* values);
// The failure of a binary value that is not finite, naming both individuals.
[[noreturn]] void throw_not_finite(const std::string& filename, const std::vector<std::string>& ids,
                                   std::size_t row, std::size_t column, double value);
// A text kinship file indexed as load_kinship_text does, reading it in pieces: `content` is
// the header line, the line offsets are the file's.
KinshipText index_kinship_text_file(const std::string& filename);
