// Tone generation and measurement for the audio tests.
#ifndef VISTREC_TESTS_AUDIO_TONEANALYSIS_H
#define VISTREC_TESTS_AUDIO_TONEANALYSIS_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace vistrec {
namespace test {

// Peak amplitude (in sample units) of the frequency component at `frequency`, by the Goertzel
// algorithm over n samples taken at `rate`.
inline double ToneAmplitude(const int16_t* samples, size_t n, double frequency, double rate) {
    if (n == 0)
        return 0.0;
    const double coeff = 2.0 * cos(2.0 * M_PI * frequency / rate);
    double s1 = 0.0, s2 = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double s0 = samples[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * sqrt(power > 0.0 ? power : 0.0) / static_cast<double>(n);
}

// Interleaved 16-bit frames [first, first + frames) of a sine of peak `amplitude` (0 to 1 of
// full scale) in channel `toneChannel` (-1: every channel); the other channels are silent.
inline std::vector<int16_t> ToneFrames(int rate, int channels, long first, int frames,
                                       double frequency, double amplitude, int toneChannel = -1) {
    std::vector<int16_t> out(static_cast<size_t>(frames) * channels, 0);
    for (int i = 0; i < frames; ++i) {
        const double v = amplitude * 32767.0 * sin(2.0 * M_PI * frequency * (first + i) / rate);
        for (int c = 0; c < channels; ++c) {
            if (toneChannel < 0 || c == toneChannel)
                out[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(lrint(v));
        }
    }
    return out;
}

}  // namespace test
}  // namespace vistrec

#endif  // VISTREC_TESTS_AUDIO_TONEANALYSIS_H
