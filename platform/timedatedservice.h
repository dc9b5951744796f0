#pragma once

#include "timeservice.h"

#include <QString>

namespace horalis {

// systemd's timedated over the D-Bus system bus: org.freedesktop.timedate1.SetTime.
// timedated asks polkit, which may show a password prompt, so the call is made
// asynchronously and the window keeps handling its events while it waits.
class TimedatedService : public TimeService {
public:
    // Long enough to read the prompt and type a password.
    static constexpr int kDefaultTimeoutMs = 120'000;

    // An empty busAddress means the system bus (DBUS_SYSTEM_BUS_ADDRESS or its
    // standard socket); tests pass a bus of their own.
    explicit TimedatedService(int timeoutMs = kDefaultTimeoutMs, QString busAddress = {});
    ~TimedatedService() override;

    TimedatedService(const TimedatedService &) = delete;
    TimedatedService &operator=(const TimedatedService &) = delete;

    void setTime(qint64 usecUtc) override;

private:
    int m_timeoutMs;
    QString m_busAddress;
    QString m_connectionName;
};

} // namespace horalis
