// The panel's HTTP endpoints, against a panel in this process on 127.0.0.1
// with a simulator: the token, the holder of the controls, bad input (400,
// nothing sent, nothing changed), what each control does, and the stops.
#include <gtest/gtest.h>
#include <httplib.h>

#include <CLI/CLI.hpp>

#include <orvane_panel/panel.h>
#include <orvane_sim/simulator.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string session_a(32, 'a');
const std::string session_b(32, 'b');

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// An open event stream of one session, read on a thread of its own.
class EventStream {
public:
    EventStream(std::uint16_t port, const std::string& session) : client_("127.0.0.1", port) {
        client_.set_read_timeout(5, 0);
        thread_ = std::thread([this, session] {
            client_.Get(("/api/events?session=" + session).c_str(), [this](const char* data, std::size_t size) {
                std::lock_guard lock(mutex_);
                buffer_.append(data, size);
                for (std::size_t end; (end = buffer_.find("\n\n")) != std::string::npos; buffer_.erase(0, end + 2)) {
                    if (buffer_.rfind("data: ", 0) == 0) last_ = buffer_.substr(6, end - 6), ++frames_;
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
        return wait_until([&] { return frames() >= count; }, timeout);
    }
    json last() {
        std::lock_guard lock(mutex_);
        return last_.empty() ? json() : json::parse(last_);
    }
    int frames() const { return frames_.load(); }

private:
    httplib::Client client_;
    std::thread thread_;
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::string buffer_, last_;
    std::atomic<int> frames_{0};
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
        options.log_to_stderr = false;
        options.controllers.push_back({"127.0.0.1", sim_->port(), sim_.get()});
        panel_ = std::make_unique<orvane::panel::Panel>(options);
        ASSERT_TRUE(panel_->start(&error)) << error;
        ASSERT_EQ(panel_->address(), "127.0.0.1");  // loopback unless named otherwise
        client_ = std::make_unique<httplib::Client>("127.0.0.1", panel_->port());
        client_->set_read_timeout(5, 0);
        ASSERT_TRUE(wait_until(
            [&] {
                const json s = state();
                return !s.is_null() && s["controllers"][0]["ready"] == true && s["controllers"][0]["rest"].is_array();
            },
            5s))
            << "the panel's controller did not become ready";
    }

    json state() {
        const auto result = client_->Get("/api/state");
        return result && result->status == 200 ? json::parse(result->body) : json();
    }
    int get_status(const std::string& path, const httplib::Headers& headers = {}) {
        const auto result = client_->Get(path.c_str(), headers);
        return result ? result->status : 0;
    }

    // A POST with the page's token and session unless others are given.
    Answer post(const std::string& path, const json& body, const std::string& session = session_a,
                std::optional<std::string> token = std::nullopt, const std::string& type = "application/json",
                const std::string& raw_body = "") {
        httplib::Headers headers;
        const std::string used_token = token ? *token : panel_->token();
        if (!used_token.empty()) headers.emplace("X-Panel-Token", used_token);
        if (!session.empty()) headers.emplace("X-Panel-Session", session);
        const auto result =
            client_->Post(path.c_str(), headers, raw_body.empty() ? body.dump() : raw_body, type.c_str());
        if (!result) return {};
        json parsed = json::parse(result->body, nullptr, false);
        return {result->status, parsed.is_discarded() ? json(result->body) : parsed};
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

    // What the simulator received (polls left out), and what the panel's
    // simulator controls change at it without a command.
    using Observed = std::tuple<std::vector<std::string>, std::vector<bool>, bool, double, int, int>;
    Observed observed() const {
        std::vector<std::string> texts;
        for (const auto& c : sim_->received_commands()) {
            if (c.text != "190:190" && c.text != "125:125" && c.text != "2001:2001") texts.push_back(c.text);
        }
        std::vector<bool> inputs;
        for (int n = 1; n <= 24; ++n) inputs.push_back(sim_->input(n));
        const auto f = sim_->faults();
        return std::make_tuple(texts, inputs, f.silent, f.garbage_probability, f.reply_delay_ms,
                               sim_->connection_count());
    }

    // After requests that must change nothing at the controller: nothing did.
    void expect_unchanged(const Observed& before, const std::string& what) {
        std::this_thread::sleep_for(60ms);  // a window for anything queued to go out (a few ms)
        EXPECT_TRUE(observed() == before) << what << ": something reached or changed the controller";
    }

    // Ended in reverse order: the streams, the panel (which stops what it started), the simulator.
    std::unique_ptr<orvane::sim::Simulator> sim_;
    std::unique_ptr<orvane::panel::Panel> panel_;
    std::unique_ptr<httplib::Client> client_;
    std::vector<std::unique_ptr<EventStream>> streams_;
};

TEST_F(PanelHttp, ServesThePageAndStreamWithItsTokenAndRefusesForeignHosts) {
    const auto page = client_->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find(panel_->token()), std::string::npos);
    EXPECT_EQ(page->body.find("@PANEL_TOKEN@"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
    // Nothing in the page reaches beyond the panel.
    EXPECT_TRUE(page->body.find("http://") == std::string::npos && page->body.find("https://") == std::string::npos);
    for (const char* path : {"/panel.js", "/panel.css", "/api/state", "/api/lines?controller=0"}) {
        EXPECT_EQ(get_status(path), 200) << path;
    }
    // A page of another site that a name resolved to loopback (DNS rebinding).
    EXPECT_EQ(get_status("/", {{"Host", "attacker.example:" + std::to_string(panel_->port())}}), 403);
    EXPECT_EQ(get_status("/api/state", {{"Host", "127.0.0.1:1"}}), 403);
    EXPECT_EQ(get_status("/api/move"), 404);  // GET changes nothing
    // At least twenty frames a second.
    EventStream& a = open(session_a);
    EXPECT_TRUE(a.wait_frames(a.frames() + 20, 1s));
    const json frame = a.last();
    ASSERT_TRUE(frame.is_object());
    const json& c = frame["state"]["controllers"][0];
    EXPECT_EQ(
        json({frame["you"], c["connected"], c["pos"].size(), c["levels"].size(), c["version"], c["sim"].is_object()}),
        json({false, true, 6, 24, "orvane-sim 0.1.0", true}));
}

TEST_F(PanelHttp, EveryStateChangingRequestNeedsTheToken) {
    hold();
    // Every state-changing endpoint with a body it would accept.
    const json requests = json::parse(R"([
        ["/api/claim", {}], ["/api/release", {}], ["/api/stop-all", {}], ["/api/heartbeat", {}],
        ["/api/speed", {"controller": 0, "axis": 0, "speed": 10}],
        ["/api/move", {"controller": 0, "axis": 0, "position": 5, "speed": 20}],
        ["/api/home", {"controller": 0, "axis": 0}], ["/api/zero", {"controller": 0, "axis": 0}],
        ["/api/stop", {"controller": 0, "axis": 0}], ["/api/jog/stop", {"controller": 0, "axis": 0}],
        ["/api/jog", {"controller": 0, "axis": 0, "positive": true}],
        ["/api/output", {"controller": 0, "output": 3, "on": true}], ["/api/outputs", {"controller": 0, "on": true}],
        ["/api/fly/setup", {"controller": 0, "axis": 0, "count": 5, "interval": 10}],
        ["/api/fly/start", {"controller": 0, "trigger": 0, "mode": 0}], ["/api/raw", {"controller": 0, "text": "hello"}],
        ["/api/sim/input", {"controller": 0, "input": 7, "on": true}],
        ["/api/sim/fault", {"controller": 0, "fault": "silent", "on": true}]])");
    for (const json& request : requests) {
        const std::string path = request[0];
        const json& body = request[1];
        const Observed before = observed();
        const Answer missing = post(path, body, session_a, std::string());
        EXPECT_TRUE(missing.status == 403 && !missing.body.value("error", "").empty()) << path;
        EXPECT_EQ(post(path, body, session_a, std::string(32, '0')).status, 403) << path;
        // Form posts (which need no preflight) are not taken either.
        EXPECT_EQ(post(path, body, session_a, std::nullopt, "application/x-www-form-urlencoded").status, 415);
        // Nor a page of another origin that has the token somehow.
        const auto foreign = client_->Post(
            path.c_str(),
            {{"X-Panel-Token", panel_->token()}, {"X-Panel-Session", session_a}, {"Origin", "http://a.example"}},
            body.dump(), "application/json");
        EXPECT_TRUE(foreign && foreign->status == 403) << path;
        expect_unchanged(before, path + " without the token");
    }
}

TEST_F(PanelHttp, BadInputIsRefusedWith400AndAMessageAndChangesNothing) {
    hold();
    // Per endpoint, bodies it must refuse; a string is sent as it is (no JSON object).
    json bad = json::parse(R"([
        ["/api/claim", {"force": "yes"}],
        ["/api/speed", {"axis": 0, "speed": 0}, {"axis": 0, "speed": -5}, {"axis": 0, "speed": 1e9},
                       {"axis": 0, "speed": "fast"}, {"axis": 6, "speed": 10}],
        ["/api/move", {"axis": 0}, {"axis": 0, "position": "10"}, {"axis": 0, "position": 1e7},
                      {"axis": 0, "position": 5, "speed": 0}, {"axis": -1, "position": 5}, {"axis": 1.5, "position": 5},
                      {"controller": 1, "axis": 0, "position": 5}, "{", "[1,2]", "\"text\"", "nul"],
        ["/api/home", {"axis": 9}, {"axis": 0, "speed": -1}],
        ["/api/zero", {"axis": "0"}],
        ["/api/stop", {"axis": 6}, {"axis": 0, "mode": 256}],
        ["/api/jog", {"axis": 0}, {"axis": 0, "positive": 1}, {"axis": 0, "positive": true, "speed": 0}],
        ["/api/jog/stop", {"axis": 7}],
        ["/api/output", {"output": 0, "on": true}, {"output": 25, "on": true}, {"output": 3, "value": 256},
                        {"output": 3, "value": -1}, {"output": 3}, {"output": 3, "on": true, "value": 5}],
        ["/api/outputs", {}],
        ["/api/fly/setup", {"axis": 0, "count": 0, "interval": 10}, {"axis": 0, "count": 5, "interval": 0},
                           {"axis": 8, "count": 5, "interval": 10}],
        ["/api/fly/start", {"trigger": 2, "mode": 0}, {"trigger": 0}],
        ["/api/raw", {"text": ""}, {"text": "160:0,10.0,5.000000!\n160:1,10.0,5.000000!"}, {"text": 5}],
        ["/api/sim/input", {"input": 25, "on": true}, {"input": 7}],
        ["/api/sim/fault", {"fault": "melt"}, {"fault": "garbage", "probability": 2}, {"fault": "delay", "ms": -1},
                           {"fault": "silent"}]])");
    bad.push_back({"/api/raw", {{"text", std::string(201, 'a')}}});
    for (const json& endpoint : bad) {
        const std::string path = endpoint[0];
        for (std::size_t i = 1; i < endpoint.size(); ++i) {
            const json& body = endpoint[i];
            const std::string what = path + " " + body.dump();
            const Observed before = observed();
            const Answer answer = body.is_string()
                                      ? post(path, json(), session_a, std::nullopt, "application/json", body)
                                      : post(path, body);
            EXPECT_EQ(answer.status, 400) << what << " -> " << answer.body.dump();
            EXPECT_EQ(answer.body.value("ok", true), false) << what;
            EXPECT_GT(answer.body.value("error", "").size(), 10u) << what;
            expect_unchanged(before, what);
        }
    }
    const Observed before = observed();
    const Answer answer = post("/api/move", {{"axis", 0}, {"position", 5}}, "short");
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.body.value("error", "").find("X-Panel-Session"), std::string::npos);
    expect_unchanged(before, "a malformed session id");
    EXPECT_EQ(get_status("/api/events"), 400);  // no session
    EXPECT_EQ(get_status("/api/lines?controller=3"), 400);
}

TEST_F(PanelHttp, ControlsReachTheController) {
    hold();
    // Each control and its command (a speed is sent with the next move).
    const json controls = json::parse(R"([
        ["/api/move", {"axis": 0, "position": 2.5, "speed": 50}, "160:0,50.0,2.500000!"],
        ["/api/speed", {"axis": 1, "speed": 12.5}, ""],
        ["/api/move", {"axis": 1, "position": -1}, "160:1,12.5,-1.000000!"],
        ["/api/home", {"axis": 2, "speed": 30}, "130:2,30.000000!"], ["/api/zero", {"axis": 0}, "170:0!"],
        ["/api/stop", {"axis": 1, "mode": 1}, "140:1,1!"],
        ["/api/fly/setup", {"axis": 0, "count": 4, "interval": 5}, "490:0,4,5!"],
        ["/api/jog", {"axis": 3, "positive": false, "speed": 10}, "150:3,10.0,0!"],
        ["/api/jog/stop", {"axis": 3}, "140:3,0!"]])");
    for (const json& control : controls) {
        ASSERT_EQ(post(control[0], control[1]).status, 200) << control.dump();
        EXPECT_TRUE(sim_->wait_for_command(control[2].get<std::string>(), 2000)) << control.dump();
    }
    ASSERT_EQ(post("/api/fly/start", {{"trigger", 0}, {"mode", 0}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_sent("520", 1, 2000));

    ASSERT_EQ(post("/api/output", {{"output", 3}, {"value", 7}}).status, 200);
    ASSERT_EQ(post("/api/output", {{"output", 5}, {"on", true}}).status, 200);
    EXPECT_TRUE(wait_until([&] { return sim_->output_value(3) == 7 && sim_->output_value(5) > 0; }, 2s));
    ASSERT_EQ(post("/api/outputs", {{"on", false}}).status, 200);
    EXPECT_TRUE(wait_until([&] { return sim_->output_value(3) == 0; }, 2s));

    EXPECT_EQ(post("/api/raw", {{"text", "hello panel"}}).body.value("answer", ""), "echo hello panel");

    // The simulator's side: an input the library then reports, and faults.
    ASSERT_EQ(post("/api/sim/input", {{"input", 7}, {"on", true}}).status, 200);
    EXPECT_TRUE(sim_->input(7));
    EXPECT_TRUE(wait_until([&] { return state()["controllers"][0]["inputs"] == "000000100000000000000000"; }, 2s));
    for (const json& fault : json::parse(R"([{"fault": "garbage", "probability": 0.25}, {"fault": "delay", "ms": 40},
                                             {"fault": "silent", "on": true}])")) {
        ASSERT_EQ(post("/api/sim/fault", fault).status, 200) << fault.dump();
    }
    EXPECT_TRUE(sim_->faults().garbage_probability == 0.25 && sim_->faults().reply_delay_ms == 40 &&
                sim_->faults().silent);
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "silent"}, {"on", false}}).status, 200);
    const int connections = sim_->connection_count();
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "drop"}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_connections(connections + 1, 5000)) << "the library did not reconnect";

    // The protocol lines in both directions.
    const json lines = json::parse(client_->Get("/api/lines?controller=0&since=0")->body)["lines"];
    const auto logged = [&](const char* direction, const std::string& prefix) {
        return std::any_of(lines.begin(), lines.end(), [&](const json& line) {
            return line[2] == direction && line[4].get<std::string>().rfind(prefix, 0) == 0;
        });
    };
    EXPECT_TRUE(logged("<", "160:0,50.0,2.500000!") && logged(">", "100:"));
}

TEST_F(PanelHttp, OnePageHoldsTheControlsAtATime) {
    EventStream& a = hold(session_a);
    open(session_b);
    ASSERT_TRUE(a.wait_frames(a.frames() + 2, 2s));
    EXPECT_EQ(a.last()["you"], true);
    // B is told that another page holds them, and can change nothing ...
    const Answer refused = post("/api/claim", json::object(), session_b);
    EXPECT_TRUE(refused.status == 409 && refused.body.value("error", "").find("another page") != std::string::npos);
    const Observed before = observed();
    EXPECT_EQ(post("/api/move", {{"axis", 0}, {"position", 3}}, session_b).status, 409);
    EXPECT_EQ(post("/api/jog", {{"axis", 0}, {"positive", true}}, session_b).status, 409);
    EXPECT_EQ(post("/api/sim/input", {{"input", 2}, {"on", true}}, session_b).status, 409);
    expect_unchanged(before, "requests of a page that does not hold the controls");
    // ... but may always stop.
    EXPECT_EQ(post("/api/stop", {{"axis", 0}}, session_b).status, 200);
    EXPECT_EQ(post("/api/stop-all", json::object(), session_b).status, 200);
    // Taking over is explicit; then A is the one that only watches.
    EXPECT_EQ(post("/api/claim", {{"force", true}}, session_b).status, 200);
    EXPECT_EQ(post("/api/move", {{"axis", 0}, {"position", 3}}, session_a).status, 409);
    EXPECT_EQ(post("/api/claim", json::object(), session_a).status, 409);
    // Once B's page is gone, A takes them without force.
    streams_.back()->close();
    EXPECT_TRUE(wait_until([&] { return post("/api/claim", json::object(), session_a).status == 200; }, 2s));
    // A session without an open stream cannot hold the controls.
    EXPECT_EQ(post("/api/claim", {{"force", true}}, std::string(24, 'c')).status, 409);
}

TEST_F(PanelHttp, ClosingThePageThatHoldsTheControlsStopsWhatItStarted) {
    EventStream& a = hold();
    ASSERT_EQ(post("/api/move", {{"axis", 1}, {"position", 500}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(wait_until([&] { return sim_->position(1) > 1; }, 2s));
    const auto closed = Clock::now();
    a.close();
    ASSERT_TRUE(sim_->wait_for_command("140:1,", 2000)) << "no stop after the page went away";
    EXPECT_LT(Clock::now() - closed, 500ms);
    EXPECT_TRUE(sim_->wait_for_still(1, 2000));
}

TEST_F(PanelHttp, AJogWithoutHeartbeatsStopsAfter300Ms) {
    hold();
    ASSERT_EQ(post("/api/jog", {{"axis", 2}, {"positive", true}, {"speed", 10}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("150:2,10.0,1!", 2000));
    // Heartbeats keep it going (the pauses between them are the point) ...
    auto last_beat = Clock::now();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(100ms);
        const Answer beat = post("/api/heartbeat", json::object());
        last_beat = Clock::now();
        ASSERT_TRUE(beat.status == 200 && beat.body.value("jogs", 0) == 1) << beat.body.dump();
    }
    EXPECT_TRUE(sim_->command_count("140:") == 0 && sim_->moving(2));
    // ... and without them the panel stops it.
    ASSERT_TRUE(sim_->wait_for_command("140:2,", 1500));
    const auto after = Clock::now() - last_beat;
    EXPECT_TRUE(after >= 280ms && after <= 600ms);
    EXPECT_TRUE(sim_->wait_for_still(2, 2000));
}

TEST_F(PanelHttp, StopAllAndStoppingThePanelStopTheAxes) {
    hold();
    ASSERT_EQ(post("/api/move", {{"axis", 4}, {"position", 300}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:4,", 2000));
    const Answer all = post("/api/stop-all", json::object());
    ASSERT_EQ(all.status, 200);
    EXPECT_EQ(all.body.value("stopped", 0), 6);
    EXPECT_TRUE(sim_->wait_for_command("140:4,0!", 1000));
    EXPECT_TRUE(sim_->wait_for_commands("140:", 6, 1000));  // one per axis
    EXPECT_TRUE(sim_->wait_for_still(4, 2000));

    ASSERT_EQ(post("/api/move", {{"axis", 5}, {"position", 400}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:5,", 2000));
    panel_->stop();
    EXPECT_TRUE(sim_->wait_for_command("140:5,", 1000));
    EXPECT_TRUE(sim_->wait_for_still(5, 2000));
}

// The tool's subcommand: options are checked, and a run ends the parse with
// CLI::RuntimeError carrying the exit status.
TEST(PanelCommand, RegistersThePanelSubcommandOnATool) {
    const auto parse = [](const std::string& line) {
        CLI::App app{"tool"};
        orvane::panel::add_panel_command(app);
        try {
            app.parse(line);
        } catch (const CLI::RuntimeError& e) {
            return e.get_exit_code();
        }
        return -1;
    };
    EXPECT_EQ(parse("panel --listen not-an-address"), 1);
    EXPECT_EQ(parse("panel --host 127.0.0.1:99999"), 1);
    for (const char* line : {"panel --rate 5", "panel --sim-type 3", "panel --port 70000"}) {
        EXPECT_THROW(parse(line), CLI::ValidationError) << line;
    }
}

}  // namespace
