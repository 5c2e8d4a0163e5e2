#include "state/poll_loop.h"

#include <charconv>

#include "platform/platform.h"

namespace orvane {

using Clock = Wakeup::Clock;

void PollLoop::start() {
    join();
    stop_requested_.store(false);
    final_pass_.store(false);
    {
        std::lock_guard lock(finished_mutex_);
        finished_ = false;
    }
    thread_ = std::thread([this] {
        thread_id_.store(std::this_thread::get_id());
        run();
        // The session's last commands: nothing queued is left for a later
        // session (or another controller) to send.
        if (final_pass_.load() && link_.is_connected()) send_queued(/*force_outputs=*/true);
        {
            std::lock_guard lock(finished_mutex_);
            finished_ = true;
        }
        finished_cv_.notify_all();
    });
}

void PollLoop::request_stop(bool final_pass) {
    final_pass_.store(final_pass);
    stop_requested_.store(true);
    wakeup_.signal();
}

bool PollLoop::wait_finished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(finished_mutex_);
    return finished_cv_.wait_for(lock, timeout, [this] { return finished_; });
}

void PollLoop::join() {
    if (thread_.joinable()) thread_.join();
    thread_id_.store(std::thread::id{});
}

std::string PollLoop::output_frame(const std::array<Cell<std::int32_t>, io_total>& values) {
    std::string frame = "!110:";
    char digits[16];
    for (std::size_t i = 0; i < io_total; ++i) {
        if (i > 0) frame += ',';
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, values[i].get());
        (void)ec;
        frame.append(digits, end);
    }
    return frame;
}

void PollLoop::pause(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopping() && Clock::now() < deadline) wakeup_.wait_until(deadline);
}

bool PollLoop::outputs_differ() const {
    for (std::size_t i = 0; i < io_total; ++i) {
        if (mirror_.output_value[i].get() != mirror_.output_sent[i].get()) return true;
    }
    return false;
}

PollLoop::Sent PollLoop::send_queued(bool force_outputs) {
    std::string batch = pending_.take();
    const std::size_t queued_length = batch.size();

    const double now = platform::process_clock_ms();
    const bool check_due = force_outputs || now > last_output_check_ms_ + output_check_interval_ms;
    if (check_due && mirror_.outputs_synced.load()) {
        bool changed = false;
        for (std::size_t i = 0; i < io_total; ++i) {
            const std::int32_t wanted = mirror_.output_value[i].get();
            if (wanted != mirror_.output_sent[i].get()) {
                mirror_.output_sent[i].set(wanted);
                changed = true;
            }
        }
        if (changed) {
            // Built from the values just copied, so frame and output_sent
            // agree. The frame goes out twice on purpose: alone at once, so
            // the outputs switch without waiting for the batch, and again at
            // the end of the batch, as the controller's tools have always
            // sent it.
            const std::string frame = output_frame(mirror_.output_sent);
            link_.send_text(frame + "\n");
            batch += frame;
        }
        last_output_check_ms_ = platform::process_clock_ms();
    }

    if (batch.size() < smallest_batch) return Sent::nothing;
    // The link went down during this pass (the loop was past its idle
    // check): keep the queued commands for the next connection instead of
    // losing them in a send that cannot succeed. Nothing of them was
    // written, so they go out exactly once. The flag is read after the
    // take, so a command queued while the link was down is never lost this
    // way. (An output frame is not kept: it must end its batch.)
    if (!link_.is_connected()) {
        pending_.put_back(std::string_view(batch).substr(0, queued_length));
        return Sent::link_down;
    }
    batch += '\n';
    link_.send_text(batch);
    return Sent::batch;
}

void PollLoop::run() {
    last_output_check_ms_ = platform::process_clock_ms();
    for (;;) {
        if (stopping()) return;

        if (!mirror_.connected.load() || mirror_.poll_paused.load()) {
            // "-1": no answer to a raw command. While a raw send holds the
            // loop paused its answer may arrive at any moment and must stay;
            // the raw send itself marks the answer as pending.
            if (!mirror_.connected.load()) mirror_.reply_5010.set("-1");
            // A connection change or the end of a pause signals the wakeup.
            wakeup_.wait_until(Clock::now() + std::chrono::milliseconds(idle_pause_ms));
            continue;
        }

        bool polled = false;
        if (mirror_.output_level[io_total - 1].get() == 0) {
            link_.send_text(poll_levels);
            pause(after_poll_pause_ms);
            polled = true;
        }
        if (static_cast<double>(mirror_.axis_params[0].float_field(field::max_speed)) < 0.1) {
            link_.send_text(poll_params);
            pause(after_poll_pause_ms);
            polled = true;
        }
        if (mirror_.version_text.size() < 2) {
            link_.send_text(poll_version);
            pause(after_poll_pause_ms);
            polled = true;
        }

        switch (send_queued(/*force_outputs=*/false)) {
            case Sent::batch:
                break;
            case Sent::link_down:
                pause(idle_pause_ms);
                break;
            case Sent::nothing: {
                // While the controller still owes a reply, or an output
                // change waits for its check, the next pass follows in a
                // millisecond; otherwise sleep until a command, an output
                // change or a connection change signals.
                auto deadline = Clock::now() + std::chrono::milliseconds(empty_pass_pause_ms);
                if (!polled && (!mirror_.outputs_synced.load() || !outputs_differ())) {
                    deadline = Clock::now() + std::chrono::milliseconds(idle_wake_ms);
                }
                if (!stopping()) wakeup_.wait_until(deadline);
                break;
            }
        }
    }
}

}  // namespace orvane
