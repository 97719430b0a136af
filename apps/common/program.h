// One running program: its window, and the comm control and poller on the
// acquisition thread, wired together. Each program's start-up builds one and
// adds what is its own: the first request, the address field's first text,
// the start button's rule.
#pragma once

#include "acquisition/acquisition.h"
#include "apps/common/startbutton.h"
#include "poll/history.h"
#include "ui/form1.h"
#include "ui/trendview.h"

#include <functional>
#include <memory>

namespace apps {

class Program
{
public:
    Program(ui::Layout layout, poll::Framing framing, const acquisition::LinkSettings& settings);

    ui::Form1& window() { return m_window; }
    // The channels over time, fed from the start, in a window of its own.
    ui::TrendView& trend() { return m_trend; }
    // The day so far: every decoded reply, from the start.
    const poll::History& history() const { return m_history; }
    // Shows the trend beside the form (Ctrl+T or the form's context menu).
    void showTrend();
    acquisition::Acquisition& acquisition() { return m_acquisition; }

    // Connects the window's start button to `button`, and the button to the
    // address note and the poller.
    void setStartButton(std::unique_ptr<StartButton> button);

private:
    ui::Form1 m_window;      // destroyed last: the acquisition reports
    poll::History m_history; // to these three until its thread has ended
    ui::TrendView m_trend;   // draws m_history
    acquisition::Acquisition m_acquisition;
    std::unique_ptr<StartButton> m_startButton;
};

// The program's main(): its command line (--help, --version, --port,
// --record, --trend), then a QApplication named `name`, the window that
// `load` returns, shown (with the trend beside it for --trend), and the event
// loop until the window is closed.
int Run(int argc, char* argv[], const char* name, const char* description,
        const std::function<std::unique_ptr<Program>(const acquisition::LinkSettings&)>& load);

} // namespace apps
