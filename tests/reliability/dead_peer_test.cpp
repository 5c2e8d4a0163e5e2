// A controller that vanishes without closing (cable pulled) is noticed through TCP keepalive and user time-out,
// and the link comes back. Each case forks a child into a private network namespace (root, `ip`, `nft`).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "reliability_support.h"

namespace orvane::reliability {
namespace {

struct Case {
    const char* mode;  // both: every packet from and to the controller port dropped; one-way: only those to it
    double fall_limit_ms;
    const char* what;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.mode; }  // a stable test name

// The child: connects, cuts the link with a firewall rule, writes "fall_ms rise_ms" to out. Exit code 0, 1 with a
// message when a step fails, 77 without namespace or firewall.
int probe(const Case& c, int out) {
    const auto fail = [out](const char* message) {
        dprintf(out, "%s\n", message);
        return 1;
    };
    if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) return 77;
    auto simulator = start_simulator();
    if (!simulator) return fail("simulator did not start");
    const std::string port = std::to_string(simulator->port());
    auto rt = quiet_runtime(simulator->port(), false);  // keepalive and reconnection as shipped
    const auto loaded = [&] { return rt->mirror().version_text.size() >= 2; };
    if (rt->initial() != 1 || !wait_until(loaded, 5000)) return fail("no first connection");

    std::string rule = "nft add table inet deadpeer && nft add chain inet deadpeer input '{ type filter hook input "
                       "priority 0; }' && nft add rule inet deadpeer input tcp dport " + port + " drop";
    if (std::string(c.mode) == "both") rule += " && nft add rule inet deadpeer input tcp sport " + port + " drop";
    if (std::system(rule.c_str()) != 0) return 77;
    const auto cut = Clock::now();
    auto traffic = std::string(c.mode) == "one_way_traffic" ? std::make_unique<HostTraffic>(*rt, 1) : nullptr;
    if (!wait_until([&] { return rt->is_connect() == 0; }, 30000, 5)) return fail("the flag did not fall within 30 s");
    const double fall_ms = elapsed_ms(cut);
    traffic.reset();

    if (std::system("nft delete table inet deadpeer") != 0) return fail("cannot remove the rule");
    const auto restored = Clock::now();
    if (!wait_until([&] { return rt->is_connect() == 1; }, 15000, 5)) return fail("no reconnection within 15 s");
    const double rise_ms = elapsed_ms(restored);
    // And the new link carries traffic both ways.
    std::string text = "after-dead-peer";
    if (!wait_until(loaded, 5000) || rt->cmd(0, 0, text) != 1 || !simulator->wait_for_command("2000:" + text, 3000)) {
        return fail("the link does not work after the reconnection");
    }
    rt->close();
    simulator->stop();
    dprintf(out, "%.0f %.0f\n", fall_ms, rise_ms);
    return 0;
}

class DeadPeer : public ::testing::TestWithParam<Case> {};

TEST_P(DeadPeer, IsNoticedAndTheLinkComesBack) {
    const Case& c = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        ::_exit(probe(c, fds[1]));
    }
    ::close(fds[1]);
    std::string output;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const int exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (exit_code == 77) GTEST_SKIP() << "no network namespace or firewall (packages iproute2, nftables)";
    ASSERT_EQ(exit_code, 0) << output;
    double fall_ms = -1, rise_ms = -1;
    ASSERT_EQ(std::sscanf(output.c_str(), "%lf %lf", &fall_ms, &rise_ms), 2) << output;
    EXPECT_LT(fall_ms, c.fall_limit_ms);
    std::printf("FIGURE dead_peer_%s: flag fell %.0f ms after %s stopped, rose %.0f ms after it resumed\n",
                c.mode, fall_ms, c.what, rise_ms);
}

// Lost one way with the host idle, the controller's retransmissions postpone keepalive until their back-off
// leaves the link silent long enough (about 12 s measured): a looser bound.
INSTANTIATE_TEST_SUITE_P(Modes, DeadPeer,
                         ::testing::Values(Case{"both", 10000.0, "all traffic"},
                                           Case{"one_way_traffic", 10000.0, "packets to the controller (host sending)"},
                                           Case{"one_way_idle", 25000.0, "packets to the controller (host idle)"}),
                         [](const auto& info) { return std::string(info.param.mode); });

}  // namespace
}  // namespace orvane::reliability
