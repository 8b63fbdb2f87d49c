#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kinship_io/kinship_io.h"

namespace {

std::runtime_error write_error(const std::string& target, int error_number) {
    return std::runtime_error("Error writing " + target + ": " + std::strerror(error_number));
}

}  // namespace

PendingFile::PendingFile(PendingFile&& other) noexcept
    : target(std::move(other.target)), temp(std::move(other.temp)), stream(other.stream) {
    other.stream = nullptr;
    other.temp.clear();
}

PendingFile::~PendingFile() {
    if (stream != nullptr) {
        std::fclose(stream);
    }
    if (!temp.empty()) {
        ::unlink(temp.c_str());
    }
}

PendingFile open_pending_file(const std::string& target, const char* mode) {
    PendingFile file;
    file.target = target;

    std::string final_name = target;
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // Replace the file the link points to, not the link itself.
        char resolved[PATH_MAX];
        if (::realpath(target.c_str(), resolved) != nullptr) {
            final_name = resolved;
        }
    }
    if (::stat(final_name.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        file.stream = std::fopen(final_name.c_str(), mode);
        return file;
    }

    const std::string temp = final_name + ".part" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return file;
    }
    file.stream = ::fdopen(fd, mode);
    if (file.stream == nullptr) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return file;
    }
    file.temp = temp;
    file.target = final_name;
    return file;
}

void write_pending(PendingFile& file, const char* data, std::size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, file.stream) != size) {
        throw write_error(file.target, errno);
    }
}

void commit_pending_file(PendingFile& file) {
    std::FILE* stream = file.stream;
    file.stream = nullptr;
    const bool flushed = std::fflush(stream) == 0 && !std::ferror(stream);
    int error_number = errno;
    const bool closed = std::fclose(stream) == 0;
    if (flushed && !closed) {
        error_number = errno;
    }
    if (!flushed || !closed) {
        throw write_error(file.target, error_number);
    }
    if (!file.temp.empty()) {
        if (std::rename(file.temp.c_str(), file.target.c_str()) != 0) {
            throw write_error(file.target, errno);
        }
        file.temp.clear();
    }
}

void check_writable_ids(const std::vector<std::string>& ids, const std::string& filename) {
    for (const std::string& id : ids) {
        const bool blank = id.empty() || id.find_first_of(" \t\r\n\v\f") != std::string::npos;
        if (blank) {
            throw std::invalid_argument("Cannot write " + filename + ": the ID \"" + id +
                                        "\" is empty or contains white space.");
        }
    }
}
