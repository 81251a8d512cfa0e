// "Vistrel.json" that is huge, deeply nested, or holds "crashSafe" of every type: the readers
// answer, the process goes on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Platform.h"
#include "support/Config.h"

namespace {

TEST(ConfigFaults, HugeNestedAndWrongTypes) {
    const std::string path = ConfigFilePath();
    const std::string rate = "{\"VISTREL_CONFIG\": {\"framerate\": 15}";
    std::string flat;
    for (int i = 0; i < 500000; ++i)
        flat += "0,";
    struct Row {
        std::string text;  // "-": no file
        bool crashSafe;
        int rate;  // the configured rate read back, 25: none
    };
    const std::vector<Row> rows = {
        {"-", true, 25},
        {"{\"crashSafe\": false}", false, 25},
        {"{\"VISTREL_CONFIG\": {\"crashSafe\": false, \"framerate\": 15}}", false, 15},
        {"{\"crashSafe\": false, \"VISTREL_CONFIG\": {\"crashSafe\": true}}", true, 25},
        {"{\"crashSafe\": true}", true, 25},
        {"{\"crashSafe\": 0}", true, 25},
        {"{\"crashSafe\": \"false\"}", true, 25},
        {"{\"crashSafe\": null}", true, 25},
        {"{\"crashSafe\": [false]}", true, 25},
        {"[{\"crashSafe\": false}]", true, 25},
        {"{\"crashSafe\": false", true, 25},  // cut short: not read at all
        // 16 MiB of blanks before the members, then members of 1 MiB names.
        {std::string(16 << 20, ' ') + rate + ", \"crashSafe\": false}", false, 15},
        {"{\"" + std::string(1 << 20, 'k') + "\": 1, " + rate.substr(1) + "}", true, 15},
        // Nesting deeper than the parser goes, and a long flat array.
        {std::string(100000, '[') + std::string(100000, ']'), true, 25},
        {"{\"crashSafe\": [" + flat + "0]}", true, 25},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 80));
        std::filesystem::remove(path);
        if (row.text != "-")
            std::ofstream(path, std::ios::binary) << row.text;
        testing::internal::CaptureStdout();
        int got = 25;
        GetConfigFrameRate(nullptr, &got);
        EXPECT_EQ(row.rate, got);
        EXPECT_EQ(row.crashSafe, GetConfigCrashSafe());
        EXPECT_EQ(0, GetConfigMinVolumeValue());
        testing::internal::GetCapturedStdout();
    }
    std::filesystem::remove(path);
}

}  // namespace
