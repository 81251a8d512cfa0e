#include <gtest/gtest.h>

#include <vector>

#include "PumpTestSignals.h"
#include "audiocapture/AudioPump.h"

TEST(VolumeLevel, ReadsMeanAbsoluteAmplitudeOnAFifthOfFullScale) {
    // Full-scale square wave (both extremes): 100.
    std::vector<short> square(1600);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 8) % 2 ? 32767 : -32768;
    EXPECT_EQ(100, VolumeLevel(square.data(), 1600));

    // Sine of 0.1 of full scale: mean |s| = 0.0637 of full scale -> 31.8, truncated.
    const std::vector<int16_t> sine = pumptest::Sine(1600, 1000.0, 0.1);
    EXPECT_EQ(31, VolumeLevel(sine.data(), 1600));

    // One fifth of full scale is the top of the scale; just under it truncates to 99.
    std::vector<short> constant(1600, 6554);
    EXPECT_EQ(100, VolumeLevel(constant.data(), 1600));
    constant.assign(1600, -6553);
    EXPECT_EQ(99, VolumeLevel(constant.data(), 1600));

    std::vector<short> silence(1600, 0);
    EXPECT_EQ(0, VolumeLevel(silence.data(), 1600));
    EXPECT_EQ(0, VolumeLevel(square.data(), 0));
    EXPECT_EQ(0, VolumeLevel(square.data(), -5));
    EXPECT_EQ(0, VolumeLevel(nullptr, 0));
}
