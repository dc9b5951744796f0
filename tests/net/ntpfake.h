#pragma once
// NTP packets written byte by byte as RFC 5905 lays them out, and a fake NTP server on
// a loopback address, for the tests of the NTP client (and the benchmark's server).

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>

namespace horalis::test {

// The fields of a packet's header; every one written as given.
struct NtpFields {
    int leap = 0;
    int version = 4;
    int mode = 4;
    int stratum = 2;
    int poll = 6;
    int precision = -20;
    quint32 rootDelay = 0x0000'0100;      // 16.16 seconds: about 3.9 ms
    quint32 rootDispersion = 0x0000'0100; // likewise
    quint32 referenceId = 0xC0A8'0001;    // 192.168.0.1
    quint64 reference = 0;
    quint64 originate = 0;
    quint64 receive = 0;
    quint64 transmit = 0;
    int size = 48; // shorter cuts the header; longer appends zeros (an extension)
};

inline void putWord(QByteArray &bytes, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i) & 0xff);
}

inline void putStamp(QByteArray &bytes, int at, quint64 value)
{
    putWord(bytes, at, quint32(value >> 32));
    putWord(bytes, at + 4, quint32(value));
}

inline QByteArray ntpBytes(const NtpFields &f)
{
    QByteArray bytes(48, '\0');
    bytes[0] = char((f.leap & 3) << 6 | (f.version & 7) << 3 | (f.mode & 7));
    bytes[1] = char(f.stratum);
    bytes[2] = char(f.poll);
    bytes[3] = char(f.precision);
    putWord(bytes, 4, f.rootDelay);
    putWord(bytes, 8, f.rootDispersion);
    putWord(bytes, 12, f.referenceId);
    putStamp(bytes, 16, f.reference);
    putStamp(bytes, 24, f.originate);
    putStamp(bytes, 32, f.receive);
    putStamp(bytes, 40, f.transmit);
    bytes.resize(f.size, '\0');
    return bytes;
}

// Four characters as a reference id ("RATE").
constexpr quint32 code(const char (&c)[5])
{
    return quint32(quint8(c[0])) << 24 | quint32(quint8(c[1])) << 16 | quint32(quint8(c[2])) << 8 |
           quint8(c[3]);
}

// The transmit timestamp of a request, read byte by byte.
inline quint64 transmitOf(const QByteArray &request)
{
    quint64 value = 0;
    for (int i = 40; i < 48 && i < request.size(); ++i)
        value = value << 8 | quint8(request[i]);
    return value;
}

// An NTP timestamp of an instant given in nanoseconds since the Unix epoch.
inline quint64 ntpStampOfNs(qint64 unixNs)
{
    const qint64 seconds = unixNs / 1'000'000'000 - (unixNs % 1'000'000'000 < 0 ? 1 : 0);
    const quint64 ns = quint64(unixNs - seconds * 1'000'000'000);
    const quint64 fraction = (ns << 32) / 1'000'000'000;
    return quint64(quint32(seconds + 2'208'988'800LL)) << 32 | fraction;
}

// The machine's boot clock in nanoseconds (read only).
inline qint64 bootNs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A fake NTP server on a loopback address. Its clock is offsetMs ahead of the boot
// clock; by default it answers each request at once with a sound reply. `answer` may
// change that: it gets the request's number (from 1) and the sound reply's fields, and
// returns the replies to send, each after a delay, from the server's socket or another.
class NtpServer : public QObject {
public:
    enum From { Server, OtherPort, OtherAddress };
    struct Reply {
        NtpFields fields;
        int delayMs = 0;
        From from = Server;
    };
    std::function<QList<Reply>(int request, const NtpFields &sound)> answer;
    std::atomic<qint64> offsetMs = 0; // may be set from another thread
    QList<QByteArray> requests;

    // Listens on address and port (0: one the kernel picks); false if it cannot.
    bool listen(const QHostAddress &address, quint16 port = 0)
    {
        m_address = address;
        if (!m_socket.bind(address, port))
            return false;
        connect(&m_socket, &QUdpSocket::readyRead, this, &NtpServer::read);
        return m_otherPort.bind(address, 0);
    }
    quint16 port() const { return m_socket.localPort(); }
    // The address the OtherAddress replies come from: listened on with the same port.
    bool listenOther(const QHostAddress &address) { return m_otherAddress.bind(address, port()); }
    qint64 clockNs() const { return bootNs() + offsetMs * 1'000'000; }

private:
    void read()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram request = m_socket.receiveDatagram();
            const quint64 received = ntpStampOfNs(clockNs());
            requests << request.data();
            NtpFields sound;
            sound.originate = transmitOf(request.data());
            sound.receive = received;
            const QList<Reply> replies =
                answer ? answer(int(requests.size()), sound) : QList<Reply>{{sound}};
            for (const Reply &reply : replies)
                send(reply, request.senderAddress(), quint16(request.senderPort()));
        }
    }
    void send(const Reply &reply, const QHostAddress &to, quint16 port)
    {
        QUdpSocket *from = reply.from == OtherPort      ? &m_otherPort
                           : reply.from == OtherAddress ? &m_otherAddress
                                                        : &m_socket;
        // The transmit stamp is the moment it goes out, unless the answer fixed one.
        const auto go = [this, reply, to, port, from] {
            NtpFields fields = reply.fields;
            if (fields.transmit == 0 && fields.receive != 0)
                fields.transmit = ntpStampOfNs(clockNs());
            from->writeDatagram(ntpBytes(fields), to, port);
        };
        if (reply.delayMs <= 0)
            go();
        else
            QTimer::singleShot(reply.delayMs, this, go);
    }

    QHostAddress m_address;
    QUdpSocket m_socket;
    QUdpSocket m_otherPort;
    QUdpSocket m_otherAddress;
};

// What a reply not to be taken is off by, so that it shows if it is.
constexpr qint64 FarOffMs = 1'000'000;

// A sound reply whose clock is FarOffMs ahead of the server's: taken, it shows.
inline NtpFields farOff(NtpFields fields, const NtpServer &server)
{
    fields.receive = fields.transmit = ntpStampOfNs(server.clockNs() + FarOffMs * 1'000'000);
    return fields;
}

// What a server does to its reply: nothing, never send one, or one fault.
enum class NtpFault {
    Sound,
    Silent,
    OtherPort,
    OtherAddress,
    WrongOriginate,
    Short,
    KissRate,
    KissDeny,
    KissRstr,
    KissInit,
    Leap3,
    Stratum16,
};

inline NtpServer::Reply faulty(NtpFault fault, NtpFields f)
{
    NtpServer::From from = NtpServer::Server;
    const auto kiss = [&f](quint32 id) {
        f.stratum = 0, f.referenceId = id;
    };
    switch (fault) {
    case NtpFault::Sound:
    case NtpFault::Silent:
        break;
    case NtpFault::OtherPort:
        from = NtpServer::OtherPort;
        break;
    case NtpFault::OtherAddress:
        from = NtpServer::OtherAddress;
        break;
    case NtpFault::WrongOriginate:
        f.originate ^= 0x8000'0000'0000'0000ULL;
        break;
    case NtpFault::Short:
        f.size = 47;
        break;
    case NtpFault::KissRate:
        kiss(code("RATE"));
        break;
    case NtpFault::KissDeny:
        kiss(code("DENY"));
        break;
    case NtpFault::KissRstr:
        kiss(code("RSTR"));
        break;
    case NtpFault::KissInit:
        kiss(code("INIT"));
        break;
    case NtpFault::Leap3:
        f.leap = 3;
        break;
    case NtpFault::Stratum16:
        f.stratum = 16;
        break;
    }
    return {f, 0, from};
}

// Makes the server answer each request as the fault says, a faulty reply far off.
inline void answerWith(NtpServer &server, NtpFault fault)
{
    server.answer = [&server, fault](int, const NtpFields &f) {
        if (fault == NtpFault::Silent)
            return QList<NtpServer::Reply>{};
        return QList<NtpServer::Reply>{fault == NtpFault::Sound ? NtpServer::Reply{f}
                                                                : faulty(fault, farOff(f, server))};
    };
}

} // namespace horalis::test
