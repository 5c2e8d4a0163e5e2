// Parts of the platform interface that standard C++ covers everywhere.
#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace orvane::platform {

namespace {
const std::chrono::steady_clock::time_point process_start = std::chrono::steady_clock::now();
}

double process_clock_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - process_start).count();
}

bool parse_ipv4(const std::string& text, std::uint32_t& address_host_order) {
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        result = (result << 8) | value;
    }
    if (pos != text.size()) return false;
    address_host_order = result;
    return true;
}

}  // namespace orvane::platform
