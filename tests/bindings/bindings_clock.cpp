// The C test's clock: standard C++ here, so the C program itself stays
// plain C99 with no platform code.
#include "bindings_test.h"

#include <chrono>
#include <thread>

extern "C" double bindings_now_ms(void) {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(since).count();
}

extern "C" void bindings_sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
