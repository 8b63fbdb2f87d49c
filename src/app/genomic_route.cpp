#include <omp.h>

#include "app/app.h"
#include "genomic/genomic.h"
#include "log/logger.h"

// G from a PLINK genotype set, streamed from the .bed so that the genotypes are never held
// in memory as a whole.
KinshipResult genomic_route(const RunOptions& options, Logger& logger, GenomicLabels* labels) {
    omp_set_num_threads(options.threads);
    BedSet bed = open_bed(options.bed_prefix, true);
    logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << "...\n";
    Eigen::MatrixXd kinship = with_memory_check("G", bed.individual_ids.size(), [&] {
        return gkin_from_bed(bed, options.kin_method, options.kin_lambda,
                             labels != nullptr ? &labels->markers_used : nullptr);
    });
    if (labels != nullptr) {
        labels->family_ids = std::move(bed.family_ids);
    }
    return KinshipResult{std::move(kinship), std::move(bed.individual_ids)};
}
