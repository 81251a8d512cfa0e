// Crash-safe MP4 output. While a recording runs, the MP4 muxer writes self-contained fragments
// (a header with an empty index, then a fragment at every key frame and at least every second),
// so a file cut off at any moment plays up to its last complete fragment. Fragmented files are
// not seekable, and show no duration, in some players; a recording that ends normally is
// therefore rewritten into an ordinary MP4 with its index at the front, in a temporary file
// beside it that then replaces it. When that cannot be done (a full disk) the fragmented file
// stays, which plays.
#ifndef VISTREC_SRC_CRASHSAFEMP4_H
#define VISTREC_SRC_CRASHSAFEMP4_H

#include <string>
#include <vector>

extern "C" {
#include <libavutil/dict.h>
}

namespace crashsafe {

// Longest stretch a fragment holds, in microseconds: a kill loses at most this much and the
// sound or pictures the muxer still waits to interleave.
constexpr int kFragmentMicroseconds = 1000000;

// Muxer options that make an MP4 muxer write fragments (other muxers leave them unused).
void AddFragmentOptions(AVDictionary** options);
// After avformat_write_header with those options: whether the muxer took them, i.e. writes
// fragments.
bool FragmentOptionsTaken(const AVDictionary* options);

// The temporary file a finished recording is rewritten into.
std::string FinishingPath(const std::string& path);
// Removes the temporary file a rewrite cut short (the host killed meanwhile) left beside `path`.
void RemoveLeftover(const std::string& path);

// Rewrites the fragmented MP4 at `path` into an ordinary one with the index at the front and
// puts it in its place. `leadSamples[i]` is the encoder delay of stream i in samples at its
// sample rate (the AAC encoder's priming frame): the fragments start every stream at zero, the
// ordinary file starts that stream so much earlier and marks the delay to be skipped, as a
// file written in one pass does. Returns false (with a log line) when the fragmented file stays.
bool FinishFragmentedMp4(const std::string& path, const std::vector<int>& leadSamples);

}  // namespace crashsafe

#endif
