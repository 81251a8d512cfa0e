// The audio pump: each tick moves at most one 100 ms block to the muxer's hand-off, in the
// two-source modes from the microphone and playback sources through noise suppression and the
// mixer, in the single-source mode from one IDSoundRecorder through noise suppression. Also the
// level meter the hand-off uses.
#ifndef VISTREC_AUDIOCAPTURE_AUDIOPUMP_H
#define VISTREC_AUDIOCAPTURE_AUDIOPUMP_H

#include <stdint.h>

#include <functional>
#include <vector>

#include "AudioMixer.h"
#include "IDSoundRecorder.h"
#include "IPumpSource.h"
#include "NoiseSuppressor.h"

// Hand-off format: signed 16-bit little-endian mono PCM at 16 kHz, 3200-byte (100 ms) blocks.
constexpr int kPumpBlockBytes = 3200;
constexpr int kPumpBlockSamples = kPumpBlockBytes / 2;
constexpr int kPumpSampleRate = 16000;
constexpr int kPumpBlockMs = 100;

// Level 0 to 100 of `count` samples: the mean absolute amplitude scaled so that one fifth of
// full scale or more reads 100 (sum of |s| as a 32-bit integer, x 500 / (count x 32767),
// truncated). 0 when count < 1.
int VolumeLevel(const short* samples, int count);

class CAudioPump {
  public:
    // Receives each produced block, its byte count and when its first sample was captured
    // (GetMsTime's clock; kUnknownCaptureMs for a source that does not say, kContinuousSoundMs
    // for a sound file, whose blocks simply follow each other) (the muxer's PushAudio).
    using Handoff = std::function<void(const uint8_t* pcm, int bytes, int64_t capturedMs)>;

    // None of the pointers is owned; each may be null. The pump mixes only when
    // mixerInitResult (what mixer->Init() returned) is not negative, and suppresses noise only
    // when ns is available.
    CAudioPump(IPumpSource* mic, IPumpSource* playback, CAudioMixer* mixer, int mixerInitResult,
               CNoiseSuppressor* ns, Handoff handoff);
    CAudioPump(const CAudioPump&) = delete;
    CAudioPump& operator=(const CAudioPump&) = delete;

    // One tick of the microphone-and-playback modes; record thread only. Returns 0.
    int Tick();
    // One tick of the single-source mode; record thread only. The block passes the noise
    // suppressor when `suppressNoise` says so (a microphone, not a prepared sound file). Returns
    // what the source's Read returned (0 without a source). Each block carries what the source
    // says of its capture time.
    int TickSource(IDSoundRecorder* source, bool suppressNoise);

    // Blocks produced so far (handed off or not): a caller can tick until no more come.
    int64_t BlocksOut() const { return m_blocksOut; }

  private:
    static bool IsRunning(IPumpSource* source) { return source && source->IsRunning(); }
    // Both sources hold a block (`micBlock`, `playbackBlock`), so they are mixed block by
    // block: blocks captured half a block or more apart would put the sound of one source out
    // of place (one source held a block back while the other had stopped flowing, or started
    // later). The older source's block has no partner and is dropped, counted and logged, so
    // that the next tick pairs blocks captured together; true when one was.
    bool DropUnpairedBlock(bool micBlock, bool playbackBlock);

    IPumpSource* m_mic;
    IPumpSource* m_playback;
    CAudioMixer* m_mixer;
    int m_mixerInitResult;
    CNoiseSuppressor* m_ns;
    Handoff m_handoff;
    int64_t m_blocksOut = 0;
    // Fetch targets, allocated once: one block plus one spare byte.
    std::vector<uint8_t> m_micWork;
    std::vector<uint8_t> m_playbackWork;
    // The end of the last playback block, which goes first in a mix with the suppressed
    // microphone (as long as the suppressor's delay).
    uint8_t m_playbackTail[CNoiseSuppressor::kDelayMs * kPumpSampleRate / 1000 * 2] = {};
    int64_t m_unpairedBlocks = 0;  // dropped by DropUnpairedBlock
    bool m_droppingUnpaired = false;
};

#endif
