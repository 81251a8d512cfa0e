// The MP4 recording loop around the synchroniser: the level block of every recording, the
// audio frames taken from the sound queue, the queue's bound, and the log when no sound comes.
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
#include "src/Cadmo2Mp4Video.h"
#include "src/ICadmo2Mp4VideoSink.h"
#include "support/Log.h"

namespace {

// The host's "/voluMem" block, 16 bytes, removed at the end.
class HostLevelBlock {
  public:
    HostLevelBlock() {
        shm_unlink("/voluMem");
        fd_ = shm_open("/voluMem", O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd_ >= 0 && ftruncate(fd_, 16) == 0)
            view_ = mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    }
    ~HostLevelBlock() {
        if (view_ != MAP_FAILED)
            munmap(view_, 16);
        if (fd_ >= 0)
            close(fd_);
        shm_unlink("/voluMem");
    }
    char* text() const { return view_ == MAP_FAILED ? nullptr : static_cast<char*>(view_); }

  private:
    int fd_ = -1;
    void* view_ = MAP_FAILED;
};

// A recorder object whose stop is requested before the first pass: the loop writes the header,
// ticks the pump once in the end sequence and closes the file. The tick hands over loud sound.
class StoppedSink : public ICadmo2Mp4Video_Sink {
  public:
    explicit StoppedSink(CCadmo2Mp4Video* muxer) : muxer_(muxer) {}
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override {
        std::vector<short> pcm(1600);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = (i / 20) % 2 ? 20000 : -20000;
        muxer_->PushAudio(reinterpret_cast<const uint8_t*>(pcm.data()), 3200);
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
    ASSERT_TRUE(host.text());
    vistrec::test::TempDir dir;
    CCadmo2Mp4Video muxer(nullptr);
    muxer.m_outWidth = 160;
    muxer.m_outHeight = 120;
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

int CountInLog(const std::string& text, size_t from) {
    std::ifstream in(LogFilePath(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string log = all.str();
    int count = 0;
    for (size_t at = log.find(text, from); at != std::string::npos; at = log.find(text, at + 1))
        ++count;
    return count;
}

// Without sound the frames are silent; the log says so once per silent stretch, and once when
// sound returns, not for every frame.
TEST_F(AudioFrames, MissingSoundIsLoggedOncePerStretch) {
    VLOG_INFO("RecordLoop log mark");
    std::ifstream in(LogFilePath(), std::ios::binary | std::ios::ate);
    const size_t from = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
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
