#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <atomic>

#include "terminal.h"

namespace orvane::tool {

namespace {

std::atomic<unsigned long> stop_event{0};
std::atomic<bool> stop_event_seen{false};
std::atomic<bool> cleanup_done{false};

BOOL WINAPI on_console_event(DWORD event) {
    stop_event.store(event + 1);  // CTRL_C_EVENT is 0
    stop_event_seen.store(true);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this handler returns: give the
        // tool a moment to stop what it started.
        for (int i = 0; i < 40 && !cleanup_done.load(); ++i) Sleep(50);
    }
    return TRUE;
}

}  // namespace

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

// The Windows console interprets escape sequences only once asked to.
bool enable_terminal_sequences() {
    if (!stdout_is_terminal()) return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr) return false;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void install_stop_handlers() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool stop_requested() { return stop_event_seen.load(); }

void clear_stop_request() {
    stop_event_seen.store(false);
    stop_event.store(0);
}

const char* stop_request_name() {
    switch (stop_event.load()) {
        case 0:
            return "";
        case CTRL_C_EVENT + 1:
            return "Ctrl-C";
        case CTRL_BREAK_EVENT + 1:
            return "Ctrl-Break";
        case CTRL_CLOSE_EVENT + 1:
            return "the console closing";
        default:
            return "the system shutting down";
    }
}

void stop_handled() { cleanup_done.store(true); }

}  // namespace orvane::tool
