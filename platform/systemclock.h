#pragma once

#include "clock.h"
#include "timeservice.h"

#include <QtGlobal>
#include <ctime>

class QByteArray;
class QString;

namespace horalis {

// The few system calls the real clock needs, so that tests can run the clock's
// arithmetic against a fake clock instead of the machine's.
class ClockSystemCalls {
public:
    virtual ~ClockSystemCalls() = default;
    // CLOCK_REALTIME, nanoseconds since the epoch.
    virtual qint64 realtimeNs() = 0;
    // CLOCK_BOOTTIME, nanoseconds.
    virtual qint64 boottimeNs() = 0;
    // CLOCK_MONOTONIC, nanoseconds: the kernel sets no wall-clock time earlier.
    virtual qint64 monotonicNs() = 0;
    // Sets CLOCK_REALTIME; returns 0 or the errno of the failure.
    virtual int setRealtimeNs(qint64 ns) = 0;
    // Whether the hardware clock keeps local time rather than UTC.
    virtual bool hardwareClockIsLocal() = 0;
    // Sets the hardware clock to these fields (as in struct tm, whole seconds); returns
    // 0 or the errno of the failure.
    virtual int setHardwareClock(const std::tm &fields) = 0;
    // Leaves a line in the system log, as a change of the clock should.
    virtual void logClockChange(const QString &line) = 0;
};

// clock_gettime / clock_settime, /etc/adjtime and /dev/rtc0 on the running system.
class LinuxClockSystemCalls : public ClockSystemCalls {
public:
    qint64 realtimeNs() override;
    qint64 boottimeNs() override;
    qint64 monotonicNs() override;
    int setRealtimeNs(qint64 ns) override;
    bool hardwareClockIsLocal() override;
    int setHardwareClock(const std::tm &fields) override;
    // syslog(3), as "horalis", which the journal collects.
    void logClockChange(const QString &line) override;
};

// Whether the contents of /etc/adjtime say the hardware clock keeps local time: its
// third line reads LOCAL (anything else, or no third line, means UTC).
bool adjtimeSaysLocal(const QByteArray &adjtime);

// The computer's clock in the process's local time zone (TZ and tzdata rules). It sets
// the clock itself where the process may, and brings the hardware clock in step; when
// the kernel refuses (EPERM, EACCES) it asks the time service instead, if it has one.
class SystemClock : public Clock {
public:
    explicit SystemClock(ClockSystemCalls &calls, TimeService *service = nullptr)
        : m_calls(calls), m_service(service)
    {
    }

    QDateTime now() override;
    qint64 boottimeMs() override;
    qint64 earliestSettableMs() override;
    bool automaticSyncOn(std::stop_token stop) override;
    void stopAutomaticSync(std::stop_token stop) override;
    void setInstant(Instant target, std::stop_token stop) override;

private:
    ClockSystemCalls &m_calls;
    TimeService *m_service;
};

} // namespace horalis
