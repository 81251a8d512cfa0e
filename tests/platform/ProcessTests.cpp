// Clocks, the executable's directory, the debug channel and the "voluMem" level block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {
namespace {

TEST(Clock, TickCountAndMsTimeShareTheMonotonicClockAndSleepWaits) {
    const int64_t before = GetMsTime();
    const uint32_t tick = TickCount32();
    const int64_t after = GetMsTime();
    // The tick counter is the low 32 bits of the same millisecond clock.
    EXPECT_LE(static_cast<uint32_t>(tick - static_cast<uint32_t>(before)),
              static_cast<uint32_t>(after - before));

    const int64_t start = GetMsTime();
    SleepMs(40);
    const int64_t slept = GetMsTime() - start;
    EXPECT_GE(slept, 40);
    EXPECT_LT(slept, 1000);

    const int64_t zeroStart = GetMsTime();
    SleepMs(0);
    EXPECT_LT(GetMsTime() - zeroStart, 50);
}

TEST(Process, ExecutableDirHoldsThisTestProgram) {
    const std::string dir = ExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(access((dir + "platform_tests").c_str(), X_OK), 0) << dir;
}

TEST(Process, DebugOutputOnlyWhenEnabled) {
    unsetenv("VISTREC_DEBUG_OUTPUT");
    ::testing::internal::CaptureStderr();
    DebugOutput("marker-off");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    setenv("VISTREC_DEBUG_OUTPUT", "1", 1);
    ::testing::internal::CaptureStderr();
    DebugOutput("=== start record ===");
    DebugOutput(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "=== start record ===");
    unsetenv("VISTREC_DEBUG_OUTPUT");
}

// The host's side of the level block: creates "/voluMem" of `size` bytes filled with 'x'.
class HostLevelBlock {
  public:
    explicit HostLevelBlock(size_t size) : size_(size) {
        shm_unlink("/voluMem");
        fd_ = shm_open("/voluMem", O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0) {
            view_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
            if (view_ != MAP_FAILED)
                memset(view_, 'x', size);
        }
    }
    ~HostLevelBlock() {
        if (view_ != MAP_FAILED)
            munmap(view_, size_);
        if (fd_ >= 0)
            close(fd_);
        shm_unlink("/voluMem");
    }
    bool ok() const { return view_ != MAP_FAILED; }
    std::string bytes() const { return std::string(static_cast<const char*>(view_), size_); }

  private:
    size_t size_;
    int fd_ = -1;
    void* view_ = MAP_FAILED;
};

TEST(SharedLevelBlock, OpensOnlyTheHostsBlockAndWritesTextWithItsZero) {
    shm_unlink("/voluMem");
    EXPECT_EQ(OpenSharedLevelBlock(), nullptr);
    // Opening must not have created it.
    EXPECT_LT(shm_open("/voluMem", O_RDONLY, 0), 0);

    {
        HostLevelBlock host(8);
        ASSERT_TRUE(host.ok());
        std::unique_ptr<SharedLevelBlock> block = OpenSharedLevelBlock();
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(block->WriteText("57"));
        EXPECT_EQ(host.bytes(), std::string("57\0xxxxx", 8));
        EXPECT_TRUE(block->WriteText("1234567"));  // exactly fills the block with its zero
        EXPECT_EQ(host.bytes(), std::string("1234567\0", 8));
        EXPECT_FALSE(block->WriteText("12345678"));  // no room for the zero: nothing written
        EXPECT_EQ(host.bytes(), std::string("1234567\0", 8));
        EXPECT_FALSE(block->WriteText(nullptr));
    }
    {
        // An empty object (created but not sized yet) cannot take text.
        HostLevelBlock host(0);
        std::unique_ptr<SharedLevelBlock> block = OpenSharedLevelBlock();
        ASSERT_NE(block, nullptr);
        EXPECT_FALSE(block->WriteText("0"));
    }
}

}  // namespace
}  // namespace platform
}  // namespace vistrec
