// orvane-panel: the commissioning panel as a program of its own (the same
// as `orvane panel`).
#include <CLI/CLI.hpp>

#include "orvane_panel/panel.h"

int main(int argc, char** argv) {
    CLI::App app{"orvane-panel: a live commissioning page for motion controllers, served on loopback.\n"
                 "Exit codes: 0 stopped by SIGINT or SIGTERM, 1 bad options, 2 could not start."};
    orvane::panel::CommandOptions options;
    orvane::panel::add_panel_options(app, options);
    CLI11_PARSE(app, argc, argv);
    return orvane::panel::run_panel(options);
}
