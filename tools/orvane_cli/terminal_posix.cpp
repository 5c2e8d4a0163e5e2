#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "terminal.h"

namespace orvane::tool {

namespace {

// Set from signal handlers: lock-free atomics only.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int number) { stop_signal.store(number); }

}  // namespace

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// Terminals on these systems understand the sequences as they are.
bool enable_terminal_sequences() { return stdout_is_terminal(); }

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking read ends at once
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    // A closed pipe (orvane ... | head) ends the output, not the cleanup.
    signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() { return stop_signal.load() != 0; }

void clear_stop_request() { stop_signal.store(0); }

const char* stop_request_name() {
    switch (stop_signal.load()) {
        case 0:
            return "";
        case SIGINT:
            return "Ctrl-C";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP (the terminal went away)";
        default:
            return "a signal";
    }
}

// The process may take its time after a signal here.
void stop_handled() {}

}  // namespace orvane::tool
