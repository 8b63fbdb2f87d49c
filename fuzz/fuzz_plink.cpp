// A .fam, a .bim and a .bed from the input: the checks of the set, the in-memory decoder and
// G, and the streamed G, which must agree with each other whenever both succeed.
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.h"
#include "genomic/genomic.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int method = 1 + data[0] % 3;
    const double lambda = (data[1] % 5) * 0.5;
    FuzzPieces pieces{data + 2, size - 2};
    const std::uint8_t* fam = nullptr;
    const std::uint8_t* bim = nullptr;
    std::size_t fam_size = 0;
    std::size_t bim_size = 0;
    if (!pieces.take(&fam, &fam_size) || !pieces.take(&bim, &bim_size)) {
        return 0;
    }
    write_fuzz_file("set.fam", fam, fam_size);
    write_fuzz_file("set.bim", bim, bim_size);
    write_fuzz_file("set.bed", pieces.data, pieces.size);
    const std::string prefix = fuzz_scratch_dir() + "/set";

    Eigen::MatrixXd streamed;
    Eigen::MatrixXd in_memory;
    try {
        const BedSet bed = open_bed(prefix, false);
        if (bed.individual_ids.size() > 200 || bed.marker_ids.size() > 2000) {
            return 0;
        }
        streamed = gkin_from_bed(bed, method, lambda);
    } catch (const std::exception&) {
    }
    try {
        const auto [genotypes, individuals, markers] = read_bed(prefix, false);
        in_memory = gkin_cpp(genotypes, method, lambda);
    } catch (const std::exception&) {
    }
    if (streamed.size() > 0 && in_memory.size() > 0) {
        if (streamed.rows() != in_memory.rows()) {
            __builtin_trap();
        }
        const double scale = 1.0 + in_memory.cwiseAbs().maxCoeff();
        if (!((streamed - in_memory).cwiseAbs().maxCoeff() <= 1e-9 * scale)) {
            __builtin_trap();
        }
    }
    return 0;
}
