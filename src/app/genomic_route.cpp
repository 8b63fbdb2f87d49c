#include <omp.h>

#include <iomanip>
#include <new>
#include <sstream>
#include <stdexcept>

#include "app/app.h"
#include "app/genotype_checks.h"
#include "genomic/genomic.h"
#include "log/failures.h"
#include "log/logger.h"

// G from a PLINK genotype set, streamed from the .bed so that the genotypes are never held
// in memory as a whole.
KinshipResult genomic_route(const RunOptions& options, Logger& logger, GenomicLabels* labels) {
    omp_set_num_threads(options.threads);
    FilteredGenotypes genotypes = read_filtered_genotypes(options, logger);
    BedSet& bed = genotypes.bed;
    logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << "...\n";
    MarkerOutcome outcome;
    Eigen::MatrixXd kinship = with_memory_check("G", bed.individual_ids.size(), [&] {
        return gkin_cpp(bed, options.kin_method, options.kin_lambda, &outcome, nullptr, console_lines());
    });
    finish_genotype_filters(genotypes, outcome, options, logger, options.out_prefix);
    report_whole_g(kinship, bed.individual_ids, options, logger);
    if (labels != nullptr) {
        labels->family_ids = std::move(bed.family_ids);
        labels->markers_used = outcome.markers_used;
    }
    return KinshipResult{std::move(kinship), std::move(bed.individual_ids)};
}

KinshipPart genomic_part_route(const RunOptions& options, Logger& logger) {
    omp_set_num_threads(options.threads);
    FilteredGenotypes genotypes = read_filtered_genotypes(options, logger);
    const BedSet& bed = genotypes.bed;
    const std::int64_t n_individuals = static_cast<std::int64_t>(bed.individual_ids.size());
    if (options.kin_parts > n_individuals) {
        throw RunFailure("Invalid argument for --kin-parts - " + std::to_string(options.kin_parts) +
                                 " is more than the " + std::to_string(n_individuals) + " individuals of " +
                                 bed.fam_path + "; every part needs a row of G, so give at most " +
                                 std::to_string(n_individuals) + " parts.");
    }
    const RowRange rows = kinship_part_rows(n_individuals, options.kin_parts, options.kin_part);
    const std::int64_t values = rows.last * (rows.last + 1) / 2 - rows.first * (rows.first + 1) / 2;
    logger.tee << "👉 Calculating genomic relationship matrix using method " << options.kin_method << ", part "
               << options.kin_part << " of " << options.kin_parts << ": rows " << rows.first + 1 << " to "
               << rows.last << " of " << n_individuals << " (" << values << " of "
               << n_individuals * (n_individuals + 1) / 2 << " values)...\n";
    KinshipPart part;
    MarkerOutcome outcome;
    try {
        part.rows = gkin_cpp(bed, options.kin_method, options.kin_lambda, &outcome, &rows, console_lines());
    } catch (const std::bad_alloc&) {
        const int bytes = kinship_block_bytes_per_value(options.kin_method, rows);
        std::ostringstream message;
        message << "not enough memory for part " << options.kin_part << " of G: its rows " << rows.first + 1
                << " to " << rows.last << " need " << std::setprecision(3)
                << bytes * static_cast<double>(rows.last - rows.first) * static_cast<double>(rows.last) / 1e9
                << " GB for the " << rows.last - rows.first << " x " << rows.last << " block (" << bytes
                << " bytes per value). Split G into more parts (--kin-parts).";
        throw RunFailure(message.str());
    }
    // Every part removes the same; each writes its own list, named as its files are.
    finish_genotype_filters(genotypes, outcome, options, logger,
                            options.out_prefix + ".part_" + std::to_string(options.kin_parts) + "_" +
                                std::to_string(options.kin_part));
    part.ids.assign(bed.individual_ids.begin() + rows.first, bed.individual_ids.begin() + rows.last);
    part.first_row = rows.first;
    part.n_individuals = n_individuals;
    return part;
}
