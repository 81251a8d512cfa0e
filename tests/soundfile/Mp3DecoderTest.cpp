// The sound-file source on an injected clock: pacing, PCM, formats, damaged and unusable files.
#include <gtest/gtest.h>

#include <random>

#include "Media.h"
#include "Process.h"
#include "TempDir.h"
#include "audiocapture/Mp3Decoder.h"

namespace vistrec::test {
namespace {

constexpr int kBlock = CMp3Decoder::kBlockBytes;

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
            Ffmpeg({"-i", File("tone.wav"), File(std::string("tone.") + ext)});
        Ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", File("pic.png")});
        Ffmpeg({"-f", "lavfi", "-i", "testsrc=d=1:s=64x64", "-c:v", "mpeg4", File("video.mp4")});
    }
    static void TearDownTestSuite() { delete dir_; }
    static void Ffmpeg(std::vector<std::string> args) {
        args.insert(args.begin(), {"ffmpeg", "-nostdin", "-loglevel", "error", "-y"});
        ASSERT_EQ(RunCommand(args), 0) << args.back();
    }
    static std::string File(const std::string& name) { return dir_->File(name); }

    std::unique_ptr<CMp3Decoder> Decoder(const std::string& file,
                                         const std::vector<uint8_t>& bytes = {}) {
        auto d = std::make_unique<CMp3Decoder>([this] { return now_; });
        bytes.empty() ? d->SetFile(file.c_str()) : d->SetMemory(bytes.data(), bytes.size());
        return d;
    }
    // Reads every block held at `t` onto `pcm_`; how many.
    int Drain(CMp3Decoder& d, int64_t t) {
        now_ = t;
        int16_t block[kBlock / 2];
        int got = 0, n = 0;
        for (; d.Read(reinterpret_cast<uint8_t*>(block), kBlock, &got) >= 0 && got == kBlock; ++n)
            pcm_.insert(pcm_.end(), block, block + kBlock / 2);
        return n;
    }
    void PlayAll(CMp3Decoder& d) {
        for (int i = 0; i < 600 && !d.Finished(); ++i)
            Drain(d, now_ + 100);
    }

    static TempDir* dir_;
    static std::vector<float> ramp_;
    int64_t now_ = 5000;
    std::vector<int16_t> pcm_;
};
TempDir* SoundFileTest::dir_ = nullptr;
std::vector<float> SoundFileTest::ramp_;

// Block i is held once [100 i, 100 (i + 1)) ms of running time are over, and taken when more
// than a block is held; Stop holds the position, Clear starts the file again at that moment.
TEST_F(SoundFileTest, BlocksArePacedByRunningTime) {
    enum Op { kRead, kStop, kStart, kClear };
    const struct {
        Op op;
        int64_t t;   // test clock, ms after the start
        int blocks;  // blocks read so far
    } steps[] = {
        {kRead, 0, 0},      {kRead, 99, 0},    {kRead, 100, 0},   {kRead, 101, 1},  {kRead, 101, 1},
        {kRead, 200, 1},    {kRead, 201, 2},   {kRead, 550, 5},   {kStop, 620, 5},  {kRead, 620, 6},
        {kRead, 9000, 6},   {kStart, 9000, 6}, {kRead, 9080, 6},  {kRead, 9181, 8},  // 801 ms run
        {kRead, 9601, 12},  // past the file's 10.5 blocks: silence
        {kClear, 9700, 12}, {kRead, 9800, 12}, {kRead, 9801, 13},
    };
    std::unique_ptr<CMp3Decoder> d = Decoder(File("ramp.wav"));
    ASSERT_TRUE(d->Start());
    const int64_t origin = now_;
    int blocks = 0;
    for (const auto& s : steps) {
        now_ = origin + s.t;
        if (s.op == kRead)
            blocks += Drain(*d, now_);
        else if (s.op == kStop)
            d->Stop();
        else if (s.op == kStart)
            EXPECT_TRUE(d->Start());
        else
            d->Clear();
        EXPECT_EQ(blocks, s.blocks) << "at " << s.t << " ms";
    }
    // The file, then silence to the twelfth block, then the file's first block again.
    std::vector<int16_t> want = Pcm16(ramp_);
    want.resize(12 * kBlock / 2, 0);
    want.insert(want.end(), want.begin(), want.begin() + kBlock / 2);
    EXPECT_TRUE(pcm_ == want);
    EXPECT_TRUE(d->HasData());
}

// Each format: the 2 s tone at its length, then silence; the MP3 also from memory with damage in
// its middle, which is skipped.
TEST_F(SoundFileTest, ReadsEachFormatAtItsLength) {
    const std::string mp3 = ReadTextFile(File("tone.mp3"));
    std::vector<uint8_t> damaged(mp3.begin(), mp3.end());
    for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 600; ++i)
        damaged[i] = static_cast<uint8_t>(i * 7919);
    for (const char* ext : {"wav", "mp3", "ogg", "flac", "m4a", "opus", "damaged"}) {
        SCOPED_TRACE(ext);
        const bool damage = ext == std::string("damaged");
        std::unique_ptr<CMp3Decoder> d =
            Decoder(File(std::string("tone.") + ext), damage ? damaged : std::vector<uint8_t>{});
        ASSERT_TRUE(d->Start());
        pcm_.clear();
        PlayAll(*d);
        ASSERT_TRUE(d->Finished());
        // The sound ends within the block that holds the file's end (encoders pad a little).
        EXPECT_NEAR(pcm_.size() / double(kTrackRate), 2.05, damage ? 0.15 : 0.1);
        for (double t = 0.1; t < 1.9; t += 0.2)
            EXPECT_NEAR(ToneAmplitude(&pcm_[size_t(t * kTrackRate)], 1600, 660, kTrackRate),
                        0.5 * kFullScale, (damage && t > 0.9 && t < 1.2 ? 0.5 : 0.05) * kFullScale)
                << "at " << t << " s";
        EXPECT_EQ(d->SkippedPackets() > 0, damage);
    }
}

TEST_F(SoundFileTest, StartFailsForFilesWithoutPlayableSound) {
    std::mt19937 random(3);
    std::string garbage(20000, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    for (const std::string& file :
         {File("missing.mp3"), File("pic.png"), File("video.mp4"),
          dir_->Write("garbage.mp3", garbage), dir_->Write("empty.wav", "")}) {
        std::unique_ptr<CMp3Decoder> d = Decoder(file);
        EXPECT_FALSE(d->Start()) << file;
        EXPECT_EQ(Drain(*d, now_ + 1000) + d->GetDataSize(), 0) << file;
    }
}

}  // namespace
}  // namespace vistrec::test
