// The simulator's threads: a supervisor that accepts connections and
// carries out drops, an engine that moves the axes and streams status
// lines, and each connection's reader and writer. The controller state sits
// under one lock.
#include "orvane_sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "connection.h"
#include "controller_model.h"
#include "faults.h"
#include "orvane_build_config.h"
#include "platform/platform.h"
#include "platform/serving.h"
#include "protocol.h"
#include "trace.h"

namespace orvane::sim {

namespace {
using Clock = std::chrono::steady_clock;

constexpr int accept_slice_ms = 10;         // how often the supervisor looks round
constexpr int engine_tick_ms = 5;           // motion and fly are exact between ticks anyway
constexpr std::size_t status_backlog = 256 * 1024;  // queued bytes beyond which status lines are skipped

bool valid_axis(int axis) { return axis >= 0 && axis < ControllerModel::axes; }
bool valid_io(int number) { return number >= 1 && number <= ControllerModel::ios; }

// What a failed listen means, from the socket error.
StartFailure listen_failure(int code) {
#if defined(_WIN32)
    // WSAEACCES, WSAEADDRINUSE, WSAEADDRNOTAVAIL
    if (code == 10013) return StartFailure::permission;
    if (code == 10048) return StartFailure::address_in_use;
    if (code == 10049) return StartFailure::address_unavailable;
#else
    if (code == EACCES || code == EPERM) return StartFailure::permission;
    if (code == EADDRINUSE) return StartFailure::address_in_use;
    if (code == EADDRNOTAVAIL) return StartFailure::address_unavailable;
#endif
    return StartFailure::other;
}

const char* style_name(DropStyle style) {
    switch (style) {
        case DropStyle::mid_line: return "mid-line";
        case DropStyle::reset: return "reset";
        default: return "orderly";
    }
}
}  // namespace

struct Simulator::Impl {
    explicit Impl(SimulatorOptions o)
        : options(std::move(o)),
          faults(options.faults),
          model(options.controller_type, options.version, options.inputs),
          status_period_ms(options.status_period_ms) {}

    // --- configuration and shared helpers ---
    SimulatorOptions options;
    platform::NetworkSession network;
    const Clock::time_point epoch = Clock::now();
    FaultInjector faults;
    Trace trace;
    mutable std::mutex observer_mutex;
    std::shared_ptr<const LineObserver> observer;
    std::string address;
    std::uint16_t port = 0;
    platform::Socket listener;
    StartFailure failure = StartFailure::none;

    double ms_since_start(Clock::time_point t) const { return std::chrono::duration<double, std::milli>(t - epoch).count(); }
    double seconds(Clock::time_point t) const { return ms_since_start(t) / 1000.0; }
    void note(const std::string& text) { trace.write(ms_since_start(Clock::now()), '*', text); }
    std::shared_ptr<const LineObserver> line_observer() const {
        std::lock_guard lock(observer_mutex);
        return observer;
    }
    // Hands each line of bytes to the observer, if there is one.
    void observe(double time_ms, char direction, bool garbage, std::string_view bytes) const {
        const auto seen = line_observer();
        if (!seen) return;
        std::size_t start = 0;
        while (start < bytes.size()) {
            std::size_t end = bytes.find('\n', start);
            if (end == std::string_view::npos) end = bytes.size();
            (*seen)(LineEvent{time_ms, direction, garbage, bytes.substr(start, end - start)});
            start = end + 1;
        }
    }

    // --- state, under state_mutex ---
    mutable std::mutex state_mutex;
    mutable std::condition_variable state_cv;  // any change a waiter may look for
    ControllerModel model;
    std::deque<ReceivedCommand> commands;
    std::deque<std::string> chunks;
    std::map<std::string, int, std::less<>> sent_counts;
    int connections = 0;
    int status_period_ms;

    template <typename Predicate>
    bool wait(int timeout_ms, Predicate done) const {
        std::unique_lock lock(state_mutex);
        return state_cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms)),
                                   [&] { return done(); });
    }
    void notify() { state_cv.notify_all(); }

    // --- connections ---
    std::mutex lifecycle_mutex;  // one replacement or close at a time (joins threads)
    mutable std::mutex current_mutex;
    std::shared_ptr<Connection> current_connection;
    int next_id = 0;

    std::shared_ptr<Connection> current() const {
        std::lock_guard lock(current_mutex);
        return current_connection;
    }
    bool connected() const {
        const auto c = current();
        return c && !c->ended();
    }

    // --- threads ---
    std::atomic<bool> stop_requested{false};
    std::mutex run_mutex;
    std::condition_variable run_cv;
    std::thread supervisor;
    std::thread engine;
    bool running = false;

    bool start(std::string* error);
    void stop();
    void supervise();
    void run_engine();
    void accept_one();
    bool close_current(DropStyle style, bool counted);
    Connection::Hooks hooks();

    // Queues a line (line feed added) for a connection under the faults in force.
    void deliver(Connection& connection, const std::string& line, int extra_delay_ms, bool status);
    void deliver_all(const std::shared_ptr<Connection>& connection, const std::vector<Reply>& replies);
    void record(Clock::time_point when, std::vector<std::string>& texts);
};

bool Simulator::Impl::start(std::string* error) {
    const auto fail = [&](StartFailure why, const std::string& message) {
        failure = why;
        if (error != nullptr) *error = message;
        return false;
    };
    if (running) return true;
    failure = StartFailure::none;
    if (options.controller_type != 1 && options.controller_type != 2) {
        return fail(StartFailure::bad_options,
                    "controller type must be 1 (three axes) or 2 (six axes), not " + std::to_string(options.controller_type));
    }
    if (options.port > 65535) return fail(StartFailure::bad_options, "port " + std::to_string(options.port) + " is out of range");
    trace.skip_codes(options.trace_skip);
    std::string trace_error;
    if (!options.trace_path.empty() && !trace.enabled() && !trace.open(options.trace_path, &trace_error)) {
        return fail(StartFailure::trace_file, trace_error);
    }

    address = options.bind_address.empty() ? std::string(ORVANE_CONTROLLER_NET_PREFIX) + "254" : options.bind_address;
    const int wanted = options.port < 0 ? ORVANE_CONTROLLER_PORT : options.port;
    std::uint32_t parsed = 0;
    if (!platform::parse_ipv4(address, parsed)) return fail(StartFailure::bad_options, "'" + address + "' is not an IPv4 address");
    listener = platform::listen_tcp(address, static_cast<std::uint16_t>(wanted), 8, &port);
    if (!listener.valid()) {
        const int code = platform::last_socket_error();
        const StartFailure why = listen_failure(code);
        std::string message = "cannot listen on " + address + ":" + std::to_string(wanted) + ": " + platform::socket_error_text(code);
        switch (why) {
            case StartFailure::permission:
                message += " (on Linux, ports below 1024 need root or the CAP_NET_BIND_SERVICE capability)";
                break;
            case StartFailure::address_in_use:
                message += " (another program already listens on this address and port)";
                break;
            case StartFailure::address_unavailable:
                message += " (" + address + " is not an address of this machine)";
                break;
            default: break;
        }
        return fail(why, message);
    }
    platform::set_non_blocking(listener.get(), true);
    stop_requested = false;
    running = true;
    note("listening on " + address + ":" + std::to_string(port));
    supervisor = std::thread([this] { supervise(); });
    engine = std::thread([this] { run_engine(); });
    return true;
}

void Simulator::Impl::stop() {
    if (!running) return;
    {
        std::lock_guard lock(run_mutex);
        stop_requested = true;
    }
    run_cv.notify_all();
    supervisor.join();
    engine.join();
    close_current(DropStyle::orderly, false);
    listener.close();
    running = false;
    note("stopped");
}

Connection::Hooks Simulator::Impl::hooks() {
    Connection::Hooks h;
    h.on_chunk = [this](Connection&, std::string_view chunk) {
        std::lock_guard lock(state_mutex);
        chunks.emplace_back(chunk);
        while (chunks.size() > options.history_limit) chunks.pop_front();
    };
    h.on_line = [this](Connection& connection, std::string_view line) {
        const auto now = Clock::now();
        trace.write(ms_since_start(now), '<', line);
        if (const auto seen = line_observer()) (*seen)(LineEvent{ms_since_start(now), '<', false, line});
        std::vector<std::string> texts;
        std::vector<Reply> replies;
        {
            std::lock_guard lock(state_mutex);
            model.handle_line(line, seconds(now), texts, replies);
            record(now, texts);
        }
        notify();
        for (const Reply& reply : replies) {
            deliver(connection, reply.text, reply.raw_answer ? options.raw_reply_delay_ms : 0, false);
        }
    };
    h.on_sent = [this](Connection&, std::string_view bytes, bool garbage) {
        const double sent_ms = ms_since_start(Clock::now());
        trace.write(sent_ms, '>', bytes);
        observe(sent_ms, '>', garbage, bytes);
        if (garbage) return;
        {
            std::lock_guard lock(state_mutex);
            std::size_t start = 0;
            while (start < bytes.size()) {
                std::size_t end = bytes.find('\n', start);
                if (end == std::string_view::npos) end = bytes.size();
                const std::string_view code = protocol::line_code(bytes.substr(start, end - start));
                if (!code.empty()) ++sent_counts[std::string(code)];
                start = end + 1;
            }
        }
        notify();
    };
    h.on_end = [this](Connection& connection) {
        note("connection " + std::to_string(connection.id()) + " closed by the client or failed");
        notify();
    };
    return h;
}

void Simulator::Impl::record(Clock::time_point when, std::vector<std::string>& texts) {
    const double time_ms = ms_since_start(when);
    for (std::string& text : texts) commands.push_back({time_ms, std::move(text)});
    while (commands.size() > options.history_limit) commands.pop_front();
}

void Simulator::Impl::deliver(Connection& connection, const std::string& line, int extra_delay_ms, bool status) {
    const FaultOptions f = faults.options();
    if (f.silent) {
        faults.count(&FaultCounters::silenced_lines);
        return;
    }
    if (status && connection.queued_bytes() > status_backlog) return;  // a slow or trickled link
    if (f.reply_delay_ms > 0) faults.count(&FaultCounters::delayed_lines);
    const int delay = std::max(0, f.reply_delay_ms) + std::max(0, extra_delay_ms);
    connection.enqueue(line + "\n", Clock::now() + std::chrono::milliseconds(delay));
}

void Simulator::Impl::deliver_all(const std::shared_ptr<Connection>& connection, const std::vector<Reply>& replies) {
    // Reports made while nobody is connected are lost, as on a real link.
    if (!connection) return;
    for (const Reply& reply : replies) deliver(*connection, reply.text, 0, false);
}

void Simulator::Impl::supervise() {
    // The timed drop of the current connection, planned again for every new
    // connection and every change of the fault settings.
    int planned_for = 0;
    unsigned planned_version = 0;
    auto drop_at = Clock::time_point::max();
    while (!stop_requested.load()) {
        if (platform::wait_readable(listener.get(), accept_slice_ms) > 0) accept_one();

        const auto connection = current();
        if (!connection) continue;
        if (connection->ended()) {
            close_current(DropStyle::orderly, false);
            continue;
        }
        if (connection->id() != planned_for || faults.version() != planned_version) {
            planned_for = connection->id();
            planned_version = faults.version();
            const auto delay = faults.drop_delay();
            drop_at = delay.count() < 0 ? Clock::time_point::max() : connection->accepted_at() + delay;
        }
        if (Clock::now() >= drop_at) {
            const DropStyle style = faults.options().drop_style;
            faults.count(&FaultCounters::timed_drops);
            note("timed drop (" + std::string(style_name(style)) + ")");
            close_current(style, true);
        }
    }
}

void Simulator::Impl::accept_one() {
    platform::Socket socket = platform::accept_connection(listener.get());
    if (!socket.valid()) return;
    if (faults.take_refusal()) {
        note("refused a connection");
        platform::shutdown_both(socket.get());
        return;  // closed here
    }
    std::lock_guard lifecycle(lifecycle_mutex);
    if (const auto old = current()) {
        note("connection " + std::to_string(old->id()) + " replaced");
        {
            std::lock_guard lock(current_mutex);
            current_connection.reset();
        }
        old->close(DropStyle::orderly);
    }
    auto connection = std::make_shared<Connection>(std::move(socket), ++next_id, faults, hooks());
    connection->start();
    {
        std::lock_guard lock(current_mutex);
        current_connection = connection;
    }
    {
        std::lock_guard lock(state_mutex);
        ++connections;
    }
    note("connection " + std::to_string(connection->id()) + " accepted");
    notify();
}

bool Simulator::Impl::close_current(DropStyle style, bool counted) {
    std::lock_guard lifecycle(lifecycle_mutex);
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(current_mutex);
        connection.swap(current_connection);
    }
    if (!connection) return false;
    std::string cut_line;
    if (style == DropStyle::mid_line) {
        std::lock_guard lock(state_mutex);
        cut_line = model.status_line() + "\n";
    }
    // Counted first, so that whoever sees the link end sees the count too.
    if (counted && style == DropStyle::mid_line) faults.count(&FaultCounters::mid_line_closes);
    if (counted && style == DropStyle::reset) faults.count(&FaultCounters::resets);
    connection->close(style, cut_line);
    note("connection " + std::to_string(connection->id()) + " closed (" + style_name(style) + ")");
    notify();
    return true;
}

void Simulator::Impl::run_engine() {
    auto next_status = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        const auto connection = current();
        std::vector<Reply> replies;
        std::string status;
        int period = 0;
        {
            std::lock_guard lock(state_mutex);
            model.update(seconds(now), replies);
            period = status_period_ms;
            if (period > 0 && now >= next_status) {
                if (connection) status = model.status_line();
                next_status += std::chrono::milliseconds(period);
                if (next_status <= now) next_status = now + std::chrono::milliseconds(period);  // fell behind
            }
        }
        notify();  // motion may have completed
        deliver_all(connection, replies);
        if (connection && !status.empty()) deliver(*connection, status, 0, true);

        auto wake = now + std::chrono::milliseconds(engine_tick_ms);
        if (period > 0) wake = std::min(wake, next_status);
        std::unique_lock lock(run_mutex);
        if (run_cv.wait_until(lock, wake, [this] { return stop_requested.load(); })) return;
    }
}

// --- Simulator ---

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(std::string* error) { return impl_->start(error); }
StartFailure Simulator::start_failure() const { return impl_->failure; }
void Simulator::stop() { impl_->stop(); }

const std::string& Simulator::address() const { return impl_->address; }
std::uint16_t Simulator::port() const { return impl_->port; }

bool Simulator::client_connected() const { return impl_->connected(); }

int Simulator::connection_count() const {
    std::lock_guard lock(impl_->state_mutex);
    return impl_->connections;
}

bool Simulator::wait_for_client(int timeout_ms) const {
    return impl_->wait(timeout_ms, [this] { return impl_->connected(); });
}

bool Simulator::wait_for_disconnect(int timeout_ms) const {
    return impl_->wait(timeout_ms, [this] { return !impl_->connected(); });
}

bool Simulator::wait_for_connections(int count, int timeout_ms) const {
    return impl_->wait(timeout_ms, [&] { return impl_->connections >= count; });
}

void Simulator::drop_client() { impl_->close_current(DropStyle::orderly, false); }
void Simulator::drop_client_mid_line() { impl_->close_current(DropStyle::mid_line, true); }
void Simulator::reset_client() { impl_->close_current(DropStyle::reset, true); }

std::vector<ReceivedCommand> Simulator::received_commands() const {
    std::lock_guard lock(impl_->state_mutex);
    return {impl_->commands.begin(), impl_->commands.end()};
}

std::vector<std::string> Simulator::received_chunks() const {
    std::lock_guard lock(impl_->state_mutex);
    return {impl_->chunks.begin(), impl_->chunks.end()};
}

void Simulator::clear_received() {
    std::lock_guard lock(impl_->state_mutex);
    impl_->commands.clear();
    impl_->chunks.clear();
}

namespace {
std::size_t count_prefix(const std::deque<ReceivedCommand>& commands, std::string_view prefix) {
    return static_cast<std::size_t>(std::count_if(commands.begin(), commands.end(), [&](const ReceivedCommand& c) {
        return std::string_view(c.text).substr(0, prefix.size()) == prefix;
    }));
}
}  // namespace

bool Simulator::wait_for_command(std::string_view prefix, int timeout_ms) const {
    return wait_for_commands(prefix, 1, timeout_ms);
}

bool Simulator::wait_for_commands(std::string_view prefix, std::size_t count, int timeout_ms) const {
    return impl_->wait(timeout_ms, [&] { return count_prefix(impl_->commands, prefix) >= count; });
}

std::size_t Simulator::command_count(std::string_view prefix) const {
    std::lock_guard lock(impl_->state_mutex);
    return count_prefix(impl_->commands, prefix);
}

int Simulator::sent_count(std::string_view code) const {
    std::lock_guard lock(impl_->state_mutex);
    const auto it = impl_->sent_counts.find(code);
    return it == impl_->sent_counts.end() ? 0 : it->second;
}

bool Simulator::wait_for_sent(std::string_view code, int count, int timeout_ms) const {
    return impl_->wait(timeout_ms, [&] {
        const auto it = impl_->sent_counts.find(code);
        return it != impl_->sent_counts.end() && it->second >= count;
    });
}

bool Simulator::send_raw(std::string_view text) {
    const auto connection = impl_->current();
    if (!connection) return false;
    const int delay = std::max(0, impl_->faults.options().reply_delay_ms);
    connection->enqueue(std::string(text), Clock::now() + std::chrono::milliseconds(delay));
    return true;
}

void Simulator::set_line_observer(LineObserver observer) {
    auto installed = observer ? std::make_shared<const LineObserver>(std::move(observer)) : nullptr;
    std::lock_guard lock(impl_->observer_mutex);
    impl_->observer = std::move(installed);
}

double Simulator::position(int axis) const {
    if (!valid_axis(axis)) return 0.0;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.position_at(axis, impl_->seconds(Clock::now()));
}

bool Simulator::moving(int axis) const {
    if (!valid_axis(axis)) return false;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.moving_at(axis, impl_->seconds(Clock::now()));
}

bool Simulator::homed(int axis) const {
    if (!valid_axis(axis)) return false;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.homed_at(axis, impl_->seconds(Clock::now()));
}

bool Simulator::wait_for_still(int axis, int timeout_ms) const {
    if (!valid_axis(axis)) return false;
    return impl_->wait(timeout_ms, [&] { return !impl_->model.moving_at(axis, impl_->seconds(Clock::now())); });
}

void Simulator::set_position(int axis, double position) {
    if (!valid_axis(axis)) return;
    std::vector<Reply> replies;
    {
        std::lock_guard lock(impl_->state_mutex);
        const double now = impl_->seconds(Clock::now());
        impl_->model.update(now, replies);
        impl_->model.set_position(axis, position, now);
    }
    impl_->notify();
    impl_->deliver_all(impl_->current(), replies);
}

void Simulator::set_input(int input, bool level) {
    if (!valid_io(input)) return;
    std::lock_guard lock(impl_->state_mutex);
    impl_->model.set_input(input - 1, level);
}

bool Simulator::input(int input) const {
    if (!valid_io(input)) return false;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.input(input - 1);
}

int Simulator::output_value(int output) const {
    if (!valid_io(output)) return 0;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.output_value(output - 1);
}

int Simulator::output_level(int output) const {
    if (!valid_io(output)) return 0;
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.output_level(output - 1);
}

void Simulator::set_output_level(int output, int level) {
    if (!valid_io(output)) return;
    std::lock_guard lock(impl_->state_mutex);
    impl_->model.set_output_level(output - 1, std::clamp(level, 1, 16));
}

int Simulator::controller_type() const {
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.controller_type();
}

AxisRecord Simulator::axis_record(int axis) const {
    if (!valid_axis(axis)) return {};
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.record(axis);
}

void Simulator::set_axis_record(int axis, const AxisRecord& record) {
    if (!valid_axis(axis)) return;
    std::lock_guard lock(impl_->state_mutex);
    impl_->model.set_record(axis, record);
}

void Simulator::set_version(std::string version) {
    std::lock_guard lock(impl_->state_mutex);
    impl_->model.set_version(std::move(version));
}

void Simulator::set_status_period(int ms) {
    {
        std::lock_guard lock(impl_->state_mutex);
        impl_->status_period_ms = std::max(0, ms);
    }
    impl_->run_cv.notify_all();
}

std::array<int, 3> Simulator::fly_setup() const {
    std::lock_guard lock(impl_->state_mutex);
    const FlyCapture::Setup& s = impl_->model.fly().setup();
    return {s.axis, s.count, s.interval_ms};
}

std::vector<double> Simulator::last_fly_positions() const {
    std::lock_guard lock(impl_->state_mutex);
    return impl_->model.fly().report();
}

FaultOptions Simulator::faults() const { return impl_->faults.options(); }
void Simulator::set_faults(const FaultOptions& faults) { impl_->faults.set_options(faults); }
void Simulator::set_drop_after(int ms) {
    impl_->faults.change([&](FaultOptions& f) { f.drop_after_ms = ms; });
}
void Simulator::set_random_drops(int min_ms, int max_ms) {
    impl_->faults.change([&](FaultOptions& f) {
        f.drop_random_min_ms = min_ms;
        f.drop_random_max_ms = max_ms;
    });
}
void Simulator::set_drop_style(DropStyle style) {
    impl_->faults.change([&](FaultOptions& f) { f.drop_style = style; });
}
void Simulator::set_trickle(int delay_ms) {
    impl_->faults.change([&](FaultOptions& f) { f.trickle_delay_ms = delay_ms; });
}
void Simulator::set_merge_window(int ms) {
    impl_->faults.change([&](FaultOptions& f) { f.merge_window_ms = ms; });
}
void Simulator::set_garbage(double probability) {
    impl_->faults.change([&](FaultOptions& f) { f.garbage_probability = probability; });
}
void Simulator::set_silent(bool silent) {
    impl_->faults.change([&](FaultOptions& f) { f.silent = silent; });
}
void Simulator::refuse_connections(int count) {
    impl_->faults.change([&](FaultOptions& f) { f.refuse_connections = count; });
}
void Simulator::set_reply_delay(int ms) {
    impl_->faults.change([&](FaultOptions& f) { f.reply_delay_ms = ms; });
}
FaultCounters Simulator::fault_counters() const { return impl_->faults.counters(); }

}  // namespace orvane::sim
