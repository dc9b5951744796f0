#pragma once
// A far network path made in user space: the packets that leave one TUN device are
// written into the other after a delay, each direction with its own delay and jitter,
// and chosen SYN segments from the client are lost on the way.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace horalis::bench {

// One direction of the path: each packet is held delayMs plus a jitter drawn uniformly
// from [-jitterMs, +jitterMs], and never overtakes the packet before it.
struct PathDirection {
    double delayMs = 0;
    double jitterMs = 0;
};

// What the line did since the trial began.
struct LineCounts {
    int connections = 0;       // connections the client opened (SYNs from new ports)
    int synsLost = 0;          // SYN segments the line dropped as asked
    int notIpv4 = 0;           // packets dropped because they were not IPv4
    int writeFailures = 0;     // packets the other device did not take
    double heldMinMs[2] = {0}; // shortest and longest hold, client→server [0] and back [1]
    double heldMaxMs[2] = {0};
    double latestMs = 0;    // the most a packet left after its moment
    double lateTotalMs = 0; // how late they left, added up
    int forwarded[2] = {0};
};

class DelayLine {
public:
    // Forwards between the two TUN devices (IFF_TUN | IFF_NO_PI, non-blocking) until
    // destroyed. It does not own the descriptors.
    DelayLine(int clientFd, int serverFd);
    ~DelayLine();
    DelayLine(const DelayLine &) = delete;
    DelayLine &operator=(const DelayLine &) = delete;

    void setPath(PathDirection out, PathDirection back);
    // Counts connections and what was done afresh; the first SYN of the client's
    // loseFirstSynOf-th connection from now on is lost (0: none). The kernel resends
    // a lost SYN from the same port, and those resent get through.
    void startTrial(int loseFirstSynOf);
    LineCounts counts() const;
    // Waits, at most maxMs, until no packet is held; whether none is.
    bool drain(int maxMs) const;
    // The line stopped forwarding: a device failed under it.
    bool failed() const { return m_failed; }

private:
    struct Held {
        int64_t arrivedNs;
        int64_t dueNs;
        std::vector<uint8_t> packet;
    };
    void run();
    void receive(int direction, std::vector<uint8_t> packet, int64_t nowNs);
    // Writes what is due; the time until the next packet is, or -1 when none is held.
    int64_t sendDue(int64_t nowNs);
    // A TCP SYN (without ACK) over IPv4 from the client: its source port, else -1.
    static int synSourcePort(const std::vector<uint8_t> &packet);

    int m_fd[2];  // [0] the client's device, [1] the server's
    int m_stopFd; // an eventfd that ends the thread
    mutable std::mutex m_mutex;
    PathDirection m_direction[2];
    std::deque<Held> m_held[2];
    std::vector<int> m_ports; // the source port of each connection of this trial
    int m_loseFirstSynOf = 0;
    LineCounts m_counts;
    std::mt19937_64 m_random;
    std::atomic<bool> m_failed = false;
    std::thread m_thread;
};

} // namespace horalis::bench
