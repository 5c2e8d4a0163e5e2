// Loading the real shared library by path, for the unload tests: dlopen on
// POSIX, LoadLibrary on Windows (shared_library_<os>.cpp, chosen by the build).
#pragma once
#include <string>

namespace orvane::testing {

void* load_library(const char* path);  // nullptr on failure, see library_error()
bool unload_library(void* library);
void* library_symbol(void* library, const char* name);
bool library_loaded(const char* path);  // still mapped into this process
std::string library_error();

}  // namespace orvane::testing
