// Digital outputs and inputs: switch two outputs, read all inputs, switch
// the outputs off again.
#include <orvane/orvane.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

bool connect(std::chrono::seconds limit) {
    Orvane_initial();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string levels;
    // Connected, and the output levels are known: an output switched on
    // before its level is known would stay off.
    for (;;) {
        levels.clear();
        if (Orvane_is_connect() == 1 && Orvane_cmd(4, 0, levels) == 1 && levels.substr(levels.rfind(',') + 1) != "0") {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

int main() {
    if (!connect(std::chrono::seconds(5))) {
        std::puts("no controller answered");
        Orvane_close();
        return 1;
    }

    std::string levels;
    Orvane_cmd(4, 0, levels);
    std::printf("output levels: %s\n", levels.c_str());

    // Output 1 fully on (level x 255), output 2 at 128 x its level. The
    // library sends all 24 outputs in one frame a few milliseconds later.
    if (Orvane_set_output(1, true) != 1 || Orvane_set_output(2, 128) != 1) {
        std::puts("the outputs were refused");
        Orvane_close();
        return 1;
    }
    std::puts("output 1 on, output 2 at 128");

    // Inputs come with every status line of the controller.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bool inputs[24] = {};
    Orvane_get_input_bit(inputs);
    for (int input = 1; input <= 24; ++input) {
        if (inputs[input - 1]) std::printf("input %d: on\n", input);
    }
    bool first = false;
    Orvane_get_input_bit(1, first);
    std::printf("input 1 alone: %s\n", first ? "on" : "off");

    Orvane_set_outputAll(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the frame go out
    std::puts("all outputs off");

    Orvane_close();
    return 0;
}
