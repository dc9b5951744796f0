#pragma once

#include "form1.h"
#include "systemclock.h"
#include "timedatedservice.h"

class QApplication;

namespace horalis {

// Names the application and loads Qt's own Chinese texts (context menus of the
// fields, standard dialogs). Call once, right after creating the QApplication.
void setUpApplication(QApplication &app);

// The running program: the real platform services and the window that uses them.
class Program {
public:
    Program();
    Form1 &window() { return m_window; }

private:
    LinuxClockSystemCalls m_clockCalls;
    // Sets the clock for a user without the right to, after a password prompt.
    TimedatedService m_timeService;
    SystemClock m_clock{m_clockCalls, &m_timeService};
    QtMessageBoxes m_messages;
    OverrideCursorPointer m_pointer;
    Form1 m_window;
};

} // namespace horalis
