#pragma once

#include <fstream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

// A stream buffer without a put area that forwards every character to two other buffers,
// so the console and the log file receive the same text in the same order. A target that
// refuses a character is not written to again, and the other keeps receiving everything: a
// full disk must not silence the console, nor a closed console the log.
class TeeBuffer : public std::streambuf {
public:
    TeeBuffer(std::streambuf* first, std::streambuf* second);

    bool first_failed() const { return first_error != 0; }
    bool second_failed() const { return second_error != 0; }
    // errno of the second target's first failure (EIO when the library left none), 0 if none.
    int second_error_number() const { return second_error; }

protected:
    int overflow(int c) override;
    int sync() override;

private:
    std::streambuf* first_buf;   // not owned
    std::streambuf* second_buf;  // not owned
    int first_error = 0;
    int second_error = 0;
};

class TeeStream : public std::ostream {
public:
    TeeStream(std::ostream& first, std::ostream& second);

    const TeeBuffer& tee_buffer() const { return buffer; }

private:
    TeeBuffer buffer;
};

// The run log: standard output mirrored into `filename` (`tee`), and the failures of the run on
// standard error and in the same file (`err`). Member order matters: the file must exist before
// the tees that write into it.
class Logger {
public:
    explicit Logger(const std::string& filename);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void close();

    // Flushes the log; an empty text when every line so far reached the file, otherwise the
    // message that says which file failed and why.
    std::string write_failure();
    // Throws std::runtime_error with `write_failure()` when the log lost a line, so that no
    // result is put in place by a run whose log is incomplete.
    void ensure_written();

    std::string name;
    std::ofstream log_file;
    TeeStream tee;
    TeeStream err;

private:
    int close_error = 0;
};

// A number as the stream writes it by default (6 significant digits), for messages.
inline std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}
