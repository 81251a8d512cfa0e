// A single sound source for audio mode 0: it delivers 16-bit signed mono PCM at 16000 Hz into a
// buffer from which the audio pump takes 3200-byte (100 ms) blocks. Implemented by the
// microphone recorder and by the sound-file source.
#ifndef VISTREC_AUDIOCAPTURE_IDSOUNDRECORDER_H
#define VISTREC_AUDIOCAPTURE_IDSOUNDRECORDER_H

#include <stdint.h>

#include "audiocapture/ICaptureEvent.h"

class IDSoundRecorder {
  public:
    virtual ~IDSoundRecorder() = default;
    // 16000: the source converts to the pump's format whatever its device or file holds.
    virtual int GetSampleRate() = 0;
    // True once the source has delivered sound.
    virtual bool HasData() = 0;
    // Starts delivering (again, after Stop); true when the source runs.
    virtual bool Start() = 0;
    // Stops delivering and empties the buffer.
    virtual void Stop() = 0;
    // Sets *got (when not null) to 0; when the buffer holds `bytes` or fewer, returns that count
    // and takes nothing; otherwise takes exactly `bytes` into `out`, sets *got = bytes and
    // returns what is left (-1 on a short read). Never blocks.
    virtual int Read(uint8_t* out, int bytes, int* got) = 0;
    // When the first sample the last successful Read took was captured, on the platform's
    // millisecond clock; kUnknownCaptureMs when the source cannot tell, kContinuousSoundMs for
    // a source that is not live (a file).
    virtual int64_t LastReadCaptureMs() const { return kUnknownCaptureMs; }
    // Bytes held in the buffer.
    virtual int GetDataSize() = 0;
    // Empties the buffer.
    virtual void Clear() = 0;
};

#endif
