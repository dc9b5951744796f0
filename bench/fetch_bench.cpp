// Network fetch benchmark, against Daytime servers on loopback:
//  (c) accuracy: a server whose clock is a random fraction of a second away from this
//      computer's sends floored whole-second stamps, as real servers do; the window
//      fetches and applies on a fake clock, and the written instant is compared with
//      the server's clock. Baseline: one query, its stamp taken as it is on arrival.
//  (a) time from the click on Command2 to the result line, beside two plain queries
//      back to back (the second query is timed to split a second: up to ~1 s more);
//  (b) the longest delay in handling an input event queued while the fetch waits on a
//      silent server, beside the same input handled by an idle event loop.
// Then, where network namespaces can be made, the fetch over a far path (farpath.cpp).
#include "clockedserver.h"
#include "fakes.h"
#include "farpath.h"
#include "form1.h"
#include "networktimefetch.h"
#include "stats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>

using namespace horalis;
using namespace horalis::bench;
using namespace horalis::test;

namespace {

const QHostAddress PrimaryAddress(QStringLiteral("127.0.0.2"));
const QHostAddress SecondaryAddress(QStringLiteral("127.0.0.3"));
const QHostAddress Nobody(QStringLiteral("127.0.0.4"));
TimeServers onlyDaytime(const DaytimeServers &daytime)
{
    TimeServers servers;
    servers.daytime = daytime;
    return servers;
}

// A fresh window (nothing fetched yet) over fake clock, boxes and pointer.
struct BenchWindow {
    explicit BenchWindow(const DaytimeServers &servers)
        : form(PlatformServices{clock, messages, pointer}, onlyDaytime(servers))
    {
        clock.followMachineBoot = true;
    }
    FakeClock clock;
    RecordingMessageBoxes messages;
    RecordingPointer pointer;
    Form1 form;
};

// One fetch and apply by the window; the error of the written instant against the
// server's clock at that moment, and how long the fetch took.
std::pair<double, double> fetchAndApply(ClockedServer &server, const DaytimeServers &servers)
{
    server.newOffset();
    BenchWindow window(servers);
    QElapsedTimer elapsed;
    elapsed.start();
    window.form.Command2->click();
    const double fetchMs = elapsed.nsecsElapsed() / 1e6;
    if (!window.form.c1->toPlainText().startsWith(QStringLiteral("标准时间： ")) ||
        window.form.NetDate.isEmpty())
        qFatal("fetch failed: %s", qPrintable(window.form.c1->toPlainText()));
    // The apply lands at a known boot-clock reading.
    window.clock.followMachineBoot = false;
    window.clock.boot = machineBootMs();
    window.form.Command3->click();
    const QString written = window.clock.writes.value(0).mid(4);
    const QDateTime instant = QDateTime::fromString(written, Qt::ISODateWithMs);
    if (!instant.isValid())
        qFatal("nothing written: %s", qPrintable(window.clock.writes.join(u',')));
    const qint64 truth = window.clock.boot + server.offsetMs;
    return {double(instant.toMSecsSinceEpoch() - truth), fetchMs};
}

// The baseline, which on loopback always brings a stamp.
double stampAsItIsOnLoopback(ClockedServer &server)
{
    const std::optional<double> error = stampAsItIs(server);
    if (!error)
        qFatal("no stamp from %s", qPrintable(server.address().toString()));
    return *error;
}

// Two plain queries back to back, as a fetch without the split would make.
double twoPlainQueriesMs(quint16 port)
{
    QElapsedTimer elapsed;
    elapsed.start();
    for (int i = 0; i < 2; ++i) {
        QTcpSocket socket;
        socket.connectToHost(PrimaryAddress, port);
        socket.waitForReadyRead(5000);
        socket.readAll();
    }
    return elapsed.nsecsElapsed() / 1e6;
}

// An input event that carries the moment it was queued.
class StampedEvent : public QEvent {
public:
    static inline const Type Kind = Type(QEvent::registerEventType());
    explicit StampedEvent(qint64 queuedNs) : QEvent(Kind), queuedNs(queuedNs) {}
    qint64 queuedNs;
};

// Handles the stamped events on the window's thread and keeps the longest delay.
class DelayRecorder : public QObject {
public:
    explicit DelayRecorder(const QElapsedTimer &clock) : m_clock(clock) {}
    double longestMs = 0;
    int handled = 0;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != StampedEvent::Kind)
            return QObject::event(event);
        const auto *stamped = static_cast<StampedEvent *>(event);
        longestMs = std::max(longestMs, (m_clock.nsecsElapsed() - stamped->queuedNs) / 1e6);
        ++handled;
        return true;
    }

private:
    const QElapsedTimer &m_clock;
};

// Input arrives from outside the window's thread every 7 ms, as a user's would, while
// `wait` runs on the window's thread.
template <typename Wait> double longestInputDelayMs(Wait &&wait)
{
    QElapsedTimer stamps;
    stamps.start();
    DelayRecorder recorder(stamps);
    std::atomic<bool> stop = false;
    QThread *source = QThread::create([&] {
        while (!stop) {
            QCoreApplication::postEvent(&recorder, new StampedEvent(stamps.nsecsElapsed()));
            QThread::msleep(7);
        }
    });
    source->start();
    wait();
    stop = true;
    source->wait();
    delete source;
    QCoreApplication::sendPostedEvents(&recorder);
    if (recorder.handled < 20)
        qFatal("too few input events handled: %d", recorder.handled);
    return recorder.longestMs;
}

void report(const char *name, const QList<double> &errors)
{
    std::printf("%-34s %9.0f %9.0f %9.0f %9.0f\n", name, median(absolute(errors)), worstAbs(errors),
                mean(errors), mean(absolute(errors)));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(5, atoi(argv[1])) : 20;
    const int farTrials = argc > 2 ? std::max(0, atoi(argv[2])) : 8;

    ClockedServer primary(PrimaryAddress, false);
    ClockedServer nist(SecondaryAddress, true);
    if (!primary.listening() || !nist.listening())
        qFatal("cannot listen on loopback");
    // Both on one port, as the program expects: the secondary port is the primary's,
    // so each server gets its own window configuration.
    DaytimeServers toPrimary;
    toPrimary.primaryHost = PrimaryAddress.toString();
    toPrimary.secondaryHost = Nobody.toString();
    toPrimary.port = primary.port;
    DaytimeServers toNist;
    toNist.primaryHost = Nobody.toString();
    toNist.secondaryHost = SecondaryAddress.toString();
    toNist.port = nist.port;
    // The 4 s NIST asks for is a rule of its servers; this one takes any spacing.
    toNist.secondarySpacingMs = 300;

    QList<double> primaryErrors, nistErrors, primaryBase, nistBase, fetchMs, plainMs;
    for (int i = 0; i < runs; ++i) {
        const auto [error, ms] = fetchAndApply(primary, toPrimary);
        primaryErrors << error;
        fetchMs << ms;
        nistErrors << fetchAndApply(nist, toNist).first;
        primaryBase << stampAsItIsOnLoopback(primary);
        nistBase << stampAsItIsOnLoopback(nist);
        plainMs << twoPlainQueriesMs(primary.port);
    }

    // (b): a fetch waiting on a silent server, beside an idle event loop as long.
    DaytimeServer silent(DaytimeServer::Silent);
    if (!silent.listen(QHostAddress(QStringLiteral("127.0.0.5"))))
        qFatal("cannot listen on loopback");
    DaytimeServers stalled;
    stalled.primaryHost = QStringLiteral("127.0.0.5");
    stalled.secondaryHost = Nobody.toString();
    stalled.port = silent.port();
    stalled.queryTimeoutMs = 700;
    QList<double> delayMs, idleMs;
    for (int i = 0; i < 5; ++i) {
        delayMs << longestInputDelayMs([&] {
            BenchWindow window(stalled);
            window.form.Command2->click();
        });
        idleMs << longestInputDelayMs([] {
            QEventLoop idle;
            QTimer::singleShot(700, &idle, &QEventLoop::quit);
            idle.exec();
        });
    }

    std::printf("runs: %d; errors in ms, written instant less the server's clock\n", runs);
    std::printf("%-34s %9s %9s %9s %9s\n", "(c) accuracy", "med|e|", "worst|e|", "mean e",
                "mean|e|");
    report("primary, program", primaryErrors);
    report("primary, stamp as it is", primaryBase);
    report("NIST (asked twice), program", nistErrors);
    report("NIST, stamp as it is", nistBase);
    std::printf("(a) median fetch: program %.1f ms, two plain queries %.1f ms\n", median(fetchMs),
                median(plainMs));
    std::printf("(b) longest input delay, median of 5: during a fetch %.2f ms, idle loop %.2f ms\n",
                median(delayMs), median(idleMs));

    const bool accurate = worstAbs(primaryErrors) <= 250 && std::abs(mean(primaryErrors)) < 120 &&
                          worstAbs(nistErrors) <= 250;
    const bool quick = median(fetchMs) <= median(plainMs) + 1100;
    const bool responsive = median(delayMs) < 20;
    std::printf("goals: worst |e| <= 250 ms and |mean e| < 120 ms: %s; fetch at most ~1 s "
                "longer: %s; input delay < 20 ms: %s\n",
                accurate ? "met" : "MISSED", quick ? "met" : "MISSED",
                responsive ? "met" : "MISSED");
    std::fflush(stdout);

    // The far path's goals count where it could be made; where not, it says why.
    std::optional<bool> far;
    if (farTrials > 0)
        far = runFarPath(farTrials);
    else
        std::printf("far path: skipped (0 trials asked for)\n");
    return accurate && quick && responsive && far.value_or(true) ? 0 : 1;
}
