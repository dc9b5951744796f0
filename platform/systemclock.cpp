#include "systemclock.h"

#include "runtimeerror.h"

#include <QFile>
#include <QList>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/ioctl.h>
#include <unistd.h>

namespace horalis {

namespace {

constexpr qint64 kNsPerMs = 1'000'000;
constexpr qint64 kMsPerDay = 24 * 60 * 60 * 1000;
// The last whole second whose nanosecond count still fits the 64-bit value the kernel
// keeps (2262-04-11 23:47:16 UTC).
constexpr qint64 kLastSettableMs = std::numeric_limits<qint64>::max() / 1'000'000'000 * 1000;

qint64 readClock(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The instant a local wall-clock reading stands for, or nothing when the zone skips the
// reading (spring forward). A reading the zone passes twice (fall back) gives the
// earlier instant. Qt 6.4 flags a skipped reading only through isValid() and picks
// either side of a repeated one, so the candidates are built from the UTC offsets in
// force around the reading and each is kept only if it reads back as the same wall time.
std::optional<qint64> localToEpochMs(QDate date, QTime time)
{
    const qint64 wallMs = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    const auto offsetMsAt = [](qint64 ms) {
        return 1000 * qint64(QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime).offsetFromUtc());
    };
    const QList<qint64> candidates{QDateTime(date, time, Qt::LocalTime).toMSecsSinceEpoch(),
                                   wallMs - offsetMsAt(wallMs - kMsPerDay),
                                   wallMs - offsetMsAt(wallMs + kMsPerDay)};
    std::optional<qint64> earliest;
    for (const qint64 ms : candidates) {
        const QDateTime back = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
        if (back.date() == date && back.time() == time && (!earliest || ms < *earliest))
            earliest = ms;
    }
    return earliest;
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
rtc_time hardwareClockFields(qint64 ns, bool local)
{
    const time_t seconds = time_t(ns / 1'000'000'000);
    tm fields{};
    if (local)
        localtime_r(&seconds, &fields);
    else
        gmtime_r(&seconds, &fields);
    rtc_time rtc{};
    rtc.tm_sec = fields.tm_sec;
    rtc.tm_min = fields.tm_min;
    rtc.tm_hour = fields.tm_hour;
    rtc.tm_mday = fields.tm_mday;
    rtc.tm_mon = fields.tm_mon;
    rtc.tm_year = fields.tm_year;
    rtc.tm_wday = fields.tm_wday;
    rtc.tm_yday = fields.tm_yday;
    rtc.tm_isdst = 0; // the hardware clock knows nothing of summer time
    return rtc;
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

qint64 LinuxClockSystemCalls::monotonicNs()
{
    return readClock(CLOCK_MONOTONIC);
}

int LinuxClockSystemCalls::setRealtimeNs(qint64 ns)
{
    const timespec ts{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
}

bool LinuxClockSystemCalls::hardwareClockIsLocal()
{
    QFile adjtime(QStringLiteral("/etc/adjtime"));
    return adjtime.open(QIODevice::ReadOnly) && adjtimeSaysLocal(adjtime.read(4096));
}

int LinuxClockSystemCalls::setHardwareClock(const rtc_time &fields)
{
    const int fd = open("/dev/rtc0", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    rtc_time copy = fields;
    const int result = ioctl(fd, RTC_SET_TIME, &copy) == 0 ? 0 : errno;
    close(fd);
    return result;
}

QDateTime SystemClock::now()
{
    return QDateTime::fromMSecsSinceEpoch(m_calls.realtimeNs() / kNsPerMs, Qt::LocalTime);
}

qint64 SystemClock::monotonicMs()
{
    return m_calls.monotonicNs() / kNsPerMs;
}

void SystemClock::setTimeOfDay(QTime time)
{
    writeLocal(now().date(), QTime(time.hour(), time.minute(), time.second()));
}

void SystemClock::setDate(QDate date)
{
    // Read anew: the time of day has moved on since any earlier step.
    writeLocal(date, now().time());
}

void SystemClock::writeLocal(QDate date, QTime time)
{
    const QString shown = date.toString(u"yyyy-MM-dd") + u' ' + time.toString(u"HH:mm:ss");
    const std::optional<qint64> ms = localToEpochMs(date, time);
    if (!ms)
        throw RunTimeError(
            QStringLiteral("本地时区中不存在 %1 这个时刻（夏令时调整跳过了它），请换一个时间。")
                .arg(shown));
    if (*ms < 0 || *ms > kLastSettableMs)
        throw RunTimeError(
            QStringLiteral("%1 超出了系统时钟能设置的范围（1970 年至 2262 年），请换一个日期。")
                .arg(shown));
    const qint64 ns = *ms * kNsPerMs;
    const int error = m_calls.setRealtimeNs(ns);
    if (error == 0) {
        // Any failure is ignored: the system clock is set, which is what the user asked
        // for, and most machines without an RTC (virtual ones) answer ENOENT or ENODEV.
        m_calls.setHardwareClock(hardwareClockFields(ns, m_calls.hardwareClockIsLocal()));
        return;
    }
    // The service takes the same instant, worked out just now; it keeps the hardware
    // clock in step itself.
    if ((error == EPERM || error == EACCES) && m_service) {
        m_service->setTime(*ms * 1000);
        return;
    }
    throw RunTimeError(setFailureText(error));
}

} // namespace horalis
