// "Vistrel.json" beside the executable: strict parsing, and the keys read from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Platform.h"
#include "support/Config.h"

using namespace std::string_literals;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

const std::string kPath = vistrec::platform::ExecutableDir() + "Vistrel.json";

// Writes the file (or removes it for `absent`), reads the frame rate over 25 and the minimum
// volume; returns what the reading printed on standard output.
std::string Read(const std::string& text, int* rate, int* minVolume, bool absent = false) {
    std::error_code ec;
    std::filesystem::remove(kPath, ec);
    if (!absent)
        WriteFile(kPath, text);
    testing::internal::CaptureStdout();
    *rate = 25;
    GetConfigFrameRate(nullptr, rate);
    *minVolume = GetConfigMinVolumeValue();
    return testing::internal::GetCapturedStdout();
}

TEST(Config, StrictParsing) {
    ASSERT_EQ(kPath, ConfigFilePath());
    Json::Value root;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadJsonFile("/nonexistent/dir/Vistrel.json", root));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    // A comment, a bare number or text root, an empty file: rejected with one line on standard
    // output. The text ends at the first zero byte.
    const struct {
        std::string text;
        bool ok;
    } rows[] = {{"{\"a\": 7, \"b\": [1, 2]}\n", true},
                {"[1, 2, 3]", true},
                {"// settings\n{\"a\": 7}", false},
                {"15", false},
                {"\"text\"", false},
                {"", false},
                {"{\"a\": }", false},
                {"{\"a\": 7}\0{{{ not json"s, true},
                {"{\"a\": \0 7}"s, false}};
    const std::string prefix = "Failed to parse file:" + kPath + " err: ";
    for (const auto& r : rows) {
        WriteFile(kPath, r.text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.ok, ReadJsonFile(kPath, root)) << r.text;
        const std::string out = testing::internal::GetCapturedStdout();
        if (r.ok) {
            EXPECT_EQ("", out);
            EXPECT_TRUE(root.isArray() || root["a"].asInt() == 7) << r.text;
        } else {
            EXPECT_EQ(0u, out.rfind(prefix, 0)) << out;
            ASSERT_GT(out.size(), prefix.size() + 1) << "no error text for: " << r.text;
            EXPECT_EQ('\n', out.back()) << out;
        }
    }
    std::filesystem::remove(kPath);
}

TEST(Config, KeysBesideTheExecutable) {
    int rate, minVolume;
    EXPECT_EQ("", Read("", &rate, &minVolume, true));
    EXPECT_EQ(std::make_pair(25, 0), std::make_pair(rate, minVolume)) << "no file";
    std::vector<std::pair<std::string, int>> rows = {
        {"{\"VISTREL_CONFIG\": {\"framerate\": 14}, \"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}",
         14},
        // Only the text before a zero byte is read.
        {"{\"VISTREL_CONFIG\": {\"framerate\": 12}}\0{\"VISTREL_CONFIG\": {\"framerate\": 30}}"s,
         12},
        // Sections that are empty, null, not objects, or a root without members.
        {"{\"UPLOAD_CONFIG\": {}, \"VISTREL_CONFIG\": {}}", 25},
        {"{\"UPLOAD_CONFIG\": null, \"VISTREL_CONFIG\": null}", 25},
        {"{\"UPLOAD_CONFIG\": 5, \"VISTREL_CONFIG\": [15]}", 25},
        {"{\"upload_config\": {\"minVolumValue\": 5}, \"framerate\": 15}", 25},
        {"[{\"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}]", 25},
    };
    // Values that do not count as a 32-bit integer leave the settings alone.
    for (const char* v : {"15.0", "\"15\"", "true", "1e1", "2147483648", "4294967296", "null",
                          "[15]", "{\"v\": 15}"})
        rows.push_back({"{\"VISTREL_CONFIG\": {\"framerate\": "s + v +
                            "}, \"UPLOAD_CONFIG\": {\"minVolumValue\": " + v + "}}",
                        25});
    // 0 and the rates a recording can use are taken as they are; any other integer would reach
    // the encoder and falls back to 20.
    for (const int r : {0, 2, 15, 30, 1, -1, 31, 60, 1000, -30, INT32_MAX, INT32_MIN})
        rows.push_back({"{\"VISTREL_CONFIG\": {\"framerate\": " + std::to_string(r) + "}}",
                        r == 0 || (r >= 2 && r <= 30) ? r : 20});
    for (const auto& row : rows) {
        EXPECT_EQ("", Read(row.first, &rate, &minVolume));
        EXPECT_EQ(row.second, rate) << row.first;
        EXPECT_EQ(row.second == 14 ? 5 : 0, minVolume) << row.first;
    }
    // A comment line makes the whole file count as absent, with the parse message.
    const std::string out =
        Read("// tuned\n{\"VISTREL_CONFIG\": {\"framerate\": 15}}", &rate, &minVolume);
    EXPECT_EQ(25, rate);
    EXPECT_EQ(0u, out.rfind("Failed to parse file:" + kPath + " err: ", 0)) << out;
    std::filesystem::remove(kPath);
}

}  // namespace
