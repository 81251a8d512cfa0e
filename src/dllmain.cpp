// The library's three entry points. Loading the library runs nothing; the first own code runs
// in a create function, which logs the version once per process.
#include <atomic>
#include <new>

#include "capture/CaptureScreen.h"
#include "H264WindowRecorder.h"
#include "RecordH264Sink.h"
#include "RecordMp4Sink.h"
#include "Version.h"
#include "capture/SizeRules.h"
#include "vistrec/IRecordMp4.h"

// Window handle of the most recent create call; get_desktop_size captures with it. Hosts may
// create recorders on several threads at once.
static std::atomic<HWND> g_hostWnd{nullptr};

extern "C" VISTREC_API IRecordMp4* create_screen_record(HWND hostWnd) {
    vistrec::LogVersionOnce();
    g_hostWnd = hostWnd;
    return new (std::nothrow) CRecordMp4_Sink(hostWnd);
}

extern "C" VISTREC_API IRecordMp4* create_screen_h246_record(HWND hostWnd) {
    vistrec::LogVersionOnce();
    g_hostWnd = hostWnd;
    return new (std::nothrow) CRecordH264_Sink(hostWnd);
}

extern "C" VISTREC_API uint64_t get_desktop_size(void) {
    CScreenCapturer capturer;
    CaptureBitmap bitmap;
    if (!capturer.CaptureScreen(g_hostWnd.load(), &bitmap))
        return 0;
    return sizerules::PackSize(static_cast<uint32_t>(bitmap.width),
                               static_cast<uint32_t>(bitmap.height));
}
