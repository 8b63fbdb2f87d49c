#include "log/logger.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "log/failures.h"

namespace {

int failure_errno() { return errno != 0 ? errno : EIO; }

}  // namespace

TeeBuffer::TeeBuffer(std::streambuf* first, std::streambuf* second)
    : first_buf(first), second_buf(second) {}

int TeeBuffer::overflow(int c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return 0;
    }
    const char ch = traits_type::to_char_type(c);
    if (first_error == 0) {
        errno = 0;
        if (traits_type::eq_int_type(first_buf->sputc(ch), traits_type::eof())) {
            first_error = failure_errno();
        }
    }
    if (second_error == 0) {
        errno = 0;
        if (traits_type::eq_int_type(second_buf->sputc(ch), traits_type::eof())) {
            second_error = failure_errno();
        }
    }
    // The stream goes bad only when nothing receives the text any more.
    return (first_error != 0 && second_error != 0) ? traits_type::eof() : c;
}

int TeeBuffer::sync() {
    if (first_error == 0) {
        errno = 0;
        if (first_buf->pubsync() != 0) {
            first_error = failure_errno();
        }
    }
    if (second_error == 0) {
        errno = 0;
        if (second_buf->pubsync() != 0) {
            second_error = failure_errno();
        }
    }
    // As in overflow: a flush that reached one target keeps the stream good.
    return (first_error != 0 && second_error != 0) ? -1 : 0;
}

// The base is built with the address of a member that is constructed afterwards; the
// ostream only stores the pointer, so this is safe as long as nothing is written before
// `buffer` exists.
TeeStream::TeeStream(std::ostream& first, std::ostream& second)
    : std::ostream(&buffer), buffer(first.rdbuf(), second.rdbuf()) {}

Logger::Logger(const std::string& filename)
    : name(filename), log_file(filename, std::ios::out), tee(std::cout, log_file), err(std::cerr, log_file) {
    if (!log_file.is_open()) {
        const int error_number = failure_errno();
        throw std::runtime_error("Unable to open log file: " + filename + " (" + std::strerror(error_number) + ")");
    }
}

void Logger::close() {
    if (!log_file.is_open()) {
        return;
    }
    tee.flush();
    err.flush();
    errno = 0;
    log_file.close();
    if (log_file.fail() && close_error == 0) {
        close_error = failure_errno();
    }
}

std::string Logger::write_failure() {
    if (log_file.is_open()) {
        tee.flush();
        err.flush();
    }
    int error_number = tee.tee_buffer().second_error_number();
    if (error_number == 0) {
        error_number = err.tee_buffer().second_error_number();
    }
    if (error_number == 0) {
        error_number = close_error;
    }
    if (error_number == 0) {
        return "";
    }
    return "the log file " + name + " could not be written (" + std::strerror(error_number) +
           "); the run was stopped and no result was replaced. Free space, or choose another --out.";
}

void Logger::ensure_written() {
    const std::string failure = write_failure();
    if (!failure.empty()) {
        throw RunFailure(failure);
    }
}
