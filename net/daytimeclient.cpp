// The Daytime query: one server asked twice, by the rules of its layout, with the
// socket, its timings and its waiting in one private class.
#include "daytimeclient.h"

#include "daytimereply.h"
#include "netconfig.h"
#include "offsetestimate.h"
#include "runtimeerror.h"
#include "trace.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QMetaEnum>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <optional>
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

// What one query got.
struct Reply {
    QString text;         // empty: no answer
    QHostAddress address; // the address that answered
    QueryTiming timing;
    bool asked = false; // a connection was started: the server may have seen us
};

// A reply read by a layout's rules: its stamp, or what the fetch returns instead.
struct Reading {
    DaytimeStamp stamp;
    std::optional<FetchResult> refused;
};

// Which of a server's two queries a reply answers.
enum class Round { First, Second };

FetchResult cancelledResult()
{
    return {FetchResult::Cancelled, {}, {}};
}

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

// A socket error as the trace shows it: the enum's name, in English whatever the
// language of Qt's own text beside it.
QString socketErrorText(QAbstractSocket::SocketError error, const QString &qtText)
{
    const char *name = QMetaEnum::fromType<QAbstractSocket::SocketError>().valueToKey(error);
    return QStringLiteral("%1 (%2)").arg(name ? QString::fromLatin1(name) : QString::number(error),
                                         qtText);
}

QString addressList(const QList<QHostAddress> &addresses)
{
    QStringList names;
    for (const QHostAddress &address : addresses)
        names << address.toString();
    return names.isEmpty() ? QStringLiteral("no address") : names.join(u", ");
}

// Says in the trace what a first reply left open.
void traceRange(const QString &host, const DaytimeStamp &stamp, const OffsetRange &range)
{
    qCDebug(lcNet).noquote() << QStringLiteral("%1 first stamp %2 (the server's clock floored to "
                                               "the second): its clock less the boot clock is in "
                                               "[%3, %4) ms; the second query splits that second")
                                    .arg(host, utcText(stamp.utcMs))
                                    .arg(range.lowMs)
                                    .arg(range.highMs);
}

// The second query of a server, timed against the first reply's range.
ConnectSchedule splitting(const Reply &first, const OffsetRange &range, qint64 earliestMs)
{
    return {earliestMs, range, std::max<qint64>(first.timing.leadMs(), 0)};
}

// The instant the two replies stand for: the second reply's reading, the server's
// clock at it estimated from both ranges.
NetworkTime timeFrom(const DaytimeStamp &stamp, const Reply &first, const DaytimeStamp &firstStamp,
                     const Reply &second)
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

// ---- The primary's layout: "YYYY-MM-DD HH:MM:SS" in Beijing time ----------------

FetchResult primaryNoReply(const QString &host)
{
    qCDebug(lcNet).noquote() << "primary:" << host << "no reply";
    return {FetchResult::Failed, {}, {}};
}

// A first reply that is not a time counts as no answer; a second one is reported.
Reading readPrimary(const QString &host, const QString &text, Round round)
{
    if (const std::optional<DaytimeStamp> stamp = primaryStamp(text))
        return {*stamp, std::nullopt};
    if (round == Round::First) {
        qCDebug(lcNet).noquote() << "primary:" << host << "the reply is not YYYY-MM-DD HH:MM:SS";
        return {{}, FetchResult{FetchResult::Failed, {}, {}}};
    }
    qCDebug(lcNet).noquote() << "primary:" << host
                             << "the second reply is not YYYY-MM-DD HH:MM:SS; nothing stored";
    return {{},
            FetchResult{FetchResult::Unreadable,
                        {},
                        QStringLiteral("无法识别网络标准时间服务器%1的回复：“%2”不是“年-月-日 "
                                       "时:分:秒”格式的北京时间。")
                            .arg(host, quotable(text.trimmed()))}};
}

// Shown as the server wrote them.
void showPrimary(NetworkTime &time, const DaytimeStamp &, const QString &text, const QString &host)
{
    time.instant.origin = QStringLiteral("network time from %1, Beijing time").arg(host);
    time.date = text.mid(0, 10);
    time.time = text.mid(11, 8);
}

// ---- The secondary's layout: NIST's line in UTC, with its health digit -----------

FetchResult nistNoReply(const QString &host)
{
    return {FetchResult::Failed,
            {},
            QStringLiteral("检测不到网络标准时间服务器") + host + QStringLiteral("！")};
}

// NIST's own word that its time is not good is believed, and nothing is stored.
Reading readNist(const QString &host, const QString &text, Round)
{
    DaytimeStamp stamp;
    try {
        stamp = nistStamp(text);
    } catch (const RunTimeError &error) {
        qCDebug(lcNet).noquote() << "secondary:" << host
                                 << "the reply is not a NIST line:" << error.description();
        return {{},
                FetchResult{FetchResult::Unreadable,
                            {},
                            QStringLiteral("无法识别网络标准时间服务器") + host +
                                QStringLiteral("的回复：") + error.description()}};
    }
    const QString problem = nistHealthProblem(stamp.health);
    if (problem.isEmpty())
        return {stamp, std::nullopt};
    qCDebug(lcNet).noquote() << "secondary:" << host << "health digit" << stamp.health
                             << "(0 is healthy): its time is not taken";
    return {
        {},
        FetchResult{FetchResult::Unreadable,
                    {},
                    QStringLiteral("网络标准时间服务器%1报告%2，本次没有采用它的时间，请稍后再试。")
                        .arg(host, problem)}};
}

void showNist(NetworkTime &time, const DaytimeStamp &stamp, const QString &, const QString &host)
{
    time.instant.origin = QStringLiteral("network time from %1, NIST layout").arg(host);
    time.date = stamp.beijingDate.toString(QStringLiteral("yy-MM-dd"));
    time.time = stamp.beijingTime;
}

} // namespace

// What differs between the two layouts; the sequence of queries is the same.
struct DaytimeLayoutRules {
    QString DaytimeServers::*host; // the server that answers in this layout
    // NIST's 4-second rule: the server is asked no sooner than the spacing after it
    // last saw us.
    bool spaced;
    FetchResult (*noReply)(const QString &host); // the first query got no answer
    Reading (*read)(const QString &host, const QString &text, Round round);
    // The time as the status line shows it.
    void (*show)(NetworkTime &time, const DaytimeStamp &stamp, const QString &text,
                 const QString &host);
};

namespace {

const DaytimeLayoutRules PrimaryRules{&DaytimeServers::primaryHost, false, primaryNoReply,
                                      readPrimary, showPrimary};
const DaytimeLayoutRules NistRules{&DaytimeServers::secondaryHost, true, nistNoReply, readNist,
                                   showNist};

} // namespace

// One query at a time: connects as scheduled to the first of the addresses that
// answers and waits for the reply, running the event loop meanwhile.
class DaytimeClient::Query : public QObject {
public:
    // Where the current query stands; the sockets' events count only from Connecting on.
    enum class State {
        Idle,       // no query: the sockets' events belong to none
        LookingUp,  // a host name is being looked up
        LookedUp,   // its addresses have come
        Connecting, // connections started, none established yet
        Connected,  // Winsock1 is connected; its reply is awaited
        Replied,    // RecvData holds the reply, complete or all the server sent
        Closed,     // the server closed the connection without a reply
        SockFailed, // every address failed, or the connection broke
    };

    Query(const DaytimeServers &servers, const std::function<qint64()> &bootMs);
    ~Query() override;

    void begin(std::stop_token stop) { m_stop = std::move(stop); }
    bool cancelled() const { return m_stop.stop_requested(); }
    void wake() { m_loop.quit(); }
    QList<QHostAddress> resolve(const QString &host);
    // One query; an empty text: no answer.
    Reply QueryDaytimeServer(const QString &host, const QList<QHostAddress> &addresses,
                             const ConnectSchedule &schedule);

private:
    struct Attempt {
        QTcpSocket *socket;
        qint64 startedMs;
    };
    bool listening() const { return m_state >= State::Connecting; }
    bool ended() const { return m_state >= State::Replied; }
    // Waits until the schedule's moment; false when the fetch was stopped meanwhile.
    bool waitForSchedule(const ConnectSchedule &schedule);
    // Says in the trace what a wait until due is for.
    void traceWait(const ConnectSchedule &schedule, qint64 due) const;
    // Connects and waits for the reply; true when a connection was started.
    bool connectAndListen(const QList<QHostAddress> &addresses);
    void traceReply(const QString &host, const Reply &reply, State outcome) const;
    void startAttempt(const QHostAddress &address);
    void attemptConnected(QTcpSocket *socket);
    void attemptFailed(QTcpSocket *socket, QAbstractSocket::SocketError error);
    void Winsock1_DataArrival(qint64 bytesTotal);
    void Winsock1_Error(QAbstractSocket::SocketError error);
    void Winsock1_Close();
    // Lets go of a socket: no more of its events, its connection ended, deleted later.
    void drop(QTcpSocket *socket);
    void dropSockets();
    // Runs the event loop until a socket or the lookup has news, the boot clock
    // reaches untilMs or the fetch is stopped.
    void waitUntil(qint64 untilMs);

    const DaytimeServers &m_servers;
    const std::function<qint64()> &m_bootMs;
    State m_state = State::Idle;
    QTcpSocket *Winsock1 = nullptr; // the connection that is asked
    QString RecvData;               // its reply, once complete
    QList<Attempt> m_attempts;      // connections started and not yet connected
    ReplyBuffer m_reply;            // the current query's reply so far
    QueryTiming m_timing;           // the current query's timings
    std::stop_token m_stop;         // the current fetch's
    int m_lookupId = -1;            // the host lookup being waited for
    QList<QHostAddress> m_lookedUp;
    QEventLoop m_loop;
    QTimer m_wakeTimer;
};

DaytimeClient::Query::Query(const DaytimeServers &servers, const std::function<qint64()> &bootMs)
    : m_servers(servers), m_bootMs(bootMs)
{
    m_wakeTimer.setSingleShot(true);
    m_wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_wakeTimer, &QTimer::timeout, this, &Query::wake);
}

DaytimeClient::Query::~Query()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

QList<QHostAddress> DaytimeClient::Query::resolve(const QString &host)
{
    if (const auto fixed = m_servers.addresses.constFind(host); fixed != m_servers.addresses.cend())
        return *fixed;
    if (QHostAddress literal; literal.setAddress(host))
        return {literal};

    m_state = State::LookingUp;
    m_lookedUp.clear();
    const qint64 lookupStartMs = m_bootMs();
    m_lookupId = QHostInfo::lookupHost(host, this, [this](const QHostInfo &info) {
        if (info.lookupId() != m_lookupId)
            return;
        m_lookedUp = interleaved(info.addresses());
        m_state = State::LookedUp;
        wake();
    });
    // A resolver that does not answer is bounded like a server that does not.
    const qint64 deadline = m_bootMs() + m_servers.queryTimeoutMs;
    while (m_state == State::LookingUp && !cancelled() && m_bootMs() < deadline)
        waitUntil(deadline);
    const bool found = std::exchange(m_state, State::Idle) == State::LookedUp;
    if (!found)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    if (!found)
        qCDebug(lcNet).noquote() << "looking up" << host << "gave no answer in"
                                 << m_bootMs() - lookupStartMs << "ms";
    else
        qCDebug(lcNet).noquote() << "looking up" << host << "took" << m_bootMs() - lookupStartMs
                                 << "ms:" << addressList(m_lookedUp);
    return found ? m_lookedUp : QList<QHostAddress>();
}

bool DaytimeClient::Query::waitForSchedule(const ConnectSchedule &schedule)
{
    qint64 due = schedule.dueFrom(m_bootMs());
    traceWait(schedule, due);
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

void DaytimeClient::Query::traceWait(const ConnectSchedule &schedule, qint64 due) const
{
    // A split is traced even when its moment is now: the second query's timing.
    const qint64 now = m_bootMs();
    if (due <= now && !schedule.splitRange)
        return;
    // Only the secondary has an earliest moment: NIST's spacing since it last saw us.
    const bool spaced = schedule.earliestMs > now;
    const char *const why = !schedule.splitRange ? ", by NIST's 4-second rule"
                            : spaced ? ", by NIST's 4-second rule, then at the moment that splits "
                                       "the second"
                                     : " at the moment that splits the second";
    qCDebug(lcNet).noquote()
        << QStringLiteral("waiting %1 ms to connect%2").arg(due - now).arg(QLatin1StringView(why));
}

Reply DaytimeClient::Query::QueryDaytimeServer(const QString &host,
                                               const QList<QHostAddress> &addresses,
                                               const ConnectSchedule &schedule)
{
    m_state = State::Idle;
    RecvData.clear();
    m_reply.clear();
    m_timing = {};
    dropSockets();

    // Until the appointed moment: the spacing a server asks for, or the split.
    if (!waitForSchedule(schedule) || addresses.isEmpty())
        return {};
    m_state = State::Connecting;
    Reply reply;
    reply.asked = connectAndListen(addresses);
    // From here on the sockets' events belong to no query.
    const State outcome = std::exchange(m_state, State::Idle);
    if (outcome == State::Replied)
        reply.text = RecvData;
    if (Winsock1)
        reply.address = Winsock1->peerAddress();
    reply.timing = m_timing;
    if (!cancelled())
        traceReply(host, reply, outcome);
    dropSockets();
    return reply;
}

bool DaytimeClient::Query::connectAndListen(const QList<QHostAddress> &addresses)
{
    // The Daytime server speaks first: connect and listen, send nothing. Each address
    // gets a head start; the first to connect is the one asked, the others are dropped.
    const qint64 deadline = m_bootMs() + m_servers.queryTimeoutMs;
    qsizetype next = 0;
    while (!cancelled() && !ended()) {
        const qint64 now = m_bootMs();
        if (now >= deadline)
            break; // no complete reply in time: the query has failed
        qint64 wakeAt = deadline;
        if (m_state == State::Connecting && next < addresses.size()) {
            const qint64 due =
                m_attempts.isEmpty() ? now : m_attempts.last().startedMs + m_servers.attemptDelayMs;
            if (now >= due) {
                startAttempt(addresses[next++]);
                continue;
            }
            wakeAt = std::min(wakeAt, due);
        } else if (m_state == State::Connecting && m_attempts.isEmpty()) {
            m_state = State::SockFailed; // every address refused
            break;
        }
        waitUntil(wakeAt);
    }
    return next > 0;
}

void DaytimeClient::Query::traceReply(const QString &host, const Reply &reply, State outcome) const
{
    if (!reply.text.isEmpty())
        qCDebug(lcNet).noquote() << QStringLiteral(
                                        "reply from %1 (%2 port %3), connected in %4 ms, "
                                        "first bytes %5 ms later: %6")
                                        .arg(host, reply.address.toString())
                                        .arg(m_servers.port)
                                        .arg(m_timing.connectedMs - m_timing.connectStartMs)
                                        .arg(m_timing.firstDataMs - m_timing.connectedMs)
                                        .arg(traceQuoted(reply.text));
    else
        qCDebug(lcNet).noquote() << QStringLiteral("no reply from %1:").arg(host)
                                 << (outcome == State::SockFailed
                                         ? "every address failed, or the connection broke"
                                     : outcome == State::Closed
                                         ? "the server closed the connection without a reply"
                                         : "none in time");
}

void DaytimeClient::Query::startAttempt(const QHostAddress &address)
{
    auto *socket = new QTcpSocket(this);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { attemptConnected(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (socket == Winsock1)
                    Winsock1_Error(error);
                else
                    attemptFailed(socket, error);
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

void DaytimeClient::Query::attemptConnected(QTcpSocket *socket)
{
    const auto winner = std::find_if(m_attempts.cbegin(), m_attempts.cend(),
                                     [socket](const Attempt &a) { return a.socket == socket; });
    // Attempts exist only while the query connects: one found is the query's.
    if (winner == m_attempts.cend())
        return;
    m_timing.connectStartMs = winner->startedMs;
    m_timing.connectedMs = m_bootMs();
    m_attempts.erase(winner);
    dropSockets(); // the attempts still connecting
    Winsock1 = socket;
    m_state = State::Connected;
    wake();
}

void DaytimeClient::Query::attemptFailed(QTcpSocket *socket, QAbstractSocket::SocketError error)
{
    qCDebug(lcNet).noquote() << "connecting to" << socket->peerName()
                             << "failed:" << socketErrorText(error, socket->errorString());
    m_attempts.removeIf([socket](const Attempt &a) { return a.socket == socket; });
    drop(socket);
    wake(); // the next address is tried at once
}

void DaytimeClient::Query::Winsock1_DataArrival(qint64 bytesTotal)
{
    // Pieces are kept together, up to the buffer's limit; the rest is read and dropped.
    const QByteArray piece = Winsock1->read(bytesTotal);
    if (m_state != State::Connected || piece.isEmpty())
        return;
    if (m_reply.isEmpty())
        m_timing.firstDataMs = m_bootMs();
    m_reply.append(piece);
    if (m_reply.isComplete()) {
        RecvData = m_reply.text();
        m_state = State::Replied;
        wake();
    }
}

void DaytimeClient::Query::Winsock1_Error(QAbstractSocket::SocketError error)
{
    if (!listening())
        return;
    const bool closed = error == QAbstractSocket::RemoteHostClosedError;
    qCDebug(lcNet).noquote() << "the connection to" << Winsock1->peerAddress().toString()
                             << (closed ? "was closed by the server:" : "broke:")
                             << socketErrorText(error, Winsock1->errorString());
    // A server closing after its reply is the normal end of a Daytime answer.
    if (closed)
        return;
    m_state = State::SockFailed;
    wake();
}

void DaytimeClient::Query::Winsock1_Close()
{
    if (m_state != State::Connected)
        return;
    // The server has said all it will: what arrived is the reply, complete or not.
    if (m_reply.isEmpty()) {
        m_state = State::Closed;
    } else {
        RecvData = m_reply.text();
        m_state = State::Replied;
    }
    wake();
}

void DaytimeClient::Query::drop(QTcpSocket *socket)
{
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void DaytimeClient::Query::dropSockets()
{
    for (const Attempt &attempt : std::as_const(m_attempts))
        drop(attempt.socket);
    m_attempts.clear();
    if (Winsock1)
        drop(std::exchange(Winsock1, nullptr));
}

void DaytimeClient::Query::waitUntil(qint64 untilMs)
{
    if (cancelled())
        return;
    m_wakeTimer.start(int(std::clamp<qint64>(untilMs - m_bootMs(), 0, 60'000)));
    m_loop.exec();
    m_wakeTimer.stop();
}

// ---- The client: the sequence of two queries -------------------------------------

DaytimeServers DaytimeServers::builtIn()
{
    DaytimeServers servers;
    servers.primaryHost = QStringLiteral(HORALIS_PRIMARY_HOST);
    servers.secondaryHost = QStringLiteral(HORALIS_SECONDARY_HOST);
    servers.port = HORALIS_DAYTIME_PORT;
    return servers;
}

DaytimeClient::DaytimeClient(DaytimeServers servers, std::function<qint64()> bootMs,
                             QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_bootMs(std::move(bootMs)),
      m_query(std::make_unique<Query>(m_servers, m_bootMs))
{
}

DaytimeClient::~DaytimeClient() = default;

FetchResult DaytimeClient::fetch(DaytimeLayout layout, std::stop_token stop)
{
    // Every wait checks the token before it runs the event loop; a stop requested
    // during one ends it. Requested from another thread, the wake is queued to ours.
    Query *query = m_query.get();
    const std::stop_callback wakeOnStop(
        stop, [query] { QMetaObject::invokeMethod(query, [query] { query->wake(); }); });
    m_query->begin(std::move(stop));
    return ask(layout == DaytimeLayout::Primary ? PrimaryRules : NistRules);
}

FetchResult DaytimeClient::ask(const DaytimeLayoutRules &rules)
{
    const QString &host = m_servers.*rules.host;
    const auto query = [&](const QList<QHostAddress> &addresses, const ConnectSchedule &schedule) {
        const Reply reply = m_query->QueryDaytimeServer(host, addresses, schedule);
        // The secondary counts its spacing from when it last saw us, which is no later
        // than now: a SYN the kernel resent late in the query, the acknowledgement of
        // its reply, the connection's end. Counting from the start would let a lost SYN
        // shorten it.
        if (reply.asked && host == m_servers.secondaryHost)
            m_secondaryLastMs = m_bootMs();
        return reply;
    };
    const Reply first = query(m_query->resolve(host), ConnectSchedule::notBefore(dueMs(rules)));
    if (m_query->cancelled())
        return cancelledResult();
    if (first.text.isEmpty())
        return rules.noReply(host);
    const Reading firstReading = rules.read(host, first.text, Round::First);
    if (firstReading.refused)
        return *firstReading.refused;

    // The second reply gives the values; it is asked for at the moment that splits the
    // second the first reply left open, from the address that gave the first.
    const OffsetRange range =
        OffsetRange::fromStamp(firstReading.stamp.utcMs, first.timing.sampledMs());
    traceRange(host, firstReading.stamp, range);
    const Reply second = query({first.address}, splitting(first, range, dueMs(rules)));
    if (m_query->cancelled())
        return cancelledResult();
    if (second.text.isEmpty())
        return timedOut(host);
    const Reading reading = rules.read(host, second.text, Round::Second);
    if (reading.refused)
        return *reading.refused;
    NetworkTime time = timeFrom(reading.stamp, first, firstReading.stamp, second);
    rules.show(time, reading.stamp, second.text, host);
    return {FetchResult::Fetched, time, {}};
}

qint64 DaytimeClient::dueMs(const DaytimeLayoutRules &rules) const
{
    // Never sooner than the spacing after the server last saw us, even in a fetch of
    // an earlier click.
    return !rules.spaced || m_secondaryLastMs < 0
               ? 0
               : m_secondaryLastMs + m_servers.secondarySpacingMs + SpacingMarginMs;
}

} // namespace horalis
