// The Daytime client and the fetch that orders the sources, against servers the test
// runs on loopback; the arithmetic that times the second query; the trace's wording
// of how far the system clock is off.
#include "daytimeclient.h"
#include "daytimeserver.h"
#include "networktimefetch.h"
#include "offsetestimate.h"
#include "tracerecorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostInfo>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <memory>
#include <stop_token>
#include <utility>

using namespace horalis;
using namespace horalis::test;

namespace {

// An address that neither accepts nor refuses: a listening socket whose queue is
// full drops every new connection request, as a host behind a silent firewall does
// or a path that loses packets. The kernel resends a dropped SYN after 1 s and 3 s.
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
    // Takes the queued connection off, so that the next SYN gets through, and hands the
    // listening socket over.
    int release()
    {
        close(::accept(m_listener, nullptr, nullptr));
        return std::exchange(m_listener, -1);
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

// A test's servers when only the primary is asked: nobody listens for the secondary.
DaytimeServers primaryOnly(quint16 port)
{
    DaytimeServers servers;
    servers.primaryHost = Primary.toString();
    servers.secondaryHost = QStringLiteral("127.0.0.9");
    servers.port = port;
    return servers;
}

// The system clock the fetch compares with what it found, in its trace.
qint64 systemMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The servers a fetch asks: these Daytime servers, and no other source.
TimeServers onlyDaytime(const DaytimeServers &daytime)
{
    TimeServers servers;
    servers.daytime = daytime;
    return servers;
}

constexpr int Refuses = -1; // no server listens: the connection is refused
const QByteArray PrimaryReply = "2026-12-07 15:39:29\r\n";
const QByteArray NistReply = "\n61381 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n";

// Starts a server on the address at the port unless it refuses; null when it refuses.
std::unique_ptr<DaytimeServer> serve(int behaviour, const QByteArray &reply,
                                     const QHostAddress &address, quint16 port)
{
    if (behaviour == Refuses)
        return nullptr;
    auto server = std::make_unique<DaytimeServer>(DaytimeServer::Behaviour(behaviour), reply);
    if (!server->listen(address, port))
        qFatal("cannot listen on %s", qPrintable(address.toString()));
    return server;
}

// The primary and the secondary on their loopback addresses, sharing a port.
DaytimeServers loopbackServers(quint16 port)
{
    DaytimeServers servers;
    servers.primaryHost = Primary.toString();
    servers.secondaryHost = Secondary.toString();
    servers.port = port;
    servers.queryTimeoutMs = 1000;
    servers.secondarySpacingMs = 200;
    return servers;
}

} // namespace

class TestDaytimeClient : public QObject {
    Q_OBJECT

private slots:
    void timing_data();
    void timing();
    void splitting_data();
    void splitting();
    void accuracy_data();
    void accuracy();
    void deadAddressDoesNotUseUpTheBound();
    void secondarySpacingHoldsAcrossFetches();
    void secondarySpacingAfterLostSyns();
    void splitWorkedOutAgainAfterAHold_data();
    void splitWorkedOutAgainAfterAHold();
    void unreadableSecondReply();
    void layouts_data();
    void layouts();
    void primaryNotHeldByNistSpacing();
    void order_data();
    void order();
    void builtInServers();
    void clockDifference_data();
    void clockDifference();
};

void TestDaytimeClient::timing_data()
{
    QTest::addColumn<qint64>("outMs");  // one way to the server
    QTest::addColumn<qint64>("backMs"); // and back
    QTest::addColumn<qint64>("lostMs"); // before the SYN that got through: 1 s per lost SYN
    QTest::addColumn<qint64>("slowMs"); // the server takes this long to answer

    QTest::newRow("300 ms path") << 150LL << 150LL << 0LL << 0LL;
    QTest::newRow("one SYN lost") << 150LL << 150LL << 1000LL << 0LL;
    QTest::newRow("two SYNs lost") << 150LL << 150LL << 3000LL << 0LL;
    QTest::newRow("slow server") << 150LL << 150LL << 0LL << 400LL;
    QTest::newRow("SYN lost, slow server") << 150LL << 150LL << 1000LL << 400LL;
    QTest::newRow("50 ms out, 150 ms back") << 50LL << 150LL << 0LL << 0LL;
    QTest::newRow("loopback") << 0LL << 0LL << 0LL << 0LL;
}

void TestDaytimeClient::timing()
{
    QFETCH(qint64, outMs);
    QFETCH(qint64, backMs);
    QFETCH(qint64, lostMs);
    QFETCH(qint64, slowMs);

    // The path as the client lives it: the server reads its clock once our last
    // handshake segment reaches it and it has taken its time.
    QueryTiming timing;
    timing.connectStartMs = 10'000;
    timing.connectedMs = timing.connectStartMs + lostMs + outMs + backMs;
    const qint64 readMs = timing.connectedMs + outMs + slowMs;
    timing.firstDataMs = readMs + backMs;
    // What no client can see: half the asymmetry, and half a slow answer taken for
    // the way back when the handshake's round trip is lost to a resent SYN.
    const qint64 unseen = qAbs(outMs - backMs) / 2 + (lostMs > 0 ? slowMs / 2 : 0);
    QVERIFY2(qAbs(timing.sampledMs() - readMs) <= unseen,
             qPrintable(QString::number(timing.sampledMs() - readMs)));
    // A next connection that loses nothing has the server read its clock this long
    // after it starts.
    const qint64 lead = outMs + backMs + outMs + slowMs;
    QVERIFY2(qAbs(timing.leadMs() - lead) <= unseen,
             qPrintable(QString::number(timing.leadMs() - lead)));
}

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
    NetworkTimeFetch client(onlyDaytime(servers), machineBootMs, systemMs);
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
    NetworkTimeFetch client(onlyDaytime(servers), machineBootMs, systemMs);
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
    NetworkTimeFetch client(onlyDaytime(servers), machineBootMs, systemMs);
    const TraceRecorder recorder;
    QCOMPARE(client.GetNetworkTime().status, FetchResult::Fetched);
    QCOMPARE(client.GetNetworkTime().status, FetchResult::Fetched);
    // The second fetch's first query waits for NIST's spacing alone, and says so.
    const QRegularExpression spacedOnly(
        QStringLiteral("^horalis.net: waiting [1-9]\\d* ms to connect, by NIST's 4-second rule$"));
    QVERIFY2(!recorder.lines().filter(spacedOnly).isEmpty(), recorder.dump());

    QCOMPARE(server.refused(), 0);
    QCOMPARE(server.connections(), 4);
    for (qsizetype i = 1; i < server.acceptedMs.size(); ++i)
        QVERIFY(server.acceptedMs[i] - server.acceptedMs[i - 1] >= Spacing);
}

void TestDaytimeClient::secondarySpacingAfterLostSyns()
{
    // The first query's first two SYNs are lost: the server sees it 3 s after it
    // started. The spacing runs from then, not from the start.
    constexpr int Spacing = 2000;
    const quint16 port = freePort({Secondary});
    BlackHole lossy;
    QVERIFY(lossy.open("127.0.0.3", port));
    DaytimeServer server(DaytimeServer::RateLimited);
    server.spacingMs = Spacing;
    server.replyNow = [] {
        return nistStampNow(1'796'600'000'000 - machineBootMs(), 0);
    };
    // Between the SYNs resent after 1 s and after 3 s, the path clears.
    QTimer::singleShot(1500, &server, [&] { QVERIFY(server.adopt(lossy.release())); });

    DaytimeServers servers;
    servers.primaryHost = QStringLiteral("127.0.0.9"); // nobody listens there
    servers.secondaryHost = Secondary.toString();
    servers.port = port;
    servers.secondarySpacingMs = Spacing;
    NetworkTimeFetch client(onlyDaytime(servers), machineBootMs, systemMs);
    const FetchResult result = client.GetNetworkTime();

    QCOMPARE(result.status, FetchResult::Fetched);
    QCOMPARE(server.refused(), 0);
    QCOMPARE(server.connections(), 2);
    QVERIFY(server.acceptedMs[1] - server.acceptedMs[0] >= Spacing);
}

void TestDaytimeClient::splitWorkedOutAgainAfterAHold_data()
{
    QTest::addColumn<bool>("everyWakeLate");

    // The server's clock reads .950 of a second as it answers the first query. 30 ms
    // later a dialog's event loop holds the fetch until 900 ms after that answer, past
    // the moment of the split (500 ms after it). Sent as soon as the hold ends, the
    // second query would learn nothing (error 400 ms); worked out again, it splits.
    QTest::newRow("held once") << false;
    // Each reading of the boot clock is 40 ms on from the last, as on a machine too
    // loaded to wake anything on time: every wait ends past its moment. The split is
    // worked out again twice, then sent.
    QTest::newRow("every wake-up late") << true;
}

void TestDaytimeClient::splitWorkedOutAgainAfterAHold()
{
    QFETCH(bool, everyWakeLate);

    qint64 offset = 0;
    qint64 lateMs = 0;       // how far the client's boot clock reads ahead
    qint64 firstReplyMs = 0; // on the client's boot clock
    DaytimeServer server(DaytimeServer::Answers);
    server.replyNow = [&, everyWakeLate] {
        if (offset == 0) {
            offset = 1'796'600'000'000 + 950 - machineBootMs();
            firstReplyMs = machineBootMs() + lateMs;
            if (!everyWakeLate) {
                QTimer::singleShot(30, &server, [] {
                    QEventLoop dialog;
                    QTimer::singleShot(870, &dialog, &QEventLoop::quit);
                    dialog.exec();
                });
            }
        }
        return primaryStampNow(offset);
    };
    QVERIFY(server.listen(Primary));
    NetworkTimeFetch client(
        onlyDaytime(primaryOnly(server.port())),
        [&lateMs, everyWakeLate] {
            lateMs += everyWakeLate ? 40 : 0;
            return machineBootMs() + lateMs;
        },
        systemMs);
    // A split worked out again for ever would never end the fetch: stopped here.
    std::stop_source giveUp;
    QObject watchdog;
    QTimer::singleShot(6000, &watchdog, [&giveUp] { giveUp.request_stop(); });
    const FetchResult result = client.GetNetworkTime(giveUp.get_token());

    QCOMPARE(result.status, FetchResult::Fetched);
    QCOMPARE(server.connections(), 2);
    if (everyWakeLate) {
        // Its moment within a second of the first reply, then two more a second apart
        // each, and sent at the third however late (one more try would be 3.8 s).
        const qint64 apartMs = result.time.instant.bootMs - firstReplyMs;
        QVERIFY2(apartMs > 2000 && apartMs < 3500, qPrintable(QString::number(apartMs)));
        return;
    }
    const qint64 error = result.time.instant.utcMs - (result.time.instant.bootMs + offset);
    QVERIFY2(qAbs(error) <= 300, qPrintable(QStringLiteral("error %1 ms").arg(error)));
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
    NetworkTimeFetch client(onlyDaytime(primaryOnly(server.port())), machineBootMs, systemMs);
    const FetchResult result = client.GetNetworkTime();

    QCOMPARE(result.status, FetchResult::Unreadable);
    QCOMPARE(result.message, QStringLiteral("无法识别网络标准时间服务器127.0.0.2的回复：“?garbage”"
                                            "不是“年-月-日 时:分:秒”格式的北京时间。"));
}

namespace {

// Rows of the layouts table: the primary asked.
void primaryLayoutRows()
{
    using T = QStringList;
    const int answers = DaytimeServer::Answers, silent = DaytimeServer::Silent,
              closes = DaytimeServer::ClosesAtOnce, once = DaytimeServer::AnswersFirst;
    const int fetched = FetchResult::Fetched, failed = FetchResult::Failed;
    const QString none, beijing = QStringLiteral("network time from 127.0.0.2, Beijing time");

    QTest::newRow("primary answers")
        << false << answers << PrimaryReply << 2 << fetched << none << "2026-12-07 15:39:29"
        << beijing << T{"127.0.0.2 first stamp 2026-12-07T07:39:29.000Z", "splits that second"}
        << QString();
    QTest::newRow("primary in two pieces")
        << false << int(DaytimeServer::AnswersInTwo) << PrimaryReply << 2 << fetched << none
        << "2026-12-07 15:39:29" << beijing << T{"ms to connect at the moment that splits"}
        << QString();
    // A primary without a time has nothing to tell the user: the next source is asked.
    QTest::newRow("primary refuses")
        << false << Refuses << QByteArray() << 0 << failed << none << " " << none
        << T{"primary: 127.0.0.2 no reply"} << QString();
    QTest::newRow("primary silent")
        << false << silent << QByteArray() << 1 << failed << none << " " << none
        << T{"no reply from 127.0.0.2: none in time"} << QString();
    QTest::newRow("primary closes")
        << false << closes << QByteArray() << 1 << failed << none << " " << none
        << T{"no reply from 127.0.0.2: the server closed the connection without a reply"}
        << QString();
    QTest::newRow("primary sends no time")
        << false << answers << QByteArray("Mon Dec  7 04:14:14 2026\r\n") << 1 << failed << none
        << " " << none << T{"primary: 127.0.0.2 the reply is not YYYY-MM-DD HH:MM:SS"} << QString();
    QTest::newRow("primary streams")
        << false << int(DaytimeServer::Streams) << QByteArray() << 1 << failed << none << " "
        << none << T{"... (3976 more)"} << QString();
    QTest::newRow("primary answers once")
        << false << once << PrimaryReply << 2 << failed
        << QStringLiteral("网络标准时间服务器127.0.0.2超时！") << " " << none
        << T{"no reply from 127.0.0.2: none in time"} << QString();

    // A name is looked up; the server listens on the first address of localhost's that
    // is IPv4, whatever the order the resolver gives them in.
    QTest::newRow("primary by name")
        << false << answers << PrimaryReply << 2 << fetched << none << "2026-12-07 15:39:29"
        << QStringLiteral("network time from localhost, Beijing time")
        << T{"looking up localhost took", "127.0.0.1"} << QStringLiteral("localhost");
    QTest::newRow("primary's name not found")
        << false << Refuses << QByteArray() << 0 << failed << none << " " << none
        << T{"looking up no such host! took", "ms: no address"} << QStringLiteral("no such host!");
}

// Rows of the layouts table: the secondary asked, in NIST's layout.
void nistLayoutRows()
{
    using T = QStringList;
    const int answers = DaytimeServer::Answers, silent = DaytimeServer::Silent,
              closes = DaytimeServer::ClosesAtOnce, once = DaytimeServer::AnswersFirst;
    const int fetched = FetchResult::Fetched, failed = FetchResult::Failed,
              unreadable = FetchResult::Unreadable;
    const QString none, nistOrigin = QStringLiteral("network time from 127.0.0.3, NIST layout");
    const QString notFound = QStringLiteral("检测不到网络标准时间服务器127.0.0.3！");

    QTest::newRow("NIST answers") << true << answers << NistReply << 2 << fetched << none
                                  << "26-12-07 11:52:21" << nistOrigin
                                  << T{"second stamp 2026-12-07T03:52:20.950Z", "round trip"}
                                  << QString();
    QTest::newRow("NIST refuses")
        << true << Refuses << QByteArray() << 0 << failed << notFound << " " << none
        << T{"connecting to 127.0.0.3 failed: ConnectionRefusedError (Connection refused)"}
        << QString();
    QTest::newRow("NIST silent") << true << silent << QByteArray() << 1 << failed << notFound << " "
                                 << none << T{"no reply from 127.0.0.3: none in time"} << QString();
    QTest::newRow("NIST closes")
        << true << closes << QByteArray() << 1 << failed << notFound << " " << none
        << T{"the connection to 127.0.0.3 was closed by the server: RemoteHostClosedError ("}
        << QString();
    QTest::newRow("NIST answers once")
        << true << once << NistReply << 2 << failed
        << QStringLiteral("网络标准时间服务器127.0.0.3超时！") << " " << none
        << T{"ms to connect, by NIST's 4-second rule, then at the moment that splits the second"}
        << QString();
    QTest::newRow("NIST not healthy")
        << true << answers << QByteArray("\n61381 26-12-07 03:52:21 00 0 2 50.0 UTC(NIST) * \n")
        << 1 << unreadable
        << QStringLiteral("网络标准时间服务器127.0.0.3报告自己的时间误差已超过 5 秒，"
                          "本次没有采用它的时间，请稍后再试。")
        << " " << none << T{"secondary: 127.0.0.3 health digit 2 (0 is healthy)"} << QString();
    QTest::newRow("NIST no date")
        << true << answers << QByteArray("\n61381 26-13-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n")
        << 1 << unreadable
        << QStringLiteral("无法识别网络标准时间服务器127.0.0.3的回复：“26-13-07”不是有效的日期。")
        << " " << none << T{"secondary: 127.0.0.3 the reply is not a NIST line: “26-13-07”"}
        << QString();
}

} // namespace

void TestDaytimeClient::layouts_data()
{
    QTest::addColumn<bool>("nist");     // the layout asked: the secondary's, or the primary's
    QTest::addColumn<int>("behaviour"); // of its server
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown"); // date and time as the status line shows them
    QTest::addColumn<QString>("origin");
    QTest::addColumn<QStringList>("trace"); // what one line of horalis.net must say
    QTest::addColumn<QString>("host");      // the server's name, "" for its address

    primaryLayoutRows();
    nistLayoutRows();
}

void TestDaytimeClient::layouts()
{
    QFETCH(bool, nist);
    QFETCH(int, behaviour);
    QFETCH(QByteArray, reply);
    QFETCH(int, connections);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QFETCH(QString, origin);
    QFETCH(QStringList, trace);
    QFETCH(QString, host);

    // A build root may have no /etc/hosts, and then no name for the loopback address.
    if (host == u"localhost" &&
        !QHostInfo::fromName(host).addresses().contains(QHostAddress(QHostAddress::LocalHost)))
        QSKIP("localhost does not resolve to 127.0.0.1 here (no /etc/hosts)");
    // Only the layout's own server listens; the other address refuses.
    const QHostAddress localhost(QHostAddress::LocalHost);
    const quint16 port = freePort({Primary, Secondary, localhost});
    const auto server = serve(behaviour, reply,
                              !host.isEmpty() ? localhost
                              : nist          ? Secondary
                                              : Primary,
                              port);
    DaytimeServers servers = loopbackServers(port);
    if (!host.isEmpty())
        (nist ? servers.secondaryHost : servers.primaryHost) = host;
    const TraceRecorder recorder;
    DaytimeClient client(servers, machineBootMs);
    const FetchResult result =
        nist ? client.fetch(DaytimeLayout::Nist) : client.fetch(DaytimeLayout::Primary);

    QCOMPARE(server ? server->connections() : 0, connections);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.message, message);
    QCOMPARE(
        result.time.date + u' ' +
            (nist ? result.time.time.toTime().toString(u"HH:mm:ss") : result.time.time.toString()),
        shown);
    QCOMPARE(result.time.instant.origin, origin);
    QVERIFY2(recorder.says(QStringLiteral("horalis.net"), trace), recorder.dump());
}

void TestDaytimeClient::primaryNotHeldByNistSpacing()
{
    // NIST's spacing holds for the secondary alone: a primary asked after it connects at
    // once, not a minute later.
    DaytimeServer server(DaytimeServer::Answers, PrimaryReply);
    const quint16 port = freePort({Primary, Secondary});
    QVERIFY(server.listen(Primary, port));
    DaytimeServers servers = loopbackServers(port);
    servers.secondarySpacingMs = 60'000;
    DaytimeClient client(servers, machineBootMs);
    QCOMPARE(client.askSecondary().status, FetchResult::Failed); // refused, after trying
    std::stop_source giveUp;
    QObject watchdog;
    QTimer::singleShot(10'000, &watchdog, [&giveUp] { giveUp.request_stop(); });
    QCOMPARE(client.askPrimary(giveUp.get_token()).status, FetchResult::Fetched);
    QCOMPARE(server.connections(), 2);
}

void TestDaytimeClient::order_data()
{
    QTest::addColumn<int>("primary"); // how each server behaves
    QTest::addColumn<int>("secondary");
    QTest::addColumn<QList<int>>("connections"); // to the primary, to the secondary
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("aheadMs"); // the system clock less the servers' clocks
    QTest::addColumn<QStringList>("trace");
    QTest::addColumn<int>("stopAfterMs"); // -1: no stop is requested

    using C = QList<int>;
    using T = QStringList;
    const int answers = DaytimeServer::Answers;
    const int fetched = FetchResult::Fetched, failed = FetchResult::Failed;
    // The fetch is within a quarter second of the servers' clocks, so the system clock
    // is told a whole half minute off the hour or the day.
    const qint64 hours8 = 8 * 3'600'000 + 30'000, day = 86'400'000 + 30'000;

    QTest::newRow("primary answers, secondary never asked")
        << answers << answers << C{2, 0} << fetched << hours8
        << T{"fetch: the system clock is 8 h 0 min ", " s ahead of the fetched time"} << -1;
    QTest::newRow("primary refuses, the secondary answers")
        << Refuses << answers << C{0, 2} << fetched << -day
        << T{"fetch: the system clock is 1 d 0 h 0 min ", " s behind the fetched time"} << -1;
    QTest::newRow("primary gives no time, the secondary is asked")
        << int(DaytimeServer::ClosesAtOnce) << answers << C{1, 2} << fetched << qint64(0)
        << T{"fetch: the primary 127.0.0.2 gave no time; falling back to the secondary "
             "127.0.0.3"}
        << -1;
    // A primary that answered once has something to tell the user: no fallback.
    QTest::newRow("primary answers once")
        << int(DaytimeServer::AnswersFirst) << answers << C{2, 0} << failed << qint64(0)
        << T{"fetch: failed; the user is told: "
             "网络标准时间服务器127.0.0.2超时！"}
        << -1;
    QTest::newRow("both refuse") << Refuses << Refuses << C{0, 0} << failed << qint64(0)
                                 << T{"fetch: failed; the user is told: "
                                      "检测不到网络标准时间服务器127.0.0.3！"}
                                 << -1;
    // A stop (the window closing) ends the fetch where it waits: nothing more is asked.
    QTest::newRow("stopped while the primary is silent")
        << int(DaytimeServer::Silent) << answers << C{1, 0} << int(FetchResult::Cancelled)
        << qint64(0) << T{"fetch: cancelled"} << 300;
}

void TestDaytimeClient::order()
{
    QFETCH(int, primary);
    QFETCH(int, secondary);
    QFETCH(QList<int>, connections);
    QFETCH(int, status);
    QFETCH(qint64, aheadMs);
    QFETCH(QStringList, trace);
    QFETCH(int, stopAfterMs);

    // Both servers' clocks a whole number of seconds and a half ahead of the boot clock.
    const qint64 offset = floorToSecond(1'796'600'000'000 - machineBootMs()) + 500;
    const quint16 port = freePort({Primary, Secondary});
    const auto first = serve(primary, {}, Primary, port);
    const auto second = serve(secondary, {}, Secondary, port);
    for (DaytimeServer *server : {first.get(), second.get()}) {
        if (server)
            server->replyNow = [offset, nist = server == second.get()] {
                return nist ? nistStampNow(offset) : primaryStampNow(offset);
            };
    }
    const TraceRecorder recorder;
    NetworkTimeFetch fetch(onlyDaytime(loopbackServers(port)), machineBootMs,
                           [=] { return machineBootMs() + offset + aheadMs; });
    std::stop_source stop;
    QObject stopper;
    if (stopAfterMs >= 0)
        QTimer::singleShot(stopAfterMs, &stopper, [&stop] { stop.request_stop(); });
    const FetchResult result = fetch.GetNetworkTime(stop.get_token());

    QCOMPARE(QList<int>({first ? first->connections() : 0, second ? second->connections() : 0}),
             connections);
    QCOMPARE(int(result.status), status);
    QVERIFY2(recorder.says(QStringLiteral("horalis.net"), trace), recorder.dump());
}

void TestDaytimeClient::builtInServers()
{
    // Defined in the library this test links alone; the names CMake was configured with.
    const DaytimeServers daytime = DaytimeServers::builtIn();
    QCOMPARE(daytime.primaryHost, QStringLiteral(CONFIGURED_PRIMARY_HOST));
    QCOMPARE(daytime.secondaryHost, QStringLiteral(CONFIGURED_SECONDARY_HOST));
    QCOMPARE(daytime.port, quint16(CONFIGURED_DAYTIME_PORT));
    QCOMPARE(daytime.queryTimeoutMs, 5000);
    QCOMPARE(daytime.secondarySpacingMs, 4000);
    QVERIFY(daytime.addresses.isEmpty());
    const TimeServers all = TimeServers::builtIn();
    QCOMPARE(all.daytime.primaryHost, QStringLiteral(CONFIGURED_PRIMARY_HOST));
    QCOMPARE(all.daytime.secondaryHost, QStringLiteral(CONFIGURED_SECONDARY_HOST));
    QCOMPARE(all.daytime.port, quint16(CONFIGURED_DAYTIME_PORT));
}

void TestDaytimeClient::clockDifference_data()
{
    QTest::addColumn<qint64>("systemLessFetchedMs");
    QTest::addColumn<QString>("text");

    const QString ahead = QStringLiteral("the system clock is %1 ahead of the fetched time");
    const QString behind = QStringLiteral("the system clock is %1 behind the fetched time");
    QTest::newRow("same") << qint64(0)
                          << "the system clock agrees with the fetched time to the millisecond";
    QTest::newRow("1 ms ahead") << qint64(1) << ahead.arg("0.001 s");
    QTest::newRow("1 ms behind") << qint64(-1) << behind.arg("0.001 s");
    QTest::newRow("a quarter second") << qint64(250) << ahead.arg("0.25 s");
    QTest::newRow("just under a second") << qint64(-999) << behind.arg("0.999 s");
    QTest::newRow("a second") << qint64(1000) << ahead.arg("1 s");
    QTest::newRow("10.05 s") << qint64(10'050) << ahead.arg("10.05 s");
    QTest::newRow("just under a minute") << qint64(59'999) << ahead.arg("59.999 s");
    QTest::newRow("a minute") << qint64(-60'000) << behind.arg("1 min 0 s");
    QTest::newRow("just under an hour") << qint64(3'599'999) << ahead.arg("59 min 59.999 s");
    QTest::newRow("an hour") << qint64(3'600'000) << ahead.arg("1 h 0 min 0 s");
    QTest::newRow("UTC read as Beijing time")
        << qint64(-(8 * 3'600'000 + 3'200)) << behind.arg("8 h 0 min 3.2 s");
    QTest::newRow("just under a day") << qint64(86'399'999) << ahead.arg("23 h 59 min 59.999 s");
    QTest::newRow("a day") << qint64(-86'400'000) << behind.arg("1 d 0 h 0 min 0 s");
    // A clock at 1970-01-01 00:00:00 UTC against 2026-12-08T10:15:30.250Z.
    QTest::newRow("clock at 1970")
        << qint64(-1'796'724'930'250) << behind.arg("20795 d 10 h 15 min 30.25 s");
    QTest::newRow("most negative")
        << std::numeric_limits<qint64>::min() << behind.arg("106751991167 d 7 h 12 min 55.808 s");
    QTest::newRow("most positive")
        << std::numeric_limits<qint64>::max() << ahead.arg("106751991167 d 7 h 12 min 55.807 s");
}

void TestDaytimeClient::clockDifference()
{
    QFETCH(qint64, systemLessFetchedMs);
    QFETCH(QString, text);
    QCOMPARE(clockDifferenceText(systemLessFetchedMs), text);
}

QTEST_GUILESS_MAIN(TestDaytimeClient)
#include "tst_daytimeclient.moc"
