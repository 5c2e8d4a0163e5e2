#include "faults.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace orvane::sim {

FaultInjector::FaultInjector(const FaultOptions& options) : options_(options), random_(options.seed) {}

FaultOptions FaultInjector::options() const {
    std::lock_guard lock(mutex_);
    return options_;
}

void FaultInjector::set_options(const FaultOptions& options) {
    std::lock_guard lock(mutex_);
    if (options.seed != options_.seed) random_.seed(options.seed);
    options_ = options;
    ++version_;
}

unsigned FaultInjector::version() const {
    std::lock_guard lock(mutex_);
    return version_;
}

FaultCounters FaultInjector::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void FaultInjector::count(int FaultCounters::*counter, int n) {
    std::lock_guard lock(mutex_);
    counters_.*counter += n;
}

bool FaultInjector::take_refusal() {
    std::lock_guard lock(mutex_);
    if (options_.refuse_connections <= 0) return false;
    --options_.refuse_connections;
    ++counters_.refused_connections;
    return true;
}

std::chrono::milliseconds FaultInjector::drop_delay() {
    std::lock_guard lock(mutex_);
    int delay = -1;
    if (options_.drop_after_ms > 0) delay = options_.drop_after_ms;
    if (options_.drop_random_max_ms > 0) {
        const int low = std::max(0, std::min(options_.drop_random_min_ms, options_.drop_random_max_ms));
        std::uniform_int_distribution<int> pick(low, options_.drop_random_max_ms);
        const int drawn = pick(random_);
        delay = delay < 0 ? drawn : std::min(delay, drawn);
    }
    return std::chrono::milliseconds(delay);
}

std::string FaultInjector::garbage() {
    std::lock_guard lock(mutex_);
    if (options_.garbage_probability <= 0.0) return {};
    if (std::uniform_real_distribution<double>(0.0, 1.0)(random_) >= options_.garbage_probability) return {};
    ++counters_.garbage_lines;
    // Lines the client must skip: unknown codes, no ":", too few values,
    // stray bytes. None has a code whose any payload would be taken (such
    // as "5010" or "2001").
    static constexpr std::array<std::string_view, 7> fixed = {
        "999:1,2,3", "100", "100:1,2,3", "190:0,0", "125:1,2", "no colon here", ":",
    };
    const int kind = std::uniform_int_distribution<int>(0, static_cast<int>(fixed.size()))(random_);
    if (kind < static_cast<int>(fixed.size())) return std::string(fixed[static_cast<std::size_t>(kind)]) + "\n";
    // Random bytes, anything but ":" and the line feed.
    std::string bytes;
    const int length = std::uniform_int_distribution<int>(1, 40)(random_);
    std::uniform_int_distribution<int> byte(1, 255);
    while (static_cast<int>(bytes.size()) < length) {
        const char c = static_cast<char>(byte(random_));
        if (c != ':' && c != '\n') bytes += c;
    }
    return bytes + "\n";
}

}  // namespace orvane::sim
