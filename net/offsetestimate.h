#pragma once

#include <QtGlobal>

#include <optional>

namespace horalis {

// The timings of one Daytime query on the boot clock, in milliseconds.
struct QueryTiming {
    qint64 connectStartMs = 0; // the connection was started
    qint64 connectedMs = 0;    // it was established
    qint64 firstDataMs = 0;    // the reply's first bytes arrived

    // One round trip to the server, taken from a trip that holds no retransmission.
    // Starting to connected is one round trip plus a second for each lost SYN (the
    // kernel resends after 1 s, then 3 s). Connected to the first data is one round
    // trip too (our last handshake segment out, the server's reply back) plus however
    // long the server takes to answer, and no SYN is ever resent in it. Each trip is
    // lengthened by its own mishap, so the shorter of the two is the round trip.
    qint64 roundTripMs() const
    {
        return qMax<qint64>(0, qMin(connectedMs - connectStartMs, firstDataMs - connectedMs));
    }
    // When the server read its clock: the reply took half a round trip to come back.
    qint64 sampledMs() const { return firstDataMs - roundTripMs() / 2; }
    // From starting a connection that loses nothing to the server reading its clock:
    // the handshake's round trip, then what this query took from connected to the
    // server's reading. A SYN this query lost is not expected of the next.
    qint64 leadMs() const { return roundTripMs() + (sampledMs() - connectedMs); }
};

// The server's clock less the boot clock, as far as the replies tell: a value in
// [lowMs, highMs).
struct OffsetRange {
    qint64 lowMs = 0;
    qint64 highMs = 0;

    // A whole-second stamp is the server's clock floored: when it read stampUtcMs the
    // clock was anywhere in the second that follows.
    static OffsetRange fromStamp(qint64 stampUtcMs, qint64 sampledBootMs)
    {
        return {stampUtcMs - sampledBootMs, stampUtcMs + 1000 - sampledBootMs};
    }
    bool isEmpty() const { return highMs <= lowMs; }
    qint64 middleMs() const { return lowMs + (highMs - lowMs) / 2; }
    OffsetRange intersected(const OffsetRange &other) const;
};

// When to start the next connection, on the boot clock and not before earliestMs, so
// that the server reads its clock just as one of its seconds would begin were the
// offset the middle of the range: whether its stamp names that second or the one
// before then tells which half of the range holds the offset. leadMs is the time
// from starting a connection to the server reading its clock.
qint64 splittingConnectMs(const OffsetRange &range, qint64 leadMs, qint64 earliestMs);

// When a query's connection starts, on the boot clock: not before earliestMs and, for
// a second query, at the moment that splits the second the first reply left open (a
// server clock within splitRange, read leadMs after the start).
struct ConnectSchedule {
    qint64 earliestMs = 0;
    std::optional<OffsetRange> splitRange;
    qint64 leadMs = 0;

    static ConnectSchedule notBefore(qint64 earliestMs) { return {earliestMs, std::nullopt, 0}; }
    // The moment to connect, worked out at nowMs.
    qint64 dueFrom(qint64 nowMs) const;
};

// The offset to use after two queries: the middle of what both ranges allow or, when
// they do not overlap (a server clock stepped in between, a trip far from symmetric),
// the middle of the newer one.
qint64 estimateOffsetMs(const OffsetRange &older, const OffsetRange &newer);

} // namespace horalis
