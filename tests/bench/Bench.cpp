// Benchmarks, run by hand; they print figures and never fail on one.
//   vistrec_bench capture [--seconds 20] [--keep DIR]: a host of this program against ffmpeg's
// x11grab on the whole Xvfb screen with the scene at 30 Hz, at 20 and 30 fps, same settings
// (the host takes its frame rate only when "Vistrel.json" beside it says "framerate": 0).
//   vistrec_bench avsync [--seconds 150] [--keep DIR]: the scene flashes white for the first
// 100 ms of every second and a 20 ms 1 kHz click plays every second from a flash on; a host
// records in audio mode 2 and the click's onset (first ms over 0.05 RMS) minus the flash is
// printed: positive means the sound is later.
#include <cmath>
#include <set>

#include "PulseFixture.h"
#include "RecorderFixture.h"

using namespace vistrec::test;

namespace {

// Runs a recorder to its end; its CPU seconds (user + system), -1 when it failed.
double CpuSeconds(const std::vector<std::string>& args) {
    Child child;
    int status = 0;
    struct rusage u {};
    if (!child.Spawn(args, nullptr, "-") || !child.Wait(900000, &status, &u) || status != 0)
        return -1.0;
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Capture(double seconds, const std::string& dir, const XvfbServer& xvfb, const Scene& scene) {
    const std::string config = ExeDir() + "Vistrel.json", time = std::to_string(seconds);
    WriteTextFile(config, R"({"VISTREL_CONFIG":{"framerate":0}})");
    printf(
        "Whole 1920x1080 screen for %.0f s, scene at %d Hz, crf 40, ultrafast/zerolatency\n"
        "recorder  fps cpu s/rec s  frames   due delivered distinct  file s PSNR dB\n",
        seconds, kSceneFps);
    for (int fps : {20, 30}) {
        const std::string rate = std::to_string(fps), lib = dir + "/vistrec-" + rate + ".mp4",
                          ff = dir + "/x11grab-" + rate + ".mp4";
        const std::vector<std::string> ffmpeg = {
            "ffmpeg",  "-nostdin",    "-loglevel", "error",       "-y",          "-f",
            "x11grab", "-draw_mouse", "0",         "-video_size", "1920x1080",   "-framerate",
            rate,      "-i",          xvfb.name(), "-t",          time,          "-c:v",
            "libx264", "-preset",     "ultrafast", "-tune",       "zerolatency", "-crf",
            "40",      "-g",          "12",        "-pix_fmt",    "yuv420p",     ff};
        const std::vector<std::string> host = {ExePath(), "--host", lib, time, "0", rate};
        for (const auto& run : {std::make_pair(host, lib), std::make_pair(ffmpeg, ff)}) {
            const double cpu = CpuSeconds(run.first);
            std::set<uint32_t> counters;
            double psnr = 0.0;
            int compared = 0;
            MediaInfo info;
            std::string error;
            DecodeVideo(
                run.second, &info,
                [&](const AVFrame& frame, double) {
                    uint32_t c = 0;
                    if (frame.width != kScreenW ||
                        !ReadFrameCounter(frame, {}, kScreenW, kScreenH, &c) ||
                        !counters.insert(c).second || counters.size() % 10 != 1)
                        return;
                    const Bgra ref{kScreenW, kScreenH,
                                   testscene::RenderFrame(c, kScreenW, kScreenH, scene.options())};
                    psnr += LumaPsnr(frame, *ToYuv420(ref, kScreenW, kScreenH));
                    ++compared;
                },
                &error);
            printf("%-8s %4d %11.3f %7d %5.0f %8.1f%% %8zu %7.2f %7.2f %s\n",
                   run.second == lib ? "vistrec" : "x11grab", fps, cpu / seconds,
                   info.decodedFrames, seconds * fps, 100.0 * info.decodedFrames / (seconds * fps),
                   counters.size(), info.formatDuration, compared ? psnr / compared : 0.0,
                   error.c_str());
        }
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
    const double cpu = CpuSeconds({ExePath(), "--host", file, std::to_string(seconds), "2", "20"});
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
    if (argc == 6 && std::string(argv[1]) == "--host") {  // file seconds audio-mode fps
        av_log_set_level(AV_LOG_ERROR);
        RecorderPtr r = NewRecorder(argv[2], 1.0, atoi(argv[4]));
        r->setFrameRate(atoi(argv[5]));
        Record(r.get(), static_cast<int>(atof(argv[3]) * 1000));
        return 0;
    }
    const bool avsync = argc > 1 && std::string(argv[1]) == "avsync";
    double seconds = avsync ? 150.0 : 20.0;
    std::string keep;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--seconds")
            seconds = atof(argv[i + 1]);
        else if (std::string(argv[i]) == "--keep")
            keep = argv[i + 1];
    }
    mkdir((ExeDir() + "log").c_str(), 0755);
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-bench-no-pulse", 1);
    XvfbServer xvfb;
    PulseServer pulse;
    Scene scene;
    TempDir temp;
    std::string error;
    if (!xvfb.Start(&error) || (avsync && !pulse.Start(&error)))
        return fprintf(stderr, "%s\n", error.c_str()), 1;
    xvfb.ExportDisplay();
    if (avsync)
        pulse.ExportServer();
    if (!scene.Start(kSceneFps, avsync))
        return fprintf(stderr, "cannot start vistrec-testscene\n"), 1;
    const std::string dir = keep.empty() ? temp.path() : keep;
    mkdir(dir.c_str(), 0755);
    avsync ? AvSync(seconds, dir, scene, pulse) : Capture(seconds, dir, xvfb, scene);
    return 0;
}
