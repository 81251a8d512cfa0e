// The video-only recorder that create_screen_h246_record returns: same interface and thread
// as the MP4 recorder, but no sound and the counted-frame loop.
#ifndef VISTREC_SRC_RECORDH264SINK_H
#define VISTREC_SRC_RECORDH264SINK_H

#include <memory>

#include "H264WindowRecorder.h"
#include "ICadmo2Mp4VideoSink.h"
#include "RecordClock.h"
#include "support/CmThread.h"
#include "vistrec/IRecordMp4.h"

class CRecordH264_Sink : public ICadmo2Mp4Video_Sink, public CCmThread, public IRecordMp4 {
  public:
    explicit CRecordH264_Sink(HWND hostWnd);
    // Stops and joins a running recording before the encoder is freed.
    ~CRecordH264_Sink() override;

    // IRecordMp4 (host thread). Callback, sound file and audio mode are accepted and unused.
    void setCallback(IRecordCallback* callback) override { m_unusedCallback = callback; }
    void setFileName(const char* fileName) override { m_encoder->setFileName(fileName); }
    void setMp3FileName(const char* fileName) override { m_encoder->setMp3FileName(fileName); }
    void setAudioFile(const char*) override {}
    void setFrameRate(int fps) override { m_encoder->setFrameRate(fps); }
    void setQuality(int level, int) override { m_encoder->setQuality(level); }
    int setCaptureRect(bool region, const RECT* rect) override {
        return m_encoder->setCaptureRect(region, rect);
    }
    void reserved8(int, int) override {}
    void setDisplay(int number) override { m_encoder->setDisplay(number); }
    void setFollowTarget(bool follow) override { CH264WindowRecorder::setFollowTarget(follow); }
    void setScale(double scale) override { m_encoder->setScale(scale); }
    void setPreset(const char* preset) override { m_encoder->setPreset(preset); }
    void setTune(const char* tune) override { m_encoder->setTune(tune); }
    void reserved14(bool) override {}
    void setGopSize(int gopSize) override { m_encoder->setGopSize(gopSize); }
    void setAudioMode(int mode) override { m_encoder->m_audioMode = mode; }
    void pauseRecord() override;
    int resumeRecord() override;
    void setText(const char* fontFile, const char* text, float x, float y, BYTE red, BYTE green,
                 BYTE blue, BYTE) override {
        m_encoder->setText(fontFile, text, x, y, red, green, blue);
    }
    void startRecord() override;
    // Counts an open pause without ending it: the pause flag stays set until the next start.
    unsigned int stopRecord() override;
    void reserved22(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void setMouseShow(int mouseShow, int clickShow, int lightShow, int mouseSize) override {
        CH264WindowRecorder::setMouseShow(mouseShow, clickShow, lightShow, mouseSize);
    }
    void setMouseEvent(int message) override { CH264WindowRecorder::setMouseEvent(message); }

    // ICadmo2Mp4Video_Sink (record thread): no sound, so only the flags matter.
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override { return 0; }
    bool isPaused() override { return m_clock.m_pause; }
    bool isStopped() override { return m_clock.m_stop; }
    void onPause() override {}
    void onResume() override {}
    void onStart() override {}

    CH264WindowRecorder* Encoder() { return m_encoder.get(); }

  protected:
    int run() override;

  private:
    CRecordClock m_clock;
    std::unique_ptr<CH264WindowRecorder> m_encoder;
    IRecordCallback* m_unusedCallback = nullptr;  // stored, never called
};

#endif
