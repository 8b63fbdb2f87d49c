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

namespace {

// Rows of G per product call: the int32 products of a panel against every column before it
// are added into G at once, 256 x n x 4 bytes per thread.
constexpr std::int64_t kPanelRows = 256;

// Dosage bytes of the four individuals in one .bed byte (low bits first; missing -> 0), and
// a mask with bit q set when individual q's call is missing.
struct ByteTables {
    std::uint32_t dosages[256];
    unsigned char missing[256];
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
        }
    }
};
const ByteTables kTables;

// out[i] += w[0] x[0][i], then += w[1] x[1][i], ... for the `group` (at most kGroup) rows x
// in order: the same roundings as one row at a time, with out loaded and stored once. Compiled
// for several instruction sets; every clone rounds each value the same way (no contraction to
// fused multiply-adds), so the result does not depend on the CPU.
constexpr int kGroup = 8;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void add_scaled_rows(double* __restrict out, const std::uint8_t* const* x, const double* w, int group,
                     std::int64_t count) {
    if (group == kGroup) {
        const std::uint8_t *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3], *x4 = x[4], *x5 = x[5], *x6 = x[6],
                           *x7 = x[7];
        for (std::int64_t i = 0; i < count; ++i) {
            double v = out[i];
            v += w[0] * static_cast<double>(x0[i]);
            v += w[1] * static_cast<double>(x1[i]);
            v += w[2] * static_cast<double>(x2[i]);
            v += w[3] * static_cast<double>(x3[i]);
            v += w[4] * static_cast<double>(x4[i]);
            v += w[5] * static_cast<double>(x5[i]);
            v += w[6] * static_cast<double>(x6[i]);
            v += w[7] * static_cast<double>(x7[i]);
            out[i] = v;
        }
        return;
    }
    for (int g = 0; g < group; ++g) {
        const std::uint8_t* row = x[g];
        const double weight = w[g];
        for (std::int64_t i = 0; i < count; ++i) {
            out[i] += weight * static_cast<double>(row[i]);
        }
    }
}

void add_scaled(double* out, const std::uint8_t* x, double weight, std::int64_t count) {
    add_scaled_rows(out, &x, &weight, 1, count);
}

}  // namespace

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
    lower_.setZero(rows, last);
    if (first > 0) {
        transposed_.setZero(last, rows);
    }
    row_sums_.setZero(last);
}

std::int64_t ExactCrossProducts::block_capacity() const {
    // 8-bit dosages of every individual: 4,096 markers are 12 MB at n = 3,000, and so many
    // that adding the products into G costs next to nothing beside forming them.
    return 4096;
}

double* ExactCrossProducts::transposed_column(std::int64_t row) {
    // T(b, row - first) = S(b, row) for b < row. For a run from row 0 the strict upper triangle
    // of the lower-triangle panel is unused and holds it.
    return first_ == 0 ? lower_.col(row).data() : transposed_.col(row - first_).data();
}

void ExactCrossProducts::add_markers(const std::vector<const unsigned char*>& markers, const std::vector<double>& means) {
    const std::int64_t block = static_cast<std::int64_t>(markers.size());
    if (block == 0) {
        return;
    }
    const std::int64_t width = last_;  // individuals decoded: every column of the rows
    dosages_.resize(static_cast<std::size_t>(block * width));
    missing_of_marker_.resize(static_cast<std::size_t>(block));

    // Decode: dosage bytes (missing as 0) and each marker's missing individuals in order.
#pragma omp parallel for schedule(static)
    for (std::int64_t j = 0; j < block; ++j) {
        const unsigned char* bytes = markers[static_cast<std::size_t>(j)];
        std::uint8_t* out = dosages_.data() + j * width;
        std::vector<std::int32_t>& missing = missing_of_marker_[static_cast<std::size_t>(j)];
        missing.clear();
        const std::int64_t full = width / 4;
        for (std::int64_t t = 0; t < full; ++t) {
            const unsigned byte = bytes[t];
            const std::uint32_t packed = kTables.dosages[byte];
            std::memcpy(out + 4 * t, &packed, 4);
            for (unsigned mask = kTables.missing[byte]; mask != 0; mask &= mask - 1) {
                missing.push_back(static_cast<std::int32_t>(4 * t + __builtin_ctz(mask)));
            }
        }
        for (std::int64_t i = 4 * full; i < width; ++i) {
            const int code = (bytes[i / 4] >> (2 * (i % 4))) & 3;
            out[i] = static_cast<std::uint8_t>(GENOTYPE_MAP[code] < 0 ? 0 : GENOTYPE_MAP[code]);
            if (GENOTYPE_MAP[code] < 0) {
                missing.push_back(static_cast<std::int32_t>(i));
            }
        }
    }

    // The same missing calls by individual: the markers of each, in marker order.
    missing_start_.assign(static_cast<std::size_t>(width + 1), 0);
    for (const std::vector<std::int32_t>& missing : missing_of_marker_) {
        for (const std::int32_t i : missing) {
            ++missing_start_[static_cast<std::size_t>(i) + 1];
        }
    }
    for (std::int64_t i = 0; i < width; ++i) {
        missing_start_[static_cast<std::size_t>(i + 1)] += missing_start_[static_cast<std::size_t>(i)];
    }
    missing_markers_.resize(static_cast<std::size_t>(missing_start_.back()));
    std::vector<std::int64_t> fill(missing_start_.begin(), missing_start_.end() - 1);
    for (std::int64_t j = 0; j < block; ++j) {
        for (const std::int32_t i : missing_of_marker_[static_cast<std::size_t>(j)]) {
            missing_markers_[static_cast<std::size_t>(fill[static_cast<std::size_t>(i)]++)] =
                static_cast<std::int32_t>(j);
        }
    }

    // r_i += Σ_j μ_j x_ij (the missing calls' μ_j² come with the corrections below).
    constexpr std::int64_t kChunk = 4096;
#pragma omp parallel for schedule(static)
    for (std::int64_t chunk = 0; chunk < width; chunk += kChunk) {
        const std::int64_t count = std::min(kChunk, width - chunk);
        for (std::int64_t j = 0; j < block; ++j) {
            add_scaled(row_sums_.data() + chunk, dosages_.data() + j * width + chunk, means[static_cast<std::size_t>(j)],
                       count);
        }
    }
    for (const double mean : means) {
        mean_squares_ += mean * mean;
    }

    add_products(block);
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
#pragma omp parallel
    {
        std::vector<std::int32_t> products;
        // Largest panels (the last rows, with the most columns) first; the library runs on
        // one thread inside each.
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t q = n_panels - 1; q >= 0; --q) {
            const std::int64_t p0 = first_ + q * kPanelRows;
            const std::int64_t p1 = std::min(last_, p0 + kPanelRows);
            const std::int64_t height = p1 - p0;
            // products[col * height + i] = Σ_j x_j[p0 + i] x_j[col], col < p1.
            products.resize(static_cast<std::size_t>(height * p1));
            const std::int32_t no_offset = 0;
            const dnnl_status_t status =
                dnnl_gemm_u8s8s32('T', 'N', 'F', p1, height, block, 1.0f, dosages_.data(), width, 0,
                                  reinterpret_cast<const std::int8_t*>(dosages_.data() + p0), width, 0, 0.0f,
                                  products.data(), height, &no_offset);
            if (status != dnnl_success) {
#pragma omp critical
                {
                    failed = true;
                    failure_status = static_cast<int>(status);
                }
                continue;
            }
            add_panel(products.data(), p0, p1);
        }
    }
    if (failed) {
        throw std::runtime_error("The 8-bit products of G failed (oneDNN status " + std::to_string(failure_status) +
                                 ").");
    }
#else
    (void)block;
    throw std::logic_error("G's 8-bit products need a build with oneDNN.");
#endif
}

void ExactCrossProducts::add_panel(const std::int32_t* products, std::int64_t p0, std::int64_t p1) {
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
// the lower triangle; μ_j² to r_k. A thread owns whole columns, so the sums of every value run
// in marker order whichever rows a run multiplies.
void ExactCrossProducts::add_missing_terms(const std::vector<double>& means) {
    const std::int64_t width = last_;
#pragma omp parallel for schedule(dynamic, 16)
    for (std::int64_t k = 0; k < width; ++k) {
        const std::int64_t begin = missing_start_[static_cast<std::size_t>(k)];
        const std::int64_t end = missing_start_[static_cast<std::size_t>(k + 1)];
        if (begin == end) {
            continue;
        }
        const std::int64_t row0 = std::max(first_, k);
        double* lower = lower_.col(k).data() - first_;  // lower[a] = lower_(a - first, k)
        double* transposed = k >= first_ ? transposed_column(k) : nullptr;
        const std::uint8_t* rows[kGroup];
        const std::uint8_t* shifted[kGroup];
        double weights[kGroup];
        for (std::int64_t e = begin; e < end; e += kGroup) {
            const int group = static_cast<int>(std::min<std::int64_t>(kGroup, end - e));
            for (int g = 0; g < group; ++g) {
                const std::int32_t j = missing_markers_[static_cast<std::size_t>(e + g)];
                rows[g] = dosages_.data() + j * width;
                shifted[g] = rows[g] + row0;
                weights[g] = means[static_cast<std::size_t>(j)];
            }
            add_scaled_rows(lower + row0, shifted, weights, group, width - row0);
            if (transposed != nullptr) {
                add_scaled_rows(transposed, rows, weights, group, k);
            }
        }
        for (std::int64_t e = begin; e < end; ++e) {
            const std::int32_t j = missing_markers_[static_cast<std::size_t>(e)];
            const double square = means[static_cast<std::size_t>(j)] * means[static_cast<std::size_t>(j)];
            const std::vector<std::int32_t>& pair = missing_of_marker_[static_cast<std::size_t>(j)];
            for (auto a = std::lower_bound(pair.begin(), pair.end(), row0); a != pair.end(); ++a) {
                lower[*a] += square;
            }
            row_sums_[k] += square;
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
