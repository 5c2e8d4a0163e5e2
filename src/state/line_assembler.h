// Turns received chunks into whole reply lines. TCP cuts the controller's
// lines wherever it likes; a line applied in pieces would store its last
// value cut short. So the bytes after a chunk's last line end are kept and
// put in front of the next chunk. Pure: bytes in, texts to parse out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

class LineAssembler {
public:
    // A kept tail longer than this is no reply: it is dropped, and what
    // follows is skipped up to the next line end.
    static constexpr std::size_t tail_limit = 64 * 1024;
    // How long a controller that does not end its last line may stay silent
    // before that line is taken as it is.
    static constexpr int quiet_ms = 50;

    // Hands apply every text that is ready to parse: a kept tail on its own
    // when the chunk begins a new reply, then all whole lines (with their
    // line ends). The rest is kept. True when it had to guess where a line
    // ends: a kept tail taken early or dropped for its size.
    template <class Apply>
    bool feed(std::string_view chunk, Apply&& apply) {
        bool guessed = false;
        if (skipping_) {
            const std::size_t end = chunk.find('\n');
            if (end == std::string_view::npos) return true;
            chunk.remove_prefix(end + 1);
            skipping_ = false;
            guessed = true;
        }
        if (!tail_.empty() && begins_reply(chunk)) {
            flush(apply);
            guessed = true;
        }
        const std::size_t last = chunk.rfind('\n');
        if (last == std::string_view::npos) return keep(chunk) || guessed;
        if (tail_.empty()) {
            apply(chunk.substr(0, last + 1));
        } else {
            tail_.append(chunk.substr(0, last + 1));
            std::string whole;
            whole.swap(tail_);
            apply(std::string_view(whole));
        }
        return keep(chunk.substr(last + 1)) || guessed;
    }

    // The controller fell quiet: a kept tail is a reply of its own.
    template <class Apply>
    void flush(Apply&& apply) {
        if (tail_.empty()) return;
        std::string line;
        line.swap(tail_);
        apply(std::string_view(line));
    }

    // Forgets everything kept: a new connection starts clean.
    void reset() {
        tail_.clear();
        skipping_ = false;
    }

    bool has_tail() const { return !tail_.empty(); }

    // True when text starts with the code of a reply and its ":".
    static bool begins_reply(std::string_view text);

private:
    // True when the tail grew past its limit and was dropped.
    bool keep(std::string_view rest) {
        tail_.append(rest);
        if (tail_.size() <= tail_limit) return false;
        tail_.clear();
        skipping_ = true;
        return true;
    }

    std::string tail_;
    bool skipping_ = false;
};

}  // namespace orvane
