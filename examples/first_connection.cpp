// First connection: start the library, wait until it is connected and has
// heard from the controller, and print what the controller reports.
#include <orvane/orvane.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// Polls a condition until it holds or the time is up.
template <class Condition>
bool wait_for(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int main() {
    // One attempt of up to a second; the library keeps retrying by itself.
    Orvane_initial();
    if (!wait_for([] { return Orvane_is_connect() == 1; }, std::chrono::seconds(5))) {
        std::puts("no controller answered at the library's controller address");
        Orvane_close();
        return 1;
    }

    // Calls return at once; the library fills its picture of the controller
    // from the replies. The version text is among the first things it asks.
    std::string version;
    wait_for([&] { return Orvane_cmd(2001, 0, version) == 1 && !version.empty(); }, std::chrono::seconds(2));
    // The state bits follow the controller's status lines a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const int type = Orvane_get_Type();
    const int axes = type == 1 ? 3 : 6;
    std::printf("connected: controller type %d, version \"%s\"\n", type, version.c_str());

    double positions[6] = {};
    Orvane_get_pos(positions);
    for (int axis = 0; axis < axes; ++axis) {
        bool standing = false;
        bool homed = false;
        Orvane_get_move_state(axis, standing);  // 1 while the axis stands still
        Orvane_get_home_state(axis, homed);
        std::printf("axis %d: position %10.3f  %s  %s\n", axis, positions[axis], standing ? "standing" : "moving  ",
                    homed ? "homed" : "not homed");
    }

    bool inputs[24] = {};
    Orvane_get_input_bit(inputs);
    std::printf("inputs 1-24: ");
    for (bool level : inputs) std::putchar(level ? '1' : '0');
    std::putchar('\n');

    Orvane_close();
    return 0;
}
