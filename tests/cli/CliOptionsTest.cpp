// The command line's own rules: its defaults, the value ranges it enforces and region parsing.
#include "CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vistrec_cli;

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args, "test");
}

}  // namespace

TEST(CliOptions, APlainRunRecordsAtTheCommandLinesOwnQuality) {
    struct Case {
        std::vector<std::string> args;
        int fps;
        std::optional<int> crf;  // unset: the --quality level's crf
    };
    const Case cases[] = {
        {{"out.mp4"}, kDefaultFps, kDefaultCrf},
        {{"--fps", "12", "--crf", "30", "out.mp4"}, 12, 30},
        {{"--quality", "2", "out.mp4"}, kDefaultFps, std::nullopt},
        {{"--quality", "2", "--crf", "18", "out.mp4"}, kDefaultFps, 18},
    };
    for (const Case& c : cases) {
        ParseResult r = Parse(c.args);
        ASSERT_EQ(r.status, ParseStatus::Run) << r.text;
        EXPECT_EQ(r.options.fps, c.fps) << r.options.outputFile;
        EXPECT_EQ(r.options.crf, c.crf) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.options.scale, 1.0);
        EXPECT_FALSE(r.options.region);  // the whole screen
    }
}

TEST(CliOptions, ValuesOutsideOurRulesAreRefusedNamingTheOption) {
    struct Case {
        std::vector<std::string> args;
        const char* named;  // what the one-line error must mention
    };
    const Case cases[] = {
        {{"--fps", "1"}, "--fps"},
        {{"--fps", "31"}, "--fps"},
        {{"--fps", "+20"}, "--fps"},
        {{"--fps", "2.5"}, "--fps"},
        {{"--crf", "52"}, "--crf"},
        {{"--crf", "-1"}, "--crf"},
        {{"--quality", "4"}, "--quality"},
        {{"--display", "256"}, "--display"},
        {{"--duration", "0"}, "--duration"},
        {{"--duration", "nan"}, "--duration"},
        {{"--duration", "1e300"}, "--duration"},
        {{"--scale", "1.01"}, "--scale"},
        {{"--scale", "0.05"}, "--scale"},
        {{"--gop", "0"}, "--gop"},
        {{"--mouse-show", "2"}, "--mouse-show"},
        {{"--mouse-size", "401"}, "--mouse-size"},
        {{"--audio-mode", "3"}, "--audio-mode"},
        {{"--window", "0"}, "--window"},
        {{"--window", "0x"}, "--window"},
        {{"--window", "0x20000000"}, "--window"},
        {{"--preset", "ultrafast "}, "--preset"},
        {{"--tune", "speed"}, "--tune"},
        {{"--tune", "zerolatency,"}, "--tune"},
        {{"--tune", "film,grain"}, "only one"},
        {{"--h264", "--audio-mode", "1"}, "--h264"},
        {{"--region", "1,2,3"}, "--region"},
        {{"--region", "1,2,3,4,5"}, "--region"},
        {{"--region", "0,0,3,100"}, "--region"},
        {{"--region", "0,-4,100,100"}, "--region"},
        {{"--region", "0;0;100;100"}, "--region"},
        {{"--region", "2147483600,0,100,100"}, "--region"},
    };
    for (Case c : cases) {
        c.args.push_back("out.mp4");
        ParseResult r = Parse(c.args);
        EXPECT_EQ(r.status, ParseStatus::Error) << ::testing::PrintToString(c.args);
        EXPECT_NE(r.text.find(c.named), std::string::npos) << r.text;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << r.text;
    }
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

TEST(CliOptions, RegionsAndWindowIdsAreReadAsWritten) {
    ParseResult r = Parse({"--region", "8,16,640,480", "--window", "0x1e00007", "out.mp4"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.text;
    ASSERT_TRUE(r.options.region);
    EXPECT_EQ(r.options.region->x, 8);
    EXPECT_EQ(r.options.region->y, 16);
    EXPECT_EQ(r.options.region->width, 640);
    EXPECT_EQ(r.options.region->height, 480);
    EXPECT_EQ(r.options.window, 0x1e00007u);
    r = Parse({"--window", "31457287", "out.mp4"});
    EXPECT_EQ(r.options.window, 31457287u);
}
