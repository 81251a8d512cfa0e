// Audio mode 0: the microphone (tones played into a private PulseAudio's null sinks, the level
// read from the host's "/voluMem" block) and the sound file (made with FFmpeg, no sound server);
// the AAC track measured in short windows.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <tuple>

#include "PulseFixture.h"
#include "RecorderFixture.h"

namespace vistrec::test {
namespace {

constexpr int kDeviceRate = 48000;  // the null sinks' format: 48 kHz stereo
// A tone is present in a window at kPresent of full scale or more and at least 10 times its
// amplitude at kReferenceHz, which no signal here has. A window is silent below kSilentRms.
constexpr double kPresent = 0.02, kSilentRms = 0.003, kReferenceHz = 1860.0;

bool Present(const AudioTrack& a, double t, double length, double frequency) {
    const double amplitude = a.Tone(t, length, frequency);
    return amplitude >= kPresent && amplitude >= 10.0 * a.Tone(t, length, kReferenceHz);
}
// Share of the windows of `length` in [from, to) for which `holds` is true.
double Share(double from, double to, double length, const std::function<bool(double)>& holds) {
    int all = 0, yes = 0;
    for (double t = from; t + length <= to + 1e-9; t += length, ++all)
        yes += holds(t);
    return all == 0 ? 0.0 : static_cast<double>(yes) / all;
}
double ShareWith(const AudioTrack& a, double from, double to, double frequency) {
    return Share(from, to, 0.1, [&](double t) { return Present(a, t, 0.1, frequency); });
}

// Start of the first and end of the last 50 ms window with `frequency` present; -1 for none.
std::pair<double, double> Span(const AudioTrack& a, double frequency) {
    std::pair<double, double> span{-1.0, -1.0};
    for (double w = 0.0; w + 0.05 <= a.pcmEnd(); w += 0.05)
        if (Present(a, w, 0.05, frequency))
            span = {span.first < 0 ? w : span.first, w + 0.05};
    return span;
}

// The host's "/voluMem" block, created before the recorder as a host does.
struct LevelBlock {
    LevelBlock() : fd(shm_open("/voluMem", O_RDWR | O_CREAT | O_TRUNC, 0600)) {
        if (fd >= 0 && ftruncate(fd, 4096) == 0)
            view = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    }
    ~LevelBlock() {
        munmap(view, 4096);
        close(fd);
        shm_unlink("/voluMem");
    }
    int Level() const { return atoi(std::string(static_cast<const char*>(view), 15).c_str()); }
    int fd;
    void* view = MAP_FAILED;
};

class Mode0Recording : public RecorderTest {
  protected:
    void SetUp() override {
        RecorderTest::SetUp();
        std::string error;
        ASSERT_TRUE(pulse_.Start(&error)) << error;
        pulse_.ExportServer();
    }
    Child Play(const std::string& name, double frequency, double amplitude, const char* sink) {
        EXPECT_TRUE(
            WriteWav(dir_.File(name), kDeviceRate, 2, Sine(kDeviceRate, 20, frequency, amplitude)));
        return pulse_.Play(dir_.File(name), sink);
    }
    RecorderPtr Mode0(const std::string& file) {
        RecorderPtr r = NewRecorder(file);
        r->setAudioMode(0);
        return r;
    }
    // Both tracks decoded: AAC mono 16 kHz, as long as the video, without gaps.
    std::pair<AudioTrack, VideoTrack> Decode(const std::string& file) {
        std::pair<AudioTrack, VideoTrack> d{DecodeAudio(file), DecodeVideoTrack(file)};
        const auto& [a, v] = d;
        EXPECT_EQ(a.error + v.error, "");
        EXPECT_EQ(std::make_tuple(a.codec, a.sampleRate, a.channels, a.discontinuities),
                  std::make_tuple(std::string("aac"), kTrackRate, 1, 0));
        EXPECT_NEAR(a.duration, v.info.videoDuration, 0.2);
        return d;
    }
    PulseServer pulse_;
};

// The default source's tone is recorded and metered; the speakers' tone is not: no stream
// records the playback monitor. A tenth of full scale reads 31 (0.0637 x 500).
TEST_F(Mode0Recording, RecordsTheMicrophoneAloneWithItsLevel) {
    LevelBlock block;
    ASSERT_NE(block.view, MAP_FAILED);
    Child player = Play("mic440.wav", 440, 0.1, "vistrec_micsink");
    Child speakers = Play("play1000.wav", 1000, 0.5, "vistrec_play");
    SleepMs(500);
    const std::string file = dir_.File("mode0.mp4");
    // The suppressor learns a steady tone as noise: without it the level is the tone's own.
    setenv("VISTREC_NO_NUVRA", "1", 1);
    RecorderPtr r = Mode0(file);
    unsetenv("VISTREC_NO_NUVRA");  // read by the constructor only
    std::vector<int> levels;
    std::string streams;
    std::vector<Action> actions = {{2000, [&] {
                                        pulse_.Pactl({"list", "source-outputs"}, &streams);
                                    }}};
    for (int ms = 2500; ms <= 4500; ms += 500)
        actions.push_back({ms, [&] { levels.push_back(block.Level()); }});
    Record(r.get(), 5000, actions);
    r.reset();
    const auto [a, v] = Decode(file);
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    std::printf("[ measured ] 440 Hz at %.4f of full scale, level %d\n", a.Tone(1.0, 2.0, 440),
                levels.empty() ? -1 : levels[0]);
    EXPECT_GE(ShareWith(a, 1.0, end, 440), 0.9) << "the microphone";
    EXPECT_EQ(ShareWith(a, 0.3, end, 1000), 0.0) << "the speakers";
    for (int level : levels)
        EXPECT_NEAR(level, 31, 4);
    // The library's record streams (pactl blocks naming it) and what each records.
    std::vector<std::string> ours;
    for (size_t at = streams.find("Source Output #"); at != std::string::npos;) {
        const size_t next = streams.find("Source Output #", at + 1);
        const std::string b = streams.substr(at, next - at);
        if (b.find("application.name = \"vistrec\"") != std::string::npos)
            ours.push_back(
                b.substr(b.find("\tSource: "), b.find("Channel Map") - b.find("\tSource: ")));
        at = next;
    }
    const std::string mic = std::to_string(pulse_.SourceIndex("vistrec_mic"));
    EXPECT_EQ(ours, std::vector<std::string>{"\tSource: " + mic +
                                             "\n\tSample Specification: s16le 1ch 16000Hz\n\t"})
        << streams;
}

// The server dies 2 s in and is started again 3 s later: the video runs on, the track is silent
// meanwhile and the microphone is heard again within 3 s of the server's return.
TEST_F(Mode0Recording, LostServerLeavesSilenceAndTheMicrophoneReturns) {
    Child mic = Play("mic440.wav", 440, 0.5, "vistrec_micsink");
    SleepMs(500);
    const std::string file = dir_.File("lost0.mp4");
    RecorderPtr r = Mode0(file);
    int64_t killMs = 0, relaunchMs = 0, restartMs = 0;
    bool restarted = false;
    const Timeline t = Record(r.get(), 13000,
                              {{2000,
                                [&] {
                                    killMs = MonotonicMs();
                                    pulse_.Kill();
                                }},
                               {5000, [&] {
                                    relaunchMs = MonotonicMs();
                                    restarted = pulse_.Start();
                                    restartMs = MonotonicMs();
                                    mic = Play("mic660.wav", 660, 0.5, "vistrec_micsink");
                                }}});
    r.reset();
    ASSERT_TRUE(restarted);
    const auto [a, v] = Decode(file);
    EXPECT_NEAR(v.info.videoDuration, (t.stop - t.start) / 1000.0, 0.6) << "the video runs on";
    EXPECT_LE(v.MaxGap(), 0.4) << "the video never stops";
    const double wallAtZero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(wallAtZero, 0.0) << "no scene counter readable";
    const double killAt = (killMs - wallAtZero) / 1000.0;
    const double relaunchAt = (relaunchMs - wallAtZero) / 1000.0;
    const double restartAt = (restartMs - wallAtZero) / 1000.0;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    double back = -1.0;
    for (double w = killAt + 0.3; back < 0 && w + 0.1 <= end; w += 0.1)
        back = Present(a, w, 0.1, 660) ? w : -1.0;
    std::printf("[ measured ] killed at %.3f s, back at %.3f s, microphone again from %.3f s\n",
                killAt, restartAt, back);
    EXPECT_GE(ShareWith(a, 0.8, killAt - 0.3, 440), 0.9);
    // Sound is written a second at a time: what follows the return may land up to 1 s early.
    EXPECT_EQ(Share(killAt + 0.4, relaunchAt - 1.0, 0.1,
                    [&](double w) { return a.Rms(w, 0.1) < kSilentRms; }),
              1.0)
        << "silence while the server is away";
    ASSERT_GE(back, 0.0) << "the microphone never comes back";
    EXPECT_LE(back - restartAt, 3.0);
    EXPECT_GE(ShareWith(a, back + 1.2, end, 660), 0.9) << "the microphone after its return";
}

// The sound file's recordings need no sound server (the test program points at none).
class Mode0File : public RecorderTest {
  protected:
    // `signal` at 44.1 kHz stereo as `name`, converted by FFmpeg from WAV where the name says.
    std::string Make(const std::string& name, const std::vector<float>& signal) {
        const std::string wav = dir_.File(name + ".wav");
        EXPECT_TRUE(WriteWav(wav, 44100, 2, signal));
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0)
            std::rename(wav.c_str(), dir_.File(name).c_str());
        else
            EXPECT_EQ(RunCommand({"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav,
                                  dir_.File(name)}),
                      0);
        return dir_.File(name);
    }
    // A recording of `totalMs` with `sound`, paused from 1 s to 3 s when `pause` says so.
    AudioTrack RecordFile(const std::string& sound, int totalMs, bool pause = false) {
        const std::string file = dir_.File("file.mp4");
        RecorderPtr r = NewRecorder(file);
        r->setAudioMode(0);
        r->setAudioFile(sound.c_str());
        std::vector<Action> actions;
        if (pause)
            actions = {{1000, [&] { r->pauseRecord(); }}, {3000, [&] { r->resumeRecord(); }}};
        Record(r.get(), totalMs, actions);
        r.reset();
        AudioTrack a = DecodeAudio(file);
        MediaInfo v;
        std::string error;
        EXPECT_TRUE(DecodeVideo(
            file, &v, [](const AVFrame&, double) {}, &error))
            << error;
        EXPECT_EQ(std::make_tuple(a.error, a.discontinuities), std::make_tuple(std::string(), 0));
        std::printf("[ measured ] audio %.3f s, video %.3f s\n", a.duration, v.videoDuration);
        EXPECT_NEAR(a.duration, v.videoDuration, 0.2);
        return a;
    }
};

// A 2 s tone in a 4 s recording: heard from the start for its 2 s (+-100 ms), silence after.
TEST_F(Mode0File, PlaysTheFileAtItsOwnTimeThenSilence) {
    for (const char* name : {"tone.mp3", "tone.wav", "tone.ogg"}) {
        const AudioTrack a = RecordFile(Make(name, Sine(44100, 2.0, 660, 0.5)), 4000);
        const auto [first, last] = Span(a, 660);
        std::printf("[ measured ] %s: 660 Hz from %.3f s to %.3f s\n", name, first, last);
        EXPECT_NEAR(first, 0.0, 0.1) << name;
        EXPECT_NEAR(last, 2.0, 0.1) << name;
        EXPECT_GE(ShareWith(a, 0.1, 1.9, 660), 0.9) << name;
        EXPECT_EQ(
            Share(2.2, a.pcmEnd() - 0.1, 0.1, [&](double w) { return a.Rms(w, 0.1) < kSilentRms; }),
            1.0)
            << name;
    }
}

// 2 s of 660 Hz then 2 s of 880 Hz, paused 2 s after the first second: the file goes on where
// it stopped (660 Hz for another second). A file that ran on through the pause would queue 2 s
// more than the picture, which the end of the recording writes up to the next whole second:
// stopping half a second past one shows it as a track longer than the video.
TEST_F(Mode0File, PauseKeepsTheFilesPosition) {
    const std::string sound = Make("steps.wav", SteppedSines(44100, {660, 880}, 2.0, 0.5));
    const AudioTrack a = RecordFile(sound, 6500, true);
    const auto [low, high] = std::make_pair(Span(a, 660), Span(a, 880));
    std::printf("[ measured ] 660 Hz from %.2f s to %.2f s, 880 Hz from %.2f s to %.2f s\n",
                low.first, low.second, high.first, high.second);
    EXPECT_NEAR(low.second, 2.0, 0.15);
    EXPECT_NEAR(high.first, 2.0, 0.15);
    EXPECT_NEAR(high.second, 4.0, 0.1);
    EXPECT_GE(ShareWith(a, 0.1, 1.9, 660), 0.9) << "the file's first 2 s, across the pause";
    EXPECT_EQ(ShareWith(a, 0.1, 1.9, 880), 0.0);
    EXPECT_GE(ShareWith(a, 2.1, 3.9, 880), 0.9) << "its last 2 s after them";
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
