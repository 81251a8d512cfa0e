#include "CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vistrec_cli;

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args);
}

// Parses arguments that must be refused and returns the error text.
std::string ErrorOf(std::vector<std::string> args) {
    ParseResult r = ParseCommandLine(args);
    EXPECT_EQ(r.status, ParseStatus::Error) << "accepted: " << ::testing::PrintToString(args);
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "error spans lines: " << r.error;
    return r.error;
}

}  // namespace

TEST(CliOptions, OutputAloneGivesTheDocumentedDefaults) {
    ParseResult r = Parse({"out.mp4"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.outputFile, "out.mp4");
    EXPECT_FALSE(o.durationSeconds);
    EXPECT_EQ(o.fps, 20);
    EXPECT_FALSE(o.fpsGiven);
    EXPECT_FALSE(o.quality);
    EXPECT_FALSE(o.region);
    EXPECT_FALSE(o.display);
    EXPECT_FALSE(o.followTarget);
    EXPECT_FALSE(o.scale);  // the library keeps its own 0.75
    EXPECT_EQ(o.preset, "ultrafast");
    EXPECT_EQ(o.tune, "zerolatency");
    EXPECT_FALSE(o.gopSize);
    EXPECT_EQ(o.mouseShow, 1);
    EXPECT_EQ(o.mouseSizePercent, 100);
    EXPECT_FALSE(o.h264Only);
    EXPECT_EQ(o.audioMode, 1);  // microphone and playback mixed, as the library starts
    EXPECT_FALSE(o.audioModeGiven);
    EXPECT_EQ(o.window, 0u);
    EXPECT_FALSE(o.quiet);
    EXPECT_FALSE(o.verbose);
}

TEST(CliOptions, EveryOptionIsStoredInBothSpellings) {
    ParseResult r = Parse({"--duration",
                           "2.5",
                           "--fps=30",
                           "--quality",
                           "3",
                           "--region",
                           "8,16,640,480",
                           "--display=2",
                           "--follow-target",
                           "--scale",
                           "1",
                           "--preset=veryfast",
                           "--tune",
                           "film,zerolatency",
                           "--gop",
                           "48",
                           "--mouse-show=0",
                           "--mouse-size",
                           "150",
                           "--audio-mode=2",
                           "--window=0x1e00007",
                           "-q",
                           "clip.MKV"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.outputFile, "clip.MKV");
    EXPECT_DOUBLE_EQ(*o.durationSeconds, 2.5);
    EXPECT_EQ(o.fps, 30);
    EXPECT_TRUE(o.fpsGiven);
    EXPECT_EQ(*o.quality, 3);
    ASSERT_TRUE(o.region);
    EXPECT_EQ(o.region->x, 8);
    EXPECT_EQ(o.region->y, 16);
    EXPECT_EQ(o.region->width, 640);
    EXPECT_EQ(o.region->height, 480);
    EXPECT_EQ(*o.display, 2);
    EXPECT_TRUE(o.followTarget);
    EXPECT_DOUBLE_EQ(*o.scale, 1.0);
    EXPECT_EQ(o.preset, "veryfast");
    EXPECT_EQ(o.tune, "film,zerolatency");
    EXPECT_EQ(*o.gopSize, 48);
    EXPECT_EQ(o.mouseShow, 0);
    EXPECT_EQ(o.mouseSizePercent, 150);
    EXPECT_EQ(o.audioMode, 2);
    EXPECT_TRUE(o.audioModeGiven);
    EXPECT_EQ(o.window, 0x1e00007u);
    EXPECT_TRUE(o.quiet);

    // Decimal window ids and the range ends of each numeric option are accepted too.
    r = Parse({"--window", "31457287", "--fps", "2", "--quality", "0", "--display", "0", "--scale",
               "0.1", "--gop", "1", "--mouse-size", "10", "--duration", "1e-3", "--audio-mode", "0",
               "a.mov"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    EXPECT_EQ(r.options.audioMode, 0);
    EXPECT_EQ(r.options.window, 31457287u);
    EXPECT_EQ(r.options.fps, 2);
    EXPECT_EQ(*r.options.display, 0);
    r = Parse({"--fps", "30", "--quality", "3", "--display", "255", "--gop", "1000", "--mouse-size",
               "400", "a.m4v"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
}

TEST(CliOptions, NumbersOutsideTheirRangeOrMalformedAreRefusedWithTheOptionNamed) {
    const std::vector<std::vector<std::string>> bad = {
        {"--fps", "1"},          {"--fps", "31"},         {"--fps", "2.5"},
        {"--fps", "abc"},        {"--fps", ""},           {"--fps", "+20"},
        {"--fps", " 20"},        {"--fps", "20x"},        {"--fps", "99999999999"},
        {"--quality", "4"},      {"--quality", "-1"},     {"--display", "-1"},
        {"--display", "256"},    {"--duration", "0"},     {"--duration", "-1"},
        {"--duration", "abc"},   {"--duration", "inf"},   {"--duration", "nan"},
        {"--duration", "1e300"}, {"--duration", "2s"},    {"--scale", "0"},
        {"--scale", "1.01"},     {"--scale", "0.05"},     {"--gop", "0"},
        {"--gop", "1001"},       {"--mouse-show", "2"},   {"--mouse-show", "-1"},
        {"--mouse-size", "9"},   {"--mouse-size", "401"}, {"--window", "0"},
        {"--window", "xyz"},     {"--window", "0x"},      {"--window", "0x20000000"},
        {"--window", "-5"},      {"--audio-mode", "3"},   {"--audio-mode", "-1"},
        {"--audio-mode", "1.0"},
    };
    for (std::vector<std::string> args : bad) {
        const std::string option = args[0];
        args.push_back("out.mp4");
        std::string error = ErrorOf(args);
        EXPECT_NE(error.find(option), std::string::npos) << error;
    }
}

TEST(CliOptions, RegionNeedsFourIntegersAndAUsableSize) {
    for (const char* text :
         {"1,2,3", "1,2,3,4,5", "a,b,c,d", "0,0,100,", ",0,100,100", "0,0,3,100", "0,0,100,3",
          "-1,0,100,100", "0,-4,100,100", "0;0;100;100", "2147483600,0,100,100", ""}) {
        std::string error = ErrorOf({"--region", text, "out.mp4"});
        EXPECT_NE(error.find("--region"), std::string::npos) << text << ": " << error;
    }
    ParseResult r = Parse({"--region=0,0,4,4", "out.mp4"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    EXPECT_EQ(r.options.region->width, 4);
}

TEST(CliOptions, PresetAndTuneMustBeNamesTheEncoderKnows) {
    EXPECT_NE(ErrorOf({"--preset", "ultrafast ", "out.mp4"}).find("--preset"), std::string::npos);
    EXPECT_NE(ErrorOf({"--preset", "Fast", "out.mp4"}).find("--preset"), std::string::npos);
    EXPECT_NE(ErrorOf({"--tune", "speed", "out.mp4"}).find("--tune"), std::string::npos);
    EXPECT_NE(ErrorOf({"--tune", "zerolatency,", "out.mp4"}).find("--tune"), std::string::npos);
    // Only one psychovisual tune may be combined with the others.
    EXPECT_NE(ErrorOf({"--tune", "film,grain", "out.mp4"}).find("only one"), std::string::npos);
    for (const char* preset : {"ultrafast", "medium", "placebo"}) {
        EXPECT_EQ(Parse({"--preset", preset, "o.mp4"}).status, ParseStatus::Run) << preset;
    }
    for (const char* tune : {"stillimage", "fastdecode,zerolatency", "ssim,fastdecode"}) {
        EXPECT_EQ(Parse({"--tune", tune, "o.mp4"}).status, ParseStatus::Run) << tune;
    }
}

TEST(CliOptions, OutputFileIsRequiredSingleAndOfAWritableKind) {
    EXPECT_NE(ErrorOf({}).find("missing output"), std::string::npos);
    EXPECT_NE(ErrorOf({"--fps", "20"}).find("missing output"), std::string::npos);
    EXPECT_NE(ErrorOf({"a.mp4", "b.mp4"}).find("more than one"), std::string::npos);
    EXPECT_NE(ErrorOf({""}).find("empty"), std::string::npos);
    for (const char* name :
         {"a.avi", "a.mp3", "noext", "a.mp4.txt", ".mp4", "dir/.mp4", "dir.mp4/file", "a."}) {
        EXPECT_NE(ErrorOf({name}).find(".mp4, .mov, .mkv or .m4v"), std::string::npos) << name;
    }
    for (const char* name : {"a.mp4", "A.MP4", "dir.x/b.Mov", "/tmp/c.mkv", "d.m4v"}) {
        EXPECT_TRUE(HasSupportedExtension(name)) << name;
    }
    // After "--" a name may start with a dash; a lone "-" is a name too (refused by extension).
    ParseResult r = Parse({"--", "-take1.mp4"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    EXPECT_EQ(r.options.outputFile, "-take1.mp4");
    EXPECT_NE(ErrorOf({"-"}).find("'-'"), std::string::npos);
}

TEST(CliOptions, TheVideoOnlyRecorderTakesNoSoundSource) {
    ParseResult r = Parse({"--h264", "out.mp4"});
    ASSERT_EQ(r.status, ParseStatus::Run) << r.error;
    EXPECT_TRUE(r.options.h264Only);
    EXPECT_FALSE(r.options.audioModeGiven);
    // Either order, even with the default mode spelled out.
    for (std::vector<std::string> args : {std::vector<std::string>{"--h264", "--audio-mode", "1"},
                                          std::vector<std::string>{"--audio-mode=2", "--h264"}}) {
        args.push_back("out.mp4");
        std::string error = ErrorOf(args);
        EXPECT_NE(error.find("--audio-mode"), std::string::npos) << error;
        EXPECT_NE(error.find("--h264"), std::string::npos) << error;
    }
}

TEST(CliOptions, UnknownOptionsAndMissingValuesAreRefused) {
    EXPECT_NE(ErrorOf({"--frames", "3", "out.mp4"}).find("unknown option '--frames'"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"-x", "out.mp4"}).find("unknown option '-x'"), std::string::npos);
    EXPECT_NE(ErrorOf({"--quiet=1", "out.mp4"}).find("unknown option"), std::string::npos);
    EXPECT_NE(ErrorOf({"out.mp4", "--fps"}).find("--fps needs a value"), std::string::npos);
    // A value is taken as it stands, even when it looks like an option.
    EXPECT_NE(ErrorOf({"--fps", "--quiet", "out.mp4"}).find("--fps"), std::string::npos);
}

TEST(CliOptions, HelpAndVersionAnswerWhenReachedBeforeAnyError) {
    EXPECT_EQ(Parse({"--help"}).status, ParseStatus::Help);
    EXPECT_EQ(Parse({"-h", "--fps", "99"}).status, ParseStatus::Help);
    EXPECT_EQ(Parse({"out.avi", "--version"}).status, ParseStatus::Version);
    EXPECT_EQ(Parse({"--version", "--help"}).status, ParseStatus::Version);
    EXPECT_EQ(Parse({"--fps", "99", "--help"}).status, ParseStatus::Error);
}

TEST(CliOptions, HelpTextNamesEveryOption) {
    const std::string usage = UsageText();
    for (const char* option : {"--duration SECONDS",
                               "--fps N",
                               "--quality N",
                               "--region X,Y,W,H",
                               "--display N",
                               "--follow-target",
                               "--scale F",
                               "--preset NAME",
                               "--tune NAME",
                               "--gop N",
                               "--mouse-show N",
                               "--mouse-size PERCENT",
                               "--h264",
                               "--audio-mode N",
                               "silence",
                               "silent sound track",
                               "/voluMem",
                               "log/record.log",
                               "--window XID",
                               "--quiet",
                               "--help",
                               "--version",
                               "OUTPUT",
                               "0.75",
                               "SIGUSR1",
                               "Exit status"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    // Every line fits an 80-column terminal.
    size_t start = 0;
    while (start < usage.size()) {
        size_t end = usage.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "help must end with a line break";
        EXPECT_LE(end - start, 80u) << usage.substr(start, end - start);
        start = end + 1;
    }
}
