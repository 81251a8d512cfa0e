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
        [muxer](const uint8_t* pcm, int bytes, int64_t capturedMs) {
            muxer->PushAudio(pcm, bytes, capturedMs);
        });
    m_watchdog = std::make_unique<CCaptureWatchdog>(m_micRecorder, m_playRecorder,
                                                    [this] { return m_wantedCaptures.load(); });
}

CRecordMp4_Sink::~CRecordMp4_Sink() {
    // Deleted by the host's onRecordEnd on the record thread: the recording is over and a
    // waiting stopRecord has returned; there is no thread to stop.
    const bool onRecordThread = EndOnOwnThread();
    // A host that destroys the recorder mid-recording still gets a finished file.
    if (!onRecordThread && IsRunning()) {
        m_clock.m_pause = false;
        m_clock.m_stop = true;
        Stop(CEvent::kInfinite);
    }
    m_wantedCaptures = 0;
    // Ends the watchdog; the recorders then stop their captures as they go.
    m_watchdog.reset();
    m_muxer.reset();
    avformat_network_deinit();
}

void CRecordMp4_Sink::setAudioFile(const char* fileName) {
    if (!fileName)
        return;
    m_audioFile = fileName;
    m_fileSource.SetFile(fileName);
    m_sourceSelector = false;
}

void CRecordMp4_Sink::startRecord() {
    // A second start during a recording would reset the running clock: ignored.
    if (IsRunning()) {
        VLOG_INFO("startRecord ignored: a recording is running");
        return;
    }
    BeginRecording();
    Start();
}

unsigned int CRecordMp4_Sink::stopRecord() {
    // Kept open until the result is read: a host callback that deletes the recorder on the
    // record thread waits for it.
    ExternalCall call(*this);
    if (m_clock.m_pause)
        resumeRecord();
    m_clock.m_stop = true;
    Stop(CEvent::kInfinite);
    return m_clock.Duration(TickCount32());
}

int CRecordMp4_Sink::onTick() {
    // The pump moves a 100 ms block per tick and the loop ticks twice a pass; a pass that takes
    // longer than that under load would leave the pump further behind the sources each time.
    // So a tick moves whatever whole blocks the sources hold, up to a second of sound.
    int result = 0;
    for (int i = 0; i < kMaxBlocksPerTick; ++i) {
        const int64_t before = m_pump->BlocksOut();
        if (m_recordingMode == 0)
            // Noise suppression is for the microphone: a sound file's own sound passes as it is.
            result = m_pump->TickSource(m_source, m_source == &m_waveRecorder);
        else
            result = m_pump->Tick();
        if (m_pump->BlocksOut() == before)
            break;
    }
    return result;
}

void CRecordMp4_Sink::onPause() {
    RequestCaptures(0);
}

void CRecordMp4_Sink::onResume() {
    RequestCaptures(CapturesOfMode(m_recordingMode));
}

unsigned CRecordMp4_Sink::CapturesOfMode(int mode) {
    if (mode == 1)
        return CCaptureWatchdog::kWantMicrophone | CCaptureWatchdog::kWantPlayback;
    if (mode == 2)
        return CCaptureWatchdog::kWantPlayback;  // the microphone is never opened
    return 0;
}

uint64_t CRecordMp4_Sink::RequestCaptures(unsigned wanted) {
    m_micRecorder.ClearBuffers();
    m_playRecorder.ClearBuffers();
    m_wantedCaptures = wanted;
    return m_watchdog->Wake();
}

void CRecordMp4_Sink::onStart() {
    if (m_recordingMode == 0) {
        // Sound held while the container was being set up is not part of the recording.
        if (m_source)
            m_source->Clear();
        return;
    }
    // Sound captured while the container was being set up is not part of the recording.
    if (m_micRecorder.IsRunning())
        m_micRecorder.ClearCaptured();
    if (m_playRecorder.IsRunning())
        m_playRecorder.ClearCaptured();
}

int CRecordMp4_Sink::run() {
    // The mode is read once: a mode change during a recording takes effect at the next
    // recording. (Running a second recording when the host switched from mode 1 to 2 would
    // write it over the same file, leaving an empty one, and report the end twice.)
    m_recordingMode = m_audioMode;
    m_recorded = m_recordingMode >= 0 && m_recordingMode <= 2;
    if (!m_recorded)
        return 0;
    const unsigned captures = CapturesOfMode(m_recordingMode);
    if (captures) {
        // The captures come up before the file's time zero, so that the sound starts with the
        // picture and their start does not compete with the first frames. The wait ends with
        // the watchdog's first attempt, successful or not; a server that does not answer only
        // delays the start by kCaptureStartWaitMs, and a stop ends the wait at once.
        const uint64_t request = RequestCaptures(captures);
        for (unsigned waited = 0; waited < kCaptureStartWaitMs && !m_clock.m_stop; waited += 20) {
            if (m_watchdog->WaitServed(request, 20))
                break;
        }
    }
    // Mode 0's source starts before the file's time zero too (the sound file is opened; the
    // loop's onStart puts its beginning at time zero). One that does not start (no sound
    // server, no microphone, an unreadable file) leaves the track silent; the microphone goes
    // on trying by itself.
    m_source = m_recordingMode == 0 ? SelectedSource() : nullptr;
    if (m_source && !m_source->Start())
        VLOG_WARN("sound source did not start: silent track");
    m_muxer->record(this, m_source, captures != 0);
    if (m_recordingMode == 0) {
        DebugOutput("stop_device_record start---------------");
        if (m_source)
            m_source->Stop();
        m_source = nullptr;
        DebugOutput("stop_device_record end---------------");
    } else {
        RequestCaptures(0);
    }
    return 0;
}

IDSoundRecorder* CRecordMp4_Sink::SelectedSource() {
    if (m_sourceSelector)
        return &m_waveRecorder;
    return &m_fileSource;
}

void CRecordMp4_Sink::onThreadEnd() {
    // The last use of the recorder on this thread: the callback may delete it.
    if (m_recorded && m_callback)
        m_callback->onRecordEnd();
}
