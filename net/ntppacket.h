#pragma once

// NTP packets as an SNTP client (RFC 4330) reads them, with the client rules of
// RFC 5905: the request it sends, the checks a reply must pass to be taken, and the
// time the four timestamps give, tied to the boot clock. No sockets, no clocks read.
#include "instant.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace horalis {

// An NTP timestamp: seconds since 1900-01-01 00:00:00 UTC in some 2^32-second era
// (the upper 32 bits) and the fraction of a second in units of 2^-32 s (the lower).
using NtpTimestamp = quint64;

inline constexpr qsizetype NtpHeaderBytes = 48;
// Seconds from 1900-01-01 to 1970-01-01.
inline constexpr qint64 NtpToUnixSeconds = 2'208'988'800;

// 64 random bits from the system's generator, for a request's transmit timestamp: the
// reply must carry them back as its originate timestamp, which a spoofer who does not
// see the request cannot guess (RFC 5905). Never zero.
NtpTimestamp randomTransmitBits();

// A client request (mode 3, version 4), 48 bytes, every field zero but the transmit
// timestamp.
QByteArray ntpRequest(NtpTimestamp transmit);

// The fixed header of an NTP packet, as sent.
struct NtpHeader {
    int leap = 0;               // leap indicator, 3: the server's clock is not synchronized
    int version = 0;            // 3 or 4 for the servers a client may believe
    int mode = 0;               // 4: a server's reply
    int stratum = 0;            // 0: a kiss-o'-death; 1: a reference clock; 16 and more: none
    quint32 rootDelay = 0;      // NTP short format, 16.16 seconds
    quint32 rootDispersion = 0; // likewise
    quint32 referenceId = 0;
    NtpTimestamp originate = 0;
    NtpTimestamp receive = 0;
    NtpTimestamp transmit = 0;
};

// Nothing when fewer than 48 bytes came; the extension fields and the MAC that may
// follow are not read.
std::optional<NtpHeader> readNtpHeader(QByteArrayView bytes);

// Why a reply is not taken.
enum class NtpRefusal {
    None,
    // Not shown to answer the request: it may be a forgery or a late reply, and the
    // true reply may still come.
    Short,
    WrongOriginate,
    // It answers the request, but its time is not one to believe.
    WrongMode,
    WrongVersion,
    KissOfDeath, // stratum 0 with RATE, DENY or RSTR: the server is not asked again
    OtherKiss,   // stratum 0 with any other code
    NotSynchronized,
    StratumTooHigh,
    ZeroTransmit,
    HoldTooLong, // the server held the request longer than the round trip took
    RootDistanceTooLong,
};

// Whether the datagram was shown to be the reply to the request: if not, the wait for
// the true reply goes on.
bool answersRequest(NtpRefusal refusal);

// The reference id as text: a stratum 0 or 1 server's four ASCII characters (a kiss
// code, a reference clock's name), else an IPv4 address.
QString ntpReferenceText(const NtpHeader &header);

// The longest root distance a reply may have: the root delay and the round trip's own
// delay, halved, plus the root dispersion (RFC 5905's root distance without the
// filter's terms, which one sample does not have), at most one second.
inline constexpr qint64 MaxRootDistanceUs = 1'000'000;

// The moment of the middle of the year the program was built, in seconds since the
// epoch: the stamps' era is the one that puts them nearest it.
qint64 ntpEraPivotSeconds();
// Unix seconds of an NTP seconds value: those of its era that lie nearest the pivot,
// within 2^31 s before or after it. NTP seconds wrap on 2036-02-07 06:28:16 UTC.
qint64 ntpUnixSeconds(quint32 ntpSeconds, qint64 pivotSeconds);

// What a reply gives when it is taken.
struct NtpReading {
    NtpRefusal refusal = NtpRefusal::None;
    NtpHeader header;
    // The server's clock when the reply arrived; bootMs is the arrival.
    Instant instant;
    qint64 roundTripUs = 0;    // the round trip less the server's hold
    qint64 holdUs = 0;         // the server's receive to its transmit
    qint64 rootDistanceUs = 0; // see MaxRootDistanceUs
    qint64 offsetMs() const { return instant.utcMs - instant.bootMs; } // vs the boot clock
};

// Reads a datagram that came as the reply to the request whose transmit bits were
// `sent`, sent at sentBootMs and arrived at arrivedBootMs (the boot clock, ms). The
// server's clock at arrival is its transmit stamp plus half of (the round trip less
// its hold), rounded to the nearest millisecond. A round trip of more than 2^20 ms is
// taken as that long.
NtpReading readNtpReply(QByteArrayView bytes, NtpTimestamp sent, qint64 sentBootMs,
                        qint64 arrivedBootMs, qint64 pivotSeconds = ntpEraPivotSeconds());

// Why a reading was refused, in English, for the trace ("its mode is 3, not 4").
QString ntpRefusalText(const NtpReading &reading);

} // namespace horalis
