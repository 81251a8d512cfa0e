// Recorder rules checked without a display, on a scripted sound server (FakeAudioServer.cpp):
// the pause bookkeeping, and what a capture thread of an ended capture cycle may still reach.
#include <gtest/gtest.h>

#include <memory>

#include "FakeAudioServer.h"
#include "RecorderSlots.h"
#include "audiocapture/AudioRecord.h"
#include "platform/Platform.h"

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

using vistrec::test::FakeAudioServer;

// A capture thread held inside a server call while its cycle ends (in Read; or in Start, with
// the next cycle's stream failing to open); once let go, its reports must change nothing.
TEST(CaptureCycle, LateReportsOfAnEndedCycleAreDropped) {
    FakeAudioServer& server = FakeAudioServer::Get();
    for (const bool secondCycleFails : {false, true}) {
        SCOPED_TRACE(secondCycleFails ? "held in Start" : "held in Read");
        CAudioRecordT<true> rec;
        server.Hold(secondCycleFails ? FakeAudioServer::HoldAt::kStart
                                     : FakeAudioServer::HoldAt::kRead);
        ASSERT_TRUE(rec.StartCapture());
        ASSERT_TRUE(server.WaitHeld(3000)) << "the capture thread never reached the hold";
        rec.StopCapture(true);
        if (secondCycleFails) {
            server.FailNextOpen();
            ASSERT_TRUE(rec.StartCapture());
            ASSERT_TRUE(server.WaitStreamsAlive(1, 3000)) << "the failed stream did not go";
            ASSERT_TRUE(rec.HasError()) << "the second cycle reports its failure";
        }
        const int rawBefore = rec.RawBytes();
        server.Release();
        ASSERT_TRUE(server.WaitStreamsAlive(0, 3000)) << "the first cycle's thread did not end";
        EXPECT_TRUE(!secondCycleFails || rec.HasError()) << "the old thread cleared the error";
        EXPECT_EQ(rec.RawBytes(), rawBefore) << "the old thread appended sound after the stop";
        rec.StopCapture(true);
    }
}

}  // namespace
