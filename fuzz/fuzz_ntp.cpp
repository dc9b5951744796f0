// An NTP server's datagram, as the client reads it: any bytes, any length, are refused
// or taken, and a time is taken only when the reply is sound by RFC 5905's rules. The
// rules are checked here on the bytes themselves, read by this file and not by the
// reader under test; the time is worked out again in long double seconds.
//
// Input: one byte of flags (bit 0: the reply's originate is made the transmit bits sent,
// so that the mutations reach the later checks), 8 bytes of the transmit bits sent, 2
// bytes of the round trip in milliseconds (big-endian), then the datagram.
#include "ntppacket.h"
#include "require.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace horalis;

namespace {

constexpr qint64 SentMs = 5'000'000;
constexpr long double TwoTo32 = 4294967296.0L;

std::uint64_t bigEndian(const std::uint8_t *p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | p[i];
    return value;
}

// An NTP timestamp in seconds since 1900 of its era 0, as a long double.
long double seconds(std::uint64_t stamp)
{
    return (long double)(stamp >> 32) + (long double)(stamp & 0xffffffffu) / TwoTo32;
}

// The Unix seconds of a stamp, in the era (of the few around) nearest the pivot.
long double unixSeconds(std::uint64_t stamp, qint64 pivot)
{
    const long double pivotNtp = (long double)pivot + 2208988800.0L;
    long double best = 0;
    long double bestDistance = INFINITY;
    for (int era = -2; era <= 3; ++era) {
        const long double ntp = seconds(stamp) + era * TwoTo32;
        if (std::fabs(ntp - pivotNtp) < bestDistance) {
            bestDistance = std::fabs(ntp - pivotNtp);
            best = ntp;
        }
    }
    return best - 2208988800.0L;
}

// What RFC 5905 asks of a reply, read off the bytes. Boundary: a value within a few
// microseconds of a limit, where the reader's microsecond rounding may go either way.
struct Rules {
    bool sound = true;
    bool boundary = false;
    long double serverAtArrival = 0; // Unix seconds
};

Rules rules(const std::uint8_t *p, std::size_t size, std::uint64_t sent, qint64 roundTripMs)
{
    Rules r;
    if (size < 48)
        return {false, false, 0};
    const int leap = p[0] >> 6, version = (p[0] >> 3) & 7, mode = p[0] & 7, stratum = p[1];
    const std::uint64_t originate = bigEndian(p + 24, 8);
    const std::uint64_t receive = bigEndian(p + 32, 8);
    const std::uint64_t transmit = bigEndian(p + 40, 8);
    r.sound = mode == 4 && (version == 3 || version == 4) && originate == sent && leap != 3 &&
              stratum >= 1 && stratum <= 15 && transmit != 0;
    if (!r.sound)
        return r;
    // The hold may cross an era: the shorter way round the 2^32 s circle.
    long double hold = seconds(transmit) - seconds(receive);
    if (hold > TwoTo32 / 2)
        hold -= TwoTo32;
    if (hold < -TwoTo32 / 2)
        hold += TwoTo32;
    const long double roundTrip = roundTripMs / 1000.0L;
    const long double tick = 0.001L; // the boot clock's millisecond
    r.boundary = std::fabs(hold - (roundTrip + tick)) < 2e-6L || std::fabs(hold) < 2e-6L;
    const long double delay = std::max(roundTrip - hold, 0.0L);
    const long double distance =
        (bigEndian(p + 4, 4) / 65536.0L + delay) / 2 + bigEndian(p + 8, 4) / 65536.0L;
    r.boundary = r.boundary || std::fabs(distance - 1.0L) < 4e-6L;
    r.sound = hold >= 0 && hold <= roundTrip + tick && distance <= 1.0L;
    r.serverAtArrival = unixSeconds(transmit, ntpEraPivotSeconds()) + delay / 2;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 11)
        return 0;
    const bool originateSent = data[0] & 1;
    const std::uint64_t sent = bigEndian(data + 1, 8);
    const qint64 roundTripMs = qint64(bigEndian(data + 9, 2));
    std::vector<std::uint8_t> datagram(data + 11, data + size);
    if (originateSent && datagram.size() >= 32)
        for (int i = 0; i < 8; ++i)
            datagram[24 + i] = std::uint8_t(sent >> (56 - 8 * i));

    const QByteArrayView bytes(reinterpret_cast<const char *>(datagram.data()),
                               qsizetype(datagram.size()));
    const NtpReading reading =
        readNtpReply(bytes, sent, SentMs, SentMs + roundTripMs, ntpEraPivotSeconds());
    const Rules expected = rules(datagram.data(), datagram.size(), sent, roundTripMs);
    const bool taken = reading.refusal == NtpRefusal::None;

    // Never a time that breaks a rule; every sound reply taken (but on a boundary).
    if (!expected.boundary)
        HORALIS_REQUIRE(taken == expected.sound);
    // A refusal is said in words.
    HORALIS_REQUIRE(!ntpRefusalText(reading).isEmpty());
    if (!taken)
        return 0;
    HORALIS_REQUIRE(reading.instant.bootMs == SentMs + roundTripMs);
    // The server's clock at arrival, to the nearest millisecond, a half rounded up.
    const long double errorMs =
        (long double)reading.instant.utcMs - expected.serverAtArrival * 1000.0L;
    HORALIS_REQUIRE(errorMs > -0.5L - 1e-6L && errorMs <= 0.5L + 1e-6L);
    HORALIS_REQUIRE(reading.offsetMs() == reading.instant.utcMs - reading.instant.bootMs);
    return 0;
}
