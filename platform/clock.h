#pragma once

#include "instant.h"

#include <QDateTime>

#include <stop_token>

namespace horalis {

// The computer's clock as the window sees it. What throws, throws RunTimeError with a
// sentence for the user. The calls that may wait on the system (a service to start, a
// password prompt) run the window's events meanwhile; a stop request (the window is
// closing) ends such a wait at once, and nothing more is done: see TimeService.
class Clock {
public:
    virtual ~Clock() = default;

    // Current local date and time.
    virtual QDateTime now() = 0;
    // CLOCK_BOOTTIME in milliseconds: never set, and it keeps counting while the
    // machine sleeps, so elapsed time measured on it survives a suspend.
    virtual qint64 boottimeMs() = 0;
    // The earliest instant the clock can be set to now, in ms since the epoch: the
    // kernel refuses a wall-clock time earlier than CLOCK_MONOTONIC.
    virtual qint64 earliestSettableMs() = 0;
    // Whether the system keeps the clock synchronised on its own (NTP), so that a time
    // set by hand would soon be put back. False when that cannot be told.
    virtual bool automaticSyncOn(std::stop_token stop) = 0;
    // Switches automatic synchronisation off; the system may ask for a password.
    virtual void stopAutomaticSync(std::stop_token stop) = 0;
    // Sets the clock once, to the target as it stands by the boot clock at the moment
    // of writing. Throws when the instant is out of range or the system refuses.
    virtual void setInstant(Instant target, std::stop_token stop) = 0;
};

} // namespace horalis
