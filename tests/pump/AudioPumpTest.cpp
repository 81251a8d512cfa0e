#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "PumpTestSignals.h"
#include "audiocapture/AudioPump.h"

namespace {

// A captured source as the audio recorders present it to the pump. Captured sound waits in a
// raw queue (already in the hand-off format: the conversion itself is the recorders'
// business); each resampling call moves one 50 ms chunk (1600 bytes) into the block queue,
// from which whole 3200-byte blocks are fetched.
class FakeSource : public IPumpSource {
  public:
    struct ResampleCall {
        int srcFormat, srcChannels, srcRate, srcSamples, dstFormat, dstChannels, dstRate;
    };

    bool running = true;
    bool flowing = true;
    bool hasFormat = true;
    int rate = 48000;
    int channels = 2;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> blocks;
    std::vector<ResampleCall> resampleCalls;
    int fetches = 0;

    void Capture(const std::vector<int16_t>& samples) {
        const std::vector<uint8_t> b = pumptest::ToBytes(samples);
        raw.insert(raw.end(), b.begin(), b.end());
    }

    bool IsRunning() const override { return running; }
    bool IsDataFlowing() const override { return flowing; }
    bool GetCaptureFormat(int* r, int* c) const override {
        if (!hasFormat)
            return false;
        *r = rate;
        *c = channels;
        return true;
    }
    int AudioResampling(int srcFormat, int srcChannels, int srcRate, unsigned char*, int srcSamples,
                        int dstFormat, int dstChannels, int dstRate, unsigned char*) override {
        resampleCalls.push_back(
            {srcFormat, srcChannels, srcRate, srcSamples, dstFormat, dstChannels, dstRate});
        const size_t chunk = std::min<size_t>(raw.size(), 1600);
        blocks.insert(blocks.end(), raw.begin(), raw.begin() + chunk);
        raw.erase(raw.begin(), raw.begin() + chunk);
        return static_cast<int>(chunk / 2);
    }
    bool isCanFetch() override { return blocks.size() >= 3200; }
    int FetchData(uint8_t* out, int bytes, int* got) override {
        ++fetches;
        if (static_cast<int>(blocks.size()) < bytes) {
            *got = 0;
            return static_cast<int>(blocks.size());
        }
        std::copy(blocks.begin(), blocks.begin() + bytes, out);
        blocks.erase(blocks.begin(), blocks.begin() + bytes);
        *got = bytes;
        return static_cast<int>(blocks.size());
    }
};

struct Handoffs {
    std::vector<std::vector<int16_t>> blocks;
    std::vector<int> counts;
    CAudioPump::Handoff Sink() {
        return [this](const uint8_t* pcm, int bytes) {
            blocks.push_back(pumptest::ToSamples(pcm, 1600));
            counts.push_back(bytes);
        };
    }
};

std::vector<int16_t> Constant(int16_t v) {
    return std::vector<int16_t>(1600, v);
}

}  // namespace

TEST(AudioPump, MixesBothSourcesOnceEachHasAWholeBlock) {
    FakeSource mic, playback;
    playback.rate = 44100;
    const std::vector<int16_t> micSound = pumptest::Sine(3200, 300.0, 0.3);
    const std::vector<int16_t> playbackSound = pumptest::Sine(3200, 1200.0, 0.4);
    mic.Capture(micSound);
    playback.Capture(playbackSound);
    CAudioMixer mixer;
    const int init = mixer.Init();
    ASSERT_GE(init, 0);
    Handoffs out;
    CAudioPump pump(&mic, &playback, &mixer, init, nullptr, out.Sink());

    // First tick: half a block each, both flowing -> held back, nothing fetched.
    EXPECT_EQ(0, pump.Tick());
    EXPECT_TRUE(out.blocks.empty());
    EXPECT_EQ(0, mic.fetches + playback.fetches);
    // Each tick asks every running source for one 50 ms chunk of its own format.
    ASSERT_EQ(1u, mic.resampleCalls.size());
    const FakeSource::ResampleCall& m = mic.resampleCalls[0];
    EXPECT_EQ(AV_SAMPLE_FMT_S16, m.srcFormat);
    EXPECT_EQ(2, m.srcChannels);
    EXPECT_EQ(48000, m.srcRate);
    EXPECT_EQ(2400, m.srcSamples);
    EXPECT_EQ(AV_SAMPLE_FMT_S16, m.dstFormat);
    EXPECT_EQ(1, m.dstChannels);
    EXPECT_EQ(16000, m.dstRate);
    ASSERT_EQ(1u, playback.resampleCalls.size());
    EXPECT_EQ(2205, playback.resampleCalls[0].srcSamples);

    // Each following pair of ticks completes one block of each: one mixed hand-off.
    for (int tick = 0; tick < 3; ++tick)
        pump.Tick();
    ASSERT_EQ(2u, out.blocks.size());
    for (size_t b = 0; b < 2; ++b) {
        EXPECT_EQ(3200, out.counts[b]);
        for (int i = 0; i < 1600; ++i) {
            const int a = micSound[b * 1600 + i], p = playbackSound[b * 1600 + i];
            ASSERT_EQ(static_cast<int16_t>(std::nearbyint((a + p) / 2.0)), out.blocks[b][i])
                << "block " << b << " sample " << i;
        }
    }

    // Both sources drained and no longer flowing: nothing more is handed off.
    mic.flowing = playback.flowing = false;
    pump.Tick();
    EXPECT_EQ(2u, out.blocks.size());
}

TEST(AudioPump, PassesTheMicrophoneAloneOnceThePlaybackStopsFlowing) {
    FakeSource mic, playback;
    const std::vector<int16_t> micSound = pumptest::Sine(4800, 500.0, 0.25);
    mic.Capture(micSound);
    CAudioMixer mixer;
    const int init = mixer.Init();
    Handoffs out;
    CAudioPump pump(&mic, &playback, &mixer, init, nullptr, out.Sink());

    // The playback still claims to flow but delivers nothing: it holds every tick back, even
    // though the microphone has whole blocks.
    for (int tick = 0; tick < 4; ++tick)
        pump.Tick();
    EXPECT_TRUE(out.blocks.empty());
    EXPECT_GE(mic.blocks.size(), 3200u);

    // Seven empty capture ticks later the engine reports no data: the microphone passes alone,
    // unchanged (no mixing with silence), oldest block first.
    playback.flowing = false;
    pump.Tick();
    ASSERT_EQ(1u, out.blocks.size());
    EXPECT_EQ(3200, out.counts[0]);
    EXPECT_EQ(std::vector<int16_t>(micSound.begin(), micSound.begin() + 1600), out.blocks[0]);
    pump.Tick();
    ASSERT_EQ(2u, out.blocks.size());
    EXPECT_EQ(std::vector<int16_t>(micSound.begin() + 1600, micSound.begin() + 3200),
              out.blocks[1]);

    // A microphone that stopped flowing with half a block left does not hold the tick back
    // either, and delivers nothing; the playback then passes alone.
    mic.flowing = false;
    playback.flowing = true;
    playback.Capture(Constant(-1234));
    mic.blocks.clear();
    mic.raw.assign(1600, 0x22);
    pump.Tick();
    EXPECT_EQ(2u, out.blocks.size());  // playback has half a block: held back
    pump.Tick();
    ASSERT_EQ(3u, out.blocks.size());
    EXPECT_EQ(Constant(-1234), out.blocks[2]);
}

TEST(AudioPump, PlaybackOnlyWhenTheMicrophoneIsNotRunning) {
    FakeSource mic, playback;
    mic.running = false;
    mic.Capture(Constant(999));  // would show up in the mix if it were used
    mic.blocks.assign(3200, 0x33);
    playback.Capture(Constant(4321));
    CAudioMixer mixer;
    const int init = mixer.Init();
    Handoffs out;
    CAudioPump pump(&mic, &playback, &mixer, init, nullptr, out.Sink());
    pump.Tick();
    pump.Tick();
    ASSERT_EQ(1u, out.blocks.size());
    EXPECT_EQ(Constant(4321), out.blocks[0]);
    EXPECT_TRUE(mic.resampleCalls.empty());
    EXPECT_EQ(0, mic.fetches);

    // No capture format yet: no resampling request.
    playback.hasFormat = false;
    pump.Tick();
    EXPECT_EQ(2u, playback.resampleCalls.size());
}

TEST(AudioPump, HandsOffNothingWhenNeitherSourceDelivered) {
    FakeSource mic, playback;
    mic.flowing = playback.flowing = false;
    CAudioMixer mixer;
    const int init = mixer.Init();
    Handoffs out;
    CAudioPump pump(&mic, &playback, &mixer, init, nullptr, out.Sink());
    for (int tick = 0; tick < 3; ++tick)
        EXPECT_EQ(0, pump.Tick());
    mic.running = playback.running = false;
    EXPECT_EQ(0, pump.Tick());
    CAudioPump noSources(nullptr, nullptr, &mixer, init, nullptr, out.Sink());
    EXPECT_EQ(0, noSources.Tick());
    EXPECT_TRUE(out.blocks.empty());
}

TEST(AudioPump, FailedMixerHandsOffSilentBlocksWithTheTrueCount) {
    FakeSource mic, playback;
    mic.Capture(pumptest::Sine(3200, 700.0, 0.5));
    playback.Capture(pumptest::Sine(1600, 900.0, 0.5));
    Handoffs out;
    CAudioPump pump(&mic, &playback, nullptr, -1, nullptr, out.Sink());
    pump.Tick();
    pump.Tick();  // both deliver
    playback.flowing = false;
    pump.Tick();
    pump.Tick();  // microphone alone
    ASSERT_EQ(2u, out.blocks.size());
    for (size_t b = 0; b < out.blocks.size(); ++b) {
        EXPECT_EQ(3200, out.counts[b]);
        EXPECT_EQ(Constant(0), out.blocks[b]);
    }
}

TEST(AudioPump, SuppressesNoiseOnTheMicrophoneOnly) {
    // Thirty blocks of steady noise on the microphone: once the suppressor has learnt the
    // noise, the handed-off level falls well below the input's.
    std::mt19937 rng(11);
    const std::vector<int16_t> noise = pumptest::WhiteNoise(1600 * 30, 0.05, &rng);
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;
    ASSERT_TRUE(ns.Available());
    CAudioMixer mixer;
    const int init = mixer.Init();

    FakeSource mic, playback;
    playback.running = false;
    mic.Capture(noise);
    Handoffs out;
    CAudioPump pump(&mic, &playback, &mixer, init, &ns, out.Sink());
    for (int tick = 0; tick < 60; ++tick)
        pump.Tick();
    ASSERT_EQ(30u, out.blocks.size());
    const int inputLevel = VolumeLevel(noise.data() + 1600 * 29, 1600);
    const int outputLevel = VolumeLevel(out.blocks[29].data(), 1600);
    printf("noise level in %d, after suppression %d\n", inputLevel, outputLevel);
    EXPECT_LT(outputLevel * 2, inputLevel);

    // The playback path is never suppressed.
    FakeSource noMic, loud;
    noMic.running = false;
    loud.Capture(std::vector<int16_t>(noise.begin(), noise.begin() + 1600));
    Handoffs passed;
    CAudioPump playbackPump(&noMic, &loud, &mixer, init, &ns, passed.Sink());
    playbackPump.Tick();
    playbackPump.Tick();
    ASSERT_EQ(1u, passed.blocks.size());
    EXPECT_EQ(std::vector<int16_t>(noise.begin(), noise.begin() + 1600), passed.blocks[0]);
}
