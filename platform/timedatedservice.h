#pragma once

#include "timeservice.h"

#include <QString>

class QDBusConnection;

namespace horalis {

// systemd's timedated over the D-Bus system bus (org.freedesktop.timedate1). timedated
// asks polkit, which may show a password prompt, so every call is made asynchronously
// and the window keeps handling its events while it waits.
class TimedatedService : public TimeService {
public:
    // Long enough to read the prompt and type a password.
    static constexpr int kDefaultTimeoutMs = 120'000;
    // Reading a property: no prompt, but timedated may first have to be started.
    static constexpr int kQueryTimeoutMs = 5'000;
    // After SetNTP(false), how long SetTime's "still synchronising" refusal is waited
    // out: the NTP service stops as a unit job, which takes seconds on a busy machine.
    static constexpr int kDefaultSyncStopWaitMs = 20'000;

    // An empty busAddress means the system bus (DBUS_SYSTEM_BUS_ADDRESS or its
    // standard socket); tests pass a bus of their own.
    explicit TimedatedService(int timeoutMs = kDefaultTimeoutMs, QString busAddress = {},
                              int syncStopWaitMs = kDefaultSyncStopWaitMs);
    ~TimedatedService() override;

    TimedatedService(const TimedatedService &) = delete;
    TimedatedService &operator=(const TimedatedService &) = delete;

    std::optional<bool> automaticSync(std::stop_token stop) override;
    void stopAutomaticSync(std::stop_token stop) override;
    void shiftTime(qint64 deltaUsec, std::stop_token stop) override;

private:
    QDBusConnection connection();

    int m_timeoutMs;
    int m_syncStopWaitMs;
    QString m_busAddress;
    QString m_connectionName;
    // timedated refuses SetTime for a moment after SetNTP(false), until the NTP unit
    // has stopped: only then is that refusal worth waiting out.
    bool m_syncJustStopped = false;
};

} // namespace horalis
