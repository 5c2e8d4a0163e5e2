// A coordinated move: axes 0, 1 and 2 travel to a point together, and the
// program waits until they have arrived, showing the way that remains.
#include <orvane/orvane.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

namespace {

bool connect(std::chrono::seconds limit) {
    Orvane_initial();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string version;
    // Connected, and the controller's parameters and version are in.
    while (Orvane_is_connect() != 1 || Orvane_cmd(2001, 0, version) != 1 || version.empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int main() {
    if (!connect(std::chrono::seconds(5))) {
        std::puts("no controller answered");
        Orvane_close();
        return 1;
    }

    const double target[3] = {60.0, -30.0, 15.0};
    // The axis with the longest way runs at its speed; the library slows the
    // others so that all three arrive at the same time.
    for (int axis = 0; axis < 3; ++axis) Orvane_set_speed(axis, 40.0f);
    Orvane_xyz_move_to(target[0], target[1], target[2]);
    std::printf("moving axes 0, 1, 2 to %.3f, %.3f, %.3f\n", target[0], target[1], target[2]);

    // The move-state bits read 0 ("moving") from the call until the
    // controller reports the axes standing again.
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(20);
    auto next_report = start;
    for (;;) {
        double pos[6] = {};
        if (Orvane_get_pos(pos) != 1) {
            std::puts("the link to the controller dropped");
            Orvane_close();
            return 1;
        }
        double remaining = 0.0;
        bool all_standing = true;
        for (int axis = 0; axis < 3; ++axis) {
            bool standing = false;
            Orvane_get_move_state(axis, standing);
            all_standing = all_standing && standing;
            remaining = std::max(remaining, std::fabs(target[axis] - pos[axis]));
        }
        const auto now = std::chrono::steady_clock::now();
        if (all_standing && remaining < 0.005) {
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::printf("arrived after %.2f s at %.3f, %.3f, %.3f\n", seconds, pos[0], pos[1], pos[2]);
            break;
        }
        if (now > deadline) {
            std::printf("not arrived in time: %.3f still to go\n", remaining);
            Orvane_close();
            return 1;
        }
        if (now >= next_report) {
            std::printf("  at %8.3f %8.3f %8.3f   %.3f to go\n", pos[0], pos[1], pos[2], remaining);
            next_report = now + std::chrono::milliseconds(250);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    Orvane_close();
    return 0;
}
