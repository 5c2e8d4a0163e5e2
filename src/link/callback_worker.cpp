#include "link/callback_worker.h"

#include <utility>

namespace orvane {

CallbackWorker::~CallbackWorker() { stop(); }

void CallbackWorker::run(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) {
        stopping_ = false;
        thread_ = std::thread([this] { loop(); });
    }
    task_ = std::move(task);
    has_task_ = true;
    done_ = false;
    cv_.notify_all();
    cv_.wait(lock, [this] { return done_; });
}

void CallbackWorker::stop() {
    std::thread finished;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        stopping_ = true;
        cv_.notify_all();
        finished = std::move(thread_);
    }
    finished.join();
}

void CallbackWorker::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return has_task_ || stopping_; });
        if (has_task_) {
            std::function<void()> task = std::move(task_);
            task_ = nullptr;
            has_task_ = false;
            lock.unlock();
            try {
                task();
            } catch (...) {
                // A callback's exception is not the link's business.
            }
            task = nullptr;
            lock.lock();
            done_ = true;
            cv_.notify_all();
            continue;
        }
        if (stopping_) return;
    }
}

}  // namespace orvane
