// Clock rules with injected times, and the MP4 recording loop around them.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/Process.h"
#include "common/TempDir.h"
#include "src/AvSynchroniser.h"
#include "src/Cadmo2Mp4Video.h"
#include "src/ICadmo2Mp4VideoSink.h"
#include "src/LowVolumeCheck.h"
#include "src/RecordClock.h"
#include "src/SoundTimeline.h"
#include "support/Log.h"

namespace {

TEST(RecordClock, PausesAreCountedOnceAndExcludedFromTheDuration) {
    CRecordClock clock;
    clock.Begin(5000);
    EXPECT_EQ(0, clock.Resume(7000));  // no pause: nothing changes
    clock.Pause(100000);
    clock.Pause(100400);  // a second pause keeps the first start
    EXPECT_EQ(1500, clock.Resume(101500));
    EXPECT_EQ(std::make_pair(int64_t{1500}, false),
              std::make_pair(clock.PauseTotal(), clock.m_pause.load()));
    // 10 s with one 2 s pause in all: 8000 ms recorded.
    clock.Pause(103000), clock.Resume(103500);
    EXPECT_EQ(8000u, clock.Duration(5000 + 10000));
    // Stopping the video-only recorder while paused counts the pause and leaves it open.
    clock.Pause(110000);
    clock.CountOpenPause(110700);
    EXPECT_EQ(std::make_pair(int64_t{2700}, true),
              std::make_pair(clock.PauseTotal(), clock.m_pause.load()));
    // A new recording forgets earlier pauses; the tick counter may wrap.
    clock.Begin(0xFFFFFF00u);
    EXPECT_EQ(std::make_pair(int64_t{0}, false),
              std::make_pair(clock.PauseTotal(), clock.m_pause.load()));
    EXPECT_EQ(0x200u, clock.Duration(0x100u));
}

// Checks every 100 ms, `firstLevel` for 30 s and 0 after; a 5-minute pause after `pauseAt` s.
TEST(LowVolumeCheck, FirstAfterAMinuteThenEveryElevenRecordedMinutes) {
    const struct {
        int firstLevel, threshold;
        bool delivered;
        int seconds, pauseAt, code;
        std::vector<double> at;  // wall-clock times of the warnings, give or take 3 s
    } rows[] = {
        {0, 10, true, 1000, -1, -102, {62, 62 + 600 + 62}},  // 30 windows of just over 2 s
        {0, 10, false, 70, -1, -101, {62}},                  // no audio delivered at all
        {0, 0, true, 700, -1, 0, {}},                        // threshold 0 never warns
        {12, 10, true, 1500, -1, 0, {}},  // one loud window silences it for the recording
        // The next check starts 10 recorded minutes after the first, not 10 wall-clock minutes.
        {0, 10, true, 1170, 370, -102, {62, 62 + 600 + 300 + 62}},
    };
    for (const auto& r : rows) {
        CLowVolumeCheck check;
        uint32_t now = 0;
        check.Start(now);
        std::vector<double> posts;
        for (int tenth = 0; tenth < r.seconds * 10; ++tenth, now += 100) {
            if (tenth == r.pauseAt * 10) {
                check.OnPauseBegin(now);
                check.OnPauseEnd(now += 300000);
                check.OnResumed(now);
            }
            int level = tenth < 300 ? r.firstLevel : 0;
            if (const int code = check.Check(now, &level, r.threshold, r.delivered)) {
                posts.push_back(now / 1000.0);
                EXPECT_EQ(r.code, code) << now;
            }
        }
        ASSERT_EQ(r.at.size(), posts.size()) << r.seconds;
        for (size_t i = 0; i < posts.size(); ++i)
            EXPECT_NEAR(r.at[i], posts[i], 3) << r.seconds;
    }
}

using Action = CAvSynchroniser::Action;

// AAC at 16 kHz: 1024 samples (64 ms, 2048 bytes) a frame.
constexpr int kAacSamples = 1024, kAacRate = 16000, kAacBytes = 2048;

// A started synchroniser on a clock of its own, with `audioFrames` written.
struct Fixture {
    explicit Fixture(int fps = 20, bool video = true, int samples = kAacSamples,
                     int audioFrames = 0) {
        sync.Start(fps, video, samples, kAacRate, kAacBytes);
        while (audioFrames-- > 0)
            sync.OnAudioFrame();
    }
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
        SCOPED_TRACE(testing::Message() << r.fps << " fps, " << r.lastIndex << ", " << r.elapsed);
        Fixture f(r.fps);
        if (r.lastIndex >= 0)
            f.sync.OnVideoFrame(r.lastIndex);
        EXPECT_EQ(r.due, f.sync.VideoFrameDue(r.elapsed));
        EXPECT_EQ(r.due ? r.index : -1, r.due ? f.sync.VideoFrameIndex(r.elapsed) : -1);
    }
}

TEST(AvSynchroniser, WhatGoesOutWhenAFrameIsDue) {
    constexpr int64_t kNone = CAvSynchroniser::kUnknownSoundTime;
    const struct {
        const char* name;
        bool video;
        int lastVideoMs;  // the video writer's last result
        int audioFrames;
        int queued;           // bytes of sound waiting
        int64_t soundHeadMs;  // when the first of them was captured
        Action expected;
    } rows[] = {
        {"audio within a second of the video", true, 999, 0, kAacBytes, kNone, Action::kVideo},
        {"audio a second behind, sound waiting", true, 1000, 0, kAacBytes, 0, Action::kSound},
        {"sound on its way", true, 1400, 0, 100, kNone, Action::kVideo},
        {"no sound coming", true, 1600, 0, 0, kNone, Action::kSound},
        {"sound back after a gap", true, 5000, 47, kAacBytes, 4900, Action::kSilence},
        {"sound back, gap filled", true, 5000, 77, kAacBytes, 4900, Action::kSound},
        {"sound a little late", true, 5000, 76, kAacBytes, 4864 + 8, Action::kSound},
        {"no video stream", false, 0, 0, 0, kNone, Action::kSound},
        {"a failed video frame", true, -1, 0, kAacBytes, kNone, Action::kVideo},
        {"maximum length", true, 6000 * 1000, 93750, kAacBytes, kNone, Action::kEnd},
        {"maximum length, audio short", true, 6000 * 1000, 93740, kAacBytes, kNone, Action::kSound},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Fixture f(20, r.video, kAacSamples, r.audioFrames);
        f.sync.OnVideoResult(r.lastVideoMs);
        EXPECT_EQ(r.expected, f.sync.Next(0, r.queued, r.soundHeadMs));
    }
    // Nothing goes out before the frame is due.
    Fixture f;
    f.sync.OnVideoFrame(0);
    EXPECT_EQ(Action::kWait, f.sync.Next(49, kAacBytes));
}

// The record loop's sound rules over `ms` of a simulated recording: 100 ms blocks captured back
// to back, the block from `b` ms handed over at arrival(b) (in order: a block held up holds up
// those after it; -1: lost), its capture time passed along as captured(b) unless that is
// kUnknown; the sound starts `startMs` after the recording (all times shifted). Counts the
// frames of sound written, those lying further from where they were captured than half a frame
// and 20 ms, and the worst distance.
struct SoundRun {
    int64_t frames = 0, off = 0, worst = 0;
};
SoundRun RecordSound(int64_t ms, const std::function<int64_t(int64_t)>& arrival,
                     const std::function<int64_t(int64_t)>& captured, int64_t startMs = 0) {
    Fixture f;
    CSoundTimeline timeline(kAacRate * 2);
    std::deque<int64_t> queue;  // capture time of each queued millisecond of sound
    bool ranOut = false;
    int64_t nextBlock = 0;
    SoundRun run;
    for (int64_t now = 0; now < ms; ++now) {
        for (; arrival(nextBlock) + startMs <= now; nextBlock += 100) {
            if (arrival(nextBlock) < 0)
                continue;
            if (ranOut)
                timeline.NewRun(static_cast<int>(queue.size() * 32)), ranOut = false;
            const int64_t stamp = captured(nextBlock);
            timeline.OnPushed(now, 3200,
                              stamp == CSoundTimeline::kUnknown ? stamp : stamp + startMs);
            for (int i = 0; i < 100; ++i)
                queue.push_back(nextBlock + startMs + i);
        }
        for (;;) {  // as the record loop: late sound dropped before each step
            for (int64_t late = f.sync.LateSoundMs(timeline.HeadMs()); late > 0 && !queue.empty();
                 --late)
                queue.pop_front(), timeline.OnTaken(32);
            const Action a =
                f.sync.Next(now, static_cast<int>(queue.size() * 32), timeline.HeadMs());
            if (a == Action::kWait)
                break;
            if (a == Action::kVideo) {
                f.sync.OnVideoFrame(f.sync.VideoFrameIndex(now));
                f.sync.OnVideoResult(static_cast<int>(now));
                break;
            }
            if (a == Action::kSound && queue.size() >= 64) {
                const int64_t error = std::abs(queue.front() - f.sync.AudioTimeMs());
                run.worst = std::max(run.worst, error);
                run.off += error > 32 + 20;
                ++run.frames;
            }
            const size_t taken = a == Action::kSound ? std::min<size_t>(64, queue.size()) : 0;
            ranOut = ranOut || (a == Action::kSound && taken < 64);
            queue.erase(queue.begin(), queue.begin() + static_cast<long>(taken));
            timeline.OnTaken(static_cast<int>(taken * 32));
            f.sync.OnAudioFrame();
        }
    }
    return run;
}

// Blocks reach the queue 20 ms after their last sample, unstamped, except that the pump stalls
// from 5 s to 8 s (the blocks come late, all at once) and the device is lost from 15 s to 18 s.
// Every frame of sound lies where it was captured, within half a frame and the delay, but for a
// moment after the stall: the blocks that come at once are placed as if the last of them were
// on time (it was 80 ms late) until the next block, on time, tells better.
TEST(AvSynchroniser, SoundStaysOnThePicturesClockWhenItComesLateOrStops) {
    const SoundRun run = RecordSound(
        30000,
        [](int64_t b) -> int64_t {
            if (b >= 15000 && b < 18000)
                return -1;
            return b + 120 >= 5000 && b + 120 < 8000 ? 8000 : b + 120;
        },
        [](int64_t) { return CSoundTimeline::kUnknown; });
    EXPECT_GT(run.frames, 300);  // most of the 27 s of sound was written
    EXPECT_LE(run.off, 16);
    EXPECT_LE(run.worst, 100 + 20);
}

// A machine that stays busy for ten minutes: every block comes late, by 20 ms growing to 620 ms
// plus up to 150 ms that varies from block to block, and the capture stamps what it reads up to
// 4 ms late. Every frame lies within a few ms of where it was captured.
TEST(AvSynchroniser, StampedSoundKeepsItsPlaceUnderSustainedLoad) {
    const auto jitter = [](int64_t b, int64_t range) { return (b / 100 * 7919 + 13) % range; };
    const SoundRun run = RecordSound(
        600000, [&](int64_t b) { return b + 100 + 20 + b / 1000 + jitter(b, 150); },
        [&](int64_t b) { return b + jitter(b, 5); });
    EXPECT_GT(run.frames, 9000);  // nearly all of the 600 s
    EXPECT_LE(run.worst, 5);
}

// Sound that starts a little before or after the recording is moved to where it was captured:
// a frame of silence first when it is later, the difference dropped to the sample.
TEST(AvSynchroniser, StampedSoundLiesWhereItWasCapturedWheneverItStarts) {
    for (const int64_t startMs : {-45, -30, -12, 12, 30, 45}) {
        SCOPED_TRACE(startMs);
        const SoundRun run = RecordSound(
            5000, [](int64_t b) { return b + 120; }, [](int64_t b) { return b; }, startMs);
        EXPECT_GT(run.frames, 60);
        EXPECT_LE(run.worst, CAvSynchroniser::kSoundPlacementSlackMs);
    }
}

TEST(AvSynchroniser, EndOfRecordingTail) {
    // The video ends at 2000 ms.
    const struct {
        bool audio;
        int audioFrames;
        bool soundLeft;
        Action expected;
    } rows[] = {{false, 0, true, Action::kEnd},      {true, 0, true, Action::kSound},
                {true, 32, true, Action::kSound},     // 2048 ms: still the second of the end
                {true, 47, true, Action::kEnd},       // 3008 ms: past the video
                {true, 16, false, Action::kSilence},  // the queue ran dry: silence to the end
                {true, 31, false, Action::kSilence},  // 1984 ms + half a frame < 2050 ms
                {true, 32, false, Action::kEnd}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.audioFrames << " frames, sound " << r.soundLeft);
        Fixture f(20, true, r.audio ? kAacSamples : 0, r.audioFrames);
        EXPECT_EQ(r.expected, f.sync.TailStep(2000, r.soundLeft));
    }
}

// The file lasts as long as the recording whatever the rate or a stall; its stamps increase.
TEST(AvSynchroniser, VideoOnlyRecordingLastsAsLongAsTheWallClock) {
    const struct {
        int fps, captureMs, stallMs;
    } rows[] = {{30, 5, 0}, {30, 40, 0}, {20, 5, 500}, {25, 5, 0}, {15, 5, 0}};
    for (const auto& r : rows) {
        int stall = r.stallMs;
        SCOPED_TRACE(testing::Message() << r.fps << " fps, capture " << r.captureMs << " ms, stall "
                                        << r.stallMs << " ms");
        // The H.264 loop for 60 s: an idle pass costs 1 ms, a frame `captureMs` (+ one stall).
        Fixture f(r.fps, true, 0);
        int64_t last = -1;
        for (int64_t elapsed; (elapsed = f.sync.Elapsed(0)) < 60000;) {
            if (!f.sync.VideoFrameDue(elapsed)) {
                f.now += 1;
                continue;
            }
            const int64_t index = f.sync.VideoFrameIndex(elapsed);
            ASSERT_LT(last, index) << "at " << elapsed << " ms";
            f.sync.OnVideoFrame(last = index);
            f.now += r.captureMs + (elapsed >= 10000 ? std::exchange(stall, 0) : 0);
        }
        EXPECT_NEAR(60.0, static_cast<double>(last + 1) / r.fps, 0.1);
    }
}

// A recorder stopped before its first pass; its one end-sequence tick hands over loud sound.
class StoppedSink : public ICadmo2Mp4Video_Sink {
  public:
    explicit StoppedSink(CCadmo2Mp4Video* muxer) : muxer_(muxer) {}
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override {
        short pcm[1600];
        for (int i = 0; i < 1600; ++i)
            pcm[i] = (i / 20) % 2 ? 20000 : -20000;
        muxer_->PushAudio(reinterpret_cast<const uint8_t*>(pcm), sizeof pcm, kUnknownCaptureMs);
        return 0;
    }
    bool isPaused() override { return false; }
    bool isStopped() override { return true; }
    void onPause() override {}
    void onResume() override {}
    void onStart() override {}

  private:
    CCadmo2Mp4Video* muxer_;
};

TEST(RecordLoop, EveryRecordingOfAnObjectPublishesTheLevel) {
    vistrec::test::LevelBlock host;
    ASSERT_NE(MAP_FAILED, host.view);
    vistrec::test::TempDir dir;
    CCadmo2Mp4Video muxer(nullptr);
    muxer.m_outWidth = 160, muxer.m_outHeight = 120;
    muxer.setPreset("ultrafast");
    StoppedSink sink(&muxer);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(testing::Message() << "recording " << i + 1);
        memset(host.text(), 0, 16);
        muxer.setFileName(dir.File("level" + std::to_string(i) + ".mp4").c_str());
        ASSERT_EQ(0, muxer.record(&sink, nullptr, false));
        EXPECT_EQ(std::to_string(muxer.m_lastLevel), host.text());
        EXPECT_GT(muxer.m_lastLevel, 0);
    }
}

// Sound handed over while nothing is written: the newest kAudioFifoMaxBytes kept, the rest counted.
TEST(RecordLoop, SoundQueueKeepsTheNewestTenSeconds) {
    CCadmo2Mp4Video muxer(nullptr);
    std::vector<uint8_t> block(3200);
    const int blocks = 600;  // 60 s
    for (int i = 0; i < blocks; ++i) {
        std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
        muxer.PushAudio(block.data(), static_cast<int>(block.size()), kUnknownCaptureMs);
    }
    EXPECT_EQ(CCadmo2Mp4Video::kAudioFifoMaxBytes, muxer.m_audioFifo.Size());
    EXPECT_LE(muxer.m_audioFifo.Capacity(), CCadmo2Mp4Video::kAudioFifoMaxBytes);
    EXPECT_EQ(blocks * 3200 - CCadmo2Mp4Video::kAudioFifoMaxBytes, muxer.m_audioDroppedBytes);
    EXPECT_EQ(static_cast<uint8_t>(blocks - CCadmo2Mp4Video::kAudioFifoMaxBytes / 3200),
              muxer.m_audioFifo.Data()[0]);
}

// An MP4 written to memory with the recorder's audio stream (2048 bytes a frame).
class AudioFrames : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(avformat_alloc_output_context2(&fc, nullptr, "mp4", nullptr), 0);
        ASSERT_GE(avio_open_dyn_buf(&fc->pb), 0);
        st = muxer.add_audio_stream(fc, fc->oformat->audio_codec);
        ASSERT_NE(nullptr, st);
        muxer.open_audio(fc, st);
        ASSERT_GE(avformat_write_header(fc, nullptr), 0);
    }
    void TearDown() override {
        muxer.close_audio();
        uint8_t* buf = nullptr;
        avio_close_dyn_buf(fc->pb, &buf);
        av_free(buf);
        fc->pb = nullptr;
        avformat_free_context(fc);
    }
    int Write(bool closing = false) { return muxer.write_audio_frame2(fc, st, 0, closing); }
    void Queue(int n) { muxer.m_audioFifo.Append(std::vector<uint8_t>(n, 0x11).data(), n); }
    CCadmo2Mp4Video muxer{nullptr};
    AVFormatContext* fc = nullptr;
    AVStream* st = nullptr;
};

TEST_F(AudioFrames, FramesTakeWholeSamplesAndSilenceWhenTheQueueIsEmpty) {
    EXPECT_EQ(-1, Write());      // the encoder holds its first frame back
    EXPECT_EQ(0, Write());       // while recording an empty queue still yields a frame of silence
    EXPECT_EQ(-1, Write(true));  // but in the closing loop it ends the loop
    Queue(5000);
    for (const int left : {5000 - 2048, 5000 - 4096, 0}) {  // the last frame padded with silence
        EXPECT_EQ(0, Write());
        EXPECT_EQ(left, muxer.m_audioFifo.Size());
    }
    Queue(1001);  // an odd count gives up only whole samples
    EXPECT_EQ(0, Write(true));
    EXPECT_EQ(1, muxer.m_audioFifo.Size());
}

// Missing sound is logged once per silent stretch, and its return once, not for every frame.
TEST_F(AudioFrames, MissingSoundIsLoggedOncePerStretch) {
    VLOG_INFO("RecordLoop log mark");
    const size_t from = std::ifstream(LogFilePath(), std::ios::ate).tellg();
    const auto count = [from](const std::string& text) {  // in the log after `from`
        const std::string log = vistrec::test::ReadTextFile(LogFilePath());
        int n = 0;
        for (size_t at = log.find(text, from); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    for (int stretch = 0; stretch < 2; ++stretch) {
        for (int i = 0; i < 30; ++i)  // about two seconds without sound
            Write();
        Queue(2048);
        Write();
    }
    EXPECT_EQ(2, count("get_audio_frame error"));
    EXPECT_EQ(2, count("sound again"));
}

}  // namespace
