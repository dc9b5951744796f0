#include "dbuswait.h"

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QTimer>

namespace horalis {

void runEvents(QEventLoop &loop, int boundMs, std::stop_token stop)
{
    if (stop.stop_requested())
        return; // a quit before exec() would be lost
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    const std::stop_callback wake(stop, [&loop] { loop.quit(); });
    bound.start(boundMs);
    loop.exec();
}

std::optional<QDBusMessage> awaitReply(const QDBusPendingCall &pending, int boundMs,
                                       std::stop_token stop)
{
    QDBusPendingCallWatcher watcher(pending);
    if (!watcher.isFinished()) {
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        runEvents(loop, boundMs, stop);
    }
    if (!watcher.isFinished() || stop.stop_requested())
        return std::nullopt;
    return watcher.reply();
}

} // namespace horalis
