// The microphone of audio mode 0: its Read rules, its bounded buffer, a clean failure without a
// sound server (the pump's tick over it is tested with the pump).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <numeric>
#include <tuple>
#include <vector>

#include "audiocapture/WaveRecorder.h"

namespace {

constexpr int kBlock = CWaveRecorder::kBlockBytes;

// A recorder holding `bytes` bytes counting up from 0 (mod 256).
std::vector<uint8_t> Fill(CWaveRecorder* rec, int bytes) {
    std::vector<uint8_t> v(static_cast<size_t>(bytes));
    std::iota(v.begin(), v.end(), uint8_t{0});
    rec->Append(v.data(), bytes);
    return v;
}

// Read needs strictly more than the request held and takes exactly the request from the front.
TEST(WaveRecorder, ReadTakesABlockOnlyWhenMoreThanABlockIsHeld) {
    struct Case {
        int held, result, got;
    };
    for (const Case c : {Case{0, 0, 0}, Case{kBlock, kBlock, 0}, Case{kBlock + 1, 1, kBlock},
                         Case{2 * kBlock, kBlock, kBlock}}) {
        CWaveRecorder rec;
        const std::vector<uint8_t> in = Fill(&rec, c.held);
        std::vector<uint8_t> out(kBlock, 0xEE);
        int got = -5;
        const int result = rec.Read(out.data(), kBlock, &got);
        EXPECT_EQ(std::make_tuple(result, got, rec.GetDataSize()),
                  std::make_tuple(c.result, c.got, c.held - c.got))
            << c.held << " held";
        EXPECT_TRUE(c.got == 0 || std::equal(out.begin(), out.end(), in.begin()));
    }
}

// Beyond 10 s the oldest sound goes, counted; Stop empties the buffer, never the data flag.
TEST(WaveRecorder, BufferKeepsTheNewestTenSecondsAndStopEmptiesIt) {
    CWaveRecorder rec;
    EXPECT_EQ(std::make_tuple(rec.GetSampleRate(), rec.HasData()), std::make_tuple(16000, false));
    for (int s = 0; s < 11; ++s)
        Fill(&rec, 32000);
    Fill(&rec, 1);
    std::vector<uint8_t> all(CWaveRecorder::kMaxBufferBytes - 1);
    int got = 0;
    rec.Read(all.data(), CWaveRecorder::kMaxBufferBytes - 1, &got);
    // A second and a byte dropped from seconds counting from 0: the front is 1.
    EXPECT_EQ(std::make_tuple(rec.DroppedBytes(), got, all[0], rec.GetDataSize()),
              std::make_tuple(int64_t{32001}, CWaveRecorder::kMaxBufferBytes - 1, uint8_t{1}, 1));
    rec.Stop();
    EXPECT_EQ(std::make_tuple(rec.GetDataSize(), rec.HasData()), std::make_tuple(0, true));
}

// No server: Start reports false at once, goes on trying, and Stop ends that promptly.
TEST(WaveRecorder, StartFailsCleanlyWithoutASoundServer) {
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-no-pulse", 1);
    CWaveRecorder rec;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(std::make_tuple(rec.Start(), rec.Start(), rec.IsRecording()),
              std::make_tuple(false, false, false));
    rec.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(CWaveRecorder::kStartWaitMs));
}

}  // namespace
