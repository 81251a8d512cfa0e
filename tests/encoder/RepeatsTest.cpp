// Repeated pictures written as skipped frames: their bits, and files that decode to what the
// encoder was given, with key frames every 12 frames of the file.
#include <gtest/gtest.h>
#include <string.h>

#include "H264Repeats.h"
#include "H264WindowRecorder.h"
#include "Media.h"
#include "Process.h"
#include "TempDir.h"

using namespace vistrec::test;

namespace {

TEST(H264Repeats, SkippedPictureBits) {
    const struct {
        int frameNum, log2MaxFrameNum, mbs;
        bool deblockingControl;
        std::vector<uint8_t> bytes;
    } rows[] = {{1, 4, 99, true, {0, 0, 0, 1, 0x41, 0x9a, 0x22, 0x80, 0xc9}},
                {5, 4, 300, false, {0, 0, 0, 1, 0x41, 0x9a, 0xa2, 0x01, 0x2d, 0x80}},
                {0, 12, 8160, true, {0, 0, 0, 1, 0x41, 0x9a, 0x00, 0x02, 0x80, 0x03, 0xfc, 0x30}}};
    for (const auto& r : rows) {
        h264::Sps sps;
        sps.log2MaxFrameNum = r.log2MaxFrameNum, sps.picSizeInMbs = r.mbs;
        h264::Pps pps;
        pps.deblockingControl = r.deblockingControl;
        EXPECT_EQ(r.bytes, h264::SkippedPicture(sps, pps, 0, r.frameNum)) << r.frameNum;
    }
    const struct {
        std::vector<uint8_t> raw, escaped;
    } escapes[] = {{{0, 0, 0}, {0, 0, 3, 0}},
                   {{0, 0, 1, 0, 0, 3}, {0, 0, 3, 1, 0, 0, 3, 3}},
                   {{0, 0, 4, 0, 0}, {0, 0, 4, 0, 0}}};
    for (const auto& e : escapes) {
        std::vector<uint8_t> out;
        h264::AppendEscaped(e.raw, &out);
        EXPECT_EQ(e.escaped, out);
        EXPECT_EQ(e.raw, h264::Unescape(out.data(), out.size()));
    }
}

// Picture `k` of a script: diagonal ramps moved 8 pixels per step.
void Paint(AVFrame* p, int k) {
    for (int y = 0; y < p->height; ++y)
        for (int x = 0; x < p->width; ++x)
            p->data[0][y * p->linesize[0] + x] =
                static_cast<uint8_t>(16 + ((x + 8 * k) * 3 + y * 2) % 220);
    for (int c = 1; c <= 2; ++c)
        for (int y = 0; y < p->height / 2; ++y)
            memset(p->data[c] + y * p->linesize[c], 64 + 40 * c + k, p->width / 2);
}

class Recorder : public CH264WindowRecorder {
  public:
    explicit Recorder(const std::string& file) : CH264WindowRecorder(nullptr) {
        setPreset("ultrafast"), setTune("zerolatency"), setFileName(file.c_str());
        m_outWidth = 320, m_outHeight = 240, m_forcedFrameRate = 30, m_gopSize = 12,
        m_forcedCrf = 12;
    }
    // 'n': a new picture, 'r': the last one again. Returns the picture number of each frame.
    std::vector<int> Write(const std::string& script) {
        EXPECT_EQ(0, SetUpVideoOutput());
        EXPECT_EQ(0, OpenOutputFile());
        EXPECT_TRUE(StartPipeline());
        std::vector<int> shown;
        for (size_t i = 0; i < script.size(); ++i) {
            AVFrame* p;
            while (!(p = m_pipeline.Acquire()))
                SleepMs(2);
            if (script[i] == 'n') {
                Paint(p, static_cast<int>(i));
                m_pipeline.Submit(p, static_cast<int64_t>(i));
            } else {
                m_pipeline.Repeat(p, static_cast<int64_t>(i));
            }
            shown.push_back(script[i] == 'n' ? static_cast<int>(i) : shown.back());
        }
        FinishPipeline();
        DrainVideo(0);
        WriteTrailer();
        return shown;
    }
};

TEST(H264Repeats, RecordingsDecodeToThePicturesGiven) {
    const std::string still = "n" + std::string(40, 'r');
    // Changes right after a key frame, in the middle, on a key frame; a still stretch over two
    // key frames after a change (the encoder makes the first, the second is written again).
    const std::string nowAndThen = "nrrrrrrrrrrrnrrrnrrrrrnrrrrrrrrrrrrrrrrrrnnnrrnrrrrrrrrrrrr";
    const std::string exe = ExeDir() + "Vistrel.json";
    TempDir dir;
    int n = 0;
    for (const char* kind : {".mp4", "-plain.mp4", ".h264"}) {
        WriteTextFile(exe,
                      strstr(kind, "plain") ? R"({"VISTREL_CONFIG":{"crashSafe":false}})" : "{}");
        for (const std::string& script : {still, nowAndThen}) {
            const std::string file = dir.File(std::to_string(n++) + kind);
            SCOPED_TRACE(file);
            const std::vector<int> shown = Recorder(file).Write(script);
            AVFramePtr source(av_frame_alloc());
            source->format = AV_PIX_FMT_YUV420P, source->width = 320, source->height = 240;
            ASSERT_EQ(0, av_frame_get_buffer(source.get(), 0));
            std::vector<uint8_t> previous;
            std::string keys, error;
            size_t i = 0;
            MediaInfo info;
            DecodeVideo(
                file, &info,
                [&](const AVFrame& f, double) {
                    ASSERT_LT(i, shown.size());
                    keys += f.key_frame ? 'K' : '.';
                    Paint(source.get(), shown[i]);
                    EXPECT_GT(LumaPsnr(f, *source), 32.0) << "frame " << i;
                    std::vector<uint8_t> luma;
                    for (int y = 0; y < f.height; ++y)
                        luma.insert(luma.end(), f.data[0] + y * f.linesize[0],
                                    f.data[0] + y * f.linesize[0] + f.width);
                    EXPECT_TRUE(script[i] != 'r' || i % 12 == 0 || luma == previous)
                        << "frame " << i << " is not a copy";
                    previous = std::move(luma);
                    ++i;
                },
                &error);
            EXPECT_EQ("", error);
            EXPECT_EQ(script.size(), i);
            std::string expectedKeys(script.size(), '.');
            for (size_t k = 0; k < script.size(); k += 12)
                expectedKeys[k] = 'K';
            EXPECT_EQ(expectedKeys, keys);
            if (strstr(kind, "mp4")) {
                EXPECT_NEAR(script.size() / 30.0, info.videoDuration, 0.5 / 30);
            }
        }
    }
    unlink(exe.c_str());
}

}  // namespace
