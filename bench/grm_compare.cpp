// Cross-check of our method 2 (lambda 1) against plink2's variance-standardised matrix
// (--make-rel square): both are Σ_j z_i z_k / (2p_j(1-p_j)) up to a constant factor, so once
// each is scaled to a mean diagonal of 1 they must agree (to about 1e-5, the effect of the
// 1e-6 added to every variance, and of the 4 decimals of our text file).
// Usage: zelkora_bench_grm_compare OURS.kinship.txt PLINK.rel PLINK.rel.id
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Dense>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "Usage: %s OURS.kinship.txt PLINK.rel PLINK.rel.id\n", argv[0]);
        return 1;
    }
    std::ifstream ours_file(argv[1]);
    std::string line;
    std::getline(ours_file, line);
    std::vector<std::string> ours_ids;
    std::istringstream header(line);
    for (std::string id; header >> id;) {
        ours_ids.push_back(id);
    }
    const Eigen::Index n = static_cast<Eigen::Index>(ours_ids.size());
    Eigen::MatrixXd ours(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        std::string id;
        ours_file >> id;
        for (Eigen::Index j = 0; j < n; ++j) {
            ours_file >> ours(i, j);
        }
    }

    // .rel.id: a header line starting with '#', then FID IID (or IID) per line.
    std::ifstream id_file(argv[3]);
    std::vector<std::string> plink_ids;
    while (std::getline(id_file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string first, second;
        fields >> first;
        plink_ids.push_back(fields >> second ? second : first);
    }
    std::unordered_map<std::string, Eigen::Index> position;
    for (Eigen::Index i = 0; i < n; ++i) {
        position[ours_ids[i]] = i;
    }
    if (static_cast<Eigen::Index>(plink_ids.size()) != n) {
        std::fprintf(stderr, "ID counts differ: %zu vs %ld\n", plink_ids.size(), static_cast<long>(n));
        return 1;
    }
    std::ifstream rel_file(argv[2]);
    Eigen::MatrixXd plink(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            rel_file >> plink(i, j);
        }
    }
    if (!rel_file) {
        std::fprintf(stderr, "Could not read %s\n", argv[2]);
        return 1;
    }
    Eigen::MatrixXd plink_in_our_order(n, n);
    for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
            plink_in_our_order(position.at(plink_ids[i]), position.at(plink_ids[j])) = plink(i, j);
        }
    }
    plink_in_our_order *= static_cast<double>(n) / plink_in_our_order.trace();
    const double difference = (ours - plink_in_our_order).cwiseAbs().maxCoeff();
    std::printf("max_abs_difference %.3g\n", difference);
    return difference < 1e-3 ? 0 : 2;
}
