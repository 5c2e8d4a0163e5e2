// Fly capture: positions of one axis taken at a fixed interval, reported
// in one "520" reply when the run is complete (or trimmed). Times in
// seconds.
#pragma once

#include <limits>
#include <vector>

namespace orvane::sim {

class FlyCapture {
public:
    static constexpr int max_count = 100000;

    struct Setup {
        int axis = 0;
        int count = 0;
        int interval_ms = 0;
    };

    // "490:axis,count,interval_ms!": kept as given (reported back by "190").
    void set_up(int axis, int count, int interval_ms) { setup_ = {axis, count, interval_ms}; }
    const Setup& setup() const { return setup_; }
    // Whether the present set-up can run at all.
    bool usable() const;

    // "500:trigger,mode!": trigger 0 starts now, 1 at the axis's next motion
    // (now when it is already moving); mode 0 samples on every interval,
    // any other mode only while the axis moves. False when not usable.
    bool start(double now, int trigger, int mode, bool axis_moving);
    // A motion of axis started at now.
    void motion_started(int axis, double now);

    bool running() const { return phase_ == Phase::running; }
    int axis() const { return run_.axis; }
    // Time of the next sample; infinity when none is due.
    double next_sample_time() const {
        return phase_ == Phase::running ? next_time_ : std::numeric_limits<double>::infinity();
    }
    // Takes the sample due at next_sample_time(). True when it completed the
    // run: report() then holds the positions.
    bool sample(double position, bool axis_moving);
    // "510:keep!": ends a running (or waiting) run and reports at most the
    // first keep positions captured (all when keep <= 0); with no run going
    // on, reports the last run cut the same way. False when there is
    // nothing to report.
    bool trim(int keep);

    // Positions of the last completed or trimmed run.
    const std::vector<double>& report() const { return report_; }

private:
    enum class Phase { idle, armed, running };
    Phase phase_ = Phase::idle;
    Setup setup_;
    Setup run_;
    bool only_moving_ = false;
    double next_time_ = 0.0;
    std::vector<double> captured_;
    std::vector<double> report_;
};

}  // namespace orvane::sim
