// The Daytime query: two servers in turn, each asked twice, with the socket, its
// timings and its waiting in one place.
#include "daytimeclient.h"

#include "runtimeerror.h"
#include "trace.h"

#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace horalis {

namespace {

// Connections are spaced a little more than the server asks: the trip to the server
// varies, and one sent exactly the spacing after the last may arrive sooner.
constexpr qint64 SpacingMarginMs = 100;
// A wait that ends later than this after its moment was held up (a dialog's event
// loop ran inside it): the moment of a split is then worked out again.
constexpr qint64 OverrunToleranceMs = 20;
// So many times at most: on a machine so loaded that every wake-up comes late, a
// split sent late still beats a second query never sent.
constexpr int MaxSplitRetries = 2;

// A server answered the first query and not the second.
FetchResult timedOut(const QString &host)
{
    return {FetchResult::Failed,
            {},
            QStringLiteral("网络标准时间服务器") + host + QStringLiteral("超时！")};
}

// Alternates the address families, starting with the resolver's first choice, so
// that a family that does not work costs one attempt's delay, not several.
QList<QHostAddress> interleaved(const QList<QHostAddress> &addresses)
{
    if (addresses.isEmpty())
        return {};
    QList<QHostAddress> first, other;
    for (const QHostAddress &address : addresses)
        (address.protocol() == addresses.front().protocol() ? first : other).append(address);
    QList<QHostAddress> result;
    for (qsizetype i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size())
            result.append(first[i]);
        if (i < other.size())
            result.append(other[i]);
    }
    return result;
}

QString addressList(const QList<QHostAddress> &addresses)
{
    QStringList names;
    for (const QHostAddress &address : addresses)
        names << address.toString();
    return names.isEmpty() ? QStringLiteral("no address") : names.join(u", ");
}

} // namespace

DaytimeClient::DaytimeClient(DaytimeServers servers, std::function<qint64()> bootMs,
                             QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_bootMs(std::move(bootMs)),
      m_wakeTimer(new QTimer(this))
{
    m_wakeTimer->setSingleShot(true);
    m_wakeTimer->setTimerType(Qt::PreciseTimer);
    connect(m_wakeTimer, &QTimer::timeout, this, &DaytimeClient::wake);
}

DaytimeClient::~DaytimeClient()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

FetchResult DaytimeClient::GetNetworkTime(std::stop_token stop)
{
    m_stop = std::move(stop);
    // Every wait checks the token before it runs the event loop; a stop requested
    // during one ends it. Requested from another thread, the wake is queued to ours.
    const std::stop_callback wakeOnStop(
        m_stop, [this] { QMetaObject::invokeMethod(this, &DaytimeClient::wake); });
    FetchResult result = askPrimary();
    // A primary that does not answer with a time (no reply, or one that is not a
    // time) counts as not answering: the secondary is asked instead.
    if (result.status == FetchResult::Failed && result.message.isEmpty()) {
        qCDebug(lcNet).noquote() << "fetch: the primary" << m_servers.primaryHost
                                 << "gave no time; falling back to the secondary"
                                 << m_servers.secondaryHost;
        result = askSecondary();
    }
    if (cancelled())
        result = {FetchResult::Cancelled, {}, {}};
    static const char *const outcome[] = {"fetched", "failed", "not taken", "cancelled"};
    if (result.status == FetchResult::Fetched)
        qCDebug(lcNet).noquote() << "fetch: fetched; Beijing time" << result.time.date
                                 << result.time.time.toString() << "stands for"
                                 << utcText(result.time.instant.utcMs) << "at boot clock"
                                 << result.time.instant.bootMs << "ms";
    else
        qCDebug(lcNet).noquote() << QStringLiteral("fetch: %1%2")
                                        .arg(QLatin1StringView(outcome[result.status]),
                                             result.message.isEmpty()
                                                 ? QString()
                                                 : QStringLiteral("; the user is told: ") +
                                                       result.message);
    return result;
}

FetchResult DaytimeClient::askPrimary()
{
    const QString &host = m_servers.primaryHost;
    const Reply first = QueryDaytimeServer(host, resolve(host));
    if (cancelled())
        return {FetchResult::Cancelled, {}, {}};
    const std::optional<DaytimeStamp> firstStamp = primaryStamp(first.text);
    if (!firstStamp) {
        qCDebug(lcNet).noquote() << "primary:" << host
                                 << (first.text.isEmpty() ? "no reply"
                                                          : "the reply is not YYYY-MM-DD HH:MM:SS");
        return {FetchResult::Failed, {}, {}};
    }

    // The second reply gives the values; it is asked for at the moment that splits the
    // second the first reply left open, from the address that gave the first.
    const OffsetRange range = OffsetRange::fromStamp(firstStamp->utcMs, first.timing.sampledMs());
    traceRange(host, *firstStamp, range);
    const Reply second = QueryDaytimeServer(host, {first.address}, splitting(first, range, 0));
    if (cancelled())
        return {FetchResult::Cancelled, {}, {}};
    if (second.text.isEmpty())
        return timedOut(host);
    const std::optional<DaytimeStamp> stamp = primaryStamp(second.text);
    if (!stamp) {
        qCDebug(lcNet).noquote() << "primary:" << host
                                 << "the second reply is not YYYY-MM-DD HH:MM:SS; nothing stored";
        return {FetchResult::Unreadable,
                {},
                QStringLiteral("无法识别网络标准时间服务器%1的回复：“%2”不是“年-月-日 "
                               "时:分:秒”格式的北京时间。")
                    .arg(host, quotable(second.text.trimmed()))};
    }
    NetworkTime time = timeFrom(*stamp, first, *firstStamp, second);
    time.instant.origin = QStringLiteral("network time from %1, Beijing time").arg(host);
    // Shown as the server wrote them.
    time.date = second.text.mid(0, 10);
    time.time = second.text.mid(11, 8);
    return {FetchResult::Fetched, time, {}};
}

FetchResult DaytimeClient::askSecondary()
{
    const QString &host = m_servers.secondaryHost;
    const auto unreadable = [&host](const RunTimeError &error) {
        qCDebug(lcNet).noquote() << "secondary:" << host
                                 << "the reply is not a NIST line:" << error.description();
        return FetchResult{FetchResult::Unreadable,
                           {},
                           QStringLiteral("无法识别网络标准时间服务器") + host +
                               QStringLiteral("的回复：") + error.description()};
    };
    // NIST's own word that its time is not good: believed, and nothing is stored.
    const auto unhealthy = [&host](const DaytimeStamp &stamp) -> std::optional<FetchResult> {
        const QString problem = nistHealthProblem(stamp.health);
        if (problem.isEmpty())
            return std::nullopt;
        qCDebug(lcNet).noquote() << "secondary:" << host << "health digit" << stamp.health
                                 << "(0 is healthy): its time is not taken";
        return FetchResult{
            FetchResult::Unreadable,
            {},
            QStringLiteral("网络标准时间服务器%1报告%2，本次没有采用它的时间，请稍后再试。")
                .arg(host, problem)};
    };

    // Never sooner than the spacing after the server last saw us, even in a fetch of
    // an earlier click.
    const Reply first =
        QueryDaytimeServer(host, resolve(host), ConnectSchedule::notBefore(secondaryDueMs()));
    if (cancelled())
        return {FetchResult::Cancelled, {}, {}};
    if (first.text.isEmpty())
        return {FetchResult::Failed,
                {},
                QStringLiteral("检测不到网络标准时间服务器") + host + QStringLiteral("！")};
    DaytimeStamp firstStamp;
    try {
        firstStamp = nistStamp(first.text);
    } catch (const RunTimeError &error) {
        return unreadable(error);
    }
    if (auto refused = unhealthy(firstStamp))
        return *refused;

    const OffsetRange range = OffsetRange::fromStamp(firstStamp.utcMs, first.timing.sampledMs());
    traceRange(host, firstStamp, range);
    const Reply second =
        QueryDaytimeServer(host, {first.address}, splitting(first, range, secondaryDueMs()));
    if (cancelled())
        return {FetchResult::Cancelled, {}, {}};
    if (second.text.isEmpty())
        return timedOut(host);
    try {
        const DaytimeStamp stamp = nistStamp(second.text);
        if (auto refused = unhealthy(stamp))
            return *refused;
        NetworkTime time = timeFrom(stamp, first, firstStamp, second);
        time.instant.origin = QStringLiteral("network time from %1, NIST layout").arg(host);
        time.date = stamp.beijingDate.toString(QStringLiteral("yy-MM-dd"));
        time.time = stamp.beijingTime;
        return {FetchResult::Fetched, time, {}};
    } catch (const RunTimeError &error) {
        return unreadable(error);
    }
}

qint64 DaytimeClient::secondaryDueMs() const
{
    return m_secondaryLastMs < 0
               ? 0
               : m_secondaryLastMs + m_servers.secondarySpacingMs + SpacingMarginMs;
}

void DaytimeClient::traceRange(const QString &host, const DaytimeStamp &stamp,
                               const OffsetRange &range)
{
    qCDebug(lcNet).noquote() << QStringLiteral("%1 first stamp %2 (the server's clock floored to "
                                               "the second): its clock less the boot clock is in "
                                               "[%3, %4) ms; the second query splits that second")
                                    .arg(host, utcText(stamp.utcMs))
                                    .arg(range.lowMs)
                                    .arg(range.highMs);
}

ConnectSchedule DaytimeClient::splitting(const Reply &first, const OffsetRange &range,
                                         qint64 earliestMs)
{
    return {earliestMs, range, std::max<qint64>(first.timing.leadMs(), 0)};
}

bool DaytimeClient::waitForSchedule(const ConnectSchedule &schedule)
{
    qint64 due = schedule.dueFrom(m_bootMs());
    if (due > m_bootMs())
        qCDebug(lcNet).noquote() << "waiting" << due - m_bootMs() << "ms to connect"
                                 << (schedule.splitRange ? "at the moment that splits the second"
                                                         : "(NIST: 4 s between queries)");
    int retries = 0;
    while (!cancelled()) {
        const qint64 now = m_bootMs();
        if (now < due) {
            waitUntil(due);
            continue;
        }
        // A split only works at its moment: one held up past it is worked out again
        // from now (the next second's moment), rather than sent late; up to a limit.
        if (!schedule.splitRange || now - due <= OverrunToleranceMs || retries == MaxSplitRetries)
            return true;
        qCDebug(lcNet).noquote() << "the split's moment was missed by" << now - due
                                 << "ms (the event loop was held up): worked out again";
        due = schedule.dueFrom(now);
        ++retries;
    }
    return false;
}

NetworkTime DaytimeClient::timeFrom(const DaytimeStamp &stamp, const Reply &first,
                                    const DaytimeStamp &firstStamp, const Reply &second) const
{
    const qint64 sampled = second.timing.sampledMs();
    const OffsetRange older = OffsetRange::fromStamp(firstStamp.utcMs, first.timing.sampledMs());
    const OffsetRange newer = OffsetRange::fromStamp(stamp.utcMs, sampled);
    const qint64 offset = estimateOffsetMs(older, newer);
    const OffsetRange both = older.intersected(newer);
    qCDebug(lcNet).noquote()
        << "second stamp" << utcText(stamp.utcMs) << "read at boot clock" << sampled
        << "ms (round trip" << second.timing.roundTripMs() << "ms); offset" << offset
        << "ms, the middle of"
        << (both.isEmpty() ? "the second stamp's second alone (the two do "
                             "not overlap)"
                           : QStringLiteral("[%1, %2) ms").arg(both.lowMs).arg(both.highMs));
    return {{}, {}, Instant{sampled + offset, sampled}};
}

QList<QHostAddress> DaytimeClient::resolve(const QString &host)
{
    if (const auto fixed = m_servers.addresses.constFind(host); fixed != m_servers.addresses.cend())
        return *fixed;
    if (QHostAddress literal; literal.setAddress(host))
        return {literal};

    m_lookupDone = false;
    m_lookedUp.clear();
    const qint64 lookupStartMs = m_bootMs();
    m_lookupId = QHostInfo::lookupHost(host, this, [this](const QHostInfo &info) {
        if (info.lookupId() != m_lookupId)
            return;
        m_lookedUp = interleaved(info.addresses());
        m_lookupDone = true;
        wake();
    });
    // A resolver that does not answer is bounded like a server that does not.
    const qint64 deadline = m_bootMs() + m_servers.queryTimeoutMs;
    while (!m_lookupDone && !cancelled() && m_bootMs() < deadline)
        waitUntil(deadline);
    if (!m_lookupDone)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    if (!m_lookupDone)
        qCDebug(lcNet).noquote() << "looking up" << host << "gave no answer in"
                                 << m_bootMs() - lookupStartMs << "ms";
    else
        qCDebug(lcNet).noquote() << "looking up" << host << "took" << m_bootMs() - lookupStartMs
                                 << "ms:" << addressList(m_lookedUp);
    return m_lookupDone ? m_lookedUp : QList<QHostAddress>();
}

DaytimeClient::Reply DaytimeClient::QueryDaytimeServer(const QString &host,
                                                       const QList<QHostAddress> &addresses,
                                                       const ConnectSchedule &schedule)
{
    SockFailed = false;
    RecvData = QString();
    m_reply.clear();
    m_queryEnded = false;
    m_gotData = false;
    m_timing = {};
    dropSockets();

    // Until the appointed moment: the spacing a server asks for, or the split.
    if (!waitForSchedule(schedule) || addresses.isEmpty())
        return {};

    // The Daytime server speaks first: connect and listen, send nothing. Each address
    // gets a head start; the first to connect is the one asked, the others are dropped.
    m_queryActive = true;
    const qint64 deadline = m_bootMs() + m_servers.queryTimeoutMs;
    qsizetype next = 0;
    while (!cancelled()) {
        if (!RecvData.toString().isEmpty() || SockFailed || m_queryEnded)
            break;
        const qint64 now = m_bootMs();
        if (now >= deadline)
            break; // no complete reply in time: the query has failed
        qint64 wakeAt = deadline;
        if (!Winsock1 && next < addresses.size()) {
            const qint64 due =
                m_attempts.isEmpty() ? now : m_attempts.last().startedMs + m_servers.attemptDelayMs;
            if (now >= due) {
                startAttempt(addresses[next++]);
                continue;
            }
            wakeAt = std::min(wakeAt, due);
        } else if (!Winsock1 && m_attempts.isEmpty()) {
            SockFailed = true; // every address refused
            break;
        }
        waitUntil(wakeAt);
    }
    // From here on the sockets' events belong to no query.
    m_queryActive = false;
    Reply reply;
    if (!SockFailed && !cancelled())
        reply.text = RecvData.toString();
    if (Winsock1)
        reply.address = Winsock1->peerAddress();
    reply.timing = m_timing;
    if (!reply.text.isEmpty())
        qCDebug(lcNet).noquote() << QStringLiteral(
                                        "reply from %1 (%2 port %3), connected in %4 ms, "
                                        "first bytes %5 ms later: %6")
                                        .arg(host, reply.address.toString())
                                        .arg(m_servers.port)
                                        .arg(m_timing.connectedMs - m_timing.connectStartMs)
                                        .arg(m_timing.firstDataMs - m_timing.connectedMs)
                                        .arg(traceQuoted(reply.text));
    else if (!cancelled())
        qCDebug(lcNet).noquote() << QStringLiteral("no reply from %1:").arg(host)
                                 << (SockFailed ? "every address failed, or the connection broke"
                                     : m_queryEnded
                                         ? "the server closed the connection without a reply"
                                         : "none in time");
    dropSockets();
    // The secondary counts its spacing from when it last saw us, which is no later than
    // now: a SYN the kernel resent late in the query, the acknowledgement of its reply,
    // the connection's end. Counting from the start would let a lost SYN shorten it.
    if (next > 0 && host == m_servers.secondaryHost)
        m_secondaryLastMs = m_bootMs();
    return reply;
}

void DaytimeClient::startAttempt(const QHostAddress &address)
{
    auto *socket = new QTcpSocket(this);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { attemptConnected(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (socket == Winsock1)
                    Winsock1_Error(error);
                else
                    attemptFailed(socket);
            });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == Winsock1)
            Winsock1_DataArrival(socket->bytesAvailable());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket == Winsock1)
            Winsock1_Close();
    });
    m_attempts.append({socket, m_bootMs()});
    qCDebug(lcNet).noquote() << "connecting to" << address.toString() << "port" << m_servers.port;
    socket->connectToHost(address, m_servers.port);
}

void DaytimeClient::attemptConnected(QTcpSocket *socket)
{
    const auto winner = std::find_if(m_attempts.cbegin(), m_attempts.cend(),
                                     [socket](const Attempt &a) { return a.socket == socket; });
    if (!m_queryActive || winner == m_attempts.cend())
        return;
    m_timing.connectStartMs = winner->startedMs;
    m_timing.connectedMs = m_bootMs();
    Winsock1 = socket;
    for (const Attempt &attempt : std::as_const(m_attempts)) {
        if (attempt.socket != socket) {
            attempt.socket->disconnect(this);
            attempt.socket->abort();
            attempt.socket->deleteLater();
        }
    }
    m_attempts.clear();
    wake();
}

void DaytimeClient::attemptFailed(QTcpSocket *socket)
{
    qCDebug(lcNet).noquote() << "connecting to" << socket->peerName()
                             << "failed:" << socket->errorString();
    m_attempts.removeIf([socket](const Attempt &a) { return a.socket == socket; });
    socket->disconnect(this);
    socket->deleteLater();
    wake(); // the next address is tried at once
}

void DaytimeClient::Winsock1_DataArrival(qint64 bytesTotal)
{
    // Pieces are kept together, up to the buffer's limit; the rest is read and dropped.
    const QByteArray piece = Winsock1->read(bytesTotal);
    if (!m_queryActive || piece.isEmpty())
        return;
    if (!m_gotData) {
        m_gotData = true;
        m_timing.firstDataMs = m_bootMs();
    }
    m_reply.append(piece);
    if (RecvData.toString().isEmpty() && m_reply.isComplete()) {
        RecvData = m_reply.text();
        wake();
    }
}

void DaytimeClient::Winsock1_Error(QAbstractSocket::SocketError error)
{
    // A server closing after its reply is the normal end of a Daytime answer.
    if (!m_queryActive || error == QAbstractSocket::RemoteHostClosedError)
        return;
    SockFailed = true;
    wake();
}

void DaytimeClient::Winsock1_Close()
{
    if (!m_queryActive)
        return;
    // The server has said all it will: what arrived is the reply, complete or not.
    if (RecvData.toString().isEmpty() && !m_reply.isEmpty())
        RecvData = m_reply.text();
    m_queryEnded = true;
    wake();
}

void DaytimeClient::dropSockets()
{
    for (const Attempt &attempt : std::as_const(m_attempts)) {
        attempt.socket->disconnect(this);
        attempt.socket->abort();
        attempt.socket->deleteLater();
    }
    m_attempts.clear();
    if (Winsock1) {
        Winsock1->disconnect(this);
        Winsock1->abort();
        Winsock1->deleteLater();
        Winsock1 = nullptr;
    }
}

void DaytimeClient::waitUntil(qint64 untilMs)
{
    if (cancelled())
        return;
    m_wakeTimer->start(int(std::clamp<qint64>(untilMs - m_bootMs(), 0, 60'000)));
    m_loop.exec();
    m_wakeTimer->stop();
}

} // namespace horalis
