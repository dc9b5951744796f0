#include "fakeclockcalls.h"
#include "instant.h"
#include "runtimeerror.h"
#include "systemclock.h"
#include "trace.h"
#include "tracerecorder.h"

#include <QFile>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

using namespace horalis;
using namespace horalis::test;

namespace {

// A time service that records every request it gets, and may refuse the shift.
class FakeService : public TimeService {
public:
    QStringList *events = nullptr; // "sync?", "stop sync", "shift <usec>"
    std::optional<bool> sync;
    QString refuseWith;

    std::optional<bool> automaticSync(std::stop_token) override
    {
        events->append(QStringLiteral("sync?"));
        return sync;
    }
    void stopAutomaticSync(std::stop_token) override
    {
        events->append(QStringLiteral("stop sync"));
    }
    void shiftTime(qint64 deltaUsec, std::stop_token) override
    {
        events->append(QStringLiteral("shift %1").arg(deltaUsec));
        if (!refuseWith.isEmpty())
            throw RunTimeError(refuseWith);
    }
};

constexpr qint64 kBootNs = 5'000'000'000; // the boot clock in most cases: 5 s after boot

qint64 utcMs(const QString &iso)
{
    return utcNs(iso) / 1'000'000;
}

// Qt 6.4 resolves a repeated hour after the previous local conversion in the process
// (a winter one makes it pick the later instant); localToUtcMs must not depend on that.
void primeWinterConversion()
{
    QDateTime(QDate(2026, 1, 10), QTime(12, 0)).toMSecsSinceEpoch();
}

} // namespace

class TestSystemClock : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Every zone must be a real tzdata file: an unknown TZ silently means UTC.
        for (const char *zone : {"Europe/Berlin", "America/New_York", "Asia/Shanghai"})
            QVERIFY2(QFile::exists(QStringLiteral("/usr/share/zoneinfo/") + zone), zone);
        m_savedTz = qgetenv("TZ");
        m_hadTz = qEnvironmentVariableIsSet("TZ");
    }

    void cleanupTestCase()
    {
        if (m_hadTz)
            qputenv("TZ", m_savedTz);
        else
            qunsetenv("TZ");
        tzset();
    }

    // The time_t the build chose (64 bits wherever the C library has them) is the one
    // every file is compiled with.
    void timeTIsTheBuilds() { QCOMPARE(int(sizeof(time_t)) * 8, HORALIS_TIME_BITS); }

    void now_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("utc");
        QTest::addColumn<QString>("local");

        QTest::newRow("Berlin summer") << QByteArray("Europe/Berlin") << "2026-07-01T10:00:00.250Z"
                                       << "2026-07-01 12:00:00.250";
        QTest::newRow("Berlin winter") << QByteArray("Europe/Berlin") << "2026-12-07T04:50:00.000Z"
                                       << "2026-12-07 05:50:00.000";
        QTest::newRow("New York, local date a day behind")
            << QByteArray("America/New_York") << "2026-12-07T03:00:00.000Z"
            << "2026-12-06 22:00:00.000";
        QTest::newRow("Shanghai, local date a day ahead")
            << QByteArray("Asia/Shanghai") << "2026-12-06T16:30:00.000Z"
            << "2026-12-07 00:30:00.000";
        QTest::newRow("UTC") << QByteArray("UTC") << "2026-12-07T04:50:12.345Z"
                             << "2026-12-07 04:50:12.345";
    }

    void now()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, utc);
        QFETCH(QString, local);
        useZone(zone);
        FakeCalls calls;
        calls.realtime = utcNs(utc) + 999'999; // below a millisecond: dropped
        calls.boottime = 5'123'999'999;
        SystemClock clock(calls);

        const QDateTime now = clock.now();
        QCOMPARE(now.timeSpec(), Qt::LocalTime);
        QCOMPARE(now.toString(u"yyyy-MM-dd HH:mm:ss.zzz"), local);
        QCOMPARE(clock.boottimeMs(), 5123);
    }

    // A local reading as the window takes it, turned into an instant and written at
    // once. An empty "written" means it must throw, with "error" in the description,
    // before anything is written.
    void setInstant_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("error");

        const QByteArray berlin("Europe/Berlin"), newYork("America/New_York"),
            shanghai("Asia/Shanghai"), utc("UTC");
        const QString now = QStringLiteral("2026-12-07T04:50:00.000Z");
        const QString gap = QStringLiteral("本地时区中不存在 %1 这个时刻");
        const QString range = QStringLiteral("%1 超出了系统时钟能设置的范围");

        QTest::newRow("Berlin summer")
            << berlin << now << QDate(2026, 7, 1) << QTime(8, 15, 30) << "2026-07-01T06:15:30.000Z"
            << "";
        QTest::newRow("Berlin winter")
            << berlin << now << QDate(2026, 12, 24) << QTime(8, 0) << "2026-12-24T07:00:00.000Z"
            << "";
        QTest::newRow("Berlin, just after the jump")
            << berlin << now << QDate(2026, 3, 29) << QTime(3, 30) << "2026-03-29T01:30:00.000Z"
            << "";
        QTest::newRow("Berlin gap") << berlin << now << QDate(2026, 3, 29) << QTime(2, 30) << ""
                                    << gap.arg("2026-03-29 02:30:00");
        QTest::newRow("Berlin repeated hour, earlier one")
            << berlin << now << QDate(2026, 10, 25) << QTime(2, 30) << "2026-10-25T00:30:00.000Z"
            << "";
        QTest::newRow("New York, local date behind UTC")
            << newYork << now << QDate(2026, 12, 6) << QTime(22, 0) << "2026-12-07T03:00:00.000Z"
            << "";
        QTest::newRow("New York gap") << newYork << now << QDate(2026, 3, 8) << QTime(2, 30) << ""
                                      << gap.arg("2026-03-08 02:30:00");
        QTest::newRow("New York repeated hour, earlier one")
            << newYork << now << QDate(2026, 11, 1) << QTime(1, 30) << "2026-11-01T05:30:00.000Z"
            << "";
        QTest::newRow("Shanghai, local date ahead of UTC")
            << shanghai << now << QDate(2027, 1, 1) << QTime(0, 0) << "2026-12-31T16:00:00.000Z"
            << "";
        QTest::newRow("Shanghai, clock standing at 1970")
            << shanghai << "1970-01-01T00:00:00.000Z" << QDate(2027, 3, 4) << QTime(5, 6, 7)
            << "2027-03-03T21:06:07.000Z"
            << "";
        QTest::newRow("milliseconds kept")
            << utc << now << QDate(2027, 3, 4) << QTime(5, 6, 7, 250) << "2027-03-04T05:06:07.250Z"
            << "";

        // The range the kernel takes, to the millisecond at both ends, or to the last
        // second a 32-bit time_t holds where the build has no 64-bit one: an instant
        // past it must be refused, never wrapped to 1901. The first is the monotonic
        // clock, 4 s and a nanosecond since boot here, and never the epoch.
        const bool time64 = sizeof(time_t) >= 8;
        const QString last =
            time64 ? QStringLiteral("2232-04-18 23:47:15") : QStringLiteral("2038-01-19 03:14:07");
        const QString uptime =
            QStringLiteral("1970-01-01 00:00:04 至 %1），系统运行时，时钟不能早于").arg(last);
        QTest::newRow("the epoch, a running machine")
            << utc << now << QDate(1970, 1, 1) << QTime(0, 0) << "" << uptime;
        QTest::newRow("the earliest: the time since boot")
            << utc << now << QDate(1970, 1, 1) << QTime(0, 0, 4, 1) << "1970-01-01T00:00:04.001Z"
            << "";
        QTest::newRow("a millisecond before it")
            << utc << now << QDate(1970, 1, 1) << QTime(0, 0, 4) << ""
            << range.arg("1970-01-01 00:00:04");
        QTest::newRow("a millisecond before the epoch")
            << utc << now << QDate(1969, 12, 31) << QTime(23, 59, 59, 999) << ""
            << range.arg("1969-12-31 23:59:59");
        QTest::newRow("Berlin, 1970-01-01 local is still 1969 UTC")
            << berlin << now << QDate(1970, 1, 1) << QTime(0, 30) << ""
            << range.arg("1970-01-01 00:30:00");
        QTest::newRow("the last millisecond of 32-bit time")
            << utc << now << QDate(2038, 1, 19) << QTime(3, 14, 7, 999)
            << "2038-01-19T03:14:07.999Z"
            << "";
        // Said in local time, bounds and all.
        const QString past2038 = range.arg("2038-01-19 11:14:08") +
                                 QStringLiteral("（1970-01-01 08:00:04 至 2038-01-19 11:14:07）");
        QTest::newRow("Shanghai, a second past 32-bit time")
            << shanghai << now << QDate(2038, 1, 19) << QTime(11, 14, 8)
            << (time64 ? "2038-01-19T03:14:08.000Z" : "") << (time64 ? "" : past2038);
        QTest::newRow("New York, 2100") << newYork << now << QDate(2100, 2, 28) << QTime(19, 0)
                                        << (time64 ? "2100-03-01T00:00:00.000Z" : "")
                                        << (time64 ? "" : range.arg("2100-02-28 19:00:00"));
        QTest::newRow("the kernel's last settable millisecond")
            << utc << now << QDate(2232, 4, 18) << QTime(23, 47, 15, 999)
            << (time64 ? "2232-04-18T23:47:15.999Z" : "")
            << (time64 ? "" : range.arg("2232-04-18 23:47:15"));
        QTest::newRow("a millisecond after it")
            << utc << now << QDate(2232, 4, 18) << QTime(23, 47, 16) << ""
            << range.arg("2232-04-18 23:47:16");
        // Past the last instant that fits in nanoseconds at all.
        QTest::newRow("2263") << utc << now << QDate(2263, 1, 1) << QTime(0, 0) << ""
                              << range.arg("2263-01-01 00:00:00");
    }

    void setInstant()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, nowUtc);
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(QString, written);
        QFETCH(QString, error);
        useZone(zone);
        FakeCalls calls;
        calls.realtime = utcNs(nowUtc);
        calls.boottime = kBootNs;
        calls.monotonic = kBootNs - 999'999'999; // a second asleep
        SystemClock clock(calls);
        primeWinterConversion();

        const QString thrown = errorOf([&] {
            clock.setInstant({localToUtcMs(date, time), clock.boottimeMs()}, {});
        });
        if (written.isEmpty()) {
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
            QVERIFY(calls.written.isEmpty());
            QVERIFY(calls.rtcWritten.isEmpty());
        } else {
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
            QCOMPARE(calls.written, QList<qint64>{utcNs(written)});
        }
    }

    // The clock's readings in milliseconds: the real and boot clocks floored, the earliest
    // settable instant (the monotonic clock) rounded up, as the kernel compares nanoseconds.
    void readings_data()
    {
        QTest::addColumn<qint64>("ns");
        QTest::addColumn<qint64>("flooredMs");
        QTest::addColumn<qint64>("roundedUpMs");

        QTest::newRow("zero") << 0LL << 0LL << 0LL;
        QTest::newRow("a nanosecond") << 1LL << 0LL << 1LL;
        QTest::newRow("a whole millisecond") << 4'000'000'000LL << 4000LL << 4000LL;
        QTest::newRow("a nanosecond past it") << 4'000'000'001LL << 4000LL << 4001LL;
        QTest::newRow("a nanosecond short of it") << 3'999'999'999LL << 3999LL << 4000LL;
    }

    void readings()
    {
        QFETCH(qint64, ns);
        QFETCH(qint64, flooredMs);
        FakeCalls calls;
        calls.realtime = ns;
        calls.boottime = ns;
        calls.monotonic = ns;
        SystemClock clock(calls);
        QCOMPARE(clock.now().toMSecsSinceEpoch(), flooredMs);
        QCOMPARE(clock.boottimeMs(), flooredMs);
        QTEST(clock.earliestSettableMs(), "roundedUpMs");
    }

    // The range check alone, word for word: the bounds said in local time, and the
    // sentence about the time since boot only when that is what moved the first bound.
    void requireSettable_data()
    {
        QTest::addColumn<qint64>("utcMs");
        QTest::addColumn<qint64>("earliestMs"); // the monotonic clock, rounded up
        QTest::addColumn<QString>("error");     // "" when settable

        const QString last = sizeof(time_t) >= 8 ? QStringLiteral("2232-04-18 23:47:15")
                                                 : QStringLiteral("2038-01-19 03:14:07");
        const QString range = QStringLiteral("%1 超出了系统时钟能设置的范围（%2 至 %3），");
        const QString sinceBoot =
            QStringLiteral("系统运行时，时钟不能早于 1970-01-01 00:00:00 UTC 加上开机以来的时间，");
        const QString another = QStringLiteral("请换一个日期。");
        QTest::newRow("the epoch, the clock just started") << 0LL << 0LL << "";
        QTest::newRow("before it: the epoch is the bound")
            << -1LL << 0LL
            << range.arg("1969-12-31 23:59:59", "1970-01-01 00:00:00", last) + another;
        QTest::newRow("an earliest before the epoch counts as the epoch")
            << -1LL << -5000LL
            << range.arg("1969-12-31 23:59:59", "1970-01-01 00:00:00", last) + another;
        QTest::newRow("the earliest itself") << 4001LL << 4001LL << "";
        QTest::newRow("a millisecond before the earliest")
            << 4000LL << 4001LL
            << range.arg("1970-01-01 00:00:04", "1970-01-01 00:00:04", last) + sinceBoot + another;
        QTest::newRow("the last settable millisecond") << kLastSettableMs << 4001LL << "";
        QTest::newRow("past it: no word of the time since boot")
            << kLastSettableMs + 1 << 4001LL
            << range.arg(sizeof(time_t) >= 8 ? "2232-04-18 23:47:16" : "2038-01-19 03:14:08",
                         "1970-01-01 00:00:04", last) +
                   another;
    }

    void requireSettable()
    {
        QFETCH(qint64, utcMs);
        QFETCH(qint64, earliestMs);
        useZone("UTC");
        QTEST(errorOf([&] { horalis::requireSettable(utcMs, earliestMs); }), "error");
    }

    // The target moves on with the boot clock between being worked out and being
    // written (a question, a suspend); what the real clock did meanwhile does not count.
    void followsTheBootClock_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("bootLaterNs");
        QTest::addColumn<qint64>("realLaterNs");
        QTest::addColumn<QString>("written"); // empty: out of range, nothing written

        const QString target = QStringLiteral("2027-03-04T05:06:07.250Z");
        QTest::newRow("at once") << target << 0LL << 0LL << target;
        QTest::newRow("an hour's suspend")
            << target << 3'600'000'000'000LL << 3'600'000'000'000LL << "2027-03-04T06:06:07.250Z";
        QTest::newRow("real clock set back a day meanwhile")
            << target << 2'500'000'000LL << -86'400'000'000'000LL << "2027-03-04T05:06:09.750Z";
        QTest::newRow("sub-millisecond boot time dropped") << target << 999'999LL << 0LL << target;
        QTest::newRow("moved past the last settable instant")
            << (sizeof(time_t) >= 8 ? "2232-04-18T23:47:15.999Z" : "2038-01-19T03:14:07.999Z")
            << 1'000'000LL << 0LL << "";
    }

    void followsTheBootClock()
    {
        QFETCH(QString, target);
        QFETCH(qint64, bootLaterNs);
        QFETCH(qint64, realLaterNs);
        QFETCH(QString, written);
        useZone("UTC");
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        calls.boottime = kBootNs;
        SystemClock clock(calls);
        const Instant instant{utcMs(target), clock.boottimeMs()};

        calls.boottime += bootLaterNs;
        calls.realtime += realLaterNs;
        const QString thrown = errorOf([&] { clock.setInstant(instant, {}); });
        if (written.isEmpty()) {
            QVERIFY2(thrown.contains(u"超出了系统时钟能设置的范围"), qPrintable(thrown));
            QVERIFY(calls.written.isEmpty());
        } else {
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
            QCOMPARE(calls.written, QList<qint64>{utcNs(written)});
        }
    }

    // Once the window is closing, not even the kernel is asked.
    void nothingWrittenOnceStopped()
    {
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        SystemClock clock(calls);
        std::stop_source closing;
        closing.request_stop();
        QVERIFY_THROWS_EXCEPTION(Abandoned, clock.setInstant({utcMs("2027-01-01T00:00:00.000Z"), 0},
                                                             closing.get_token()));
        QVERIFY(calls.written.isEmpty());
    }

    void refused_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("expected");

        QTest::newRow("EPERM") << EPERM << QStringLiteral("管理员");
        QTest::newRow("EACCES") << EACCES << QStringLiteral("管理员");
        QTest::newRow("EINVAL") << EINVAL << QString::fromLocal8Bit(std::strerror(EINVAL));
    }

    void refused()
    {
        QFETCH(int, error);
        QFETCH(QString, expected);
        useZone("UTC");
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        calls.boottime = kBootNs;
        calls.failWith = error;
        SystemClock clock(calls);

        try {
            clock.setInstant({utcMs("2027-01-01T00:00:00.000Z"), clock.boottimeMs()}, {});
            QFAIL("a refused write must throw");
        } catch (const RunTimeError &e) {
            QVERIFY2(e.description().contains(expected), qPrintable(e.description()));
            QCOMPARE(e.description().contains(u"管理员"), error != EINVAL);
        }
        QCOMPARE(calls.written.size(), 1);
        QVERIFY(calls.rtcWritten.isEmpty());
    }

    // The hardware clock follows a successful write from the very instant written,
    // broken down in UTC or, where /etc/adjtime says LOCAL, in the local zone; whole
    // seconds only.
    void hardwareClock_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<bool>("localRtc");
        QTest::addColumn<QString>("target");
        QTest::addColumn<qint64>("bootLaterNs");
        QTest::addColumn<QString>("rtc");

        const QByteArray berlin("Europe/Berlin"), newYork("America/New_York"),
            shanghai("Asia/Shanghai");
        QTest::newRow("Berlin summer, UTC RTC")
            << berlin << false << "2026-07-01T06:15:30.000Z" << 0LL << "2026-07-01 06:15:30";
        QTest::newRow("Berlin summer, local RTC")
            << berlin << true << "2026-07-01T06:15:30.000Z" << 0LL << "2026-07-01 08:15:30";
        QTest::newRow("Shanghai, UTC RTC a day behind the local date")
            << shanghai << false << "2026-12-31T20:00:00.000Z" << 0LL << "2026-12-31 20:00:00";
        QTest::newRow("Shanghai, local RTC on New Year's Day")
            << shanghai << true << "2026-12-31T20:00:00.000Z" << 0LL << "2027-01-01 04:00:00";
        QTest::newRow("New York winter, UTC RTC a day ahead")
            << newYork << false << "2026-12-07T03:30:00.000Z" << 0LL << "2026-12-07 03:30:00";
        QTest::newRow("New York winter, local RTC")
            << newYork << true << "2026-12-07T03:30:00.000Z" << 0LL << "2026-12-06 22:30:00";
        QTest::newRow("leap day, milliseconds dropped")
            << QByteArray("UTC") << false << "2028-02-29T23:59:59.900Z" << 0LL
            << "2028-02-29 23:59:59";
        QTest::newRow("moved on by the boot clock, local RTC past midnight")
            << shanghai << true << "2026-12-31T15:30:00.000Z" << 3'600'000'000'000LL
            << "2027-01-01 00:30:00";
        if (sizeof(time_t) >= 8) { // a 32-bit time_t refuses these before the RTC
            QTest::newRow("past 32-bit time, local RTC")
                << shanghai << true << "2038-01-19T03:14:08.000Z" << 0LL << "2038-01-19 11:14:08";
            QTest::newRow("2100, UTC RTC")
                << newYork << false << "2100-03-01T00:00:00.000Z" << 0LL << "2100-03-01 00:00:00";
        }
    }

    void hardwareClock()
    {
        QFETCH(QByteArray, zone);
        QFETCH(bool, localRtc);
        QFETCH(QString, target);
        QFETCH(qint64, bootLaterNs);
        QFETCH(QString, rtc);
        useZone(zone);
        QStringList happened;
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        calls.boottime = kBootNs;
        calls.localRtc = localRtc;
        calls.events = &happened;
        SystemClock clock(calls);
        const Instant instant{utcMs(target), clock.boottimeMs()};

        calls.boottime += bootLaterNs;
        clock.setInstant(instant, {});
        QCOMPARE(calls.rtcWritten, QStringList{rtc});
        QCOMPARE(happened, (QStringList{"clock", "rtc"}));
    }

    // Direct first; the service only when the kernel refuses the right, and then as a
    // shift from the real clock to the target moved on to the boot clock's present
    // reading. The service keeps the hardware clock itself; the RTC's own failures do
    // not count. The trace says which path was taken; a direct write, which only root
    // may make, leaves a line in the system log (timedated logs its own).
    void fallback_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("failWith");
        QTest::addColumn<bool>("withService");
        QTest::addColumn<QString>("serviceRefuses");
        QTest::addColumn<int>("rtcFailWith");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("error"); // empty: must not throw
        QTest::addColumn<QString>("trace"); // in a horalis.clock line

        // The real clock reads 2026-12-07T04:50:00.250Z, and the boot clock has run on
        // 2.5 s since the target was worked out.
        const QString ahead = QStringLiteral("2027-01-01T00:00:00.000Z");
        const QString behind = QStringLiteral("2026-12-07T04:00:00.000Z");
        const QStringList direct{"clock", "rtc"};
        const QStringList shiftAhead{"clock", "shift 2142602250000"};
        const QString setDirectly =
            QStringLiteral("set directly (clock_settime), moved by 2142602250 ms");
        const QString askTimedated = QStringLiteral("timedated is asked to move it by");
        QTest::newRow("direct succeeds, service never asked")
            << ahead << 0 << true << "" << 0 << direct << "" << setDirectly;
        QTest::newRow("direct succeeds, RTC set")
            << ahead << 0 << true << "" << 0 << direct << ""
            << QStringLiteral("hardware clock, which keeps UTC: set");
        QTest::newRow("no RTC device (ENODEV)")
            << ahead << 0 << true << "" << ENODEV << direct << ""
            << "hardware clock, which keeps UTC: not set, " + qt_error_string(ENODEV);
        QTest::newRow("no RTC node (ENOENT)")
            << ahead << 0 << false << "" << ENOENT << direct << "" << setDirectly;
        QTest::newRow("RTC write fails (EIO)")
            << ahead << 0 << true << "" << EIO << direct << "" << setDirectly;
        QTest::newRow("EPERM: service shifts forward")
            << ahead << EPERM << true << "" << 0 << shiftAhead << ""
            << askTimedated + " 2142602250000 us";
        QTest::newRow("EACCES: service shifts forward")
            << ahead << EACCES << true << "" << 0 << shiftAhead << "" << askTimedated;
        QTest::newRow("EPERM: service shifts back")
            << behind << EPERM << true << "" << 0 << QStringList{"clock", "shift -2997750000"} << ""
            << askTimedated + " -2997750000 us";
        QTest::newRow("EPERM: service refuses") << ahead << EPERM << true << "服务说不" << 0
                                                << shiftAhead << "服务说不" << askTimedated;
        QTest::newRow("EPERM without a service")
            << ahead << EPERM << false << "" << 0 << QStringList{"clock"} << "管理员"
            << "clock_settime refused: " + qt_error_string(EPERM);
        QTest::newRow("EINVAL: not a matter of rights")
            << ahead << EINVAL << true << "" << 0 << QStringList{"clock"}
            << QString::fromLocal8Bit(std::strerror(EINVAL))
            << "clock_settime refused: " + qt_error_string(EINVAL);
    }

    void fallback()
    {
        QFETCH(QString, target);
        QFETCH(int, failWith);
        QFETCH(bool, withService);
        QFETCH(QString, serviceRefuses);
        QFETCH(int, rtcFailWith);
        QFETCH(QStringList, events);
        QFETCH(QString, error);
        QFETCH(QString, trace);
        useZone("UTC");
        const TraceRecorder recorder;
        QStringList happened;
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.250Z");
        calls.boottime = kBootNs + 2'500'000'000;
        calls.failWith = failWith;
        calls.rtcFailWith = rtcFailWith;
        calls.events = &happened;
        FakeService service;
        service.events = &happened;
        service.refuseWith = serviceRefuses;
        SystemClock clock(calls, withService ? &service : nullptr);

        const QString thrown = errorOf([&] {
            clock.setInstant({utcMs(target), kBootNs / 1'000'000, QStringLiteral("typed in")}, {});
        });
        QCOMPARE(happened, events);
        if (error.isEmpty())
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
        else
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
        QVERIFY2(recorder.says(QStringLiteral("horalis.clock"),
                               {QStringLiteral("setting the clock to %1 (typed in), worked out "
                                               "2500 ms ago by the boot clock; it reads "
                                               "2026-12-07T04:50:00.250Z")
                                    .arg(utcText(utcMs(target) + 2500))}),
                 recorder.dump());
        QVERIFY2(recorder.says(QStringLiteral("horalis.clock"), {trace}), recorder.dump());
        const QStringList logged{QStringLiteral("Set the system clock from "
                                                "2026-12-07T04:50:00.250Z to %1 (typed in).")
                                     .arg(utcText(utcMs(target) + 2500))};
        QCOMPARE(calls.logged, failWith == 0 ? logged : QStringList());
    }

    // Automatic synchronisation is the service's to report and to stop; without a
    // service, or when it cannot tell, the clock counts as not synchronised.
    void automaticSync_data()
    {
        QTest::addColumn<bool>("withService");
        QTest::addColumn<std::optional<bool>>("sync");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("events");

        const QStringList asked{"sync?", "stop sync"};
        QTest::newRow("no service") << false << std::optional<bool>() << false << QStringList();
        QTest::newRow("service cannot tell") << true << std::optional<bool>() << false << asked;
        QTest::newRow("on") << true << std::optional<bool>(true) << true << asked;
        QTest::newRow("off") << true << std::optional<bool>(false) << false << asked;
    }

    void automaticSync()
    {
        QFETCH(bool, withService);
        QFETCH(std::optional<bool>, sync);
        QFETCH(bool, on);
        QFETCH(QStringList, events);
        QStringList happened;
        FakeCalls calls;
        calls.events = &happened;
        FakeService service;
        service.events = &happened;
        service.sync = sync;
        SystemClock clock(calls, withService ? &service : nullptr);

        QCOMPARE(clock.automaticSyncOn({}), on);
        clock.stopAutomaticSync({});
        QCOMPARE(happened, events);
    }

    void adjtime_data()
    {
        QTest::addColumn<QByteArray>("adjtime");
        QTest::addColumn<bool>("local");

        QTest::newRow("LOCAL") << QByteArray("0.0 0 0.0\n0\nLOCAL\n") << true;
        QTest::newRow("LOCAL, no final newline") << QByteArray("0.0 0 0.0\n0\nLOCAL") << true;
        QTest::newRow("LOCAL, CRLF") << QByteArray("0.0 0 0.0\r\n0\r\nLOCAL\r\n") << true;
        QTest::newRow("UTC") << QByteArray("0.0 0 0.0\n0\nUTC\n") << false;
        QTest::newRow("LOCAL on the second line") << QByteArray("0.0 0 0.0\nLOCAL\nUTC\n") << false;
        QTest::newRow("two lines only") << QByteArray("0.0 0 0.0\nLOCAL\n") << false;
        QTest::newRow("two lines, no final newline") << QByteArray("0.0 0 0.0\nLOCAL") << false;
        QTest::newRow("lower case") << QByteArray("0.0 0 0.0\n0\nlocal\n") << false;
        QTest::newRow("empty (no file)") << QByteArray() << false;
    }

    void adjtime()
    {
        QFETCH(QByteArray, adjtime);
        QFETCH(bool, local);
        QCOMPARE(adjtimeSaysLocal(adjtime), local);
    }

    // What the trace lines quote: a reply or an error message, printable ASCII as it is,
    // the rest escaped, at most 120 characters and then how many more there were.
    void traceQuoted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("quoted");

        QTest::newRow("empty") << QString() << QStringLiteral("\"\"");
        QTest::newRow("printable ASCII, ends included")
            << QStringLiteral(" az~") << QStringLiteral("\" az~\"");
        QTest::newRow("quote and backslash")
            << QStringLiteral("a\"b\\c") << QStringLiteral("\"a\\\"b\\\\c\"");
        QTest::newRow("line ends and tab")
            << QStringLiteral("\r\n\t") << QStringLiteral("\"\\r\\n\\t\"");
        QTest::newRow("control characters") << QString(QChar(0)) + QChar(0x1f) + QChar(0x7f)
                                            << QStringLiteral("\"\\x00\\x1f\\x7f\"");
        QTest::newRow("Latin-1") << QString(QChar(0xa0)) + QChar(0xff)
                                 << QStringLiteral("\"\\xa0\\xff\"");
        QTest::newRow("beyond Latin-1")
            << QStringLiteral("中") + QChar(0x100) << QStringLiteral("\"\\u4e2d\\u0100\"");
        QTest::newRow("120 characters whole")
            << QString(120, u'7') << u'"' + QString(120, u'7') + u'"';
        QTest::newRow("121 characters: one more")
            << QString(121, u'7') << u'"' + QString(120, u'7') + QStringLiteral("\"... (1 more)");
        QTest::newRow("escapes count as one character")
            << QString(119, u'7') + QStringLiteral("\n\n")
            << u'"' + QString(119, u'7') + QStringLiteral("\\n\"... (1 more)");
    }

    void traceQuoted()
    {
        QFETCH(QString, text);
        QTEST(horalis::traceQuoted(text), "quoted");
        QCOMPARE(utcText(1'796'600'000'123), QStringLiteral("2026-12-06T23:33:20.123Z"));
    }

private:
    QByteArray m_savedTz;
    bool m_hadTz = false;
};

QTEST_GUILESS_MAIN(TestSystemClock)
#include "tst_systemclock.moc"
