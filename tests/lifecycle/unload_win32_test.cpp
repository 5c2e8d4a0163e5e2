// Unloading the DLL while it is connected. Windows cannot stop the library's
// threads inside the unload (the loader lock), so the library keeps itself
// loaded while they run: FreeLibrary by the host must leave the process
// healthy and the link working, and Orvane_close then lets the DLL go.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
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

// The exports are C++ functions; these are their names as mingw-w64 decorates them.
constexpr const char* initial_symbol = "_Z14Orvane_initialv";
constexpr const char* close_symbol = "_Z12Orvane_closev";
constexpr const char* is_connect_symbol = "_Z17Orvane_is_connectv";

std::string module_name() {
    const std::string path = ORVANE_LIBRARY_PATH;
    return path.substr(path.find_last_of("/\\") + 1);
}

bool module_loaded() { return GetModuleHandleA(module_name().c_str()) != nullptr; }

Export find(HMODULE library, const char* symbol) {
    return reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(library, symbol)));
}

TEST(Unload, FreeLibraryWhileConnectedKeepsTheProcessHealthy) {
    const std::string address = std::string(ORVANE_CONTROLLER_NET_PREFIX) + "254";
    LoopbackPeer peer(address, static_cast<std::uint16_t>(ORVANE_CONTROLLER_PORT));
    if (!peer.ok()) {
        GTEST_SKIP() << "cannot listen on the default controller address " << address << ":" << ORVANE_CONTROLLER_PORT;
    }
    ASSERT_FALSE(module_loaded());
    const int threads_before = platform::thread_count();

    HMODULE library = LoadLibraryA(ORVANE_LIBRARY_PATH);
    ASSERT_NE(library, nullptr) << GetLastError();
    Export initial = find(library, initial_symbol);
    Export is_connect = find(library, is_connect_symbol);
    ASSERT_NE(initial, nullptr);
    ASSERT_NE(is_connect, nullptr);
    ASSERT_EQ(initial(), 1);
    ASSERT_TRUE(peer.wait_for_text("190:190\n", 2s));

    ASSERT_TRUE(FreeLibrary(library));
    // Still loaded and still working: the poll loop keeps polling.
    EXPECT_TRUE(module_loaded());
    peer.clear();
    EXPECT_TRUE(peer.wait_for_text("190:190\n", 2s));
    EXPECT_TRUE(peer.is_open(0));

    // Closing through a new reference lets the library unload at last.
    library = LoadLibraryA(ORVANE_LIBRARY_PATH);
    ASSERT_NE(library, nullptr);
    Export close = find(library, close_symbol);
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close(), 1);
    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_TRUE(wait_until([] { return !module_loaded(); }, 5s));
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));
    if (testing::thread_count_checkable()) {
        EXPECT_TRUE(wait_until([&] { return platform::thread_count() <= threads_before; }, 5s))
            << platform::thread_count() << " threads, " << threads_before << " before";
    }

    // And it loads and runs again.
    library = LoadLibraryA(ORVANE_LIBRARY_PATH);
    ASSERT_NE(library, nullptr);
    initial = find(library, initial_symbol);
    close = find(library, close_symbol);
    EXPECT_EQ(initial(), 1);
    EXPECT_TRUE(peer.wait_for_accepted(2, 2s));
    EXPECT_EQ(close(), 1);
    ASSERT_TRUE(FreeLibrary(library));
}

}  // namespace
}  // namespace orvane
