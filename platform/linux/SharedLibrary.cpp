// Run-time loading of shared libraries with the dynamic linker.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>

#include "platform/Platform.h"

namespace vistrec {
namespace platform {

namespace {

class DlLibrary final : public SharedLibrary {
  public:
    explicit DlLibrary(void* handle) : handle_(handle) {}
    ~DlLibrary() override { dlclose(handle_); }
    DlLibrary(const DlLibrary&) = delete;
    DlLibrary& operator=(const DlLibrary&) = delete;

    void* Symbol(const char* name) const override { return name ? dlsym(handle_, name) : nullptr; }

  private:
    void* handle_;
};

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string LibraryDir() {
    // The object that holds this very function is the one vistrec's code was linked into.
    Dl_info info{};
    link_map* map = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(&LibraryDir), &info, reinterpret_cast<void**>(&map),
                 RTLD_DL_LINKMAP) ||
        !map)
        return std::string();
    // The main program has an empty name in the link map (dli_fname then is argv[0]).
    if (!map->l_name || map->l_name[0] == '\0')
        return ExecutableDir();
    char resolved[PATH_MAX];
    if (!realpath(map->l_name, resolved))
        return DirectoryOf(map->l_name);
    return DirectoryOf(resolved);
}

std::string SharedLibraryFileName(const std::string& base) {
    return "lib" + base + ".so";
}

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& name) {
    if (name.empty())
        return nullptr;
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    return std::make_unique<DlLibrary>(handle);
}

}  // namespace platform
}  // namespace vistrec
