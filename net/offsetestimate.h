#pragma once

#include <QtGlobal>

namespace horalis {

// The timings of one Daytime query on the boot clock, in milliseconds.
struct QueryTiming {
    qint64 connectStartMs = 0; // the connection was started
    qint64 connectedMs = 0;    // it was established: one round trip later
    qint64 firstDataMs = 0;    // the reply's first bytes arrived

    // When the server read its clock. It answers as the connection opens at its end,
    // half a round trip after it opened at ours, and the answer takes half a round
    // trip back: half the round trip is taken off the arrival.
    qint64 sampledMs() const { return firstDataMs - (connectedMs - connectStartMs) / 2; }
    // From starting a connection to the server reading its clock.
    qint64 leadMs() const { return sampledMs() - connectStartMs; }
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

// The offset to use after two queries: the middle of what both ranges allow or, when
// they do not overlap (a server clock stepped in between, a trip far from symmetric),
// the middle of the newer one.
qint64 estimateOffsetMs(const OffsetRange &older, const OffsetRange &newer);

} // namespace horalis
