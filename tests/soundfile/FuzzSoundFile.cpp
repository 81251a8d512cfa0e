// libFuzzer target for the sound-file source: the bytes as a file read through FFmpeg's custom
// I/O, played to their end on a fast clock, paused, resumed and rewound. Every block handed out
// is whole; the decoded sound stays within the look-ahead bound.
#include <stdint.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "audiocapture/Mp3Decoder.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);  // the decoders' complaints about damaged frames
    // FFmpeg's demuxers allocate what a file's chunk sizes claim (a 4 kB WAV file asked for
    // 600 MB for its INFO list), up to FFmpeg's own 2 GB bound. Above 64 MB they fail here as
    // they would where memory runs out, which the source must survive; the fuzzer's own limit
    // (64 MB) is then left to catch ours.
    av_max_alloc(64 << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int64_t now = 0;
    CMp3Decoder source([&now] { return now; });
    source.SetMemory(data, size);
    if (!source.Start())
        return 0;
    uint8_t block[CMp3Decoder::kBlockBytes];
    int got = 0;
    // At most 200 s of sound, a second of it per step.
    for (int step = 0; step < 200 && !source.Finished(); ++step) {
        now += 1000;
        for (int i = 0; i < 20; ++i) {
            const int left = source.Read(block, sizeof block, &got);
            if (got != 0 && got != static_cast<int>(sizeof block))
                __builtin_trap();
            if (got == 0)
                break;
            if (left < 0)
                __builtin_trap();
        }
        if (step == 2) {  // a pause, then the next recording from the file's start
            source.Stop();
            source.Start();
            source.Clear();
        }
    }
    return 0;
}
