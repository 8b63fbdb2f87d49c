// Writes and reads an n x n kinship text file with Zelkora's writer and readers and with a plain
// iostream implementation of the same format, in one run, and prints times, MB/s and ratios;
// then reads the same matrix as --kin-file PREFIX.bin and PREFIX.grm.bin and prints how much
// faster that is than the text (whole matrix, as --predict reads it, 2 threads). Each of those
// reads runs in a process of its own, as in a run, since memory that an earlier read freed is
// faster to fill again.
// Usage: zelkora_bench_kinship_io [n] [folder]   (defaults: 5000, /tmp)
//        zelkora_bench_kinship_io --read FILE      (one read; prints the seconds of its two steps)

#include <omp.h>

#include <chrono>
#include <cmath>
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

// Seconds of read_kinship_file and of reading the whole matrix (filterKinshipMatrix of every ID)
// on `name`, in a process of its own, and the sum of the matrix (to compare the formats' matrices).
struct TimedRead {
    double file_seconds = 0.0;
    double matrix_seconds = 0.0;
    double sum = 0.0;
};

Eigen::MatrixXd whole_matrix(const std::string& name) {
    const KinshipFile file = read_kinship_file(name);
    return filterKinshipMatrix(file, file.text.ids);
}

TimedRead read_in_child(const std::string& program, const std::string& name) {
    TimedRead result;
    const std::string command = "'" + program + "' --read '" + name + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr || std::fscanf(pipe, "%lf %lf %lf", &result.file_seconds, &result.matrix_seconds,
                                       &result.sum) != 3) {
        std::fprintf(stderr, "could not run %s\n", command.c_str());
    }
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    return result;
}

int read_once(const std::string& name) {
    omp_set_num_threads(2);
    auto start = std::chrono::steady_clock::now();
    const KinshipFile file = read_kinship_file(name);
    const double file_seconds = seconds_since(start);
    start = std::chrono::steady_clock::now();
    const Eigen::MatrixXd matrix = filterKinshipMatrix(file, file.text.ids);
    std::printf("%.6f %.6f %.17g\n", file_seconds, seconds_since(start), matrix.sum());
    return 0;
}

int main(int argc, char* argv[]) {
    if (argc == 3 && std::string(argv[1]) == "--read") {
        return read_once(argv[2]);
    }
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
    const Eigen::MatrixXd ours_matrix = whole_matrix(ours_name);
    const double ours_read_1 = seconds_since(start);
    omp_set_num_threads(2);
    start = std::chrono::steady_clock::now();
    const Eigen::MatrixXd ours_matrix_2 = whole_matrix(ours_name);
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
    std::printf("read as --kin-file, each in a process of its own (2 threads): file, whole matrix, total\n");
    TimedRead text;
    for (const std::string& name : {ours_name, binary_prefix + ".bin", binary_prefix + ".grm.bin"}) {
        const TimedRead read = read_in_child(argv[0], name);
        const double total = read.file_seconds + read.matrix_seconds;
        if (name == ours_name) {
            text = read;
            std::printf("  text     %7.3f s %7.3f s %7.3f s\n", read.file_seconds, read.matrix_seconds, total);
            continue;
        }
        // Text has 4 decimals, floats about 7 digits: the sums agree to about n * 5e-5.
        const bool same = std::abs(read.sum - text.sum) <= static_cast<double>(n) * static_cast<double>(n) * 5e-5;
        std::printf("  %-8s %7.3f s %7.3f s %7.3f s  faster than text: file %.1fx, total %.1fx; same sum: %s\n",
                    name.substr(binary_prefix.size() + 1).c_str(), read.file_seconds, read.matrix_seconds, total,
                    text.file_seconds / read.file_seconds,
                    (text.file_seconds + text.matrix_seconds) / total, same ? "yes" : "NO");
    }
    for (const char* ending : {".bin", ".id", ".grm.bin", ".grm.id", ".grm.N.bin"}) {
        std::remove((binary_prefix + ending).c_str());
    }
    std::remove(ours_name.c_str());
    return ours_bytes == baseline_bytes ? 0 : 1;
}
