// Resident memory from /proc (Linux).
#include <fstream>
#include <sstream>
#include <string>

#include "reliability_support.h"

namespace orvane::reliability {

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            long kib = -1;
            fields >> kib;
            return kib;
        }
    }
    return -1;
}

}  // namespace orvane::reliability
