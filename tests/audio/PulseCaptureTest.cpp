// The capture engines and recorders against a real, private PulseAudio server: tones played
// into null sinks are captured, resampled and recognised; silence, a new default device and a
// lost server are handled as the capture rules say. Timings are printed, not judged, except
// for the restart bound.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <atomic>
#include <memory>
#include <vector>

#include "audio/ToneAnalysis.h"
#include "audiocapture/AudioRecord.h"
#include "audiocapture/CaptureWatchdog.h"
#include "common/PulseFixture.h"

namespace {

using vistrec::test::ChildProcess;
using vistrec::test::PulseNowMs;
using vistrec::test::PulseServer;
using vistrec::test::ToneAmplitude;
using vistrec::test::WriteToneWav;

constexpr int kBlock = 3200;
constexpr double kFullScale = 32767.0;

// What the audio pump does for one recorder on one tick: resample a chunk, fetch whole blocks.
template <bool kMic>
void PumpOnce(CAudioRecordT<kMic>& rec, std::vector<int16_t>* out) {
    int rate = 0, channels = 0;
    if (!rec.IsRunning() || !rec.GetCaptureFormat(&rate, &channels))
        return;
    rec.AudioResampling(AV_SAMPLE_FMT_S16, channels, rate, nullptr, rate / 20, AV_SAMPLE_FMT_S16, 1,
                        16000, nullptr);
    uint8_t block[kBlock];
    int got = 0;
    while (rec.isCanFetch()) {
        rec.FetchData(block, kBlock, &got);
        if (got != kBlock)
            break;
        const int16_t* s = reinterpret_cast<const int16_t*>(block);
        out->insert(out->end(), s, s + kBlock / 2);
    }
}

// Number of 100 ms blocks in which `frequency` is present at `minLevel` of full scale or more
// while `absent` stays below 1 % of full scale.
int BlocksWithTone(const std::vector<int16_t>& pcm, double frequency, double absent,
                   double minLevel) {
    int count = 0;
    for (size_t at = 0; at + 1600 <= pcm.size(); at += 1600) {
        const double on = ToneAmplitude(pcm.data() + at, 1600, frequency, 16000.0) / kFullScale;
        const double off = ToneAmplitude(pcm.data() + at, 1600, absent, 16000.0) / kFullScale;
        if (on >= minLevel && off < 0.01)
            ++count;
    }
    return count;
}

// Polls cond every millisecond for up to timeoutMs; returns the milliseconds it took, or -1.
template <class Cond>
int64_t WaitFor(Cond cond, int timeoutMs) {
    const int64_t start = PulseNowMs();
    while (!cond()) {
        if (PulseNowMs() - start > timeoutMs)
            return -1;
        usleep(1000);
    }
    return PulseNowMs() - start;
}

// Every test gets its own server; its sinks run like real devices (see PulseServer).
class PulseCapture : public ::testing::Test {
  protected:
    virtual PulseServer::Options ServerOptions() const { return PulseServer::Options(); }

    void SetUp() override {
        pulse_ = std::make_unique<PulseServer>(ServerOptions());
        std::string error;
        ASSERT_TRUE(pulse_->Start(&error)) << error;
        pulse_->ExportServer();
    }
    void TearDown() override { pulse_.reset(); }

    PulseServer& server() { return *pulse_; }

    std::string Wav(const char* name, double frequency, int rate, int channels, double seconds) {
        const std::string path = server().dir() + "/" + name;
        EXPECT_TRUE(WriteToneWav(path, frequency, rate, channels, seconds, 0.5));
        return path;
    }

  private:
    std::unique_ptr<PulseServer> pulse_;
};

// The playback sink suspends when nothing plays into it, as desktop servers do.
class PulseCaptureIdlePlayback : public PulseCapture {
  protected:
    PulseServer::Options ServerOptions() const override {
        PulseServer::Options options;
        options.keepPlaybackRunning = false;
        return options;
    }
};

TEST_F(PulseCapture, EachEngineHearsItsOwnDevice) {
    const std::string tone440 = Wav("440.wav", 440.0, 48000, 2, 2.5);
    const std::string tone1000 = Wav("1000.wav", 1000.0, 48000, 2, 2.5);

    CAudioRecordT<true> mic;
    CAudioRecordT<false> playback;
    const int64_t t0 = PulseNowMs();
    ASSERT_TRUE(mic.StartCapture());
    const int64_t startMs = PulseNowMs() - t0;
    ASSERT_TRUE(mic.WaitCaptureStarted(3000));
    const int64_t toStartedMs = PulseNowMs() - t0;
    const int64_t toDataMs = WaitFor([&] { return mic.RawBytes() > 0; }, 3000) + toStartedMs;
    printf(
        "[ figures  ] StartCapture returned after %lld ms, stream started after %lld ms, "
        "first data after %lld ms\n",
        static_cast<long long>(startMs), static_cast<long long>(toStartedMs),
        static_cast<long long>(toDataMs));
    ASSERT_TRUE(playback.StartCapture());
    ASSERT_TRUE(playback.WaitCaptureStarted(3000));
    // The name follows the start report.
    EXPECT_GE(WaitFor([&] { return !playback.DeviceName().empty(); }, 1000), 0);
    EXPECT_TRUE(mic.IsRunning());
    EXPECT_FALSE(mic.HasError());
    EXPECT_EQ(mic.DeviceName(), "vistrec_mic");
    EXPECT_EQ(playback.DeviceName(), "vistrec_play");
    EXPECT_EQ(CAudioCaptureT<true>::RecordedDeviceName(), "vistrec_mic");
    EXPECT_EQ(CAudioCaptureT<false>::RecordedDeviceName(), "vistrec_play");
    int rate = 0, channels = 0;
    ASSERT_TRUE(mic.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 2);

    ChildProcess micPlayer = server().Play(tone440, "vistrec_micsink");
    ChildProcess playbackPlayer = server().Play(tone1000, "vistrec_play");
    std::vector<int16_t> micPcm, playbackPcm;
    const int64_t start = PulseNowMs();
    int64_t firstMicBlockMs = -1;
    while (PulseNowMs() - start < 2800) {
        PumpOnce(mic, &micPcm);
        PumpOnce(playback, &playbackPcm);
        if (firstMicBlockMs < 0 && !micPcm.empty())
            firstMicBlockMs = PulseNowMs() - start;
        usleep(20000);
    }
    micPlayer.Wait(5000);
    playbackPlayer.Wait(5000);
    mic.StopCapture(true);
    playback.StopCapture(true);
    EXPECT_FALSE(mic.IsRunning());
    EXPECT_EQ(mic.RawBytes(), 0);

    // A 2.5 s tone at half scale: at least 1.5 s of it, near its level, with no cross-talk.
    const int micBlocks = BlocksWithTone(micPcm, 440.0, 1000.0, 0.4);
    const int playbackBlocks = BlocksWithTone(playbackPcm, 1000.0, 440.0, 0.4);
    printf(
        "[ figures  ] mic: %zu ms captured, %d blocks with 440 Hz; playback: %zu ms, %d "
        "blocks with 1000 Hz; first mic block after %lld ms\n",
        micPcm.size() / 16, micBlocks, playbackPcm.size() / 16, playbackBlocks,
        static_cast<long long>(firstMicBlockMs));
    EXPECT_GE(micBlocks, 15);
    EXPECT_GE(playbackBlocks, 15);
}

TEST_F(PulseCaptureIdlePlayback, SilentPlaybackReportsNoDataFlowing) {
    const std::string tone = Wav("1000.wav", 1000.0, 48000, 2, 0.5);
    ASSERT_GE(WaitFor([&] { return server().SinkState("vistrec_play") == "SUSPENDED"; }, 5000), 0);
    CAudioRecordT<false> playback;
    ASSERT_TRUE(playback.StartCapture());
    ASSERT_TRUE(playback.WaitCaptureStarted(3000));

    // Nothing plays: the suspended sink delivers nothing and every seventh 5 ms tick reports
    // that no data flows.
    usleep(200000);
    EXPECT_FALSE(playback.IsDataFlowing());
    const uint32_t tick1 = playback.StateTick();
    usleep(100000);
    const uint32_t tick2 = playback.StateTick();
    EXPECT_NE(tick1, 0u);
    EXPECT_GE(tick2 - tick1, 35u) << "the no-data report repeats";
    EXPECT_EQ(playback.RawBytes(), 0);

    ChildProcess player = server().Play(tone, "vistrec_play");
    const int64_t toFlowing = WaitFor([&] { return playback.IsDataFlowing(); }, 3000);
    EXPECT_GE(toFlowing, 0);
    player.Wait(5000);
    const int64_t ended = PulseNowMs();
    const int64_t toSilent = WaitFor([&] { return !playback.IsDataFlowing(); }, 5000);
    printf(
        "[ figures  ] data flowing %lld ms after the player started; no data %lld ms after "
        "it ended (server suspends idle sinks after 1 s)\n",
        static_cast<long long>(toFlowing), static_cast<long long>(toSilent));
    EXPECT_GE(toSilent, 0);
    EXPECT_GT(playback.RawBytes(), 0);
    EXPECT_FALSE(playback.HasError()) << "silence is not an error";
    EXPECT_TRUE(playback.IsRunning());
    (void)ended;
    playback.StopCapture(true);
}

TEST_F(PulseCapture, NewDefaultSourceEndsCaptureAndRestartFollowsIt) {
    ASSERT_TRUE(server().AddMicrophone("vistrec_micsink2", "vistrec_mic2", 44100, 1));
    CAudioRecordT<true> mic;
    ASSERT_TRUE(mic.StartCapture());
    ASSERT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);

    const int64_t t0 = PulseNowMs();
    ASSERT_EQ(server().Pactl({"set-default-source", "vistrec_mic2"}), 0);
    const int64_t pactlMs = PulseNowMs() - t0;
    ASSERT_GE(WaitFor([&] { return mic.HasError(); }, 3000), 0)
        << "a new default source sets the error flag";
    const int64_t t1 = PulseNowMs();
    EXPECT_FALSE(mic.IsDataFlowing());
    EXPECT_TRUE(mic.IsRunning()) << "the ended thread counts until it is stopped";

    ASSERT_TRUE(mic.RestartIfFailed(true));
    const int64_t restartCallMs = PulseNowMs() - t1;
    EXPECT_FALSE(mic.HasError());
    const int64_t toData = WaitFor([&] { return mic.RawBytes() > 0; }, 3000);
    ASSERT_GE(toData, 0);
    const int64_t restartToDataMs = PulseNowMs() - t1;
    printf(
        "[ figures  ] set-default-source -> error flag %lld ms (pactl itself took %lld ms); "
        "RestartIfFailed %lld ms; first data on the new device %lld ms after the error\n",
        static_cast<long long>(t1 - t0), static_cast<long long>(pactlMs),
        static_cast<long long>(restartCallMs), static_cast<long long>(restartToDataMs));
    EXPECT_LT(restartToDataMs, 500);
    EXPECT_EQ(mic.DeviceName(), "vistrec_mic2");
    EXPECT_EQ(CAudioCaptureT<true>::RecordedDeviceName(), "vistrec_mic2");
    int rate = 0, channels = 0;
    ASSERT_TRUE(mic.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 1);

    // The new device's sound comes through the rebuilt resampler.
    const std::string tone = Wav("440m.wav", 440.0, 44100, 1, 1.5);
    ChildProcess player = server().Play(tone, "vistrec_micsink2");
    std::vector<int16_t> pcm;
    const int64_t start = PulseNowMs();
    while (PulseNowMs() - start < 1800) {
        PumpOnce(mic, &pcm);
        usleep(20000);
    }
    player.Wait(5000);
    EXPECT_GE(BlocksWithTone(pcm, 440.0, 1000.0, 0.4), 10);
    EXPECT_FALSE(mic.HasError());
    mic.StopCapture(true);
}

TEST_F(PulseCapture, NewDefaultSinkRestartsLoopbackKeepingItsBuffers) {
    ASSERT_TRUE(server().AddSink("vistrec_play2", 44100, 2));
    CAudioRecordT<false> playback;
    ASSERT_TRUE(playback.StartCapture());
    ASSERT_GE(WaitFor([&] { return playback.RawBytes() > 0; }, 3000), 0);
    ASSERT_EQ(server().Pactl({"set-default-sink", "vistrec_play2"}), 0);
    ASSERT_GE(WaitFor([&] { return playback.HasError(); }, 3000), 0);

    // The watchdog's step for the playback recorder keeps what was captured.
    const int kept = playback.RawBytes();
    EXPECT_GT(kept, 0);
    ASSERT_TRUE(playback.RestartIfFailed(false));
    EXPECT_GE(playback.RawBytes(), kept);
    EXPECT_GE(WaitFor([&] { return playback.DeviceName() == "vistrec_play2"; }, 1000), 0);
    int rate = 0, channels = 0;
    ASSERT_TRUE(playback.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 2);
    playback.StopCapture(true);
    EXPECT_EQ(playback.RawBytes(), 0);
}

TEST_F(PulseCapture, RemovedDeviceSetsErrorAndRestartTakesTheNewDefault) {
    int remap = -1;
    ASSERT_TRUE(server().AddMicrophone("vistrec_micsink2", "vistrec_mic2", 48000, 2, &remap));
    ASSERT_EQ(server().Pactl({"set-default-source", "vistrec_mic2"}), 0);
    CAudioRecordT<true> mic;
    ASSERT_TRUE(mic.StartCapture());
    ASSERT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);
    EXPECT_GE(WaitFor([&] { return mic.DeviceName() == "vistrec_mic2"; }, 1000), 0);

    // The device goes away under the running stream.
    const int64_t t0 = PulseNowMs();
    ASSERT_EQ(server().Pactl({"unload-module", std::to_string(remap)}), 0);
    ASSERT_GE(WaitFor([&] { return mic.HasError(); }, 3000), 0);
    printf("[ figures  ] device removed -> error flag %lld ms (pactl included)\n",
           static_cast<long long>(PulseNowMs() - t0));
    EXPECT_FALSE(mic.IsDataFlowing());

    const std::string fallback = server().Default("get-default-source");
    ASSERT_FALSE(fallback.empty());
    ASSERT_NE(fallback, "vistrec_mic2");
    ASSERT_TRUE(mic.RestartIfFailed(true));
    EXPECT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);
    EXPECT_GE(WaitFor([&] { return mic.DeviceName() == fallback; }, 1000), 0) << fallback;
    EXPECT_FALSE(mic.HasError());
    mic.StopCapture(true);
}

TEST_F(PulseCapture, LostServerSetsErrorAndCaptureComesBack) {
    CAudioRecordT<true> mic;
    ASSERT_TRUE(mic.StartCapture());
    ASSERT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);

    // The server dies: the next tick's read fails.
    const int64_t killed = PulseNowMs();
    server().Kill();
    ASSERT_GE(WaitFor([&] { return mic.HasError(); }, 3000), 0);
    const int64_t toError = PulseNowMs() - killed;
    EXPECT_FALSE(mic.IsDataFlowing());
    EXPECT_TRUE(mic.IsRunning());

    std::string error;
    ASSERT_TRUE(server().Start(&error)) << error;
    const int64_t t1 = PulseNowMs();
    ASSERT_TRUE(mic.RestartIfFailed(true));
    const int64_t toData = WaitFor([&] { return mic.RawBytes() > 0; }, 3000);
    ASSERT_GE(toData, 0);
    const int64_t restartToDataMs = PulseNowMs() - t1;
    printf("[ figures  ] server killed -> error flag %lld ms; restart -> data %lld ms\n",
           static_cast<long long>(toError), static_cast<long long>(restartToDataMs));
    EXPECT_LT(restartToDataMs, 500);
    EXPECT_FALSE(mic.HasError());
    EXPECT_EQ(mic.DeviceName(), "vistrec_mic");

    // A restart attempted while the server is still away finds no device: the recorder is
    // left without a thread, so the watchdog step no longer acts, and a new StartCapture is
    // what opens it again once the server is back.
    server().Kill();
    ASSERT_GE(WaitFor([&] { return mic.HasError(); }, 3000), 0);
    EXPECT_FALSE(mic.RestartIfFailed(true));
    EXPECT_FALSE(mic.IsRunning());
    EXPECT_FALSE(mic.StartCapture()) << "no server";
    ASSERT_TRUE(server().Start(&error)) << error;
    EXPECT_FALSE(mic.RestartIfFailed(true));
    EXPECT_FALSE(mic.IsRunning());
    ASSERT_TRUE(mic.StartCapture());
    EXPECT_FALSE(mic.HasError());
    EXPECT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);
    mic.StopCapture(true);
}

TEST_F(PulseCapture, WatchdogKeepsWantedCapturesOnly) {
    ASSERT_TRUE(server().AddMicrophone("vistrec_micsink2", "vistrec_mic2", 44100, 1));
    CAudioRecordT<true> mic;
    CAudioRecordT<false> playback;
    std::atomic<unsigned> wanted{CCaptureWatchdog::kWantMicrophone};
    CCaptureWatchdog watchdog(mic, playback, [&] { return wanted.load(); });
    ASSERT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0) << "opened when wanted";

    const int64_t t = PulseNowMs();
    ASSERT_EQ(server().Pactl({"set-default-source", "vistrec_mic2"}), 0);
    const int64_t toRestart =
        WaitFor([&] { return !mic.HasError() && mic.DeviceName() == "vistrec_mic2"; }, 3000);
    ASSERT_GE(toRestart, 0);
    ASSERT_GE(WaitFor([&] { return mic.RawBytes() > 0; }, 3000), 0);
    printf("[ figures  ] watchdog: restarted on the new default after %lld ms\n",
           static_cast<long long>(PulseNowMs() - t));
    EXPECT_FALSE(playback.IsRunning()) << "the playback capture was never wanted";

    // Not wanted (a pause): stopped; wanted again: reopened at once.
    wanted = 0;
    watchdog.Wake();
    EXPECT_GE(WaitFor([&] { return !mic.IsRunning(); }, 500), 0);
    wanted = CCaptureWatchdog::kWantMicrophone;
    watchdog.Wake();
    EXPECT_GE(WaitFor([&] { return mic.IsRunning() && mic.RawBytes() > 0; }, 3000), 0);
}

}  // namespace
