// First connection: make a controller handle, wait until it is connected and
// ready, and print what the controller reports.
//
//     first_connection [--host ADDRESS] [--port PORT]
#include <orvane/controller.hpp>

#include <chrono>
#include <cstdio>

#include "connection_args.h"

int main(int argc, char** argv) {
    orvane::ControllerOptions options;
    if (!example::parse_connection_args(argc, argv, options)) return 2;
    orvane::Controller controller(options);  // connects in the background, keeps reconnecting

    // Ready: connected, and the controller's version, output levels and axis
    // parameters have arrived.
    if (controller.wait_ready(std::chrono::seconds(5)) != orvane::WaitStatus::done) {
        std::printf("no controller answered at %s:%d\n", controller.address().c_str(), controller.port());
        return 1;
    }
    // The state bits follow the controller's status lines a moment later.
    controller.wait_at_rest({0}, std::chrono::milliseconds(500));

    const int type = controller.type();
    const int axes = type == 1 ? 3 : 6;
    std::printf("connected: controller type %d, version \"%s\"\n", type, controller.version().value_or("").c_str());

    const auto positions = controller.positions().value_or(std::array<double, 6>{});
    for (int axis = 0; axis < axes; ++axis) {
        const bool standing = controller.at_rest(axis).value_or(false);
        const bool homed = controller.homed(axis).value_or(false);
        std::printf("axis %d: position %10.3f  %s  %s\n", axis, positions[static_cast<std::size_t>(axis)],
                    standing ? "standing" : "moving  ", homed ? "homed" : "not homed");
    }

    const auto inputs = controller.inputs().value_or(std::array<bool, 24>{});
    std::printf("inputs 1-24: ");
    for (bool level : inputs) std::putchar(level ? '1' : '0');
    std::putchar('\n');
    return 0;  // the Controller closes the connection
}
