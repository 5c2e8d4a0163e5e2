#include "raw_client.h"

#include <chrono>

namespace orvane::sim::testing {

namespace {
using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
}  // namespace

bool RawClient::connect(std::uint16_t port, const std::string& address) {
    socket_ = platform::open_tcp_socket();
    if (!socket_.valid()) return false;
    const platform::ConnectStart started = platform::start_connect(socket_.get(), address, port);
    if (started == platform::ConnectStart::failed) return false;
    if (started == platform::ConnectStart::in_progress && platform::wait_writable(socket_.get(), 2000) <= 0) return false;
    platform::set_no_delay(socket_.get());
    return true;
}

bool RawClient::send(std::string_view text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const int n = platform::send(socket_.get(), text.data() + sent, static_cast<int>(text.size() - sent));
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool RawClient::receive_some(int timeout_ms) {
    if (closed_) return false;
    const int ready = platform::wait_readable(socket_.get(), timeout_ms);
    if (ready == 0) return false;
    char chunk[4096];
    const int n = ready > 0 ? platform::receive(socket_.get(), chunk, sizeof chunk) : -1;
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    sizes_.push_back(n);
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> RawClient::next_line(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!receive_some(remaining_ms(deadline))) {
            if (closed_ || Clock::now() >= deadline) return std::nullopt;
        }
    }
}

std::optional<std::string> RawClient::line_starting(std::string_view prefix, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (auto line = next_line(remaining_ms(deadline))) {
        if (std::string_view(*line).substr(0, prefix.size()) == prefix) return line;
    }
    return std::nullopt;
}

bool RawClient::wait_closed(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_ && Clock::now() < deadline) receive_some(remaining_ms(deadline));
    return closed_;
}

}  // namespace orvane::sim::testing
