// Capture benchmark: the library against FFmpeg's x11grab on the same animated scene.
//
// Run by hand (about two minutes; it never fails on a figure):
//   cmake --build build-it --target vistrec_bench vistrec_cli vistrec-testscene
//   build-it/tests/bench/vistrec_bench [--seconds 20] [--keep DIR]
//
// On a private Xvfb (1920x1080) with vistrec-testscene drawing at 30 Hz it records the whole
// screen for --seconds at 20 and at 30 fps, each time with
//   - the library, through the command-line recorder `vistrec` (scale 1, preset ultrafast, tune
//     zerolatency, pointer hidden, quality 0 = crf 40), or through a host mode of this program
//     when that tool is not built;
//   - ffmpeg -f x11grab ... -c:v libx264 -preset ultrafast -tune zerolatency -crf 40,
// one after the other, and prints for each: CPU seconds per recorded second (the recorder
// process's user + system time), frames in the file against frames due (seconds x fps), how
// many distinct scene frames they show, the file's duration, and the mean luma PSNR against
// the scene's own rendering (every tenth frame).
//
// The library takes a frame rate from its host only when "Vistrel.json" beside the host
// program says "framerate": 0, so the benchmark writes that file for its runs and removes it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "Harness.h"
#include "SceneRender.h"
#include "XvfbFixture.h"
#include "vistrec/IRecordMp4.h"

namespace {

constexpr int kScreenW = 1920;
constexpr int kScreenH = 1080;
constexpr int kSceneFps = 30;

// Host mode: records `seconds` at `fps` of the whole screen into `file` with the MP4 recorder.
int RunHost(const char* file, int fps, double seconds) {
    static const char kPreset[] = "ultrafast";
    static const char kTune[] = "zerolatency";
    IRecordMp4* r = create_screen_record(nullptr);
    if (!r)
        return 1;
    r->setFileName(file);
    r->setFrameRate(fps);
    r->setPreset(kPreset);
    r->setTune(kTune);
    r->setMouseShow(0, 0, 0, 100);
    r->setScale(1.0);
    r->startRecord();
    it::SleepMs(static_cast<int>(seconds * 1000));
    r->stopRecord();
    delete r;
    return 0;
}

struct Result {
    std::string recorder;
    int fps = 0;
    bool ran = false;
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    double sceneCpuSeconds = 0.0;
    double serverCpuSeconds = 0.0;
    it::MediaInfo info;
    int distinct = 0;
    double psnr = 0.0;
};

// Writes "Vistrel.json" with "framerate": 0 beside a host program, restoring what was there.
class FrameRateConfig {
  public:
    explicit FrameRateConfig(const std::string& hostPath)
        : path_(hostPath.substr(0, hostPath.rfind('/') + 1) + "Vistrel.json") {
        struct stat info;
        existed_ = stat(path_.c_str(), &info) == 0;
        if (existed_)
            old_ = it::ReadTextFile(path_);
        it::WriteTextFile(path_, R"({"VISTREL_CONFIG":{"framerate":0}})");
    }
    ~FrameRateConfig() {
        if (existed_)
            it::WriteTextFile(path_, old_);
        else
            unlink(path_.c_str());
    }
    FrameRateConfig(const FrameRateConfig&) = delete;
    FrameRateConfig& operator=(const FrameRateConfig&) = delete;

  private:
    std::string path_;
    bool existed_ = false;
    std::string old_;
};

// Process id of the X server of display `number`, from its lock file; -1 if unknown.
pid_t ServerPid(int number) {
    const std::string text = it::ReadTextFile("/tmp/.X" + std::to_string(number) + "-lock");
    const long pid = atol(text.c_str());
    return pid > 0 ? static_cast<pid_t>(pid) : -1;
}

Result Run(const std::string& recorder, const std::vector<std::string>& argv, int fps,
           double seconds, const std::string& file, const it::Scene& scene, pid_t server) {
    Result r;
    r.recorder = recorder;
    r.fps = fps;
    it::Child child;
    const double sceneBefore = it::ProcessCpuSeconds(scene.pid());
    const double serverBefore = it::ProcessCpuSeconds(server);
    const int64_t start = it::MonotonicMs();
    if (!child.Start(argv, false)) {
        fprintf(stderr, "cannot run %s\n", argv[0].c_str());
        return r;
    }
    int status = 0;
    struct rusage usage {};
    if (!child.Wait(static_cast<int>(seconds * 1000) + 60000, &status, &usage)) {
        fprintf(stderr, "%s did not finish\n", recorder.c_str());
        return r;
    }
    r.wallSeconds = (it::MonotonicMs() - start) / 1000.0;
    r.sceneCpuSeconds = it::ProcessCpuSeconds(scene.pid()) - sceneBefore;
    r.serverCpuSeconds = it::ProcessCpuSeconds(server) - serverBefore;
    r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s ended with status %d\n", recorder.c_str(), status);
    }
    std::set<uint32_t> counters;
    double psnrSum = 0.0;
    int compared = 0, index = 0;
    std::string error;
    r.ran = it::DecodeVideo(
        file, &r.info,
        [&](const AVFrame& frame, double) {
            const bool sample = index++ % 10 == 0;
            uint32_t counter = 0;
            if (frame.width != kScreenW || frame.height != kScreenH)
                return;
            if (!it::ReadFrameCounter(frame, {}, kScreenW, kScreenH, &counter))
                return;
            counters.insert(counter);
            if (!sample)
                return;
            it::Bgra reference;
            reference.width = kScreenW;
            reference.height = kScreenH;
            reference.pixels = testscene::RenderFrame(counter, kScreenW, kScreenH, scene.options());
            psnrSum += it::LumaPsnr(frame, *it::ToYuv420(reference, kScreenW, kScreenH));
            ++compared;
        },
        &error);
    if (!r.ran)
        fprintf(stderr, "%s: %s\n", recorder.c_str(), error.c_str());
    r.distinct = static_cast<int>(counters.size());
    r.psnr = compared ? psnrSum / compared : 0.0;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--host") == 0) {
        return RunHost(argv[2], atoi(argv[3]), atof(argv[4]));
    }
    double seconds = 20.0;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = argv[++i];
        } else {
            fprintf(stderr, "usage: vistrec_bench [--seconds S] [--keep DIR]\n");
            return 2;
        }
    }
    if (seconds <= 0.0)
        seconds = 20.0;
    mkdir((it::ExeDir() + "log").c_str(), 0755);
    // No sound server: the figures are about the picture.
    setenv("PULSE_SERVER", "unix:/nonexistent/vistrec-bench-no-pulse", 1);

    vistrec::test::XvfbServer xvfb;
    std::string error;
    if (!xvfb.Start(&error)) {
        fprintf(stderr, "Xvfb: %s\n", error.c_str());
        return 1;
    }
    xvfb.ExportDisplay();
    it::Scene scene;
    if (!scene.Start(kSceneFps)) {
        fprintf(stderr, "cannot start vistrec-testscene\n");
        return 1;
    }
    it::TempDir temp;
    if (!keep.empty())
        mkdir(keep.c_str(), 0755);
    const std::string dir = keep.empty() ? temp.path() : keep;
    const std::string cli = VISTREC_CLI_PATH;
    const bool haveCli = access(cli.c_str(), X_OK) == 0;
    const std::string host = haveCli ? cli : it::ExePath();
    FrameRateConfig config(host);
    // The library logs only into an existing "log" folder beside its host.
    mkdir((host.substr(0, host.rfind('/') + 1) + "log").c_str(), 0755);
    const pid_t server = ServerPid(xvfb.number());
    const std::string secondsText = std::to_string(seconds);

    std::vector<Result> results;
    for (int fps : {20, 30}) {
        const std::string fpsText = std::to_string(fps);
        const std::string libFile = dir + "/vistrec-" + fpsText + ".mp4";
        std::vector<std::string> lib;
        if (haveCli) {
            lib = {cli,
                   "-q",
                   "--duration",
                   secondsText,
                   "--fps",
                   fpsText,
                   "--scale",
                   "1",
                   "--preset",
                   "ultrafast",
                   "--tune",
                   "zerolatency",
                   "--mouse-show",
                   "0",
                   libFile};
        } else {
            lib = {host, "--host", libFile, fpsText, secondsText};
        }
        results.push_back(
            Run(haveCli ? "vistrec" : "vistrec (host)", lib, fps, seconds, libFile, scene, server));
        const std::string ffFile = dir + "/x11grab-" + fpsText + ".mp4";
        const std::vector<std::string> ff = {
            "ffmpeg",    "-nostdin",    "-loglevel", "error",      "-y",          "-f",
            "x11grab",   "-draw_mouse", "0",         "-framerate", fpsText,       "-video_size",
            "1920x1080", "-i",          xvfb.name(), "-t",         secondsText,   "-c:v",
            "libx264",   "-preset",     "ultrafast", "-tune",      "zerolatency", "-crf",
            "40",        "-g",          "12",        "-pix_fmt",   "yuv420p",     ffFile};
        results.push_back(Run("ffmpeg x11grab", ff, fps, seconds, ffFile, scene, server));
    }

    printf(
        "\nWhole 1920x1080 screen for %.0f s, scene at %d Hz, crf 40, ultrafast/zerolatency, "
        "key frame every 12\n",
        seconds, kSceneFps);
    printf("%-16s %4s %11s %8s %6s %9s %9s %7s %8s %10s %10s\n", "recorder", "fps", "cpu s/rec s",
           "frames", "due", "delivered", "distinct", "file s", "PSNR dB", "Xvfb cpu", "scene cpu");
    printf(
        "(frames: decoded from the file; due: seconds x fps; distinct: different scene frames "
        "shown)\n");
    for (const Result& r : results) {
        const double due = seconds * r.fps;
        if (!r.ran) {
            printf("%-16s %4d %11s\n", r.recorder.c_str(), r.fps, "failed");
            continue;
        }
        printf("%-16s %4d %11.3f %8d %6.0f %8.1f%% %9d %7.2f %8.2f %9.2fs %9.2fs\n",
               r.recorder.c_str(), r.fps, r.cpuSeconds / seconds, r.info.decodedFrames, due,
               100.0 * r.info.decodedFrames / due, r.distinct, r.info.formatDuration, r.psnr,
               r.serverCpuSeconds, r.sceneCpuSeconds);
    }
    return 0;
}
