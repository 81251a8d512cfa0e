// Entry point of the recording tests. Besides running the tests it serves as a host process of
// its own for the check of a host that never sets a preset (a failed encoder set-up ends the
// process):
//   vistrec_integration_test --no-preset-child FILE
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

#include "Harness.h"
#include "XvfbFixture.h"
#include "vistrec/IRecordMp4.h"

namespace {

// A host that never calls setPreset: it records 3 s and returns 0 after stopRecord. A library
// that cannot open an encoder with its default preset ends this process with status 1.
int RunNoPresetChild(const char* file) {
    static const char kTune[] = "zerolatency";
    IRecordMp4* recorder = create_screen_record(nullptr);
    if (!recorder)
        return 3;
    recorder->setFileName(file);
    recorder->setFrameRate(20);
    recorder->setTune(kTune);
    recorder->setMouseShow(0, 0, 0, 100);
    recorder->startRecord();
    it::SleepMs(3000);
    recorder->stopRecord();
    delete recorder;
    std::printf("stopRecord returned\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--no-preset-child") == 0)
        return RunNoPresetChild(argv[2]);

    // The library logs into "log/record.log" beside the host program only when the folder
    // exists before its first log line.
    mkdir((it::ExeDir() + "log").c_str(), 0755);
    // No sound server: these tests are about the picture, and a server of the machine (or of
    // another test) must not change what they record.
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-it-no-pulse", 1);
    // libx264 reports every encoder it closes; only errors matter here.
    av_log_set_level(AV_LOG_ERROR);

    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vistrec::test::XvfbEnvironment());
    return RUN_ALL_TESTS();
}
