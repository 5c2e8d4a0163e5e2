// A coordinated move: axes 0, 1 and 2 travel to a point together, and the
// program waits until they have arrived, showing the way that remains.
//
//     coordinated_move [--host ADDRESS] [--port PORT]
#include <orvane/controller.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "connection_args.h"

int main(int argc, char** argv) {
    orvane::ControllerOptions options;
    if (!example::parse_connection_args(argc, argv, options)) return 2;
    orvane::Controller controller(options);
    if (controller.wait_ready(std::chrono::seconds(5)) != orvane::WaitStatus::done) {
        std::puts("no controller answered");
        return 1;
    }

    const double target[3] = {60.0, -30.0, 15.0};
    // The axis with the longest way runs at its speed; the library slows the
    // others so that all three arrive at the same time.
    for (int axis = 0; axis < 3; ++axis) controller.set_speed(axis, 40.0f);
    controller.xyz_move_to(target[0], target[1], target[2]);
    std::printf("moving axes 0, 1, 2 to %.3f, %.3f, %.3f\n", target[0], target[1], target[2]);

    // wait_at_rest looks at the controller's reports from after the move
    // command on; a short wait at a time leaves room for a progress line.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const orvane::WaitStatus status = controller.wait_at_rest({0, 1, 2}, std::chrono::milliseconds(250));
        const auto pos = controller.positions();
        if (!pos) {
            std::puts("the link to the controller dropped");
            return 1;
        }
        double remaining = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            remaining = std::max(remaining, std::fabs(target[axis] - (*pos)[static_cast<std::size_t>(axis)]));
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (status == orvane::WaitStatus::done) {
            if (remaining >= 0.005) {
                std::printf("stopped %.3f short of the target\n", remaining);
                return 1;
            }
            std::printf("arrived after %.2f s at %.3f, %.3f, %.3f\n", seconds, (*pos)[0], (*pos)[1], (*pos)[2]);
            return 0;
        }
        if (seconds > 20) {
            // What this program set going, it stops.
            for (int axis = 0; axis < 3; ++axis) controller.stop(axis);
            std::printf("not arrived in time: %.3f still to go; stopped\n", remaining);
            return 1;
        }
        std::printf("  at %8.3f %8.3f %8.3f   %.3f to go\n", (*pos)[0], (*pos)[1], (*pos)[2], remaining);
    }
}
