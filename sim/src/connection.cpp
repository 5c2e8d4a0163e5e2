#include "connection.h"

#include <algorithm>
#include <climits>
#include <vector>
#include "platform/serving.h"

namespace orvane::sim {

namespace {
constexpr int wait_slice_ms = 20;  // how soon the threads notice a close
}

Connection::Connection(platform::Socket socket, int id, FaultInjector& faults, Hooks hooks)
    : socket_(std::move(socket)), id_(id), faults_(faults), hooks_(std::move(hooks)) {
    platform::set_non_blocking(socket_.get(), true);
    platform::set_no_delay(socket_.get());
}

Connection::~Connection() { close(DropStyle::orderly); }

void Connection::start() {
    reader_ = std::thread([this] { read_loop(); });
    writer_ = std::thread([this] { write_loop(); });
}

void Connection::enqueue(std::string bytes, Clock::time_point due) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        queued_bytes_ += bytes.size();
        queue_.emplace(due, std::move(bytes));
    }
    cv_.notify_all();
}

std::size_t Connection::queued_bytes() const {
    std::lock_guard lock(mutex_);
    return queued_bytes_;
}

void Connection::close(DropStyle style, const std::string& cut_line) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        if (style == DropStyle::mid_line) {
            cut_line_ = cut_line;
            cut_requested_ = true;
        } else {
            closing_ = true;
        }
    }
    cv_.notify_all();
    // The writer sends the half line and ends by itself.
    if (writer_.joinable()) writer_.join();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    cv_.notify_all();
    if (reader_.joinable()) reader_.join();
    ended_ = true;
    if (style == DropStyle::reset) {
        platform::abort_close(socket_);
    } else {
        if (socket_.valid()) platform::shutdown_both(socket_.get());
        socket_.close();
    }
}

void Connection::end_by_itself() {
    if (!ended_.exchange(true) && hooks_.on_end) hooks_.on_end(*this);
}

void Connection::read_loop() {
    std::string partial;
    std::vector<char> buffer(4096);
    while (!closing_.load()) {
        const int ready = platform::wait_readable(socket_.get(), wait_slice_ms);
        if (ready == 0) continue;
        if (ready < 0) {
            if (platform::is_interrupted(platform::last_socket_error())) continue;
            break;
        }
        const int n = platform::receive(socket_.get(), buffer.data(), static_cast<int>(buffer.size()));
        if (n == 0) break;  // the peer closed
        if (n < 0) {
            const int error = platform::last_socket_error();
            if (platform::is_would_block(error) || platform::is_interrupted(error)) continue;
            break;
        }
        const std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
        if (hooks_.on_chunk) hooks_.on_chunk(*this, chunk);
        partial.append(chunk);
        std::size_t start = 0;
        for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
            if (hooks_.on_line) hooks_.on_line(*this, std::string_view(partial).substr(start, end - start));
        }
        partial.erase(0, start);
    }
    if (!closing_.load()) end_by_itself();
}

bool Connection::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !cv_.wait_for(lock, duration, [this] { return interrupted(); });
}

bool Connection::send_all(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int length = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, INT_MAX));
        const int n = platform::send(socket_.get(), bytes.data() + sent, length);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int error = platform::last_socket_error();
        if (platform::is_interrupted(error)) continue;
        if (n < 0 && platform::is_would_block(error)) {
            // A client that reads nothing must not hold up a close.
            if (interrupted()) return false;
            platform::wait_writable(socket_.get(), wait_slice_ms);
            continue;
        }
        end_by_itself();
        return false;
    }
    return true;
}

void Connection::write_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (closing_.load()) return;
        if (cut_requested_.load()) {
            const std::string line = cut_line_;
            lock.unlock();
            // Never the whole line: its line feed at least stays behind.
            const std::string_view head = std::string_view(line).substr(0, std::max<std::size_t>(1, line.size() / 2));
            if (!line.empty() && send_all(head) && hooks_.on_sent) hooks_.on_sent(*this, head, true);
            return;
        }
        if (queue_.empty()) {
            cv_.wait(lock, [this] { return interrupted() || !queue_.empty(); });
            continue;
        }
        const Clock::time_point due = queue_.begin()->first;
        if (Clock::now() < due) {
            // Wakes early for a close or for an item that falls due sooner.
            cv_.wait_until(lock, due, [&] { return interrupted() || queue_.begin()->first < due; });
            continue;
        }
        const FaultOptions faults = faults_.options();
        const bool trickle = faults.trickle_delay_ms >= 0;
        const bool merge = !trickle && faults.merge_window_ms > 0;
        if (merge) {
            // Let more lines fall due, then send them all at once.
            const auto until = due + std::chrono::milliseconds(faults.merge_window_ms);
            if (cv_.wait_until(lock, until, [this] { return interrupted(); })) continue;
        }
        std::vector<std::string> items;
        const auto now = Clock::now();
        while (!queue_.empty() && queue_.begin()->first <= now) {
            queued_bytes_ -= queue_.begin()->second.size();
            items.push_back(std::move(queue_.begin()->second));
            queue_.erase(queue_.begin());
            if (!merge) break;
        }
        lock.unlock();

        // Each item with the garbage line (often none) that goes before it.
        std::vector<std::pair<std::string, std::string>> parts;
        std::string segment;
        for (std::string& item : items) {
            parts.emplace_back(faults_.garbage(), std::move(item));
            segment += parts.back().first;
            segment += parts.back().second;
        }
        bool ok = true;
        if (trickle) {
            for (char c : segment) {
                ok = send_all(std::string_view(&c, 1)) &&
                     (faults.trickle_delay_ms == 0 || pause(std::chrono::milliseconds(faults.trickle_delay_ms)));
                if (!ok) break;
            }
            if (ok) faults_.count(&FaultCounters::trickled_lines, static_cast<int>(parts.size()));
        } else {
            ok = send_all(segment);
            if (ok && parts.size() > 1) faults_.count(&FaultCounters::merged_sends);
        }
        if (ok && hooks_.on_sent) {
            for (const auto& [garbage, item] : parts) {
                if (!garbage.empty()) hooks_.on_sent(*this, garbage, true);
                hooks_.on_sent(*this, item, false);
            }
        }
        lock.lock();
        if (!ok && !cut_requested_.load()) return;
    }
}

}  // namespace orvane::sim
