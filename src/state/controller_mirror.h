// What the library knows about the controller. The reply parser writes it,
// the exports read it and answer from it at once, the poll loop reads it to
// decide what to ask for. Numbers are atomics (each read and written whole,
// no promise of consistency across fields); texts and the fly list are
// copied under a lock of their own so no read overlaps a replacement.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orvane {

inline constexpr int axis_total = 6;
inline constexpr int io_total = 24;
inline constexpr int raw_count_total = 12;  // 6 pulse counts, then 6 encoder counts
inline constexpr int state_bit_total = 12;  // 2a: move state, 2a + 1: home state
inline constexpr int fly_counter_total = 3;

// Field numbers of an axis parameter record: its position in every text form.
namespace field {
enum : int {
    p0,
    p1,
    pulses_per_rev,
    p3,
    p4,
    axis_rotation,
    p6,
    p7,
    p8,
    use_encoder,
    soft_limit_margin,  // first float field
    p11,
    max_speed,
    home_speed,
    left_soft_limit,
    right_soft_limit,
    p16,
    acc_time,
    encoder_scale,
    travel_per_rev,
    p20,
};
inline constexpr int int_count = 10;
inline constexpr int float_count = 11;
inline constexpr int count = int_count + float_count;
}  // namespace field

// A plain copy of one axis's parameter record.
struct AxisParams {
    std::array<std::int32_t, field::int_count> ints{0, 0, 10000, 1, 50, 0, 0, 0, 0, 0};
    std::array<float, field::float_count> floats{0.0f,      0.0f,     0.0f,  5.0f,   -10000.0f, 10000.0f,
                                                 10.0f,     0.2f,     0.001f, 10.0f, 1.0f};
    std::int32_t int_field(int k) const { return ints[static_cast<std::size_t>(k)]; }
    float float_field(int k) const { return floats[static_cast<std::size_t>(k - field::int_count)]; }
};

// A number shared between threads: read and written whole, no ordering
// promised against other fields.
template <class T>
class Cell {
public:
    Cell() = default;
    explicit Cell(T initial) : value_(initial) {}
    T get() const { return value_.load(std::memory_order_relaxed); }
    void set(T v) { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<T> value_{};
};

// One axis's parameter record, shared.
class SharedAxisParams {
public:
    SharedAxisParams() { assign(AxisParams{}); }
    std::int32_t int_field(int k) const { return ints_[static_cast<std::size_t>(k)].get(); }
    void set_int_field(int k, std::int32_t v) { ints_[static_cast<std::size_t>(k)].set(v); }
    float float_field(int k) const { return floats_[static_cast<std::size_t>(k - field::int_count)].get(); }
    void set_float_field(int k, float v) { floats_[static_cast<std::size_t>(k - field::int_count)].set(v); }
    AxisParams snapshot() const;
    void assign(const AxisParams& params);

private:
    std::array<Cell<std::int32_t>, field::int_count> ints_;
    std::array<Cell<float>, field::float_count> floats_;
};

// A text replaced whole by one thread while others copy it.
class SharedText {
public:
    explicit SharedText(std::string initial = {}) : text_(std::move(initial)) {}
    std::string get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    void set(std::string text) {
        std::lock_guard lock(mutex_);
        text_.swap(text);
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return text_.size();
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// The captured fly positions, replaced or emptied whole.
class SharedPositions {
public:
    void replace(std::vector<float> positions) {
        std::lock_guard lock(mutex_);
        positions_.swap(positions);
    }
    void clear() { replace({}); }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return positions_.size();
    }
    // Copies at most limit positions into out (when out is not null) from one
    // snapshot; returns the snapshot's size.
    std::size_t copy_to(double* out, std::size_t limit) const;
    std::vector<float> snapshot() const {
        std::lock_guard lock(mutex_);
        return positions_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<float> positions_;
};

struct ControllerMirror {
    explicit ControllerMirror(std::string address = {}) : controller_address(std::move(address)) {}

    Cell<std::int32_t> axis_count{6};
    std::atomic<bool> poll_paused{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> outputs_synced{false};
    std::array<Cell<float>, axis_total> axis_speed{};
    std::array<Cell<std::int32_t>, raw_count_total> status_raw{};
    std::array<Cell<float>, axis_total> axis_pos{};
    std::array<Cell<bool>, state_bit_total> axis_state_bits{};
    Cell<std::int32_t> status_count{0};
    std::array<Cell<bool>, io_total> input_bits{};
    std::array<Cell<std::int32_t>, fly_counter_total> fly_counters{};
    std::array<Cell<std::int32_t>, io_total> output_level{};
    std::array<Cell<std::int32_t>, io_total> output_value{};
    std::array<Cell<std::int32_t>, io_total> output_sent{};
    Cell<std::int32_t> type_code{0};
    SharedText version_text;
    std::array<SharedAxisParams, axis_total> axis_params{};
    SharedText reply_5010{"-1"};
    SharedText io_text;
    SharedText controller_address;
    SharedPositions fly_positions;

    // The move- and home-state bits lag behind a command: the controller
    // goes on reporting the old state for a while, so the reply parser
    // leaves them alone for the first state_hold_off status replies after
    // a move starts (and after a connection comes up).
    static constexpr std::int32_t state_hold_off = 20;
    void start_state_hold_off() { status_count.set(1); }
    bool state_bits_current() const { return status_count.get() > state_hold_off; }

    // Position of axis a for a pulse or encoder count, chosen by the axis's
    // use_encoder. a must be 0..5.
    float count_to_position(int axis, std::int32_t count) const;
};

// The two count conversions, bit-exact: the encoder conversion in single
// precision; the pulse conversion in double precision, rounded once to float.
float encoder_count_to_position(std::int32_t count, float encoder_scale);
float pulse_count_to_position(std::int32_t count, float travel_per_rev, std::int32_t pulses_per_rev);

}  // namespace orvane
