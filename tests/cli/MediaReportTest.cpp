// The read-back of a finished file: an unreadable file is reported rather than described.
#include "MediaReport.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/TempDir.h"

using namespace vistrec_cli;

// Makes a sample file with the ffmpeg program; false when it is not available or fails.
static bool MakeSample(const std::string& arguments) {
#ifdef FFMPEG_PROGRAM
    return std::system((FFMPEG_PROGRAM " -hide_banner -loglevel error -y " + arguments).c_str()) ==
           0;
#else
    return (void)arguments, false;
#endif
}

// The read-back of recordings is checked by cli_record_test.sh; here, the files it must refuse.
TEST(MediaReport, UnreadableFilesAreReportedAsErrors) {
    vistrec::test::TempDir dir;
    EXPECT_NE(ReadMediaReport(dir.File("missing.mp4")).error.find("cannot open"),
              std::string::npos);
    EXPECT_NE(ReadMediaReport(dir.Write("junk.mp4", std::string(4096, 'x'))).error, "");
    // An MP4 cut before its index (what an abandoned recording leaves) is not readable.
    const std::string whole = dir.File("whole.mp4"), cut = dir.File("cut.mp4");
    if (!MakeSample("-f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v libx264 " + whole))
        GTEST_SKIP() << "the ffmpeg program could not make a sample";
    ASSERT_EQ(ReadMediaReport(whole).error, "");
    ASSERT_EQ(std::system(("head -c 2000 " + whole + " > " + cut).c_str()), 0);
    EXPECT_NE(ReadMediaReport(cut).error, "");
}
