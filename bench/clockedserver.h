#pragma once
// A Daytime server with a clock of its own, in a thread of its own as a real one on
// another machine would be, and the plain query the benchmarks compare the program with.

#include "daytimereply.h"
#include "daytimeserver.h"
#include "runtimeerror.h"

#include <QRandomGenerator>
#include <QSemaphore>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <functional>
#include <limits>
#include <optional>

namespace horalis::bench {

constexpr qint64 ServerEpochMs = 1'796'600'000'000; // server clocks near 2026-12

class ClockedServer : public QThread {
public:
    // enter runs on the server's thread before it listens (to join a network
    // namespace); when it returns false the server does not start. spacingMs is the
    // least time between connections a RateLimited server takes.
    ClockedServer(QHostAddress address, bool nist, std::function<bool()> enter = {},
                  test::DaytimeServer::Behaviour behaviour = test::DaytimeServer::Answers,
                  qint64 spacingMs = 4000)
        : m_address(std::move(address)), m_nist(nist), m_enter(std::move(enter)),
          m_behaviour(behaviour), m_spacingMs(spacingMs)
    {
        start();
        m_ready.acquire();
    }
    ~ClockedServer() override
    {
        quit();
        wait();
    }

    // Listening: the thread joined what it had to and the port is open.
    bool listening() const { return port != 0; }
    const QHostAddress &address() const { return m_address; }
    // Answers in the NIST layout, else in the primary's.
    bool nist() const { return m_nist; }

    // A new clock, a random fraction of a second away from this computer's: offsetMs
    // ahead of the boot clock.
    void newOffset()
    {
        offsetMs = ServerEpochMs - test::machineBootMs() / 1000 * 1000 +
                   QRandomGenerator::global()->bounded(1000);
    }

    std::atomic<qint64> offsetMs = ServerEpochMs;
    quint16 port = 0;
    // What the server has seen, readable from any thread: connections accepted, those
    // it refused as too soon, and the shortest time between two of them.
    std::atomic<int> connections = 0;
    std::atomic<int> refused = 0;
    std::atomic<qint64> closestSpacingMs = std::numeric_limits<qint64>::max();

protected:
    void run() override
    {
        if (m_enter && !m_enter()) {
            m_ready.release();
            return;
        }
        test::DaytimeServer server(m_behaviour);
        server.spacingMs = m_spacingMs;
        // Called on each connection accepted, after the server has decided whether to
        // refuse it.
        server.replyNow = [this, &server] {
            connections = server.connections();
            refused = server.refused();
            const QList<qint64> &accepted = server.acceptedMs;
            if (accepted.size() > 1)
                closestSpacingMs = std::min<qint64>(
                    closestSpacingMs, accepted.last() - accepted.at(accepted.size() - 2));
            return m_nist ? test::nistStampNow(offsetMs) : test::primaryStampNow(offsetMs);
        };
        if (!server.listen(m_address)) {
            m_ready.release();
            return;
        }
        port = server.port();
        m_ready.release();
        exec();
    }

private:
    QHostAddress m_address;
    bool m_nist;
    std::function<bool()> m_enter;
    test::DaytimeServer::Behaviour m_behaviour;
    qint64 m_spacingMs;
    QSemaphore m_ready;
};

// The baseline: on a new server clock, one plain query with its stamp taken as the time
// it arrived; its error against the server's clock. Nothing when no stamp came back
// within the 5 s the wait is bounded by.
inline std::optional<double> stampAsItIs(ClockedServer &server)
{
    server.newOffset();
    QTcpSocket socket;
    socket.connectToHost(server.address(), server.port);
    QByteArray reply;
    while (socket.waitForReadyRead(5000)) {
        reply += socket.readAll();
        if (reply.trimmed().endsWith("*") || reply.endsWith('\n'))
            break;
    }
    const qint64 arrived = test::machineBootMs();
    const QString text = QString::fromLatin1(reply);
    std::optional<qint64> stamp;
    if (server.nist()) {
        try {
            stamp = nistStamp(text).utcMs;
        } catch (const RunTimeError &) {
        }
    } else if (const auto primary = primaryStamp(text)) {
        stamp = primary->utcMs;
    }
    if (!stamp)
        return std::nullopt;
    return double(*stamp - (arrived + server.offsetMs));
}

} // namespace horalis::bench
