#include "LevelBlock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "Status.h"

namespace vistrec_cli {
namespace {

// Name of the object the owning block created, for UnlinkOwnedForAbandon; null when none.
std::atomic<const char*> g_ownedName{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "the abandon path runs in a signal handler");

std::string ErrorText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

HostLevelBlock::HostLevelBlock(const std::string& name) : name_(name) {
    fd_ = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
        if (ftruncate(fd_, static_cast<off_t>(kLevelBlockSize)) != 0) {
            error_ = ErrorText("cannot size " + name_, errno);
            close(fd_);
            fd_ = -1;
            shm_unlink(name_.c_str());
            return;
        }
        owned_ = true;
        const char* none = nullptr;
        g_ownedName.compare_exchange_strong(none, name_.c_str());
        return;
    }
    if (errno != EEXIST) {
        error_ = ErrorText("cannot create " + name_, errno);
        return;
    }
    // Another host's block: read it, leave it to its owner.
    fd_ = shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = ErrorText("cannot open the existing " + name_, errno);
    }
}

HostLevelBlock::~HostLevelBlock() {
    if (fd_ < 0) {
        return;
    }
    if (owned_) {
        const char* mine = name_.c_str();
        g_ownedName.compare_exchange_strong(mine, nullptr);
        // Remove the name only while it still refers to the object this block created: a
        // process that removed it and made a new one keeps its own.
        struct stat own {};
        int current = shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (current >= 0) {
            struct stat named {};
            if (fstat(fd_, &own) == 0 && fstat(current, &named) == 0 &&
                own.st_dev == named.st_dev && own.st_ino == named.st_ino) {
                shm_unlink(name_.c_str());
            }
            close(current);
        }
    }
    close(fd_);
}

std::optional<int> HostLevelBlock::readLevel() const {
    if (fd_ < 0) {
        return std::nullopt;
    }
    // The library writes at most four bytes ("100" and its zero); read a little more so that a
    // longer foreign text is recognised as such. pread never faults on a shrunken object, as a
    // mapping could.
    char text[16];
    ssize_t n = pread(fd_, text, sizeof text, 0);
    if (n <= 0) {
        return std::nullopt;
    }
    return ParseLevelText(text, static_cast<size_t>(n));
}

void HostLevelBlock::UnlinkOwnedForAbandon() {
    const char* name = g_ownedName.exchange(nullptr);
    if (name != nullptr) {
        shm_unlink(name);
    }
}

}  // namespace vistrec_cli
