// Unloading the real shared library while its reconnect thread is retrying:
// dlclose must stop the library's threads and close its sockets, come back
// within 1.5 s, and really unmap the library. (Linux: the library is
// loaded with dlopen; the build passes its path.)
//
// The library's controller port is fixed at build time, so it is pointed
// at a loopback address of its own through code 6001. Where the test may
// listen on that port (root), a listener with a full accept queue makes the
// retry hang inside its connect when the unload comes; otherwise nothing
// listens and the retries are refused at once.
//
// Size: ORVANE_REL_UNLOADS load/unload rounds (CI 3, full run 20).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orvane_build_config.h"
#include "platform/platform.h"
#include "platform/serving.h"
#include "reliability_support.h"
#include "support/time_scale.h"

namespace orvane::reliability {
namespace {

using CmdFunction = int (*)(int, int, std::string&);
using IntFunction = int (*)();

// The C++ exports' names as the Itanium ABI decorates them.
constexpr const char* cmd_symbol = "_Z10Orvane_cmdiiRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
constexpr const char* is_connect_symbol = "_Z17Orvane_is_connectv";

bool library_mapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const std::string name = std::string(ORVANE_SHARED_LIBRARY).substr(std::string(ORVANE_SHARED_LIBRARY).rfind('/'));
    while (std::getline(maps, line)) {
        if (line.find(name) != std::string::npos) return true;
    }
    return false;
}

// Connects in progress (SYN_SENT) to address:port, from /proc/net/tcp.
int pending_connects(std::uint32_t address_host_order, int port) {
    char wanted[32];
    // /proc/net/tcp prints the address as the raw 32-bit value in host order
    // of a little-endian machine, i.e. the octets reversed.
    std::snprintf(wanted, sizeof wanted, "%02X%02X%02X%02X:%04X", address_host_order & 0xFF,
                  (address_host_order >> 8) & 0xFF, (address_host_order >> 16) & 0xFF, (address_host_order >> 24) & 0xFF,
                  port);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    int pending = 0;
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote == wanted && state == "02") ++pending;
    }
    return pending;
}

struct Round {
    double unload_ms = 0;
    bool hanging_connect = false;
};

// Picks a loopback address whose controller port nobody else uses.
std::string private_address(int index) { return "127.86." + std::to_string(index / 200) + "." + std::to_string(1 + index % 200); }

Round one_round(int index) {
    Round round;
    const std::string address = private_address(index);
    std::uint32_t address_value = 0;
    EXPECT_TRUE(platform::parse_ipv4(address, address_value));

    void* library = dlopen(ORVANE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return round;
    }
    auto cmd = reinterpret_cast<CmdFunction>(dlsym(library, cmd_symbol));
    auto is_connect = reinterpret_cast<IntFunction>(dlsym(library, is_connect_symbol));
    if (cmd == nullptr || is_connect == nullptr) {
        ADD_FAILURE() << "exports not found: " << dlerror();
        dlclose(library);
        return round;
    }
    // Start on our private address; nothing listens yet, so it fails fast
    // and the reconnect thread takes over.
    std::string text = address;
    double switch_ms = timed_ms([&] { EXPECT_EQ(cmd(6001, 0, text), 0); });
    EXPECT_LT(switch_ms, orvane::testing::scaled_ms(1500.0));
    EXPECT_EQ(is_connect(), 0);

    // Now make the next attempt hang, where we may take the port.
    std::uint16_t bound = 0;
    platform::Socket listener = platform::listen_tcp(address, ORVANE_CONTROLLER_PORT, 0, &bound);
    std::vector<platform::Socket> fillers;
    if (listener.valid()) {
        for (int i = 0; i < 2; ++i) {
            platform::Socket s = platform::open_tcp_socket();
            platform::set_non_blocking(s.get(), true);
            platform::start_connect(s.get(), address, ORVANE_CONTROLLER_PORT);
            platform::wait_writable(s.get(), 200);
            fillers.push_back(std::move(s));
        }
        // The library's own attempt: a SYN that gets no answer. Fillers
        // show up there too, so wait for one more than they account for.
        round.hanging_connect =
            wait_until([&] { return pending_connects(address_value, ORVANE_CONTROLLER_PORT) >= 2; }, 8000, 5);
        if (!round.hanging_connect) {
            std::printf("round %d: the retry was not caught inside a connect to %s; unloading anyway\n", index,
                        address.c_str());
        }
    }
    round.unload_ms = timed_ms([&] { EXPECT_EQ(dlclose(library), 0); });
    return round;
}

TEST(Unload, DlcloseWhileTheReconnectThreadRetries) {
    const long rounds = env_long("ORVANE_REL_UNLOADS", 3);
    ASSERT_FALSE(library_mapped());
    Watchdog watchdog("the unload rounds", static_cast<int>(rounds) * 10000 + 20000);
    const int threads_before = thread_count();
    const int handles_before = handle_count();
    double worst = 0;
    int hanging = 0;
    for (long r = 0; r < rounds; ++r) {
        const Round round = one_round(static_cast<int>(r));
        worst = std::max(worst, round.unload_ms);
        hanging += round.hanging_connect ? 1 : 0;
        EXPECT_LT(round.unload_ms, orvane::testing::scaled_ms(1500.0)) << "round " << r;
        EXPECT_FALSE(library_mapped()) << "round " << r << ": the library stayed mapped after dlclose";
        EXPECT_TRUE(counts_return_to(threads_before, handles_before, 2000))
            << "round " << r << ": threads " << thread_count() << " (before " << threads_before << "), handles "
            << handle_count() << " (before " << handles_before << ")";
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "%ld dlopen/dlclose rounds while retrying (%d inside a hanging connect), slowest dlclose %.0f ms",
                  rounds, hanging, worst);
    figure("unload", text);
}

}  // namespace
}  // namespace orvane::reliability
