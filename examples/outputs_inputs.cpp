// Digital outputs and inputs: switch two outputs, read all inputs, switch
// the outputs off again.
//
//     outputs_inputs [--host ADDRESS] [--port PORT]
#include <orvane/controller.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "connection_args.h"

int main(int argc, char** argv) {
    orvane::ControllerOptions options;
    if (!example::parse_connection_args(argc, argv, options)) return 2;
    orvane::Controller controller(options);
    // Ready includes the output levels: an output switched on before its
    // level is known would stay off.
    if (controller.wait_ready(std::chrono::seconds(5)) != orvane::WaitStatus::done) {
        std::puts("no controller answered");
        return 1;
    }

    std::string levels;
    controller.cmd(ORVANE_CMD_READ_LEVELS, 0, levels);
    std::printf("output levels: %s\n", levels.c_str());

    // Output 1 fully on (level x 255), output 2 at 128 x its level. The
    // library sends all 24 outputs in one frame a few milliseconds later.
    if (!controller.set_output(1, true) || !controller.set_output_value(2, 128)) {
        std::puts("the outputs were refused");
        return 1;
    }
    std::puts("output 1 on, output 2 at 128");

    // Inputs come with every status line of the controller.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto inputs = controller.inputs().value_or(std::array<bool, 24>{});
    for (int input = 1; input <= 24; ++input) {
        if (inputs[static_cast<std::size_t>(input - 1)]) std::printf("input %d: on\n", input);
    }
    std::printf("input 1 alone: %s\n", controller.input(1).value_or(false) ? "on" : "off");

    controller.set_all_outputs(false);
    std::puts("all outputs off");
    return 0;  // closing sends what is still queued (the outputs off)
}
