#include "AvSynchroniser.h"

void CAvSynchroniser::Start(int frameRate, bool hasVideo, int audioFrameSamples,
                            int audioSampleRate, int audioFrameBytes) {
    m_startMs = m_clock();
    m_frameRate = frameRate > 0 ? frameRate : 1;
    m_intervalMs = 1000 / m_frameRate;
    m_hasVideo = hasVideo;
    const bool audio = audioFrameSamples > 0 && audioSampleRate > 0;
    m_audioFrameSamples = audio ? audioFrameSamples : 0;
    m_audioSampleRate = audio ? audioSampleRate : 0;
    m_audioFrameBytes = audio ? audioFrameBytes : 0;
    m_nextVideoIndex = 0;
    m_lastVideoIndex = -1;
    m_lastVideoResult = 0;
    m_audioFrames = 0;
}

int64_t CAvSynchroniser::Elapsed(int64_t pausedMs) const {
    return m_clock() - pausedMs - m_startMs;
}

int64_t CAvSynchroniser::VideoFrameIndex(int64_t elapsed) const {
    return elapsed * m_frameRate / 1000;
}

bool CAvSynchroniser::VideoFrameDue(int64_t elapsed) const {
    if (elapsed < m_nextVideoIndex * m_intervalMs)
        return false;
    // At rates that do not divide 1000 (30 fps: a frame due every 33 ms, an index every
    // 33.3 ms) a frame can fall due within the index of the one before. Its packet would repeat
    // that time stamp and be refused by the muxer after the encoder had used the picture as a
    // reference, breaking the frames up to the next key frame; so a frame is due only once its
    // index is new.
    return VideoFrameIndex(elapsed) > m_lastVideoIndex;
}

void CAvSynchroniser::OnVideoFrame(int64_t index) {
    m_lastVideoIndex = index;
    m_nextVideoIndex = index + 1;
}

CAvSynchroniser::Action CAvSynchroniser::Next(int64_t elapsed, int queuedSoundBytes,
                                              int64_t soundHeadMs) {
    if (!VideoFrameDue(elapsed))
        return Action::kWait;
    const bool hasAudio = m_audioFrameSamples > 0;
    // A frame is due. Stop once every stream present holds the maximum length.
    const int audioTime = AudioTimeSeconds();
    const int videoTime = m_hasVideo ? m_lastVideoResult : 0;
    if ((!hasAudio || audioTime >= kMaxRecordingSeconds) &&
        (!m_hasVideo || videoTime / 1000 >= kMaxRecordingSeconds))
        return Action::kEnd;
    if (!m_hasVideo)
        return Action::kSound;
    // Audio lags the last video frame by a whole second or more: let it catch up first.
    if (hasAudio && audioTime < videoTime / 1000) {
        const Action step = NextAudioStep(videoTime, queuedSoundBytes, soundHeadMs);
        if (step != Action::kWait)
            return step;
    }
    return Action::kVideo;
}

CAvSynchroniser::Action CAvSynchroniser::NextAudioStep(int64_t videoTimeMs, int queuedSoundBytes,
                                                       int64_t soundHeadMs) {
    const int64_t lagMs = videoTimeMs - AudioTimeMs();
    if (queuedSoundBytes >= m_audioFrameBytes) {
        // The queued sound begins later than the track ends (it came back after a gap, or
        // started after the recording): a frame of silence first, and what that overshoots is
        // dropped (LateSoundMs), so that the sound lies where it was captured.
        if (soundHeadMs != kUnknownSoundTime &&
            soundHeadMs - AudioTimeMs() > kSoundPlacementSlackMs)
            return Action::kSilence;
        return Action::kSound;
    }
    // Captured sound reaches the queue a little after its time; wait for it rather than fill
    // the track with silence, unless the audio lags so far that nothing is coming. What is
    // left of the queue goes into this frame, completed with silence.
    if (lagMs > kAudioSilenceLagMs)
        return Action::kSound;
    return Action::kWait;
}

int64_t CAvSynchroniser::LateSoundMs(int64_t soundHeadMs) const {
    if (soundHeadMs == kUnknownSoundTime || m_audioFrameSamples <= 0)
        return 0;
    const int64_t early = AudioTimeMs() - soundHeadMs;
    return early > kSoundPlacementSlackMs ? early : 0;
}

CAvSynchroniser::Action CAvSynchroniser::TailStep(int64_t videoEndMs, bool soundLeft) const {
    if (m_audioFrameSamples <= 0)
        return Action::kEnd;
    // Sound up to the second of the last video packet, while the queue has any.
    if (soundLeft && AudioTimeSeconds() <= videoEndMs / 1000)
        return Action::kSound;
    // Silence where no sound came (no sound server, a lost device), so that the track lasts as
    // long as the video: its last frame ends one frame interval after its time stamp.
    if (AudioTimeMs() + AudioFrameMs() / 2 < videoEndMs + m_intervalMs)
        return Action::kSilence;
    return Action::kEnd;
}

int CAvSynchroniser::AudioTimeSeconds() const {
    if (m_audioFrameSamples <= 0)
        return 0;
    return static_cast<int>(static_cast<double>(m_audioFrames) * m_audioFrameSamples /
                            m_audioSampleRate);
}

int64_t CAvSynchroniser::AudioTimeMs() const {
    if (m_audioFrameSamples <= 0)
        return 0;
    return m_audioFrames * m_audioFrameSamples * 1000 / m_audioSampleRate;
}

int64_t CAvSynchroniser::AudioFrameMs() const {
    if (m_audioFrameSamples <= 0)
        return 0;
    return static_cast<int64_t>(m_audioFrameSamples) * 1000 / m_audioSampleRate;
}
