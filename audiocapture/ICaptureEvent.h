// What a capture engine reports to the object that receives its sound: start, the capture
// format, every packet, the data state, errors and the device name.
#ifndef VISTREC_AUDIOCAPTURE_ICAPTUREEVENT_H
#define VISTREC_AUDIOCAPTURE_ICAPTUREEVENT_H

#include <stdint.h>

#include <string>

// Sample kinds of CaptureFormat::wFormatTag.
constexpr uint16_t kCaptureFormatPcm = 1;    // integer samples
constexpr uint16_t kCaptureFormatFloat = 3;  // 32-bit floating-point samples

// A capture time not known (on GetMsTime's clock, as every capture time here).
constexpr int64_t kUnknownCaptureMs = INT64_MIN;
// Sound that has no capture time because it is not live: it follows the sound handed over
// before it without a gap (a sound file, whose position stands still while the recording is
// paused). It goes into the recording in order as it comes, never moved to a time or dropped.
constexpr int64_t kContinuousSoundMs = INT64_MIN + 1;

// A capture format: interleaved frames of nChannels samples.
struct CaptureFormat {
    uint16_t wFormatTag = kCaptureFormatPcm;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;   // frames per second
    uint32_t nAvgBytesPerSec = 0;  // nBlockAlign x nSamplesPerSec
    uint16_t nBlockAlign = 0;      // bytes per frame
    uint16_t wBitsPerSample = 0;
};

class ICaptureEvent {
  public:
    virtual ~ICaptureEvent() = default;
    // The stream has started; periodMs is the capture thread's tick.
    virtual void OnCaptureStart(uint32_t periodMs) = 0;
    // Not called by the engine.
    virtual void OnCaptureStop() = 0;
    // Once per stream, with the device's format, before the stream opens. The callee may
    // rewrite it; the stream opens with the rewritten rate and channel count and delivers
    // signed 16-bit samples.
    virtual void OnAdjustCaptureFormat(CaptureFormat* format) = 0;
    // Every non-empty packet, on the capture thread, with the time (GetMsTime's clock) its first
    // frame was captured.
    virtual void OnCaptureData(const uint8_t* data, uint32_t bytes, int64_t capturedMs) = 0;
    // Consumer side, not called by the engine.
    virtual int FetchData(uint8_t* out, int bytes, int* got) = 0;
    // true with every packet; false after seven empty ticks and on a device failure.
    virtual void OnDataState(bool flowing) = 0;
    // true when the stream cannot be opened, the device fails or the default device changed;
    // false once the stream has started.
    virtual void OnCaptureError(bool failed) = 0;
    // Once after the start, with the recorded name of the default device (UTF-8).
    virtual void OnDeviceName(std::string name) = 0;
};

#endif  // VISTREC_AUDIOCAPTURE_ICAPTUREEVENT_H
