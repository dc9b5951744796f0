#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace horalis {

// The computer's clock as the window sees it. The setters throw RunTimeError when
// the clock cannot be set; what was set before a failing call stays set.
class Clock {
public:
    virtual ~Clock() = default;

    // Current local date and time.
    virtual QDateTime now() = 0;
    // Milliseconds on a clock that never jumps (unaffected by setting the time).
    virtual qint64 monotonicMs() = 0;
    // Sets the local time of day, keeping today's local date.
    virtual void setTimeOfDay(QTime time) = 0;
    // Sets the local date, keeping the local time of day it has at that moment.
    virtual void setDate(QDate date) = 0;
};

} // namespace horalis
