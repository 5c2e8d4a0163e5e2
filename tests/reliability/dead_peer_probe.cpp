// Runs inside a private network namespace (dead_peer_test.cpp starts it under
// `unshare -n`): connects a Runtime to a simulator, makes the peer vanish
// with an nftables rule, and measures how long the library takes to notice
// and, once the rule is gone, to reconnect.
//   dead_peer_probe both             every packet from and to the controller
//                                    port dropped (cable pulled, power lost)
//   dead_peer_probe one-way-traffic  only those to it, the host sending
//   dead_peer_probe one-way-idle     only those to it, the host idle
// Prints "fall_ms=<n> rise_ms=<n>" and exits 0; exits 1 with a message when a
// step fails, 77 when the namespace cannot be set up.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "orvane_sim/simulator.h"
#include "reliability_support.h"

namespace orvane::reliability {
namespace {

int fail(const char* message) {
    std::fprintf(stderr, "dead_peer_probe: %s\n", message);
    return 1;
}

int probe(const std::string& mode) {
    if (mode != "both" && mode != "one-way-traffic" && mode != "one-way-idle") {
        std::fprintf(stderr, "usage: dead_peer_probe both|one-way-traffic|one-way-idle\n");
        return 2;
    }
    if (std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "dead_peer_probe: cannot bring up the namespace's loopback\n");
        return 77;
    }
    sim::SimulatorOptions options;
    options.bind_address = "127.0.0.1";
    options.port = 0;
    sim::Simulator simulator(options);
    std::string error;
    if (!simulator.start(&error)) return fail(("simulator: " + error).c_str());
    const std::string port = std::to_string(simulator.port());

    // The library's own timings: keepalive and reconnection as shipped.
    auto runtime = quiet_runtime(simulator.port(), false);
    Runtime& rt = *runtime;
    if (rt.initial() != 1) return fail("initial did not connect");
    if (!wait_until([&] { return rt.mirror().version_text.size() >= 2; }, 5000)) return fail("mirror not loaded");

    std::string rule = "nft add table inet deadpeer && nft add chain inet deadpeer input "
                       "'{ type filter hook input priority 0; }' && nft add rule inet deadpeer input tcp dport " +
                       port + " drop";
    if (mode == "both") rule += " && nft add rule inet deadpeer input tcp sport " + port + " drop";
    if (std::system(rule.c_str()) != 0) {
        std::fprintf(stderr, "dead_peer_probe: nft failed\n");
        return 77;
    }
    const auto cut = Clock::now();

    std::atomic<bool> sending{mode == "one-way-traffic"};
    std::thread host([&] {
        int n = 0;
        while (sending.load()) {
            rt.set_output_on(1 + n % 24, n % 2 == 0);
            ++n;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const bool fell = wait_until([&] { return rt.is_connect() == 0; }, 30000, 5);
    const double fall_ms = elapsed_ms(cut);
    sending.store(false);
    host.join();
    if (!fell) return fail("the connection flag did not fall within 30 s");

    if (std::system("nft delete table inet deadpeer") != 0) return fail("cannot remove the rule");
    const auto restored = Clock::now();
    const bool rose = wait_until([&] { return rt.is_connect() == 1; }, 15000, 5);
    const double rise_ms = elapsed_ms(restored);
    if (!rose) return fail("no reconnection within 15 s after the rule was removed");
    // And the new link carries traffic both ways.
    if (!wait_until([&] { return rt.mirror().version_text.size() >= 2; }, 5000)) return fail("mirror not reloaded");
    std::string text = "after-dead-peer";
    rt.cmd(0, 0, text);
    if (!simulator.wait_for_command("2000:after-dead-peer", 3000)) return fail("command not delivered after reconnect");
    rt.close();
    simulator.stop();
    std::printf("fall_ms=%.0f rise_ms=%.0f\n", fall_ms, rise_ms);
    return 0;
}

}  // namespace
}  // namespace orvane::reliability

int main(int argc, char** argv) {
    return orvane::reliability::probe(argc > 1 ? argv[1] : "");
}
