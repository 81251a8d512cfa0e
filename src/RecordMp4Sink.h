// The MP4 recorder that create_screen_record returns: host interface, loop callbacks and
// record thread in one object, owning the encoder and loop object.
#ifndef VISTREC_SRC_RECORDMP4SINK_H
#define VISTREC_SRC_RECORDMP4SINK_H

#include <atomic>
#include <memory>
#include <string>

#include "Cadmo2Mp4Video.h"
#include "audiocapture/AudioMixer.h"
#include "audiocapture/AudioPump.h"
#include "audiocapture/AudioRecord.h"
#include "audiocapture/CaptureWatchdog.h"
#include "audiocapture/Mp3Decoder.h"
#include "audiocapture/NoiseSuppressor.h"
#include "audiocapture/WaveRecorder.h"
#include "ICadmo2Mp4VideoSink.h"
#include "RecorderSlots.h"
#include "support/CmThread.h"
#include "vistrec/IRecordMp4.h"

class CRecordMp4_Sink : public ICadmo2Mp4Video_Sink, public CCmThread, public CRecorderSlots {
  public:
    explicit CRecordMp4_Sink(HWND hostWnd);
    // Stops and joins a running recording before anything is freed. Run on the record thread
    // (the host's onRecordEnd deletes the recorder), it releases a waiting stopRecord and
    // frees the recorder; the record thread touches it no more.
    ~CRecordMp4_Sink() override;

    // IRecordMp4 slots of its own (host thread); the rest are shared with the H.264 recorder.
    void setCallback(IRecordCallback* callback) override { m_callback = callback; }
    void setAudioFile(const char* fileName) override;
    void setAudioMode(int mode) override { m_audioMode = mode; }
    void startRecord() override;
    unsigned int stopRecord() override;

    // ICadmo2Mp4Video_Sink (record thread).
    void reserved1(void*) override {}
    void reserved2() override {}
    int onTick() override;
    static constexpr int kMaxBlocksPerTick = 10;  // a second of sound
    bool isPaused() override { return m_clock.m_pause.load(std::memory_order_acquire); }
    bool isStopped() override { return m_clock.m_stop; }
    void onPause() override;
    void onResume() override;
    void onStart() override;

  protected:
    // The record thread: asks for the sources of the audio mode, records and lets them go.
    int run() override;
    // The record thread's last step: tells the host's callback, which may delete the recorder.
    void onThreadEnd() override;
    CH264WindowRecorder& Encoder() override { return *m_muxer; }

  private:
    // Captures (CCaptureWatchdog::kWant* bits) audio mode `mode` records from.
    static unsigned CapturesOfMode(int mode);
    // Asks the watchdog for the captures `wanted` and returns at once: the record thread never
    // waits on the sound server. Sound of the capture cycles running so far is dropped from
    // here on (it belongs before a pause, or to no recording); the watchdog stops those cycles
    // and opens new ones.
    // Returns the watchdog's request number.
    uint64_t RequestCaptures(unsigned wanted);
    // How long a recording's start waits for the watchdog's first attempt to open its captures.
    static constexpr unsigned kCaptureStartWaitMs = 1000;

    // The sound source of audio mode 0 the host chose: the sound file once one is set, else the
    // microphone. Record thread only.
    IDSoundRecorder* SelectedSource();

    bool m_sourceSelector = true;         // audio mode 0: true the microphone, false the sound file
    std::string m_audioFile;              // sound file for audio mode 0
    CWaveRecorder m_waveRecorder;         // the microphone of audio mode 0
    CMp3Decoder m_fileSource;             // the sound file of audio mode 0
    IDSoundRecorder* m_source = nullptr;  // the running mode-0 recording's source (record thread)
    CAudioRecordT<true> m_micRecorder;    // default microphone
    CAudioRecordT<false> m_playRecorder;  // what the default playback device plays
    std::unique_ptr<CCadmo2Mp4Video> m_muxer;
    std::atomic<int> m_audioMode{1};
    // The audio mode of the running recording, read at its start (record thread only).
    int m_recordingMode = 1;
    bool m_recorded = false;                // the last record thread recorded (modes 0 to 2)
    CNoiseSuppressor m_noiseSuppressor;     // loads libnuvra when it is present
    IRecordCallback* m_callback = nullptr;  // the host's, not owned
    CAudioMixer m_mixer;
    int m_mixerInit = -1;
    // Captures the running recording needs now (CCaptureWatchdog::kWant* bits); 0 while paused
    // and between recordings. Written by the record thread, carried out by the watchdog.
    std::atomic<unsigned> m_wantedCaptures{0};
    std::unique_ptr<CAudioPump> m_pump;
    // Opens, stops and restarts the captures; declared last so it is gone before anything it
    // watches.
    std::unique_ptr<CCaptureWatchdog> m_watchdog;
};

#endif
