#include "app/model_pipeline.h"

#include <iostream>
#include <ostream>

#include "distributed/distributed.h"
#include "log/failures.h"
#include "log/logger.h"

int run_model_job(const RunOptions& options, Logger& logger, ModelRoute& route, ModelJob job) {
    const MixedModelFiles files = mixed_model_files(options);
    route.at_stage([&] { route.set_up(); });
    if (options.vc_given) {
        if (route.announces_reml_before_given_values()) {
            logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
        }
        route.at_stage([&] { route.take_given(); });
    } else {
        logger.tee << "\n🏃 Start REML analysis!\n" << std::endl;
        bool converged = false;
        route.at_stage([&] { converged = route.estimate(); });
        if (!converged) {
            if (job == ModelJob::reml) {
                return 1;  // the verdict is in the log
            }
            throw RunFailure("without converged variance components there are no breeding values to predict; " +
                             files.values + " was not written.");
        }
    }
    if (job == ModelJob::predict) {
        route.at_stage([&] { route.solve(); });
        logger.tee << route.prediction_heading() << std::endl;
        route.at_stage([&] { route.predict(); });
    }
    std::vector<FixedEffectRow> fixed;
    route.at_stage([&] { fixed = route.fixed_effects(); });
    std::vector<ResultRow> rows;
    route.at_stage([&] { rows = route.variance_rows(); });
    route.at_stage([&] {
        if (world_rank() != 0) {
            return;  // rank 0 writes for all
        }
        if (job == ModelJob::reml && fixed.empty()) {
            save_variances(files, rows);
            return;
        }
        ResultTexts results;
        if (job == ModelJob::predict) {
            route.add_predictions(results, files);
        }
        logger.ensure_written();
        add_variance_file(results, rows, files.variances);
        if (!fixed.empty()) {
            add_fixed_effects_file(results, fixed, files.fixed);
        }
        if (job == ModelJob::reml) {
            write_result_set(results);
            std::cerr << "👏 Variance components were saved in " << files.variances << std::endl;
        } else {
            save_prediction(files, results, route.predicted());
        }
    });
    logger.tee << route.closing_note();
    logger.tee << "\n😊 All finished!\n" << std::endl;
    return 0;
}
