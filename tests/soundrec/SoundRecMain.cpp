// Entry point of the sound recording tests: one Xvfb for the whole program; each test starts
// its own sound server and points PULSE_SERVER at it for its duration.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "Harness.h"
#include "XvfbFixture.h"

int main(int argc, char** argv) {
    // The library logs into "log/record.log" beside the host program only when the folder
    // exists before its first log line.
    mkdir((it::ExeDir() + "log").c_str(), 0755);
    // Outside a test's own server no sound server is reachable: a server of the machine must
    // never leak into a recording.
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-soundrec-no-pulse", 1);
    // pactl's listings are parsed: untranslated.
    setenv("LC_ALL", "C", 1);
    av_log_set_level(AV_LOG_ERROR);

    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vistrec::test::XvfbEnvironment());
    return RUN_ALL_TESTS();
}
