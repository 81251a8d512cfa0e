#include "RecordMp4Sink.h"

#include "platform/Platform.h"
#include "support/Log.h"

using vistrec::platform::DebugOutput;
using vistrec::platform::TickCount32;

CRecordMp4_Sink::CRecordMp4_Sink(HWND hostWnd) {
    VLOG_INFO("log start!\n"
              << "====================");
    m_muxer = std::make_unique<CCadmo2Mp4Video>(hostWnd);
    avformat_network_init();
    // Every new recorder starts on the first display.
    m_muxer->setCaptureRect(false, nullptr);
    m_mixerInit = m_mixer.Init();
    CCadmo2Mp4Video* muxer = m_muxer.get();
    m_pump = std::make_unique<CAudioPump>(
        &m_micRecorder, &m_playRecorder, &m_mixer, m_mixerInit, &m_noiseSuppressor,
        [muxer](const uint8_t* pcm, int bytes) { muxer->PushAudio(pcm, bytes); });
    m_watchdog = std::make_unique<CCaptureWatchdog>(
        m_micRecorder, m_playRecorder, [this] { return m_audioMode.load(); },
        [this] { return m_clock.m_pause.load(); }, [this] { return m_wantedCaptures.load(); });
}

CRecordMp4_Sink::~CRecordMp4_Sink() {
    // A host that destroys the recorder mid-recording still gets a finished file.
    if (IsRunning()) {
        m_clock.m_pause = false;
        m_clock.m_stop = true;
        Stop(CEvent::kInfinite);
    }
    StopCaptures();
    m_watchdog.reset();
    m_muxer.reset();
    avformat_network_deinit();
}

void CRecordMp4_Sink::setAudioFile(const char* fileName) {
    if (!fileName)
        return;
    m_audioFile = fileName;
    m_sourceSelector = false;
}

void CRecordMp4_Sink::startRecord() {
    BeginRecording();
    Start();
}

unsigned int CRecordMp4_Sink::stopRecord() {
    if (m_clock.m_pause)
        resumeRecord();
    m_clock.m_stop = true;
    Stop(CEvent::kInfinite);
    return m_clock.Duration(TickCount32());
}

int CRecordMp4_Sink::onTick() {
    // The single-source mode has no source in this build: nothing to pump.
    if (m_audioMode == 0)
        return 0;
    return m_pump->Tick();
}

void CRecordMp4_Sink::onPause() {
    StopCaptures();
}

void CRecordMp4_Sink::onResume() {
    const int mode = m_audioMode;
    if (mode == 1)
        StartCaptures(CCaptureWatchdog::kWantMicrophone | CCaptureWatchdog::kWantPlayback);
    else if (mode == 2)
        StartCaptures(CCaptureWatchdog::kWantPlayback);
}

void CRecordMp4_Sink::StartCaptures(unsigned wanted) {
    std::lock_guard<std::mutex> lock(m_watchdog->ControlLock());
    if (wanted & CCaptureWatchdog::kWantMicrophone)
        m_micRecorder.StartCapture();
    if (wanted & CCaptureWatchdog::kWantPlayback)
        m_playRecorder.StartCapture();
    m_wantedCaptures = wanted;
}

void CRecordMp4_Sink::StopCaptures() {
    std::lock_guard<std::mutex> lock(m_watchdog->ControlLock());
    m_wantedCaptures = 0;
    if (m_micRecorder.IsRunning())
        m_micRecorder.StopCapture(true);
    if (m_playRecorder.IsRunning())
        m_playRecorder.StopCapture(true);
}

void CRecordMp4_Sink::onStart() {
    if (m_audioMode == 0)
        return;
    // Sound captured while the container was being set up is not part of the recording.
    if (m_micRecorder.IsRunning())
        m_micRecorder.ClearCaptured();
    if (m_playRecorder.IsRunning())
        m_playRecorder.ClearCaptured();
}

void CRecordMp4_Sink::RecordMode(int mode) {
    switch (mode) {
        case 0:
            m_muxer->record(this, nullptr, false);
            DebugOutput("stop_device_record start---------------");
            DebugOutput("stop_device_record end---------------");
            break;
        case 1:
            StartCaptures(CCaptureWatchdog::kWantMicrophone | CCaptureWatchdog::kWantPlayback);
            m_muxer->record(this, nullptr, true);
            StopCaptures();
            break;
        case 2:
            // Playback sound only: the microphone is never opened.
            StartCaptures(CCaptureWatchdog::kWantPlayback);
            m_muxer->record(this, nullptr, true);
            StopCaptures();
            break;
        default:
            return;
    }
    if (m_callback)
        m_callback->onRecordEnd();
}

int CRecordMp4_Sink::run() {
    const int mode = m_audioMode;
    if (mode < 0 || mode > 2)
        return 0;
    RecordMode(mode);
    // A host that switched to playback-only sound during a mode-1 recording gets a second one.
    if (mode == 1 && m_audioMode == 2)
        RecordMode(2);
    return 0;
}
