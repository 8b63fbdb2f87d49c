#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "linear_algebra/huge_pages.h"
#include "kinship_io/kinship_io.h"
#include "kinship_io/kinship_source.h"
#include "files/number_field.h"
#include "log/failures.h"

namespace {

constexpr std::size_t kWriteChunk = 1 << 20;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

// Four decimals of the fraction, zero-padded.
char* put_fraction4(unsigned digits, char* out) {
    out[3] = static_cast<char>('0' + digits % 10);
    out[2] = static_cast<char>('0' + digits / 10 % 10);
    out[1] = static_cast<char>('0' + digits / 100 % 10);
    out[0] = static_cast<char>('0' + digits / 1000);
    return out + 4;
}

// Parses up to `wanted` values of one data line: blank-separated fields, each read whole by the
// one number reader of input files. Returns the number of values stored in `values`; `stop`
// receives where the parse ended, and for a field that is no number, `stopped_at` says which.
std::size_t parse_values(const char* begin, const char* end, std::size_t wanted, double* values, const char** stop,
                         std::string& stopped_at) {
    std::size_t count = 0;
    const char* cursor = begin;
    while (count < wanted) {
        while (cursor < end && is_space(*cursor)) {
            ++cursor;
        }
        if (cursor >= end) {
            break;
        }
        const char* field_end = nullptr;
        const NumberField number = read_delimited_number(cursor, end, &field_end);
        if (number.kind != NumberField::kNumber) {
            const std::string field(cursor, std::min<std::ptrdiff_t>(field_end - cursor, 20));
            stopped_at = " (reading stopped at \"" + field + "\"" +
                         (number.kind == NumberField::kTooLarge ? ", a value too large for a 64-bit number)" : ")");
            break;
        }
        values[count++] = number.value;
        cursor = field_end;
    }
    *stop = cursor;
    return count;
}

// Number of white-space separated fields in [begin, end).
std::size_t count_fields(const char* begin, const char* end) {
    std::size_t count = 0;
    bool in_field = false;
    for (const char* c = begin; c < end; ++c) {
        const bool blank = is_space(*c);
        count += (!blank && !in_field) ? 1 : 0;
        in_field = !blank;
    }
    return count;
}

// Parses the first `wanted` values of the data line [begin, end) into `values` and counts the
// others. Returns `wanted` for a good line, fewer for a short one (`stopped_at` then says where
// reading stopped), and the number of values when there are more than individuals: such a line
// belongs to another matrix, or has lost a line break.
std::size_t read_values(const char* begin, const char* end, std::size_t n_ids, std::size_t wanted, double* values,
                        std::string& stopped_at) {
    const char* stop = nullptr;
    const std::size_t count = parse_values(begin, end, wanted, values, &stop, stopped_at);
    if (count < wanted) {
        return count;
    }
    const std::size_t total_values = count + count_fields(stop, end);
    return total_values > n_ids ? total_values : wanted;
}

std::size_t read_line(const KinshipText& text, std::size_t line, std::size_t wanted, double* values,
                      std::string& stopped_at) {
    return read_values(text.content.data() + text.line_begin[line], text.content.data() + text.line_end[line],
                       text.ids.size(), wanted, values, stopped_at);
}

// The error of a line for which read_line returned `found` instead of `wanted`.
[[noreturn]] void throw_line_error(const KinshipText& text, std::size_t line, std::size_t found, std::size_t wanted,
                                   const std::string& stopped_at) {
    const std::size_t n_ids = text.ids.size();
    const std::string where =
        "kinship file " + text.path + ", line " + std::to_string(text.line_numbers[line]) + ": ";
    if (found > n_ids) {
        throw InputCheckFailure(where + std::to_string(found) + " values for the " + std::to_string(n_ids) +
                                 " individuals of the file; every line needs one value per individual.");
    }
    throw InputCheckFailure(where + "expected " + std::to_string(wanted) + " values, found " +
                             std::to_string(found) + stopped_at + ".");
}

std::ifstream open_kinship_text(const std::string& filename) {
    struct stat info {};
    std::ifstream file(filename, std::ios::binary);
    if (!file.is_open() || (::stat(filename.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        throw std::runtime_error("Could not open the kinship file: " + filename);
    }
    return file;
}

// A binary matrix under another name (G.BIN, G.grm, G.bin.gz) would be parsed as text and fail
// with a message about its lines: say what the file is. `data` holds its first bytes, `size` is
// the size of the whole file.
void refuse_binary_content(const std::string& filename, const char* data, std::size_t size_read,
                           std::uint64_t file_size) {
    const std::string endings =
        " A kinship file is read as text unless its name ends in .bin (with its IDs in PREFIX.id beside it) or "
        ".grm.bin (with PREFIX.grm.id).";
    if (size_read >= 2 && static_cast<unsigned char>(data[0]) == 0x1F && static_cast<unsigned char>(data[1]) == 0x8B) {
        throw InputCheckFailure("kinship file " + filename + " is compressed with gzip: decompress it first (gunzip)." +
                                endings);
    }
    // Text has no control characters but its blanks; a float in four bytes almost always does.
    const std::size_t probe = std::min<std::size_t>(size_read, 4096);
    std::size_t k = 0;
    while (k < probe) {
        const auto c = static_cast<unsigned char>(data[k]);
        if ((c < 0x20 && !is_space(static_cast<char>(c))) || c == 0x7F) {
            break;
        }
        ++k;
    }
    if (k == probe) {
        return;
    }
    // n(n+1)/2 floats: the size of a binary kinship matrix.
    const std::uint64_t values = file_size / 4;
    auto n = static_cast<std::uint64_t>((std::sqrt(8.0 * static_cast<double>(values) + 1.0) - 1.0) / 2.0);
    while (n > 0 && n * (n + 1) / 2 > values) {
        --n;
    }
    while ((n + 1) * (n + 2) / 2 <= values) {
        ++n;
    }
    const bool triangle = file_size % 4 == 0 && n > 0 && n * (n + 1) / 2 == values;
    char byte[8];
    std::snprintf(byte, sizeof(byte), "%02X", static_cast<unsigned char>(data[k]));
    throw InputCheckFailure(
        "kinship file " + filename + " is not a text file: " +
        (triangle ? "its size is that of a binary kinship matrix of " + std::to_string(n) + " individuals (" +
                        std::to_string(values) + " 4-byte floats)"
                  : "it holds binary data (byte " + std::to_string(k + 1) + " is " + byte + ")") +
        "." + endings + " Rename a binary matrix and its ID file to one of these endings.");
}

// Where check_kinship_symmetric meets the pair (row > column) in its walk over the lower
// triangle, so that a reader checking other pairs first still names the pair it would name.
std::tuple<std::size_t, std::size_t, std::size_t, std::size_t> symmetry_walk_order(std::size_t row,
                                                                                   std::size_t column) {
    constexpr std::size_t kBlock = 64;  // the block of check_kinship_symmetric
    return {column / kBlock, row / kBlock, column, row};
}

}  // namespace

char* format_fixed4(double value, char* out) {
    const double magnitude = std::fabs(value) * 10000.0;
    // Below 2^40 the product is off the exact value by at most 2^-13, so unless the fraction
    // lies within 2^-10 of one half the rounding direction is certain. The rest (ties, huge
    // values, infinities, NaN) goes through the exact library conversion.
    if (magnitude < 0x1p40) {
        const double whole = std::floor(magnitude);
        const double fraction = magnitude - whole;
        if (std::fabs(fraction - 0.5) > 0x1p-10) {
            const std::uint64_t units = static_cast<std::uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
            if (std::signbit(value)) {
                *out++ = '-';
            }
            out = std::to_chars(out, out + 24, units / 10000).ptr;
            *out++ = '.';
            return put_fraction4(static_cast<unsigned>(units % 10000), out);
        }
    }
    return std::to_chars(out, out + 400, value, std::chars_format::fixed, 4).ptr;
}

namespace {

PendingFile open_text_output(const std::string& filename, const std::vector<std::string>& ids) {
    check_writable_ids(ids, filename);
    PendingFile file = open_pending_file(filename, "wb");
    if (file.stream == nullptr) {
        throw std::runtime_error("Cannot open output file: " + filename);
    }
    return file;
}

}  // namespace

KinshipTextWriter::KinshipTextWriter(const std::string& filename, const std::vector<std::string>& ids)
    : ids_(ids), file_(open_text_output(filename, ids)), buffer_(kWriteChunk + kLongestField) {
    cursor_ = buffer_.data();
    for (const std::string& id : ids) {
        put_text(id, '\t', '\0');
    }
    make_room(1);
    *cursor_++ = '\n';
}

// Text is formatted straight into a chunk buffer that is written whenever less room is left
// than the longest field could take.
inline void KinshipTextWriter::make_room(std::size_t needed) {
    if (static_cast<std::size_t>(buffer_.data() + buffer_.size() - cursor_) < needed) {
        write_pending(file_, buffer_.data(), static_cast<std::size_t>(cursor_ - buffer_.data()));
        cursor_ = buffer_.data();
        if (buffer_.size() < needed) {
            buffer_.resize(needed);
            cursor_ = buffer_.data();
        }
    }
}

inline void KinshipTextWriter::put_text(const std::string& text, char separator_before, char separator_after) {
    make_room(text.size() + 2);
    if (separator_before != '\0') {
        *cursor_++ = separator_before;
    }
    cursor_ = std::copy(text.begin(), text.end(), cursor_);
    if (separator_after != '\0') {
        *cursor_++ = separator_after;
    }
}

void KinshipTextWriter::write_rows(const Eigen::MatrixXd& rows) {
    if (rows.cols() != static_cast<Eigen::Index>(ids_.size()) ||
        next_row_ + rows.rows() > static_cast<Eigen::Index>(ids_.size())) {
        throw std::invalid_argument("Cannot write " + file_.target + ": rows of " + std::to_string(rows.cols()) +
                                    " values after " + std::to_string(next_row_) + " of " +
                                    std::to_string(ids_.size()) + " rows.");
    }
    // Rows are read through transposed blocks so that the column-major matrix is walked
    // contiguously.
    constexpr Eigen::Index kRowBlock = 64;
    Eigen::MatrixXd rows_block;
    for (Eigen::Index block_start = 0; block_start < rows.rows(); block_start += kRowBlock) {
        const Eigen::Index block_rows = std::min(kRowBlock, rows.rows() - block_start);
        rows_block = rows.middleRows(block_start, block_rows).transpose();
        for (Eigen::Index r = 0; r < block_rows; ++r) {
            put_text(ids_[static_cast<std::size_t>(next_row_ + block_start + r)], '\0', '\t');
            const double* row = rows_block.col(r).data();
            for (Eigen::Index j = 0; j < rows.cols(); ++j) {
                make_room(kLongestField + 1);
                cursor_ = format_fixed4(row[j], cursor_);
                *cursor_++ = '\t';
            }
            make_room(1);
            *cursor_++ = '\n';
        }
    }
    next_row_ += rows.rows();
}

void KinshipTextWriter::commit() {
    if (next_row_ != static_cast<Eigen::Index>(ids_.size())) {
        throw std::logic_error("Cannot write " + file_.target + ": " + std::to_string(next_row_) + " of " +
                               std::to_string(ids_.size()) + " rows were given.");
    }
    write_pending(file_, buffer_.data(), static_cast<std::size_t>(cursor_ - buffer_.data()));
    commit_pending_file(file_);
}

void write_kinship_matrix(const Eigen::MatrixXd& K, const std::vector<std::string>& ids,
                          const std::string& filename) {
    if (static_cast<Eigen::Index>(ids.size()) != K.rows()) {
        throw std::invalid_argument("Cannot write " + filename + ": " + std::to_string(ids.size()) +
                                    " IDs for a kinship matrix of " + std::to_string(K.rows()) + " rows.");
    }
    KinshipTextWriter writer(filename, ids);
    writer.write_rows(K);
    writer.commit();
}

KinshipText load_kinship_text(const std::string& filename) {
    KinshipText text;
    text.path = filename;
    std::ifstream file = open_kinship_text(filename);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size > 0) {
        text.content.resize(static_cast<std::size_t>(size));
        file.read(text.content.data(), size);
        text.content.resize(static_cast<std::size_t>(file.gcount()));
    } else {
        // Not seekable (a pipe): read it as a stream.
        text.content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    if (file.bad()) {
        throw std::runtime_error("Could not open the kinship file: " + filename);
    }
    refuse_binary_content(filename, text.content.data(), text.content.size(), text.content.size());
    // A UTF-8 byte-order mark (spreadsheet exports) would become part of the first header ID.
    if (text.content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.content.erase(0, 3);
    }
    return index_kinship_text(std::move(text));
}

KinshipText index_kinship_text(KinshipText text) {
    const char* data = text.content.data();
    const std::size_t total = text.content.size();
    std::size_t position = 0;
    std::size_t line_number = 0;
    while (position < total) {
        const void* newline = std::memchr(data + position, '\n', total - position);
        const std::size_t line_end = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) : total;
        ++line_number;
        if (line_number > 1 && line_end > position) {
            const void* tab = std::memchr(data + position, '\t', line_end - position);
            const std::size_t id_end = tab ? static_cast<std::size_t>(static_cast<const char*>(tab) - data) : line_end;
            text.ids.emplace_back(data + position, id_end - position);
            text.line_numbers.push_back(line_number);
            text.line_begin.push_back(tab ? id_end + 1 : line_end);
            text.line_end.push_back(line_end);
        }
        position = line_end + 1;
    }
    return text;
}

void parse_kinship_line(const KinshipText& text, std::size_t line, const char* begin, const char* end,
                        std::size_t wanted, double* values) {
    std::string stopped_at;
    const std::size_t found = read_values(begin, end, text.ids.size(), wanted, values, stopped_at);
    if (found != wanted) {
        throw_line_error(text, line, found, wanted, stopped_at);
    }
}

KinshipText index_kinship_text_file(const std::string& filename) {
    KinshipText text;
    text.path = filename;
    std::ifstream file = open_kinship_text(filename);
    // Pieces of 16 MB; the state of the line being read carries over from one to the next.
    constexpr std::size_t kPiece = std::size_t{1} << 24;
    std::vector<char> piece(kPiece);
    std::size_t offset = 0;       // file offset of piece[0]
    std::size_t line_start = 0;   // file offset of the current line
    std::size_t first_value = 0;  // after the current line's first tab, once seen
    bool tab_seen = false;
    bool in_header = true;
    std::size_t line_number = 1;
    std::string id;
    const auto finish_line = [&](std::size_t line_end) {
        if (line_end > line_start) {  // an empty line is no data line
            text.ids.push_back(id);
            text.line_numbers.push_back(line_number);
            text.line_begin.push_back(tab_seen ? first_value : line_end);
            text.line_end.push_back(line_end);
        }
        ++line_number;
        line_start = line_end + 1;
        tab_seen = false;
        id.clear();
    };
    while (file) {
        file.read(piece.data(), static_cast<std::streamsize>(kPiece));
        const auto got = static_cast<std::size_t>(file.gcount());
        const char* data = piece.data();
        if (offset == 0) {
            struct stat info {};
            const std::uint64_t file_size = ::stat(filename.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : got;
            refuse_binary_content(filename, data, got, file_size);
        }
        std::size_t at = 0;
        if (offset == 0 && got >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
            at = 3;  // a byte-order mark (spreadsheet exports) is no part of the first header ID
        }
        while (at < got) {
            const auto* newline = static_cast<const char*>(std::memchr(data + at, '\n', got - at));
            const std::size_t stop = newline != nullptr ? static_cast<std::size_t>(newline - data) : got;
            if (in_header) {
                text.content.append(data + at, stop - at);
                if (newline != nullptr) {
                    in_header = false;
                    ++line_number;
                    line_start = offset + stop + 1;
                }
            } else {
                if (!tab_seen) {
                    const auto* tab = static_cast<const char*>(std::memchr(data + at, '\t', stop - at));
                    const std::size_t id_end = tab != nullptr ? static_cast<std::size_t>(tab - data) : stop;
                    id.append(data + at, id_end - at);
                    if (tab != nullptr) {
                        tab_seen = true;
                        first_value = offset + id_end + 1;
                    }
                }
                if (newline != nullptr) {
                    finish_line(offset + stop);
                }
            }
            at = stop + (newline != nullptr ? 1 : 0);
        }
        offset += got;
    }
    if (file.bad()) {
        throw std::runtime_error("Could not open the kinship file: " + filename);
    }
    if (!in_header && offset > line_start) {
        finish_line(offset);  // the last line has no line break
    }
    return text;
}

Eigen::MatrixXd kinship_rows(const KinshipText& text, const std::vector<std::size_t>& lines) {
    const Eigen::Index k = static_cast<Eigen::Index>(lines.size());
    std::size_t wanted = 0;
    for (std::size_t line : lines) {
        wanted = std::max(wanted, line + 1);
    }
    bool identity = true;
    for (std::size_t a = 0; a < lines.size(); ++a) {
        identity = identity && lines[a] == a;
    }

    // Column a of `transposed` receives the values of line lines[a]; one transpose at the end
    // gives rows. Lines are parsed in parallel, each thread writing its own columns.
    Eigen::MatrixXd transposed(k, k);
    advise_huge_pages(transposed.data(), static_cast<std::size_t>(transposed.size()) * sizeof(double));
    std::vector<std::size_t> found(lines.size(), wanted);
    std::vector<std::string> stopped_at(lines.size());
#pragma omp parallel
    {
        std::vector<double> values(identity ? 0 : wanted);
#pragma omp for schedule(dynamic, 16)
        for (Eigen::Index a = 0; a < k; ++a) {
            const auto index = static_cast<std::size_t>(a);
            double* target = identity ? transposed.col(a).data() : values.data();
            found[index] = read_line(text, lines[index], wanted, target, stopped_at[index]);
            if (found[index] == wanted && !identity) {
                for (Eigen::Index b = 0; b < k; ++b) {
                    transposed(b, a) = values[lines[static_cast<std::size_t>(b)]];
                }
            }
        }
    }
    for (std::size_t a = 0; a < lines.size(); ++a) {
        if (found[a] != wanted) {
            throw_line_error(text, lines[a], found[a], wanted, stopped_at[a]);
        }
    }
    transposed.transposeInPlace();
    return transposed;
}

KinshipColumns kinship_text_columns(const KinshipText& text, const std::vector<std::size_t>& positions) {
    const std::size_t n = text.ids.size();
    const auto k = static_cast<Eigen::Index>(positions.size());
    KinshipColumns result;
    result.positions = positions;
    result.columns.resize(static_cast<Eigen::Index>(n), k);
    result.diagonal.resize(static_cast<Eigen::Index>(n));
    std::size_t column_end = 0;
    constexpr std::size_t kNotKept = static_cast<std::size_t>(-1);
    std::vector<std::size_t> kept_as(n, kNotKept);  // the first column of each position kept
    for (std::size_t c = positions.size(); c-- > 0;) {
        column_end = std::max(column_end, positions[c] + 1);
        kept_as[positions[c]] = c;
    }

    // Lines a panel at a time: column j of `panel` receives the kept values of line start + j,
    // one transposed copy puts them into their rows. The lines of the kept positions are read
    // whole (they are checked below), the others as far as their kept values and diagonal.
    constexpr std::size_t kPanel = 256;
    Eigen::MatrixXd panel(k, static_cast<Eigen::Index>(std::min(kPanel, n)));
    std::vector<std::size_t> found(kPanel), wanted(kPanel);
    std::vector<std::string> stopped_at(kPanel);
    for (std::size_t start = 0; start < n; start += kPanel) {
        const std::size_t width = std::min(kPanel, n - start);
#pragma omp parallel
        {
            std::vector<double> values(n);
#pragma omp for schedule(dynamic, 8)
            for (std::size_t j = 0; j < width; ++j) {
                const std::size_t line = start + j;
                wanted[j] = kept_as[line] != kNotKept ? n : std::max(column_end, line + 1);
                found[j] = read_line(text, line, wanted[j], values.data(), stopped_at[j]);
                if (found[j] != wanted[j]) {
                    continue;
                }
                for (Eigen::Index c = 0; c < k; ++c) {
                    panel(c, static_cast<Eigen::Index>(j)) = values[positions[static_cast<std::size_t>(c)]];
                }
                result.diagonal[static_cast<Eigen::Index>(line)] = values[line];
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            if (found[j] != wanted[j]) {
                throw_line_error(text, start + j, found[j], wanted[j], stopped_at[j]);
            }
        }
        result.columns.middleRows(static_cast<Eigen::Index>(start), static_cast<Eigen::Index>(width)) =
            panel.leftCols(static_cast<Eigen::Index>(width)).transpose();
    }

    // K(p, i) of every kept line p against K(i, p) of the columns: every value the prediction
    // uses. Of the pairs that disagree, the one check_kinship_symmetric would meet first is named.
    struct Disagreement {
        std::size_t row = 0, column = 0;  // row > column
        double lower = 0.0, upper = 0.0;
    };
    bool disagrees = false;
    Disagreement first;
#pragma omp parallel
    {
        std::vector<double> values(n);
        std::string unused;
        bool local_disagrees = false;
        Disagreement local;
#pragma omp for schedule(dynamic, 4)
        for (Eigen::Index c = 0; c < k; ++c) {
            const std::size_t p = positions[static_cast<std::size_t>(c)];
            if (kept_as[p] != static_cast<std::size_t>(c)) {
                continue;  // a position given twice is checked once
            }
            read_line(text, p, n, values.data(), unused);  // read whole above without error
            for (std::size_t i = 0; i < n; ++i) {
                const double in_line = values[i];
                const double in_column = result.columns(static_cast<Eigen::Index>(i), c);
                const Disagreement pair = p > i ? Disagreement{p, i, in_line, in_column}
                                                : Disagreement{i, p, in_column, in_line};
                if (i == p || kinship_values_agree(pair.lower, pair.upper)) {
                    continue;
                }
                if (!local_disagrees ||
                    symmetry_walk_order(pair.row, pair.column) < symmetry_walk_order(local.row, local.column)) {
                    local = pair;
                    local_disagrees = true;
                }
            }
        }
#pragma omp critical
        if (local_disagrees &&
            (!disagrees || symmetry_walk_order(local.row, local.column) < symmetry_walk_order(first.row, first.column))) {
            first = local;
            disagrees = true;
        }
    }
    if (disagrees) {
        throw_not_symmetric(text.path, text.ids[first.row], text.ids[first.column], first.lower, first.upper);
    }
    return result;
}
