#pragma once

#include "daytimereply.h"
#include "instant.h"
#include "offsetestimate.h"

#include <QAbstractSocket>
#include <QEventLoop>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <stop_token>

class QHostInfo;
class QTcpSocket;
class QTimer;

namespace horalis {

// Where the network time comes from. The program uses the servers fixed at build
// time; tests point it at servers of their own.
struct DaytimeServers {
    QString primaryHost;   // answers in Beijing time, "YYYY-MM-DD HH:MM:SS"
    QString secondaryHost; // answers in UTC, in the NIST layout
    quint16 port = 13;
    int queryTimeoutMs = 5000; // a query that gets no reply by then has failed
    // NIST refuses a client that connects to one of its servers more often than once
    // every 4 seconds; the secondary is never asked sooner after it last saw us.
    int secondarySpacingMs = 4000;
    // A host's next address is tried when the one before has not connected by then.
    int attemptDelayMs = 250;
    // Addresses to use for a name instead of asking the resolver (tests).
    QHash<QString, QList<QHostAddress>> addresses;

    static DaytimeServers builtIn();
};

// What a fetch found: the time as the status line shows it, and the instant it
// stands for, worked out from both replies.
struct NetworkTime {
    QString date;  // Beijing date text: "YYYY-MM-DD" from the primary, "YY-MM-DD" from NIST
    QVariant time; // Beijing time of day: the primary's text, or a QTime from NIST
    Instant instant;
};

struct FetchResult {
    enum Status {
        Fetched,
        Failed,     // no server gave a time; message says which
        Unreadable, // a server's answer is not a time, or by its own health flag not a good one
        Cancelled,  // a stop was requested: the program is ending
    };
    Status status = Failed;
    NetworkTime time;
    QString message; // for Failed and Unreadable, the sentence for the user
};

// Asks the two Daytime servers for the time, the primary first, each twice: the
// first reply bounds the server's clock to a second, the second is timed to split
// that second. Every wait runs the event loop, so the window stays responsive.
class DaytimeClient : public QObject {
    Q_OBJECT
public:
    // bootMs reads CLOCK_BOOTTIME in milliseconds; the instant found is tied to it.
    DaytimeClient(DaytimeServers servers, std::function<qint64()> bootMs,
                  QObject *parent = nullptr);
    ~DaytimeClient() override;

    // A stop requested meanwhile ends the fetch at once, wherever it waits: it returns
    // Cancelled.
    FetchResult GetNetworkTime(std::stop_token stop = {});

    // The current query: the socket that connected, its reply text and whether it
    // failed.
    QTcpSocket *Winsock1 = nullptr;
    QVariant RecvData;
    bool SockFailed = false;

private:
    struct Attempt {
        QTcpSocket *socket;
        qint64 startedMs;
    };
    struct Reply {
        QString text;
        QHostAddress address; // the address that answered
        QueryTiming timing;
    };
    // One query: connects as scheduled to the first of the addresses that answers and
    // waits for the reply. Empty text: no answer.
    Reply QueryDaytimeServer(const QString &host, const QList<QHostAddress> &addresses,
                             const ConnectSchedule &schedule = {});
    // Waits until the schedule's moment; false when the fetch was stopped meanwhile.
    bool waitForSchedule(const ConnectSchedule &schedule);
    QList<QHostAddress> resolve(const QString &host);
    void startAttempt(const QHostAddress &address);
    void attemptConnected(QTcpSocket *socket);
    void attemptFailed(QTcpSocket *socket);
    void Winsock1_DataArrival(qint64 bytesTotal);
    void Winsock1_Error(QAbstractSocket::SocketError error);
    void Winsock1_Close();
    void dropSockets();
    // Runs the event loop until a socket or the lookup has news, the boot clock
    // reaches untilMs or the fetch is stopped.
    void waitUntil(qint64 untilMs);
    bool cancelled() const { return m_stop.stop_requested(); }
    void wake() { m_loop.quit(); }
    // The second query of a server, timed against the first reply's range.
    static ConnectSchedule splitting(const Reply &first, const OffsetRange &range,
                                     qint64 earliestMs);
    // The earliest moment the secondary may be asked again.
    qint64 secondaryDueMs() const;
    // Says in the trace what a first reply left open.
    static void traceRange(const QString &host, const DaytimeStamp &stamp,
                           const OffsetRange &range);
    NetworkTime timeFrom(const DaytimeStamp &stamp, const Reply &first,
                         const DaytimeStamp &firstStamp, const Reply &second) const;
    FetchResult askPrimary();
    FetchResult askSecondary();

    DaytimeServers m_servers;
    std::function<qint64()> m_bootMs;
    QEventLoop m_loop;
    QList<Attempt> m_attempts;     // connections started and not yet connected
    ReplyBuffer m_reply;           // the current query's reply so far
    QueryTiming m_timing;          // the current query's timings
    bool m_queryActive = false;    // a query is waiting for the socket's events
    bool m_queryEnded = false;     // the server closed the connection
    bool m_gotData = false;        // the current query's first bytes have arrived
    std::stop_token m_stop;        // the current fetch's
    qint64 m_secondaryLastMs = -1; // boot clock when the secondary last saw us
    int m_lookupId = -1;           // the host lookup being waited for
    QList<QHostAddress> m_lookedUp;
    bool m_lookupDone = false;
    QTimer *m_wakeTimer;
};

} // namespace horalis
