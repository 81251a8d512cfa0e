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
    return std::system((FFMPEG_PROGRAM " -hide_banner -loglevel error -y " + arguments).c_str()) ==
           0;
#else
    return (void)arguments, false;
#endif
}

}  // namespace

TEST(MediaReport, CountsThePacketsAndDurationOfEachStreamAndReportsUnreadableFiles) {
    vistrec::test::TempDir dir;
    for (const char* name : {"clip.mp4", "clip.mkv"}) {
        // 2 s of 320x240 video at 25 fps (50 frames) and 2 s of 16 kHz mono sound.
        if (!MakeSample("-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                        "sine=frequency=440:sample_rate=16000 -t 2 -c:v libx264 -preset "
                        "ultrafast -ac 1 -c:a aac " +
                        dir.File(name)))
            GTEST_SKIP() << "the ffmpeg program could not make a sample";
        MediaReport report = ReadMediaReport(dir.File(name));
        ASSERT_EQ(report.error, "") << name;
        ASSERT_EQ(report.streams.size(), 2u) << name;
        EXPECT_EQ(DescribeStream(report.streams[0]),
                  "video: h264 320x240, 50 frames, 2.000 s (25.0 fps)")
            << name;
        const StreamReport& audio = report.streams[1];
        EXPECT_EQ(std::make_tuple(audio.kind, audio.sampleRate, audio.channels),
                  std::make_tuple(std::string("audio"), 16000, 1));
        // 2 s at 16 kHz in 1024-sample frames: 31.25, rounded up.
        EXPECT_GE(audio.packets, 32) << name;
        EXPECT_NEAR(audio.durationSeconds, 2.0, 0.13) << name;
    }
    EXPECT_NE(ReadMediaReport(dir.File("missing.mp4")).error.find("cannot open"),
              std::string::npos);
    EXPECT_NE(ReadMediaReport(dir.Write("junk.mp4", std::string(4096, 'x'))).error, "");
    // An MP4 cut before its index (what an abandoned recording leaves) is not readable.
    const std::string whole = dir.File("clip.mp4"), cut = dir.File("cut.mp4");
    ASSERT_EQ(std::system(("head -c 2000 " + whole + " > " + cut).c_str()), 0);
    EXPECT_NE(ReadMediaReport(cut).error, "");
}
