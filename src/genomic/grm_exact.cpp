#include <omp.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#ifdef ZELKORA_HAVE_DNNL
#include <oneapi/dnnl/dnnl.h>
#endif

#include "genomic/genomic.h"
#include "genomic/grm_internal.h"
#include "linear_algebra/huge_pages.h"

namespace {

// Rows of G per product call: the int32 products of a panel against every column before it
// are added into G at once, 256 x n x 4 bytes per thread.
constexpr std::int64_t kPanelRows = 256;

// Dosage bytes of the four individuals in one .bed byte (low bits first; missing -> 0), and
// a mask with bit q set when individual q's call is missing.
struct ByteTables {
    std::uint32_t dosages[256];
    unsigned char missing[256];
    unsigned char missing_count[256];
    ByteTables() {
        for (int byte = 0; byte < 256; ++byte) {
            std::uint32_t packed = 0;
            unsigned char mask = 0;
            for (int q = 0; q < 4; ++q) {
                const int code = (byte >> (2 * q)) & 3;
                const int dosage = GENOTYPE_MAP[code] < 0 ? 0 : GENOTYPE_MAP[code];
                packed |= static_cast<std::uint32_t>(dosage) << (8 * q);
                if (GENOTYPE_MAP[code] < 0) {
                    mask |= static_cast<unsigned char>(1u << q);
                }
            }
            dosages[byte] = packed;
            missing[byte] = mask;
            missing_count[byte] = static_cast<unsigned char>(((mask >> 0) & 1) + ((mask >> 1) & 1) + ((mask >> 2) & 1) +
                                                             ((mask >> 3) & 1));
        }
    }
};
const ByteTables kTables;

constexpr int kGroup = 16;

// out[i] += w[0] x[0][i], then += w[1] x[1][i], ... for the `group` rows x in order, with out
// loaded and stored once. The dosages are 0, 1 or 2, so w x is exact and each step rounds once,
// whether as a fused multiply-add or not: the AVX2 loop and the portable one give the same bits.
void add_scaled_rows_portable(double* out, const std::uint8_t* const* x, const double* w, int group,
                              std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        double v = out[i];
        for (int g = 0; g < group; ++g) {
            v += w[g] * static_cast<double>(x[g][i]);
        }
        out[i] = v;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2,fma"))) void add_scaled_rows_avx2(double* out, const std::uint8_t* const* x,
                                                               const double* w, int group, std::int64_t count) {
    std::int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256d sum0 = _mm256_loadu_pd(out + i);
        __m256d sum1 = _mm256_loadu_pd(out + i + 4);
        __m256d sum2 = _mm256_loadu_pd(out + i + 8);
        __m256d sum3 = _mm256_loadu_pd(out + i + 12);
        for (int g = 0; g < group; ++g) {
            const __m256d weight = _mm256_broadcast_sd(w + g);
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x[g] + i));
            const __m256i low = _mm256_cvtepu8_epi32(bytes);
            const __m256i high = _mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8));
            sum0 = _mm256_fmadd_pd(weight, _mm256_cvtepi32_pd(_mm256_castsi256_si128(low)), sum0);
            sum1 = _mm256_fmadd_pd(weight, _mm256_cvtepi32_pd(_mm256_extracti128_si256(low, 1)), sum1);
            sum2 = _mm256_fmadd_pd(weight, _mm256_cvtepi32_pd(_mm256_castsi256_si128(high)), sum2);
            sum3 = _mm256_fmadd_pd(weight, _mm256_cvtepi32_pd(_mm256_extracti128_si256(high, 1)), sum3);
        }
        _mm256_storeu_pd(out + i, sum0);
        _mm256_storeu_pd(out + i + 4, sum1);
        _mm256_storeu_pd(out + i + 8, sum2);
        _mm256_storeu_pd(out + i + 12, sum3);
    }
    const std::uint8_t* tail[kGroup];
    for (int g = 0; g < group; ++g) {
        tail[g] = x[g] + i;
    }
    add_scaled_rows_portable(out + i, tail, w, group, count - i);
}
#endif

using AddScaledRows = void (*)(double*, const std::uint8_t* const*, const double*, int, std::int64_t);

AddScaledRows choose_add_scaled_rows() {
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        return add_scaled_rows_avx2;
    }
#endif
    return add_scaled_rows_portable;
}
const AddScaledRows add_scaled_rows = choose_add_scaled_rows();

void add_scaled(double* out, const std::uint8_t* x, double weight, std::int64_t count) {
    add_scaled_rows(out, &x, &weight, 1, count);
}

// The missing calls listed by marker (individuals in order, `marker_start` offsets into
// `individuals`) listed again by individual: the markers of each, in marker order.
void index_by_individual(const std::vector<std::int64_t>& marker_start, const std::vector<std::int32_t>& individuals,
                         std::int64_t width, std::vector<std::int64_t>& start, std::vector<std::int32_t>& markers) {
    start.assign(static_cast<std::size_t>(width + 1), 0);
    for (const std::int32_t i : individuals) {
        ++start[static_cast<std::size_t>(i) + 1];
    }
    for (std::int64_t i = 0; i < width; ++i) {
        start[static_cast<std::size_t>(i + 1)] += start[static_cast<std::size_t>(i)];
    }
    markers.resize(static_cast<std::size_t>(start.back()));
    std::vector<std::int64_t> fill(start.begin(), start.end() - 1);
    const std::int64_t block = static_cast<std::int64_t>(marker_start.size()) - 1;
    for (std::int64_t j = 0; j < block; ++j) {
        for (std::int64_t e = marker_start[static_cast<std::size_t>(j)]; e < marker_start[static_cast<std::size_t>(j + 1)];
             ++e) {
            markers[static_cast<std::size_t>(fill[static_cast<std::size_t>(individuals[static_cast<std::size_t>(e)])]++)] =
                static_cast<std::int32_t>(j);
        }
    }
}

// The block's markers decoded into `decoded`: dosage bytes (missing as 0) of the runs'
// individuals, `width` columns in all, and the missing calls listed by marker and by individual.
// No allocation inside the parallel loops.
void decode_markers(const std::vector<const unsigned char*>& markers, const std::vector<IndividualRun>& runs,
                    std::int64_t width, DecodedMarkers& decoded) {
    const std::int64_t block = static_cast<std::int64_t>(markers.size());
    decoded.dosages.resize(static_cast<std::size_t>(block * width));
    decoded.missing_of_marker_start.assign(static_cast<std::size_t>(block + 1), 0);
#pragma omp parallel for schedule(static)
    for (std::int64_t j = 0; j < block; ++j) {
        const unsigned char* bytes = markers[static_cast<std::size_t>(j)];
        std::uint8_t* out = decoded.dosages.data() + j * width;
        std::int64_t missing = 0;
        for (const IndividualRun& run : runs) {
            const std::int64_t full = run.count / 4;
            for (std::int64_t t = 0; t < full; ++t) {
                const unsigned byte = bytes[run.global0 / 4 + t];
                const std::uint32_t packed = kTables.dosages[byte];
                std::memcpy(out + run.local0 + 4 * t, &packed, 4);
                missing += kTables.missing_count[byte];
            }
            for (std::int64_t i = 4 * full; i < run.count; ++i) {
                const std::int64_t g = run.global0 + i;
                const int code = (bytes[g / 4] >> (2 * (g % 4))) & 3;
                out[run.local0 + i] = static_cast<std::uint8_t>(GENOTYPE_MAP[code] < 0 ? 0 : GENOTYPE_MAP[code]);
                missing += GENOTYPE_MAP[code] < 0 ? 1 : 0;
            }
        }
        decoded.missing_of_marker_start[static_cast<std::size_t>(j + 1)] = missing;
    }
    for (std::int64_t j = 0; j < block; ++j) {
        decoded.missing_of_marker_start[static_cast<std::size_t>(j + 1)] +=
            decoded.missing_of_marker_start[static_cast<std::size_t>(j)];
    }
    decoded.missing_individuals.resize(static_cast<std::size_t>(decoded.missing_of_marker_start.back()));
#pragma omp parallel for schedule(static)
    for (std::int64_t j = 0; j < block; ++j) {
        std::int64_t next = decoded.missing_of_marker_start[static_cast<std::size_t>(j)];
        if (next == decoded.missing_of_marker_start[static_cast<std::size_t>(j + 1)]) {
            continue;
        }
        const unsigned char* bytes = markers[static_cast<std::size_t>(j)];
        for (const IndividualRun& run : runs) {
            for (std::int64_t i = 0; i < run.count; i += 4) {
                unsigned mask = kTables.missing[bytes[(run.global0 + i) / 4]];
                if (run.count - i < 4) {
                    mask &= (1u << (run.count - i)) - 1u;  // pairs of individuals past the run
                }
                for (; mask != 0; mask &= mask - 1) {
                    decoded.missing_individuals[static_cast<std::size_t>(next++)] =
                        static_cast<std::int32_t>(run.local0 + i + __builtin_ctz(mask));
                }
            }
        }
    }
    index_by_individual(decoded.missing_of_marker_start, decoded.missing_individuals, width, decoded.missing_start,
                        decoded.missing_markers);
}

// r_k += Σ_j μ_j x_jk over the block's markers in order, then μ_j² for each marker j missing
// at k, in marker order; c += Σ_j μ_j².
void add_row_sums(const DecodedMarkers& decoded, const std::vector<double>& means, std::int64_t width,
                  Eigen::VectorXd& row_sums, double& mean_squares) {
    const std::int64_t block = static_cast<std::int64_t>(means.size());
    constexpr std::int64_t kChunk = 4096;
#pragma omp parallel for schedule(static)
    for (std::int64_t chunk = 0; chunk < width; chunk += kChunk) {
        const std::int64_t count = std::min(kChunk, width - chunk);
        for (std::int64_t j = 0; j < block; ++j) {
            add_scaled(row_sums.data() + chunk, decoded.dosages.data() + j * width + chunk,
                       means[static_cast<std::size_t>(j)], count);
        }
        for (std::int64_t k = chunk; k < chunk + count; ++k) {
            for (std::int64_t e = decoded.missing_start[static_cast<std::size_t>(k)];
                 e < decoded.missing_start[static_cast<std::size_t>(k + 1)]; ++e) {
                const double mean = means[static_cast<std::size_t>(decoded.missing_markers[static_cast<std::size_t>(e)])];
                row_sums[k] += mean * mean;
            }
        }
    }
    for (const double mean : means) {
        mean_squares += mean * mean;
    }
}

// out[b - from] += Σ μ_j x_j[b] over the missing markers of individual k, in groups, in marker
// order, for the individuals b in [from, from + count).
void add_missing_products(const DecodedMarkers& decoded, const std::vector<double>& means, std::int64_t width,
                          std::int64_t k, std::int64_t from, std::int64_t count, double* out) {
    const std::int64_t begin = decoded.missing_start[static_cast<std::size_t>(k)];
    const std::int64_t end = decoded.missing_start[static_cast<std::size_t>(k + 1)];
    const std::uint8_t* rows[kGroup];
    double weights[kGroup];
    for (std::int64_t e = begin; e < end; e += kGroup) {
        const int group = static_cast<int>(std::min<std::int64_t>(kGroup, end - e));
        for (int g = 0; g < group; ++g) {
            const std::int32_t j = decoded.missing_markers[static_cast<std::size_t>(e + g)];
            rows[g] = decoded.dosages.data() + j * width + from;
            weights[g] = means[static_cast<std::size_t>(j)];
        }
        add_scaled_rows(out, rows, weights, group, count);
    }
}

// The terms with M of column k for the individuals a in [from, to): out[a - origin] += the
// products above, then μ_j² for each missing marker j of k where a is missing too.
void add_missing_column(const DecodedMarkers& decoded, const std::vector<double>& means, std::int64_t width,
                        std::int64_t k, std::int64_t from, std::int64_t to, double* out, std::int64_t origin) {
    add_missing_products(decoded, means, width, k, from, to - from, out + (from - origin));
    for (std::int64_t e = decoded.missing_start[static_cast<std::size_t>(k)];
         e < decoded.missing_start[static_cast<std::size_t>(k + 1)]; ++e) {
        const std::int32_t j = decoded.missing_markers[static_cast<std::size_t>(e)];
        const double square = means[static_cast<std::size_t>(j)] * means[static_cast<std::size_t>(j)];
        const std::int32_t* pair_begin =
            decoded.missing_individuals.data() + decoded.missing_of_marker_start[static_cast<std::size_t>(j)];
        const std::int32_t* pair_end =
            decoded.missing_individuals.data() + decoded.missing_of_marker_start[static_cast<std::size_t>(j + 1)];
        for (const std::int32_t* a = std::lower_bound(pair_begin, pair_end, from); a != pair_end && *a < to; ++a) {
            out[*a - origin] += square;
        }
    }
}

[[noreturn]] void fail_products(int status) {
    throw std::runtime_error("The 8-bit products of G failed (oneDNN status " + std::to_string(status) + ").");
}

}  // namespace

TileIndividuals tile_individuals(std::int64_t n_individuals, std::int64_t tile_size,
                                 const std::vector<std::int64_t>& row_blocks,
                                 const std::vector<std::int64_t>& col_blocks) {
    const std::int64_t n_blocks = (n_individuals + tile_size - 1) / tile_size;
    TileIndividuals local;
    local.start_of_block.assign(static_cast<std::size_t>(n_blocks), -1);
    for (std::size_t t = 0; t < row_blocks.size(); ++t) {
        local.start_of_block[static_cast<std::size_t>(row_blocks[t])] = 0;
        local.start_of_block[static_cast<std::size_t>(col_blocks[t])] = 0;
    }
    for (std::int64_t block = 0; block < n_blocks; ++block) {
        if (local.start_of_block[static_cast<std::size_t>(block)] >= 0) {
            const std::int64_t count = std::min(tile_size, n_individuals - block * tile_size);
            local.start_of_block[static_cast<std::size_t>(block)] = local.width;
            local.runs.push_back({block * tile_size, local.width, count});
            local.width += count;
        }
    }
    return local;
}

bool integer_products_available() {
#ifdef ZELKORA_HAVE_DNNL
    const char* forced = std::getenv("ZELKORA_GRM_KERNEL");
    if (forced != nullptr && std::strcmp(forced, "double") == 0) {
        return false;
    }
    // Without AVX2 the library's 8-bit products are emulated and slower than double ones.
    const unsigned isa = static_cast<unsigned>(dnnl_get_effective_cpu_isa());
    return (isa & static_cast<unsigned>(dnnl_cpu_isa_avx2)) == static_cast<unsigned>(dnnl_cpu_isa_avx2);
#else
    return false;
#endif
}

ExactCrossProducts::ExactCrossProducts(std::int64_t first, std::int64_t last)
    : first_(first), last_(last) {
    const std::int64_t rows = last - first;
    lower_.resize(rows, last);
    advise_huge_pages(lower_.data(), static_cast<std::size_t>(lower_.size()) * sizeof(double));
    lower_.setZero();
    if (first > 0) {
        transposed_.resize(last, rows);
        advise_huge_pages(transposed_.data(), static_cast<std::size_t>(transposed_.size()) * sizeof(double));
        transposed_.setZero();
    }
    row_sums_.setZero(last);
}

std::int64_t ExactCrossProducts::block_capacity() const {
    // 8-bit dosages of every individual: 4,096 markers are 12 MB at n = 3,000, and so many
    // that adding the products into G costs next to nothing beside forming them.
    return 4096;
}

inline double* ExactCrossProducts::transposed_column(std::int64_t row) {
    // T(b, row - first) = S(b, row) for b < row. For a run from row 0 the strict upper triangle
    // of the lower-triangle panel is unused and holds it.
    return first_ == 0 ? lower_.col(row).data() : transposed_.col(row - first_).data();
}

void ExactCrossProducts::add_markers(const std::vector<const unsigned char*>& markers, const std::vector<double>& means) {
    if (markers.empty()) {
        return;
    }
    const std::int64_t width = last_;  // individuals decoded: every column of the rows
    decode_markers(markers, {{0, 0, width}}, width, decoded_);
    add_row_sums(decoded_, means, width, row_sums_, mean_squares_);
    add_products(static_cast<std::int64_t>(markers.size()));
    add_missing_terms(means);
}

// lower(rows, columns before them) += X Xᵀ of the block, exact: each panel's int32 products
// are added to G once per block.
void ExactCrossProducts::add_products(std::int64_t block) {
#ifdef ZELKORA_HAVE_DNNL
    const std::int64_t width = last_;
    const std::int64_t rows = last_ - first_;
    const std::int64_t n_panels = (rows + kPanelRows - 1) / kPanelRows;
    bool failed = false;
    int failure_status = 0;
    const std::int64_t panel_values = std::min(kPanelRows, rows) * last_;
    // No more threads (and product buffers) than panels.
    const int threads = static_cast<int>(std::min<std::int64_t>(omp_get_max_threads(), n_panels));
    panel_products_.resize(static_cast<std::size_t>(threads * panel_values));
#pragma omp parallel num_threads(threads)
    {
        std::int32_t* products = panel_products_.data() + omp_get_thread_num() * panel_values;
        // Largest panels (the last rows, with the most columns) first; the library runs on
        // one thread inside each.
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t q = n_panels - 1; q >= 0; --q) {
            const std::int64_t p0 = first_ + q * kPanelRows;
            const std::int64_t p1 = std::min(last_, p0 + kPanelRows);
            const std::int64_t height = p1 - p0;
            // products[col * height + i] = Σ_j x_j[p0 + i] x_j[col], col < p1.
            const std::int32_t no_offset = 0;
            const dnnl_status_t status =
                dnnl_gemm_u8s8s32('T', 'N', 'F', p1, height, block, 1.0f, decoded_.dosages.data(), width, 0,
                                  reinterpret_cast<const std::int8_t*>(decoded_.dosages.data() + p0), width, 0, 0.0f,
                                  products, height, &no_offset);
            if (status != dnnl_success) {
#pragma omp critical
                {
                    failed = true;
                    failure_status = static_cast<int>(status);
                }
                continue;
            }
            add_panel(products, p0, p1);
        }
    }
    if (failed) {
        fail_products(failure_status);
    }
#else
    (void)block;
    throw std::logic_error("G's 8-bit products need a build with oneDNN.");
#endif
}

inline void ExactCrossProducts::add_panel(const std::int32_t* products, std::int64_t p0, std::int64_t p1) {
    const std::int64_t height = p1 - p0;
    for (std::int64_t col = 0; col < p1; ++col) {
        const std::int64_t i0 = std::max<std::int64_t>(0, col - p0);  // rows at or below the diagonal
        double* out = lower_.col(col).data() + (p0 - first_);
        const std::int32_t* in = products + col * height;
        for (std::int64_t i = i0; i < height; ++i) {
            out[i] += static_cast<double>(in[i]);
        }
    }
}

// The mean-imputation terms with M (μ_j at the missing calls): S = X Mᵀ, whose column k is
// Σ_{j missing in k} μ_j x_j, goes to the rows' lower triangle (S(a, k), a ≥ k) and to the
// transposed store (S(b, a), b < a, for the rows a); M Mᵀ, μ_j² for each pair missing at j, to
// the lower triangle. A thread owns whole columns, so the sums of every value run in marker
// order whichever rows a run multiplies.
inline void ExactCrossProducts::add_missing_terms(const std::vector<double>& means) {
    const std::int64_t width = last_;
#pragma omp parallel for schedule(dynamic, 16)
    for (std::int64_t k = 0; k < width; ++k) {
        if (decoded_.missing_start[static_cast<std::size_t>(k)] == decoded_.missing_start[static_cast<std::size_t>(k + 1)]) {
            continue;
        }
        // lower_.col(k)[a - first] = lower_(a - first, k)
        add_missing_column(decoded_, means, width, k, std::max(first_, k), width, lower_.col(k).data(), first_);
        if (k >= first_) {
            add_missing_products(decoded_, means, width, k, 0, k, transposed_column(k));
        }
    }
}

Eigen::MatrixXd ExactCrossProducts::finish() {
    // Z Zᵀ(a, b) = Y Yᵀ(a, b) + c − (r_a + r_b), with Y Yᵀ = lower + the transposed store. In
    // tiles, so that the transposed store is read across its columns within the cache.
    constexpr std::int64_t kTile = 64;
#pragma omp parallel for schedule(dynamic, 1)
    for (std::int64_t tile_b = 0; tile_b < last_; tile_b += kTile) {
        const std::int64_t b_end = std::min(last_, tile_b + kTile);
        for (std::int64_t tile_a = std::max(first_, tile_b); tile_a < last_; tile_a += kTile) {
            const std::int64_t a_end = std::min(last_, tile_a + kTile);
            for (std::int64_t a = tile_a; a < a_end; ++a) {
                const double* transposed = transposed_column(a);
                for (std::int64_t b = tile_b; b < std::min(b_end, a + 1); ++b) {
                    double& value = lower_(a - first_, b);
                    const double sum = a > b ? value + transposed[b] : value;
                    value = (sum + mean_squares_) - (row_sums_[a] + row_sums_[b]);
                }
            }
        }
    }
    transposed_.resize(0, 0);
    return std::move(lower_);
}

ExactTileProducts::ExactTileProducts(std::int64_t n_individuals, std::int64_t tile_size,
                                     std::vector<std::int64_t> row_blocks, std::vector<std::int64_t> col_blocks)
    : n_individuals_(n_individuals),
      tile_size_(tile_size),
      row_blocks_(std::move(row_blocks)),
      col_blocks_(std::move(col_blocks)) {
    if (tile_size_ % 4 != 0 || row_blocks_.size() != col_blocks_.size()) {
        throw std::invalid_argument("Tiles of G need a size that is a multiple of 4 and a column for every row.");
    }
    local_ = tile_individuals(n_individuals_, tile_size_, row_blocks_, col_blocks_);
    for (std::size_t t = 0; t < row_blocks_.size(); ++t) {
        const std::int64_t rows = std::min(tile_size_, n_individuals_ - row_blocks_[t] * tile_size_);
        const std::int64_t cols = std::min(tile_size_, n_individuals_ - col_blocks_[t] * tile_size_);
        lower_.emplace_back(Eigen::MatrixXd::Zero(rows, cols));
        transposed_.emplace_back(Eigen::MatrixXd::Zero(cols, rows));
    }
    row_sums_.setZero(local_.width);
}

void ExactTileProducts::add_markers(const std::vector<const unsigned char*>& markers, const std::vector<double>& means) {
    const std::int64_t block = static_cast<std::int64_t>(markers.size());
    if (block == 0) {
        return;
    }
    const std::int64_t width = local_.width;
    decode_markers(markers, local_.runs, width, decoded_);
    add_row_sums(decoded_, means, width, row_sums_, mean_squares_);

    const std::int64_t n_tiles = static_cast<std::int64_t>(lower_.size());
#ifdef ZELKORA_HAVE_DNNL
    // The integer products of every tile, added once per block.
    const std::int64_t tile_values = tile_size_ * tile_size_;
    // No more threads (and product buffers) than tiles.
    const int threads = static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(omp_get_max_threads(), n_tiles)));
    tile_products_.resize(static_cast<std::size_t>(threads * tile_values));
    bool failed = false;
    int failure_status = 0;
#pragma omp parallel num_threads(threads)
    {
        std::int32_t* products = tile_products_.data() + omp_get_thread_num() * tile_values;
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t t = 0; t < n_tiles; ++t) {
            Eigen::MatrixXd& tile = lower_[static_cast<std::size_t>(t)];
            const std::int64_t height = tile.rows();
            const std::int64_t cols = tile.cols();
            const std::int64_t row_local = local_.start_of_block[static_cast<std::size_t>(row_blocks_[static_cast<std::size_t>(t)])];
            const std::int64_t col_local = local_.start_of_block[static_cast<std::size_t>(col_blocks_[static_cast<std::size_t>(t)])];
            const bool diagonal = row_blocks_[static_cast<std::size_t>(t)] == col_blocks_[static_cast<std::size_t>(t)];
            // products[col * height + i] = Σ_j x_j[row i] x_j[column col].
            const std::int32_t no_offset = 0;
            const dnnl_status_t status =
                dnnl_gemm_u8s8s32('T', 'N', 'F', cols, height, block, 1.0f, decoded_.dosages.data() + col_local, width,
                                  0, reinterpret_cast<const std::int8_t*>(decoded_.dosages.data() + row_local), width,
                                  0, 0.0f, products, height, &no_offset);
            if (status != dnnl_success) {
#pragma omp critical
                {
                    failed = true;
                    failure_status = static_cast<int>(status);
                }
                continue;
            }
            for (std::int64_t col = 0; col < cols; ++col) {
                double* out = tile.col(col).data();
                const std::int32_t* in = products + col * height;
                for (std::int64_t i = diagonal ? col : 0; i < height; ++i) {
                    out[i] += static_cast<double>(in[i]);
                }
            }
        }
    }
    if (failed) {
        fail_products(failure_status);
    }
#else
    throw std::logic_error("G's 8-bit products need a build with oneDNN.");
#endif

    // The terms with M, per tile column and per tile row, each in marker order.
#pragma omp parallel for schedule(dynamic, 1)
    for (std::int64_t t = 0; t < n_tiles; ++t) {
        Eigen::MatrixXd& tile = lower_[static_cast<std::size_t>(t)];
        Eigen::MatrixXd& transposed = transposed_[static_cast<std::size_t>(t)];
        const std::int64_t height = tile.rows();
        const std::int64_t cols = tile.cols();
        const std::int64_t row_local = local_.start_of_block[static_cast<std::size_t>(row_blocks_[static_cast<std::size_t>(t)])];
        const std::int64_t col_local = local_.start_of_block[static_cast<std::size_t>(col_blocks_[static_cast<std::size_t>(t)])];
        const bool diagonal = row_blocks_[static_cast<std::size_t>(t)] == col_blocks_[static_cast<std::size_t>(t)];
        // Column b: Σ μ_j x_j[a] over b's missing markers, then μ_j² where a is missing too.
        for (std::int64_t col = 0; col < cols; ++col) {
            const std::int64_t i0 = diagonal ? col : 0;
            add_missing_column(decoded_, means, width, col_local + col, row_local + i0, row_local + height,
                               tile.col(col).data(), row_local);
        }
        // Row a: Σ μ_j x_j[b] over a's missing markers, for the columns b < a.
        for (std::int64_t i = 0; i < height; ++i) {
            add_missing_products(decoded_, means, width, row_local + i, col_local, diagonal ? i : cols,
                                 transposed.col(i).data());
        }
    }
}

std::vector<Eigen::MatrixXd> ExactTileProducts::finish() {
    const std::int64_t n_tiles = static_cast<std::int64_t>(lower_.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (std::int64_t t = 0; t < n_tiles; ++t) {
        Eigen::MatrixXd& tile = lower_[static_cast<std::size_t>(t)];
        const Eigen::MatrixXd& transposed = transposed_[static_cast<std::size_t>(t)];
        const std::int64_t row_local = local_.start_of_block[static_cast<std::size_t>(row_blocks_[static_cast<std::size_t>(t)])];
        const std::int64_t col_local = local_.start_of_block[static_cast<std::size_t>(col_blocks_[static_cast<std::size_t>(t)])];
        const bool diagonal = row_blocks_[static_cast<std::size_t>(t)] == col_blocks_[static_cast<std::size_t>(t)];
        for (std::int64_t col = 0; col < tile.cols(); ++col) {
            for (std::int64_t i = 0; i < tile.rows(); ++i) {
                if (diagonal && i < col) {
                    tile(i, col) = 0.0;
                    continue;
                }
                double& value = tile(i, col);
                const double sum = diagonal && i == col ? value : value + transposed(col, i);
                value = (sum + mean_squares_) - (row_sums_[row_local + i] + row_sums_[col_local + col]);
            }
        }
        transposed_[static_cast<std::size_t>(t)].resize(0, 0);
    }
    return std::move(lower_);
}
