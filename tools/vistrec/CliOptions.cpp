#include "CliOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <sstream>

#include <CLI/CLI.hpp>

namespace vistrec_cli {
namespace {

// x264's preset names, fastest first.
const std::vector<std::string> kPresets = {"ultrafast", "superfast", "veryfast", "faster",
                                           "fast",      "medium",    "slow",     "slower",
                                           "veryslow",  "placebo"};
// x264's tunes: at most one of the first six (they retune the psychovisual model) may be
// combined with fastdecode and zerolatency.
const std::vector<std::string> kPsyTunes = {"film",       "animation", "grain",
                                            "stillimage", "psnr",      "ssim"};
const std::vector<std::string> kOtherTunes = {"fastdecode", "zerolatency"};

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

// Whole-string integer; no sign prefix "+", no blanks, no trailing characters.
bool ParseInt(const std::string& text, int* value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return !text.empty() && ec == std::errc() && ptr == end;
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

// Decimal or 0x-prefixed hexadecimal X11 resource id, 1 to kMaxXid.
bool ParseXid(const std::string& text, unsigned long* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.data() + (hex ? 2 : 0);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, *value, hex ? 16 : 10);
    return begin != end && ec == std::errc() && ptr == end && *value != 0 && *value <= kMaxXid;
}

// Empty when `text` is a usable region (stored in *region); otherwise what is wrong.
std::string ParseRegion(const std::string& text, Region* region) {
    const std::string shape =
        "needs X,Y,W,H (four integers, W and H at least " + std::to_string(kMinRegionSide) + ")";
    int values[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t comma = text.find(',', pos);
        if ((i < 3) != (comma != std::string::npos)) {
            return shape;
        }
        if (!ParseInt(text.substr(pos, i < 3 ? comma - pos : std::string::npos), &values[i])) {
            return shape;
        }
        pos = comma + 1;
    }
    if (values[0] < 0 || values[1] < 0) {
        return "X and Y must not be negative";
    }
    if (values[2] < kMinRegionSide || values[3] < kMinRegionSide) {
        return shape;
    }
    // The recorder stores the right and bottom edges as 32-bit values.
    if (values[2] > INT32_MAX - values[0] || values[3] > INT32_MAX - values[1]) {
        return "lies beyond the coordinate range";
    }
    *region = Region{values[0], values[1], values[2], values[3]};
    return "";
}

// Empty when `text` is "X,Y" with both in 0..kMaxTextPos (stored in *x, *y).
std::string ParseTextPos(const std::string& text, int* x, int* y) {
    const size_t comma = text.find(',');
    int a = -1, b = -1;
    if (comma == std::string::npos || !ParseInt(text.substr(0, comma), &a) ||
        !ParseInt(text.substr(comma + 1), &b) || a < 0 || b < 0 || a > kMaxTextPos ||
        b > kMaxTextPos) {
        return "needs X,Y (two integers from 0 to " + std::to_string(kMaxTextPos) + ")";
    }
    *x = a;
    *y = b;
    return "";
}

// Empty when `text` is a colour RRGGBB in hexadecimal, '#' in front allowed (stored in *rgb).
std::string ParseColour(const std::string& text, uint32_t* rgb) {
    const std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, *rgb, 16);
    if (digits.size() != 6 || ec != std::errc() || ptr != end) {
        return "needs a colour RRGGBB (six hexadecimal digits, e.g. FFFF00 for yellow)";
    }
    return "";
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += (out.empty() ? "" : " ") + n;
    }
    return out;
}

// Empty when `text` is one tune or several joined by commas that x264 accepts together.
std::string CheckTune(const std::string& text) {
    int psyCount = 0;
    std::stringstream parts(text + ",");  // so that a trailing comma gives an empty name
    std::string part;
    while (std::getline(parts, part, ',')) {
        if (Contains(kPsyTunes, part)) {
            ++psyCount;
        } else if (!Contains(kOtherTunes, part)) {
            return "needs one of " + JoinNames(kPsyTunes) + " " + JoinNames(kOtherTunes) +
                   " (or several joined by commas)";
        }
    }
    if (psyCount > 1) {
        return "may combine only one of " + JoinNames(kPsyTunes) +
               " with fastdecode and zerolatency";
    }
    return "";
}

// True when the file name ends in an extension the recorder can write (.mp4 .mov .mkv .m4v,
// any letter case) and has a name in front of it.
bool HasSupportedExtension(const std::string& fileName) {
    size_t slash = fileName.find_last_of('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || dot <= base) {
        return false;
    }
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return ext == "mp4" || ext == "mov" || ext == "mkv" || ext == "m4v";
}

// A check of one option's text: `problem` returns what is wrong with it, empty when it is
// fine. CLI11 puts the option's name in front of the message.
CLI::Validator Check(std::function<std::string(const std::string&)> problem) {
    return CLI::Validator(
        [problem](std::string& text) {
            std::string error = problem(text);
            return error.empty() ? error : error + ", got " + Quoted(text);
        },
        "");
}

CLI::Validator IntIn(int lo, int hi) {
    return Check([lo, hi](const std::string& text) {
        int n = 0;
        return ParseInt(text, &n) && n >= lo && n <= hi
                   ? std::string()
                   : "needs an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
    });
}

CLI::Validator NumberIn(double lo, double hi, const std::string& rule) {
    return Check([lo, hi, rule](const std::string& text) {
        double d = 0;
        return ParseDouble(text, &d) && d >= lo && d <= hi ? std::string() : rule;
    });
}

// An option of type T whose value goes into an optional.
template <typename T>
CLI::Option* AddOptional(CLI::App& app, const std::string& name, std::optional<T>* target,
                         const std::string& help) {
    return app.add_option_function<T>(
        name, [target](const T& value) { *target = value; }, help);
}

const char* const kFooter = R"(
Without --region, --display or --follow-target the whole X screen is recorded
(every monitor), or the whole --window.

SIGUSR1 pauses, SIGUSR2 resumes; Ctrl-C, SIGTERM or SIGHUP stop and finish the
file (a second Ctrl-C while it is being finished abandons it). On a terminal a
status line shows the recorded time, frames due, file size and the sound
level that the library publishes in /voluMem. Sound
comes from the PulseAudio (or PipeWire) server's default source and the
monitor of its default sink; without a server the file gets a silent sound
track. The library logs to log/record.log beside this program.

Exit status: 0 recorded; 1 cannot record (no X display, unwritable output,
recording failed); 2 bad arguments.)";

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args, const std::string& version) {
    ParseResult result;
    CliOptions& o = result.options;

    CLI::App app(
        "Record the X11 screen into OUTPUT (.mp4, .mov, .mkv or .m4v; an existing\n"
        "file is replaced) until Ctrl-C, SIGTERM or --duration.",
        "vistrec");
    app.get_formatter()->column_width(25);
    app.footer(kFooter);
    app.set_version_flag("--version", "vistrec " + version);

    app.add_option("OUTPUT", o.outputFile, "the video file to write");
    AddOptional(app, "--duration", &o.durationSeconds,
                "stop after SECONDS of recording (pauses not counted)")
        ->type_name("SECONDS")
        ->check(NumberIn(1e-3, kMaxDurationSeconds, "needs a number of seconds, at least 0.001"));
    app.add_option("--fps", o.fps,
                   "frames per second, 2 to 30 (Vistrel.json's rate does\nnot apply here)")
        ->type_name("N")
        ->capture_default_str()
        ->check(IntIn(kMinFps, kMaxFps));
    AddOptional(app, "--crf", &o.crf,
                "H.264 constant-quality factor, 0 to 51: lower is\nsharper and larger (default " +
                    std::to_string(kDefaultCrf) + ";\nwith --quality, that level's)")
        ->type_name("N")
        ->check(IntIn(0, kMaxCrf));
    AddOptional(app, "--quality", &o.quality,
                "the library's quality level 0 to 3: its crf (40, 23,\n44, 30) unless --crf "
                "is given and, with --display, its\nheight cap (720, 1080, 540, 900 lines)")
        ->type_name("N")
        ->check(IntIn(0, kMaxQuality));
    app.add_option_function<std::string>(
           "--region",
           [&o](const std::string& text) {
               Region region;
               ParseRegion(text, &region);
               o.region = region;
           },
           "record only this rectangle, 1:1 (W and H at least 4,\nrounded down to multiples of 4)")
        ->type_name("X,Y,W,H")
        ->check(Check([](const std::string& text) {
            Region unused;
            return ParseRegion(text, &unused);
        }));
    AddOptional(app, "--display", &o.display,
                "record monitor N (1-based; 0 or a number above the\nmonitor count: the first)")
        ->type_name("N")
        ->check(IntIn(0, kMaxDisplay));
    app.add_flag("--follow-target", o.followTarget,
                 "record the monitor that holds the target window\n(WM_CLASS \"screenClass\" "
                 "with a \"MsoCommandBarDock\"\nchild)");
    app.add_option("--scale", o.scale, "capture scale factor, 0.1 to 1")
        ->type_name("F")
        ->capture_default_str()
        ->check(NumberIn(kMinScale, kMaxScale, "needs a number from 0.1 to 1"));
    app.add_option("--preset", o.preset, "x264 preset, ultrafast ... placebo")
        ->type_name("NAME")
        ->capture_default_str()
        ->check(Check([](const std::string& text) {
            return Contains(kPresets, text) ? "" : "needs one of " + JoinNames(kPresets);
        }));
    app.add_option("--tune", o.tune, "x264 tune, or several joined by commas")
        ->type_name("NAME")
        ->capture_default_str()
        ->check(Check(CheckTune));
    AddOptional(app, "--gop", &o.gopSize, "distance between key frames (library default 12)")
        ->type_name("N")
        ->check(IntIn(1, kMaxGop));
    app.add_option("--mouse-show", o.mouseShow, "1 draws the mouse pointer, 0 hides it")
        ->type_name("N")
        ->capture_default_str()
        ->check(IntIn(0, 1));
    app.add_option("--mouse-size", o.mouseSizePercent, "pointer size, 10 to 400 percent")
        ->type_name("PERCENT")
        ->capture_default_str()
        ->check(IntIn(kMinMouseSize, kMaxMouseSize));
    app.add_option("--audio-mode", o.audioMode,
                   "sound to record: 1 microphone and playback mixed;\n2 playback only; "
                   "0 the microphone alone")
        ->type_name("N")
        ->capture_default_str()
        ->check(IntIn(0, kMaxAudioMode));
    app.add_option("--audio-file", o.audioFile,
                   "sound file (any format FFmpeg reads) recorded as the\nsound track instead of "
                   "the microphone; implies\n--audio-mode 0")
        ->type_name("FILE");
    app.add_flag("--h264", o.h264Only, "use the video-only H.264 recorder (no sound track)");
    app.add_option_function<std::string>(
           "--mp3", [&o](const std::string& file) { o.mp3File = file; },
           "also write the recorded sound to this MP3 file\n(16 kHz mono)")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--window", [&o](const std::string& text) { ParseXid(text, &o.window); },
           "host X11 window (decimal or 0x hex id), read at the\nsame coordinates")
        ->type_name("XID")
        ->check(Check([](const std::string& text) {
            unsigned long xid = 0;
            return ParseXid(text, &xid) ? "" : "needs an X11 window id (decimal or 0x hex)";
        }));
    app.add_flag("--click-effects", o.clickEffects,
                 "draw a ring where a pointer button is pressed\n(orange: left, blue: right)");
    app.add_flag("--highlight", o.highlight, "draw a translucent yellow disc under the pointer");
    app.add_option_function<std::string>(
           "--text", [&o](const std::string& text) { o.text = text; },
           "draw this line of text (UTF-8) into every frame,\n20 pixels high at half opacity")
        ->type_name("TEXT")
        ->check(
            Check([](const std::string& text) { return text.empty() ? "needs some text" : ""; }));
    app.add_option("--font", o.font,
                   std::string("font file of the --text (default\n") + kDefaultFont + ")")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--text-pos", [&o](const std::string& text) { ParseTextPos(text, &o.textX, &o.textY); },
           "where the --text starts: column X, and row Y that the\nglyphs stand on (default " +
               std::to_string(kDefaultTextX) + "," + std::to_string(kDefaultTextY) + ")")
        ->type_name("X,Y")
        ->check(Check([](const std::string& text) {
            int x = 0, y = 0;
            return ParseTextPos(text, &x, &y);
        }));
    app.add_option_function<std::string>(
           "--text-color",
           [&o](const std::string& text) {
               uint32_t rgb = 0;
               ParseColour(text, &rgb);
               o.textRed = static_cast<uint8_t>(rgb >> 16);
               o.textGreen = static_cast<uint8_t>(rgb >> 8);
               o.textBlue = static_cast<uint8_t>(rgb);
           },
           "colour of the --text (default FFFFFF, white)")
        ->type_name("RRGGBB")
        ->check(Check([](const std::string& text) {
            uint32_t rgb = 0;
            return ParseColour(text, &rgb);
        }));
    app.add_flag("-q,--quiet", o.quiet, "no status line, notes or summary; errors only");
    app.add_flag("-v,--verbose", o.verbose, "also show FFmpeg's own messages");

    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        result.status = ParseStatus::Help;
        result.text = app.help();
        return result;
    } catch (const CLI::CallForVersion& e) {
        result.status = ParseStatus::Version;
        result.text = std::string(e.what()) + "\n";
        return result;
    } catch (const CLI::ParseError& e) {
        result.text = e.what();
        return result;
    }

    if (o.outputFile.empty()) {
        result.text = "missing output file (for example: vistrec out.mp4)";
        return result;
    }
    if (!HasSupportedExtension(o.outputFile)) {
        result.text = "cannot write " + Quoted(o.outputFile) +
                      ": the file name must end in .mp4, .mov, .mkv or .m4v";
        return result;
    }
    // The H.264 recorder records no sound, so a sound source would be silently ignored.
    if (o.h264Only && app.count("--audio-mode") > 0) {
        result.text = "--audio-mode does not apply to --h264, which records no sound";
        return result;
    }
    // The sound file is the single source of audio mode 0.
    if (o.audioFile && (o.h264Only || (app.count("--audio-mode") > 0 && o.audioMode != 0))) {
        result.text = o.h264Only ? "--audio-file does not apply to --h264, which records no sound"
                                 : "--audio-file needs --audio-mode 0";
        return result;
    }
    if (o.audioFile)
        o.audioMode = 0;
    if (o.h264Only && o.mp3File) {
        result.text = "--mp3 does not apply to --h264, which records no sound";
        return result;
    }
    // The video-only recorder does not load the effect icons.
    if (o.h264Only && (o.clickEffects || o.highlight)) {
        result.text = std::string(o.clickEffects ? "--click-effects" : "--highlight") +
                      " does not apply to --h264, which draws no pointer effects";
        return result;
    }
    for (const char* name : {"--font", "--text-pos", "--text-color"}) {
        if (!o.text && app.count(name) > 0) {
            result.text = std::string(name) + " applies only with --text";
            return result;
        }
    }
    if (!o.crf && !o.quality) {
        o.crf = kDefaultCrf;
    }
    result.status = ParseStatus::Run;
    return result;
}

}  // namespace vistrec_cli
