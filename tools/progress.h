// Progress on stderr for the waits a person notices (sign-on, the mode-0
// start, filter settling, a scan's duration), and the live line of the
// latest values. Nothing is drawn unless stderr is a terminal, so logs and
// pipes stay clean.
#pragma once

#include <functional>
#include <string>

namespace sadc::cli {

// Runs work on this thread while a second thread redraws one status line:
// the label and the time spent, against expectedSeconds when that is above 0.
// The line is erased when work returns.
void RunWithProgress(const std::string& label, double expectedSeconds,
                     const std::function<void()>& work);

// Redraws the one status line with text (cut to the terminal's width).
void ShowLiveLine(const std::string& text);
// Erases the status line, if one is shown.
void ClearLiveLine();

// "[#####     ]" for done out of total.
std::string Bar(double done, double total, int width);

} // namespace sadc::cli
