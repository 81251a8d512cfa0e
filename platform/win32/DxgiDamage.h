// The damage tracker of the Win32 backend: the move and dirty rectangles of desktop duplication.
#ifndef VISTREC_PLATFORM_WIN32_DXGIDAMAGE_H
#define VISTREC_PLATFORM_WIN32_DXGIDAMAGE_H

#include <windows.h>

#include <memory>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {
namespace win32 {

// Null when tracking is switched off (VISTREC_DAMAGE=1 switches it on), the system has no
// desktop duplication (before Windows 8; Wine answers E_NOTIMPL), there is more than one
// monitor, or Direct3D 11 cannot be set up: the frames are then copied whole with GDI.
std::unique_ptr<DamageTracker> OpenDxgiDamageTracker();

}  // namespace win32
}  // namespace platform
}  // namespace vistrec

#endif  // VISTREC_PLATFORM_WIN32_DXGIDAMAGE_H
