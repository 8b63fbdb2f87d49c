// Seconds per AI-REML iteration: the band-reduction path against the literal dense one, on the
// first RECORDS records of a kinship text file and a phenotype file.
//
// usage: zelkora_bench_reml_iteration KINSHIP PHENOTYPE PHE_COLUMN COVAR_COLUMN RECORDS ITERATIONS
// (columns 1-based as on the command line; COVAR_COLUMN 0 for none)

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/app.h"
#include "kinship_io/kinship_io.h"
#include "mixed_model/mixed_model.h"
#include "mixed_model/reml_reference.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double largest_difference(const std::vector<TraceRow>& a, const std::vector<TraceRow>& b) {
    double largest = 0.0;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
        const TraceRow& x = a[k];
        const TraceRow& z = b[k];
        for (const auto& [u, v] : {std::pair{x.log_likelihood, z.log_likelihood}, std::pair{x.sigma_a2, z.sigma_a2},
                                   std::pair{x.sigma_e2, z.sigma_e2}}) {
            largest = std::max(largest, std::fabs(u - v) / std::fabs(u));
        }
    }
    return largest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr,
                     "usage: %s KINSHIP PHENOTYPE PHE_COLUMN COVAR_COLUMN RECORDS ITERATIONS\n"
                     "  columns are 1-based; COVAR_COLUMN 0 for none\n",
                     argv[0]);
        return 2;
    }
    const std::string kinship_file = argv[1];
    const std::string phenotype_file = argv[2];
    const int phe_pos = std::atoi(argv[3]) - 1;
    const int covar_column = std::atoi(argv[4]);
    const auto wanted = static_cast<Eigen::Index>(std::atol(argv[5]));
    const int iterations = std::atoi(argv[6]);

    const KinshipText text = load_kinship_text(kinship_file);
    check_kinship_layout(text);
    const std::unordered_set<std::string> id_set(text.ids.begin(), text.ids.end());
    const std::vector<int> covar_pos = covar_column > 0 ? std::vector<int>{covar_column - 1} : std::vector<int>{};
    const Model model = readPhenotype(phenotype_file, phe_pos, covar_pos, id_set);
    const Eigen::MatrixXd& y_all = model.response.y;
    const Eigen::MatrixXd& reduced_all = model.fixed.reduced;
    const std::vector<std::string>& record_ids = model.response.record_ids;
    const Eigen::Index n = std::min(wanted, y_all.rows());
    std::vector<std::size_t> lines;
    for (Eigen::Index position : record_positions(record_ids, text.ids)) {
        lines.push_back(static_cast<std::size_t>(position));
    }
    lines.resize(static_cast<std::size_t>(n));
    const Eigen::MatrixXd K = kinship_rows(text, lines);
    const Eigen::MatrixXd y = y_all.topRows(n);
    const Eigen::MatrixXd X = reduced_all.topRows(n);

    // A tolerance no change reaches: every run makes exactly `iterations` iterations.
    constexpr double kNever = 1e-300;
    auto start = std::chrono::steady_clock::now();
    const std::vector<TraceRow> literal = literal_ai_iterations(K, X, y, iterations, 0.3);
    const double literal_seconds = seconds_since(start) / iterations;

    start = std::chrono::steady_clock::now();
    const ReducedKinship reduced_kinship = reduce_kinship_cpp(K);
    const double reduce_seconds = seconds_since(start);
    start = std::chrono::steady_clock::now();
    const RemlResult fast = reml_ai_cpp(reduced_kinship, X, y, iterations + 1, 0.3, kNever);
    const double fast_seconds = seconds_since(start) / iterations;

    std::printf("records %ld, fixed-effect columns %ld, iterations %d\n", static_cast<long>(n),
                static_cast<long>(X.cols()), iterations);
    std::printf("literal dense:  %.4g s per iteration\n", literal_seconds);
    std::printf("band reduction: %.4g s per iteration after a %.4g s reduction\n", fast_seconds, reduce_seconds);
    std::printf("per-iteration ratio (band reduction / literal): %.3g\n", fast_seconds / literal_seconds);
    std::printf("whole estimate of %d iterations, ratio: %.3g\n", iterations,
                (reduce_seconds + fast_seconds * iterations) / (literal_seconds * iterations));
    std::printf("largest relative difference of LogLik, Sigma_a2, Sigma_e2: %.3g\n", largest_difference(literal, trace_rows(fast)));
    return 0;
}
