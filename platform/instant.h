#pragma once

#include <QDate>
#include <QString>
#include <QTime>
#include <QtGlobal>
#include <algorithm>
#include <ctime>
#include <limits>

namespace horalis {

// A point on the UTC time line tied to a reading of the boot clock (CLOCK_BOOTTIME,
// which keeps counting through a suspend): it was utcMs when the boot clock read
// bootMs, and it moves on with the boot clock from there. Whatever happens between
// working it out and writing it (a suspend, a question, a password prompt) is added
// by moving it to the boot clock's reading at the moment of the write.
struct Instant {
    qint64 utcMs = 0;  // milliseconds since 1970-01-01 00:00:00 UTC
    qint64 bootMs = 0; // CLOCK_BOOTTIME, milliseconds
    // Where it came from ("typed in", "network time from ntp.ntsc.ac.cn"), for the trace
    // and the system log's line when the clock is set.
    QString origin = {};

    qint64 at(qint64 laterBootMs) const { return utcMs + (laterBootMs - bootMs); }
};

// The last second the Linux kernel lets the clock be set to: TIME_SETTOD_SEC_MAX, the
// second before 2232-04-18 23:47:16 UTC (KTIME_SEC_MAX less 30 years of uptime).
inline constexpr qint64 kLastKernelSecond = 9'223'372'036LL - 30LL * 365 * 24 * 3600 - 1;
// The last second a time_t of this build holds: 2038-01-19 03:14:07 UTC where it is 32
// bits (the C library offers no 64-bit one), and out of reach where it is 64.
inline constexpr qint64 kLastTimeTSecond = qint64(std::numeric_limits<time_t>::max());

// The instants this program can ever set the clock to, in milliseconds since the epoch:
// from the epoch itself (the kernel refuses negative seconds) to the last millisecond
// of the last second both the kernel and time_t hold. On a running machine the first is
// later: no earlier than CLOCK_MONOTONIC.
inline constexpr qint64 kFirstSettableMs = 0;
inline constexpr qint64 kLastSettableMs =
    std::min(kLastKernelSecond, kLastTimeTSecond) * 1000 + 999;

// The instant a local wall-clock reading stands for in the process's time zone. A
// reading the zone skips (spring forward) throws RunTimeError; one it passes twice
// (fall back) gives the earlier instant.
qint64 localToUtcMs(QDate date, QTime time);

// Throws RunTimeError naming the instant and the bounds, in local time, when the clock
// cannot be set to it; earliestMs is the first instant settable now (from the clock).
void requireSettable(qint64 utcMs, qint64 earliestMs);

// An instant as local "yyyy-MM-dd HH:mm:ss", for messages.
QString localText(qint64 utcMs);

} // namespace horalis
