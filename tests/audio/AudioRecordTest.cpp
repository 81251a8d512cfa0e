// The audio recorders' format and resampling rules, fed through the capture callbacks as an
// engine feeds them and drained as the audio pump does.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "Media.h"
#include "audiocapture/AudioRecord.h"

namespace vistrec {
namespace test {
namespace {

constexpr int kBlock = 3200;  // the pump's block

// A 1 kHz tone of `amplitude` in channel `only` (-1: every channel), fed to a recorder and
// resampled 50 ms at a time to 16-bit mono 16 kHz as the pump does: what comes out in whole
// blocks.
std::vector<int16_t> Resampled(int rate, int channels, int only, double amplitude) {
    CAudioRecordT<true> rec;
    std::vector<int16_t> pcm(rate / 20 * 24 * channels), out(kBlock / 2);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double v = amplitude * kFullScale * sin(2 * M_PI * 1000 * (i / channels) / rate);
        pcm[i] = only < 0 || int(i % channels) == only ? static_cast<int16_t>(lrint(v)) : 0;
    }
    rec.OnCaptureData(reinterpret_cast<const uint8_t*>(pcm.data()), pcm.size() * 2);
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
    // 4.0 is front left, front right, front centre, back centre: mixed to mono the centre counts
    // 1, the fronts 0.707 and the back 0.5, normalised by their sum 2.914. As quad the third
    // channel would be quieter than the first.
    const double weights[] = {0.7071, 0.7071, 1.0, 0.5};
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(Level(Resampled(48000, 4, c, 0.6), 1000), 0.6 * weights[c] / 2.914, 0.02) << c;
    // Not moved to another frequency.
    const std::vector<int16_t> out = Resampled(44100, 2, -1, 0.3);
    ASSERT_GE(out.size(), 16000u);
    EXPECT_LT(Level(out, 1102.5), 0.01);
    EXPECT_LT(Level(out, 2756.25), 0.01);
}

}  // namespace
}  // namespace test
}  // namespace vistrec
