// The order of the network time's sources, and what the trace says of the outcome.
#include "networktimefetch.h"

#include "trace.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <utility>

namespace horalis {

namespace {

// A source that did not answer with a time, and has nothing to tell the user: the
// next source is asked.
bool gaveNoTime(const FetchResult &result)
{
    return result.status == FetchResult::Failed && result.message.isEmpty();
}

// The secondary's outcome when it gave no time: no answer, a time-out, an unreadable
// reply or a health digit other than 0.
bool secondaryGaveNoTime(const FetchResult &result)
{
    return result.status == FetchResult::Failed || result.status == FetchResult::Unreadable;
}

// An NTP server's time as the status line shows it: the Beijing date as "yy-MM-dd" and
// the Beijing time of day to the second, as for the secondary.
NetworkTime fromNtp(const NtpSample &sample)
{
    constexpr qint64 BeijingOffsetMs = 8 * 3600 * 1000;
    const QDateTime beijing =
        QDateTime::fromMSecsSinceEpoch(sample.instant.utcMs + BeijingOffsetMs, QTimeZone::utc());
    const QTime time = beijing.time();
    return {beijing.date().toString(QStringLiteral("yy-MM-dd")),
            QTime(time.hour(), time.minute(), time.second()), sample.instant};
}

} // namespace

TimeServers TimeServers::builtIn()
{
    TimeServers servers;
    servers.daytime = DaytimeServers::builtIn();
    servers.ntp = NtpServers::builtIn();
    return servers;
}

QString clockDifferenceText(qint64 systemLessFetchedMs)
{
    if (systemLessFetchedMs == 0)
        return QStringLiteral("the system clock agrees with the fetched time to the millisecond");
    // In unsigned arithmetic: the most negative value has no positive counterpart.
    const quint64 ms =
        systemLessFetchedMs < 0 ? 0 - quint64(systemLessFetchedMs) : quint64(systemLessFetchedMs);
    QString seconds = QString::number(ms % 60'000 / 1000);
    if (const quint64 fraction = ms % 1000) {
        seconds += QStringLiteral(".%1").arg(fraction, 3, 10, QLatin1Char('0'));
        while (seconds.endsWith(u'0'))
            seconds.chop(1);
    }
    const quint64 minutes = ms / 60'000, hours = minutes / 60, days = hours / 24;
    QStringList parts;
    if (days > 0)
        parts << QString::number(days) + QStringLiteral(" d");
    if (hours > 0)
        parts << QString::number(hours % 24) + QStringLiteral(" h");
    if (minutes > 0)
        parts << QString::number(minutes % 60) + QStringLiteral(" min");
    parts << seconds + QStringLiteral(" s");
    return QStringLiteral("the system clock is %1 %2 the fetched time")
        .arg(parts.join(u' '),
             systemLessFetchedMs < 0 ? QStringLiteral("behind") : QStringLiteral("ahead of"));
}

NetworkTimeFetch::NetworkTimeFetch(TimeServers servers, std::function<qint64()> bootMs,
                                   std::function<qint64()> systemMs, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_bootMs(std::move(bootMs)),
      m_systemMs(std::move(systemMs)),
      m_daytime(new DaytimeClient(m_servers.daytime, m_bootMs, this)),
      m_ntp(new NtpClient(m_servers.ntp, m_bootMs, this))
{
}

FetchResult NetworkTimeFetch::GetNetworkTime(std::stop_token stop)
{
    FetchResult result = m_daytime->askPrimary(stop);
    // A primary that does not answer with a time (no reply, or one that is not a
    // time) counts as not answering: the secondary is asked instead.
    if (gaveNoTime(result)) {
        qCDebug(lcNet).noquote() << "fetch: the primary" << m_servers.daytime.primaryHost
                                 << "gave no time; falling back to the secondary"
                                 << m_servers.daytime.secondaryHost;
        result = m_daytime->askSecondary(stop);
        if (secondaryGaveNoTime(result))
            result = askNtp(std::move(result), stop);
    }
    if (stop.stop_requested())
        result = {FetchResult::Cancelled, {}, {}};
    traceOutcome(result);
    return result;
}

FetchResult NetworkTimeFetch::askNtp(FetchResult secondary, std::stop_token stop)
{
    if (m_servers.ntp.hosts.isEmpty() || stop.stop_requested())
        return secondary;
    qCDebug(lcNet).noquote() << "fetch: the secondary" << m_servers.daytime.secondaryHost
                             << "gave no time; asking NTP:" << m_servers.ntp.hosts.join(u", ");
    const std::optional<NtpSample> sample = m_ntp->fetch(std::move(stop));
    if (!sample) {
        qCDebug(lcNet).noquote() << "fetch: no NTP server gave a time; the secondary's outcome "
                                    "stands";
        return secondary;
    }
    return {FetchResult::Fetched, fromNtp(*sample), {}};
}

void NetworkTimeFetch::traceOutcome(const FetchResult &result) const
{
    static const char *const outcome[] = {"fetched", "failed", "not taken", "cancelled"};
    if (result.status != FetchResult::Fetched) {
        qCDebug(lcNet).noquote() << QStringLiteral("fetch: %1%2")
                                        .arg(QLatin1StringView(outcome[result.status]),
                                             result.message.isEmpty()
                                                 ? QString()
                                                 : QStringLiteral("; the user is told: ") +
                                                       result.message);
        return;
    }
    const Instant &instant = result.time.instant;
    qCDebug(lcNet).noquote() << "fetch: fetched; Beijing time" << result.time.date
                             << result.time.time.toString() << "stands for"
                             << utcText(instant.utcMs) << "at boot clock" << instant.bootMs << "ms";
    // The fetched instant moved on by the boot clock to now, against the system clock now.
    const qint64 fetchedNowMs = instant.at(m_bootMs());
    qCDebug(lcNet).noquote() << "fetch:" << clockDifferenceText(m_systemMs() - fetchedNowMs);
}

} // namespace horalis
