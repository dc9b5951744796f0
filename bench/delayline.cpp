#include "delayline.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <exception>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace horalis::bench {

namespace {

constexpr int ToServer = 0;
constexpr int ToClient = 1;
constexpr size_t MaxPacket = 65536;

int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t msToNs(double ms)
{
    return int64_t(ms * 1e6);
}

} // namespace

DelayLine::DelayLine(int clientFd, int serverFd)
    : m_fd{clientFd, serverFd}, m_stopFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_random(std::random_device{}())
{
    if (m_stopFd < 0)
        throw std::runtime_error("eventfd failed");
    m_thread = std::thread([this] { run(); });
}

DelayLine::~DelayLine()
{
    const uint64_t one = 1;
    if (write(m_stopFd, &one, sizeof one) != sizeof one)
        std::terminate(); // the thread could not be told to end; joining would hang
    m_thread.join();
    close(m_stopFd);
}

void DelayLine::setPath(PathDirection out, PathDirection back)
{
    const std::lock_guard lock(m_mutex);
    m_direction[ToServer] = out;
    m_direction[ToClient] = back;
}

void DelayLine::startTrial(int loseFirstSynOf)
{
    const std::lock_guard lock(m_mutex);
    m_ports.clear();
    m_loseFirstSynOf = loseFirstSynOf;
    m_counts = {};
}

LineCounts DelayLine::counts() const
{
    const std::lock_guard lock(m_mutex);
    return m_counts;
}

bool DelayLine::drain(int maxMs) const
{
    const int64_t deadline = monotonicNs() + msToNs(maxMs);
    for (;;) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_held[ToServer].empty() && m_held[ToClient].empty())
                return true;
        }
        if (monotonicNs() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int DelayLine::synSourcePort(const std::vector<uint8_t> &packet)
{
    if (packet.size() < 20 || packet[0] >> 4 != 4 || packet[9] != 6 /* TCP */)
        return -1;
    const size_t headerBytes = size_t(packet[0] & 0x0f) * 4;
    const bool firstFragment = ((packet[6] & 0x1f) | packet[7]) == 0;
    if (!firstFragment || packet.size() < headerBytes + 14)
        return -1;
    const uint8_t flags = packet[headerBytes + 13];
    constexpr uint8_t Syn = 0x02, Ack = 0x10;
    if ((flags & (Syn | Ack)) != Syn)
        return -1;
    return packet[headerBytes] << 8 | packet[headerBytes + 1];
}

void DelayLine::receive(int direction, std::vector<uint8_t> packet, int64_t nowNs)
{
    const std::lock_guard lock(m_mutex);
    // Only IPv4 is routed between the two namespaces; anything else (IPv6 neighbour
    // discovery on the devices) would only disturb the timing.
    if (packet.empty() || packet[0] >> 4 != 4) {
        ++m_counts.notIpv4;
        return;
    }
    if (direction == ToServer) {
        if (const int port = synSourcePort(packet); port >= 0) {
            const auto known = std::find(m_ports.begin(), m_ports.end(), port);
            if (known == m_ports.end()) {
                m_ports.push_back(port);
                m_counts.connections = int(m_ports.size());
                if (m_counts.connections == m_loseFirstSynOf) {
                    ++m_counts.synsLost;
                    return;
                }
            }
        }
    }
    const PathDirection &path = m_direction[direction];
    std::uniform_real_distribution<double> jitter(-path.jitterMs, path.jitterMs);
    int64_t due = nowNs + msToNs(path.delayMs + (path.jitterMs > 0 ? jitter(m_random) : 0));
    // Packets of one direction keep their order, as on most real paths.
    if (!m_held[direction].empty())
        due = std::max(due, m_held[direction].back().dueNs);
    m_held[direction].push_back({nowNs, due, std::move(packet)});
}

int64_t DelayLine::sendDue(int64_t nowNs)
{
    const std::lock_guard lock(m_mutex);
    int64_t next = -1;
    for (int direction : {ToServer, ToClient}) {
        std::deque<Held> &held = m_held[direction];
        while (!held.empty() && held.front().dueNs <= nowNs) {
            const Held &packet = held.front();
            const int to = m_fd[direction == ToServer ? 1 : 0];
            if (write(to, packet.packet.data(), packet.packet.size()) < 0)
                ++m_counts.writeFailures;
            const double heldMs = (nowNs - packet.arrivedNs) / 1e6;
            const int n = m_counts.forwarded[direction]++;
            m_counts.heldMinMs[direction] =
                n == 0 ? heldMs : std::min(m_counts.heldMinMs[direction], heldMs);
            m_counts.heldMaxMs[direction] = std::max(m_counts.heldMaxMs[direction], heldMs);
            const double lateMs = (nowNs - packet.dueNs) / 1e6;
            m_counts.latestMs = std::max(m_counts.latestMs, lateMs);
            m_counts.lateTotalMs += lateMs;
            held.pop_front();
        }
        if (!held.empty()) {
            const int64_t wait = held.front().dueNs - nowNs;
            next = next < 0 ? wait : std::min(next, wait);
        }
    }
    return next;
}

void DelayLine::run()
{
    std::vector<uint8_t> buffer(MaxPacket);
    int64_t waitNs = -1;
    for (;;) {
        pollfd fds[3] = {{m_fd[0], POLLIN, 0}, {m_fd[1], POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        timespec timeout{waitNs / 1'000'000'000, waitNs % 1'000'000'000};
        const int ready = ppoll(fds, 3, waitNs < 0 ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && fds[2].revents)
            return;
        const int64_t now = monotonicNs();
        for (int direction : {ToServer, ToClient}) {
            const short events = ready > 0 ? fds[direction].revents : 0;
            if (events & (POLLERR | POLLHUP | POLLNVAL)) {
                m_failed = true;
                return;
            }
            if (!(events & POLLIN))
                continue;
            ssize_t size;
            while ((size = read(m_fd[direction], buffer.data(), buffer.size())) > 0)
                receive(direction, {buffer.begin(), buffer.begin() + size}, now);
        }
        waitNs = sendDue(monotonicNs());
    }
    m_failed = true;
}

} // namespace horalis::bench
