// Lets the poll loop sleep until there is work, instead of spinning every
// millisecond: command functions, output changes, connection changes and
// stop requests signal it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvane {

class Wakeup {
public:
    using Clock = std::chrono::steady_clock;

    void signal() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_all();
    }

    // Returns when signalled (consuming the signal) or at the deadline.
    void wait_until(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, deadline, [this] { return signalled_; });
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace orvane
