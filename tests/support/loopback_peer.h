// A stand-in for the far end of the controller link in tests: a TCP server on
// a loopback address that accepts every connection, records every received
// chunk with its arrival time, sends what a test asks it to, and closes or
// resets connections on request. One service thread does all receiving, so
// the peer adds a fixed number of threads to the process however many
// connections come and go (tests that count threads rely on that).
//
// Every wait takes a deadline and returns false when it passes.
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

    // Called on the service thread after each chunk has been recorded. It may
    // send(); it must not close, reset or wait on the peer.
    using Responder = std::function<void(LoopbackPeer& peer, int connection, std::string_view bytes)>;

    // Listens on address:port (port 0: an ephemeral port, see port()).
    explicit LoopbackPeer(std::string address = "127.0.0.1", std::uint16_t port = 0, int backlog = 128);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // False when the address could not be bound (the peer then does nothing).
    bool ok() const { return ok_; }
    const std::string& address() const { return address_; }
    std::uint16_t port() const { return port_; }

    // Closes the listening socket: connection attempts are refused until
    // resume_listening() binds the same address and port again.
    void stop_listening();
    bool resume_listening();
    bool listening() const;

    // Connections, numbered in the order they were accepted.
    int accepted() const;
    int open_connections() const;
    bool is_open(int connection) const;
    std::optional<Clock::time_point> accepted_at(int connection) const;
    // When the peer saw the connection end (the client's close, a reset, or
    // the peer's own close).
    std::optional<Clock::time_point> closed_at(int connection) const;
    bool wait_for_accepted(int count, Duration timeout) const;
    bool wait_for_open_connections(int count, Duration timeout) const;
    bool wait_for_closed(int connection, Duration timeout) const;

    // What was received.
    std::vector<Chunk> chunks() const;
    std::vector<Chunk> chunks(int connection) const;
    std::string text() const;  // all bytes of all connections, in arrival order
    std::string text(int connection) const;
    std::size_t size() const;
    bool wait_for_text(std::string_view needle, Duration timeout) const;
    bool wait_for_size(std::size_t bytes, Duration timeout) const;
    void clear();

    // Waits until predicate() holds. It is evaluated without the peer's lock
    // (it may call the peer), after every event of the peer and at least
    // every 5 ms, so it may also look at things outside the peer.
    bool wait_for(const std::function<bool()>& predicate, Duration timeout) const;

    // connection -1 means the most recently accepted one.
    bool send(std::string_view bytes, int connection = -1);
    // Orderly close (FIN). Returns once the connection is closed; false
    // when there is no such open connection (not accepted yet, or ended).
    bool close_connection(int connection = -1);
    // Abortive close (RST), otherwise as close_connection().
    bool reset_connection(int connection = -1);

    void set_responder(Responder responder);

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
    int resolve(int connection) const;  // mutex_ held
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
    Responder responder_;

    platform::Socket wake_sender_;
    platform::Socket wake_receiver_;
    std::thread thread_;
};

// Waits until predicate() holds, looking every step; false at the deadline.
// For conditions outside a peer (mirror fields, flags of a client).
bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(1));

// A listener whose accept queue is full: a connection attempt to it gets no
// answer at all, so a connect with a time-out runs into the time-out (on
// Linux a closed loopback port is refused at once instead).
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
