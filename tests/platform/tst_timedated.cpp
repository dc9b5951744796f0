#include "fakeclockcalls.h"
#include "instant.h"
#include "runtimeerror.h"
#include "systemclock.h"
#include "timedatedservice.h"
#include "tracerecorder.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <ctime>
#include <optional>

using namespace horalis;
using namespace horalis::test;

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kPolkitService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPolkitPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kPolkitInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
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

// A service dbusmock plays on the private bus: its name and its object.
struct Mocked {
    QString service;
    QString path;
};
const Mocked kTimedated{kService, kPath};
const Mocked kPolkit{kPolkitService, kPolkitPath};

// Calls a method of dbusmock's control interface on a mocked service.
QDBusMessage mockCall(const QString &method, const QVariantList &args = {},
                      const Mocked &mocked = kTimedated)
{
    QDBusMessage call = QDBusMessage::createMethodCall(mocked.service, mocked.path, kMock, method);
    call.setArguments(args);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 10'000);
}

// Every call of a method the mock has had since the last ClearCalls, each as its
// arguments' "type value", joined by ", ".
QStringList callsOf(const QString &method, const Mocked &mocked = kTimedated)
{
    const QDBusMessage reply = mockCall(QStringLiteral("GetMethodCalls"), {method}, mocked);
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

// polkit's CheckAuthorization, in Python statements that set ret: `check` answers a
// check without a prompt, `prompt` one that may show a prompt. A prompt answered yes is
// kept, as auth_admin_keep keeps it: later checks pass without one. Every call is
// logged for polkitLog().
void setPolkit(const QString &check, const QString &prompt)
{
    const QString code = QStringLiteral("who = args[0][1]['name']\n"
                                        "if args[3] & 1:\n"
                                        "    self.horalis_id = args[4]\n"
                                        "    self.horalis_seen.append('%s prompt%s %s' % (args[1], "
                                        "'' if args[4] else ' without id', who))\n"
                                        "    %2\n"
                                        "else:\n"
                                        "    self.horalis_seen.append('%s %s' % (args[1], who))\n"
                                        "    if getattr(self, 'horalis_kept', False):\n"
                                        "        ret = (True, False, {})\n"
                                        "    else:\n"
                                        "        %1\n")
                             .arg(check, prompt);
    const QDBusMessage reply =
        mockCall(QStringLiteral("AddMethod"),
                 {kPolkitInterface, QStringLiteral("CheckAuthorization"),
                  QStringLiteral("(sa{sv})sa{ss}us"), QStringLiteral("(bba{ss})"), code},
                 kPolkit);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

const QString kYes = QStringLiteral("ret = (True, False, {})");
// As polkitd 122 and 126 answer a check that needs a password, whoever's it is.
const QString kChallenge =
    QStringLiteral("ret = (False, True, {'polkit.retains_authorization_after_challenge': '1'})");
const QString kGrant = QStringLiteral("self.horalis_kept = True; ret = (True, False, {})");

// Calls a method of the mocked polkit itself.
QDBusMessage polkitCall(const QString &method)
{
    return QDBusConnection::systemBus().call(
        QDBusMessage::createMethodCall(kPolkitService, kPolkitPath, kPolkitInterface, method));
}

// What the mocked polkit was asked since init(): "ACTION SUBJECT" for a check, "ACTION
// prompt SUBJECT" for one that may prompt, "cancel the prompt" when that was withdrawn.
// This process, by its name on the bus, reads "me". Nothing once polkitd has ended:
// what it was asked ended with it.
QStringList polkitLog()
{
    const QDBusMessage reply = polkitCall(QStringLiteral("Seen"));
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    return reply.arguments().value(0).toStringList().replaceInStrings(
        QDBusConnection::systemBus().baseService(), QStringLiteral("me"));
}

QStringList setTimeCalls()
{
    return callsOf(QStringLiteral("SetTime"));
}

// SetTime(usec_utc = delta, relative = true, interactive = true) as the log shows it.
QString shiftCall(qint64 deltaUsec)
{
    return QStringLiteral("qlonglong %1, bool true, bool true").arg(deltaUsec);
}

// Gives one of the mock's methods a body of Python code.
void setBody(const QString &method, const QString &signature, const QString &code)
{
    const QDBusMessage reply =
        mockCall(QStringLiteral("AddMethod"), {kService, method, signature, "", code});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

void setSetTimeBody(const QString &code)
{
    setBody(QStringLiteral("SetTime"), QStringLiteral("xbb"), code);
}

// The template's own SetNTP, put back after a test replaced it.
const QString kSetNtpBody =
    QStringLiteral("self.Set('org.freedesktop.timedate1', 'NTP', args[0]); "
                   "self.Set('org.freedesktop.timedate1', 'NTPSynchronized', args[0])");

void setNtp(bool on)
{
    const QDBusMessage reply = mockCall(QStringLiteral("UpdateProperties"),
                                        {kService, QVariantMap{{QStringLiteral("NTP"), on}}});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

// A SetTime that refuses as timedated does while the NTP unit is still running, for
// its first `refusals` calls since the last ClearCalls (the log already holds this one).
QString refuseSetTimeFirst(int refusals)
{
    return QStringLiteral("if [c[1] for c in self.call_log].count('SetTime') <= %1: raise "
                          "dbus.exceptions.DBusException('Automatic time synchronization is "
                          "enabled', name='org.freedesktop.timedate1.AutomaticTimeSyncEnabled')")
        .arg(refusals);
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

        startMock(m_mock, {"--template", "timedated"}, kService);
        startPolkit();
    }

    void cleanupTestCase()
    {
        stop(m_polkit);
        stop(m_mock);
        if (m_hadTz)
            qputenv("TZ", m_savedTz);
        else
            qunsetenv("TZ");
        tzset();
    }

    void init()
    {
        if (m_polkit.state() == QProcess::NotRunning) // a test ended it
            startPolkit();
        setSetTimeBody(QString()); // the template's: accept and do nothing
        setBody(QStringLiteral("SetNTP"), QStringLiteral("bb"), kSetNtpBody);
        setNtp(true);
        mockCall(QStringLiteral("ClearCalls"));
        // polkit, as for root or after a kept authorization: yes, without a prompt.
        setPolkit(kYes, kGrant);
        polkitCall(QStringLiteral("Forget"));
    }

    // A write the kernel refuses reaches timedated as a shift: from the real clock to
    // the target moved on by the boot clock, in microseconds, relative, and allowed to
    // ask for a password. The kernel was tried first with the same instant.
    void shiftsTheClock_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("nowUtc");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<qint64>("bootLaterMs");
        QTest::addColumn<qint64>("deltaUsec");

        QTest::newRow("Berlin summer to winter")
            << QByteArray("Europe/Berlin") << "2026-07-01T10:00:00.000Z" << QDate(2026, 12, 24)
            << QTime(8, 15, 30) << 0LL << 15'196'530'000'000LL;
        QTest::newRow("New York, local date behind UTC, after a prompt")
            << QByteArray("America/New_York") << "2026-12-07T03:00:00.000Z" << QDate(2027, 3, 1)
            << QTime(21, 0) << 1500LL << 7'340'401'500'000LL;
        QTest::newRow("Shanghai, back by less than an hour")
            << QByteArray("Asia/Shanghai") << "2026-12-07T04:50:00.000Z" << QDate(2026, 12, 7)
            << QTime(11, 59, 59) << 1500LL << -2'999'500'000LL;
        QTest::newRow("UTC, back to the epoch")
            << QByteArray("UTC") << "2026-12-07T04:50:00.000Z" << QDate(1970, 1, 1) << QTime(0, 0)
            << 0LL << -1'796'619'000'000'000LL;
    }

    void shiftsTheClock()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, nowUtc);
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(qint64, bootLaterMs);
        QFETCH(qint64, deltaUsec);
        useZone(zone);
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.boottime = 5'000'000'000;
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);
        const Instant target{localToUtcMs(date, time), clock.boottimeMs()};

        calls.boottime += bootLaterMs * 1'000'000;
        calls.realtime = utcNs(nowUtc);
        clock.setInstant(target, {});

        QCOMPARE(setTimeCalls(), QStringList{shiftCall(deltaUsec)});
        QCOMPARE(calls.written, QList<qint64>{utcNs(nowUtc) + deltaUsec * 1000});
        QVERIFY(calls.rtcWritten.isEmpty());
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
            clock.setInstant({utcNs("2026-12-07T12:00:00.000Z") / 1'000'000, 0}, {});
        } catch (const RunTimeError &) {
            QCOMPARE(failWith, EINVAL);
        }
        QCOMPARE(calls.written.size(), 1);
        QCOMPARE(setTimeCalls().size(), serviceCalls);
        QCOMPARE(int(calls.rtcWritten.size()), rtcWrites);
    }

    // Read from timedated's NTP property.
    void automaticSync_data()
    {
        QTest::addColumn<bool>("ntp");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }

    void automaticSync()
    {
        QFETCH(bool, ntp);
        setNtp(ntp);
        TimedatedService service(10'000);
        const std::optional<bool> sync = service.automaticSync({});
        QVERIFY(sync.has_value());
        QCOMPARE(*sync, ntp);
    }

    void stopAutomaticSync()
    {
        TimedatedService service(10'000);
        service.stopAutomaticSync({});
        QCOMPARE(callsOf(QStringLiteral("SetNTP")), QStringList{"bool false, bool true"});
        const std::optional<bool> sync = service.automaticSync({});
        QVERIFY(sync.has_value());
        QVERIFY(!*sync);
        QVERIFY(setTimeCalls().isEmpty());
    }

    // Where a password is needed, polkit is asked for Horalis's own action first, for
    // this process as timedated sees it, and timedated only after, on the kept
    // authorization: one prompt for a whole apply, and none the system would not show.
    void authorizesFirst_data()
    {
        QTest::addColumn<bool>("stopSync");     // automatic sync is switched off first
        QTest::addColumn<QString>("check");     // polkit, asked without a prompt
        QTest::addColumn<QString>("prompt");    // and with one
        QTest::addColumn<QString>("polkitd");   // "gone" before, "ends" 300 ms in, "hangs"
        QTest::addColumn<int>("boundMs");       // how long Horalis waits for the prompt
        QTest::addColumn<QStringList>("asked"); // what polkit was asked (nothing, once ended)
        QTest::addColumn<QString>("error");     // empty: the time is set

        const QString setTime = QStringLiteral("org.freedesktop.timedate1.set-time me");
        const QString setNtp = QStringLiteral("org.freedesktop.timedate1.set-ntp me");
        const QString prompt = QStringLiteral("io.github.horalis.horalis.set-clock prompt me");
        const auto raise = [](const char *name, const char *message) {
            return QStringLiteral("raise dbus.exceptions.DBusException('%1', name='%2')")
                .arg(QLatin1String(message), QLatin1String(name));
        };
        // Longer than any row waits: only the end of polkitd ends it.
        const QString asleep = QStringLiteral("time.sleep(8); ");
        const int bound = 10'000;
        QTest::newRow("authorized already: no prompt")
            << false << kYes << kGrant << "" << bound << QStringList{setTime} << "";
        QTest::newRow("a password, then the time")
            << false << kChallenge << kGrant << "" << bound << QStringList{setTime, prompt} << "";
        QTest::newRow("sync on too: one prompt for both")
            << true << kChallenge << kGrant << "" << bound << QStringList{setNtp, prompt, setTime}
            << "";
        QTest::newRow("prompt cancelled or password refused")
            << false << kChallenge
            << QStringLiteral("ret = (False, False, {'polkit.dismissed': 'true'})") << "" << bound
            << QStringList{setTime, prompt} << QStringLiteral("没有得到修改系统时间的授权");
        QTest::newRow("no agent in the session")
            << false << kChallenge << kChallenge << "" << bound << QStringList{setTime, prompt}
            << QStringLiteral("无法弹出输入管理员密码的授权窗口");
        // As polkitd answers for an action it does not know, before any prompt.
        QTest::newRow("action not installed: timedated asks")
            << false << kChallenge
            << raise("org.freedesktop.PolicyKit1.Error.Failed",
                     "Action io.github.horalis.horalis.set-clock is not registered")
            << "" << bound << QStringList{setTime, prompt} << "";
        QTest::newRow("no polkitd: timedated asks")
            << true << raise("org.freedesktop.DBus.Error.ServiceUnknown", "x") << kGrant << ""
            << bound << QStringList{setNtp, setTime} << "";
        QTest::newRow("polkitd cannot be started (its unit masked): timedated asks")
            << true << raise("org.freedesktop.systemd1.UnitMasked", "x") << kGrant << "" << bound
            << QStringList{setNtp, setTime} << "";
        QTest::newRow("polkitd gone before the prompt: timedated asks")
            << false << kChallenge << raise("org.freedesktop.DBus.Error.NameHasNoOwner", "x") << ""
            << bound << QStringList{setTime, prompt} << "";
        QTest::newRow("polkitd ended before the apply: timedated asks")
            << true << kChallenge << kGrant << "gone" << bound << QStringList{} << "";
        QTest::newRow("no password within the bound: prompt withdrawn")
            << false << kChallenge << QStringLiteral("time.sleep(1); ") + kGrant << "" << 300
            << QStringList{setTime, prompt, QStringLiteral("cancel the prompt")}
            << QStringLiteral("等待输入管理员密码超过 0.3 秒");
        // polkitd crashed, or was restarted as its package was upgraded: nothing was
        // refused, and no second prompt is put up by timedated.
        QTest::newRow("polkitd ends while its prompt is open: nothing set")
            << true << kChallenge << asleep + kGrant << "ends" << bound << QStringList{}
            << QStringLiteral("系统的授权服务（polkit）在等待输入管理员密码时停止了回应");
        QTest::newRow("polkitd ends during the check: nothing set")
            << true << asleep + kChallenge << kGrant << "ends" << bound << QStringList{}
            << QStringLiteral("系统的授权服务（polkit）没有回应");
        QTest::newRow("polkitd does not answer the check within 5 s: nothing set")
            << false << asleep + kYes << kGrant << "hangs" << bound << QStringList{}
            << QStringLiteral("系统的授权服务（polkit）没有回应");
        // Any other error of polkit's is named, and is no reason to ask again.
        QTest::newRow("polkit fails the prompt otherwise: named, nothing set")
            << false << kChallenge
            << raise("org.freedesktop.PolicyKit1.Error.Failed", "Error reading the agent") << ""
            << bound << QStringList{setTime, prompt}
            << QStringLiteral("系统的授权服务（polkit）出错（Error reading the agent，"
                              "org.freedesktop.PolicyKit1.Error.Failed）");
        QTest::newRow("polkit fails the check: named, nothing set")
            << true << raise("org.freedesktop.DBus.Error.AccessDenied", "Rejected send message")
            << kGrant << "" << bound << QStringList{setNtp}
            << QStringLiteral("系统的授权服务（polkit）出错（Rejected send message，");
    }

    void authorizesFirst()
    {
        QFETCH(bool, stopSync);
        QFETCH(QString, check);
        QFETCH(QString, prompt);
        QFETCH(QString, polkitd);
        QFETCH(int, boundMs);
        QFETCH(QStringList, asked);
        QFETCH(QString, error);
        setPolkit(check, prompt);
        if (polkitd == u"gone") {
            endPolkit();
            QTRY_VERIFY(
                !QDBusConnection::systemBus().interface()->isServiceRegistered(kPolkitService));
        }
        if (polkitd == u"ends")
            QTimer::singleShot(300, this, [this] { endPolkit(); });
        TimedatedService service(boundMs);

        QElapsedTimer took;
        took.start();
        const QString thrown = errorOf([&] {
            if (stopSync)
                service.stopAutomaticSync({});
            service.shiftTime(-1'500'000, {});
        });
        if (polkitd == u"ends") // the bus answers for a polkitd that ended, at once
            QVERIFY2(took.elapsed() < 2000, qPrintable(QString::number(took.elapsed())));
        if (polkitd == u"hangs")
            endPolkit();
        if (error.isEmpty())
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
        else
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
        QTRY_COMPARE(polkitLog(), asked);
        QCOMPARE(setTimeCalls().size(), error.isEmpty() ? 1 : 0);
        QCOMPARE(callsOf(QStringLiteral("SetNTP")).size(), stopSync && error.isEmpty() ? 1 : 0);
    }

    // The trace names polkit's answer to each question, also where what follows is the
    // same: timedated is asked to set the time whether polkit said yes or cannot say.
    void tracesPolkitsAnswer_data()
    {
        QTest::addColumn<QString>("check");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("trace");

        const QString without = QStringLiteral(
            "polkit, asked without a prompt for org.freedesktop.timedate1.set-time : ");
        const QString with = QStringLiteral("polkit, asked with a password prompt for "
                                            "io.github.horalis.horalis.set-clock : ");
        const QString cannotSay =
            QStringLiteral("cannot say (no polkitd, or the action is not installed)");
        const QString raise = QStringLiteral("raise dbus.exceptions.DBusException('x', name='%1')");
        QTest::newRow("authorized already")
            << kYes << kGrant << without + QStringLiteral("authorized");
        QTest::newRow("a rule says no: timedated decides")
            << QStringLiteral("ret = (False, False, {})") << kGrant
            << without + QStringLiteral("refused");
        QTest::newRow("no polkitd") << raise.arg("org.freedesktop.DBus.Error.ServiceUnknown")
                                    << kGrant << without + cannotSay;
        QTest::newRow("a password")
            << kChallenge << kGrant << with + QStringLiteral("authorized after");
        QTest::newRow("action not installed")
            << kChallenge
            << QStringLiteral("raise dbus.exceptions.DBusException('Action "
                              "io.github.horalis.horalis.set-clock is not registered', "
                              "name='org.freedesktop.PolicyKit1.Error.Failed')")
            << with + cannotSay + QStringLiteral(" after");
    }

    void tracesPolkitsAnswer()
    {
        QFETCH(QString, check);
        QFETCH(QString, prompt);
        QFETCH(QString, trace);
        setPolkit(check, prompt);
        const TraceRecorder recorder;
        TimedatedService service(10'000);
        QCOMPARE(errorOf([&] { service.shiftTime(-1'500'000, {}); }), QString());
        QVERIFY2(recorder.says(QStringLiteral("horalis.timedated"), {trace}), recorder.dump());
        QCOMPARE(setTimeCalls().size(), 1);
    }

    // Right after SetNTP(false), timedated refuses SetTime until the NTP unit has
    // stopped: that refusal is waited out, for a bounded while, and then named for what
    // it is. Without a stop just before, it is the user's to act on.
    void syncStopping_data()
    {
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<int>("stopTakesMs"); // the unit stops this long after SetNTP
        QTest::addColumn<int>("boundMs");     // how long the refusal is waited out
        QTest::addColumn<QString>("error");   // empty: must not throw

        const int bound = TimedatedService::kDefaultSyncStopWaitMs;
        QTest::newRow("after stopping: waited out") << true << 600 << bound << "";
        QTest::newRow("a unit that takes 5 s to stop") << true << 5000 << bound << "";
        QTest::newRow("no stop before: not retried")
            << false << 0 << bound << QStringLiteral("请先关闭自动同步");
        QTest::newRow("still stopping at the bound: says sync is off")
            << true << 60'000 << 1000
            << QStringLiteral("自动时间同步已经关闭，但系统的时间同步服务等了 1 秒还没有停下来");
    }

    void syncStopping()
    {
        QFETCH(bool, stopFirst);
        QFETCH(int, stopTakesMs);
        QFETCH(int, boundMs);
        QFETCH(QString, error);
        // As timedated does: SetTime is refused while NTP is on or its unit still runs.
        setBody(QStringLiteral("SetNTP"), QStringLiteral("bb"),
                kSetNtpBody + QStringLiteral("; self.horalis_unit_stops = time.time() + %1")
                                  .arg(stopTakesMs / 1000.0));
        setSetTimeBody(QStringLiteral(
            "if self.Get('org.freedesktop.timedate1', 'NTP') or "
            "time.time() < getattr(self, 'horalis_unit_stops', 0): raise "
            "dbus.exceptions.DBusException('Automatic time synchronization is enabled', "
            "name='org.freedesktop.timedate1.AutomaticTimeSyncEnabled')"));
        TimedatedService service(10'000, {}, boundMs);

        QElapsedTimer took;
        took.start();
        const QString thrown = errorOf([&] {
            if (stopFirst)
                service.stopAutomaticSync({});
            service.shiftTime(-1'500'000, {});
        });
        const QStringList calls = setTimeCalls();
        if (error.isEmpty()) {
            QVERIFY2(thrown.isEmpty(), qPrintable(thrown));
            QVERIFY2(took.elapsed() >= stopTakesMs, "set before the unit stopped");
            QVERIFY(calls.size() > 1);
        } else {
            QVERIFY2(thrown.contains(error), qPrintable(thrown));
            QCOMPARE(calls.size() > 1, stopFirst);
            QVERIFY2(took.elapsed() < boundMs + 1500, qPrintable(QString::number(took.elapsed())));
        }
        // Every try is the same relative shift, so a late one is as right as the first.
        QCOMPARE(calls, QStringList(calls.size(), shiftCall(-1'500'000)));
    }

    // The window is closing: a wait for timedated ends at once, and nothing more is
    // asked of it. What was already sent stays with it.
    void abandoned_data()
    {
        QTest::addColumn<QString>("slow"); // what keeps the wait going
        QTest::addColumn<bool>("setTime"); // whether SetTime was asked before the stop

        QTest::newRow("reading NTP behind a busy service") << "busy" << false;
        QTest::newRow("a slow SetNTP") << "SetNTP" << false;
        QTest::newRow("a password prompt") << "SetTime" << true;
        QTest::newRow("polkit's password prompt: withdrawn") << "polkit" << false;
        QTest::newRow("waiting out a slow stop") << "unit" << true;
    }

    void abandoned()
    {
        QFETCH(QString, slow);
        QFETCH(bool, setTime);
        // Longer than the stop takes to come, short enough not to hold the next test.
        const QString sleep = QStringLiteral("time.sleep(1.5)");
        if (slow == u"busy" || slow == u"SetNTP")
            setBody(QStringLiteral("SetNTP"), QStringLiteral("bb"), sleep);
        if (slow == u"busy") { // the mock answers nothing while it sleeps
            QDBusMessage call =
                QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("SetNTP"));
            call << false << false;
            QDBusConnection::systemBus().asyncCall(call);
        }
        if (slow == u"SetTime")
            setSetTimeBody(sleep);
        if (slow == u"unit")
            setSetTimeBody(refuseSetTimeFirst(1000));
        if (slow == u"polkit")
            setPolkit(kChallenge, sleep + QStringLiteral("; ") + kGrant);
        TimedatedService service(10'000);
        std::stop_source closing;
        QTimer::singleShot(300, this, [&closing] { closing.request_stop(); });

        QElapsedTimer took;
        took.start();
        bool abandoned = false;
        try {
            if (slow == u"busy") {
                abandoned = !service.automaticSync(closing.get_token()).has_value();
            } else {
                if (slow != u"SetTime")
                    service.stopAutomaticSync(closing.get_token());
                service.shiftTime(-1'500'000, closing.get_token());
            }
        } catch (const Abandoned &) {
            abandoned = true;
        }
        QVERIFY(abandoned);
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString::number(took.elapsed())));
        const qsizetype asked = setTimeCalls().size();
        QCOMPARE(asked > 0, setTime);
        // Once stopped, a call asks nothing at all.
        QVERIFY_THROWS_EXCEPTION(Abandoned, service.shiftTime(1, closing.get_token()));
        QVERIFY_THROWS_EXCEPTION(Abandoned, service.stopAutomaticSync(closing.get_token()));
        QCOMPARE(setTimeCalls().size(), asked);
        // A prompt Horalis asked for is withdrawn, not left behind a closed window.
        if (slow == u"polkit")
            QTRY_COMPARE(polkitLog().value(2), QStringLiteral("cancel the prompt"));
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
        // Cancelled or a wrong password: the prompt was shown, and said no.
        QTest::newRow("prompt cancelled") << "org.freedesktop.DBus.Error.AccessDenied"
                                          << "Access denied" << denied;
        QTest::newRow("polkit: not authorized") << "org.freedesktop.PolicyKit1.Error.NotAuthorized"
                                                << "cancelled" << denied;
        // No authentication agent in the session: no prompt could be shown at all.
        const QStringList noAgent{QStringLiteral("无法弹出输入管理员密码的授权窗口"),
                                  QStringLiteral("完整的桌面会话"),
                                  QStringLiteral("以管理员（root）身份运行")};
        QTest::newRow("no agent: interactive authentication required")
            << "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"
            << "Interactive authentication required." << noAgent;
        QTest::newRow("no agent, as polkit names it")
            << "org.freedesktop.PolicyKit1.Error.InteractiveAuthorizationRequired"
            << "no agent" << noAgent;
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
        // Before Horalis's own bound, a missing reply is the service's: timedated gives up
        // on polkit after 25 s, and a password typed later changes nothing.
        QTest::newRow("the service gave up waiting")
            << "org.freedesktop.DBus.Error.NoReply"
            << "Method call timed out"
            << QStringList{QStringLiteral("系统时间服务等了约"), QStringLiteral("时间没有修改"),
                           QStringLiteral("手工校准")};
        QTest::newRow("the service timed out")
            << "org.freedesktop.DBus.Error.Timeout"
            << "timed out"
            << QStringList{QStringLiteral("系统时间服务等了约"), QStringLiteral("时间没有修改")};
        QTest::newRow("the service's call timed out")
            << "org.freedesktop.DBus.Error.TimedOut"
            << "timed out"
            << QStringList{QStringLiteral("系统时间服务等了约"), QStringLiteral("时间没有修改")};
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
        // Each answer comes a moment (50 ms) after the call, as a real service's does.
        setSetTimeBody(
            QStringLiteral("time.sleep(0.05); raise dbus.exceptions.DBusException('%1', name='%2')")
                .arg(message, name));
        useZone("UTC");
        FakeCalls calls;
        calls.failWith = EPERM;
        calls.realtime = utcNs("2026-12-07T04:50:00.000Z");
        TimedatedService service(10'000);
        SystemClock clock(calls, &service);

        const QString thrown = errorOf([&] {
            clock.setInstant({utcNs("2027-01-01T00:00:00.000Z") / 1'000'000, 0}, {});
        });
        for (const QString &part : expected)
            QVERIFY2(thrown.contains(part), qPrintable(thrown));
        // The service gave up after a moment: the wait is said in whole seconds.
        if (thrown.contains(u"等了约"))
            QVERIFY2(thrown.contains(QRegularExpression(QStringLiteral("等了约 [0-9] 秒"))),
                     qPrintable(thrown));
        QVERIFY2(thrown.endsWith(u'。'), qPrintable(thrown));
        QCOMPARE(setTimeCalls().size(), 1);
    }

    // No timedated to ask: a bus without it, or no bus at all. Nothing to report about
    // synchronisation, nothing to stop it with, nothing to set the clock with.
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
        QVERIFY(!service.automaticSync({}).has_value());
        QVERIFY(!clock.automaticSyncOn({}));
        QString thrown = errorOf([&] { clock.stopAutomaticSync({}); });
        QVERIFY2(thrown.contains(u"找不到系统的时间服务"), qPrintable(thrown));
        thrown = errorOf([&] {
            clock.setInstant({utcNs("2026-12-07T12:00:00.000Z") / 1'000'000, 0}, {});
        });
        QVERIFY2(thrown.contains(u"找不到系统的时间服务"), qPrintable(thrown));
        QVERIFY2(took.elapsed() < 5000, "must not wait for the bound");
        QCOMPARE(setTimeCalls().size(), 0);
        QVERIFY(callsOf(QStringLiteral("SetNTP")).isEmpty());
    }

    // A call that does not answer within the bound is given up on, saying what a late
    // approval will still do: the shift still lands on the right instant, the stop
    // still switches synchronisation off but sets no time.
    void timesOut_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("SetTime") << false
                                 << QStringList{QStringLiteral("超过 0.3 秒"),
                                                QStringLiteral("本程序不再等待"),
                                                QStringLiteral("时间仍会被校准到正确的时刻")};
        QTest::newRow("SetNTP") << true
                                << QStringList{QStringLiteral("超过 0.3 秒"),
                                               QStringLiteral("时间没有修改"),
                                               QStringLiteral("请再校准一次")};
    }

    void timesOut()
    {
        QFETCH(bool, stop);
        QFETCH(QStringList, expected);
        if (stop)
            setBody(QStringLiteral("SetNTP"), QStringLiteral("bb"),
                    QStringLiteral("time.sleep(2)"));
        else
            setSetTimeBody(QStringLiteral("time.sleep(2)"));
        TimedatedService service(300);

        QElapsedTimer took;
        took.start();
        const QString thrown = errorOf([&] {
            if (stop)
                service.stopAutomaticSync({});
            else
                service.shiftTime(2'000'000, {});
        });
        const qint64 ms = took.elapsed();
        for (const QString &part : expected)
            QVERIFY2(thrown.contains(part), qPrintable(thrown));
        QVERIFY2(ms >= 250 && ms < 1500, qPrintable(QString::number(ms)));
        // The request was made, as a relative shift, and stays with timedated.
        QCOMPARE(setTimeCalls(), stop ? QStringList() : QStringList{shiftCall(2'000'000)});
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

        clock.setInstant({utcNs("2026-12-07T12:00:00.000Z") / 1'000'000, 0}, {});
        ticker.stop();
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(setTimeCalls(), QStringList{shiftCall(25'800'000'000)});
    }

private:
    // polkit's authority beside timedated, with the methods Horalis calls and two of the
    // test's own: Forget (all that was asked and granted) and Seen (see polkitLog).
    void startPolkit()
    {
        startMock(m_polkit, {kPolkitService, kPolkitPath, kPolkitInterface}, kPolkitService);
        const QStringList methods[] = {
            {"CancelCheckAuthorization", "s", "",
             "self.horalis_seen.append('cancel ' + ('the prompt' if args[0] == self.horalis_id "
             "else args[0]))"},
            {"Forget", "", "",
             "self.horalis_kept = False; self.horalis_seen = []; self.horalis_id = None"},
            {"Seen", "", "as", "ret = self.horalis_seen"},
        };
        for (const QStringList &method : methods) {
            const QDBusMessage reply =
                mockCall(QStringLiteral("AddMethod"),
                         {kPolkitInterface, method[0], method[1], method[2], method[3]}, kPolkit);
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        }
    }

    // Ends polkitd as a crash does, by its process id; init() starts it again.
    void endPolkit()
    {
        m_polkit.kill();
        m_polkit.waitForFinished(3000);
    }

    // Starts dbusmock on the private bus, and waits until it owns its name.
    void startMock(QProcess &mock, const QStringList &args, const QString &service)
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
        // One a test ended may hold the name for a moment yet.
        QTRY_VERIFY_WITH_TIMEOUT(!bus.interface()->isServiceRegistered(service), 5000);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_bus.address);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address);
        mock.setProcessEnvironment(env);
        mock.setStandardOutputFile(QProcess::nullDevice());
        mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mock.start(kPython, QStringList{"-m", "dbusmock", "--system"} + args);
        QVERIFY2(mock.waitForStarted(5000), "dbusmock did not start");
        QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(service) ||
                                     mock.state() == QProcess::NotRunning,
                                 20'000);
        QVERIFY2(mock.state() == QProcess::Running, "dbusmock ended");
    }

    PrivateBus m_bus;
    PrivateBus m_emptyBus;
    QProcess m_mock;
    QProcess m_polkit;
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
