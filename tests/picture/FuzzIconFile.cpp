// libFuzzer target for the icon reader: any bytes give an icon or a reason, never a crash, a
// read outside the input or a large allocation. Built and run by scripts/fuzz.sh.
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/linux/IconFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);  // the PNG decoder's complaints about broken entries
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto icon = vistrec::platform::ico::DecodeIcon(data, size, &error);
    // A decoded icon is within the format's bounds and fully backed by pixels.
    using vistrec::platform::ico::kMaxSide;
    if (icon ? icon->width < 1 || icon->width > kMaxSide || icon->height < 1 ||
                   icon->height > kMaxSide ||
                   icon->argb.size() != static_cast<size_t>(icon->width) * icon->height
             : error.empty())
        __builtin_trap();
    return 0;
}
