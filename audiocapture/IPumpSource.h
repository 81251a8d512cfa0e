// What the audio pump needs of one captured sound source (the microphone or the playback
// recorder): whether it runs, whether data flows, its capture format, and the two halves of the
// hand-off (resample one chunk, fetch one block). Implemented by the audio recorders.
#ifndef VISTREC_AUDIOCAPTURE_IPUMPSOURCE_H
#define VISTREC_AUDIOCAPTURE_IPUMPSOURCE_H

#include <stdint.h>

#include "ICaptureEvent.h"

class IPumpSource {
  public:
    virtual ~IPumpSource() = default;
    // True while the source's capture engine has a capture thread.
    virtual bool IsRunning() const = 0;
    // Last data state the engine reported (false after seven empty capture ticks).
    virtual bool IsDataFlowing() const = 0;
    // Rate and channel count of the kept capture format; false while there is none yet.
    virtual bool GetCaptureFormat(int* rate, int* channels) const = 0;
    // Converts one chunk of srcSamples frames from the raw queue into 16-bit mono 16 kHz in
    // the resampled queue; -1 on failure (formats are AVSampleFormat values).
    virtual int AudioResampling(int srcFormat, int srcChannels, int srcRate, unsigned char* srcData,
                                int srcSamples, int dstFormat, int dstChannels, int dstRate,
                                unsigned char* dstData) = 0;
    // True when the resampled queue holds a whole 3200-byte block.
    virtual bool isCanFetch() = 0;
    // Takes exactly `bytes` bytes when that many are queued (*got = bytes, returns what is
    // left); else takes nothing (*got = 0) and returns the queued count. Never blocks.
    virtual int FetchData(uint8_t* out, int bytes, int* got) = 0;
    // When the first sample of the last block FetchData took was captured (GetMsTime's clock);
    // kUnknownCaptureMs when that is not known.
    virtual int64_t FetchedCaptureMs() const = 0;
    // When the first sample of the block FetchData would take next was captured;
    // kUnknownCaptureMs when that is not known or nothing is queued.
    virtual int64_t QueuedCaptureMs() const = 0;
};

#endif
