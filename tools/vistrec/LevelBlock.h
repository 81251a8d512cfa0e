// The host's side of the library's sound-level block: a POSIX shared memory object the host
// creates, the library opens and writes the level into, and the host reads for its meter.
#ifndef VISTREC_CLI_LEVELBLOCK_H
#define VISTREC_CLI_LEVELBLOCK_H

#include <cstddef>
#include <optional>
#include <string>

namespace vistrec_cli {

// The name under which the library looks for the block.
constexpr char kLevelBlockName[] = "/voluMem";
// Size the host gives the block; the library writes at most 16 bytes at its start.
constexpr size_t kLevelBlockSize = 4096;

// Creates the object `name` (owner) or, when another process already has one of that name,
// opens that one read-only (not owner). The owner removes the object when destroyed, unless
// the name meanwhile refers to another object; a non-owner never removes it.
class HostLevelBlock {
  public:
    explicit HostLevelBlock(const std::string& name = kLevelBlockName);
    ~HostLevelBlock();
    HostLevelBlock(const HostLevelBlock&) = delete;
    HostLevelBlock& operator=(const HostLevelBlock&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool owned() const { return owned_; }
    const std::string& name() const { return name_; }
    // Why the block is not open, or empty.
    const std::string& error() const { return error_; }

    // The level the library last wrote; none before its first write or when not open.
    std::optional<int> readLevel() const;

    // Removes the object of the owning block (if any) at once, for a process that is about to
    // end without running destructors. Only touches a lock-free atomic and calls shm_unlink,
    // so it may be called from a signal handler.
    static void UnlinkOwnedForAbandon();

  private:
    std::string name_;
    int fd_ = -1;
    bool owned_ = false;
    std::string error_;
};

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_LEVELBLOCK_H
