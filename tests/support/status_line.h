// Reply lines as the controller sends them, for tests that feed bytes.
#pragma once

#include <string>
#include <vector>

namespace orvane::test {

using Values = std::vector<std::string>;

inline std::string join_values(const Values& values) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) text += ',';
        text += values[i];
    }
    return text;
}

// A "100" status reply of n values, all "0" unless changed afterwards.
// Values 0..11 are the raw counts, 12 and 13 the state words, 14 the type,
// 15..17 the input bytes, 18..41 the output values (the first long reply
// seeds the outputs from them).
inline Values status_values(std::size_t n = 18) { return Values(n, "0"); }

inline std::string reply_line(const char* code, const Values& values) {
    return std::string(code) + ":" + join_values(values);
}

}  // namespace orvane::test
