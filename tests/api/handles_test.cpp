// Controller handles: several controllers in one process, their lifetime from any thread, and the C++ class.
#include <orvane/controller.hpp>
#include <orvane/orvane_c.h>
#include <orvane_sim/simulator.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/c_controller.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"

namespace {

using namespace std::chrono_literals;
using orvane::sim::Simulator;
using orvane::sim::SimulatorOptions;

std::unique_ptr<Simulator> start_simulator(const std::string& address, int port = 0) {
    SimulatorOptions options;
    options.bind_address = address;
    options.port = port;
    auto simulator = std::make_unique<Simulator>(options);
    std::string error;
    if (!simulator->start(&error)) ADD_FAILURE() << address << ": " << error;
    return simulator;
}

// host must outlive the options: they keep the pointer.
orvane_options options_for(const char* host, int port) {
    orvane_options options;
    orvane_options_init(&options);
    options.host = host;
    options.port = port;
    options.reconnect_pause_ms = 50;
    return options;
}

orvane::ControllerOptions class_options(int port, const std::string& host = "127.0.0.1") {
    orvane::ControllerOptions options;
    options.host = host;
    options.port = port;
    options.reconnect_pause = 50ms;
    return options;
}
orvane::ControllerOptions class_options(const Simulator& simulator) {
    return class_options(simulator.port(), simulator.address());
}

TEST(Handles, EachControllerSeesAndMovesOnlyItsOwn) {
    constexpr int count = 3;
    std::vector<std::unique_ptr<Simulator>> simulators;
    std::vector<orvane::Controller> controllers;
    for (int i = 0; i < count; ++i) {
        simulators.push_back(start_simulator("127.0.0." + std::to_string(i + 1)));
        simulators[static_cast<std::size_t>(i)]->set_position(1, 10.0 * (i + 1));
        controllers.emplace_back(class_options(*simulators.back()));
    }
    for (int i = 0; i < count; ++i) {
        auto& controller = controllers[static_cast<std::size_t>(i)];
        ASSERT_EQ(controller.wait_ready(5s), orvane::WaitStatus::done);
        EXPECT_TRUE(orvane::testing::wait_until(
            [&] { return controller.positions().value_or(std::array<double, 6>{})[1] == 10.0 * (i + 1); }, 1s))
            << "controller " << i;
    }

    // A move on the second reaches the second simulator only.
    ASSERT_TRUE(controllers[1].set_speed(2, 50.0f));
    ASSERT_TRUE(controllers[1].move_to(2, 5.0));
    ASSERT_TRUE(simulators[1]->wait_for_command("160:2,", 2000));
    EXPECT_EQ(controllers[1].wait_at_rest({2}, 5s), orvane::WaitStatus::done);
    EXPECT_DOUBLE_EQ(simulators[1]->position(2), 5.0);
    EXPECT_EQ(simulators[0]->command_count("160:") + simulators[2]->command_count("160:"), 0u);

    // Closing one leaves the others running.
    ASSERT_TRUE(controllers[0].close());
    ASSERT_TRUE(simulators[0]->wait_for_disconnect(2000));
    EXPECT_FALSE(controllers[0].connected());
    EXPECT_TRUE(controllers[1].connected() && controllers[2].connected());
    ASSERT_TRUE(controllers[2].set_output(5, true));
    EXPECT_TRUE(simulators[2]->wait_for_command("!110:", 2000));
    EXPECT_EQ(simulators[1]->command_count("!110:"), 0u);
}

TEST(Handles, SwitchingMovesOnlyItsOwnHandle) {
    auto first = start_simulator("127.0.0.1");
    auto second = start_simulator("127.0.0.2");
    auto elsewhere = start_simulator("127.0.0.3", second->port());
    orvane::Controller a(class_options(*first));
    orvane::Controller b(class_options(*second));
    ASSERT_EQ(a.wait_connected(5s), orvane::WaitStatus::done);
    ASSERT_EQ(b.wait_connected(5s), orvane::WaitStatus::done);

    std::string host = "127.0.0.3";
    EXPECT_EQ(b.cmd(ORVANE_CMD_SWITCH_HOST, 0, host), 0);
    ASSERT_TRUE(elsewhere->wait_for_client(5000));
    EXPECT_EQ(b.address(), "127.0.0.3");
    EXPECT_EQ(b.wait_connected(5s), orvane::WaitStatus::done);
    EXPECT_TRUE(first->client_connected());
    EXPECT_EQ(first->connection_count(), 1);
    EXPECT_EQ(a.address(), first->address());
}

TEST(Handles, BadOptionsAreRefused) {
    orvane_controller* handle = nullptr;
    EXPECT_EQ(orvane_create(nullptr, &handle), ORVANE_E_BAD_ARGUMENT);
    const std::pair<const char*, void (*)(orvane_options&)> cases[] = {
        {"size too small", [](orvane_options& o) { o.size = sizeof(std::size_t); }},
        {"port 0", [](orvane_options& o) { o.port = 0; }},
        {"port 65536", [](orvane_options& o) { o.port = 65536; }},
        {"connect time-out 0", [](orvane_options& o) { o.connect_timeout_ms = 0; }},
        {"negative pause", [](orvane_options& o) { o.reconnect_pause_ms = -1; }},
        {"negative wait", [](orvane_options& o) { o.wait_connected_ms = -1; }},
    };
    for (const auto& [what, change] : cases) {
        orvane_options options = options_for("127.0.0.1", 9);
        change(options);
        EXPECT_EQ(orvane_create(&options, &handle), ORVANE_E_BAD_ARGUMENT) << what;
    }
    orvane_options options = options_for("127.0.0.1", 9);
    EXPECT_EQ(orvane_create(&options, nullptr), ORVANE_E_BAD_ARGUMENT);
    EXPECT_EQ(orvane_ctl_get_type(nullptr), ORVANE_E_BAD_ARGUMENT);
    EXPECT_EQ(orvane_ctl_wait_ready(nullptr, 0), ORVANE_E_BAD_ARGUMENT);
    EXPECT_EQ(orvane_destroy(nullptr), ORVANE_OK);
    EXPECT_STRNE(orvane_strerror(ORVANE_E_IN_CALLBACK), orvane_strerror(12345));
}

TEST(Handles, HostNamesAreLookedUpAndWaitsForHomeAndRest) {
    auto simulator = start_simulator("127.0.0.1");
    orvane::Controller controller(class_options(simulator->port(), "localhost"));
    ASSERT_EQ(controller.wait_ready(5s), orvane::WaitStatus::done);
    ASSERT_TRUE(controller.home(0, 200.0f));
    ASSERT_TRUE(controller.home(1, 200.0f));
    EXPECT_EQ(controller.wait_homed({0, 1}, 10s), orvane::WaitStatus::done);
    EXPECT_TRUE(simulator->homed(0) && simulator->homed(1));
    ASSERT_TRUE(controller.set_speed(0, 100.0f));
    ASSERT_TRUE(controller.move_to(0, 20.0));
    // The state before the move does not count: the wait sees the move end.
    EXPECT_EQ(controller.wait_at_rest({0}, 10s), orvane::WaitStatus::done);
    EXPECT_DOUBLE_EQ(simulator->position(0), 20.0);
    EXPECT_EQ(controller.wait_at_rest({7}, 0ms), orvane::WaitStatus::refused);
}

// The ways a handle can end while its link is busy (and the guards of a handle that is not connected).
TEST(Handles, DestroyWhileConnectingReconnectingOrWaiting) {
    orvane::testing::StalledListener stalled;  // connects hang until the time-out
    ASSERT_TRUE(stalled.ok());
    orvane::testing::LoopbackPeer refusing;
    ASSERT_TRUE(refusing.ok());
    refusing.stop_listening();

    for (const int port : {static_cast<int>(stalled.port()), static_cast<int>(refusing.port())}) {
        orvane_options options = options_for("127.0.0.1", port);
        options.reconnect_pause_ms = 3000;
        orvane_controller* handle = nullptr;
        ASSERT_EQ(orvane_create(&options, &handle), ORVANE_OK);
        int state = 0;  // not connected: refused like the process-wide calls
        EXPECT_EQ(orvane_ctl_get_move_state(handle, 0, &state) + orvane_ctl_set_speed(handle, 0, 10.0f), 0);
        EXPECT_EQ(orvane_ctl_xyz_move_to(handle, 1, 2, 3), 1) << "queued without a connection";
        std::atomic<int> wait_result{1};
        std::thread waiter([&] { wait_result = orvane_ctl_wait_ready(handle, 60000); });
        // The wait must be under way before the handle goes: a call that only begins afterwards uses a freed handle.
        while (handle->waits.load() == 0) std::this_thread::yield();
        EXPECT_EQ(orvane_destroy(handle), ORVANE_OK);
        waiter.join();
        EXPECT_EQ(wait_result.load(), ORVANE_E_CLOSED) << "port " << port;
    }
}

TEST(Handles, DestroyFromSeveralThreadsAtOnce) {
    constexpr int count = 8;
    std::vector<std::unique_ptr<Simulator>> simulators;
    std::vector<orvane_controller*> handles(count, nullptr);
    for (auto& handle : handles) {
        simulators.push_back(start_simulator("127.0.0.1"));
        orvane_options options = options_for(simulators.back()->address().c_str(), simulators.back()->port());
        ASSERT_EQ(orvane_create(&options, &handle), ORVANE_OK);
    }
    for (auto* handle : handles) ASSERT_EQ(orvane_ctl_wait_connected(handle, 5000), 1);
    std::vector<std::thread> threads;
    std::atomic<int> destroyed{0};
    for (auto* handle : handles) {
        threads.emplace_back([handle, &destroyed] { destroyed += orvane_destroy(handle) == ORVANE_OK ? 1 : 0; });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(destroyed.load(), count);
    for (auto& simulator : simulators) EXPECT_TRUE(simulator->wait_for_disconnect(2000));
}

struct CallbackProbe {
    std::atomic<orvane_controller*> handle{nullptr};
    std::atomic<int> destroy_result{1};
    std::atomic<int> close_result{1};
    std::atomic<int> switch_result{1};
    std::atomic<int> calls{0};
};

void ORVANE_CALL try_to_end_own_handle(void* user_data, int connected) {
    auto* probe = static_cast<CallbackProbe*>(user_data);
    if (!connected || probe->calls.fetch_add(1) != 0) return;
    // The handle is set before any callback can come: create returned long ago.
    while (probe->handle == nullptr) std::this_thread::yield();
    probe->destroy_result = orvane_destroy(probe->handle);
    probe->close_result = orvane_ctl_close(probe->handle);
    probe->switch_result = orvane_ctl_cmd(probe->handle, ORVANE_CMD_SWITCH_HOST, 0, "2", nullptr, 0, nullptr);
}

TEST(Handles, AHandlerCannotEndItsOwnHandleAndGuardsAreThoseOfTheExports) {
    auto simulator = start_simulator("127.0.0.1");
    CallbackProbe probe;
    orvane_options options = options_for(simulator->address().c_str(), simulator->port());
    options.connection_handler = &try_to_end_own_handle;
    options.connection_user_data = &probe;
    orvane_controller* handle = nullptr;
    ASSERT_EQ(orvane_create(&options, &handle), ORVANE_OK);
    probe.handle = handle;
    ASSERT_EQ(orvane_ctl_wait_connected(handle, 5000), 1);
    while (probe.switch_result.load() == 1) std::this_thread::yield();
    for (const auto* result : {&probe.destroy_result, &probe.close_result, &probe.switch_result}) {
        EXPECT_EQ(result->load(), ORVANE_E_IN_CALLBACK);
    }
    EXPECT_EQ(orvane_ctl_is_connect(handle), 1);

    // The guards are those of the exports.
    ASSERT_EQ(orvane_ctl_wait_ready(handle, 5000), 1);
    int state = 0;
    EXPECT_EQ(orvane_ctl_get_move_state(handle, 6, &state) + orvane_ctl_get_move_state(handle, 5, nullptr) +
                  orvane_ctl_get_input_bit(handle, 25, &state),
              0);
    for (const unsigned m : {0u, 1u << 6}) EXPECT_EQ(orvane_ctl_wait_at_rest(handle, m, 0), ORVANE_E_BAD_ARGUMENT);
    char text[8];
    size_t needed = 0;
    EXPECT_EQ(orvane_ctl_cmd(handle, ORVANE_CMD_READ_PARAMETERS, 0, "", text, sizeof text, &needed),
              ORVANE_E_BUFFER_TOO_SMALL);
    EXPECT_GT(needed, sizeof text);
    EXPECT_EQ(orvane_destroy(handle), ORVANE_OK);
}

TEST(Handles, AtMostTwoThreadsPerController) {
    if (orvane::platform::thread_count() < 0) GTEST_SKIP() << "this platform does not tell its thread count";
    // Peers started before counting, so the count changes by the controllers' threads only.
    constexpr int count = 6;
    std::vector<std::unique_ptr<orvane::testing::LoopbackPeer>> peers;
    for (int i = 0; i < count; ++i) peers.push_back(std::make_unique<orvane::testing::LoopbackPeer>());
    int with_warm_up = 0;
    {
        // A platform layer starting helper threads on first use (wine does) has them before the count.
        orvane::Controller warm_up(class_options(peers.front()->port()));
        ASSERT_EQ(warm_up.wait_connected(5s), orvane::WaitStatus::done);
        with_warm_up = orvane::platform::thread_count();
    }
    // A joined thread leaves the system's list a moment after the join.
    const auto count_falls_to = [](int target) {
        return orvane::testing::wait_until([&] { return orvane::platform::thread_count() <= target; }, 5s);
    };
    ASSERT_TRUE(count_falls_to(with_warm_up - 2));
    const int before = orvane::platform::thread_count();
    std::vector<orvane::Controller> controllers;
    for (auto& peer : peers) controllers.emplace_back(class_options(peer->port()));
    for (auto& controller : controllers) ASSERT_EQ(controller.wait_connected(5s), orvane::WaitStatus::done);
    EXPECT_LE(orvane::platform::thread_count() - before, 2 * count);
    controllers.clear();
    EXPECT_TRUE(count_falls_to(before)) << orvane::platform::thread_count() << " threads, " << before << " before";
}

TEST(Handles, ConnectionChangesAndMessagesReachTheHandlers) {
    orvane::testing::LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    std::atomic<int> ups{0}, downs{0}, warnings{0};
    orvane::ControllerOptions options = class_options(peer.port());
    options.on_connection_change = [&](bool up) { (up ? ups : downs) += 1; };
    options.log = [&](orvane::LogLevel level, std::string_view) {
        if (level == orvane::LogLevel::warning) ++warnings;
    };
    options.wait_connected = 5s;
    orvane::Controller controller(options);
    EXPECT_TRUE(controller.connected());
    ASSERT_TRUE(peer.wait_for_accepted(1, 5s));
    peer.stop_listening();
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(peer.wait_for([&] { return downs.load() == 1 && warnings.load() >= 1; }, 5s))
        << "downs " << downs.load() << ", warnings " << warnings.load() << ", ups " << ups.load();
    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(peer.wait_for([&] { return ups.load() == 2; }, 5s));
}

}  // namespace
