// The sound-file source of audio mode 0: any file FFmpeg reads (MP3, WAV, AAC/M4A, Ogg/Opus,
// FLAC), decoded a few seconds ahead, converted to 16-bit mono 16000 Hz and handed out block by
// block as the recording's clock reaches each block, so that the file's sound lands at its own
// time in the recording.
//
// Pacing: block i (bytes [3200 i, 3200 (i + 1))) covers [100 i, 100 (i + 1)) ms of running time
// and is held once that time is over, as a microphone would hold it; Read takes it when more
// than the requested bytes are held, like every sound source. Running time counts from Start
// (or from Clear, which puts the file's start at that moment) and stands still between Stop
// and Start: a pause holds the position and nothing of the file is skipped. After the file's
// end the source goes on with blocks of silence, so the recording's track stays continuous
// like a quiet microphone's rather than running dry.
// The pacing only says when a block can be taken, not where it lies in the recording: the
// source stops and starts a loop pass or a paused sleep after the recording's pause began or
// ended, so its running time is not the recording's to the millisecond. Each block therefore
// says it follows the one before (kContinuousSoundMs), and the recording writes the file's
// sound in order, none of it moved or cut.
//
// A recording starts the source (Start) and then clears it when its loop begins (Clear): Clear
// rewinds to the file's start if anything was read, so every recording plays the file from its
// beginning. The file is opened by the first Start (or by Clear after a new file was set);
// Start returns false, with one log line, for a missing or unreadable file, a file without an
// audio stream, or a decoder that will not open. A damaged packet in the middle is skipped.
#ifndef VISTREC_AUDIOCAPTURE_MP3DECODER_H
#define VISTREC_AUDIOCAPTURE_MP3DECODER_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IDSoundRecorder.h"
#include "support/MemoryBuffer.h"

class CMp3Decoder : public IDSoundRecorder {
  public:
    // Milliseconds from any fixed origin; only differences are used.
    using Clock = std::function<int64_t()>;

    static constexpr int kSampleRate = 16000;
    static constexpr int kBlockBytes = 3200;       // 100 ms
    static constexpr int kBytesPerMs = 32;         // 16-bit mono at 16000 Hz
    static constexpr int kAheadBytes = 3 * 32000;  // decoded ahead of the reader: 3 s
    static constexpr int kPacketsPerFill = 64;     // demuxer packets read per Read at most

    // `clock` null: the steady clock.
    explicit CMp3Decoder(Clock clock = nullptr);
    ~CMp3Decoder() override;
    CMp3Decoder(const CMp3Decoder&) = delete;
    CMp3Decoder& operator=(const CMp3Decoder&) = delete;

    // The file to play (copied; null ignored). Takes effect at the next opening: the next
    // recording's Clear, or the first Start.
    void SetFile(const char* path);
    // The file's bytes instead of a path (copied), read through FFmpeg's custom I/O.
    void SetMemory(const uint8_t* data, size_t size);

    int GetSampleRate() override { return kSampleRate; }
    bool HasData() override;
    bool Start() override;
    void Stop() override;
    int Read(uint8_t* out, int bytes, int* got) override;
    // The file's blocks follow each other: each is the sound after the one before, wherever the
    // pacing put the Read.
    int64_t LastReadCaptureMs() const override { return kContinuousSoundMs; }
    int GetDataSize() override;
    void Clear() override;

    // The file's sound has all been handed out; blocks are silence from now on.
    bool Finished();
    // Packets the decoder refused (damaged frames skipped) since the file was opened.
    int SkippedPackets();

  private:
    struct Input;  // the open demuxer, decoder and resampler

    bool Open();   // opens the path or memory from its start; logs and returns false on failure
    void Close();  // frees the decoding state; the position is lost
    // Decodes until kAheadBytes are held or the file ends, reading at most `packets` packets.
    void Fill(int packets);
    void DecodeFrames();
    void Convert(const struct AVFrame* frame);
    void EndOfFile();
    int64_t RunningMs() const;
    int64_t HeldBytes() const;

    std::mutex m_lock;  // guards everything below: the setters run on the host's thread
    Clock m_clock;
    std::string m_path;
    std::vector<uint8_t> m_memory;
    bool m_useMemory = false;
    bool m_sourceChanged = false;  // a new file was set since the last opening

    std::unique_ptr<Input> m_input;  // null when closed or after the file's end
    bool m_open = false;             // a file was opened and has a position
    bool m_decodedAll = false;       // the decoder is drained: m_pcm holds the rest
    CMemoryBuffer m_pcm;             // decoded 16 kHz mono PCM not yet handed out
    std::vector<uint8_t> m_convertScratch;

    bool m_running = false;
    int64_t m_runMs = 0;      // running time before the last Start
    int64_t m_resumedAt = 0;  // clock reading at the last Start
    int64_t m_handedOut = 0;  // bytes handed out since the file's start
    bool m_delivered = false;
    int m_skipped = 0;
};

#endif
