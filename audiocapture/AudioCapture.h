// The capture engine: pulls raw sound from the default device of one kind on a thread of its
// own and hands every packet to an ICaptureEvent. CAudioCaptureT<1> captures the default
// microphone, CAudioCaptureT<0> what the default playback device plays (loopback).
//
// The control operations (Init, Start, Stop, Close) are called by one thread at a time; the
// owning recorder serialises them. HasThread may be read from any thread.
#ifndef VISTREC_AUDIOCAPTURE_AUDIOCAPTURE_H
#define VISTREC_AUDIOCAPTURE_AUDIOCAPTURE_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audiocapture/ICaptureEvent.h"

namespace vistrec {
namespace platform {
class AudioCaptureStream;
}
}  // namespace vistrec

template <bool kMicrophone>
class CAudioCaptureT {
  public:
    // The engine has no device period of its own; the capture thread ticks every half of this.
    static constexpr uint32_t kPeriodMs = 10;
    static constexpr uint32_t kTickMs = kPeriodMs / 2;
    // Consecutive empty ticks that report "no data flowing" (on the seventh).
    static constexpr int kMaxEmptyTicks = 6;
    // How long Start waits for the thread to read the device format.
    static constexpr unsigned kStartWaitMs = 10000;

    CAudioCaptureT() = default;
    // Stops a running capture thread and waits for every thread this engine launched.
    ~CAudioCaptureT();
    CAudioCaptureT(const CAudioCaptureT&) = delete;
    CAudioCaptureT& operator=(const CAudioCaptureT&) = delete;

    // Looks the default device of this kind up (recording its name) and creates the started
    // and stop events. Already initialised: true. No device: false, uninitialised.
    bool Init();
    // Launches the capture thread, reporting to `sink` (kept alive by the thread), and waits
    // until it has read the device format (true) or has ended before that or kStartWaitMs
    // passed (Stop, false). Not initialised or no sink:
    // false. A thread exists: true.
    bool Start(std::shared_ptr<ICaptureEvent> sink);
    // Sets the stop event and lets the thread go; does not wait for it to end.
    void Stop();
    // Forgets the device and the events; uninitialised.
    void Close();

    // A capture thread was launched and not stopped yet (it may have ended by itself).
    bool HasThread() const { return m_hasThread.load(); }
    bool IsInitialised() const { return m_initialised; }
    // Stops a running thread and waits for all threads of this engine (owner's destructor).
    void Shutdown();

    // The process-wide recorded name of the default device of this kind.
    static std::string RecordedDeviceName();

  private:
    struct Run;

    static void CaptureThreadProc(std::shared_ptr<Run> run,
                                  std::shared_ptr<std::atomic<bool>> finished);
    static unsigned CaptureAudio(Run& run);
    // `bytesPerSecond`: of the opened stream, to tell a packet's capture time from what is
    // still queued behind it when the server does not tell it.
    static void CaptureLoop(vistrec::platform::AudioCaptureStream& stream, Run& run,
                            int bytesPerSecond);
    // Looks the default device up and records its name; false when there is none.
    static bool GetDefaultDevice();
    // Compares the current default device's name with the recorded one over the stream's
    // connection; a different name is recorded and reported as true. Capture thread.
    static bool IsDefaultDeviceChanged(vistrec::platform::AudioCaptureStream& stream);
    // Joins stopped threads that have finished.
    void ReapStopped(bool all);

    bool m_initialised = false;
    std::string m_device;              // default device found by Init
    std::shared_ptr<Run> m_run;        // events of the current cycle, shared with its thread
    std::thread m_thread;              // the launched thread until Stop
    std::shared_ptr<Run> m_threadRun;  // the state m_thread runs with
    std::shared_ptr<std::atomic<bool>> m_finished;  // set by m_thread as it returns
    std::atomic<bool> m_hasThread{false};
    // Stopped threads, possibly still finishing their clean-up, with their finished flags.
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> m_stopped;
};

#endif  // VISTREC_AUDIOCAPTURE_AUDIOCAPTURE_H
