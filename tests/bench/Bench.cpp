// Benchmarks, run by hand; they print figures and never fail on one.
//   vistrec_bench capture [--seconds 10] [--keep DIR] [--only NAME]: a host of this program (as
// it runs by default, with damage tracking, then with full grabs: VISTREC_DAMAGE=0) against
// ffmpeg's x11grab on the same Xvfb screen and scene workload, same settings (libx264
// ultrafast/zerolatency, crf 23, key frame every 12, 30 fps). NAME picks a row ("office",
// "full-3840x2160", ...).
//   vistrec_bench avsync [--seconds 150] [--keep DIR]: the scene flashes for the first 100 ms of
// every second, a 20 ms click plays every second from a flash on; a host records in audio mode 2
// and the click's onset minus the flash is printed: positive means the sound is later.
#include <cmath>
#include <map>
#include <set>

#include "PulseFixture.h"
#include "RecorderFixture.h"

using namespace vistrec::test;

namespace {

struct Workload {
    const char* mode;
    int w, h;
};
constexpr Workload kWorkloads[] = {{"static", 1920, 1080}, {"office", 1920, 1080},
                                   {"full", 1920, 1080},   {"full", 1280, 720},
                                   {"full", 2560, 1440},   {"full", 3840, 2160}};
constexpr int kFps = 30, kCrf = 23;

struct Figures {
    double cpu = -1.0;  // CPU s per recorded s
    MediaInfo info;
    size_t distinct = 0;
    double psnr = 0.0;
    std::string error;
};

// Decodes a recording of `scene` on a w x h screen: frames, distinct counters and the luma PSNR
// of every tenth distinct frame against the scene rendered again (a still desktop has no
// counter: every tenth frame against its one picture).
Figures Judge(const std::string& file, const Scene& scene, int w, int h) {
    Figures f;
    std::set<uint32_t> counters;
    int compared = 0, frames = 0;
    const bool still = scene.options().workload == testscene::Workload::kStatic;
    DecodeVideo(
        file, &f.info,
        [&](const AVFrame& frame, double) {
            uint32_t c = 0;
            const testscene::ScreenToImage map{static_cast<double>(frame.width) / w,
                                               static_cast<double>(frame.height) / h, 0, 0};
            if (still ? frames++ % 10 != 0
                      : !ReadFrameCounter(frame, map, w, h, &c) || !counters.insert(c).second ||
                            counters.size() % 10 != 1)
                return;
            const Bgra ref{w, h, testscene::RenderFrame(c, w, h, scene.options())};
            f.psnr += LumaPsnr(frame, *ToYuv420(ref, frame.width, frame.height));
            ++compared;
        },
        &f.error);
    f.distinct = counters.size();
    f.psnr = compared ? f.psnr / compared : 0.0;
    return f;
}

void Capture(double seconds, const std::string& dir, const std::string& only) {
    const std::string config = ExeDir() + "Vistrel.json", time = std::to_string(seconds);
    const std::string rate = std::to_string(kFps), crf = std::to_string(kCrf);
    WriteTextFile(config, R"({"VISTREL_CONFIG":{"framerate":0}})");
    printf(
        "%.0f s per recording at %d fps, crf %d, ultrafast/zerolatency, key frame every 12\n"
        "workload screen    recorder     video     cpu s/rec s  ratio  frames   due delivered "
        "distinct PSNR dB\n",
        seconds, kFps, kCrf);
    for (const Workload& wl : kWorkloads) {
        const std::string screen = std::to_string(wl.w) + "x" + std::to_string(wl.h);
        const std::string name = std::string(wl.mode) + "-" + screen;
        if (!only.empty() && only != wl.mode && only != name)
            continue;
        XvfbServer::Options options;
        options.screen = screen + "x24";
        XvfbServer xvfb(options);
        Scene scene;
        std::string error;
        if (!xvfb.Start(&error) || (xvfb.ExportDisplay(), !scene.Start(kFps, false, wl.mode))) {
            printf("%-8s %-9s %s\n", wl.mode, screen.c_str(),
                   error.empty() ? "cannot start vistrec-testscene" : error.c_str());
            continue;
        }
        // FFmpeg scales to the size the recorder's size rules gave.
        const char* const kRecorders[] = {"vistrec-damage", "vistrec-full", "x11grab"};
        Figures figures[3];
        for (int i = 0; i < 3; ++i) {
            const std::string file = dir + "/" + kRecorders[i] + "-" + name + ".mp4";
            std::vector<std::string> args = {ExePath(), "--host", file, time, "0", rate, "1"};
            if (i == 2) {
                args = {"ffmpeg",    "-nostdin",   "-loglevel",   "error",   "-y",
                        "-f",        "x11grab",    "-draw_mouse", "0",       "-video_size",
                        screen,      "-framerate", rate,          "-i",      xvfb.name(),
                        "-t",        time,         "-c:v",        "libx264", "-preset",
                        "ultrafast", "-tune",      "zerolatency", "-crf",    crf,
                        "-g",        "12",         "-pix_fmt",    "yuv420p"};
                const int outW = figures[0].info.width > 0 ? figures[0].info.width : wl.w;
                const int outH = figures[0].info.height > 0 ? figures[0].info.height : wl.h;
                if (outW != wl.w || outH != wl.h)
                    args.insert(args.end(), {"-vf", "scale=" + std::to_string(outW) + ":" +
                                                        std::to_string(outH)});
                args.push_back(file);
            }
            if (i == 1)
                setenv("VISTREC_DAMAGE", "0", 1);
            const double cpu = RunCpuSeconds(args) / seconds;
            unsetenv("VISTREC_DAMAGE");
            figures[i] = Judge(file, scene, wl.w, wl.h);
            figures[i].cpu = cpu;
        }
        const double ffCpu = figures[2].cpu;
        for (int i = 0; i < 3; ++i) {
            const Figures& f = figures[i];
            // Frames due over the file's own length. x11grab's "-t" counts recorded time, so its
            // start-up never shows; a host's recording starts once its encoder is open (some
            // 100 ms after startRecord), and counting from startRecord charged that as drops.
            const double due =
                f.info.videoDuration > 0 ? std::round(f.info.videoDuration * kFps) : seconds * kFps;
            char ratio[16] = "";
            if (i < 2 && ffCpu > 0 && f.cpu >= 0)
                snprintf(ratio, sizeof ratio, "%.3f", f.cpu / ffCpu);
            printf("%-8s %-9s %-12s %4dx%-4d %11.3f %6s %6d %5.0f %8.1f%% %8zu %7.2f %s\n", wl.mode,
                   screen.c_str(), kRecorders[i], f.info.width, f.info.height, f.cpu, ratio,
                   f.info.decodedFrames, due, 100.0 * f.info.decodedFrames / due, f.distinct,
                   f.psnr, f.error.c_str());
        }
        fflush(stdout);
    }
    unlink(config.c_str());
}

void AvSync(double seconds, const std::string& dir, const Scene& scene, PulseServer& pulse) {
    const std::string file = dir + "/avsync.mp4", clicks = dir + "/clicks.wav";
    WriteWav(clicks, 48000, 2, KeyedSine(48000, seconds + 10, 1000, 0.5, 20, 980));
    // Started as a flash begins; the player's own start-up shows as a constant "click late".
    SleepMs(static_cast<int>(1000 - (MonotonicMs() - scene.startMs()) % 1000));
    Child player = pulse.Play(clicks, "vistrec_play");
    SleepMs(2500);
    const double cpu =
        RunCpuSeconds({ExePath(), "--host", file, std::to_string(seconds), "2", "20"});
    const VideoTrack v = DecodeVideoTrack(file);
    const AudioTrack a = DecodeAudio(file);
    const double wallAtZero = v.WallAtZero(scene.startMs(), kSceneFps);
    std::vector<double> onsets;  // a millisecond over 0.05 RMS after 0.5 s below it
    double quiet = 0.5;
    for (double t = a.pcmStart; t + 0.001 <= a.pcmEnd(); t += 0.001) {
        const bool loud = a.Rms(t, 0.001) >= 0.05;
        if (loud && quiet >= 0.5)
            onsets.push_back(t);
        quiet = loud ? 0.0 : quiet + 0.001;
    }
    printf(
        "A/V sync over %.0f s at 20 fps, audio mode 2: %.2f CPU s per recorded second; video "
        "%.3f s, audio %.3f s, %zu clicks heard %s%s\n\n  flash at  click-flash  flash late  "
        "click late (s, ms; late: against the flash's true time from the counters)\n",
        seconds, cpu / seconds, v.info.videoDuration, a.duration, onsets.size(), v.error.c_str(),
        a.error.c_str());
    double sum = 0.0, largest = 0.0;
    int paired = 0;
    for (size_t i = 1; i < v.pts.size(); ++i) {
        if (!(v.flashLuma[i] > 128.0 && v.flashLuma[i - 1] <= 128.0))
            continue;  // not the first white frame of a flash
        const double at = v.pts[i];
        const double second = std::round((wallAtZero + at * 1000.0 - scene.startMs()) / 1000.0);
        const double trueAt = (scene.startMs() + second * 1000.0 - wallAtZero) / 1000.0;
        double click = -1.0;
        for (double o : onsets)
            if (std::fabs(o - at) < 0.5 && (click < 0 || std::fabs(o - at) < std::fabs(click - at)))
                click = o;
        if (click < 0)
            continue;
        const double d = (click - at) * 1000.0;
        if (paired++ % 10 == 0)
            printf("  %8.3f  %+10.1f  %+10.1f  %+10.1f\n", at, d, (at - trueAt) * 1000.0,
                   (click - trueAt) * 1000.0);
        sum += d;
        largest = std::max(largest, std::fabs(d));
    }
    printf("click - flash over %d pairs: mean %+.1f ms, largest |offset| %.1f ms\n", paired,
           paired ? sum / paired : 0.0, largest);
}

}  // namespace

int main(int argc, char** argv) {
    // --host file seconds audio-mode fps [quality]
    if ((argc == 6 || argc == 7) && std::string(argv[1]) == "--host") {
        av_log_set_level(AV_LOG_ERROR);
        RecorderPtr r = NewRecorder(argv[2], 1.0, atoi(argv[4]));
        r->setFrameRate(atoi(argv[5]));
        if (argc == 7)
            r->setQuality(atoi(argv[6]), 0);  // 1: crf 23
        Record(r.get(), static_cast<int>(atof(argv[3]) * 1000));
        return 0;
    }
    const bool avsync = argc > 1 && std::string(argv[1]) == "avsync";
    std::map<std::string, std::string> option;  // --seconds, --keep, --only
    for (int i = 2; i + 1 < argc; i += 2)
        option[argv[i]] = argv[i + 1];
    const double seconds = option.count("--seconds") ? atof(option["--seconds"].c_str())
                           : avsync                  ? 150.0
                                                     : 10.0;
    mkdir((ExeDir() + "log").c_str(), 0755);
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-bench-no-pulse", 1);
    TempDir temp;
    const std::string dir = option["--keep"].empty() ? temp.path() : option["--keep"];
    mkdir(dir.c_str(), 0755);
    if (!avsync)
        return Capture(seconds, dir, option["--only"]), 0;  // an Xvfb of each screen size in turn
    SceneStage stage;
    std::string error;
    if (!stage.Start(true, &error))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    AvSync(seconds, dir, stage.scene, stage.pulse);
    return 0;
}
