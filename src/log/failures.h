#pragma once

#include <stdexcept>

// The failure convention: library code throws and never prints or exits; the driver alone
// chooses the channel, the marker and the status (report_failure). Any std::exception is reported in the
// log (and on the console); these two go to standard error instead, where users of the
// command line look for a file they gave or a result that could not be created.
struct InputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct OutputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An input (a file's content, an option's value) that failed one of the program's own checks,
// named with the place and value: on standard error behind the error marker.
struct InputCheckFailure : InputFailure {
    using InputFailure::InputFailure;
};
// A run that cannot go on once its inputs were read (REML, the reduction of the records'
// kinship, breeding values, a log that lost lines); reported in the log behind the error marker.
struct RunFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
