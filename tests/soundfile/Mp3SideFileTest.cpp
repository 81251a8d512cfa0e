// The MP3 side file of mode-1 recordings of a tone: as long as the captured sound, with an Info
// tag of its length; made only for the recording that set its path; a bad path spares the MP4.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "SoundChecks.h"

namespace vistrec::test {
namespace {

// The codecs' ringing where the tone stops stays below kRingingRms.
constexpr double kRingingRms = 0.01;
#if defined(__SANITIZE_THREAD__)
// Setting a recording up takes seconds under ThreadSanitizer: long enough to measure after it.
constexpr int kRecordMs = 12000;
#else
constexpr int kRecordMs = 4000;
#endif

// Seconds the Xing/Info tag of the first frame counts (frames of 576 samples); -1 without one.
double TagSeconds(const std::string& mp3) {
    std::ifstream in(mp3, std::ios::binary);
    const std::string b{std::istreambuf_iterator<char>(in), {}};
    size_t at = std::min(b.find("Info"), b.find("Xing"));
    if (at > 200 || at + 12 > b.size() || !(b[at + 7] & 1))
        return -1.0;
    uint32_t frames = 0;
    for (size_t i = at + 8; i < at + 12; ++i)
        frames = frames << 8 | static_cast<uint8_t>(b[i]);
    return frames * 576.0 / kTrackRate;
}

// Seconds of 10 ms windows without sound.
double Silent(const AudioTrack& a) {
    double silent = 0.0;
    for (double t = a.pcmStart; t + 0.01 <= a.pcmEnd(); t += 0.01)
        silent += a.Rms(t, 0.01) < kRingingRms ? 0.01 : 0.0;
    return silent;
}

double ToneShare(const AudioTrack& a) {
    return Share(a.pcmStart + 0.2, a.pcmEnd() - 0.2, 0.1,
                 [&](double t) { return a.Tone(t, 0.1, 440) >= kPresent; });
}

using Mp3SideFile = SoundRecorderTest;

TEST_F(Mp3SideFile, HoldsTheCapturedSoundOfTheRecordingThatAskedForIt) {
    ASSERT_TRUE(WriteWav(dir_.File("tone.wav"), 48000, 2, Sine(48000, 30, 440, 0.5)));
    Child player = pulse_.Play(dir_.File("tone.wav"), "vistrec_play");
    SleepMs(500);
    struct Run {
        const char* mp3;  // path given before the recording; null: none
        bool written;     // an MP3 is expected at `mp3`, or at the first row's path
    };
    const std::string first = dir_.File("copy.mp3");
    const Run runs[] = {{first.c_str(), true}, {nullptr, false}, {"/proc/none/x.mp3", false}};
    const std::string mp4 = dir_.File("rec.mp4");
    RecorderPtr r = NewRecorder(mp4, 1.0, 1);
    const RECT small{0, 0, 320, 240};  // the sound is what counts: a cheap picture
    r->setCaptureRect(true, &small);
    for (const Run& run : runs) {
        SCOPED_TRACE(run.mp3 ? run.mp3 : "no mp3 path");
        std::filesystem::remove(first);
        if (run.mp3)
            r->setMp3FileName(run.mp3);
        Record(r.get(), kRecordMs);
        const AudioTrack aac = DecodeAudio(mp4);
        ASSERT_EQ(aac.error, "");
        EXPECT_GE(ToneShare(aac), 0.5) << "the MP4 is recorded as ever";
        ASSERT_EQ(std::filesystem::exists(run.mp3 ? run.mp3 : first), run.written);
        if (!run.written)
            continue;
        const AudioTrack mp3 = DecodeAudio(first);
        ASSERT_EQ(mp3.error, "");
        const double length = mp3.pcm.size() / double(kTrackRate);
        // The captured sound: the AAC track less the silence made up where none came. Silence
        // that was captured (a player's underrun) is in both files, so the made-up silence is
        // what the AAC track has more of.
        const double captured = aac.pcmEnd() - aac.pcmStart - Silent(aac) + Silent(mp3);
        std::printf(
            "[ measured ] AAC %.3f s, of it captured %.3f s; MP3 %.3f s decoded, %.3f s "
            "reported, %.3f s in its tag\n",
            aac.duration, captured, length, mp3.duration, TagSeconds(first));
        EXPECT_EQ(std::make_tuple(mp3.codec, mp3.sampleRate, mp3.channels),
                  std::make_tuple(std::string("mp3float"), kTrackRate, 1));
        EXPECT_NEAR(length, captured, 0.1);
        // What a player shows comes from the tag: its frames, of which the encoder's delay and
        // padding (up to two frames, 72 ms) are not sound.
        EXPECT_NEAR(mp3.duration, TagSeconds(first), 0.001);
        EXPECT_NEAR(mp3.duration, length, 0.1);
        EXPECT_GE(ToneShare(mp3), 0.9);
    }
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
