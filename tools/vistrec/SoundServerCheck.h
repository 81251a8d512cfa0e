// Check before recording sound: is a PulseAudio (or PipeWire) sound server reachable?
#ifndef VISTREC_CLI_SOUNDSERVERCHECK_H
#define VISTREC_CLI_SOUNDSERVERCHECK_H

#include <string>

namespace vistrec_cli {

// How long the server may take to accept the connection. A local server answers within
// milliseconds; a hung one must not hold the recording back for long.
constexpr int kSoundServerTimeoutMs = 2000;

// Connects to the server the environment names (PULSE_SERVER, the user's runtime folder),
// without starting one, as the library does. Empty when the server accepted the connection
// within timeout_ms; otherwise a short reason, e.g. "Connection refused".
std::string CheckSoundServer(int timeout_ms = kSoundServerTimeoutMs);

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_SOUNDSERVERCHECK_H
