// The noise-suppression library libnuvra, loaded at run time. The recorder runs without it:
// when it is missing, fails to load or its init fails, Available() is false and the
// microphone blocks pass unprocessed.
#ifndef VISTREC_AUDIOCAPTURE_NOISESUPPRESSOR_H
#define VISTREC_AUDIOCAPTURE_NOISESUPPRESSOR_H

#include <stdint.h>

#include <memory>
#include <string>

#include "nuvra/nuvra.h"
#include "platform/Platform.h"

class CNoiseSuppressor {
  public:
    // How far the output lags the input: libnuvra works on 20 ms frames and each frame comes
    // out overlap-added with the one before.
    static constexpr int64_t kDelayMs = 20;

    // Looks for the library beside vistrec's own binary, then beside the executable, then on
    // the system's search path, and calls its nuvra_init. VISTREC_NO_NUVRA=1 in the
    // environment skips loading.
    CNoiseSuppressor();
    CNoiseSuppressor(const CNoiseSuppressor&) = delete;
    CNoiseSuppressor& operator=(const CNoiseSuppressor&) = delete;

    // True when the library loaded and nuvra_init returned 0.
    bool Available() const { return m_process != nullptr; }
    // What the library was loaded as (a path or a bare file name); empty when not loaded.
    const std::string& LoadedFrom() const { return m_loadedFrom; }
    // nuvra_process: 16-bit mono 16 kHz PCM from in to out; -1 when unavailable. Uses the
    // library's one process-wide state: record thread only.
    int Process(const uint8_t* in, int inLength, uint8_t* out, int outLength);

  private:
    std::unique_ptr<vistrec::platform::SharedLibrary> m_library;
    nuvra_process_fn m_process = nullptr;
    std::string m_loadedFrom;
};

#endif
