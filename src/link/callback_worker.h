// Runs callbacks on a thread of their own while the caller waits for each.
// One long-lived worker replaces a new thread per call: the caller's thread
// never runs the callback itself, calls happen one at a time in order, and an
// exception that escapes a callback is dropped.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orvane {

class CallbackWorker {
public:
    CallbackWorker() = default;
    ~CallbackWorker();
    CallbackWorker(const CallbackWorker&) = delete;
    CallbackWorker& operator=(const CallbackWorker&) = delete;

    // Runs task on the worker thread (started on first use) and returns once
    // it has finished. Not to be called from the worker thread itself.
    void run(std::function<void()> task);

    // Ends the worker thread; a later run() starts a new one.
    void stop();

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> task_;
    bool has_task_ = false;
    bool done_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvane
