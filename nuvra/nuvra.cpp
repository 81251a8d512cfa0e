// libnuvra: speexdsp's preprocessor used as a stationary-noise suppressor.
//
// One suppressor state per process, created by nuvra_init and kept until the library is
// unloaded. Its noise estimate follows the stream it is fed, so it suits one microphone at a
// time: calls from several threads are serialised by a mutex and are memory-safe, but two
// interleaved streams would share (and blur) one noise estimate.
#include "nuvra.h"

#include <speex/speex_preprocess.h>
#include <string.h>

#include <memory>
#include <mutex>

#define NUVRA_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int kSampleRate = 16000;
// 20 ms frames: the preprocessor's best-supported size; five of them tile a 100 ms block.
constexpr int kFrameSamples = 320;
constexpr int kFrameBytes = kFrameSamples * 2;

struct StateDeleter {
    void operator()(SpeexPreprocessState* s) const { speex_preprocess_state_destroy(s); }
};

std::mutex g_mutex;
// Freed by the static destructor when the library is unloaded.
std::unique_ptr<SpeexPreprocessState, StateDeleter> g_state;

SpeexPreprocessState* CreateState() {
    SpeexPreprocessState* st = speex_preprocess_state_init(kFrameSamples, kSampleRate);
    if (!st)
        return nullptr;
    int on = 1;
    int off = 0;
    // Denoise only: no gain control (levels stay comparable with the unprocessed path) and no
    // dereverberation. Voice detection stays at its default, off (setting it prints a warning).
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    return st;
}

}  // namespace

extern "C" NUVRA_EXPORT int nuvra_init(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_state)
        g_state.reset(CreateState());
    return g_state ? 0 : -1;
}

extern "C" NUVRA_EXPORT int nuvra_process(const unsigned char* in, int inLength, unsigned char* out,
                                          int outLength) {
    if (!in || !out || inLength <= 0 || inLength % kFrameBytes != 0 || outLength < inLength)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_state)
        return -1;
    // The byte buffers carry no alignment promise: each frame goes through an aligned copy.
    spx_int16_t frame[kFrameSamples];
    for (int offset = 0; offset < inLength; offset += kFrameBytes) {
        memcpy(frame, in + offset, kFrameBytes);
        speex_preprocess_run(g_state.get(), frame);
        memcpy(out + offset, frame, kFrameBytes);
    }
    return inLength;
}
