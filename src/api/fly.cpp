// Fly triggering: set-up, start and trim of the controller's position capture.
#include <orvane/orvane.h>

#include <chrono>
#include <thread>

#include "api/number_format.h"
#include "api/process_runtime.h"

namespace orvane {

int Runtime::set_fly(int first, int second, int third) {
    if (!connected()) return 0;
    queue(CommandText("490").integer(first).integer(second).integer(third).finish());
    mirror_.fly_counters[0].set(first);
    mirror_.fly_counters[1].set(second);
    mirror_.fly_counters[2].set(third);
    return 1;
}

int Runtime::start_fly(int first, int second) {
    if (!connected()) return 0;
    // Positions of an earlier run must not be mistaken for this one's.
    mirror_.fly_positions.clear();
    queue(CommandText("500").integer(first).integer(second).finish());
    std::this_thread::sleep_for(std::chrono::milliseconds(config_.home_pause_ms));
    return 1;
}

int Runtime::trim_fly(int value) {
    if (!connected()) return 0;
    mirror_.fly_positions.clear();
    queue(CommandText("510").integer(value).finish());
    std::this_thread::sleep_for(std::chrono::milliseconds(config_.home_pause_ms));
    return 1;
}

}  // namespace orvane

ORVANE_API int Orvane_set_fly(int first, int second, int third) {
    return orvane::guarded([&] { return orvane::process_runtime().set_fly(first, second, third); });
}

ORVANE_API int Orvane_start_fly(int first, int second) {
    return orvane::guarded([&] { return orvane::process_runtime().start_fly(first, second); });
}

ORVANE_API int Orvane_trim_fly(int value) {
    return orvane::guarded([&] { return orvane::process_runtime().trim_fly(value); });
}
