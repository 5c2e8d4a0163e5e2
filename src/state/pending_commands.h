// The outgoing command text. Command functions append to it; each poll pass
// takes all of it and sends it as one batch.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "state/wakeup.h"

namespace orvane {

class PendingCommands {
public:
    explicit PendingCommands(Wakeup& wakeup) : wakeup_(wakeup) {}

    // Dropped while the queue is closed: a command given while a session
    // ends belongs to no session.
    void append(std::string_view command) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            text_.append(command);
        }
        wakeup_.signal();
    }

    // A session ends: nothing appended from now on is kept. What is queued
    // stays for one last take.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }

    // A session begins: appends are kept again.
    void open() {
        std::lock_guard lock(mutex_);
        closed_ = false;
    }

    // Forgets whatever is queued.
    void discard() {
        std::lock_guard lock(mutex_);
        text_.clear();
    }

    std::string take() {
        std::lock_guard lock(mutex_);
        std::string out;
        out.swap(text_);
        return out;
    }

    // Returns a taken text that could not be sent to the front, ahead of
    // whatever was appended since, so that order is kept.
    void put_back(std::string_view text) {
        if (text.empty()) return;
        std::lock_guard lock(mutex_);
        text_.insert(0, text);
    }

    bool empty() const {
        std::lock_guard lock(mutex_);
        return text_.empty();
    }

private:
    Wakeup& wakeup_;
    mutable std::mutex mutex_;
    std::string text_;
    bool closed_ = false;
};

}  // namespace orvane
