// Helpers of the sound tests and the A/V-sync benchmark: test signals written as WAV files,
// decoding of a recording's audio track to 16 kHz mono (with its packet time stamps) and of its
// video track (time stamps, the scene's counters, the flash patch), the file time where the
// recording began on the wall clock, tone measurement over windows of the track, and the
// record streams a sound server lists.
//
// The video helpers expect a whole-screen capture at scale 1 of the 1920x1080 test scene, so
// that screen and picture coordinates agree.
#ifndef VISTREC_TESTS_SOUNDREC_SOUNDANALYSIS_H
#define VISTREC_TESTS_SOUNDREC_SOUNDANALYSIS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "Harness.h"

namespace soundrec {

// The recorder's sound format, which the decoded track is converted to.
constexpr int kTrackRate = 16000;
constexpr double kFullScale = 32767.0;
constexpr int kScreenW = 1920;
constexpr int kScreenH = 1080;

// ---- test signals (samples from -1 to 1) ---------------------------------------------------

// A sine of peak `amplitude`.
std::vector<float> Sine(int rate, double seconds, double frequency, double amplitude);
// A sine switched on for onMs and off for offMs, repeatedly, starting on; 5 ms ramps at each
// edge keep the switching from spreading over the spectrum.
std::vector<float> KeyedSine(int rate, double seconds, double frequency, double amplitude, int onMs,
                             int offMs);
// One sine after the other, each `stepSeconds` long, at `amplitude`; the phase runs on across
// the steps so that they join without a click.
std::vector<float> SteppedSines(int rate, const std::vector<double>& frequencies,
                                double stepSeconds, double amplitude);
// Adds Gaussian white noise of the given RMS (fraction of full scale), reproducibly.
void AddWhiteNoise(std::vector<float>* signal, double rms, unsigned seed);
// A 16-bit PCM WAV file with `mono` in every channel. False when it cannot be written.
bool WriteWav(const std::string& path, int rate, int channels, const std::vector<float>& mono);

// ---- the audio track -----------------------------------------------------------------------

struct AudioTrack {
    std::string error;  // empty when the track was decoded
    std::string codec;  // decoder name
    int sampleRate = 0;
    int channels = 0;
    double duration = -1.0;  // the stream's duration in seconds (-1: none)
    int packets = 0;
    // Packets whose time stamp is not the previous packet's time stamp plus its duration.
    int discontinuities = 0;
    double firstPacketSeconds = 0.0;  // time stamp of the first packet
    double endSeconds = 0.0;          // time stamp plus duration of the last packet
    std::vector<int16_t> pcm;         // the decoded sound, 16 kHz mono
    double pcmStart = 0.0;            // file time of pcm[0] in seconds

    double pcmEnd() const { return pcmStart + static_cast<double>(pcm.size()) / kTrackRate; }
    // Peak amplitude of `frequency` (fraction of full scale) over [t, t + length) of file time;
    // 0 outside the track.
    double Tone(double t, double length, double frequency) const;
    // RMS (fraction of full scale) over [t, t + length).
    double Rms(double t, double length) const;
    // Largest absolute sample over [t, t + length) in sample units.
    int Peak(double t, double length) const;
};

// Stretches of [from, to) (file time, seconds) where a steady signal drops out: runs of 8 ms
// blocks whose RMS is below a quarter of the median block's.
struct Dropout {
    double start = 0.0;
    double length = 0.0;
};
std::vector<Dropout> FindDropouts(const AudioTrack& a, double from, double to);

// Decodes the first audio stream of a file; `error` says why when it could not.
AudioTrack DecodeAudio(const std::string& path);

// ---- the video track -----------------------------------------------------------------------

struct VideoTrack {
    std::string error;  // empty when the track was decoded
    it::MediaInfo info;
    std::vector<double> pts;        // seconds, one per decoded frame
    std::vector<int64_t> counters;  // the scene counter each frame shows, -1 when unreadable
    std::vector<double> flashLuma;  // mean luma of the flash patch per frame

    // Longest distance between the time stamps of consecutive frames, in seconds.
    double MaxGap() const;
    // CLOCK_MONOTONIC milliseconds at which file time 0 was on the screen: from the counters
    // (counter / fps seconds after sceneStartMs), the median over all readable frames, taking
    // each frame as grabbed in the middle of its counter's interval. -1 without counters.
    double WallAtZero(int64_t sceneStartMs, int sceneFps) const;
    int ReadableCounters() const;
};

// Decodes the first video stream of a file, reading the scene's counter and the flash patch's
// brightness of every frame.
VideoTrack DecodeVideoTrack(const std::string& path);

// ---- the sound server's record streams -----------------------------------------------------

struct RecordStream {
    int index = -1;
    int source = -1;  // index of the source it records from
    std::string mediaName;
};

// The record streams in the output of `pactl list source-outputs` (C locale).
std::vector<RecordStream> ParseSourceOutputs(const std::string& pactlList);
// The index of a source named `name` in the output of `pactl list short sources`; -1 if absent.
int SourceIndex(const std::string& pactlShortSources, const std::string& name);

}  // namespace soundrec

#endif  // VISTREC_TESTS_SOUNDREC_SOUNDANALYSIS_H
