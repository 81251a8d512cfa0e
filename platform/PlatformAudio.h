// The sound server as the capture engine sees it: two kinds of device, the name of the current
// default device of a kind, and a capture stream read without blocking. No OS or sound-server
// header may appear here; the Linux backend (PulseAudio) lives in platform/linux.
//
// Errors are the sound server's error codes (0 is success); AudioErrorText explains one. A
// server that went away or a device that was removed shows up as a failing Readable or Read.
#ifndef VISTREC_PLATFORM_PLATFORMAUDIO_H
#define VISTREC_PLATFORM_PLATFORMAUDIO_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

namespace vistrec {
namespace platform {

enum class AudioDeviceKind {
    kMicrophone,        // the server's default source
    kPlaybackLoopback,  // what the server's default sink plays (its monitor)
};

// How a device keeps its samples.
struct AudioDeviceFormat {
    bool isFloat = false;   // floating-point samples
    int bitsPerSample = 0;  // storage bits of one sample
    int channels = 0;
    int rate = 0;  // frames per second
};

// Name of the server's current default device of a kind (for the playback kind, the default
// sink's name), on a short connection of its own. Returns 0 or an error code. Any thread.
int DefaultAudioDeviceName(AudioDeviceKind kind, std::string* name);

// Readable text for an error code of these functions.
std::string AudioErrorText(int error);

// Raises the calling thread's scheduling priority for audio work where the system permits it.
// Returns 0 or the system's error number; the thread runs on at its old priority on failure.
int RaiseAudioThreadPriority();

// One connection to the sound server carrying at most one record stream. Used by one thread at
// a time (the capture thread); the destructor closes the stream and the connection.
class AudioCaptureStream {
  public:
    virtual ~AudioCaptureStream() = default;

    // Name of the current default device of this stream's kind, asked over this connection.
    virtual int DefaultDeviceName(std::string* name) = 0;
    // The sample format the device keeps (for the playback kind, of the sink's monitor).
    virtual int ReadDeviceFormat(const std::string& device, AudioDeviceFormat* format) = 0;
    // Connects a paused record stream on the device delivering signed 16-bit interleaved
    // samples at rate and channels (the server converts when the device differs). The stream
    // stays on this device: it fails when the device goes away rather than moving.
    virtual int Open(const std::string& device, int rate, int channels) = 0;
    // Starts and pauses the flow of data.
    virtual int Start() = 0;
    virtual int Stop() = 0;
    // Bytes ready to be read now; never blocks.
    virtual int Readable(size_t* bytes) = 0;
    // Copies up to capacity ready bytes (whole frames) into dst and drops them from the
    // stream; *got is 0 when nothing is ready. Never blocks.
    virtual int Read(void* dst, size_t capacity, size_t* got) = 0;
    // When the first frame the last Read returned was captured, on GetMsTime's clock, as the
    // server accounts for it (its own buffering and the device's included);
    // kUnknownCaptureTime when the server cannot tell.
    static constexpr int64_t kUnknownCaptureTime = INT64_MIN;
    virtual int64_t LastReadCaptureTime() const { return kUnknownCaptureTime; }
    // Counts the server's notices that its settings (the default devices among them) changed
    // since the connection was made. Cheap; any thread.
    virtual uint32_t ServerChangeCount() const = 0;
    // Name of the device the open stream records from (for the playback kind, the monitor).
    virtual std::string DeviceName() const = 0;
};

// Connects to the sound server for a capture of the given kind. The server is never started on
// demand: without a running server this fails. The stream it opens receives its sound in pieces
// of about fragmentMs (10 ms suits a reader that drains every 5 ms). Returns 0 and the
// connection, or an error code.
int ConnectAudioCapture(AudioDeviceKind kind, std::unique_ptr<AudioCaptureStream>* out,
                        unsigned fragmentMs = 10);

// Connects the single-microphone recorder's stream: the default microphone, opened in the
// recording format (the system converts), delivered in pieces of 100 ms. Linux records it as
// ConnectAudioCapture does; Windows records it through waveIn's wave mapper, which follows no
// new default device by itself (the recorder reopens on a change).
int ConnectMicrophoneRecorder(std::unique_ptr<AudioCaptureStream>* out);

}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_PLATFORMAUDIO_H
