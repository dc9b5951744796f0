// The Daytime client against servers the test runs on loopback, and the arithmetic
// that times its second query.
#include "daytimeclient.h"
#include "daytimeserver.h"
#include "offsetestimate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace horalis;
using namespace horalis::test;

namespace {

// An address that neither accepts nor refuses: a listening socket whose queue is
// full drops every new connection request, as a host behind a silent firewall does.
class BlackHole {
public:
    bool open(const char *address, quint16 port)
    {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        inet_pton(AF_INET, address, &where.sin_addr);
        const auto *any = reinterpret_cast<const sockaddr *>(&where);
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        m_filler = socket(AF_INET, SOCK_STREAM, 0);
        return bind(m_listener, any, sizeof where) == 0 && listen(m_listener, 0) == 0 &&
               ::connect(m_filler, any, sizeof where) == 0;
    }
    ~BlackHole()
    {
        for (int fd : {m_filler, m_listener}) {
            if (fd >= 0)
                close(fd);
        }
    }

private:
    int m_listener = -1;
    int m_filler = -1;
};

// A free port on every one of the addresses.
quint16 freePort(const QList<QHostAddress> &addresses)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(addresses.front()))
            break;
        const quint16 port = probe.serverPort();
        probe.close();
        const bool freeEverywhere = std::all_of(addresses.begin(), addresses.end(), [port](auto a) {
            QTcpServer other;
            return other.listen(a, port);
        });
        if (freeEverywhere)
            return port;
    }
    qFatal("no free port on the loopback addresses");
}

const QHostAddress Primary(QStringLiteral("127.0.0.2"));
const QHostAddress Secondary(QStringLiteral("127.0.0.3"));

} // namespace

class TestDaytimeClient : public QObject {
    Q_OBJECT

private slots:
    void splitting_data();
    void splitting();
    void accuracy_data();
    void accuracy();
    void deadAddressDoesNotUseUpTheBound();
    void secondarySpacingHoldsAcrossFetches();
    void unreadableSecondReply();
};

void TestDaytimeClient::splitting_data()
{
    QTest::addColumn<qint64>("leadMs");  // connect start to the server reading its clock
    QTest::addColumn<qint64>("firstMs"); // boot time the first reply was read at

    QTest::newRow("loopback") << qint64(0) << qint64(1'000'000);
    QTest::newRow("far server") << qint64(180) << qint64(1'000'000);
    QTest::newRow("lead over a second") << qint64(1300) << qint64(1'000'123);
    QTest::newRow("boot clock near zero") << qint64(40) << qint64(7);
}

void TestDaytimeClient::splitting()
{
    QFETCH(qint64, leadMs);
    QFETCH(qint64, firstMs);

    // Every offset of a server clock, a millisecond apart over a whole second, and on
    // both sides of the boot clock: two stamps timed this way leave it within a
    // quarter of a second.
    const qint64 base = 1'796'600'000'000 - 1'000'000; // a server near 2026-12 in UTC
    for (qint64 fraction = 0; fraction < 1000; ++fraction) {
        for (const qint64 offset : {base + fraction, -5'000 - fraction}) {
            const auto stampAt = [offset](qint64 boot) {
                return floorToSecond(boot + offset);
            };
            const OffsetRange first = OffsetRange::fromStamp(stampAt(firstMs), firstMs);
            QVERIFY(first.lowMs <= offset && offset < first.highMs);

            const qint64 earliest = firstMs + 5;
            const qint64 start = splittingConnectMs(first, leadMs, earliest);
            QVERIFY2(start >= earliest && start < earliest + 1000,
                     qPrintable(QString::number(start)));
            const qint64 sampled = start + leadMs;
            const OffsetRange second = OffsetRange::fromStamp(stampAt(sampled), sampled);
            const qint64 error = estimateOffsetMs(first, second) - offset;
            QVERIFY2(qAbs(error) <= 250,
                     qPrintable(QStringLiteral("offset %1: error %2 ms").arg(offset).arg(error)));
        }
    }
}

void TestDaytimeClient::accuracy_data()
{
    QTest::addColumn<bool>("nist");
    QTest::addColumn<qint64>("fractionMs"); // of the server clock ahead of a whole second
    QTest::addColumn<int>("advanceMs");     // NIST's early sending

    for (const qint64 fraction : {0, 1, 250, 499, 500, 750, 999})
        QTest::addRow("primary, +%lld ms", fraction) << false << fraction << 0;
    for (const qint64 fraction : {3, 620})
        for (const int advance : {0, 50})
            QTest::addRow("NIST, +%lld ms, %d ms early", fraction, advance)
                << true << fraction << advance;
}

void TestDaytimeClient::accuracy()
{
    QFETCH(bool, nist);
    QFETCH(qint64, fractionMs);
    QFETCH(int, advanceMs);

    // The server's clock is some whole seconds and a fraction ahead of the boot clock;
    // what is found must be within a quarter second of it.
    const qint64 offset = floorToSecond(1'796'600'000'000 - machineBootMs()) + fractionMs;
    DaytimeServer server(DaytimeServer::Answers);
    server.replyNow = [=] {
        return nist ? nistStampNow(offset, advanceMs) : primaryStampNow(offset);
    };
    QVERIFY(server.listen(nist ? Secondary : Primary));

    DaytimeServers servers;
    servers.primaryHost = nist ? QStringLiteral("127.0.0.9") : Primary.toString();
    servers.secondaryHost = Secondary.toString();
    servers.port = server.port();
    servers.secondarySpacingMs = 300;
    DaytimeClient client(servers, machineBootMs);
    const FetchResult result = client.GetNetworkTime();

    QCOMPARE(result.status, FetchResult::Fetched);
    QCOMPARE(server.connections(), 2);
    // The split leaves at most 250 ms (bench/fetch measures that); the rest allows for
    // a loaded machine's scheduling, far below what a fault costs (500 ms and more).
    const qint64 error = result.time.instant.utcMs - (result.time.instant.bootMs + offset);
    QVERIFY2(qAbs(error) <= 300, qPrintable(QStringLiteral("error %1 ms").arg(error)));
}

void TestDaytimeClient::deadAddressDoesNotUseUpTheBound()
{
    const QHostAddress dead(QStringLiteral("127.0.0.4")), live(QStringLiteral("127.0.0.5"));
    const quint16 port = freePort({dead, live});
    BlackHole hole;
    QVERIFY(hole.open("127.0.0.4", port));
    DaytimeServer server(DaytimeServer::Answers);
    server.replyNow = [] {
        return primaryStampNow(1'796'600'000'000 - machineBootMs());
    };
    QVERIFY(server.listen(live, port));

    DaytimeServers servers;
    servers.primaryHost = QStringLiteral("time.test");
    servers.secondaryHost = QStringLiteral("127.0.0.9");
    servers.port = port;
    servers.addresses.insert(servers.primaryHost, {dead, live});
    DaytimeClient client(servers, machineBootMs);
    QElapsedTimer elapsed;
    elapsed.start();
    const FetchResult result = client.GetNetworkTime();

    QCOMPARE(result.status, FetchResult::Fetched);
    // The first query waits one head start for the dead address; the second goes
    // straight to the address that answered, within a second.
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(server.connections(), 2);
}

void TestDaytimeClient::secondarySpacingHoldsAcrossFetches()
{
    // A server that refuses a client connecting again within its spacing, and is
    // silent once in a while: nothing is ever refused, however the fetches go.
    constexpr int Spacing = 1000;
    DaytimeServer server(DaytimeServer::RateLimited);
    server.spacingMs = Spacing;
    server.replyNow = [] {
        return nistStampNow(1'796'600'000'000 - machineBootMs(), 0);
    };
    QVERIFY(server.listen(Secondary));

    DaytimeServers servers;
    servers.primaryHost = QStringLiteral("127.0.0.9"); // nobody listens there
    servers.secondaryHost = Secondary.toString();
    servers.port = server.port();
    servers.secondarySpacingMs = Spacing;
    DaytimeClient client(servers, machineBootMs);
    QCOMPARE(client.GetNetworkTime().status, FetchResult::Fetched);
    QCOMPARE(client.GetNetworkTime().status, FetchResult::Fetched);

    QCOMPARE(server.refused(), 0);
    QCOMPARE(server.connections(), 4);
    for (qsizetype i = 1; i < server.acceptedMs.size(); ++i)
        QVERIFY(server.acceptedMs[i] - server.acceptedMs[i - 1] >= Spacing);
}

void TestDaytimeClient::unreadableSecondReply()
{
    // A primary that gave a time and then something else is reported, not passed over:
    // the user learns the server misbehaves, and nothing is stored.
    DaytimeServer server(DaytimeServer::Answers);
    int replies = 0;
    server.replyNow = [&replies] {
        return ++replies == 1 ? primaryStampNow(1'796'600'000'000 - machineBootMs())
                              : QByteArray("\x01garbage\r\n");
    };
    QVERIFY(server.listen(Primary));
    DaytimeServers servers;
    servers.primaryHost = Primary.toString();
    servers.secondaryHost = QStringLiteral("127.0.0.9");
    servers.port = server.port();
    DaytimeClient client(servers, machineBootMs);
    const FetchResult result = client.GetNetworkTime();

    QCOMPARE(result.status, FetchResult::Unreadable);
    QCOMPARE(result.message, QStringLiteral("无法识别网络标准时间服务器127.0.0.2的回复：“?garbage”"
                                            "不是“年-月-日 时:分:秒”格式的北京时间。"));
}

QTEST_GUILESS_MAIN(TestDaytimeClient)
#include "tst_daytimeclient.moc"
