// Recording tests with sound: a private PulseAudio, tones and silence in short windows of a
// decoded sound track.
#ifndef VISTREC_TESTS_COMMON_SOUNDCHECKS_H
#define VISTREC_TESTS_COMMON_SOUNDCHECKS_H

#include <functional>
#include <string>

#include "Media.h"
#include "PulseFixture.h"
#include "RecorderFixture.h"

namespace vistrec::test {

// A tone is present in a window at kPresent of full scale or more and at least 10 times its
// amplitude at kReferenceHz, which no test signal has. A window is silent below kSilentRms.
constexpr double kPresent = 0.02, kSilentRms = 0.003, kReferenceHz = 1860.0;

inline bool Present(const AudioTrack& a, double t, double length, double frequency) {
    const double amplitude = a.Tone(t, length, frequency);
    return amplitude >= kPresent && amplitude >= 10.0 * a.Tone(t, length, kReferenceHz);
}
// Share of the windows of `length` in [from, to) for which `holds` is true.
inline double Share(double from, double to, double length,
                    const std::function<bool(double)>& holds) {
    int all = 0, yes = 0;
    for (double t = from; t + length <= to + 1e-9; t += length, ++all)
        yes += holds(t);
    return all == 0 ? 0.0 : static_cast<double>(yes) / all;
}
inline double ShareWith(const AudioTrack& a, double from, double to, double length,
                        double frequency) {
    return Share(from, to, length, [&](double t) { return Present(a, t, length, frequency); });
}
inline double SilentShare(const AudioTrack& a, double from, double to) {
    return Share(from, to, 0.1, [&](double t) { return a.Rms(t, 0.1) < kSilentRms; });
}
// Start of the first window of `length` in [from, to) with `frequency` present; -1 if none.
inline double FirstPresent(const AudioTrack& a, double from, double to, double length,
                           double frequency) {
    for (double t = from; t + length <= to + 1e-9; t += length)
        if (Present(a, t, length, frequency))
            return t;
    return -1.0;
}

class SoundRecorderTest : public RecorderTest {
  protected:
    void SetUp() override {
        RecorderTest::SetUp();
        std::string error;
        ASSERT_TRUE(pulse_.Start(&error)) << error;
        pulse_.ExportServer();
    }
    PulseServer pulse_;
};

}  // namespace vistrec::test

#endif  // VISTREC_TESTS_COMMON_SOUNDCHECKS_H
