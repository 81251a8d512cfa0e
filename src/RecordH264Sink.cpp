#include "RecordH264Sink.h"

#include "platform/Platform.h"
#include "support/Log.h"

using vistrec::platform::TickCount32;

CRecordH264_Sink::CRecordH264_Sink(HWND hostWnd)
    : m_encoder(std::make_unique<CH264WindowRecorder>(hostWnd)) {
    avformat_network_init();
    m_encoder->setCaptureRect(false, nullptr);
}

CRecordH264_Sink::~CRecordH264_Sink() {
    if (IsRunning()) {
        m_clock.m_pause = false;
        m_clock.m_stop = true;
        Stop(CEvent::kInfinite);
    }
    m_encoder.reset();
    avformat_network_deinit();
}

void CRecordH264_Sink::startRecord() {
    // A second start during a recording would reset the running clock: ignored.
    if (IsRunning()) {
        VLOG_INFO("startRecord ignored: a recording is running");
        return;
    }
    BeginRecording();
    Start();
}

unsigned int CRecordH264_Sink::stopRecord() {
    m_clock.CountOpenPause(vistrec::platform::GetMsTime());
    m_clock.m_stop = true;
    Stop(CEvent::kInfinite);
    return m_clock.Duration(TickCount32());
}

int CRecordH264_Sink::run() {
    m_encoder->record_h264(this, nullptr, false);
    return 0;
}
