#include "instant.h"
#include "runtimeerror.h"
#include "systemclock.h"
#include "timedatedservice.h"

#include <QFile>
#include <QTest>
#include <cerrno>
#include <ctime>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace horalis;

namespace {

constexpr quint32 kSysTimeBit = 1u << CAP_SYS_TIME; // CAP_SYS_TIME < 32: first word

bool readCaps(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

// Drops CAP_SYS_TIME for good from this thread (the one the tests run on) and reports
// whether capget confirms it is gone. The bounding set goes first, as it needs
// CAP_SETPCAP, which the capset below may remove along with the rest.
bool dropSysTime()
{
    prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0);
    __user_cap_data_struct data[2]{};
    if (!readCaps(data))
        return false;
    data[0].effective &= ~kSysTimeBit;
    data[0].permitted &= ~kSysTimeBit;
    data[0].inheritable &= ~kSysTimeBit;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capset, &header, data);
    return readCaps(data) && !(data[0].effective & kSysTimeBit) &&
           !(data[0].permitted & kSysTimeBit);
}

qint64 nsOf(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// How far the real clock stands from the monotonic one; it changes only when someone
// sets the real clock.
qint64 realtimeStepNs()
{
    return nsOf(CLOCK_REALTIME) - nsOf(CLOCK_MONOTONIC);
}

} // namespace

// Runs the real system calls, but only once this process can no longer set the clock.
class TestSystemClockRefusal : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!dropSysTime())
            QSKIP("cannot confirm that CAP_SYS_TIME is gone; the real clock is not touched");
    }

    void readsTheRealClock()
    {
        LinuxClockSystemCalls calls;
        SystemClock clock(calls);
        QVERIFY(qAbs(clock.now().msecsTo(QDateTime::currentDateTime())) < 2000);
        QVERIFY(qAbs(clock.boottimeMs() - nsOf(CLOCK_BOOTTIME) / 1'000'000) < 2000);
    }

    // Each reading, in nanoseconds, lies between the same clock read just before and
    // just after it.
    void readsEachClock_data()
    {
        QTest::addColumn<int>("clock");
        QTest::newRow("real") << int(CLOCK_REALTIME);
        QTest::newRow("boot") << int(CLOCK_BOOTTIME);
        QTest::newRow("monotonic") << int(CLOCK_MONOTONIC);
    }

    void readsEachClock()
    {
        QFETCH(int, clock);
        LinuxClockSystemCalls calls;
        const qint64 before = nsOf(clock);
        const qint64 read = clock == CLOCK_REALTIME   ? calls.realtimeNs()
                            : clock == CLOCK_BOOTTIME ? calls.boottimeNs()
                                                      : calls.monotonicNs();
        const qint64 after = nsOf(clock);
        QVERIFY2(before <= read && read <= after,
                 qPrintable(QStringLiteral("%1 <= %2 <= %3").arg(before).arg(read).arg(after)));
    }

    // The hardware clock is written only with the right to set the time: it says why
    // not, with no RTC device or without the right. Asked for the time it already is.
    void hardwareClockRefused()
    {
        LinuxClockSystemCalls calls;
        const time_t now = time(nullptr);
        std::tm fields{};
        gmtime_r(&now, &fields);
        const int error = QFile::exists(QStringLiteral("/dev/rtc0")) ? EACCES : ENOENT;
        QCOMPARE(calls.setHardwareClock(fields), error);
    }

    // With the time service, the fallback finds no bus (see main) and says so; and with
    // no bus there is no synchronisation to ask about.
    void refusesWithoutPermission_data()
    {
        QTest::addColumn<bool>("withService");
        QTest::addColumn<QString>("expected");

        QTest::newRow("no time service")
            << false << QStringLiteral("没有修改系统时间的权限，请以管理员");
        QTest::newRow("time service, no bus") << true << QStringLiteral("找不到系统的时间服务");
    }

    // Asks for the time it already is, so that even a wrongly granted write would
    // leave the machine's clock where it was to within a second.
    void refusesWithoutPermission()
    {
        QFETCH(bool, withService);
        QFETCH(QString, expected);
        LinuxClockSystemCalls calls;
        TimedatedService service;
        SystemClock clock(calls, withService ? &service : nullptr);
        const qint64 stepBefore = realtimeStepNs();

        QVERIFY(!clock.automaticSyncOn({}));
        QString thrown;
        try {
            clock.setInstant({nsOf(CLOCK_REALTIME) / 1'000'000, clock.boottimeMs()}, {});
        } catch (const RunTimeError &e) {
            thrown = e.description();
        }
        QVERIFY2(thrown.contains(expected), qPrintable(thrown));
        QVERIFY2(thrown.contains(u"管理员"), qPrintable(thrown));
        QVERIFY(qAbs(realtimeStepNs() - stepBefore) < 100'000'000);
    }

    // What the kernel is asked for is the instant given, on any time_t: a second past
    // 32-bit time reaches it as itself (and is refused for want of the right), never
    // wrapped to 1901 (which it would refuse as invalid); where time_t cannot hold it,
    // the kernel is not asked.
    void realCallsKeepTheInstant_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("error");

        const bool time64 = sizeof(time_t) >= 8;
        QTest::newRow("2026") << 1'796'601'600LL << EPERM;
        QTest::newRow("the epoch") << 0LL << EPERM;
        QTest::newRow("a second before it: not asked") << -1LL << EOVERFLOW;
        QTest::newRow("the last second of 32-bit time") << 2'147'483'647LL << EPERM;
        QTest::newRow("a second past it") << 2'147'483'648LL << (time64 ? EPERM : EOVERFLOW);
        QTest::newRow("2106, past an unsigned 32-bit time")
            << 4'294'967'296LL << (time64 ? EPERM : EOVERFLOW);
        QTest::newRow("the kernel's last second")
            << kLastKernelSecond << (time64 ? EPERM : EOVERFLOW);
        QTest::newRow("a second past the kernel's")
            << kLastKernelSecond + 1 << (time64 ? EINVAL : EOVERFLOW);
    }

    void realCallsKeepTheInstant()
    {
        QFETCH(qint64, seconds);
        QFETCH(int, error);
        LinuxClockSystemCalls calls;
        const qint64 stepBefore = realtimeStepNs();
        QCOMPARE(calls.setRealtimeNs(seconds * 1'000'000'000), error);
        QVERIFY(qAbs(realtimeStepNs() - stepBefore) < 100'000'000);
    }
};

int main(int argc, char *argv[])
{
    // Before anything can connect: the fallback must never reach the machine's real
    // timedated, which polkit may let an administrator use without a password.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/horalis-test-bus");
    QCoreApplication app(argc, argv);
    TestSystemClockRefusal test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_systemclock_refusal.moc"
