// Benchmarks, run by hand; they print figures and never fail on one.
//   vistrec_bench capture [--seconds 10] [--keep DIR] [--only NAME]: a host of this program (as
// it runs by default, with damage tracking, then with full grabs: VISTREC_DAMAGE=0) against
// ffmpeg's x11grab on the same Xvfb screen and scene workload, same settings (libx264
// ultrafast/zerolatency, crf 23, key frame every 12, 30 fps). NAME picks a row ("office",
// "full-3840x2160", ...). Sound against picture is measured by the soak run (tools/soak), which
// knows when each click really played.
#include <cmath>
#include <map>
#include <set>

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
            std::vector<std::string> args = {ExePath(), "--host", file, time, rate};
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--host") {  // --host file seconds fps
        av_log_set_level(AV_LOG_ERROR);
        RecorderPtr r = NewRecorder(argv[2]);
        r->setFrameRate(atoi(argv[4]));
        r->setQuality(1, 0);  // crf 23
        Record(r.get(), static_cast<int>(atof(argv[3]) * 1000));
        return 0;
    }
    std::map<std::string, std::string> option;  // capture --seconds, --keep, --only
    for (int i = 2; i + 1 < argc; i += 2)
        option[argv[i]] = argv[i + 1];
    const double seconds = option.count("--seconds") ? atof(option["--seconds"].c_str()) : 10.0;
    mkdir((ExeDir() + "log").c_str(), 0755);
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-bench-no-pulse", 1);
    TempDir temp;
    const std::string dir = option["--keep"].empty() ? temp.path() : option["--keep"];
    mkdir(dir.c_str(), 0755);
    Capture(seconds, dir, option["--only"]);  // an Xvfb of each screen size in turn
    return 0;
}
