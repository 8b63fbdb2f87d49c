#pragma once

// The ranks of a distributed run end together: each local step runs under `attempt`, and
// `agree` makes every rank throw the first failure of any rank, so that all end with status 1
// and rank 0 reports the message once, through the channel a single process would use.

#include <exception>

#include "distributed/distributed.h"

FailureReport report_of(const std::exception& error);
// Collective: throws, on every rank, the failure of the lowest rank that failed.
void agree(const FailureReport& local);

// Runs `step` on this rank and turns its exception into this rank's report.
template <typename Step>
FailureReport attempt(Step step) {
    try {
        step();
    } catch (const std::exception& error) {
        return report_of(error);
    }
    return FailureReport{};
}

// ZELKORA_TEST_FAILING_RANK=r makes rank r run out of memory for its share of the work, so that
// the tests can check that one rank's failure ends every rank.
bool rank_asked_to_fail(int rank);
