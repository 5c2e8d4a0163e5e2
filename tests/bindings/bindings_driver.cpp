// bindings_driver <address> <port> <command>: runs the C test (the process-wide connection always goes to the
// library's default address) against a simulator there, then checks what the simulator received.
// Exit codes: 0 passed, 1 failed, 77 the address could not be bound (not root, or taken).
#include <orvane_sim/simulator.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bindings_test.h"

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
    passed += ok;
    failed += !ok;
    if (!ok) std::printf("driver: check failed: %s\n", what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <address> <port> <command>\n", argv[0]);
        return 2;
    }
    orvane::sim::SimulatorOptions options;
    options.bind_address = argv[1];
    options.port = std::atoi(argv[2]);
    options.version = BINDINGS_SIM_VERSION;
    for (int n = 1; n <= 24; ++n) options.inputs[static_cast<std::size_t>(n - 1)] = BINDINGS_INPUT_HIGH(n);

    orvane::sim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::printf("driver: skipped: no simulator on %s:%s: %s\n", argv[1], argv[2], error.c_str());
        return 77;
    }

    std::fflush(stdout);
    const int status = std::system(argv[3]);
    check(status == 0, std::string("\"") + argv[3] + "\" exited with status 0 (got " + std::to_string(status) + ")");

    // What the C calls put on the wire.
    for (const char* prefix : {"160:0,50.0,12.500000!", "161:", "120:3,0,0,10000,1,50,0,0,0,0,0,0,0,80.5,"}) {
        check(sim.command_count(prefix) > 0, std::string("the simulator received a command starting with ") + prefix);
    }
    check(sim.command_count("120:") == 1, "exactly one parameter write (the failed ones send nothing)");

    // What the simulator made of them.
    check(sim.axis_record(3).floats[2] == 80.5f, "axis 3's maximum speed is 80.5");
    sim.stop();
    std::printf("driver: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
