#pragma once

// The machine's clock as the clock tests see it, and switching time zones.
#include "runtimeerror.h"
#include "systemclock.h"

#include <QDateTime>
#include <QStringList>
#include <QTest>
#include <ctime>

namespace horalis::test {

// Stands in for the machine's clock: reads what the test put there, records every
// attempt to set it and, like a real clock, shows the written time afterwards.
class FakeCalls : public ClockSystemCalls {
public:
    qint64 realtime = 0;
    qint64 boottime = 0;
    qint64 monotonic = 0;
    int failWith = 0;
    QList<qint64> written;
    bool localRtc = false;
    int rtcFailWith = 0;
    QStringList rtcWritten;        // "yyyy-MM-dd HH:mm:ss" as the fields say
    QStringList *events = nullptr; // "clock", "rtc", in call order
    QStringList logged;            // the system log's lines

    qint64 realtimeNs() override { return realtime; }
    qint64 boottimeNs() override { return boottime; }
    qint64 monotonicNs() override { return monotonic; }
    int setRealtimeNs(qint64 ns) override
    {
        written.append(ns);
        if (events)
            events->append(QStringLiteral("clock"));
        if (failWith == 0)
            realtime = ns;
        return failWith;
    }
    bool hardwareClockIsLocal() override { return localRtc; }
    int setHardwareClock(const std::tm &f) override
    {
        rtcWritten.append(QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", f.tm_year + 1900,
                                            f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min,
                                            f.tm_sec));
        if (events)
            events->append(QStringLiteral("rtc"));
        return rtcFailWith;
    }
    void logClockChange(const QString &line) override { logged.append(line); }
};

qint64 utcNs(const QString &iso)
{
    const QDateTime utc = QDateTime::fromString(iso, Qt::ISODateWithMs);
    Q_ASSERT(utc.isValid() && iso.endsWith(u'Z'));
    return utc.toMSecsSinceEpoch() * 1'000'000;
}

// Switches the process to a zone and proves that Qt follows: its offset for a fixed
// instant must match what the C library now reports for TZ.
void useZone(const QByteArray &zone)
{
    qputenv("TZ", zone);
    tzset();
    const time_t probe = 1782900000; // 2026-07-01 10:00 UTC
    tm fields{};
    localtime_r(&probe, &fields);
    QCOMPARE(QDateTime::fromSecsSinceEpoch(probe).offsetFromUtc(), int(fields.tm_gmtoff));
}

// The description of the RunTimeError a step throws, or "" when it throws none.
template <typename Step> QString errorOf(Step &&step)
{
    try {
        step();
    } catch (const RunTimeError &e) {
        return e.description();
    }
    return {};
}

} // namespace horalis::test
