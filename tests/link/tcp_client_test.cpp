// The controller link against a loopback peer: connecting, time-outs, reconnection, receiving, sending, stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "link/tcp_client.h"
#include "link_platform.h"
#include "platform/platform.h"
#include "platform/serving.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"
#include "support/process_counts.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;
using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

// The link's texts in the GBK code page, byte by byte.
const std::string gbk_reconnecting = "\xB3\xA2\xCA\xD4\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3...";   // 尝试重新连接...
const std::string gbk_reconnected = "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6!";      // 重新连接成功!
const std::string gbk_reconnect_failed = "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC";  // 重新连接失败
const std::string gbk_send_failed = "\xB7\xA2\xCB\xCD\xCA\xA7\xB0\xDC";                       // 发送失败

int count(const Texts& texts, const std::string& text) { return static_cast<int>(std::ranges::count(texts, text)); }

// The client's callbacks in named lists; connection events "up"/"down", + " elsewhere" off the test's thread.
class Recorder {
public:
    void attach(TCPClient& client) {
        client.set_connection_callback([this](bool up) { connection(up); });
        client.set_data_callback([this](std::string chunk) { add("data", std::move(chunk)); });
        client.set_error_callback([this](const std::string& text) { add("errors", text); });
        client.set_progress_callback([this](const std::string& text) { add("progress", text); });
    }
    void connection(bool up) {
        add("events",
            std::string(up ? "up" : "down") + (std::this_thread::get_id() == test_thread_ ? "" : " elsewhere"));
    }
    void add(const std::string& list, std::string text) {
        std::lock_guard lock(mutex_);
        lists_[list].push_back(std::move(text));
    }
    Texts operator[](const std::string& list) const {
        std::lock_guard lock(mutex_);
        const auto it = lists_.find(list);
        return it == lists_.end() ? Texts{} : it->second;
    }
    std::string all_data() const {
        std::string out;
        for (const auto& chunk : (*this)["data"]) out += chunk;
        return out;
    }

private:
    const std::thread::id test_thread_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    std::map<std::string, Texts> lists_;
};

LinkTimings fast() { return testing::fast_link_timings(); }

class TcpClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer.ok()); }
    // Members end in reverse order: the client before the recorder its callbacks use.
    void make(LinkTimings timings = fast()) {
        client.emplace(timings);
        recorder.attach(*client);
    }
    void connect() {
        ASSERT_TRUE(client->start("127.0.0.1", peer.port()));
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    }
    bool errors_at_least(const std::string& text, int n) {
        return wait_until([&] { return count(recorder["errors"], text) >= n; }, 5s);
    }

    LoopbackPeer peer;
    Recorder recorder;
    std::optional<TCPClient> client;
};

TEST_F(TcpClient, StartConnectsOnTheCallingThreadAndASecondStartChangesNothing) {
    LoopbackPeer second;
    make();
    ASSERT_TRUE(client->start("127.0.0.1", peer.port()));
    EXPECT_EQ(recorder["events"], Texts{"up"});
    EXPECT_TRUE(client->is_connected() && client->is_running());
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    EXPECT_FALSE(client->start("127.0.0.1", second.port()));
    EXPECT_TRUE(client->server_ip() == "127.0.0.1" && client->server_port() == peer.port());
    EXPECT_EQ(recorder["events"], Texts{"up"});
    EXPECT_FALSE(second.wait_for_accepted(1, 100ms));
    // Empty sends succeed and send nothing; the first connection stays.
    EXPECT_TRUE(client->send_text("") && client->send_bytes("ignored", 0) && client->send_bytes("ignored", -3));
    ASSERT_TRUE(client->send_text("still here"));
    ASSERT_TRUE(peer.wait_for_text("still here", 2s));
    EXPECT_EQ(peer.text(), "still here");
    EXPECT_EQ(peer.accepted(), 1);
}

TEST_F(TcpClient, UnansweredConnectTimesOutAfterASecondWithoutCallbacks) {
    testing::StalledListener stalled;
    ASSERT_TRUE(stalled.ok());
    make(LinkTimings{});  // the real 1000 ms time-out and 3 s retry pause
    const auto started = Clock::now();
    EXPECT_FALSE(client->start("127.0.0.1", stalled.port()));
    const auto took = Clock::now() - started;  // a connect time-out, then no callback
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, testing::scaled(2500ms));
    EXPECT_TRUE(recorder["errors"].empty());
    EXPECT_TRUE(!client->is_connected() && client->is_running());
    // The reconnect thread tries again at once, and reports its failure.
    EXPECT_TRUE(wait_until([&] { return count(recorder["progress"], gbk_reconnecting) >= 1; }, 500ms));
    EXPECT_TRUE(errors_at_least(gbk_reconnect_failed, 1));
    EXPECT_TRUE(recorder["events"].empty());
    client->disconnect();
    EXPECT_FALSE(client->is_running());
}

TEST_F(TcpClient, RefusedStartIsRetriedWithProgressTextsUntilThePeerListens) {
    peer.stop_listening();
    make();
    EXPECT_FALSE(client->start("127.0.0.1", peer.port()));
    EXPECT_FALSE(client->send_text("abc") || client->send_text(""));
    ASSERT_TRUE(errors_at_least(gbk_reconnect_failed, 2));
    EXPECT_FALSE(client->send_text("abc"));
    EXPECT_GE(count(recorder["progress"], gbk_reconnecting), 2);
    EXPECT_EQ(count(recorder["progress"], gbk_reconnected), 0);
    // No code appended, and no send failure for sends while down.
    for (const auto& text : recorder["errors"]) EXPECT_EQ(text, gbk_reconnect_failed);
    EXPECT_TRUE(recorder["events"].empty());

    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(wait_until([&] { return count(recorder["progress"], gbk_reconnected) == 1; }, 5s));
    EXPECT_EQ(recorder["events"], Texts{"up elsewhere"});
    ASSERT_TRUE(client->send_text("after retry"));
    EXPECT_TRUE(peer.wait_for_text("after retry", 2s));
}

TEST_F(TcpClient, PeerCloseReportsOneLossOffTheReceiveThreadAndReconnectsPromptly) {
    LinkTimings timings;  // the real 100 ms idle look of the reconnect thread
    timings.reconnect_pause_ms = 50;
    make(timings);
    // A throwing loss handler would end the process if it ran on the receive thread.
    client->set_connection_callback([this](bool up) {
        recorder.connection(up);
        if (!up) throw std::runtime_error("handler failure");
    });
    connect();
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    EXPECT_LT(*peer.accepted_at(1) - *peer.closed_at(0), testing::scaled(600ms)) << "reconnect should follow a loss";
    ASSERT_TRUE(wait_until([&] { return count(recorder["events"], "up elsewhere") == 1; }, 2s));

    EXPECT_EQ(recorder["events"], (Texts{"up", "down elsewhere", "up elsewhere"}));
    ASSERT_TRUE(client->send_text("on the new connection"));
    EXPECT_TRUE(peer.wait_for_text("on the new connection", 2s));
    EXPECT_EQ(peer.text(0), "");
}

// The data callback throws: the exception is dropped and receiving goes on.
TEST_F(TcpClient, ReceivedBytesArriveInOrderInChunksOfAtMost4096) {
    make();
    client->set_data_callback([this](std::string chunk) {
        recorder.add("data", std::move(chunk));
        throw std::runtime_error("parser failure");
    });
    connect();
    // A line sent in two pieces arrives as two chunks.
    ASSERT_TRUE(peer.send("100:1,2,"));
    ASSERT_TRUE(wait_until([&] { return recorder["data"].size() == 1; }, 2s));
    ASSERT_TRUE(peer.send("3,4\n5010:ok\n"));
    ASSERT_TRUE(wait_until([&] { return recorder["data"].size() == 2; }, 2s));
    EXPECT_EQ(recorder["data"], (Texts{"100:1,2,", "3,4\n5010:ok\n"}));

    std::string sent(10000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);  // NULs too
    ASSERT_TRUE(peer.send(sent));
    const std::size_t total = sent.size() + 20;
    ASSERT_TRUE(wait_until([&] { return recorder.all_data().size() >= total; }, 5s));
    const auto chunks = recorder["data"];
    EXPECT_GE(chunks.size(), 5u);
    for (const auto& chunk : chunks) EXPECT_TRUE(!chunk.empty() && chunk.size() <= 4096u) << chunk.size();
    EXPECT_EQ(recorder.all_data(), "100:1,2,3,4\n5010:ok\n" + sent);
    EXPECT_TRUE(client->is_connected());
    EXPECT_EQ(count(recorder["events"], "down elsewhere"), 0);
}

TEST_F(TcpClient, SendFailureMarksTheLinkDownAndReportsWithoutConnectionCallback) {
    LinkTimings timings = fast();
    timings.idle_poll_ms = 300;  // the reconnect thread looks late enough to see the link down
    make(timings);
    // A receive thread held in a data callback cannot see the reset: only the send can.
    std::promise<void> entered, opened;
    client->set_data_callback([&, open = opened.get_future().share()](std::string) {
        entered.set_value();
        open.wait();
    });
    connect();
    ASSERT_TRUE(peer.send("hold"));
    ASSERT_EQ(entered.get_future().wait_for(2s), std::future_status::ready);

    peer.stop_listening();  // keeps reconnection refused until listening resumes
    ASSERT_TRUE(peer.reset_connection(0));
    bool failed = false;
    const auto deadline = Clock::now() + 5s;
    while (!failed && Clock::now() < deadline) failed = !client->send_text("x");
    ASSERT_TRUE(failed);
    EXPECT_FALSE(client->is_connected() || client->send_text("y"));
    EXPECT_EQ(count(recorder["errors"], gbk_send_failed), 1);
    EXPECT_EQ(count(recorder["events"], "down elsewhere"), 0);

    opened.set_value();
    ASSERT_TRUE(peer.resume_listening());
    EXPECT_TRUE(wait_until([&] { return client->is_connected(); }, 3s));  // the reconnect thread took over
    EXPECT_TRUE(peer.wait_for_accepted(2, 2s));
}

TEST_F(TcpClient, SendAndDisconnectOnAStoppedClientDoNothing) {
    make();
    EXPECT_FALSE(client->send_text("abc"));
    for (int i = 0; i < 2; ++i) client->disconnect();
    client->mark_disconnected();
    EXPECT_FALSE(client->is_running() || client->is_connected());
    EXPECT_TRUE(recorder["events"].empty() && recorder["errors"].empty());

    ASSERT_TRUE(client->start("127.0.0.1", peer.port()));
    client->disconnect();
    const auto after_first = recorder["events"];
    client->disconnect();
    EXPECT_EQ(recorder["events"], after_first);
    EXPECT_FALSE(client->is_running() || client->send_text("abc"));
}

TEST_F(TcpClient, MarkDisconnectedFailsSendsUntilTheReconnectThreadIsBack) {
    LinkTimings timings = fast();
    timings.idle_poll_ms = 300;
    make(timings);
    connect();
    peer.stop_listening();  // keeps reconnection refused until listening resumes
    client->mark_disconnected();
    EXPECT_FALSE(client->send_text("lost"));
    EXPECT_EQ(count(recorder["errors"], gbk_send_failed), 0);
    ASSERT_TRUE(peer.resume_listening());

    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }, 3s));
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    ASSERT_TRUE(client->send_text("back"));
    EXPECT_TRUE(peer.wait_for_text("back", 2s));
    EXPECT_EQ(peer.text(0), "");
    // The old socket's end, caused by the reconnect itself, is no loss.
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));
    ASSERT_TRUE(wait_until([&] { return count(recorder["events"], "up elsewhere") == 1; }, 2s));
    EXPECT_EQ(count(recorder["events"], "down elsewhere"), 0);
}

TEST_F(TcpClient, InvalidAddressTextsFailWithoutConnectingAnywhere) {
    // Addresses only to a lenient parser (127.1 and 0x7f.0.0.1 mean 127.0.0.1 there).
    for (const std::string text :
         {"127.1", "0x7f.0.0.1", "127.0.0.300", "abc", "127.0.0.1 ", " 127.0.0.1", "127.0.0.1.", "", "127.0.0.0001"}) {
        SCOPED_TRACE("address '" + text + "'");
        make();
        const int before = count(recorder["errors"], gbk_reconnect_failed);
        const auto started = Clock::now();
        EXPECT_FALSE(client->start(text, peer.port()));
        EXPECT_LT(Clock::now() - started, testing::scaled(500ms));
        ASSERT_TRUE(errors_at_least(gbk_reconnect_failed, before + 2));
        EXPECT_TRUE(recorder["events"].empty() && !client->is_connected());
    }
    EXPECT_FALSE(peer.wait_for_accepted(1, 50ms));
}

TEST(Ipv4Text, OnlyFourDecimalOctetsParse) {
    std::uint32_t address = 0;
    EXPECT_TRUE(platform::parse_ipv4("127.0.0.254", address));
    EXPECT_EQ(address, 0x7F0000FEu);
    EXPECT_TRUE(platform::parse_ipv4("0.0.0.0", address));
    EXPECT_TRUE(platform::parse_ipv4("255.255.255.255", address));
    for (const char* text : {"1.2.3", "abc", "127.0.0.300", "127.1", "0x7f.0.0.1", "1.2.3.4.", "1..3.4", "1.2.3.-4",
                             "+1.2.3.4", "1.2.3.4 ", "", "256.0.0.1", "1.2.3.4\n"}) {
        address = 0xDEADBEEF;
        EXPECT_FALSE(platform::parse_ipv4(text, address)) << text;
        EXPECT_EQ(address, 0xDEADBEEFu) << text;
    }
}

// Whether the peer refuses or accepts and closes at once: sooner retries would hammer a controller starting up.
TEST(TcpClientPause, ReconnectionAttemptsKeepThePauseBetweenThem) {
    constexpr auto pause = 100ms;
    constexpr int attempts = 5;
    for (const bool accepts : {false, true}) {
        SCOPED_TRACE(accepts ? "peer accepting and closing at once" : "peer refusing");
        LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        if (!accepts) peer.stop_listening();
        std::mutex mutex;
        std::vector<Clock::time_point> began;  // each attempt, as it begins
        LinkTimings timings = fast();
        timings.reconnect_pause_ms = static_cast<int>(pause.count());
        TCPClient client(timings);
        client.set_progress_callback([&](const std::string& line) {
            std::lock_guard lock(mutex);
            if (line == gbk_reconnecting) began.push_back(Clock::now());
        });
        EXPECT_EQ(client.start("127.0.0.1", peer.port()), accepts);
        if (accepts) {
            for (int i = 0; i <= attempts; ++i) {  // the start's connection, then each reconnection
                ASSERT_TRUE(peer.wait_for_accepted(i + 1, 10s)) << "connection " << i;
                peer.close_connection(i);
            }
        } else {
            ASSERT_TRUE(wait_until(
                [&] {
                    std::lock_guard lock(mutex);
                    return began.size() >= static_cast<std::size_t>(attempts);
                },
                15s));
        }
        client.disconnect();
        ASSERT_GE(began.size(), static_cast<std::size_t>(attempts));
        for (std::size_t i = 1; i < began.size(); ++i) {
            // A millisecond for the clocks of the pause and of this test.
            EXPECT_GE(began[i] - began[i - 1], pause - 1ms) << "attempts " << i - 1 << " and " << i;
        }
        if (accepts) {
            // Seen from the peer (each accept may come a little after its attempt).
            const auto window = *peer.accepted_at(attempts) - *peer.accepted_at(1);
            EXPECT_GE(window, (attempts - 1) * pause - pause / 2)
                << std::chrono::duration_cast<std::chrono::milliseconds>(window).count() << " ms";
        }
    }
}

// Large texts through a small send buffer to a slow reader wait in the system call, where unguarded sends interleave.
TEST(TcpClientSend, TextsSentFromSeveralThreadsAtOnceArriveWhole) {
    if (testing::running_under_wine()) {
        GTEST_SKIP() << "wine serialises blocking sends on a socket by itself: interleaving could not show here";
    }
    platform::NetworkSession network;
    std::uint16_t port = 0;
    platform::Socket listener = platform::listen_tcp("127.0.0.1", 0, 1, &port);
    ASSERT_TRUE(listener.valid());
    TCPClient client(fast());
    client.set_progress_callback([](const std::string&) {});
    ASSERT_TRUE(client.start("127.0.0.1", port));
    platform::Socket far_end = platform::accept_connection(listener.get());
    ASSERT_TRUE(far_end.valid());
    std::string why_not;  // with large default buffers interleaving would rarely show
    if (testing::socket_options_accessible(why_not)) {
        const platform::NativeSocket link_socket = testing::find_socket_connected_to(port);
        ASSERT_NE(link_socket, platform::invalid_socket);
        ASSERT_TRUE(testing::shrink_send_buffer(link_socket));
    }

    constexpr std::size_t text_size = 64 * 1024;
    constexpr int senders = 4;
    std::atomic<int> failed_sends{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] { if (!client.send_text(std::string(text_size, char('A' + t)))) ++failed_sends; });
    }
    std::string received;  // read a kilobyte at a time with a short rest in between
    char buffer[1024];
    const auto deadline = Clock::now() + 30s;
    while (received.size() < senders * text_size && Clock::now() < deadline) {
        if (platform::wait_readable(far_end.get(), 100) <= 0) continue;
        const int n = platform::receive(far_end.get(), buffer, static_cast<int>(sizeof buffer));
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(100us);
    }
    for (auto& thread : threads) thread.join();
    client.disconnect();

    EXPECT_EQ(failed_sends.load(), 0);
    ASSERT_EQ(received.size(), senders * text_size);
    // One run of a letter per text, each a whole text, no letter twice.
    std::string order;
    for (std::size_t i = 0; i < received.size(); i += text_size) {
        order += received[i];
        EXPECT_EQ(received.substr(i, text_size).find_first_not_of(received[i]), std::string::npos)
            << "texts interleaved in the text that begins at " << i;
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, "ABCD");
}

}  // namespace
}  // namespace orvane
