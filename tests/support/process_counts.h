// For tests that look for threads or sockets left behind by comparing this
// process's thread and handle counts. Where the platform cannot tell one
// (platform::thread_count() or open_handle_count() give -1; wine has no
// handle count) the comparison is not made, and the test is reported as
// skipped with the reason instead of passing: its other checks still run,
// and a failure among them still fails it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "support/loopback_peer.h"

namespace orvane::testing {

// Starts and joins one thread: threads that a sanitizer's or the C library's
// runtime starts with the process's first new thread then exist before a
// test counts, and do not look like threads left behind.
inline void start_lazy_runtime_threads() { std::thread([] {}).join(); }

// Records the running test as skipped, with reason, and lets it go on.
inline void skip_check(const char* reason) {
    [&] { GTEST_SKIP() << reason; }();
}

// True when this process's threads can be counted; otherwise records the
// skip and returns false, and the caller leaves the comparison out.
inline bool thread_count_checkable() {
    if (platform::thread_count() > 0) return true;
    skip_check("this platform cannot count the process's threads: the check for threads left behind was not made");
    return false;
}

// The same for open handles (sockets).
inline bool handle_count_checkable() {
    if (platform::open_handle_count() > 0) return true;
    skip_check("this platform cannot count the process's open handles: the check for sockets left behind was not "
               "made");
    return false;
}

// True when both counts are this process's own and can be compared. Where
// there is no handle count (wine), the thread list also holds the
// emulator's own helper threads, which come and go as it likes.
inline bool process_counts_known() { return platform::thread_count() > 0 && platform::open_handle_count() > 0; }

// Both counts at once, as process_counts_known(); records the skip when not.
inline bool process_counts_checkable() {
    if (process_counts_known()) return true;
    skip_check("this platform cannot tell the process's own thread and handle counts (no handle count, and under "
               "wine the emulator's helper threads): the check for threads and sockets left behind was not made");
    return false;
}

// True once the thread and handle counts are back (or, as a skip, when they cannot be told).
inline bool counts_back(int threads, int handles, std::chrono::milliseconds timeout) {
    return !process_counts_checkable() || wait_until([&] {
        return platform::thread_count() == threads && platform::open_handle_count() == handles;
    }, timeout);
}

}  // namespace orvane::testing
