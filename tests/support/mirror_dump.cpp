#include "support/mirror_dump.h"

#include <cstdio>
#include <sstream>

namespace orvane::test {

namespace {
// Floats in hexadecimal: exact, so a change in the last bit shows.
std::string hex(float f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", static_cast<double>(f));
    return buf;
}
}  // namespace

// Every field the parser may write, as text, so "nothing changed" is one
// comparison with a readable difference.
std::string mirror_dump(const ControllerMirror& m) {
    std::ostringstream out;
    out << "axis_count " << m.axis_count.get() << "\nstatus_count " << m.status_count.get() << "\ntype "
        << m.type_code.get() << "\nsynced " << m.outputs_synced.load() << "\nraw";
    for (const auto& c : m.status_raw) out << ' ' << c.get();
    out << "\npos";
    for (const auto& c : m.axis_pos) out << ' ' << hex(c.get());
    out << "\nbits";
    for (const auto& c : m.axis_state_bits) out << ' ' << c.get();
    out << "\ninputs";
    for (const auto& c : m.input_bits) out << ' ' << c.get();
    out << "\nfly";
    for (const auto& c : m.fly_counters) out << ' ' << c.get();
    out << "\nlevel";
    for (const auto& c : m.output_level) out << ' ' << c.get();
    out << "\nvalue";
    for (const auto& c : m.output_value) out << ' ' << c.get();
    out << "\nsent";
    for (const auto& c : m.output_sent) out << ' ' << c.get();
    for (const auto& p : m.axis_params) {
        out << "\nparams";
        for (int k = 0; k < field::int_count; ++k) out << ' ' << p.int_field(k);
        for (int k = field::int_count; k < field::count; ++k) out << ' ' << hex(p.float_field(k));
    }
    out << "\nversion [" << m.version_text.get() << "]\n5010 [" << m.reply_5010.get() << "]\nio [" << m.io_text.get()
        << "]\naddress [" << m.controller_address.get() << "]\nfly_positions";
    for (float f : m.fly_positions.snapshot()) out << ' ' << hex(f);
    return out.str();
}

}  // namespace orvane::test
