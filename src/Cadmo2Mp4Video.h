// The MP4 recorder's encoder object: the video half plus the recording loop that paces frames
// against the clock, drives the recorder through its callbacks, watches the microphone level
// and finishes the file.
#ifndef VISTREC_SRC_CADMO2MP4VIDEO_H
#define VISTREC_SRC_CADMO2MP4VIDEO_H

#include <memory>

#include "H264WindowRecorder.h"
#include "LowVolumeCheck.h"
#include "platform/Platform.h"
#include "support/MemoryBuffer.h"

class CCadmo2Mp4Video : public CH264WindowRecorder {
  public:
    explicit CCadmo2Mp4Video(HWND hostWnd);
    ~CCadmo2Mp4Video() override;

    // Records from set-up to the end sequence. Returns 0 after a complete recording, -1 when
    // the output cannot be set up. `source` (may be null) is the audio-mode-0 sound source;
    // `flag` says whether the recorder's own capture is paused along with it.
    int record(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder* source, bool flag);

    // Audio hand-off state, written by the audio pump on the record thread.
    AVStream* m_pAudioStream = nullptr;  // no audio stream in this build
    CMemoryBuffer m_audioFifo;
    std::unique_ptr<vistrec::platform::SharedLevelBlock> m_volumeBlock;  // "voluMem", or null
    int m_lastLevel = 0;
    int m_minVolumeValue = 0;
    bool m_audioDelivered = false;

  private:
    // Seconds of audio written so far; 0 without an audio stream.
    int AudioTimeSeconds() const;
    // Drains the video encoder, writes the trailer and frees everything; returns 0.
    int EndSequence(ICadmo2Mp4Video_Sink* sink, int lastVideoResult);

    CLowVolumeCheck m_volumeCheck;
};

#endif
