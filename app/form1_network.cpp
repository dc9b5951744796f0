// The network time: one Daytime query, the two servers in turn, and the command
// that shows the result.
#include "form1.h"

#include "runtimeerror.h"

#include <QDeadlineTimer>
#include <QPlainTextEdit>
#include <QTcpSocket>

namespace horalis {

namespace {

// A pass of the wait never takes longer than this, so the window answers at once.
constexpr int WaitPassMs = 55;

} // namespace

void Form1::Command2_Click()
{
    // Fetched once per run; and a click while a fetch waits must not start another
    // fetch inside it on the same socket.
    if (!NetTime.toString().isEmpty() || m_fetching)
        return;

    const QString shownBefore = c1->toPlainText();
    m_fetching = true;
    m_services.pointer.set(PointerBusy);
    c1->setPlainText(QStringLiteral("正在连接网络时间服务器，请稍候……"));

    bool fetched = true;
    try {
        GetNetworkTime();
    } catch (const RunTimeError &error) {
        m_services.messages.show(error.description(), MbOkOnly, QString());
        fetched = false;
    }
    m_services.pointer.set(PointerDefault);
    m_fetching = false;
    if (m_unloading)
        return;
    // A reply that could not be read stored nothing: the status line goes back to
    // what it showed before. Any other outcome shows the result line.
    c1->setPlainText(fetched ? QStringLiteral("标准时间： ") + NetDate + u' ' + netTimeText()
                             : shownBefore);
}

QString Form1::netTimeText() const
{
    return NetTime.typeId() == QMetaType::QTime ? NetTime.toTime().toString(u"HH:mm:ss")
                                                : NetTime.toString();
}

bool Form1::serverAnswered() const
{
    return !RecvData.toString().isEmpty() && !SockFailed;
}

bool Form1::askAgain(const QString &host)
{
    // The first reply only shows the server answers; the values come from a second.
    QueryDaytimeServer(host);
    if (m_unloading)
        return false;
    if (RecvData.toString().isEmpty()) {
        m_services.messages.show(QStringLiteral("网络标准时间服务器") + host +
                                     QStringLiteral("超时！"),
                                 MbOkOnly, QString());
        return false;
    }
    return true;
}

void Form1::GetNetworkTime()
{
    // The socket is a QTcpSocket: TCP needs no setting.
    QueryDaytimeServer(m_servers.primaryHost);
    if (m_unloading)
        return;
    if (serverAnswered()) {
        if (!askAgain(m_servers.primaryHost))
            return;
        // Stored as sent; a text that is not a date or time is reported when applied.
        const DaytimeFields fields = primaryFields(RecvData.toString());
        NetDate = fields.date;
        NetTime = fields.time;
        m_netTimeArrivedMs = m_replyArrivedMs;
        return;
    }

    QueryDaytimeServer(m_servers.secondaryHost);
    if (m_unloading)
        return;
    if (!serverAnswered()) {
        m_services.messages.show(QStringLiteral("检测不到网络标准时间服务器") +
                                     m_servers.secondaryHost + QStringLiteral("！"),
                                 MbOkOnly, QString());
        return;
    }
    if (!askAgain(m_servers.secondaryHost))
        return;

    // Both values are worked out before either is stored, so a reply that cannot
    // be read leaves the earlier ones in place.
    const DaytimeFields fields = nistFields(RecvData.toString());
    QTime utc;
    QString beijingDate;
    try {
        utc = nistTime(fields.time);
        beijingDate = nistDateToBeijing(fields.date, utc);
    } catch (const RunTimeError &error) {
        throw RunTimeError(QStringLiteral("无法识别网络标准时间服务器") + m_servers.secondaryHost +
                           QStringLiteral("的回复：") + error.description());
    }
    RecvData = utcToBeijing(utc);
    NetDate = beijingDate;
    NetTime = RecvData;
    m_netTimeArrivedMs = m_replyArrivedMs;
}

void Form1::QueryDaytimeServer(const QString &host)
{
    SockFailed = false;
    RecvData = QString();
    m_reply.clear();
    m_queryEnded = false;
    m_queryActive = true;
    if (Winsock1->state() != QAbstractSocket::UnconnectedState)
        Winsock1->abort();
    // The Daytime server speaks first: connect and listen, send nothing.
    Winsock1->connectToHost(host, m_servers.port);

    // A server that accepts and never answers must not hold the query up for ever.
    const QDeadlineTimer deadline(m_servers.queryTimeoutMs, Qt::PreciseTimer);
    while (RecvData.toString().isEmpty() && !SockFailed && !m_queryEnded && !m_unloading) {
        if (deadline.hasExpired())
            break; // no complete reply in time: the query has failed
        m_services.pump.waitForEvents(int(std::min<qint64>(deadline.remainingTime(), WaitPassMs)));
    }
    // From here on the socket's events belong to no query.
    m_queryActive = false;
    if (Winsock1->state() != QAbstractSocket::UnconnectedState)
        Winsock1->abort();
}

void Form1::Winsock1_DataArrival(qint64 bytesTotal)
{
    // Pieces are kept together, up to the buffer's limit; the rest is read and dropped.
    const QByteArray piece = Winsock1->read(bytesTotal);
    if (!m_queryActive)
        return;
    m_reply.append(piece);
    if (RecvData.toString().isEmpty() && m_reply.isComplete()) {
        RecvData = m_reply.text();
        m_replyArrivedMs = m_services.clock.monotonicMs();
    }
}

void Form1::Winsock1_Error(QAbstractSocket::SocketError error)
{
    // A server closing after its reply is the normal end of a Daytime answer.
    if (!m_queryActive || error == QAbstractSocket::RemoteHostClosedError)
        return;
    SockFailed = true;
}

void Form1::Winsock1_Close()
{
    if (!m_queryActive)
        return;
    // The server has said all it will: what arrived is the reply, complete or not.
    if (RecvData.toString().isEmpty() && !m_reply.isEmpty()) {
        RecvData = m_reply.text();
        m_replyArrivedMs = m_services.clock.monotonicMs();
    }
    m_queryEnded = true;
}

} // namespace horalis
