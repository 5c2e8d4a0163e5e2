// The one TCP connection to the controller: connect with a time-out, a
// receive thread that hands every chunk to a callback, a reconnect thread,
// and sending. It knows nothing of the protocol.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/callback_worker.h"
#include "platform/platform.h"

namespace orvane {

// Timings and sizes of the link. Tests shorten the reconnect pause.
struct LinkTimings {
    int connect_timeout_ms = 1000;
    int reconnect_pause_ms = 3000;
    int idle_poll_ms = 100;    // receive/reconnect threads while nothing to do
    int keepalive_idle_s = 2;  // dead-peer detection
    int keepalive_interval_s = 1;
    int keepalive_probes = 3;
};

class TCPClient {
public:
    using ConnectionCallback = std::function<void(bool)>;
    using DataCallback = std::function<void(std::string)>;
    using ErrorCallback = std::function<void(const std::string&)>;
    using ProgressCallback = std::function<void(const std::string&)>;

    static constexpr int receive_buffer_size = 4096;

    explicit TCPClient(LinkTimings timings = {});
    ~TCPClient();
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;

    void set_connection_callback(ConnectionCallback callback);
    void set_data_callback(DataCallback callback);
    void set_error_callback(ErrorCallback callback);
    // Where the reconnect thread's two progress lines go; standard output
    // unless replaced (tests capture them).
    void set_progress_callback(ProgressCallback callback);

    // Connects once (1000 ms time-out) and starts the receive and reconnect
    // threads either way. False at once when already running.
    bool start(const std::string& address, int port);
    // Stops both threads and closes the socket; waits for the threads.
    void disconnect();
    // Marks the link down without touching the socket.
    void mark_disconnected();

    bool send_bytes(const char* data, int length);
    bool send_text(const std::string& text);

    bool is_connected() const { return is_connected_.load(); }
    bool is_running() const { return is_running_.load(); }
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
    // Marks the link down for a loss seen on socket, unless a reconnect has
    // already replaced that socket (false: nothing to report).
    bool mark_lost(const std::shared_ptr<platform::Socket>& socket);
    // True (once) when a send failed on socket and it is still the link's.
    bool take_send_failure(const std::shared_ptr<platform::Socket>& socket);
    void dispatch_connection(CallbackWorker& worker, bool up);
    void report_error(const std::string& message);
    void receive_loop();
    void reconnect_loop();
    void progress(const std::string& line);
    void emit_error(const std::string& text);
    // Sleeps up to ms; returns early (false) when the client is stopping.
    bool pause(int ms);
    std::shared_ptr<platform::Socket> current_socket() const;
    void replace_socket(std::shared_ptr<platform::Socket> socket);

    const LinkTimings timings_;
    platform::NetworkSession network_;

    // Guards socket_ and the address, and orders the changes of the two
    // flags against socket replacement, so that a stopping client adopts no
    // new socket and a loss on a replaced socket is recognised as such.
    mutable std::mutex socket_mutex_;
    std::shared_ptr<platform::Socket> socket_;
    std::weak_ptr<platform::Socket> send_failed_on_;  // not yet reported as a loss
    std::string server_ip_;
    int server_port_ = 0;

    std::atomic<bool> is_connected_{false};
    std::atomic<bool> is_running_{false};
    std::atomic<bool> auto_reconnect_{true};

    std::mutex send_mutex_;  // keeps each text whole on the wire

    // Held by the receive and reconnect threads from a change of the link
    // state until its callback has returned, so that on_connection sees the
    // changes in the order they happened.
    std::mutex connection_mutex_;

    std::mutex pause_mutex_;
    std::condition_variable pause_cv_;

    mutable std::mutex callback_mutex_;
    ConnectionCallback on_connection_;
    DataCallback on_data_;
    ErrorCallback on_error_;
    ProgressCallback on_progress_;

    CallbackWorker receive_worker_;
    CallbackWorker reconnect_worker_;
    std::thread receive_thread_;
    std::thread reconnect_thread_;
};

}  // namespace orvane
