#pragma once

#include <QtGlobal>
#include <optional>

namespace horalis {

// A system service that sets the clock for a process that may not, and that may keep
// it synchronised on its own. SystemClock asks it; what throws, throws RunTimeError.
class TimeService {
public:
    virtual ~TimeService() = default;
    // Whether automatic synchronisation (NTP) is on; nothing when there is no service
    // to ask.
    virtual std::optional<bool> automaticSync() = 0;
    // Switches automatic synchronisation off; returns once the service has done it.
    virtual void stopAutomaticSync() = 0;
    // Moves CLOCK_REALTIME by deltaUsec, counted from the clock as it stands when the
    // service acts: after a password prompt, however long that takes.
    virtual void shiftTime(qint64 deltaUsec) = 0;
};

} // namespace horalis
