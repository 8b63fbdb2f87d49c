// A .fam, a .bim and a .bed from the input: the checks of the set and G, which must follow the
// plain formula on the longhand decoding whenever it succeeds.
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.h"
#include "genomic/genomic.h"
#include "genomic/textbook_grm.h"

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
    std::size_t n_individuals = 0;
    std::size_t n_markers = 0;
    try {
        const BedSet bed = read_bed(prefix, false);
        n_individuals = bed.individual_ids.size();
        n_markers = bed.marker_ids.size();
        if (n_individuals > 200 || n_markers > 2000) {
            return 0;
        }
        streamed = gkin_cpp(bed, method, lambda);
    } catch (const std::exception&) {
        return 0;
    }
    // A set that was read must decode longhand, and its G follow the plain formula.
    const std::string bed_bytes(reinterpret_cast<const char*>(pieces.data), pieces.size);
    const Eigen::MatrixXd reference =
        textbook_grm(decode_bed(bed_bytes, static_cast<int>(n_individuals), static_cast<int>(n_markers)), method, lambda);
    if (streamed.rows() != reference.rows()) {
        __builtin_trap();
    }
    const double scale = 1.0 + reference.cwiseAbs().maxCoeff();
    if (!((streamed - reference).cwiseAbs().maxCoeff() <= 1e-9 * scale)) {
        __builtin_trap();
    }
    return 0;
}
