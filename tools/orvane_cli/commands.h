// The subcommands of the orvane tool. Each runs against the connected
// process-wide library and returns an exit code (support.h).
#pragma once

#include <string>

namespace orvane::sim {
class Simulator;
}

namespace orvane::tool {

struct Context {
    orvane::sim::Simulator* sim = nullptr;  // the in-process simulator of --sim
    std::string address;                    // where the controller is
    bool terminal = false;                  // standard output is a terminal
};

int run_status(const Context& ctx);
int run_watch(const Context& ctx, int interval_ms, int count);
int run_move(const Context& ctx, int axis, double position, double speed, bool wait, double wait_timeout);
int run_xyz(const Context& ctx, double x, double y, double z, double speed, bool wait, double wait_timeout);
int run_home(const Context& ctx, int axis, double speed, bool wait, double wait_timeout);
int run_jog(const Context& ctx, int axis, const std::string& direction, double speed, double for_seconds);
int run_stop(const Context& ctx, int axis, int mode);
int run_zero(const Context& ctx, int axis);
int run_out(const Context& ctx, int output, const std::string& value);
int run_in(const Context& ctx, int input);  // 0: all
int run_params(const Context& ctx, int axis, const std::string& set_text);
int run_levels(const Context& ctx, const std::string& set_text);
int run_raw(const Context& ctx, const std::string& text, bool exact, double answer_timeout);
int run_fly_setup(const Context& ctx, int axis, int count, int interval_ms);
int run_fly_start(const Context& ctx, int first, int second, double wait_s);
int run_fly_trim(const Context& ctx, int value, double wait_s);
int run_fly_positions(const Context& ctx, double wait_s);
int run_version(const Context& ctx);

}  // namespace orvane::tool
