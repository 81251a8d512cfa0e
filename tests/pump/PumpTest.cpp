// The recorders' format and resampling rules, and the audio pump over fake sources.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <tuple>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "Media.h"
#include "audiocapture/AudioPump.h"
#include "audiocapture/AudioRecord.h"
#include "audiocapture/WaveRecorder.h"

namespace vistrec::test {
namespace {

constexpr int kBlock = 3200;  // the pump's block

// Whole blocks of a 1 kHz tone in channel `only` (-1: all) resampled as the pump does (50 ms).
std::vector<int16_t> Resampled(int rate, int channels, int only, double amplitude) {
    CAudioRecordT<true> rec;
    std::vector<int16_t> pcm(rate / 20 * 24 * channels), out(kBlock / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double v = amplitude * kFullScale * sin(2 * M_PI * 1000 * (i / channels) / rate);
        pcm[i] = only < 0 || int(i % channels) == only ? static_cast<int16_t>(lrint(v)) : 0;
    }
    rec.OnCaptureData(reinterpret_cast<const uint8_t*>(pcm.data()), pcm.size() * 2,
                      kUnknownCaptureMs);
    for (int i = 0; i < 24; ++i)
        rec.AudioResampling(AV_SAMPLE_FMT_S16, channels, rate, nullptr, rate / 20,
                            AV_SAMPLE_FMT_S16, 1, 16000, nullptr);
    pcm.clear();
    int got = 0;
    while (rec.isCanFetch() &&
           (rec.FetchData(reinterpret_cast<uint8_t*>(out.data()), kBlock, &got), got == kBlock))
        pcm.insert(pcm.end(), out.begin(), out.end());
    return pcm;
}

// Every fetched block carries the capture time of its first sample, whatever the packets'
// size: the raw queue's stamps, less the resampler's delay.
TEST(AudioRecordStamps, AFetchedBlockCarriesItsFirstSamplesCaptureTime) {
    for (const int packetMs : {7, 10, 45}) {
        SCOPED_TRACE(packetMs);
        CAudioRecordT<true> rec;
        const std::vector<int16_t> packet(48 * packetMs * 2, 100);
        for (int64_t ms = 0; ms < 1500; ms += packetMs)
            rec.OnCaptureData(reinterpret_cast<const uint8_t*>(packet.data()), packet.size() * 2,
                              5000 + ms);
        std::vector<uint8_t> block(kBlock);
        int got = 0;
        for (int64_t start = 5000; start < 6000; start += 100) {
            while (!rec.isCanFetch())
                ASSERT_GE(rec.AudioResampling(AV_SAMPLE_FMT_S16, 2, 48000, nullptr, 2400,
                                              AV_SAMPLE_FMT_S16, 1, 16000, nullptr),
                          0);
            rec.FetchData(block.data(), kBlock, &got);
            EXPECT_NEAR(rec.FetchedCaptureMs(), start, 2);
        }
    }
}

// Peak amplitude of `hz` from 100 ms on, as a fraction of full scale.
double Level(const std::vector<int16_t>& pcm, double hz) {
    return pcm.size() <= 1600
               ? -1.0
               : ToneAmplitude(pcm.data() + 1600, pcm.size() - 1600, hz, 16000) / kFullScale;
}

// Float capture becomes 16-bit PCM, integer formats pass unchanged; the newest format is kept.
TEST(AudioRecordFormat, FloatBecomes16BitPcmAndTheNewestFormatIsKept) {
    CAudioRecordT<false> rec;
    int rate = 0, channels = 0;
    EXPECT_FALSE(rec.GetCaptureFormat(&rate, &channels)) << "no format before the first stream";
    CaptureFormat f{kCaptureFormatFloat, 2, 48000, 384000, 8, 32};
    rec.OnAdjustCaptureFormat(&f);
    EXPECT_EQ(std::make_tuple(f.wFormatTag, f.nAvgBytesPerSec, f.nBlockAlign, f.wBitsPerSample),
              std::make_tuple(kCaptureFormatPcm, 192000u, uint16_t(4), uint16_t(16)));
    ASSERT_TRUE(rec.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(std::make_pair(rate, channels), std::make_pair(48000, 2));
    CaptureFormat pcm{kCaptureFormatPcm, 1, 44100, 176400, 4, 32};
    rec.OnAdjustCaptureFormat(&pcm);
    EXPECT_EQ(pcm.wBitsPerSample, 32);
    ASSERT_TRUE(rec.GetCaptureFormat(&rate, &channels));
    EXPECT_EQ(std::make_pair(rate, channels), std::make_pair(44100, 1));
}

TEST(AudioResampling, ToneKeepsPitchAndLevelAndFourChannelsMixAs40) {
    for (int rate : {48000, 44100, 16000})
        EXPECT_NEAR(Level(Resampled(rate, rate == 16000 ? 1 : 2, -1, 0.3), 1000), 0.3, 0.015)
            << rate;
    // 4.0 (FL, FR, FC, BC) to mono weighs 0.707, 0.707, 1 and 0.5 over 2.914 (quad would not).
    const double weights[] = {0.7071, 0.7071, 1.0, 0.5};
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(Level(Resampled(48000, 4, c, 0.6), 1000), 0.6 * weights[c] / 2.914, 0.02) << c;
}

std::vector<int16_t> Tone(int samples, double hz, double amplitude) {
    return Pcm16(Sine(kTrackRate, samples / double(kTrackRate), hz, amplitude));
}
int16_t Amix(int a, int b) {
    return static_cast<int16_t>(std::nearbyint((a + b) / 2.0));
}

// A source whose resampling calls each move 1600 bytes of the raw queue (in the hand-off
// format) into the block queue, from which whole 3200-byte blocks are fetched.
struct FakeSource : IPumpSource {
    bool running = true, flowing = true;
    int rate = 48000, channels = 2;
    std::vector<uint8_t> raw, blocks;
    std::vector<int> chunkSamples;  // srcSamples of each resampling call
    int fetches = 0;
    void Capture(const std::vector<int16_t>& s) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(s.data());
        raw.insert(raw.end(), b, b + s.size() * 2);
    }
    bool IsRunning() const override { return running; }
    bool IsDataFlowing() const override { return flowing; }
    bool GetCaptureFormat(int* r, int* c) const override { return *r = rate, *c = channels, true; }
    int AudioResampling(int srcFormat, int srcChannels, int srcRate, unsigned char*, int srcSamples,
                        int dstFormat, int dstChannels, int dstRate, unsigned char*) override {
        // The pump asks for 16-bit mono 16 kHz from a 50 ms chunk of the source's format.
        EXPECT_EQ(std::make_tuple(srcFormat, srcChannels, srcRate, dstFormat, dstChannels, dstRate),
                  std::make_tuple(int(AV_SAMPLE_FMT_S16), channels, rate, int(AV_SAMPLE_FMT_S16), 1,
                                  16000));
        chunkSamples.push_back(srcSamples);
        const size_t chunk = std::min<size_t>(raw.size(), 1600);
        blocks.insert(blocks.end(), raw.begin(), raw.begin() + chunk);
        raw.erase(raw.begin(), raw.begin() + chunk);
        return static_cast<int>(chunk / 2);
    }
    bool isCanFetch() override { return blocks.size() >= 3200; }
    int FetchData(uint8_t* out, int bytes, int* got) override {
        ++fetches;
        *got = static_cast<int>(blocks.size()) < bytes ? 0 : bytes;
        std::copy(blocks.begin(), blocks.begin() + *got, out);
        blocks.erase(blocks.begin(), blocks.begin() + *got);
        fetchedFrom = taken, taken += *got;
        return static_cast<int>(blocks.size());
    }
    // Sound captured without a break from firstMs (kUnknownCaptureMs: no times), 32 bytes a ms.
    int64_t firstMs = kUnknownCaptureMs, taken = 0, fetchedFrom = 0;
    int64_t FetchedCaptureMs() const override { return Stamp(fetchedFrom); }
    int64_t QueuedCaptureMs() const override {
        return blocks.empty() ? kUnknownCaptureMs : Stamp(taken);
    }
    int64_t Stamp(int64_t bytes) const {
        return firstMs == kUnknownCaptureMs ? firstMs : firstMs + bytes / 32;
    }
};

// A pump over two fake sources, recording what it hands off.
struct PumpRig {
    FakeSource mic, playback;
    CAudioMixer mixer;
    std::vector<std::vector<int16_t>> out;
    std::vector<int64_t> stamps;  // of each block handed off
    std::unique_ptr<CAudioPump> pump;
    explicit PumpRig(CNoiseSuppressor* ns = nullptr) {
        pump = std::make_unique<CAudioPump>(
            &mic, &playback, &mixer, mixer.Init(), ns,
            [this](const uint8_t* pcm, int bytes, int64_t capturedMs) {
                EXPECT_EQ(bytes, 3200);
                const int16_t* s = reinterpret_cast<const int16_t*>(pcm);
                out.emplace_back(s, s + 1600);
                stamps.push_back(capturedMs);
            });
    }
    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i)
            pump->Tick();
    }
};

// Both sources mixed by the real mixer: each weighted 1/2, rounded to nearest, ties to even.
TEST(AudioPump, MixesBothSourcesOnceEachHasAWholeBlock) {
    PumpRig rig;
    rig.playback.rate = 44100;
    // amix's law, ties both ways, saturation and cancellation included.
    std::vector<int16_t> mic = Tone(3200, 300, 0.3), playback = Tone(3200, 1200, 0.4);
    std::copy_n(std::vector<int16_t>{1001, 1003, 32767, -32768, -1, 12345}.data(), 6, mic.data());
    std::copy_n(std::vector<int16_t>{0, 0, 32767, -32768, 0, -12345}.data(), 6, playback.data());
    rig.mic.Capture(mic);
    rig.playback.Capture(playback);
    // Half a block each, both flowing: held back, nothing fetched.
    EXPECT_EQ(
        std::make_tuple(rig.pump->Tick(), rig.out.size(), rig.mic.fetches + rig.playback.fetches),
        std::make_tuple(0, size_t(0), 0));
    // 50 ms of 48 kHz and of 44.1 kHz per resampling call.
    EXPECT_EQ(std::make_pair(rig.mic.chunkSamples, rig.playback.chunkSamples),
              std::make_pair(std::vector<int>{2400}, std::vector<int>{2205}));
    rig.Tick(3);
    ASSERT_EQ(rig.out.size(), 2u);
    EXPECT_EQ(std::make_pair(rig.out[0][0], rig.out[0][1]),
              std::make_pair(int16_t(500), int16_t(502)));
    for (size_t i = 0; i < 3200; ++i)
        ASSERT_EQ(rig.out[i / 1600][i % 1600], Amix(mic[i], playback[i])) << i;
    rig.mic.flowing = rig.playback.flowing = false;  // drained and silent: nothing more
    rig.Tick();
    EXPECT_EQ(rig.out.size(), 2u);
}

// Blocks are mixed with those captured at the same time: a source whose next block is older
// than the other's by half a block or more loses the difference (a block at most per tick), and
// each hand-off carries the pair's time.
TEST(AudioPump, MixesBlocksCapturedTogether) {
    const struct {
        int64_t micMs, playbackMs;
        int micDropped, playbackDropped;
        int64_t firstOut;
    } rows[] = {
        {1000, 1000, 0, 0, 1000}, {1000, 1040, 0, 0, 1020},
        {1000, 1230, 2, 0, 1215},  // 1000 and 1100 have no partner; 30 ms apart is near enough
        {1180, 1000, 0, 2, 1180},  // 100 ms, then the 80 ms left: paired to the sample
        {1000, 1053, 1, 0, 1053},  // about half a block: not a block lost on either side
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.micMs - r.playbackMs);
        PumpRig rig;
        rig.mic.firstMs = r.micMs, rig.playback.firstMs = r.playbackMs;
        rig.mic.Capture(Tone(8 * 1600, 300, 0.3));
        rig.playback.Capture(Tone(8 * 1600, 1200, 0.3));
        rig.Tick(12);
        ASSERT_FALSE(rig.stamps.empty());
        EXPECT_EQ(std::make_tuple(rig.mic.fetches - int(rig.out.size()),
                                  rig.playback.fetches - int(rig.out.size()), rig.stamps[0]),
                  std::make_tuple(r.micDropped, r.playbackDropped, r.firstOut));
    }
}

// Mode 0: each block the pump hands over carries the capture time of its first sample, from
// the stamps of the pieces the microphone appended (32 bytes a millisecond), the oldest sound
// dropped from a full buffer taking its times with it.
TEST(AudioPump, AMicrophoneBlockCarriesItsFirstSamplesCaptureTime) {
    struct Case {
        int pieceBytes, pieces;
        std::vector<int64_t> stamps;  // of the blocks handed over
        bool suppress = false;        // through the suppressor, which delays the sound
    } const cases[] = {
        {3200, 4, {1000, 1100, 1200}},         // pieces of a block
        {1280, 11, {1000, 1100, 1200, 1300}},  // 40 ms pieces: a block starts inside one
        {32000, 11, {2000, 2100}},             // 11 s into a 10 s buffer: the first second went
        {3200, 3, {980, 1080}, true},
    };
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;  // the real libnuvra, from beside this program
    ASSERT_TRUE(ns.Available());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pieceBytes);
        CWaveRecorder mic;
        const std::vector<uint8_t> piece(c.pieceBytes, 1);
        for (int i = 0; i < c.pieces; ++i)
            mic.Append(piece.data(), c.pieceBytes, 1000 + int64_t(i) * c.pieceBytes / 32);
        std::vector<int64_t> stamps;
        CAudioPump pump(nullptr, nullptr, nullptr, -1, &ns,
                        [&](const uint8_t*, int, int64_t ms) { stamps.push_back(ms); });
        for (size_t i = 0; i < c.stamps.size(); ++i)
            pump.TickSource(&mic, c.suppress);
        EXPECT_EQ(stamps, c.stamps);
    }
}

// The suppressor delays the microphone by 20 ms: the playback mixed with it is delayed as much,
// and the block's stamp is as much earlier.
TEST(AudioPump, APlaybackMixedWithTheSuppressedMicrophoneIsDelayedAlike) {
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;  // the real libnuvra
    ASSERT_TRUE(ns.Available());
    PumpRig rig(&ns);
    rig.mic.firstMs = rig.playback.firstMs = 1000;
    std::vector<int16_t> mic(3 * 1600), playback(mic.size());
    for (int i = 0; i < 320; ++i)  // 20 ms of 1 kHz 100 samples into the second block
        mic[1700 + i] = static_cast<int16_t>(16000 * sin(2 * M_PI * i / 16));
    playback[1650] = 20000;
    rig.mic.Capture(mic);
    rig.playback.Capture(playback);
    rig.Tick(8);
    ASSERT_GE(rig.out.size(), 2u);
    const std::vector<int16_t>& b = rig.out[1];
    EXPECT_EQ(std::make_tuple(rig.stamps[0], rig.stamps[1], b[50], b[104], b[370]),
              std::make_tuple(int64_t{980}, int64_t{1080}, int16_t{0}, int16_t{0}, Amix(0, 20000)));
    EXPECT_GT(std::abs(b[424]), 4000);  // the microphone's tone, 320 samples late
}

// A microphone stopped with half a block left does not hold back the playback, passed as is:
// never suppressed (the microphone's suppression is measured by the recordings).
TEST(AudioPump, PassesThePlaybackAloneUnsuppressedOnceTheMicrophoneStopsFlowing) {
    std::vector<float> white(1600);
    AddWhiteNoise(&white, 0.05, 11);
    const std::vector<int16_t> block = Pcm16(white);
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;  // the real libnuvra, from beside this program
    ASSERT_TRUE(ns.Available());
    PumpRig rig(&ns);
    rig.mic.flowing = false;
    rig.mic.raw.assign(1600, 0x22);
    rig.playback.Capture(block);
    rig.Tick();
    EXPECT_TRUE(rig.out.empty());  // the playback has half a block
    rig.Tick();
    ASSERT_EQ(rig.out.size(), 1u);
    EXPECT_EQ(rig.out[0], block);
}

}  // namespace
}  // namespace vistrec::test
