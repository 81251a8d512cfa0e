// Reads a finished recording back with libavformat and tells what it really holds: streams,
// packet counts and durations.
#ifndef VISTREC_CLI_MEDIAREPORT_H
#define VISTREC_CLI_MEDIAREPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace vistrec_cli {

struct StreamReport {
    std::string kind;   // "video", "audio", "subtitle", "data" or "other"
    std::string codec;  // FFmpeg codec name
    int width = 0;      // video only
    int height = 0;
    int sampleRate = 0;  // audio only
    int channels = 0;
    int64_t packets = 0;
    // From the first packet's time stamp to the end of the last packet, in seconds.
    double durationSeconds = 0;
};

struct MediaReport {
    std::string error;      // empty when the file was read to its end
    std::string container;  // demuxer name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    std::vector<StreamReport> streams;
};

// Opens `path`, reads every packet and counts them per stream.
MediaReport ReadMediaReport(const std::string& path);

// One line per stream, e.g. "video: h264 1440x808, 100 frames, 5.000 s (20.0 fps)".
std::string DescribeStream(const StreamReport& stream);

}  // namespace vistrec_cli

#endif  // VISTREC_CLI_MEDIAREPORT_H
