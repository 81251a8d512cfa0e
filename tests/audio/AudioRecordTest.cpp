// The recorder's buffering and resampling rules, fed through its capture callbacks as a capture
// engine would feed it, and drained as the audio pump does. No sound server is involved.
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
#include "platform/Platform.h"

namespace {

using vistrec::test::ToneAmplitude;
using vistrec::test::ToneFrames;

constexpr int kBlock = 3200;  // the pump's block
constexpr double kFullScale = 32767.0;

// A recorder with a capture format and a tone generator that continues where it left off.
template <bool kMic>
class Feeder {
  public:
    Feeder(CAudioRecordT<kMic>& rec, int rate, int channels)
        : rec_(rec), rate_(rate), ch_(channels) {}

    void Tone(int frames, double frequency, double amplitude, int toneChannel = -1) {
        const std::vector<int16_t> pcm =
            ToneFrames(rate_, ch_, next_, frames, frequency, amplitude, toneChannel);
        rec_.OnCaptureData(reinterpret_cast<const uint8_t*>(pcm.data()),
                           static_cast<uint32_t>(pcm.size() * 2));
        next_ += frames;
    }
    // One pump step: one 50 ms chunk at the device rate to 16-bit mono 16 kHz.
    int Resample() {
        return rec_.AudioResampling(AV_SAMPLE_FMT_S16, ch_, rate_, nullptr, rate_ / 20,
                                    AV_SAMPLE_FMT_S16, 1, 16000, nullptr);
    }
    int ChunkBytes() const { return rate_ / 20 * ch_ * 2; }

  private:
    CAudioRecordT<kMic>& rec_;
    int rate_, ch_;
    long next_ = 0;
};

// Everything the recorder has resampled, fetched block by block.
template <bool kMic>
std::vector<int16_t> FetchAll(CAudioRecordT<kMic>& rec) {
    std::vector<int16_t> out;
    uint8_t block[kBlock];
    int got = 0;
    while (rec.isCanFetch()) {
        rec.FetchData(block, kBlock, &got);
        if (got != kBlock)
            break;
        const int16_t* s = reinterpret_cast<const int16_t*>(block);
        out.insert(out.end(), s, s + kBlock / 2);
    }
    return out;
}

// Amplitude of a tone after resampling, as a fraction of full scale: feeds `chunks` chunks of
// a 1 kHz tone and measures the output after the first 100 ms.
double ResampledToneLevel(int rate, int channels, int toneChannel, double amplitude) {
    CAudioRecordT<true> rec;
    Feeder<true> feed(rec, rate, channels);
    feed.Tone(rate / 20 * 24, 1000.0, amplitude, toneChannel);
    for (int i = 0; i < 24; ++i)
        feed.Resample();
    const std::vector<int16_t> out = FetchAll(rec);
    if (out.size() < 3200)
        return -1.0;
    return ToneAmplitude(out.data() + 1600, out.size() - 1600, 1000.0, 16000.0) / kFullScale;
}

TEST(AudioRecordFormat, FloatBecomes16BitPcmAndIsKept) {
    CAudioRecordT<false> rec;
    int rate = 0, channels = 0;
    EXPECT_FALSE(rec.GetCaptureFormat(&rate, &channels)) << "no format before the first stream";

    CaptureFormat f;
    f.wFormatTag = kCaptureFormatFloat;
    f.nChannels = 2;
    f.nSamplesPerSec = 48000;
    f.wBitsPerSample = 32;
    f.nBlockAlign = 8;
    f.nAvgBytesPerSec = 384000;
    rec.OnAdjustCaptureFormat(&f);
    EXPECT_EQ(f.wFormatTag, kCaptureFormatPcm);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, 48000u);
    ASSERT_TRUE(rec.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 2);

    // Integer formats pass unchanged; the newest format replaces the kept one.
    CaptureFormat pcm;
    pcm.wFormatTag = kCaptureFormatPcm;
    pcm.nChannels = 1;
    pcm.nSamplesPerSec = 44100;
    pcm.wBitsPerSample = 32;
    pcm.nBlockAlign = 4;
    pcm.nAvgBytesPerSec = 176400;
    rec.OnAdjustCaptureFormat(&pcm);
    EXPECT_EQ(pcm.wBitsPerSample, 32);
    EXPECT_EQ(pcm.nBlockAlign, 4);
    ASSERT_TRUE(rec.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 1);
}

TEST(AudioResampling, Stereo48kChunkRulesAndFetch) {
    CAudioRecordT<true> rec;
    Feeder<true> feed(rec, 48000, 2);
    ASSERT_EQ(feed.ChunkBytes(), 9600);  // 2400 frames x 2 channels x 2 bytes

    // Exactly one chunk queued: the resampler is built, nothing is converted.
    feed.Tone(2400, 1000.0, 0.3);
    EXPECT_EQ(feed.Resample(), -1);
    EXPECT_EQ(rec.RawBytes(), 9600);
    EXPECT_EQ(rec.ResampledBytes(), 0);

    // The first chunk after a (re)build comes out short by the resampler's start-up delay
    // (784 of 800 samples); what it gives is kept.
    feed.Tone(2400, 1000.0, 0.3);
    EXPECT_EQ(feed.Resample(), 0);
    EXPECT_EQ(rec.RawBytes(), 9600);
    const int first = rec.ResampledBytes();
    EXPECT_GT(first, 1400);
    EXPECT_LT(first, 1600);

    // Steady state: each call takes 9600 bytes and yields 800 samples (1600 bytes).
    feed.Tone(2400, 1000.0, 0.3);
    EXPECT_EQ(feed.Resample(), 0);
    EXPECT_EQ(rec.RawBytes(), 9600);
    EXPECT_EQ(rec.ResampledBytes(), first + 1600);
    EXPECT_FALSE(rec.isCanFetch());

    uint8_t block[kBlock];
    int got = 7;
    EXPECT_EQ(rec.FetchData(block, kBlock, &got), first + 1600)
        << "too little: reports what is queued";
    EXPECT_EQ(got, 0);
    EXPECT_EQ(rec.ResampledBytes(), first + 1600);

    feed.Tone(2400, 1000.0, 0.3);
    EXPECT_EQ(feed.Resample(), 0);
    EXPECT_EQ(rec.ResampledBytes(), first + 3200);
    EXPECT_TRUE(rec.isCanFetch());
    EXPECT_EQ(rec.FetchData(block, kBlock, &got), first) << "returns what is left";
    EXPECT_EQ(got, kBlock);
    EXPECT_EQ(rec.ResampledBytes(), first);

    // Three more calls, one fetch: a null count pointer is allowed.
    for (int i = 0; i < 3; ++i) {
        feed.Tone(2400, 1000.0, 0.3);
        EXPECT_EQ(feed.Resample(), 0);
    }
    EXPECT_EQ(rec.FetchData(block, kBlock, nullptr), first + 1600);
    EXPECT_EQ(rec.RawBytes(), 9600) << "one chunk always stays behind";

    EXPECT_EQ(rec.AudioResampling(AV_SAMPLE_FMT_S16, 2, 48000, nullptr, 0, AV_SAMPLE_FMT_S16, 1,
                                  16000, nullptr),
              -1)
        << "a chunk of no samples is refused";
}

TEST(AudioResampling, Rate44100TakesChunksOf2205Frames) {
    CAudioRecordT<false> rec;
    Feeder<false> feed(rec, 44100, 2);
    ASSERT_EQ(feed.ChunkBytes(), 8820);  // 2205 frames x 4 bytes
    feed.Tone(2205 * 3, 1000.0, 0.3);
    EXPECT_EQ(feed.Resample(), 8820);  // built: returns the chunk size; a short first chunk
    EXPECT_EQ(rec.RawBytes(), 8820 * 2);
    const int first = rec.ResampledBytes();
    EXPECT_GT(first, 1400);
    EXPECT_LT(first, 1600);
    EXPECT_EQ(feed.Resample(), 0);
    EXPECT_EQ(rec.RawBytes(), 8820);
    EXPECT_EQ(rec.ResampledBytes(), first + 1600) << "2205 frames at 44100 Hz are 800 at 16 kHz";
    EXPECT_EQ(feed.Resample(), -1) << "exactly one chunk left";
    EXPECT_EQ(rec.RawBytes(), 8820);
}

TEST(AudioResampling, ToneKeepsPitchAndLevel) {
    // Identical stereo channels come out at their own level in mono.
    EXPECT_NEAR(ResampledToneLevel(48000, 2, -1, 0.3), 0.3, 0.015);
    EXPECT_NEAR(ResampledToneLevel(44100, 2, -1, 0.3), 0.3, 0.015);
    EXPECT_NEAR(ResampledToneLevel(16000, 1, -1, 0.3), 0.3, 0.015);

    // The 1 kHz tone is not moved to another frequency.
    CAudioRecordT<true> rec;
    Feeder<true> feed(rec, 44100, 2);
    feed.Tone(2205 * 24, 1000.0, 0.3);
    for (int i = 0; i < 24; ++i)
        feed.Resample();
    const std::vector<int16_t> out = FetchAll(rec);
    ASSERT_GE(out.size(), 16000u);
    EXPECT_LT(ToneAmplitude(out.data(), out.size(), 1102.5, 16000.0) / kFullScale, 0.01);
    EXPECT_LT(ToneAmplitude(out.data(), out.size(), 2756.25, 16000.0) / kFullScale, 0.01);
}

TEST(AudioResampling, FourChannelsMixDownFrom40Layout) {
    // 4.0 is front left, front right, front centre, back centre. Mixed to mono the centre
    // counts most, the fronts by 1/sqrt(2) of it and the back centre by 1/2 of it; the sum of
    // the weights is brought to 1 (1 + 2 x 0.707 + 0.5 x 0.707 x 0.707 ... = 2.914).
    const double a = 0.6;
    const double frontLeft = ResampledToneLevel(48000, 4, 0, a);
    const double frontRight = ResampledToneLevel(48000, 4, 1, a);
    const double centre = ResampledToneLevel(48000, 4, 2, a);
    const double back = ResampledToneLevel(48000, 4, 3, a);
    EXPECT_NEAR(centre, a / 2.914, 0.02);
    EXPECT_NEAR(frontLeft, a * 0.7071 / 2.914, 0.02);
    EXPECT_NEAR(frontRight, frontLeft, 0.005);
    EXPECT_NEAR(back, a * 0.5 / 2.914, 0.02);
    // Taken as quad (back left, back right) the third channel would be quieter than the first.
    EXPECT_GT(centre, frontLeft * 1.2);
}

TEST(AudioResampling, FormatChangeRebuildsForTheNewChunk) {
    CAudioRecordT<true> rec;
    Feeder<true> at48(rec, 48000, 2);
    at48.Tone(2400 * 4, 1000.0, 0.3);
    at48.Resample();
    at48.Resample();
    at48.Resample();
    // Three chunks, the first a few samples short of 800.
    const int queued = rec.ResampledBytes();
    EXPECT_GT(queued, 4600);
    EXPECT_LT(queued, 4800);
    EXPECT_EQ(rec.RawBytes(), 9600);
    FetchAll(rec);
    const int left = rec.ResampledBytes();  // less than a block stays queued
    EXPECT_EQ(left, queued - 3200);
    rec.ClearCaptured();  // as on a new capture
    EXPECT_EQ(rec.RawBytes(), 0);

    // Another device: 16 kHz mono. The queued bytes are now read in chunks of 800 frames; at
    // the output rate there is no start-up delay, so the rebuilding call converts at once and
    // returns the new chunk's byte count.
    Feeder<true> at16(rec, 16000, 1);
    ASSERT_EQ(at16.ChunkBytes(), 1600);
    at16.Tone(800 * 6, 440.0, 0.5);
    EXPECT_EQ(at16.Resample(), 1600);
    EXPECT_EQ(rec.RawBytes(), 1600 * 5);
    EXPECT_EQ(rec.ResampledBytes(), left + 1600);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(at16.Resample(), 0);
    EXPECT_EQ(rec.RawBytes(), 1600);
    EXPECT_EQ(rec.ResampledBytes(), left + 5 * 1600);
    const std::vector<int16_t> out = FetchAll(rec);
    ASSERT_EQ(out.size(), static_cast<size_t>((left + 8000) / 3200 * 1600));  // whole blocks
    // After the remainder of the first device, the new device's tone at its own level.
    const size_t skip = static_cast<size_t>(left / 2);
    EXPECT_NEAR(ToneAmplitude(out.data() + skip, out.size() - skip, 440.0, 16000.0) / kFullScale,
                0.5, 0.03);
}

TEST(AudioRecordBuffers, ClearAndStopWithoutCapture) {
    CAudioRecordT<false> rec;
    Feeder<false> feed(rec, 48000, 2);
    feed.Tone(2400 * 4, 1000.0, 0.3);
    feed.Resample();
    feed.Resample();
    const int queued = rec.ResampledBytes();
    EXPECT_GT(queued, 3000);
    EXPECT_FALSE(rec.IsRunning());

    // Without a capture thread StopCapture leaves the queues alone.
    rec.StopCapture(true);
    EXPECT_EQ(rec.RawBytes(), 9600 * 2);
    EXPECT_EQ(rec.ResampledBytes(), queued);

    // ClearCaptured empties the raw queue only; ClearBuffers both.
    rec.ClearCaptured();
    EXPECT_EQ(rec.RawBytes(), 0);
    EXPECT_EQ(rec.ResampledBytes(), queued);
    feed.Tone(2400, 1000.0, 0.3);
    rec.ClearBuffers();
    EXPECT_EQ(rec.RawBytes(), 0);
    EXPECT_EQ(rec.ResampledBytes(), 0);

    // The error and data flags follow the engine's reports.
    rec.OnCaptureError(true);
    rec.OnDataState(true);
    EXPECT_TRUE(rec.HasError());
    EXPECT_TRUE(rec.IsDataFlowing());
    rec.OnDeviceName("vistrec_play");
    EXPECT_EQ(rec.DeviceName(), "vistrec_play");
    EXPECT_FALSE(rec.RestartIfFailed(false)) << "no capture thread: the watchdog step does nothing";
    EXPECT_TRUE(rec.HasError());
}

TEST(CaptureWatchdog, PassesAndEndsPromptly) {
    // Nothing is wanted, so each pass only asks; the destructor ends the thread within one
    // wait.
    CAudioRecordT<true> mic;
    CAudioRecordT<false> playback;
    std::atomic<int> passes{0};
    auto watchdog = std::make_unique<CCaptureWatchdog>(mic, playback, [&] {
        ++passes;
        return 0u;
    });
    vistrec::platform::SleepMs(100);
    EXPECT_GE(passes.load(), 3) << "a pass every 15 ms";
    EXPECT_LE(passes.load(), 8);
    const int64_t t = vistrec::platform::GetMsTime();
    watchdog.reset();
    const int64_t took = vistrec::platform::GetMsTime() - t;
    printf("[ figures  ] watchdog: %d passes in 100 ms, destructor %lld ms\n", passes.load(),
           static_cast<long long>(took));
    EXPECT_LT(took, 100);
}

}  // namespace
