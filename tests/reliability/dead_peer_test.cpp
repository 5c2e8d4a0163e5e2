// Dead-peer detection: a controller that vanishes without closing the
// connection (cable pulled, power lost) must be noticed through the link's
// TCP keepalive and user time-out, and the library must reconnect once the
// controller is reachable again. Needs root, `unshare`, `ip` and `nft`: the
// probe runs in a private network namespace, so its firewall rule touches
// nothing else. Linux only.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "reliability_support.h"

namespace orvane::reliability {
namespace {

struct Case {
    const char* mode;    // dead_peer_probe's mode
    double fall_limit_ms;
    const char* what;
};

class DeadPeer : public ::testing::TestWithParam<Case> {};

TEST_P(DeadPeer, IsNoticedAndTheLinkComesBack) {
    const Case& c = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
    for (const char* tool : {"unshare", "ip", "nft"}) {
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << "'" << tool << "' not found (packages util-linux, iproute2, nftables)";
        }
    }
    const std::string command = "unshare -n -- '" + std::string(ORVANE_DEAD_PEER_PROBE) + "' " + c.mode + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) output += buffer.data();
    const int status = pclose(pipe);
    const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (exit_code == 77 || output.find("unshare: ") != std::string::npos) {
        GTEST_SKIP() << "network namespace not available: " << output;
    }
    ASSERT_EQ(exit_code, 0) << output;
    double fall_ms = -1, rise_ms = -1;
    const std::size_t at = output.find("fall_ms=");
    ASSERT_NE(at, std::string::npos) << output;
    std::sscanf(output.c_str() + at, "fall_ms=%lf rise_ms=%lf", &fall_ms, &rise_ms);
    EXPECT_LT(fall_ms, c.fall_limit_ms) << output;
    EXPECT_GE(rise_ms, 0.0) << output;
    figure(std::string("dead_peer_") + c.mode, "flag fell " + std::to_string(static_cast<long>(fall_ms)) + " ms after " +
                                                  c.what + " stopped; reconnected " +
                                                  std::to_string(static_cast<long>(rise_ms)) + " ms after it resumed");
}

// Lost one way with the host idle, the controller's own retransmissions still
// arrive and each postpones keepalive; the loss shows once their back-off
// leaves the link silent long enough (about 12 s measured): a looser bound.
INSTANTIATE_TEST_SUITE_P(Modes, DeadPeer,
                         ::testing::Values(Case{"both", 10000.0, "all traffic"},
                                           Case{"one-way-traffic", 10000.0, "packets to the controller (host sending)"},
                                           Case{"one-way-idle", 25000.0, "packets to the controller (host idle)"}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace orvane::reliability
