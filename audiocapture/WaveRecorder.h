// The microphone of audio mode 0: the sound server's default source recorded as 16-bit mono PCM
// at 16000 Hz (the server converts whatever the device holds), in 100 ms pieces, by a reading
// thread of its own, into a bounded buffer from which the audio pump takes 3200-byte blocks.
//
// A server that is absent when the recording starts, or that goes away during it, costs only
// sound: Start reports false and the reading thread keeps reopening the default source with
// back-off until Stop, so sound returns once the server is back. A change of the default source
// moves the recording to the new one.
//
// Threads: Start, Stop, Read, GetDataSize and Clear run on the record thread (Start and Stop
// are serialised anyway); the reading thread appends. The buffer has its own lock.
#ifndef VISTREC_AUDIOCAPTURE_WAVERECORDER_H
#define VISTREC_AUDIOCAPTURE_WAVERECORDER_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audiocapture/CaptureStamps.h"
#include "audiocapture/IDSoundRecorder.h"
#include "support/Event.h"
#include "support/MemoryBuffer.h"

namespace vistrec {
namespace platform {
class AudioCaptureStream;
}
}  // namespace vistrec

class CWaveRecorder final : public IDSoundRecorder {
  public:
    static constexpr int kSampleRate = 16000;
    static constexpr int kBlockBytes = 3200;  // 100 ms
    // Most sound held: 10 s. The pump takes a block every pass, so a full buffer means nobody
    // reads (a stalled recording); the oldest sound goes first and is counted.
    static constexpr int kMaxBufferBytes = 10 * kSampleRate * 2;
    // How long Start waits for the first attempt to open the source.
    static constexpr unsigned kStartWaitMs = 1000;
    // Pause between two reads of the stream.
    static constexpr unsigned kPollMs = 20;
    // Back-off between attempts to reopen the source.
    static constexpr unsigned kRetryMinMs = 250;
    static constexpr unsigned kRetryMaxMs = 2000;

    CWaveRecorder() = default;
    // Stops the reading thread.
    ~CWaveRecorder() override;
    CWaveRecorder(const CWaveRecorder&) = delete;
    CWaveRecorder& operator=(const CWaveRecorder&) = delete;

    int GetSampleRate() override { return kSampleRate; }
    bool HasData() override { return m_dataReceived.load(); }
    // Launches the reading thread (unless it runs) and waits up to kStartWaitMs for its first
    // attempt: true when the source records. False means no sound yet (no server, no source);
    // the thread goes on trying until Stop.
    bool Start() override;
    // Ends the reading thread and the stream, then empties the buffer. Never started: only the
    // buffer is emptied.
    void Stop() override;
    int Read(uint8_t* out, int bytes, int* got) override;
    int64_t LastReadCaptureMs() const override { return m_lastReadMs.load(); }
    int GetDataSize() override;
    void Clear() override;

    // Where the reading thread's sound goes: an empty piece is ignored; otherwise the data flag
    // is set and the bytes are appended, the first captured at `capturedMs`, the oldest sound
    // making room beyond kMaxBufferBytes.
    void Append(const uint8_t* data, int bytes, int64_t capturedMs = kUnknownCaptureMs);

    // The source records now (the stream is open and delivering).
    bool IsRecording() const { return m_recording.load(); }
    // Bytes dropped from the full buffer since construction.
    int64_t DroppedBytes();

  private:
    // One reading thread's stop event and first-attempt report.
    struct Cycle {
        CEvent stop{true, false};
        CEvent firstTry{true, false};  // the first attempt to open the source has ended
        std::atomic<bool> opened{false};
    };
    void Run(Cycle* cycle);
    // Opens the default source in the recording format and starts it; 0 or an error code.
    static int OpenSource(std::unique_ptr<vistrec::platform::AudioCaptureStream>* stream,
                          std::string* device);
    // Reads until stop (true) or a failure or a new default source (false).
    bool ReadLoop(vistrec::platform::AudioCaptureStream& stream, const std::string& device,
                  Cycle* cycle);

    std::mutex m_control;  // serialises Start and Stop
    std::unique_ptr<Cycle> m_cycle;
    std::thread m_thread;

    std::mutex m_lock;  // guards the buffer and the drop counters
    CMemoryBuffer m_buffer;
    CCaptureStamps m_stamps;  // when the buffer's bytes were captured
    std::vector<uint8_t> m_dropScratch;
    int64_t m_droppedBytes = 0;
    int64_t m_droppedReported = 0;  // dropped bytes already logged by Stop
    bool m_dropping = false;        // the last append dropped sound

    std::atomic<int64_t> m_lastReadMs{kUnknownCaptureMs};
    std::atomic<bool> m_dataReceived{false};
    std::atomic<bool> m_recording{false};
};

#endif  // VISTREC_AUDIOCAPTURE_WAVERECORDER_H
