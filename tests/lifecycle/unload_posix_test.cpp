// Unloading the shared library while it is connected: dlclose() must stop
// the link and the poll loop before their code goes away, and the library
// must load and run again afterwards.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "orvane_build_config.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"
#include "support/process_counts.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;
using Export = int (*)();

// The exports are C++ functions; these are their Itanium-ABI names.
constexpr const char* initial_symbol = "_Z14Orvane_initialv";
constexpr const char* close_symbol = "_Z12Orvane_closev";
constexpr const char* is_connect_symbol = "_Z17Orvane_is_connectv";

bool library_mapped() {
    std::ifstream maps("/proc/self/maps");
    const std::string name = std::string(ORVANE_LIBRARY_PATH).substr(std::string(ORVANE_LIBRARY_PATH).rfind('/') + 1);
    for (std::string line; std::getline(maps, line);) {
        if (line.find(name) != std::string::npos) return true;
    }
    return false;
}

Export find(void* library, const char* symbol) { return reinterpret_cast<Export>(dlsym(library, symbol)); }

TEST(Unload, DlcloseWhileConnectedStopsTheLibraryThreads) {
    const std::string address = std::string(ORVANE_CONTROLLER_NET_PREFIX) + "254";
    LoopbackPeer peer(address, static_cast<std::uint16_t>(ORVANE_CONTROLLER_PORT));
    if (!peer.ok()) {
        GTEST_SKIP() << "cannot listen on the default controller address " << address << ":" << ORVANE_CONTROLLER_PORT
                     << " (needs the right to bind a low port)";
    }
    ASSERT_FALSE(library_mapped());
    const int threads_before = platform::thread_count();
    const int handles_before = platform::open_handle_count();

    void* library = dlopen(ORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    Export initial = find(library, initial_symbol);
    Export is_connect = find(library, is_connect_symbol);
    ASSERT_NE(initial, nullptr);
    ASSERT_NE(is_connect, nullptr);
    ASSERT_EQ(initial(), 1);
    ASSERT_EQ(is_connect(), 1);
    ASSERT_TRUE(peer.wait_for_text("190:190\n", 2s));
    EXPECT_GT(platform::thread_count(), threads_before);

    ASSERT_EQ(dlclose(library), 0);
    EXPECT_FALSE(library_mapped());
    EXPECT_EQ(platform::thread_count(), threads_before);  // joined before the code went away
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));
    const std::string sent = peer.text();
    EXPECT_FALSE(peer.wait_for(
        [&] { return peer.text() != sent || peer.accepted() > 1; }, 200ms));

    // The process is fine and the library starts afresh.
    library = dlopen(ORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    initial = find(library, initial_symbol);
    Export close = find(library, close_symbol);
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(initial(), 1);
    EXPECT_TRUE(peer.wait_for_accepted(2, 2s));
    EXPECT_EQ(close(), 1);
    ASSERT_EQ(dlclose(library), 0);
    EXPECT_EQ(platform::thread_count(), threads_before);
    ASSERT_TRUE(peer.wait_for_open_connections(0, 2s));
    if (testing::handle_count_checkable()) {
        EXPECT_EQ(platform::open_handle_count(), handles_before);
    }
}

}  // namespace
}  // namespace orvane
