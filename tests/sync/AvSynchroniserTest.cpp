// The synchroniser driven by an injected clock: when a frame is due and which index it carries,
// what the audio writes when it lags, the end-of-recording tail, and whole recordings simulated
// millisecond by millisecond.
#include <gtest/gtest.h>

#include <vector>

#include "src/AvSynchroniser.h"

namespace {

using Action = CAvSynchroniser::Action;

// AAC at 16 kHz: 1024 samples (64 ms, 2048 bytes) a frame.
constexpr int kAacSamples = 1024;
constexpr int kAacRate = 16000;
constexpr int kAacBytes = 2048;

struct Fixture {
    int64_t now = 5000000;  // any origin
    CAvSynchroniser sync{[this] { return now; }};
};

TEST(AvSynchroniser, FrameDueAndIndex) {
    const struct {
        int fps;
        int64_t lastIndex;  // picture given to the encoder before, -1: none
        int64_t elapsed;
        bool due;
        int64_t index;  // when due
    } rows[] = {
        {20, -1, 0, true, 0},
        {20, 24, 1249, false, 0},  // index 24 was taken at 1234 ms: next due at 1250
        {20, 24, 1250, true, 25},
        {20, 5, 800, true, 16},  // after a slow capture the index jumps: a gap, no shift
        {30, 0, 33, false, 0},   // 33 ms is still index 0 at 30 fps
        {30, 0, 34, true, 1},
        {30, 2, 99, false, 0},  // due by the 33 ms interval, but index 2 is taken
        {30, 2, 100, true, 3},
        {25, 9, 400, true, 10},  // rates that divide 1000 never repeat an index
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << r.fps << " fps, last " << r.lastIndex << ", at " << r.elapsed << " ms");
        Fixture f;
        f.sync.Start(r.fps, true, kAacSamples, kAacRate, kAacBytes);
        if (r.lastIndex >= 0)
            f.sync.OnVideoFrame(r.lastIndex);
        EXPECT_EQ(r.due, f.sync.VideoFrameDue(r.elapsed));
        if (r.due) {
            EXPECT_EQ(r.index, f.sync.VideoFrameIndex(r.elapsed));
        }
    }
}

TEST(AvSynchroniser, WhatGoesOutWhenAFrameIsDue) {
    const struct {
        const char* name;
        bool video;
        int lastVideoMs;  // the video writer's last result
        int audioFrames;
        bool starved;  // a silent stretch is being written
        int queued;    // bytes of sound waiting
        Action expected;
    } rows[] = {
        {"audio within a second of the video", true, 999, 0, false, kAacBytes, Action::kVideo},
        {"audio a second behind, sound waiting", true, 1000, 0, false, kAacBytes, Action::kSound},
        {"sound on its way", true, 1400, 0, false, 100, Action::kVideo},
        {"no sound coming", true, 1600, 0, false, 0, Action::kSound},
        {"sound back after a silent stretch", true, 5000, 47, true, kAacBytes, Action::kSilence},
        {"sound back, gap filled", true, 4050, 61, true, kAacBytes, Action::kSound},
        {"no video stream", false, 0, 0, false, 0, Action::kSound},
        {"a failed video frame", true, -1, 0, false, kAacBytes, Action::kVideo},
        {"maximum length", true, 6000 * 1000, 93750, false, kAacBytes, Action::kEnd},
        {"maximum length, audio short", true, 6000 * 1000, 93740, false, kAacBytes, Action::kSound},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Fixture f;
        f.sync.Start(20, r.video, kAacSamples, kAacRate, kAacBytes);
        for (int i = 0; i < r.audioFrames; ++i)
            f.sync.OnAudioFrame();
        if (r.starved) {
            // A frame far behind the video with nothing queued starts a silent stretch.
            f.sync.OnVideoResult(f.sync.AudioTimeMs() + 3000);
            ASSERT_EQ(Action::kSound, f.sync.Next(0, 0));
        }
        f.sync.OnVideoResult(r.lastVideoMs);
        EXPECT_EQ(r.expected, f.sync.Next(0, r.queued));
    }
    // Nothing goes out before the frame is due.
    Fixture f;
    f.sync.Start(20, true, kAacSamples, kAacRate, kAacBytes);
    f.sync.OnVideoFrame(0);
    EXPECT_EQ(Action::kWait, f.sync.Next(49, kAacBytes));
}

TEST(AvSynchroniser, EndOfRecordingTail) {
    // The video ends at 2000 ms.
    const struct {
        bool audio;
        int audioFrames;
        bool soundLeft;
        Action expected;
    } rows[] = {
        {false, 0, true, Action::kEnd},      {true, 0, true, Action::kSound},
        {true, 32, true, Action::kSound},     // 2048 ms: still the second of the end
        {true, 47, true, Action::kEnd},       // 3008 ms: past the video
        {true, 16, false, Action::kSilence},  // the queue ran dry: silence to the end
        {true, 31, false, Action::kSilence},  // 1984 ms + half a frame < 2050 ms
        {true, 32, false, Action::kEnd},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message()
                     << r.audioFrames << " audio frames, sound left " << r.soundLeft);
        Fixture f;
        f.sync.Start(20, true, r.audio ? kAacSamples : 0, kAacRate, kAacBytes);
        for (int i = 0; i < r.audioFrames; ++i)
            f.sync.OnAudioFrame();
        EXPECT_EQ(r.expected, f.sync.TailStep(2000, r.soundLeft));
    }
}

// Runs the H.264 recorder's loop for `seconds` on the injected clock: an idle pass costs 1 ms,
// a frame `captureMs` (and `stallMs` once, at 10 s). Returns the frame indices written.
std::vector<int64_t> RunVideoLoop(int fps, int captureMs, int stallMs, int seconds) {
    Fixture f;
    f.sync.Start(fps, true, 0, 0, 0);
    std::vector<int64_t> indices;
    bool stalled = false;
    for (int64_t elapsed; (elapsed = f.sync.Elapsed(0)) < seconds * 1000;) {
        if (!f.sync.VideoFrameDue(elapsed)) {
            f.now += 1;
            continue;
        }
        const int64_t index = f.sync.VideoFrameIndex(elapsed);
        f.sync.OnVideoFrame(index);
        indices.push_back(index);
        f.now += captureMs;
        if (!stalled && elapsed >= 10000) {
            f.now += stallMs;
            stalled = true;
        }
    }
    return indices;
}

// The file lasts as long as the recording (its last frame ends at the stop) whatever the rate,
// the cost of a capture or a stall, and its time stamps strictly increase.
TEST(AvSynchroniser, VideoOnlyRecordingLastsAsLongAsTheWallClock) {
    const struct {
        int fps, captureMs, stallMs;
    } rows[] = {{30, 5, 0}, {30, 40, 0}, {20, 5, 500}, {25, 5, 0}, {15, 5, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.fps << " fps, capture " << r.captureMs << " ms, stall "
                                        << r.stallMs << " ms");
        const std::vector<int64_t> indices = RunVideoLoop(r.fps, r.captureMs, r.stallMs, 60);
        ASSERT_FALSE(indices.empty());
        for (size_t i = 1; i < indices.size(); ++i)
            ASSERT_LT(indices[i - 1], indices[i]) << "at frame " << i;
        const double fileSeconds = static_cast<double>(indices.back() + 1) / r.fps;
        EXPECT_NEAR(60.0, fileSeconds, 0.1);
    }
}

}  // namespace
