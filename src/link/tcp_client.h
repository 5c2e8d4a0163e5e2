// The TCP connection to one controller: connect with a time-out, receive,
// reconnect, send. One thread of its own does the receiving and the
// reconnecting and runs the callbacks; sends come from any thread. It knows
// nothing of the protocol.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace orvane {

// Timings and sizes of the link. Tests shorten the reconnect pause.
struct LinkTimings {
    int connect_timeout_ms = 1000;
    int reconnect_pause_ms = 3000;
    int idle_poll_ms = 100;    // longest wait of the link thread between looks at its flags
    int keepalive_idle_s = 2;  // dead-peer detection
    int keepalive_interval_s = 1;
    int keepalive_probes = 3;
    // Look up an address that is not dotted IPv4 as a host name. Off for the
    // process-wide connection, whose addresses are always numeric: a typo
    // there must not turn into a name lookup.
    bool resolve_host_names = false;
};

class TCPClient {
public:
    using ConnectionCallback = std::function<void(bool)>;
    using DataCallback = std::function<void(std::string)>;
    using QuietCallback = std::function<void()>;
    using ErrorCallback = std::function<void(const std::string&)>;
    using ProgressCallback = std::function<void(const std::string&)>;

    static constexpr int receive_buffer_size = 4096;

    explicit TCPClient(LinkTimings timings = {});
    ~TCPClient();
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;

    // Callbacks run on the link thread, one at a time, in the order of the
    // events (except the connection callback of a start that connects, which
    // runs on the thread of start before the link thread exists). An
    // exception that escapes one is dropped. They must not call disconnect().
    void set_connection_callback(ConnectionCallback callback);
    void set_data_callback(DataCallback callback);
    // Called once when quiet_ms have passed after a chunk without a further
    // byte, if the data callback asked for it (request_quiet_notice).
    void set_quiet_callback(int quiet_ms, QuietCallback callback);
    // From the data callback: part of this chunk waits for more; call the
    // quiet callback if nothing follows in time.
    void request_quiet_notice();
    void set_error_callback(ErrorCallback callback);
    // Where the two progress lines of reconnection go; standard output
    // unless replaced.
    void set_progress_callback(ProgressCallback callback);

    // Connects once (connect time-out) on the calling thread unless
    // attempt_now is false, and starts the link thread either way, which
    // goes on trying. False at once when already running.
    bool start(const std::string& address, int port, bool attempt_now = true);
    // Stops the link thread and closes the socket; waits for the thread.
    // Not to be called from a callback (it would wait for itself).
    void disconnect();
    // Marks the link down without calling back; the link thread then
    // reconnects.
    void mark_disconnected();

    bool send_bytes(const char* data, int length);
    bool send_text(const std::string& text);

    bool is_connected() const { return is_connected_.load(); }
    bool is_running() const { return is_running_.load(); }
    // True on the link thread, that is inside a callback of this client.
    bool on_link_thread() const;
    std::string server_ip() const;
    int server_port() const;

    // Texts of the link, GBK-encoded.
    static const std::string& text_socket_create_failed();
    static const std::string& text_send_failed();
    static const std::string& text_reconnect_failed();
    static const std::string& text_reconnecting();
    static const std::string& text_reconnected();
    static const std::string& text_error_code();

private:
    // One connection attempt on a socket of its own; the connected socket,
    // or an invalid one. Leaves the link's socket alone.
    platform::Socket connect_with_timeout(int timeout_ms);
    // Makes a connected socket the link's socket and marks the link up,
    // unless the client is stopping (then the socket is dropped: false).
    bool adopt(platform::Socket connected);
    void run();
    // Receives on socket until the link ends or the client stops.
    void receive_on(const std::shared_ptr<platform::Socket>& socket);
    void try_reconnect();
    void call_connection(bool up);
    void report_error(const std::string& message);
    void progress(const std::string& line);
    void emit_error(const std::string& text);
    // Sleeps up to ms; returns early (false) when the client is stopping.
    bool pause(int ms);
    std::shared_ptr<platform::Socket> current_socket() const;

    const LinkTimings timings_;
    platform::NetworkSession network_;

    // Guards socket_ and the address, and orders the changes of the two
    // flags against socket replacement, so that a stopping client adopts no
    // new socket.
    mutable std::mutex socket_mutex_;
    std::shared_ptr<platform::Socket> socket_;
    std::string server_ip_;
    int server_port_ = 0;

    std::atomic<bool> is_connected_{false};
    std::atomic<bool> is_running_{false};
    // A send failed on the link's socket and the link thread has yet to
    // report that end.
    std::atomic<bool> send_failed_{false};
    std::atomic<bool> quiet_requested_{false};

    std::mutex send_mutex_;  // keeps each text whole on the wire

    std::mutex pause_mutex_;
    std::condition_variable pause_cv_;

    mutable std::mutex callback_mutex_;
    ConnectionCallback on_connection_;
    DataCallback on_data_;
    QuietCallback on_quiet_;
    int quiet_ms_ = 0;
    ErrorCallback on_error_;
    ProgressCallback on_progress_;

    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
};

}  // namespace orvane
