// The synchroniser driven by an injected clock (when a frame is due and which index it
// carries, what the audio writes when it lags, the end-of-recording tail, whole recordings
// simulated millisecond by millisecond), and the MP4 recording loop around it: the level block
// of every recording, the audio frames taken from the sound queue, the queue's bound, and the
// log when no sound comes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/TempDir.h"
#include "src/AvSynchroniser.h"
#include "src/Cadmo2Mp4Video.h"
#include "src/ICadmo2Mp4VideoSink.h"
#include "support/Log.h"

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

// The host's "/voluMem" block, 16 bytes, removed at the end.
struct HostLevelBlock {
    int fd = (shm_unlink("/voluMem"), shm_open("/voluMem", O_RDWR | O_CREAT | O_EXCL, 0600));
    void* view = fd >= 0 && ftruncate(fd, 16) == 0
                     ? mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
    char* text = view == MAP_FAILED ? nullptr : static_cast<char*>(view);
    ~HostLevelBlock() {
        if (text)
            munmap(view, 16);
        if (fd >= 0)
            close(fd);
        shm_unlink("/voluMem");
    }
};

// A recorder object whose stop is requested before the first pass: the loop writes the header,
// ticks the pump once in the end sequence and closes the file. The tick hands over loud sound.
class StoppedSink : public ICadmo2Mp4Video_Sink {
  public:
    explicit StoppedSink(CCadmo2Mp4Video* muxer) : muxer_(muxer) {}
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override {
        short pcm[1600];
        for (int i = 0; i < 1600; ++i)
            pcm[i] = (i / 20) % 2 ? 20000 : -20000;
        muxer_->PushAudio(reinterpret_cast<const uint8_t*>(pcm), sizeof pcm);
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
    HostLevelBlock host;
    ASSERT_TRUE(host.text);
    vistrec::test::TempDir dir;
    CCadmo2Mp4Video muxer(nullptr);
    muxer.m_outWidth = 160;
    muxer.m_outHeight = 120;
    muxer.setPreset("ultrafast");
    StoppedSink sink(&muxer);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(testing::Message() << "recording " << i + 1);
        memset(host.text, 0, 16);
        muxer.setFileName(dir.File("level" + std::to_string(i) + ".mp4").c_str());
        ASSERT_EQ(0, muxer.record(&sink, nullptr, false));
        EXPECT_EQ(std::to_string(muxer.m_lastLevel), host.text);
        EXPECT_GT(muxer.m_lastLevel, 0);
    }
}

// Sound handed over while nothing is written (a stalled or failing video) stays bounded: the
// newest kAudioFifoMaxBytes are kept and the rest is counted.
TEST(RecordLoop, SoundQueueKeepsTheNewestTenSeconds) {
    CCadmo2Mp4Video muxer(nullptr);
    std::vector<uint8_t> block(3200);
    const int blocks = 600;  // 60 s
    for (int i = 0; i < blocks; ++i) {
        std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
        muxer.PushAudio(block.data(), static_cast<int>(block.size()));
    }
    EXPECT_EQ(CCadmo2Mp4Video::kAudioFifoMaxBytes, muxer.m_audioFifo.Size());
    EXPECT_LE(muxer.m_audioFifo.Capacity(), CCadmo2Mp4Video::kAudioFifoMaxBytes);
    EXPECT_EQ(blocks * 3200 - CCadmo2Mp4Video::kAudioFifoMaxBytes, muxer.m_audioDroppedBytes);
    const int keptBlocks = CCadmo2Mp4Video::kAudioFifoMaxBytes / 3200;
    EXPECT_EQ(static_cast<uint8_t>(blocks - keptBlocks), muxer.m_audioFifo.Data()[0]);
}

// An MP4 written to memory with the recorder's audio stream: AAC at 16 kHz, 1024 samples
// (64 ms, 2048 bytes) a frame.
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
    void Queue(int bytes) {
        const std::vector<uint8_t> pcm(bytes, 0x11);
        muxer.m_audioFifo.Append(pcm.data(), bytes);
    }

    CCadmo2Mp4Video muxer{nullptr};
    AVFormatContext* fc = nullptr;
    AVStream* st = nullptr;
};

TEST_F(AudioFrames, FramesTakeWholeSamplesFromTheQueue) {
    Queue(5000);
    for (const int left : {5000 - 2048, 5000 - 4096, 0}) {  // the last frame padded with silence
        Write();
        EXPECT_EQ(left, muxer.m_audioFifo.Size());
    }
    Queue(1001);  // an odd count gives up only whole samples
    Write();
    EXPECT_EQ(1, muxer.m_audioFifo.Size());
}

TEST_F(AudioFrames, EmptyQueueGivesSilenceWhileRecordingAndEndsTheTail) {
    EXPECT_EQ(-1, Write());  // the encoder holds its first frame back
    EXPECT_EQ(0, Write());   // while recording an empty queue still yields a frame of silence
    EXPECT_EQ(0, Write());
    EXPECT_EQ(-1, Write(true));  // but in the closing loop it ends the loop
    Queue(2048);
    EXPECT_EQ(0, Write(true));
}

// How often `text` stands in the log after byte `from`.
int CountInLog(const std::string& text, size_t from) {
    std::stringstream log;
    log << std::ifstream(LogFilePath(), std::ios::binary).rdbuf();
    int count = 0;
    for (size_t at = log.str().find(text, from); at != std::string::npos;
         at = log.str().find(text, at + 1))
        ++count;
    return count;
}

// Without sound the frames are silent; the log says so once per silent stretch, and once when
// sound returns, not for every frame.
TEST_F(AudioFrames, MissingSoundIsLoggedOncePerStretch) {
    VLOG_INFO("RecordLoop log mark");
    const size_t from = std::ifstream(LogFilePath(), std::ios::ate).tellg();
    for (int stretch = 0; stretch < 2; ++stretch) {
        for (int i = 0; i < 30; ++i)  // about two seconds without sound
            Write();
        Queue(2048);
        Write();
    }
    EXPECT_EQ(2, CountInLog("get_audio_frame error", from));
    EXPECT_EQ(2, CountInLog("sound again", from));
}

}  // namespace
