#include "AudioPump.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "support/Log.h"

namespace {

// Each tick works on four stack blocks of this size; only the first 3200 bytes carry data.
constexpr int kStackBlockBytes = 16000;
constexpr int kWorkBufferBytes = kPumpBlockBytes + 1;

// Resamples one 50 ms chunk of a running source's raw queue into its block queue.
void ResampleChunk(IPumpSource* source) {
    int rate = 0;
    int channels = 0;
    if (!source->GetCaptureFormat(&rate, &channels))
        return;  // nothing captured yet
    source->AudioResampling(AV_SAMPLE_FMT_S16, channels, rate, nullptr, rate / 20,
                            AV_SAMPLE_FMT_S16, 1, kPumpSampleRate, nullptr);
}

// When a block mixed from two sources was captured: the pump pairs blocks captured less than
// half a block apart; the mix holds sound of both, and midway between them neither is off by
// more than a quarter of a block.
int64_t MixedCaptureMs(int64_t mic, int64_t playback) {
    if (mic == kUnknownCaptureMs || playback == kUnknownCaptureMs)
        return mic == kUnknownCaptureMs ? playback : mic;
    return mic + (playback - mic) / 2;
}

}  // namespace

int VolumeLevel(const short* samples, int count) {
    if (count < 1 || !samples)
        return 0;
    // A 32-bit sum, as the meter has always used; unsigned so that a huge count wraps
    // instead of overflowing.
    uint32_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<uint32_t>(samples[i] < 0 ? -samples[i] : samples[i]);
    const double level = static_cast<int32_t>(sum) * 500.0 / (count * 32767.0);
    return std::max(0, std::min(100, static_cast<int>(level)));
}

CAudioPump::CAudioPump(IPumpSource* mic, IPumpSource* playback, CAudioMixer* mixer,
                       int mixerInitResult, CNoiseSuppressor* ns, Handoff handoff)
    : m_mic(mic),
      m_playback(playback),
      m_mixer(mixer),
      m_mixerInitResult(mixerInitResult),
      m_ns(ns),
      m_handoff(std::move(handoff)),
      m_micWork(kWorkBufferBytes, 0),
      m_playbackWork(kWorkBufferBytes, 0) {}

int CAudioPump::Tick() {
    uint8_t nsBlock[kStackBlockBytes];
    uint8_t micBlock[kStackBlockBytes];
    uint8_t playbackBlock[kStackBlockBytes];
    uint8_t outBlock[kStackBlockBytes];
    memset(micBlock, 0, sizeof micBlock);
    memset(playbackBlock, 0, sizeof playbackBlock);
    memset(outBlock, 0, sizeof outBlock);
    int micCount = 0;

    const bool micRunning = IsRunning(m_mic);
    const bool playbackRunning = IsRunning(m_playback);
    if (micRunning)
        ResampleChunk(m_mic);
    if (playbackRunning)
        ResampleChunk(m_playback);

    // A running source whose data flows but that has no whole block yet holds the tick back,
    // keeping the two aligned; a source whose data stopped flowing does not.
    const bool micCanFetch = m_mic && m_mic->isCanFetch();
    const bool micFlowing = m_mic && m_mic->IsDataFlowing();
    const bool playbackCanFetch = m_playback && m_playback->isCanFetch();
    const bool playbackFlowing = m_playback && m_playback->IsDataFlowing();
    if ((!micCanFetch && micFlowing && micRunning) ||
        (!playbackCanFetch && playbackFlowing && playbackRunning)) {
        VLOG_DEBUG("声音数据未准备好" << micCanFetch << micFlowing << "----" << playbackCanFetch
                                      << playbackFlowing);
        return 0;
    }

    if (DropUnpairedBlock(micRunning && micCanFetch, playbackRunning && playbackCanFetch))
        return 0;

    if (micRunning) {
        m_mic->FetchData(m_micWork.data(), kPumpBlockBytes, &micCount);
        if (micCount >= 1 && micCount <= kPumpBlockBytes) {
            memset(nsBlock, 0, sizeof nsBlock);
            if (m_ns && m_ns->Available()) {
                m_ns->Process(m_micWork.data(), kPumpBlockBytes, nsBlock, kPumpBlockBytes);
                memcpy(micBlock, nsBlock, kPumpBlockBytes);
            } else {
                memcpy(micBlock, m_micWork.data(), kPumpBlockBytes);
            }
        }
    }

    int playbackCount = 0;
    if (playbackRunning) {
        m_playback->FetchData(m_playbackWork.data(), kPumpBlockBytes, &playbackCount);
        if (playbackCount >= 1 && playbackCount <= kPumpBlockBytes)
            memcpy(playbackBlock, m_playbackWork.data(), playbackCount);
    }

    if (micCount == 0 && playbackCount == 0)
        return 0;
    ++m_blocksOut;

    // The suppressor delays the microphone by its delay: in a mix the playback is delayed as
    // much (the end of its previous block goes first) so that the two stay together, and the
    // block holds sound captured that much before its stamps.
    constexpr int kTailBytes = int(CNoiseSuppressor::kDelayMs) * kPumpSampleRate / 1000 * 2;
    const int64_t delayMs =
        micCount != 0 && m_ns && m_ns->Available() ? CNoiseSuppressor::kDelayMs : 0;
    uint8_t delayedPlayback[kPumpBlockBytes];
    if (playbackCount != 0) {
        memcpy(delayedPlayback, m_playbackTail, kTailBytes);
        memcpy(delayedPlayback + kTailBytes, playbackBlock, kPumpBlockBytes - kTailBytes);
        memcpy(m_playbackTail, playbackBlock + kPumpBlockBytes - kTailBytes, kTailBytes);
    }

    // A failed mixer leaves the output silent; the hand-off still carries the true count.
    if (m_mixerInitResult >= 0 && m_mixer) {
        if (micCount == 0)
            memcpy(outBlock, playbackBlock, kPumpBlockBytes);
        else if (playbackCount != 0)
            m_mixer->Mix(micBlock, delayMs ? delayedPlayback : playbackBlock, kPumpBlockSamples,
                         outBlock);
        else
            memcpy(outBlock, micBlock, kPumpBlockBytes);
    }

    const int count = std::max(micCount, playbackCount);
    VLOG_DEBUG("添加数据" << count);
    const int64_t mixedMs =
        MixedCaptureMs(micCount ? m_mic->FetchedCaptureMs() : kUnknownCaptureMs,
                       playbackCount ? m_playback->FetchedCaptureMs() : kUnknownCaptureMs);
    if (m_handoff)
        m_handoff(outBlock, count, mixedMs == kUnknownCaptureMs ? mixedMs : mixedMs - delayMs);
    return 0;
}

bool CAudioPump::DropUnpairedBlock(bool micBlock, bool playbackBlock) {
    const int64_t micMs = micBlock ? m_mic->QueuedCaptureMs() : kUnknownCaptureMs;
    const int64_t playbackMs = playbackBlock ? m_playback->QueuedCaptureMs() : kUnknownCaptureMs;
    if (micMs == kUnknownCaptureMs || playbackMs == kUnknownCaptureMs ||
        std::abs(micMs - playbackMs) < kPumpBlockMs / 2) {
        m_droppingUnpaired = false;
        return false;
    }
    // The older source loses exactly the difference (a block at most), not a whole block: two
    // sources about half a block apart would otherwise lose a block each in turn as their
    // stamps jitter around the bound, a gap in the mix every time.
    IPumpSource* older = micMs < playbackMs ? m_mic : m_playback;
    const int64_t aheadMs = std::min<int64_t>(std::abs(micMs - playbackMs), kPumpBlockMs);
    const int bytes = static_cast<int>(aheadMs * kPumpBlockBytes / kPumpBlockMs) & ~1;
    int got = 0;
    older->FetchData(older == m_mic ? m_micWork.data() : m_playbackWork.data(), bytes, &got);
    ++m_unpairedBlocks;
    if (!m_droppingUnpaired)
        VLOG_WARN("sound sources out of step by " << std::abs(micMs - playbackMs)
                                                  << " ms: dropping the older source's blocks ("
                                                  << m_unpairedBlocks << " so far)");
    m_droppingUnpaired = true;
    return true;
}

int CAudioPump::TickSource(IDSoundRecorder* source, bool suppressNoise) {
    if (!source)
        return 0;
    int count = 0;
    const int result = source->Read(m_micWork.data(), kPumpBlockBytes, &count);
    if (count < 1 || count > kPumpBlockBytes)
        return result;
    ++m_blocksOut;
    const int64_t capturedMs = source->LastReadCaptureMs();
    if (suppressNoise && m_ns && m_ns->Available()) {
        uint8_t nsBlock[kStackBlockBytes];
        memset(nsBlock, 0, sizeof nsBlock);
        m_ns->Process(m_micWork.data(), kPumpBlockBytes, nsBlock, kPumpBlockBytes);
        // The suppressed block holds sound captured the suppressor's delay before the block.
        const bool stamped = capturedMs != kUnknownCaptureMs && capturedMs != kContinuousSoundMs;
        if (m_handoff)
            m_handoff(nsBlock, count,
                      stamped ? capturedMs - CNoiseSuppressor::kDelayMs : capturedMs);
    } else if (m_handoff) {
        m_handoff(m_micWork.data(), count, capturedMs);
    }
    return result;
}
