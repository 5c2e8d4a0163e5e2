#include "trace.h"

#include <cerrno>
#include <cstring>

namespace orvane::sim {

Trace::~Trace() {
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool Trace::open(const std::string& path, std::string* error) {
    if (path == "-") {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        const int code = errno;
        if (error != nullptr) *error = "cannot open the trace file " + path + ": " + std::strerror(code);
        return false;
    }
    owned_ = true;
    return true;
}

bool Trace::skipped(std::string_view line) const {
    for (const std::string& code : skipped_) {
        if (line.size() > code.size() && line.compare(0, code.size(), code) == 0 && line[code.size()] == ':') return true;
    }
    return false;
}

void Trace::write(double time_ms, char direction, std::string_view text) {
    if (file_ == nullptr) return;
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool whole = end != std::string_view::npos;
        if (!whole) end = text.size();
        if (direction != '*' && skipped(text.substr(start, end - start))) {
            start = end + 1;
            continue;
        }
        char head[48];
        std::snprintf(head, sizeof head, "%12.3f %c ", time_ms, direction);
        out += head;
        for (std::size_t i = start; i < end; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c < 0x7f && c != '\\') {
                out += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                out += escaped;
            }
        }
        if (!whole && direction == '>') out += " (no line feed)";
        out += '\n';
        start = end + 1;
    }
    if (out.empty()) return;
    std::lock_guard lock(mutex_);
    std::fputs(out.c_str(), file_);
    std::fflush(file_);
}

}  // namespace orvane::sim
