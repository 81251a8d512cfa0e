// Helpers of the integration tests: child processes (the test scene, xrandr, a re-run of this
// program), an X client of the test display (host windows, window-class targets, client
// messages), decoding of recorded files, reference pictures and picture comparison.
#ifndef VISTREC_TESTS_INTEGRATION_HARNESS_H
#define VISTREC_TESTS_INTEGRATION_HARNESS_H

#include <stdint.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "SceneRender.h"
#include "common/TempDir.h"

namespace it {

struct Bgra;

// ---- time, files, processes ---------------------------------------------------------------

int64_t MonotonicMs();
void SleepMs(int ms);
// Path of this test program, and its directory with a trailing '/'.
std::string ExePath();
std::string ExeDir();
// The shared temporary-folder helper (kept when VISTREC_TEST_KEEP is set).
using TempDir = vistrec::test::TempDir;
// Removes the file when it goes out of scope.
class FileGuard {
  public:
    explicit FileGuard(std::string path) : path_(std::move(path)) {}
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

  private:
    std::string path_;
};
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

// A child process; terminated (SIGTERM, then SIGKILL) and reaped when its owner goes.
class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] (searched in PATH) with the current environment. With captureStdout the
    // child's standard output becomes readable with ReadLine.
    bool Start(const std::vector<std::string>& argv, bool captureStdout);
    // One line of the child's standard output without its line end; false on end of file or
    // after timeoutMs.
    bool ReadLine(std::string* line, int timeoutMs);
    // Waits up to timeoutMs for the child to end; *status gets its wait status and *usage (when
    // given) the resources it used.
    bool Wait(int timeoutMs, int* status, struct rusage* usage = nullptr);
    void Terminate();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
};

// Runs a command to its end (at most timeoutMs); returns its exit status, -1 when it did not
// run or end normally.
int RunCommand(const std::vector<std::string>& argv, int timeoutMs = 20000);

// CPU seconds (user + system) a process has used so far, from /proc/<pid>/stat; -1 if unknown.
double ProcessCpuSeconds(pid_t pid);

// ---- the test scene -----------------------------------------------------------------------

// vistrec-testscene drawing on $DISPLAY; stopped when the owner goes.
class Scene {
  public:
    // Starts the scene at `fps` ticks per second and waits until its first frame is drawn.
    bool Start(int fps, bool flash = false);
    void Stop() { child_.Terminate(); }
    int fps() const { return fps_; }
    // CLOCK_MONOTONIC milliseconds at which the counter was 0.
    int64_t startMs() const { return startMs_; }
    pid_t pid() const { return child_.pid(); }
    testscene::SceneOptions options() const;

  private:
    Child child_;
    int fps_ = 30;
    bool flash_ = false;
    int64_t startMs_ = 0;
};

// ---- an X client of the test display ------------------------------------------------------

struct XMessage {
    std::string type;  // atom name of message_type
    long data[5];
};

// A connection of its own to $DISPLAY, for windows the tests need. Not thread-safe.
class XClient {
  public:
    XClient();
    ~XClient();
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool ok() const { return display_ != nullptr; }
    int screenWidth() const;
    int screenHeight() const;
    // A window of WM_CLASS (instance, windowClass) at (x, y, w, h); a top-level window when
    // parent is 0. Returns its id (0 on failure); it lives until the client goes.
    unsigned long CreateWindow(const std::string& windowClass, int x, int y, int w, int h,
                               unsigned long parent = 0, bool map = true);
    // Client messages that arrived for windows of this client within timeoutMs (returns early
    // once `expected` messages have arrived; 0: wait the whole time).
    std::vector<XMessage> CollectClientMessages(int timeoutMs, size_t expected);
    // The root window's pixels as BGRA; false when they cannot be read.
    bool GrabScreen(Bgra* out);
    // Moves the pointer to (x, y) on the screen.
    void WarpPointer(int x, int y);
    // Flushes requests and waits until the server has handled them.
    void Sync();

  private:
    struct Impl;
    void* display_ = nullptr;
    std::vector<unsigned long> windows_;
};

// ---- decoding ------------------------------------------------------------------------------

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct MediaInfo {
    int streams = 0;
    int videoStreams = 0;
    int audioStreams = 0;
    std::string videoCodec;        // decoder name of the first video stream
    int width = 0, height = 0;     // coded picture size
    double formatDuration = -1.0;  // container duration in seconds (-1: none)
    double videoDuration = -1.0;   // video stream duration in seconds (-1: none)
    double frameRate = 0.0;        // the video stream's nominal frame rate (r_frame_rate)
    int decodedFrames = 0;
    double firstPts = 0.0, lastPts = 0.0;  // of decoded frames, seconds
};

// Opens a media file, describes it and decodes its first video stream, handing every decoded
// picture (converted to YUV 4:2:0 when it is not) with its time stamp in seconds to onFrame.
// False with *error set when the file cannot be opened or has no decodable video.
bool DecodeVideo(const std::string& path, MediaInfo* info,
                 const std::function<void(const AVFrame& yuv, double ptsSeconds)>& onFrame,
                 std::string* error);

// ---- reference pictures and comparison ----------------------------------------------------

// A BGRA picture, tightly packed.
struct Bgra {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * width * 4; }
    const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * 4; }
};

// The part `r` of a picture.
Bgra Crop(const Bgra& source, const testscene::Rect& r);
// A picture scaled to w x h with bicubic filtering (a copy when the size is unchanged).
Bgra ScaleBgra(const Bgra& source, int w, int h);
// A picture converted to YUV 4:2:0 at w x h with the bicubic scaler the recorder uses for its
// encoder pictures.
FramePtr ToYuv420(const Bgra& source, int w, int h);

// Peak signal-to-noise ratio in dB of the luma planes of two pictures of equal size over
// `area` (a w of 0 means the whole picture), leaving out the rectangles in `exclude`.
// 99 dB for identical pictures.
double LumaPsnr(const AVFrame& a, const AVFrame& b, testscene::Rect area = {},
                const std::vector<testscene::Rect>& exclude = {});

// Reads the counter of a decoded picture: tries every counter mark of the scene, mapped by
// `map`. False when none can be read.
bool ReadFrameCounter(const AVFrame& yuv, const testscene::ScreenToImage& map, int screenW,
                      int screenH, uint32_t* counter);

}  // namespace it

#endif  // VISTREC_TESTS_INTEGRATION_HARNESS_H
