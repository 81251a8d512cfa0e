// The command line's own rules: the value ranges it enforces and region parsing.
#include "CliOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace vistrec_cli;

static ParseResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args, "test");
}

// Defaults are checked end to end by cli_record_test.sh; here, how --quality and --crf combine.
TEST(CliOptions, QualityLeavesTheCrfToItsLevelUnlessOneIsGiven) {
    EXPECT_EQ(Parse({"--quality", "2", "out.mp4"}).options.crf, std::nullopt);
    EXPECT_EQ(Parse({"--quality", "2", "--crf", "18", "out.mp4"}).options.crf, 18);
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
    const auto& g = *r.options.region;
    EXPECT_EQ(std::make_tuple(g.x, g.y, g.width, g.height, r.options.window),
              std::make_tuple(8, 16, 640, 480, 0x1e00007u));
    EXPECT_EQ(Parse({"--window", "31457287", "out.mp4"}).options.window, 31457287u);
}
