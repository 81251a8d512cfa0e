// Run-time loading of DLLs.
#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Win32Support.h"

namespace vistrec {
namespace platform {

namespace {

class Win32Library final : public SharedLibrary {
  public:
    explicit Win32Library(HMODULE module) : module_(module) {}
    ~Win32Library() override { FreeLibrary(module_); }
    Win32Library(const Win32Library&) = delete;
    Win32Library& operator=(const Win32Library&) = delete;

    void* Symbol(const char* name) const override {
        return name ? reinterpret_cast<void*>(GetProcAddress(module_, name)) : nullptr;
    }

  private:
    HMODULE module_;
};

}  // namespace

std::string LibraryDir() {
    // The module that holds this very function is the one vistrec's code was linked into.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&LibraryDir), &module))
        return std::string();
    return win32::DirectoryOf(win32::ModulePath(module));
}

std::string SharedLibraryFileName(const std::string& base) {
    return base + ".dll";
}

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& name) {
    const std::wstring wide = win32::Widen(name);
    if (wide.empty())
        return nullptr;
    // No error box for a missing library or one of its dependencies.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(wide.c_str());
    SetErrorMode(previous);
    if (!module)
        return nullptr;
    return std::make_unique<Win32Library>(module);
}

}  // namespace platform
}  // namespace vistrec
