#pragma once

#include <stdexcept>

// The failure convention: library code throws and never prints or exits; the driver alone
// reports a failure (report_failure: standard error and the log) with its marker and status.
// These types say what failed; the readers' and writers' fixed texts stand without the marker.
struct InputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct OutputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An input (a file's content, an option's value) that failed one of the program's own checks,
// named with the place and value: reported behind the error marker.
struct InputCheckFailure : InputFailure {
    using InputFailure::InputFailure;
};
// A run that cannot go on once its inputs were read (REML, the reduction of the records'
// kinship, breeding values, a log that lost lines); reported behind the error marker.
struct RunFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
