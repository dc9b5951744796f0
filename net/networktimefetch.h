#pragma once

#include "daytimeclient.h"
#include "networktime.h"
#include "ntpclient.h"

#include <QObject>
#include <QString>

#include <functional>
#include <stop_token>

namespace horalis {

// Every server the network time may come from.
struct TimeServers {
    DaytimeServers daytime;
    NtpServers ntp; // asked when the secondary gives no time; none by default

    // The servers fixed at build time (CMake cache variables).
    static TimeServers builtIn();
};

// How far the system clock is from a fetched time, in words a person reads: "the
// system clock is 8 h 0 min 3.2 s behind the fetched time", "... 0.25 s ahead of the
// fetched time", or that it agrees to the millisecond. systemLessFetchedMs is the
// system clock's reading less the fetched time, both at the same moment.
QString clockDifferenceText(qint64 systemLessFetchedMs);

// Fetches the network time from the sources in their order: the primary Daytime
// server, then, when it gives no time, the secondary, and when that gives no time
// either, the NTP servers.
class NetworkTimeFetch : public QObject {
    Q_OBJECT
public:
    // bootMs reads CLOCK_BOOTTIME in milliseconds, the instant found is tied to it;
    // systemMs reads the system clock, in ms since the epoch (UTC), for the trace only.
    NetworkTimeFetch(TimeServers servers, std::function<qint64()> bootMs,
                     std::function<qint64()> systemMs, QObject *parent = nullptr);

    // A stop requested meanwhile ends the fetch at once, wherever it waits: it returns
    // Cancelled.
    FetchResult GetNetworkTime(std::stop_token stop = {});

private:
    // The NTP servers' time, when the secondary gave none; else the secondary's result.
    FetchResult askNtp(FetchResult secondary, std::stop_token stop);
    // Says in the trace what the fetch found and how far the system clock is from it.
    void traceOutcome(const FetchResult &result) const;

    TimeServers m_servers;
    std::function<qint64()> m_bootMs;
    std::function<qint64()> m_systemMs;
    DaytimeClient *m_daytime;
    NtpClient *m_ntp;
};

} // namespace horalis
