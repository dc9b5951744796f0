#include "systemclock.h"

#include "instant.h"
#include "runtimeerror.h"
#include "timeservice.h"
#include "trace.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <cerrno>
#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

namespace horalis {

namespace {

constexpr qint64 kNsPerMs = 1'000'000;
constexpr qint64 kNsPerSec = 1'000'000'000;

qint64 readClock(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return qint64(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// The one place that turns a refusal of the system into words for the user.
QString setFailureText(int error)
{
    if (error == EPERM || error == EACCES)
        return QStringLiteral("没有修改系统时间的权限，请以管理员（root）身份运行本程序。");
    return QStringLiteral("系统拒绝修改时间：%1（错误码 %2）。")
        .arg(qt_error_string(error))
        .arg(error);
}

// The hardware clock's fields for an instant, whole seconds, as timedated writes them.
std::tm hardwareClockFields(qint64 ns, bool local)
{
    const time_t seconds = time_t(ns / kNsPerSec);
    std::tm fields{};
    if (local)
        localtime_r(&seconds, &fields);
    else
        gmtime_r(&seconds, &fields);
    fields.tm_isdst = 0; // the hardware clock knows nothing of summer time
    return fields;
}

// Sets the hardware clock to the instant just written to the system clock. Any failure
// is ignored: the system clock is set, which is what the user asked for, and most
// machines without an RTC (virtual ones) answer ENOENT or ENODEV.
void bringHardwareClockInStep(ClockSystemCalls &calls, qint64 ns)
{
    const bool local = calls.hardwareClockIsLocal();
    const int rtcError = calls.setHardwareClock(hardwareClockFields(ns, local));
    qCDebug(lcClock).noquote() << QStringLiteral("hardware clock, which keeps %1: %2")
                                      .arg(local ? u"local time" : u"UTC",
                                           rtcError == 0 ? QStringLiteral("set")
                                                         : QStringLiteral("not set, ") +
                                                               qt_error_string(rtcError));
}

} // namespace

bool adjtimeSaysLocal(const QByteArray &adjtime)
{
    const QList<QByteArray> lines = adjtime.split('\n');
    return lines.size() >= 3 && lines[2].trimmed() == "LOCAL";
}

qint64 LinuxClockSystemCalls::realtimeNs()
{
    return readClock(CLOCK_REALTIME);
}

qint64 LinuxClockSystemCalls::boottimeNs()
{
    return readClock(CLOCK_BOOTTIME);
}

qint64 LinuxClockSystemCalls::monotonicNs()
{
    return readClock(CLOCK_MONOTONIC);
}

int LinuxClockSystemCalls::setRealtimeNs(qint64 ns)
{
    // SystemClock never gets this far with an instant time_t cannot hold; were it to,
    // the seconds would wrap to another date, so the kernel is not asked.
    if (ns < 0 || ns / kNsPerSec > kLastTimeTSecond)
        return EOVERFLOW;
    const timespec ts{time_t(ns / kNsPerSec), long(ns % kNsPerSec)};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
}

bool LinuxClockSystemCalls::hardwareClockIsLocal()
{
    QFile adjtime(QStringLiteral("/etc/adjtime"));
    return adjtime.open(QIODevice::ReadOnly) && adjtimeSaysLocal(adjtime.read(4096));
}

int LinuxClockSystemCalls::setHardwareClock(const std::tm &fields)
{
    rtc_time rtc{};
    rtc.tm_sec = fields.tm_sec;
    rtc.tm_min = fields.tm_min;
    rtc.tm_hour = fields.tm_hour;
    rtc.tm_mday = fields.tm_mday;
    rtc.tm_mon = fields.tm_mon;
    rtc.tm_year = fields.tm_year;
    rtc.tm_wday = fields.tm_wday;
    rtc.tm_yday = fields.tm_yday;
    rtc.tm_isdst = 0;
    const int fd = open("/dev/rtc0", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ioctl(fd, RTC_SET_TIME, &rtc) == 0 ? 0 : errno;
    close(fd);
    return result;
}

void LinuxClockSystemCalls::logClockChange(const QString &line)
{
    openlog("horalis", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s", line.toUtf8().constData());
    closelog();
}

QDateTime SystemClock::now()
{
    return QDateTime::fromMSecsSinceEpoch(m_calls.realtimeNs() / kNsPerMs);
}

qint64 SystemClock::boottimeMs()
{
    return m_calls.boottimeNs() / kNsPerMs;
}

qint64 SystemClock::earliestSettableMs()
{
    // Rounded up: the kernel compares nanoseconds.
    return (m_calls.monotonicNs() + kNsPerMs - 1) / kNsPerMs;
}

bool SystemClock::automaticSyncOn(std::stop_token stop)
{
    return m_service && m_service->automaticSync(stop).value_or(false);
}

void SystemClock::stopAutomaticSync(std::stop_token stop)
{
    if (m_service)
        m_service->stopAutomaticSync(stop);
}

void SystemClock::setInstant(Instant target, std::stop_token stop)
{
    if (stop.stop_requested())
        throw Abandoned(); // the window is closing: nothing is written any more
    // The clocks are read together: the real one for the service's shift, the boot one
    // to move the target on to this moment, the monotonic one for the earliest time.
    const qint64 realNs = m_calls.realtimeNs();
    const qint64 bootMs = m_calls.boottimeNs() / kNsPerMs;
    const qint64 utcMs = target.at(bootMs);
    qCDebug(lcClock).noquote() << QStringLiteral("setting the clock to %1 (%2), worked out %3 ms "
                                                 "ago by the boot clock; it reads %4")
                                      .arg(utcText(utcMs), target.origin)
                                      .arg(bootMs - target.bootMs)
                                      .arg(utcText(realNs / kNsPerMs));
    // Checked in milliseconds first: only a settable instant fits in nanoseconds.
    try {
        requireSettable(utcMs, earliestSettableMs());
    } catch (const RunTimeError &) {
        qCDebug(lcClock).noquote() << "refused: out of the range the clock can be set to";
        throw;
    }
    const qint64 ns = utcMs * kNsPerMs;
    const int error = m_calls.setRealtimeNs(ns);
    if (error == 0) {
        qCDebug(lcClock).noquote()
            << "set directly (clock_settime), moved by" << utcMs - realNs / kNsPerMs << "ms";
        m_calls.logClockChange(QStringLiteral("Set the system clock from %1 to %2 (%3).")
                                   .arg(utcText(realNs / kNsPerMs), utcText(utcMs), target.origin));
        bringHardwareClockInStep(m_calls, ns);
        return;
    }
    // The service gets the change as a shift of the clock, which it applies when polkit
    // says yes: the instant stays right however long the password prompt takes. It keeps
    // the hardware clock in step itself.
    if ((error == EPERM || error == EACCES) && m_service) {
        qCDebug(lcClock).noquote() << QStringLiteral("no right to set the clock (%1): timedated "
                                                     "is asked to move it by %2 us")
                                          .arg(qt_error_string(error))
                                          .arg((ns - realNs) / 1000);
        m_service->shiftTime((ns - realNs) / 1000, stop);
        qCDebug(lcClock).noquote() << "set through timedated";
        return;
    }
    qCDebug(lcClock).noquote() << "clock_settime refused:" << qt_error_string(error);
    throw RunTimeError(setFailureText(error));
}

} // namespace horalis
