
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/agreement.h"
#include "app/distributed_mixed_model.h"
#include "distributed/block_cyclic.h"
#include "distributed/distributed.h"
#include "linear_algebra/lapack.h"
#include "log/failures.h"
#include "log/logger.h"

#if defined(ZELKORA_HAVE_MPI) && defined(ZELKORA_HAVE_SCALAPACK)

namespace {

// Blocks of 64: pdsytrd's panel updates and pdormtr measured 15 to 40% faster than with blocks
// of 128 or 256 (bench/mpi_reduction). A small matrix gets smaller blocks so that it is still
// spread over every rank.
constexpr std::int64_t kBlock = 64;

std::int64_t block_size(std::int64_t n, const ProcessGrid& grid) {
    const std::int64_t spread = (n + 2 * std::max(grid.rows, grid.cols) - 1) / (2 * std::max(grid.rows, grid.cols));
    return std::clamp<std::int64_t>((spread + 3) / 4 * 4, 4, kBlock);
}

// "12.3 s" since `start`, without touching the format of the log stream.
std::string elapsed_text(std::chrono::steady_clock::time_point start) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1)
         << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << " s";
    return text.str();
}

BlockCyclicPiece piece_of(DistributedMatrix& matrix) {
    BlockCyclicPiece piece;
    piece.rows = matrix.rows;
    piece.cols = matrix.cols;
    piece.nb = matrix.row_block;
    piece.grid_rows = matrix.grid->rows;
    piece.grid_cols = matrix.grid->cols;
    piece.my_row = matrix.grid->my_row;
    piece.my_col = matrix.grid->my_col;
    piece.data = matrix.local.data();
    piece.ld = matrix.leading_dimension();
    return piece;
}

std::string memory_message(const std::string& what, std::int64_t rows, std::int64_t cols) {
    std::ostringstream message;
    message << "not enough memory on rank " << world_rank() << " for its share of " << what << " (" << rows << " x "
            << cols << " over " << world_size() << " ranks, about " << std::setprecision(3)
            << 8.0 * static_cast<double>(rows) * static_cast<double>(cols) / world_size() / 1e9
            << " GB per rank). Run on more ranks (mpirun -np).";
    return message.str();
}

// A matrix made by every rank for its share; a rank that cannot have its share says so, and all stop.
template <typename Make>
auto agreed(Make make, const std::string& what, std::int64_t rows, std::int64_t cols) -> decltype(make()) {
    std::unique_ptr<decltype(make())> made;
    agree(attempt([&] {
        try {
            if (rank_asked_to_fail(world_rank())) {
                throw std::bad_alloc();
            }
            made = std::make_unique<decltype(make())>(make());
        } catch (const std::bad_alloc&) {
            throw RunFailure(memory_message(what, rows, cols));
        }
    }));
    return std::move(*made);
}

// Q of the reduction spread over the ranks, applied to columns every rank holds.
class DistributedRotation : public KinshipRotation {
public:
    DistributedRotation(std::unique_ptr<BlacsGrid> on, TridiagonalReduction reduced)
        : grid(std::move(on)), reduction(std::move(reduced)) {}

    Eigen::MatrixXd apply(Eigen::MatrixXd C, bool transposed) const override {
        const DistributedMatrix& A = reduction.reflectors;
        if (C.rows() != A.rows) {
            throw std::invalid_argument("The kinship rotation needs " + std::to_string(A.rows) + " rows, got " +
                                        std::to_string(C.rows()) + ".");
        }
        DistributedMatrix spread = agreed(
            [&] { return DistributedMatrix(*grid, A.rows, C.cols(), A.row_block, A.row_block); },
            "the rotated columns", A.rows, C.cols());
        fill_from_replicated(C, spread);
        try {
            apply_reduction(reduction, spread, transposed);
        } catch (const std::bad_alloc&) {  // on every rank alike
            throw RunFailure(memory_message("the rotation's workspace", A.rows, C.cols()));
        }
        return replicate(spread);
    }

    // Columns that are already spread: rotated in place.
    void apply_in_place(DistributedMatrix& C) const { apply_reduction(reduction, C, true); }
    const BlacsGrid& blacs() const { return *grid; }
    std::int64_t block() const { return reduction.reflectors.row_block; }

private:
    std::unique_ptr<BlacsGrid> grid;  // before the reduction: its matrices live on it
    TridiagonalReduction reduction;
};

}  // namespace

bool distributed_mixed_model_available() { return distributed_linear_algebra(); }

ReducedKinship distributed_records_reduction(Logger& logger, const KinshipSource& source,
                                             const std::vector<std::int64_t>& positions) {
    const auto n = static_cast<std::int64_t>(positions.size());
    const ProcessGrid shape = process_grid(world_size());
    const std::int64_t largest = largest_distributed_order(world_size(), kBlock);
    if (n > largest) {
        throw RunFailure(std::to_string(n) + " records are more than the " + std::to_string(largest) +
                         " that the distributed decomposition can index on " + std::to_string(world_size()) +
                         " ranks; run on more ranks (mpirun -np).");
    }
    auto grid = std::make_unique<BlacsGrid>(shape.rows, shape.cols);
    const std::int64_t block = block_size(n, shape);
    auto start = std::chrono::steady_clock::now();
    logger.tee << "👉 Reading the kinship of the " << n << " records over " << world_size() << " MPI ranks (a "
               << shape.rows << " x " << shape.cols << " grid of " << block << " x " << block << " blocks)..."
               << std::endl;
    DistributedMatrix K = agreed([&] { return DistributedMatrix(*grid, n, n, block, block); },
                                 "the records' kinship", n, n);
    agree(attempt([&] { read_kinship_entries(source, positions, positions, piece_of(K), !source.binary); }));
    logger.tee << "\tread in " << elapsed_text(start) << std::endl;

    start = std::chrono::steady_clock::now();
    TridiagonalReduction reduction = [&] {
        try {
            return reduce_to_tridiagonal(std::move(K));
        } catch (const std::bad_alloc&) {  // on every rank alike
            throw RunFailure(memory_message("the reduction's workspace", n, n));
        }
    }();
    logger.tee << "👉 Reduced to tridiagonal form over the ranks in " << elapsed_text(start) << std::endl;

    ReducedKinship records;
    records.bandwidth = n > 1 ? 1 : 0;
    records.band.setZero(records.bandwidth + 1, n);
    records.band.row(0) = reduction.diagonal.transpose();
    if (n > 1) {
        records.band.row(1).head(n - 1) = reduction.off_diagonal.transpose();
    }
    records.tau.setZero(1);
    // The same arithmetic on the same values on every rank: the eigenvalues agree bit for bit.
    records.eigenvalues = reduction.diagonal;
    Eigen::VectorXd off_diagonal = reduction.off_diagonal;
    if (n > 0) {
        const int order = static_cast<int>(n);
        int info = 0;
        dsterf_(&order, records.eigenvalues.data(), off_diagonal.data(), &info);
        if (info != 0) {
            throw RunFailure("the eigenvalues of the kinship matrix did not converge (LAPACK dsterf code " +
                             std::to_string(info) + ").");
        }
    }
    records.rotation = std::make_shared<DistributedRotation>(std::move(grid), std::move(reduction));
    return records;
}

DistributedPrediction distributed_breeding_values(Logger& logger, const KinshipSource& source,
                                                  const std::vector<std::int64_t>& positions,
                                                  const ReducedKinship& records, const Eigen::VectorXd& w,
                                                  const Eigen::MatrixXd& X, double sigma_a2, double sigma_e2) {
    const auto* rotation = dynamic_cast<const DistributedRotation*>(records.rotation.get());
    if (rotation == nullptr) {
        throw std::invalid_argument("The distributed prediction needs the records' kinship reduced over the ranks.");
    }
    const auto n = static_cast<std::int64_t>(positions.size());
    const auto N = static_cast<std::int64_t>(source.text.ids.size());
    const int ranks = world_size();
    DistributedPrediction prediction;
    prediction.breeding_values.setZero(N);
    prediction.error_variances.setZero(N);
    prediction.genetic_variances.setZero(N);
    const RecordProjection projection(records, X, sigma_a2, sigma_e2);

    // Panels of individuals: K(records, panel) in blocks, rotated by Q' over the ranks, then
    // whole columns to each rank (a 1 x P grid) for the band solves.
    const BlacsGrid& grid = rotation->blacs();
    const BlacsGrid columns_grid(1, ranks);
    const std::int64_t block = rotation->block();
    const std::int64_t width = std::max<std::int64_t>(block, 256 / block * block);
    const auto start = std::chrono::steady_clock::now();
    logger.tee << "👉 Reading the kinship of the " << N << " individuals in panels of " << width
               << " over the ranks..." << std::endl;
    for (std::int64_t first = 0; first < N; first += width) {
        const std::int64_t panel = std::min(width, N - first);
        std::vector<std::int64_t> individuals(static_cast<std::size_t>(panel));
        for (std::int64_t j = 0; j < panel; ++j) {
            individuals[static_cast<std::size_t>(j)] = first + j;
        }
        DistributedMatrix R = agreed([&] { return DistributedMatrix(grid, n, panel, block, block); },
                                     "a panel of the kinship", n, panel);
        agree(attempt([&] { read_kinship_entries(source, positions, individuals, piece_of(R), !source.binary); }));
        // u_i = sum over records a of K(p_a, i) w_a, each rank its entries.
        for (std::int64_t c = 0; c < R.local_cols; ++c) {
            double sum = 0.0;
            for (std::int64_t r = 0; r < R.local_rows; ++r) {
                sum += R.local[static_cast<std::size_t>(r + c * R.local_rows)] * w[R.global_row(r)];
            }
            prediction.breeding_values[first + R.global_col(c)] += sum;
        }
        if (sigma_a2 == 0.0) {
            continue;
        }
        try {
            rotation->apply_in_place(R);
        } catch (const std::bad_alloc&) {  // on every rank alike
            throw RunFailure(memory_message("the rotation's workspace", n, panel));
        }
        DistributedMatrix whole_columns = agreed(
            [&] { return DistributedMatrix(columns_grid, n, panel, std::max<std::int64_t>(n, 1), 1); },
            "a panel of the kinship", n, panel);
        redistribute(R, whole_columns, grid);
        agree(attempt([&] {
            if (whole_columns.local_cols == 0) {
                return;
            }
            const Eigen::Map<const Eigen::MatrixXd> mine(whole_columns.local.data(), n, whole_columns.local_cols);
            const Eigen::VectorXd KPK = projection.quadratic_forms(mine);
            std::vector<std::int64_t> mine_individuals;
            for (std::int64_t c = 0; c < whole_columns.local_cols; ++c) {
                mine_individuals.push_back(first + whole_columns.global_col(c));
            }
            const std::vector<double> diagonal = kinship_diagonal(source, mine_individuals);
            for (std::int64_t c = 0; c < whole_columns.local_cols; ++c) {
                const std::int64_t i = mine_individuals[static_cast<std::size_t>(c)];
                const double genetic = sigma_a2 * diagonal[static_cast<std::size_t>(c)];
                prediction.genetic_variances[i] = genetic;
                prediction.error_variances[i] = error_variance_or_nan(genetic, sigma_a2 * sigma_a2 * KPK[c]);
            }
        }));
    }
    sum_over_ranks(prediction.breeding_values.data(), static_cast<std::size_t>(N));
    sum_over_ranks(prediction.error_variances.data(), static_cast<std::size_t>(N));
    sum_over_ranks(prediction.genetic_variances.data(), static_cast<std::size_t>(N));
    logger.tee << "\tdone in " << elapsed_text(start) << std::endl;
    return prediction;
}

void agree_on_estimate(RemlResult& reml) {
    double values[] = {reml.run.converged ? 1.0 : 0.0, reml.sigma_a2, reml.sigma_e2, reml.h2};
    broadcast_values(values, 4, 0);
    reml.run.converged = values[0] != 0.0;
    reml.sigma_a2 = values[1];
    reml.sigma_e2 = values[2];
    reml.h2 = values[3];
}

#else

bool distributed_mixed_model_available() { return false; }

ReducedKinship distributed_records_reduction(Logger&, const KinshipSource&, const std::vector<std::int64_t>&) {
    throw RunFailure("this build runs REML as one process only (built without MPI or ScaLAPACK).");
}

DistributedPrediction distributed_breeding_values(Logger&, const KinshipSource&, const std::vector<std::int64_t>&,
                                                  const ReducedKinship&, const Eigen::VectorXd&,
                                                  const Eigen::MatrixXd&, double, double) {
    throw RunFailure("this build predicts as one process only (built without MPI or ScaLAPACK).");
}

void agree_on_estimate(RemlResult&) {}

#endif
