// Controller handles through the shared library (the DLL on Windows) as a host built apart uses them: the C++
// class over the C interface, two controllers on two simulators in this process. Exit 0 when all checks passed.
#include <orvane_sim/simulator.h>
#include <orvane/controller.hpp>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what) {
    passed += ok;
    failed += !ok;
    if (!ok) std::printf("check failed: %s\n", what);
}

std::unique_ptr<orvane::sim::Simulator> simulator_on(const std::string& address) {
    orvane::sim::SimulatorOptions options;
    options.bind_address = address;
    options.port = 0;
    auto simulator = std::make_unique<orvane::sim::Simulator>(options);
    return simulator->start() ? std::move(simulator) : nullptr;
}

orvane::Controller controller_for(const orvane::sim::Simulator& simulator) {
    orvane::ControllerOptions options;
    options.host = simulator.address();
    options.port = simulator.port();
    return orvane::Controller(options);
}

}  // namespace

int main() {
    using namespace std::chrono_literals;
    auto first = simulator_on("127.0.0.1");
    auto second = simulator_on("127.0.0.2");
    if (!first || !second) {
        std::printf("no simulator could listen on loopback\n");
        return 1;
    }
    {
        orvane::Controller a = controller_for(*first);
        orvane::Controller b = controller_for(*second);
        check(a.wait_ready(10s) == orvane::WaitStatus::done, "the first controller is ready");
        check(b.wait_ready(10s) == orvane::WaitStatus::done, "the second controller is ready");
        check(a.version().value_or("").size() >= 2, "a version text arrived");

        check(b.set_speed(1, 80.0f) && b.move_to(1, 12.5), "a move is queued on the second");
        check(b.wait_at_rest({1}, 10s) == orvane::WaitStatus::done, "the second comes to rest");
        check(second->position(1) == 12.5, "the second simulator's axis 1 is at 12.5");
        check(first->command_count("160:") == 0, "the first simulator received no move");

        std::string parameters;
        check(a.cmd(ORVANE_CMD_READ_PARAMETERS, 0, parameters) == 1 && !parameters.empty(),
              "a text code crosses the boundary");
        bool threw = false;
        try {
            std::string levels = "x,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1";
            a.cmd(ORVANE_CMD_WRITE_LEVELS, 0, levels);
        } catch (const std::invalid_argument& e) {
            threw = std::string(e.what()) == "invalid stoi argument";
        }
        check(threw, "a conversion error arrives as std::invalid_argument with its text");
        std::string short_text = "1,2";
        check(a.cmd(ORVANE_CMD_WRITE_PARAMETERS, 0, short_text) == 0, "a short parameter text is refused");

        check(a.close(), "the first closes");
        check(first->wait_for_disconnect(5000), "the first simulator sees the close");
        check(b.connected(), "the second stays connected");
    }
    check(second->wait_for_disconnect(5000), "destroying the second ends its link");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
