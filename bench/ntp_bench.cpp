// NTP accuracy over a far path: the real NtpClient in a network namespace of its own, a
// fake NTP server in another, the delay line between them (root and iproute2's `ip`;
// elsewhere it says why it is skipped). Per trial the server gets a new clock, a random
// fraction of a second away from this computer's boot clock, and the error is the
// instant the client found less the server's clock at that boot reading. Baseline, in
// the same trial over the same path: one plain request, its transmit stamp taken as the
// time it arrived.
//
// Usage: ntp_bench [trials]   (default 8)
#include "delayline.h"
#include "namespacepair.h"
#include "ntpclient.h"
#include "ntpfake.h"
#include "stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QThread>
#include <QUdpSocket>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>

using namespace horalis;
using namespace horalis::bench;
using namespace horalis::test;

namespace {

constexpr qint64 ServerEpochMs = 1'796'600'000'000; // server clocks near 2026-12

struct Case {
    const char *name;
    PathDirection out;  // client to server
    PathDirection back; // server to client
    bool loseFirst;     // the server never sees the fetch's first request
    double goalMs;      // the median |e| allowed
};

// 300 ms +-30 ms: each way 150 ms with +-15 ms of jitter. The asymmetric path's error
// is half its asymmetry, 50 ms; 10 ms more are allowed.
constexpr Case Cases[] = {
    {"300+-30 ms", {150, 15}, {150, 15}, false, 10},
    {"300+-30 ms, 1st request lost", {150, 15}, {150, 15}, true, 10},
    {"50 ms out / 150 ms back", {50, 0}, {150, 0}, false, 60},
};

qint64 bootMs()
{
    return bootNs() / 1'000'000;
}

// The fake server on its own thread in the server's namespace, as a real one would be
// on another machine; it drops a request when told to, as the path might.
class ServerThread : public QThread {
public:
    explicit ServerThread(const NamespacePair &pair) : m_pair(pair)
    {
        start();
        m_ready.acquire();
    }
    ~ServerThread() override
    {
        quit();
        wait();
    }
    // A new clock for the server, a random fraction of a second away from this computer's.
    void newClock()
    {
        m_server->offsetMs =
            ServerEpochMs - bootMs() / 1000 * 1000 + QRandomGenerator::global()->bounded(1000);
    }
    qint64 offsetMs() const { return m_server->offsetMs; }
    std::atomic<bool> loseNext = false;
    std::atomic<int> lost = 0;
    quint16 port = 0;

protected:
    void run() override
    {
        if (!m_pair.enterServer()) {
            m_ready.release();
            return;
        }
        NtpServer server;
        server.answer = [this](int, const NtpFields &f) {
            if (loseNext.exchange(false)) {
                ++lost;
                return QList<NtpServer::Reply>{};
            }
            return QList<NtpServer::Reply>{{f}};
        };
        m_server = &server;
        if (server.listen(QHostAddress(QString::fromLatin1(NamespacePair::ServerAddress))))
            port = server.port();
        m_ready.release();
        if (port)
            exec();
    }

private:
    const NamespacePair &m_pair;
    NtpServer *m_server = nullptr; // set before the thread says it is ready
    QSemaphore m_ready;
};

struct Row {
    QList<double> errors; // the client's
    QList<double> asItIs; // the baseline's
    QList<double> fetchS; // how long each fetch took
    int failed = 0;
    int baselineFailed = 0;
};

// One plain request; its transmit stamp less the server's clock when it arrived.
std::optional<double> stampAsItIs(const ServerThread &server)
{
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, 0);
    const NtpTimestamp bits = randomTransmitBits();
    socket.writeDatagram(ntpRequest(bits),
                         QHostAddress(QString::fromLatin1(NamespacePair::ServerAddress)),
                         server.port);
    if (!socket.waitForReadyRead(5000))
        return std::nullopt;
    const qint64 arrivedNs = bootNs();
    const QByteArray reply = socket.receiveDatagram().data();
    const std::optional<NtpHeader> header = readNtpHeader(reply);
    if (!header || header->originate != bits)
        return std::nullopt;
    const qint64 seconds = ntpUnixSeconds(quint32(header->transmit >> 32), ntpEraPivotSeconds());
    const double stampMs = seconds * 1000.0 + double(header->transmit & 0xffffffffu) / 4294967.296;
    return stampMs - (arrivedNs / 1e6 + double(server.offsetMs()));
}

void trial(const Case &c, ServerThread &server, NtpClient &client, Row &row)
{
    server.newClock();
    server.loseNext = c.loseFirst;
    QElapsedTimer elapsed;
    elapsed.start();
    const std::optional<NtpSample> sample = client.fetch();
    row.fetchS << elapsed.nsecsElapsed() / 1e9;
    if (sample)
        row.errors << double(sample->instant.utcMs - (sample->instant.bootMs + server.offsetMs()));
    else
        ++row.failed;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    server.loseNext = false;
    if (const std::optional<double> error = stampAsItIs(server))
        row.asItIs << *error;
    else
        ++row.baselineFailed;
}

bool runCases(const NamespacePair &pair, DelayLine &line, ServerThread &server, int trials)
{
    if (!pair.enterClient()) {
        std::printf("ntp far path: cannot join the client's namespace\n");
        return false;
    }
    NtpServers servers;
    servers.hosts = {QString::fromLatin1(NamespacePair::ServerAddress)};
    servers.port = server.port;
    servers.spacingMs = 0; // this server takes any spacing; the trials follow each other
    NtpClient client(servers, bootMs);
    std::printf("%-30s %7s %7s %8s %7s %11s %11s %8s %7s\n", "ntp far path: case", "fetched",
                "med|e|", "worst|e|", "mean e", "as-is med|e|", "as-is mean", "goal", "fetch s");
    bool met = true;
    for (const Case &c : Cases) {
        line.drain(2000);
        line.setPath(c.out, c.back);
        line.startTrial(0);
        Row row;
        const int lostBefore = server.lost;
        for (int t = 0; t < trials; ++t)
            trial(c, server, client, row);
        const bool caseMet = row.failed == 0 && median(absolute(row.errors)) <= c.goalMs &&
                             (!c.loseFirst || server.lost - lostBefore == trials);
        met = met && caseMet && !line.failed();
        std::printf("%-30s %4d/%-2d %7.1f %8.1f %7.1f %11.1f %11.1f %5.0f %s %7.2f\n", c.name,
                    int(row.errors.size()), trials, median(absolute(row.errors)),
                    worstAbs(row.errors), mean(row.errors), median(absolute(row.asItIs)),
                    mean(row.asItIs), c.goalMs, caseMet ? "met" : "MISSED", median(row.fetchS));
        const LineCounts counts = line.counts();
        std::printf("%-30s   line: held out %.1f-%.1f ms, back %.1f-%.1f ms; requests lost "
                    "%d; baseline failures %d\n",
                    "", counts.heldMinMs[0], counts.heldMaxMs[0], counts.heldMinMs[1],
                    counts.heldMaxMs[1], server.lost - lostBefore, row.baselineFailed);
        std::fflush(stdout);
    }
    return met;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int trials = argc > 1 ? std::max(3, atoi(argv[1])) : 8;
    std::unique_ptr<NamespacePair> pair;
    try {
        pair = std::make_unique<NamespacePair>();
    } catch (const std::exception &error) {
        std::printf("ntp far path: skipped (%s)\n", error.what());
        return 0;
    }
    DelayLine line(pair->clientTun(), pair->serverTun());
    ServerThread server(*pair);
    if (!server.port) {
        std::printf("ntp far path: the server cannot listen in its namespace\n");
        return 1;
    }
    std::printf("ntp far path: %d trials per case; client and server in network namespaces of "
                "their own, joined by a delay line; errors in ms\n",
                trials);
    bool met = false;
    std::unique_ptr<QThread> client(
        QThread::create([&] { met = runCases(*pair, line, server, trials); }));
    client->start();
    client->wait();
    std::printf("ntp goals: %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
