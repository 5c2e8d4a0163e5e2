#include "support/loopback_peer.h"

#include <algorithm>
#include "platform/serving.h"

namespace orvane::testing {

namespace {

constexpr int receive_size = 65536;

// A connected pair of loopback sockets: writing a byte to the first wakes a
// wait on the second. Portable where a pipe would not be (select on Windows
// takes sockets only).
bool make_wake_pair(platform::Socket& sender, platform::Socket& receiver) {
    std::uint16_t port = 0;
    platform::Socket listener = platform::listen_tcp("127.0.0.1", 0, 1, &port);
    if (!listener.valid()) return false;
    platform::Socket client = platform::open_tcp_socket();
    if (!client.valid() || !platform::set_non_blocking(client.get(), true)) return false;
    if (platform::start_connect(client.get(), "127.0.0.1", port) == platform::ConnectStart::failed) return false;
    if (platform::wait_readable(listener.get(), 5000) <= 0) return false;
    platform::Socket server = platform::accept_connection(listener.get());
    if (!server.valid()) return false;
    if (platform::wait_writable(client.get(), 5000) <= 0) return false;
    platform::set_non_blocking(client.get(), false);
    platform::set_no_delay(client.get());
    sender = std::move(client);
    receiver = std::move(server);
    return true;
}

}  // namespace

LoopbackPeer::LoopbackPeer(std::string address, std::uint16_t port, int backlog)
    : address_(std::move(address)), backlog_(backlog) {
    listener_ = platform::listen_tcp(address_, port, backlog_, &port_);
    if (!listener_.valid()) return;
    if (!make_wake_pair(wake_sender_, wake_receiver_)) {
        listener_.close();
        return;
    }
    ok_ = true;
    thread_ = std::thread([this] { serve(); });
}

LoopbackPeer::~LoopbackPeer() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    for (auto& connection : connections_) {
        if (connection->socket) connection->socket->close();
    }
}

void LoopbackPeer::wake() {
    const char byte = 1;
    platform::send(wake_sender_.get(), &byte, 1);
}

void LoopbackPeer::serve() {
    std::string buffer(receive_size, '\0');
    std::vector<platform::NativeSocket> watched;
    std::vector<int> owners;  // -2: wake socket, -1: listener, else a connection
    std::unique_ptr<bool[]> ready;
    for (;;) {
        // Close and reset requests first (a test thread waits for them), and
        // before the wait set is built, so that it holds no closed socket.
        for (;;) {
            Connection* pending = nullptr;
            bool abortive = false;
            {
                std::lock_guard lock(mutex_);
                for (auto& c : connections_) {
                    if (c->socket && c->request != Connection::Request::none) {
                        pending = c.get();
                        abortive = c->request == Connection::Request::reset;
                        break;
                    }
                }
            }
            if (pending == nullptr) break;
            finish(*pending, abortive);
        }

        watched.clear();
        owners.clear();
        watched.push_back(wake_receiver_.get());
        owners.push_back(-2);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            if (listener_changed_) {
                // stop_listening(): the listener is closed on this thread
                // only, as it may be in the set being waited on.
                listener_changed_ = false;
                listener_.close();
                ++events_;
                changed_.notify_all();
            }
            if (listener_.valid()) {
                watched.push_back(listener_.get());
                owners.push_back(-1);
            }
            for (std::size_t i = 0; i < connections_.size(); ++i) {
                const Connection& c = *connections_[i];
                // A connection with a request waits for the next round (the
                // request's wake ends this one).
                if (!c.socket || c.request != Connection::Request::none) continue;
                watched.push_back(c.socket->get());
                owners.push_back(static_cast<int>(i));
            }
        }

        ready.reset(new bool[watched.size()]);
        const int r = platform::wait_any_readable(watched.data(), ready.get(), static_cast<int>(watched.size()), -1);
        if (r < 0) continue;
        for (std::size_t k = 0; k < watched.size(); ++k) {
            if (!ready[k]) continue;
            if (owners[k] == -2) {
                char drain[64];
                platform::receive(wake_receiver_.get(), drain, sizeof drain);
                continue;
            }
            if (owners[k] == -1) {
                platform::Socket accepted = platform::accept_connection(watched[k]);
                if (!accepted.valid()) continue;
                platform::set_no_delay(accepted.get());
                auto connection = std::make_unique<Connection>();
                connection->socket = std::make_shared<platform::Socket>(std::move(accepted));
                connection->accepted_at = Clock::now();
                std::lock_guard lock(mutex_);
                connections_.push_back(std::move(connection));
                ++events_;
                changed_.notify_all();
                continue;
            }
            const int index = owners[k];
            const int n = platform::receive(watched[k], buffer.data(), receive_size);
            const auto now = Clock::now();
            Connection* connection = nullptr;
            {
                std::lock_guard lock(mutex_);
                connection = connections_[static_cast<std::size_t>(index)].get();
            }
            if (n > 0) {
                Responder responder;
                {
                    std::lock_guard lock(mutex_);
                    chunks_.push_back(Chunk{index, now, std::string(buffer.data(), static_cast<std::size_t>(n))});
                    ++events_;
                    responder = responder_;
                }
                changed_.notify_all();
                if (responder) responder(*this, index, std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                continue;
            }
            if (n < 0) {
                const int error = platform::last_socket_error();
                if (platform::is_would_block(error) || platform::is_interrupted(error)) continue;
            }
            finish(*connection, false);
        }
    }
}

void LoopbackPeer::finish(Connection& connection, bool abortive) {
    {
        // Lock order: a connection's send_mutex, then mutex_.
        std::lock_guard send_lock(connection.send_mutex);
        if (connection.socket) {
            if (abortive) {
                platform::abort_close(*connection.socket);
            } else {
                platform::shutdown_both(connection.socket->get());
                connection.socket->close();
            }
        }
        std::lock_guard lock(mutex_);
        connection.socket.reset();
        connection.request = Connection::Request::none;
        connection.closed_at = Clock::now();
        ++events_;
    }
    changed_.notify_all();
}

int LoopbackPeer::resolve(int connection) const {
    if (connection < 0) return static_cast<int>(connections_.size()) - 1;
    return connection < static_cast<int>(connections_.size()) ? connection : -1;
}

void LoopbackPeer::stop_listening() {
    std::unique_lock lock(mutex_);
    if (!listener_.valid()) return;
    listener_changed_ = true;
    lock.unlock();
    wake();
    lock.lock();
    changed_.wait_for(lock, 5s, [this] { return !listener_.valid(); });
}

bool LoopbackPeer::resume_listening() {
    if (!ok_) return false;
    {
        std::lock_guard lock(mutex_);
        if (listener_.valid()) return true;
    }
    platform::Socket fresh = platform::listen_tcp(address_, port_, backlog_, nullptr);
    if (!fresh.valid()) return false;
    {
        std::lock_guard lock(mutex_);
        listener_ = std::move(fresh);
        ++events_;
    }
    changed_.notify_all();
    wake();
    return true;
}

bool LoopbackPeer::listening() const {
    std::lock_guard lock(mutex_);
    return listener_.valid();
}

int LoopbackPeer::accepted() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
}

int LoopbackPeer::open_connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return c->socket != nullptr; }));
}

bool LoopbackPeer::is_open(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = resolve(connection);
    return i >= 0 && connections_[static_cast<std::size_t>(i)]->socket != nullptr;
}

std::optional<LoopbackPeer::Clock::time_point> LoopbackPeer::accepted_at(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = resolve(connection);
    if (i < 0) return std::nullopt;
    return connections_[static_cast<std::size_t>(i)]->accepted_at;
}

std::optional<LoopbackPeer::Clock::time_point> LoopbackPeer::closed_at(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = resolve(connection);
    if (i < 0) return std::nullopt;
    return connections_[static_cast<std::size_t>(i)]->closed_at;
}

bool LoopbackPeer::wait_for_accepted(int count, Duration timeout) const {
    return wait_for([&] { return accepted() >= count; }, timeout);
}

bool LoopbackPeer::wait_for_open_connections(int count, Duration timeout) const {
    return wait_for([&] { return open_connections() == count; }, timeout);
}

bool LoopbackPeer::wait_for_closed(int connection, Duration timeout) const {
    return wait_for([&] { return closed_at(connection).has_value(); }, timeout);
}

std::vector<LoopbackPeer::Chunk> LoopbackPeer::chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
}

std::vector<LoopbackPeer::Chunk> LoopbackPeer::chunks(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = resolve(connection);
    std::vector<Chunk> out;
    for (const Chunk& c : chunks_) {
        if (c.connection == i) out.push_back(c);
    }
    return out;
}

std::string LoopbackPeer::text() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const Chunk& c : chunks_) out += c.bytes;
    return out;
}

std::string LoopbackPeer::text(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = resolve(connection);
    std::string out;
    for (const Chunk& c : chunks_) {
        if (c.connection == i) out += c.bytes;
    }
    return out;
}

std::size_t LoopbackPeer::size() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const Chunk& c : chunks_) n += c.bytes.size();
    return n;
}

bool LoopbackPeer::wait_for_text(std::string_view needle, Duration timeout) const {
    return wait_for([&] { return text().find(needle) != std::string::npos; }, timeout);
}

bool LoopbackPeer::wait_for_size(std::size_t bytes, Duration timeout) const {
    return wait_for([&] { return size() >= bytes; }, timeout);
}

void LoopbackPeer::clear() {
    std::lock_guard lock(mutex_);
    chunks_.clear();
}

bool LoopbackPeer::wait_for(const std::function<bool()>& predicate, Duration timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = events_;
        }
        if (predicate()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, std::min(deadline, now + 5ms), [&] { return events_ != seen; });
    }
}

bool LoopbackPeer::send(std::string_view bytes, int connection) {
    Connection* target = nullptr;
    {
        std::lock_guard lock(mutex_);
        const int i = resolve(connection);
        if (i < 0) return false;
        target = connections_[static_cast<std::size_t>(i)].get();
    }
    std::lock_guard send_lock(target->send_mutex);
    if (!target->socket || !target->socket->valid()) return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = platform::send(target->socket->get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n < 0) {
            if (platform::is_interrupted(platform::last_socket_error())) continue;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool LoopbackPeer::request_close(int connection, Connection::Request request) {
    std::unique_lock lock(mutex_);
    const int i = resolve(connection);
    if (i < 0) return false;
    Connection& target = *connections_[static_cast<std::size_t>(i)];
    if (!target.socket) return false;
    target.request = request;
    lock.unlock();
    wake();
    lock.lock();
    return changed_.wait_for(lock, 5s, [&] { return !target.socket; });
}

bool LoopbackPeer::close_connection(int connection) { return request_close(connection, Connection::Request::close); }

bool LoopbackPeer::reset_connection(int connection) { return request_close(connection, Connection::Request::reset); }

void LoopbackPeer::set_responder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

StalledListener::StalledListener(const std::string& address, std::uint16_t port) {
    // A backlog of 0 still queues one connection; every attempt after the
    // queue is full goes unanswered. Fill it until an attempt hangs.
    listener_ = platform::listen_tcp(address, port, 0, &port_);
    if (!listener_.valid()) return;
    for (int i = 0; i < 16; ++i) {
        platform::Socket filler = platform::open_tcp_socket();
        if (!filler.valid() || !platform::set_non_blocking(filler.get(), true)) return;
        const auto started = platform::start_connect(filler.get(), address, port_);
        if (started == platform::ConnectStart::failed) return;
        const bool completed = started == platform::ConnectStart::connected || platform::wait_writable(filler.get(), 100) > 0;
        fillers_.push_back(std::move(filler));
        if (!completed) {
            ok_ = true;
            return;
        }
    }
}

}  // namespace orvane::testing
