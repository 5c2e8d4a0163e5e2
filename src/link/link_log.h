// Where the link's messages go. By default the process-wide connection
// writes them to standard output in GBK, as the controller's own tools do;
// ORVANE_LOG chooses another stream or silence, and a host can take them
// into its own log as UTF-8 text with a level instead.
#pragma once

#include <functional>
#include <string>

namespace orvane {

// The numbers are those of the C interface's ORVANE_LOG_* levels.
enum class MessageLevel : int { info = 1, warning = 2, error = 3 };

using LogHandler = std::function<void(MessageLevel, const std::string& utf8_text)>;

enum class ConsoleLog { off, standard_output, standard_error };

// ORVANE_LOG: "stdout" (also when unset or unknown), "stderr" or "off".
ConsoleLog console_log_from_environment();
ConsoleLog console_log_from_text(const char* value);

// A message of the link (GBK) in UTF-8.
std::string link_text_to_utf8(const std::string& gbk_text);

// Writes one GBK line to the chosen console stream, whole.
void write_console_line(ConsoleLog console, const std::string& gbk_line);

}  // namespace orvane
