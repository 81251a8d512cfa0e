// Text of the live status line and of the end summary.
#ifndef VISTREC_CLI_STATUS_H
#define VISTREC_CLI_STATUS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vistrec_cli {

// "mm:ss.t", tenths truncated; minutes keep counting past 99.
std::string FormatElapsed(int64_t elapsed_ms);

// Frames the recorder has made due after elapsed_ms at fps frames per second: the index of the
// frame due now, counted as the recorder counts it (elapsed x rate / 1000, truncated).
int64_t FramesDue(int64_t elapsed_ms, int fps);

// Bytes as megabytes (10^6 bytes) with two decimals, e.g. "1.25 MB".
std::string FormatMegabytes(int64_t bytes);

// One status line: "REC 01:02.3  frames due 1246 @ 20 fps  1.25 MB", with "PAUSED" in place
// of "REC" while paused.
std::string StatusLine(int64_t elapsed_ms, int fps, int64_t file_bytes, bool paused);

// The sound level as the library publishes it: one to three decimal digits, 0 to 100, at the
// start of the block and ended by a zero byte or by the end of `size`. Anything else (a block
// still zero-filled, a torn or foreign text) gives no level.
std::optional<int> ParseLevelText(const char* text, size_t size);

// Width of the level bar in characters; each stands for 10 level points.
constexpr int kLevelBarWidth = 10;

// "level [###       ] 31": the bar filled in proportion (rounded to the nearest tenth), then
// the number; "level [          ] --" without a level.
std::string FormatLevelMeter(std::optional<int> level);

// Recorded time of a run: time since the start minus the pauses, as the recorder counts it.
// The caller passes the current time, so the rules can be tested with made-up times.
class RecordingClock {
  public:
    using Clock = std::chrono::steady_clock;

    explicit RecordingClock(Clock::time_point start) : start_(start) {}

    // Starts a pause; no effect while already paused.
    void pause(Clock::time_point now);
    // Ends the pause; no effect while running.
    void resume(Clock::time_point now);
    bool paused() const { return paused_; }
    // Milliseconds recorded up to `now`; frozen while paused.
    int64_t recordedMs(Clock::time_point now) const;

  private:
    Clock::time_point start_;
    Clock::duration pausedTotal_{0};
    Clock::time_point pauseStart_{};
    bool paused_ = false;
};

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_STATUS_H
