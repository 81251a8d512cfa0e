// Per-frame picture work, run by hand; prints figures, never fails on timing: the highlight, a
// click ring, a 150 % pointer and a line of text on a 1080p capture; a captured BGRA screen to
// the encoder's I420 picture, libswscale (bicubic) against the frame composer's libyuv path, 1:1
// and scaled (as vistrec_convert_bench, this alone).
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#include "capture/CvxText.h"
#include "capture/FrameComposer.h"
#include "capture/MouseEffects.h"
#include "unit/FakeDisplay.h"

namespace {

using Clock = std::chrono::steady_clock;

// Microseconds per call of `run`: the fastest (least disturbed) call in about half a second.
double UsPerFrame(const std::function<void()>& run) {
    run();  // warm: first-use allocations, caches
    const Clock::time_point start = Clock::now();
    double best = 1e12;
    while (std::chrono::duration<double>(Clock::now() - start).count() < 0.5) {
        const Clock::time_point t0 = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return best;
}

AVFramePtr I420(int w, int h) {
    AVFramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P, f->width = w, f->height = h;
    av_frame_get_buffer(f.get(), 0);
    return f;
}

void Effects() {
    FakeDisplay display;
    display.ShowPointer(960, 540, 32, 0, 0xC0C0C0C0u);
    g_mouse.m_mouseShow = g_mouse.m_clickShow = g_mouse.m_lightShow = 1;
    g_mouse.m_mouseSize = 150;
    LoadEffectIcons(VISTREC_ICON_DIR);
    const int w = 1920, h = 1080, frames = 600;
    std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 4, 90);
    TextOverlay overlay;
    double effectsUs = 0, textUs = 0;
    for (int i = 0; i < frames; ++i) {
        if (i % 6 == 0)
            g_mouse.lastMessage = kLeftButtonDown;  // a ring running on every frame
        const Clock::time_point t0 = Clock::now();
        PointerPlacement place;
        PreparePointerEffects(&place);
        DrawPointerEffects(place, frame.data(), w, h, w * 4);
        const Clock::time_point t1 = Clock::now();
        overlay.Draw(VISTREC_LATIN_FONT, "vistrec 1080p caption \xE2\x80\x94 12:34:56", 40, 1040,
                     255, 255, 255, frame.data(), w, h, w * 4);
        effectsUs += std::chrono::duration<double, std::micro>(t1 - t0).count();
        textUs += std::chrono::duration<double, std::micro>(Clock::now() - t1).count();
    }
    printf(
        "picture at 1920x1080: effects %.1f us + text %.1f us = %.1f us per frame "
        "(%d frames; target under 1000 us)\n",
        effectsUs / frames, textUs / frames, (effectsUs + textUs) / frames, frames);
}

void Convert() {
    printf(
        "BGRA screen -> I420 picture, fastest us per frame\n"
        "%-22s %10s %10s\n",
        "source -> picture", "swscale", "composer");
    for (const std::array<int, 4>& s : {std::array<int, 4>{1280, 720, 1280, 720},
                                        {1920, 1080, 1920, 1080},
                                        {2560, 1440, 1920, 1080},
                                        {3840, 2160, 1920, 1080},
                                        {1920, 1080, 1280, 720}}) {
        const int sw = s[0], sh = s[1], dw = s[2], dh = s[3];
        std::vector<uint8_t> src(static_cast<size_t>(sw) * sh * 4);
        for (size_t i = 0; i < src.size(); ++i)
            src[i] = static_cast<uint8_t>(i * 7 + i / 4093);
        AVFramePtr pic = I420(dw, dh);
        SwsContext* sws = sws_getContext(sw, sh, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_YUV420P,
                                         SWS_BICUBIC, nullptr, nullptr, nullptr);
        const uint8_t* planes[1] = {src.data()};
        const int strides[1] = {sw * 4};
        const double old =
            UsPerFrame([&] { sws_scale(sws, planes, strides, 0, sh, pic->data, pic->linesize); });
        sws_freeContext(sws);
        CFrameComposer composer;
        const vistrec::platform::ImageView view{src.data(), sw, sh, sw * 4};
        const double ours = UsPerFrame([&] { composer.Convert(view, 1.0, pic.get()); });
        char label[40];
        snprintf(label, sizeof label, "%dx%d -> %dx%d", sw, sh, dw, dh);
        printf("%-22s %10.0f %10.0f\n", label, old, ours);
    }
}

}  // namespace

int main(int, char** argv) {
    if (!strstr(argv[0], "convert_bench"))
        Effects();
    Convert();
    return 0;
}
