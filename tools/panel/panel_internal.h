// Helpers of the panel that its command line and tests share.
#pragma once

#include <string>

namespace orvane::panel {

// A dotted IPv4 address in 127.0.0.0/8.
bool is_loopback_ipv4(const std::string& text);
// A page's session id: 16 to 64 letters, digits, '-' or '_'.
bool valid_session_id(const std::string& text);
// The page with the token of this start filled in.
std::string render_index_html(const std::string& token);

}  // namespace orvane::panel
