// NTP packets: the request, the checks of a reply, and the time of its four stamps.
#include "ntppacket.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>

namespace horalis {

namespace {

constexpr int ClientMode = 3;
constexpr int ServerMode = 4;
constexpr int RequestVersion = 4;
constexpr int Unsynchronized = 3;
constexpr int LastStratum = 15;
// The boot clock is read in whole milliseconds: a round trip measured as n ms lasted
// less than n + 1, and a server may have held the request as long.
constexpr qint64 BootTickMs = 1;
// A longer round trip (which no wait allows) is taken as this long.
constexpr qint64 MaxRoundTripMs = qint64(1) << 20;

quint32 word(QByteArrayView bytes, qsizetype at)
{
    return qFromBigEndian<quint32>(bytes.data() + at);
}

NtpTimestamp timestamp(QByteArrayView bytes, qsizetype at)
{
    return NtpTimestamp(word(bytes, at)) << 32 | word(bytes, at + 4);
}

// A fraction in units of 2^-32 s (up to 2^63 of them), in microseconds to the nearest.
qint64 fractionToUs(quint64 units)
{
    const quint64 seconds = units >> 32;
    const quint64 fraction = units & 0xffff'ffffu;
    return qint64(seconds * 1'000'000 + ((fraction * 1'000'000 + (1u << 31)) >> 32));
}

// NTP short format, 16.16 seconds, in microseconds to the nearest.
qint64 shortToUs(quint32 value)
{
    return qint64((quint64(value) * 1'000'000 + (1u << 15)) >> 16);
}

constexpr qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

bool isBarringKiss(const QString &code)
{
    return code == u"RATE" || code == u"DENY" || code == u"RSTR";
}

// The checks of the header alone, in the order a reply is read.
NtpRefusal judgeHeader(const NtpHeader &header, NtpTimestamp sent)
{
    if (header.originate != sent)
        return NtpRefusal::WrongOriginate;
    if (header.mode != ServerMode)
        return NtpRefusal::WrongMode;
    if (header.version != 3 && header.version != 4)
        return NtpRefusal::WrongVersion;
    if (header.stratum == 0)
        return isBarringKiss(ntpReferenceText(header)) ? NtpRefusal::KissOfDeath
                                                       : NtpRefusal::OtherKiss;
    if (header.leap == Unsynchronized)
        return NtpRefusal::NotSynchronized;
    if (header.stratum > LastStratum)
        return NtpRefusal::StratumTooHigh;
    if (header.transmit == 0)
        return NtpRefusal::ZeroTransmit;
    return NtpRefusal::None;
}

} // namespace

NtpTimestamp randomTransmitBits()
{
    NtpTimestamp bits = 0;
    while (bits == 0)
        bits = QRandomGenerator::system()->generate64();
    return bits;
}

QByteArray ntpRequest(NtpTimestamp transmit)
{
    QByteArray packet(NtpHeaderBytes, '\0');
    packet[0] = char(RequestVersion << 3 | ClientMode);
    qToBigEndian<quint64>(transmit, packet.data() + 40);
    return packet;
}

std::optional<NtpHeader> readNtpHeader(QByteArrayView bytes)
{
    if (bytes.size() < NtpHeaderBytes)
        return std::nullopt;
    const auto byte = [bytes](qsizetype at) {
        return int(quint8(bytes[at]));
    };
    NtpHeader header;
    header.leap = byte(0) >> 6;
    header.version = byte(0) >> 3 & 7;
    header.mode = byte(0) & 7;
    header.stratum = byte(1);
    header.rootDelay = word(bytes, 4);
    header.rootDispersion = word(bytes, 8);
    header.referenceId = word(bytes, 12);
    header.originate = timestamp(bytes, 24);
    header.receive = timestamp(bytes, 32);
    header.transmit = timestamp(bytes, 40);
    return header;
}

QString ntpReferenceText(const NtpHeader &header)
{
    const quint32 id = header.referenceId;
    if (header.stratum > 1)
        return QStringLiteral("%1.%2.%3.%4")
            .arg(id >> 24)
            .arg(id >> 16 & 0xff)
            .arg(id >> 8 & 0xff)
            .arg(id & 0xff);
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const uint c = id >> shift & 0xff;
        if (c >= 0x20 && c < 0x7f)
            text += QChar(c);
        else if (c != 0) // codes shorter than four characters end in zeros
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}

bool answersRequest(NtpRefusal refusal)
{
    return refusal != NtpRefusal::Short && refusal != NtpRefusal::WrongOriginate;
}

qint64 ntpEraPivotSeconds()
{
    return daysFromCivil(HORALIS_NTP_BUILD_YEAR, 7, 1) * 86400;
}

qint64 ntpUnixSeconds(quint32 ntpSeconds, qint64 pivotSeconds)
{
    // The pivot's own NTP seconds, taken modulo 2^32; the difference, read as a signed
    // 32-bit number, is the distance to the nearest value of that era or the next.
    const quint32 pivotNtp = quint32(quint64(pivotSeconds + NtpToUnixSeconds));
    return pivotSeconds + qint32(ntpSeconds - pivotNtp);
}

NtpReading readNtpReply(QByteArrayView bytes, NtpTimestamp sent, qint64 sentBootMs,
                        qint64 arrivedBootMs, qint64 pivotSeconds)
{
    NtpReading reading;
    const std::optional<NtpHeader> header = readNtpHeader(bytes);
    if (!header) {
        reading.refusal = NtpRefusal::Short;
        return reading;
    }
    reading.header = *header;
    reading.refusal = judgeHeader(*header, sent);
    if (reading.refusal != NtpRefusal::None)
        return reading;

    // Exact arithmetic in units of 2^-32 ms, which hold both the boot clock's
    // milliseconds and NTP's fractions; the hold is checked for size first.
    const qint64 roundTripMs = std::clamp<qint64>(arrivedBootMs - sentBootMs, 0, MaxRoundTripMs);
    const qint64 hold = qint64(header->transmit - header->receive); // 2^-32 s, across an era too
    reading.holdUs = hold < 0 ? -fractionToUs(0 - quint64(hold)) : fractionToUs(quint64(hold));
    if (hold < 0 || hold >= (qint64(1) << 53) || hold * 1000 > (roundTripMs + BootTickMs) << 32) {
        reading.refusal = NtpRefusal::HoldTooLong;
        return reading;
    }
    const qint64 delay = std::max<qint64>((roundTripMs << 32) - hold * 1000, 0);
    reading.roundTripUs = (delay * 1000 + (qint64(1) << 31)) >> 32;
    reading.rootDistanceUs = (shortToUs(header->rootDelay) + reading.roundTripUs) / 2 +
                             shortToUs(header->rootDispersion);
    if (reading.rootDistanceUs > MaxRootDistanceUs) {
        reading.refusal = NtpRefusal::RootDistanceTooLong;
        return reading;
    }
    // The transmit stamp's fraction plus half the delay, in 2^-33 ms past its whole
    // second, rounded once to the nearest millisecond (a half up).
    const qint64 past = 2 * qint64(header->transmit & 0xffff'ffffu) * 1000 + delay;
    const qint64 utcMs = ntpUnixSeconds(quint32(header->transmit >> 32), pivotSeconds) * 1000 +
                         ((past + (qint64(1) << 32)) >> 33);
    reading.instant = Instant{utcMs, arrivedBootMs};
    return reading;
}

QString ntpRefusalText(const NtpReading &reading)
{
    const NtpHeader &header = reading.header;
    switch (reading.refusal) {
    case NtpRefusal::None:
        return QStringLiteral("taken");
    case NtpRefusal::Short:
        return QStringLiteral("shorter than the 48 bytes of an NTP header");
    case NtpRefusal::WrongOriginate:
        return QStringLiteral("its originate timestamp is not the transmit timestamp sent");
    case NtpRefusal::WrongMode:
        return QStringLiteral("its mode is %1, not 4 (a server's reply)").arg(header.mode);
    case NtpRefusal::WrongVersion:
        return QStringLiteral("its version is %1, not 3 or 4").arg(header.version);
    case NtpRefusal::KissOfDeath:
        return QStringLiteral("kiss-o'-death %1: the server is not asked again in this run")
            .arg(ntpReferenceText(header));
    case NtpRefusal::OtherKiss:
        return QStringLiteral("kiss-o'-death %1 (stratum 0)").arg(ntpReferenceText(header));
    case NtpRefusal::NotSynchronized:
        return QStringLiteral("leap indicator 3: the server's clock is not synchronized");
    case NtpRefusal::StratumTooHigh:
        return QStringLiteral("stratum %1: the server has no reference").arg(header.stratum);
    case NtpRefusal::ZeroTransmit:
        return QStringLiteral("its transmit timestamp is zero");
    case NtpRefusal::HoldTooLong:
        return QStringLiteral("its receive and transmit timestamps say it held the request "
                              "%1 ms, longer than the round trip took")
            .arg(double(reading.holdUs) / 1000.0, 0, 'f', 1);
    case NtpRefusal::RootDistanceTooLong:
        return QStringLiteral("its root distance is %1 ms, over 1 s")
            .arg(double(reading.rootDistanceUs) / 1000.0, 0, 'f', 1);
    }
    return {};
}

} // namespace horalis
