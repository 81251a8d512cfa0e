// Recording tests as a host makes them: the test scene on the program's Xvfb, a recorder made
// through libvistrec.so, and a timeline of things done while it runs.
#ifndef VISTREC_TESTS_COMMON_RECORDERFIXTURE_H
#define VISTREC_TESTS_COMMON_RECORDERFIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <memory>

extern "C" {
#include <libavutil/log.h>
}

#include "Media.h"
#include "PulseFixture.h"
#include "TempDir.h"
#include "XClient.h"
#include "XvfbFixture.h"
#include "vistrec/IRecordMp4.h"

namespace vistrec {
namespace test {

constexpr int kScreenW = 1920, kScreenH = 1080, kSceneFps = 30;

// vistrec-testscene drawing on $DISPLAY until the owner goes.
class Scene {
  public:
    bool Start(int fps = kSceneFps, bool flash = false, const char* mode = "animated") {
        options_.fps = fps;
        options_.flash = flash;
        if (!testscene::ParseWorkload(mode, &options_.workload))
            return false;
        std::vector<std::string> args = {VISTREC_TESTSCENE_PATH, "--fps", std::to_string(fps),
                                         "--mode", mode};
        if (flash)
            args.push_back("--flash");
        std::string line;
        if (!child_.Spawn(args, nullptr, "|") || !child_.ReadLine(&line, 20000) ||
            line.compare(0, 6, "ready ") != 0)
            return false;
        startMs_ = std::stoll(line.substr(6));
        return true;
    }
    int64_t startMs() const { return startMs_; }  // CLOCK_MONOTONIC ms of counter 0
    const testscene::SceneOptions& options() const { return options_; }

  private:
    Child child_;
    testscene::SceneOptions options_;
    int64_t startMs_ = 0;
};

// A private X server and sound server, exported to this process, with the test scene drawing
// on them: the stage the benchmark and the soak run record.
struct SceneStage {
    XvfbServer xvfb;
    PulseServer pulse;
    Scene scene;
    bool Start(bool flash, std::string* error) {
        if (!xvfb.Start(error) || !pulse.Start(error))
            return false;
        xvfb.ExportDisplay();
        pulse.ExportServer();
        if (scene.Start(kSceneFps, flash))
            return true;
        *error = "cannot start vistrec-testscene";
        return false;
    }
};

struct RecorderDeleter {
    void operator()(IRecordMp4* r) const { delete r; }
};
using RecorderPtr = std::unique_ptr<IRecordMp4, RecorderDeleter>;

// A recorder with the settings every test shares: libx264 ultrafast/zerolatency, pointer hidden
// without effects (so frames take the whole-monitor path when the display selection allows).
inline RecorderPtr NewRecorder(const std::string& file, double scale = 1.0, int audioMode = 0,
                               bool h264Only = false) {
    static const char kPreset[] = "ultrafast", kTune[] = "zerolatency";  // kept by the recorder
    RecorderPtr r(h264Only ? create_screen_h246_record(nullptr) : create_screen_record(nullptr));
    if (r) {
        r->setFileName(file.c_str());
        r->setFrameRate(20);
        r->setPreset(kPreset);
        r->setTune(kTune);
        r->setMouseShow(0, 0, 0, 100);
        if (scale > 0)
            r->setScale(scale);
        if (audioMode != 0)
            r->setAudioMode(audioMode);
    }
    return r;
}

// A 320x240 region: for tests in which the picture is not what counts.
inline RecorderPtr SmallRecorder(const std::string& file, int audioMode = 0,
                                 bool h264Only = false) {
    RecorderPtr r = NewRecorder(file, 1.0, audioMode, h264Only);
    const RECT region{0, 0, 320, 240};
    r->setCaptureRect(true, &region);
    return r;
}

struct EndCounter : IRecordCallback {  // counts the onRecordEnd calls
    void onRecordEnd() override { ++calls; }
    std::atomic<int> calls{0};
};

struct Action {  // something a test does `atMs` after startRecord
    int atMs;
    std::function<void()> run;
};
struct Timeline {  // CLOCK_MONOTONIC ms around startRecord/stopRecord, and what stop returned
    int64_t start = 0, stop = 0;
    unsigned recordedMs = 0;
};
inline Timeline Record(IRecordMp4* r, int totalMs, const std::vector<Action>& actions = {}) {
    Timeline t;
    t.start = MonotonicMs();
    r->startRecord();
    for (const Action& a : actions) {
        SleepMs(static_cast<int>(std::max<int64_t>(0, t.start + a.atMs - MonotonicMs())));
        a.run();
    }
    SleepMs(static_cast<int>(std::max<int64_t>(0, t.start + totalMs - MonotonicMs())));
    t.recordedMs = r->stopRecord();
    t.stop = MonotonicMs();
    return t;
}

// main() of a recording test program: a "log" folder beside it for the library's log, no sound
// server but a test's own, pactl untranslated, libav quiet, one Xvfb.
inline int RecorderTestMain(int argc, char** argv, XvfbServer::Options xvfb = {}) {
    mkdir((ExeDir() + "log").c_str(), 0755);
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-test-no-pulse", 1);
    setenv("LC_ALL", "C", 1);
    av_log_set_level(AV_LOG_ERROR);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment(xvfb));
    return RUN_ALL_TESTS();
}

// Each test: an X client, the scene on the 1920x1080 screen, a temporary folder.
class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.ok()) << "no X display";
        ASSERT_EQ(std::make_pair(DisplayWidth(x_.get(), 0), DisplayHeight(x_.get(), 0)),
                  std::make_pair(kScreenW, kScreenH));
        ASSERT_TRUE(scene_.Start());
    }
    XClient x_;
    Scene scene_;
    TempDir dir_;
};

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_RECORDERFIXTURE_H
