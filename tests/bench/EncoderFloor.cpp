// What libx264 costs per frame on its own, at the settings of the capture benchmark (1920x1080,
// ultrafast/zerolatency, crf 23, key frame every 12, 30 fps), called directly rather than through
// FFmpeg: a still picture, and one in which a 900 x 600 area changes every frame. Each row runs
// once without and once with libx264's per-macroblock hint that a macroblock has not changed
// (mb_info), the one skip hint it takes. Prints CPU ms per P frame and per key frame, and what 30
// frames a second cost. Run by hand: vistrec_encoder_floor [FRAMES (300)]
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

extern "C" {
#include <x264.h>
}

namespace {

constexpr int kW = 1920, kH = 1080, kMbW = kW / 16, kMbH = (kH + 15) / 16;
constexpr int kAreaX = 300, kAreaY = 200, kAreaW = 900, kAreaH = 600;

double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void Run(int frames, bool changing, bool hint, bool cqp) {
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", "zerolatency");
    p.i_width = kW, p.i_height = kH, p.i_csp = X264_CSP_I420;
    p.i_fps_num = 30, p.i_fps_den = 1, p.i_keyint_max = 12;
    p.rc.i_rc_method = cqp ? X264_RC_CQP : X264_RC_CRF;
    p.rc.f_rf_constant = 23, p.rc.i_qp_constant = 23;
    p.analyse.b_mb_info = hint;
    p.i_log_level = X264_LOG_NONE;
    x264_t* encoder = x264_encoder_open(&p);
    x264_picture_t in, out;
    x264_picture_alloc(&in, X264_CSP_I420, kW, kH);
    // A desktop-like still: flat panels with edges, and grey chroma.
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            in.img.plane[0][y * kW + x] =
                static_cast<uint8_t>(((x / 240 + y / 135) & 1) ? 200 : 60);
    memset(in.img.plane[1], 128, kW * kH / 4);
    memset(in.img.plane[2], 128, kW * kH / 4);
    std::vector<uint8_t> info(kMbW * kMbH);
    for (int i = 0; i < kMbW * kMbH; ++i) {
        const int x = i % kMbW * 16, y = i / kMbW * 16;
        const bool inArea =
            x + 16 > kAreaX && x < kAreaX + kAreaW && y + 16 > kAreaY && y < kAreaY + kAreaH;
        info[i] = changing && inArea ? 0 : X264_MBINFO_CONSTANT;
    }
    double key = 0, inter = 0;
    int keys = 0;
    for (int f = 0; f < frames; ++f) {
        if (changing)  // rows of glyph-like dashes that move on every frame
            for (int y = kAreaY; y < kAreaY + kAreaH; ++y)
                for (int x = kAreaX; x < kAreaX + kAreaW; ++x)
                    in.img.plane[0][y * kW + x] =
                        (y % 14 < 10 && (x / 3 + f * 7 + y / 14 * 5) % 11 < 6) ? 20 : 235;
        in.prop.mb_info = hint && f > 0 ? info.data() : nullptr;
        in.i_pts = f;
        x264_nal_t* nal;
        int nals;
        const double t0 = CpuSeconds();
        x264_encoder_encode(encoder, &nal, &nals, &in, &out);
        (out.b_keyframe ? key : inter) += CpuSeconds() - t0;
        keys += out.b_keyframe;
    }
    printf("%-8s %-4s %-7s %9.2f %9.2f %11.3f\n", changing ? "office" : "still",
           cqp ? "cqp" : "crf", hint ? "mb_info" : "-", inter * 1000 / (frames - keys),
           key * 1000 / keys, (key + inter) / frames * 30);
    x264_picture_clean(&in);
    x264_encoder_close(encoder);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? atoi(argv[1]) : 300;
    if (frames < 24)
        return fprintf(stderr, "usage: vistrec_encoder_floor [FRAMES >= 24]\n"), 2;
    printf(
        "libx264 alone, 1920x1080, ultrafast/zerolatency, key frame every 12, %d frames\n"
        "picture  rc   hint    ms/P frame ms/key frame cpu s/s at 30 fps\n",
        frames);
    for (bool changing : {false, true})
        for (bool cqp : {false, true})
            for (bool hint : {false, true})
                Run(frames, changing, hint, cqp);
    return 0;
}
