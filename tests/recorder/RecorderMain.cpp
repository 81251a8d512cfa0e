// Entry point of the recorder tests: one Xvfb for the program; without a test's own sound
// server none is reachable.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "Harness.h"
#include "XvfbFixture.h"

int main(int argc, char** argv) {
    // The library logs into "log/record.log" beside the program when that folder exists.
    mkdir((it::ExeDir() + "log").c_str(), 0755);
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-recorder-no-pulse", 1);
    setenv("LC_ALL", "C", 1);
    av_log_set_level(AV_LOG_ERROR);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vistrec::test::XvfbEnvironment());
    return RUN_ALL_TESTS();
}
