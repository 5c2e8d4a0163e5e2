// Unloading the real shared library while it runs: where an unload may join threads (POSIX) it stops them and the
// sockets first; where not (Windows: the loader lock) the library stays loaded until Orvane_close.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "orvane_build_config.h"
#include "platform/platform.h"
#include "shared_library.h"
#include "support/loopback_peer.h"
#include "support/process_counts.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;
constexpr const char* path = ORVANE_LIBRARY_PATH;

// The exports are C++ functions: their Itanium-ABI names (mingw-w64 alike).
constexpr const char* initial_symbol = "_Z14Orvane_initialv";
constexpr const char* close_symbol = "_Z12Orvane_closev";
constexpr const char* is_connect_symbol = "_Z17Orvane_is_connectv";
constexpr const char* cmd_symbol = "_Z10Orvane_cmdiiRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";

// Calls an int() export; -1 when it is missing.
int call(void* library, const char* symbol) {
    const auto function = reinterpret_cast<int (*)()>(testing::library_symbol(library, symbol));
    if (function == nullptr) ADD_FAILURE() << symbol << " not found";
    return function != nullptr ? function() : -1;
}

bool counts_back(int threads, int handles) { return testing::counts_back(threads, handles, 2s); }

TEST(Unload, UnloadWhileConnected) {
    const std::string address = std::string(ORVANE_CONTROLLER_NET_PREFIX) + "254";
    LoopbackPeer peer(address, static_cast<std::uint16_t>(ORVANE_CONTROLLER_PORT));
    if (!peer.ok()) GTEST_SKIP() << "cannot listen on the default controller address " << address;
    ASSERT_FALSE(testing::library_loaded(path));
    testing::start_lazy_runtime_threads();
    const int threads_before = platform::thread_count();
    const int handles_before = platform::open_handle_count();

    void* library = testing::load_library(path);
    ASSERT_NE(library, nullptr) << testing::library_error();
    ASSERT_EQ(call(library, initial_symbol), 1);
    ASSERT_EQ(call(library, is_connect_symbol), 1);
    ASSERT_TRUE(peer.wait_for_text("190:190\n", 2s));
    EXPECT_TRUE(testing::library_loaded(path));
    ASSERT_TRUE(testing::unload_library(library));
    if (platform::unload_may_join_threads()) {
        EXPECT_FALSE(testing::library_loaded(path));
        EXPECT_EQ(platform::thread_count(), threads_before);  // joined before the code went away
        EXPECT_TRUE(peer.wait_for_closed(0, 2s));
        const std::string sent = peer.text();
        EXPECT_FALSE(peer.wait_for([&] { return peer.text() != sent || peer.accepted() > 1; }, 200ms));
    } else {
        // Still loaded and polling; a close through a new reference lets it go.
        EXPECT_TRUE(testing::library_loaded(path));
        peer.clear();
        EXPECT_TRUE(peer.wait_for_text("190:190\n", 2s));
        library = testing::load_library(path);
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(call(library, close_symbol), 1);
        ASSERT_TRUE(testing::unload_library(library));
        EXPECT_TRUE(wait_until([] { return !testing::library_loaded(path); }, 5s));
        EXPECT_TRUE(peer.wait_for_closed(0, 2s));
        if (testing::thread_count_checkable()) {
            EXPECT_TRUE(wait_until([&] { return platform::thread_count() <= threads_before; }, 5s));
        }
    }

    library = testing::load_library(path);  // and it starts afresh
    ASSERT_NE(library, nullptr) << testing::library_error();
    EXPECT_EQ(call(library, initial_symbol), 1);
    EXPECT_TRUE(peer.wait_for_accepted(2, 2s));
    EXPECT_EQ(call(library, close_symbol), 1);
    ASSERT_TRUE(testing::unload_library(library));
    ASSERT_TRUE(peer.wait_for_open_connections(0, 2s));
    EXPECT_TRUE(!platform::unload_may_join_threads() || counts_back(threads_before, handles_before));
}

// Connects in progress (SYN_SENT) to address:port from /proc/net/tcp (little-endian address; 0 off Linux).
int pending_connects(std::uint32_t a, int port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "%02X%02X%02X%02X:%04X", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 24) & 0xFF, port);
    std::ifstream tcp("/proc/net/tcp");
    int pending = 0;
    for (std::string line; std::getline(tcp, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        pending += remote == wanted && state == "02" ? 1 : 0;
    }
    return pending;
}

// The unload while the reconnect thread retries against a loopback address of its own (code 6001), where
// possible inside a connect that hangs. ORVANE_REL_UNLOADS rounds (3).
TEST(Unload, UnloadWhileTheReconnectThreadRetries) {
    if (!platform::unload_may_join_threads()) GTEST_SKIP() << "the library outlives an unload here (see above)";
    const char* rounds_text = std::getenv("ORVANE_REL_UNLOADS");
    const int rounds = rounds_text != nullptr && std::atoi(rounds_text) > 0 ? std::atoi(rounds_text) : 3;
    ASSERT_FALSE(testing::library_loaded(path));
    testing::start_lazy_runtime_threads();
    const int threads_before = platform::thread_count();
    const int handles_before = platform::open_handle_count();
    int hanging = 0;
    for (int r = 0; r < rounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r));
        const std::string address = "127.86." + std::to_string(r / 200) + "." + std::to_string(1 + r % 200);
        std::uint32_t address_value = 0;
        ASSERT_TRUE(platform::parse_ipv4(address, address_value));
        void* library = testing::load_library(path);
        ASSERT_NE(library, nullptr) << testing::library_error();
        auto cmd = reinterpret_cast<int (*)(int, int, std::string&)>(testing::library_symbol(library, cmd_symbol));
        ASSERT_NE(cmd, nullptr);
        // Nothing listens yet: the start fails at once and the reconnect thread takes over.
        std::string text = address;
        const auto switched = std::chrono::steady_clock::now();
        EXPECT_EQ(cmd(6001, 0, text), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - switched, testing::scaled(1500ms));
        EXPECT_EQ(call(library, is_connect_symbol), 0);

        {
            testing::StalledListener stalled(address, ORVANE_CONTROLLER_PORT);  // binds only as root
            // The library's own unanswered SYN beside the listener's filler.
            const auto caught = [&] { return pending_connects(address_value, ORVANE_CONTROLLER_PORT) >= 2; };
            hanging += stalled.ok() && wait_until(caught, 8s, 5ms) ? 1 : 0;
            const auto unloading = std::chrono::steady_clock::now();
            EXPECT_TRUE(testing::unload_library(library));
            EXPECT_LT(std::chrono::steady_clock::now() - unloading, testing::scaled(1500ms));
        }
        EXPECT_FALSE(testing::library_loaded(path));
        EXPECT_TRUE(counts_back(threads_before, handles_before))
            << platform::thread_count() << " threads (" << threads_before << " before), "
            << platform::open_handle_count() << " handles (" << handles_before << " before)";
    }
    std::printf("FIGURE unload: %d rounds, %d inside a hanging connect\n", rounds, hanging);
}

}  // namespace
}  // namespace orvane
