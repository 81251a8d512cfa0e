// The read-back of a finished file: frames and sound packets counted as they are stored, and an
// unreadable file reported rather than described.
#include "MediaReport.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/TempDir.h"

using namespace vistrec_cli;

namespace {

// Makes a sample file with the ffmpeg program; false when it is not available or fails.
bool MakeSample(const std::string& arguments) {
#ifdef FFMPEG_PROGRAM
    std::string command =
        std::string(FFMPEG_PROGRAM) + " -hide_banner -loglevel error -y " + arguments;
    return std::system(command.c_str()) == 0;
#else
    (void)arguments;
    return false;
#endif
}

}  // namespace

TEST(MediaReport, CountsThePacketsAndDurationOfEachStream) {
    vistrec::test::TempDir dir;
    for (const char* name : {"clip.mp4", "clip.mkv"}) {
        const std::string path = dir.File(name);
        // 2 s of 320x240 video at 25 fps (50 frames) and 2 s of 16 kHz mono sound.
        if (!MakeSample("-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi "
                        "-i sine=frequency=440:sample_rate=16000 -t 2 -c:v libx264 -preset "
                        "ultrafast -ac 1 -c:a aac " +
                        path)) {
            GTEST_SKIP() << "the ffmpeg program could not make a sample";
        }
        MediaReport report = ReadMediaReport(path);
        ASSERT_EQ(report.error, "") << name;
        ASSERT_EQ(report.streams.size(), 2u) << name;
        const StreamReport& video = report.streams[0];
        EXPECT_EQ(DescribeStream(video), "video: h264 320x240, 50 frames, 2.000 s (25.0 fps)")
            << name;
        const StreamReport& audio = report.streams[1];
        EXPECT_EQ(audio.kind, "audio");
        EXPECT_EQ(audio.sampleRate, 16000);
        EXPECT_EQ(audio.channels, 1);
        // 2 s at 16 kHz in 1024-sample frames: 31.25, rounded up.
        EXPECT_GE(audio.packets, 32) << name;
        EXPECT_NEAR(audio.durationSeconds, 2.0, 0.13) << name;
    }
}

TEST(MediaReport, UnreadableFilesAreReportedAsErrors) {
    vistrec::test::TempDir dir;
    EXPECT_NE(ReadMediaReport(dir.File("missing.mp4")).error.find("cannot open"),
              std::string::npos);
    EXPECT_NE(ReadMediaReport(dir.Write("junk.mp4", std::string(4096, 'x'))).error, "");
    // An MP4 cut before its index (what an abandoned recording leaves) is not readable.
    const std::string whole = dir.File("whole.mp4");
    if (!MakeSample("-f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v libx264 " + whole)) {
        GTEST_SKIP() << "the ffmpeg program could not make a sample";
    }
    ASSERT_EQ(ReadMediaReport(whole).error, "");
    std::string truncated = dir.File("cut.mp4");
    ASSERT_EQ(std::system(("head -c 2000 " + whole + " > " + truncated).c_str()), 0);
    EXPECT_NE(ReadMediaReport(truncated).error, "");
}
