#include <chrono>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <omp.h>

#include "app/app.h"
#include "distributed/distributed.h"
#include "genomic/genomic.h"
#include "kinship_io/kinship_io.h"
#include "log/failures.h"
#include "log/logger.h"

std::string memory_message(const char* matrix_name, std::size_t n_individuals) {
    const double gigabytes = 8.0 * static_cast<double>(n_individuals) * static_cast<double>(n_individuals) / 1e9;
    std::ostringstream message;
    message << "not enough memory for " << matrix_name << ": " << n_individuals << " individuals need "
            << std::setprecision(3) << gigabytes << " GB for the " << n_individuals << " x " << n_individuals
            << " matrix alone (8 bytes per value). Run on a machine with more memory, or on fewer individuals.";
    return message.str();
}

namespace {

int run_kinship_here(const RunOptions& options, Logger& logger) {
    const auto start = std::chrono::system_clock::now();
    const std::string output_name = options.out_prefix + ".kinship.txt";
    try {
        if (options.kin_parts_given) {
            const KinshipPart part = genomic_part_route(options, logger);
            logger.ensure_written();
            const std::string base = options.out_prefix + ".part_" + std::to_string(options.kin_parts) + "_" +
                                     std::to_string(options.kin_part);
            write_kinship_rows(base, part.rows, part.first_row, part.ids, true);
            logger.tee << "👏 Part " << options.kin_part << " of " << options.kin_parts
                       << " of the kinship matrix written to " << base << ".bin and " << base << ".id." << std::endl;
            const std::chrono::duration<double> elapsed = std::chrono::system_clock::now() - start;
            std::cout << "Run times: " << elapsed.count() << " 秒" << std::endl;
            return 0;
        }
        if (options.kin_inverse) {
            omp_set_num_threads(options.threads);
            RelationshipInverse relationships = relationship_inverse_route(options, logger);
            logger.ensure_written();
            // The groups' rows follow the individuals', named by their codes.
            relationships.ids.insert(relationships.ids.end(), relationships.group_names.begin(),
                                     relationships.group_names.end());
            write_inverse_triplets(options.out_prefix, relationships.inverse, relationships.ids);
            logger.tee << "👏 Inverse of " << (options.bedfile_given ? "H" : "A") << " written to "
                       << options.out_prefix << ".inverse.txt and " << options.out_prefix << ".inverse.id\n"
                       << "\n😊 All finished!\n" << std::endl;
            const std::chrono::duration<double> elapsed = std::chrono::system_clock::now() - start;
            std::cout << "Run times: " << elapsed.count() << " 秒" << std::endl;
            return 0;
        }
        GenomicLabels labels;
        const auto [kinship, ids] = options.bedfile_given && !options.pedigree_given ? genomic_route(options, logger, &labels)
                                    : options.pedigree_given && !options.bedfile_given ? pedigree_route(options, logger)
                                                                                       : single_step_route(options, logger);
        logger.ensure_written();
        if (options.kin_gcta) {
            write_gcta_grm(options.out_prefix, kinship, labels.family_ids, ids,
                           static_cast<double>(labels.markers_used));
            logger.tee << "👏 Kinship matrix written to " << options.out_prefix << ".grm.bin, " << options.out_prefix
                       << ".grm.id and " << options.out_prefix << ".grm.N.bin." << std::endl;
        }
        if (options.kin_bin) {
            WriteGRMBin(options.out_prefix, kinship, ids, true, 4);
            logger.tee << "👏 Kinship matrix written to binary files." << std::endl;
        } else if (!options.kin_gcta) {  // the files of --kin-gcta replace the text file
            write_kinship_matrix(kinship, ids, output_name);
            logger.tee << "👏 Kinship matrix written to " << output_name << "\n"
                       << "\n😊 All finished!\n" << std::endl;
        }
    } catch (const std::exception& error) {
        return report_failure(error, logger);
    }
    const std::chrono::duration<double> elapsed = std::chrono::system_clock::now() - start;
    std::cout << "Run times: " << elapsed.count() << " 秒" << std::endl;
    return 0;
}

}  // namespace

int run_kinship(const RunOptions& options, Logger& logger) {
    // Before any file is read: a method G does not have would otherwise be found only after the
    // whole .bed had been read.
    if (options.bedfile_given && !is_kinship_method(options.kin_method)) {
        return report_failure(std::invalid_argument("Invalid kinship method!"), logger);
    }
    if (world_size() == 1) {
        return run_kinship_here(options, logger);
    }
    if (!options.pedigree_given) {
        return run_distributed_kinship(options, logger);
    }
    // A and H are formed by one process for now; the ranks end with its status.
    logger.tee << "👉 " << (options.bedfile_given ? "H (A and G combined)" : "A (from the pedigree)")
               << " is computed on rank 0 alone, as in one process; the other " << world_size() - 1
               << " ranks wait for it." << std::endl;
    return status_of_first_rank(world_rank() == 0 ? run_kinship_here(options, logger) : 0);
}
