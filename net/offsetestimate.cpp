#include "offsetestimate.h"

#include <algorithm>

namespace horalis {

namespace {

qint64 ceilDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return quotient + (value % divisor > 0 ? 1 : 0);
}

} // namespace

OffsetRange OffsetRange::intersected(const OffsetRange &other) const
{
    return {std::max(lowMs, other.lowMs), std::min(highMs, other.highMs)};
}

qint64 splittingConnectMs(const OffsetRange &range, qint64 leadMs, qint64 earliestMs)
{
    // The server reads its clock at boot time t = start + lead and shows t + offset:
    // a second begins there when t + middle is a whole number of seconds.
    const qint64 middle = range.middleMs();
    const qint64 second = ceilDiv(earliestMs + leadMs + middle, 1000);
    return second * 1000 - middle - leadMs;
}

qint64 ConnectSchedule::dueFrom(qint64 nowMs) const
{
    const qint64 earliest = std::max(earliestMs, nowMs);
    return splitRange ? splittingConnectMs(*splitRange, leadMs, earliest) : earliest;
}

qint64 estimateOffsetMs(const OffsetRange &older, const OffsetRange &newer)
{
    const OffsetRange both = older.intersected(newer);
    return both.isEmpty() ? newer.middleMs() : both.middleMs();
}

} // namespace horalis
