#include "link/tcp_client.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

namespace orvane {

// The link's texts in the GBK code page, as the controller's tools expect.
const std::string& TCPClient::text_socket_create_failed() {
    static const std::string text =
        "\xB4\xB4\xBD\xA8"
        "socket"
        "\xCA\xA7\xB0\xDC";
    return text;
}
const std::string& TCPClient::text_send_failed() {
    static const std::string text = "\xB7\xA2\xCB\xCD\xCA\xA7\xB0\xDC";
    return text;
}
const std::string& TCPClient::text_reconnect_failed() {
    static const std::string text = "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC";
    return text;
}
const std::string& TCPClient::text_reconnecting() {
    static const std::string text =
        "\xB3\xA2\xCA\xD4\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3"
        "...";
    return text;
}
const std::string& TCPClient::text_reconnected() {
    static const std::string text =
        "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6"
        "!";
    return text;
}
const std::string& TCPClient::text_error_code() {
    static const std::string text =
        " (\xB4\xED\xCE\xF3\xC2\xEB"
        ": ";
    return text;
}

TCPClient::TCPClient(LinkTimings timings) : timings_(timings) {
    // Build the texts now: statics made before the client are destroyed
    // after it, so a thread still ending when the library unloads never
    // finds them gone.
    text_socket_create_failed();
    text_send_failed();
    text_reconnect_failed();
    text_reconnecting();
    text_reconnected();
    text_error_code();
    on_connection_ = [](bool) {};
    on_data_ = [](std::string) {};
    on_quiet_ = [] {};
    on_error_ = [](const std::string&) {};
    on_progress_ = [](const std::string& line) { std::cout << line << std::endl; };
}

TCPClient::~TCPClient() {
    // The thread reaches this object through its address: never outlive it.
    disconnect();
}

void TCPClient::set_connection_callback(ConnectionCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_connection_ = std::move(callback);
}

void TCPClient::set_data_callback(DataCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_data_ = std::move(callback);
}

void TCPClient::set_quiet_callback(int quiet_ms, QuietCallback callback) {
    std::lock_guard lock(callback_mutex_);
    quiet_ms_ = quiet_ms;
    on_quiet_ = std::move(callback);
}

void TCPClient::set_error_callback(ErrorCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_error_ = std::move(callback);
}

void TCPClient::set_progress_callback(ProgressCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_progress_ = std::move(callback);
}

void TCPClient::request_quiet_notice() { quiet_requested_.store(true); }

bool TCPClient::on_link_thread() const { return thread_id_.load() == std::this_thread::get_id(); }

std::string TCPClient::server_ip() const {
    std::lock_guard lock(socket_mutex_);
    return server_ip_;
}

int TCPClient::server_port() const {
    std::lock_guard lock(socket_mutex_);
    return server_port_;
}

std::shared_ptr<platform::Socket> TCPClient::current_socket() const {
    std::lock_guard lock(socket_mutex_);
    return socket_;
}

bool TCPClient::start(const std::string& address, int port, bool attempt_now) {
    if (is_running_.load()) return false;
    {
        std::lock_guard lock(socket_mutex_);
        server_ip_ = address;
        server_port_ = port;
    }
    is_running_.store(true);

    // A platform that cannot make sockets at all is told once, here.
    if (!platform::open_tcp_socket().valid()) {
        report_error(text_socket_create_failed());
        return false;
    }

    const bool connected = attempt_now && adopt(connect_with_timeout(timings_.connect_timeout_ms));
    // On the calling thread, before the link thread exists: no chunk can be
    // delivered before the host has heard that the link is up.
    if (connected) call_connection(true);
    thread_ = std::thread([this] { run(); });
    return connected;
}

platform::Socket TCPClient::connect_with_timeout(int timeout_ms) {
    std::string ip;
    int port = 0;
    {
        std::lock_guard lock(socket_mutex_);
        ip = server_ip_;
        port = server_port_;
    }
    std::uint32_t unused = 0;
    if (!platform::parse_ipv4(ip, unused)) {
        // Anything else fails the attempt, unless names are to be looked up.
        if (!timings_.resolve_host_names || !platform::resolve_ipv4(ip, ip)) return {};
    }

    platform::Socket attempt = platform::open_tcp_socket();
    if (!attempt.valid()) return {};
    if (!platform::set_non_blocking(attempt.get(), true)) return {};
    if (platform::start_connect(attempt.get(), ip, static_cast<std::uint16_t>(port & 0xFFFF)) ==
        platform::ConnectStart::failed) {
        return {};
    }
    // Waited for in slices, so that disconnect() need not sit out an attempt
    // that hangs (a controller that does not answer) before it can join.
    constexpr long long slice_ms = 50;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const int ready = platform::wait_writable(attempt.get(), static_cast<int>(std::clamp(left, 0LL, slice_ms)));
        if (ready > 0) break;
        if (ready < 0 || left <= slice_ms || !is_running_.load()) return {};
    }
    int error = 0;
    if (!platform::pending_error(attempt.get(), error) || error != 0) return {};
    platform::set_non_blocking(attempt.get(), false);
    platform::set_no_delay(attempt.get());
    platform::set_keepalive(attempt.get(), timings_.keepalive_idle_s, timings_.keepalive_interval_s,
                            timings_.keepalive_probes);
    return attempt;
}

bool TCPClient::adopt(platform::Socket connected) {
    if (!connected.valid()) return false;
    auto fresh = std::make_shared<platform::Socket>(std::move(connected));
    std::shared_ptr<platform::Socket> old;
    {
        std::lock_guard lock(socket_mutex_);
        // disconnect() clears is_running under this lock: after that no
        // socket may become the link's.
        if (!is_running_.load()) return false;
        old = std::exchange(socket_, std::move(fresh));
        send_failed_.store(false);
        is_connected_.store(true);
    }
    // A sender still holding the old socket fails instead of writing into
    // a connection nobody reads.
    if (old && old->valid()) platform::shutdown_both(old->get());
    return true;
}

void TCPClient::call_connection(bool up) {
    ConnectionCallback callback;
    {
        std::lock_guard lock(callback_mutex_);
        callback = on_connection_;
    }
    try {
        callback(up);
    } catch (...) {
        // A handler's failure is its own; the link goes on.
    }
}

void TCPClient::report_error(const std::string& message) {
    const int code = platform::last_socket_error();
    emit_error(message + text_error_code() + std::to_string(code) + ")");
}

void TCPClient::emit_error(const std::string& text) {
    ErrorCallback callback;
    {
        std::lock_guard lock(callback_mutex_);
        callback = on_error_;
    }
    try {
        callback(text);
    } catch (...) {
    }
}

void TCPClient::progress(const std::string& line) {
    ProgressCallback callback;
    {
        std::lock_guard lock(callback_mutex_);
        callback = on_progress_;
    }
    try {
        callback(line);
    } catch (...) {
    }
}

bool TCPClient::pause(int ms) {
    std::unique_lock lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !is_running_.load(); });
}

void TCPClient::run() {
    thread_id_.store(std::this_thread::get_id());
    using Clock = std::chrono::steady_clock;
    // After a start that did not connect, the first retry begins at once.
    auto next_attempt = Clock::now();
    while (is_running_.load()) {
        const std::shared_ptr<platform::Socket> socket = is_connected_.load() ? current_socket() : nullptr;
        if (socket && socket->valid()) {
            receive_on(socket);
            continue;
        }
        const auto now = Clock::now();
        if (now < next_attempt) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt - now).count();
            pause(static_cast<int>(std::min<long long>(left + 1, timings_.idle_poll_ms)));
            continue;
        }
        try_reconnect();
        next_attempt = Clock::now() + std::chrono::milliseconds(timings_.reconnect_pause_ms);
    }
}

void TCPClient::receive_on(const std::shared_ptr<platform::Socket>& socket) {
    using Clock = std::chrono::steady_clock;
    std::string buffer(receive_buffer_size, '\0');
    bool quiet_pending = false;
    Clock::time_point quiet_deadline{};
    Clock::time_point last_chunk{};
    bool lost = false;
    while (is_running_.load() && is_connected_.load()) {
        if (quiet_pending) {
            // Part of the last chunk waits for its line end: wait for more
            // only until the quiet time is over.
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(quiet_deadline - Clock::now()).count();
            const int ready = platform::wait_readable(socket->get(), static_cast<int>(std::max<long long>(left, 0)));
            if (ready == 0) {
                quiet_pending = false;
                QuietCallback callback;
                {
                    std::lock_guard lock(callback_mutex_);
                    callback = on_quiet_;
                }
                try {
                    callback();
                } catch (...) {
                }
                continue;
            }
        } else if (platform::wait_readable(socket->get(), timings_.idle_poll_ms) == 0) {
            // Waiting for the next bytes first makes a chunk cost the thread
            // one wake-up (a controller sends a status line every few
            // milliseconds). Whoever ends the link (disconnect, a failed
            // send) shuts the socket down, which ends the wait; the bounded
            // wait looks at the flags now and then in any case.
            continue;
        }
        // The next receive comes at least a millisecond after the last
        // chunk, so that a burst arrives in fewer, larger chunks. Only a
        // burst waits for it: a line that comes later needs no pause.
        const auto earliest = last_chunk + std::chrono::milliseconds(1);
        if (Clock::now() < earliest) std::this_thread::sleep_until(earliest);
        const int received = platform::receive(socket->get(), buffer.data(), receive_buffer_size);
        if (received > 0) {
            last_chunk = Clock::now();
            DataCallback callback;
            int quiet_ms = 0;
            {
                std::lock_guard lock(callback_mutex_);
                callback = on_data_;
                quiet_ms = quiet_ms_;
            }
            try {
                callback(std::string(buffer.data(), static_cast<std::size_t>(received)));
            } catch (...) {
            }
            if (quiet_ms > 0 && quiet_requested_.exchange(false)) {
                quiet_pending = true;
                quiet_deadline = Clock::now() + std::chrono::milliseconds(quiet_ms);
            }
            continue;
        }
        if (received < 0) {
            const int error = platform::last_socket_error();
            if (platform::is_would_block(error) || platform::is_interrupted(error)) {
                pause(1);
                continue;
            }
        }
        // A link already marked down (on purpose, or by a failed send) ends
        // here without being a new loss.
        lost = is_connected_.load();
        break;
    }
    {
        std::lock_guard lock(socket_mutex_);
        // A socket that a reconnect has already replaced: its end is not the
        // end of the link that is up now.
        if (socket != socket_) return;
        if (lost) is_connected_.store(false);
    }
    // The end of the link is reported once: when the peer ended it or a
    // send failed on it. A link marked down on purpose ends silently, and
    // so does one the client is stopping.
    const bool send_failed = send_failed_.exchange(false);
    if ((lost || send_failed) && is_running_.load()) call_connection(false);
}

void TCPClient::try_reconnect() {
    progress(text_reconnecting());
    platform::Socket connected = connect_with_timeout(timings_.connect_timeout_ms);
    if (!connected.valid()) {
        emit_error(text_reconnect_failed());
        return;
    }
    if (!adopt(std::move(connected))) return;  // stopping
    call_connection(true);
    progress(text_reconnected());
}

bool TCPClient::send_bytes(const char* data, int length) {
    if (!is_connected_.load()) return false;
    if (length <= 0) return true;
    {
        std::lock_guard lock(send_mutex_);
        const std::shared_ptr<platform::Socket> socket = current_socket();
        if (!socket || !socket->valid()) return false;
        int sent = 0;
        while (sent < length) {
            const int n = platform::send(socket->get(), data + sent, length - sent);
            if (n < 0) {
                if (platform::is_interrupted(platform::last_socket_error())) continue;
                std::lock_guard socket_lock(socket_mutex_);
                if (socket == socket_ && is_connected_.load()) {
                    is_connected_.store(false);
                    send_failed_.store(true);
                    // Wakes the link thread, which reports the end once.
                    platform::shutdown_both(socket->get());
                }
                break;
            }
            sent += n;
        }
        if (sent >= length) return true;
    }
    // Outside the send lock: the error callback may send again.
    emit_error(text_send_failed());
    return false;
}

bool TCPClient::send_text(const std::string& text) {
    return send_bytes(text.data(), static_cast<int>(text.size()));
}

void TCPClient::disconnect() {
    if (!is_running_.load()) return;
    {
        std::lock_guard lock(socket_mutex_);
        is_running_.store(false);
        is_connected_.store(false);
        // Ends a receive blocked on the socket (and a send stuck in it).
        if (socket_ && socket_->valid()) platform::shutdown_both(socket_->get());
    }
    {
        // Taken so that no pause can miss the change of is_running.
        std::lock_guard lock(pause_mutex_);
    }
    pause_cv_.notify_all();
    if (thread_.joinable()) {
        // From a callback the thread cannot wait for itself; it ends as soon
        // as the callback returns (its owner refuses that case anyway).
        if (on_link_thread()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    thread_id_.store(std::thread::id{});
    std::shared_ptr<platform::Socket> old;
    {
        std::lock_guard lock(socket_mutex_);
        old = std::exchange(socket_, nullptr);
    }
    send_failed_.store(false);
}

void TCPClient::mark_disconnected() {
    std::lock_guard lock(socket_mutex_);
    if (!is_running_.load()) return;
    is_connected_.store(false);
    // Ends the link thread's receive, so that it reconnects; it reports
    // nothing for a link marked down on purpose.
    if (socket_ && socket_->valid()) platform::shutdown_both(socket_->get());
}

}  // namespace orvane
