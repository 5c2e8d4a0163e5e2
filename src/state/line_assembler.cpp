#include "state/line_assembler.h"

#include <array>

namespace orvane {

bool LineAssembler::begins_reply(std::string_view text) {
    static constexpr std::array<std::string_view, 6> codes{"100:", "125:", "190:", "520:", "5010:", "2001:"};
    for (std::string_view code : codes) {
        if (text.substr(0, code.size()) == code) return true;
    }
    return false;
}

}  // namespace orvane
