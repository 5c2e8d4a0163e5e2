#include <dlfcn.h>

#include "shared_library.h"

namespace orvane::testing {

void* load_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
bool unload_library(void* library) { return dlclose(library) == 0; }
void* library_symbol(void* library, const char* name) { return dlsym(library, name); }
std::string library_error() {
    const char* text = dlerror();
    return text != nullptr ? text : "";
}
bool library_loaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

}  // namespace orvane::testing
