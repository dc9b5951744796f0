#pragma once

#include <QDBusMessage>

#include <optional>
#include <stop_token>

class QDBusPendingCall;
class QEventLoop;

namespace horalis {

// A call that may wait on a password prompt is sent with this much more time than
// Horalis waits for it: Horalis's own bound ends the wait, and an error that says no
// reply came is then the other side's, never the bus giving up on Horalis's behalf.
inline constexpr int kReplySlackMs = 10'000;

// The one way the platform waits on the system: runs the window's events until the
// loop is told to quit, boundMs passes or a stop is requested (the window is closing).
void runEvents(QEventLoop &loop, int boundMs, std::stop_token stop);

// Waits for a pending D-Bus call's answer, running the window's events meanwhile;
// nothing when the bound or a stop came first.
std::optional<QDBusMessage> awaitReply(const QDBusPendingCall &pending, int boundMs,
                                       std::stop_token stop);

} // namespace horalis
