#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>

namespace horalis::test {

// The machine's boot clock (read only), which the test servers' clocks are set against.
inline qint64 machineBootMs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

inline qint64 floorToSecond(qint64 ms)
{
    return ms - ((ms % 1000) + 1000) % 1000;
}

// What a server whose clock is offsetMs ahead of the boot clock sends at this moment:
// its clock floored to the second, as real servers send it.
inline QByteArray primaryStampNow(qint64 offsetMs)
{
    const qint64 second = floorToSecond(machineBootMs() + offsetMs);
    return QDateTime::fromMSecsSinceEpoch(second + 8 * 3600 * 1000, QTimeZone::utc())
               .toString(u"yyyy-MM-dd HH:mm:ss")
               .toLatin1() +
           "\r\n";
}

// NIST sends its stamp advanceMs early and says so.
inline QByteArray nistStampNow(qint64 offsetMs, int advanceMs = 0)
{
    const QDateTime stamp = QDateTime::fromMSecsSinceEpoch(
        floorToSecond(machineBootMs() + offsetMs + advanceMs), QTimeZone::utc());
    const qint64 mjd = stamp.date().toJulianDay() - 2'400'001;
    return QStringLiteral("\n%1 %2 00 0 0 %3.0 UTC(NIST) * \n")
        .arg(mjd)
        .arg(stamp.toString(u"yy-MM-dd HH:mm:ss"))
        .arg(advanceMs)
        .toLatin1();
}

// A Daytime server on a loopback address, with one way of behaving.
class DaytimeServer : public QObject {
public:
    enum Behaviour {
        Answers,      // sends the reply and closes, like a real server
        AnswersInTwo, // sends the reply in two pieces a little apart, then closes
        Silent,       // accepts and never sends anything
        ClosesAtOnce, // accepts and closes without sending
        AnswersFirst, // answers the first connection, silent on the others
        Streams,      // sends megabytes without a line end
        RateLimited,  // answers, but closes at once on a connection sooner than spacingMs
                      // after the one before, as NIST's servers refuse such clients
    };

    DaytimeServer(Behaviour behaviour, QByteArray reply = {})
        : m_behaviour(behaviour), m_reply(std::move(reply))
    {
        connect(&m_server, &QTcpServer::newConnection, this, &DaytimeServer::accept);
    }

    bool listen(const QHostAddress &address, quint16 port = 0)
    {
        return m_server.listen(address, port);
    }
    // Serves on a socket that is already listening, and closes it in the end.
    bool adopt(qintptr listeningSocket) { return m_server.setSocketDescriptor(listeningSocket); }
    quint16 port() const { return m_server.serverPort(); }
    // When set, makes the reply at the moment a connection is accepted (a server
    // with a clock); otherwise the fixed reply is sent.
    std::function<QByteArray()> replyNow;
    qint64 spacingMs = 4000;
    // The moments connections were accepted, on a monotonic clock in milliseconds.
    QList<qint64> acceptedMs;
    int refused() const { return m_refused; }
    int connections() const { return m_connections; }
    qint64 bytesStreamed() const { return m_streamed; }

    static constexpr qint64 StreamBytes = 8 * 1024 * 1024;

private:
    void accept()
    {
        while (QTcpSocket *peer = m_server.nextPendingConnection()) {
            peer->setParent(this);
            ++m_connections;
            acceptedMs.append(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
            Behaviour now = m_behaviour;
            if (now == AnswersFirst)
                now = m_connections == 1 ? Answers : Silent;
            if (now == RateLimited) {
                const bool tooSoon =
                    acceptedMs.size() > 1 &&
                    acceptedMs.last() - acceptedMs.at(acceptedMs.size() - 2) < spacingMs;
                m_refused += tooSoon ? 1 : 0;
                now = tooSoon ? ClosesAtOnce : Answers;
            }
            const QByteArray reply = replyNow ? replyNow() : m_reply;
            switch (now) {
            case Answers:
            case RateLimited:
                peer->write(reply);
                peer->disconnectFromHost();
                break;
            case AnswersInTwo: {
                const qsizetype half = reply.size() / 2;
                peer->write(reply.left(half));
                peer->flush();
                QTimer::singleShot(30, peer, [peer, rest = reply.mid(half)] {
                    peer->write(rest);
                    peer->disconnectFromHost();
                });
                break;
            }
            case ClosesAtOnce:
                peer->disconnectFromHost();
                break;
            case Streams:
                connect(peer, &QTcpSocket::bytesWritten, peer, [this, peer] { stream(peer); });
                stream(peer);
                break;
            case Silent:
            case AnswersFirst:
                break;
            }
        }
    }

    void stream(QTcpSocket *peer)
    {
        // Keeps a little in flight until the client hangs up or enough has gone.
        if (peer->state() != QAbstractSocket::ConnectedState || peer->bytesToWrite() > 0 ||
            m_streamed >= StreamBytes)
            return;
        const QByteArray chunk(64 * 1024, '7');
        m_streamed += peer->write(chunk);
    }

    QTcpServer m_server;
    Behaviour m_behaviour;
    QByteArray m_reply;
    int m_connections = 0;
    int m_refused = 0;
    qint64 m_streamed = 0;
};

} // namespace horalis::test
