// Text helpers shared by the SVG pictures: the host's plot windows and the
// plots of tremora report.
#pragma once

#include <string>
#include <vector>

namespace host {

// The text with the characters markup reserves written as references
// (& < > " '); control characters other than tab and line feed, which XML
// text may not hold, become spaces. Other bytes are kept.
std::string markupEscape(const std::string& text);

// Round tick positions (1, 2 or 5 times a power of ten) within [lo, hi],
// about `wanted` intervals apart; {lo} when the range is empty. A tick that
// lands within rounding of zero is exactly 0, so that its label is "0".
std::vector<double> axisTicks(double lo, double hi, int wanted);
// A tick's label: the shortest of %g, "0.5", "20", "1e-05".
std::string tickLabel(double value);

} // namespace host
