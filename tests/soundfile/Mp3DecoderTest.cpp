// The sound-file source: block pacing against an injected clock, the file's PCM block for block,
// silence after its end, the formats FFmpeg reads, damaged and unusable files.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "Media.h"
#include "Process.h"
#include "TempDir.h"
#include "audiocapture/Mp3Decoder.h"

namespace vistrec {
namespace test {
namespace {

constexpr int kBlock = CMp3Decoder::kBlockBytes;
constexpr int kBlockSamples = kBlock / 2;

// The test files, made once: a 1.05 s ramp as a 16 kHz mono WAV (decoded bit for bit), a 2 s
// 660 Hz tone in each compressed format, a picture and a video without sound.
class SoundFileTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        for (int k = 0; k < 16800; ++k)
            ramp_.push_back(static_cast<float>((k % 2000) - 1000) / 2000.0f);
        WriteWav(dir_->File("ramp.wav"), kTrackRate, 1, ramp_);
        WriteWav(dir_->File("tone.wav"), 44100, 2, Sine(44100, 2.0, 660, 0.5));
        for (const char* ext : {"mp3", "ogg", "flac", "m4a", "opus"})
            Ffmpeg({"-i", dir_->File("tone.wav"), dir_->File(std::string("tone.") + ext)});
        Ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", File("pic.png")});
        Ffmpeg({"-f", "lavfi", "-i", "testsrc=d=1:s=64x64", "-c:v", "mpeg4", File("video.mp4")});
    }
    static void TearDownTestSuite() { delete dir_; }
    static void Ffmpeg(std::vector<std::string> args) {
        args.insert(args.begin(), {"ffmpeg", "-nostdin", "-loglevel", "error", "-y"});
        ASSERT_EQ(RunCommand(args), 0) << args.back();
    }
    static std::string File(const std::string& name) { return dir_->File(name); }

    // A decoder on the test's clock.
    std::unique_ptr<CMp3Decoder> Decoder(const std::string& file) {
        auto d = std::make_unique<CMp3Decoder>([this] { return now_; });
        d->SetFile(file.c_str());
        return d;
    }
    // Reads every block held at `t`; each is checked against the ramp (silence after it).
    int Drain(CMp3Decoder& d, int64_t t, int* next) {
        now_ = t;
        std::vector<uint8_t> block(kBlock);
        const std::vector<int16_t> pcm = Pcm16(ramp_);
        int got = 0, n = 0;
        while (d.Read(block.data(), kBlock, &got) >= 0 && got == kBlock) {
            int wrong = 0;
            for (int i = 0; i < kBlockSamples; ++i) {
                const size_t k = static_cast<size_t>(*next) * kBlockSamples + i;
                const int16_t want = k < pcm.size() ? pcm[k] : 0;
                wrong += static_cast<int16_t>(block[2 * i] | block[2 * i + 1] << 8) != want;
            }
            EXPECT_EQ(wrong, 0) << "samples differing from the file in block " << *next;
            ++*next;
            ++n;
        }
        return n;
    }
    // Plays a file to its end on a fast clock: its PCM up to the first silent block after the
    // end of its sound.
    std::vector<int16_t> PlayAll(CMp3Decoder& d) {
        std::vector<int16_t> pcm;
        std::vector<int16_t> block(kBlockSamples);
        int got = 0;
        for (int i = 0; i < 600 && !d.Finished(); ++i) {
            now_ += 100;
            d.Read(reinterpret_cast<uint8_t*>(block.data()), kBlock, &got);
            if (got == kBlock)
                pcm.insert(pcm.end(), block.begin(), block.end());
        }
        return pcm;
    }

    static TempDir* dir_;
    static std::vector<float> ramp_;
    int64_t now_ = 5000;
};
TempDir* SoundFileTest::dir_ = nullptr;
std::vector<float> SoundFileTest::ramp_;

// Block i is held once [100 i, 100 (i + 1)) ms of running time are over, and taken when more
// than a block is held; Stop holds the position, Clear starts the file again at that moment.
TEST_F(SoundFileTest, BlocksArePacedByRunningTime) {
    enum Op { kRead, kStop, kStart, kClear };
    struct Step {
        Op op;
        int64_t t;     // test clock, ms after the start
        int blocks;    // blocks read so far (kRead)
        int position;  // index in the file of the next block
    };
    const Step steps[] = {
        {kRead, 0, 0, 0},      {kRead, 99, 0, 0},    {kRead, 100, 0, 0},   {kRead, 101, 1, 1},
        {kRead, 101, 1, 1},    {kRead, 200, 1, 1},   {kRead, 201, 2, 2},   {kRead, 550, 5, 5},
        {kStop, 620, 5, 5},    {kRead, 620, 6, 6},   {kRead, 9000, 6, 6},  {kStart, 9000, 6, 6},
        {kRead, 9080, 6, 6},   {kRead, 9181, 8, 8},  // 801 ms of running time
        {kRead, 9601, 12, 12},                       // past the file's 10.5 blocks: silence
        {kClear, 9700, 12, 0}, {kRead, 9800, 12, 0}, {kRead, 9801, 13, 1},
    };
    std::unique_ptr<CMp3Decoder> d = Decoder(File("ramp.wav"));
    ASSERT_TRUE(d->Start());
    const int64_t origin = now_;
    int blocks = 0, next = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(::testing::Message() << "step at " << s.t << " ms");
        now_ = origin + s.t;
        if (s.op == kRead)
            blocks += Drain(*d, now_, &next);
        else if (s.op == kStop)
            d->Stop();
        else if (s.op == kStart)
            EXPECT_TRUE(d->Start());
        else
            d->Clear(), next = 0;
        EXPECT_EQ(blocks, s.blocks);
        EXPECT_EQ(next, s.position);
    }
    EXPECT_TRUE(d->HasData());
    EXPECT_EQ(d->GetSampleRate(), 16000);
}

// Each format FFmpeg reads: the 2 s tone at its length, 660 Hz throughout, then silence.
TEST_F(SoundFileTest, ReadsEachFormatAtItsLength) {
    for (const char* ext : {"wav", "mp3", "ogg", "flac", "m4a", "opus"}) {
        SCOPED_TRACE(ext);
        std::unique_ptr<CMp3Decoder> d = Decoder(File(std::string("tone.") + ext));
        ASSERT_TRUE(d->Start());
        const std::vector<int16_t> pcm = PlayAll(*d);
        ASSERT_TRUE(d->Finished());
        // The sound ends within the block that holds the file's end (encoders pad a little).
        EXPECT_NEAR(pcm.size() / double(kTrackRate), 2.05, 0.1);
        for (double t = 0.1; t < 1.9; t += 0.2)
            EXPECT_NEAR(ToneAmplitude(&pcm[size_t(t * kTrackRate)], 1600, 660, kTrackRate),
                        0.5 * kFullScale, 0.05 * kFullScale)
                << "at " << t << " s";
        EXPECT_EQ(d->SkippedPackets(), 0);
    }
}

// What cannot be played: Start fails and nothing is ever held.
TEST_F(SoundFileTest, StartFailsForFilesWithoutPlayableSound) {
    std::mt19937 random(3);
    std::string garbage(20000, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    const std::string files[] = {File("missing.mp3"), File("pic.png"), File("video.mp4"),
                                 dir_->Write("garbage.mp3", garbage), dir_->Write("empty.wav", "")};
    for (const std::string& file : files) {
        std::unique_ptr<CMp3Decoder> d = Decoder(file);
        EXPECT_FALSE(d->Start()) << file;
        uint8_t block[kBlock];
        int got = -1;
        now_ += 1000;
        EXPECT_EQ(d->Read(block, kBlock, &got), 0) << file;
        EXPECT_EQ(std::make_pair(got, d->GetDataSize()), std::make_pair(0, 0)) << file;
    }
}

// An MP3 with damage in its middle, read from memory: the damage is skipped, the sound after
// it plays, the length stays about right.
TEST_F(SoundFileTest, DamagedFrameIsSkipped) {
    std::ifstream in(File("tone.mp3"), std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GT(bytes.size(), 8000u);
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 600; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7919);
    CMp3Decoder d([this] { return now_; });
    d.SetMemory(bytes.data(), bytes.size());
    ASSERT_TRUE(d.Start());
    const std::vector<int16_t> pcm = PlayAll(d);
    EXPECT_TRUE(d.Finished());
    EXPECT_NEAR(pcm.size() / double(kTrackRate), 2.0, 0.15);
    EXPECT_GT(ToneAmplitude(&pcm[size_t(1.7 * kTrackRate)], 1600, 660, kTrackRate),
              0.4 * kFullScale);
}

}  // namespace
}  // namespace test
}  // namespace vistrec
