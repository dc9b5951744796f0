#include "pointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace horalis {

OverrideCursorPointer::~OverrideCursorPointer()
{
    set(PointerDefault);
}

void OverrideCursorPointer::set(PointerState state)
{
    // Qt keeps override cursors on a stack: push and pop exactly once each, so a
    // repeated state cannot leave a busy pointer behind.
    const bool busy = state == PointerBusy;
    if (busy == m_busy)
        return;
    m_busy = busy;
    if (busy)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        QGuiApplication::restoreOverrideCursor();
}

} // namespace horalis
