// The video-only recorder that create_screen_h246_record returns: same interface and thread
// as the MP4 recorder, but no sound and the counted-frame loop.
#ifndef VISTREC_SRC_RECORDH264SINK_H
#define VISTREC_SRC_RECORDH264SINK_H

#include <memory>

#include "H264WindowRecorder.h"
#include "ICadmo2Mp4VideoSink.h"
#include "RecorderSlots.h"
#include "support/CmThread.h"
#include "vistrec/IRecordMp4.h"

class CRecordH264_Sink : public ICadmo2Mp4Video_Sink, public CCmThread, public CRecorderSlots {
  public:
    explicit CRecordH264_Sink(HWND hostWnd);
    // Stops and joins a running recording before the encoder is freed.
    ~CRecordH264_Sink() override;

    // IRecordMp4 slots of its own (host thread); the rest are shared with the MP4 recorder.
    // Callback, sound file and audio mode are accepted and unused.
    void setCallback(IRecordCallback* callback) override { m_unusedCallback = callback; }
    void setAudioFile(const char*) override {}
    void setAudioMode(int mode) override { m_encoder->m_audioMode = mode; }
    void startRecord() override;
    // Counts an open pause without ending it: the pause flag stays set until the next start.
    unsigned int stopRecord() override;

    // ICadmo2Mp4Video_Sink (record thread): no sound, so only the flags matter.
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override { return 0; }
    bool isPaused() override { return m_clock.m_pause.load(std::memory_order_acquire); }
    bool isStopped() override { return m_clock.m_stop; }
    void onPause() override {}
    void onResume() override {}
    void onStart() override {}

  protected:
    int run() override;
    CH264WindowRecorder& Encoder() override { return *m_encoder; }

  private:
    std::unique_ptr<CH264WindowRecorder> m_encoder;
    IRecordCallback* m_unusedCallback = nullptr;  // stored, never called
};

#endif
