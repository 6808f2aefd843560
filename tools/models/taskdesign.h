// The task design of a run from its BIDS events table: one regressor per
// trial_type, the boxcar of each event's onset and duration convolved with the
// canonical double-gamma haemodynamic response, and a constant.
#pragma once

#include <string>
#include <vector>

class SDM;

namespace tool::models {

// The canonical haemodynamic response at t seconds (0 before the event): the
// difference of two gamma densities of unit scale, a response of shape 6 (its
// delay of 6 s) less an undershoot of shape 16 (delay 16 s) at a sixth of its
// size, h(t) = t^5 e^-t / 5! - t^15 e^-t / (6 * 15!). The design uses it over
// 0..32 s, scaled so that a long block rises to 1.
double canonicalHrf(double t);
inline constexpr double kHrfLength = 32.0;    // s
inline constexpr int kMicrotimeBins = 16;     // samples per volume of the convolution

struct Event {
    double onset = 0, duration = 0; // s
    std::string trialType;
};

// The events of a BIDS events table (columns onset, duration and, when there
// is one, trial_type; "trial" for every event without). Rows whose onset or
// duration is n/a are left out. Throws std::runtime_error naming the file for
// a table without onset or duration, or a cell that is not a number.
std::vector<Event> readEvents(const std::string& path);

struct TaskDesign {
    std::vector<std::string> names;           // trial types, sorted, then "constant"
    std::vector<std::vector<double>> columns; // [regressor][volume]
};

// The design over volumes 0..volumes-1 taken tr seconds apart, each sampled at
// the start of its volume: for every trial type, its boxcars on a grid of
// kMicrotimeBins samples per volume convolved with canonicalHrf (normalised to
// a sum of 1 over 0..kHrfLength s), then the constant. No events: the constant
// alone.
TaskDesign taskDesign(const std::vector<Event>& events, double tr, int volumes);

// The design as an SDM (the constant last) and as a tab-separated table with
// a header row of the regressors' names. Throw on a file that cannot be written.
SDM designSdm(const TaskDesign& design);
void writeDesignTable(const TaskDesign& design, const std::string& path);

} // namespace tool::models
