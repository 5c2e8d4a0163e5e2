// The codes of the numbered entry point, as one table: what each does with
// the caller's text and the axis, and its handler. Orvane_cmd and the C
// interface both go by it.
#pragma once

#include <string>

namespace orvane {

class Runtime;

enum class TextUse {
    reads,     // the text is input (or unused)
    appends,   // the result is appended to the caller's text
    replaces,  // the result replaces the caller's text
};

struct NumberedCode {
    int code;
    TextUse text;
    // The code indexes the axis's parameter row: a negative axis is refused.
    bool indexes_axis;
    // Needs a connection (and an axis no higher than 5).
    bool needs_connection;
    int (*run)(Runtime& runtime, int axis, std::string& text);
};

// The table entry of a code; null for a code the entry point does not know.
const NumberedCode* find_numbered_code(int code);

inline bool gives_text(const NumberedCode* entry) { return entry && entry->text != TextUse::reads; }

}  // namespace orvane
