#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "PumpTestSignals.h"
#include "audiocapture/NoiseSuppressor.h"

namespace {

constexpr int kBlockSamples = 1600;  // 100 ms at 16 kHz: DFT bins 10 Hz apart
constexpr int kToneBin = 100;        // 1 kHz
constexpr int kToneHalfWidth = 2;    // bins counted as tone around it

struct Powers {
    double tone = 0;   // bins around 1 kHz
    double noise = 0;  // all other bins, DC excluded
    double RatioDb() const { return 10 * std::log10(tone / noise); }
};

// Spectral power of the given blocks (DFT of each block), split into tone and the rest.
Powers MeasurePowers(const std::vector<int16_t>& signal, int firstBlock, int blockCount) {
    std::vector<double> cosTable(kBlockSamples), sinTable(kBlockSamples);
    for (int i = 0; i < kBlockSamples; ++i) {
        cosTable[i] = std::cos(2 * pumptest::kPi * i / kBlockSamples);
        sinTable[i] = std::sin(2 * pumptest::kPi * i / kBlockSamples);
    }
    Powers p;
    for (int b = firstBlock; b < firstBlock + blockCount; ++b) {
        const int16_t* x = signal.data() + static_cast<size_t>(b) * kBlockSamples;
        for (int k = 1; k < kBlockSamples / 2; ++k) {
            double re = 0, im = 0;
            for (int n = 0; n < kBlockSamples; ++n) {
                const int idx = static_cast<int>((static_cast<long>(k) * n) % kBlockSamples);
                re += x[n] * cosTable[idx];
                im -= x[n] * sinTable[idx];
            }
            const double power = re * re + im * im;
            if (std::abs(k - kToneBin) <= kToneHalfWidth)
                p.tone += power;
            else
                p.noise += power;
        }
    }
    return p;
}

}  // namespace

TEST(NoiseSuppressor, LoadsLibnuvraUnlessDisabled) {
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;
    ASSERT_TRUE(ns.Available());
    const std::string& from = ns.LoadedFrom();
    printf("libnuvra loaded from %s\n", from.c_str());
    // Found beside the test program, by path, before the system's search path is tried.
    EXPECT_NE(std::string::npos, from.find('/'));
    EXPECT_NE(std::string::npos, from.find("libnuvra.so"));

    // The contract's lengths and nothing else.
    std::vector<uint8_t> in(3200, 0), out(16000, 0xee);
    EXPECT_EQ(3200, ns.Process(in.data(), 3200, out.data(), 3200));
    EXPECT_EQ(-1, ns.Process(in.data(), 3199, out.data(), 3200));
    EXPECT_EQ(-1, ns.Process(in.data(), 3200, out.data(), 3199));
    EXPECT_EQ(-1, ns.Process(nullptr, 3200, out.data(), 3200));
    EXPECT_EQ(-1, ns.Process(in.data(), 0, out.data(), 3200));
    EXPECT_EQ(0xee, out[3200]);  // nothing written past the block

    setenv("VISTREC_NO_NUVRA", "1", 1);
    CNoiseSuppressor disabled;
    unsetenv("VISTREC_NO_NUVRA");
    EXPECT_FALSE(disabled.Available());
    EXPECT_TRUE(disabled.LoadedFrom().empty());
    EXPECT_EQ(-1, disabled.Process(in.data(), 3200, out.data(), 3200));
}

TEST(NoiseSuppressor, RaisesToneToNoiseRatioOfAToneInWhiteNoise) {
    unsetenv("VISTREC_NO_NUVRA");
    CNoiseSuppressor ns;
    ASSERT_TRUE(ns.Available());

    // 5 s of white noise at 0.05 of full scale with a 1 kHz tone at 0.1 keyed on and off every
    // 400 ms, as speech comes and goes. (A tone that never stops is stationary itself: the
    // suppressor learns it as noise within about 1.5 s.)
    const int blocks = 50;
    std::mt19937 rng(2024);
    const std::vector<int16_t> noise = pumptest::WhiteNoise(blocks * kBlockSamples, 0.05, &rng);
    const std::vector<int16_t> tone = pumptest::Sine(blocks * kBlockSamples, 1000.0, 0.1);
    std::vector<int16_t> input(noise.size());
    for (size_t i = 0; i < input.size(); ++i) {
        const bool keyed = (i / kBlockSamples / 4) % 2 == 0;
        input[i] = pumptest::Clip16(static_cast<double>(noise[i]) + (keyed ? tone[i] : 0));
    }

    std::vector<int16_t> output(input.size());
    for (int b = 0; b < blocks; ++b) {
        const size_t offset = static_cast<size_t>(b) * kBlockSamples;
        ASSERT_EQ(3200, ns.Process(reinterpret_cast<const uint8_t*>(input.data() + offset), 3200,
                                   reinterpret_cast<uint8_t*>(output.data() + offset), 3200));
    }

    // The last 2 s, after the suppressor has learnt the noise.
    const Powers before = MeasurePowers(input, 30, 20);
    const Powers after = MeasurePowers(output, 30, 20);
    printf(
        "tone-to-noise ratio over the last 2 s: input %.2f dB, suppressed %.2f dB (%+.2f dB); "
        "tone power %+.2f dB, noise power %+.2f dB\n",
        before.RatioDb(), after.RatioDb(), after.RatioDb() - before.RatioDb(),
        10 * std::log10(after.tone / before.tone), 10 * std::log10(after.noise / before.noise));
    EXPECT_GT(after.RatioDb() - before.RatioDb(), 6.0);
    // The tone itself survives: it loses less than 2 dB.
    EXPECT_GT(10 * std::log10(after.tone / before.tone), -2.0);
}
