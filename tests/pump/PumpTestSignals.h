// Test signals for the audio tests: 16-bit PCM blocks made of tones, noise and constants.
#ifndef VISTREC_TESTS_PUMP_PUMPTESTSIGNALS_H
#define VISTREC_TESTS_PUMP_PUMPTESTSIGNALS_H

#include <stdint.h>
#include <string.h>

#include <cmath>
#include <random>
#include <vector>

namespace pumptest {

constexpr double kPi = 3.14159265358979323846;

inline int16_t Clip16(double v) {
    const long r = std::lround(v);
    return static_cast<int16_t>(r > 32767 ? 32767 : (r < -32768 ? -32768 : r));
}

// `count` samples of a sine of `amplitude` (fraction of full scale 32767) at `hz`, 16 kHz.
inline std::vector<int16_t> Sine(int count, double hz, double amplitude, int firstIndex = 0) {
    std::vector<int16_t> s(count);
    for (int i = 0; i < count; ++i)
        s[i] = Clip16(amplitude * 32767.0 * std::sin(2 * kPi * hz * (firstIndex + i) / 16000.0));
    return s;
}

// Gaussian white noise of standard deviation `sigma` (fraction of full scale).
inline std::vector<int16_t> WhiteNoise(int count, double sigma, std::mt19937* rng) {
    std::normal_distribution<double> dist(0.0, sigma * 32767.0);
    std::vector<int16_t> s(count);
    for (int i = 0; i < count; ++i)
        s[i] = Clip16(dist(*rng));
    return s;
}

inline std::vector<uint8_t> ToBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> b(samples.size() * 2);
    memcpy(b.data(), samples.data(), b.size());
    return b;
}

inline std::vector<int16_t> ToSamples(const uint8_t* bytes, int count) {
    std::vector<int16_t> s(count);
    memcpy(s.data(), bytes, static_cast<size_t>(count) * 2);
    return s;
}

}  // namespace pumptest

#endif
