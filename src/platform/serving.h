// The serving half of the platform interface: listening, accepting and
// watching several connections. The simulator and the tests need it; the
// library itself only connects, so it is built into a target of its own
// (orvane_platform_serving) that the shipped library does not link.
#pragma once

#include "platform/platform.h"

namespace orvane::platform {

// Waits until at least one of count sockets is readable (data, a pending
// accept, the peer's close or an error) and sets ready[i] for each such
// socket, clearing the others. > 0 ready, 0 time-out, < 0 error; a negative
// timeout_ms waits without end. Serves one thread that watches several
// connections (test peers, the simulator).
int wait_any_readable(const NativeSocket* sockets, bool* ready, int count, int timeout_ms);

// Closes with a reset instead of an orderly FIN (SO_LINGER 0).
void abort_close(Socket& s);

// A listening socket bound to ipv4:port (port 0 picks a free one, reported
// through bound_port). SO_REUSEADDR is set so a test can bind again at once.
Socket listen_tcp(const std::string& ipv4, std::uint16_t port, int backlog,
                  std::uint16_t* bound_port);

// Accepts one connection from a listening socket; invalid on error.
Socket accept_connection(NativeSocket listener);

}  // namespace orvane::platform
