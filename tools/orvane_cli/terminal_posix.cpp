#include <unistd.h>

#include "terminal.h"

namespace orvane::tool {

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// Terminals on these systems understand the sequences as they are.
bool enable_terminal_sequences() { return stdout_is_terminal(); }

}  // namespace orvane::tool
