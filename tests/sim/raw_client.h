// A bare loopback TCP client for talking to the simulator line by line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace orvane::sim::testing {

class RawClient {
public:
    bool connect(std::uint16_t port, const std::string& address = "127.0.0.1");  // once per client
    bool send(std::string_view text);

    // The next whole line (without its line feed); nothing at the deadline or the link's end.
    std::optional<std::string> next_line(int timeout_ms);
    // The next line that starts with prefix; other lines are skipped.
    std::optional<std::string> line_starting(std::string_view prefix, int timeout_ms);
    // Waits until the server ends the link (orderly or by reset).
    bool wait_closed(int timeout_ms);

    const std::string& pending() const { return buffer_; }  // received, not yet handed out
    const std::vector<int>& receive_sizes() const { return sizes_; }  // of every receive, in order

private:
    bool receive_some(int timeout_ms);  // once; false on time-out or end

    platform::NetworkSession network_;
    platform::Socket socket_;
    std::string buffer_;
    std::vector<int> sizes_;
    bool closed_ = false;
};

}  // namespace orvane::sim::testing
