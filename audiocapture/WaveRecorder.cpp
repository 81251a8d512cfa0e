#include "audiocapture/WaveRecorder.h"

#include <algorithm>

#include "platform/PlatformAudio.h"
#include "support/Log.h"

using vistrec::platform::AudioCaptureStream;
using vistrec::platform::AudioErrorText;

CWaveRecorder::~CWaveRecorder() {
    Stop();
}

bool CWaveRecorder::Start() {
    std::lock_guard<std::mutex> control(m_control);
    if (m_thread.joinable())
        return m_recording.load();
    m_cycle = std::make_unique<Cycle>();
    Cycle* cycle = m_cycle.get();
    m_thread = std::thread(&CWaveRecorder::Run, this, cycle);
    // A server that is absent refuses at once; one that does not answer is given up on here,
    // and the thread carries on trying.
    if (!cycle->firstTry.Wait(kStartWaitMs) || !cycle->opened.load()) {
        VLOG_WARN("microphone not recording yet: the track stays silent until it is");
        return false;
    }
    return true;
}

void CWaveRecorder::Stop() {
    {
        std::lock_guard<std::mutex> control(m_control);
        if (m_thread.joinable()) {
            // Every request of the thread gives up within the sound server's time-out.
            m_cycle->stop.Set();
            m_thread.join();
            m_cycle.reset();
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_buffer.Clear();
    m_stamps.Clear();
    if (m_droppedBytes > m_droppedReported)
        VLOG_WARN("microphone buffer full: " << m_droppedBytes - m_droppedReported
                                             << " bytes of sound dropped");
    m_droppedReported = m_droppedBytes;
}

int CWaveRecorder::Read(uint8_t* out, int bytes, int* got) {
    if (got)
        *got = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    const int held = m_buffer.Size();
    // Strictly more than one request must be held: the newest piece may still be arriving.
    if (held <= bytes)
        return held;
    if (m_buffer.Read(out, bytes) != bytes)
        return -1;
    m_lastReadMs = m_stamps.Take(bytes, kSampleRate * 2);
    if (got)
        *got = bytes;
    return m_buffer.Size();
}

int CWaveRecorder::GetDataSize() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_buffer.Size();
}

void CWaveRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_buffer.Clear();
    m_stamps.Clear();
}

int64_t CWaveRecorder::DroppedBytes() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_droppedBytes;
}

void CWaveRecorder::Append(const uint8_t* data, int bytes, int64_t capturedMs) {
    if (!data || bytes <= 0)
        return;
    m_dataReceived = true;
    std::lock_guard<std::mutex> lock(m_lock);
    const int excess = m_buffer.Size() + bytes - kMaxBufferBytes;
    if (excess > 0) {
        const int drop = std::min(excess, m_buffer.Size());
        m_dropScratch.resize(static_cast<size_t>(std::max(drop, 1)));
        m_buffer.Read(m_dropScratch.data(), drop);
        m_stamps.Take(drop, kSampleRate * 2);
        m_droppedBytes += excess;
        if (!m_dropping)
            VLOG_WARN("microphone buffer full: dropping the oldest sound");
        m_dropping = true;
        if (bytes > kMaxBufferBytes) {
            data += bytes - kMaxBufferBytes;
            if (capturedMs != kUnknownCaptureMs)
                capturedMs += (bytes - kMaxBufferBytes) * 1000 / (kSampleRate * 2);
            bytes = kMaxBufferBytes;
        }
    } else {
        m_dropping = false;
    }
    m_buffer.Append(data, bytes);
    m_stamps.Append(bytes, capturedMs);
}

int CWaveRecorder::OpenSource(std::unique_ptr<AudioCaptureStream>* stream, std::string* device) {
    int err = vistrec::platform::ConnectMicrophoneRecorder(stream);
    if (!err)
        err = (*stream)->DefaultDeviceName(device);
    // The server converts the device's own format into the recording format.
    if (!err)
        err = (*stream)->Open(*device, kSampleRate, 1);
    if (!err)
        err = (*stream)->Start();
    if (err)
        stream->reset();
    return err;
}

void CWaveRecorder::Run(Cycle* cycle) {
    unsigned delayMs = kRetryMinMs;
    bool first = true;
    bool reported = false;  // this outage has been logged
    while (!cycle->stop.IsSet()) {
        std::unique_ptr<AudioCaptureStream> stream;
        std::string device;
        const int err = OpenSource(&stream, &device);
        cycle->opened = err == 0;
        if (first) {
            first = false;
            cycle->firstTry.Set();
        }
        if (err) {
            if (!reported)
                VLOG_WARN("microphone cannot be opened, retrying: " << AudioErrorText(err));
            reported = true;
            if (cycle->stop.Wait(delayMs))
                break;
            delayMs = std::min(delayMs * 2, kRetryMaxMs);
            continue;
        }
        VLOG_INFO("microphone recording from " << stream->DeviceName() << " at " << kSampleRate
                                               << " Hz mono");
        reported = false;
        delayMs = kRetryMinMs;
        // Sound left from before a loss (less than a block) belongs before the gap, not after.
        Clear();
        m_recording = true;
        const bool stopped = ReadLoop(*stream, device, cycle);
        m_recording = false;
        if (stopped)
            break;
    }
}

bool CWaveRecorder::ReadLoop(AudioCaptureStream& stream, const std::string& device, Cycle* cycle) {
    // One second of room per read: pieces arrive every 100 ms.
    std::vector<uint8_t> piece(static_cast<size_t>(kSampleRate) * 2);
    uint32_t changes = stream.ServerChangeCount();
    while (!cycle->stop.Wait(kPollMs)) {
        size_t got = 0;
        do {
            const int err = stream.Read(piece.data(), piece.size(), &got);
            if (err) {
                VLOG_WARN("microphone lost: " << AudioErrorText(err));
                return false;
            }
            // Stamped as the mode-1 capture stamps its packets: placed by its hand-over time the
            // sound came out late on a busy machine.
            size_t ready = 0;
            const bool readable = got > 0 && stream.Readable(&ready) == 0;
            const int64_t capturedMs =
                CaptureTimeOfRead(stream, got, readable ? ready : 0, kSampleRate * 2);
            Append(piece.data(), static_cast<int>(got), capturedMs);
        } while (got == piece.size());
        // The stream stays on its device; a new default source is followed by reopening.
        const uint32_t now = stream.ServerChangeCount();
        if (now != changes) {
            changes = now;
            std::string current;
            if (stream.DefaultDeviceName(&current) == 0 && current != device) {
                VLOG_INFO("default microphone changed to " << current);
                return false;
            }
        }
    }
    return true;
}
