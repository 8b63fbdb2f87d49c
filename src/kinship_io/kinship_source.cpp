#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kinship_io/kinship_source.h"

namespace {

// The file open for reading at offsets; closed when done.
class FileReader {
public:
    explicit FileReader(const std::string& path) : name(path), descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (descriptor < 0) {
            throw std::runtime_error("Could not open the kinship file: " + path);
        }
    }
    ~FileReader() { ::close(descriptor); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    void read(std::size_t offset, std::size_t bytes, void* into) const {
        auto* out = static_cast<char*>(into);
        while (bytes > 0) {
            const ssize_t got = ::pread(descriptor, out, bytes, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                const std::string reason = got < 0 ? std::string(": ") + std::strerror(errno) : " (it ended)";
                throw std::runtime_error("could not read the kinship file " + name + " at byte " +
                                         std::to_string(offset) + reason + ".");
            }
            out += got;
            offset += static_cast<std::size_t>(got);
            bytes -= static_cast<std::size_t>(got);
        }
    }

private:
    std::string name;
    int descriptor;
};

// The global rows (or columns) of a piece, in local order.
std::vector<std::int64_t> global_indices(std::int64_t global, std::int64_t nb, int me, int procs) {
    std::vector<std::int64_t> indices;
    for (std::int64_t block = me; block * nb < global; block += procs) {
        for (std::int64_t g = block * nb; g < std::min(global, (block + 1) * nb); ++g) {
            indices.push_back(g);
        }
    }
    return indices;
}

// A local entry to fill: its place in the piece and the matrix position it reads.
struct Wanted {
    std::int64_t position;  // the value's column in the row (or line) that is read
    std::size_t slot;       // index into the piece's data
};

void check_positions(const KinshipSource& source, const std::vector<std::int64_t>& positions) {
    const auto n = static_cast<std::int64_t>(source.text.ids.size());
    for (const std::int64_t position : positions) {
        if (position < 0 || position >= n) {
            throw std::invalid_argument("Kinship position " + std::to_string(position) + " asked of " +
                                        source.text.path + ", which has " + std::to_string(n) + " individuals.");
        }
    }
}

// Binary: value (row, column), column <= row, at float (row (row + 1) / 2 + column). Each wanted
// set is one span of a triangle row, read at once.
class TriangleRows {
public:
    explicit TriangleRows(const KinshipSource& from) : source(from), file(from.text.path) {}

    // Fills piece[slot] with value (row, position) for every wanted entry (position <= row),
    // reading the row in runs of the wanted columns: a gap of more than kGap values between two
    // of them starts a new read, so that a rank reads about what it needs, not the whole row.
    void fill(std::int64_t row, std::vector<Wanted>& wanted, double* piece) {
        constexpr std::int64_t kGap = 512;
        std::sort(wanted.begin(), wanted.end(),
                  [](const Wanted& a, const Wanted& b) { return a.position < b.position; });
        const auto row_start = static_cast<std::size_t>(row) * static_cast<std::size_t>(row + 1) / 2;
        for (std::size_t begin = 0; begin < wanted.size();) {
            std::size_t end = begin + 1;
            while (end < wanted.size() && wanted[end].position - wanted[end - 1].position <= kGap) {
                ++end;
            }
            const std::int64_t first = wanted[begin].position;
            const auto count = static_cast<std::size_t>(wanted[end - 1].position - first + 1);
            span.resize(count);
            file.read((row_start + static_cast<std::size_t>(first)) * sizeof(float), count * sizeof(float),
                      span.data());
            for (std::size_t k = begin; k < end; ++k) {
                const float value = span[static_cast<std::size_t>(wanted[k].position - first)];
                if (!std::isfinite(value)) {
                    throw_not_finite(source.text.path, source.text.ids, static_cast<std::size_t>(row),
                                     static_cast<std::size_t>(wanted[k].position), value);
                }
                piece[wanted[k].slot] = value;
            }
            begin = end;
        }
    }

private:
    const KinshipSource& source;
    FileReader file;
    std::vector<float> span;
};

// Text: value `position` of data line `line`; each line read whole once and parsed as far as the
// last value wanted of it.
class TextLines {
public:
    explicit TextLines(const KinshipSource& from) : source(from), file(from.text.path) {}

    const std::vector<double>& values_of(std::int64_t line, std::int64_t last_wanted) {
        const auto index = static_cast<std::size_t>(line);
        const std::size_t begin = source.text.line_begin[index];
        const std::size_t end = source.text.line_end[index];
        bytes.resize(end - begin);
        if (end > begin) {
            file.read(begin, end - begin, bytes.data());
        }
        values.resize(static_cast<std::size_t>(last_wanted + 1));
        parse_kinship_line(source.text, index, bytes.data(), bytes.data() + bytes.size(), values.size(),
                           values.data());
        return values;
    }

private:
    const KinshipSource& source;
    FileReader file;
    std::vector<char> bytes;
    std::vector<double> values;
};

std::int64_t last_position(const std::vector<Wanted>& wanted) {
    std::int64_t last = 0;
    for (const Wanted& entry : wanted) {
        last = std::max(last, entry.position);
    }
    return last;
}

void read_binary_entries(const KinshipSource& source, const std::vector<std::int64_t>& row_positions,
                         const std::vector<std::int64_t>& col_positions, const BlockCyclicPiece& piece,
                         const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols) {
    TriangleRows triangle(source);
    std::vector<Wanted> wanted;
    // Entries on or below the diagonal of the file come from the row's own triangle row; the
    // others from the triangle row of their column.
    for (std::size_t l = 0; l < rows.size(); ++l) {
        const std::int64_t row = row_positions[static_cast<std::size_t>(rows[l])];
        wanted.clear();
        for (std::size_t c = 0; c < cols.size(); ++c) {
            const std::int64_t column = col_positions[static_cast<std::size_t>(cols[c])];
            if (column <= row) {
                wanted.push_back({column, l + c * static_cast<std::size_t>(piece.ld)});
            }
        }
        triangle.fill(row, wanted, piece.data);
    }
    for (std::size_t c = 0; c < cols.size(); ++c) {
        const std::int64_t column = col_positions[static_cast<std::size_t>(cols[c])];
        wanted.clear();
        for (std::size_t l = 0; l < rows.size(); ++l) {
            const std::int64_t row = row_positions[static_cast<std::size_t>(rows[l])];
            if (column > row) {
                wanted.push_back({row, l + c * static_cast<std::size_t>(piece.ld)});
            }
        }
        triangle.fill(column, wanted, piece.data);
    }
}

void read_text_entries(const KinshipSource& source, const std::vector<std::int64_t>& row_positions,
                       const std::vector<std::int64_t>& col_positions, const BlockCyclicPiece& piece,
                       const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols,
                       bool check_mirror) {
    TextLines lines(source);
    std::vector<Wanted> wanted;
    for (std::size_t l = 0; l < rows.size(); ++l) {
        wanted.clear();
        for (std::size_t c = 0; c < cols.size(); ++c) {
            const std::size_t slot = l + c * static_cast<std::size_t>(piece.ld);
            wanted.push_back({col_positions[static_cast<std::size_t>(cols[c])], slot});
        }
        if (wanted.empty()) {
            break;
        }
        const std::int64_t line = row_positions[static_cast<std::size_t>(rows[l])];
        const std::vector<double>& values = lines.values_of(line, last_position(wanted));
        for (const Wanted& entry : wanted) {
            piece.data[entry.slot] = values[static_cast<std::size_t>(entry.position)];
        }
    }
    if (!check_mirror) {
        return;
    }
    // Each value against its mirror, value (line) of the column's own line.
    for (std::size_t c = 0; c < cols.size(); ++c) {
        wanted.clear();
        for (std::size_t l = 0; l < rows.size(); ++l) {
            const std::size_t slot = l + c * static_cast<std::size_t>(piece.ld);
            wanted.push_back({row_positions[static_cast<std::size_t>(rows[l])], slot});
        }
        if (wanted.empty()) {
            break;
        }
        const std::int64_t column = col_positions[static_cast<std::size_t>(cols[c])];
        const std::vector<double>& values = lines.values_of(column, last_position(wanted));
        for (const Wanted& entry : wanted) {
            const double mirror = values[static_cast<std::size_t>(entry.position)];
            const double value = piece.data[entry.slot];
            if (!kinship_values_agree(value, mirror)) {
                // Named as the whole-matrix check names a pair: the later individual's row first.
                const bool row_later = entry.position > column;
                const auto& ids = source.text.ids;
                throw_not_symmetric(source.text.path,
                                    ids[static_cast<std::size_t>(row_later ? entry.position : column)],
                                    ids[static_cast<std::size_t>(row_later ? column : entry.position)],
                                    row_later ? value : mirror, row_later ? mirror : value);
            }
        }
    }
}

}  // namespace

void read_kinship_entries(const KinshipSource& source, const std::vector<std::int64_t>& row_positions,
                          const std::vector<std::int64_t>& col_positions, const BlockCyclicPiece& piece,
                          bool check_mirror) {
    if (static_cast<std::int64_t>(row_positions.size()) != piece.rows ||
        static_cast<std::int64_t>(col_positions.size()) != piece.cols) {
        throw std::invalid_argument("The kinship piece has " + std::to_string(piece.rows) + " x " +
                                    std::to_string(piece.cols) + " entries but " +
                                    std::to_string(row_positions.size()) + " x " +
                                    std::to_string(col_positions.size()) + " positions were given.");
    }
    if (piece.nb < 1 || piece.grid_rows < 1 || piece.grid_cols < 1 || piece.my_row < 0 ||
        piece.my_row >= piece.grid_rows || piece.my_col < 0 || piece.my_col >= piece.grid_cols) {
        throw std::invalid_argument("A block-cyclic piece needs blocks of at least 1 and its place inside the grid.");
    }
    check_positions(source, row_positions);
    check_positions(source, col_positions);
    const std::vector<std::int64_t> rows = global_indices(piece.rows, piece.nb, piece.my_row, piece.grid_rows);
    const std::vector<std::int64_t> cols = global_indices(piece.cols, piece.nb, piece.my_col, piece.grid_cols);
    const auto local_rows = static_cast<std::int64_t>(rows.size());
    if (!rows.empty() && !cols.empty() && (piece.data == nullptr || piece.ld < local_rows)) {
        throw std::invalid_argument("A block-cyclic piece of " + std::to_string(rows.size()) +
                                    " local rows needs its storage and a leading dimension of at least that.");
    }
    if (source.binary) {
        read_binary_entries(source, row_positions, col_positions, piece, rows, cols);
    } else {
        read_text_entries(source, row_positions, col_positions, piece, rows, cols, check_mirror);
    }
}

std::vector<double> kinship_diagonal(const KinshipSource& source, const std::vector<std::int64_t>& positions) {
    check_positions(source, positions);
    std::vector<double> diagonal(positions.size());
    if (source.binary) {
        TriangleRows triangle(source);
        std::vector<Wanted> wanted(1);
        for (std::size_t k = 0; k < positions.size(); ++k) {
            wanted[0] = {positions[k], k};
            triangle.fill(positions[k], wanted, diagonal.data());
        }
        return diagonal;
    }
    TextLines lines(source);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        diagonal[k] = lines.values_of(positions[k], positions[k])[static_cast<std::size_t>(positions[k])];
    }
    return diagonal;
}
