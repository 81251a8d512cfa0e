#include "Status.h"

#include <algorithm>
#include <cstdio>

namespace vistrec_cli {

std::string FormatElapsed(int64_t elapsed_ms) {
    if (elapsed_ms < 0) {
        elapsed_ms = 0;
    }
    int64_t tenths = elapsed_ms / 100;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", static_cast<long long>(tenths / 600),
                  static_cast<long long>(tenths / 10 % 60), static_cast<long long>(tenths % 10));
    return text;
}

int64_t FramesDue(int64_t elapsed_ms, int fps) {
    if (elapsed_ms < 0 || fps <= 0) {
        return 0;
    }
    return elapsed_ms * fps / 1000;
}

std::string FormatMegabytes(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes < 0 ? 0 : bytes) / 1e6);
    return text;
}

std::string StatusLine(int64_t elapsed_ms, int fps, int64_t file_bytes, bool paused) {
    std::string line = paused ? "PAUSED " : "REC ";
    line += FormatElapsed(elapsed_ms);
    line += "  frames due " + std::to_string(FramesDue(elapsed_ms, fps)) + " @ " +
            std::to_string(fps) + " fps";
    line += "  " + FormatMegabytes(file_bytes);
    return line;
}

std::optional<int> ParseLevelText(const char* text, size_t size) {
    constexpr size_t kMaxDigits = 3;
    int value = 0;
    size_t digits = 0;
    for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
        if (text[i] < '0' || text[i] > '9' || ++digits > kMaxDigits) {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    if (digits == 0 || value > 100) {
        return std::nullopt;
    }
    return value;
}

std::string FormatLevelMeter(std::optional<int> level) {
    std::string bar(kLevelBarWidth, ' ');
    if (level) {
        const auto filled =
            static_cast<size_t>((std::clamp(*level, 0, 100) * kLevelBarWidth + 50) / 100);
        bar.replace(0, filled, filled, '#');
    }
    return "level [" + bar + "] " + (level ? std::to_string(*level) : std::string("--"));
}

void RecordingClock::pause(Clock::time_point now) {
    if (!paused_) {
        paused_ = true;
        pauseStart_ = now;
    }
}

void RecordingClock::resume(Clock::time_point now) {
    if (paused_) {
        paused_ = false;
        pausedTotal_ += now - pauseStart_;
    }
}

int64_t RecordingClock::recordedMs(Clock::time_point now) const {
    Clock::time_point end = paused_ ? pauseStart_ : now;
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start_ - pausedTotal_)
        .count();
}

}  // namespace vistrec_cli
