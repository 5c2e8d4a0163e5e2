#include "protocol.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace orvane::sim::protocol {

namespace {
constexpr std::string_view frame_start = "!110:";
constexpr std::string_view level_digits = "0123456789ABCDEF";

bool is_poll(std::string_view line) { return line == "190:190" || line == "125:125" || line == "2001:2001"; }

std::string_view skip_blanks_and_plus(std::string_view text, bool& negative) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    return text.substr(i);
}
}  // namespace

std::vector<Piece> split_line(std::string_view line) {
    std::vector<Piece> pieces;
    if (is_poll(line)) {
        const auto colon = line.find(':');
        pieces.push_back({PieceKind::poll, line, line.substr(0, colon), line.substr(colon + 1)});
        return pieces;
    }
    std::size_t i = 0;
    while (i < line.size()) {
        Piece piece;
        if (line.substr(i).substr(0, frame_start.size()) == frame_start) {
            // The frame has no closing "!": it ends where the next one starts.
            const std::size_t end = line.find('!', i + 1);
            piece.kind = PieceKind::output_frame;
            piece.text = line.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
            piece.code = piece.text.substr(1, 3);
            piece.payload = piece.text.substr(frame_start.size());
            if (end == std::string_view::npos) {
                i = line.size();
            } else {
                // A "!" right after the values closes the frame, unless it
                // starts the next frame.
                const bool next_frame = line.substr(end).substr(0, frame_start.size()) == frame_start;
                i = next_frame ? end : end + 1;
            }
        } else {
            const std::size_t end = line.find('!', i);
            if (end == std::string_view::npos) {
                piece.text = line.substr(i);
                i = line.size();
            } else {
                piece.text = line.substr(i, end - i + 1);
                i = end + 1;
                const std::size_t colon = piece.text.find(':');
                if (colon != std::string_view::npos && colon > 0) {
                    piece.kind = PieceKind::command;
                    piece.code = piece.text.substr(0, colon);
                    piece.payload = piece.text.substr(colon + 1, piece.text.size() - colon - 2);
                }
            }
        }
        pieces.push_back(piece);
    }
    return pieces;
}

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

bool parse_int(std::string_view field, std::int64_t& value) {
    bool negative = false;
    const std::string_view digits = skip_blanks_and_plus(field, negative);
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (end == digits.data()) return false;
    if (ec == std::errc::result_out_of_range || magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        value = negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
        return true;
    }
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

bool parse_double(std::string_view field, double& value) {
    bool negative = false;
    const std::string_view number = skip_blanks_and_plus(field, negative);
    double magnitude = 0.0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), magnitude);
    if (end == number.data()) return false;
    if (ec == std::errc::result_out_of_range) magnitude = std::numeric_limits<double>::infinity();
    value = negative ? -magnitude : magnitude;
    return true;
}

char level_digit(int level) {
    if (level < 1) level = 1;
    if (level > 16) level = 16;
    return level_digits[static_cast<std::size_t>(level - 1)];
}

int level_from_digit(char digit) {
    const std::size_t at = level_digits.find(digit);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}

std::string format_float(float value) {
    if (!std::isfinite(value)) return "0";
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

std::int32_t to_count(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::nearbyint(value);
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
    if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(rounded);
}

std::string replace_all(std::string_view text, char from, char to) {
    std::string result(text);
    for (char& c : result) {
        if (c == from) c = to;
    }
    return result;
}

std::string_view line_code(std::string_view line) {
    const std::size_t colon = line.find(':');
    return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

}  // namespace orvane::sim::protocol
