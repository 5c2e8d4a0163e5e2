// Building a Runtime (or a bare link) that talks to a LoopbackPeer instead of
// a controller, with timings short enough for a fast test suite.
#pragma once

#include <cstdint>
#include <string>

#include "link/tcp_client.h"
#include "state/controller_mirror.h"
#include "api/runtime.h"

namespace orvane::testing {

// Quick retries (50 ms between reconnect attempts) and quick idle looks
// (10 ms); the connect time-out stays at its 1000 ms.
LinkTimings fast_link_timings();

// A configuration that connects to 127.0.0.<host>:port with fast_link_timings()
// and short restart pauses.
RuntimeConfig loopback_config(std::uint16_t port, const std::string& host = "1");

// Marks what the poll loop asks the controller for as known (output 24's
// level, axis 0's maximum speed, the version text), so that it stops polling
// and sends queued commands only.
void fill_polled_fields(ControllerMirror& mirror);

}  // namespace orvane::testing
