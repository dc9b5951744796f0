#include "eventpump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace horalis {

WaitingEventPump::WaitingEventPump()
{
    m_wakeUp.setSingleShot(true);
    m_wakeUp.setTimerType(Qt::PreciseTimer);
}

void WaitingEventPump::waitForEvents(int maxMs)
{
    // The timer bounds the wait when nothing happens; any other event (socket
    // data, input) wakes the dispatcher at once and is handled right here.
    m_wakeUp.start(maxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    m_wakeUp.stop();
}

void SleepingEventPump::waitForEvents(int maxMs)
{
    QThread::msleep(static_cast<unsigned long>(maxMs));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace horalis
