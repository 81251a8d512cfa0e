// WM_RECORDER_NOTIFY to the host window, a top-level window of class "Vistrel".
#include <windows.h>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {

void PostHostNotification(int32_t lParam) {
    // Looked up on every post: the host may have closed or recreated its window meanwhile.
    HWND host = FindWindowW(L"Vistrel", nullptr);
    if (!host)
        return;
    PostMessageW(host, WM_RECORDER_NOTIFY, 0, static_cast<LPARAM>(lParam));
}

}  // namespace platform
}  // namespace vistrec
