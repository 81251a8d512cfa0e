// The host's "voluMem" level block as a POSIX shared memory object.
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {

namespace {

// Name of the object the host creates; the library only ever opens it.
constexpr char kLevelBlockName[] = "/voluMem";

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

class PosixLevelBlock final : public SharedLevelBlock {
  public:
    explicit PosixLevelBlock(int fd) : fd_(fd) {}

    bool WriteText(const char* text) override {
        if (!text || fd_.get() < 0)
            return false;
        struct stat info {};
        if (fstat(fd_.get(), &info) != 0)
            return false;
        const size_t needed = strlen(text) + 1;
        const size_t size = static_cast<size_t>(info.st_size);
        if (info.st_size <= 0 || size < needed)
            return false;
        void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
        if (view == MAP_FAILED)
            return false;
        memcpy(view, text, needed);
        munmap(view, size);
        return true;
    }

  private:
    FileDescriptor fd_;
};

}  // namespace

std::unique_ptr<SharedLevelBlock> OpenSharedLevelBlock() {
    const int fd = shm_open(kLevelBlockName, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixLevelBlock>(fd);
}

}  // namespace platform
}  // namespace vistrec
