#include "OutputCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vistrec_cli {
namespace {

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

std::string ParentFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string CheckOutputWritable(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return Quoted(path) + " is a folder, not a file";
        }
        if (!S_ISREG(info.st_mode)) {
            return Quoted(path) + " is not a regular file";
        }
        // Opened without truncation: the existing content stays as it is until recording.
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return "cannot write " + Quoted(path) + ": " + std::strerror(errno);
        }
        close(fd);
        return "";
    }
    // A missing file, or a path through something that is not a folder: the folder check below
    // names the cause.
    if (errno != ENOENT && errno != ENOTDIR) {
        return "cannot reach " + Quoted(path) + ": " + std::strerror(errno);
    }
    std::string folder = ParentFolder(path);
    if (stat(folder.c_str(), &info) != 0) {
        return "cannot create " + Quoted(path) + ": folder " + Quoted(folder) + ": " +
               std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return "cannot create " + Quoted(path) + ": " + Quoted(folder) + " is not a folder";
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return "cannot create " + Quoted(path) + ": " + std::strerror(errno);
    }
    close(fd);
    unlink(path.c_str());
    return "";
}

int64_t FileSize(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

}  // namespace vistrec_cli
