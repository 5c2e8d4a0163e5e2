#include "api/runtime.h"

#include <chrono>

#include "orvane_build_config.h"
#include "platform/platform.h"
#include "state/response_parser.h"

namespace orvane {

RuntimeConfig RuntimeConfig::defaults() {
    RuntimeConfig config;
    config.net_prefix = ORVANE_CONTROLLER_NET_PREFIX;
    config.port = ORVANE_CONTROLLER_PORT;
    config.console = console_log_from_environment();
    return config;
}

Runtime::Runtime(RuntimeConfig config)
    : config_(std::move(config)),
      mirror_(config_.host.empty() ? config_.net_prefix + config_.default_host : config_.host),
      pending_(wakeup_),
      link_(config_.link),
      poll_loop_(mirror_, pending_, link_, wakeup_),
      log_handler_(config_.log) {
    link_.set_progress_callback([this](const std::string& line) { log(MessageLevel::info, line); });
    link_.set_error_callback([this](const std::string& text) {
        log(text == TCPClient::text_reconnect_failed() ? MessageLevel::warning : MessageLevel::error, text);
    });
}

Runtime::~Runtime() { close(); }

void Runtime::set_log_handler(LogHandler handler) {
    std::lock_guard lock(log_mutex_);
    log_handler_ = std::move(handler);
}

void Runtime::log(MessageLevel level, const std::string& gbk_text) {
    LogHandler handler;
    {
        std::lock_guard lock(log_mutex_);
        handler = log_handler_;
    }
    if (handler) {
        handler(level, link_text_to_utf8(gbk_text));
    } else {
        write_console_line(config_.console, gbk_text);
    }
}

int Runtime::initial(bool attempt_now) {
    std::lock_guard lock(lifecycle_mutex_);
    return initial_locked(attempt_now);
}

int Runtime::initial_locked(bool attempt_now) {
    if (started_) {
        // Already running: one link, one loop, callbacks left in place.
        return mirror_.connected.load() ? 1 : 0;
    }
    for (std::size_t i = 0; i < io_total; ++i) {
        mirror_.output_value[i].set(0);
        mirror_.output_level[i].set(0);
    }
    mirror_.axis_params[0].set_float_field(field::max_speed, 0.0f);
    mirror_.connected.store(false);
    pending_.open();

    link_.set_connection_callback([this](bool up) { on_connection_change(up); });
    link_.set_data_callback([this](std::string chunk) { on_data(chunk); });
    link_.set_quiet_callback(LineAssembler::quiet_ms, [this] { on_quiet(); });

    platform::pin_module();
    started_ = true;
    running_.store(true);
    poll_loop_.start();
    link_.start(mirror_.controller_address.get(), config_.port, attempt_now);
    return mirror_.connected.load() ? 1 : 0;
}

int Runtime::close() {
    // From a handler the stop would wait for the very thread it runs on.
    if (on_own_thread()) return 0;
    std::lock_guard lock(lifecycle_mutex_);
    ++close_generation_;
    lifecycle_cv_.notify_all();
    stop_locked();
    return 1;
}

void Runtime::stop_locked() {
    // From here on nothing queued is sent later, in this session or another.
    pending_.close();
    wait_generation_.fetch_add(1);
    running_.store(false);
    notify_waiters();
    if (!started_) {
        pending_.discard();
        return;
    }
    // The loop sends what was queued before, in one last pass, while the
    // link is up; a peer that does not read gets a short grace, then the
    // link is shut, which also frees a send stuck in it.
    poll_loop_.request_stop(/*final_pass=*/true);
    poll_loop_.wait_finished(std::chrono::milliseconds(100));
    // Stopping the link clears its running flag before it shuts the socket,
    // so its thread ends instead of reconnecting.
    link_.disconnect();
    poll_loop_.join();
    pending_.discard();
    // The link's own thread reports no loss while it stops; the library is
    // down all the same.
    if (mirror_.connected.load()) on_connection_change(false);
    started_ = false;
    platform::unpin_module();
}

int Runtime::is_connect() const { return mirror_.connected.load() ? 1 : 0; }

bool Runtime::on_own_thread() const { return link_.on_link_thread() || poll_loop_.on_loop_thread(); }

void Runtime::restart(const std::string& host_text, int pause_ms) {
    // From a handler the stop would wait for the very thread it runs on.
    if (on_own_thread()) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(lifecycle_mutex_);
        std::uint32_t unused = 0;
        // A complete dotted address is used whole; a host number goes after
        // the controller network prefix.
        // A host name is used whole where names are looked up.
        const bool whole = platform::parse_ipv4(host_text, unused) ||
                           (config_.link.resolve_host_names &&
                            host_text.find_first_not_of("0123456789") != std::string::npos);
        mirror_.controller_address.set(whole ? host_text : config_.net_prefix + host_text);
        stop_locked();
        generation = close_generation_;
    }
    if (!lifecycle_pause(pause_ms, generation)) return;
    std::lock_guard lock(lifecycle_mutex_);
    if (generation != close_generation_) return;
    initial_locked(true);
}

bool Runtime::lifecycle_pause(int ms, std::uint64_t generation) {
    std::unique_lock lock(lifecycle_mutex_);
    return !lifecycle_cv_.wait_for(lock, std::chrono::milliseconds(ms),
                                   [&] { return close_generation_ != generation; });
}

void Runtime::queue(std::string_view command) { pending_.append(command); }

void Runtime::on_connection_change(bool up) {
    {
        // What was kept of the last connection's bytes is no beginning of
        // the next one's.
        std::lock_guard lock(receive_mutex_);
        assembler_.reset();
    }
    mirror_.connected.store(up);
    for (std::size_t i = 0; i < io_total; ++i) mirror_.output_level[i].set(0);
    mirror_.axis_params[0].set_float_field(field::max_speed, 0.0f);
    mirror_.status_count.set(0);
    mirror_.version_text.set({});
    wakeup_.signal();
    notify_waiters();
    if (config_.on_connection_change) {
        try {
            config_.on_connection_change(up);
        } catch (...) {
        }
    }
}

void Runtime::on_data(std::string_view chunk) {
    bool kept = false;
    {
        std::lock_guard lock(receive_mutex_);
        assembler_.feed(chunk, [this](std::string_view text) { apply_text(text); });
        kept = assembler_.has_tail();
    }
    if (kept) link_.request_quiet_notice();
    notify_waiters();
}

void Runtime::on_quiet() {
    {
        std::lock_guard lock(receive_mutex_);
        assembler_.flush([this](std::string_view text) { apply_text(text); });
    }
    notify_waiters();
}

void Runtime::apply_text(std::string_view text) {
    const bool was_synced = mirror_.outputs_synced.load();
    apply_chunk(mirror_, text);
    // The first seeding leaves outputs to send: let the poll loop see them.
    if (!was_synced && mirror_.outputs_synced.load()) wakeup_.signal();
}

bool Runtime::ready() const {
    return mirror_.connected.load() && mirror_.output_level[io_total - 1].get() != 0 &&
           static_cast<double>(mirror_.axis_params[0].float_field(field::max_speed)) >= 0.1 &&
           mirror_.version_text.size() >= 2;
}

bool Runtime::at_rest(AxisMask axes) const {
    if (!mirror_.connected.load() || !mirror_.state_bits_current()) return false;
    for (int a = 0; a < axis_total; ++a) {
        if ((axes >> a & 1u) && !mirror_.axis_state_bits[static_cast<std::size_t>(2 * a)].get()) return false;
    }
    return true;
}

bool Runtime::homed(AxisMask axes) const {
    if (!mirror_.connected.load() || !mirror_.state_bits_current()) return false;
    for (int a = 0; a < axis_total; ++a) {
        if ((axes >> a & 1u) && !mirror_.axis_state_bits[static_cast<std::size_t>(2 * a + 1)].get()) return false;
    }
    return true;
}

void Runtime::notify_waiters() {
    if (waiters_.load() == 0) return;
    {
        // Taken so that a waiter between its check and its sleep cannot
        // miss this change.
        std::lock_guard lock(wait_mutex_);
    }
    wait_cv_.notify_all();
}

template <class Condition>
WaitResult Runtime::wait_until(int timeout_ms, Condition&& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    const std::uint64_t generation = wait_generation_.load();
    waiters_.fetch_add(1);
    std::unique_lock lock(wait_mutex_);
    WaitResult result = WaitResult::timed_out;
    for (;;) {
        if (!running_.load() || wait_generation_.load() != generation) {
            result = WaitResult::closed;
            break;
        }
        if (condition()) {
            result = WaitResult::done;
            break;
        }
        // Also wakes now and then: a condition may turn true through a
        // change that does not notify (a move resetting the hold-off).
        const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        if (wait_cv_.wait_until(lock, std::min(deadline, slice)) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            if (condition()) result = WaitResult::done;
            break;
        }
    }
    lock.unlock();
    waiters_.fetch_sub(1);
    return result;
}

WaitResult Runtime::wait_connected(int timeout_ms) {
    return wait_until(timeout_ms, [this] { return mirror_.connected.load(); });
}

WaitResult Runtime::wait_ready(int timeout_ms) {
    return wait_until(timeout_ms, [this] { return ready(); });
}

WaitResult Runtime::wait_at_rest(AxisMask axes, int timeout_ms) {
    return wait_until(timeout_ms, [this, axes] { return at_rest(axes); });
}

WaitResult Runtime::wait_homed(AxisMask axes, int timeout_ms) {
    return wait_until(timeout_ms, [this, axes] { return homed(axes); });
}

}  // namespace orvane
