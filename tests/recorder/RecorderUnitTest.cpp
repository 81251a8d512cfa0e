// Recorder rules checked without a display, on a scripted sound server linked in place of the real
// backend (platform/PlatformAudio.h): the pause bookkeeping, and what a capture thread of an ended
// capture cycle may still reach. A real server cannot hold a thread inside one of its calls on
// cue: these races show there only by chance.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "RecorderSlots.h"
#include "audiocapture/AudioRecord.h"
#include "platform/Platform.h"
#include "platform/PlatformAudio.h"

namespace {

// One 48000 Hz stereo 16-bit device; the next stream reaching `holdAt` waits there until
// released; the next Open fails when `failOpen` is set.
struct FakeAudioServer {
    enum class HoldAt { kNone, kStart, kRead };
    std::mutex lock;
    std::condition_variable changed;
    HoldAt holdAt = HoldAt::kNone;
    bool held = false, released = false, failOpen = false;
    int alive = 0;  // streams

    template <class F>
    void Change(F f) {
        std::lock_guard<std::mutex> hold(lock);
        f();
        changed.notify_all();
    }
    template <class P>
    bool WaitFor(P done) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(3), done);
    }
    void PassPoint(HoldAt at) {
        std::unique_lock<std::mutex> hold(lock);
        if (at != holdAt || held)
            return;
        held = true;
        changed.notify_all();
        changed.wait(hold, [this] { return released; });
    }
} g_server;

using HoldAt = FakeAudioServer::HoldAt;
constexpr size_t kPacketBytes = 48000 / 50 * 2 * 2;  // 20 ms

class FakeStream final : public vistrec::platform::AudioCaptureStream {
  public:
    FakeStream() {
        g_server.Change([] { ++g_server.alive; });
    }
    ~FakeStream() override {
        g_server.Change([] { --g_server.alive; });
    }
    int DefaultDeviceName(std::string* name) override { return *name = "fake", 0; }
    int ReadDeviceFormat(const std::string&, vistrec::platform::AudioDeviceFormat* f) override {
        return *f = {false, 16, 2, 48000}, 0;
    }
    int Open(const std::string&, int, int) override {
        std::lock_guard<std::mutex> hold(g_server.lock);
        return std::exchange(g_server.failOpen, false) ? 1 : 0;
    }
    int Start() override { return g_server.PassPoint(HoldAt::kStart), 0; }
    int Stop() override { return 0; }
    // One packet per pass: ready, then empty after it was read.
    int Readable(size_t* bytes) override {
        return *bytes = std::exchange(m_justRead, false) ? 0 : kPacketBytes, 0;
    }
    int Read(void* dst, size_t capacity, size_t* got) override {
        g_server.PassPoint(HoldAt::kRead);
        *got = std::min(capacity, kPacketBytes);
        std::fill_n(static_cast<uint8_t*>(dst), *got, uint8_t{0x11});
        return m_justRead = true, 0;
    }
    uint32_t ServerChangeCount() const override { return 0; }
    std::string DeviceName() const override { return "fake"; }

  private:
    bool m_justRead = false;
};

}  // namespace

namespace vistrec::platform {
int DefaultAudioDeviceName(AudioDeviceKind, std::string* name) {
    return *name = "fake", 0;
}
std::string AudioErrorText(int error) {
    return "fake server error " + std::to_string(error);
}
int RaiseAudioThreadPriority() {
    return 0;
}
int ConnectAudioCapture(AudioDeviceKind, std::unique_ptr<AudioCaptureStream>* out, unsigned) {
    return *out = std::make_unique<FakeStream>(), 0;
}
int ConnectMicrophoneRecorder(std::unique_ptr<AudioCaptureStream>* out) {
    return ConnectAudioCapture(AudioDeviceKind::kMicrophone, out, 100);
}
}  // namespace vistrec::platform

namespace {

// The shared slots on an encoder of its own, counting reaches of it where the pause flag is clear
// but the encoder's paused time lags: a loop pass then would count the pause as recorded time.
class PauseProbe final : public CRecorderSlots {
  public:
    void setCallback(IRecordCallback*) override {}
    void setAudioFile(const char*) override {}
    void setAudioMode(int) override {}
    void startRecord() override { BeginRecording(); }
    unsigned int stopRecord() override { return 0; }
    int staleReads = 0;

  protected:
    CH264WindowRecorder& Encoder() override {
        if (!m_clock.m_pause.load() && m_encoder.m_pausedMs.load() != m_clock.PausedMs())
            ++staleReads;
        return m_encoder;
    }

  private:
    CH264WindowRecorder m_encoder{nullptr};
};

TEST(RecorderPause, PausedTimeIsPublishedBeforeTheFlagClears) {
    PauseProbe probe;
    probe.startRecord();
    for (int i = 0; i < 3; ++i) {
        probe.pauseRecord();
        vistrec::platform::SleepMs(20);
        EXPECT_GE(probe.resumeRecord(), 20);
    }
    EXPECT_EQ(probe.staleReads, 0) << "the flag cleared before the paused time was published";
}

// A capture thread held inside a server call while its cycle ends (in Read; or in Start, with
// the next cycle's stream failing to open); once let go, its reports must change nothing.
TEST(CaptureCycle, LateReportsOfAnEndedCycleAreDropped) {
    for (const bool secondCycleFails : {false, true}) {
        SCOPED_TRACE(secondCycleFails ? "held in Start" : "held in Read");
        CAudioRecordT<true> rec;
        g_server.Change([&] {
            g_server.holdAt = secondCycleFails ? HoldAt::kStart : HoldAt::kRead;
            g_server.held = g_server.released = g_server.failOpen = false;
        });
        ASSERT_TRUE(rec.StartCapture());
        ASSERT_TRUE(g_server.WaitFor([] { return g_server.held; })) << "never reached the hold";
        rec.StopCapture(true);
        if (secondCycleFails) {
            g_server.Change([] { g_server.failOpen = true; });
            ASSERT_TRUE(rec.StartCapture());
            ASSERT_TRUE(g_server.WaitFor([] { return g_server.alive == 1; }))
                << "the failed stream did not go";
            ASSERT_TRUE(rec.HasError()) << "the second cycle reports its failure";
        }
        const int rawBefore = rec.RawBytes();
        g_server.Change([] { g_server.released = true; });
        ASSERT_TRUE(g_server.WaitFor([] { return g_server.alive == 0; }))
            << "the first cycle's thread did not end";
        EXPECT_TRUE(!secondCycleFails || rec.HasError()) << "the old thread cleared the error";
        EXPECT_EQ(rec.RawBytes(), rawBefore) << "the old thread appended sound after the stop";
        rec.StopCapture(true);
    }
}

}  // namespace
