// Clocks, the executable's directory, opening and syncing files and the debug channel.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {

namespace {

int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

uint32_t TickCount32() {
    return static_cast<uint32_t>(MonotonicMs());
}

int64_t GetMsTime() {
    return MonotonicMs();
}

void SleepMs(unsigned ms) {
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // Relative sleep resumed with what is left when a signal interrupts it.
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

std::string ExecutableDir() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
        if (n < 0)
            return std::string();
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            break;
        }
        path.resize(path.size() * 2);  // possibly truncated: try again with more room
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return path.substr(0, slash + 1);
}

FILE* OpenFile(const std::string& path, const char* mode) {
    return fopen(path.c_str(), mode);
}

[[noreturn]] void ExitProcessNow(int status) {
    std::quick_exit(status);
}

void DebugOutput(const char* marker) {
    if (!marker || !getenv("VISTREC_DEBUG_OUTPUT"))
        return;
    fputs(marker, stderr);
}

int SyncFileToDisk(const std::string& path) {
    // fdatasync through a descriptor of our own reaches the pages any descriptor of the file
    // (here: FFmpeg's) left in the page cache.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = fdatasync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

}  // namespace platform
}  // namespace vistrec
