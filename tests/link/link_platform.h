// What the link tests need to ask of the platform beyond the platform
// module: reading a socket's TCP options back, finding the link's own
// socket in this process, and telling wine from Windows. CMake picks the
// source per platform (link_platform_linux.cpp, link_platform_win32.cpp,
// link_platform_other.cpp); tests skip, with the reason, where an answer
// cannot be had.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace orvane::testing {

// A connected TCP socket's options as getsockopt reports them.
struct SocketOptions {
    int no_delay = -1;              // TCP_NODELAY, 1 when on
    int keepalive = -1;             // SO_KEEPALIVE, 1 when on
    int keepalive_idle_s = -1;      // TCP_KEEPIDLE
    int keepalive_interval_s = -1;  // TCP_KEEPINTVL
    int keepalive_probes = -1;      // TCP_KEEPCNT
    long user_timeout_ms = -1;      // TCP_USER_TIMEOUT
};

// Whether this platform's tests can read and set a socket's options and
// find the link's socket (the three functions below); why_not says why not.
bool socket_options_accessible(std::string& why_not);

// Reads the options of socket s; false when getsockopt fails (or where
// socket_options_accessible() is false).
bool read_socket_options(platform::NativeSocket s, SocketOptions& options);

// Makes the send buffer of s a few kilobytes small, so that a large send
// waits for room several times before it is done (as on a slow network).
bool shrink_send_buffer(platform::NativeSocket s);

// The socket of this process whose far end is 127.0.0.1:port (a client's
// end of a connection to a peer listening there), or invalid_socket when
// there is none or this platform's tests cannot look.
platform::NativeSocket find_socket_connected_to(std::uint16_t port);

// True when the program runs under wine rather than on Windows itself or
// natively.
bool running_under_wine();

}  // namespace orvane::testing
