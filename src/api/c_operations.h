// The C shape of every operation (pointers for results, int for truth
// values, the text of orvane_cmd in two buffers), once, for any Runtime:
// the process-wide functions and the handle functions of the C interface
// both call these.
#pragma once

#include <orvane/orvane_c.h>

#include <cstddef>

#include "api/runtime.h"

namespace orvane::c_ops {

// The last conversion error of orvane_cmd on this thread.
const char* last_error();

int cmd(Runtime& rt, int code, int axis, const char* text_in, char* text_out, std::size_t capacity,
        std::size_t* needed);
int get_acc_time(Runtime& rt, int axis, double* time);
int get_axis_rotation(Runtime& rt, int axis, int* flag);
int get_fly(Runtime& rt, int* first, int* second, int* third);
int get_fly_pos(Runtime& rt, double* positions, std::size_t capacity);
int get_home_state(Runtime& rt, int axis, int* state);
int get_input_bit(Runtime& rt, int input, int* level);
int get_input_bits(Runtime& rt, int* levels);
int get_soft_limits(Runtime& rt, int axis, double* left, double* right);
int get_max_speed(Runtime& rt, int axis, int* speed);
int get_move_state(Runtime& rt, int axis, int* state);
int get_pos(Runtime& rt, double* positions);

// A log handler of the C interface as the runtime's handler (empty for
// null).
LogHandler log_handler(orvane_log_handler handler, void* user_data);

}  // namespace orvane::c_ops
