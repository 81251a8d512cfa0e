// The record log's line layout and rollover; one test, as the logger is process-wide.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
// GCC 12 warns of a maybe-uninitialized std::function inside libstdc++'s regex compiler when
// it inlines it under the sanitizers (a false positive in the library's code, not this file's).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <vector>

#include <log4cplus/thread/threads.h>

#include "platform/Platform.h"
#include "support/Log.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines(1);
    for (std::ifstream in(path, std::ios::binary); std::getline(in, lines.back());)
        lines.emplace_back();
    return lines.pop_back(), lines;
}

TEST(Log, LinesAndRollover) {
    const std::string dir = vistrec::platform::ExecutableDir() + "log", path = dir + "/record.log";
    std::error_code ec;
    fs::remove_all(dir, ec);
    ASSERT_TRUE(fs::create_directory(dir));  // the logger does not create the folder
    VLOG_INFO("log start!");
    VLOG_DEBUG("debug line " << 1);  // not written
    VLOG_WARN("warn " << 2.5 << " \xe5\xbd\x95");
    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    const std::string thread = log4cplus::thread::getCurrentThreadName();
    const std::string tails[] = {"INFO|" + thread + "| log start!",
                                 "WARN|" + thread + "| warn 2.5 \xe5\xbd\x95"};
    // "|<local date> <time>:<ms>.<us>|<level>|<thread>| <message>"
    const std::regex layout(R"(\|\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\.\d{3}\|(.*))");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, layout)) << lines[i];
        EXPECT_EQ(tails[i], m[1].str());
    }
    // Write a bit more than eleven files' worth.
    const std::string filler(8000, 'x');
    const long lineBytes = static_cast<long>(filler.size()) + 100;
    const long total = (11 * kLogMaxFileSize + kLogMaxFileSize / 2) / lineBytes;
    for (long n = 0; n < total; ++n)
        VLOG_INFO("line " << n << " " << filler);
    EXPECT_FALSE(fs::exists(path + ".11"));
    // The number a rollover line carries after "line "; newer: the first of the next newer file.
    auto LineNumber = [](const std::string& line) {
        return std::stol(line.substr(line.find("| line ") + 7));
    };
    long newer = total;
    for (int i = 0; i <= kLogMaxBackups; ++i) {
        const std::string file = i == 0 ? path : path + "." + std::to_string(i);
        ASSERT_TRUE(fs::exists(file)) << file;
        // A file rolls over with the first line that takes it past the limit.
        const long size = static_cast<long>(fs::file_size(file));
        EXPECT_LE(size, kLogMaxFileSize + (i ? lineBytes : 0)) << file;
        EXPECT_TRUE(i == 0 || size > kLogMaxFileSize) << file;
        // Backups hold consecutive lines, .1 the newest.
        const std::vector<std::string> content = ReadLines(file);
        ASSERT_FALSE(content.empty()) << file;
        EXPECT_EQ(LineNumber(content.back()) + 1, newer) << file;
        newer = LineNumber(content.front());
    }
    fs::remove_all(dir, ec);
}

}  // namespace
