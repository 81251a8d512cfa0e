#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Platform.h"
#include "support/Config.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A private scratch file for the parser cases.
class ScratchFile {
  public:
    explicit ScratchFile(const char* name)
        : m_path(
              (fs::temp_directory_path() / ("vistrec_cfg_" + std::to_string(getpid()) + "_" + name))
                  .string()) {}
    ~ScratchFile() {
        std::error_code ec;
        fs::remove(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// Parses bytes through ReadJsonFile; returns what it printed on standard output.
std::string Parse(const std::string& bytes, bool* ok, Json::Value* root) {
    ScratchFile file("parse.json");
    WriteFile(file.Path(), bytes);
    testing::internal::CaptureStdout();
    *ok = ReadJsonFile(file.Path(), *root);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(Config, StrictParsing) {
    Json::Value root;
    bool ok = true;

    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadJsonFile("/nonexistent/dir/Vistrel.json", root));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::string out = Parse("{\"a\": 1, \"b\": [1, 2]}\n", &ok, &root);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(root["a"].asInt(), 1);

    EXPECT_EQ(Parse("[1, 2, 3]", &ok, &root), "");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(root.isArray());

    // A comment, a bare number root, an empty file: rejected with one line on standard output.
    ScratchFile probe("parse.json");
    const std::string prefix = "Failed to parse file:" + probe.Path() + " err: ";
    for (const char* bad : {"// settings\n{\"a\": 1}", "15", "\"text\"", "", "{\"a\": }"}) {
        out = Parse(bad, &ok, &root);
        EXPECT_FALSE(ok) << bad;
        EXPECT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
        EXPECT_GT(out.size(), prefix.size() + 1) << "no error text for: " << bad;
        EXPECT_TRUE(!out.empty() && out.back() == '\n') << out;
    }

    // The text ends at the first zero byte.
    out = Parse("{\"a\": 7}\0{{{ not json"s, &ok, &root);
    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(root["a"].asInt(), 7);
    out = Parse("{\"a\": \0 7}"s, &ok, &root);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
}

TEST(Config, KeysBesideTheExecutable) {
    const std::string path = ConfigFilePath();
    ASSERT_EQ(path, vistrec::platform::ExecutableDir() + "Vistrel.json");
    std::error_code ec;
    fs::remove(path, ec);

    int rate = 25;
    GetConfigFrameRate(nullptr, &rate);
    EXPECT_EQ(rate, 25) << "no file";
    EXPECT_EQ(GetConfigMinVolumeValue(), 0);

    WriteFile(path,
              "{\"VISTREL_CONFIG\": {\"framerate\": 15},\n"
              " \"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}\n");
    GetConfigFrameRate(nullptr, &rate);
    EXPECT_EQ(rate, 15);
    EXPECT_EQ(GetConfigMinVolumeValue(), 5);

    // Values that do not count as a 32-bit integer leave the setting alone.
    for (const char* value : {"15.0", "\"15\"", "true", "1e1", "2147483648", "4294967296", "null",
                              "[15]", "{\"v\": 15}"}) {
        WriteFile(path, std::string("{\"VISTREL_CONFIG\": {\"framerate\": ") + value +
                            "}, \"UPLOAD_CONFIG\": {\"minVolumValue\": " + value + "}}");
        rate = 25;
        GetConfigFrameRate(nullptr, &rate);
        EXPECT_EQ(rate, 25) << value;
        EXPECT_EQ(GetConfigMinVolumeValue(), 0) << value;
    }
    // 0 and the rates a recording can use are taken as they are; any other integer would reach
    // the encoder and falls back to 20.
    const struct {
        int configured, expected;
    } rates[] = {{0, 0},     {2, 2},    {15, 15},         {30, 30},
                 {1, 20},    {-1, 20},  {31, 20},         {60, 20},
                 {1000, 20}, {-30, 20}, {2147483647, 20}, {-2147483647 - 1, 20}};
    for (const auto& c : rates) {
        WriteFile(path,
                  "{\"VISTREL_CONFIG\": {\"framerate\": " + std::to_string(c.configured) + "}}");
        rate = 25;
        GetConfigFrameRate(nullptr, &rate);
        EXPECT_EQ(rate, c.expected) << c.configured;
    }

    // Sections that are empty, null, not objects, or a root without members.
    for (const char* text : {"{\"UPLOAD_CONFIG\": {}, \"VISTREL_CONFIG\": {}}",
                             "{\"UPLOAD_CONFIG\": null, \"VISTREL_CONFIG\": null}",
                             "{\"UPLOAD_CONFIG\": 5, \"VISTREL_CONFIG\": [15]}",
                             "{\"upload_config\": {\"minVolumValue\": 5}, \"framerate\": 15}",
                             "[{\"UPLOAD_CONFIG\": {\"minVolumValue\": 5}}]"}) {
        WriteFile(path, text);
        rate = 25;
        GetConfigFrameRate(nullptr, &rate);
        EXPECT_EQ(rate, 25) << text;
        EXPECT_EQ(GetConfigMinVolumeValue(), 0) << text;
    }

    // A comment line makes the whole file count as absent, with the parse message.
    WriteFile(path, "// tuned\n{\"VISTREL_CONFIG\": {\"framerate\": 15}}");
    testing::internal::CaptureStdout();
    rate = 25;
    GetConfigFrameRate(nullptr, &rate);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rate, 25);
    EXPECT_EQ(out.rfind("Failed to parse file:" + path + " err: ", 0), 0u) << out;

    // Only the text before a zero byte is read.
    WriteFile(
        path,
        "{\"VISTREL_CONFIG\": {\"framerate\": 12}}\0{\"VISTREL_CONFIG\": {\"framerate\": 30}}"s);
    GetConfigFrameRate(nullptr, &rate);
    EXPECT_EQ(rate, 12);

    fs::remove(path, ec);
}
