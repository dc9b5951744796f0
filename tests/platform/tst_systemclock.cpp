#include "fakeclockcalls.h"
#include "runtimeerror.h"
#include "systemclock.h"

#include <QFile>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <ctime>

using namespace horalis;
using namespace horalis::test;

namespace {

// A time service that records what it is asked to set, or refuses with a text.
class FakeService : public TimeService {
public:
    QStringList *events = nullptr; // "service <usec>"
    QString refuseWith;

    void setTime(qint64 usecUtc) override
    {
        events->append(QStringLiteral("service %1").arg(usecUtc));
        if (!refuseWith.isEmpty())
            throw RunTimeError(refuseWith);
    }
};

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
        calls.monotonic = 5'123'999'999;
        SystemClock clock(calls);

        const QDateTime now = clock.now();
        QCOMPARE(now.timeSpec(), Qt::LocalTime);
        QCOMPARE(now.toString(u"yyyy-MM-dd HH:mm:ss.zzz"), local);
        QCOMPARE(clock.monotonicMs(), 5123);
    }

    // One step as the window does it. An empty "written" means the step must throw,
    // with "error" in its description, and leave the clock alone.
    void setOne_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QTime>("time"); // setTimeOfDay when valid, otherwise ...
        QTest::addColumn<QDate>("date"); // ... setDate
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("error");

        const QByteArray berlin("Europe/Berlin"), newYork("America/New_York"),
            shanghai("Asia/Shanghai"), utc("UTC");
        const QTime noTime;
        const QDate noDate;
        const QString gap = QStringLiteral("本地时区中不存在 %1 这个时刻");
        const QString range = QStringLiteral("超出了系统时钟能设置的范围");

        // setTimeOfDay keeps today's *local* date, whatever the UTC date is.
        QTest::newRow("time: Berlin summer")
            << berlin << "2026-07-01T10:00:00.000Z" << QTime(8, 15, 30) << noDate
            << "2026-07-01T06:15:30.000Z"
            << "";
        QTest::newRow("time: Berlin, local date ahead of UTC")
            << berlin << "2026-07-01T23:30:00.000Z" << QTime(12, 0) << noDate
            << "2026-07-02T10:00:00.000Z"
            << "";
        QTest::newRow("time: New York, local date behind UTC")
            << newYork << "2026-12-07T03:00:00.000Z" << QTime(6, 0) << noDate
            << "2026-12-06T11:00:00.000Z"
            << "";
        QTest::newRow("time: Shanghai at 23:59:59.900")
            << shanghai << "2026-12-07T15:59:59.900Z" << QTime(0, 0) << noDate
            << "2026-12-06T16:00:00.000Z"
            << "";
        QTest::newRow("time: milliseconds dropped")
            << utc << "2026-12-07T04:50:12.345Z" << QTime(10, 20, 30, 250) << noDate
            << "2026-12-07T10:20:30.000Z"
            << "";
        QTest::newRow("time: Berlin, across the jump on its day")
            << berlin << "2026-03-29T00:30:00.000Z" << QTime(3, 30) << noDate
            << "2026-03-29T01:30:00.000Z"
            << "";
        QTest::newRow("time: Berlin gap") << berlin << "2026-03-29T00:30:00.000Z" << QTime(2, 30)
                                          << noDate << "" << gap.arg("2026-03-29 02:30:00");
        QTest::newRow("time: New York gap") << newYork << "2026-03-08T06:00:00.000Z" << QTime(2, 30)
                                            << noDate << "" << gap.arg("2026-03-08 02:30:00");
        QTest::newRow("time: Berlin repeated hour, earlier one")
            << berlin << "2026-10-25T10:00:00.000Z" << QTime(2, 30) << noDate
            << "2026-10-25T00:30:00.000Z"
            << "";
        QTest::newRow("time: New York repeated hour, earlier one")
            << newYork << "2026-11-01T12:00:00.000Z" << QTime(1, 30) << noDate
            << "2026-11-01T05:30:00.000Z"
            << "";

        // setDate keeps the local time of day, milliseconds included, under the
        // offset in force on the new date.
        QTest::newRow("date: Berlin summer to winter")
            << berlin << "2026-07-01T10:00:00.500Z" << noTime << QDate(2026, 12, 24)
            << "2026-12-24T11:00:00.500Z"
            << "";
        QTest::newRow("date: Berlin winter to summer")
            << berlin << "2026-12-07T04:50:00.000Z" << noTime << QDate(2026, 7, 1)
            << "2026-07-01T03:50:00.000Z"
            << "";
        QTest::newRow("date: New York summer to winter")
            << newYork << "2026-07-01T16:00:00.000Z" << noTime << QDate(2026, 1, 15)
            << "2026-01-15T17:00:00.000Z"
            << "";
        QTest::newRow("date: Shanghai") << shanghai << "2026-12-07T04:50:00.000Z" << noTime
                                        << QDate(2027, 2, 1) << "2027-02-01T04:50:00.000Z"
                                        << "";
        QTest::newRow("date: UTC at 23:59:59.900 to the next day")
            << utc << "2026-12-31T23:59:59.900Z" << noTime << QDate(2027, 1, 1)
            << "2027-01-01T23:59:59.900Z"
            << "";
        QTest::newRow("date: Berlin gap")
            << berlin << "2026-07-01T00:30:00.000Z" << noTime << QDate(2026, 3, 29) << ""
            << gap.arg("2026-03-29 02:30:00");
        QTest::newRow("date: Berlin repeated hour, earlier one")
            << berlin << "2026-07-01T00:30:00.000Z" << noTime << QDate(2026, 10, 25)
            << "2026-10-25T00:30:00.000Z"
            << "";

        // The range the system clock takes.
        QTest::newRow("date: the epoch itself") << utc << "2026-12-07T00:00:00.000Z" << noTime
                                                << QDate(1970, 1, 1) << "1970-01-01T00:00:00.000Z"
                                                << "";
        QTest::newRow("date: 1969")
            << utc << "2026-12-07T04:50:00.000Z" << noTime << QDate(1969, 12, 31) << "" << range;
        QTest::newRow("date: Berlin, 1970-01-01 local is still 1969 UTC")
            << berlin << "2026-12-06T23:30:00.000Z" << noTime << QDate(1970, 1, 1) << "" << range;
        QTest::newRow("date: 2263")
            << utc << "2026-12-07T04:50:00.000Z" << noTime << QDate(2263, 1, 1) << "" << range;
    }

    void setOne()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, nowUtc);
        QFETCH(QTime, time);
        QFETCH(QDate, date);
        QFETCH(QString, written);
        QFETCH(QString, error);
        useZone(zone);
        FakeCalls calls;
        calls.realtime = utcNs(nowUtc);
        SystemClock clock(calls);
        // Qt 6.4 resolves a repeated hour after the previous local conversion in the
        // process (a winter one makes it pick the later instant); the clock must not.
        QDateTime(QDate(2026, 1, 10), QTime(12, 0), Qt::LocalTime).toMSecsSinceEpoch();

        const QString thrown = errorOf([&] {
            if (time.isValid())
                clock.setTimeOfDay(time);
            else
                clock.setDate(date);
        });
        if (written.isEmpty()) {
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
            QVERIFY(calls.written.isEmpty());
        } else {
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
            QCOMPARE(calls.written, QList<qint64>{utcNs(written)});
        }
    }

    // The window sets the time of day, then the date; the clock runs on in between,
    // and the date step must use the time of day read at that moment.
    void timeThenDate_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");

        QTest::newRow("Berlin summer to winter")
            << QByteArray("Europe/Berlin") << "2026-07-01T10:00:00.000Z" << QTime(8, 0)
            << QDate(2026, 12, 24) << "2026-07-01T06:00:00.000Z"
            << "2026-12-24T07:00:01.500Z";
        QTest::newRow("Shanghai, midnight passes in between")
            << QByteArray("Asia/Shanghai") << "2026-12-07T04:50:00.000Z" << QTime(23, 59, 59)
            << QDate(2027, 1, 1) << "2026-12-07T15:59:59.000Z"
            << "2026-12-31T16:00:00.500Z";
    }

    void timeThenDate()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, nowUtc);
        QFETCH(QTime, time);
        QFETCH(QDate, date);
        QFETCH(QString, first);
        QFETCH(QString, second);
        useZone(zone);
        FakeCalls calls;
        calls.realtime = utcNs(nowUtc);
        SystemClock clock(calls);

        clock.setTimeOfDay(time);
        calls.realtime += 1'500'000'000;
        clock.setDate(date);
        QCOMPARE(calls.written, (QList<qint64>{utcNs(first), utcNs(second)}));
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
        calls.failWith = error;
        SystemClock clock(calls);

        try {
            clock.setDate(QDate(2027, 1, 1));
            QFAIL("a refused write must throw");
        } catch (const RunTimeError &e) {
            QVERIFY2(e.description().contains(expected), qPrintable(e.description()));
            QCOMPARE(e.description().contains(u"管理员"), error != EINVAL);
        }
        QCOMPARE(calls.written.size(), 1);
    }

    // The hardware clock follows a successful write, broken down in UTC or, where
    // /etc/adjtime says LOCAL, in the local zone; whole seconds only.
    void hardwareClock_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<bool>("localRtc");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QTime>("time"); // setTimeOfDay when valid, otherwise ...
        QTest::addColumn<QDate>("date"); // ... setDate
        QTest::addColumn<QString>("rtc");

        const QByteArray berlin("Europe/Berlin"), newYork("America/New_York"),
            shanghai("Asia/Shanghai");
        QTest::newRow("Berlin summer, UTC RTC")
            << berlin << false << "2026-07-01T10:00:00.000Z" << QTime(8, 15, 30) << QDate()
            << "2026-07-01 06:15:30";
        QTest::newRow("Berlin summer, local RTC")
            << berlin << true << "2026-07-01T10:00:00.000Z" << QTime(8, 15, 30) << QDate()
            << "2026-07-01 08:15:30";
        QTest::newRow("Shanghai, UTC RTC a day behind the local date")
            << shanghai << false << "2026-12-06T20:00:00.000Z" << QTime() << QDate(2027, 1, 1)
            << "2026-12-31 20:00:00";
        QTest::newRow("Shanghai, local RTC on New Year's Day")
            << shanghai << true << "2026-12-06T20:00:00.000Z" << QTime() << QDate(2027, 1, 1)
            << "2027-01-01 04:00:00";
        QTest::newRow("New York winter, UTC RTC a day ahead")
            << newYork << false << "2026-12-07T03:00:00.000Z" << QTime(22, 30) << QDate()
            << "2026-12-07 03:30:00";
        QTest::newRow("New York winter, local RTC")
            << newYork << true << "2026-12-07T03:00:00.000Z" << QTime(22, 30) << QDate()
            << "2026-12-06 22:30:00";
        QTest::newRow("leap day, milliseconds dropped")
            << QByteArray("UTC") << false << "2027-03-01T23:59:59.900Z" << QTime()
            << QDate(2028, 2, 29) << "2028-02-29 23:59:59";
    }

    void hardwareClock()
    {
        QFETCH(QByteArray, zone);
        QFETCH(bool, localRtc);
        QFETCH(QString, nowUtc);
        QFETCH(QTime, time);
        QFETCH(QDate, date);
        QFETCH(QString, rtc);
        useZone(zone);
        FakeCalls calls;
        calls.realtime = utcNs(nowUtc);
        calls.localRtc = localRtc;
        SystemClock clock(calls);

        if (time.isValid())
            clock.setTimeOfDay(time);
        else
            clock.setDate(date);
        QCOMPARE(calls.rtcWritten, QStringList{rtc});
    }

    // Direct first; the service only when the kernel refuses the right, and then it
    // keeps the hardware clock itself. The RTC's own failures do not count.
    void fallback_data()
    {
        QTest::addColumn<int>("failWith");
        QTest::addColumn<bool>("withService");
        QTest::addColumn<QString>("serviceRefuses");
        QTest::addColumn<int>("rtcFailWith");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("error"); // empty: must not throw

        // setDate(2027-01-01) at 2026-12-07T04:50:00.250Z in UTC.
        const QString service = QStringLiteral("service %1").arg(1798779000250000);
        const QStringList direct{"clock", "rtc"};
        QTest::newRow("direct succeeds, service never asked")
            << 0 << true << "" << 0 << direct << "";
        QTest::newRow("no RTC device (ENODEV)") << 0 << true << "" << ENODEV << direct << "";
        QTest::newRow("no RTC node (ENOENT)") << 0 << false << "" << ENOENT << direct << "";
        QTest::newRow("RTC write fails (EIO)") << 0 << true << "" << EIO << direct << "";
        QTest::newRow("EPERM: service")
            << EPERM << true << "" << 0 << QStringList{"clock", service} << "";
        QTest::newRow("EACCES: service")
            << EACCES << true << "" << 0 << QStringList{"clock", service} << "";
        QTest::newRow("EPERM: service refuses")
            << EPERM << true << "服务说不" << 0 << QStringList{"clock", service} << "服务说不";
        QTest::newRow("EPERM without a service")
            << EPERM << false << "" << 0 << QStringList{"clock"} << "管理员";
        QTest::newRow("EINVAL: not a matter of rights")
            << EINVAL << true << "" << 0 << QStringList{"clock"}
            << QString::fromLocal8Bit(std::strerror(EINVAL));
    }

    void fallback()
    {
        QFETCH(int, failWith);
        QFETCH(bool, withService);
        QFETCH(QString, serviceRefuses);
        QFETCH(int, rtcFailWith);
        QFETCH(QStringList, events);
        QFETCH(QString, error);
        useZone("UTC");
        QStringList happened;
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.250Z");
        calls.failWith = failWith;
        calls.rtcFailWith = rtcFailWith;
        calls.events = &happened;
        FakeService service;
        service.events = &happened;
        service.refuseWith = serviceRefuses;
        SystemClock clock(calls, withService ? &service : nullptr);

        const QString thrown = errorOf([&] { clock.setDate(QDate(2027, 1, 1)); });
        QCOMPARE(happened, events);
        if (error.isEmpty())
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
        else
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
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
        QTest::newRow("lower case") << QByteArray("0.0 0 0.0\n0\nlocal\n") << false;
        QTest::newRow("empty (no file)") << QByteArray() << false;
    }

    void adjtime()
    {
        QFETCH(QByteArray, adjtime);
        QFETCH(bool, local);
        QCOMPARE(adjtimeSaysLocal(adjtime), local);
    }

private:
    QByteArray m_savedTz;
    bool m_hadTz = false;
};

QTEST_GUILESS_MAIN(TestSystemClock)
#include "tst_systemclock.moc"
