// The host's level block: private, read as the library writes it, removed only by its creator.
#include "LevelBlock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

using namespace vistrec_cli;

// A name of this test process only, so that the tests never meet the real "/voluMem".
static std::string UniqueName() {
    static int count = 0;
    return "/vistrec-cli-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}
// The object's mode and size; mode 0 when there is none.
static std::pair<unsigned, size_t> Stat(const std::string& name) {
    struct stat info {};
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    const bool ok = fd >= 0 && fstat(fd, &info) == 0;
    close(fd);
    return {ok ? info.st_mode & 0777 : 0u, ok ? static_cast<size_t>(info.st_size) : 0u};
}
// Writes text and its zero as the library does; with `create`, makes the object as a host.
static bool WriteAsLibrary(const std::string& name, const char* text, bool create = false) {
    const int fd = shm_open(name.c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
    const size_t size = std::strlen(text) + 1;
    const bool ok = fd >= 0 && (!create || ftruncate(fd, 64) == 0) &&
                    pwrite(fd, text, size, 0) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

TEST(LevelBlock, TheHostCreatesTheBlockReadsTheLevelAndRemovesItAtTheEnd) {
    const std::string name = UniqueName();
    {
        HostLevelBlock block(name);
        ASSERT_TRUE(block.isOpen()) << block.error();
        EXPECT_TRUE(block.owned());
        // Private to this user and big enough for the library to map.
        EXPECT_EQ(Stat(name), std::make_pair(0600u, kLevelBlockSize));
        EXPECT_FALSE(block.readLevel()) << "no level before the library's first write";
        ASSERT_TRUE(WriteAsLibrary(name, "31"));
        EXPECT_EQ(block.readLevel(), 31);
    }
    EXPECT_EQ(Stat(name).first, 0u);
}

TEST(LevelBlock, OnlyTheObjectTheHostCreatedIsRemoved) {
    // Another host's block is read, and never removed.
    const std::string other = UniqueName();
    ASSERT_TRUE(WriteAsLibrary(other, "55", true));
    {
        HostLevelBlock block(other);
        EXPECT_FALSE(block.owned());
        EXPECT_EQ(block.readLevel(), 55);
        HostLevelBlock::UnlinkOwnedForAbandon();  // owns nothing: removes nothing
    }
    EXPECT_NE(Stat(other).first, 0u);
    shm_unlink(other.c_str());
    // Another process replaced the name: the owner's destructor leaves that object alone.
    const std::string name = UniqueName();
    {
        HostLevelBlock block(name);
        ASSERT_TRUE(block.owned()) << block.error();
        ASSERT_EQ(shm_unlink(name.c_str()), 0);
        ASSERT_TRUE(WriteAsLibrary(name, "9", true));
        EXPECT_FALSE(block.readLevel());
    }
    EXPECT_NE(Stat(name).first, 0u);
    shm_unlink(name.c_str());
    // The abandon path removes the owner's object at once and only once.
    auto block = std::make_unique<HostLevelBlock>(name);
    ASSERT_TRUE(block->owned()) << block->error();
    HostLevelBlock::UnlinkOwnedForAbandon();
    EXPECT_EQ(Stat(name).first, 0u);
    ASSERT_TRUE(WriteAsLibrary(name, "9", true));
    HostLevelBlock::UnlinkOwnedForAbandon();
    block.reset();
    EXPECT_NE(Stat(name).first, 0u);
    shm_unlink(name.c_str());
    HostLevelBlock refused("/vistrec/cli-test");  // a second slash is not allowed
    EXPECT_FALSE(refused.isOpen() || refused.owned() || refused.readLevel());
    EXPECT_NE(refused.error().find("/vistrec/cli-test"), std::string::npos) << refused.error();
}
