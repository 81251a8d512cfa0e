// The command line's own rules: option values and regions, the output check, the status line's
// figures and the host's level block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "LevelBlock.h"
#include "OutputCheck.h"
#include "Status.h"
#include "common/TempDir.h"

using namespace vistrec_cli;

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args, "test");
}

// Each case: the option and its value, refused with a one-line error naming the option.
TEST(CliOptions, ValuesOutsideOurRulesAreRefusedNamingTheOption) {
    const char kOptionValue[] = R"(--fps 1  --fps 31  --fps +20  --fps 2.5  --crf 52  --crf -1
        --quality 4  --display 256  --duration 0  --duration nan  --duration 1e300  --scale 1.01
        --scale 0.05  --gop 0  --mouse-show 2  --mouse-size 401  --audio-mode 3  --window 0
        --window 0x  --window 0x20000000  --tune speed  --tune zerolatency,  --region 1,2,3
        --region 1,2,3,4,5  --region 0,0,3,100  --region 0,-4,100,100  --region 0;0;100;100
        --region 2147483600,0,100,100)";
    auto refuses = [](std::vector<std::string> args, const std::string& named) {
        args.push_back("out.mp4");
        ParseResult r = Parse(args);
        EXPECT_EQ(r.status, ParseStatus::Error) << ::testing::PrintToString(args);
        EXPECT_NE(r.text.find(named), std::string::npos) << r.text;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << r.text;
    };
    std::istringstream pairs(kOptionValue);
    for (std::string option, value; pairs >> option >> value;)
        refuses({option, value}, option);
    refuses({"--preset", "ultrafast "}, "--preset");
    refuses({"--tune", "film,grain"}, "only one");
    refuses({"--h264", "--audio-mode", "1"}, "--h264");
}

// Defaults, --crf and regions are checked end to end by cli_record_test.sh; here, how --quality
// and --crf combine.
TEST(CliOptions, QualityLeavesTheCrfToItsLevelUnlessOneIsGiven) {
    EXPECT_EQ(Parse({"--quality", "2", "out.mp4"}).options.crf, std::nullopt);
    EXPECT_EQ(Parse({"--quality", "2", "--crf", "18", "out.mp4"}).options.crf, 18);
}

TEST(CliOptions, OutputNeedsANameWithAWritableExtension) {
    const std::pair<const char*, bool> cases[] = {
        {"a.mp4", true}, {"A.MP4", true},     {"dir.x/b.Mov", true},   {"d.m4v", true},
        {"e.mkv", true}, {"a.avi", false},    {"noext", false},        {".mp4", false},
        {"a.", false},   {"dir/.mp4", false}, {"dir.mp4/file", false}, {"a.mp4.txt", false},
    };
    for (const auto& [name, ok] : cases) {
        ParseResult r = Parse({name});
        EXPECT_EQ(r.status, ok ? ParseStatus::Run : ParseStatus::Error) << name << ": " << r.text;
    }
    EXPECT_NE(Parse({}).text.find("missing output"), std::string::npos);
}

// The output check before a recording: no trace left, and a reason for what cannot be written.
TEST(OutputCheck, UnwritablePathsAreRefusedWithTheReason) {
    vistrec::test::TempDir dir;
    ASSERT_EQ(mkdir(dir.File("sub.mp4").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.File("locked").c_str(), 0555), 0);
    dir.Write("plain", "x");
    ASSERT_EQ(chmod(dir.Write("ro.mp4", "x").c_str(), 0444), 0);
    struct Case {
        std::string path;
        const char* reason;
        bool asRootToo;  // root may write where permissions say no
    };
    const Case cases[] = {{dir.File("sub.mp4"), "is a folder", true},
                          {dir.File("nowhere/x.mp4"), "No such file or directory", true},
                          {dir.File("plain/x.mp4"), "is not a folder", true},
                          {"/dev/null", "not a regular file", true},
                          {dir.File("locked/x.mp4"), "Permission denied", false},
                          {dir.File("ro.mp4"), "Permission denied", false}};
    EXPECT_EQ(CheckOutputWritable(dir.File("new.mp4")), "");
    EXPECT_EQ(FileSize(dir.File("new.mp4")), -1) << "the probe file must be removed";
    for (const Case& c : cases) {
        const std::string error =
            geteuid() == 0 && !c.asRootToo ? c.reason : CheckOutputWritable(c.path);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}

// The status line: recorded time without the pauses, and the published level read only when it
// is one.
TEST(Status, RecordedTimeLeavesPausesOutAndIgnoresRepeatedRequests) {
    using std::chrono::milliseconds;
    const RecordingClock::Clock::time_point t0{};
    RecordingClock clock(t0);
    clock.pause(t0 + milliseconds(2000));
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(3000)), 2000);  // frozen while paused
    clock.pause(t0 + milliseconds(3500));                        // a second pause is ignored
    clock.resume(t0 + milliseconds(4000));
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(5000)), 3000);
    clock.resume(t0 + milliseconds(6000));  // resume while running is ignored
    EXPECT_EQ(clock.recordedMs(t0 + milliseconds(6000)), 4000);
}

TEST(Status, LevelTextIsReadOnlyWhenItIsALevel) {
    const std::pair<std::string, std::optional<int>> cases[] = {
        {std::string("31\0\0\0", 5), 31},  // as the library writes it
        {std::string("100\0", 4), 100},
        {std::string("7\00099", 4), 7},         // left-overs of a longer text after the zero
        {"42", 42},                             // read ended before the zero
        {std::string(16, '\0'), std::nullopt},  // a fresh block
        {"", std::nullopt},
        {"101", std::nullopt},
        {"0100", std::nullopt},
        {"-1", std::nullopt},
        {" 5", std::nullopt},
        {"5x", std::nullopt}};
    for (const auto& [bytes, level] : cases)
        EXPECT_EQ(ParseLevelText(bytes.data(), bytes.size()), level) << bytes;
}

// The host's level block: private, read as the library writes it, removed only by its creator.
// The object's mode and size; mode 0 when there is none.
std::pair<unsigned, size_t> Stat(const std::string& name) {
    struct stat info {};
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    const bool ok = fd >= 0 && fstat(fd, &info) == 0;
    close(fd);
    return {ok ? info.st_mode & 0777 : 0u, ok ? static_cast<size_t>(info.st_size) : 0u};
}
// Writes text and its zero as the library does; with `create`, makes the object as a host.
bool WriteAsLibrary(const std::string& name, const char* text, bool create = false) {
    const int fd = shm_open(name.c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
    const size_t size = std::strlen(text) + 1;
    const bool ok = fd >= 0 && (!create || ftruncate(fd, 64) == 0) &&
                    pwrite(fd, text, size, 0) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

TEST(LevelBlock, TheHostCreatesItsBlockReadsTheLevelAndRemovesOnlyThatObject) {
    // Names of this test process only, so that the test never meets the real "/voluMem".
    const std::string name = "/vistrec-cli-test-" + std::to_string(getpid()), other = name + "-2";
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
    // Another host's block is read, and never removed.
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

}  // namespace
