// The host's level block: created private, read as the library writes it, and removed only
// by the process that created that very object.
#include "LevelBlock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

using namespace vistrec_cli;

namespace {

// A name of this test process only, so that the tests never meet the real "/voluMem".
std::string UniqueName() {
    static int count = 0;
    return "/vistrec-cli-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

bool Exists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

// Writes text and its zero at offset 0 of the object, where the library writes the level.
bool WriteAsLibrary(const std::string& name, const char* text) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) {
        return false;
    }
    const size_t size = std::strlen(text) + 1;
    const bool ok = pwrite(fd, text, size, 0) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

// An object another host made, removed when the test ends.
class OtherHostsObject {
  public:
    OtherHostsObject(const std::string& name, size_t size) : name_(name) {
        int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        created_ = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
        if (fd >= 0) {
            close(fd);
        }
    }
    ~OtherHostsObject() { shm_unlink(name_.c_str()); }
    OtherHostsObject(const OtherHostsObject&) = delete;
    OtherHostsObject& operator=(const OtherHostsObject&) = delete;
    bool created() const { return created_; }

  private:
    std::string name_;
    bool created_ = false;
};

}  // namespace

TEST(LevelBlock, TheHostCreatesTheBlockReadsTheLevelAndRemovesItAtTheEnd) {
    const std::string name = UniqueName();
    {
        HostLevelBlock block(name);
        ASSERT_TRUE(block.isOpen()) << block.error();
        EXPECT_TRUE(block.owned());
        EXPECT_TRUE(block.error().empty());

        // Private to this user and big enough for the library to map.
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        struct stat info {};
        ASSERT_EQ(fstat(fd, &info), 0);
        close(fd);
        EXPECT_EQ(static_cast<size_t>(info.st_size), kLevelBlockSize);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        EXPECT_FALSE(block.readLevel()) << "no level before the library's first write";
        ASSERT_TRUE(WriteAsLibrary(name, "31"));
        EXPECT_EQ(block.readLevel(), 31);
    }
    EXPECT_FALSE(Exists(name));
}

TEST(LevelBlock, AnotherHostsBlockIsReadButNeverRemoved) {
    const std::string name = UniqueName();
    OtherHostsObject other(name, 64);
    ASSERT_TRUE(other.created());
    ASSERT_TRUE(WriteAsLibrary(name, "55"));
    {
        HostLevelBlock block(name);
        ASSERT_TRUE(block.isOpen()) << block.error();
        EXPECT_FALSE(block.owned());
        EXPECT_EQ(block.readLevel(), 55);
        HostLevelBlock::UnlinkOwnedForAbandon();  // owns nothing: removes nothing
        EXPECT_TRUE(Exists(name));
    }
    EXPECT_TRUE(Exists(name));
}

TEST(LevelBlock, OnlyTheObjectTheHostCreatedIsRemoved) {
    // Another process removed the name and made a new object under it: the owner's destructor
    // leaves that one alone, and keeps reading its own.
    const std::string name = UniqueName();
    {
        HostLevelBlock block(name);
        ASSERT_TRUE(block.owned()) << block.error();
        ASSERT_EQ(shm_unlink(name.c_str()), 0);
        OtherHostsObject other(name, 64);
        ASSERT_TRUE(other.created());
        ASSERT_TRUE(WriteAsLibrary(name, "9"));
        EXPECT_FALSE(block.readLevel());
        {
            HostLevelBlock second(name);
            EXPECT_FALSE(second.owned());
            EXPECT_EQ(second.readLevel(), 9);
        }
        EXPECT_TRUE(Exists(name));
    }

    // The abandon path removes the owner's object at once, and only once: a new object made
    // after it survives both a second call and the owner's destructor.
    const std::string abandoned = UniqueName();
    auto block = std::make_unique<HostLevelBlock>(abandoned);
    ASSERT_TRUE(block->owned()) << block->error();
    HostLevelBlock::UnlinkOwnedForAbandon();
    EXPECT_FALSE(Exists(abandoned));
    OtherHostsObject other(abandoned, 64);
    ASSERT_TRUE(other.created());
    HostLevelBlock::UnlinkOwnedForAbandon();
    EXPECT_TRUE(Exists(abandoned));
    block.reset();
    EXPECT_TRUE(Exists(abandoned));
}

TEST(LevelBlock, ANameTheSystemRefusesGivesNoBlockAndSaysWhy) {
    HostLevelBlock block("/vistrec/cli-test");  // a second slash is not allowed
    EXPECT_FALSE(block.isOpen());
    EXPECT_FALSE(block.owned());
    EXPECT_FALSE(block.readLevel());
    EXPECT_NE(block.error().find("/vistrec/cli-test"), std::string::npos) << block.error();
}
