// Timestamped record of every line received and sent, to standard error or
// a file.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim {

class Trace {
public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // path "-" is standard error. False (with a message) when the file
    // cannot be opened.
    bool open(const std::string& path, std::string* error);
    bool enabled() const { return file_ != nullptr; }

    // Lines received or sent that start with one of these codes and a
    // colon (e.g. "100" for the status lines) are left out of the trace.
    // Bytes sent one at a time (the trickle fault) are traced as they are.
    void skip_codes(std::vector<std::string> codes) { skipped_ = std::move(codes); }

    // direction: '<' received, '>' sent, '*' an event of the simulator.
    // Text of several lines gives one trace line each; bytes that are not
    // printable appear as \xNN, and sent text that does not end in a line
    // feed is marked so.
    void write(double time_ms, char direction, std::string_view text);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::vector<std::string> skipped_;

    bool skipped(std::string_view line) const;
};

}  // namespace orvane::sim
