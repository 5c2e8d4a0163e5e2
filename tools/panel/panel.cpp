// The panel's server: the page, a stream of the live state (server-sent
// events), and the POST requests that change something. Threads: the HTTP
// server's pool, a publisher that builds the state some 50 times a second,
// and a watchdog that stops jogs whose page stopped sending heartbeats.
#include "orvane_panel/panel.h"

#include <httplib.h>

#include <orvane/controller.hpp>
#include <orvane_sim/simulator.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "panel_internal.h"
#include "web_assets.h"

namespace orvane::panel {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int io_count = 24;
constexpr int max_axes = 6;
constexpr std::size_t lines_per_frame = 400;    // protocol lines a frame carries at most per simulator
constexpr std::size_t notices_kept = 50;
constexpr std::size_t fly_positions_shown = 200;

double wall_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string random_hex(std::size_t bytes) {
    std::random_device device;
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        const unsigned value = device() & 0xffu;
        text += digits[value >> 4];
        text += digits[value & 0xfu];
    }
    return text;
}

// A request the panel refuses: 400 for bad input, 409 when the state does
// not allow it (not connected, another page holds the controls, refused by
// the library), 403 for a missing token or a foreign origin.
struct Refusal : std::runtime_error {
    Refusal(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

[[noreturn]] void bad_input(const std::string& message) { throw Refusal(400, message); }
[[noreturn]] void conflict(const std::string& message) { throw Refusal(409, message); }

// ---- reading request fields -------------------------------------------------

// 'key', built by appending (g++ 12 at -O3 warns falsely about "'" + ...).
std::string quoted(const char* key) {
    std::string text(1, '\'');
    text += key;
    text += '\'';
    return text;
}

const json* field(const json& body, const char* key) {
    const auto it = body.find(key);
    return it == body.end() || it->is_null() ? nullptr : &*it;
}

long long integer_field(const json& body, const char* key, long long lo, long long hi,
                        std::optional<long long> fallback = std::nullopt) {
    const json* value = field(body, key);
    const std::string range = " from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (value == nullptr) {
        if (fallback) return *fallback;
        bad_input(quoted(key) + " is missing: an integer" + range);
    }
    long long number = 0;
    if (value->is_number_integer()) {
        number = value->get<long long>();
    } else if (value->is_number_float() && std::isfinite(value->get<double>()) &&
               std::floor(value->get<double>()) == value->get<double>() && std::fabs(value->get<double>()) < 1e15) {
        number = static_cast<long long>(value->get<double>());
    } else {
        bad_input(quoted(key) + " must be an integer" + range + ", got " + value->dump());
    }
    if (number < lo || number > hi) {
        bad_input(quoted(key) + " must be an integer" + range + ", got " + std::to_string(number));
    }
    return number;
}

double number_field(const json& body, const char* key, std::optional<double> fallback = std::nullopt) {
    const json* value = field(body, key);
    if (value == nullptr) {
        if (fallback) return *fallback;
        bad_input(quoted(key) + " is missing: a number");
    }
    if (!value->is_number() || !std::isfinite(value->get<double>())) {
        bad_input(quoted(key) + " must be a finite number, got " + value->dump());
    }
    return value->get<double>();
}

bool bool_field(const json& body, const char* key, std::optional<bool> fallback = std::nullopt) {
    const json* value = field(body, key);
    if (value == nullptr) {
        if (fallback) return *fallback;
        bad_input(quoted(key) + " is missing: true or false");
    }
    if (!value->is_boolean()) bad_input(quoted(key) + " must be true or false, got " + value->dump());
    return value->get<bool>();
}

std::string string_field(const json& body, const char* key, std::size_t max_length) {
    const json* value = field(body, key);
    if (value == nullptr) bad_input(quoted(key) + " is missing: a text");
    if (!value->is_string()) bad_input(quoted(key) + " must be a text, got " + value->dump());
    std::string text = value->get<std::string>();
    if (text.empty() || text.size() > max_length) {
        bad_input(quoted(key) + " must hold 1 to " + std::to_string(max_length) + " characters");
    }
    return text;
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// ---- one controller ------------------------------------------------------------

struct SimLine {
    std::uint64_t seq;
    double wall_ms;
    char direction;
    bool garbage;
    std::string text;
};

// The protocol lines of one simulator, under mutex: all of them, and apart
// from those the lines other than status lines, which would otherwise soon
// be pushed out by the status lines.
struct LineLog {
    std::mutex mutex;
    std::deque<SimLine> lines;
    std::deque<SimLine> other_lines;
    std::uint64_t line_seq = 0;
};

struct Station {
    int index = 0;
    std::string name;
    ControllerTarget target;
    std::unique_ptr<orvane::Controller> controller;
    std::atomic<bool> link_up{false};

    // Under Impl::mutex.
    std::array<double, max_axes> speeds{};  // 0: not set by the panel
    std::array<int, io_count> outputs{};    // value the panel set, -1: not set by the panel
    unsigned started = 0;                   // axes the panel set moving since their last stop
    std::vector<double> fly_cache;
    int fly_age = 0;

    // Protocol lines of the simulator; shared with its observer, which may
    // still run while the observer is being removed.
    std::shared_ptr<LineLog> log = std::make_shared<LineLog>();
    std::uint64_t published_seq = 0;  // publisher thread only

    int axis_count() const {
        const int type = controller->type();
        return type == 1 ? 3 : max_axes;
    }
};

struct Session {
    int streams = 0;
};

struct Jog {
    std::string session;
    Clock::time_point last_heartbeat;
    bool positive = true;
};

}  // namespace

// ---- the panel -------------------------------------------------------------------

struct Panel::Impl {
    explicit Impl(PanelOptions o) : options(std::move(o)), token(random_hex(16)) {
        options.rate_hz = std::clamp(options.rate_hz, 1, 200);
        options.jog_timeout_ms = std::max(20, options.jog_timeout_ms);
    }

    ~Impl() {
        // A panel that never started (or failed to) leaves no observer behind.
        for (auto& station : stations) {
            if (station->target.simulator != nullptr) station->target.simulator->set_line_observer({});
        }
    }

    PanelOptions options;
    const std::string token;
    httplib::Server server;
    std::string address;
    std::uint16_t port = 0;
    std::vector<std::unique_ptr<Station>> stations;

    std::thread server_thread;
    std::thread publisher_thread;
    std::thread watchdog_thread;
    std::atomic<bool> stopping{false};
    bool started = false;
    bool stopped = false;
    std::mutex lifecycle_mutex;

    // Sessions, the holder, jogs, notices and the stations' panel state.
    std::mutex mutex;
    std::map<std::string, Session> sessions;
    std::string holder;
    std::map<std::pair<int, int>, Jog> jogs;  // (station, axis)
    std::deque<std::pair<std::uint64_t, std::string>> notices;
    std::uint64_t notice_seq = 0;

    // The latest state frame.
    std::mutex frame_mutex;
    std::condition_variable frame_cv;
    std::shared_ptr<const std::string> frame;
    std::uint64_t frame_seq = 0;

    // Sleeps of the background threads.
    std::mutex sleep_mutex;
    std::condition_variable sleep_cv;

    bool start(std::string* error);
    void stop();
    void install_routes();
    void publish_loop();
    void watchdog_loop();
    std::string build_frame();
    json station_state(Station& station, bool fly_refresh);
    void notice(const std::string& text);
    void stop_started(const std::string& reason);
    void stop_axes(const std::vector<std::pair<Station*, int>>& axes);

    // Request plumbing.
    bool host_allowed(const std::string& host) const;
    bool origin_allowed(const httplib::Request& request) const;
    Station& station_field(const json& body);
    int axis_field(const json& body, Station& station);
    void require_connected(Station& station);
    void require_holder(const std::string& session);
    bool claim(const std::string& session, bool force, std::string* previous);
    void open_stream(const std::string& session);
    void close_stream(const std::string& session);

    using Action = std::function<json()>;
    using Prepare = std::function<Action(const json& body, const std::string& session)>;
    enum class Who { holder, anyone };
    void post(const std::string& path, Who who, Prepare prepare);
};

// ---- lifecycle ---------------------------------------------------------------------

bool Panel::Impl::start(std::string* error) {
    const auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return false;
    };
    std::lock_guard lifecycle(lifecycle_mutex);
    if (started) return true;
    if (options.controllers.empty()) return fail("no controller to show");

    for (std::size_t i = 0; i < options.controllers.size(); ++i) {
        auto station = std::make_unique<Station>();
        station->index = static_cast<int>(i);
        station->target = options.controllers[i];
        station->outputs.fill(-1);
        Station* raw = station.get();
        orvane::ControllerOptions controller_options;
        controller_options.host = station->target.host;
        controller_options.port = station->target.port;
        controller_options.reconnect_pause = std::chrono::milliseconds(1000);
        controller_options.on_connection_change = [raw](bool up) { raw->link_up = up; };
        try {
            station->controller = std::make_unique<orvane::Controller>(controller_options);
        } catch (const std::exception& e) {
            return fail("cannot start the library for " + station->target.host + ": " + e.what());
        }
        const int shown_port = station->controller->port();
        station->name = (station->target.simulator != nullptr ? "sim " : "") + station->controller->address() + ":" +
                        std::to_string(shown_port);
        if (orvane::sim::Simulator* sim = station->target.simulator) {
            const std::size_t limit = std::max<std::size_t>(100, options.line_history);
            sim->set_line_observer([log = station->log, limit](const orvane::sim::LineEvent& event) {
                const double now = wall_ms();
                std::lock_guard lock(log->mutex);
                log->lines.push_back({++log->line_seq, now, event.direction, event.garbage, std::string(event.text)});
                while (log->lines.size() > limit) log->lines.pop_front();
                if (event.text.substr(0, 4) != "100:") {
                    log->other_lines.push_back(log->lines.back());
                    while (log->other_lines.size() > limit / 4) log->other_lines.pop_front();
                }
            });
        }
        stations.push_back(std::move(station));
    }

    install_routes();
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(2, 0);
    server.new_task_queue = [] { return new httplib::ThreadPool(24); };

    address = options.listen_address;
    if (options.listen_port < 0 || options.listen_port > 65535) {
        return fail("port " + std::to_string(options.listen_port) + " is out of range");
    }
    if (options.listen_port == 0) {
        const int bound = server.bind_to_any_port(address.c_str());
        if (bound <= 0) return fail("cannot listen on " + address + " (is it an address of this machine?)");
        port = static_cast<std::uint16_t>(bound);
    } else {
        if (!server.bind_to_port(address.c_str(), options.listen_port)) {
            return fail("cannot listen on " + address + ":" + std::to_string(options.listen_port) +
                        " (in use, or not an address of this machine)");
        }
        port = static_cast<std::uint16_t>(options.listen_port);
    }
    stopping = false;
    frame = std::make_shared<const std::string>(build_frame());
    server_thread = std::thread([this] { server.listen_after_bind(); });
    publisher_thread = std::thread([this] { publish_loop(); });
    watchdog_thread = std::thread([this] { watchdog_loop(); });
    started = true;
    return true;
}

void Panel::Impl::stop() {
    std::lock_guard lifecycle(lifecycle_mutex);
    if (!started || stopped) return;
    stop_started("the panel is stopping");
    {
        std::lock_guard lock(sleep_mutex);
        stopping = true;
    }
    sleep_cv.notify_all();
    {
        std::lock_guard lock(frame_mutex);
        ++frame_seq;
    }
    frame_cv.notify_all();
    server.stop();
    if (server_thread.joinable()) server_thread.join();
    if (publisher_thread.joinable()) publisher_thread.join();
    if (watchdog_thread.joinable()) watchdog_thread.join();
    for (auto& station : stations) {
        if (station->target.simulator != nullptr) station->target.simulator->set_line_observer({});
        station->controller->close();  // sends what is queued (the stops) while the link is up
    }
    stopped = true;
}

void Panel::Impl::notice(const std::string& text) {
    {
        std::lock_guard lock(mutex);
        notices.emplace_back(++notice_seq, text);
        while (notices.size() > notices_kept) notices.pop_front();
    }
    if (options.log_to_stderr) {
        std::fprintf(stderr, "orvane panel: %s\n", text.c_str());
        std::fflush(stderr);
    }
}

void Panel::Impl::stop_axes(const std::vector<std::pair<Station*, int>>& axes) {
    for (const auto& [station, axis] : axes) station->controller->stop(axis, options.stop_mode);
}

void Panel::Impl::stop_started(const std::string& reason) {
    std::vector<std::pair<Station*, int>> axes;
    {
        std::lock_guard lock(mutex);
        for (auto& station : stations) {
            for (int axis = 0; axis < max_axes; ++axis) {
                if (station->started & (1u << axis)) axes.emplace_back(station.get(), axis);
            }
            station->started = 0;
        }
        jogs.clear();
    }
    if (axes.empty()) return;
    stop_axes(axes);
    std::string list;
    for (const auto& [station, axis] : axes) {
        list += (list.empty() ? "" : ", ") + std::string("axis ") + std::to_string(axis) + " of " + station->name;
    }
    notice("stopped " + list + ": " + reason);
}

void Panel::Impl::watchdog_loop() {
    const auto timeout = std::chrono::milliseconds(options.jog_timeout_ms);
    std::unique_lock sleep(sleep_mutex);
    while (!stopping) {
        sleep_cv.wait_for(sleep, std::chrono::milliseconds(10), [this] { return stopping.load(); });
        if (stopping) break;
        std::vector<std::pair<Station*, int>> expired;
        {
            std::lock_guard lock(mutex);
            const auto now = Clock::now();
            for (auto it = jogs.begin(); it != jogs.end();) {
                if (now - it->second.last_heartbeat > timeout) {
                    Station* station = stations[static_cast<std::size_t>(it->first.first)].get();
                    expired.emplace_back(station, it->first.second);
                    station->started &= ~(1u << it->first.second);
                    it = jogs.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (expired.empty()) continue;
        sleep.unlock();
        stop_axes(expired);
        for (const auto& [station, axis] : expired) {
            notice("stopped the jog of axis " + std::to_string(axis) + " of " + station->name + ": no heartbeat for " +
                   std::to_string(options.jog_timeout_ms) + " ms");
        }
        sleep.lock();
    }
}

// ---- the state frame ---------------------------------------------------------------

json Panel::Impl::station_state(Station& station, bool fly_refresh) {
    orvane::Controller& c = *station.controller;
    json s;
    s["name"] = station.name;
    s["address"] = c.address();
    s["port"] = c.port();
    const bool connected = c.connected();
    s["connected"] = connected;
    s["ready"] = c.ready();
    const int type = c.type();
    s["type"] = type;
    s["axes"] = type == 1 ? 3 : max_axes;

    json pos = nullptr, rest = nullptr, homed = nullptr, inputs = nullptr, levels = nullptr;
    if (const auto p = c.positions()) {
        pos = json::array();
        for (double v : *p) pos.push_back(v);
    }
    if (connected) {
        rest = json::array();
        homed = json::array();
        for (int axis = 0; axis < max_axes; ++axis) {
            const auto r = c.at_rest(axis);
            const auto h = c.homed(axis);
            rest.push_back(r ? json(*r) : json(nullptr));
            homed.push_back(h ? json(*h) : json(nullptr));
        }
        if (const auto in = c.inputs()) {
            std::string bits;
            for (bool b : *in) bits += b ? '1' : '0';
            inputs = bits;
        }
        std::string text;
        if (c.cmd(4, 0, text) == 1) {
            levels = json::array();
            std::size_t start = 0;
            while (start <= text.size()) {
                std::size_t end = text.find(',', start);
                if (end == std::string::npos) end = text.size();
                levels.push_back(std::atoi(text.substr(start, end - start).c_str()));
                start = end + 1;
            }
        }
    }
    s["pos"] = pos;
    s["rest"] = rest;
    s["homed"] = homed;
    s["inputs"] = inputs;
    s["levels"] = levels;
    const auto version = c.version();
    s["version"] = version ? json(*version) : json(nullptr);
    std::string raw;
    s["raw"] = c.cmd(5010, 0, raw) == 1 ? json(raw) : json(nullptr);

    const auto fly = c.fly();
    std::vector<double> fly_positions;
    bool refreshed = false;
    if (fly_refresh) {
        fly_positions = c.fly_positions();
        refreshed = true;
    }

    {
        std::lock_guard lock(mutex);
        if (refreshed) station.fly_cache = std::move(fly_positions);
        json fly_json;
        fly_json["setup"] = {fly[0], fly[1], fly[2]};
        fly_json["count"] = station.fly_cache.size();
        json shown = json::array();
        for (std::size_t i = 0; i < station.fly_cache.size() && i < fly_positions_shown; ++i) {
            shown.push_back(station.fly_cache[i]);
        }
        fly_json["positions"] = shown;
        s["fly"] = fly_json;
        json speeds = json::array();
        for (double v : station.speeds) speeds.push_back(v > 0 ? json(v) : json(nullptr));
        s["speeds"] = speeds;
        json outputs = json::array();
        for (int v : station.outputs) outputs.push_back(v >= 0 ? json(v) : json(nullptr));
        s["outputs"] = outputs;
        json jogging = json::array();
        for (const auto& [key, jog] : jogs) {
            if (key.first == station.index) jogging.push_back({{"axis", key.second}, {"positive", jog.positive}});
        }
        s["jogging"] = jogging;
    }

    if (orvane::sim::Simulator* sim = station.target.simulator) {
        json side;
        const auto faults = sim->faults();
        side["silent"] = faults.silent;
        side["garbage"] = faults.garbage_probability;
        side["delay"] = faults.reply_delay_ms;
        side["client"] = sim->client_connected();
        side["connections"] = sim->connection_count();
        std::string bits;
        json outputs = json::array();
        for (int i = 1; i <= io_count; ++i) {
            bits += sim->input(i) ? '1' : '0';
            outputs.push_back(sim->output_value(i));
        }
        side["inputs"] = bits;
        side["outputs"] = outputs;
        const auto counters = sim->fault_counters();
        side["counters"] = {{"garbage", counters.garbage_lines},
                            {"silenced", counters.silenced_lines},
                            {"delayed", counters.delayed_lines}};
        s["sim"] = side;
    } else {
        s["sim"] = nullptr;
    }
    return s;
}

std::string Panel::Impl::build_frame() {
    static thread_local unsigned tick = 0;
    const bool fly_refresh = (tick++ % 10) == 0;
    json state;
    state["time"] = wall_ms();
    json list = json::array();
    json lines = json::array();
    for (auto& station : stations) {
        list.push_back(station_state(*station, fly_refresh));
        if (station->target.simulator == nullptr) continue;
        LineLog& log = *station->log;
        std::lock_guard lock(log.mutex);
        auto it = std::lower_bound(log.lines.begin(), log.lines.end(), station->published_seq + 1,
                                   [](const SimLine& line, std::uint64_t seq) { return line.seq < seq; });
        const std::size_t available = static_cast<std::size_t>(log.lines.end() - it);
        if (available > lines_per_frame) it = log.lines.end() - static_cast<std::ptrdiff_t>(lines_per_frame);
        for (; it != log.lines.end(); ++it) {
            lines.push_back({station->index, it->seq, std::llround(it->wall_ms), std::string(1, it->direction),
                             it->garbage, it->text});
        }
        station->published_seq = log.line_seq;
    }
    state["controllers"] = list;
    state["lines"] = lines;
    json notes = json::array();
    {
        std::lock_guard lock(mutex);
        for (const auto& [seq, text] : notices) notes.push_back({seq, text});
    }
    state["notices"] = notes;
    return state.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Panel::Impl::publish_loop() {
    const auto period = std::chrono::microseconds(1000000 / options.rate_hz);
    auto next = Clock::now();
    for (;;) {
        {
            std::unique_lock sleep(sleep_mutex);
            if (sleep_cv.wait_until(sleep, next, [this] { return stopping.load(); })) return;
        }
        next += period;
        if (next < Clock::now()) next = Clock::now() + period;  // fell behind: no burst
        std::shared_ptr<const std::string> built;
        try {
            built = std::make_shared<const std::string>(build_frame());
        } catch (const std::exception& e) {
            if (options.log_to_stderr) std::fprintf(stderr, "orvane panel: cannot build the state: %s\n", e.what());
            continue;  // the pages keep the last frame; the next tick tries again
        }
        {
            std::lock_guard lock(frame_mutex);
            frame = std::move(built);
            ++frame_seq;
        }
        frame_cv.notify_all();
    }
}

// ---- sessions and the holder --------------------------------------------------------

void Panel::Impl::open_stream(const std::string& session) {
    std::lock_guard lock(mutex);
    ++sessions[session].streams;
}

void Panel::Impl::close_stream(const std::string& session) {
    bool holder_gone = false;
    {
        std::lock_guard lock(mutex);
        const auto it = sessions.find(session);
        if (it == sessions.end()) return;
        if (--it->second.streams <= 0) {
            sessions.erase(it);
            if (holder == session) {
                holder.clear();
                holder_gone = true;
            }
        }
    }
    if (holder_gone) {
        stop_started("the page that held the controls was closed or lost its connection");
        notice("the controls are free: the page that held them was closed or lost its connection");
    }
}

bool Panel::Impl::claim(const std::string& session, bool force, std::string* previous) {
    std::vector<std::pair<Station*, int>> jogs_to_stop;
    {
        std::lock_guard lock(mutex);
        const auto own = sessions.find(session);
        if (own == sessions.end() || own->second.streams <= 0) {
            conflict("this page has no open event stream (GET /api/events?session=ID first)");
        }
        if (holder == session) return true;
        const auto current = sessions.find(holder);
        const bool holder_alive = !holder.empty() && current != sessions.end() && current->second.streams > 0;
        if (holder_alive && !force) return false;
        if (previous != nullptr) *previous = holder_alive ? holder : std::string();
        holder = session;
        for (auto it = jogs.begin(); it != jogs.end();) {
            if (it->second.session != session) {
                Station* station = stations[static_cast<std::size_t>(it->first.first)].get();
                jogs_to_stop.emplace_back(station, it->first.second);
                station->started &= ~(1u << it->first.second);
                it = jogs.erase(it);
            } else {
                ++it;
            }
        }
    }
    stop_axes(jogs_to_stop);
    return true;
}

void Panel::Impl::require_holder(const std::string& session) {
    std::lock_guard lock(mutex);
    if (holder != session) {
        if (holder.empty()) conflict("this page does not hold the controls: take them first (POST /api/claim)");
        conflict("another page holds the controls: take them over explicitly first");
    }
}

// ---- request plumbing --------------------------------------------------------------

bool Panel::Impl::host_allowed(const std::string& host) const {
    std::string suffix(1, ':');  // (not ":" + ...: g++ 12 -O3 warns falsely about it)
    suffix += std::to_string(port);
    if (host.size() <= suffix.size() || host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string name = host.substr(0, host.size() - suffix.size());
    return name == address || name == "localhost" || name == "[::1]" || is_loopback_ipv4(name);
}

bool Panel::Impl::origin_allowed(const httplib::Request& request) const {
    if (!request.has_header("Origin")) return true;  // not sent by a browser, or a same-origin GET
    const std::string origin = request.get_header_value("Origin");
    const std::string scheme = "http://";
    return origin.rfind(scheme, 0) == 0 && host_allowed(origin.substr(scheme.size()));
}

Station& Panel::Impl::station_field(const json& body) {
    const auto index = integer_field(body, "controller", 0, static_cast<long long>(stations.size()) - 1, 0);
    return *stations[static_cast<std::size_t>(index)];
}

int Panel::Impl::axis_field(const json& body, Station& station) {
    return static_cast<int>(integer_field(body, "axis", 0, station.axis_count() - 1));
}

void Panel::Impl::require_connected(Station& station) {
    if (!station.controller->connected()) conflict(station.name + " is not connected");
}

void Panel::Impl::post(const std::string& path, Who who, Prepare prepare) {
    server.Post(path, [this, who, prepare = std::move(prepare)](const httplib::Request& request,
                                                                 httplib::Response& response) {
        const auto answer = [&](int status, const json& body) {
            response.status = status;
            response.set_header("Cache-Control", "no-store");
            response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
        };
        try {
            if (!host_allowed(request.get_header_value("Host")) || !origin_allowed(request)) {
                throw Refusal(403, "requests must come from the panel's own page (Host or Origin not allowed)");
            }
            if (request.get_header_value("X-Panel-Token") != token) {
                throw Refusal(403, "missing or wrong X-Panel-Token: reload the panel's page");
            }
            const std::string type = request.get_header_value("Content-Type");
            if (type.rfind("application/json", 0) != 0) throw Refusal(415, "the body must be application/json");
            json body;
            try {
                body = request.body.empty() ? json::object() : json::parse(request.body);
            } catch (const json::exception&) {
                bad_input("the body is not valid JSON");
            }
            if (!body.is_object()) bad_input("the body must be a JSON object");
            const std::string session = request.get_header_value("X-Panel-Session");
            if (!valid_session_id(session)) {
                bad_input("missing or malformed X-Panel-Session (16 to 64 letters, digits, '-' or '_')");
            }
            Action action = prepare(body, session);
            if (who == Who::holder) require_holder(session);
            json result = action ? action() : json::object();
            if (!result.contains("ok")) result["ok"] = true;
            answer(200, result);
        } catch (const Refusal& refusal) {
            answer(refusal.status, {{"ok", false}, {"error", refusal.what()}});
        } catch (const std::exception& e) {
            answer(500, {{"ok", false}, {"error", std::string("internal error: ") + e.what()}});
        }
    });
}

void Panel::Impl::install_routes() {
    // Nothing is compressed: on loopback it only costs time (the streamed
    // state most of all), so the request's Accept-Encoding is dropped
    // before the server reads it.
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    const auto guard_get = [this](const httplib::Request& request, httplib::Response& response) {
        if (host_allowed(request.get_header_value("Host"))) return true;
        response.status = 403;
        response.set_content("{\"ok\":false,\"error\":\"Host not allowed\"}", "application/json");
        return false;
    };

    server.Get("/", [this, guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                            "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        response.set_header("X-Frame-Options", "DENY");
        response.set_content(render_index_html(token), "text/html; charset=utf-8");
    });
    server.Get("/panel.js", [guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        response.set_header("Cache-Control", "no-store");
        response.set_content(web::panel_js, "text/javascript; charset=utf-8");
    });
    server.Get("/panel.css", [guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        response.set_header("Cache-Control", "no-store");
        response.set_content(web::panel_css, "text/css; charset=utf-8");
    });
    server.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });

    server.Get("/api/state", [this, guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        std::shared_ptr<const std::string> current;
        {
            std::lock_guard lock(frame_mutex);
            current = frame;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(current ? *current : std::string("{}"), "application/json");
    });

    server.Get("/api/lines", [this, guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        const auto number = [&](const char* key, long long fallback) {
            if (!request.has_param(key)) return fallback;
            try {
                return std::stoll(request.get_param_value(key));
            } catch (const std::exception&) {
                return -1LL;
            }
        };
        const long long index = number("controller", 0);
        const long long since = number("since", 0);
        if (index < 0 || index >= static_cast<long long>(stations.size()) || since < 0) {
            response.status = 400;
            response.set_content(
                json({{"ok", false}, {"error", "'controller' must name a controller and 'since' be 0 or more"}}).dump(),
                "application/json");
            return;
        }
        Station& station = *stations[static_cast<std::size_t>(index)];
        json lines = json::array();
        {
            // Both histories in order, each line once.
            LineLog& log = *station.log;
            std::lock_guard lock(log.mutex);
            auto all = log.lines.begin();
            auto other = log.other_lines.begin();
            while (all != log.lines.end() || other != log.other_lines.end()) {
                const SimLine* line = nullptr;
                if (other == log.other_lines.end() || (all != log.lines.end() && all->seq <= other->seq)) {
                    if (other != log.other_lines.end() && other->seq == all->seq) ++other;
                    line = &*all++;
                } else {
                    line = &*other++;
                }
                if (line->seq <= static_cast<std::uint64_t>(since)) continue;
                lines.push_back({line->seq, line->wall_ms, std::string(1, line->direction), line->garbage, line->text});
            }
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(json({{"ok", true}, {"lines", lines}}).dump(-1, ' ', false, json::error_handler_t::replace),
                             "application/json");
    });

    server.Get("/api/events", [this, guard_get](const httplib::Request& request, httplib::Response& response) {
        if (!guard_get(request, response)) return;
        const std::string session = request.get_param_value("session");
        if (!valid_session_id(session)) {
            response.status = 400;
            response.set_content(
                "{\"ok\":false,\"error\":\"'session' must be 16 to 64 letters, digits, '-' or '_'\"}",
                "application/json");
            return;
        }
        open_stream(session);
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Accel-Buffering", "no");
        auto last = std::make_shared<std::uint64_t>(0);
        auto first = std::make_shared<bool>(true);
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, session, last, first](std::size_t, httplib::DataSink& sink) {
                if (*first) {
                    *first = false;
                    static const char hello[] = "retry: 1000\n\n";
                    return sink.write(hello, sizeof hello - 1);
                }
                std::shared_ptr<const std::string> current;
                {
                    std::unique_lock lock(frame_mutex);
                    frame_cv.wait_for(lock, std::chrono::milliseconds(500),
                                      [&] { return stopping.load() || frame_seq != *last; });
                    if (stopping) return false;
                    if (frame_seq == *last) return sink.write(": idle\n\n", 9);  // finds a closed page
                    *last = frame_seq;
                    current = frame;
                }
                bool you = false, held = false;
                {
                    std::lock_guard lock(mutex);
                    you = holder == session;
                    held = !holder.empty() && !you;
                }
                std::string message;
                message.reserve(current->size() + 64);
                message += "data: {\"you\":";
                message += you ? "true" : "false";
                message += ",\"held\":";
                message += held ? "true" : "false";
                message += ",\"state\":";
                message += *current;
                message += "}\n\n";
                return sink.write(message.data(), message.size());
            },
            [this, session](bool) { close_stream(session); });
    });

    // ---- controls ----
    post("/api/claim", Who::anyone, [this](const json& body, const std::string& session) -> Action {
        const bool force = bool_field(body, "force", false);
        return [this, force, session] {
            std::string previous;
            if (!claim(session, force, &previous)) {
                conflict("another page holds the controls: take them over explicitly (force) or close it");
            }
            if (!previous.empty()) notice("the controls were taken over by another page");
            return json{{"holder", true}};
        };
    });
    post("/api/release", Who::anyone, [this](const json&, const std::string& session) -> Action {
        return [this, session] {
            bool released = false;
            {
                std::lock_guard lock(mutex);
                if (holder == session) {
                    holder.clear();
                    released = true;
                }
            }
            if (released) stop_started("the page that held the controls let them go");
            return json{{"holder", false}};
        };
    });
    post("/api/speed", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const double speed = number_field(body, "speed");
        return [this, &station, axis, speed] {
            require_connected(station);
            const auto max = station.controller->max_speed(axis);
            if (speed <= 0 || (max && *max > 0 && speed > *max)) {
                bad_input("'speed' must be above 0 and at most the axis's maximum speed (" +
                          (max ? std::to_string(*max) : std::string("?")) + ")");
            }
            if (!station.controller->set_speed(axis, static_cast<float>(speed))) conflict("the library refused the speed");
            std::lock_guard lock(mutex);
            station.speeds[static_cast<std::size_t>(axis)] = speed;
            return json::object();
        };
    });

    // Checks and sets the speed a motion request carries, if any.
    const auto take_speed = [this](Station& station, int axis, std::optional<double> speed) {
        if (!speed) return;
        const auto max = station.controller->max_speed(axis);
        if (*speed <= 0 || (max && *max > 0 && *speed > *max)) {
            bad_input("'speed' must be above 0 and at most the axis's maximum speed (" +
                      (max ? std::to_string(*max) : std::string("?")) + ")");
        }
        if (!station.controller->set_speed(axis, static_cast<float>(*speed))) conflict("the library refused the speed");
        std::lock_guard lock(mutex);
        station.speeds[static_cast<std::size_t>(axis)] = *speed;
    };
    const auto optional_speed = [](const json& body) -> std::optional<double> {
        if (field(body, "speed") == nullptr) return std::nullopt;
        return number_field(body, "speed");
    };

    post("/api/move", Who::holder, [this, take_speed, optional_speed](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const double position = number_field(body, "position");
        const auto speed = optional_speed(body);
        return [this, &station, axis, position, speed, take_speed] {
            require_connected(station);
            const auto limits = station.controller->soft_limits(axis);
            if (limits && (position < limits->first || position > limits->second)) {
                bad_input("'position' must lie within the axis's soft limits, " + fixed(limits->first, 3) + " to " +
                          fixed(limits->second, 3));
            }
            take_speed(station, axis, speed);
            {
                std::lock_guard lock(mutex);
                station.started |= 1u << axis;
            }
            if (!station.controller->move_to(axis, position)) conflict("the library refused the move");
            return json::object();
        };
    });
    post("/api/home", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const double speed = number_field(body, "speed", 0.0);
        if (speed < 0 || speed > 1e6) bad_input("'speed' must be 0 (the axis's homing speed) or more");
        return [this, &station, axis, speed] {
            require_connected(station);
            {
                std::lock_guard lock(mutex);
                station.started |= 1u << axis;
            }
            if (!station.controller->home(axis, static_cast<float>(speed))) conflict("the library refused homing");
            return json::object();
        };
    });
    post("/api/zero", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        return [this, &station, axis] {
            require_connected(station);
            if (!station.controller->zero(axis)) conflict("the library refused zeroing");
            return json::object();
        };
    });
    // Stops are open to every page that has the token, holder or not.
    post("/api/stop", Who::anyone, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const int mode = static_cast<int>(integer_field(body, "mode", 0, 255, options.stop_mode));
        return [this, &station, axis, mode] {
            {
                std::lock_guard lock(mutex);
                station.started &= ~(1u << axis);
                jogs.erase({station.index, axis});
            }
            if (!station.controller->stop(axis, mode)) conflict(station.name + " is not connected");
            return json::object();
        };
    });
    post("/api/stop-all", Who::anyone, [this](const json&, const std::string&) -> Action {
        return [this] {
            {
                std::lock_guard lock(mutex);
                for (auto& station : stations) station->started = 0;
                jogs.clear();
            }
            int stopped_axes = 0;
            for (auto& station : stations) {
                for (int axis = 0; axis < station->axis_count(); ++axis) {
                    if (station->controller->stop(axis, options.stop_mode)) ++stopped_axes;
                }
            }
            notice("stop all: " + std::to_string(stopped_axes) + " axes told to stop");
            return json{{"stopped", stopped_axes}};
        };
    });
    post("/api/jog", Who::holder, [this, take_speed, optional_speed](const json& body, const std::string& session) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const bool positive = bool_field(body, "positive");
        const auto speed = optional_speed(body);
        return [this, &station, axis, positive, speed, session, take_speed] {
            require_connected(station);
            take_speed(station, axis, speed);
            {
                std::lock_guard lock(mutex);
                station.started |= 1u << axis;
                jogs[{station.index, axis}] = Jog{session, Clock::now(), positive};
            }
            if (!station.controller->jog(axis, positive)) {
                std::lock_guard lock(mutex);
                jogs.erase({station.index, axis});
                conflict("the library refused the jog");
            }
            return json{{"timeout_ms", options.jog_timeout_ms}};
        };
    });
    post("/api/heartbeat", Who::anyone, [this](const json&, const std::string& session) -> Action {
        return [this, session] {
            int kept = 0;
            std::lock_guard lock(mutex);
            const auto now = Clock::now();
            for (auto& [key, jog] : jogs) {
                if (jog.session == session) {
                    jog.last_heartbeat = now;
                    ++kept;
                }
            }
            return json{{"jogs", kept}};
        };
    });
    post("/api/jog/stop", Who::anyone, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        return [this, &station, axis] {
            {
                std::lock_guard lock(mutex);
                jogs.erase({station.index, axis});
                station.started &= ~(1u << axis);
            }
            if (!station.controller->stop(axis, options.stop_mode)) conflict(station.name + " is not connected");
            return json::object();
        };
    });
    post("/api/output", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int output = static_cast<int>(integer_field(body, "output", 1, io_count));
        const bool has_on = field(body, "on") != nullptr;
        const bool has_value = field(body, "value") != nullptr;
        if (has_on == has_value) bad_input("give either 'on' (true or false) or 'value' (0 to 255)");
        const std::optional<bool> on = has_on ? std::optional<bool>(bool_field(body, "on")) : std::nullopt;
        const int value = has_value ? static_cast<int>(integer_field(body, "value", 0, 255)) : 0;
        return [this, &station, output, on, value] {
            require_connected(station);
            const bool done = on ? station.controller->set_output(output, *on)
                                 : station.controller->set_output_value(output, value);
            if (!done) conflict("the library refused the output");
            std::lock_guard lock(mutex);
            station.outputs[static_cast<std::size_t>(output - 1)] = on ? (*on ? 255 : 0) : value;
            return json::object();
        };
    });
    post("/api/outputs", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const bool on = bool_field(body, "on");
        return [this, &station, on] {
            require_connected(station);
            if (!station.controller->set_all_outputs(on)) conflict("the library refused the outputs");
            std::lock_guard lock(mutex);
            station.outputs.fill(on ? 255 : 0);
            return json::object();
        };
    });
    post("/api/fly/setup", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int axis = axis_field(body, station);
        const int count = static_cast<int>(integer_field(body, "count", 1, 100000));
        const int interval = static_cast<int>(integer_field(body, "interval", 1, 60000));
        return [&station, axis, count, interval, this] {
            require_connected(station);
            if (!station.controller->set_fly(axis, count, interval)) conflict("the library refused the fly set-up");
            return json::object();
        };
    });
    post("/api/fly/start", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const int trigger = static_cast<int>(integer_field(body, "trigger", 0, 1));
        const int mode = static_cast<int>(integer_field(body, "mode", 0, 1));
        return [&station, trigger, mode, this] {
            require_connected(station);
            if (!station.controller->start_fly(trigger, mode)) conflict("the library refused the fly start");
            std::lock_guard lock(mutex);
            station.fly_cache.clear();
            return json::object();
        };
    });
    post("/api/raw", Who::holder, [this](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        const std::string text = string_field(body, "text", 200);
        for (unsigned char c : text) {
            if (c < 0x20 || c > 0x7e) bad_input("'text' must be printable ASCII (the line feed is added by 'newline')");
        }
        const bool newline = bool_field(body, "newline", true);
        return [this, &station, text, newline] {
            require_connected(station);
            std::string out = text + (newline ? "\n" : "");
            if (station.controller->cmd(5000, 0, out) != 1) conflict("the library refused the raw send");
            std::string answer;
            station.controller->cmd(5010, 0, answer);
            return json{{"answer", answer}};
        };
    });

    // ---- the simulator's side ----
    const auto simulator_of = [](Station& station) {
        if (station.target.simulator == nullptr) bad_input(station.name + " is not a simulated controller");
        return station.target.simulator;
    };
    post("/api/sim/input", Who::holder, [this, simulator_of](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        orvane::sim::Simulator* sim = simulator_of(station);
        const int input = static_cast<int>(integer_field(body, "input", 1, io_count));
        const bool on = bool_field(body, "on");
        return [sim, input, on] {
            sim->set_input(input, on);
            return json::object();
        };
    });
    post("/api/sim/fault", Who::holder, [this, simulator_of](const json& body, const std::string&) -> Action {
        Station& station = station_field(body);
        orvane::sim::Simulator* sim = simulator_of(station);
        const json* kind_value = field(body, "fault");
        const std::string kind = kind_value != nullptr && kind_value->is_string() ? kind_value->get<std::string>() : "";
        if (kind == "drop") {
            return [this, sim, &station] {
                sim->drop_client();
                notice("dropped the link of " + station.name);
                return json::object();
            };
        }
        if (kind == "silent") {
            const bool on = bool_field(body, "on");
            return [sim, on] {
                sim->set_silent(on);
                return json::object();
            };
        }
        if (kind == "garbage") {
            const double probability = number_field(body, "probability");
            if (probability < 0 || probability > 1) bad_input("'probability' must be from 0 to 1");
            return [sim, probability] {
                sim->set_garbage(probability);
                return json::object();
            };
        }
        if (kind == "delay") {
            const int ms = static_cast<int>(integer_field(body, "ms", 0, 10000));
            return [sim, ms] {
                sim->set_reply_delay(ms);
                return json::object();
            };
        }
        bad_input("'fault' must be one of drop, silent, garbage, delay");
    });
}

// ---- Panel ----------------------------------------------------------------------------

Panel::Panel(PanelOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Panel::~Panel() { stop(); }

bool Panel::start(std::string* error) { return impl_->start(error); }
void Panel::stop() { impl_->stop(); }
std::uint16_t Panel::port() const { return impl_->port; }
const std::string& Panel::address() const { return impl_->address; }
std::string Panel::url() const {
    return "http://" + impl_->address + ":" + std::to_string(impl_->port) + "/";
}
const std::string& Panel::token() const { return impl_->token; }
void Panel::stop_started(const std::string& reason) { impl_->stop_started(reason); }

// ---- helpers shared with the command line ------------------------------------------

bool is_loopback_ipv4(const std::string& text) {
    unsigned parts[4] = {};
    int count = 0;
    std::size_t i = 0;
    while (count < 4) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || value > 255) return false;
        parts[count++] = value;
        if (count < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size() && parts[0] == 127;
}

bool valid_session_id(const std::string& text) {
    if (text.size() < 16 || text.size() > 64) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

std::string render_index_html(const std::string& token) {
    std::string page = web::index_html;
    const std::string mark = "@PANEL_TOKEN@";
    const auto at = page.find(mark);
    if (at != std::string::npos) page.replace(at, mark.size(), token);
    return page;
}

}  // namespace orvane::panel
