#include "link/link_log.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace orvane {

ConsoleLog console_log_from_environment() { return console_log_from_text(std::getenv("ORVANE_LOG")); }

ConsoleLog console_log_from_text(const char* value) {
    if (!value) return ConsoleLog::standard_output;
    const std::string_view choice(value);
    if (choice == "off") return ConsoleLog::off;
    if (choice == "stderr") return ConsoleLog::standard_error;
    return ConsoleLog::standard_output;
}

std::string link_text_to_utf8(const std::string& gbk_text) {
    // Every word the link's texts use, GBK then UTF-8; the rest is ASCII.
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> words{{
        {"\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3", "\xE9\x87\x8D\xE6\x96\xB0\xE8\xBF\x9E\xE6\x8E\xA5"},  // reconnect
        {"\xB4\xB4\xBD\xA8", "\xE5\x88\x9B\xE5\xBB\xBA"},                                          // create
        {"\xCA\xA7\xB0\xDC", "\xE5\xA4\xB1\xE8\xB4\xA5"},                                          // failed
        {"\xB7\xA2\xCB\xCD", "\xE5\x8F\x91\xE9\x80\x81"},                                          // send
        {"\xB3\xA2\xCA\xD4", "\xE5\xB0\x9D\xE8\xAF\x95"},                                          // try
        {"\xB3\xC9\xB9\xA6", "\xE6\x88\x90\xE5\x8A\x9F"},                                          // success
        {"\xB4\xED\xCE\xF3\xC2\xEB", "\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81"},                      // error code
    }};
    std::string out;
    std::size_t i = 0;
    while (i < gbk_text.size()) {
        bool matched = false;
        for (const auto& [gbk, utf8] : words) {
            if (gbk_text.compare(i, gbk.size(), gbk) == 0) {
                out += utf8;
                i += gbk.size();
                matched = true;
                break;
            }
        }
        if (matched) continue;
        const unsigned char c = static_cast<unsigned char>(gbk_text[i]);
        // Anything else that is not ASCII would not be valid UTF-8.
        out += c < 0x80 ? static_cast<char>(c) : '?';
        ++i;
    }
    return out;
}

void write_console_line(ConsoleLog console, const std::string& gbk_line) {
    std::FILE* stream = console == ConsoleLog::standard_output  ? stdout
                        : console == ConsoleLog::standard_error ? stderr
                                                                : nullptr;
    if (!stream) return;
    const std::string line = gbk_line + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

}  // namespace orvane
