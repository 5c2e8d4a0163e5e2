// orvane::Controller: one controller, for C++ hosts.
//
// Header-only, over the C interface (orvane_c.h) and nothing else, so a host
// built with another compiler or standard library than the library (MSVC
// against the mingw-built DLL, clang with libc++ against a g++ build) is
// safe: no C++ object crosses the library's boundary.
//
//     orvane::ControllerOptions options;
//     options.host = "192.168.0.7";
//     orvane::Controller controller(options);
//     if (controller.wait_ready(std::chrono::seconds(3)) == orvane::WaitStatus::done) {
//         controller.set_speed(0, 20.0f);
//         controller.move_to(0, 100.0);
//         controller.wait_at_rest({0}, std::chrono::seconds(10));
//     }
//
// Exceptions: the constructor throws orvane::Error when the handle cannot
// be made (bad options, no memory or thread), because an object that
// exists always holds a running handle. cmd() throws std::invalid_argument
// or std::out_of_range for codes 3 and 5 when a field does not convert,
// with the same texts as Orvane_cmd, so code written against the exports
// keeps its error handling. Anything that allocates may throw
// std::bad_alloc. Nothing else throws: refusals come back as false, an
// empty std::optional or a result code, as in the C interface.
//
// Threads: every member may be called from any thread, except that the
// destructor, close() and move assignment must not run concurrently with
// other calls on the same object (a wait on another thread is fine: it
// returns WaitStatus::closed). The handlers run on the library's threads:
// they must return quickly and must not close or destroy their own
// Controller.
#pragma once

#include <orvane/orvane_c.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

// A failure of the C interface, with its code (ORVANE_E_*).
class Error : public std::runtime_error {
public:
    explicit Error(int code) : std::runtime_error(orvane_strerror(code)), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

enum class LogLevel { info = ORVANE_LOG_INFO, warning = ORVANE_LOG_WARNING, error = ORVANE_LOG_ERROR };

struct ControllerOptions {
    // Dotted IPv4 address or host name; empty: the build's default address.
    std::string host;
    // 0: the build's default controller port.
    int port = 0;
    std::chrono::milliseconds connect_timeout{1000};
    std::chrono::milliseconds reconnect_pause{3000};
    // The constructor waits up to this long for the link (0: not at all).
    std::chrono::milliseconds wait_connected{0};
    // Messages of the link as UTF-8 text; none are kept when empty.
    std::function<void(LogLevel, std::string_view)> log;
    // Told true when the link comes up, false when it goes down.
    std::function<void(bool)> on_connection_change;
};

// closed: the Controller was closed (or its handle destroyed) meanwhile;
// refused: an axis outside 0..5, or none.
enum class WaitStatus { done, timed_out, closed, refused };

class Controller {
public:
    explicit Controller(ControllerOptions options = {}) : handlers_(std::make_unique<Handlers>()) {
        handlers_->log = std::move(options.log);
        handlers_->on_connection_change = std::move(options.on_connection_change);
        orvane_options c_options;
        orvane_options_init(&c_options);
        if (!options.host.empty()) c_options.host = options.host.c_str();
        if (options.port != 0) c_options.port = options.port;
        c_options.connect_timeout_ms = to_ms(options.connect_timeout);
        c_options.reconnect_pause_ms = to_ms(options.reconnect_pause);
        c_options.wait_connected_ms = to_ms(options.wait_connected);
        if (handlers_->log) {
            c_options.log_handler = &Handlers::log_trampoline;
            c_options.log_user_data = handlers_.get();
        }
        if (handlers_->on_connection_change) {
            c_options.connection_handler = &Handlers::connection_trampoline;
            c_options.connection_user_data = handlers_.get();
        }
        const int result = orvane_create(&c_options, &handle_);
        if (result != ORVANE_OK) throw Error(result);
    }

    ~Controller() { reset(); }

    Controller(Controller&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), handlers_(std::move(other.handlers_)) {}
    Controller& operator=(Controller&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            handlers_ = std::move(other.handlers_);
        }
        return *this;
    }
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // The C handle, for calls this class does not wrap. Null after a move.
    orvane_controller* handle() const noexcept { return handle_; }

    std::string address() const {
        char buffer[256] = {};
        return orvane_ctl_address(handle_, buffer, sizeof buffer) == ORVANE_OK ? std::string(buffer) : std::string();
    }
    int port() const noexcept { return orvane_ctl_port(handle_); }

    // ---- Session --------------------------------------------------------
    bool initial() noexcept { return orvane_ctl_initial(handle_) == 1; }
    // Sends what is queued while the link is up, then stops.
    bool close() noexcept { return orvane_ctl_close(handle_) == 1; }
    bool connected() const noexcept { return orvane_ctl_is_connect(handle_) == 1; }
    bool ready() const noexcept { return orvane_ctl_is_ready(handle_) == 1; }

    WaitStatus wait_connected(std::chrono::milliseconds timeout) const noexcept {
        return status(orvane_ctl_wait_connected(handle_, to_ms(timeout)));
    }
    WaitStatus wait_ready(std::chrono::milliseconds timeout) const noexcept {
        return status(orvane_ctl_wait_ready(handle_, to_ms(timeout)));
    }
    WaitStatus wait_at_rest(std::initializer_list<int> axes, std::chrono::milliseconds timeout) const noexcept {
        return status(orvane_ctl_wait_at_rest(handle_, mask(axes), to_ms(timeout)));
    }
    WaitStatus wait_homed(std::initializer_list<int> axes, std::chrono::milliseconds timeout) const noexcept {
        return status(orvane_ctl_wait_homed(handle_, mask(axes), to_ms(timeout)));
    }

    // ---- Motion ----------------------------------------------------------
    bool set_speed(int axis, float speed) noexcept { return orvane_ctl_set_speed(handle_, axis, speed) == 1; }
    bool move_to(int axis, double position) noexcept {
        return orvane_ctl_single_move_to(handle_, axis, position) == 1;
    }
    bool xyz_move_to(double x, double y, double z) noexcept { return orvane_ctl_xyz_move_to(handle_, x, y, z) == 1; }
    bool home(int axis, float speed = 0.0f) noexcept { return orvane_ctl_go_home(handle_, axis, speed) == 1; }
    bool jog(int axis, bool positive) noexcept { return orvane_ctl_jog_move(handle_, axis, positive ? 1 : 0) == 1; }
    bool stop(int axis, int mode = 0) noexcept { return orvane_ctl_stop(handle_, axis, mode) == 1; }
    bool zero(int axis) noexcept { return orvane_ctl_zero(handle_, axis) == 1; }

    // ---- Fly -------------------------------------------------------------
    bool set_fly(int first, int second, int third) noexcept {
        return orvane_ctl_set_fly(handle_, first, second, third) == 1;
    }
    bool start_fly(int first, int second) noexcept { return orvane_ctl_start_fly(handle_, first, second) == 1; }
    bool trim_fly(int value) noexcept { return orvane_ctl_trim_fly(handle_, value) == 1; }
    std::array<int, 3> fly() const noexcept {
        std::array<int, 3> settings{};
        orvane_ctl_get_fly(handle_, &settings[0], &settings[1], &settings[2]);
        return settings;
    }
    std::vector<double> fly_positions() const {
        std::vector<double> positions;
        for (;;) {
            const int held = orvane_ctl_get_fly_pos(handle_, positions.data(), positions.size());
            if (held < 0) return {};
            if (static_cast<std::size_t>(held) <= positions.size()) {
                positions.resize(static_cast<std::size_t>(held));
                return positions;
            }
            positions.resize(static_cast<std::size_t>(held));  // the list grew: again, larger
        }
    }

    // ---- Outputs -----------------------------------------------------------
    bool set_output_value(int output, int value) noexcept {
        return orvane_ctl_set_output_value(handle_, output, value) == 1;
    }
    bool set_output(int output, bool on) noexcept { return orvane_ctl_set_output_on(handle_, output, on ? 1 : 0) == 1; }
    bool set_all_outputs(bool on) noexcept { return orvane_ctl_set_output_all(handle_, on ? 1 : 0) == 1; }

    // ---- Queries (empty when refused: not connected, or out of range) ----
    int type() const noexcept { return orvane_ctl_get_type(handle_); }
    std::optional<std::array<double, 6>> positions() const noexcept {
        std::array<double, 6> values{};
        if (orvane_ctl_get_pos(handle_, values.data()) != 1) return std::nullopt;
        return values;
    }
    std::optional<bool> at_rest(int axis) const noexcept { return flag(orvane_ctl_get_move_state, axis); }
    std::optional<bool> homed(int axis) const noexcept { return flag(orvane_ctl_get_home_state, axis); }
    std::optional<bool> input(int number) const noexcept { return flag(orvane_ctl_get_input_bit, number); }
    std::optional<std::array<bool, 24>> inputs() const noexcept {
        int levels[24] = {};
        if (orvane_ctl_get_input_bits(handle_, levels) != 1) return std::nullopt;
        std::array<bool, 24> values{};
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = levels[i] != 0;
        return values;
    }
    std::optional<double> acc_time(int axis) const noexcept {
        double time = 0;
        if (orvane_ctl_get_acc_time(handle_, axis, &time) != 1) return std::nullopt;
        return time;
    }
    std::optional<bool> axis_rotation(int axis) const noexcept { return flag(orvane_ctl_get_axis_rotation, axis); }
    std::optional<std::pair<double, double>> soft_limits(int axis) const noexcept {
        double left = 0, right = 0;
        if (orvane_ctl_get_soft_limits(handle_, axis, &left, &right) != 1) return std::nullopt;
        return std::pair{left, right};
    }
    std::optional<int> max_speed(int axis) const noexcept {
        int speed = 0;
        if (orvane_ctl_get_max_speed(handle_, axis, &speed) != 1) return std::nullopt;
        return speed;
    }
    std::optional<std::string> version() const { return text_code(ORVANE_CMD_VERSION, 0); }
    // The parameter text of an axis (code 2): 21 fields.
    std::optional<std::string> parameters(int axis) const { return text_code(ORVANE_CMD_READ_PARAMETERS, axis); }

    // ---- The numbered entry point -----------------------------------------
    // As Orvane_cmd: text is read, or receives the result (appended for codes
    // 1, 2 and 4). Returns the code's result. Throws std::invalid_argument or
    // std::out_of_range for codes 3 and 5 (see the top of this header).
    int cmd(int code, int axis, std::string& text) {
        std::vector<char> out(256);
        std::size_t needed = 0;
        for (;;) {
            const int result = orvane_ctl_cmd(handle_, code, axis, text.c_str(), out.data(), out.size(), &needed);
            if (result == ORVANE_E_BUFFER_TOO_SMALL) {
                out.resize(needed);
                continue;
            }
            if (result == ORVANE_E_INVALID_ARGUMENT) throw std::invalid_argument(orvane_last_error());
            if (result == ORVANE_E_OUT_OF_RANGE) throw std::out_of_range(orvane_last_error());
            if (result == 1 && needed > 0) text.assign(out.data());
            return result;
        }
    }

private:
    struct Handlers {
        std::function<void(LogLevel, std::string_view)> log;
        std::function<void(bool)> on_connection_change;

        static void ORVANE_CALL log_trampoline(void* self, int level, const char* message) {
            try {
                static_cast<Handlers*>(self)->log(static_cast<LogLevel>(level), message);
            } catch (...) {
            }
        }
        static void ORVANE_CALL connection_trampoline(void* self, int connected) {
            try {
                static_cast<Handlers*>(self)->on_connection_change(connected != 0);
            } catch (...) {
            }
        }
    };

    void reset() noexcept {
        if (handle_ != nullptr) orvane_destroy(handle_);
        handle_ = nullptr;
    }

    static int to_ms(std::chrono::milliseconds duration) noexcept {
        const auto count = duration.count();
        return count < 0 ? 0 : (count > 2147483647 ? 2147483647 : static_cast<int>(count));
    }

    static unsigned mask(std::initializer_list<int> axes) noexcept {
        unsigned bits = 0;
        for (int axis : axes) bits |= axis >= 0 && axis < 6 ? 1u << axis : 1u << 6;  // 1 << 6: refused
        return bits;
    }

    static WaitStatus status(int result) noexcept {
        if (result == 1) return WaitStatus::done;
        if (result == 0) return WaitStatus::timed_out;
        if (result == ORVANE_E_CLOSED) return WaitStatus::closed;
        return WaitStatus::refused;
    }

    template <class Query>
    std::optional<bool> flag(Query query, int index) const noexcept {
        int value = 0;
        if (query(handle_, index, &value) != 1) return std::nullopt;
        return value != 0;
    }

    std::optional<std::string> text_code(int code, int axis) const {
        std::string text;
        if (const_cast<Controller*>(this)->cmd(code, axis, text) != 1) return std::nullopt;
        return text;
    }

    orvane_controller* handle_ = nullptr;
    std::unique_ptr<Handlers> handlers_;
};

}  // namespace orvane
