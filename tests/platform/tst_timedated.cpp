#include "fakeclockcalls.h"
#include "runtimeerror.h"
#include "systemclock.h"
#include "timedatedservice.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <ctime>

using namespace horalis;
using namespace horalis::test;

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kPython = QStringLiteral("/usr/bin/python3"); // Debian's, which has dbusmock
const QString kNoBus = QStringLiteral("unix:path=/nonexistent/horalis-test-bus");

// Ends a process this test started: politely first, then for good; bounded in time.
void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

// A D-Bus daemon of the test's own, listening in a temporary folder, with no service
// files: nothing on it can be started on demand, the real timedated least of all.
class PrivateBus {
public:
    ~PrivateBus() { stop(m_daemon); }

    QString start(const QString &daemon)
    {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write ") + config;
        // No <servicedir>: nothing can be started on demand.
        const QString busConfig =
            QStringLiteral("<!DOCTYPE busconfig PUBLIC"
                           " \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n"
                           "  <type>session</type>\n"
                           "  <listen>unix:path=%1</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n");
        file.write(busConfig.arg(m_dir.filePath(QStringLiteral("bus"))).toUtf8());
        file.close();
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start(daemon, {QStringLiteral("--config-file=") + config,
                                QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(5000))
            return QStringLiteral("dbus-daemon did not start");
        QElapsedTimer waited;
        waited.start();
        while (!m_daemon.canReadLine() && waited.elapsed() < 5000)
            m_daemon.waitForReadyRead(100);
        address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        return address.isEmpty() ? QStringLiteral("dbus-daemon printed no address") : QString();
    }

    QString address;

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
};

// Calls a method of dbusmock's control interface on the mocked timedated.
QDBusMessage mockCall(const QString &method, const QVariantList &args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kMock, method);
    call.setArguments(args);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 10'000);
}

// Every SetTime the mock has had since the last ClearCalls, as "type value" triples.
QStringList setTimeCalls()
{
    const QDBusMessage reply = mockCall(QStringLiteral("GetMethodCalls"), {"SetTime"});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {QStringLiteral("GetMethodCalls failed: ") + reply.errorMessage()};
    QStringList calls;
    const QDBusArgument log = reply.arguments().value(0).value<QDBusArgument>();
    log.beginArray();
    while (!log.atEnd()) {
        quint64 stamp = 0;
        log.beginStructure();
        log >> stamp;
        QStringList values;
        log.beginArray();
        while (!log.atEnd()) {
            QDBusVariant value;
            log >> value;
            values << QString::fromLatin1(value.variant().typeName()) + u' ' +
                          value.variant().toString();
        }
        log.endArray();
        log.endStructure();
        calls << values.join(QStringLiteral(", "));
    }
    log.endArray();
    return calls;
}

QString setTimeCall(const QString &iso)
{
    return QStringLiteral("qlonglong %1, bool false, bool true").arg(utcNs(iso) / 1000);
}

// Gives the mock's SetTime a body of Python code.
void setSetTimeBody(const QString &code)
{
    const QDBusMessage reply =
        mockCall(QStringLiteral("AddMethod"), {kService, "SetTime", "xbb", "", code});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

} // namespace

// The clock's fallback against python-dbusmock's timedated on a bus of the test's own.
class TestTimedated : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is missing (Debian package dbus)");
        if (QProcess::execute(kPython, {"-c", "import dbusmock"}) != 0)
            QSKIP("python3-dbusmock is missing");
        m_savedTz = qgetenv("TZ");
        m_hadTz = qEnvironmentVariableIsSet("TZ");

        QString failed = m_bus.start(daemon);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        failed = m_emptyBus.start(daemon);
        QVERIFY2(failed.isEmpty(), qPrintable(failed));
        // Before this process first connects: its "system bus" is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address.toUtf8());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_bus.address);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address);
        m_mock.setProcessEnvironment(env);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.start(kPython, {"-m", "dbusmock", "--template", "timedated", "--system"});
        QVERIFY2(m_mock.waitForStarted(5000), "dbusmock did not start");
        QDBusConnection bus = QDBusConnection::systemBus();
        QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
        QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(kService) ||
                                     m_mock.state() == QProcess::NotRunning,
                                 20'000);
        QVERIFY2(m_mock.state() == QProcess::Running, "dbusmock ended");
        QVERIFY(bus.interface()->isServiceRegistered(kService));
    }

    void cleanupTestCase()
    {
        stop(m_mock);
        if (m_hadTz)
            qputenv("TZ", m_savedTz);
        else
            qunsetenv("TZ");
        tzset();
    }

    void init()
    {
        setSetTimeBody(QString()); // the template's: accept and do nothing
        mockCall(QStringLiteral("ClearCalls"));
    }

    // The window's two steps, refused by the kernel: each reaches timedated as the
    // instant since the epoch in microseconds, absolute and allowed to ask for a password.
    void writesTheInstant_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");

        QTest::newRow("Berlin summer to winter")
            << QByteArray("Europe/Berlin") << "2026-07-01T10:00:00.000Z" << QTime(8, 15, 30)
            << QDate(2026, 12, 24) << "2026-07-01T06:15:30.000Z"
            << "2026-12-24T07:15:31.500Z";
        QTest::newRow("New York, local date behind UTC")
            << QByteArray("America/New_York") << "2026-12-07T03:00:00.000Z" << QTime(21, 0)
            << QDate(2027, 3, 1) << "2026-12-07T02:00:00.000Z"
            << "2027-03-02T02:00:01.500Z";
        QTest::newRow("Shanghai, midnight passes in between")
            << QByteArray("Asia/Shanghai") << "2026-12-07T04:50:00.000Z" << QTime(23, 59, 59)
            << QDate(2027, 1, 1) << "2026-12-07T15:59:59.000Z"
            << "2026-12-31T16:00:00.500Z";
        QTest::newRow("UTC, the epoch")
            << QByteArray("UTC") << "2026-12-07T04:50:00.000Z" << QTime(0, 0) << QDate(1970, 1, 1)
            << "2026-12-07T00:00:00.000Z"
            << "1970-01-01T00:00:01.500Z";
    }

    void writesTheInstant()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, nowUtc);
        QFETCH(QTime, time);
        QFETCH(QDate, date);
        QFETCH(QString, first);
        QFETCH(QString, second);
        useZone(zone);
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs(nowUtc);
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);

        clock.setTimeOfDay(time);
        // timedated has set the clock; it has run on by the time the date is applied.
        calls.realtime = utcNs(first) + 1'500'000'000;
        clock.setDate(date);

        QCOMPARE(setTimeCalls(), (QStringList{setTimeCall(first), setTimeCall(second)}));
        // Each step tried the kernel first, with the same instant.
        QCOMPARE(calls.written, (QList<qint64>{utcNs(first), utcNs(second)}));
        QCOMPARE(int(calls.rtcWritten.size()), 0);
    }

    // Only a refusal of the right turns to timedated.
    void onlyAfterRefusal_data()
    {
        QTest::addColumn<int>("failWith");
        QTest::addColumn<int>("serviceCalls");
        QTest::addColumn<int>("rtcWrites");

        QTest::newRow("direct succeeds") << 0 << 0 << 1;
        QTest::newRow("EPERM") << EPERM << 1 << 0;
        QTest::newRow("EACCES") << EACCES << 1 << 0;
        QTest::newRow("EINVAL") << EINVAL << 0 << 0;
    }

    void onlyAfterRefusal()
    {
        QFETCH(int, failWith);
        QFETCH(int, serviceCalls);
        QFETCH(int, rtcWrites);
        useZone("UTC");
        FakeCalls calls;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        calls.failWith = failWith;
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);

        try {
            clock.setTimeOfDay(QTime(12, 0));
        } catch (const RunTimeError &) {
            QCOMPARE(failWith, EINVAL);
        }
        QCOMPARE(calls.written.size(), 1);
        QCOMPARE(setTimeCalls().size(), serviceCalls);
        QCOMPARE(int(calls.rtcWritten.size()), rtcWrites);
    }

    // timedated's refusals, each as the text the window shows after "时间格式不对，".
    void errors_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("expected");

        const QStringList denied{QStringLiteral("没有得到修改系统时间的授权"),
                                 QStringLiteral("输入管理员密码")};
        const QStringList noService{QStringLiteral("找不到系统的时间服务"),
                                    QStringLiteral("以管理员（root）身份运行")};
        QTest::newRow("access denied") << "org.freedesktop.DBus.Error.AccessDenied"
                                       << "Permission denied" << denied;
        QTest::newRow("polkit: not authorized") << "org.freedesktop.PolicyKit1.Error.NotAuthorized"
                                                << "cancelled" << denied;
        QTest::newRow("polkit: interactive authorization required")
            << "org.freedesktop.PolicyKit1.Error.InteractiveAuthorizationRequired"
            << "no agent" << denied;
        QTest::newRow("bus: interactive authorization required")
            << "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"
            << "no agent" << denied;
        QTest::newRow("automatic time sync on")
            << "org.freedesktop.timedate1.AutomaticTimeSyncEnabled"
            << "Automatic time synchronization is enabled"
            << QStringList{QStringLiteral("自动时间同步"), QStringLiteral("关闭自动同步"),
                           QStringLiteral("timedatectl set-ntp false")};
        QTest::newRow("service unknown") << "org.freedesktop.DBus.Error.ServiceUnknown"
                                         << "gone" << noService;
        QTest::newRow("no server") << "org.freedesktop.DBus.Error.NoServer"
                                   << "x" << noService;
        QTest::newRow("disconnected") << "org.freedesktop.DBus.Error.Disconnected"
                                      << "x" << noService;
        QTest::newRow("spawn failed") << "org.freedesktop.DBus.Error.Spawn.ChildExited"
                                      << "exit 1" << noService;
        QTest::newRow("anything else names the error")
            << "org.freedesktop.timedate1.SomethingNew"
            << "硬件时钟坏了"
            << QStringList{QStringLiteral("系统时间服务拒绝修改时间"),
                           QStringLiteral("硬件时钟坏了"),
                           QStringLiteral("org.freedesktop.timedate1.SomethingNew")};
        QTest::newRow("a name alone") << "org.example.Error.Odd"
                                      << "" << QStringList{QStringLiteral("org.example.Error.Odd")};
    }

    void errors()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(QStringList, expected);
        setSetTimeBody(QStringLiteral("raise dbus.exceptions.DBusException('%1', name='%2')")
                           .arg(message, name));
        useZone("UTC");
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);

        const QString thrown = errorOf([&] { clock.setDate(QDate(2027, 1, 1)); });
        for (const QString &part : expected)
            QVERIFY2(thrown.contains(part), qPrintable(thrown));
        QVERIFY2(thrown.endsWith(u'。'), qPrintable(thrown));
        QCOMPARE(setTimeCalls().size(), 1);
    }

    // No timedated to ask: a bus without it, or no bus at all.
    void noService_data()
    {
        QTest::addColumn<bool>("busRuns");
        QTest::newRow("bus without timedated") << true;
        QTest::newRow("no bus") << false;
    }

    void noService()
    {
        QFETCH(bool, busRuns);
        useZone("UTC");
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        TimedatedService service(10'000, busRuns ? m_emptyBus.address : kNoBus);
        SystemClock clock(calls, &service);

        QElapsedTimer took;
        took.start();
        const QString thrown = errorOf([&] { clock.setTimeOfDay(QTime(12, 0)); });
        QVERIFY2(thrown.contains(u"找不到系统的时间服务"), qPrintable(thrown));
        QVERIFY2(took.elapsed() < 5000, "must not wait for the bound");
        QCOMPARE(setTimeCalls().size(), 0);
    }

    // A SetTime that does not answer within the bound is given up on.
    void timesOut()
    {
        setSetTimeBody(QStringLiteral("time.sleep(2)"));
        useZone("UTC");
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        TimedatedService service(300);
        SystemClock clock(calls, &service);

        QElapsedTimer took;
        took.start();
        const QString thrown = errorOf([&] { clock.setTimeOfDay(QTime(12, 0)); });
        const qint64 ms = took.elapsed();
        QVERIFY2(thrown.contains(u"超时（0.3 秒）"), qPrintable(thrown));
        QVERIFY2(ms >= 250 && ms < 1500, qPrintable(QString::number(ms)));
    }

    // While timedated takes its time (a password prompt), events go on being handled.
    void staysResponsive()
    {
        setSetTimeBody(QStringLiteral("time.sleep(0.6)"));
        useZone("UTC");
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(20);

        clock.setTimeOfDay(QTime(12, 0));
        ticker.stop();
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(setTimeCalls(), QStringList{setTimeCall("2026-12-07T12:00:00.000Z")});
    }

private:
    PrivateBus m_bus;
    PrivateBus m_emptyBus;
    QProcess m_mock;
    QByteArray m_savedTz;
    bool m_hadTz = false;
};

int main(int argc, char *argv[])
{
    // Before anything can connect: never the machine's real system bus, whose timedated
    // polkit may let an administrator use without a password.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBus.toUtf8());
    QCoreApplication app(argc, argv);
    TestTimedated test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_timedated.moc"
