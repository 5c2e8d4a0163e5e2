// Controller handles of the C interface: one Runtime each, created from
// options at run time.
#include <orvane/orvane_c.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "api/c_controller.h"
#include "api/c_operations.h"
#include "api/process_runtime.h"
#include "orvane_build_config.h"


namespace {

using orvane::Runtime;

// Runs an operation on the handle's runtime; a null handle is refused.
template <class Operation>
int with(orvane_controller* controller, Operation&& operation) {
    if (controller == nullptr) return ORVANE_E_BAD_ARGUMENT;
    return orvane::guarded([&] { return operation(*controller->runtime); });
}

int wait_result(orvane::WaitResult result) {
    switch (result) {
        case orvane::WaitResult::done:
            return ORVANE_OK;
        case orvane::WaitResult::timed_out:
            return 0;
        case orvane::WaitResult::closed:
            break;
    }
    return ORVANE_E_CLOSED;
}

template <class Wait>
int counted_wait(orvane_controller* controller, Wait&& wait) {
    if (controller == nullptr) return ORVANE_E_BAD_ARGUMENT;
    controller->waits.fetch_add(1);
    int result = ORVANE_E_NO_RESOURCES;
    try {
        result = wait_result(wait(*controller->runtime));
    } catch (...) {
    }
    controller->waits.fetch_sub(1);
    return result;
}

bool valid_mask(unsigned axes) { return axes != 0 && (axes >> orvane::axis_total) == 0; }

constexpr std::size_t known_options_size =
    offsetof(orvane_options, connection_user_data) + sizeof(static_cast<orvane_options*>(nullptr)->connection_user_data);

}  // namespace

extern "C" {

ORVANE_API void ORVANE_CALL orvane_options_init(orvane_options* options) {
    if (options == nullptr) return;
    std::memset(options, 0, sizeof *options);
    options->size = sizeof *options;
    options->port = ORVANE_CONTROLLER_PORT;
    const orvane::LinkTimings defaults;
    options->connect_timeout_ms = defaults.connect_timeout_ms;
    options->reconnect_pause_ms = defaults.reconnect_pause_ms;
}

ORVANE_API int ORVANE_CALL orvane_create(const orvane_options* options, orvane_controller** controller) {
    if (options == nullptr || controller == nullptr || options->size < known_options_size) {
        return ORVANE_E_BAD_ARGUMENT;
    }
    if (options->port < 1 || options->port > 65535 || options->connect_timeout_ms < 1 ||
        options->reconnect_pause_ms < 0 || options->wait_connected_ms < 0) {
        return ORVANE_E_BAD_ARGUMENT;
    }
    try {
        orvane::RuntimeConfig config;
        config.net_prefix = ORVANE_CONTROLLER_NET_PREFIX;
        if (options->host != nullptr) config.host = options->host;
        config.port = options->port;
        config.link.connect_timeout_ms = options->connect_timeout_ms;
        config.link.reconnect_pause_ms = options->reconnect_pause_ms;
        config.link.resolve_host_names = true;
        config.console = orvane::ConsoleLog::off;
        config.log = orvane::c_ops::log_handler(options->log_handler, options->log_user_data);
        if (options->connection_handler != nullptr) {
            config.on_connection_change = [handler = options->connection_handler,
                                           user_data = options->connection_user_data](bool up) {
                handler(user_data, up ? 1 : 0);
            };
        }
        auto handle = std::make_unique<orvane_controller>();
        handle->runtime = std::make_unique<Runtime>(std::move(config));
        handle->runtime->initial(/*attempt_now=*/false);
        if (options->wait_connected_ms > 0) handle->runtime->wait_connected(options->wait_connected_ms);
        *controller = handle.release();
        return ORVANE_OK;
    } catch (...) {
        return ORVANE_E_NO_RESOURCES;
    }
}

ORVANE_API int ORVANE_CALL orvane_destroy(orvane_controller* controller) {
    if (controller == nullptr) return ORVANE_OK;
    if (controller->runtime->on_own_thread()) return ORVANE_E_IN_CALLBACK;
    try {
        controller->runtime->close();
    } catch (...) {
    }
    // close() woke every wait; they only have to leave.
    while (controller->waits.load() != 0) std::this_thread::yield();
    delete controller;
    return ORVANE_OK;
}

ORVANE_API int ORVANE_CALL orvane_ctl_address(orvane_controller* controller, char* buffer, size_t capacity) {
    if (controller == nullptr || (buffer == nullptr && capacity != 0)) return ORVANE_E_BAD_ARGUMENT;
    return with(controller, [&](Runtime& rt) {
        const std::string address = rt.controller_address();
        if (address.size() >= capacity) {
            if (capacity > 0) buffer[0] = '\0';
            return ORVANE_E_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, address.c_str(), address.size() + 1);
        return ORVANE_OK;
    });
}

ORVANE_API int ORVANE_CALL orvane_ctl_port(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.config().port; });
}

ORVANE_API int ORVANE_CALL orvane_ctl_initial(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.initial(); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_close(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.on_own_thread() ? ORVANE_E_IN_CALLBACK : rt.close(); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_is_connect(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.is_connect(); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_is_ready(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.ready() ? 1 : 0; });
}

ORVANE_API int ORVANE_CALL orvane_ctl_wait_connected(orvane_controller* controller, int timeout_ms) {
    return counted_wait(controller, [&](Runtime& rt) { return rt.wait_connected(timeout_ms); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_wait_ready(orvane_controller* controller, int timeout_ms) {
    return counted_wait(controller, [&](Runtime& rt) { return rt.wait_ready(timeout_ms); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_wait_at_rest(orvane_controller* controller, unsigned axes, int timeout_ms) {
    if (!valid_mask(axes)) return ORVANE_E_BAD_ARGUMENT;
    return counted_wait(controller, [&](Runtime& rt) { return rt.wait_at_rest(axes, timeout_ms); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_wait_homed(orvane_controller* controller, unsigned axes, int timeout_ms) {
    if (!valid_mask(axes)) return ORVANE_E_BAD_ARGUMENT;
    return counted_wait(controller, [&](Runtime& rt) { return rt.wait_homed(axes, timeout_ms); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_cmd(orvane_controller* controller, int code, int axis, const char* text_in,
                                          char* text_out, size_t capacity, size_t* needed) {
    if (controller == nullptr) return ORVANE_E_BAD_ARGUMENT;
    if ((code == ORVANE_CMD_NEW_HOST || code == ORVANE_CMD_SWITCH_HOST) && controller->runtime->on_own_thread()) {
        return ORVANE_E_IN_CALLBACK;
    }
    return orvane::c_ops::cmd(*controller->runtime, code, axis, text_in, text_out, capacity, needed);
}

ORVANE_API int ORVANE_CALL orvane_ctl_set_speed(orvane_controller* controller, int axis, float speed) {
    return with(controller, [&](Runtime& rt) { return rt.set_speed(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_single_move_to(orvane_controller* controller, int axis, double position) {
    return with(controller, [&](Runtime& rt) { return rt.single_move_to(axis, position); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_xyz_move_to(orvane_controller* controller, double x, double y, double z) {
    return with(controller, [&](Runtime& rt) { return rt.xyz_move_to(x, y, z); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_go_home(orvane_controller* controller, int axis, float speed) {
    return with(controller, [&](Runtime& rt) { return rt.go_home(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_jog_move(orvane_controller* controller, int axis, int direction) {
    return with(controller, [&](Runtime& rt) { return rt.jog_move(axis, direction != 0); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_stop(orvane_controller* controller, int axis, int mode) {
    return with(controller, [&](Runtime& rt) { return rt.stop(axis, mode); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_zero(orvane_controller* controller, int axis) {
    return with(controller, [&](Runtime& rt) { return rt.zero(axis); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_set_fly(orvane_controller* controller, int first, int second, int third) {
    return with(controller, [&](Runtime& rt) { return rt.set_fly(first, second, third); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_start_fly(orvane_controller* controller, int first, int second) {
    return with(controller, [&](Runtime& rt) { return rt.start_fly(first, second); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_trim_fly(orvane_controller* controller, int value) {
    return with(controller, [&](Runtime& rt) { return rt.trim_fly(value); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_set_output_value(orvane_controller* controller, int output, int value) {
    return with(controller, [&](Runtime& rt) { return rt.set_output_value(output, value); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_set_output_on(orvane_controller* controller, int output, int on) {
    return with(controller, [&](Runtime& rt) { return rt.set_output_on(output, on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_set_output_all(orvane_controller* controller, int on) {
    return with(controller, [&](Runtime& rt) { return rt.set_output_all(on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_type(orvane_controller* controller) {
    return with(controller, [](Runtime& rt) { return rt.get_type(); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_acc_time(orvane_controller* controller, int axis, double* time) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_acc_time(rt, axis, time); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_axis_rotation(orvane_controller* controller, int axis, int* flag) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_axis_rotation(rt, axis, flag); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_fly(orvane_controller* controller, int* first, int* second, int* third) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_fly(rt, first, second, third); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_fly_pos(orvane_controller* controller, double* positions, size_t capacity) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_fly_pos(rt, positions, capacity); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_home_state(orvane_controller* controller, int axis, int* state) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_home_state(rt, axis, state); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_input_bit(orvane_controller* controller, int input, int* level) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_input_bit(rt, input, level); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_input_bits(orvane_controller* controller, int levels[24]) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_input_bits(rt, levels); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_soft_limits(orvane_controller* controller, int axis, double* left,
                                                      double* right) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_soft_limits(rt, axis, left, right); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_max_speed(orvane_controller* controller, int axis, int* speed) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_max_speed(rt, axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_move_state(orvane_controller* controller, int axis, int* state) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_move_state(rt, axis, state); });
}

ORVANE_API int ORVANE_CALL orvane_ctl_get_pos(orvane_controller* controller, double positions[6]) {
    return with(controller, [&](Runtime& rt) { return orvane::c_ops::get_pos(rt, positions); });
}

}  // extern "C"
