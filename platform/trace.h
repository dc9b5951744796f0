#pragma once

// Horalis's trace, for when something goes wrong: what it asked, what it was told and
// what it decided, in Qt's logging categories. Their debug messages are off unless
// switched on, as QT_LOGGING_RULES="horalis.*.debug=true" does (or one category:
// "horalis.net.debug=true"); what they say is for the people who look into a problem,
// in English, with the instants in UTC.
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

namespace horalis {

// horalis.net: each query (server, address, connect time, the reply as received) and
// what was worked out from the replies (stamps, round trip, offset, the decision).
Q_DECLARE_LOGGING_CATEGORY(lcNet)
// horalis.clock: the instant to be written and where it came from, the checks it passed,
// and what was written, when, by which path (directly or through timedated).
Q_DECLARE_LOGGING_CATEGORY(lcClock)
// horalis.timedated: what polkit and timedated were asked and what they answered.
Q_DECLARE_LOGGING_CATEGORY(lcTimedated)

// An instant, milliseconds since the epoch, as "2026-12-08T10:15:30.250Z".
QString utcText(qint64 utcMs);

// Text from outside (a server's bytes, one character each) as a trace line may show it:
// in double quotes, line ends and tabs as \r \n \t, a quote or a backslash escaped, any
// other character that cannot be printed or is not ASCII as \xNN or \uNNNN; the first
// 120 characters, then "..." and how many more there were.
QString traceQuoted(const QString &text);

} // namespace horalis
