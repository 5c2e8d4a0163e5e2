// The fault settings, their counters and their random source, shared by
// the simulator's threads (one lock, never held while calling out).
#pragma once

#include <chrono>
#include <mutex>
#include <random>
#include <string>

#include "orvane_sim/simulator.h"

namespace orvane::sim {

class FaultInjector {
public:
    explicit FaultInjector(const FaultOptions& options);

    FaultOptions options() const;
    void set_options(const FaultOptions& options);
    // Changes the settings through f(FaultOptions&).
    template <typename F>
    void change(F f) {
        std::lock_guard lock(mutex_);
        f(options_);
        ++version_;
    }
    // Grows with every change of the settings.
    unsigned version() const;

    FaultCounters counters() const;
    void count(int FaultCounters::*counter, int n = 1);

    // True when a new connection is to be refused; counts it.
    bool take_refusal();
    // How long after its accept a connection is to be dropped under the
    // present settings (the random part drawn afresh); negative for never.
    std::chrono::milliseconds drop_delay();
    // A garbage line (with its line feed) to send before the next line, or
    // an empty text; counts what it makes.
    std::string garbage();

private:
    mutable std::mutex mutex_;
    FaultOptions options_;
    FaultCounters counters_;
    unsigned version_ = 0;
    std::mt19937 random_;
};

}  // namespace orvane::sim
