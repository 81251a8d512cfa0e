// Command line of the vistrec recorder: the options struct and the parser. Parsing is pure (no
// file system, no display) so that every rule of ours can be unit-tested.
#ifndef VISTREC_CLI_CLIOPTIONS_H
#define VISTREC_CLI_CLIOPTIONS_H

#include <stdint.h>

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

// The command line's own defaults; the library's stay as they are for its other hosts.
// 30 fps keeps scrolling and the pointer smooth; the library's 20 looks jerky on a screen.
constexpr int kDefaultFps = 30;
// Screen content is mostly text with hard edges, which blurs first as the crf rises. 23 keeps
// it crisp with the ultrafast preset (which drops the encoder's finer tools): on a scrolling
// page of text it gave 53 dB PSNR against 49 dB at 28, for 19 % more bytes.
constexpr int kDefaultCrf = 23;

// Text overlay defaults: Debian's DejaVu Sans, near the top-left corner (y is the row the
// glyphs stand on, so 30 leaves the 20-pixel glyphs 10 pixels below the edge).
constexpr const char* kDefaultFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr int kDefaultTextX = 10;
constexpr int kDefaultTextY = 30;

// Every setting of one run. An unset optional means "do not call the setter": the library's
// own default applies.
struct CliOptions {
    std::string outputFile;
    std::optional<double> durationSeconds;
    int fps = kDefaultFps;   // forced on the recorder, whatever Vistrel.json says
    std::optional<int> crf;  // unset only with --quality and no --crf: the level's crf
    std::optional<int> quality;
    // Unset without --region: the whole screen (or --window's window), unless --display or
    // --follow-target pick a monitor.
    std::optional<Region> region;
    std::optional<int> display;
    bool followTarget = false;
    double scale = 1.0;
    // The recorder keeps the pointers, so these strings must not change while recording.
    std::string preset = "ultrafast";
    std::string tune = "zerolatency";
    std::optional<int> gopSize;
    int mouseShow = 1;
    int mouseSizePercent = 100;
    bool h264Only = false;
    // 0 the microphone alone (or the --audio-file), 1 microphone and playback mixed, 2 playback
    // only.
    int audioMode = 1;
    // A sound file played into the recording in audio mode 0 instead of the microphone; unset:
    // none.
    std::optional<std::string> audioFile;
    // --mp3: an MP3 copy of the recorded sound; unset: none.
    std::optional<std::string> mp3File;
    unsigned long window = 0;   // host X11 window id; 0: none
    bool clickEffects = false;  // watch the pointer buttons and draw a ring at each press
    bool highlight = false;     // a translucent disc under the pointer
    // One line of text drawn into every frame; unset: none. The font must be readable, which
    // the program checks before recording (the library would only log and leave the text out).
    std::optional<std::string> text;
    std::string font = kDefaultFont;
    int textX = kDefaultTextX;
    int textY = kDefaultTextY;  // the row the glyphs stand on
    uint8_t textRed = 255, textGreen = 255, textBlue = 255;
    bool quiet = false;
    bool verbose = false;  // let FFmpeg print its own messages
};

enum class ParseStatus { Run, Help, Version, Error };

struct ParseResult {
    ParseStatus status = ParseStatus::Error;
    CliOptions options;
    std::string text;  // Help and Version: what to print; Error: one line naming the option
};

// Parses the arguments that follow the program name; `version` is shown by --version.
ParseResult ParseCommandLine(const std::vector<std::string>& args, const std::string& version);

// Limits of the numeric options we enforce, shared by the parser and the tests.
constexpr int kMinFps = 2;
constexpr int kMaxFps = 30;  // the recorder's upper limit
constexpr int kMaxCrf = 51;
constexpr int kMaxQuality = 3;
constexpr int kMaxDisplay = 255;
constexpr double kMinScale = 0.1;
constexpr double kMaxScale = 1.0;  // above 1 the recorder would read past the captured image
constexpr int kMaxGop = 1000;
constexpr int kMinMouseSize = 10;
constexpr int kMaxMouseSize = 400;
constexpr int kMaxAudioMode = 2;
constexpr int kMaxTextPos = 32767;           // X11 coordinates are 16-bit
constexpr double kMaxDurationSeconds = 1e7;  // keeps millisecond arithmetic far from overflow
// Every rounding in the recorder works in multiples of 4 pixels, so a narrower region is empty.
constexpr int kMinRegionSide = 4;
// X11 resource ids use the low 29 bits.
constexpr unsigned long kMaxXid = 0x1FFFFFFFUL;

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_CLIOPTIONS_H
