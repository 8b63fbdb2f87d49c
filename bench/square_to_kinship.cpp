// Turns a square white-space matrix with one ID per line in a second file (plink2
// --make-rel square: PREFIX.rel and PREFIX.rel.id) into a kinship text file, and writes the same
// 4-decimal values as a bare matrix for GEMMA's -k, so that both programs see identical numbers.
//
// usage: zelkora_bench_square_to_kinship MATRIX IDS KINSHIP_TEXT BARE_MATRIX ("-": none)
// IDS: one line per individual; a line starting with '#' is a header; the last white-space
// field of a line is the ID (plink2 writes FID and IID, or IID alone).

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: " << argv[0] << " MATRIX IDS KINSHIP_TEXT BARE_MATRIX\n";
        return 2;
    }
    std::vector<std::string> ids;
    std::ifstream id_file(argv[2]);
    std::string line;
    while (std::getline(id_file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string field, last;
        while (fields >> field) {
            last = field;
        }
        ids.push_back(last);
    }
    const auto n = static_cast<Eigen::Index>(ids.size());

    std::ifstream matrix_file(argv[1], std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(matrix_file)), std::istreambuf_iterator<char>());
    Eigen::MatrixXd K(n, n);
    const char* cursor = content.data();
    const char* end = cursor + content.size();
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            while (cursor < end && (*cursor == ' ' || *cursor == '\t' || *cursor == '\n' || *cursor == '\r')) {
                ++cursor;
            }
            double value = 0.0;
            const auto [next, error] = std::from_chars(cursor, end, value);
            if (error != std::errc()) {
                std::cerr << argv[1] << ": expected " << n << " x " << n << " numbers\n";
                return 1;
            }
            K(i, j) = value;
            cursor = next;
        }
    }
    write_kinship_matrix(K, ids, argv[3]);

    if (std::string(argv[4]) == "-") {
        return 0;
    }
    // The bare matrix holds the rounded values of the kinship text.
    std::FILE* bare = std::fopen(argv[4], "w");
    if (bare == nullptr) {
        std::perror(argv[4]);
        return 1;
    }
    char number[400];
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            char* stop = format_fixed4(K(i, j), number);
            *stop++ = j + 1 < n ? ' ' : '\n';
            std::fwrite(number, 1, static_cast<std::size_t>(stop - number), bare);
        }
    }
    return std::fclose(bare) == 0 ? 0 : 1;
}
