#include <windows.h>

#include "shared_library.h"

namespace orvane::testing {

void* load_library(const char* path) { return LoadLibraryA(path); }
bool unload_library(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) != 0; }
void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
std::string library_error() { return "error " + std::to_string(GetLastError()); }
bool library_loaded(const char* path) {
    const std::string name = path;
    return GetModuleHandleA(name.substr(name.find_last_of("/\\") + 1).c_str()) != nullptr;
}

}  // namespace orvane::testing
