#pragma once

#include <QtGlobal>

namespace horalis {

// A system service that sets the clock for a process that may not: the fallback
// SystemClock asks once the kernel has refused it the right.
class TimeService {
public:
    virtual ~TimeService() = default;
    // Sets CLOCK_REALTIME to usecUtc (microseconds since the epoch). Returns once the
    // service has done it; throws RunTimeError when it refuses or does not answer.
    virtual void setTime(qint64 usecUtc) = 0;
};

} // namespace horalis
