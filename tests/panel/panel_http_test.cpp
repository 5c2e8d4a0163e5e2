// The panel's HTTP endpoints, against a panel in this process on 127.0.0.1 with a simulator.
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

const std::string session_a(32, 'a');
const std::string session_b(32, 'b');
constexpr auto npos = std::string::npos;

template <class Done>
bool wait_until(const Done& done, std::chrono::milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; !done(); std::this_thread::sleep_for(5ms))
        if (Clock::now() >= deadline) return false;
    return true;
}

// An open event stream of one session, read on a thread of its own.
struct EventStream {
    EventStream(std::uint16_t port, const std::string& session) : client_("127.0.0.1", port) {
        client_.set_read_timeout(5, 0);
        thread_ = std::thread([this, session] {
            client_.Get(("/api/events?session=" + session).c_str(), [this](const char* data, std::size_t size) {
                std::lock_guard lock(mutex_);
                buffer_.append(data, size);
                for (std::size_t end; (end = buffer_.find("\n\n")) != npos; buffer_.erase(0, end + 2))
                    if (buffer_.rfind("data: ", 0) == 0) last_ = buffer_.substr(6, end - 6), ++frames_;
                return !closing_.load();
            });
        });
    }
    ~EventStream() { close(); }
    void close() {  // as a closed page does
        closing_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool wait_more_frames(int more, std::chrono::milliseconds timeout) {
        const int target = frames_ + more;
        return wait_until([&] { return frames_ >= target; }, timeout);
    }
    json last() {
        std::lock_guard lock(mutex_);
        return last_.empty() ? json() : json::parse(last_);
    }

    std::atomic<int> frames_{0};
    httplib::Client client_;
    std::thread thread_;
    std::atomic<bool> closing_{false};
    std::mutex mutex_;
    std::string buffer_, last_;
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
        ASSERT_TRUE(wait_until([&] { return controller()["ready"] == true && controller()["rest"].is_array(); }, 5s));
    }

    json controller() {  // the state of the panel's controller, null before there is one
        const auto result = client_->Get("/api/state");
        return result && result->status == 200 ? json::parse(result->body)["controllers"][0] : json();
    }

    // A POST with the page's token and session unless others are given; a JSON string goes as it is.
    Answer post(const std::string& path, const json& body, const std::string& session = session_a,
                std::optional<std::string> token = std::nullopt, const std::string& type = "application/json",
                httplib::Headers headers = {}) {
        const std::string used_token = token.value_or(panel_->token());
        if (!used_token.empty()) headers.emplace("X-Panel-Token", used_token);
        if (!session.empty()) headers.emplace("X-Panel-Session", session);
        const std::string text = body.is_string() ? body.get<std::string>() : body.dump();
        const auto result = client_->Post(path.c_str(), headers, text, type.c_str());
        if (!result) return {};
        json parsed = json::parse(result->body, nullptr, false);
        return {result->status, parsed.is_discarded() ? json(result->body) : parsed};
    }

    // Opens the session's page (its event stream) and takes the controls unless told not to.
    EventStream& open_page(const std::string& session = session_a, bool claim = true) {
        streams_.push_back(std::make_unique<EventStream>(panel_->port(), session));
        EXPECT_TRUE(streams_.back()->wait_more_frames(1, 3s));
        EXPECT_TRUE(!claim || post("/api/claim", json::object(), session).status == 200) << "claim of " << session;
        return *streams_.back();
    }

    // What the simulator received (polls left out), and its state the panel's simulator controls change.
    json observed() const {
        json texts = json::array(), inputs = json::array();
        for (const auto& c : sim_->received_commands())
            if (c.text != "190:190" && c.text != "125:125" && c.text != "2001:2001") texts.push_back(c.text);
        for (int n = 1; n <= 24; ++n) inputs.push_back(sim_->input(n));
        const auto f = sim_->faults();
        return {texts, inputs, f.silent, f.garbage_probability, f.reply_delay_ms, sim_->connection_count()};
    }
    void expect_unchanged(const json& before, const std::string& what) {
        std::this_thread::sleep_for(60ms);  // a window for anything queued to go out (a few ms)
        EXPECT_EQ(observed(), before) << what << ": something reached or changed the controller";
    }

    // Ended in reverse order: the streams, the panel (which stops what it started), the simulator.
    std::unique_ptr<orvane::sim::Simulator> sim_;
    std::unique_ptr<orvane::panel::Panel> panel_;
    std::unique_ptr<httplib::Client> client_;
    std::vector<std::unique_ptr<EventStream>> streams_;
};

TEST_F(PanelHttp, ServesThePageAndStreamWithItsTokenAndRefusesForeignHosts) {
    const auto page = client_->Get("/");
    ASSERT_TRUE(page && page->status == 200);
    EXPECT_TRUE(page->body.find(panel_->token()) != npos && page->body.find("@PANEL_TOKEN@") == npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), npos);
    // Nothing in the page reaches beyond the panel.
    EXPECT_TRUE(page->body.find("http://") == npos && page->body.find("https://") == npos);
    // Files; foreign hosts (a name resolved to loopback: DNS rebinding); GETs change nothing; bad queries.
    for (const json& get : json::parse(R"([["/panel.js", "", 200], ["/panel.css", "", 200], ["/api/state", "", 200],
        ["/api/lines?controller=0", "", 200], ["/", "attacker.example:PORT", 403], ["/api/state", "127.0.0.1:1", 403],
        ["/api/move", "", 404], ["/api/events", "", 400], ["/api/lines?controller=3", "", 400]])")) {
        std::string host = get[1];
        if (host.find("PORT") != npos) host.replace(host.find("PORT"), 4, std::to_string(panel_->port()));
        const auto got = client_->Get(get[0].get<std::string>().c_str(),
                                      host.empty() ? httplib::Headers{} : httplib::Headers{{"Host", host}});
        EXPECT_EQ(got ? got->status : 0, get[2]) << get.dump();
    }
    EventStream& a = open_page(session_a, false);
    EXPECT_TRUE(a.wait_more_frames(20, 1s));  // at least twenty frames a second
    json frame = a.last();
    json& c = frame["state"]["controllers"][0];
    EXPECT_EQ(
        json({frame["you"], c["connected"], c["pos"].size(), c["levels"].size(), c["version"], c["sim"].is_object()}),
        json({false, true, 6, 24, "orvane-sim 0.1.0", true}));
}

// Every state-changing endpoint: a body it would take, sent with a bad session, without the right token, as a
// form (which needs no preflight) or from another origin; then bodies it must refuse with 400 and a message.
TEST_F(PanelHttp, RequestsWithoutTheTokenOrWithBadInputAreRefusedAndChangeNothing) {
    open_page();
    json endpoints = json::parse(R"([
        ["/api/release", {}], ["/api/stop-all", {}], ["/api/heartbeat", {}], ["/api/claim", {}, {"force": "yes"}],
        ["/api/speed", {"axis": 0, "speed": 10}, {"axis": 0, "speed": 0}, {"axis": 0, "speed": -5},
            {"axis": 0, "speed": 1e9}, {"axis": 0, "speed": "fast"}, {"axis": 6, "speed": 10}],
        ["/api/move", {"axis": 0, "position": 5}, {"axis": 0}, {"axis": 0, "position": "10"},
            {"axis": 0, "position": 1e7}, {"axis": 0, "position": 5, "speed": 0}, {"axis": -1, "position": 5},
            {"axis": 1.5, "position": 5}, {"controller": 1, "axis": 0, "position": 5}, "{", "[1,2]", "\"text\"", "nul"],
        ["/api/home", {"axis": 0}, {"axis": 9}, {"axis": 0, "speed": -1}], ["/api/zero", {"axis": 0}, {"axis": "0"}],
        ["/api/stop", {"axis": 0}, {"axis": 6}, {"axis": 0, "mode": 256}], ["/api/jog/stop", {"axis": 0}, {"axis": 7}],
        ["/api/jog", {"axis": 0, "positive": true}, {"axis": 0}, {"axis": 0, "positive": 1},
            {"axis": 0, "positive": true, "speed": 0}], ["/api/outputs", {"on": true}, {}],
        ["/api/output", {"output": 3, "on": true}, {"output": 0, "on": true}, {"output": 25, "on": true},
            {"output": 3, "value": 256}, {"output": 3, "value": -1}, {"output": 3},
            {"output": 3, "on": true, "value": 5}],
        ["/api/fly/setup", {"axis": 0, "count": 5, "interval": 10}, {"axis": 0, "count": 0, "interval": 10},
            {"axis": 0, "count": 5, "interval": 0}, {"axis": 8, "count": 5, "interval": 10}],
        ["/api/fly/start", {"trigger": 0, "mode": 0}, {"trigger": 2, "mode": 0}, {"trigger": 0}],
        ["/api/sim/input", {"input": 7, "on": true}, {"input": 25, "on": true}, {"input": 7}],
        ["/api/sim/fault", {"fault": "silent", "on": true}, {"fault": "melt"}, {"fault": "garbage", "probability": 2},
            {"fault": "delay", "ms": -1}, {"fault": "silent"}],
        ["/api/raw", {"text": "hello"}, {"text": ""}, {"text": 5},
            {"text": "160:0,10.0,5.000000!\n160:1,10.0,5.000000!"}]])");
    endpoints.back().push_back({{"text", std::string(201, 'a')}});
    for (const json& endpoint : endpoints) {
        const std::string path = endpoint[0];
        const json& body = endpoint[1];
        const json before = observed();
        const Answer odd = post(path, body, "short");  // a malformed session id
        EXPECT_TRUE(odd.status == 400 && odd.body.value("error", "").find("X-Panel-Session") != npos) << path;
        const Answer missing = post(path, body, session_a, std::string());
        EXPECT_TRUE(missing.status == 403 && !missing.body.value("error", "").empty()) << path;
        EXPECT_EQ(post(path, body, session_a, std::string(32, '0')).status, 403) << path;
        EXPECT_EQ(post(path, body, session_a, std::nullopt, "application/x-www-form-urlencoded").status, 415) << path;
        EXPECT_EQ(post(path, body, session_a, {}, "application/json", {{"Origin", "http://a.example"}}).status, 403)
            << path;
        for (std::size_t i = 2; i < endpoint.size(); ++i) {
            const Answer a = post(path, endpoint[i]);
            EXPECT_TRUE(a.status == 400 && !a.body.value("ok", true) && a.body.value("error", "").size() > 10)
                << path << " " << endpoint[i].dump() << " -> " << a.status << " " << a.body.dump();
        }
        expect_unchanged(before, path);
    }
}

TEST_F(PanelHttp, ControlsReachTheController) {
    open_page();
    // Each control and its command, if it has one of its own (a speed goes with the next move).
    for (const json& control : json::parse(R"([
        ["/api/move", {"axis": 0, "position": 2.5, "speed": 50}, "160:0,50.0,2.500000!"],
        ["/api/speed", {"axis": 1, "speed": 12.5}, ""],
        ["/api/move", {"axis": 1, "position": -1}, "160:1,12.5,-1.000000!"],
        ["/api/home", {"axis": 2, "speed": 30}, "130:2,30.000000!"], ["/api/zero", {"axis": 0}, "170:0!"],
        ["/api/stop", {"axis": 1, "mode": 1}, "140:1,1!"],
        ["/api/fly/setup", {"axis": 0, "count": 4, "interval": 5}, "490:0,4,5!"],
        ["/api/jog", {"axis": 3, "positive": false, "speed": 10}, "150:3,10.0,0!"],
        ["/api/jog/stop", {"axis": 3}, "140:3,0!"],
        ["/api/fly/start", {"trigger": 0, "mode": 0}, ""], ["/api/output", {"output": 3, "value": 7}, ""],
        ["/api/output", {"output": 5, "on": true}, ""], ["/api/sim/input", {"input": 7, "on": true}, ""]])")) {
        ASSERT_EQ(post(control[0], control[1]).status, 200) << control.dump();
        EXPECT_TRUE(sim_->wait_for_command(control[2].get<std::string>(), 2000)) << control.dump();
    }
    EXPECT_TRUE(sim_->wait_for_sent("520", 1, 2000));  // the fly run started
    // The outputs, and the simulator's input as the library reports it.
    EXPECT_TRUE(wait_until([&] { return sim_->output_value(3) == 7 && sim_->output_value(5) > 0; }, 2s));
    EXPECT_TRUE(sim_->input(7) && wait_until([&] { return controller()["inputs"] == "000000100000000000000000"; }, 2s));
    ASSERT_EQ(post("/api/outputs", {{"on", false}}).status, 200);
    EXPECT_TRUE(wait_until([&] { return sim_->output_value(3) == 0; }, 2s));
    EXPECT_EQ(post("/api/raw", {{"text", "hello panel"}}).body.value("answer", ""), "echo hello panel");

    for (const json& fault : json::parse(R"([{"fault": "garbage", "probability": 0.25}, {"fault": "delay", "ms": 40},
                                             {"fault": "silent", "on": true}])"))
        ASSERT_EQ(post("/api/sim/fault", fault).status, 200) << fault.dump();
    EXPECT_EQ(json({sim_->faults().garbage_probability, sim_->faults().reply_delay_ms, sim_->faults().silent}),
              json({0.25, 40, true}));
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "silent"}, {"on", false}}).status, 200);
    const int connections = sim_->connection_count();
    ASSERT_EQ(post("/api/sim/fault", {{"fault", "drop"}}).status, 200);
    EXPECT_TRUE(sim_->wait_for_connections(connections + 1, 5000)) << "the library did not reconnect";

    // The protocol lines in both directions.
    const json lines = json::parse(client_->Get("/api/lines?controller=0&since=0")->body)["lines"];
    bool sent = false, received = false;
    for (const json& line : lines) {
        sent = sent || (line[2] == "<" && line[4].get<std::string>().rfind("160:0,50.0,2.500000!", 0) == 0);
        received = received || (line[2] == ">" && line[4].get<std::string>().rfind("100:", 0) == 0);
    }
    EXPECT_TRUE(sent && received);
}

TEST_F(PanelHttp, OnePageHoldsTheControlsAtATimeAndClosingItStopsWhatItStarted) {
    EventStream& a = open_page(session_a);
    open_page(session_b, false);
    EXPECT_TRUE(a.wait_more_frames(2, 2s) && a.last()["you"] == true);
    // B is told that another page holds them, and can change nothing ...
    const Answer refused = post("/api/claim", json::object(), session_b);
    EXPECT_TRUE(refused.status == 409 && refused.body.value("error", "").find("another page") != npos);
    const json before = observed();
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

    // Closing the page that holds them stops what it started.
    ASSERT_EQ(post("/api/move", {{"axis", 1}, {"position", 500}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(wait_until([&] { return sim_->position(1) > 1; }, 2s));
    const std::size_t stops = sim_->command_count("140:1,");  // B's stop-all sent one
    const auto closed = Clock::now();
    a.close();
    ASSERT_TRUE(sim_->wait_for_commands("140:1,", stops + 1, 2000)) << "no stop after the page went away";
    EXPECT_TRUE(Clock::now() - closed < 500ms && sim_->wait_for_still(1, 2000));
}

TEST_F(PanelHttp, AJogWithoutHeartbeatsStopAllAndStoppingThePanelStopTheAxes) {
    open_page();
    ASSERT_EQ(post("/api/jog", {{"axis", 2}, {"positive", true}, {"speed", 10}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("150:2,10.0,1!", 2000));
    // Heartbeats keep it going (the pauses between them are the point) ...
    auto last_beat = Clock::now();
    for (int i = 0; i < 10; ++i, last_beat = Clock::now()) {
        std::this_thread::sleep_for(100ms);
        const Answer beat = post("/api/heartbeat", json::object());
        ASSERT_TRUE(beat.status == 200 && beat.body.value("jogs", 0) == 1) << beat.body.dump();
    }
    EXPECT_TRUE(sim_->command_count("140:") == 0 && sim_->moving(2));
    // ... and without them the panel stops it.
    ASSERT_TRUE(sim_->wait_for_command("140:2,", 1500));
    const auto after = Clock::now() - last_beat;
    EXPECT_TRUE(after >= 280ms && after <= 600ms && sim_->wait_for_still(2, 2000));

    // Stop-all stops every axis, and stopping the panel what it started.
    ASSERT_EQ(post("/api/move", {{"axis", 4}, {"position", 300}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:4,", 2000));
    const Answer all = post("/api/stop-all", json::object());
    EXPECT_TRUE(all.status == 200 && all.body.value("stopped", 0) == 6) << all.body.dump();
    EXPECT_TRUE(sim_->wait_for_command("140:4,0!", 1000) && sim_->wait_for_still(4, 2000));
    EXPECT_TRUE(sim_->wait_for_commands("140:", 1 + 6, 1000));  // the jog's, then one per axis

    ASSERT_EQ(post("/api/move", {{"axis", 5}, {"position", 400}, {"speed", 20}}).status, 200);
    ASSERT_TRUE(sim_->wait_for_command("160:5,", 2000));
    panel_->stop();
    EXPECT_TRUE(sim_->wait_for_commands("140:5,", 2, 1000) && sim_->wait_for_still(5, 2000));  // after stop-all's
}

// The tool's subcommand: bad options are refused while parsing (ValidationError)
// or end the run, which ends the parse with CLI::RuntimeError and exit status 1.
TEST(PanelCommand, RegistersThePanelSubcommandOnATool) {
    for (const json& c : json::parse(R"([["panel --listen not-an-address", 1], ["panel --host 127.0.0.1:99999", 1],
             ["panel --rate 5", 0], ["panel --sim-type 3", 0], ["panel --port 70000", 0]])")) {
        CLI::App app{"tool"};
        orvane::panel::add_panel_command(app);
        try {
            app.parse(c[0].get<std::string>());
            ADD_FAILURE() << c[0];
        } catch (const CLI::RuntimeError& e) {
            EXPECT_EQ(e.get_exit_code(), c[1]) << c[0];
        } catch (const CLI::ValidationError&) {
            EXPECT_EQ(c[1], 0) << c[0];
        }
    }
}

}  // namespace
