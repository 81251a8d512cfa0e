// A/V-sync benchmark: how far the sound of a recording is from its picture, at the start and
// after minutes, and what a 1080p20 recording with sound costs in CPU.
//
// Run by hand (about five minutes; it never fails on a figure):
//   cmake --build build-av --target vistrec_av_bench vistrec-testscene nuvra
//   build-av/tests/bench/vistrec_av_bench [--seconds 150] [--cpu-seconds 30] [--keep DIR]
//
// On a private Xvfb (1920x1080) vistrec-testscene --flash makes a 256 px patch white for the
// first 100 ms of every second of scene time (counter 0 at the CLOCK_MONOTONIC instant it
// prints). This program plays a click (20 ms of 1 kHz at half scale) into the playback device
// of a private PulseAudio server at the same instants: it writes a continuous stream whose
// samples are placed by the stream's own latency report, so that each click leaves the sink
// when its flash begins. A child process of this program (the host) records the whole screen
// at scale 1, 20 fps, audio mode 2 (playback only), for --seconds. Then for every flash it
// prints the offset between the first frame that shows the patch white (its time stamp) and
// the onset of the click in the decoded AAC track (first millisecond whose RMS passes 0.05 of
// full scale): positive means the sound comes later than the picture. The same click against
// the time the flash really began (from the scene's counters) gives the sound's own delay.
//
// A second child then records --cpu-seconds in audio mode 1 with tones in the microphone and
// the playback device (noise suppression, mixing) for the CPU figure of that mode. CPU seconds
// per recorded second are the host process's user + system time over its recorded time.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "Harness.h"
#include "PulseFixture.h"
#include "SceneRender.h"
#include "SoundAnalysis.h"
#include "XvfbFixture.h"
#include "vistrec/IRecordMp4.h"

namespace {

constexpr int kSceneFps = 30;
constexpr int kClickRate = 48000;
constexpr double kClickSeconds = 0.020;
constexpr double kClickFrequency = 1000.0;
constexpr double kClickAmplitude = 0.5;
// A click's onset: the first millisecond of the track whose RMS reaches this (fraction of full
// scale), after at least kQuietBeforeClick of quieter sound.
constexpr double kOnsetRms = 0.05;
constexpr double kQuietBeforeClick = 0.5;
// Luma above which the flash patch counts as white.
constexpr double kWhiteLuma = 128.0;

int64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Host mode: records `seconds` of the whole screen at scale 1 in the given audio mode.
int RunHost(const char* file, double seconds, int audioMode) {
    static const char kPreset[] = "ultrafast";
    static const char kTune[] = "zerolatency";
    av_log_set_level(AV_LOG_ERROR);
    IRecordMp4* r = create_screen_record(nullptr);
    if (!r)
        return 1;
    r->setFileName(file);
    r->setPreset(kPreset);
    r->setTune(kTune);
    r->setScale(1.0);
    r->setMouseShow(0, 0, 0, 100);
    r->setAudioMode(audioMode);
    r->startRecord();
    it::SleepMs(static_cast<int>(seconds * 1000));
    const unsigned recordedMs = r->stopRecord();
    delete r;
    printf("recorded %u\n", recordedMs);
    fflush(stdout);
    return 0;
}

struct SimpleDeleter {
    void operator()(pa_simple* s) const { pa_simple_free(s); }
};

// Plays clicks into a sink at epochMs + k x 1000 ms (CLOCK_MONOTONIC) on a thread of its own,
// from a continuous stream of 5 ms pieces; each piece's first sample is due at now + the
// stream's latency.
class ClickPlayer {
  public:
    ClickPlayer(int64_t epochMs, std::string sink) : epochMs_(epochMs), sink_(std::move(sink)) {}
    ~ClickPlayer() { Stop(); }
    ClickPlayer(const ClickPlayer&) = delete;
    ClickPlayer& operator=(const ClickPlayer&) = delete;

    bool Start(std::string* error) {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, kClickRate, 1};
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5000, &spec));
        attr.fragsize = static_cast<uint32_t>(-1);
        int err = 0;
        stream_.reset(pa_simple_new(nullptr, "vistrec-av-bench", PA_STREAM_PLAYBACK, sink_.c_str(),
                                    "clicks", &spec, nullptr, &attr, &err));
        if (!stream_) {
            *error = pa_strerror(err);
            return false;
        }
        thread_ = std::thread(&ClickPlayer::Run, this);
        return true;
    }

    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        stream_.reset();
    }

    // Largest distance (ms) between a click's planned start and its flash's; the mean latency
    // the stream reported; the clicks planned.
    double maxScheduleErrorMs() const { return maxErrorUs_ / 1000.0; }
    double meanLatencyMs() const {
        return latencyCount_ ? latencySumUs_ / latencyCount_ / 1000.0 : 0;
    }
    int clicks() const { return clicks_; }

  private:
    void Run() {
        constexpr int kPiece = kClickRate / 200;  // 5 ms
        const int clickSamples = static_cast<int>(kClickSeconds * kClickRate);
        const int fade = kClickRate / 1000;  // 1 ms raised-cosine edges
        std::vector<int16_t> piece(kPiece);
        // The first click is due at the first flash that is at least a second away.
        int64_t nextUs = (epochMs_ + ((MonotonicUs() / 1000 - epochMs_) / 1000 + 2) * 1000) * 1000;
        int position = -1;  // inside a click: sample index in it
        while (!stop_) {
            int err = 0;
            const pa_usec_t latency = pa_simple_get_latency(stream_.get(), &err);
            const double firstUs = static_cast<double>(MonotonicUs()) + latency;
            latencySumUs_ += static_cast<double>(latency);
            ++latencyCount_;
            for (int j = 0; j < kPiece; ++j) {
                const double dueUs = firstUs + j * 1e6 / kClickRate;
                if (position < 0 && dueUs >= static_cast<double>(nextUs)) {
                    maxErrorUs_ = std::max(maxErrorUs_, dueUs - static_cast<double>(nextUs));
                    position = 0;
                    nextUs += 1000000;
                    ++clicks_;
                }
                double v = 0.0;
                if (position >= 0) {
                    const int edge = std::min(position, clickSamples - 1 - position);
                    const double gain =
                        edge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(M_PI * edge / fade);
                    v = kClickAmplitude * gain *
                        std::sin(2.0 * M_PI * kClickFrequency * position / kClickRate);
                    if (++position >= clickSamples)
                        position = -1;
                }
                piece[j] = static_cast<int16_t>(std::lrint(v * soundrec::kFullScale));
            }
            // Blocks while the stream's buffer is full: this paces the loop.
            if (pa_simple_write(stream_.get(), piece.data(), piece.size() * 2, &err) < 0) {
                fprintf(stderr, "click player: %s\n", pa_strerror(err));
                return;
            }
        }
    }

    const int64_t epochMs_;
    const std::string sink_;
    std::unique_ptr<pa_simple, SimpleDeleter> stream_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    // Written by the thread, read after Stop.
    double maxErrorUs_ = 0.0;
    double latencySumUs_ = 0.0;
    int latencyCount_ = 0;
    int clicks_ = 0;
};

struct HostRun {
    bool ok = false;
    double cpuSeconds = 0.0;
    double recordedSeconds = 0.0;
};

// Runs this program in host mode and waits for it; CPU time from its resource usage.
HostRun RunHostChild(const std::string& file, double seconds, int audioMode) {
    HostRun run;
    it::Child child;
    if (!child.Start(
            {it::ExePath(), "--host", file, std::to_string(seconds), std::to_string(audioMode)},
            true)) {
        fprintf(stderr, "cannot start the host\n");
        return run;
    }
    std::string line, last;
    while (child.ReadLine(&line, static_cast<int>(seconds * 1000) + 60000))
        last = line;
    int status = 0;
    struct rusage usage {};
    if (!child.Wait(60000, &status, &usage) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "the host failed\n");
        return run;
    }
    run.ok = last.compare(0, 9, "recorded ") == 0;
    run.recordedSeconds = run.ok ? atof(last.c_str() + 9) / 1000.0 : seconds;
    run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
    return run;
}

// Onsets (file time) of clicks in the track.
std::vector<double> ClickOnsets(const soundrec::AudioTrack& a) {
    std::vector<double> onsets;
    double quiet = kQuietBeforeClick;  // the track starts quiet
    for (double t = a.pcmStart; t + 0.001 <= a.pcmEnd(); t += 0.001) {
        if (a.Rms(t, 0.001) < kOnsetRms) {
            quiet += 0.001;
            continue;
        }
        if (quiet >= kQuietBeforeClick)
            onsets.push_back(t);
        quiet = 0.0;
    }
    return onsets;
}

struct Flash {
    int second = 0;      // scene second whose start the flash marks
    double videoAt = 0;  // time stamp of the first white frame
    double trueAt = 0;   // file time at which the flash began (from the counters)
    double audioAt = -1;
};

void PrintFlash(const Flash& f) {
    printf("  %4d  %9.3f  %9.3f  %+8.1f  %+8.1f  %+8.1f\n", f.second, f.videoAt, f.audioAt,
           (f.audioAt - f.videoAt) * 1000.0, (f.videoAt - f.trueAt) * 1000.0,
           (f.audioAt - f.trueAt) * 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--host") == 0)
        return RunHost(argv[2], atof(argv[3]), atoi(argv[4]));

    double seconds = 150.0, cpuSeconds = 30.0;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (arg == "--cpu-seconds" && i + 1 < argc) {
            cpuSeconds = atof(argv[++i]);
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: vistrec_av_bench [--seconds S] [--cpu-seconds S] [--keep DIR]\n");
            return 2;
        }
    }
    mkdir((it::ExeDir() + "log").c_str(), 0755);

    vistrec::test::XvfbServer xvfb;
    std::string error;
    if (!xvfb.Start(&error)) {
        fprintf(stderr, "Xvfb: %s\n", error.c_str());
        return 1;
    }
    xvfb.ExportDisplay();
    vistrec::test::PulseServer pulse;
    if (!pulse.Start(&error)) {
        fprintf(stderr, "PulseAudio: %s\n", error.c_str());
        return 1;
    }
    pulse.ExportServer();
    it::TempDir temp;
    if (!keep.empty())
        mkdir(keep.c_str(), 0755);
    const std::string dir = keep.empty() ? temp.path() : keep;

    it::Scene scene;
    if (!scene.Start(kSceneFps, true)) {
        fprintf(stderr, "the test scene did not start\n");
        return 1;
    }
    ClickPlayer clicks(scene.startMs(), "vistrec_play");
    if (!clicks.Start(&error)) {
        fprintf(stderr, "click player: %s\n", error.c_str());
        return 1;
    }
    it::SleepMs(2500);

    printf("A/V sync: %.0f s of 1920x1080 at 20 fps, audio mode 2, clicks at every flash\n",
           seconds);
    fflush(stdout);
    const std::string file = dir + "/avsync.mp4";
    const double sceneCpuBefore = it::ProcessCpuSeconds(scene.pid());
    const HostRun run = RunHostChild(file, seconds, 2);
    const double sceneCpu = it::ProcessCpuSeconds(scene.pid()) - sceneCpuBefore;
    it::SleepMs(1500);
    clicks.Stop();
    if (!run.ok)
        return 1;

    const soundrec::VideoTrack v = soundrec::DecodeVideoTrack(file);
    const soundrec::AudioTrack a = soundrec::DecodeAudio(file);
    if (!v.error.empty() || !a.error.empty()) {
        fprintf(stderr, "cannot decode %s: %s%s\n", file.c_str(), v.error.c_str(), a.error.c_str());
        return 1;
    }
    const double wallAtZero = v.WallAtZero(scene.startMs(), kSceneFps);

    // Flashes in the picture: the first white frame of each scene second.
    std::vector<Flash> flashes;
    for (size_t i = 1; i < v.pts.size(); ++i) {
        if (!(v.flashLuma[i] > kWhiteLuma && v.flashLuma[i - 1] <= kWhiteLuma))
            continue;
        Flash f;
        f.videoAt = v.pts[i];
        f.second = v.counters[i] >= 0
                       ? static_cast<int>(v.counters[i] / kSceneFps)
                       : static_cast<int>(std::lround((wallAtZero + f.videoAt * 1000.0 -
                                                       static_cast<double>(scene.startMs())) /
                                                      1000.0));
        f.trueAt = (static_cast<double>(scene.startMs()) + f.second * 1000.0 - wallAtZero) / 1000.0;
        flashes.push_back(f);
    }
    // Each flash's click: the onset nearest to it within half a second.
    const std::vector<double> onsets = ClickOnsets(a);
    std::vector<Flash> paired;
    for (Flash f : flashes) {
        double best = -1.0;
        for (double o : onsets) {
            if (std::fabs(o - f.videoAt) < 0.5 &&
                (best < 0 || std::fabs(o - f.videoAt) < std::fabs(best - f.videoAt)))
                best = o;
        }
        if (best < 0)
            continue;
        f.audioAt = best;
        paired.push_back(f);
    }

    printf(
        "\nfile: video %.3f s (%d frames), audio %.3f s; %zu flashes seen, %zu clicks heard, "
        "%zu paired; clicks planned %d, largest planning error %.2f ms, mean stream latency "
        "%.1f ms; file time 0 on the screen at +%.0f ms of the scene\n",
        v.info.videoDuration, v.info.decodedFrames, a.duration, flashes.size(), onsets.size(),
        paired.size(), clicks.clicks(), clicks.maxScheduleErrorMs(), clicks.meanLatencyMs(),
        wallAtZero - static_cast<double>(scene.startMs()));
    printf("\n  scene  flash at   click at   click-flash  flash late  click late   (s, ms)\n");
    for (const Flash& f : paired) {
        if (f.videoAt < 6.0 || (f.videoAt >= 120.0 && f.videoAt < 126.0))
            PrintFlash(f);
    }
    if (!paired.empty()) {
        double sum = 0.0, largest = 0.0, lateSum = 0.0;
        for (const Flash& f : paired) {
            const double d = (f.audioAt - f.videoAt) * 1000.0;
            sum += d;
            largest = std::max(largest, std::fabs(d));
            lateSum += (f.audioAt - f.trueAt) * 1000.0;
        }
        printf(
            "\nclick - flash over %zu pairs: mean %+.1f ms, largest |offset| %.1f ms; click "
            "late against the true flash: mean %+.1f ms\n",
            paired.size(), sum / paired.size(), largest, lateSum / paired.size());
        printf("mean click - flash per 30 s of file time:");
        for (double from = 0.0; from < v.info.videoDuration; from += 30.0) {
            double s = 0.0;
            int n = 0;
            for (const Flash& f : paired) {
                if (f.videoAt >= from && f.videoAt < from + 30.0) {
                    s += (f.audioAt - f.videoAt) * 1000.0;
                    ++n;
                }
            }
            if (n > 0)
                printf("  [%.0f s] %+.1f", from, s / n);
        }
        printf(" ms\n");
    }
    printf(
        "\nCPU, 1920x1080 at 20 fps, audio mode 2: %.2f CPU s per recorded second (%.1f s "
        "over %.1f s); the scene took %.2f CPU s per second\n",
        run.cpuSeconds / run.recordedSeconds, run.cpuSeconds, run.recordedSeconds,
        sceneCpu / run.recordedSeconds);
    fflush(stdout);

    if (cpuSeconds > 0) {
        const std::string mic = dir + "/mic.wav";
        const std::string play = dir + "/play.wav";
        soundrec::WriteWav(mic, 48000, 2,
                           soundrec::KeyedSine(48000, cpuSeconds + 10, 440, 0.3, 400, 400));
        soundrec::WriteWav(play, 48000, 2, soundrec::Sine(48000, cpuSeconds + 10, 1000, 0.3));
        vistrec::test::ChildProcess micPlayer = pulse.Play(mic, "vistrec_micsink");
        vistrec::test::ChildProcess playPlayer = pulse.Play(play, "vistrec_play");
        it::SleepMs(500);
        const HostRun mode1 = RunHostChild(dir + "/mode1.mp4", cpuSeconds, 1);
        if (mode1.ok) {
            printf(
                "CPU, 1920x1080 at 20 fps, audio mode 1 (microphone noise-suppressed and "
                "mixed): %.2f CPU s per recorded second (%.1f s over %.1f s)\n",
                mode1.cpuSeconds / mode1.recordedSeconds, mode1.cpuSeconds, mode1.recordedSeconds);
        }
    }
    scene.Stop();
    return 0;
}
