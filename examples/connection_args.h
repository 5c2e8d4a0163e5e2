// The examples' command line: where the controller is.
//
//     example [--host ADDRESS] [--port PORT]
//
// ADDRESS is a dotted IPv4 address or a host name; without --host the
// library's default controller address is used, and without --port its
// default port.
#pragma once

#include <orvane/controller.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace example {

// Fills options from argv; false (after a message) for anything it does not
// understand.
inline bool parse_connection_args(int argc, char** argv, orvane::ControllerOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--host" || arg == "--port") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--host") {
                options.host = value;
            } else {
                char* end = nullptr;
                const long port = std::strtol(value.c_str(), &end, 10);
                if (end == value.c_str() || *end != '\0' || port < 1 || port > 65535) {
                    std::fprintf(stderr, "--port wants 1..65535, not '%s'\n", value.c_str());
                    return false;
                }
                options.port = static_cast<int>(port);
            }
        } else {
            std::fprintf(stderr, "usage: %s [--host ADDRESS] [--port PORT]\n", argv[0]);
            return false;
        }
    }
    return true;
}

}  // namespace example
