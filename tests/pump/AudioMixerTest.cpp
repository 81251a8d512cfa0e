#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PumpTestSignals.h"
#include "audiocapture/AudioMixer.h"

namespace {

// amix with two inputs and default options, as measured: both inputs weighted 1/2, the sum
// rounded to the nearest integer with ties to even (float mixing, then lrintf).
int16_t AmixLaw(int16_t a, int16_t b) {
    return static_cast<int16_t>(std::nearbyint((a + b) / 2.0));
}

}  // namespace

TEST(AudioMixer, MixesTwoBlocksWithHalfWeights) {
    CAudioMixer mixer;
    ASSERT_GE(mixer.Init(), 0);
    EXPECT_EQ(-1, mixer.Init());  // the graph is built once

    std::mt19937 rng(7);
    std::uniform_int_distribution<int> any(-32768, 32767);
    // Several consecutive blocks: the graph must keep no samples between calls.
    for (int block = 0; block < 5; ++block) {
        std::vector<int16_t> in0(1600), in1(1600);
        for (int i = 0; i < 1600; ++i) {
            in0[i] = static_cast<int16_t>(any(rng));
            in1[i] = static_cast<int16_t>(any(rng));
        }
        // Ties both ways, extremes, cancellation.
        in0[0] = 1001, in1[0] = 0;
        in0[1] = 1003, in1[1] = 0;
        in0[2] = 32767, in1[2] = 32767;
        in0[3] = -32768, in1[3] = -32768;
        in0[4] = -1, in1[4] = 0;
        in0[5] = 12345, in1[5] = -12345;
        std::vector<int16_t> out(1600, 777);
        mixer.Mix(reinterpret_cast<const uint8_t*>(in0.data()),
                  reinterpret_cast<const uint8_t*>(in1.data()), 1600,
                  reinterpret_cast<uint8_t*>(out.data()));
        if (block == 0)
            printf("amix law: 1001+0 -> %d, 1003+0 -> %d, 32767+32767 -> %d, -32768-32768 -> %d\n",
                   out[0], out[1], out[2], out[3]);
        int mismatches = 0;
        for (int i = 0; i < 1600; ++i)
            mismatches += out[i] != AmixLaw(in0[i], in1[i]);
        EXPECT_EQ(0, mismatches) << "block " << block;
        EXPECT_EQ(500, out[0]);
        EXPECT_EQ(502, out[1]);
        EXPECT_EQ(32767, out[2]);
        EXPECT_EQ(-32768, out[3]);
        EXPECT_EQ(0, out[4]);
        EXPECT_EQ(0, out[5]);
    }

    // A tone mixed with silence comes out at half its amplitude.
    const std::vector<int16_t> tone = pumptest::Sine(1600, 440.0, 0.5);
    const std::vector<int16_t> silence(1600, 0);
    std::vector<int16_t> out(1600);
    mixer.Mix(reinterpret_cast<const uint8_t*>(silence.data()),
              reinterpret_cast<const uint8_t*>(tone.data()), 1600,
              reinterpret_cast<uint8_t*>(out.data()));
    for (int i = 0; i < 1600; ++i)
        ASSERT_LE(std::abs(out[i] - tone[i] / 2.0), 0.5) << i;
}

TEST(AudioMixer, LeavesOutputAloneWithoutInputsOrGraph) {
    std::vector<uint8_t> in(3200, 0x11), out(3200, 0x5a);
    const std::vector<uint8_t> untouched = out;

    CAudioMixer unbuilt;
    unbuilt.Mix(in.data(), in.data(), 1600, out.data());
    EXPECT_EQ(untouched, out);

    CAudioMixer mixer;
    ASSERT_GE(mixer.Init(), 0);
    mixer.Mix(nullptr, in.data(), 1600, out.data());
    mixer.Mix(in.data(), nullptr, 1600, out.data());
    mixer.Mix(in.data(), in.data(), 0, out.data());
    mixer.Mix(in.data(), in.data(), 1600, nullptr);
    EXPECT_EQ(untouched, out);

    // Still usable afterwards.
    mixer.Mix(in.data(), in.data(), 1600, out.data());
    EXPECT_EQ(in, out);  // x mixed with itself is x
}
