// libFuzzer target for the configuration reader: any bytes as "Vistrel.json" beside the program
// give the two settings or their defaults, never a crash. Built and run by scripts/fuzz.sh.
#include <stdio.h>

#include <iostream>

#include "platform/Platform.h"
#include "support/Config.h"

namespace {

std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = ConfigFilePath();
    std::cout.rdbuf(nullptr);  // the reader's "Failed to parse file:" line on every bad input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        __builtin_trap();

    // Strict parsing: an accepted file has an object or an array at its root.
    Json::Value root;
    if (ReadJsonFile(g_path, root) && !root.isObject() && !root.isArray())
        __builtin_trap();
    // The frame rate is left alone, or set to 0 or a rate a recording may use.
    constexpr int kUntouched = -7;
    int rate = kUntouched;
    GetConfigFrameRate(nullptr, &rate);
    if (rate != kUntouched && rate != 0 && (rate < kMinFrameRate || rate > kMaxFrameRate))
        __builtin_trap();
    GetConfigMinVolumeValue();
    return 0;
}
