#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <unordered_map>

#include "genomic/bed_internal.h"
#include "genomic/genomic.h"

const std::int8_t GENOTYPE_MAP[4] = {2, -1, 1, 0};
const unsigned char plink_bed_byte_header[3] = {0x6C, 0x1B, 0x01};

namespace {

// For every byte, the number of individuals with each code, in four 16-bit lanes
// (lane c counts code c). Summed over at most 16383 bytes a lane holds at most 65532.
constexpr std::array<std::uint64_t, 256> make_packed_code_counts() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        for (unsigned q = 0; q < 4; ++q) {
            table[byte] += std::uint64_t{1} << (16 * ((byte >> (2 * q)) & 3u));
        }
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> kPackedCodeCounts = make_packed_code_counts();
constexpr std::int64_t kPackedRunBytes = 16383;

std::string hex_byte(unsigned char byte) {
    const char digits[] = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 15u]};
}

bool is_field_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n'; }

// The white-space separated fields of `line`.
std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (true) {
        while (pos < line.size() && is_field_space(line[pos])) {
            ++pos;
        }
        if (pos == line.size()) {
            return fields;
        }
        const std::size_t begin = pos;
        while (pos < line.size() && !is_field_space(line[pos])) {
            ++pos;
        }
        fields.emplace_back(line, begin, pos - begin);
    }
}

// What the six fields of a line of each file are, for the message that names a line without them.
const char* const kFamFields = "family ID, individual ID, father, mother, sex, phenotype";
const char* const kBimFields = "chromosome, marker ID, genetic position, base-pair position, allele 1, allele 2";
constexpr std::size_t kFieldsPerLine = 6;

// Fields 1 and 2 of every line of a .fam or .bim (`field_names` says which), with the 1-based
// line of each. Every line that is not blank has exactly six fields: a line with fewer or more
// would shift every later individual onto the genotypes of another, unseen whenever ceil(n/4)
// stays the same. A first line beginning with # is a header (PLINK 2 writes one) and is skipped.
void read_six_field_lines(std::ifstream& file, const std::string& path, const char* field_names,
                          std::vector<std::string>& first_fields, std::vector<std::string>& second_fields,
                          std::vector<std::size_t>* line_numbers,
                          std::vector<std::array<std::string, 4>>* other_fields = nullptr) {
    std::string line;
    std::size_t line_number = 0;
    bool seen_data = false;
    while (std::getline(file, line)) {
        if (line_number == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);  // a UTF-8 byte-order mark is no field
        }
        // Files saved with old Mac line ends (CR only) arrive as one long line: a CR inside the
        // line ends a line too, so that such a .fam is not read as one individual.
        std::size_t begin = 0;
        while (begin < line.size() || begin == 0) {
            std::size_t cr = line.find('\r', begin);
            if (cr == std::string::npos || cr + 1 == line.size()) {
                cr = line.size();
            }
            ++line_number;
            const std::string text = line.substr(begin, cr - begin);
            begin = cr + 1;
            std::vector<std::string> fields = split_fields(text);
            if (fields.empty()) {
                continue;
            }
            const bool header = !seen_data && fields[0][0] == '#';
            seen_data = true;
            if (header) {
                continue;
            }
            if (fields.size() != kFieldsPerLine) {
                const std::string shown = text.size() > 80 ? text.substr(0, 77) + "..." : text;
                throw std::runtime_error(path + ", line " + std::to_string(line_number) + " has " +
                                         std::to_string(fields.size()) + " field(s) (\"" + shown + "\") where every line needs 6: " +
                                         field_names + ". Complete or remove the line (a header line must be the "
                                         "first line and begin with #).");
            }
            first_fields.push_back(std::move(fields[0]));
            second_fields.push_back(std::move(fields[1]));
            if (other_fields != nullptr) {
                other_fields->push_back({std::move(fields[2]), std::move(fields[3]), std::move(fields[4]),
                                         std::move(fields[5])});
            }
            if (line_numbers != nullptr) {
                line_numbers->push_back(line_number);
            }
        }
    }
    if (file.bad()) {
        throw std::runtime_error("Could not read " + path + " (read error after line " +
                                 std::to_string(line_number) + ").");
    }
}

}  // namespace

void fail_no_individuals(const std::string& fam_path) {
    throw std::runtime_error("No individuals in " + fam_path +
                             ": it needs one line per individual with six fields (" + kFamFields + ").");
}

void fail_no_markers(const std::string& bim_path) {
    throw std::runtime_error("No markers in " + bim_path +
                             ": it needs one line per marker with six fields (" + kBimFields + ").");
}

// A folder reads as an empty file and a named pipe blocks the open until a writer comes: both
// are named instead. `role` starts the message ("Could not open BED file").
void refuse_special_file(const std::string& path, const std::string& role) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && (S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode))) {
        throw std::runtime_error(role + " " + path + ": it is " +
                                 (S_ISDIR(info.st_mode) ? "a folder" : "a named pipe") +
                                 "; give the prefix of a regular .bed/.bim/.fam set.");
    }
}

BedFileHandle read_bed2_cpp(const std::string& path, std::int64_t n_markers, std::int64_t n_individuals,
                               const std::string& source) {
    // G may be built from the set more than once (seeking back to the body), which a pipe
    // could not serve either.
    refuse_special_file(path, "Could not open BED file");
    BedFileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw std::runtime_error("Could not open BED file " + path + " (" + std::strerror(errno) + ")");
    }
    unsigned char header[3] = {0, 0, 0};
    const std::size_t header_bytes = std::fread(header, 1, 3, file.get());
    if (header_bytes != 3) {
        throw std::runtime_error("Invalid BED file format: " + path + " holds " + std::to_string(header_bytes) +
                                 " byte(s), fewer than the 3 of its header (6C 1B 01).");
    }
    if (!std::equal(header, header + 2, plink_bed_byte_header)) {
        throw std::runtime_error("Invalid BED file format: " + path + " begins with the bytes " + hex_byte(header[0]) +
                                 " " + hex_byte(header[1]) + " instead of the magic bytes 6C 1B of a PLINK .bed.");
    }
    if (header[2] != plink_bed_byte_header[2]) {
        throw std::runtime_error("Invalid BED file format: " + path + " has the mode byte " + hex_byte(header[2]) +
                                 (header[2] == 0x00 ? " (individual-major)" : "") +
                                 " instead of 01 (marker-major), the only mode read; convert it to marker-major "
                                 "(plink --make-bed writes it).");
    }
    // Devices have no size to check; their reads are checked instead.
    struct stat info {};
    if (::fstat(::fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode)) {
        const std::int64_t bytes_per_marker = bed_bytes_per_marker(n_individuals);
        const std::int64_t expected = 3 + bytes_per_marker * n_markers;
        const std::int64_t actual = info.st_size;
        if (actual != expected) {
            const std::string sizes = "expected " + std::to_string(expected) + " bytes (3 + " +
                                      std::to_string(bytes_per_marker) + " bytes per marker x " +
                                      std::to_string(n_markers) + " markers, for " + source +
                                      ") but the file holds " + std::to_string(actual) + " bytes";
            if (actual < expected) {
                throw std::runtime_error("Truncated BED file " + path + ": " + sizes +
                                         ". Copy or export the .bed again.");
            }
            throw std::runtime_error("BED file " + path + " is longer than its .bim and .fam describe: " + sizes +
                                     ". Check that the three files belong to the same data set.");
        }
    }
    return file;
}

void read_bed_bytes(std::FILE* file, const std::string& path, unsigned char* buffer, std::size_t size) {
    if (size > 0 && std::fread(buffer, 1, size, file) != size) {
        throw std::runtime_error("Truncated BED file " + path + ": it ended early while being read" +
                                 " (was it changed during the run?).");
    }
}

std::array<std::int64_t, 4> count_bed_codes(const unsigned char* bytes, std::int64_t n_individuals) {
    std::array<std::int64_t, 4> counts{0, 0, 0, 0};
    const std::int64_t full_bytes = n_individuals / 4;
    for (std::int64_t run_start = 0; run_start < full_bytes; run_start += kPackedRunBytes) {
        const std::int64_t run_end = std::min(full_bytes, run_start + kPackedRunBytes);
        std::uint64_t packed = 0;
        for (std::int64_t t = run_start; t < run_end; ++t) {
            packed += kPackedCodeCounts[bytes[t]];
        }
        for (int code = 0; code < 4; ++code) {
            counts[code] += static_cast<std::int64_t>((packed >> (16 * code)) & 0xFFFFu);
        }
    }
    const unsigned last = n_individuals % 4 != 0 ? bytes[full_bytes] : 0u;
    for (std::int64_t q = 0; q < n_individuals % 4; ++q) {
        ++counts[(last >> (2 * q)) & 3u];
    }
    return counts;
}

void decode_bed_marker(const unsigned char* bytes, std::int64_t n_individuals, const double value_of_code[4],
                       double* out) {
    const std::int64_t full_bytes = n_individuals / 4;
    for (std::int64_t t = 0; t < full_bytes; ++t) {
        const unsigned byte = bytes[t];
        out[0] = value_of_code[byte & 3u];
        out[1] = value_of_code[(byte >> 2) & 3u];
        out[2] = value_of_code[(byte >> 4) & 3u];
        out[3] = value_of_code[byte >> 6];
        out += 4;
    }
    const unsigned last = n_individuals % 4 != 0 ? bytes[full_bytes] : 0u;
    for (std::int64_t q = 0; q < n_individuals % 4; ++q) {
        out[q] = value_of_code[(last >> (2 * q)) & 3u];
    }
}

MarkerReader::MarkerReader(const BedSet& bed, std::int64_t block_capacity)
    : bed_(bed),
      n_individuals_(static_cast<std::int64_t>(bed.individual_ids.size())),
      n_markers_(static_cast<std::int64_t>(bed.marker_ids.size())),
      bytes_per_marker_(bed_bytes_per_marker(n_individuals_)),
      file_bytes_per_marker_(bed_bytes_per_marker(bed.file_individuals)),
      capacity_(std::max<std::int64_t>(1, std::min(block_capacity, n_markers_))) {
    if (!bed.bed_file) {
        throw std::invalid_argument("The markers need a genotype set opened by read_bed.");
    }
    if (!bed.individual_rows.empty() && bed.individual_rows.size() != bed.individual_ids.size()) {
        throw std::invalid_argument("The genotype set lists " + std::to_string(bed.individual_ids.size()) +
                                    " individuals but the rows of " + std::to_string(bed.individual_rows.size()) + ".");
    }
    if (!bed.marker_rows.empty() && bed.marker_rows.size() != bed.marker_ids.size()) {
        throw std::invalid_argument("The genotype set lists " + std::to_string(bed.marker_ids.size()) +
                                    " markers but the rows of " + std::to_string(bed.marker_rows.size()) + ".");
    }
    // Re-packing costs a pass over the calls; a set that keeps every individual in file order
    // is read as it stands.
    repack_ = n_individuals_ != bed.file_individuals;
    for (std::size_t k = 0; !repack_ && k < bed.individual_rows.size(); ++k) {
        repack_ = bed.individual_rows[k] != static_cast<std::int64_t>(k);
    }
    bytes_.resize(static_cast<std::size_t>(bytes_per_marker_ * capacity_));
    if (repack_) {
        // One byte more: a call's byte is read together with the next one.
        file_bytes_.resize(static_cast<std::size_t>(file_bytes_per_marker_ * capacity_ + 1));
        for (std::int64_t i = 0; i < n_individuals_; ++i) {
            const std::int64_t row = bed.individual_rows[static_cast<std::size_t>(i)];
            if (!runs_.empty() && runs_.back().row + runs_.back().length == row) {
                ++runs_.back().length;
            } else {
                runs_.push_back({row, i, 1});
            }
        }
    }
}

namespace {

// Copies the calls of one run into `packed`, whose bits there are 0: single calls up to a byte
// boundary of `packed`, then four calls at a time from the 16 bits around them in `source`.
void copy_run(const unsigned char* source, std::int64_t row, std::int64_t position, std::int64_t length,
              unsigned char* packed) {
    std::int64_t k = 0;
    const auto copy_one = [&] {
        const std::int64_t from = row + k;
        const std::int64_t to = position + k;
        const unsigned code = (source[from / 4] >> (2 * (from % 4))) & 3u;
        packed[to / 4] = static_cast<unsigned char>(packed[to / 4] | (code << (2 * (to % 4))));
        ++k;
    };
    while (k < length && (position + k) % 4 != 0) {
        copy_one();
    }
    for (; k + 4 <= length; k += 4) {
        const std::int64_t bit = 2 * (row + k);
        const unsigned pair = source[bit / 8] | (static_cast<unsigned>(source[bit / 8 + 1]) << 8);
        packed[(position + k) / 4] = static_cast<unsigned char>(pair >> (bit % 8));
    }
    while (k < length) {
        copy_one();
    }
}

}  // namespace

bool MarkerReader::next() {
    block_start_ += block_markers_;
    if (block_start_ >= n_markers_) {
        block_markers_ = 0;
        return false;
    }
    block_markers_ = std::min(capacity_, n_markers_ - block_start_);
    unsigned char* target = repack_ ? file_bytes_.data() : bytes_.data();
    const auto file_row = [&](std::int64_t k) {
        return bed_.marker_rows.empty() ? block_start_ + k : bed_.marker_rows[static_cast<std::size_t>(block_start_ + k)];
    };
    // One read per run of markers that follow each other in the file.
    for (std::int64_t k = 0; k < block_markers_;) {
        const std::int64_t first = file_row(k);
        std::int64_t run = 1;
        while (k + run < block_markers_ && file_row(k + run) == first + run) {
            ++run;
        }
        if (first != file_position_ &&
            ::fseeko(bed_.bed_file.get(), static_cast<off_t>(3 + first * file_bytes_per_marker_), SEEK_SET) != 0) {
            throw std::runtime_error("Could not seek in BED file " + bed_.bed_path);
        }
        read_bed_bytes(bed_.bed_file.get(), bed_.bed_path, target + k * file_bytes_per_marker_,
                       static_cast<std::size_t>(run * file_bytes_per_marker_));
        file_position_ = first + run;
        k += run;
    }
    if (repack_) {
#pragma omp parallel for schedule(static)
        for (std::int64_t k = 0; k < block_markers_; ++k) {
            const unsigned char* source = file_bytes_.data() + k * file_bytes_per_marker_;
            unsigned char* packed = bytes_.data() + k * bytes_per_marker_;
            std::fill(packed, packed + bytes_per_marker_, 0);
            for (const Run& run : runs_) {
                copy_run(source, run.row, run.position, run.length, packed);
            }
        }
    }
    return true;
}

BedSet read_bed(const std::string& prefix, bool verbose, const ConsoleLines& console) {
    if (prefix.empty()) {
        throw std::invalid_argument("Genotype prefix is required!");
    }
    BedSet bed;
    bed.bed_path = prefix + ".bed";
    bed.bim_path = prefix + ".bim";
    bed.fam_path = prefix + ".fam";

    refuse_special_file(bed.bim_path, "Could not read");
    refuse_special_file(bed.fam_path, "Could not read");
    std::ifstream bim(bed.bim_path);
    std::ifstream fam(bed.fam_path);
    if (!bim.is_open() || !fam.is_open()) {
        throw std::runtime_error("File not found: " + bed.bim_path + " or " + bed.fam_path);
    }
    if (verbose) {
        say(console, "Reading: " + bed.bed_path + "\n");
    }
    read_six_field_lines(bim, bed.bim_path, kBimFields, bed.marker_chromosomes, bed.marker_ids, nullptr);
    std::vector<std::size_t> fam_lines;
    read_six_field_lines(fam, bed.fam_path, kFamFields, bed.family_ids, bed.individual_ids, &fam_lines);
    say(console, "Genotype file contains " + std::to_string(bed.individual_ids.size()) + " individuals with " +
                     std::to_string(bed.marker_ids.size()) + " markers.\n");

    if (bed.individual_ids.empty()) {
        fail_no_individuals(bed.fam_path);
    }
    if (bed.marker_ids.empty()) {
        fail_no_markers(bed.bim_path);
    }
    // Rows of the kinship file are found by ID, so two rows with one ID would be ambiguous.
    std::unordered_map<std::string, std::size_t> first_line;
    first_line.reserve(bed.individual_ids.size());
    for (std::size_t k = 0; k < bed.individual_ids.size(); ++k) {
        const auto [place, inserted] = first_line.emplace(bed.individual_ids[k], fam_lines[k]);
        if (!inserted) {
            throw std::runtime_error("Duplicate individual ID " + bed.individual_ids[k] + " in " + bed.fam_path +
                                     " (lines " + std::to_string(place->second) + " and " +
                                     std::to_string(fam_lines[k]) +
                                     "): every individual needs its own ID in the kinship matrix.");
        }
    }

    const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
    const std::int64_t n_markers = static_cast<std::int64_t>(bed.marker_ids.size());
    bed.file_individuals = n_individuals;
    bed.file_markers = n_markers;
    bed.bed_file = read_bed2_cpp(bed.bed_path, n_markers, n_individuals,
                                 std::to_string(n_individuals) + " individuals in " + bed.fam_path + " and " +
                                     std::to_string(n_markers) + " markers in " + bed.bim_path);
    return bed;
}

MarkerDetails read_marker_details(const BedSet& bed) {
    std::ifstream bim(bed.bim_path);
    if (!bim) {
        throw std::runtime_error("Could not open " + bed.bim_path + " (" + std::strerror(errno) + ").");
    }
    std::vector<std::string> chromosomes, ids;
    std::vector<std::array<std::string, 4>> others;
    read_six_field_lines(bim, bed.bim_path, kBimFields, chromosomes, ids, nullptr, &others);
    if (static_cast<std::int64_t>(ids.size()) != bed.file_markers) {
        throw std::runtime_error(bed.bim_path + " has changed since it was read: it now lists " +
                                 std::to_string(ids.size()) + " markers, not " + std::to_string(bed.file_markers) + ".");
    }
    MarkerDetails details;
    for (std::size_t k = 0; k < bed.marker_ids.size(); ++k) {
        const auto line = static_cast<std::size_t>(bed.marker_rows.empty() ? static_cast<std::int64_t>(k)
                                                                             : bed.marker_rows[k]);
        details.positions.push_back(others[line][1]);
        details.allele1.push_back(others[line][2]);
        details.allele2.push_back(others[line][3]);
    }
    return details;
}
