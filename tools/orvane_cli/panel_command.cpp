// `orvane panel`: the commissioning panel in the browser.
#include <orvane_panel/panel.h>

#include "cli.h"

namespace orvane::tool {

void add_panel_command_if_built(CLI::App& app) { orvane::panel::add_panel_command(app); }

}  // namespace orvane::tool
