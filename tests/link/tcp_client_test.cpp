// The controller link against a loopback peer: connecting, time-outs,
// reconnection, chunking of received bytes, sending and its failures, and
// stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

// The link's texts in the GBK code page, spelled out byte by byte here so
// that a wrong text in the library is caught.
const std::string gbk_reconnecting = "\xB3\xA2\xCA\xD4\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3...";  // 尝试重新连接...
const std::string gbk_reconnected = "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6!";     // 重新连接成功!
const std::string gbk_reconnect_failed = "\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC";  // 重新连接失败
const std::string gbk_send_failed = "\xB7\xA2\xCB\xCD\xCA\xA7\xB0\xDC";                        // 发送失败

// Everything the client tells through its callbacks, with the threads it
// told it on.
class Recorder {
public:
    struct ConnectionEvent {
        bool up;
        std::thread::id thread;
    };

    void attach(TCPClient& client) {
        client.set_connection_callback([this](bool up) { record_connection(up); });
        client.set_data_callback([this](std::string chunk) { record_data(std::move(chunk)); });
        client.set_error_callback([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            errors_.push_back(text);
        });
        client.set_progress_callback([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            progress_.push_back(line);
        });
    }

    void record_connection(bool up) {
        std::lock_guard lock(mutex_);
        connections_.push_back({up, std::this_thread::get_id()});
    }
    void record_data(std::string chunk) {
        std::lock_guard lock(mutex_);
        data_.push_back(std::move(chunk));
    }

    std::vector<ConnectionEvent> connections() const {
        std::lock_guard lock(mutex_);
        return connections_;
    }
    std::vector<bool> connection_states() const {
        std::vector<bool> out;
        for (const auto& e : connections()) out.push_back(e.up);
        return out;
    }
    int count_connections(bool up) const {
        const auto states = connection_states();
        return static_cast<int>(std::count(states.begin(), states.end(), up));
    }
    std::vector<std::string> data() const {
        std::lock_guard lock(mutex_);
        return data_;
    }
    std::string all_data() const {
        std::string out;
        for (const auto& chunk : data()) out += chunk;
        return out;
    }
    std::vector<std::string> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::vector<std::string> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }
    static int count(const std::vector<std::string>& texts, const std::string& text) {
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

private:
    mutable std::mutex mutex_;
    std::vector<ConnectionEvent> connections_;
    std::vector<std::string> data_;
    std::vector<std::string> errors_;
    std::vector<std::string> progress_;
};

// A gate a callback can be held at until the test opens it.
class Gate {
public:
    void wait_open() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_; });
    }
    bool wait_entered(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return entered_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool entered_ = false;
    bool open_ = false;
};

LinkTimings fast() { return testing::fast_link_timings(); }

TEST(TcpClient, StartThatConnectsReportsUpOnTheCallingThreadBeforeReturning) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);

    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    const auto events = recorder.connections();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].up);
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(client.is_connected());
    EXPECT_TRUE(client.is_running());
    EXPECT_TRUE(peer.wait_for_accepted(1, 2s));
}

TEST(TcpClient, SecondStartReturnsFalseAndChangesNothing) {
    LoopbackPeer first;
    LoopbackPeer second;
    ASSERT_TRUE(first.ok() && second.ok());
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);
    ASSERT_TRUE(client.start("127.0.0.1", first.port()));
    ASSERT_TRUE(first.wait_for_accepted(1, 2s));

    EXPECT_FALSE(client.start("127.0.0.1", second.port()));
    EXPECT_EQ(client.server_ip(), "127.0.0.1");
    EXPECT_EQ(client.server_port(), first.port());
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(recorder.connection_states(), std::vector<bool>{true});
    EXPECT_FALSE(second.wait_for_accepted(1, 100ms));

    // Still the same connection.
    ASSERT_TRUE(client.send_text("still here"));
    EXPECT_TRUE(first.wait_for_text("still here", 2s));
    EXPECT_EQ(first.accepted(), 1);
    EXPECT_TRUE(first.is_open(0));
}

TEST(TcpClient, UnansweredConnectTimesOutAfterASecondWithoutCallbacks) {
    testing::StalledListener stalled;
    ASSERT_TRUE(stalled.ok());
    Recorder recorder;
    TCPClient client;  // the real 1000 ms time-out and 3 s retry pause
    recorder.attach(client);

    const auto started = Clock::now();
    EXPECT_FALSE(client.start("127.0.0.1", stalled.port()));
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, testing::scaled(2500ms));
    EXPECT_TRUE(recorder.connections().empty());
    EXPECT_TRUE(recorder.errors().empty());  // the failed start itself says nothing
    EXPECT_FALSE(client.is_connected());
    EXPECT_TRUE(client.is_running());

    // The reconnect thread tries again at once, and reports its failure.
    EXPECT_TRUE(wait_until([&] { return Recorder::count(recorder.progress(), gbk_reconnecting) >= 1; }, 500ms));
    EXPECT_TRUE(wait_until([&] { return Recorder::count(recorder.errors(), gbk_reconnect_failed) >= 1; }, 3s));
    EXPECT_TRUE(recorder.connections().empty());
    client.disconnect();
    EXPECT_FALSE(client.is_running());
}

TEST(TcpClient, RefusedStartIsRetriedWithProgressTextsUntilThePeerListens) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);

    EXPECT_FALSE(client.start("127.0.0.1", peer.port()));
    EXPECT_TRUE(recorder.connections().empty());
    ASSERT_TRUE(wait_until([&] { return Recorder::count(recorder.errors(), gbk_reconnect_failed) >= 2; }, 5s));
    const auto progress = recorder.progress();
    EXPECT_GE(Recorder::count(progress, gbk_reconnecting), 2);
    EXPECT_EQ(Recorder::count(progress, gbk_reconnected), 0);
    for (const auto& text : recorder.errors()) EXPECT_EQ(text, gbk_reconnect_failed);  // no code appended
    EXPECT_TRUE(recorder.connections().empty());

    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(wait_until([&] { return !recorder.connections().empty(); }, 5s));
    ASSERT_TRUE(wait_until([&] { return Recorder::count(recorder.progress(), gbk_reconnected) == 1; }, 2s));
    const auto events = recorder.connections();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].up);
    EXPECT_NE(events[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(client.is_connected());
    EXPECT_TRUE(peer.wait_for_accepted(1, 2s));
    ASSERT_TRUE(client.send_text("after retry"));
    EXPECT_TRUE(peer.wait_for_text("after retry", 2s));
}

TEST(TcpClient, PeerCloseReportsOneLossOffTheReceiveThreadAndReconnectsPromptly) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    LinkTimings timings;  // the real 100 ms idle look of the reconnect thread
    timings.reconnect_pause_ms = 50;
    TCPClient client(timings);
    recorder.attach(client);
    // A loss handler that throws: if it ran on the receive thread itself the
    // process would end here.
    client.set_connection_callback([&recorder](bool up) {
        recorder.record_connection(up);
        if (!up) throw std::runtime_error("handler failure");
    });
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(wait_until([&] { return recorder.count_connections(false) == 1; }, 2s));
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    const auto gap = *peer.accepted_at(1) - *peer.closed_at(0);
    EXPECT_LT(gap, testing::scaled(600ms)) << "first reconnect attempt should follow a loss within about 100 ms";
    ASSERT_TRUE(wait_until([&] { return recorder.count_connections(true) == 2; }, 2s));

    const auto events = recorder.connections();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(events[0].up);
    EXPECT_FALSE(events[1].up);
    EXPECT_TRUE(events[2].up);
    EXPECT_NE(events[1].thread, std::this_thread::get_id());
    EXPECT_NE(events[2].thread, std::this_thread::get_id());
    EXPECT_TRUE(client.is_connected());
    ASSERT_TRUE(client.send_text("on the new connection"));
    EXPECT_TRUE(peer.wait_for_text("on the new connection", 2s));
    EXPECT_EQ(peer.text(0), "");
}

TEST(TcpClient, TenThousandBytesArriveInOrderInChunksOfAtMost4096) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    std::string sent(10000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);  // NULs too
    ASSERT_TRUE(peer.send(sent));
    ASSERT_TRUE(wait_until([&] { return recorder.all_data().size() >= sent.size(); }, 5s));

    const auto chunks = recorder.data();
    EXPECT_GE(chunks.size(), 3u);
    for (const auto& chunk : chunks) {
        EXPECT_GE(chunk.size(), 1u);
        EXPECT_LE(chunk.size(), 4096u);
    }
    EXPECT_EQ(recorder.all_data(), sent);
}

TEST(TcpClient, ALineSentInTwoPiecesArrivesAsTwoChunks) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    ASSERT_TRUE(peer.send("100:1,2,"));
    ASSERT_TRUE(wait_until([&] { return recorder.data().size() == 1; }, 2s));
    ASSERT_TRUE(peer.send("3,4\n5010:ok\n"));
    ASSERT_TRUE(wait_until([&] { return recorder.data().size() == 2; }, 2s));
    EXPECT_EQ(recorder.data(), (std::vector<std::string>{"100:1,2,", "3,4\n5010:ok\n"}));
}

TEST(TcpClient, EmptySendWhileUpSucceedsAndSendsNothing) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    TCPClient client(fast());
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    EXPECT_TRUE(client.send_text(""));
    EXPECT_TRUE(client.send_bytes("ignored", 0));
    EXPECT_TRUE(client.send_bytes("ignored", -3));
    ASSERT_TRUE(client.send_text("abc"));
    ASSERT_TRUE(peer.wait_for_text("abc", 2s));
    EXPECT_EQ(peer.text(), "abc");
}

TEST(TcpClient, SendWhileDownFailsWithoutErrorText) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    Recorder recorder;
    TCPClient never_started;
    recorder.attach(never_started);
    EXPECT_FALSE(never_started.send_text("abc"));
    EXPECT_TRUE(recorder.errors().empty());

    Recorder down_recorder;
    LinkTimings timings = fast();
    timings.reconnect_pause_ms = 60000;
    TCPClient down(timings);
    down_recorder.attach(down);
    ASSERT_FALSE(down.start("127.0.0.1", peer.port()));
    EXPECT_FALSE(down.send_text("abc"));
    EXPECT_FALSE(down.send_text(""));
    // The reconnect thread's own failure may be there; never a send failure.
    ASSERT_TRUE(wait_until([&] { return !down_recorder.errors().empty(); }, 2s));
    EXPECT_FALSE(down.send_text("abc"));
    for (const auto& text : down_recorder.errors()) EXPECT_EQ(text, gbk_reconnect_failed);
    down.disconnect();
    EXPECT_FALSE(down.send_text("abc"));
}

TEST(TcpClient, SendFailureMarksTheLinkDownAndReportsWithoutConnectionCallback) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    LinkTimings timings = fast();
    timings.idle_poll_ms = 300;  // the reconnect thread looks late enough to see the link down
    TCPClient client(timings);
    recorder.attach(client);
    Gate gate;
    // Holding the receive thread in a data callback keeps it from seeing the
    // reset first: only the send can notice it.
    client.set_data_callback([&gate](std::string) { gate.wait_open(); });
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    ASSERT_TRUE(peer.send("hold"));
    ASSERT_TRUE(gate.wait_entered(2s));

    // Refused reconnection attempts keep the link down until the test lets
    // the peer listen again.
    peer.stop_listening();
    ASSERT_TRUE(peer.reset_connection(0));
    bool failed = false;
    const auto deadline = Clock::now() + 5s;
    while (!failed && Clock::now() < deadline) failed = !client.send_text("x");
    ASSERT_TRUE(failed);
    EXPECT_FALSE(client.is_connected());
    EXPECT_FALSE(client.send_text("y"));
    EXPECT_EQ(Recorder::count(recorder.errors(), gbk_send_failed), 1);
    EXPECT_EQ(recorder.count_connections(false), 0);

    gate.open();
    ASSERT_TRUE(peer.resume_listening());
    // The reconnect thread takes over.
    EXPECT_TRUE(wait_until([&] { return client.is_connected(); }, 3s));
    EXPECT_TRUE(peer.wait_for_accepted(2, 2s));
}

TEST(TcpClient, AnExceptionFromTheDataCallbackIsDroppedAndReceivingGoesOn) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);
    client.set_data_callback([&recorder](std::string chunk) {
        recorder.record_data(chunk);
        throw std::runtime_error("parser failure");
    });
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    ASSERT_TRUE(peer.send("first"));
    ASSERT_TRUE(wait_until([&] { return recorder.data().size() == 1; }, 2s));
    ASSERT_TRUE(peer.send("second"));
    ASSERT_TRUE(wait_until([&] { return recorder.data().size() == 2; }, 2s));
    EXPECT_EQ(recorder.data()[1], "second");
    EXPECT_TRUE(client.is_connected());
    EXPECT_EQ(recorder.count_connections(false), 0);
}

TEST(TcpClient, DisconnectOnAStoppedClientDoesNothing) {
    Recorder recorder;
    TCPClient client(fast());
    recorder.attach(client);
    client.disconnect();
    client.disconnect();
    client.mark_disconnected();
    EXPECT_FALSE(client.is_running());
    EXPECT_FALSE(client.is_connected());
    EXPECT_TRUE(recorder.connections().empty());
    EXPECT_TRUE(recorder.errors().empty());

    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    client.disconnect();
    const auto after_first = recorder.connections().size();
    client.disconnect();
    EXPECT_EQ(recorder.connections().size(), after_first);
    EXPECT_FALSE(client.is_running());
}

TEST(TcpClient, MarkDisconnectedFailsSendsUntilTheReconnectThreadIsBack) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Recorder recorder;
    LinkTimings timings = fast();
    timings.idle_poll_ms = 300;
    TCPClient client(timings);
    recorder.attach(client);
    ASSERT_TRUE(client.start("127.0.0.1", peer.port()));
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

    // Refused reconnection attempts keep the link down until the test lets
    // the peer listen again.
    peer.stop_listening();
    client.mark_disconnected();
    EXPECT_FALSE(client.send_text("lost"));
    EXPECT_EQ(Recorder::count(recorder.errors(), gbk_send_failed), 0);
    ASSERT_TRUE(peer.resume_listening());

    ASSERT_TRUE(wait_until([&] { return client.is_connected(); }, 3s));
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    ASSERT_TRUE(client.send_text("back"));
    EXPECT_TRUE(peer.wait_for_text("back", 2s));
    EXPECT_EQ(peer.text(0), "");
    EXPECT_NE(peer.text(1).find("back"), std::string::npos);
    // The old socket's end, caused by the reconnect itself, is no loss.
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));
    ASSERT_TRUE(wait_until([&] { return recorder.count_connections(true) == 2; }, 2s));
    EXPECT_EQ(recorder.count_connections(false), 0);
    EXPECT_TRUE(client.is_connected());
}

TEST(TcpClient, InvalidAddressTextsFailWithoutConnectingAnywhere) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    // Each of these is an address only to a lenient parser, and then one
    // where the peer listens (127.1 and 0x7f.0.0.1 mean 127.0.0.1 there).
    for (const std::string text : {"127.1", "0x7f.0.0.1", "127.0.0.300", "abc", "127.0.0.1 ", " 127.0.0.1",
                                   "127.0.0.1.", "", "127.0.0.0001"}) {
        SCOPED_TRACE("address '" + text + "'");
        Recorder recorder;
        TCPClient client(fast());
        recorder.attach(client);
        const auto started = Clock::now();
        EXPECT_FALSE(client.start(text, peer.port()));
        EXPECT_LT(Clock::now() - started, testing::scaled(500ms));
        ASSERT_TRUE(wait_until([&] { return Recorder::count(recorder.errors(), gbk_reconnect_failed) >= 2; }, 3s));
        EXPECT_TRUE(recorder.connections().empty());
        EXPECT_FALSE(client.is_connected());
        client.disconnect();
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

// Reconnection attempts keep the pause between them whether the peer
// refuses them or accepts and closes at once: a link that retried sooner
// would hammer a controller that is starting up.
TEST(TcpClient, ReconnectionAttemptsKeepThePauseBetweenThem) {
    constexpr auto pause = 100ms;
    constexpr int attempts = 5;
    struct Case {
        const char* peer;
        bool accepts;
    };
    for (const Case c : {Case{"refusing", false}, Case{"accepting and closing at once", true}}) {
        SCOPED_TRACE(std::string("peer ") + c.peer);
        LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        if (!c.accepts) peer.stop_listening();
        std::mutex mutex;
        std::vector<Clock::time_point> began;  // each attempt, as it begins
        LinkTimings timings = fast();           // 10 ms idle looks
        timings.reconnect_pause_ms = static_cast<int>(pause.count());
        TCPClient client(timings);
        client.set_progress_callback([&](const std::string& line) {
            if (line != gbk_reconnecting) return;
            std::lock_guard lock(mutex);
            began.push_back(Clock::now());
        });
        auto attempts_made = [&] {
            std::lock_guard lock(mutex);
            return static_cast<int>(began.size());
        };
        EXPECT_EQ(client.start("127.0.0.1", peer.port()), c.accepts);
        if (c.accepts) {
            // The start's connection, then every reconnection: each closed
            // as soon as the peer has it.
            for (int i = 0; i <= attempts; ++i) {
                ASSERT_TRUE(peer.wait_for_accepted(i + 1, 10s)) << "connection " << i;
                peer.close_connection(i);
            }
        } else {
            ASSERT_TRUE(wait_until([&] { return attempts_made() >= attempts; }, 15s));
        }
        client.disconnect();

        const auto times = [&] {
            std::lock_guard lock(mutex);
            return began;
        }();
        ASSERT_GE(times.size(), static_cast<std::size_t>(attempts));
        for (std::size_t i = 1; i < times.size(); ++i) {
            // A millisecond for the clocks of the pause and of this test.
            EXPECT_GE(times[i] - times[i - 1], pause - 1ms) << "attempts " << i - 1 << " and " << i;
        }
        if (c.accepts) {
            // Seen from the peer: the reconnections accepted over a window
            // are no more than the pause allows (each accept may come a
            // little after its attempt, the first one included).
            const auto window = *peer.accepted_at(attempts) - *peer.accepted_at(1);
            EXPECT_GE(window, (attempts - 1) * pause - pause / 2)
                << attempts << " reconnections accepted within "
                << std::chrono::duration_cast<std::chrono::milliseconds>(window).count() << " ms";
        }
    }
}

// Texts sent from several threads at once each arrive whole, not mixed
// with each other: large ones to a peer that reads slowly, through a small
// send buffer, so that every send waits for room several times inside the
// system call, where two unguarded sends on one socket interleave.
TEST(TcpClient, TextsSentFromSeveralThreadsAtOnceArriveWhole) {
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
    // With the system's large default buffers a 64 KiB send rarely has to
    // wait, and interleaving would go unseen.
    std::string why_not;
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
        threads.emplace_back([&client, &failed_sends, t] {
            if (!client.send_text(std::string(text_size, static_cast<char>('A' + t)))) ++failed_sends;
        });
    }
    // The slow reader: a kilobyte at a time with a short rest in between.
    std::string received;
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
    // Runs of one letter: one per text, each a whole text, no letter twice.
    std::string order;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < received.size(); ++i) {
        if (i == 0 || received[i] != received[i - 1]) {
            order += received[i];
            lengths.push_back(0);
        }
        ++lengths.back();
    }
    EXPECT_EQ(order.size(), static_cast<std::size_t>(senders)) << "texts interleaved; letters in arrival order: "
                                                                << order.substr(0, 200);
    for (std::size_t i = 0; i < lengths.size() && i < order.size(); ++i) {
        EXPECT_EQ(lengths[i], text_size) << "run " << i << " of '" << order[i] << "'";
    }
    std::string letters = order;
    std::sort(letters.begin(), letters.end());
    EXPECT_EQ(letters, std::string("ABCD").substr(0, senders));
}

}  // namespace
}  // namespace orvane
