#pragma once

#include "clock.h"

#include <QtGlobal>

namespace horalis {

// The few system calls the real clock needs, so that tests can run the clock's
// arithmetic against a fake clock instead of the machine's.
class ClockSystemCalls {
public:
    virtual ~ClockSystemCalls() = default;
    // CLOCK_REALTIME, nanoseconds since the epoch.
    virtual qint64 realtimeNs() = 0;
    // CLOCK_MONOTONIC, nanoseconds.
    virtual qint64 monotonicNs() = 0;
    // Sets CLOCK_REALTIME; returns 0 or the errno of the failure.
    virtual int setRealtimeNs(qint64 ns) = 0;
};

// clock_gettime / clock_settime on the running system.
class LinuxClockSystemCalls : public ClockSystemCalls {
public:
    qint64 realtimeNs() override;
    qint64 monotonicNs() override;
    int setRealtimeNs(qint64 ns) override;
};

// The computer's clock in the process's local time zone (TZ and tzdata rules).
class SystemClock : public Clock {
public:
    explicit SystemClock(ClockSystemCalls &calls) : m_calls(calls) {}

    QDateTime now() override;
    qint64 monotonicMs() override;
    void setTimeOfDay(QTime time) override;
    void setDate(QDate date) override;

private:
    // Takes the reading apart: a QDateTime cannot carry a local reading the zone skips.
    void writeLocal(QDate date, QTime time);

    ClockSystemCalls &m_calls;
};

} // namespace horalis
