#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "terminal.h"

namespace orvane::tool {

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

}  // namespace orvane::tool
