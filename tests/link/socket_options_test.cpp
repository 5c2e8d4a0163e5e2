// No Nagle delay for command lines, keepalive to notice a vanished controller; read back where possible.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "link/tcp_client.h"
#include "link_platform.h"
#include "platform/platform.h"
#include "platform/serving.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::SocketOptions;

struct Keepalive {
    int idle_s;
    int interval_s;
    int probes;
};

// The link's own timings, and others with every value distinct.
constexpr Keepalive keepalive_cases[] = {{2, 1, 3}, {7, 4, 9}, {60, 10, 5}};

void expect_keepalive(const SocketOptions& options, const Keepalive& k) {
    EXPECT_EQ(options.no_delay, 1);
    EXPECT_EQ(options.keepalive, 1);
    EXPECT_EQ(options.keepalive_idle_s, k.idle_s);
    EXPECT_EQ(options.keepalive_interval_s, k.interval_s);
    EXPECT_EQ(options.keepalive_probes, k.probes);
    // Unacknowledged data ends the link after as long as silence would.
    EXPECT_EQ(options.user_timeout_ms, (k.idle_s + k.interval_s * k.probes) * 1000L);
}

// A connected loopback pair: the client end, and the peer's accepted end.
struct LoopbackPair {
    platform::NetworkSession network;
    platform::Socket listener;
    platform::Socket client;
    platform::Socket server;

    bool open() {
        std::uint16_t port = 0;
        listener = platform::listen_tcp("127.0.0.1", 0, 4, &port);
        client = platform::open_tcp_socket();
        if (!listener.valid() || !client.valid()) return false;
        const auto started = platform::start_connect(client.get(), "127.0.0.1", port);
        if (started == platform::ConnectStart::failed) return false;
        server = platform::accept_connection(listener.get());
        return server.valid();
    }
};

// Set on a fresh pair (where they read back off before), and on the link's own connection.
TEST(SocketOptions, NoDelayAndKeepaliveReadBackAsTheyWereSet) {
    std::string why_not;
    if (!testing::socket_options_accessible(why_not)) GTEST_SKIP() << why_not;
    for (const Keepalive& k : keepalive_cases) {
        SCOPED_TRACE(std::to_string(k.idle_s) + " s idle, " + std::to_string(k.interval_s) + " s interval, " +
                     std::to_string(k.probes) + " probes");
        LoopbackPair pair;
        ASSERT_TRUE(pair.open());
        SocketOptions options;
        ASSERT_TRUE(testing::read_socket_options(pair.client.get(), options));
        EXPECT_EQ(options.no_delay + options.keepalive, 0);
        platform::set_no_delay(pair.client.get());
        platform::set_keepalive(pair.client.get(), k.idle_s, k.interval_s, k.probes);
        ASSERT_TRUE(testing::read_socket_options(pair.client.get(), options));
        expect_keepalive(options, k);

        testing::LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        LinkTimings timings = testing::fast_link_timings();
        timings.keepalive_idle_s = k.idle_s;
        timings.keepalive_interval_s = k.interval_s;
        timings.keepalive_probes = k.probes;
        TCPClient client(timings);
        client.set_progress_callback([](const std::string&) {});
        ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
        const platform::NativeSocket link_socket = testing::find_socket_connected_to(peer.port());
        ASSERT_NE(link_socket, platform::invalid_socket) << "no socket of this process is connected to the peer";
        options = SocketOptions{};
        ASSERT_TRUE(testing::read_socket_options(link_socket, options));
        expect_keepalive(options, k);
        // The search above read the peer's end too: closing it under the peer's lock orders it after (TSan checks).
        EXPECT_TRUE(peer.close_connection(0));
        client.disconnect();
    }
}

}  // namespace
}  // namespace orvane
