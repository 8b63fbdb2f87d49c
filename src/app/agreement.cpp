#include <cstdlib>
#include <stdexcept>
#include <string>

#include "app/agreement.h"
#include "log/failures.h"

namespace {

enum FailureKind { kBuilderText = 0, kRun = 1, kInput = 2, kInputCheck = 3, kOutput = 4 };

}  // namespace

FailureReport report_of(const std::exception& error) {
    FailureReport report;
    report.failed = true;
    report.message = error.what();
    if (dynamic_cast<const InputCheckFailure*>(&error) != nullptr) {
        report.kind = kInputCheck;
    } else if (dynamic_cast<const InputFailure*>(&error) != nullptr) {
        report.kind = kInput;
    } else if (dynamic_cast<const OutputFailure*>(&error) != nullptr) {
        report.kind = kOutput;
    } else if (dynamic_cast<const RunFailure*>(&error) != nullptr) {
        report.kind = kRun;
    } else {
        report.kind = kBuilderText;
    }
    return report;
}

void agree(const FailureReport& local) {
    const FailureReport agreed = agree_on_failure(local);
    if (!agreed.failed) {
        return;
    }
    switch (agreed.kind) {
        case kRun:
            throw RunFailure(agreed.message);
        case kInput:
            throw InputFailure(agreed.message);
        case kInputCheck:
            throw InputCheckFailure(agreed.message);
        case kOutput:
            throw OutputFailure(agreed.message);
        default:
            throw std::runtime_error(agreed.message);
    }
}

bool rank_asked_to_fail(int rank) {
    const char* failing = std::getenv("ZELKORA_TEST_FAILING_RANK");
    return failing != nullptr && std::to_string(rank) == failing;
}
