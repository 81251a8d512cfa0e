// vistrec: records the X11 screen into a video file through the vistrec library: the recorder
// interface, plus the library's internal entry points for the frame rate and crf it fixes.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "src/RecorderInternal.h"
#include "src/Version.h"
#include "vistrec/IRecordMp4.h"

#include "ButtonWatcher.h"
#include "CliOptions.h"
#include "DisplayCheck.h"
#include "LevelBlock.h"
#include "MediaReport.h"
#include "OutputCheck.h"
#include "SoundServerCheck.h"
#include "Status.h"

namespace {

using namespace vistrec_cli;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int64_t kStatusPeriodMs = 250;  // the status line is rewritten 4 times a second

void PrintError(const std::string& message) {
    std::fprintf(stderr, "vistrec: %s\n", message.c_str());
}

// Signals the main thread takes from its wait: stop, pause and resume requests.
sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&set, sig);
    }
    return set;
}

// Waits up to timeout_ms for a control signal; returns it, or 0 on time-out.
int WaitForSignal(const sigset_t& set, int64_t timeout_ms) {
    timespec timeout{static_cast<time_t>(timeout_ms / 1000),
                     static_cast<long>(timeout_ms % 1000 * 1000000)};
    while (true) {
        int sig = sigtimedwait(&set, nullptr, &timeout);
        if (sig >= 0) {
            return sig;
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

std::string ExecutableDirectory() {
    std::vector<char> path(4096);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) {
        return "./";
    }
    std::string exe(path.data(), static_cast<size_t>(n));
    return exe.substr(0, exe.find_last_of('/') + 1);
}

// The library logs to "log/record.log" beside the host's executable but leaves creating the
// folder to the host. Without it the recording still works, unlogged, so failure is ignored.
void CreateLogFolder() {
    mkdir((ExecutableDirectory() + "log").c_str(), 0777);
}

// A second Ctrl-C while the file is being finished ends the process at once. The level block
// this program created is removed first; the signal then ends the process as it would have.
void AbandonOnSecondInterrupt(int sig) {
    HostLevelBlock::UnlinkOwnedForAbandon();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered with the default action once this handler returns
}

// Where the library ends the process itself (an encoder that cannot be set up), destructors do
// not run; the level block is removed here instead.
void UnlinkLevelBlockAtExit() {
    HostLevelBlock::UnlinkOwnedForAbandon();
}

// The level block the library opens in the recorder's constructor, so made before the
// recorder; null when this recording captures no sound or the block cannot be had.
std::unique_ptr<HostLevelBlock> OpenLevelBlock(bool quiet) {
    auto block = std::make_unique<HostLevelBlock>();
    if (block->owned()) {
        return block;
    }
    if (!block->isOpen()) {
        if (!quiet) {
            std::fprintf(stderr, "vistrec: note: no level meter: %s\n", block->error().c_str());
        }
        return nullptr;
    }
    if (!quiet) {
        std::fprintf(stderr,
                     "vistrec: note: %s already exists (another host's?); the level meter "
                     "reads it and leaves it in place\n",
                     block->name().c_str());
    }
    return block;
}

// Tells the main loop when the record thread has ended on its own (MP4 recorder only).
class RecordEndFlag : public IRecordCallback {
  public:
    void onRecordEnd() override { ended_.store(true); }
    bool ended() const { return ended_.load(); }

  private:
    std::atomic<bool> ended_{false};
};

// The live status line on a terminal: each write replaces the previous one in place.
class StatusPrinter {
  public:
    explicit StatusPrinter(bool enabled) : enabled_(enabled) {}
    StatusPrinter(const StatusPrinter&) = delete;
    StatusPrinter& operator=(const StatusPrinter&) = delete;

    void show(const std::string& line) {
        if (!enabled_) {
            return;
        }
        std::string padded = line;
        if (padded.size() < width_) {
            padded.append(width_ - padded.size(), ' ');
        }
        width_ = line.size();
        std::fprintf(stderr, "\r%s", padded.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (!enabled_ || width_ == 0) {
            return;
        }
        std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
        std::fflush(stderr);
        width_ = 0;
    }

  private:
    bool enabled_;
    size_t width_ = 0;
};

// The rectangle to record 1:1: the --region, else the whole screen (every monitor) or host
// window, `whole`. The library starts on the first monitor, but a person asking for a recording
// of "the screen" means all of it. None when --display or --follow-target pick a monitor.
std::optional<Region> CaptureArea(const CliOptions& o, const Region& whole) {
    if (o.region) {
        return o.region;
    }
    if (o.display || o.followTarget) {
        return std::nullopt;
    }
    return whole;
}

// Hands every option to the recorder in the order the interface asks for: quality and capture
// rectangle before setDisplay (it reads both), the follow-target flag before setDisplay (it
// picks the monitor with it). The frame rate and crf are fixed on the encoder, so neither
// Vistrel.json nor the quality table of setDisplay replaces them; false when they could not be.
bool ConfigureRecorder(IRecordMp4& recorder, const CliOptions& o, const std::optional<Region>& area,
                       IRecordCallback* callback) {
    recorder.setCallback(callback);
    recorder.setFileName(o.outputFile.c_str());
    if (o.quality) {
        recorder.setQuality(*o.quality, 0);
    }
    if (area) {
        RECT rect{area->x, area->y, area->x + area->width, area->y + area->height};
        recorder.setCaptureRect(true, &rect);
    }
    if (o.followTarget) {
        recorder.setFollowTarget(true);
    }
    if (o.display) {
        recorder.setDisplay(*o.display);
    }
    if (!vistrec::internal::ForceFrameRate(&recorder, o.fps) ||
        (o.crf && !vistrec::internal::ForceCrf(&recorder, *o.crf))) {
        return false;
    }
    recorder.setScale(o.scale);
    // The recorder keeps these pointers; the options outlive the recorder.
    recorder.setPreset(o.preset.c_str());
    recorder.setTune(o.tune.c_str());
    if (o.gopSize) {
        recorder.setGopSize(*o.gopSize);
    }
    recorder.setMouseShow(o.mouseShow, o.clickEffects ? 1 : 0, o.highlight ? 1 : 0,
                          o.mouseSizePercent);
    if (o.text) {
        // The recorder keeps the pointers; the options outlive it.
        recorder.setText(o.font.c_str(), o.text->c_str(), static_cast<float>(o.textX),
                         static_cast<float>(o.textY), o.textRed, o.textGreen, o.textBlue, 0);
    }
    if (!o.h264Only) {
        recorder.setAudioMode(o.audioMode);
        if (o.audioFile) {
            recorder.setAudioFile(o.audioFile->c_str());
        }
    }
    if (o.mp3File) {
        recorder.setMp3FileName(o.mp3File->c_str());
    }
    return true;
}

// Empty when the font of the --text can be read; otherwise why not. The library would record
// without the text and only log it, which a person asking for the text would not notice.
std::string CheckFont(const CliOptions& o) {
    if (!o.text) {
        return "";
    }
    FILE* f = std::fopen(o.font.c_str(), "rb");
    if (!f) {
        return "--font: cannot read '" + o.font + "': " + std::strerror(errno);
    }
    std::fclose(f);
    return "";
}

// Empty when the --audio-file can be read; the library would record a silent track and only
// log why.
std::string CheckAudioFile(const CliOptions& o) {
    if (!o.audioFile) {
        return "";
    }
    FILE* f = std::fopen(o.audioFile->c_str(), "rb");
    if (!f) {
        return "--audio-file: cannot read '" + *o.audioFile + "': " + std::strerror(errno);
    }
    std::fclose(f);
    return "";
}

// The library loads the effect icons from "mouseeffect/" beside this program; without them it
// records without the effects, which is worth a word before a long recording.
void NoteMissingIcons(const CliOptions& o) {
    const std::string dir = ExecutableDirectory() + "mouseeffect/";
    const char* icon = o.highlight ? "highlight.ico" : "clickEffect_L0.ico";
    if (!o.quiet && (o.highlight || o.clickEffects) && access((dir + icon).c_str(), R_OK) != 0) {
        std::fprintf(stderr, "vistrec: note: no %s in %s: recording without that effect\n", icon,
                     dir.c_str());
    }
}

int Run(const CliOptions& o, const sigset_t& signals) {
    std::string fontProblem = CheckFont(o);
    if (fontProblem.empty()) {
        fontProblem = CheckAudioFile(o);
    }
    if (!fontProblem.empty()) {
        PrintError(fontProblem);
        return kExitUsage;
    }
    CreateLogFolder();
    DisplayCheckResult display = CheckDisplay(o);
    if (display.exitCode != 0) {
        PrintError(display.error);
        return display.exitCode;
    }
    std::string writable = CheckOutputWritable(o.outputFile);
    if (!writable.empty()) {
        PrintError(writable);
        return kExitFailure;
    }
    // The recorder replaces the file anyway; removing it first means a recording that fails to
    // open its output cannot be mistaken for the previous file. Where the folder forbids
    // removal the recorder still overwrites the file in place.
    std::remove(o.outputFile.c_str());

    const int fps = o.fps;

    // Every audio mode of the MP4 recorder records sound; all but a sound file's come from the
    // sound server.
    const bool capturesSound = !o.h264Only;
    if (capturesSound && !o.audioFile) {
        std::string unreachable = CheckSoundServer();
        if (!unreachable.empty()) {
            PrintError("no sound server reachable (" + unreachable +
                       "): recording video with a silent sound track");
        }
    }
    // Made before the recorder, which opens it on construction, and removed after it.
    std::unique_ptr<HostLevelBlock> levelBlock = capturesSound ? OpenLevelBlock(o.quiet) : nullptr;

    // Outlives the recorder, which may call it until stopRecord returns.
    RecordEndFlag endFlag;
    HWND host = reinterpret_cast<HWND>(static_cast<uintptr_t>(o.window));
    std::unique_ptr<IRecordMp4> recorder = vistrec::internal::CreateRecorder(host, o.h264Only);
    if (!recorder) {
        PrintError("the library could not create a recorder");
        return kExitFailure;
    }
    const std::optional<Region> area = CaptureArea(o, Region{0, 0, display.width, display.height});
    if (!ConfigureRecorder(*recorder, o, area, &endFlag)) {
        PrintError("the library did not take the frame rate or crf");
        return kExitFailure;
    }

    NoteMissingIcons(o);
    // Reports each button press to the recorder until the recording ends; stopped before the
    // recorder goes.
    ButtonWatcher buttons;
    if (o.clickEffects) {
        IRecordMp4* r = recorder.get();
        std::string problem = buttons.Start([r](int message) { r->setMouseEvent(message); });
        if (!problem.empty()) {
            PrintError("--click-effects: " + problem);
            return kExitFailure;
        }
    }

    StatusPrinter status(!o.quiet && isatty(STDERR_FILENO));
    if (!o.quiet) {
        std::string what = o.followTarget ? "the target window's monitor"
                                          : "monitor " + std::to_string(o.display.value_or(1));
        if (area) {
            what = std::to_string(area->width) + "x" + std::to_string(area->height) + "+" +
                   std::to_string(area->x) + "+" + std::to_string(area->y);
        }
        std::fprintf(stderr, "vistrec: recording %s of display %s to '%s' at %d fps%s\n",
                     what.c_str(), std::getenv("DISPLAY"), o.outputFile.c_str(), fps,
                     o.durationSeconds ? "" : "; Ctrl-C stops");
    }

    recorder->startRecord();
    RecordingClock clock(Clock::now());
    bool endedEarly = false;
    const int64_t durationMs =
        o.durationSeconds ? static_cast<int64_t>(*o.durationSeconds * 1000.0 + 0.5) : -1;

    while (true) {
        int64_t elapsed = clock.recordedMs(Clock::now());
        if (durationMs >= 0 && elapsed >= durationMs) {
            break;
        }
        if (endFlag.ended()) {
            endedEarly = true;
            break;
        }
        std::string line =
            StatusLine(elapsed, fps, std::max<int64_t>(FileSize(o.outputFile), 0), clock.paused());
        if (levelBlock) {
            line += "  " + FormatLevelMeter(levelBlock->readLevel());
        }
        status.show(line);
        int64_t wait = kStatusPeriodMs;
        if (durationMs >= 0 && !clock.paused()) {
            wait = std::min(wait, durationMs - elapsed);
        }
        int sig = WaitForSignal(signals, wait);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
            break;
        }
        if (sig == SIGUSR1 && !clock.paused()) {
            recorder->pauseRecord();
            clock.pause(Clock::now());
        } else if (sig == SIGUSR2 && clock.paused()) {
            recorder->resumeRecord();
            clock.resume(Clock::now());
        }
    }

    // From here a second Ctrl-C ends the program at once, abandoning the unfinished file.
    struct sigaction abandon {};
    abandon.sa_handler = AbandonOnSecondInterrupt;
    sigemptyset(&abandon.sa_mask);
    sigaction(SIGINT, &abandon, nullptr);
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    status.show("finishing '" + o.outputFile + "' (Ctrl-C again abandons it)");

    buttons.Stop();
    unsigned int recorded = recorder->stopRecord();
    recorder.reset();
    status.clear();
    if (endedEarly) {
        PrintError("the recorder ended the recording by itself (see " + ExecutableDirectory() +
                   "log/record.log)");
    }

    int64_t bytes = FileSize(o.outputFile);
    if (bytes < 0) {
        PrintError("no file was written to '" + o.outputFile + "' (see " + ExecutableDirectory() +
                   "log/record.log)");
        return kExitFailure;
    }
    if (!o.quiet) {
        std::printf("recorded %.3f s to '%s', %s\n", recorded / 1000.0, o.outputFile.c_str(),
                    FormatMegabytes(bytes).c_str());
    }
    MediaReport report = ReadMediaReport(o.outputFile);
    if (!report.error.empty()) {
        PrintError("cannot read back '" + o.outputFile + "': " + report.error);
        return kExitFailure;
    }
    int64_t videoFrames = 0;
    for (const StreamReport& stream : report.streams) {
        if (!o.quiet) {
            std::printf("  %s\n", DescribeStream(stream).c_str());
        }
        if (stream.kind == "video") {
            videoFrames += stream.packets;
        }
    }
    std::fflush(stdout);
    if (videoFrames == 0) {
        PrintError("'" + o.outputFile + "' holds no video frames");
        return kExitFailure;
    }
    return endedEarly ? kExitFailure : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // Block the control signals before the library starts any thread, so that every thread
    // inherits the mask and only the main thread's wait receives them.
    sigset_t signals = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    ParseResult parsed =
        ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), vistrec::VersionText());
    switch (parsed.status) {
        case ParseStatus::Help:
        case ParseStatus::Version:
            std::fputs(parsed.text.c_str(), stdout);
            return kExitOk;
        case ParseStatus::Error:
            std::fprintf(stderr, "vistrec: %s (see vistrec --help)\n", parsed.text.c_str());
            return kExitUsage;
        case ParseStatus::Run:
            break;
    }
    // FFmpeg reports to stderr by default, which would bury the status line under encoder
    // probing and statistics; the library keeps its own log file.
    if (!parsed.options.verbose) {
        av_log_set_level(AV_LOG_FATAL);
    }
    std::atexit(UnlinkLevelBlockAtExit);
    // The library ends the process with quick_exit when no video encoder opens.
    std::at_quick_exit(UnlinkLevelBlockAtExit);
    return Run(parsed.options, signals);
}
