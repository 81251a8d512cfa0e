// The one place that knows both streams of a recording and, from one clock, decides what goes
// out next: a video frame (and which frame index it carries), a frame of sound, a frame of
// silence, nothing yet, or the end. It also decides the end-of-recording audio tail. It does no
// encoding and no I/O; the recording loops ask it and report back what they wrote.
#ifndef VISTREC_SRC_AVSYNCHRONISER_H
#define VISTREC_SRC_AVSYNCHRONISER_H

#include <stdint.h>

#include <functional>

class CAvSynchroniser {
  public:
    // Milliseconds from any fixed origin; only differences are used.
    using Clock = std::function<int64_t()>;

    enum class Action {
        kWait,     // nothing is due yet
        kVideo,    // capture and encode one frame
        kSound,    // one audio frame from the sound queue (completed with silence if short)
        kSilence,  // one audio frame of silence
        kEnd,      // the recording is over (maximum length reached, or the tail is done)
    };

    // Each stream ends the recording once it holds this many seconds.
    static constexpr int kMaxRecordingSeconds = 6000;
    // How far the audio may lag the video while captured sound is on its way: audio is written
    // a second at a time, so a lag of up to a second plus the capture delay is normal.
    static constexpr int64_t kAudioSilenceLagMs = 1500;
    // How far queued sound may lie from the end of the audio written before it is moved: later,
    // a frame of silence goes first; earlier, the difference is dropped to the sample. Half an
    // audio frame (32 ms at 16 kHz) let each recording keep an offset anywhere within +-32 ms,
    // set by when its sound happened to start; the stamps jitter by a few ms only.
    static constexpr int64_t kSoundPlacementSlackMs = 8;
    // `soundHeadMs` when the time of the queued sound is not known.
    static constexpr int64_t kUnknownSoundTime = INT64_MIN;

    explicit CAvSynchroniser(Clock clock) : m_clock(std::move(clock)) {}

    // Start of a recording at the clock's present reading. `audioFrameSamples` and
    // `audioSampleRate` describe one audio encoder frame (0: no audio stream); `audioFrameBytes`
    // is what one frame takes from the sound queue.
    void Start(int frameRate, bool hasVideo, int audioFrameSamples, int audioSampleRate,
               int audioFrameBytes);

    // Milliseconds since Start, `pausedMs` of pauses not counted.
    int64_t Elapsed(int64_t pausedMs) const;

    // One pass of the recording loop at `elapsed` with `queuedSoundBytes` waiting, the first of
    // them captured at `soundHeadMs` (recording time).
    Action Next(int64_t elapsed, int queuedSoundBytes, int64_t soundHeadMs = kUnknownSoundTime);
    // Whether a video frame is due at `elapsed`: the wall clock has reached the next frame's
    // time and a new frame index.
    bool VideoFrameDue(int64_t elapsed) const;
    // The frame index a picture taken at `elapsed` carries: whole frame intervals since the
    // start, so frames not captured in time leave gaps instead of shifting later frames.
    int64_t VideoFrameIndex(int64_t elapsed) const;
    // A picture with frame index `index` went to the encoder.
    void OnVideoFrame(int64_t index);
    // What the video frame writer returned: the written packet's time in ms, or negative.
    void OnVideoResult(int result) { m_lastVideoResult = result; }
    // An audio frame was written or, in the recording loop, attempted: a frame the encoder or
    // muxer refused still counts there, so that the audio clock keeps going.
    void OnAudioFrame() { ++m_audioFrames; }

    // How much of the queued sound, first captured at `soundHeadMs`, lies before the end of
    // the audio written (by more than kSoundPlacementSlackMs): it came after silence stood in
    // for it, or after sound captured before it, and is to be dropped. 0 when none does or the
    // time is unknown.
    int64_t LateSoundMs(int64_t soundHeadMs) const;

    // The end-of-recording audio tail, after the video encoder was drained: the last video
    // packet ends at `videoEndMs`. Sound from the queue while it lasts (`soundLeft`) up to the
    // second of the video's end, then silence to the video's length, then kEnd (the caller
    // drains the audio encoder).
    Action TailStep(int64_t videoEndMs, bool soundLeft) const;

    int LastVideoResult() const { return m_lastVideoResult; }
    // Seconds of audio written (truncated); 0 without an audio stream.
    int AudioTimeSeconds() const;
    // Milliseconds of audio written, and the length of one audio frame.
    int64_t AudioTimeMs() const;
    int64_t AudioFrameMs() const;

  private:
    // What the audio writes when it lags the video by a whole second: sound when the queue
    // holds a frame; nothing while captured sound is still on its way; what is left, completed
    // with silence, once the audio lags so far that no sound is coming (no server, a lost
    // device); and silence while the queued sound lies later than the track's end (sound came
    // back after a gap), so that it is heard when it was captured.
    Action NextAudioStep(int64_t videoTimeMs, int queuedSoundBytes, int64_t soundHeadMs);

    Clock m_clock;
    int64_t m_startMs = 0;
    int m_frameRate = 20;
    int64_t m_intervalMs = 50;
    bool m_hasVideo = true;
    int m_audioFrameSamples = 0;
    int m_audioSampleRate = 0;
    int m_audioFrameBytes = 0;

    int64_t m_nextVideoIndex = 0;   // index of the next frame due
    int64_t m_lastVideoIndex = -1;  // index of the last picture given to the encoder
    int m_lastVideoResult = 0;
    int64_t m_audioFrames = 0;
};

#endif
