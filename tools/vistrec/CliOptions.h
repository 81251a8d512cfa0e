// Command line of the vistrec recorder: the options struct, the parser and the help text.
// Parsing is pure (no file system, no display) so every rule can be unit-tested.
#ifndef VISTREC_CLI_CLIOPTIONS_H
#define VISTREC_CLI_CLIOPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace vistrec_cli {

// A capture rectangle as the user gives it: top-left corner and size in screen pixels.
struct Region {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Every setting of one run. An unset optional means "do not call the setter": the library's
// own default applies.
struct CliOptions {
    std::string outputFile;
    std::optional<double> durationSeconds;
    int fps = 20;  // always handed to setFrameRate
    bool fpsGiven = false;
    std::optional<int> quality;
    std::optional<Region> region;
    std::optional<int> display;
    bool followTarget = false;
    std::optional<double> scale;
    // Always handed to setPreset / setTune; the recorder keeps the pointers, so these strings
    // must not change while recording.
    std::string preset = "ultrafast";
    std::string tune = "zerolatency";
    std::optional<int> gopSize;
    int mouseShow = 1;
    int mouseSizePercent = 100;
    bool h264Only = false;
    // Always handed to setAudioMode: 0 one source (silence in this build), 1 microphone and
    // playback mixed, 2 playback only.
    int audioMode = 1;
    bool audioModeGiven = false;
    unsigned long window = 0;  // host X11 window id; 0: none
    bool quiet = false;
    bool verbose = false;  // let FFmpeg print its own messages
};

enum class ParseStatus { Run, Help, Version, Error };

struct ParseResult {
    ParseStatus status = ParseStatus::Error;
    CliOptions options;
    std::string error;  // one line, without the program name; set when status is Error
};

// Parses the arguments that follow the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// The --help text, ending with a line break.
std::string UsageText();

// True when the file name ends in an extension the recorder can write (.mp4 .mov .mkv .m4v,
// any letter case).
bool HasSupportedExtension(const std::string& fileName);

// Limits of the numeric options, shared by the parser, the help text and the tests.
constexpr int kMinFps = 2;
constexpr int kMaxFps = 30;
constexpr int kMinQuality = 0;
constexpr int kMaxQuality = 3;
constexpr int kMaxDisplay = 255;
constexpr double kMinScale = 0.1;
constexpr double kMaxScale = 1.0;  // above 1 the recorder would read past the captured image
constexpr int kMinGop = 1;
constexpr int kMaxGop = 1000;
constexpr int kMinMouseSize = 10;
constexpr int kMaxMouseSize = 400;
constexpr int kMaxAudioMode = 2;
constexpr double kMaxDurationSeconds = 1e7;  // keeps millisecond arithmetic far from overflow
// Every rounding in the recorder works in multiples of 4 pixels, so a narrower region is empty.
constexpr int kMinRegionSide = 4;
// X11 resource ids use the low 29 bits.
constexpr unsigned long kMaxXid = 0x1FFFFFFFUL;

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_CLIOPTIONS_H
