#pragma once

#include "instant.h"
#include "ntppacket.h"

#include <QEventLoop>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <stop_token>

class QTimer;
class QUdpSocket;

namespace horalis {

// The NTP servers asked, in turn, when no Daytime server gives a time. The program
// uses those fixed at build time; tests point it at servers of their own.
struct NtpServers {
    QStringList hosts; // empty: NTP is never asked
    quint16 port = 123;
    int lookupTimeoutMs = 5000; // a name not resolved by then: the next server
    int replyTimeoutMs = 5000;  // a server that sends no reply by then: the next one
    int resendAfterMs = 1000;   // one resend, with new transmit bits, when no reply came
    int spacingMs = 15000;      // no server is asked sooner after it was last asked
    // Addresses to use for a name instead of asking the resolver (tests).
    QHash<QString, QList<QHostAddress>> addresses;

    static NtpServers builtIn();
};

// A time an NTP server gave, and what the trace says of it.
struct NtpSample {
    Instant instant; // the server's clock when its reply arrived
    QString host;
    QHostAddress address;
    int stratum = 0;
    QString referenceId;    // a reference clock's name at stratum 1, else an IPv4 address
    qint64 roundTripUs = 0; // the round trip less the server's hold
    qint64 offsetMs = 0;    // the server's clock less the boot clock
};

// An SNTP client: asks the servers in order, one request each (and one resend), and
// takes the first reply that passes every check. Each wait runs the event loop, so the
// window stays responsive. A server that sent a kiss-o'-death is not asked again for
// the life of the object, nor is any server asked twice within the spacing.
class NtpClient : public QObject {
    Q_OBJECT
public:
    // bootMs reads CLOCK_BOOTTIME in milliseconds; the instant found is tied to it.
    NtpClient(NtpServers servers, std::function<qint64()> bootMs, QObject *parent = nullptr);
    ~NtpClient() override;

    // Nothing when no server gave a time, or when a stop was requested (it ends the
    // fetch at once).
    std::optional<NtpSample> fetch(std::stop_token stop = {});

private:
    // One server's query.
    enum class State {
        Idle,
        LookingUp,
        Waiting,  // a request is out, no reply taken yet
        Taken,    // a reply passed every check
        Refused,  // the server answered with a reply not to believe
        TimedOut, // the lookup or the reply did not come in time
        Stopped,
    };
    bool mayAsk(const QString &host) const;
    std::optional<NtpSample> ask(const QString &host);
    QList<QHostAddress> resolve(const QString &host);
    bool send(const QHostAddress &address);
    void awaitReply(const QString &host);
    void readDatagrams();
    void judge(const QByteArray &bytes, qint64 arrivedMs);
    void dropSocket();
    void waitUntil(qint64 untilMs);
    void wake() { m_loop.quit(); }
    bool stopped() const { return m_stop.stop_requested(); }

    NtpServers m_servers;
    std::function<qint64()> m_bootMs;
    std::stop_token m_stop;
    QEventLoop m_loop;
    QTimer *m_wakeTimer;
    QHash<QString, qint64> m_lastAskedMs; // boot clock of each server's last request
    QSet<QString> m_barred;               // servers that sent a kiss-o'-death

    State m_state = State::Idle;
    QUdpSocket *m_socket = nullptr;
    QString m_host;
    QHostAddress m_address;
    QList<NtpTimestamp> m_sent; // this query's transmit bits, the latest last
    qint64 m_sentMs = 0;        // when the latest went out
    int m_lookupId = -1;
    QList<QHostAddress> m_lookedUp;
    NtpReading m_taken;
};

} // namespace horalis
