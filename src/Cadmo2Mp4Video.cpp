#include "Cadmo2Mp4Video.h"

#include "ICadmo2Mp4VideoSink.h"
#include "support/Config.h"
#include "support/Log.h"

using vistrec::platform::GetMsTime;
using vistrec::platform::SleepMs;
using vistrec::platform::TickCount32;

namespace {
// Each stream ends the recording once it holds this many seconds.
constexpr int kMaxRecordingSeconds = 6000;
constexpr unsigned kPausedSleepMs = 100;
constexpr unsigned kIdleSleepMs = 1;
}  // namespace

CCadmo2Mp4Video::CCadmo2Mp4Video(HWND hostWnd)
    : CH264WindowRecorder(hostWnd),
      m_volumeBlock(vistrec::platform::OpenSharedLevelBlock()),
      m_minVolumeValue(GetConfigMinVolumeValue()) {}

CCadmo2Mp4Video::~CCadmo2Mp4Video() {
    m_audioFifo.Clear();
}

int CCadmo2Mp4Video::AudioTimeSeconds() const {
    if (!m_pAudioStream)
        return 0;
    return 0;
}

int CCadmo2Mp4Video::record(ICadmo2Mp4Video_Sink* sink, IDSoundRecorder* source, bool flag) {
    (void)source;
    (void)flag;
    m_h264Twin = false;
    TeardownVideo();
    m_videoFrameIndex = 0;
    m_audioFrameCount = 0;
    if (SetUpVideoOutput() < 0 || OpenOutputFile() < 0) {
        TeardownVideo();
        return -1;
    }

    const int64_t interval = 1000 / m_frameRate;
    const int64_t start = GetMsTime();
    m_volumeCheck.Start(TickCount32());
    m_lastLevel = 0;
    bool paused = false;
    int lastVideoResult = 0;

    sink->onStart();
    if (sink->isStopped())
        return EndSequence(sink, lastVideoResult);
    do {
        if (sink->isPaused()) {
            if (!paused) {
                m_volumeCheck.OnPauseBegin(TickCount32());
                sink->onPause();
                paused = true;
            }
            SleepMs(kPausedSleepMs);
            continue;
        }
        m_volumeCheck.OnPauseEnd(TickCount32());
        const int64_t elapsed = GetMsTime() - m_pausedMs - start;
        if (paused) {
            sink->onResume();
            m_volumeCheck.OnResumed(TickCount32());
        }
        sink->onTick();
        const int code =
            m_volumeCheck.Check(TickCount32(), &m_lastLevel, m_minVolumeValue, m_audioDelivered);
        if (code != 0)
            vistrec::platform::PostHostNotification(code);

        paused = false;
        if (elapsed < m_videoFrameIndex * interval) {
            SleepMs(kIdleSleepMs);
            continue;
        }
        // A frame is due. Stop once every stream present holds the maximum length.
        const int audioTime = AudioTimeSeconds();
        const int videoTime = m_pVideoStream ? lastVideoResult : 0;
        if ((!m_pAudioStream || audioTime >= kMaxRecordingSeconds) &&
            (!m_pVideoStream || videoTime / 1000 >= kMaxRecordingSeconds))
            break;
        const int result = write_video_frame(m_pFormatCtx, m_pVideoStream, elapsed);
        lastVideoResult = result;
        if (result == kCaptureLost) {
            vistrec::platform::PostHostNotification(0);
            break;
        }
        if (result == AVERROR(EIO) || result == AVERROR(ENOMEM))
            vistrec::platform::PostHostNotification(result);
        sink->onTick();
    } while (!sink->isStopped());
    return EndSequence(sink, lastVideoResult);
}

int CCadmo2Mp4Video::EndSequence(ICadmo2Mp4Video_Sink* sink, int lastVideoResult) {
    VLOG_INFO("begin flush data");
    int videoEnd = lastVideoResult;
    for (;;) {
        const int r = EncodeStep(m_pFormatCtx, m_pVideoStream, nullptr, 0);
        if (r < 0)
            break;
        if (r > 0)
            videoEnd = r;
    }
    VLOG_INFO("write_video_frame over");
    sink->onTick();
    VLOG_INFO("write_audio_frame start");
    (void)videoEnd;  // the audio tail is written up to here once there is an audio stream
    VLOG_INFO("write_audio_frame over");
    av_write_trailer(m_pFormatCtx);
    // Later recordings of this object no longer publish the level.
    m_volumeBlock.reset();
    TeardownVideo();
    return 0;
}
