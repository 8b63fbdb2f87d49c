#pragma once

#include <stdexcept>

// The failure convention: library code throws and never prints or exits; the driver alone
// chooses the channel and the status (report_failure). Any std::exception is reported in the
// log (and on the console); these two go to standard error instead, where users of the
// command line look for a file they gave or a result that could not be created.
struct InputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct OutputFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
