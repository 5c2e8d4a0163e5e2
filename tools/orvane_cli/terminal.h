// What the tools need from their console and process: whether standard
// output is a terminal (live views and progress bars) or a pipe or file
// (plain lines), how to make the terminal understand cursor movement, and
// the operator's requests to stop (Ctrl-C, a closed terminal, SIGTERM). One
// implementation per platform; CMake picks the file.
#pragma once

namespace orvane::tool {

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// Makes standard output accept ANSI cursor and colour sequences where the
// console needs to be told; returns false when it cannot.
bool enable_terminal_sequences();

// From here on, Ctrl-C, Ctrl-Break, the terminal going away and a request
// to terminate no longer end the process at once: they set a flag that the
// tool's loops look at, so that it can stop what it started and restore
// the terminal first. Call once, early.
void install_stop_handlers();

// True once the operator asked the process to stop.
bool stop_requested();

// Forgets an earlier request (a view that ended on Ctrl-C and goes on to
// clean up).
void clear_stop_request();

// What the request was, for messages: "Ctrl-C", "SIGTERM", ...; empty when
// none came.
const char* stop_request_name();

// Tells the platform that the cleanup after a stop request is done; where a
// closing console gives the process only a short grace, the handler waits
// for this before letting it end.
void stop_handled();

}  // namespace orvane::tool
