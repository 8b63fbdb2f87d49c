// Kinship text files: the data-line index, the ID list and the matrix and column readers on any bytes.
// The first 8 bytes also go through the 4-decimal formatter, checked against printf.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kinship_io/kinship_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= sizeof(double)) {
        double value = 0.0;
        std::memcpy(&value, data, sizeof(double));
        char ours[400];
        char reference[400];
        *format_fixed4(value, ours) = '\0';
        std::snprintf(reference, sizeof(reference), "%.4f", value);
        if (std::strcmp(ours, reference) != 0) {
            __builtin_trap();
        }
    }

    KinshipText text;
    text.path = "fuzz.kinship.txt";
    text.content.assign(reinterpret_cast<const char*>(data), size);
    text = index_kinship_text(std::move(text));
    // Every index describes the same data lines.
    const std::size_t line_count = text.ids.size();
    if (text.line_numbers.size() != line_count || text.line_begin.size() != line_count || text.line_end.size() != line_count) {
        __builtin_trap();
    }
    for (std::size_t line = 0; line < line_count; ++line) {
        if (text.line_begin[line] > text.line_end[line] || text.line_end[line] > text.content.size()) {
            __builtin_trap();
        }
    }
    // Every data line, and every other one in reverse order, as the two matrix readers select.
    if (text.ids.size() > 300) {
        return 0;
    }
    std::vector<std::size_t> every_line(text.ids.size());
    std::vector<std::size_t> reversed;
    for (std::size_t line = 0; line < every_line.size(); ++line) {
        every_line[line] = line;
        if (line % 2 == 0) {
            reversed.insert(reversed.begin(), line);
        }
    }
    for (const auto* lines : {&every_line, &reversed}) {
        try {
            const Eigen::MatrixXd K = kinship_rows(text, *lines);
            if (K.rows() != static_cast<Eigen::Index>(lines->size())) {
                __builtin_trap();
            }
        } catch (const std::runtime_error&) {
        }
    }
    // The columns of the prediction at the same lines: the kept lines' values wherever they are
    // read, and at most one symmetry error.
    for (const auto* lines : {&every_line, &reversed}) {
        try {
            const KinshipColumns kept = kinship_text_columns(text, *lines);
            for (std::size_t c = 0; c < lines->size(); ++c) {
                const auto line = static_cast<Eigen::Index>((*lines)[c]);
                if (kept.columns(line, static_cast<Eigen::Index>(c)) != kept.diagonal[line]) {
                    __builtin_trap();
                }
            }
        } catch (const std::runtime_error&) {
        }
    }
    return 0;
}
