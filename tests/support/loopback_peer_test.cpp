// The test peer itself: other tests trust what it records.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/platform.h"
#include "support/loopback_peer.h"

namespace orvane::testing {
namespace {

platform::Socket connect_to(const std::string& address, std::uint16_t port) {
    platform::Socket s = platform::open_tcp_socket();
    if (!s.valid() || !platform::set_non_blocking(s.get(), true)) return {};
    const auto started = platform::start_connect(s.get(), address, port);
    if (started == platform::ConnectStart::failed) return {};
    if (started == platform::ConnectStart::in_progress && platform::wait_writable(s.get(), 1000) <= 0) return {};
    int error = 0;
    if (!platform::pending_error(s.get(), error) || error != 0) return {};
    platform::set_non_blocking(s.get(), false);
    return s;
}

bool send_all(const platform::Socket& s, const std::string& text) {
    return platform::send(s.get(), text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

TEST(LoopbackPeer, RecordsChunksPerConnectionInOrder) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    platform::Socket first = connect_to("127.0.0.1", peer.port());
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    ASSERT_TRUE(send_all(first, "abc"));
    ASSERT_TRUE(peer.wait_for_text("abc", 2s));
    platform::Socket second = connect_to("127.0.0.1", peer.port());
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    ASSERT_TRUE(send_all(second, "xyz"));
    ASSERT_TRUE(send_all(first, "def"));
    ASSERT_TRUE(peer.wait_for_size(9, 2s));

    EXPECT_EQ(peer.text(0), "abcdef");
    EXPECT_EQ(peer.text(1), "xyz");
    const auto chunks = peer.chunks();
    ASSERT_GE(chunks.size(), 3u);
    for (std::size_t i = 1; i < chunks.size(); ++i) EXPECT_LE(chunks[i - 1].at, chunks[i].at);
    EXPECT_GE(chunks.front().at, *peer.accepted_at(0));
}

TEST(LoopbackPeer, SendsAndSeesTheClientClose) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    platform::Socket client = connect_to("127.0.0.1", peer.port());
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    ASSERT_TRUE(peer.send("hello"));
    char buffer[16] = {};
    ASSERT_EQ(platform::receive(client.get(), buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    client.close();
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));
    EXPECT_EQ(peer.open_connections(), 0);
    EXPECT_FALSE(peer.send("late"));
}

TEST(LoopbackPeer, ClosesAndResetsOnRequest) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    platform::Socket a = connect_to("127.0.0.1", peer.port());
    platform::Socket b = connect_to("127.0.0.1", peer.port());
    ASSERT_TRUE(a.valid() && b.valid());
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));

    ASSERT_TRUE(peer.close_connection(0));
    EXPECT_FALSE(peer.is_open(0));
    char buffer[8];
    EXPECT_EQ(platform::receive(a.get(), buffer, sizeof buffer), 0);  // orderly end

    ASSERT_TRUE(peer.reset_connection(1));
    EXPECT_FALSE(peer.is_open(1));
    // A reset; Linux reports it as an error, wine as an end of stream.
    EXPECT_LE(platform::receive(b.get(), buffer, sizeof buffer), 0);
}

TEST(LoopbackPeer, StopsAndResumesListeningOnTheSamePort) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const auto port = peer.port();
    peer.stop_listening();
    EXPECT_FALSE(peer.listening());
    EXPECT_FALSE(connect_to("127.0.0.1", port).valid());
    ASSERT_TRUE(peer.resume_listening());
    EXPECT_EQ(peer.port(), port);
    platform::Socket s = connect_to("127.0.0.1", port);
    EXPECT_TRUE(s.valid());
    EXPECT_TRUE(peer.wait_for_accepted(1, 2s));
}

TEST(LoopbackPeer, UsesOneThreadHoweverManyConnections) {
    const int before = platform::thread_count();
    if (before < 0) GTEST_SKIP() << "thread count not available on this platform";
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const int with_peer = platform::thread_count();
    for (int i = 0; i < 20; ++i) {
        platform::Socket s = connect_to("127.0.0.1", peer.port());
        ASSERT_TRUE(s.valid());
    }
    ASSERT_TRUE(peer.wait_for_accepted(20, 5s));
    ASSERT_TRUE(peer.wait_for_open_connections(0, 5s));
    EXPECT_EQ(platform::thread_count(), with_peer);
}

TEST(LoopbackPeer, RespondsFromTheServiceThread) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.set_responder([](LoopbackPeer& self, int connection, std::string_view bytes) {
        self.send(std::string("echo:") + std::string(bytes), connection);
    });
    platform::Socket s = connect_to("127.0.0.1", peer.port());
    ASSERT_TRUE(s.valid());
    ASSERT_TRUE(send_all(s, "ping"));
    char buffer[16] = {};
    ASSERT_EQ(platform::receive(s.get(), buffer, sizeof buffer), 9);
    EXPECT_EQ(std::string(buffer, 9), "echo:ping");
}

TEST(StalledListener, LeavesAConnectAttemptUnanswered) {
    StalledListener stalled;
    ASSERT_TRUE(stalled.ok());
    platform::Socket s = platform::open_tcp_socket();
    ASSERT_TRUE(platform::set_non_blocking(s.get(), true));
    const auto started = platform::start_connect(s.get(), "127.0.0.1", stalled.port());
    ASSERT_EQ(started, platform::ConnectStart::in_progress);
    EXPECT_EQ(platform::wait_writable(s.get(), 200), 0);
}

TEST(WaitUntil, ReturnsFalseAtTheDeadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_until([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_TRUE(wait_until([] { return true; }, 0ms));
}

}  // namespace
}  // namespace orvane::testing
