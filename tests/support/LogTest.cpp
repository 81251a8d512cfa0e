#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <log4cplus/thread/threads.h>

#include "platform/Platform.h"
#include "support/Log.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The number a rollover line carries after "line ".
long LineNumber(const std::string& line) {
    const size_t at = line.find("| line ");
    return at == std::string::npos ? -1 : std::stol(line.substr(at + 7));
}

}  // namespace

// One test, because the logger and its file are process-wide.
TEST(Log, LinesAndRollover) {
    const std::string dir = vistrec::platform::ExecutableDir() + "log";
    const std::string path = dir + "/record.log";
    ASSERT_EQ(LogFilePath(), path);
    std::error_code ec;
    fs::remove_all(dir, ec);
    // The logger does not create the folder.
    ASSERT_TRUE(fs::create_directory(dir));

    const time_t before = time(nullptr);
    VLOG_INFO("log start!");
    VLOG_DEBUG("debug line " << 1);
    VLOG_INFO("codec :"
              << "h264"
              << " size " << 1920 << "x" << 1080 << " \xe5\xbd\x95");
    VLOG_WARN("warn " << 2.5);
    const time_t after = time(nullptr);

    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 3u);
    const std::string thread = log4cplus::thread::getCurrentThreadName();
    const char* levels[] = {"INFO", "INFO", "WARN"};
    const char* messages[] = {"log start!", "codec :h264 size 1920x1080 \xe5\xbd\x95", "warn 2.5"};
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        // "|<date> <time>:<ms>.<us>|<level>|<thread>| <message>"
        std::vector<std::string> fields;
        size_t from = 0;
        for (int bar = 0; bar < 4; ++bar) {
            const size_t at = lines[i].find('|', from);
            ASSERT_NE(at, std::string::npos);
            if (bar == 0) {
                ASSERT_EQ(at, 0u);
            } else {
                fields.push_back(lines[i].substr(from, at - from));
            }
            from = at + 1;
        }
        EXPECT_EQ(fields[1], levels[i]);
        EXPECT_EQ(fields[2], thread);
        EXPECT_EQ(lines[i].substr(from), std::string(" ") + messages[i]);

        // Local date and time of the event, then the milliseconds with their decimals.
        struct tm when = {};
        int ms = -1, us = -1, used = 0;
        ASSERT_EQ(sscanf(fields[0].c_str(), "%4d-%2d-%2d %2d:%2d:%2d:%3d.%3d%n", &when.tm_year,
                         &when.tm_mon, &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec,
                         &ms, &us, &used),
                  8);
        EXPECT_EQ(static_cast<size_t>(used), fields[0].size());
        EXPECT_EQ(fields[0].size(), strlen("2024-01-31 12:34:56:789.123"));
        when.tm_year -= 1900;
        when.tm_mon -= 1;
        when.tm_isdst = -1;
        const time_t stamp = mktime(&when);
        EXPECT_GE(stamp, before - 1);
        EXPECT_LE(stamp, after + 1);
    }

    // Rollover at 10 MiB, never more than ten backups: write a bit more than eleven files' worth.
    const std::string filler(8000, 'x');
    const long lineBytes = static_cast<long>(filler.size()) + 100;
    const long total = (11 * kLogMaxFileSize + kLogMaxFileSize / 2) / lineBytes;
    for (long n = 0; n < total; ++n)
        VLOG_INFO("line " << n << " " << filler);

    EXPECT_FALSE(fs::exists(path + ".11"));
    long newer = -1;  // first line number of the next newer file
    for (int i = 0; i <= kLogMaxBackups; ++i) {
        const std::string file = i == 0 ? path : path + "." + std::to_string(i);
        ASSERT_TRUE(fs::exists(file)) << file;
        const long size = static_cast<long>(fs::file_size(file));
        if (i > 0) {
            // A file rolls over with the first line that takes it past the limit.
            EXPECT_GT(size, kLogMaxFileSize) << file;
            EXPECT_LE(size, kLogMaxFileSize + lineBytes) << file;
        } else {
            EXPECT_LE(size, kLogMaxFileSize) << file;
        }
        const std::vector<std::string> content = ReadLines(file);
        ASSERT_FALSE(content.empty()) << file;
        if (i == 0) {
            EXPECT_EQ(LineNumber(content.back()), total - 1);
        }
        // Backups hold consecutive lines, .1 the newest.
        if (newer >= 0) {
            EXPECT_EQ(LineNumber(content.back()) + 1, newer) << file;
        }
        newer = LineNumber(content.front());
    }

    fs::remove_all(dir, ec);
}
