// Recordings with sound through libvistrec.so's public interface, as a host makes them: the
// test scene on Xvfb, a private PulseAudio server whose null sinks play known signals into the
// default microphone and the default playback device, and the MP4's AAC track decoded and
// measured (Goertzel amplitudes in short windows). The scene's counters tell where the
// recording began on the wall clock, so that events of the test (a new default microphone, a
// lost server, a pause) can be found in the file. Figures are printed with "[ measured ]".
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "PulseFixture.h"
#include "SoundAnalysis.h"
#include "vistrec/IRecordMp4.h"

namespace {

using soundrec::AudioTrack;
using soundrec::RecordStream;
using soundrec::VideoTrack;
using vistrec::test::ChildProcess;
using vistrec::test::PulseServer;

constexpr int kSceneFps = 30;
// The fixture's null sinks run at 48 kHz stereo; the signals are written in that format.
constexpr int kDeviceRate = 48000;
constexpr int kDeviceChannels = 2;
// A tone counts as present in a window at this amplitude (fraction of full scale) or more and
// at least kPresentOverReference times the amplitude at kReferenceHz, a frequency no signal of
// these tests has. A window is silent below kSilentRms.
constexpr double kPresent = 0.02;
constexpr double kPresentOverReference = 10.0;
constexpr double kSilentRms = 0.003;
constexpr double kReferenceHz = 1860.0;
// Audio and video tracks of one recording end this close together; further apart (a sound
// server lost and found, a new device, a pause) after interruptions of the capture.
constexpr double kTrackEndTolerance = 0.1;
constexpr double kTrackEndToleranceInterrupted = 0.2;
// The scene's counters give the wall-clock time of file time 0 to within a counter interval
// plus the scene's drawing time; events found by it are allowed this much earlier.
constexpr double kAnchorSlack = 0.25;

// Pointers kept by the recorder: they must outlive every recording.
const char kPreset[] = "ultrafast";
const char kTune[] = "zerolatency";

struct RecorderDeleter {
    void operator()(IRecordMp4* r) const { delete r; }
};
using RecorderPtr = std::unique_ptr<IRecordMp4, RecorderDeleter>;

// A recorder of the whole screen at scale 1 (20 fps, the library's default), pointer hidden.
RecorderPtr NewRecorder(const std::string& file, int audioMode) {
    RecorderPtr r(create_screen_record(nullptr));
    if (!r)
        return r;
    r->setFileName(file.c_str());
    r->setPreset(kPreset);
    r->setTune(kTune);
    r->setScale(1.0);
    r->setMouseShow(0, 0, 0, 100);
    r->setAudioMode(audioMode);
    return r;
}

// Something the test does `atMs` after startRecord.
struct Action {
    int atMs;
    std::function<void()> run;
};

// CLOCK_MONOTONIC milliseconds around one recording.
struct Timeline {
    int64_t start = 0;  // just before startRecord
    int64_t stop = 0;   // after stopRecord returned
    unsigned recordedMs = 0;
};

void SleepUntil(int64_t monotonicMs) {
    const int64_t left = monotonicMs - it::MonotonicMs();
    if (left > 0)
        it::SleepMs(static_cast<int>(left));
}

// Starts the recorder, runs the actions at their times, stops it `totalMs` after the start.
Timeline Record(IRecordMp4* r, int totalMs, const std::vector<Action>& actions = {}) {
    Timeline t;
    t.start = it::MonotonicMs();
    r->startRecord();
    for (const Action& a : actions) {
        SleepUntil(t.start + a.atMs);
        a.run();
    }
    SleepUntil(t.start + totalMs);
    t.recordedMs = r->stopRecord();
    t.stop = it::MonotonicMs();
    return t;
}

bool Present(const AudioTrack& a, double t, double length, double frequency) {
    const double amplitude = a.Tone(t, length, frequency);
    return amplitude >= kPresent &&
           amplitude >= kPresentOverReference * a.Tone(t, length, kReferenceHz);
}

// Share of the windows of `length` seconds in [from, to) for which `holds` is true.
double Share(double from, double to, double length, const std::function<bool(double)>& holds) {
    int all = 0, yes = 0;
    for (double t = from; t + length <= to + 1e-9; t += length) {
        ++all;
        yes += holds(t) ? 1 : 0;
    }
    return all == 0 ? 0.0 : static_cast<double>(yes) / all;
}

// Start of the first window of `length` at or after `from` (up to `to`) where `frequency` is
// present; -1 when there is none.
double FirstPresent(const AudioTrack& a, double from, double to, double length, double frequency) {
    for (double t = from; t + length <= to + 1e-9; t += length) {
        if (Present(a, t, length, frequency))
            return t;
    }
    return -1.0;
}

// Largest amplitude of `frequency` over the windows of [from, to); *at gets where it is.
double MaxTone(const AudioTrack& a, double from, double to, double length, double frequency,
               double* at = nullptr) {
    double most = 0.0;
    for (double t = from; t + length <= to + 1e-9; t += length) {
        const double amplitude = a.Tone(t, length, frequency);
        if (amplitude > most) {
            most = amplitude;
            if (at)
                *at = t;
        }
    }
    return most;
}

// Mean amplitude of `frequency` over the windows of [from, to).
double MeanTone(const AudioTrack& a, double from, double to, double length, double frequency) {
    double sum = 0.0;
    int n = 0;
    for (double t = from; t + length <= to + 1e-9; t += length, ++n)
        sum += a.Tone(t, length, frequency);
    return n == 0 ? 0.0 : sum / n;
}

void PrintTracks(const char* what, const AudioTrack& a, const VideoTrack& v, const Timeline& t) {
    std::printf(
        "[ measured ] %s: audio %s %d Hz %d ch, stream %.3f s, packets %d (end %.3f s, %d "
        "discontinuities), decoded %.3f s from %.3f s; video %.3f s, %d frames, largest gap "
        "%.3f s; wall %.3f s, stopRecord %u ms\n",
        what, a.codec.c_str(), a.sampleRate, a.channels, a.duration, a.packets, a.endSeconds,
        a.discontinuities, a.pcmEnd() - a.pcmStart, a.pcmStart, v.info.videoDuration,
        v.info.decodedFrames, v.MaxGap(), (t.stop - t.start) / 1000.0, t.recordedMs);
}

// Both tracks decoded, AAC mono at 16 kHz beside H.264.
void ExpectPlayable(const AudioTrack& a, const VideoTrack& v) {
    EXPECT_TRUE(a.error.empty()) << a.error;
    EXPECT_TRUE(v.error.empty()) << v.error;
    EXPECT_EQ(v.info.videoStreams, 1);
    EXPECT_EQ(v.info.audioStreams, 1);
    EXPECT_EQ(v.info.videoCodec, "h264");
    EXPECT_EQ(a.codec, "aac");
    EXPECT_EQ(a.sampleRate, soundrec::kTrackRate);
    EXPECT_EQ(a.channels, 1);
    EXPECT_GT(v.info.decodedFrames, 0);
    EXPECT_GT(a.packets, 0);
}

// Each test: the scene on the program's Xvfb and a sound server of its own (see PulseServer).
class SoundRecording : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.ok()) << "no X display";
        ASSERT_EQ(x_.screenWidth(), soundrec::kScreenW);
        ASSERT_EQ(x_.screenHeight(), soundrec::kScreenH);
        pulse_ = std::make_unique<PulseServer>();
        std::string error;
        ASSERT_TRUE(pulse_->Start(&error)) << error;
        pulse_->ExportServer();
        ASSERT_TRUE(scene_.Start(kSceneFps));
    }
    void TearDown() override {
        scene_.Stop();
        pulse_.reset();
    }

    PulseServer& pulse() { return *pulse_; }

    // A WAV file of the test's directory in the sinks' format.
    std::string Wav(const std::string& name, const std::vector<float>& signal) {
        const std::string path = dir_.File(name);
        EXPECT_TRUE(soundrec::WriteWav(path, kDeviceRate, kDeviceChannels, signal)) << path;
        return path;
    }

    std::vector<RecordStream> RecordStreams() {
        std::string out;
        EXPECT_EQ(pulse().Pactl({"list", "source-outputs"}, &out), 0);
        return soundrec::ParseSourceOutputs(out);
    }
    int SourceIndex(const std::string& name) {
        std::string out;
        EXPECT_EQ(pulse().Pactl({"list", "short", "sources"}, &out), 0);
        return soundrec::SourceIndex(out, name);
    }
    static int StreamsOn(const std::vector<RecordStream>& streams, int source) {
        return static_cast<int>(
            std::count_if(streams.begin(), streams.end(),
                          [&](const RecordStream& s) { return s.source == source; }));
    }
    static bool HasStream(const std::vector<RecordStream>& streams, const std::string& name) {
        return std::any_of(streams.begin(), streams.end(),
                           [&](const RecordStream& s) { return s.mediaName == name; });
    }

    it::XClient x_;
    it::Scene scene_;
    it::TempDir dir_;
    std::unique_ptr<PulseServer> pulse_;
};

// Mode 1: a 440 Hz tone keyed 400 ms on / 400 ms off in the microphone (keyed, because the
// noise suppressor learns a steady tone as noise) and a steady 1000 Hz tone in the playback
// device both reach the AAC track, the microphone is recorded from while the recording runs,
// and the audio track ends with the video.
TEST_F(SoundRecording, Mode1RecordsMicrophoneAndPlaybackMixed) {
    ChildProcess mic =
        pulse().Play(Wav("mic440.wav", soundrec::KeyedSine(kDeviceRate, 12, 440, 0.5, 400, 400)),
                     "vistrec_micsink");
    ChildProcess playback = pulse().Play(
        Wav("play1000.wav", soundrec::Sine(kDeviceRate, 12, 1000, 0.5)), "vistrec_play");
    it::SleepMs(500);
    const int micSource = SourceIndex("vistrec_mic");
    ASSERT_GE(micSource, 0);

    const std::string file = dir_.File("mode1.mp4");
    RecorderPtr r = NewRecorder(file, 1);
    ASSERT_TRUE(r);
    std::vector<RecordStream> streams;
    const Timeline t = Record(r.get(), 6000, {{3000, [&] { streams = RecordStreams(); }}});
    r.reset();

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("mode 1", a, v, t);
    ExpectPlayable(a, v);
    EXPECT_NEAR(a.duration, v.info.videoDuration, kTrackEndTolerance);

    const double from = 1.0, to = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    const double with1000 =
        Share(from, to, 0.1, [&](double w) { return Present(a, w, 0.1, 1000); });
    const double with440 = Share(from, to, 0.1, [&](double w) { return Present(a, w, 0.1, 440); });
    std::printf(
        "[ measured ] mode 1, 100 ms windows in [%.1f, %.1f) s: 1000 Hz present in %.0f %% "
        "(mean %.4f), 440 Hz present in %.0f %% (mean %.4f), reference frequency mean %.5f\n",
        from, to, 100 * with1000, MeanTone(a, from, to, 0.1, 1000), 100 * with440,
        MeanTone(a, from, to, 0.1, 440), MeanTone(a, from, to, 0.1, kReferenceHz));
    EXPECT_GE(with1000, 0.9) << "the playback tone";
    // Keyed 400/400 ms: 3 of every 8 windows lie wholly in an "on" stretch, 3 in an "off" one.
    EXPECT_GE(with440, 0.25) << "the microphone tone";
    EXPECT_LE(with440, 0.8) << "the microphone tone's pauses";

    EXPECT_EQ(StreamsOn(streams, micSource), 1) << "a record stream on the microphone";
    EXPECT_TRUE(HasStream(streams, "vistrec microphone"));
    EXPECT_TRUE(HasStream(streams, "vistrec playback"));
}

// Mode 2: only the playback device is heard, and the microphone is never opened.
TEST_F(SoundRecording, Mode2RecordsPlaybackOnlyAndLeavesMicrophoneClosed) {
    ChildProcess mic =
        pulse().Play(Wav("mic440.wav", soundrec::KeyedSine(kDeviceRate, 12, 440, 0.5, 400, 400)),
                     "vistrec_micsink");
    ChildProcess playback = pulse().Play(
        Wav("play1000.wav", soundrec::Sine(kDeviceRate, 12, 1000, 0.5)), "vistrec_play");
    it::SleepMs(500);
    const int micSource = SourceIndex("vistrec_mic");
    ASSERT_GE(micSource, 0);

    const std::string file = dir_.File("mode2.mp4");
    RecorderPtr r = NewRecorder(file, 2);
    ASSERT_TRUE(r);
    std::vector<std::vector<RecordStream>> samples;
    const auto look = [&] { samples.push_back(RecordStreams()); };
    const Timeline t = Record(r.get(), 6000, {{1500, look}, {3000, look}, {4500, look}});
    r.reset();

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("mode 2", a, v, t);
    ExpectPlayable(a, v);
    EXPECT_NEAR(a.duration, v.info.videoDuration, kTrackEndTolerance);

    const double from = 1.0, to = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    const double with1000 =
        Share(from, to, 0.1, [&](double w) { return Present(a, w, 0.1, 1000); });
    const double with440 = Share(from, to, 0.1, [&](double w) { return Present(a, w, 0.1, 440); });
    double loudestAt = 0.0;
    const double loudest440 = MaxTone(a, from, to, 0.1, 440, &loudestAt);
    std::printf(
        "[ measured ] mode 2: 1000 Hz present in %.0f %% of the windows (mean %.4f), 440 Hz "
        "present in %.0f %% (mean %.5f, at most %.5f at %.1f s)\n",
        100 * with1000, MeanTone(a, from, to, 0.1, 1000), 100 * with440,
        MeanTone(a, from, to, 0.1, 440), loudest440, loudestAt);
    EXPECT_GE(with1000, 0.9);
    // The microphone's tone would be present in about 6 of every 10 windows (mode 1 above).
    // Where the playback tone drops out for a moment its edges spread a little over the whole
    // spectrum, which the reference frequency shows, so that does not count as present.
    EXPECT_EQ(with440, 0.0) << "the microphone's tone";
    std::string dropouts;
    for (const soundrec::Dropout& d : soundrec::FindDropouts(a, 0.3, to))
        dropouts += " " + std::to_string(static_cast<int>(d.length * 1000)) + " ms at " +
                    std::to_string(d.start).substr(0, 5) + " s;";
    std::printf("[ measured ] mode 2: dropouts of the steady tone:%s\n",
                dropouts.empty() ? " none" : dropouts.c_str());

    ASSERT_EQ(samples.size(), 3u);
    for (const auto& streams : samples) {
        EXPECT_EQ(StreamsOn(streams, micSource), 0) << "a record stream on the microphone";
        EXPECT_FALSE(HasStream(streams, "vistrec microphone"));
        EXPECT_TRUE(HasStream(streams, "vistrec playback"));
    }
}

// The host's "/voluMem" block: created before the recorder, as a host does, and removed again.
class LevelBlock {
  public:
    static constexpr size_t kBytes = 4096;

    LevelBlock() {
        shm_unlink(kName);
        fd_ = shm_open(kName, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd_ < 0 || ftruncate(fd_, kBytes) != 0)
            return;
        void* view = mmap(nullptr, kBytes, PROT_READ, MAP_SHARED, fd_, 0);
        if (view != MAP_FAILED)
            view_ = static_cast<const char*>(view);
    }
    ~LevelBlock() {
        if (view_)
            munmap(const_cast<char*>(view_), kBytes);
        if (fd_ >= 0)
            close(fd_);
        shm_unlink(kName);
    }
    LevelBlock(const LevelBlock&) = delete;
    LevelBlock& operator=(const LevelBlock&) = delete;

    bool ok() const { return view_ != nullptr; }
    // The text at the start of the block (at most 15 characters).
    std::string Text() const {
        char text[16] = {0};
        memcpy(text, view_, sizeof text - 1);
        return text;
    }

  private:
    static constexpr const char* kName = "/voluMem";
    int fd_ = -1;
    const char* view_ = nullptr;
};

using SoundLevel = SoundRecording;

// A sine of a tenth of full scale in the playback device reads 31 in the level block: mean
// absolute amplitude 0.0637 of full scale x 500.
TEST_F(SoundLevel, PublishedLevelOfTenthScaleSine) {
    LevelBlock block;
    ASSERT_TRUE(block.ok()) << "cannot create /voluMem: " << strerror(errno);
    EXPECT_EQ(block.Text(), "");
    ChildProcess playback =
        pulse().Play(Wav("tenth.wav", soundrec::Sine(kDeviceRate, 12, 1000, 0.1)), "vistrec_play");
    it::SleepMs(500);

    const std::string file = dir_.File("level.mp4");
    RecorderPtr r = NewRecorder(file, 2);
    ASSERT_TRUE(r);
    std::vector<std::string> texts;
    std::vector<Action> actions;
    for (int ms = 2000; ms <= 5000; ms += 500)
        actions.push_back({ms, [&] { texts.push_back(block.Text()); }});
    const Timeline t = Record(r.get(), 6000, actions);
    r.reset();

    std::string all;
    for (const std::string& s : texts)
        all += "\"" + s + "\" ";
    std::printf("[ measured ] voluMem from 2 s to 5 s every 500 ms: %s\n", all.c_str());
    ASSERT_EQ(texts.size(), 7u);
    for (const std::string& s : texts) {
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s.find_first_not_of("0123456789"), std::string::npos) << s;
        EXPECT_NEAR(atoi(s.c_str()), 31, 2) << s;
    }

    // The file holds the same level of sound.
    const AudioTrack a = soundrec::DecodeAudio(file);
    ASSERT_TRUE(a.error.empty()) << a.error;
    const double amplitude = MeanTone(a, 1.0, a.pcmEnd() - 0.3, 0.1, 1000);
    std::printf("[ measured ] 1000 Hz at %.4f of full scale in the file (%.2f s wall)\n", amplitude,
                (t.stop - t.start) / 1000.0);
    EXPECT_NEAR(amplitude, 0.1, 0.02);
}

// Tone against noise for a keyed tone in steady noise: the tone's amplitude in the loudest 30 %
// of the 50 ms windows of [from, to) and the whole RMS of the quietest 30 %.
struct ToneOverNoise {
    double tone = 0.0;   // mean peak amplitude, fraction of full scale
    double noise = 0.0;  // RMS, fraction of full scale
    double Db() const { return 20.0 * std::log10(tone / std::sqrt(2.0) / std::max(noise, 1e-9)); }
};

ToneOverNoise MeasureToneOverNoise(const AudioTrack& a, double from, double to, double frequency) {
    std::vector<std::pair<double, double>> windows;  // tone amplitude, RMS
    for (double t = from; t + 0.05 <= to; t += 0.05)
        windows.emplace_back(a.Tone(t, 0.05, frequency), a.Rms(t, 0.05));
    ToneOverNoise r;
    const size_t share = windows.size() * 3 / 10;
    if (share == 0)
        return r;
    std::sort(windows.begin(), windows.end());
    double noisePower = 0.0;
    for (size_t i = 0; i < share; ++i) {
        r.tone += windows[windows.size() - 1 - i].first / share;
        noisePower += windows[i].second * windows[i].second / share;
    }
    r.noise = std::sqrt(noisePower);
    return r;
}

// libnuvra in the microphone path: a 1000 Hz tone keyed 400 ms on / 400 ms off in white noise
// comes out with a better tone-to-noise ratio than with VISTREC_NO_NUVRA=1, which keeps the
// recorder from loading it.
TEST_F(SoundRecording, NoiseSuppressionRaisesToneOverNoise) {
    std::vector<float> signal = soundrec::KeyedSine(kDeviceRate, 10, 1000, 0.25, 400, 400);
    soundrec::AddWhiteNoise(&signal, 0.05, 7);
    const std::string wav = Wav("noisy.wav", signal);

    auto recordOnce = [&](const std::string& name, bool suppress) {
        if (suppress)
            unsetenv("VISTREC_NO_NUVRA");
        else
            setenv("VISTREC_NO_NUVRA", "1", 1);
        RecorderPtr r = NewRecorder(dir_.File(name), 1);
        unsetenv("VISTREC_NO_NUVRA");  // read by the constructor only
        ChildProcess mic = pulse().Play(wav, "vistrec_micsink");
        it::SleepMs(300);
        const Timeline t = Record(r.get(), 6000);
        r.reset();
        AudioTrack a = soundrec::DecodeAudio(dir_.File(name));
        std::printf("[ measured ] %s: %.3f s of sound, wall %.3f s\n", name.c_str(),
                    a.pcmEnd() - a.pcmStart, (t.stop - t.start) / 1000.0);
        return a;
    };
    const AudioTrack suppressed = recordOnce("with-nuvra.mp4", true);
    const AudioTrack plain = recordOnce("without-nuvra.mp4", false);
    ASSERT_TRUE(suppressed.error.empty()) << suppressed.error;
    ASSERT_TRUE(plain.error.empty()) << plain.error;

    // The suppressor needs about a second to learn the noise.
    const ToneOverNoise with =
        MeasureToneOverNoise(suppressed, 1.5, suppressed.pcmEnd() - 0.3, 1000);
    const ToneOverNoise without = MeasureToneOverNoise(plain, 1.5, plain.pcmEnd() - 0.3, 1000);
    std::printf(
        "[ measured ] tone-to-noise ratio: %.1f dB with libnuvra (tone %.4f, noise RMS %.4f), "
        "%.1f dB without (tone %.4f, noise RMS %.4f): %.1f dB better\n",
        with.Db(), with.tone, with.noise, without.Db(), without.tone, without.noise,
        with.Db() - without.Db());
    // Without suppression the ratio is the signal's own: tone 0.25 peak (0.177 RMS), noise
    // 0.05 RMS over 24 kHz of which 8 kHz is kept (0.029 RMS): about 16 dB.
    EXPECT_GT(without.Db(), 8.0);
    EXPECT_GT(with.Db(), without.Db() + 6.0);
}

// A new default microphone in the middle of a mode-1 recording: its sound follows within 500 ms
// of the switch, the old microphone's stops, and the recording runs to its end.
TEST_F(SoundRecording, NewDefaultMicrophoneIsFollowedMidRecording) {
    ASSERT_TRUE(pulse().AddMicrophone("vistrec_micsink2", "vistrec_mic2", kDeviceRate, 2));
    ChildProcess oldMic = pulse().Play(Wav("old440.wav", soundrec::Sine(kDeviceRate, 12, 440, 0.5)),
                                       "vistrec_micsink");
    ChildProcess newMic = pulse().Play(Wav("new660.wav", soundrec::Sine(kDeviceRate, 12, 660, 0.5)),
                                       "vistrec_micsink2");
    it::SleepMs(500);
    const int oldSource = SourceIndex("vistrec_mic");
    const int newSource = SourceIndex("vistrec_mic2");
    ASSERT_GE(oldSource, 0);
    ASSERT_GE(newSource, 0);

    const std::string file = dir_.File("switch.mp4");
    RecorderPtr r = NewRecorder(file, 1);
    ASSERT_TRUE(r);
    int64_t switchMs = 0;
    int pactlStatus = -1;
    std::vector<RecordStream> after;
    const Timeline t =
        Record(r.get(), 7000,
               {{3500,
                 [&] {
                     const int64_t before = it::MonotonicMs();
                     pactlStatus = pulse().Pactl({"set-default-source", "vistrec_mic2"});
                     switchMs = (before + it::MonotonicMs()) / 2;
                 }},
                {6000, [&] { after = RecordStreams(); }}});
    r.reset();
    ASSERT_EQ(pactlStatus, 0);

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("default microphone switched", a, v, t);
    ExpectPlayable(a, v);
    EXPECT_NEAR(a.duration, v.info.videoDuration, kTrackEndToleranceInterrupted);
    EXPECT_NEAR(v.info.videoDuration, 7.0, 0.5) << "the recording ran to its end";
    const double wallAtZero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(wallAtZero, 0.0) << "no scene counter readable";
    const double switchAt = (switchMs - wallAtZero) / 1000.0;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;

    const double onset = FirstPresent(a, 0.5, end, 0.05, 660);
    // The old microphone's last window: where the library let go of it.
    double oldEnd = -1.0;
    for (double w = 0.5; w + 0.05 <= end; w += 0.05) {
        if (Present(a, w, 0.05, 440))
            oldEnd = w + 0.05;
    }
    std::printf(
        "[ measured ] file time 0 was on the screen %.0f ms after startRecord; switch at %.3f s "
        "of file time; old microphone's tone up to %.3f s, new one's from %.3f s: %.0f ms "
        "after the switch (%.0f ms after the old one ended)\n",
        wallAtZero - t.start, switchAt, oldEnd, onset, (onset - switchAt) * 1000.0,
        (onset - oldEnd) * 1000.0);
    ASSERT_GE(onset, 0.0) << "the new microphone is never heard";
    EXPECT_GE(onset, switchAt - kAnchorSlack) << "heard before the switch";
    EXPECT_LE(onset - switchAt, 0.5);
    EXPECT_LE(onset - oldEnd, 0.5) << "silence between the two microphones";
    EXPECT_GE(Share(1.0, switchAt - 0.2, 0.05, [&](double w) { return Present(a, w, 0.05, 440); }),
              0.8)
        << "the old microphone before the switch";
    EXPECT_GE(Share(switchAt + 0.6, end, 0.05, [&](double w) { return Present(a, w, 0.05, 660); }),
              0.8)
        << "the new microphone up to the end";
    // The old microphone, still playing, would be present in every window (its steady tone
    // held down to about 0.04 by the noise suppressor).
    EXPECT_EQ(Share(switchAt + 0.6, end, 0.05, [&](double w) { return Present(a, w, 0.05, 440); }),
              0.0)
        << "the old microphone after the switch";
    EXPECT_EQ(StreamsOn(after, newSource), 1);
    EXPECT_EQ(StreamsOn(after, oldSource), 0);
}

// The sound server dies 3 s into a 12 s mode-2 recording and is started again 2 s later: the
// video runs on, the audio track stays gapless and silent while the server is away, nothing of
// the sound from before the loss is heard again, and the new sound (another tone, played once
// the server is back) is heard once the capture is reopened.
//
// The loop writes sound a whole second at a time and pads with silence when too little is
// queued; the sound captured in the first partial second after the capture came back therefore
// lands up to a second early in the file. The checks allow for that.
TEST_F(SoundRecording, LostServerLeavesSilenceAndSoundReturns) {
    const std::string before = Wav("play1000.wav", soundrec::Sine(kDeviceRate, 20, 1000, 0.5));
    const std::string after = Wav("play1500.wav", soundrec::Sine(kDeviceRate, 20, 1500, 0.5));
    ChildProcess player = pulse().Play(before, "vistrec_play");
    it::SleepMs(500);

    const std::string file = dir_.File("lost.mp4");
    RecorderPtr r = NewRecorder(file, 2);
    ASSERT_TRUE(r);
    int64_t killMs = 0, restartMs = 0;
    bool restarted = false;
    std::string error;
    const Timeline t = Record(r.get(), 12000,
                              {{3000,
                                [&] {
                                    killMs = it::MonotonicMs();
                                    pulse().Kill();
                                }},
                               {5000, [&] {
                                    restarted = pulse().Start(&error);
                                    restartMs = it::MonotonicMs();
                                    player = pulse().Play(after, "vistrec_play");
                                }}});
    r.reset();
    ASSERT_TRUE(restarted) << error;

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("server lost and back", a, v, t);
    ExpectPlayable(a, v);
    const double wall = (t.stop - t.start) / 1000.0;
    EXPECT_NEAR(v.info.videoDuration, wall, 0.6) << "the video runs on";
    EXPECT_LE(v.MaxGap(), 0.3) << "the video never stops";
    EXPECT_GE(v.info.decodedFrames, static_cast<int>(v.info.videoDuration * 20 * 0.8));
    EXPECT_EQ(a.discontinuities, 0) << "audio packets follow each other without gaps";
    EXPECT_NEAR(a.duration, v.info.videoDuration, kTrackEndToleranceInterrupted);

    const double wallAtZero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(wallAtZero, 0.0) << "no scene counter readable";
    const double killAt = (killMs - wallAtZero) / 1000.0;
    const double restartAt = (restartMs - wallAtZero) / 1000.0;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    // Up to here nothing captured after the loss can have landed.
    const double silentUpTo = restartAt - 1.0 - kAnchorSlack;
    const double old =
        Share(1.0, killAt - 0.3, 0.1, [&](double w) { return Present(a, w, 0.1, 1000); });
    int replayed = 0;
    for (double w = killAt + 0.3; w + 0.1 <= end; w += 0.1)
        replayed += Present(a, w, 0.1, 1000) ? 1 : 0;
    const double silent =
        Share(killAt + 0.3, silentUpTo, 0.1, [&](double w) { return a.Rms(w, 0.1) < kSilentRms; });
    const double back = FirstPresent(a, killAt + 0.3, end, 0.05, 1500);
    std::string trace;
    for (double w = killAt - 1.0; w + 0.1 <= end; w += 0.1) {
        trace += Present(a, w, 0.1, 1000)     ? '#'
                 : Present(a, w, 0.1, 1500)   ? '+'
                 : a.Rms(w, 0.1) < kSilentRms ? '.'
                                              : '?';
    }
    std::printf(
        "[ measured ] killed at %.3f s of file time, server back at %.3f s (starting it took "
        "%.0f ms); old tone in %.0f %% of the windows before, %d windows of it after the kill; "
        "silence in %.0f %% up to %.3f s; new tone from %.3f s: %.0f ms after the server was "
        "back, %.0f ms after the kill\n"
        "[ measured ] 100 ms windows from 1 s before the kill (# old tone, + new tone, . silence, "
        "? other): %s\n",
        killAt, restartAt, static_cast<double>(restartMs - killMs - 2000), 100 * old, replayed,
        100 * silent, silentUpTo, back, (back - restartAt) * 1000.0, (back - killAt) * 1000.0,
        trace.c_str());
    EXPECT_GE(old, 0.9);
    EXPECT_EQ(replayed, 0) << "sound from before the loss heard after it";
    EXPECT_EQ(silent, 1.0) << "silence while the server is away";
    ASSERT_GE(back, 0.0) << "the sound never comes back";
    EXPECT_GE(back, silentUpTo) << "heard before the server was back";
    // Reopening is retried with back-off up to 2 s, and the server takes a moment to start.
    EXPECT_LE(back - restartAt, 3.0);
    EXPECT_GE(Share(back + 1.2, end, 0.1, [&](double w) { return Present(a, w, 0.1, 1500); }), 0.9)
        << "the new tone after its return";
}

// A 2 s pause inside 6 s of mode-2 recording of tones that step up every 500 ms: the track
// leaves out the steps played during the pause, jumps straight from the last step before it to
// the first after it, and has no stretch of silence in their place.
TEST_F(SoundRecording, PauseLeavesNeitherHoleNorPausedSound) {
    constexpr int kSteps = 24;
    constexpr double kStepSeconds = 0.5;
    std::vector<double> frequencies;
    for (int k = 0; k < kSteps; ++k)
        frequencies.push_back(500.0 + 100.0 * k);
    const std::string wav =
        Wav("steps.wav", soundrec::SteppedSines(kDeviceRate, frequencies, kStepSeconds, 0.4));
    const int64_t playMs = it::MonotonicMs();
    ChildProcess player = pulse().Play(wav, "vistrec_play");
    it::SleepMs(300);

    const std::string file = dir_.File("pause.mp4");
    RecorderPtr r = NewRecorder(file, 2);
    ASSERT_TRUE(r);
    int64_t pauseMs = 0, resumeMs = 0;
    int pauseLength = 0;
    const Timeline t = Record(r.get(), 8000,
                              {{2000,
                                [&] {
                                    pauseMs = it::MonotonicMs();
                                    r->pauseRecord();
                                }},
                               {4000, [&] {
                                    resumeMs = it::MonotonicMs();
                                    pauseLength = r->resumeRecord();
                                }}});
    r.reset();

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("pause", a, v, t);
    ExpectPlayable(a, v);
    EXPECT_NEAR(v.info.videoDuration, 6.0, 0.4);
    EXPECT_NEAR(a.duration, v.info.videoDuration, kTrackEndToleranceInterrupted);

    // The step each 100 ms window holds: one step's tone clearly above all others, else -1.
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.2;
    std::vector<double> times;
    std::vector<int> steps;
    for (double w = 0.3; w + 0.1 <= end; w += 0.1) {
        int best = -1;
        double first = 0.0, second = 0.0;
        for (int k = 0; k < kSteps; ++k) {
            const double amplitude = a.Tone(w, 0.1, frequencies[k]);
            if (amplitude > first) {
                second = first;
                first = amplitude;
                best = k;
            } else {
                second = std::max(second, amplitude);
            }
        }
        times.push_back(w);
        steps.push_back(first >= 0.05 && first >= 4.0 * second ? best : -1);
    }
    std::string trace;
    for (int s : steps)
        trace += s < 0 ? std::string(" .") : " " + std::to_string(s);
    std::printf("[ measured ] pause of %d ms; steps by 100 ms window from 0.3 s:%s\n", pauseLength,
                trace.c_str());

    // In file order the steps never go back; the largest jump is across the pause, between
    // windows close together; no long stretch holds no step.
    int backwards = 0, jump = 0, last = -1;
    double jumpGap = 0.0, lastTime = 0.0, silentRun = 0.0, longestSilence = 0.0;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i] < 0) {
            silentRun += 0.1;
            longestSilence = std::max(longestSilence, silentRun);
            continue;
        }
        silentRun = 0.0;
        if (last >= 0) {
            backwards += steps[i] < last ? 1 : 0;
            if (steps[i] - last > jump) {
                jump = steps[i] - last;
                jumpGap = times[i] - lastTime;
            }
        }
        last = steps[i];
        lastTime = times[i];
    }
    std::printf(
        "[ measured ] largest step jump %d (%.1f s of steps) over %.1f s of file time; longest "
        "run without a step %.1f s\n",
        jump, jump * kStepSeconds, jumpGap, longestSilence);
    EXPECT_EQ(backwards, 0);
    EXPECT_GE(jump, 3) << "the paused steps are left out";
    EXPECT_LE(jumpGap, 0.5) << "no hole where the pause was";
    EXPECT_LE(longestSilence, 0.5);

    // Steps by the wall clock: step k sounds from playMs + k x 500 ms, up to 250 ms later when
    // the player is slow to start.
    auto within = [&](int k, int64_t from, int64_t to) {
        const double first = playMs + k * kStepSeconds * 1000.0;
        return first >= from && first + kStepSeconds * 1000.0 + 250.0 <= to;
    };
    for (int k = 0; k < kSteps; ++k) {
        const int windows = static_cast<int>(std::count(steps.begin(), steps.end(), k));
        if (within(k, pauseMs, resumeMs)) {
            EXPECT_LE(windows, 1) << "step " << k << " was played during the pause";
        } else if (within(k, t.start + 700, pauseMs - 300) ||
                   within(k, resumeMs + 500, t.stop - 600)) {
            EXPECT_GE(windows, 3) << "step " << k << " was played while recording";
        }
    }
}

// Without a sound server (PULSE_SERVER names a missing socket) the file still has its video
// and a silent AAC track.
class NoSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(x_.ok()) << "no X display";
        ASSERT_TRUE(scene_.Start(kSceneFps));
    }
    it::XClient x_;
    it::Scene scene_;
    it::TempDir dir_;
};

TEST_F(NoSoundServer, SilentTrackBesideTheVideo) {
    const char* server = getenv("PULSE_SERVER");
    ASSERT_TRUE(server && strstr(server, "nonexistent")) << "set by main";
    const std::string file = dir_.File("noserver.mp4");
    RecorderPtr r = NewRecorder(file, 1);
    ASSERT_TRUE(r);
    const Timeline t = Record(r.get(), 4000);
    r.reset();

    const AudioTrack a = soundrec::DecodeAudio(file);
    const VideoTrack v = soundrec::DecodeVideoTrack(file);
    PrintTracks("no sound server", a, v, t);
    ExpectPlayable(a, v);
    EXPECT_NEAR(v.info.videoDuration, 4.0, 0.4);
    EXPECT_EQ(a.discontinuities, 0);
    // The silent track lasts as long as the video.
    EXPECT_NEAR(a.pcmEnd() - a.pcmStart, v.info.videoDuration, 0.1);
    const int peak = a.Peak(a.pcmStart, a.pcmEnd() - a.pcmStart);
    std::printf("[ measured ] no sound server: loudest sample %d\n", peak);
    EXPECT_LE(peak, 8) << "the track is silent";
}

}  // namespace
