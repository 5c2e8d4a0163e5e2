// The panel's HTTP endpoints, against a panel started in this process on
// 127.0.0.1 (any free port) with a simulator: the token, the holder of the
// controls, bad input (400 with a message, nothing sent, nothing changed),
// and what each control does at the simulator.
#include <gtest/gtest.h>
#include <httplib.h>

#include <CLI/CLI.hpp>

#include <orvane_panel/panel.h>
#include <orvane_sim/simulator.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const session_a = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const char* const session_b = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";

bool is_poll(const std::string& text) {
    return text == "190:190" || text == "125:125" || text == "2001:2001";
}

// An open event stream of one session, read on a thread of its own.
class EventStream {
public:
    EventStream(std::uint16_t port, std::string session) : client_("127.0.0.1", port), session_(std::move(session)) {
        client_.set_read_timeout(5, 0);
        thread_ = std::thread([this] {
            client_.Get(("/api/events?session=" + session_).c_str(), [this](const char* data, std::size_t size) {
                {
                    std::lock_guard lock(mutex_);
                    buffer_.append(data, size);
                    std::size_t end;
                    while ((end = buffer_.find("\n\n")) != std::string::npos) {
                        const std::string event = buffer_.substr(0, end);
                        buffer_.erase(0, end + 2);
                        if (event.rfind("data: ", 0) == 0) {
                            last_ = event.substr(6);
                            ++frames_;
                        }
                    }
                }
                return !closing_.load();
            });
        });
    }
    ~EventStream() { close(); }

    // Ends the stream from this side, as a closed page does.
    void close() {
        closing_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool wait_frames(int count, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                if (frames_ >= count) return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    json last() {
        std::lock_guard lock(mutex_);
        return last_.empty() ? json() : json::parse(last_);
    }
    int frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

private:
    httplib::Client client_;
    std::string session_;
    std::thread thread_;
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::string buffer_;
    std::string last_;
    int frames_ = 0;
};

struct Answer {
    int status = 0;
    json body;
};

class PanelHttp : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::sim::SimulatorOptions sim_options;
        sim_options.bind_address = "127.0.0.1";
        sim_options.port = 0;
        sim_ = std::make_unique<orvane::sim::Simulator>(sim_options);
        std::string error;
        ASSERT_TRUE(sim_->start(&error)) << error;

        orvane::panel::PanelOptions options;
        options.listen_address = "127.0.0.1";
        options.listen_port = 0;
        options.log_to_stderr = false;
        options.controllers.push_back({"127.0.0.1", sim_->port(), sim_.get()});
        panel_ = std::make_unique<orvane::panel::Panel>(options);
        ASSERT_TRUE(panel_->start(&error)) << error;
        ASSERT_NE(panel_->port(), 0);
        client_ = std::make_unique<httplib::Client>("127.0.0.1", panel_->port());
        client_->set_read_timeout(5, 0);
        ASSERT_TRUE(wait_ready(5s)) << "the panel's controller did not become ready";
    }

    void TearDown() override {
        streams_.clear();
        if (panel_) panel_->stop();
        if (sim_) sim_->stop();
    }

    bool wait_ready(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const json s = state();
            if (!s.is_null() && s["controllers"][0]["ready"] == true && s["controllers"][0]["rest"].is_array()) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    json state() {
        const auto result = client_->Get("/api/state");
        if (!result || result->status != 200) return json();
        return json::parse(result->body);
    }

    Answer post(const std::string& path, const json& body, const std::string& session = session_a,
                std::optional<std::string> token = std::nullopt, const std::string& type = "application/json",
                const std::string& raw_body = "") {
        httplib::Headers headers;
        const std::string used_token = token ? *token : panel_->token();
        if (!used_token.empty()) headers.emplace("X-Panel-Token", used_token);
        if (!session.empty()) headers.emplace("X-Panel-Session", session);
        const auto result = client_->Post(path.c_str(), headers, raw_body.empty() ? body.dump() : raw_body, type.c_str());
        Answer answer;
        if (!result) return answer;
        answer.status = result->status;
        try {
            answer.body = json::parse(result->body);
        } catch (const json::exception&) {
            answer.body = result->body;
        }
        return answer;
    }

    // Opens the session's event stream and takes the controls.
    EventStream& hold(const std::string& session = session_a) {
        EventStream& stream = open(session);
        const Answer claimed = post("/api/claim", json::object(), session);
        EXPECT_EQ(claimed.status, 200) << claimed.body.dump();
        return stream;
    }
    EventStream& open(const std::string& session) {
        streams_.push_back(std::make_unique<EventStream>(panel_->port(), session));
        EXPECT_TRUE(streams_.back()->wait_frames(1, 3s));
        return *streams_.back();
    }

    // What the simulator received, polls left out.
    std::vector<std::string> commands() const {
        std::vector<std::string> texts;
        for (const auto& c : sim_->received_commands()) {
            if (!is_poll(c.text)) texts.push_back(c.text);
        }
        return texts;
    }

    // The simulator's state that a request could change.
    struct Snapshot {
        std::vector<double> positions;
        std::vector<bool> moving, inputs;
        std::vector<int> outputs, levels;
        std::array<int, 3> fly{};
        bool silent = false;
        double garbage = 0;
        int delay = 0;
        int connections = 0;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() const {
        Snapshot s;
        for (int axis = 0; axis < 6; ++axis) {
            s.positions.push_back(sim_->position(axis));
            s.moving.push_back(sim_->moving(axis));
        }
        for (int n = 1; n <= 24; ++n) {
            s.inputs.push_back(sim_->input(n));
            s.outputs.push_back(sim_->output_value(n));
            s.levels.push_back(sim_->output_level(n));
        }
        s.fly = sim_->fly_setup();
        const auto f = sim_->faults();
        s.silent = f.silent;
        s.garbage = f.garbage_probability;
        s.delay = f.reply_delay_ms;
        s.connections = sim_->connection_count();
        return s;
    }

    // Runs a request that must change nothing, and checks that nothing was
    // sent to the controller and nothing changed at the simulator.
    template <typename Request>
    void expect_no_change(Request request, const std::string& what) {
        const auto before_commands = commands();
        const Snapshot before = snapshot();
        request();
        std::this_thread::sleep_for(60ms);  // the library sends its queue within a few milliseconds
        EXPECT_EQ(commands(), before_commands) << what << ": something reached the controller";
        EXPECT_TRUE(snapshot() == before) << what << ": the simulator's state changed";
    }

    std::unique_ptr<orvane::sim::Simulator> sim_;
    std::unique_ptr<orvane::panel::Panel> panel_;
    std::unique_ptr<httplib::Client> client_;
    std::vector<std::unique_ptr<EventStream>> streams_;
};

// Every state-changing endpoint with a body it would accept.
const std::vector<std::pair<std::string, json>>& valid_requests() {
    static const std::vector<std::pair<std::string, json>> requests = {
        {"/api/claim", json::object()},
        {"/api/release", json::object()},
        {"/api/speed", {{"controller", 0}, {"axis", 0}, {"speed", 10}}},
        {"/api/move", {{"controller", 0}, {"axis", 0}, {"position", 5}, {"speed", 20}}},
        {"/api/home", {{"controller", 0}, {"axis", 0}}},
        {"/api/zero", {{"controller", 0}, {"axis", 0}}},
        {"/api/stop", {{"controller", 0}, {"axis", 0}}},
        {"/api/stop-all", json::object()},
        {"/api/jog", {{"controller", 0}, {"axis", 0}, {"positive", true}}},
        {"/api/heartbeat", json::object()},
        {"/api/jog/stop", {{"controller", 0}, {"axis", 0}}},
        {"/api/output", {{"controller", 0}, {"output", 3}, {"on", true}}},
        {"/api/outputs", {{"controller", 0}, {"on", true}}},
        {"/api/fly/setup", {{"controller", 0}, {"axis", 0}, {"count", 5}, {"interval", 10}}},
        {"/api/fly/start", {{"controller", 0}, {"trigger", 0}, {"mode", 0}}},
        {"/api/raw", {{"controller", 0}, {"text", "hello"}}},
        {"/api/sim/input", {{"controller", 0}, {"input", 7}, {"on", true}}},
        {"/api/sim/fault", {{"controller", 0}, {"fault", "silent"}, {"on", true}}},
    };
    return requests;
}

TEST_F(PanelHttp, ServesThePageWithItsTokenAndRefusesForeignHosts) {
    const auto page = client_->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find(panel_->token()), std::string::npos);
    EXPECT_EQ(page->body.find("@PANEL_TOKEN@"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
    for (const char* path : {"/panel.js", "/panel.css", "/api/state", "/api/lines?controller=0"}) {
        const auto result = client_->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 200) << path;
    }
    // Nothing in the page reaches beyond the panel.
    EXPECT_EQ(page->body.find("http://"), std::string::npos);
    EXPECT_EQ(page->body.find("https://"), std::string::npos);

    // A page of another site that a name resolved to loopback (DNS rebinding).
    const auto foreign = client_->Get("/", {{"Host", "attacker.example:" + std::to_string(panel_->port())}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);
    const auto wrong_port = client_->Get("/api/state", {{"Host", "127.0.0.1:1"}});
    ASSERT_TRUE(wrong_port);
    EXPECT_EQ(wrong_port->status, 403);
}

TEST_F(PanelHttp, EveryStateChangingRequestNeedsTheToken) {
    hold();
    for (const auto& [path, body] : valid_requests()) {
        expect_no_change(
            [&, path = path, body = body] {
                const Answer missing = post(path, body, session_a, std::string());
                EXPECT_EQ(missing.status, 403) << path;
                EXPECT_FALSE(missing.body.value("error", "").empty()) << path;
                const Answer wrong = post(path, body, session_a, std::string(32, '0'));
                EXPECT_EQ(wrong.status, 403) << path;
                // Form posts (which need no preflight) are not taken either.
                const Answer form = post(path, body, session_a, std::nullopt, "application/x-www-form-urlencoded");
                EXPECT_EQ(form.status, 415) << path;
                // Nor a page of another origin that has the token somehow.
                httplib::Headers headers{{"X-Panel-Token", panel_->token()},
                                         {"X-Panel-Session", session_a},
                                         {"Origin", "http://attacker.example"}};
                const auto foreign = client_->Post(path.c_str(), headers, body.dump(), "application/json");
                ASSERT_TRUE(foreign) << path;
                EXPECT_EQ(foreign->status, 403) << path;
            },
            path + " without the token");
    }
    // The reading side needs none, and GET changes nothing.
    const auto get_move = client_->Get("/api/move");
    ASSERT_TRUE(get_move);
    EXPECT_EQ(get_move->status, 404);
}

TEST_F(PanelHttp, BadInputIsRefusedWith400AndAMessageAndChangesNothing) {
    hold();
    const std::vector<std::pair<std::string, json>> bad = {
        {"/api/claim", {{"force", "yes"}}},
        {"/api/speed", {{"axis", 0}, {"speed", 0}}},
        {"/api/speed", {{"axis", 0}, {"speed", -5}}},
        {"/api/speed", {{"axis", 0}, {"speed", 1e9}}},
        {"/api/speed", {{"axis", 0}, {"speed", "fast"}}},
        {"/api/speed", {{"axis", 6}, {"speed", 10}}},
        {"/api/move", {{"axis", 0}}},
        {"/api/move", {{"axis", 0}, {"position", "10"}}},
        {"/api/move", {{"axis", 0}, {"position", 1e7}}},
        {"/api/move", {{"axis", 0}, {"position", 5}, {"speed", 0}}},
        {"/api/move", {{"axis", -1}, {"position", 5}}},
        {"/api/move", {{"axis", 1.5}, {"position", 5}}},
        {"/api/move", {{"controller", 1}, {"axis", 0}, {"position", 5}}},
        {"/api/home", {{"axis", 9}}},
        {"/api/home", {{"axis", 0}, {"speed", -1}}},
        {"/api/zero", {{"axis", "0"}}},
        {"/api/stop", {{"axis", 6}}},
        {"/api/stop", {{"axis", 0}, {"mode", 256}}},
        {"/api/jog", {{"axis", 0}}},
        {"/api/jog", {{"axis", 0}, {"positive", 1}}},
        {"/api/jog", {{"axis", 0}, {"positive", true}, {"speed", 0}}},
        {"/api/jog/stop", {{"axis", 7}}},
        {"/api/output", {{"output", 0}, {"on", true}}},
        {"/api/output", {{"output", 25}, {"on", true}}},
        {"/api/output", {{"output", 3}, {"value", 256}}},
        {"/api/output", {{"output", 3}, {"value", -1}}},
        {"/api/output", {{"output", 3}}},
        {"/api/output", {{"output", 3}, {"on", true}, {"value", 5}}},
        {"/api/outputs", json::object()},
        {"/api/fly/setup", {{"axis", 0}, {"count", 0}, {"interval", 10}}},
        {"/api/fly/setup", {{"axis", 0}, {"count", 5}, {"interval", 0}}},
        {"/api/fly/setup", {{"axis", 8}, {"count", 5}, {"interval", 10}}},
        {"/api/fly/start", {{"trigger", 2}, {"mode", 0}}},
        {"/api/fly/start", {{"trigger", 0}}},
        {"/api/raw", {{"text", ""}}},
        {"/api/raw", {{"text", "160:0,10.0,5.000000!\n160:1,10.0,5.000000!"}}},
        {"/api/raw", {{"text", std::string(201, 'a')}}},
        {"/api/raw", {{"text", 5}}},
        {"/api/sim/input", {{"input", 25}, {"on", true}}},
        {"/api/sim/input", {{"input", 7}}},
        {"/api/sim/fault", {{"fault", "melt"}}},
        {"/api/sim/fault", {{"fault", "garbage"}, {"probability", 2}}},
        {"/api/sim/fault", {{"fault", "delay"}, {"ms", -1}}},
        {"/api/sim/fault", {{"fault", "silent"}}},
    };
    for (const auto& [path, body] : bad) {
        const std::string what = path + " " + body.dump();
        expect_no_change(
            [&] {
                const Answer answer = post(path, body);
                EXPECT_EQ(answer.status, 400) << what << " -> " << answer.body.dump();
                ASSERT_TRUE(answer.body.is_object()) << what;
                EXPECT_EQ(answer.body.value("ok", true), false) << what;
                EXPECT_GT(answer.body.value("error", "").size(), 10u) << what;
            },
            what);
    }
    // Bodies that are no JSON object, and a missing session id.
    for (const std::string raw : {"{", "[1,2]", "\"text\"", "nul"}) {
        expect_no_change(
            [&] {
                const Answer answer = post("/api/move", json(), session_a, std::nullopt, "application/json", raw);
                EXPECT_EQ(answer.status, 400) << raw;
                EXPECT_FALSE(answer.body.value("error", "").empty()) << raw;
            },
            "body " + raw);
    }
    expect_no_change(
        [&] {
            const Answer answer = post("/api/move", {{"axis", 0}, {"position", 5}}, "short");
            EXPECT_EQ(answer.status, 400);
            EXPECT_NE(answer.body.value("error", "").find("X-Panel-Session"), std::string::npos);
        },
        "a malformed session id");
    const auto no_session = client_->Get("/api/events");
    ASSERT_TRUE(no_session);
    EXPECT_EQ(no_session->status, 400);
    const auto bad_lines = client_->Get("/api/lines?controller=3");
    ASSERT_TRUE(bad_lines);
    EXPECT_EQ(bad_lines->status, 400);
}

TEST_F(PanelHttp, ControlsReachTheController) {
    hold();
    ASSERT_EQ(post("/api/move", {{"axis", 0}, {"position", 2.5}, {"speed", 50}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:0,50.0,2.500000!", 2000));
    ASSERT_TRUE(sim_->wait_for_still(0, 5000));
    EXPECT_DOUBLE_EQ(sim_->position(0), 2.5);

    ASSERT_EQ(post("/api/speed", {{"axis", 1}, {"speed", 12.5}}).status, 200);
    ASSERT_EQ(post("/api/move", {{"axis", 1}, {"position", -1}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("160:1,12.5,-1.000000!", 2000));

    ASSERT_EQ(post("/api/home", {{"axis", 2}, {"speed", 30}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("130:2,30.000000!", 2000));
    ASSERT_EQ(post("/api/zero", {{"axis", 0}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("170:0!", 2000));
    ASSERT_EQ(post("/api/stop", {{"axis", 1}, {"mode", 1}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("140:1,1!", 2000));

    ASSERT_EQ(post("/api/output", {{"output", 3}, {"value", 7}}).status, 200);
    ASSERT_EQ(post("/api/output", {{"output", 5}, {"on", true}}).status, 200);
    const auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline && (sim_->output_value(3) != 7 || sim_->output_value(5) == 0)) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(sim_->output_value(3), 7);
    EXPECT_GT(sim_->output_value(5), 0);
    ASSERT_EQ(post("/api/outputs", {{"on", false}}).status, 200);
    const auto off_deadline = Clock::now() + 2s;
    while (Clock::now() < off_deadline && sim_->output_value(3) != 0) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sim_->output_value(3), 0);

    ASSERT_EQ(post("/api/fly/setup", {{"axis", 0}, {"count", 4}, {"interval", 5}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("490:0,4,5!", 2000));
    ASSERT_EQ(post("/api/fly/start", {{"trigger", 0}, {"mode", 0}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_sent("520", 1, 2000));

    const Answer raw = post("/api/raw", {{"text", "hello panel"}});
    ASSERT_EQ(raw.status, 200) << raw.body.dump();
    EXPECT_EQ(raw.body.value("answer", ""), "echo hello panel");

    // The simulator's side: an input the library then reports, and faults.
    ASSERT_EQ(post("/api/sim/input", {{"input", 7}, {"on", true}}).status, 200);
    EXPECT_TRUE(sim_->input(7));
    bool reported = false;
    for (int i = 0; i < 100 && !reported; ++i) {
        reported = state()["controllers"][0]["inputs"] == "000000100000000000000000";
        if (!reported) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(reported);
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "garbage"}, {"probability", 0.25}}).status, 200);
    EXPECT_DOUBLE_EQ(sim_->faults().garbage_probability, 0.25);
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "delay"}, {"ms", 40}}).status, 200);
    EXPECT_EQ(sim_->faults().reply_delay_ms, 40);
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "silent"}, {"on", true}}).status, 200);
    EXPECT_TRUE(sim_->faults().silent);
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "silent"}, {"on", false}}).status, 200);
    const int connections = sim_->connection_count();
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "drop"}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_connections(connections + 1, 5000)) << "the library did not reconnect";

    // The protocol lines in both directions.
    const auto lines = client_->Get("/api/lines?controller=0&since=0");
    ASSERT_TRUE(lines);
    const json list = json::parse(lines->body)["lines"];
    bool saw_received = false, saw_sent = false;
    for (const json& line : list) {
        saw_received = saw_received || (line[2] == "<" && line[4] == "160:0,50.0,2.500000!");
        saw_sent = saw_sent || (line[2] == ">" && line[4].get<std::string>().rfind("100:", 0) == 0);
    }
    EXPECT_TRUE(saw_received);
    EXPECT_TRUE(saw_sent);
}

TEST_F(PanelHttp, OnePageHoldsTheControlsAtATime) {
    EventStream& a = hold(session_a);
    open(session_b);
    ASSERT_TRUE(a.wait_frames(a.frames() + 2, 2s));
    EXPECT_EQ(a.last()["you"], true);

    // B is told that another page holds them, and can change nothing ...
    const Answer refused = post("/api/claim", json::object(), session_b);
    EXPECT_EQ(refused.status, 409);
    EXPECT_NE(refused.body.value("error", "").find("another page"), std::string::npos);
    expect_no_change(
        [&] {
            EXPECT_EQ(post("/api/move", {{"axis", 0}, {"position", 3}}, session_b).status, 409);
            EXPECT_EQ(post("/api/jog", {{"axis", 0}, {"positive", true}}, session_b).status, 409);
            EXPECT_EQ(post("/api/sim/input", {{"input", 2}, {"on", true}}, session_b).status, 409);
        },
        "requests of a page that does not hold the controls");
    // ... but may always stop.
    EXPECT_EQ(post("/api/stop", {{"axis", 0}}, session_b).status, 200);
    EXPECT_EQ(post("/api/stop-all", json::object(), session_b).status, 200);

    // Taking over is explicit; then A is the one that only watches.
    EXPECT_EQ(post("/api/claim", {{"force", true}}, session_b).status, 200);
    EXPECT_EQ(post("/api/move", {{"axis", 0}, {"position", 3}}, session_a).status, 409);
    EXPECT_EQ(post("/api/claim", json::object(), session_a).status, 409);

    // Once B's page is gone, A takes them without force.
    streams_.back()->close();
    const auto deadline = Clock::now() + 2s;
    int status = 0;
    while (Clock::now() < deadline && (status = post("/api/claim", json::object(), session_a).status) != 200) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(status, 200);

    // A session without an open stream cannot hold the controls.
    EXPECT_EQ(post("/api/claim", {{"force", true}}, "cccccccccccccccccccccccc").status, 409);
}

TEST_F(PanelHttp, ClosingThePageThatHoldsTheControlsStopsWhatItStarted) {
    EventStream& a = hold();
    ASSERT_EQ(post("/api/move", {{"axis", 1}, {"position", 500}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:1,", 2000));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(sim_->moving(1));
    const auto closed = Clock::now();
    a.close();
    ASSERT_TRUE(sim_->wait_for_command("140:1,", 2000)) << "no stop after the page went away";
    const auto stopped_after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closed);
    EXPECT_LT(stopped_after.count(), 500);
    EXPECT_TRUE(sim_->wait_for_still(1, 2000));
}

TEST_F(PanelHttp, AJogWithoutHeartbeatsStopsAfter300Ms) {
    hold();
    ASSERT_EQ(post("/api/jog", {{"axis", 2}, {"positive", true}, {"speed", 10}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("150:2,10.0,1!", 2000));
    // Heartbeats keep it going ...
    auto last_beat = Clock::now();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(100ms);
        const Answer beat = post("/api/heartbeat", json::object());
        last_beat = Clock::now();
        ASSERT_EQ(beat.status, 200);
        EXPECT_EQ(beat.body.value("jogs", 0), 1);
    }
    EXPECT_EQ(sim_->command_count("140:"), 0u);
    EXPECT_TRUE(sim_->moving(2));
    // ... and without them the panel stops it.
    ASSERT_TRUE(sim_->wait_for_command("140:2,", 1500));
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_beat).count();
    EXPECT_GE(after, 280);
    EXPECT_LE(after, 600);
    EXPECT_TRUE(sim_->wait_for_still(2, 2000));
}

TEST_F(PanelHttp, JogStopAndStopAllStopTheAxes) {
    hold();
    ASSERT_EQ(post("/api/jog", {{"axis", 3}, {"positive", false}, {"speed", 10}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("150:3,10.0,0!", 2000));
    ASSERT_EQ(post("/api/jog/stop", {{"axis", 3}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_command("140:3,0!", 1000));

    ASSERT_EQ(post("/api/move", {{"axis", 4}, {"position", 300}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:4,", 2000));
    const Answer all = post("/api/stop-all", json::object());
    ASSERT_EQ(all.status, 200);
    EXPECT_EQ(all.body.value("stopped", 0), 6);
    EXPECT_TRUE(sim_->wait_for_command("140:4,0!", 1000));
    EXPECT_TRUE(sim_->wait_for_commands("140:", 7, 1000));
    EXPECT_TRUE(sim_->wait_for_still(4, 2000));
}

TEST_F(PanelHttp, StoppingThePanelStopsWhatItStarted) {
    hold();
    ASSERT_EQ(post("/api/move", {{"axis", 5}, {"position", 400}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:5,", 2000));
    panel_->stop();
    EXPECT_TRUE(sim_->wait_for_command("140:5,", 1000));
    EXPECT_TRUE(sim_->wait_for_still(5, 2000));
}

TEST_F(PanelHttp, StreamsAtLeastTwentyFramesASecond) {
    EventStream& a = open(session_a);
    const int first = a.frames();
    std::this_thread::sleep_for(1s);
    EXPECT_GE(a.frames() - first, 20);
    const json frame = a.last();
    ASSERT_TRUE(frame.is_object());
    EXPECT_EQ(frame["you"], false);
    const json& c = frame["state"]["controllers"][0];
    EXPECT_EQ(c["connected"], true);
    EXPECT_EQ(c["pos"].size(), 6u);
    EXPECT_EQ(c["levels"].size(), 24u);
    EXPECT_EQ(c["version"], "orvane-sim 0.1.0");
    EXPECT_TRUE(c["sim"].is_object());
}

// The subcommand for the orvane tool: options are checked, and a run ends
// the parse with CLI::RuntimeError carrying the exit status.
TEST(PanelCommand, RegistersThePanelSubcommandOnATool) {
    const auto parse = [](std::vector<std::string> args) {
        CLI::App app{"tool"};
        orvane::panel::add_panel_command(app);
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    };
    try {
        parse({"panel", "--listen", "not-an-address"});
        FAIL() << "the panel ran with a bad --listen";
    } catch (const CLI::RuntimeError& e) {
        EXPECT_EQ(e.get_exit_code(), 1);
    }
    EXPECT_THROW(parse({"panel", "--rate", "5"}), CLI::ValidationError);
    EXPECT_THROW(parse({"panel", "--sim-type", "3"}), CLI::ValidationError);
    EXPECT_THROW(parse({"panel", "--port", "70000"}), CLI::ValidationError);
    try {
        parse({"panel", "--host", "127.0.0.1:99999"});
        FAIL() << "the panel ran with a bad --host";
    } catch (const CLI::RuntimeError& e) {
        EXPECT_EQ(e.get_exit_code(), 1);
    }
}

}  // namespace
