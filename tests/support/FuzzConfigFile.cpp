// libFuzzer target for the configuration reader: any bytes as the text of "Vistrel.json" give
// the settings or their defaults, never a crash. The text is parsed in memory as the file reader
// parses it (up to the first zero byte), so the run spends its time in the parser and the
// lookups rather than in file system calls. Built and run by scripts/fuzz.sh.
#include <string.h>

#include "support/Config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value root;
    std::string errors;
    // Strict parsing: an accepted file has an object or an array at its root.
    if (ParseJsonText(std::string(text, strnlen(text, size)), root, &errors) && !root.isObject() &&
        !root.isArray())
        __builtin_trap();
    // The frame rate is left alone, or set to 0 or a rate a recording may use.
    constexpr int kUntouched = -7;
    int rate = kUntouched;
    FrameRateFrom(root, &rate);
    if (rate != kUntouched && rate != 0 && (rate < kMinFrameRate || rate > kMaxFrameRate))
        __builtin_trap();
    int volume = 0;
    LookupInt(root, "UPLOAD_CONFIG", "minVolumValue", &volume);
    CrashSafeFrom(root);
    return 0;
}
