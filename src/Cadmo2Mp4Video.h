// The MP4 recorder's encoder object: the video half plus the recording loop that paces frames
// against the clock, drives the recorder through its callbacks, watches the microphone level
// and finishes the file.
#ifndef VISTREC_SRC_CADMO2MP4VIDEO_H
#define VISTREC_SRC_CADMO2MP4VIDEO_H

#include <memory>
#include <vector>

#include "H264WindowRecorder.h"
#include "LowVolumeCheck.h"
#include "Mp3SideFile.h"
#include "SoundTimeline.h"
#include "audiocapture/ICaptureEvent.h"
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

    // The audio stream: mono 16 kHz in the container's default audio codec (AAC for MP4).
    AVStream* add_audio_stream(AVFormatContext* fc, AVCodecID codecId);
    void open_audio(AVFormatContext* fc, AVStream* st);
    // Encodes one encoder frame from the audio FIFO (silence when it is empty, except when
    // flushing); 0 when a packet was written, -1 otherwise.
    int write_audio_frame2(AVFormatContext* fc, AVStream* st, int elapsedMs, bool flush);
    void close_audio();
    // Writes the packets the audio encoder still holds at the end of a recording.
    void DrainAudioEncoder();

    // The audio hand-off from the pump: level meter, "voluMem", FIFO append (record thread).
    // `capturedMs`: when the first sample was captured, on GetMsTime's clock, kUnknownCaptureMs,
    // or kContinuousSoundMs (a sound file: written in order, never placed by time).
    void PushAudio(const uint8_t* pcm, int bytes, int64_t capturedMs);

    // Most sound the queue holds: 10 s. The loop takes sound whenever the audio lags the video
    // by a second, so more than a few seconds waiting means no frame is being written (a
    // failing capture or output); older sound would be out of place by then, and the queue must
    // not grow for as long as that lasts.
    static constexpr int kAudioFifoMaxBytes = 10 * 16000 * 2;

    // Audio hand-off state, written by the audio pump on the record thread.
    AVStream* m_pAudioStream = nullptr;
    CMemoryBuffer m_audioFifo;  // 16-bit mono 16 kHz PCM, filled by the pump, bounded
    CSoundTimeline m_soundTimeline{16000 * 2};  // the recording time of the queue's sound
    int64_t m_audioDroppedBytes = 0;            // sound dropped from the front of the full queue
    int64_t m_audioLateBytes = 0;               // sound dropped because silence had stood in for it
    std::unique_ptr<vistrec::platform::SharedLevelBlock> m_volumeBlock;  // "voluMem", or null
    int m_lastLevel = 0;
    int m_minVolumeValue = 0;
    bool m_audioDelivered = false;

  private:
    // Encodes one frame from the FIFO, or of silence; write_audio_frame2 is the FIFO case.
    int WriteAudioFrame(AVFormatContext* fc, AVStream* st, bool flush, bool silence);
    // Drops queued sound that lies before the track's end: it came after silence had been
    // written in its place, and writing it now would put everything after it out of sync.
    void DropLateSound();
    // Drains the video encoder, writes the audio tail and the trailer and frees everything;
    // returns 0.
    int EndSequence(ICadmo2Mp4Video_Sink* sink);

    CLowVolumeCheck m_volumeCheck;
    CMp3SideFile m_mp3Side;  // open for the recording that set an MP3 path

    AVCodecContextPtr m_audioCodec;
    int m_audioFrameSize = 0;         // samples per encoder frame (1024 for AAC)
    std::vector<uint8_t> m_pSamples;  // one frame of input PCM
    AVFramePtr m_pAudioFrame;
    AVPacketPtr m_audioPacket;
    SwrContextPtr m_pResampler;
    int64_t m_audioSamplesSent = 0;  // time stamp of the next audio frame, in samples
    int m_emptyAudioFrames = 0;      // frames in a row the queue had no sound for
    bool m_audioDropping = false;    // the queue is full: the last hand-off dropped sound
    bool m_soundRanOut = false;      // the track took silence for want of sound
    bool m_droppingLateSound = false;
};

#endif
