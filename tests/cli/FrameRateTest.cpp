#include "FrameRate.h"

#include <gtest/gtest.h>

#include "common/TempDir.h"

using namespace vistrec_cli;

namespace {

CliOptions WithFps(int fps) {
    CliOptions o;
    o.fps = fps;
    o.fpsGiven = true;
    return o;
}

}  // namespace

TEST(FrameRate, ArgumentIsUsedOnlyWhenTheConfigurationSaysZero) {
    CliOptions o = WithFps(25);
    // No configuration: the library keeps its 20 fps.
    EXPECT_EQ(PredictFrameRate(o, std::nullopt), 20);
    EXPECT_EQ(PredictFrameRate(o, 15), 15);
    EXPECT_EQ(PredictFrameRate(o, 0), 25);

    // setDisplay applies the quality table; with no --quality the library's level 0 counts.
    o.display = 1;
    EXPECT_EQ(PredictFrameRate(o, std::nullopt), 10);
    const int tableFps[] = {10, 20, 10, 20};
    for (int q = 0; q <= 3; ++q) {
        o.quality = q;
        EXPECT_EQ(PredictFrameRate(o, std::nullopt), tableFps[q]) << "quality " << q;
        // setFrameRate comes after setDisplay: a configured rate, or the argument let in by a
        // configured 0, replaces the table's rate.
        EXPECT_EQ(PredictFrameRate(o, 12), 12);
        EXPECT_EQ(PredictFrameRate(o, 0), 25);
    }
    // Without --display the quality level does not touch the rate.
    o.display.reset();
    EXPECT_EQ(PredictFrameRate(o, std::nullopt), 20);

    EXPECT_NE(FrameRateSource(o, std::nullopt).find("default"), std::string::npos);
    EXPECT_NE(FrameRateSource(o, 15).find("Vistrel.json"), std::string::npos);
    EXPECT_NE(FrameRateSource(o, 0).find("--fps"), std::string::npos);
    o.display = 2;
    o.quality = 2;
    EXPECT_NE(FrameRateSource(o, std::nullopt).find("quality 2"), std::string::npos);
}

TEST(FrameRate, ConfigurationCountsOnlyAStrictJsonIntegerInItsSection) {
    vistrec::test::TempDir dir;
    EXPECT_FALSE(ReadConfigFrameRate(dir.File("missing.json")));
    EXPECT_EQ(ReadConfigFrameRate(dir.Write(
                  "a.json", R"({"VISTREL_CONFIG": {"framerate": 15}, "UPLOAD_CONFIG": {}})")),
              15);
    EXPECT_EQ(ReadConfigFrameRate(dir.Write("zero.json", R"({"VISTREL_CONFIG":{"framerate":0}})")),
              0);
    // Only the text before a zero byte is read.
    EXPECT_EQ(ReadConfigFrameRate(
                  dir.Write("nul.json", std::string(R"({"VISTREL_CONFIG":{"framerate":12}})") +
                                            std::string(1, '\0') + "garbage")),
              12);

    const char* ignored[] = {
        R"({"VISTREL_CONFIG": {"framerate": 15.0}})",
        R"({"VISTREL_CONFIG": {"framerate": "15"}})",
        R"({"VISTREL_CONFIG": {"framerate": true}})",
        R"({"VISTREL_CONFIG": {"framerate": 3000000000}})",
        R"({"VISTREL_CONFIG": {"rate": 15}})",
        R"({"VISTREL_CONFIG": null})",
        R"({"VISTREL_CONFIG": [15]})",
        R"({"framerate": 15})",
        "// comment\n{\"VISTREL_CONFIG\": {\"framerate\": 15}}",
        "15",
        R"([{"VISTREL_CONFIG": {"framerate": 15}}])",
        R"({"VISTREL_CONFIG": {"framerate": 15})",
        "",
    };
    int i = 0;
    for (const char* text : ignored) {
        std::string path = dir.Write("bad" + std::to_string(i++) + ".json", text);
        EXPECT_FALSE(ReadConfigFrameRate(path)) << text;
    }
}
