#include "log/logger.h"

#include <iostream>
#include <stdexcept>

TeeBuffer::TeeBuffer(std::streambuf* first, std::streambuf* second)
    : first_buf(first), second_buf(second) {}

int TeeBuffer::overflow(int c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return 0;
    }
    const char ch = traits_type::to_char_type(c);
    const int first_result = first_buf->sputc(ch);
    // The second target still gets the character when the first refused it.
    const int second_result = second_buf->sputc(ch);
    if (traits_type::eq_int_type(first_result, traits_type::eof()) ||
        traits_type::eq_int_type(second_result, traits_type::eof())) {
        return traits_type::eof();
    }
    return c;
}

int TeeBuffer::sync() {
    const int first_result = first_buf->pubsync();
    const int second_result = second_buf->pubsync();
    return (first_result == 0 && second_result == 0) ? 0 : -1;
}

// The base is built with the address of a member that is constructed afterwards; the
// ostream only stores the pointer, so this is safe as long as nothing is written before
// `buffer` exists.
TeeStream::TeeStream(std::ostream& first, std::ostream& second)
    : std::ostream(&buffer), buffer(first.rdbuf(), second.rdbuf()) {}

Logger::Logger(const std::string& filename)
    : log_file(filename, std::ios::out), tee(std::cout, log_file) {
    if (!log_file.is_open()) {
        throw std::runtime_error("Unable to open log file: " + filename);
    }
}

void Logger::close() { log_file.close(); }
