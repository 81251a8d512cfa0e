#include "CliOptions.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>

namespace vistrec_cli {
namespace {

// x264's preset names, fastest first.
const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",   "fast",
                                "medium",    "slow",      "slower",   "veryslow", "placebo"};
// x264's tunes: at most one of the first six (they retune the psychovisual model) may be
// combined with fastdecode and zerolatency.
const char* const kPsyTunes[] = {"film", "animation", "grain", "stillimage", "psnr", "ssim"};
const char* const kOtherTunes[] = {"fastdecode", "zerolatency"};

template <size_t N>
bool Contains(const char* const (&names)[N], const std::string& name) {
    for (const char* n : names) {
        if (name == n) {
            return true;
        }
    }
    return false;
}

template <size_t N>
std::string JoinNames(const char* const (&names)[N]) {
    std::string out;
    for (const char* n : names) {
        out += out.empty() ? "" : " ";
        out += n;
    }
    return out;
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

// Whole-string integer; no sign prefix "+", no blanks, no trailing characters.
bool ParseInt(const std::string& text, int* value) {
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end;
}

// Whole-string decimal number, finite.
bool ParseDouble(const std::string& text, double* value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value, std::chars_format::general);
    return ec == std::errc() && ptr == end && std::isfinite(*value);
}

// Decimal or 0x-prefixed hexadecimal X11 resource id.
bool ParseXid(const std::string& text, unsigned long* value) {
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (text.size() <= start) {
        return false;
    }
    const char* begin = text.data() + start;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, *value, base);
    return ec == std::errc() && ptr == end;
}

std::string IntRangeError(const std::string& option, int lo, int hi, const std::string& got) {
    std::ostringstream out;
    out << option << " needs an integer from " << lo << " to " << hi << ", got " << Quoted(got);
    return out.str();
}

std::string ParseRegion(const std::string& text, Region* region) {
    const std::string error = "--region needs X,Y,W,H (four integers, W and H at least " +
                              std::to_string(kMinRegionSide) + "), got " + Quoted(text);
    int values[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t comma = text.find(',', pos);
        if ((i < 3) != (comma != std::string::npos)) {
            return error;
        }
        std::string part = text.substr(pos, i < 3 ? comma - pos : std::string::npos);
        if (!ParseInt(part, &values[i])) {
            return error;
        }
        pos = comma + 1;
    }
    if (values[0] < 0 || values[1] < 0) {
        return "--region: X and Y must not be negative, got " + Quoted(text);
    }
    if (values[2] < kMinRegionSide || values[3] < kMinRegionSide) {
        return error;
    }
    // The recorder stores the right and bottom edges as 32-bit values.
    if (values[2] > INT32_MAX - values[0] || values[3] > INT32_MAX - values[1]) {
        return "--region lies beyond the coordinate range, got " + Quoted(text);
    }
    *region = Region{values[0], values[1], values[2], values[3]};
    return "";
}

std::string ParseTune(const std::string& text) {
    const std::string error = "--tune needs one of " + JoinNames(kPsyTunes) + " " +
                              JoinNames(kOtherTunes) + " (or several joined by commas), got " +
                              Quoted(text);
    int psyCount = 0;
    size_t pos = 0;
    while (true) {
        size_t comma = text.find(',', pos);
        std::string part = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
        if (Contains(kPsyTunes, part)) {
            ++psyCount;
        } else if (!Contains(kOtherTunes, part)) {
            return error;
        }
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    if (psyCount > 1) {
        return "--tune may combine only one of " + JoinNames(kPsyTunes) +
               " with fastdecode and zerolatency, got " + Quoted(text);
    }
    return "";
}

}  // namespace

bool HasSupportedExtension(const std::string& fileName) {
    size_t slash = fileName.find_last_of('/');
    size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return false;
    }
    // A name that is only an extension (".mp4") has no file name in front of it.
    if (dot == 0 || (slash != std::string::npos && dot == slash + 1)) {
        return false;
    }
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return ext == "mp4" || ext == "mov" || ext == "mkv" || ext == "m4v";
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    CliOptions& o = result.options;
    auto fail = [&result](std::string message) {
        result.status = ParseStatus::Error;
        result.error = std::move(message);
        return result;
    };

    // Options that take a value, each with the rule that stores it; a non-empty return is the
    // error message.
    using Setter = std::function<std::string(const std::string& name, const std::string& v)>;
    auto intSetter = [](int* target, int lo, int hi) {
        return Setter([target, lo, hi](const std::string& name, const std::string& v) {
            int n = 0;
            if (!ParseInt(v, &n) || n < lo || n > hi) {
                return IntRangeError(name, lo, hi, v);
            }
            *target = n;
            return std::string();
        });
    };
    auto optionalIntSetter = [](std::optional<int>* target, int lo, int hi) {
        return Setter([target, lo, hi](const std::string& name, const std::string& v) {
            int n = 0;
            if (!ParseInt(v, &n) || n < lo || n > hi) {
                return IntRangeError(name, lo, hi, v);
            }
            *target = n;
            return std::string();
        });
    };
    const std::map<std::string, Setter> valueOptions = {
        {"--duration",
         [&o](const std::string& name, const std::string& v) {
             double d = 0;
             if (!ParseDouble(v, &d) || d <= 0 || d > kMaxDurationSeconds) {
                 return name + " needs a number of seconds greater than 0, got " + Quoted(v);
             }
             o.durationSeconds = d;
             return std::string();
         }},
        {"--fps",
         [&o, intSetter](const std::string& name, const std::string& v) {
             std::string err = intSetter(&o.fps, kMinFps, kMaxFps)(name, v);
             o.fpsGiven = o.fpsGiven || err.empty();
             return err;
         }},
        {"--quality", optionalIntSetter(&o.quality, kMinQuality, kMaxQuality)},
        {"--region",
         [&o](const std::string&, const std::string& v) {
             Region r;
             std::string err = ParseRegion(v, &r);
             if (err.empty()) {
                 o.region = r;
             }
             return err;
         }},
        {"--display", optionalIntSetter(&o.display, 0, kMaxDisplay)},
        {"--scale",
         [&o](const std::string& name, const std::string& v) {
             double s = 0;
             if (!ParseDouble(v, &s) || s < kMinScale || s > kMaxScale) {
                 std::ostringstream out;
                 out << name << " needs a number from " << kMinScale << " to " << kMaxScale
                     << ", got " << Quoted(v);
                 return out.str();
             }
             o.scale = s;
             return std::string();
         }},
        {"--preset",
         [&o](const std::string& name, const std::string& v) {
             if (!Contains(kPresets, v)) {
                 return name + " needs one of " + JoinNames(kPresets) + ", got " + Quoted(v);
             }
             o.preset = v;
             return std::string();
         }},
        {"--tune",
         [&o](const std::string&, const std::string& v) {
             std::string err = ParseTune(v);
             if (err.empty()) {
                 o.tune = v;
             }
             return err;
         }},
        {"--gop", optionalIntSetter(&o.gopSize, kMinGop, kMaxGop)},
        {"--audio-mode",
         [&o, intSetter](const std::string& name, const std::string& v) {
             std::string err = intSetter(&o.audioMode, 0, kMaxAudioMode)(name, v);
             o.audioModeGiven = o.audioModeGiven || err.empty();
             return err;
         }},
        {"--mouse-show", intSetter(&o.mouseShow, 0, 1)},
        {"--mouse-size", intSetter(&o.mouseSizePercent, kMinMouseSize, kMaxMouseSize)},
        {"--window",
         [&o](const std::string& name, const std::string& v) {
             unsigned long xid = 0;
             if (!ParseXid(v, &xid) || xid == 0 || xid > kMaxXid) {
                 return name + " needs an X11 window id (decimal or 0x hexadecimal), got " +
                        Quoted(v);
             }
             o.window = xid;
             return std::string();
         }},
    };

    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!o.outputFile.empty()) {
                return fail("more than one output file: " + Quoted(o.outputFile) + " and " +
                            Quoted(arg));
            }
            if (arg.empty()) {
                return fail("the output file name is empty");
            }
            o.outputFile = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // Help and version answer at once, as soon as they are reached.
        if (arg == "-h" || arg == "--help") {
            result.status = ParseStatus::Help;
            return result;
        } else if (arg == "--version") {
            result.status = ParseStatus::Version;
            return result;
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "-v" || arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--follow-target") {
            o.followTarget = true;
        } else if (arg == "--h264") {
            o.h264Only = true;
        } else {
            // "--name value" or "--name=value".
            size_t eq = arg.find('=');
            std::string name = arg.substr(0, eq);
            auto it = valueOptions.find(name);
            if (it == valueOptions.end()) {
                return fail("unknown option " + Quoted(name));
            }
            std::string value;
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return fail(name + " needs a value");
            }
            std::string err = it->second(name, value);
            if (!err.empty()) {
                return fail(err);
            }
        }
    }

    if (o.outputFile.empty()) {
        return fail("missing output file (for example: vistrec out.mp4)");
    }
    if (!HasSupportedExtension(o.outputFile)) {
        return fail("cannot write " + Quoted(o.outputFile) +
                    ": the file name must end in .mp4, .mov, .mkv or .m4v");
    }
    // The H.264 recorder records no sound, so a sound source would be silently ignored.
    if (o.h264Only && o.audioModeGiven) {
        return fail("--audio-mode does not apply to --h264, which records no sound");
    }
    result.status = ParseStatus::Run;
    return result;
}

std::string UsageText() {
    return R"(Usage: vistrec [OPTIONS] OUTPUT
Record the X11 screen into OUTPUT (.mp4, .mov, .mkv or .m4v; an existing file
is replaced) until Ctrl-C, SIGTERM or --duration; the file is always finished.

Options:
  --duration SECONDS    stop after SECONDS of recording (pauses not counted)
  --fps N               frame rate, 2 to 30 (default 20). The library takes it
                        only when Vistrel.json beside this program sets
                        "framerate": 0; otherwise it records at that file's
                        rate, at the rate of the --display quality table or
                        at 20 fps (a note says which)
  --quality N           quality level 0 to 3 (library default 0): the encoder's
                        crf and, with --display, the height cap and frame rate:
                        0: 720 lines 10 fps, 1: 1080 lines 20 fps,
                        2: 540 lines 10 fps, 3: 900 lines 20 fps
  --region X,Y,W,H      record only this rectangle, in pixels (W and H at
                        least 4, rounded down to multiples of 4)
  --display N           record monitor N (1-based; 0 or a number above the
                        monitor count: the first) and apply the --quality
                        table. Default: the first monitor, without the table
  --follow-target       record the monitor that holds the target window
                        (WM_CLASS "screenClass" with a "MsoCommandBarDock"
                        child)
  --scale F             capture scale factor, 0.1 to 1. Default: the library's
                        0.75, under which only the top-left 75% of the width
                        and height reach the video when --display is not
                        given; 1 records the whole picture
  --preset NAME         x264 preset, ultrafast ... placebo (default ultrafast)
  --tune NAME           x264 tune, or several joined by commas
                        (default zerolatency)
  --gop N               distance between key frames, 1 to 1000
                        (library default 12)
  --mouse-show N        1 draws the mouse pointer, 0 hides it (default 1)
  --mouse-size PERCENT  pointer size, 10 to 400 percent (default 100)
  --audio-mode N        sound to record (default 1): 1 microphone and playback
                        (what the speakers play) mixed; 2 playback only;
                        0 a single source, which in this build records
                        silence
  --h264                use the video-only H.264 recorder (no sound track)
  --window XID          host X11 window (decimal or 0x hex id); the capture
                        reads that window with the same coordinates
                        (default: none, the whole screen)
  -q, --quiet           no status line, notes or summary; errors and
                        warnings only
  -v, --verbose         also show FFmpeg's own messages (hidden by default)
  -h, --help            show this help and exit
      --version         show the version and exit

Sound comes from the PulseAudio (or PipeWire) server's default source and the
monitor of its default sink. When no sound server answers, a warning says so
and the file gets a silent sound track.

On a terminal, a status line on stderr shows the recorded time, the frames due
at the expected frame rate, the file size and, in audio modes 1 and 2, the
sound level from 0 to 100 ("--" until sound arrives). The library publishes
the level in the shared memory object /voluMem, which vistrec creates and
removes at exit (one that already exists is only read, and left in place).
SIGUSR1 pauses, SIGUSR2 resumes; Ctrl-C, SIGTERM or SIGHUP stop and finish
the file (a second Ctrl-C while it is being finished abandons it). The
finished file is read back and its streams, frame count and duration are
printed. The library logs to log/record.log beside this program; vistrec
creates the log folder.

Exit status: 0 recorded; 1 cannot record (no X display, unwritable output,
recording failed); 2 bad arguments.
)";
}

}  // namespace vistrec_cli
