// Windows: wine is told by the function only its ntdll exports; socket
// options are read back on Linux only.
#include <windows.h>

#include "link_platform.h"

namespace orvane::testing {

bool socket_options_accessible(std::string& why_not) {
    why_not = "socket options are read back on Linux only";
    return false;
}

bool read_socket_options(platform::NativeSocket, SocketOptions&) { return false; }

bool shrink_send_buffer(platform::NativeSocket) { return false; }

platform::NativeSocket find_socket_connected_to(std::uint16_t) { return platform::invalid_socket; }

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace orvane::testing
