// The network time command against Daytime servers the test runs on loopback.
#include "daytimeserver.h"
#include "fakes.h"
#include "form1.h"
#include "networktimefetch.h"
#include "ntpfake.h"
#include "tracerecorder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimeZone>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>

using namespace horalis;
using namespace horalis::test;

namespace {

const QHostAddress PrimaryAddress(QStringLiteral("127.0.0.2"));
const QHostAddress SecondaryAddress(QStringLiteral("127.0.0.3"));
constexpr int Refuses = -1; // no server listens: the connection is refused
const QByteArray PrimaryReply = "2026-12-07 15:39:29\r\n";
const QByteArray NistReply = "\n61381 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n";
const QString Waiting = QStringLiteral("正在连接网络时间服务器，请稍候……");
// NIST's own word that its time may be 5 s off.
const QByteArray Unhealthy("\n61381 26-12-07 03:52:21 00 0 1 50.0 UTC(NIST) * \n");
const QHostAddress NtpAddressA(QStringLiteral("127.0.0.4"));
const QHostAddress NtpAddressB(QStringLiteral("127.0.0.5"));
const QHostAddress NtpStranger(QStringLiteral("127.0.0.6"));

QByteArray nist(const char *date, const char *time)
{
    // The line carries the day number of its date, as NIST's do.
    const QDate day = QDate::fromString(QLatin1String("20") + QLatin1String(date), u"yyyy-MM-dd");
    const qint64 mjd = day.isValid() ? day.toJulianDay() - 2'400'001 : 61381;
    return QByteArray("\n") + QByteArray::number(mjd) + ' ' + date + ' ' + time +
           " 00 0 0 50.0 UTC(NIST) * \n";
}

// The instant of a FakeClock write, "set <UTC, ISO with ms>".
QDateTime writtenUtc(const QString &write)
{
    return QDateTime::fromString(write.mid(4), Qt::ISODateWithMs);
}

// Rows of the NTP table: no Daytime server gives a time, an NTP server does.
void ntpTakenRows()
{
    const int answers = DaytimeServer::Answers, silent = DaytimeServer::Silent;
    const int sound = int(NtpFault::Sound);
    const QString none;
    const QByteArray noReply;
    QTest::newRow("both Daytime refuse: NTP A") << Refuses << noReply << Refuses << noReply << sound
                                                << sound << "A" << none << none << true;
    QTest::newRow("secondary silent: NTP A")
        << Refuses << noReply << silent << noReply << sound << sound << "A" << none << none << true;
    QTest::newRow("NIST unhealthy: NTP A") << Refuses << noReply << answers << Unhealthy << sound
                                           << sound << "A" << none << none << true;
    for (const auto &[name, fault] :
         {std::pair{"A spoofed originate: B", NtpFault::WrongOriginate},
          std::pair{"A from another port: B", NtpFault::OtherPort},
          std::pair{"A kiss-o'-death: B", NtpFault::KissRate},
          std::pair{"A LI 3: B", NtpFault::Leap3}, std::pair{"A short packet: B", NtpFault::Short}})
        QTest::newRow(name) << Refuses << noReply << Refuses << noReply << int(fault) << sound
                            << "B" << none << none << true;
}

// Rows of the NTP table: no NTP server gives a time, or none is asked.
void ntpNotTakenRows()
{
    const int answers = DaytimeServer::Answers;
    const int sound = int(NtpFault::Sound), mute = int(NtpFault::Silent);
    const QString none;
    const QString notFound = QStringLiteral("检测不到网络标准时间服务器127.0.0.3！");
    const QString failed = QStringLiteral("标准时间：  ");
    const QByteArray noReply;
    QTest::newRow("no NTP answer: the secondary's message")
        << Refuses << noReply << Refuses << noReply << mute << mute << "" << notFound << failed
        << true;
    QTest::newRow("NIST unhealthy, no NTP answer: its message")
        << Refuses << noReply << answers << Unhealthy << mute << mute << ""
        << QStringLiteral("网络标准时间服务器127.0.0.3报告自己的时间可能有最多 5 秒的误差") << none
        << true;
    QTest::newRow("primary answers: no NTP")
        << answers << PrimaryReply << Refuses << noReply << sound << sound << "Daytime" << none
        << none << false;
    QTest::newRow("secondary answers: no NTP")
        << Refuses << noReply << answers << NistReply << sound << sound << "Daytime" << none << none
        << false;
    QTest::newRow("primary answers once, then not: its message, no NTP")
        << int(DaytimeServer::AnswersFirst) << PrimaryReply << answers << NistReply << sound
        << sound << "" << QStringLiteral("网络标准时间服务器127.0.0.2超时！") << failed << false;
}

} // namespace

class TestNetwork : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fetch_data();
    void fetch();
    void unresolvableNamesFailFast();
    void clicksDuringTheWait();
    void fetchedOnlyOnce();
    void failedFetchCanBeRepeated();
    void closingDuringFetchEndsAtOnce_data();
    void closingDuringFetchEndsAtOnce();
    void applyWritesFetchedInstantMovedOn_data();
    void applyWritesFetchedInstantMovedOn();
    void ntpWhenNoDaytimeTime_data();
    void ntpWhenNoDaytimeTime();

private:
    DaytimeServers startServers(int primary, const QByteArray &primaryReply, int secondary,
                                const QByteArray &secondaryReply, int timeoutMs = 1500);
    Form1 *makeWindow(const DaytimeServers &servers, const NtpServers &ntp = {});
    NtpServers startNtp(NtpFault a, NtpFault b);
    void checkNtpTimeTaken(const NtpServer &server, qint64 fetchStart, qint64 fetchEnd);
    void fetchWith(int primary, const QByteArray &primaryReply, int secondary,
                   const QByteArray &secondaryReply);

    FakeClock m_clock;
    RecordingMessageBoxes m_messages;
    RecordingPointer m_pointer;
    std::unique_ptr<DaytimeServer> m_primary, m_secondary;
    std::unique_ptr<NtpServer> m_ntpA, m_ntpB;
    std::unique_ptr<Form1> m_form;
    QStringList m_seenDuringFetch; // status line and pointer while a box is shown
};

void TestNetwork::init()
{
    m_clock = FakeClock();
    // The fetch times its waits on the boot clock: it must move as real time does.
    m_clock.followMachineBoot = true;
    m_messages = RecordingMessageBoxes();
    m_pointer.history.clear();
}

void TestNetwork::cleanup()
{
    m_form.reset();
    m_primary.reset();
    m_secondary.reset();
    m_ntpA.reset();
    m_ntpB.reset();
    QCOMPARE(QApplication::topLevelWidgets().size(), 0);
}

DaytimeServers TestNetwork::startServers(int primary, const QByteArray &primaryReply, int secondary,
                                         const QByteArray &secondaryReply, int timeoutMs)
{
    // The port is shared by both servers, as in the program: find one that is free on
    // both loopback addresses.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(PrimaryAddress))
            break;
        const quint16 port = probe.serverPort();
        probe.close();
        const auto start = [port](int behaviour, const QByteArray &reply,
                                  const QHostAddress &address) {
            auto server = std::make_unique<DaytimeServer>(
                DaytimeServer::Behaviour(std::max(behaviour, 0)), reply);
            if (behaviour != Refuses && !server->listen(address, port))
                server.reset();
            return server;
        };
        m_primary = start(primary, primaryReply, PrimaryAddress);
        m_secondary = start(secondary, secondaryReply, SecondaryAddress);
        if (m_primary && m_secondary) {
            DaytimeServers servers;
            servers.primaryHost = PrimaryAddress.toString();
            servers.secondaryHost = SecondaryAddress.toString();
            servers.port = port;
            servers.queryTimeoutMs = timeoutMs;
            // The test servers take any spacing; the 4 s rule has a test of its own.
            servers.secondarySpacingMs = 200;
            return servers;
        }
    }
    qFatal("no free port on the loopback addresses");
}

Form1 *TestNetwork::makeWindow(const DaytimeServers &servers, const NtpServers &ntp)
{
    TimeServers only;
    only.daytime = servers;
    only.ntp = ntp;
    m_form = std::make_unique<Form1>(PlatformServices{m_clock, m_messages, m_pointer}, only);
    m_form->show();
    return m_form.get();
}

namespace {

// Rows of the fetch table: a server gives the time.
void fetchedRows()
{
    using C = QList<int>;
    using T = QStringList;
    const int answers = DaytimeServer::Answers;
    const int silent = DaytimeServer::Silent;
    const QString none;

    QTest::newRow("primary answers, secondary never asked")
        << answers << PrimaryReply << answers << NistReply << C{2, 0} << none
        << "标准时间： 2026-12-07 15:39:29"
        << "2026-12-07" << T{"fetch: fetched", "Beijing time 2026-12-07 15:39:29"};
    QTest::newRow("primary reply in two pieces")
        << int(DaytimeServer::AnswersInTwo) << PrimaryReply << answers << NistReply << C{2, 0}
        << none << "标准时间： 2026-12-07 15:39:29"
        << "2026-12-07"
        << T{"reply from 127.0.0.2 (127.0.0.2 port", R"("2026-12-07 15:39:29\r\n")"};
    QTest::newRow("primary refuses, NIST layout")
        << Refuses << QByteArray() << answers << NistReply << C{0, 2} << none
        << "标准时间： 26-12-07 11:52:21"
        << "26-12-07" << T{"no reply from 127.0.0.2", "every address failed"};
    QTest::newRow("primary silent, shift passes midnight")
        << silent << QByteArray() << answers << nist("26-12-07", "16:05:09") << C{1, 2} << none
        << "标准时间： 26-12-08 00:05:09"
        << "26-12-08"
        << T{"fetch: the primary 127.0.0.2 gave no time; falling back to the "
             "secondary 127.0.0.3"};
    QTest::newRow("primary closes without data")
        << int(DaytimeServer::ClosesAtOnce) << QByteArray() << answers
        << nist("08-10-29", "07:39:29") << C{1, 2} << none << "标准时间： 08-10-29 15:39:29"
        << "08-10-29" << T{"no reply from 127.0.0.2", "closed the connection without a reply"};
    QTest::newRow("NIST reply in two pieces")
        << Refuses << QByteArray() << int(DaytimeServer::AnswersInTwo) << NistReply << C{0, 2}
        << none << "标准时间： 26-12-07 11:52:21"
        << "26-12-07" << T{"second stamp 2026-12-07T03:52:20.950Z", "round trip", "offset"};
}

// Rows of the fetch table: what the trace calls a socket's error and a wait.
void traceWordingRows()
{
    using C = QList<int>;
    using T = QStringList;
    const int answers = DaytimeServer::Answers;
    const QString none;

    // Every socket error in the trace carries its name, whatever the language of Qt's text.
    QTest::newRow("primary refuses: its error named")
        << Refuses << QByteArray() << answers << NistReply << C{0, 2} << none
        << "标准时间： 26-12-07 11:52:21"
        << "26-12-07"
        << T{"connecting to 127.0.0.2 failed: ConnectionRefusedError (Connection refused)"};
    QTest::newRow("primary closes: the connection's end named")
        << int(DaytimeServer::ClosesAtOnce) << QByteArray() << answers
        << nist("08-10-29", "07:39:29") << C{1, 2} << none << "标准时间： 08-10-29 15:39:29"
        << "08-10-29"
        << T{"the connection to 127.0.0.2 was closed by the server: RemoteHostClosedError ("};
    // The secondary's second query waits for NIST's spacing, then for the split.
    QTest::newRow("NIST's second query after its 4-second rule")
        << Refuses << QByteArray() << answers << NistReply << C{0, 2} << none
        << "标准时间： 26-12-07 11:52:21"
        << "26-12-07"
        << T{"ms to connect, by NIST's 4-second rule, then at the moment that splits the second"};
    QTest::newRow("primary's second query at the split")
        << answers << PrimaryReply << answers << NistReply << C{2, 0} << none
        << "标准时间： 2026-12-07 15:39:29"
        << "2026-12-07" << T{"ms to connect at the moment that splits the second"};
}

// Rows of the fetch table: no server gives a time.
void failedRows()
{
    using C = QList<int>;
    using T = QStringList;
    const int answers = DaytimeServer::Answers;
    const int silent = DaytimeServer::Silent;
    const QString failed = QStringLiteral("标准时间：  ");
    const QString notFound = QStringLiteral("检测不到网络标准时间服务器127.0.0.3！");

    QTest::newRow("both refuse") << Refuses << QByteArray() << Refuses << QByteArray() << C{0, 0}
                                 << notFound << failed << ""
                                 << T{"fetch: failed; the user is told: " + notFound};
    QTest::newRow("secondary silent")
        << Refuses << QByteArray() << silent << QByteArray() << C{0, 1} << notFound << failed << ""
        << T{"no reply from 127.0.0.3", "none in time"};
    QTest::newRow("secondary closes without data")
        << Refuses << QByteArray() << int(DaytimeServer::ClosesAtOnce) << QByteArray() << C{0, 1}
        << notFound << failed << "" << T{"no reply from 127.0.0.3", "closed the connection"};
    QTest::newRow("primary answers once, then not")
        << int(DaytimeServer::AnswersFirst) << PrimaryReply << answers << NistReply << C{2, 0}
        << "网络标准时间服务器127.0.0.2超时！" << failed << ""
        << T{"127.0.0.2 first stamp 2026-12-07T07:39:29.000Z", "the second query splits"};
    QTest::newRow("secondary answers once, then not")
        << Refuses << QByteArray() << int(DaytimeServer::AnswersFirst) << NistReply << C{0, 2}
        << "网络标准时间服务器127.0.0.3超时！" << failed << ""
        << T{"no reply from 127.0.0.3", "none in time"};
}

// Rows of the fetch table: a reply that is not a time.
void unreadableRows()
{
    using C = QList<int>;
    using T = QStringList;
    const int answers = DaytimeServer::Answers;
    const QString none;

    // A primary reply that is not a Beijing time counts as no answer: the secondary
    // gives the time. Only the first 4 KiB of a stream are read.
    // The trace quotes what came, whatever it is.
    for (const auto &[name, garbage, quoted] :
         {std::tuple{"primary streams megabytes", QByteArray(), R"(... (3976 more))"},
          std::tuple{"primary sends an inetd daytime line",
                     QByteArray("Mon Dec  7 04:14:14 2026\r\n"),
                     R"("Mon Dec  7 04:14:14 2026\r\n")"},
          std::tuple{"primary sends an empty line", QByteArray("\r\n"), R"("\r\n")"},
          std::tuple{"primary sends bytes", QByteArray("\x01\xff\x7f 2026-12-07 15:39:29\r\n"),
                     R"("\x01\xff\x7f 2026-12-07 15:39:29\r\n")"},
          std::tuple{"primary date that does not exist", QByteArray("2026-02-30 15:39:29\r\n"),
                     R"("2026-02-30 15:39:29\r\n")"}})
        QTest::newRow(name) << int(garbage.isEmpty() ? DaytimeServer::Streams : answers) << garbage
                            << answers << NistReply << C{1, 2} << none
                            << "标准时间： 26-12-07 11:52:21"
                            << "26-12-07" << T{"reply from 127.0.0.2", quoted};
    QTest::newRow("NIST reply that is no date")
        << Refuses << QByteArray() << answers << nist("26-13-07", "03:52:21") << C{0, 1}
        << "无法识别网络标准时间服务器127.0.0.3的回复：“26-13-07”不是有效的日期。"
        << ""
        << "" << T{"secondary: 127.0.0.3 the reply is not a NIST line", "“26-13-07”不是有效的日期"};
    QTest::newRow("NIST date against its day number")
        << Refuses << QByteArray() << answers
        << QByteArray("\n61380 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n") << C{0, 1}
        << "无法识别网络标准时间服务器127.0.0.3的回复：日期“26-12-07”与修正儒略日 61380 不符。"
        << ""
        << "" << T{"fetch: not taken; the user is told: 无法识别"};
    // The server's own health digit says its time may be 5 s off: not taken.
    QTest::newRow("NIST says its time may be off")
        << Refuses << QByteArray() << answers
        << QByteArray("\n61381 26-12-07 03:52:21 00 0 1 50.0 UTC(NIST) * \n") << C{0, 1}
        << "网络标准时间服务器127.0.0.3报告自己的时间可能有最多 5 秒的误差"
        << ""
        << "" << T{"secondary: 127.0.0.3 health digit 1 (0 is healthy): its time is not taken"};
    QTest::newRow("NIST reply cut short")
        << Refuses << QByteArray() << answers << QByteArray("\n61381 26-12-07 03:5") << C{0, 1}
        << "无法识别网络标准时间服务器127.0.0.3的回复：“03:5”不是"
        << ""
        << "" << T{"reply from 127.0.0.3", R"("\n61381 26-12-07 03:5")"};
}

} // namespace

void TestNetwork::fetch_data()
{
    QTest::addColumn<int>("primary");
    QTest::addColumn<QByteArray>("primaryReply");
    QTest::addColumn<int>("secondary");
    QTest::addColumn<QByteArray>("secondaryReply");
    QTest::addColumn<QList<int>>("connections"); // to the primary, to the secondary
    QTest::addColumn<QString>("message");        // "" for none
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("netDate");
    QTest::addColumn<QStringList>("trace"); // what one line of horalis.net must say

    fetchedRows();
    traceWordingRows();
    failedRows();
    unreadableRows();
}

void TestNetwork::fetch()
{
    QFETCH(int, primary);
    QFETCH(QByteArray, primaryReply);
    QFETCH(int, secondary);
    QFETCH(QByteArray, secondaryReply);
    QFETCH(QList<int>, connections);
    QFETCH(QString, message);
    QFETCH(QString, status);
    QFETCH(QString, netDate);
    QFETCH(QStringList, trace);

    const TraceRecorder recorder;
    makeWindow(startServers(primary, primaryReply, secondary, secondaryReply));
    // What the user sees while the fetch waits.
    QString statusWhileWaiting;
    int pointerWhileWaiting = -1;
    QTimer::singleShot(0, m_form.get(), [&] {
        statusWhileWaiting = m_form->c1->toPlainText();
        pointerWhileWaiting = m_pointer.current();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    m_form->Command2->click();

    QVERIFY2(elapsed.elapsed() < 4000, "a failed server must not hold the fetch up");
    QCOMPARE(statusWhileWaiting, Waiting);
    QCOMPARE(pointerWhileWaiting, int(PointerBusy));
    QCOMPARE(m_pointer.history, (QList<int>{PointerBusy, PointerDefault}));
    QCOMPARE(QList<int>({m_primary->connections(), m_secondary->connections()}), connections);
    QCOMPARE(m_messages.shown.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QVERIFY2(m_messages.shown[0].text.startsWith(message),
                 qPrintable(m_messages.shown[0].text));
        QCOMPARE(m_messages.shown[0].flags, 0);
        QCOMPARE(m_messages.shown[0].title, QString());
    }
    QCOMPARE(m_form->c1->toPlainText(), status);
    QCOMPARE(m_form->NetDate, netDate);
    QCOMPARE(m_form->NetTime.toString().isEmpty(), netDate.isEmpty());
    if (primary == DaytimeServer::Streams)
        QVERIFY(m_primary->bytesStreamed() < DaytimeServer::StreamBytes);
    QVERIFY(m_clock.writes.isEmpty());
    QVERIFY2(recorder.says(QStringLiteral("horalis.net"), trace), recorder.dump());
}

void TestNetwork::unresolvableNamesFailFast()
{
    // Names the resolver is never asked about: they are not valid host names.
    DaytimeServers servers;
    servers.primaryHost = QStringLiteral("no such host!");
    servers.secondaryHost = QStringLiteral("not a host name");
    makeWindow(servers);
    QElapsedTimer elapsed;
    elapsed.start();
    m_form->Command2->click();
    QVERIFY(elapsed.elapsed() < 1000);
    QCOMPARE(m_messages.shown.size(), 1);
    QCOMPARE(m_messages.shown[0].text,
             QStringLiteral("检测不到网络标准时间服务器not a host name！"));
}

void TestNetwork::clicksDuringTheWait()
{
    makeWindow(startServers(DaytimeServer::Silent, {}, DaytimeServer::Answers, NistReply, 600));
    m_form->Option2->click();
    m_clock.current = QDateTime(QDate(2026, 5, 1), QTime(10, 0, 0));
    QStringList fieldsDuringWait;
    QTimer::singleShot(100, m_form.get(), [this, &fieldsDuringWait] {
        m_form->Command2->click(); // ignored: a fetch is running
        m_form->Command3->click(); // nothing fetched yet: the prompt
        m_form->Command1->click(); // the fields still refill
        fieldsDuringWait << m_form->b2->text() << m_form->c1->toPlainText();
    });
    m_form->Command2->click();

    QCOMPARE(m_primary->connections(), 1);
    QCOMPARE(m_secondary->connections(), 2);
    QCOMPARE(fieldsDuringWait, (QStringList{"05", Waiting}));
    QCOMPARE(m_messages.shown.size(), 1);
    QCOMPARE(m_messages.shown[0].text, QStringLiteral("请选获取网络时间！"));
    QCOMPARE(m_form->c1->toPlainText(), QStringLiteral("标准时间： 26-12-07 11:52:21"));
    QCOMPARE(m_pointer.history, (QList<int>{PointerBusy, PointerDefault}));
    QVERIFY(m_clock.writes.isEmpty());
}

void TestNetwork::fetchedOnlyOnce()
{
    makeWindow(
        startServers(DaytimeServer::Answers, PrimaryReply, DaytimeServer::Answers, NistReply));
    m_form->Command2->click();
    const QString shown = m_form->c1->toPlainText();
    m_form->c1->setPlainText(QStringLiteral("x"));
    m_form->Command2->click();
    QCOMPARE(m_primary->connections(), 2);
    QCOMPARE(m_form->c1->toPlainText(), QStringLiteral("x"));
    QCOMPARE(shown, QStringLiteral("标准时间： 2026-12-07 15:39:29"));
    QCOMPARE(m_pointer.history.size(), 2);
}

void TestNetwork::failedFetchCanBeRepeated()
{
    makeWindow(startServers(Refuses, {}, DaytimeServer::AnswersFirst, NistReply));
    m_form->Command2->click();
    QCOMPARE(m_messages.shown.size(), 1);
    // The second fetch asks again; the secondary now stays silent.
    m_form->Command2->click();
    QCOMPARE(m_secondary->connections(), 3);
    QCOMPARE(m_messages.shown.size(), 2);
    QCOMPARE(m_messages.shown[1].text, QStringLiteral("检测不到网络标准时间服务器127.0.0.3！"));
    QCOMPARE(m_form->c1->toPlainText(), QStringLiteral("标准时间：  "));
}

void TestNetwork::closingDuringFetchEndsAtOnce_data()
{
    QTest::addColumn<bool>("ntp"); // waiting for an NTP server, else for the primary
    QTest::newRow("waiting for the primary") << false;
    QTest::newRow("waiting for an NTP server") << true;
}

void TestNetwork::closingDuringFetchEndsAtOnce()
{
    QFETCH(bool, ntp);
    if (ntp) {
        // The Daytime servers refuse at once; the NTP server never answers, and the
        // wait for it is longer than the test may take.
        NtpServers silentNtp = startNtp(NtpFault::Silent, NtpFault::Sound);
        silentNtp.replyTimeoutMs = 600'000;
        makeWindow(startServers(Refuses, {}, Refuses, {}), silentNtp);
    } else {
        makeWindow(startServers(DaytimeServer::Silent, {}, DaytimeServer::Silent, {}, 10000));
    }
    QTimer::singleShot(150, m_form.get(), [this] { m_form->Command4->click(); });
    QElapsedTimer elapsed;
    elapsed.start();
    m_form->Command2->click();
    QVERIFY2(elapsed.elapsed() < 1000, "the waiting query held the window open");
    QVERIFY(!m_form->isVisible());
    QVERIFY(m_messages.shown.isEmpty());
    QCOMPARE(m_secondary->connections(), 0);
    QCOMPARE(m_pointer.current(), int(PointerDefault));
    if (ntp) // asked, and the next server not
        QCOMPARE(QList({m_ntpA->requests.size(), m_ntpB->requests.size()}),
                 QList<qsizetype>({1, 0}));
}

void TestNetwork::applyWritesFetchedInstantMovedOn_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QByteArray>("primaryReply"); // empty: the NIST server answers
    QTest::addColumn<QByteArray>("nistReply");
    QTest::addColumn<QString>("fetched"); // the replied second, UTC
    QTest::addColumn<qint64>("laterMs");  // on the boot clock between the fetch and the click

    // The instant is the same in every zone: only its local reading differs.
    QTest::newRow("Shanghai") << QByteArray("Asia/Shanghai") << PrimaryReply << QByteArray()
                              << "2026-12-07T07:39:29Z" << qint64(61'000);
    QTest::newRow("Berlin in winter") << QByteArray("Europe/Berlin") << PrimaryReply << QByteArray()
                                      << "2026-12-07T07:39:29Z" << qint64(61'000);
    QTest::newRow("New York, day before in Beijing")
        << QByteArray("America/New_York") << QByteArray("2026-07-01 08:00:00\r\n") << QByteArray()
        << "2026-07-01T00:00:00Z" << qint64(61'000);
    // The second pass of Berlin's repeated hour (02:30 CET): never read as a local time.
    QTest::newRow("Berlin, repeated hour")
        << QByteArray("Europe/Berlin") << QByteArray("2026-10-25 09:30:00\r\n") << QByteArray()
        << "2026-10-25T01:30:00Z" << qint64(0);
    QTest::newRow("NIST past midnight in Beijing, in Berlin")
        << QByteArray("Europe/Berlin") << QByteArray() << nist("26-12-07", "16:05:09")
        << "2026-12-07T16:05:09Z" << qint64(61'000);
    QTest::newRow("UTC") << QByteArray("UTC") << QByteArray() << nist("26-12-07", "16:05:09")
                         << "2026-12-07T16:05:09Z" << qint64(61'000);
    // The boot clock counts a suspend; a monotonic one would write the time of falling asleep.
    QTest::newRow("an hour asleep after the fetch")
        << QByteArray("Asia/Shanghai") << PrimaryReply << QByteArray() << "2026-12-07T07:39:29Z"
        << qint64(3'600'000);
}

void TestNetwork::applyWritesFetchedInstantMovedOn()
{
    QFETCH(QByteArray, zone);
    QFETCH(QByteArray, primaryReply);
    QFETCH(QByteArray, nistReply);
    QFETCH(QString, fetched);
    QFETCH(qint64, laterMs);

    const std::optional<QByteArray> oldZone =
        qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt;
    qputenv("TZ", zone);
    tzset();
    auto restoreZone = qScopeGuard([&oldZone] {
        if (oldZone)
            qputenv("TZ", *oldZone);
        else
            qunsetenv("TZ");
        tzset();
    });

    if (primaryReply.isEmpty())
        makeWindow(startServers(Refuses, {}, DaytimeServer::Answers, nistReply));
    else
        makeWindow(startServers(DaytimeServer::Answers, primaryReply, Refuses, {}));
    // Each click is bracketed by readings of the boot clock: real time passes, too.
    const auto bracket = [this](const std::function<void()> &click) {
        const qint64 before = m_clock.boottimeMs();
        click();
        return std::pair(before, m_clock.boottimeMs());
    };
    const auto [fetchStart, fetchEnd] = bracket([this] { m_form->Command2->click(); });
    QVERIFY(m_messages.shown.isEmpty());

    m_clock.bootShiftMs += laterMs;
    const auto [applyStart, applyEnd] = bracket([this] { m_form->Command3->click(); });
    QCOMPARE(m_clock.writes.size(), 1);
    QVERIFY(m_messages.shown.isEmpty());
    // The reply names only its second; the fetch places the instant within it.
    const qint64 movedOnMs =
        QDateTime::fromString(fetched, Qt::ISODate).msecsTo(writtenUtc(m_clock.writes[0]));
    QVERIFY2(movedOnMs >= applyStart - fetchEnd && movedOnMs < applyEnd - fetchStart + 1000,
             qPrintable(m_clock.writes[0]));

    // A click a minute later writes a minute later, never the same stored time.
    m_clock.bootShiftMs += 60'000;
    const auto [againStart, againEnd] = bracket([this] { m_form->Command3->click(); });
    QCOMPARE(m_clock.writes.size(), 2);
    const qint64 apartMs = writtenUtc(m_clock.writes[0]).msecsTo(writtenUtc(m_clock.writes[1]));
    QVERIFY2(apartMs >= againStart - applyEnd && apartMs <= againEnd - applyStart,
             qPrintable(m_clock.writes[1]));
}

NtpServers TestNetwork::startNtp(NtpFault a, NtpFault b)
{
    // Both on one port, as the program asks them: A 3.5 s ahead of the real clock, B a
    // minute ahead of A, so that the time shown says whose it is.
    for (int attempt = 0; attempt < 20; ++attempt) {
        m_ntpA = std::make_unique<NtpServer>();
        m_ntpB = std::make_unique<NtpServer>();
        if (m_ntpA->listen(NtpAddressA) && m_ntpB->listen(NtpAddressB, m_ntpA->port()) &&
            m_ntpA->listenOther(NtpStranger))
            break;
        m_ntpA.reset();
    }
    if (!m_ntpA)
        qFatal("no free UDP port on the loopback addresses");
    m_ntpA->offsetMs = QDateTime::currentMSecsSinceEpoch() - bootNs() / 1'000'000 + 3'500;
    m_ntpB->offsetMs = m_ntpA->offsetMs + 60'000;
    answerWith(*m_ntpA, a);
    answerWith(*m_ntpB, b);
    NtpServers ntp;
    ntp.hosts = {NtpAddressA.toString(), NtpAddressB.toString()};
    ntp.port = m_ntpA->port();
    ntp.replyTimeoutMs = 1500;
    ntp.resendAfterMs = 500;
    return ntp;
}

// The result line shows the server's Beijing time during the fetch, and applying
// writes its clock at that moment, within 50 ms.
void TestNetwork::checkNtpTimeTaken(const NtpServer &server, qint64 fetchStart, qint64 fetchEnd)
{
    QStringList shown;
    const qint64 from = (fetchStart + server.offsetMs) / 1000 * 1000;
    for (qint64 ms = from; ms <= fetchEnd + server.offsetMs; ms += 1000)
        shown << QStringLiteral("标准时间： ") +
                     QDateTime::fromMSecsSinceEpoch(ms + 8 * 3'600'000, QTimeZone::utc())
                         .toString(u"yy-MM-dd HH:mm:ss");
    QVERIFY2(
        shown.contains(m_form->c1->toPlainText()),
        qPrintable(m_form->c1->toPlainText() + QStringLiteral(" not in ") + shown.join(u", ")));
    const qint64 applyStart = m_clock.boottimeMs();
    m_form->Command3->click();
    const qint64 applyEnd = m_clock.boottimeMs();
    QCOMPARE(m_clock.writes.size(), 1);
    const qint64 written = writtenUtc(m_clock.writes[0]).toMSecsSinceEpoch() - server.offsetMs;
    QVERIFY2(written >= applyStart - 50 && written <= applyEnd + 50, qPrintable(m_clock.writes[0]));
}

void TestNetwork::ntpWhenNoDaytimeTime_data()
{
    QTest::addColumn<int>("primary");
    QTest::addColumn<QByteArray>("primaryReply");
    QTest::addColumn<int>("secondary");
    QTest::addColumn<QByteArray>("secondaryReply");
    QTest::addColumn<int>("ntpA");
    QTest::addColumn<int>("ntpB");
    QTest::addColumn<QString>("taken");   // "A", "B", "Daytime", or "" for none
    QTest::addColumn<QString>("message"); // for none: the Daytime message, as without NTP
    QTest::addColumn<QString>("status");  // and the result line, as without NTP
    QTest::addColumn<bool>("ntpAsked");

    ntpTakenRows();
    ntpNotTakenRows();
}

void TestNetwork::ntpWhenNoDaytimeTime()
{
    QFETCH(int, primary);
    QFETCH(QByteArray, primaryReply);
    QFETCH(int, secondary);
    QFETCH(QByteArray, secondaryReply);
    QFETCH(int, ntpA);
    QFETCH(int, ntpB);
    QFETCH(QString, taken);
    QFETCH(QString, message);
    QFETCH(QString, status);
    QFETCH(bool, ntpAsked);

    const TraceRecorder recorder;
    makeWindow(startServers(primary, primaryReply, secondary, secondaryReply),
               startNtp(NtpFault(ntpA), NtpFault(ntpB)));
    const qint64 fetchStart = m_clock.boottimeMs();
    m_form->Command2->click();
    const qint64 fetchEnd = m_clock.boottimeMs();

    // B is asked when A gave no time: it gives one, or none does.
    const bool askedB = taken == u"B" || (ntpAsked && taken.isEmpty());
    QCOMPARE(!m_ntpA->requests.isEmpty(), ntpAsked);
    QCOMPARE(!m_ntpB->requests.isEmpty(), askedB);
    QCOMPARE(m_pointer.history, (QList<int>{PointerBusy, PointerDefault}));
    if (taken.isEmpty()) {
        QCOMPARE(m_messages.shown.size(), 1);
        QVERIFY2(m_messages.shown[0].text.startsWith(message),
                 qPrintable(m_messages.shown[0].text));
        QCOMPARE(m_form->c1->toPlainText(), status);
        QVERIFY(m_form->NetTime.toString().isEmpty());
        return;
    }
    QVERIFY2(m_messages.shown.isEmpty(), qPrintable(m_messages.shown.value(0).text));
    if (taken == u"Daytime")
        return;
    checkNtpTimeTaken(taken == u"A" ? *m_ntpA : *m_ntpB, fetchStart, fetchEnd);
    QVERIFY2(recorder.says(QStringLiteral("horalis.net"),
                           {QStringLiteral("fetch: the system clock is"), QStringLiteral(" s ")}),
             recorder.dump());
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
