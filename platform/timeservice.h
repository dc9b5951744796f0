#pragma once

#include <QtGlobal>
#include <optional>
#include <stop_token>

namespace horalis {

// A system service that sets the clock for a process that may not, and that may keep
// it synchronised on its own. SystemClock asks it; what throws, throws RunTimeError.
// A stop request (the window is closing) ends any wait at once: a call that was
// waiting then gives no answer or throws Abandoned, and asks the service nothing more.
class TimeService {
public:
    virtual ~TimeService() = default;
    // Whether automatic synchronisation (NTP) is on; nothing when there is no service
    // to ask, or when stopped before it answered.
    virtual std::optional<bool> automaticSync(std::stop_token stop) = 0;
    // Switches automatic synchronisation off; returns once the service has done it.
    virtual void stopAutomaticSync(std::stop_token stop) = 0;
    // Moves CLOCK_REALTIME by deltaUsec, counted from the clock as it stands when the
    // service acts: after a password prompt, however long that takes.
    virtual void shiftTime(qint64 deltaUsec, std::stop_token stop) = 0;
};

} // namespace horalis
