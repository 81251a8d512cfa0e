// The IRecordMp4 slots both recorder objects share: settings stored in the encoder object and
// the pause bookkeeping. Each recorder supplies its encoder object; the slots that differ
// (callback, sound, start and stop) stay with the recorders.
#ifndef VISTREC_SRC_RECORDERSLOTS_H
#define VISTREC_SRC_RECORDERSLOTS_H

#include "H264WindowRecorder.h"
#include "RecordClock.h"
#include "vistrec/IRecordMp4.h"

class CRecorderSlots : public IRecordMp4 {
  public:
    // Settings (host thread).
    void setFileName(const char* fileName) override { Encoder().setFileName(fileName); }
    void setMp3FileName(const char* fileName) override { Encoder().setMp3FileName(fileName); }
    void setFrameRate(int fps) override { Encoder().setFrameRate(fps); }
    void setQuality(int level, int) override { Encoder().setQuality(level); }
    int setCaptureRect(bool region, const RECT* rect) override {
        return Encoder().setCaptureRect(region, rect);
    }
    void reserved8(int, int) override {}
    void setDisplay(int number) override { Encoder().setDisplay(number); }
    void setFollowTarget(bool follow) override { CH264WindowRecorder::setFollowTarget(follow); }
    void setScale(double scale) override { Encoder().setScale(scale); }
    void setPreset(const char* preset) override { Encoder().setPreset(preset); }
    void setTune(const char* tune) override { Encoder().setTune(tune); }
    void reserved14(bool) override {}
    void setGopSize(int gopSize) override { Encoder().setGopSize(gopSize); }
    void setText(const char* fontFile, const char* text, float x, float y, BYTE red, BYTE green,
                 BYTE blue, BYTE) override {
        Encoder().setText(fontFile, text, x, y, red, green, blue);
    }
    void reserved22(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void setMouseShow(int mouseShow, int clickShow, int lightShow, int mouseSize) override {
        CH264WindowRecorder::setMouseShow(mouseShow, clickShow, lightShow, mouseSize);
    }
    void setMouseEvent(int message) override { CH264WindowRecorder::setMouseEvent(message); }

    // Pause bookkeeping (host thread); the record thread notices the flag on its own.
    void pauseRecord() override;
    int resumeRecord() override;

  protected:
    friend class RecorderInternalAccess;  // RecorderInternal.cpp's entry points
    // The recorder's encoder object; exists for the recorder's whole life.
    virtual CH264WindowRecorder& Encoder() = 0;
    // Clears the flags and earlier pauses for a new recording.
    void BeginRecording();

    CRecordClock m_clock;
};

#endif
