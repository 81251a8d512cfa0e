// Audio mode 0: the microphone and the sound file; the AAC track measured in short windows.
#include <gtest/gtest.h>

#include <tuple>

#include "SoundChecks.h"

namespace vistrec::test {
namespace {

// Start of the first and end of the last 50 ms window with `frequency` present; -1 for none.
std::pair<double, double> Span(const AudioTrack& a, double frequency) {
    std::pair<double, double> span{-1.0, -1.0};
    for (double w = 0.0; w + 0.05 <= a.pcmEnd(); w += 0.05)
        if (Present(a, w, 0.05, frequency))
            span = {span.first < 0 ? w : span.first, w + 0.05};
    return span;
}

class Mode0 : public SoundRecorderTest {
  protected:
    // `signal` at 48 kHz stereo in the file `name`, converted by FFmpeg unless it is a WAV.
    std::string Make(const std::string& name, const std::vector<float>& signal) {
        const std::string wav = dir_.File(name + ".wav"), file = dir_.File(name);
        EXPECT_TRUE(WriteWav(wav, 48000, 2, signal));
        EXPECT_EQ(name.find(".wav") != std::string::npos
                      ? std::rename(wav.c_str(), file.c_str())
                      : RunCommand({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", wav, file}),
                  0);
        return file;
    }
    Child Play(double frequency, double amplitude, const char* sink) {  // a 20 s tone
        return pulse_.Play(
            Make(std::to_string(frequency) + ".wav", Sine(48000, 20, frequency, amplitude)), sink);
    }
    // Records mode 0 from the microphone, or from `sound`; paused from 1 s to 3 s with `pause`.
    std::pair<AudioTrack, VideoTrack> Record0(int totalMs, std::vector<Action> actions,
                                              const std::string& sound = "", bool pause = false) {
        const std::string file = dir_.File("mode0.mp4");
        RecorderPtr r = NewRecorder(file);
        r->setAudioMode(0);
        if (!sound.empty())
            r->setAudioFile(sound.c_str());
        if (pause)
            actions = {{1000, [&] { r->pauseRecord(); }}, {3000, [&] { r->resumeRecord(); }}};
        Record(r.get(), totalMs, actions);
        r.reset();
        std::pair<AudioTrack, VideoTrack> d{DecodeAudio(file), DecodeVideoTrack(file)};
        const auto& [a, v] = d;
        std::printf("[ measured ] audio %.3f s, video %.3f s\n", a.duration, v.info.videoDuration);
        EXPECT_EQ(std::make_tuple(a.error + v.error, a.codec, a.sampleRate, a.discontinuities),
                  std::make_tuple(std::string(), std::string("aac"), kTrackRate, 0));
        EXPECT_NEAR(a.duration, v.info.videoDuration, 0.2);
        return d;
    }
};

// The default source's tone is recorded and metered (a tenth of full scale reads 31), the
// speakers' is not: the library's only stream records the default source at 16 kHz mono.
TEST_F(Mode0, RecordsTheMicrophoneAloneWithItsLevel) {
    LevelBlock block;
    Child mic = Play(440, 0.1, "vistrec_micsink"), speakers = Play(1000, 0.5, "vistrec_play");
    SleepMs(500);
    std::string streams;
    std::vector<int> levels;
    // The suppressor learns a steady tone as noise: without it the level is the tone's own.
    setenv("VISTREC_NO_NUVRA", "1", 1);
    const auto level = [&] { levels.push_back(atoi(block.Text().c_str())); };
    const auto [a, v] = Record0(5000, {{2500,
                                        [&] {
                                            pulse_.Pactl({"list", "source-outputs"}, &streams);
                                        }},
                                       {3000, level},
                                       {4000, level}});
    unsetenv("VISTREC_NO_NUVRA");
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    EXPECT_GE(ShareWith(a, 1.0, end, 0.1, 440), 0.9) << "the microphone";
    EXPECT_EQ(ShareWith(a, 0.3, end, 0.1, 1000), 0.0) << "the speakers";
    ASSERT_EQ(levels.size(), 2u);
    for (const int level : levels)
        EXPECT_NEAR(level, 31, 2);
    const size_t ours = streams.find("application.name = \"vistrec\"");
    const std::string source = "\tSource: " + std::to_string(pulse_.SourceIndex("vistrec_mic")) +
                               "\n\tSample Specification: s16le 1ch 16000Hz";
    const size_t from = streams.find("\tSource: ", streams.rfind("Source Output #", ours));
    EXPECT_EQ(streams.substr(from, source.size()), source) << streams;
    EXPECT_EQ(streams.find("application.name = \"vistrec\"", ours + 1), std::string::npos);
}

// The server dies 2 s in and returns 3 s later: the video runs on, the track is silent meanwhile
// and the microphone is heard again within 3 s of the server's return.
TEST_F(Mode0, LostServerLeavesSilenceAndTheMicrophoneReturns) {
    Child mic = Play(440, 0.5, "vistrec_micsink");
    SleepMs(500);
    int64_t killMs = 0, relaunchMs = 0, restartMs = 0;
    const auto [a, v] = Record0(13000, {{2000,
                                         [&] {
                                             killMs = MonotonicMs();
                                             pulse_.Kill();
                                         }},
                                        {5000, [&] {
                                             relaunchMs = MonotonicMs();
                                             EXPECT_TRUE(pulse_.Start());
                                             restartMs = MonotonicMs();
                                             mic = Play(660, 0.5, "vistrec_micsink");
                                         }}});
    EXPECT_LE(v.MaxGap(), 0.4) << "the video never stops";
    const double zero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(zero, 0.0) << "no scene counter readable";
    const double killAt = (killMs - zero) / 1000, restartAt = (restartMs - zero) / 1000;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    const double back = FirstPresent(a, killAt + 0.3, end, 0.1, 660);
    std::printf("[ measured ] killed at %.3f s, back at %.3f s, heard from %.3f s\n", killAt,
                restartAt, back);
    EXPECT_GE(ShareWith(a, 0.8, killAt - 0.3, 0.1, 440), 0.9);
    // Sound is written a second at a time: what follows the return may land up to 1 s early.
    EXPECT_EQ(Share(killAt + 0.4, (relaunchMs - zero) / 1000 - 1.0, 0.1,
                    [&](double w) { return a.Rms(w, 0.1) < kSilentRms; }),
              1.0)
        << "silence while the server is away";
    ASSERT_GE(back, 0.0) << "the microphone never comes back";
    EXPECT_LE(back - restartAt, 3.0);
    EXPECT_GE(ShareWith(a, back + 1.2, end, 0.1, 660), 0.9) << "the microphone after its return";
}

// A 2 s tone in a 4 s recording: heard from the start for its 2 s (+-100 ms), silence after.
TEST_F(Mode0, PlaysTheFileAtItsOwnTimeThenSilence) {
    for (const char* name : {"tone.mp3", "tone.wav", "tone.ogg"}) {
        const auto [a, v] = Record0(4000, {}, Make(name, Sine(48000, 2.0, 660, 0.5)));
        const auto [first, last] = Span(a, 660);
        std::printf("[ measured ] %s: 660 Hz from %.3f s to %.3f s\n", name, first, last);
        EXPECT_NEAR(first, 0.0, 0.1) << name;
        EXPECT_NEAR(last, 2.0, 0.1) << name;
        EXPECT_GE(ShareWith(a, 0.1, 1.9, 0.1, 660), 0.9) << name;
        EXPECT_EQ(
            Share(2.2, a.pcmEnd() - 0.1, 0.1, [&](double w) { return a.Rms(w, 0.1) < kSilentRms; }),
            1.0)
            << name;
    }
}

// 2 s of 660 Hz then 2 s of 880 Hz, paused 2 s after the first second: the file goes on where
// it stopped (660 Hz for another second). A file that ran on through the pause would queue 2 s
// more than the picture, which the end of the recording writes up to the next whole second:
// stopping half a second past one shows it as a track longer than the video (Record0 checks).
TEST_F(Mode0, PauseKeepsTheFilesPosition) {
    const std::string sound = Make("steps.wav", SteppedSines(48000, {660, 880}, 2.0, 0.5));
    const auto [a, v] = Record0(6500, {}, sound, true);
    const auto [low, high] = std::make_pair(Span(a, 660), Span(a, 880));
    std::printf("[ measured ] 660 Hz from %.2f s to %.2f s, 880 Hz from %.2f s to %.2f s\n",
                low.first, low.second, high.first, high.second);
    EXPECT_EQ(low.first, 0.0);
    EXPECT_NEAR(low.second, 2.0, 0.1) << "the file's first 2 s, across the pause";
    EXPECT_NEAR(high.first, 2.0, 0.1) << "then its last 2 s";
    EXPECT_NEAR(high.second, 4.0, 0.1);
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
