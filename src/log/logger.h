#pragma once

#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

// A stream buffer without a put area that forwards every character to two other buffers,
// so the console and the log file receive the same text in the same order.
class TeeBuffer : public std::streambuf {
public:
    TeeBuffer(std::streambuf* first, std::streambuf* second);

protected:
    int overflow(int c) override;
    int sync() override;

private:
    std::streambuf* first_buf;   // not owned
    std::streambuf* second_buf;  // not owned
};

class TeeStream : public std::ostream {
public:
    TeeStream(std::ostream& first, std::ostream& second);

private:
    TeeBuffer buffer;
};

// The run log: standard output mirrored into `filename`. Member order matters: the file
// must exist before the tee that writes into it.
class Logger {
public:
    explicit Logger(const std::string& filename);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void close();

    std::ofstream log_file;
    TeeStream tee;
};
