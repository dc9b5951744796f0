#include "instant.h"

#include "runtimeerror.h"

#include <QDateTime>
#include <QList>
#include <QTimeZone>
#include <algorithm>
#include <optional>

namespace horalis {

namespace {

constexpr qint64 kMsPerDay = 24 * 60 * 60 * 1000;

} // namespace

qint64 localToUtcMs(QDate date, QTime time)
{
    // Qt 6.4 flags a skipped reading only through isValid() and picks either side of a
    // repeated one, depending on earlier conversions in the process. So the candidates
    // are built from the UTC offsets in force a day before and a day after the reading,
    // and each is kept only if it reads back as the same wall time.
    const qint64 wallMs = QDateTime(date, time, QTimeZone::utc()).toMSecsSinceEpoch();
    const auto offsetMsAt = [](qint64 ms) {
        return 1000 * qint64(QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc());
    };
    const QList<qint64> candidates{QDateTime(date, time).toMSecsSinceEpoch(),
                                   wallMs - offsetMsAt(wallMs - kMsPerDay),
                                   wallMs - offsetMsAt(wallMs + kMsPerDay)};
    std::optional<qint64> earliest;
    for (const qint64 ms : candidates) {
        const QDateTime back = QDateTime::fromMSecsSinceEpoch(ms);
        if (back.date() == date && back.time() == time && (!earliest || ms < *earliest))
            earliest = ms;
    }
    if (!earliest)
        throw RunTimeError(
            QStringLiteral("本地时区中不存在 %1 这个时刻（夏令时调整跳过了它），请换一个时间。")
                .arg(date.toString(u"yyyy-MM-dd") + u' ' + time.toString(u"HH:mm:ss")));
    return *earliest;
}

QString localText(qint64 utcMs)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs).toString(u"yyyy-MM-dd HH:mm:ss");
}

void requireSettable(qint64 utcMs, qint64 earliestMs)
{
    const qint64 first = std::max(kFirstSettableMs, earliestMs);
    if (utcMs >= first && utcMs <= kLastSettableMs)
        return;
    // Said in local time, as the user typed it; the bounds themselves are UTC instants.
    QString text = QStringLiteral("%1 超出了系统时钟能设置的范围（%2 至 %3），")
                       .arg(localText(utcMs), localText(first), localText(kLastSettableMs));
    if (utcMs < first && first > kFirstSettableMs)
        text +=
            QStringLiteral("系统运行时，时钟不能早于 1970-01-01 00:00:00 UTC 加上开机以来的时间，");
    text += QStringLiteral("请换一个日期。");
    throw RunTimeError(text);
}

} // namespace horalis
