// The audio frame writer's use of the sound FIFO: whole frames, short frames, empty FIFO.
#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "src/Cadmo2Mp4Video.h"

namespace {

// An MP4 written to memory with the recorder's audio stream.
class AudioEncodingTest : public ::testing::Test {
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

    CCadmo2Mp4Video muxer{nullptr};
    AVFormatContext* fc = nullptr;
    AVStream* st = nullptr;
};

TEST_F(AudioEncodingTest, FramesTakeWholeSamplesFromTheFifo) {
    // AAC at 16 kHz: 1024 samples, 64 ms, 2048 bytes a frame.
    std::vector<uint8_t> pcm(5000, 0x11);
    muxer.m_audioFifo.Append(pcm.data(), 5000);
    muxer.write_audio_frame2(fc, st, 0, false);
    EXPECT_EQ(5000 - 2048, muxer.m_audioFifo.Size());
    muxer.write_audio_frame2(fc, st, 0, false);
    EXPECT_EQ(5000 - 4096, muxer.m_audioFifo.Size());

    // 904 bytes left: the frame takes them all and is completed with silence.
    muxer.write_audio_frame2(fc, st, 0, false);
    EXPECT_EQ(0, muxer.m_audioFifo.Size());

    // An odd count gives up only whole samples: 1001 bytes give 1000.
    muxer.m_audioFifo.Append(pcm.data(), 1001);
    muxer.write_audio_frame2(fc, st, 0, false);
    EXPECT_EQ(1, muxer.m_audioFifo.Size());
}

TEST_F(AudioEncodingTest, EmptyFifoGivesSilenceWhileRecordingAndEndsTheTail) {
    // The encoder holds its first frame back, so the first call writes nothing.
    EXPECT_EQ(-1, muxer.write_audio_frame2(fc, st, 0, false));
    // While recording an empty FIFO still yields a frame (of silence)...
    EXPECT_EQ(0, muxer.write_audio_frame2(fc, st, 0, false));
    EXPECT_EQ(0, muxer.write_audio_frame2(fc, st, 0, false));
    // ...but in the closing loop it ends the loop.
    EXPECT_EQ(-1, muxer.write_audio_frame2(fc, st, 0, true));
    std::vector<uint8_t> pcm(2048, 0);
    muxer.m_audioFifo.Append(pcm.data(), 2048);
    EXPECT_EQ(0, muxer.write_audio_frame2(fc, st, 0, true));
}

}  // namespace
