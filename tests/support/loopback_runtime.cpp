#include "support/loopback_runtime.h"

namespace orvane::testing {

LinkTimings fast_link_timings() {
    LinkTimings timings;
    timings.reconnect_pause_ms = 50;
    timings.idle_poll_ms = 10;
    return timings;
}

RuntimeConfig loopback_config(std::uint16_t port, const std::string& host) {
    RuntimeConfig config;
    config.net_prefix = "127.0.0.";
    config.default_host = host;
    config.port = port;
    config.link = fast_link_timings();
    config.raw_send_pause_ms = 100;
    config.restart_pause_ms = 100;
    config.quick_restart_pause_ms = 50;
    config.home_pause_ms = 5;
    return config;
}

void fill_polled_fields(ControllerMirror& mirror) {
    mirror.output_level[io_total - 1].set(1);
    mirror.axis_params[0].set_float_field(field::max_speed, 100.0f);
    mirror.version_text.set("test version");
}

}  // namespace orvane::testing
