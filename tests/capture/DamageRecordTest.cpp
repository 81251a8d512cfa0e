// A recording of the office workload through libvistrec.so on an X server without DAMAGE (the
// fallback to full grabs), checked by decoding: every frame is the scene at the counter it shows,
// and the counter moves on.
#include <algorithm>
#include <set>

#include "common/RecorderFixture.h"
// After gtest (in the fixture): Xlib's macros would break it.
#include <X11/extensions/Xdamage.h>

namespace vistrec::test {
namespace {

TEST(DamageRecord, OfficeWorkloadRecordsTheScene) {
    XClient x;
    ASSERT_TRUE(x.ok());
    int event = 0, error = 0;
    ASSERT_FALSE(XDamageQueryExtension(x.get(), &event, &error));
    Scene scene;
    ASSERT_TRUE(scene.Start(kSceneFps, false, "office"));
    TempDir dir;
    const std::string file = dir.File("office.mp4");
    RecorderPtr r = NewRecorder(file);
    r->setFrameRate(30);
    Record(r.get(), 3000);
    const testscene::Rect office = testscene::kOfficeRect;
    double minOffice = 99.0, minWhole = 99.0;
    int unread = 0, backwards = 0;
    std::set<uint32_t> counters;
    MediaInfo info;
    std::string decodeError;
    ASSERT_TRUE(DecodeVideo(
        file, &info,
        [&](const AVFrame& frame, double) {
            uint32_t counter = 0;
            if (!ReadFrameCounter(frame, {}, kScreenW, kScreenH, &counter))
                return void(++unread);
            backwards += !counters.empty() && counter < *counters.rbegin();
            counters.insert(counter);
            const Bgra screen{kScreenW, kScreenH,
                              testscene::RenderFrame(counter, kScreenW, kScreenH, scene.options())};
            const FramePtr reference = ToYuv420(screen, kScreenW, kScreenH);
            minOffice = std::min(minOffice, LumaPsnr(frame, *reference, office));
            minWhole = std::min(minWhole, LumaPsnr(frame, *reference));
        },
        &decodeError))
        << decodeError;
    std::printf("[ measured ] %d frames, %zu counters, min PSNR %.2f dB (text window %.2f)\n",
                info.decodedFrames, counters.size(), minWhole, minOffice);
    EXPECT_GE(info.decodedFrames, 5);  // few under a sanitizer on a busy machine
    EXPECT_EQ(unread, 0);
    // A frame left with old pixels would show an older counter than the frame before it.
    EXPECT_EQ(backwards, 0);
    EXPECT_GE(minOffice, 30.0);
    EXPECT_GE(minWhole, 30.0);
}

}  // namespace
}  // namespace vistrec::test

int main(int argc, char** argv) {
    using namespace vistrec::test;
    XvfbServer::Options options;
    options.extraArgs = {"-extension", "DAMAGE"};
    return RecorderTestMain(argc, argv, options);
}
