// The MP4 recording loop around the synchroniser: the level block of every recording, the
// sound queue's bound, and the log when no sound comes.
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

#include "src/Cadmo2Mp4Video.h"
#include "src/ICadmo2Mp4VideoSink.h"
#include "common/TempDir.h"
#include "support/Log.h"

namespace {

// The host's "/voluMem" block, 16 bytes, removed at the end.
class HostLevelBlock {
  public:
    HostLevelBlock() {
        shm_unlink("/voluMem");
        fd_ = shm_open("/voluMem", O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd_ >= 0 && ftruncate(fd_, kSize) == 0)
            view_ = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        Clear();
    }
    ~HostLevelBlock() {
        if (view_ != MAP_FAILED)
            munmap(view_, kSize);
        if (fd_ >= 0)
            close(fd_);
        shm_unlink("/voluMem");
    }
    bool ok() const { return view_ != MAP_FAILED; }
    void Clear() {
        if (ok())
            memset(view_, 0, kSize);
    }
    std::string Text() const { return ok() ? std::string(static_cast<const char*>(view_)) : ""; }

  private:
    static constexpr size_t kSize = 16;
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

const char kPreset[] = "ultrafast";

TEST(RecordLoop, EveryRecordingOfAnObjectPublishesTheLevel) {
    HostLevelBlock host;
    ASSERT_TRUE(host.ok());
    vistrec::test::TempDir dir;
    CCadmo2Mp4Video muxer(nullptr);
    muxer.m_outWidth = 160;
    muxer.m_outHeight = 120;
    muxer.setPreset(kPreset);
    StoppedSink sink(&muxer);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(testing::Message() << "recording " << i + 1);
        host.Clear();
        muxer.setFileName(dir.File("level" + std::to_string(i) + ".mp4").c_str());
        ASSERT_EQ(0, muxer.record(&sink, nullptr, false));
        EXPECT_EQ(std::to_string(muxer.m_lastLevel), host.Text());
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
TEST(RecordLoop, MissingSoundIsLoggedOncePerStretch) {
    AVFormatContext* fc = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&fc, nullptr, "mp4", nullptr), 0);
    ASSERT_GE(avio_open_dyn_buf(&fc->pb), 0);
    CCadmo2Mp4Video muxer(nullptr);
    AVStream* st = muxer.add_audio_stream(fc, fc->oformat->audio_codec);
    ASSERT_NE(nullptr, st);
    muxer.open_audio(fc, st);
    ASSERT_GE(avformat_write_header(fc, nullptr), 0);
    VLOG_INFO("RecordLoop log mark");
    std::ifstream in(LogFilePath(), std::ios::binary | std::ios::ate);
    const size_t from = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));

    std::vector<uint8_t> pcm(2048, 0x10);
    for (int stretch = 0; stretch < 2; ++stretch) {
        for (int i = 0; i < 30; ++i)  // about two seconds without sound
            muxer.write_audio_frame2(fc, st, 0, false);
        muxer.m_audioFifo.Append(pcm.data(), static_cast<int>(pcm.size()));
        muxer.write_audio_frame2(fc, st, 0, false);
    }
    EXPECT_EQ(2, CountInLog("get_audio_frame error", from));
    EXPECT_EQ(2, CountInLog("sound again", from));

    muxer.close_audio();
    uint8_t* buf = nullptr;
    avio_close_dyn_buf(fc->pb, &buf);
    av_free(buf);
    fc->pb = nullptr;
    avformat_free_context(fc);
}

}  // namespace
