// Recorded files decoded (pictures, time stamps, scene counters; sound as 16 kHz mono), tones
// and levels measured, test signals, WAV files and reference pictures.
#ifndef VISTREC_TESTS_COMMON_MEDIA_H
#define VISTREC_TESTS_COMMON_MEDIA_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "FFmpegPtr.h"
#include "SceneRender.h"

namespace vistrec {
namespace test {

// Frame timing says something about the code only at full speed: under ThreadSanitizer
// (5-15x slower) and AddressSanitizer (2-3x, on two cores) the timing checks print their
// figures and do not judge; the plain run judges them.
// Rendering the scene's reference picture costs as much under ThreadSanitizer: only every
// kReferenceStride-th frame is compared with it there.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kJudgeTiming = false;
inline constexpr size_t kReferenceStride = 8;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr bool kJudgeTiming = false;
inline constexpr size_t kReferenceStride = 1;
#else
inline constexpr bool kJudgeTiming = true;
inline constexpr size_t kReferenceStride = 1;
#endif
// Seconds a file's length may fall short beyond a check's own tolerance: under ThreadSanitizer
// the first frames come late, so a recording ends on time but starts late.
inline constexpr double kLateStart = kJudgeTiming ? 0.0 : 1.0;

using FramePtr = AVFramePtr;
constexpr int kTrackRate = 16000;  // the recorder's sound format, mono
constexpr double kFullScale = 32767.0;

std::vector<float> Sine(int rate, double seconds, double frequency, double amplitude);
// On for onMs, off for offMs, repeatedly, with 5 ms ramps so that the keying stays narrow-band.
std::vector<float> KeyedSine(int rate, double seconds, double frequency, double amplitude, int onMs,
                             int offMs);
// One tone after the other, each stepSeconds long, joined without a click.
std::vector<float> SteppedSines(int rate, const std::vector<double>& frequencies,
                                double stepSeconds, double amplitude);
// Adds Gaussian white noise of the given RMS, reproducibly.
void AddWhiteNoise(std::vector<float>* signal, double rms, unsigned seed);
// 16-bit samples, `mono` in each of `channels` interleaved channels.
std::vector<int16_t> Pcm16(const std::vector<float>& mono, int channels = 1);
bool WriteWav(const std::string& path, int rate, int channels, const std::vector<float>& mono);
// Peak amplitude (sample units) of `frequency` in n samples at `rate` (Goertzel).
double ToneAmplitude(const int16_t* samples, size_t n, double frequency, double rate);

struct AudioTrack {
    std::string error;  // empty when decoded
    std::string codec;
    int sampleRate = 0, channels = 0;
    double duration = -1.0;  // the stream's, seconds (-1: none)
    int packets = 0;
    int discontinuities = 0;   // packets not starting where the previous one ended
    std::vector<int16_t> pcm;  // 16 kHz mono
    double pcmStart = 0.0;     // file time of pcm[0]

    double pcmEnd() const { return pcmStart + static_cast<double>(pcm.size()) / kTrackRate; }
    // Over [t, t + length) of file time, as fractions of full scale.
    double Tone(double t, double length, double frequency) const;
    double Rms(double t, double length) const;
};
AudioTrack DecodeAudio(const std::string& path);

struct MediaInfo {
    int streams = 0, videoStreams = 0, audioStreams = 0;
    std::string videoCodec;
    int width = 0, height = 0;
    double formatDuration = -1.0, videoDuration = -1.0;  // seconds (-1: none)
    double frameRate = 0.0;                              // r_frame_rate
    int decodedFrames = 0;
};
// Decodes the first video stream, handing each picture with its time in seconds.
bool DecodeVideo(const std::string& path, MediaInfo* info,
                 const std::function<void(const AVFrame& yuv, double pts)>& onFrame,
                 std::string* error);

// The file's figures and its decoded frame count (0 when it does not open).
MediaInfo ProbeVideo(const std::string& path, std::string* error = nullptr);

// A whole-screen, scale-1 recording of the 1920x1080 test scene, frame by frame.
struct VideoTrack {
    std::string error;
    MediaInfo info;
    std::vector<double> pts;
    std::vector<int64_t> counters;  // -1: unreadable
    std::vector<double> flashLuma;  // mean luma of the flash patch

    double MaxGap() const;
    // CLOCK_MONOTONIC ms at which file time 0 was on the screen (median over the counters); -1
    // without counters.
    double WallAtZero(int64_t sceneStartMs, int sceneFps) const;
};
VideoTrack DecodeVideoTrack(const std::string& path);

struct Bgra {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * width * 4; }
    const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * 4; }
};
Bgra Crop(const Bgra& source, const testscene::Rect& r);
Bgra ScaleBgra(const Bgra& source, int w, int h);  // bicubic, as the recorder scales
FramePtr ToYuv420(const Bgra& source, int w, int h);
// Luma PSNR (dB) of two pictures over `area` (w 0: all); 99 for identical pictures.
double LumaPsnr(const AVFrame& a, const AVFrame& b, testscene::Rect area = {});
// The scene counter a picture shows, tried at every counter mark mapped by `map`.
bool ReadFrameCounter(const AVFrame& yuv, const testscene::ScreenToImage& map, int screenW,
                      int screenH, uint32_t* counter);

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_COMMON_MEDIA_H
