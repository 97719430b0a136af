// One running program: its window, and the comm control and poller on the
// acquisition thread, wired together. Each program's start-up builds one and
// adds what is its own: the first request, the address field's first text,
// the start button's rule.
#pragma once

#include "apps/common/acquisition.h"
#include "apps/common/startbutton.h"
#include "ui/form1.h"

#include <functional>
#include <memory>

namespace apps {

class Program
{
public:
    Program(ui::Layout layout, poll::Framing framing, const LinkSettings& settings);

    ui::Form1& window() { return m_window; }
    Acquisition& acquisition() { return m_acquisition; }

    // Connects the window's start button to `button`, and the button to the
    // address note and the poller.
    void setStartButton(std::unique_ptr<StartButton> button);

private:
    ui::Form1 m_window;           // destroyed last: the acquisition reports
    Acquisition m_acquisition;    // to it until its thread has ended
    std::unique_ptr<StartButton> m_startButton;
};

// The program's main(): its command line (--help, --version, --port,
// --record), then a QApplication named `name`, the window that `load`
// returns, shown, and the event loop until the window is closed.
int Run(int argc, char* argv[], const char* name, const char* description,
        const std::function<std::unique_ptr<Program>(const LinkSettings&)>& load);

} // namespace apps
