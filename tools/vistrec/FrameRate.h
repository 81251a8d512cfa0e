// The frame rate the recorder will use for a set of options. The recorder does not report it, so
// the command line works it out from the recorder's documented rules to show frames due and to
// tell the user when --fps does not apply.
#ifndef VISTREC_CLI_FRAMERATE_H
#define VISTREC_CLI_FRAMERATE_H

#include <optional>
#include <string>

#include "CliOptions.h"

namespace vistrec_cli {

// The recorder's own rate when nothing changes it.
constexpr int kLibraryDefaultFps = 20;

// The integer "VISTREL_CONFIG"/"framerate" of the settings file at `path`, or nothing when the
// file is missing, unreadable, not strict JSON, or lacks an integer there.
std::optional<int> ReadConfigFrameRate(const std::string& path);

// Rate after the command line's calls: setQuality, setDisplay (its quality table), then
// setFrameRate(options.fps), which takes the configured rate when there is one and the argument
// only when that rate is 0. `configFrameRate` is what ReadConfigFrameRate found.
int PredictFrameRate(const CliOptions& options, std::optional<int> configFrameRate);

// Why the rate is what PredictFrameRate says, as a short phrase for the user.
std::string FrameRateSource(const CliOptions& options, std::optional<int> configFrameRate);

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_FRAMERATE_H
