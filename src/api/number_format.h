// The number forms of command texts: integer, six-decimal ("%f") and
// one-decimal. Point as separator, no exponent, no plus sign, whatever the
// process locale.
//
// Texts for the controller carry a value that is not finite as zero: it
// cannot read "nan" or "inf". Texts for the host (the read-outs of
// Orvane_cmd) write such a value as printf's "%f" does: "inf", "-inf", and
// "nan" for every NaN (never "-nan").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

void append_int(std::string& out, std::int64_t value);
// For command texts.
void append_six_decimal(std::string& out, double value);
void append_one_decimal(std::string& out, double value);

// For texts handed to the host.
void append_six_decimal_for_host(std::string& out, double value);

}  // namespace orvane

namespace orvane {

// Builds one command text: its code, ":", the fields separated by ",", "!".
class CommandText {
public:
    explicit CommandText(std::string_view code) : text_(code) { text_ += ':'; }

    CommandText& integer(std::int64_t value) {
        separate();
        append_int(text_, value);
        return *this;
    }
    CommandText& six_decimal(double value) {
        separate();
        append_six_decimal(text_, value);
        return *this;
    }
    CommandText& one_decimal(double value) {
        separate();
        append_one_decimal(text_, value);
        return *this;
    }
    // A field the caller supplied, passed on as it is.
    CommandText& verbatim(std::string_view text) {
        separate();
        text_ += text;
        return *this;
    }
    // The finished text; the builder is spent afterwards.
    std::string finish() {
        text_ += '!';
        return std::move(text_);
    }

private:
    void separate() {
        if (has_field_) text_ += ',';
        has_field_ = true;
    }

    std::string text_;
    bool has_field_ = false;
};

}  // namespace orvane
