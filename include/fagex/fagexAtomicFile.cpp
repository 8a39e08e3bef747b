#include "fagex/fagexAtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fagex {

namespace {

std::atomic<unsigned> gTempCounter{0};

void setError(std::string* error, const std::string& what, const std::string& path, int err) {
    if (error) *error = what + " '" + path + "': " + std::strerror(err);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& data, std::string* error,
                         RenameFunction renameFn) {
    if (path.empty()) {
        if (error) *error = "empty file name";
        return false;
    }
    // A name unique to this process and call, so concurrent saves of one file
    // never write into each other's temporary file.
    const std::string temp = path + ".tmp" + std::to_string(static_cast<long>(::getpid())) + "_" +
                             std::to_string(gTempCounter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error, "cannot create", temp, errno);
        return false;
    }
    // The replacement keeps the permissions of the file it replaces.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
    if (!writeAll(fd, data) || ::fsync(fd) != 0) {
        setError(error, "cannot write", temp, errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        setError(error, "cannot close", temp, errno);
        ::unlink(temp.c_str());
        return false;
    }
    const int rc = renameFn ? renameFn(temp.c_str(), path.c_str()) : std::rename(temp.c_str(), path.c_str());
    if (rc != 0) {
        setError(error, "cannot replace", path, errno);
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; failing here leaves a correct file.
    const int dirFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace fagex
