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
    on_error_ = [](const std::string&) {};
    on_progress_ = [](const std::string& line) { std::cout << line << std::endl; };
}

TCPClient::~TCPClient() {
    // Threads reach this object through its address: never outlive it.
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

void TCPClient::set_error_callback(ErrorCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_error_ = std::move(callback);
}

void TCPClient::set_progress_callback(ProgressCallback callback) {
    std::lock_guard lock(callback_mutex_);
    on_progress_ = std::move(callback);
}

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

void TCPClient::replace_socket(std::shared_ptr<platform::Socket> socket) {
    std::shared_ptr<platform::Socket> old;
    {
        std::lock_guard lock(socket_mutex_);
        old = std::exchange(socket_, std::move(socket));
    }
    // Wakes a receive still blocked on the old socket; it is closed once the
    // last thread using it lets go.
    if (old && old->valid()) platform::shutdown_both(old->get());
}

bool TCPClient::start(const std::string& address, int port) {
    if (is_running_.load()) return false;
    {
        std::lock_guard lock(socket_mutex_);
        server_ip_ = address;
        server_port_ = port;
    }
    is_running_.store(true);

    platform::Socket initial = platform::open_tcp_socket();
    if (!initial.valid()) {
        report_error(text_socket_create_failed());
        return false;
    }
    replace_socket(std::make_shared<platform::Socket>(std::move(initial)));

    const bool connected = adopt(connect_with_timeout(timings_.connect_timeout_ms));
    if (connected) {
        ConnectionCallback callback;
        {
            std::lock_guard lock(callback_mutex_);
            callback = on_connection_;
        }
        callback(true);
    }
    receive_thread_ = std::thread([this] { receive_loop(); });
    if (auto_reconnect_.load()) reconnect_thread_ = std::thread([this] { reconnect_loop(); });
    return connected;
}

platform::Socket TCPClient::connect_with_timeout(int timeout_ms) {
    platform::Socket attempt = platform::open_tcp_socket();
    if (!attempt.valid()) return {};
    if (!platform::set_non_blocking(attempt.get(), true)) return {};

    std::string ip;
    int port = 0;
    {
        std::lock_guard lock(socket_mutex_);
        ip = server_ip_;
        port = server_port_;
    }
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
        // socket may become the link's, or a receive could block on it.
        if (!is_running_.load()) return false;
        old = std::exchange(socket_, std::move(fresh));
        is_connected_.store(true);
    }
    if (old && old->valid()) platform::shutdown_both(old->get());
    return true;
}

bool TCPClient::take_send_failure(const std::shared_ptr<platform::Socket>& socket) {
    std::lock_guard lock(socket_mutex_);
    const bool failed_here = send_failed_on_.lock() == socket && socket == socket_;
    send_failed_on_.reset();
    return failed_here;
}

bool TCPClient::mark_lost(const std::shared_ptr<platform::Socket>& socket) {
    std::lock_guard lock(socket_mutex_);
    // A socket that a reconnect has already replaced: its end is not the end
    // of the link that is up now.
    if (socket != socket_) return false;
    is_connected_.store(false);
    return true;
}

void TCPClient::dispatch_connection(CallbackWorker& worker, bool up) {
    ConnectionCallback callback;
    {
        std::lock_guard lock(callback_mutex_);
        callback = on_connection_;
    }
    worker.run([&callback, up] { callback(up); });
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
    callback(text);
}

void TCPClient::progress(const std::string& line) {
    ProgressCallback callback;
    {
        std::lock_guard lock(callback_mutex_);
        callback = on_progress_;
    }
    callback(line);
}

bool TCPClient::pause(int ms) {
    std::unique_lock lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !is_running_.load(); });
}

void TCPClient::receive_loop() {
    std::string buffer(receive_buffer_size, '\0');
    // The socket this thread last received on while its end was not yet
    // reported.
    std::shared_ptr<platform::Socket> receiving;
    while (is_running_.load()) {
        if (!is_connected_.load()) {
            if (receiving) {
                // A failed send marked the link down without a word, and the
                // host would go on seeing it up until the reconnection: report
                // the end of that link here, once.
                std::lock_guard order(connection_mutex_);
                if (!is_connected_.load() && is_running_.load() && take_send_failure(receiving)) {
                    dispatch_connection(receive_worker_, false);
                }
                receiving.reset();
            }
            pause(timings_.idle_poll_ms);
            continue;
        }
        const std::shared_ptr<platform::Socket> socket = current_socket();
        if (!socket || !socket->valid()) {
            pause(timings_.idle_poll_ms);
            continue;
        }
        receiving = socket;
        const int received = platform::receive(socket->get(), buffer.data(), receive_buffer_size);
        if (received > 0) {
            DataCallback callback;
            {
                std::lock_guard lock(callback_mutex_);
                callback = on_data_;
            }
            std::string chunk(buffer.data(), static_cast<std::size_t>(received));
            receive_worker_.run([&callback, &chunk] { callback(std::move(chunk)); });
            pause(1);
            continue;
        }
        if (received < 0) {
            const int error = platform::last_socket_error();
            if (platform::is_would_block(error) || platform::is_interrupted(error)) {
                pause(1);
                continue;
            }
        }
        {
            std::lock_guard order(connection_mutex_);
            if (mark_lost(socket)) dispatch_connection(receive_worker_, false);
        }
        receiving.reset();
    }
}

void TCPClient::reconnect_loop() {
    while (is_running_.load()) {
        if (is_connected_.load() || !is_running_.load()) {
            pause(timings_.idle_poll_ms);
            continue;
        }
        progress(text_reconnecting());
        platform::Socket connected = connect_with_timeout(timings_.connect_timeout_ms);
        if (connected.valid()) {
            {
                std::lock_guard order(connection_mutex_);
                // A failed send that nobody has reported yet: the host hears
                // of the old link's end before it hears of the new link.
                if (take_send_failure(current_socket())) dispatch_connection(reconnect_worker_, false);
                if (!adopt(std::move(connected))) return;  // stopping
                dispatch_connection(reconnect_worker_, true);
            }
            progress(text_reconnected());
        } else {
            emit_error(text_reconnect_failed());
        }
        pause(timings_.reconnect_pause_ms);
    }
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
                if (mark_lost(socket)) {
                    std::lock_guard lock(socket_mutex_);
                    send_failed_on_ = socket;
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
    if (receive_thread_.joinable()) receive_thread_.join();
    if (reconnect_thread_.joinable()) reconnect_thread_.join();
    replace_socket(nullptr);
    receive_worker_.stop();
    reconnect_worker_.stop();
}

void TCPClient::mark_disconnected() {
    if (is_running_.load()) is_connected_.store(false);
}

}  // namespace orvane
