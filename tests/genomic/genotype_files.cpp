#include "genomic/genotype_files.h"

#include <random>

Eigen::MatrixXd random_dosages(int n, int m, unsigned seed, double missing_rate) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Eigen::MatrixXd dosages(n, m);
    for (int j = 0; j < m; ++j) {
        const double p = 0.05 + 0.9 * uniform(rng);
        for (int i = 0; i < n; ++i) {
            const int dosage = (uniform(rng) < p) + (uniform(rng) < p);
            const double special[4] = {2.0, i % 3 == 0 ? -1.0 : 0.0, 1.0, -1.0};
            const double drawn = uniform(rng) < missing_rate ? -1.0 : dosage;
            dosages(i, j) = m > 4 && j >= 1 && j <= 4 ? special[j - 1] : drawn;
        }
    }
    return dosages;
}

std::string encode_bed(const Eigen::MatrixXd& dosages, unsigned padding) {
    const int n = static_cast<int>(dosages.rows());
    std::string bed = {'\x6C', '\x1B', '\x01'};
    for (int j = 0; j < dosages.cols(); ++j) {
        std::vector<unsigned> bytes((n + 3) / 4, 0);
        for (int slot = 0; slot < 4 * static_cast<int>(bytes.size()); ++slot) {
            const double x = slot < n ? dosages(slot, j) : 0.0;
            const unsigned code = slot >= n ? padding & 3u : x == 2.0 ? 0u : x == 1.0 ? 2u : x == 0.0 ? 3u : 1u;
            bytes[slot / 4] |= code << (2 * (slot % 4));
        }
        bed.append(bytes.begin(), bytes.end());
    }
    return bed;
}

void write_genotype_set(const std::string& prefix, const Eigen::MatrixXd& dosages, unsigned padding,
                        const std::vector<std::string>& ids) {
    std::string fam;
    for (std::size_t i = 0; i < static_cast<std::size_t>(dosages.rows()); ++i) {
        fam += "FAM " + (ids.empty() ? "ID" + std::to_string(i + 1) : ids[i]) + " 0 0 0 -9\n";
    }
    std::string bim;
    for (int j = 0; j < dosages.cols(); ++j) {
        bim += "1\tsnp" + std::to_string(j + 1) + "\t0\t" + std::to_string(1000 * (j + 1)) + "\tA\tG\n";
    }
    write_file(prefix + ".fam", fam);
    write_file(prefix + ".bim", bim);
    write_file(prefix + ".bed", encode_bed(dosages, padding));
}
