// Recordings with sound: known signals played into a private PulseAudio's null sinks or from a
// sound file, the AAC track measured in short windows; the scene's counters place the test's
// events in file time.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>

#include <cmath>
#include <filesystem>
#include <tuple>

#include "SoundChecks.h"

namespace vistrec::test {
namespace {

constexpr int kDeviceRate = 48000;     // the null sinks' format: 48 kHz stereo
constexpr double kAnchorSlack = 0.25;  // events found by the scene's counters may show earlier

// An action at `atMs` that notes the time in `*ms`, then runs `run`.
Action Timed(int atMs, int64_t* ms, std::function<void()> run) {
    return {atMs, [=] {
                *ms = MonotonicMs();
                run();
            }};
}

// The codecs' ringing where the tone stops stays below kRingingRms.
constexpr double kRingingRms = 0.01;

// Seconds the Xing/Info tag of the first frame counts (frames of 576 samples); -1 without one.
double TagSeconds(const std::string& mp3) {
    const std::string b = ReadTextFile(mp3);
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

class SoundRecording : public SoundRecorderTest {
  protected:
    std::string Wav(const std::string& name, const std::vector<float>& signal) {
        EXPECT_TRUE(WriteWav(dir_.File(name), kDeviceRate, 2, signal));
        return dir_.File(name);
    }
    Child Play(const std::string& name, const std::vector<float>& signal, const char* sink) {
        return pulse_.Play(Wav(name, signal), sink);
    }
    // The record streams the server lists (`pactl list source-outputs`).
    std::string Streams() {
        std::string out;
        EXPECT_EQ(pulse_.Pactl({"list", "source-outputs"}, &out), 0);
        return out;
    }
    // Streams recording from a source.
    static int On(const std::string& streams, int source) {
        int n = 0;
        const std::string line = "Source: " + std::to_string(source) + "\n";
        for (size_t at = streams.find(line); at != std::string::npos;
             at = streams.find(line, at + 1))
            ++n;
        return n;
    }

    // Decodes both tracks: AAC mono at 16 kHz beside H.264, of one length.
    std::pair<AudioTrack, VideoTrack> Decode(const std::string& file) {
        std::pair<AudioTrack, VideoTrack> d{DecodeAudio(file), DecodeVideoTrack(file)};
        const auto& [a, v] = d;
        EXPECT_EQ(a.error + v.error, "");
        EXPECT_EQ(std::make_tuple(a.codec, a.sampleRate, a.channels, v.info.videoStreams,
                                  v.info.audioStreams),
                  std::make_tuple(std::string("aac"), kTrackRate, 1, 1, 1));
        EXPECT_GT(a.packets, 0);
        EXPECT_EQ(a.discontinuities, 0) << "audio packets follow each other without gaps";
        EXPECT_NEAR(a.duration, v.info.videoDuration, 0.2);
        return d;
    }
    // The server killed at file time `killAt` and back at `restartAt`, playing `hz` from then:
    // silence meanwhile and nothing from before; sound is written a second at a time, so what
    // follows the return may land up to a second early. Reopening is retried with back-off up to
    // 2 s and the server takes a moment to start: the tone is heard within 3 s, then throughout.
    static void ExpectSilenceThenSoundBack(const AudioTrack& a, double killAt, double restartAt,
                                           double end, double hz, std::vector<double> before) {
        const double silentUpTo = restartAt - 1.0 - kAnchorSlack;
        const double back = FirstPresent(a, killAt + 0.4, end, 0.05, hz);
        SCOPED_TRACE(testing::Message() << "killed at " << killAt << " s, back at " << restartAt
                                        << " s, heard from " << back);
        for (const double old : before)
            EXPECT_EQ(ShareWith(a, killAt + 0.4, end, 0.1, old), 0.0) << "sound from before";
        EXPECT_EQ(SilentShare(a, killAt + 0.4, silentUpTo), 1.0) << "sound while it was away";
        ASSERT_GE(back, 0.0) << "the sound never comes back";
        EXPECT_GE(back, silentUpTo) << "heard before the server was back";
        EXPECT_LE(back - restartAt, 3.0);
        EXPECT_GE(ShareWith(a, back + 1.2, end, 0.1, hz), 0.9) << "the tone after the return";
    }
};

// Mode 1 mixes microphone and playback; a new default microphone is heard within 500 ms. The MP3
// side file holds the captured sound, with an Info tag of its length, and is made only for the
// recording that set its path. (Faults.HostileSetterValues records with an unusable path.)
TEST_F(SoundRecording, Mode1MixesFollowsANewDefaultMicrophoneAndWritesTheMp3SideFile) {
    shm_unlink("/voluMem");
    ASSERT_TRUE(pulse_.AddSink("vistrec_micsink2", kDeviceRate, "vistrec_mic2"));
    Child oldMic = Play("old440.wav", Sine(kDeviceRate, 12, 440, 0.5), "vistrec_micsink");
    Child newMic = Play("new660.wav", Sine(kDeviceRate, 12, 660, 0.5), "vistrec_micsink2");
    Child playback = Play("play1000.wav", Sine(kDeviceRate, 12, 1000, 0.3), "vistrec_play");
    SleepMs(500);
    const int oldSource = pulse_.SourceIndex("vistrec_mic");
    const int newSource = pulse_.SourceIndex("vistrec_mic2");
    ASSERT_GE(newSource, 0);

    const std::string file = dir_.File("mode1.mp4"), mp3 = dir_.File("copy.mp3");
    RecorderPtr r = NewRecorder(file, 1.0, 1);
    r->setMp3FileName(mp3.c_str());
    int64_t switchMs = 0;
    int pactl = -1;
    std::string before, after;
    Record(r.get(), 7000,
           {{2000, [&] { before = Streams(); }},
            {3500,
             [&] {
                 const int64_t from = MonotonicMs();
                 pactl = pulse_.Pactl({"set-default-source", "vistrec_mic2"});
                 switchMs = (from + MonotonicMs()) / 2;
             }},
            {6000, [&] { after = Streams(); }}});
    ASSERT_EQ(pactl, 0);
    const auto [a, v] = Decode(file);
    const AudioTrack copy = DecodeAudio(mp3);
    const double tagSeconds = TagSeconds(mp3);
    std::filesystem::remove(mp3);
    Record(r.get(), 1000);  // no path set for this one
    r.reset();
    EXPECT_FALSE(std::filesystem::exists(mp3)) << "an MP3 side file nobody asked for";
    EXPECT_NEAR(v.info.videoDuration, 7.0, 0.5 + kLateStart) << "the recording ran to its end";
    const double wallAtZero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(wallAtZero, 0.0) << "no scene counter readable";
    const double switchAt = (switchMs - wallAtZero) / 1000.0;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;

    const double onset = FirstPresent(a, 0.5, end, 0.05, 660);
    double oldEnd = -1.0;  // end of the old microphone's last window
    for (double w = 0.5; w + 0.05 <= end; w += 0.05)
        oldEnd = Present(a, w, 0.05, 440) ? w + 0.05 : oldEnd;
    const double playbackShare = ShareWith(a, 1.0, end, 0.1, 1000);
    SCOPED_TRACE(testing::Message() << "switch at " << switchAt << " s of file time, old "
                                    << "microphone up to " << oldEnd << " s, new from " << onset);
    EXPECT_GE(playbackShare, 0.9) << "the playback device in the mix";
    ASSERT_GE(onset, 0.0) << "the new microphone is never heard";
    EXPECT_GE(onset, switchAt - kAnchorSlack) << "heard before the switch";
    EXPECT_LE(onset - switchAt, 0.5);
    EXPECT_LE(onset - oldEnd, 0.5) << "silence between the two microphones";
    EXPECT_GE(ShareWith(a, 1.0, switchAt - 0.2, 0.05, 440), 0.8) << "the old one before";
    EXPECT_GE(ShareWith(a, switchAt + 0.6, end, 0.05, 660), 0.8) << "the new one up to the end";
    // The old microphone, still playing, would be present in every window.
    EXPECT_EQ(ShareWith(a, switchAt + 0.6, end, 0.05, 440), 0.0) << "the old one after";
    EXPECT_EQ(std::make_tuple(On(before, oldSource), On(after, newSource), On(after, oldSource)),
              std::make_tuple(1, 1, 0));
    EXPECT_LT(shm_open("/voluMem", O_RDONLY, 0), 0)
        << "without the host's level block none is made";

    ASSERT_EQ(copy.error, "");
    const double length = copy.pcm.size() / double(kTrackRate);
    // The captured sound: the AAC track less the silence made up where none came. Silence that
    // was captured is in both files, so the made-up silence is what the AAC track has more of.
    const double captured = a.pcmEnd() - a.pcmStart - Silent(a) + Silent(copy);
    EXPECT_EQ(std::make_tuple(copy.codec, copy.sampleRate, copy.channels),
              std::make_tuple(std::string("mp3float"), kTrackRate, 1));
    EXPECT_NEAR(length, captured, 0.1);
    // What a player shows comes from the tag: its frames, of which the encoder's delay (1105
    // samples, 69 ms) and the padding of the last frame (up to 575 samples) are not sound.
    EXPECT_NEAR(copy.duration, tagSeconds, 0.001);
    EXPECT_NEAR(copy.duration - length, 0.055, 0.055);
    EXPECT_GE(ShareWith(copy, 1.0, length - 0.3, 0.1, 1000), 0.9) << "the playback in the copy";
}

// Mode 2: playback only, the microphone never opened; a tenth of full scale reads 31 in the
// level block (mean absolute amplitude 0.0637 x 500); a new 44.1 kHz default sink is followed.
// Then the server dies and returns 2 s later: video runs on, audio stays gapless and silent
// meanwhile, then the new sound. Sound is written a whole second at a time, padded with silence,
// so the first partial second after the return lands up to a second early.
TEST_F(SoundRecording, Mode2RecordsPlaybackOnlyFollowsANewSinkAndSurvivesALostServer) {
    LevelBlock block;
    ASSERT_NE(block.view, MAP_FAILED) << "cannot create /voluMem: " << strerror(errno);
    ASSERT_TRUE(pulse_.AddSink("vistrec_play2", 44100));
    WriteWav(dir_.File("play2.wav"), 44100, 2, Sine(44100, 20, 1500, 0.3));
    Child newSink = pulse_.Play(dir_.File("play2.wav"), "vistrec_play2");
    Child mic =
        Play("mic440.wav", KeyedSine(kDeviceRate, 20, 440, 0.5, 400, 400), "vistrec_micsink");
    Child playback = Play("tenth.wav", Sine(kDeviceRate, 20, 1000, 0.1), "vistrec_play");
    const std::string later = Wav("play2000.wav", Sine(kDeviceRate, 20, 2000, 0.5));
    SleepMs(500);
    const int micSource = pulse_.SourceIndex("vistrec_mic");
    ASSERT_GE(micSource, 0);

    const std::string file = dir_.File("mode2.mp4");
    RecorderPtr r = NewRecorder(file, 1.0, 2);
    std::string meter, streams, error;
    int64_t switchMs = 0, killMs = 0, restartMs = 0;
    bool restarted = false;
    const Timeline t =
        Record(r.get(), 15000,
               {{2500, [&] { meter = block.Text(), streams = Streams(); }},
                Timed(3500, &switchMs,
                      [&] {
                          EXPECT_EQ(pulse_.Pactl({"set-default-sink", "vistrec_play2"}), 0);
                      }),
                Timed(6000, &killMs, [&] { pulse_.Kill(); }),
                {8000, [&] {
                     restarted = pulse_.Start(&error);
                     restartMs = MonotonicMs();
                     playback = pulse_.Play(later, "vistrec_play");
                 }}});
    r.reset();
    ASSERT_TRUE(restarted) << error;
    const auto [a, v] = Decode(file);
    EXPECT_NEAR(v.info.videoDuration, (t.stop - t.start) / 1000.0, 0.6 + kLateStart)
        << "the video runs on";
    if (kJudgeTiming) {
        EXPECT_LE(v.MaxGap(), 0.4) << "the video never stops (a loaded machine may hold a frame)";
        EXPECT_GE(v.info.decodedFrames, static_cast<int>(v.info.videoDuration * 20 * 0.8));
    }
    const double zero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(zero, 0.0) << "no scene counter readable";
    const double switchAt = (switchMs - zero) / 1000.0, killAt = (killMs - zero) / 1000.0;
    const double restartAt = (restartMs - zero) / 1000.0;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    double level = 0.0;
    for (double w = 1.0; w + 0.1 <= switchAt - 0.3; w += 0.1)
        level += a.Tone(w, 0.1, 1000) / std::floor((switchAt - 1.3) / 0.1);
    SCOPED_TRACE(testing::Message() << "switch at " << switchAt << " s");
    EXPECT_GE(ShareWith(a, 1.0, switchAt - 0.3, 0.1, 1000), 0.9);
    EXPECT_NEAR(level, 0.1, 0.02);
    EXPECT_GE(ShareWith(a, switchAt + 1.0, killAt - 0.3, 0.1, 1500), 0.8) << "the new sink";
    // The microphone's keyed tone would be present in about 6 of every 10 windows.
    EXPECT_EQ(ShareWith(a, 1.0, end, 0.1, 440), 0.0) << "the microphone's tone";
    ExpectSilenceThenSoundBack(a, killAt, restartAt, end, 2000, {1000, 1500});
    EXPECT_TRUE(!meter.empty() && meter.find_first_not_of("0123456789") == std::string::npos &&
                std::abs(atoi(meter.c_str()) - 31) <= 2)
        << meter;
    EXPECT_EQ(On(streams, micSource), 0) << "a record stream on the microphone";
}

// libnuvra raises a keyed tone in white noise over VISTREC_NO_NUVRA=1, which keeps it unloaded.
TEST_F(SoundRecording, NoiseSuppressionRaisesToneOverNoise) {
    // Nothing plays into the playback device, which is left to suspend as desktop servers do:
    // the microphone then passes alone, at its own level.
    PulseServer server(false);
    ASSERT_TRUE(server.Start());
    server.ExportServer();
    std::vector<float> signal = KeyedSine(kDeviceRate, 10, 1000, 0.25, 400, 400);
    AddWhiteNoise(&signal, 0.05, 7);
    const std::string wav = Wav("noisy.wav", signal);
    double db[2], level[2];
    for (int suppress = 1; suppress >= 0; --suppress) {
        if (!suppress)
            setenv("VISTREC_NO_NUVRA", "1", 1);
        RecorderPtr r = NewRecorder(dir_.File("ns.mp4"), 1.0, 1);
        unsetenv("VISTREC_NO_NUVRA");  // read by the constructor only
        Child mic = server.Play(wav, "vistrec_micsink");
        SleepMs(300);
        Record(r.get(), kJudgeTiming ? 4500 : 6000);  // ThreadSanitizer: a slow start
        r.reset();
        const AudioTrack a = DecodeAudio(dir_.File("ns.mp4"));
        ASSERT_TRUE(a.error.empty()) << a.error;
        // The tone in the loudest 30 % of the 50 ms windows against the RMS of the quietest
        // 30 %, from 1.5 s on (the suppressor needs about a second to learn the noise).
        std::vector<std::pair<double, double>> windows;
        for (double w = 1.5; w + 0.05 <= a.pcmEnd() - 0.3; w += 0.05)
            windows.emplace_back(a.Tone(w, 0.05, 1000), a.Rms(w, 0.05));
        std::sort(windows.begin(), windows.end());
        const size_t n = windows.size() * 3 / 10;
        ASSERT_GT(n, 0u);
        double tone = 0.0, noise = 0.0;
        for (size_t i = 0; i < n; ++i) {
            tone += windows[windows.size() - 1 - i].first / n;
            noise += windows[i].second * windows[i].second / n;
        }
        db[suppress] = 20.0 * std::log10(tone / std::sqrt(2.0) / std::max(std::sqrt(noise), 1e-9));
        level[suppress] = tone;
    }
    // Without suppression the ratio is the signal's own, about 16 dB (0.177 RMS of tone, 0.05
    // RMS of noise over 24 kHz of which 8 kHz are kept).
    EXPECT_GT(db[0], 8.0);
    EXPECT_GT(level[0], 0.18) << "the microphone alone, not mixed with the silent device";
    EXPECT_GT(db[1], db[0] + 6.0);
}

// The default source's tone is recorded, the speakers' is not: the library's only stream records
// the default source. The server dies 3 s in and returns 3 s later: the video runs
// on, the track is silent meanwhile and the microphone is heard again within 3 s of the server's
// return. (The level meter is the same in every mode: Mode2 checks it.)
TEST_F(SoundRecording, Mode0RecordsTheMicrophoneAloneAndAfterALostServer) {
    Child mic = Play("440.wav", Sine(kDeviceRate, 20, 440, 0.1), "vistrec_micsink"),
          speakers = Play("1000.wav", Sine(kDeviceRate, 20, 1000, 0.5), "vistrec_play");
    SleepMs(500);
    std::string streams;
    int64_t killMs = 0, restartMs = 0;
    // The suppressor learns a steady tone as noise: without it the tone keeps its level.
    setenv("VISTREC_NO_NUVRA", "1", 1);
    const std::string file = dir_.File("mode0.mp4");
    RecorderPtr r = NewRecorder(file);
    unsetenv("VISTREC_NO_NUVRA");  // read by the constructor only
    r->setAudioMode(0);
    Record(r.get(), 15000,
           {{2500, [&] { streams = Streams(); }},
            Timed(3000, &killMs, [&] { pulse_.Kill(); }),
            {6000, [&] {
                 EXPECT_TRUE(pulse_.Start());
                 restartMs = MonotonicMs();
                 mic = Play("660.wav", Sine(kDeviceRate, 20, 660, 0.1), "vistrec_micsink");
             }}});
    r.reset();
    const auto [a, v] = Decode(file);
    EXPECT_LE(v.MaxGap(), 0.4) << "the video never stops";
    const double zero = v.WallAtZero(scene_.startMs(), kSceneFps);
    ASSERT_GT(zero, 0.0) << "no scene counter readable";
    const double killAt = (killMs - zero) / 1000, restartAt = (restartMs - zero) / 1000;
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.3;
    EXPECT_GE(ShareWith(a, 1.0, killAt - 0.3, 0.1, 440), 0.9) << "the microphone";
    EXPECT_EQ(ShareWith(a, 0.3, end, 0.1, 1000), 0.0) << "the speakers";
    // One stream of ours, on the microphone (its format shows in the tone's pitch).
    const size_t ours = streams.find("application.name = \"vistrec\"");
    EXPECT_TRUE(ours != std::string::npos &&
                streams.find("application.name = \"vistrec\"", ours + 1) == std::string::npos);
    EXPECT_EQ(On(streams, pulse_.SourceIndex("vistrec_mic")), 1) << streams;
    ExpectSilenceThenSoundBack(a, killAt, restartAt, end, 660, {440});
}

// A frozen server (SIGSTOP) while recording, pausing and resuming (which reopens the capture),
// and again at the stop: the picture never stalls, stopRecord returns, the sound comes back. Then
// a 2 s pause among tones stepping up every 500 ms: its steps are left out, with no silence.
TEST_F(SoundRecording, FrozenServerStallsNeitherPictureNorStopAndAPauseLeavesNoHole) {
    struct Freezer {  // thaws the server whatever happens
        pid_t pid;
        void Set(bool frozen) { kill(pid, frozen ? SIGSTOP : SIGCONT); }
        ~Freezer() { Set(false); }
    } freezer{pulse_.pid()};
    ASSERT_GT(freezer.pid, 0);
    constexpr int kSteps = 20;
    std::vector<double> frequencies;
    for (int k = 0; k < kSteps; ++k)
        frequencies.push_back(500.0 + 100.0 * k);
    const std::string steps = Wav("steps.wav", SteppedSines(kDeviceRate, frequencies, 0.5, 0.4));
    Child player = Play("tone.wav", Sine(kDeviceRate, 10.0, 440.0, 0.3), "vistrec_play");
    SleepMs(500);
    const std::string file = dir_.File("frozen.mp4");
    RecorderPtr r = NewRecorder(file, 1.0, 2);
    int64_t thawMs = 0, playMs = 0, pauseMs = 0, resumeMs = 0, freezeMs = 0;
    const Timeline t =
        Record(r.get(), 14500,
               {{2000, [&] { freezer.Set(true); }},
                {2500, [&] { r->pauseRecord(); }},
                {3000, [&] { r->resumeRecord(); }},
                Timed(4500, &thawMs, [&] { freezer.Set(false); }),
                Timed(5000, &playMs, [&] { player = pulse_.Play(steps, "vistrec_play"); }),
                Timed(8500, &pauseMs, [&] { r->pauseRecord(); }),
                Timed(10500, &resumeMs, [&] { r->resumeRecord(); }),
                Timed(14000, &freezeMs, [&] {
                    freezer.Set(true);
                    r->pauseRecord();
                })});
    freezer.Set(false);
    r.reset();
    const int64_t stopMs = t.stop - t.start - 14500;
    const VideoTrack v = DecodeVideoTrack(file);
    const AudioTrack a = DecodeAudio(file);
    ASSERT_EQ(a.error + v.error, "");
    EXPECT_LE(stopMs, 1000) << "stopRecord with the server frozen";
    EXPECT_NEAR(v.info.videoDuration, 11.5, 0.6 + kLateStart) << "the pauses left out";
    EXPECT_TRUE(!kJudgeTiming || v.MaxGap() <= 0.2) << "the picture stalled: " << v.MaxGap();
    EXPECT_GT(ShareWith(a, 0.5, 1.5, 0.25, 440), 0.0) << "the tone before the freeze";

    // Step k sounds from playMs + k x 500 ms, up to 250 ms later when the player is slow.
    const double end = std::min(a.pcmEnd(), v.info.videoDuration) - 0.5;
    std::vector<int> windows(kSteps, 0);
    double silent = 0.0, longestSilence = 0.0;
    bool heard = false;                               // silence counts from the first step on
    for (double w = 0.3; w + 0.1 <= end; w += 0.1) {  // one tone clearly above all others
        std::vector<double> amplitude;
        for (double f : frequencies)
            amplitude.push_back(a.Tone(w, 0.1, f));
        std::vector<double> sorted = amplitude;
        std::sort(sorted.rbegin(), sorted.rend());
        const bool one = sorted[0] >= 0.05 && sorted[0] >= 4.0 * sorted[1];
        windows[std::max_element(amplitude.begin(), amplitude.end()) - amplitude.begin()] += one;
        heard = heard || one;
        longestSilence = std::max(longestSilence, silent = one || !heard ? 0.0 : silent + 0.1);
    }
    EXPECT_LE(longestSilence, 0.5);
    auto within = [&](int k, int64_t from, int64_t to) {
        return playMs + k * 500 >= from && playMs + k * 500 + 750 <= to;
    };
    for (int k = 0; k < kSteps; ++k) {
        EXPECT_TRUE(!within(k, pauseMs, resumeMs) || windows[k] <= 1)
            << "step " << k << " was played during the pause";
        EXPECT_TRUE(windows[k] >= 3 || !(within(k, thawMs + 2000, pauseMs - 300) ||
                                         within(k, resumeMs + 500, freezeMs - 600)))
            << "step " << k << " was played while recording";
    }
}

// A sound file across pauses: 40 ms pips every 250 ms of the file lie 250 ms apart all through
// the track, the first at its start: none of the file's sound is moved, cut or spaced out where
// the recording paused, however the loop's passes fell.
TEST_F(SoundRecording, SoundFileStaysWholeAcrossPauses) {
    const std::string wav = Wav("pips.wav", KeyedSine(kDeviceRate, 8.0, 1000, 0.5, 40, 210));
    const std::string file = dir_.File("pips.mp4");
    RecorderPtr r = SmallRecorder(file);
    r->setAudioMode(0);
    r->setAudioFile(wav.c_str());
    std::vector<Action> pauses;
    for (int at = 1000; at < 4000; at += 1000) {
        pauses.push_back({at, [&] { r->pauseRecord(); }});
        pauses.push_back({at + 300, [&] { r->resumeRecord(); }});
    }
    Record(r.get(), 5000, pauses);
    r.reset();
    const AudioTrack a = DecodeAudio(file);
    ASSERT_EQ(a.error, "");
    std::vector<double> centres;  // of each pip: where its 2 ms level passes half the tone's
    for (double t = a.pcmStart, rise = -1.0; t + 0.002 <= a.pcmEnd(); t += 0.001) {
        const bool on = a.Rms(t, 0.002) > 0.18;
        if (on && rise < 0.0)
            rise = t;
        else if (!on && rise >= 0.0)
            centres.push_back((rise + t) / 2), rise = -1.0;
    }
    ASSERT_GE(centres.size(), 14u);
    EXPECT_NEAR(centres[0], 0.02, 0.005) << "the file starts with the recording";
    for (size_t i = 1; i < centres.size(); ++i)
        EXPECT_NEAR(centres[i] - centres[i - 1], 0.25, 0.004) << "at " << centres[i] << " s";
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    return vistrec::test::RecorderTestMain(argc, argv);
}
