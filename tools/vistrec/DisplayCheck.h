// Checks against the X server before recording: the display is reachable, the host window
// exists and the region lies on the screen (or in the window).
#ifndef VISTREC_CLI_DISPLAYCHECK_H
#define VISTREC_CLI_DISPLAYCHECK_H

#include <string>

#include "CliOptions.h"

namespace vistrec_cli {

struct DisplayCheckResult {
    int exitCode = 0;   // 0 fine; 1 no usable display; 2 an option does not fit this display
    std::string error;  // one line when exitCode is not 0
    // Size of the area recorded without --region: the whole X screen (every monitor), or the
    // --window's window.
    int width = 0;
    int height = 0;
};

DisplayCheckResult CheckDisplay(const CliOptions& options);

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_DISPLAYCHECK_H
