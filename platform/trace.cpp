#include "trace.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>

namespace horalis {

// Debug messages off, the rest on, until QT_LOGGING_RULES says otherwise.
Q_LOGGING_CATEGORY(lcNet, "horalis.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lcClock, "horalis.clock", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTimedated, "horalis.timedated", QtInfoMsg)

QString utcText(qint64 utcMs)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs, QTimeZone::utc())
        .toString(u"yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
}

QString traceQuoted(const QString &text)
{
    constexpr qsizetype Shown = 120;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text.first(std::min(text.size(), Shown))) {
        const char16_t u = c.unicode();
        if (u == u'"' || u == u'\\') {
            quoted += u'\\';
            quoted += c;
        } else if (u == u'\r')
            quoted += QStringLiteral("\\r");
        else if (u == u'\n')
            quoted += QStringLiteral("\\n");
        else if (u == u'\t')
            quoted += QStringLiteral("\\t");
        else if (u >= 0x20 && u < 0x7f)
            quoted += c;
        else if (u < 0x100)
            quoted += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            quoted += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
    }
    quoted += u'"';
    if (text.size() > Shown)
        quoted += QStringLiteral("... (%1 more)").arg(text.size() - Shown);
    return quoted;
}

} // namespace horalis
