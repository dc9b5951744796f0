#pragma once

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace horalis::test {

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
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    qint64 bytesStreamed() const { return m_streamed; }

    static constexpr qint64 StreamBytes = 8 * 1024 * 1024;

private:
    void accept()
    {
        while (QTcpSocket *peer = m_server.nextPendingConnection()) {
            peer->setParent(this);
            ++m_connections;
            Behaviour now = m_behaviour;
            if (now == AnswersFirst)
                now = m_connections == 1 ? Answers : Silent;
            switch (now) {
            case Answers:
                peer->write(m_reply);
                peer->disconnectFromHost();
                break;
            case AnswersInTwo: {
                const qsizetype half = m_reply.size() / 2;
                peer->write(m_reply.left(half));
                peer->flush();
                QTimer::singleShot(30, peer, [peer, rest = m_reply.mid(half)] {
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
    qint64 m_streamed = 0;
};

} // namespace horalis::test
