#include "state/runtime.h"

#include <chrono>

#include "orvane_build_config.h"
#include "platform/platform.h"
#include "state/response_parser.h"

namespace orvane {

RuntimeConfig RuntimeConfig::defaults() {
    RuntimeConfig config;
    config.net_prefix = ORVANE_CONTROLLER_NET_PREFIX;
    config.port = ORVANE_CONTROLLER_PORT;
    return config;
}

Runtime::Runtime(RuntimeConfig config)
    : config_(std::move(config)),
      mirror_(config_.net_prefix + config_.default_host),
      pending_(wakeup_),
      link_(config_.link),
      poll_loop_(mirror_, pending_, link_, wakeup_) {}

Runtime::~Runtime() { close(); }

int Runtime::initial() {
    std::lock_guard lock(lifecycle_mutex_);
    return initial_locked();
}

int Runtime::initial_locked() {
    if (started_) {
        // Already running: one link, one loop, callbacks left in place.
        return mirror_.connected.load() ? 1 : 0;
    }
    mirror_.stop_requested.store(false);
    for (std::size_t i = 0; i < io_total; ++i) {
        mirror_.output_value[i].set(0);
        mirror_.output_level[i].set(0);
    }
    mirror_.axis_params[0].set_float_field(field::max_speed, 0.0f);
    mirror_.connected.store(false);

    link_.set_connection_callback([this](bool up) { on_connection_change(up); });
    link_.set_data_callback([this](std::string chunk) { on_data(chunk); });

    platform::pin_module();
    started_ = true;
    link_.start(mirror_.controller_address.get(), config_.port);
    poll_loop_.start();
    return mirror_.connected.load() ? 1 : 0;
}

int Runtime::close() {
    std::lock_guard lock(lifecycle_mutex_);
    ++close_generation_;
    lifecycle_cv_.notify_all();
    stop_locked();
    return 1;
}

void Runtime::stop_locked() {
    if (!started_) return;
    mirror_.stop_requested.store(true);
    wakeup_.signal();
    link_.mark_disconnected();
    // Shutting the socket down also frees a poll loop blocked in a send.
    link_.disconnect();
    poll_loop_.join();
    // A receive thread that was between two receives ends without reporting
    // the loss; the library is down all the same.
    if (mirror_.connected.load()) on_connection_change(false);
    started_ = false;
    platform::unpin_module();
}

int Runtime::is_connect() const { return mirror_.connected.load() ? 1 : 0; }

void Runtime::restart(const std::string& host_text, int pause_ms) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(lifecycle_mutex_);
        std::uint32_t unused = 0;
        // A complete dotted address is used whole; a host number goes after
        // the controller network prefix.
        mirror_.controller_address.set(platform::parse_ipv4(host_text, unused) ? host_text
                                                                                : config_.net_prefix + host_text);
        stop_locked();
        generation = close_generation_;
    }
    if (!lifecycle_pause(pause_ms, generation)) return;
    std::lock_guard lock(lifecycle_mutex_);
    if (generation != close_generation_) return;
    initial_locked();
}

bool Runtime::lifecycle_pause(int ms, std::uint64_t generation) {
    std::unique_lock lock(lifecycle_mutex_);
    return !lifecycle_cv_.wait_for(lock, std::chrono::milliseconds(ms),
                                   [&] { return close_generation_ != generation; });
}

void Runtime::queue(std::string_view command) { pending_.append(command); }

void Runtime::on_connection_change(bool up) {
    mirror_.connected.store(up);
    for (std::size_t i = 0; i < io_total; ++i) mirror_.output_level[i].set(0);
    mirror_.axis_params[0].set_float_field(field::max_speed, 0.0f);
    mirror_.status_count.set(0);
    mirror_.version_text.set({});
    wakeup_.signal();
}

void Runtime::on_data(std::string_view chunk) {
    const bool was_synced = mirror_.outputs_synced.load();
    apply_chunk(mirror_, chunk);
    // The first seeding leaves outputs to send: let the poll loop see them.
    if (!was_synced && mirror_.outputs_synced.load()) wakeup_.signal();
}

}  // namespace orvane
