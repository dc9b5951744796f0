// The NTP query: the servers in turn, one request each, with its socket, its waiting
// and its checks in one place.
#include "ntpclient.h"

#include "netconfig.h"
#include "trace.h"

#include <QHostInfo>
#include <QMetaEnum>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <utility>

namespace horalis {

namespace {

QString addressList(const QList<QHostAddress> &addresses)
{
    QStringList names;
    for (const QHostAddress &address : addresses)
        names << address.toString();
    return names.isEmpty() ? QStringLiteral("no address") : names.join(u", ");
}

// A socket's error as the trace says it: the enum's name, in English whatever the
// language of Qt's own text, then that text.
QString socketError(const QAbstractSocket &socket)
{
    const char *name =
        QMetaEnum::fromType<QAbstractSocket::SocketError>().valueToKey(socket.error());
    return QStringLiteral("%1 (%2)").arg(QLatin1StringView(name ? name : "UnknownSocketError"),
                                         socket.errorString());
}

QString milliseconds(qint64 us)
{
    return QString::number(double(us) / 1000.0, 'f', 1) + QStringLiteral(" ms");
}

} // namespace

NtpServers NtpServers::builtIn()
{
    NtpServers servers;
    servers.hosts = QStringLiteral(HORALIS_NTP_HOSTS).split(u';', Qt::SkipEmptyParts);
    servers.port = HORALIS_NTP_PORT;
    return servers;
}

NtpClient::NtpClient(NtpServers servers, std::function<qint64()> bootMs, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_bootMs(std::move(bootMs)),
      m_wakeTimer(new QTimer(this))
{
    m_wakeTimer->setSingleShot(true);
    m_wakeTimer->setTimerType(Qt::PreciseTimer);
    connect(m_wakeTimer, &QTimer::timeout, this, &NtpClient::wake);
}

NtpClient::~NtpClient()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

std::optional<NtpSample> NtpClient::fetch(std::stop_token stop)
{
    m_stop = std::move(stop);
    // Requested from another thread, the wake is queued to ours.
    const std::stop_callback wakeOnStop(
        m_stop, [this] { QMetaObject::invokeMethod(this, &NtpClient::wake); });
    for (const QString &host : std::as_const(m_servers.hosts)) {
        if (stopped())
            break;
        if (!mayAsk(host))
            continue;
        if (std::optional<NtpSample> sample = ask(host))
            return sample;
    }
    qCDebug(lcNet).noquote() << (stopped() ? "ntp: stopped" : "ntp: no server gave a time");
    return std::nullopt;
}

bool NtpClient::mayAsk(const QString &host) const
{
    if (m_barred.contains(host)) {
        qCDebug(lcNet).noquote() << "ntp:" << host
                                 << "skipped: it sent a kiss-o'-death earlier in this run";
        return false;
    }
    const auto last = m_lastAskedMs.constFind(host);
    const qint64 since = last == m_lastAskedMs.cend() ? -1 : m_bootMs() - *last;
    if (since >= 0 && since < m_servers.spacingMs) {
        qCDebug(lcNet).noquote() << "ntp:" << host << "skipped: asked" << since
                                 << "ms ago, and no server is asked more often than once every"
                                 << m_servers.spacingMs << "ms";
        return false;
    }
    return true;
}

std::optional<NtpSample> NtpClient::ask(const QString &host)
{
    m_host = host;
    m_state = State::Idle;
    const QList<QHostAddress> addresses = resolve(host);
    if (addresses.isEmpty() && !stopped())
        qCDebug(lcNet).noquote() << "ntp:" << host << "has no address: the next server is asked";
    // One request to the first address it can be sent to.
    for (const QHostAddress &address : addresses) {
        if (stopped())
            break;
        m_address = address;
        if (send(address))
            break;
        dropSocket();
    }
    if (m_socket)
        awaitReply(host);
    dropSocket();
    if (m_state != State::Taken)
        return std::nullopt;
    const NtpHeader &header = m_taken.header;
    NtpSample sample{m_taken.instant,
                     host,
                     m_address,
                     header.stratum,
                     ntpReferenceText(header),
                     m_taken.roundTripUs,
                     m_taken.offsetMs()};
    sample.instant.origin = QStringLiteral("network time from %1 (NTP)").arg(host);
    qCDebug(lcNet).noquote() << QStringLiteral(
                                    "ntp: reply from %1 (%2 port %3) taken: stratum %4, reference "
                                    "%5, round trip %6 (server hold %7), root distance %8; the "
                                    "server's clock %9 at boot clock %10 ms, offset %11 ms")
                                    .arg(host, m_address.toString())
                                    .arg(m_servers.port)
                                    .arg(header.stratum)
                                    .arg(sample.referenceId, milliseconds(sample.roundTripUs),
                                         milliseconds(m_taken.holdUs),
                                         milliseconds(m_taken.rootDistanceUs),
                                         utcText(sample.instant.utcMs))
                                    .arg(sample.instant.bootMs)
                                    .arg(sample.offsetMs);
    return sample;
}

QList<QHostAddress> NtpClient::resolve(const QString &host)
{
    if (const auto fixed = m_servers.addresses.constFind(host); fixed != m_servers.addresses.cend())
        return *fixed;
    if (QHostAddress literal; literal.setAddress(host))
        return {literal};

    m_state = State::LookingUp;
    m_lookedUp.clear();
    const qint64 started = m_bootMs();
    m_lookupId = QHostInfo::lookupHost(host, this, [this](const QHostInfo &info) {
        if (info.lookupId() != m_lookupId || m_state != State::LookingUp)
            return;
        m_lookedUp = info.addresses();
        m_state = State::Idle;
        wake();
    });
    const qint64 deadline = started + m_servers.lookupTimeoutMs;
    while (m_state == State::LookingUp && !stopped() && m_bootMs() < deadline)
        waitUntil(deadline);
    if (m_state == State::LookingUp) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_state = stopped() ? State::Stopped : State::TimedOut;
        m_lookedUp.clear();
    }
    m_lookupId = -1;
    qCDebug(lcNet).noquote() << "ntp: looking up" << host
                             << (m_state == State::Idle ? QStringLiteral("took")
                                                        : QStringLiteral("gave no answer in"))
                             << m_bootMs() - started << "ms:" << addressList(m_lookedUp);
    return m_lookedUp;
}

bool NtpClient::send(const QHostAddress &address)
{
    if (!m_socket) {
        m_socket = new QUdpSocket(this);
        connect(m_socket, &QUdpSocket::readyRead, this, &NtpClient::readDatagrams);
        const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        m_socket->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0);
    }
    const NtpTimestamp bits = randomTransmitBits();
    m_sentMs = m_bootMs();
    m_lastAskedMs.insert(m_host, m_sentMs);
    const qint64 written = m_socket->writeDatagram(ntpRequest(bits), address, m_servers.port);
    if (written != NtpHeaderBytes) {
        qCDebug(lcNet).noquote() << QStringLiteral("ntp: request to %1 (%2 port %3) not sent: %4")
                                        .arg(m_host, address.toString())
                                        .arg(m_servers.port)
                                        .arg(socketError(*m_socket));
        return false;
    }
    m_sent.append(bits);
    m_state = State::Waiting;
    qCDebug(lcNet).noquote() << QStringLiteral("ntp: request %1 to %2 (%3 port %4) at boot clock "
                                               "%5 ms")
                                    .arg(m_sent.size())
                                    .arg(m_host, address.toString())
                                    .arg(m_servers.port)
                                    .arg(m_sentMs);
    return true;
}

void NtpClient::awaitReply(const QString &host)
{
    const qint64 deadline = m_sentMs + m_servers.replyTimeoutMs;
    const qint64 resendAt = m_sentMs + m_servers.resendAfterMs;
    bool resent = false;
    while (m_state == State::Waiting) {
        const qint64 now = m_bootMs();
        if (stopped()) {
            m_state = State::Stopped;
        } else if (now >= deadline) {
            m_state = State::TimedOut;
            qCDebug(lcNet).noquote()
                << "ntp: no reply from" << host << "in" << m_servers.replyTimeoutMs << "ms";
        } else if (!resent && now >= resendAt) {
            // The one resend: the request or its reply may have been lost.
            resent = true;
            if (!send(m_address))
                m_state = State::TimedOut;
        } else {
            waitUntil(resent ? deadline : std::min(deadline, resendAt));
        }
    }
}

void NtpClient::readDatagrams()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        const qint64 arrivedMs = m_bootMs();
        if (m_state != State::Waiting)
            continue; // a duplicate, or after the wait: nothing is asked any more
        if (datagram.senderAddress() != m_address || datagram.senderPort() != m_servers.port) {
            qCDebug(lcNet).noquote()
                << QStringLiteral("ntp: a datagram from %1 port %2 refused: not the address and "
                                  "port asked (%3 port %4)")
                       .arg(datagram.senderAddress().toString())
                       .arg(datagram.senderPort())
                       .arg(m_address.toString())
                       .arg(m_servers.port);
            continue;
        }
        judge(datagram.data(), arrivedMs);
    }
}

void NtpClient::judge(const QByteArray &bytes, qint64 arrivedMs)
{
    const NtpReading reading = readNtpReply(bytes, m_sent.last(), m_sentMs, arrivedMs);
    if (reading.refusal == NtpRefusal::None) {
        m_taken = reading;
        m_state = State::Taken;
        wake();
        return;
    }
    if (reading.refusal == NtpRefusal::WrongOriginate &&
        m_sent.contains(reading.header.originate)) {
        qCDebug(lcNet).noquote() << "ntp: a late reply from" << m_host
                                 << "to an earlier request: ignored";
        return;
    }
    const bool leaves = answersRequest(reading.refusal);
    qCDebug(lcNet).noquote() << QStringLiteral("ntp: reply from %1 (%2) refused: %3; %4")
                                    .arg(m_host, m_address.toString(), ntpRefusalText(reading),
                                         leaves ? QStringLiteral("the next server is asked")
                                                : QStringLiteral("waiting on for the true reply"));
    if (!leaves)
        return;
    if (reading.refusal == NtpRefusal::KissOfDeath)
        m_barred.insert(m_host);
    m_state = State::Refused;
    wake();
}

void NtpClient::dropSocket()
{
    m_sent.clear();
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void NtpClient::waitUntil(qint64 untilMs)
{
    if (stopped())
        return;
    m_wakeTimer->start(int(std::clamp<qint64>(untilMs - m_bootMs(), 0, 60'000)));
    m_loop.exec();
    m_wakeTimer->stop();
}

} // namespace horalis
