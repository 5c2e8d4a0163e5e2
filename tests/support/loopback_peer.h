// The controller's end of the link in tests: a loopback TCP server that
// accepts every connection, records each received chunk with its arrival
// time, sends on request and closes or resets connections. One service
// thread does all receiving, so the thread count stays fixed (tests that
// count threads rely on that). Every wait returns false at its deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace orvane::testing {

using namespace std::chrono_literals;

class LoopbackPeer {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::milliseconds;

    struct Chunk {
        int connection;        // 0 for the first accepted connection, and so on
        Clock::time_point at;  // when the receive call returned it
        std::string bytes;     // exactly what one receive call returned
    };

    // Listens on address:port (port 0: an ephemeral port, see port()).
    explicit LoopbackPeer(std::string address = "127.0.0.1", std::uint16_t port = 0, int backlog = 128);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // False when the address could not be bound.
    bool ok() const { return ok_; }
    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }

    // Refuse connections until resume_listening() binds the same port again.
    void stop_listening();
    bool resume_listening();

    // Connections, numbered in the order they were accepted.
    int accepted() const;
    int open_connections() const;
    bool is_open(int connection) const;
    std::optional<Clock::time_point> accepted_at(int connection) const;
    // When the connection ended (either side's close, or a reset).
    std::optional<Clock::time_point> closed_at(int connection) const;
    bool wait_for_accepted(int count, Duration timeout) const;
    bool wait_for_open_connections(int count, Duration timeout) const;
    bool wait_for_closed(int connection, Duration timeout) const;

    // What was received.
    std::vector<Chunk> chunks(int connection) const;
    std::string text() const;  // all bytes of all connections, in arrival order
    std::string text(int connection) const;
    std::size_t size() const;
    bool wait_for_text(std::string_view needle, Duration timeout) const;
    void clear();

    // predicate() runs unlocked (it may call the peer) after every event and
    // at least every 5 ms, so it may also look outside the peer.
    bool wait_for(const std::function<bool()>& predicate, Duration timeout) const;

    // connection -1 means the most recently accepted one.
    bool send(std::string_view bytes, int connection = -1);
    // FIN / RST; return once closed, false without such an open connection.
    bool close_connection(int connection = -1);
    bool reset_connection(int connection = -1);

private:
    struct Connection {
        std::shared_ptr<platform::Socket> socket;
        std::mutex send_mutex;  // held by send() and by the closing code
        Clock::time_point accepted_at;
        std::optional<Clock::time_point> closed_at;
        enum class Request { none, close, reset } request = Request::none;
    };

    void serve();
    void wake();
    Connection* find(int connection) const;  // mutex_ held
    bool request_close(int connection, Connection::Request request);
    void finish(Connection& connection, bool abortive);  // service thread

    platform::NetworkSession network_;  // first: sockets need it (Windows)
    const std::string address_;
    std::uint16_t port_ = 0;
    const int backlog_;
    bool ok_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::uint64_t events_ = 0;
    bool stopping_ = false;
    platform::Socket listener_;
    bool listener_changed_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<Chunk> chunks_;

    platform::Socket wake_sender_;
    platform::Socket wake_receiver_;
    std::thread thread_;
};

// Polls predicate() every step until it holds; false at the deadline.
bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(1));

// A listener with a full accept queue: connects to it go unanswered and time
// out (a closed loopback port would refuse at once).
class StalledListener {
public:
    explicit StalledListener(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }

private:
    platform::NetworkSession network_;
    platform::Socket listener_;
    std::vector<platform::Socket> fillers_;
    std::uint16_t port_ = 0;
    bool ok_ = false;
};

}  // namespace orvane::testing
