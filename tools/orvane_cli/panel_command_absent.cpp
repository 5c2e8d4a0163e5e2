// A build without the panel (no cpp-httplib or nlohmann-json): no `panel`.
#include "cli.h"

namespace orvane::tool {

void add_panel_command_if_built(CLI::App&) {}

}  // namespace orvane::tool
