// The host's "voluMem" level block: a named file mapping the host creates and the library opens.
#include <windows.h>

#include <string.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

namespace {

class MappingLevelBlock final : public SharedLevelBlock {
  public:
    explicit MappingLevelBlock(HANDLE mapping) : mapping_(mapping) {}

    bool WriteText(const char* text) override {
        if (!text || !mapping_.valid())
            return false;
        void* view = MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, 0);
        if (!view)
            return false;
        // The mapping's size is not told by its handle; the view's committed region bounds it.
        MEMORY_BASIC_INFORMATION region{};
        const size_t needed = strlen(text) + 1;
        const bool fits =
            VirtualQuery(view, &region, sizeof region) != 0 && region.RegionSize >= needed;
        if (fits)
            memcpy(view, text, needed);
        UnmapViewOfFile(view);
        return fits;
    }

  private:
    win32::Handle mapping_;
};

}  // namespace

std::unique_ptr<SharedLevelBlock> OpenSharedLevelBlock() {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"voluMem");
    if (!mapping)
        return nullptr;
    return std::make_unique<MappingLevelBlock>(mapping);
}

}  // namespace platform
}  // namespace vistrec
