#pragma once

#include "timeservice.h"

#include <QString>
#include <QStringList>

class QDBusConnection;

namespace horalis {

// systemd's timedated over the D-Bus system bus (org.freedesktop.timedate1). Where a
// password is needed, Horalis first obtains polkit's authorization for an action of its
// own that implies timedated's, as the desktops' date and time settings do: one prompt
// for a whole apply, waited for as long as Horalis waits rather than timedated's 25 s,
// after which timedated's checks pass on the authorization polkit keeps. Every call is
// made asynchronously, and the window keeps handling its events while it waits.
class TimedatedService : public TimeService {
public:
    // Long enough to read the prompt, find the password and type it: a password given
    // two minutes after the prompt still counts.
    static constexpr int kDefaultTimeoutMs = 150'000;
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
    // Makes sure polkit lets this process do the timedated actions (org.freedesktop.
    // timedate1.*) that follow, asking for a password once, for Horalis's action, and
    // only where polkit says one is needed. Throws when the user or the system says no,
    // or polkitd stops answering, and Abandoned when stopped.
    void authorize(const QStringList &actions, std::stop_token stop);

    int m_timeoutMs;
    int m_syncStopWaitMs;
    QString m_busAddress;
    QString m_connectionName;
    // timedated refuses SetTime for a moment after SetNTP(false), until the NTP unit
    // has stopped: only then is that refusal worth waiting out.
    bool m_syncJustStopped = false;
};

} // namespace horalis
