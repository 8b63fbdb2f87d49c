#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "files/pending_file.h"

namespace {

std::runtime_error write_error(const std::string& target, int error_number) {
    return std::runtime_error("Error writing " + target + ": " + std::strerror(error_number));
}

// TARGET.part<pid> in the target's folder (a rename across file systems would copy). A long
// file name is cut so that the temporary name stays within the file-name limit; the count keeps
// two cut names of one run (PREFIX.bin, PREFIX.id) apart.
std::string temporary_name(const std::string& target) {
    static int cut_count = 0;
    const std::string suffix = ".part" + std::to_string(::getpid());
    const std::size_t slash = target.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    constexpr std::size_t kNameLimit = 255;
    constexpr std::size_t kKept = 200;
    if (target.size() - name_start + suffix.size() <= kNameLimit) {
        return target + suffix;
    }
    return target.substr(0, name_start + kKept) + suffix + "." + std::to_string(++cut_count);
}

// Holds an exclusive lock on a folder while a set of results is renamed into it, so that two
// runs on one prefix put their file pairs in place one after the other, never interleaved.
class FolderLock {
public:
    explicit FolderLock(const std::string& target) {
        const std::size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() {
        if (fd >= 0) {
            ::close(fd);  // releases the lock
        }
    }

private:
    int fd = -1;
};

void finish_pending_file(PendingFile& file) {
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
}

void rename_pending_file(PendingFile& file) {
    if (!file.temp.empty()) {
        if (std::rename(file.temp.c_str(), file.target.c_str()) != 0) {
            throw write_error(file.target, errno);
        }
        file.temp.clear();
    }
}

void check_rename_target(const std::string& target) {
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        throw std::runtime_error("Error writing " + target + ": it is a folder");
    }
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const long name_limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (name_limit > 0 && name.size() > static_cast<std::size_t>(name_limit)) {
        throw write_error(target, ENAMETOOLONG);
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        throw write_error(target, errno);
    }
}

}  // namespace

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

    const std::string temp = temporary_name(final_name);
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
    finish_pending_file(file);
    rename_pending_file(file);
}

void commit_pending_files(PendingFile& first, PendingFile& second) { commit_pending_files({&first, &second}); }

void commit_pending_files(const std::vector<PendingFile*>& files) {
    for (PendingFile* file : files) {
        finish_pending_file(*file);
    }
    if (files.empty()) {
        return;
    }
    // Every rename must be able to succeed before the first is made: a set half renamed would
    // put new results beside old ones.
    for (const PendingFile* file : files) {
        if (!file->temp.empty()) {
            check_rename_target(file->target);
        }
    }
    const FolderLock lock(files.front()->target);
    for (PendingFile* file : files) {
        rename_pending_file(*file);
    }
}

void write_pending_text(const std::string& target, const std::string& text) {
    PendingFile file = open_pending_file(target, "w");
    if (file.stream == nullptr) {
        throw std::runtime_error("Cannot open output file: " + target + " (" + std::strerror(errno) + ")");
    }
    write_pending(file, text.data(), text.size());
    commit_pending_file(file);
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
