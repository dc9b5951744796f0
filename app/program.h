#pragma once

#include "form1.h"
#include "messageboxes.h"
#include "pointer.h"
#include "systemclock.h"
#include "timedatedservice.h"

class QCoreApplication;

namespace horalis {

// Names the application, gives it its version and loads Qt's own Chinese texts (context
// menus of the fields, standard dialogs, the command line's help). Call once, right
// after creating the application.
void setUpApplication(QCoreApplication &app);

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
