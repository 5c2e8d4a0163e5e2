// What the tools need to know about their console: whether standard output
// is a terminal (live views and progress bars) or a pipe or file (plain
// lines), and how to make the terminal understand cursor movement. One
// implementation per platform; CMake picks the file.
#pragma once

namespace orvane::tool {

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// Makes standard output accept ANSI cursor and colour sequences where the
// console needs to be told; returns false when it cannot.
bool enable_terminal_sequences();

}  // namespace orvane::tool
