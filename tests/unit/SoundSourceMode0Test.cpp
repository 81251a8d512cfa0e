// The microphone of audio mode 0: its Read rules, its bounded buffer, a clean failure without a
// sound server, and the pump's single-source tick over it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <numeric>
#include <tuple>
#include <vector>

#include "audiocapture/AudioPump.h"
#include "audiocapture/WaveRecorder.h"

namespace {

constexpr int kBlock = CWaveRecorder::kBlockBytes;

// `bytes` bytes counting up from `first` (mod 256).
std::vector<uint8_t> Bytes(int bytes, uint8_t first = 0) {
    std::vector<uint8_t> v(static_cast<size_t>(bytes));
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Read needs strictly more than the request held; it takes exactly the request from the front.
TEST(WaveRecorder, ReadTakesABlockOnlyWhenMoreThanABlockIsHeld) {
    struct Case {
        int held, request, result, got, left;
    };
    for (const Case c :
         {Case{0, kBlock, 0, 0, 0}, Case{kBlock, kBlock, kBlock, 0, kBlock},
          Case{kBlock + 1, kBlock, 1, kBlock, 1}, Case{2 * kBlock, kBlock, kBlock, kBlock, kBlock},
          Case{100, 10, 90, 10, 90}}) {
        CWaveRecorder rec;
        const std::vector<uint8_t> in = Bytes(c.held, 7);
        rec.Append(in.data(), c.held);
        std::vector<uint8_t> out(static_cast<size_t>(c.request), 0xEE);
        int got = -5;
        const int result = rec.Read(out.data(), c.request, &got);
        EXPECT_EQ(std::make_tuple(result, got, rec.GetDataSize()),
                  std::make_tuple(c.result, c.got, c.left))
            << c.held << " held, " << c.request << " asked";
        EXPECT_TRUE(c.got == 0 || std::equal(out.begin(), out.end(), in.begin()))
            << "from the front";
    }
}

TEST(WaveRecorder, FlagsRateAndStopWithoutStart) {
    CWaveRecorder rec;
    EXPECT_EQ(rec.GetSampleRate(), 16000);
    rec.Append(nullptr, 10);
    rec.Append(Bytes(4).data(), 0);
    EXPECT_FALSE(rec.HasData()) << "an empty piece is ignored";
    rec.Append(Bytes(4).data(), 4);
    EXPECT_TRUE(rec.HasData());
    rec.Stop();  // never started: only empties the buffer
    EXPECT_EQ(rec.GetDataSize(), 0);
    EXPECT_TRUE(rec.HasData()) << "never cleared";
}

// Beyond 10 s the oldest sound goes, counted; the newest stays.
TEST(WaveRecorder, BufferKeepsTheNewestTenSeconds) {
    CWaveRecorder rec;
    const std::vector<uint8_t> second = Bytes(32000);
    for (int s = 0; s < 11; ++s)
        rec.Append(second.data(), 32000);
    rec.Append(Bytes(1, 0x55).data(), 1);
    EXPECT_EQ(std::make_tuple(rec.GetDataSize(), rec.DroppedBytes()),
              std::make_tuple(CWaveRecorder::kMaxBufferBytes, int64_t{32001}));
    // Bytes counting from 0 each second, one second and one byte dropped: the front is 1.
    std::vector<uint8_t> all(CWaveRecorder::kMaxBufferBytes - 1);
    int got = 0;
    rec.Read(all.data(), CWaveRecorder::kMaxBufferBytes - 1, &got);
    EXPECT_EQ(std::make_tuple(got, all[0], rec.GetDataSize()),
              std::make_tuple(CWaveRecorder::kMaxBufferBytes - 1, uint8_t{1}, 1));
}

// No server: Start reports false at once and keeps trying until Stop, which is prompt.
TEST(WaveRecorder, StartFailsCleanlyWithoutASoundServer) {
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-no-pulse", 1);
    CWaveRecorder rec;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(rec.Start());
    EXPECT_FALSE(rec.IsRecording());
    EXPECT_FALSE(rec.Start()) << "a second Start while retrying";
    rec.Stop();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(ms, CWaveRecorder::kStartWaitMs);
}

// The single-source tick hands a block on only when the source gives one, and returns what
// the source's Read returned.
TEST(AudioPumpSource, HandsOnWhatTheSourceReads) {
    struct Case {
        int held, result, handed;
    };
    for (const Case c : {Case{kBlock, kBlock, 0}, Case{kBlock + 2, 2, kBlock}}) {
        CWaveRecorder rec;
        const std::vector<uint8_t> in = Bytes(c.held, 3);
        rec.Append(in.data(), c.held);
        std::vector<uint8_t> handed;
        CAudioPump pump(nullptr, nullptr, nullptr, -1, nullptr,
                        [&](const uint8_t* pcm, int bytes) { handed.assign(pcm, pcm + bytes); });
        EXPECT_EQ(pump.TickSource(&rec, true), c.result);
        ASSERT_EQ(static_cast<int>(handed.size()), c.handed);
        EXPECT_TRUE(std::equal(handed.begin(), handed.end(), in.begin()));
    }
    CAudioPump pump(nullptr, nullptr, nullptr, -1, nullptr, nullptr);
    EXPECT_EQ(pump.TickSource(nullptr, true), 0);
}

}  // namespace
