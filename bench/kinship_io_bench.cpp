// Writes and reads an n x n kinship text file with Zelkora's writer and readers and with a plain
// iostream implementation of the same format, in one run, and prints times, MB/s and ratios;
// then reads the same matrix as --kin-file PREFIX.bin and PREFIX.grm.bin and prints how much
// faster that is than the text (whole matrix, as --predict reads it, 2 threads).
// Usage: zelkora_bench_kinship_io [n] [folder]   (defaults: 5000, /tmp)

#include <omp.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kinship_io/kinship_io.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The format as a straightforward stream program writes it.
void iostream_write(const Eigen::MatrixXd& K, const std::vector<std::string>& ids, const std::string& name) {
    std::ofstream file(name);
    for (const std::string& id : ids) {
        file << '\t' << id;
    }
    file << std::endl;
    file << std::fixed << std::setprecision(4);
    for (Eigen::Index i = 0; i < K.rows(); ++i) {
        file << ids[static_cast<std::size_t>(i)] << '\t';
        for (Eigen::Index j = 0; j < K.cols(); ++j) {
            file << K(i, j) << '\t';
        }
        file << std::endl;
    }
}

Eigen::MatrixXd iostream_read(const std::string& name) {
    std::ifstream file(name);
    std::string line;
    std::getline(file, line);
    std::vector<std::vector<double>> rows;
    while (std::getline(file, line)) {
        if (line.empty()) {
            continue;
        }
        std::istringstream fields(line);
        std::string id;
        std::getline(fields, id, '\t');
        std::vector<double> row;
        double value = 0.0;
        while (fields >> value) {
            row.push_back(value);
            if (fields.peek() == '\t') {
                fields.get();
            }
        }
        rows.push_back(std::move(row));
    }
    const Eigen::Index n = static_cast<Eigen::Index>(rows.size());
    Eigen::MatrixXd K(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            K(i, j) = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
        }
    }
    return K;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int n = argc > 1 ? std::stoi(argv[1]) : 5000;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const std::string ours_name = folder + "/bench-ours.kinship.txt";
    const std::string baseline_name = folder + "/bench-iostream.kinship.txt";

    std::mt19937_64 generator(1);
    std::normal_distribution<double> normal(0.0, 0.05);
    Eigen::MatrixXd K(n, n);
    for (int c = 0; c < n; ++c) {
        for (int r = c; r < n; ++r) {
            K(r, c) = K(c, r) = (r == c ? 1.0 : 0.0) + normal(generator);
        }
    }
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) {
        ids.push_back("animal" + std::to_string(i + 1));
    }

    auto start = std::chrono::steady_clock::now();
    iostream_write(K, ids, baseline_name);
    const double baseline_write = seconds_since(start);
    start = std::chrono::steady_clock::now();
    write_kinship_matrix(K, ids, ours_name);
    const double ours_write = seconds_since(start);

    std::ifstream a(ours_name, std::ios::binary), b(baseline_name, std::ios::binary);
    const std::string ours_bytes((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    const std::string baseline_bytes((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
    const double megabytes = static_cast<double>(ours_bytes.size()) / 1e6;

    start = std::chrono::steady_clock::now();
    const Eigen::MatrixXd baseline_matrix = iostream_read(baseline_name);
    const double baseline_read = seconds_since(start);
    omp_set_num_threads(1);
    start = std::chrono::steady_clock::now();
    const Eigen::MatrixXd ours_matrix = read_all_Kinship(read_kinship_file(ours_name));
    const double ours_read_1 = seconds_since(start);
    omp_set_num_threads(2);
    start = std::chrono::steady_clock::now();
    const Eigen::MatrixXd ours_matrix_2 = read_all_Kinship(read_kinship_file(ours_name));
    const double ours_read_2 = seconds_since(start);

    std::printf("kinship text %d x %d, %.1f MB; byte-identical output: %s; same matrix read back: %s\n", n, n,
                megabytes, ours_bytes == baseline_bytes ? "yes" : "NO",
                (ours_matrix == baseline_matrix && ours_matrix_2 == baseline_matrix) ? "yes" : "NO");
    std::printf("write  iostream %7.3f s (%6.0f MB/s)  ours %7.3f s (%6.0f MB/s)  speed-up %.1fx\n", baseline_write,
                megabytes / baseline_write, ours_write, megabytes / ours_write, baseline_write / ours_write);
    std::printf("read   iostream %7.3f s (%6.0f MB/s)  ours 1 thread %7.3f s (%6.0f MB/s)  speed-up %.1fx\n",
                baseline_read, megabytes / baseline_read, ours_read_1, megabytes / ours_read_1,
                baseline_read / ours_read_1);
    std::printf("read   ours 2 threads %7.3f s (%6.0f MB/s)  speed-up %.1fx\n", ours_read_2, megabytes / ours_read_2,
                baseline_read / ours_read_2);
    std::remove(baseline_name.c_str());

    // Binary input: the writers of --kin-bin and --kin-gcta, then the reading of a run.
    const std::string binary_prefix = folder + "/bench-binary";
    WriteGRMBin(binary_prefix, K, ids, false, 4);
    write_gcta_grm(binary_prefix, K, std::vector<std::string>(ids.size(), "F"), ids, 1.0);
    double text_read = 0.0;
    Eigen::MatrixXd text_matrix;
    std::printf("read as --kin-file (whole matrix, 2 threads):\n");
    for (const std::string& name : {ours_name, binary_prefix + ".bin", binary_prefix + ".grm.bin"}) {
        start = std::chrono::steady_clock::now();
        const Eigen::MatrixXd matrix = read_all_Kinship(read_kinship_file(name));
        const double seconds = seconds_since(start);
        if (text_matrix.size() == 0) {
            text_read = seconds;
            text_matrix = matrix;
            std::printf("  text     %7.3f s\n", seconds);
            continue;
        }
        // Text has 4 decimals, floats about 7 digits.
        const bool same = (matrix - text_matrix).cwiseAbs().maxCoeff() <= 0.5e-4 + 1e-6;
        std::printf("  %-8s %7.3f s  %.1fx faster than text; same matrix to 4 decimals: %s\n",
                    name.substr(binary_prefix.size() + 1).c_str(), seconds, text_read / seconds, same ? "yes" : "NO");
    }
    for (const char* ending : {".bin", ".id", ".grm.bin", ".grm.id", ".grm.N.bin"}) {
        std::remove((binary_prefix + ending).c_str());
    }
    std::remove(ours_name.c_str());
    return ours_bytes == baseline_bytes ? 0 : 1;
}
