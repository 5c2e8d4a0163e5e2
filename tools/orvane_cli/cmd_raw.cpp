// raw: text to the controller as it is, and its answer.
#include <chrono>
#include <iostream>
#include <thread>

#include "cli.h"

namespace orvane::tool {

namespace {

struct RawArgs {
    std::string text;
    bool exact = false;
    double answer_timeout = 3.0;
};

int run_raw(Session& s, const RawArgs& a) {
    std::string none;
    s.controller.cmd(ORVANE_CMD_CLEAR_RAW_REPLY, 0, none);
    std::string sent = a.text;
    if (!a.exact && (sent.empty() || sent.back() != '\n')) sent += '\n';
    std::cout << "sending raw text (polling pauses for a second)...\n" << std::flush;
    if (s.controller.cmd(ORVANE_CMD_RAW_SEND, 0, sent) != 1) {
        return fail(exit_not_connected, "the link to the controller went down");
    }
    if (a.answer_timeout <= 0) {
        std::cout << "sent; not waiting for an answer\n";
        return exit_ok;
    }
    // The answer reads "-1" from the send until the controller's reply.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(a.answer_timeout * 1000));
    std::string answer;
    for (;;) {
        answer.clear();
        s.controller.cmd(ORVANE_CMD_RAW_REPLY, 0, answer);
        if (!answer.empty() && answer != "-1") break;
        if (std::chrono::steady_clock::now() >= deadline) {
            return fail(exit_not_arrived,
                        "no answer within " + num(a.answer_timeout) +
                            " s. The controller answers text that is none of its commands; a command (such as "
                            "\"2000:1!\") is carried out without an answer: send it with --answer-timeout 0");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cout << "answer: " << answer << "\n";
    return exit_ok;
}

}  // namespace

void add_raw_command(CLI::App& app, Commands& commands) {
    auto a = std::make_shared<RawArgs>();
    auto* sub = app.add_subcommand("raw", "Send text to the controller as it is and show its answer (code 5010)");
    sub->add_option("TEXT", a->text, "Text to send, e.g. hello, or a command such as \"2000:1!\"")->required();
    sub->add_flag("--exact", a->exact, "Do not add the line feed that ends a line");
    sub->add_option("--answer-timeout", a->answer_timeout,
                    "Seconds to wait for the answer; 0: send only (commands get no answer)")
        ->check(non_negative_number)
        ->capture_default_str();
    set_examples(sub, {"orvane --sim raw hello", "orvane --sim raw \"2000:1!\" --answer-timeout 0"});
    commands.push_back({sub, [a](Session& s) { return run_raw(s, *a); }});
}

}  // namespace orvane::tool
