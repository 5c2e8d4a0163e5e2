// Texts of the controller protocol as the simulator sees them: a received
// line cut into commands, field and number parsing, and the pieces of the
// replies. No state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim::protocol {

enum class PieceKind {
    poll,          // "190:190", "125:125" or "2001:2001", a line of its own
    output_frame,  // "!110:" and 24 values, up to the next "!" or the line end
    command,       // code ":" payload "!"
    unknown,       // anything else, e.g. text without a closing "!"
};

struct Piece {
    PieceKind kind = PieceKind::unknown;
    std::string_view text;     // as received; a command keeps its closing "!"
    std::string_view code;     // empty for unknown pieces
    std::string_view payload;  // between ":" and "!" (or the frame's end)
};

// Cuts one line (without its line feed) into pieces, in order.
std::vector<Piece> split_line(std::string_view line);

// Cuts text at every ","; empty fields count, so n commas give n + 1 fields.
std::vector<std::string_view> split_fields(std::string_view text);

// Number fields, read like strtol / strtod: leading blanks, an optional
// sign, then the number; what follows it is ignored. False when there is no
// number at the start.
bool parse_int(std::string_view field, std::int64_t& value);
bool parse_double(std::string_view field, double& value);

// Output levels travel as one character each: level L (1..16) is
// "0123456789ABCDEF"[L - 1].
char level_digit(int level);
int level_from_digit(char digit);  // 0 for a character that is no level digit

// Shortest fixed-notation text that reads back as the same float.
std::string format_float(float value);

// A count as an int32, rounded to nearest and held inside the int32 range.
std::int32_t to_count(double value);

// Replaces every occurrence of from in text by to.
std::string replace_all(std::string_view text, char from, char to);

// The code of a line ("100" of "100:1,2"), or empty when it has no ":".
std::string_view line_code(std::string_view line);

}  // namespace orvane::sim::protocol
