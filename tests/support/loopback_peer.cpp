#include "support/loopback_peer.h"

#include <algorithm>
#include <iterator>

#include "platform/serving.h"

namespace orvane::testing {

namespace {

constexpr int receive_size = 65536;

// A connected loopback socket pair to wake the service thread (select on
// Windows takes sockets only, so no pipe).
bool make_wake_pair(platform::Socket& sender, platform::Socket& receiver) {
    std::uint16_t port = 0;
    platform::Socket listener = platform::listen_tcp("127.0.0.1", 0, 1, &port);
    platform::Socket client = platform::open_tcp_socket();
    if (!listener.valid() || !client.valid() || !platform::set_non_blocking(client.get(), true)) return false;
    if (platform::start_connect(client.get(), "127.0.0.1", port) == platform::ConnectStart::failed) return false;
    if (platform::wait_readable(listener.get(), 5000) <= 0) return false;
    receiver = platform::accept_connection(listener.get());
    if (!receiver.valid() || platform::wait_writable(client.get(), 5000) <= 0) return false;
    platform::set_non_blocking(client.get(), false);
    platform::set_no_delay(client.get());
    sender = std::move(client);
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
    std::vector<Connection*> owners;  // nullptr: the wake socket or the listener
    std::unique_ptr<bool[]> ready;
    for (;;) {
        // Close and reset requests first (a test thread waits for them), so
        // that the wait set holds no closed socket.
        for (;;) {
            Connection* pending = nullptr;
            bool abortive = false;
            {
                std::lock_guard lock(mutex_);
                for (auto& c : connections_) {
                    if (!c->socket || c->request == Connection::Request::none) continue;
                    pending = c.get();
                    abortive = c->request == Connection::Request::reset;
                }
            }
            if (pending == nullptr) break;
            finish(*pending, abortive);
        }

        watched.assign(1, wake_receiver_.get());
        owners.assign(1, nullptr);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            if (listener_changed_) {  // stop_listening(): closed here, as it may be in the wait set
                listener_changed_ = false;
                listener_.close();
                ++events_;
                changed_.notify_all();
            }
            if (listener_.valid()) {
                watched.push_back(listener_.get());
                owners.push_back(nullptr);
            }
            // A connection with a request waits for the next round.
            for (auto& c : connections_) {
                if (!c->socket || c->request != Connection::Request::none) continue;
                watched.push_back(c->socket->get());
                owners.push_back(c.get());
            }
        }

        ready.reset(new bool[watched.size()]);
        if (platform::wait_any_readable(watched.data(), ready.get(), static_cast<int>(watched.size()), -1) < 0) continue;
        for (std::size_t k = 0; k < watched.size(); ++k) {
            if (!ready[k]) continue;
            if (k == 0) {
                char drain[64];
                platform::receive(wake_receiver_.get(), drain, sizeof drain);
            } else if (owners[k] == nullptr) {
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
            } else {
                const int n = platform::receive(watched[k], buffer.data(), receive_size);
                const auto now = Clock::now();
                if (n > 0) {
                    std::lock_guard lock(mutex_);
                    const auto index = std::find_if(connections_.begin(), connections_.end(),
                                                    [&](const auto& c) { return c.get() == owners[k]; });
                    chunks_.push_back(Chunk{static_cast<int>(index - connections_.begin()), now,
                                            std::string(buffer.data(), static_cast<std::size_t>(n))});
                    ++events_;
                    changed_.notify_all();
                    continue;
                }
                const int error = n < 0 ? platform::last_socket_error() : 0;
                if (n < 0 && (platform::is_would_block(error) || platform::is_interrupted(error))) continue;
                finish(*owners[k], false);
            }
        }
    }
}

void LoopbackPeer::finish(Connection& connection, bool abortive) {
    {
        std::lock_guard send_lock(connection.send_mutex);  // lock order: send_mutex, then mutex_
        if (connection.socket && abortive) platform::abort_close(*connection.socket);
        if (connection.socket && !abortive) {
            platform::shutdown_both(connection.socket->get());
            connection.socket->close();
        }
        std::lock_guard lock(mutex_);
        connection.socket.reset();
        connection.request = Connection::Request::none;
        connection.closed_at = Clock::now();
        ++events_;
    }
    changed_.notify_all();
}

LoopbackPeer::Connection* LoopbackPeer::find(int connection) const {
    const int count = static_cast<int>(connections_.size());
    const int i = connection < 0 ? count - 1 : connection;
    return i >= 0 && i < count ? connections_[static_cast<std::size_t>(i)].get() : nullptr;
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

int LoopbackPeer::accepted() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
}

int LoopbackPeer::open_connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(connections_.begin(), connections_.end(), [](const auto& c) { return c->socket != nullptr; }));
}

bool LoopbackPeer::is_open(int connection) const {
    std::lock_guard lock(mutex_);
    const Connection* c = find(connection);
    return c != nullptr && c->socket != nullptr;
}

std::optional<LoopbackPeer::Clock::time_point> LoopbackPeer::accepted_at(int connection) const {
    std::lock_guard lock(mutex_);
    const Connection* c = find(connection);
    return c != nullptr ? std::optional(c->accepted_at) : std::nullopt;
}

std::optional<LoopbackPeer::Clock::time_point> LoopbackPeer::closed_at(int connection) const {
    std::lock_guard lock(mutex_);
    const Connection* c = find(connection);
    return c != nullptr ? c->closed_at : std::nullopt;
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

std::vector<LoopbackPeer::Chunk> LoopbackPeer::chunks(int connection) const {
    std::lock_guard lock(mutex_);
    const int i = connection < 0 ? static_cast<int>(connections_.size()) - 1 : connection;
    std::vector<Chunk> out;
    std::copy_if(chunks_.begin(), chunks_.end(), std::back_inserter(out), [i](const Chunk& c) { return c.connection == i; });
    return out;
}

std::string LoopbackPeer::text() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const Chunk& c : chunks_) out += c.bytes;
    return out;
}

std::string LoopbackPeer::text(int connection) const {
    std::string out;
    for (const Chunk& c : chunks(connection)) out += c.bytes;
    return out;
}

std::size_t LoopbackPeer::size() const { return text().size(); }

bool LoopbackPeer::wait_for_text(std::string_view needle, Duration timeout) const {
    return wait_for([&] { return text().find(needle) != std::string::npos; }, timeout);
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
        if ((target = find(connection)) == nullptr) return false;
    }
    std::lock_guard send_lock(target->send_mutex);
    if (!target->socket || !target->socket->valid()) return false;
    for (std::size_t sent = 0; sent < bytes.size();) {
        const int n = platform::send(target->socket->get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n < 0 && !platform::is_interrupted(platform::last_socket_error())) return false;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool LoopbackPeer::request_close(int connection, Connection::Request request) {
    std::unique_lock lock(mutex_);
    Connection* target = find(connection);
    if (target == nullptr || !target->socket) return false;
    target->request = request;
    lock.unlock();
    wake();
    lock.lock();
    return changed_.wait_for(lock, 5s, [&] { return !target->socket; });
}

bool LoopbackPeer::close_connection(int connection) { return request_close(connection, Connection::Request::close); }

bool LoopbackPeer::reset_connection(int connection) { return request_close(connection, Connection::Request::reset); }

bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

StalledListener::StalledListener(const std::string& address, std::uint16_t port) {
    // A backlog of 0 still queues one connection: fill it until an attempt hangs.
    listener_ = platform::listen_tcp(address, port, 0, &port_);
    for (int i = 0; listener_.valid() && i < 16; ++i) {
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
