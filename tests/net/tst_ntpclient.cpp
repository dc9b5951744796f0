// The NTP client against fake NTP servers on loopback: what it takes, what it refuses
// and which server it asks next.
#include "networktimefetch.h"
#include "ntpclient.h"
#include "ntpfake.h"
#include "tracerecorder.h"

#include <QTest>

#include <memory>

using namespace horalis;
using namespace horalis::test;

namespace {

const QString HostA = QStringLiteral("ntp-a.test");
const QString HostB = QStringLiteral("ntp-b.test");
const QHostAddress AddressA(QStringLiteral("127.0.0.3"));
const QHostAddress AddressB(QStringLiteral("127.0.0.4"));
const QHostAddress Stranger(QStringLiteral("127.0.0.5"));
constexpr qint64 OffsetA = 1'796'600'000'000; // a clock in 2026 for A
constexpr qint64 OffsetB = OffsetA + 3'500;   // and B's 3.5 s ahead of it

qint64 bootMs()
{
    return bootNs() / 1'000'000;
}

// Two fake servers on one port, A on 127.0.0.3 and B on 127.0.0.4; A's replies from
// "another address" come from 127.0.0.5.
struct Pair {
    std::unique_ptr<NtpServer> a, b;
    bool listen()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            a = std::make_unique<NtpServer>();
            b = std::make_unique<NtpServer>();
            if (a->listen(AddressA) && b->listen(AddressB, a->port()) && a->listenOther(Stranger))
                break;
            a.reset();
        }
        if (!a)
            return false;
        a->offsetMs = OffsetA;
        b->offsetMs = OffsetB;
        return true;
    }
    NtpServers servers() const
    {
        NtpServers s;
        s.hosts = {HostA, HostB};
        s.port = a->port();
        s.addresses = {{HostA, {AddressA}}, {HostB, {AddressB}}};
        s.replyTimeoutMs = 1500;
        s.resendAfterMs = 500;
        s.spacingMs = 0;
        return s;
    }
};

// The sample is the server's clock, within half its round trip and the boot clock's
// millisecond either end.
bool matches(const NtpSample &sample, qint64 offsetMs)
{
    const qint64 error = sample.instant.utcMs - (sample.instant.bootMs + offsetMs);
    return std::abs(error) <= sample.roundTripUs / 2000 + 2;
}

} // namespace

class TestNtpClient : public QObject {
    Q_OBJECT
private slots:
    void taken();
    void refusedThenNext_data();
    void refusedThenNext();
    void lateReplyToEarlierRequest();
    void duplicatesAndRepliesAfterTheWait();
    void lostRequestResent();
    void spacing();
    void stop();
    void nothingToAsk();
    void builtInServers();
};

void TestNtpClient::taken()
{
    Pair pair;
    QVERIFY(pair.listen());
    pair.a->answer = [](int, NtpFields f) {
        f.stratum = 1;
        f.referenceId = code("NTSC");
        return QList<NtpServer::Reply>{{f}};
    };
    TraceRecorder trace;
    NtpClient client(pair.servers(), bootMs);
    const std::optional<NtpSample> sample = client.fetch();
    QVERIFY2(sample, trace.dump());
    QCOMPARE(sample->host, HostA);
    QCOMPARE(sample->address, AddressA);
    QCOMPARE(sample->stratum, 1);
    QCOMPARE(sample->referenceId, QStringLiteral("NTSC"));
    QVERIFY2(matches(*sample, OffsetA), trace.dump());
    QCOMPARE(sample->offsetMs, sample->instant.utcMs - sample->instant.bootMs);
    QVERIFY(sample->instant.origin.contains(HostA));
    QCOMPARE(pair.a->requests.size(), 1);
    QCOMPARE(pair.b->requests.size(), 0);
    QVERIFY2(trace.says(QStringLiteral("horalis.net"),
                        {QStringLiteral("request 1 to ntp-a.test (127.0.0.3 port")}),
             trace.dump());
    QVERIFY2(trace.says(QStringLiteral("horalis.net"),
                        {QStringLiteral("ntp-a.test (127.0.0.3 port"), QStringLiteral("taken"),
                         QStringLiteral("stratum 1"), QStringLiteral("reference NTSC"),
                         QStringLiteral("round trip"), QStringLiteral("offset")}),
             trace.dump());
}

void TestNtpClient::refusedThenNext_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("waits");  // it may be a forgery: the wait goes on
    QTest::addColumn<bool>("barred"); // A is not asked again in this run
    QTest::addColumn<QString>("says");
    QTest::newRow("from another port") << int(NtpFault::OtherPort) << true << false
                                       << QStringLiteral("not the address and port asked");
    QTest::newRow("from another address")
        << int(NtpFault::OtherAddress) << true << false << QStringLiteral("from 127.0.0.5 port");
    QTest::newRow("wrong originate") << int(NtpFault::WrongOriginate) << true << false
                                     << QStringLiteral("originate timestamp is not");
    QTest::newRow("47 bytes") << int(NtpFault::Short) << true << false
                              << QStringLiteral("48 bytes");
    QTest::newRow("kiss RATE") << int(NtpFault::KissRate) << false << true
                               << QStringLiteral("RATE");
    QTest::newRow("kiss DENY") << int(NtpFault::KissDeny) << false << true
                               << QStringLiteral("DENY");
    QTest::newRow("kiss RSTR") << int(NtpFault::KissRstr) << false << true
                               << QStringLiteral("RSTR");
    QTest::newRow("kiss INIT") << int(NtpFault::KissInit) << false << false
                               << QStringLiteral("INIT");
    QTest::newRow("LI 3") << int(NtpFault::Leap3) << false << false
                          << QStringLiteral("leap indicator 3");
    QTest::newRow("stratum 16") << int(NtpFault::Stratum16) << false << false
                                << QStringLiteral("stratum 16");
}

void TestNtpClient::refusedThenNext()
{
    QFETCH(int, fault);
    QFETCH(bool, waits);
    QFETCH(bool, barred);
    QFETCH(QString, says);
    Pair pair;
    QVERIFY(pair.listen());
    NtpServer &a = *pair.a;
    // Each of A's replies is faulty, and far off: taken, it would show.
    answerWith(a, NtpFault(fault));
    TraceRecorder trace;
    NtpClient client(pair.servers(), bootMs);
    const std::optional<NtpSample> sample = client.fetch();
    QVERIFY2(sample, trace.dump());
    QCOMPARE(sample->host, HostB);
    QVERIFY2(matches(*sample, OffsetB), trace.dump());
    // A reply that may be forged leaves the wait running (and the request is resent);
    // one that answers the request but is not to be believed ends it.
    QCOMPARE(a.requests.size(), waits ? 2 : 1);
    QVERIFY2(trace.says(QStringLiteral("horalis.net"), {QStringLiteral("refused"), says}),
             trace.dump());

    // The next fetch asks A again, sound now, unless it sent a kiss-o'-death.
    a.answer = {};
    const std::optional<NtpSample> again = client.fetch();
    QVERIFY2(again, trace.dump());
    QCOMPARE(again->host, barred ? HostB : HostA);
    QCOMPARE(a.requests.size(), (waits ? 2 : 1) + (barred ? 0 : 1));
    if (barred)
        QVERIFY2(trace.says(QStringLiteral("horalis.net"),
                            {HostA, QStringLiteral("skipped: it sent a kiss-o'-death")}),
                 trace.dump());
}

void TestNtpClient::lateReplyToEarlierRequest()
{
    Pair pair;
    QVERIFY(pair.listen());
    NtpServer &a = *pair.a;
    // The first request's reply comes only with the resend's, just before it, and says
    // a far-off time: a reply to an earlier request is not this request's.
    NtpFields first;
    a.answer = [&a, &first](int request, const NtpFields &f) {
        if (request == 1) {
            first = f;
            return QList<NtpServer::Reply>{};
        }
        return QList<NtpServer::Reply>{{farOff(first, a)}, {f, 100}};
    };
    TraceRecorder trace;
    NtpClient client(pair.servers(), bootMs);
    const std::optional<NtpSample> sample = client.fetch();
    QVERIFY2(sample, trace.dump());
    QCOMPARE(sample->host, HostA);
    QVERIFY2(matches(*sample, OffsetA), trace.dump());
    QCOMPARE(a.requests.size(), 2);
    QCOMPARE(pair.b->requests.size(), 0);
    QVERIFY2(trace.says(QStringLiteral("horalis.net"),
                        {QStringLiteral("late reply"), QStringLiteral("earlier request")}),
             trace.dump());
}

void TestNtpClient::duplicatesAndRepliesAfterTheWait()
{
    Pair pair;
    QVERIFY(pair.listen());
    NtpServer &a = *pair.a;
    NtpServer &b = *pair.b;
    // A refuses itself (LI 3), then sends a sound but far-off reply after the client has
    // left it; B answers late enough for that to arrive meanwhile, then a far-off
    // duplicate of its own reply.
    a.answer = [&a](int, NtpFields f) {
        NtpFields unsynchronized = f;
        unsynchronized.leap = 3;
        return QList<NtpServer::Reply>{{unsynchronized}, {farOff(f, a), 50}};
    };
    b.answer = [&b](int, const NtpFields &f) {
        return QList<NtpServer::Reply>{{f, 300}, {farOff(f, b), 300}, {farOff(f, b), 310}};
    };
    TraceRecorder trace;
    NtpClient client(pair.servers(), bootMs);
    const std::optional<NtpSample> sample = client.fetch();
    QVERIFY2(sample, trace.dump());
    QCOMPARE(sample->host, HostB);
    QVERIFY2(matches(*sample, OffsetB), trace.dump());
    QCOMPARE(a.requests.size(), 1);
    QCOMPARE(b.requests.size(), 1);
}

void TestNtpClient::lostRequestResent()
{
    Pair pair;
    QVERIFY(pair.listen());
    pair.a->answer = [](int request, const NtpFields &f) {
        return request == 1 ? QList<NtpServer::Reply>{} : QList<NtpServer::Reply>{{f}};
    };
    TraceRecorder trace;
    NtpClient client(pair.servers(), bootMs);
    const std::optional<NtpSample> sample = client.fetch();
    QVERIFY2(sample, trace.dump());
    QCOMPARE(sample->host, HostA);
    // Timed from the resend, not from the lost request.
    QVERIFY2(matches(*sample, OffsetA), trace.dump());
    QCOMPARE(pair.a->requests.size(), 2);
    // New transmit bits for the resend.
    QVERIFY(transmitOf(pair.a->requests[0]) != transmitOf(pair.a->requests[1]));
    QVERIFY2(trace.says(QStringLiteral("horalis.net"), {QStringLiteral("request 2 to ntp-a.test")}),
             trace.dump());
}

void TestNtpClient::spacing()
{
    Pair pair;
    QVERIFY(pair.listen());
    NtpServers servers = pair.servers();
    servers.spacingMs = 15000;
    TraceRecorder trace;
    NtpClient client(servers, bootMs);
    QCOMPARE(client.fetch()->host, HostA);
    // Asked again at once: A is skipped, not waited for.
    const std::optional<NtpSample> second = client.fetch();
    QVERIFY2(second, trace.dump());
    QCOMPARE(second->host, HostB);
    QCOMPARE(pair.a->requests.size(), 1);
    QVERIFY2(trace.says(QStringLiteral("horalis.net"), {HostA, QStringLiteral("skipped: asked"),
                                                        QStringLiteral("once every 15000 ms")}),
             trace.dump());
    // Both asked within the spacing: nothing is asked.
    QVERIFY(!client.fetch());
    QCOMPARE(pair.a->requests.size() + pair.b->requests.size(), 2);
}

void TestNtpClient::stop()
{
    Pair pair;
    QVERIFY(pair.listen());
    pair.a->answer = [](int, const NtpFields &) {
        return QList<NtpServer::Reply>{};
    };
    NtpServers servers = pair.servers();
    servers.replyTimeoutMs = 600'000; // only the stop ends this wait
    servers.resendAfterMs = 600'000;
    NtpClient client(servers, bootMs);
    std::stop_source stop;
    QTimer::singleShot(200, &client, [&stop] { stop.request_stop(); });
    QVERIFY(!client.fetch(stop.get_token()));
    QCOMPARE(pair.a->requests.size(), 1);
    QCOMPARE(pair.b->requests.size(), 0);
    // Stopped before it starts: nothing is sent.
    QVERIFY(!client.fetch(stop.get_token()));
    QCOMPARE(pair.a->requests.size(), 1);
}

void TestNtpClient::nothingToAsk()
{
    Pair pair;
    QVERIFY(pair.listen());
    NtpServers none = pair.servers();
    none.hosts.clear();
    QVERIFY(!NtpClient(none, bootMs).fetch());
    // A name with no address: the next server at once.
    NtpServers noAddress = pair.servers();
    noAddress.addresses[HostA] = {};
    QCOMPARE(NtpClient(noAddress, bootMs).fetch()->host, HostB);
    QCOMPARE(pair.a->requests.size() + pair.b->requests.size(), 1);
}

void TestNtpClient::builtInServers()
{
    // The configured list, in its order; an empty list configures no NTP at all.
    const QStringList configured =
        QStringLiteral(CONFIGURED_NTP_HOSTS).split(u',', Qt::SkipEmptyParts);
    const NtpServers ntp = NtpServers::builtIn();
    QCOMPARE(ntp.hosts, configured);
    QCOMPARE(ntp.port, quint16(CONFIGURED_NTP_PORT));
    QCOMPARE(ntp.lookupTimeoutMs, 5000);
    QCOMPARE(ntp.replyTimeoutMs, 5000);
    QCOMPARE(ntp.resendAfterMs, 1000);
    QCOMPARE(ntp.spacingMs, 15000);
    QVERIFY(ntp.addresses.isEmpty());
    QCOMPARE(TimeServers::builtIn().ntp.hosts, configured);
    QCOMPARE(TimeServers::builtIn().ntp.port, quint16(CONFIGURED_NTP_PORT));
    // Servers given by hand ask no NTP server unless told to.
    QVERIFY(TimeServers().ntp.hosts.isEmpty());
}

QTEST_GUILESS_MAIN(TestNtpClient)
#include "tst_ntpclient.moc"
